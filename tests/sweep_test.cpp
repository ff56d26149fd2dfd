#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "oracle/oracle.hpp"
#include "solver/solver.hpp"
#include "tests/test_problem.hpp"

namespace {

using daskel::SolverState;
using daskel::oracle::visitingOrder;
using daskel::testing::bitsOf;
using daskel::testing::fillUniform;
using daskel::testing::Problem;

void expectSameBits(const std::vector<float>& expected, const std::vector<float>& actual) {
  ASSERT_EQ(expected.size(), actual.size());
  for (std::size_t e = 0; e < expected.size(); ++e) {
    ASSERT_EQ(bitsOf(expected[e]), bitsOf(actual[e]))
        << "element " << e << ": expected " << expected[e] << ", got " << actual[e];
  }
}

TEST(LabelSweep, VisitingOrderCoversEveryPixelOnce) {
  for (auto [rows, cols] : {std::pair{2, 2}, {2, 7}, {6, 2}, {5, 4}}) {
    std::vector<int> visits(rows * cols, 0);
    for (auto [i, j] : visitingOrder(rows, cols)) ++visits[i + rows * j];
    EXPECT_EQ(visits, std::vector<int>(rows * cols, 1)) << rows << " x " << cols;
  }
}

// Random split and Bregman variables, costs and labellings, on thin, square and odd grids:
// clamping, renormalisation and every region occur. The oracle sweeps a copy pixel by pixel.
TEST(LabelSweep, MatchesTheOracleBitForBit) {
  std::mt19937 rng(20261208);
  const std::vector<std::pair<int32_t, int32_t>> shapes = {{2, 2}, {2, 3}, {3, 2},  {2, 9}, {8, 2},
                                                           {3, 3}, {5, 7}, {16, 4}, {9, 13}};
  for (auto [rows, cols] : shapes) {
    for (int32_t phases : {1, 2, 3, 5}) {
      Problem problem(rows, cols, phases, 0.3f, 0.7f);
      Problem byOracle(rows, cols, phases, 0.3f, 0.7f);
      ASSERT_TRUE(problem.ready && byOracle.ready);
      SolverState& s = problem.state;
      const auto n = static_cast<std::size_t>(s.volumeSize);
      fillUniform(problem.costs.data(), n, 0.0f, 1.5f, rng);
      fillUniform(problem.u.data(), n, -0.2f, 1.2f, rng);
      byOracle.costs = problem.costs;
      byOracle.u = problem.u;
      const SolverState& r = byOracle.state;
      for (auto [field, copy] : {std::pair{s.dx, r.dx}, {s.dy, r.dy}, {s.bx, r.bx}, {s.by, r.by}}) {
        fillUniform(field, n, -0.6f, 0.6f, rng);
        std::copy(field, field + n, copy);
      }

      for (int sweep = 0; sweep < 2; ++sweep) {
        daskel::oracle::labelSweep(byOracle.state);
        daskel::labelSweep(s);
        SCOPED_TRACE(testing::Message() << rows << " x " << cols << " x " << phases);
        expectSameBits(byOracle.u, problem.u);
        expectSameBits(std::vector<float>(r.multiplier, r.multiplier + r.sliceSize),
                       std::vector<float>(s.multiplier, s.multiplier + s.sliceSize));
      }
    }
  }
}

// On a 2 x 2 grid with no split terms and no costs each corner becomes the mean of its two
// neighbours, and later corners read the new values of earlier ones.
TEST(LabelSweep, CornersOfATwoByTwoGridSeeEarlierCornersNew) {
  Problem problem(2, 2, 2);
  ASSERT_TRUE(problem.ready);
  const float before[4] = {0.0f, 0.25f, 0.5f, 1.0f};  // (0,0), (1,0), (0,1), (1,1)
  for (int p = 0; p < 4; ++p) {
    problem.u[p] = before[p];
    problem.u[p + 4] = 1.0f - before[p];
  }
  daskel::labelSweep(problem.state);
  const float new00 = 0.5f * (before[2] + before[1]);  // right and down, both old
  const float new01 = 0.5f * (before[3] + new00);      // down old, left new
  const float new10 = 0.5f * (before[3] + new00);      // right old, up new
  const float new11 = 0.5f * (new01 + new10);          // up and left, both new
  EXPECT_EQ(problem.u[problem.at(0, 0)], new00);
  EXPECT_EQ(problem.u[problem.at(0, 1)], new01);
  EXPECT_EQ(problem.u[problem.at(1, 0)], new10);
  EXPECT_EQ(problem.u[problem.at(1, 1)], new11);
  EXPECT_EQ(problem.u[problem.at(1, 1, 1)], 1.0f - new11);
}

TEST(LabelSweep, ValuesAreClampedToTheUnitInterval) {
  // Phase 1 costs far more than phase 0: unclamped, a corner would get 3 and -2.
  Problem problem(2, 2, 2);
  ASSERT_TRUE(problem.ready);
  std::fill(problem.u.begin(), problem.u.end(), 0.5f);
  std::fill(problem.costs.begin() + 4, problem.costs.end(), 10.0f);
  daskel::labelSweep(problem.state);
  EXPECT_EQ(problem.u[problem.at(0, 0, 0)], 1.0f);
  EXPECT_EQ(problem.u[problem.at(0, 0, 1)], 0.0f);
  EXPECT_EQ(problem.state.multiplier[0], -5.0f);
}

// With every pixel holding the same pair (a, b), each new value equals its neighbours', so the
// pixel sum is exactly a + b.
TEST(LabelSweep, RenormalisesOnlyBeyondTheTolerance) {
  struct Case {
    float a, b;
    bool normalised;
  };
  const Case cases[] = {{0.5f, 0.5f + 0x1p-19f, true},    // sum 1 + 1.9e-6
                        {0.5f, 0.5f + 0x1p-21f, false},   // sum 1 + 4.8e-7
                        {0.5f, 0.5f - 0x1p-19f, true},    // sum 1 - 1.9e-6
                        {0.5f, 0.5f - 0x1p-21f, false}};  // sum 1 - 4.8e-7
  for (const Case& c : cases) {
    Problem problem(2, 2, 2);
    ASSERT_TRUE(problem.ready);
    std::fill(problem.u.begin(), problem.u.begin() + 4, c.a);
    std::fill(problem.u.begin() + 4, problem.u.end(), c.b);
    daskel::labelSweep(problem.state);
    const double sum = double{c.a} + double{c.b};
    const float expectedA = c.normalised ? static_cast<float>(c.a / sum) : c.a;
    const float expectedB = c.normalised ? static_cast<float>(c.b / sum) : c.b;
    EXPECT_EQ(problem.u[0], expectedA) << "b = " << c.b;
    EXPECT_EQ(problem.u[4], expectedB) << "b = " << c.b;
  }
}

TEST(LabelSweep, OnePhaseBecomesOneExceptWithinTheToleranceOfOne) {
  Problem problem(4, 5, 1);
  ASSERT_TRUE(problem.ready);
  std::mt19937 rng(7);
  fillUniform(problem.u.data(), problem.u.size(), 0.0f, 0.9f, rng);
  fillUniform(problem.costs.data(), problem.costs.size(), -3.0f, 3.0f, rng);  // cancel out
  daskel::labelSweep(problem.state);
  for (float v : problem.u) {  // each value divided by itself: one, up to the final rounding
    ASSERT_LE(v, 1.0f);
    ASSERT_GE(v, 1.0f - 0x1p-24f);
  }

  const float nearOne = 1.0f - 0x1p-22f;  // 2.4e-7 below one: left as written
  std::fill(problem.u.begin(), problem.u.end(), nearOne);
  daskel::labelSweep(problem.state);
  for (float v : problem.u) ASSERT_EQ(v, nearOne);
}

TEST(LabelSweep, PixelWithoutSupportBecomesUniform) {
  Problem problem(2, 2, 3);
  ASSERT_TRUE(problem.ready);
  std::fill(problem.costs.begin(), problem.costs.end(), 0.75f);  // all phases alike, u all zero
  daskel::labelSweep(problem.state);
  for (int32_t k = 0; k < 3; ++k) {
    EXPECT_EQ(problem.u[problem.at(0, 0, k)], static_cast<float>(1.0 / 3.0));
  }
  for (int32_t p = 0; p < 4; ++p) {
    const double sum = double{problem.u[p]} + problem.u[p + 4] + problem.u[p + 8];
    EXPECT_NEAR(sum, 1.0, 1e-6);
  }
}

// With a penalty near the float range the cost term is scaled into the subnormals: the values
// of (0, 0) are far below the smallest normal float, where the float store rounds them coarsely.
// Dividing the stored values by the unrounded sum would leave the pixel summing to 0 (first
// case) or give it a value of about 1.4 (second case).
TEST(LabelSweep, SupportBelowTheNormalFloatsStillGivesALabelling) {
  for (float cost : {2e-10f, 1.2e-6f}) {
    Problem problem(2, 2, 2, 0.0f, 3e38f);
    ASSERT_TRUE(problem.ready);
    std::fill(problem.costs.begin() + 4, problem.costs.end(), cost);
    daskel::labelSweep(problem.state);
    for (int32_t p = 0; p < 4; ++p) {
      const float a = problem.u[p], b = problem.u[p + 4];
      EXPECT_TRUE(a >= 0.0f && a <= 1.0f && b >= 0.0f && b <= 1.0f) << a << ", " << b;
      EXPECT_NEAR(double{a} + b, 1.0, 1e-6) << "pixel " << p << ", cost " << cost;
    }
  }
  Problem problem(2, 2, 2, 0.0f, 3e38f);
  std::fill(problem.costs.begin() + 4, problem.costs.end(), 1.2e-6f);
  daskel::labelSweep(problem.state);
  EXPECT_EQ(problem.u[0], 1.0f);  // the cheaper phase, alone in the stored values
  EXPECT_EQ(problem.u[4], 0.0f);
}

TEST(LabelSweep, NaNIsWrittenUnchangedAndBlocksNormalisation) {
  Problem problem(2, 2, 2);
  ASSERT_TRUE(problem.ready);
  std::fill(problem.u.begin(), problem.u.end(), 0.25f);  // sums of 0.5: pixels get rescaled
  problem.u[problem.at(1, 1, 0)] = std::numeric_limits<float>::quiet_NaN();
  daskel::labelSweep(problem.state);
  // (0, 0) does not read (1, 1): 0.25 in both phases, rescaled to 0.5.
  EXPECT_EQ(problem.u[problem.at(0, 0, 0)], 0.5f);
  // (0, 1) reads the NaN below it; its sum is NaN, so phase 1 keeps 0.5 * (0.25 + 0.5).
  EXPECT_TRUE(std::isnan(problem.u[problem.at(0, 1, 0)]));
  EXPECT_EQ(problem.u[problem.at(0, 1, 1)], 0.375f);
}

}  // namespace
