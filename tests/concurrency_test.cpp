// Solves on several threads at once must give the bits of the same solves one at a time: the
// library keeps everything in the per-call state.
#include <gtest/gtest.h>

#include <random>
#include <thread>
#include <vector>

#include "solver/solver.hpp"

namespace {

struct Job {
  int32_t rows, cols, phases;
  float tvWeight, penalty;
  std::vector<float> costs, u0;
};

std::vector<float> solve(const Job& job) {
  std::vector<float> u(job.u0.size());
  daskel::SolverState state{};
  if (daskel::initSolverState(state, job.rows, job.cols, job.phases, job.tvWeight, job.penalty,
                              job.costs.data(), u.data(), nullptr)) {
    u = job.u0;
    daskel::runSolver(state);
  }
  daskel::releaseSolverState(state);
  return u;
}

TEST(Concurrency, ParallelSolvesMatchSequentialOnes) {
  std::mt19937 rng(42);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  std::vector<Job> jobs;
  for (int n = 0; n < 8; ++n) {
    Job job{8 + n, 13 - n, 1 + n % 4, 0.05f * (n + 1), 0.5f + 0.1f * n, {}, {}};
    const std::size_t count = static_cast<std::size_t>(job.rows) * job.cols * job.phases;
    for (std::size_t e = 0; e < count; ++e) {
      job.costs.push_back(unit(rng));
      job.u0.push_back(unit(rng));
    }
    jobs.push_back(std::move(job));
  }
  std::vector<std::vector<float>> sequential;
  for (const Job& job : jobs) sequential.push_back(solve(job));

  constexpr int kRounds = 6;
  std::vector<std::vector<std::vector<float>>> parallel(jobs.size());
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < jobs.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) parallel[t].push_back(solve(jobs[t]));
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (std::size_t t = 0; t < jobs.size(); ++t) {
    for (const auto& result : parallel[t]) EXPECT_EQ(result, sequential[t]) << "job " << t;
  }
}

}  // namespace
