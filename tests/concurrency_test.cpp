// Solves on several threads at once must give the bits of the same solves one at a time: the
// library keeps everything in the per-call state, and each solve that runs on several threads of
// its own has a team of them to itself.
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
  int32_t threads;  // of the solve itself, for the parallel runs
};

std::vector<float> solve(const Job& job, int32_t threads) {
  std::vector<float> u(job.u0.size());
  daskel::SolverState state{};
  if (daskel::initSolverState(state, job.rows, job.cols, job.phases, job.tvWeight, job.penalty,
                              job.costs.data(), u.data(), nullptr)) {
    u = job.u0;
    daskel::runSolver(state, threads);
  }
  daskel::releaseSolverState(state);
  return u;
}

TEST(Concurrency, ParallelSolvesMatchSequentialOnes) {
  std::mt19937 rng(42);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  std::vector<Job> jobs;
  for (int n = 0; n < 8; ++n) {
    // The second half on grids with several pairs of bands, each solve on threads of its own.
    const bool shared = n >= 4;
    Job job{8 + n + (shared ? 20 : 0), 13 - n + (shared ? 30 : 0), 1 + n % 4, 0.05f * (n + 1),
            0.5f + 0.1f * n, {}, {}, shared ? 2 + n % 2 : 1};
    const std::size_t count = static_cast<std::size_t>(job.rows) * job.cols * job.phases;
    for (std::size_t e = 0; e < count; ++e) {
      job.costs.push_back(unit(rng));
      job.u0.push_back(unit(rng));
    }
    jobs.push_back(std::move(job));
  }
  std::vector<std::vector<float>> sequential;
  for (const Job& job : jobs) sequential.push_back(solve(job, 1));

  constexpr int kRounds = 6;
  std::vector<std::vector<std::vector<float>>> parallel(jobs.size());
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < jobs.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        parallel[t].push_back(solve(jobs[t], jobs[t].threads));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (std::size_t t = 0; t < jobs.size(); ++t) {
    for (const auto& result : parallel[t]) EXPECT_EQ(result, sequential[t]) << "job " << t;
  }
}

}  // namespace
