#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "solver/solver.hpp"
#include "tests/test_problem.hpp"

namespace {

using daskel::testing::bitsOf;
using daskel::testing::Problem;

// One pixel (0, 0) of a one-phase 2 x 2 grid with the given forward differences and Bregman
// values; tvWeight / penalty = threshold, so threshold2 = threshold^2.
struct PixelCase {
  float threshold, gx, gy, bx, by;
};

struct PixelResult {
  float dx, dy, bx, by;
};

PixelResult shrinkOnePixel(const PixelCase& c) {
  Problem problem(2, 2, 1, c.threshold, 1.0f);
  EXPECT_TRUE(problem.ready);
  problem.u[problem.at(0, 1)] = c.gx;  // u(0, 0) = 0
  problem.u[problem.at(1, 0)] = c.gy;
  problem.state.bx[0] = c.bx;
  problem.state.by[0] = c.by;
  daskel::shrinkUpdate(problem.state);
  const auto& s = problem.state;
  return {s.dx[0], s.dy[0], s.bx[0], s.by[0]};
}

TEST(ShrinkUpdate, BelowTheThresholdShrinksToZero) {
  const PixelResult r = shrinkOnePixel({2.0f, 0.0f, 0.0f, 1.0f, 1.0f});  // s = 2 < 4
  EXPECT_EQ(bitsOf(r.dx), 0u);
  EXPECT_EQ(bitsOf(r.dy), 0u);
  EXPECT_EQ(r.bx, 1.0f);
  EXPECT_EQ(r.by, 1.0f);
}

TEST(ShrinkUpdate, AtTheThresholdTheFactorIsZero) {
  const PixelResult r = shrinkOnePixel({2.0f, 2.0f, 0.0f, 0.0f, 0.0f});  // s = 4 = threshold2
  EXPECT_EQ(bitsOf(r.dx), 0u);
  EXPECT_EQ(bitsOf(r.dy), 0u);
  EXPECT_EQ(r.bx, 2.0f);
  EXPECT_EQ(r.by, 0.0f);
}

TEST(ShrinkUpdate, LengthFourTimesTheThresholdSquaredHalvesExactly) {
  const PixelResult r = shrinkOnePixel({0.5f, 1.0f, 0.0f, 0.0f, 0.0f});  // s = 1 = 4 * 0.25
  EXPECT_EQ(r.dx, 0.5f);
  EXPECT_EQ(r.dy, 0.0f);
  EXPECT_EQ(r.bx, 0.5f);
  EXPECT_EQ(r.by, 0.0f);
}

TEST(ShrinkUpdate, ApproximateRootsShowInTheResult) {
  const PixelResult r = shrinkOnePixel({1.0f, 0.0f, 0.0f, 3.0f, 4.0f});  // s = 25
  // With exact roots these would be 2.4, 3.2, 0.6 and 0.8.
  EXPECT_NEAR(r.dx, 2.4000003, 1.2e-7);
  EXPECT_NEAR(r.dy, 3.2000005, 1.2e-7);
  EXPECT_NEAR(r.bx, 0.59999967, 3e-8);
  EXPECT_NEAR(r.by, 0.79999948, 3e-8);
  EXPECT_NE(r.dx, 2.4f);
}

TEST(ShrinkUpdate, ZeroThresholdPassesTheShiftedGradientThrough) {
  PixelResult r = shrinkOnePixel({0.0f, 0.375f, -0.25f, 0.125f, 0.5f});
  EXPECT_EQ(r.dx, 0.5f);  // f = 1: d = v
  EXPECT_EQ(r.dy, 0.25f);
  EXPECT_EQ(r.bx, 0.0f);
  EXPECT_EQ(r.by, 0.0f);

  r = shrinkOnePixel({0.0f, 0.0f, 0.0f, 0.0f, 0.0f});  // zero vector: no 0/0
  EXPECT_EQ(bitsOf(r.dx), 0u);
  EXPECT_EQ(bitsOf(r.dy), 0u);
  EXPECT_EQ(r.bx, 0.0f);
  EXPECT_EQ(r.by, 0.0f);
}

TEST(ShrinkUpdate, NaNTakesTheShrinkSideAndReachesAllFourVariables) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const PixelResult r = shrinkOnePixel({1.0f, nan, 0.0f, 0.0f, 0.0f});
  EXPECT_TRUE(std::isnan(r.dx) && std::isnan(r.dy) && std::isnan(r.bx) && std::isnan(r.by));
}

// Every element of every phase is processed once, and forward differences vanish in the last
// column (x) and the last row (y), on grids where some regions are empty.
TEST(ShrinkUpdate, EveryElementOnceWithZeroDifferencesBeyondTheGrid) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> value(0.0f, 1.0f);
  for (auto [rows, cols] : {std::pair{2, 2}, {2, 5}, {6, 2}, {4, 7}}) {
    Problem problem(rows, cols, 3, 0.0f, 1.0f);  // zero threshold: d = b + g exactly here
    ASSERT_TRUE(problem.ready);
    for (float& v : problem.u) v = value(rng);
    daskel::shrinkUpdate(problem.state);
    const auto& s = problem.state;
    for (int32_t k = 0; k < 3; ++k) {
      for (int32_t j = 0; j < cols; ++j) {
        for (int32_t i = 0; i < rows; ++i) {
          const int32_t q = problem.at(i, j, k);
          const float gx = j + 1 < cols ? problem.u[problem.at(i, j + 1, k)] - problem.u[q] : 0;
          const float gy = i + 1 < rows ? problem.u[problem.at(i + 1, j, k)] - problem.u[q] : 0;
          ASSERT_EQ(s.dx[q], gx) << rows << "x" << cols << " at " << i << "," << j << "," << k;
          ASSERT_EQ(s.dy[q], gy) << rows << "x" << cols << " at " << i << "," << j << "," << k;
          ASSERT_EQ(s.bx[q], 0.0f);
          ASSERT_EQ(s.by[q], 0.0f);
        }
      }
    }
  }
}

}  // namespace
