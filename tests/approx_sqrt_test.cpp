#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "solver/solver.hpp"

namespace {

using daskel::approxSqrt;

// Positive normal floats from 1e-30 to 1e30 in geometric steps.
std::vector<float> geometricRange(float ratio) {
  std::vector<float> values;
  for (float x = 1e-30f; x < 1e30f; x = x * ratio) values.push_back(x);  // NOLINT
  return values;
}

TEST(ApproxSqrt, WorkedValuesFallJustShortOfTheTrueRoot) {
  EXPECT_EQ(approxSqrt(0.0f), 0.0f);
  EXPECT_NEAR(approxSqrt(1.0f), 0.999996, 1e-6);
  EXPECT_LT(approxSqrt(1.0f), 1.0f);
  EXPECT_NEAR(approxSqrt(4.0f), 1.999991, 2e-6);
  EXPECT_LT(approxSqrt(4.0f), 2.0f);
  EXPECT_NEAR(approxSqrt(100.0f), 9.99996, 1e-5);
  EXPECT_LT(approxSqrt(100.0f), 10.0f);
}

TEST(ApproxSqrt, ScalingByFourIsExact) {
  EXPECT_EQ(approxSqrt(0.25f), 0.5f * approxSqrt(1.0f));
  for (float x : geometricRange(1.37f)) {
    ASSERT_EQ(approxSqrt(4.0f * x), 2.0f * approxSqrt(x)) << "x = " << x;
  }
}

TEST(ApproxSqrt, RelativeErrorStaysWithinTheTwoStepBound) {
  for (float x : geometricRange(1.0137f)) {
    const double exact = std::sqrt(static_cast<double>(x));
    const double relative = (static_cast<double>(approxSqrt(x)) - exact) / exact;
    ASSERT_LE(relative, 2.4e-7) << "x = " << x;  // at most rounding above the root
    ASSERT_GE(relative, -4.8e-6) << "x = " << x;
  }
}

TEST(ApproxSqrt, NonFiniteInputs) {
  EXPECT_TRUE(std::isnan(approxSqrt(std::numeric_limits<float>::quiet_NaN())));
  EXPECT_TRUE(std::isnan(approxSqrt(-std::numeric_limits<float>::quiet_NaN())));
  EXPECT_EQ(approxSqrt(std::numeric_limits<float>::infinity()),
            std::numeric_limits<float>::infinity());
}

}  // namespace
