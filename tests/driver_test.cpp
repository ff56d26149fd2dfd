#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include "oracle/oracle.hpp"
#include "solver/kernels.hpp"
#include "solver/solver.hpp"
#include "tests/test_problem.hpp"

namespace {

using daskel::testing::fillUniform;
using daskel::testing::firstStateDifference;
using daskel::testing::Problem;
using daskel::testing::Shape;

TEST(RunSolver, TwoPhaseExampleSettlesOnTheCheaperPhase) {
  Problem problem(4, 5, 2, 0.5f, 1.0f);
  ASSERT_TRUE(problem.ready);
  std::fill(problem.costs.begin() + 20, problem.costs.end(), 1.0f);
  std::fill(problem.u.begin(), problem.u.end(), 0.5f);
  EXPECT_EQ(daskel::runSolver(problem.state), 4);
  for (int32_t p = 0; p < 20; ++p) {
    ASSERT_EQ(problem.u[p], 1.0f);
    ASSERT_EQ(problem.u[p + 20], 0.0f);
  }
}

TEST(RunSolver, OnePhaseBecomesOneInThreeIterations) {
  Problem problem(6, 3, 1, 0.2f, 2.0f);
  ASSERT_TRUE(problem.ready);
  std::mt19937 rng(3);
  fillUniform(problem.costs.data(), problem.costs.size(), -1.0f, 4.0f, rng);
  std::fill(problem.u.begin(), problem.u.end(), 0.5f);
  EXPECT_EQ(daskel::runSolver(problem.state), 3);  // measures 1/18, then 0, then 0
  for (float v : problem.u) ASSERT_EQ(v, 1.0f);
}

TEST(RunSolver, UnchangedLabellingStopsAfterTwoIterations) {
  Problem problem(5, 4, 1);
  ASSERT_TRUE(problem.ready);
  std::fill(problem.u.begin(), problem.u.end(), 1.0f);  // a fixed point: measures 0 and 0
  EXPECT_EQ(daskel::runSolver(problem.state), 2);
}

TEST(RunSolver, ZeroStartGivesAnInfiniteFirstMeasureAndGoesOn) {
  Problem problem(4, 4, 2);
  ASSERT_TRUE(problem.ready);
  std::fill(problem.costs.begin() + 16, problem.costs.end(), 1.0f);
  EXPECT_GE(daskel::runSolver(problem.state), 3);  // u0 = 0: the first measure is D / 0
  for (int32_t p = 0; p < 16; ++p) {
    ASSERT_NEAR(double{problem.u[p]} + problem.u[p + 16], 1.0, 1e-6);
  }
}

TEST(RunSolver, NaNStopsTheLoopAfterItsIteration) {
  Problem problem(4, 4, 2);
  ASSERT_TRUE(problem.ready);
  std::fill(problem.u.begin(), problem.u.end(), 0.5f);
  problem.u[0] = std::numeric_limits<float>::quiet_NaN();
  EXPECT_EQ(daskel::runSolver(problem.state), 1);
}

TEST(RunSolver, NeverMoreThanFiveIterations) {
  std::mt19937 rng(5);
  int reachedFive = 0;
  for (int trial = 0; trial < 20; ++trial) {
    Problem problem(12, 9, 3, 0.05f, 0.3f);
    ASSERT_TRUE(problem.ready);
    fillUniform(problem.costs.data(), problem.costs.size(), 0.0f, 1.0f, rng);
    fillUniform(problem.u.data(), problem.u.size(), 0.0f, 1.0f, rng);
    const int32_t iterations = daskel::runSolver(problem.state);
    EXPECT_GE(iterations, 2);
    EXPECT_LE(iterations, 5);
    reachedFive += iterations == 5;
  }
  EXPECT_GT(reachedFive, 0);  // noisy problems do not settle within five
}

TEST(RunSolver, ResultIsALabellingAndRepeatsExactly) {
  std::mt19937 rng(9);
  Problem first(17, 11, 4, 0.1f, 0.5f);
  Problem second(17, 11, 4, 0.1f, 0.5f);
  ASSERT_TRUE(first.ready && second.ready);
  fillUniform(first.costs.data(), first.costs.size(), 0.0f, 2.0f, rng);
  fillUniform(first.u.data(), first.u.size(), 0.0f, 1.0f, rng);
  std::copy(first.costs.begin(), first.costs.end(), second.costs.begin());
  std::copy(first.u.begin(), first.u.end(), second.u.begin());
  daskel::runSolver(first.state);
  daskel::runSolver(second.state);
  EXPECT_EQ(first.u, second.u);
  const int32_t slice = first.state.sliceSize;
  for (int32_t p = 0; p < slice; ++p) {
    double sum = 0.0;
    for (int32_t k = 0; k < 4; ++k) {
      const float v = first.u[p + slice * k];
      ASSERT_GE(v, 0.0f);
      ASSERT_LE(v, 1.0f);
      sum += v;
    }
    ASSERT_NEAR(sum, 1.0, 2e-6);
  }
}

// A stop request ends the solve before the outer iteration it answers: the state is then that of
// the oracle after the iterations done, on the padded layout and on several threads too.
TEST(RunSolver, AStopRequestEndsTheSolveWithTheIterationsDone) {
  struct Countdown {
    int32_t calls = 0;
    int32_t goOn = 0;  // requests answered "go on" before the first "stop"
  };
  const auto requested = [](void* context) {
    auto* countdown = static_cast<Countdown*>(context);
    return countdown->calls++ >= countdown->goOn;
  };
  for (const Shape shape : {Shape{17, 11, 4}, Shape{128, 128, 16}}) {
    for (int32_t threads : {1, 3}) {
      for (int32_t goOn : {0, 1, 2}) {
        const std::string context = describe(shape) + ", " + std::to_string(threads) +
                                    " threads, stopped after " + std::to_string(goOn);
        std::mt19937 rng(7);
        Problem fast(shape, 0.1f, 0.5f);
        Problem oracle(shape, 0.1f, 0.5f);
        ASSERT_TRUE(fast.ready && oracle.ready);
        fillUniform(fast.costs.data(), fast.costs.size(), 0.0f, 2.0f, rng);
        fillUniform(fast.u.data(), fast.u.size(), 0.0f, 1.0f, rng);
        oracle.costs = fast.costs;
        oracle.u = fast.u;
        for (int32_t i = 0; i < goOn; ++i) daskel::oracle::outerIteration(oracle.state);

        Countdown countdown{0, goOn};
        EXPECT_EQ(daskel::detail::runOnTeam(fast.state, threads, {requested, &countdown}), goOn)
            << context;
        EXPECT_EQ(countdown.calls, goOn + 1) << context;
        EXPECT_EQ(firstStateDifference(fast.state, oracle.state), "") << context;
      }
    }
  }
}

}  // namespace
