// Randomised bit-for-bit comparison of the library's kernels with the oracle (oracle/).
//
// Each case builds two working states with identical contents, runs a library kernel on one and
// the oracle's on the other, and requires every buffer to agree in every bit. NaN is the one
// exception: any NaN matches any NaN, because IEEE arithmetic fixes that a result is NaN but not
// which payload survives when two NaN operands meet.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "oracle/oracle.hpp"
#include "solver/kernels.hpp"
#include "solver/solver.hpp"
#include "tests/test_problem.hpp"

namespace daskel {
namespace {

using daskel::testing::Problem;
using daskel::testing::sameValue;
using daskel::testing::Shape;

std::string describe(const Shape& shape, uint32_t seed) {
  return testing::describe(shape) + " seed " + std::to_string(seed);
}

// What a case puts into the buffers besides ordinary values.
struct Extras {
  bool specials = false;    // NaN and infinities, sparsely
  bool fullBuffers = true;  // dx, dy, bx, by random (false: zero, as at the start of a call)
};

// Fills a problem from a seed: labels mostly in [0, 1] with exact 0 and 1 and some strays,
// costs that clamp whole pixels to zero support, small split and Bregman values.
void fill(Problem& problem, uint32_t seed, const Extras& extras) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  std::uniform_real_distribution<float> centred(-0.5f, 0.5f);
  std::uniform_int_distribution<int> pick(0, 99);
  SolverState& s = problem.state;
  const float special[] = {std::numeric_limits<float>::quiet_NaN(),
                           std::numeric_limits<float>::infinity(),
                           -std::numeric_limits<float>::infinity()};
  auto sprinkle = [&](float value) {
    if (extras.specials && pick(random) == 0) return special[pick(random) % 3];
    return value;
  };

  for (int32_t p = 0; p < s.sliceSize; ++p) {
    const int kind = pick(random);  // 10%: every phase far too costly, so no support at all
    for (int32_t k = 0; k < s.phases; ++k) {
      const int32_t q = p + s.sliceSize * k;
      const int draw = pick(random);
      float label = unit(random);
      if (draw < 5) label = 0.0f;
      if (draw >= 5 && draw < 10) label = 1.0f;
      if (draw >= 10 && draw < 13) label = 1.0f + unit(random);
      if (draw >= 13 && draw < 16) label = -unit(random);
      problem.u[q] = sprinkle(label);
      const float cost = kind < 10 ? 50.0f + unit(random) : 2.0f * unit(random) - 0.5f;
      problem.costs[q] = sprinkle(cost);
    }
  }
  float* splits[] = {s.dx, s.dy, s.bx, s.by};
  for (float* buffer : splits) {
    for (int32_t e = 0; e < testing::ownedVolumeSize(s); ++e) {
      const float value = pick(random) < 20 ? 0.0f : centred(random);
      buffer[e] = extras.fullBuffers ? sprinkle(value) : 0.0f;
    }
  }
  // Leftovers that a kernel must overwrite before it reads them, or leave alone.
  for (int32_t e = 0; e < testing::ownedVolumeSize(s); ++e) s.outerPrev[e] = centred(random);
  for (int32_t p = 0; p < s.sliceSize; ++p) s.multiplier[p] = centred(random);
}

void copyContents(Problem& from, Problem& to) {
  SolverState& a = from.state;
  SolverState& b = to.state;
  to.costs = from.costs;
  to.u = from.u;
  const auto bytes = static_cast<std::size_t>(testing::ownedVolumeSize(a)) * sizeof(float);
  std::memcpy(b.dx, a.dx, bytes);
  std::memcpy(b.dy, a.dy, bytes);
  std::memcpy(b.bx, a.bx, bytes);
  std::memcpy(b.by, a.by, bytes);
  std::memcpy(b.outerPrev, a.outerPrev, bytes);
  std::memcpy(b.multiplier, a.multiplier, static_cast<std::size_t>(a.sliceSize) * sizeof(float));
}

// Every buffer of the two states, bit for bit.
std::string compareStates(Problem& fastProblem, Problem& oracleProblem) {
  return daskel::testing::firstStateDifference(fastProblem.state, oracleProblem.state);
}

// Shapes that stress the regions and the schedules: two rows or columns, 2 x 2, one phase,
// powers of two, and sizes just around multiples of small block widths.
std::vector<Shape> shapes() {
  std::vector<Shape> list = {{2, 2, 1},   {2, 2, 3},   {2, 3, 2},   {3, 2, 2},   {2, 9, 4},
                             {9, 2, 4},   {2, 40, 1},  {40, 2, 1},  {3, 3, 1},   {3, 3, 5},
                             {4, 4, 2},   {5, 7, 3},   {8, 8, 8},   {16, 16, 2}, {16, 16, 16},
                             {32, 32, 4}, {64, 16, 3}, {16, 64, 1}, {13, 35, 2}, {35, 13, 6},
                             {66, 10, 2}, {10, 66, 4}, {34, 34, 7}, {70, 19, 1}, {33, 65, 2}};
  // A few more from a fixed seed, all rows and columns from 2 to 45.
  std::mt19937 random(20240601u);
  std::uniform_int_distribution<int32_t> side(2, 45);
  std::uniform_int_distribution<int32_t> phases(1, 9);
  for (int n = 0; n < 15; ++n) list.push_back({side(random), side(random), phases(random)});
  return list;
}

const float kPenalties[] = {1.0f, 0.3f, 2.5f};
const float kTvWeights[] = {0.5f, 0.05f, 0.0f};

// Runs `fastKernel` on one problem and `oracleKernel` on an identical copy, for every shape and
// a few seeds from `firstSeed` on, and compares all buffers, and what the two return where they
// return something, after each of `repeats` applications.
template <typename FastKernel, typename OracleKernel>
void compareKernels(FastKernel fastKernel, OracleKernel oracleKernel, const Extras& extras,
                    int repeats, const std::vector<Shape>& cases = shapes(),
                    uint32_t firstSeed = 1) {
  uint32_t seed = firstSeed;
  for (const Shape& shape : cases) {
    for (int variant = 0; variant < 3; ++variant, ++seed) {
      Problem fastProblem(shape, kTvWeights[variant], kPenalties[variant]);
      Problem oracleProblem(shape, kTvWeights[variant], kPenalties[variant]);
      ASSERT_TRUE(fastProblem.ready && oracleProblem.ready);
      fill(fastProblem, seed, extras);
      copyContents(fastProblem, oracleProblem);
      for (int r = 0; r < repeats; ++r) {
        if constexpr (std::is_void_v<decltype(fastKernel(fastProblem.state))>) {
          fastKernel(fastProblem.state);
          oracleKernel(oracleProblem.state);
        } else {
          const auto fastResult = fastKernel(fastProblem.state);
          const auto oracleResult = oracleKernel(oracleProblem.state);
          ASSERT_EQ(fastResult, oracleResult) << describe(shape, seed) << ", application " << r + 1;
        }
        const std::string difference = compareStates(fastProblem, oracleProblem);
        ASSERT_EQ(difference, "") << describe(shape, seed) << ", application " << r + 1;
      }
    }
  }
}

TEST(FastKernels, ApproxSqrtMatchesOracleOnEveryKindOfFloat) {
  std::mt19937 random(7u);
  std::uniform_int_distribution<uint32_t> bits;
  const float fixed[] = {0.0f,
                         -0.0f,
                         1.0f,
                         0.25f,
                         4.0f,
                         1e-40f,
                         3.4e38f,
                         std::numeric_limits<float>::infinity(),
                         std::numeric_limits<float>::quiet_NaN(),
                         -1.0f};
  for (float x : fixed) EXPECT_TRUE(sameValue(approxSqrt(x), oracle::approxSqrt(x))) << x;
  for (int n = 0; n < 100000; ++n) {
    const uint32_t pattern = bits(random);
    float x = 0.0f;
    std::memcpy(&x, &pattern, sizeof x);
    ASSERT_TRUE(sameValue(approxSqrt(x), oracle::approxSqrt(x))) << std::hex << pattern;
  }
}

// Two sweeps in a row, as the driver runs them: the second starts from what the first left.
TEST(FastKernels, LabelSweepMatchesOracle) {
  compareKernels(labelSweep, oracle::labelSweep, Extras{}, 2);
}

TEST(FastKernels, LabelSweepMatchesOracleWithNanAndInfinity) {
  compareKernels(labelSweep, oracle::labelSweep, Extras{true, true}, 2);
}

// Grids on which the interior runs in bands of eight columns, one per SIMD lane, each lane
// trailing the one before by some rows: bands of exactly eight columns and the columns left
// over, columns too short for all lanes to be busy at once (the ends of a band overlap), tall
// enough that they are, and phase counts below, at and above what the lane schedule takes.
std::vector<Shape> laneShapes() {
  return {{30, 10, 2},  {114, 10, 1},  {115, 11, 3},  {130, 17, 5},  {131, 26, 2},
          {200, 18, 4}, {129, 25, 16}, {120, 12, 15}, {118, 12, 17}, {116, 12, 33},
          {60, 42, 9},  {250, 19, 2},  {3, 20, 2},    {4, 34, 3}};
}

TEST(FastKernels, LabelSweepMatchesOracleOnLaneBands) {
  compareKernels(labelSweep, oracle::labelSweep, Extras{}, 2, laneShapes());
  compareKernels(labelSweep, oracle::labelSweep, Extras{true, true}, 2, laneShapes());
}

// The driver's two sweeps in one schedule, the second trailing the first by a band, against two
// oracle sweeps: grids of one to several bands with leftover columns, the ends of columns where
// the first sweep's edge pixels are updated early, and phase counts around the lane limit.
void sweepTwice(SolverState& s) {
  detail::sweepLabelsTwice(s);
}
void sweepTwiceByOracle(SolverState& s) {
  oracle::labelSweep(s);
  oracle::labelSweep(s);
}

TEST(FastKernels, TwoSweepsInOneScheduleMatchOracle) {
  std::vector<Shape> cases = laneShapes();
  const std::vector<Shape> more = {{3, 18, 2},  {5, 27, 1},   {40, 35, 4}, {17, 50, 8},
                                   {64, 64, 3}, {21, 19, 16}, {9, 26, 17}};
  cases.insert(cases.end(), more.begin(), more.end());
  compareKernels(sweepTwice, sweepTwiceByOracle, Extras{}, 2, cases);
  compareKernels(sweepTwice, sweepTwiceByOracle, Extras{true, true}, 1, cases);
}

// Every level that this processor runs, called directly, whatever DASKEL_KERNELS picks: the two
// sweeps of the trailing schedule, one sweep, and the shrinkage with the sums of the change
// measure.
TEST(FastKernels, EveryLevelMatchesOracle) {
  std::vector<Shape> cases = laneShapes();
  const std::vector<Shape> more = {{2, 2, 1}, {3, 3, 5}, {5, 7, 3}, {9, 26, 17}, {40, 35, 4}};
  cases.insert(cases.end(), more.begin(), more.end());
  for (int l = 0; l <= static_cast<int>(detail::bestKernelLevel()); ++l) {
    const auto level = static_cast<detail::KernelLevel>(l);
    const detail::LevelKernels& kernels = detail::levelKernels(level);
    SCOPED_TRACE(detail::kernelLevelName(level));
    auto sweepTwiceAtLevel = [&kernels](SolverState& s) { kernels.sweepLabelsTwice(s); };
    compareKernels(sweepTwiceAtLevel, sweepTwiceByOracle, Extras{true, true}, 1, cases);
    auto sweepAtLevel = [&kernels](SolverState& s) {
      kernels.sweepLabels(s, detail::Multipliers::compute);
    };
    compareKernels(sweepAtLevel, oracle::labelSweep, Extras{true, true}, 1, cases);
    auto shrinkAtLevel = [&kernels](SolverState& s) {
      const oracle::ChangeSums byOracle = oracle::changeSums(s);
      const detail::ChangeSums sums = kernels.shrinkPass(s, detail::Measure::all);
      EXPECT_TRUE(sums.previousSquares == byOracle.P && sums.currentSquares == byOracle.Q &&
                  sums.changeSquares == byOracle.D);
    };
    compareKernels(shrinkAtLevel, oracle::shrinkUpdate, Extras{}, 1, cases);
  }
}

// Runs one sweep on `fastProblem` and on a copy with the oracle; every buffer must agree.
std::string sweepBoth(Problem& fastProblem, Problem& oracleProblem) {
  copyContents(fastProblem, oracleProblem);
  labelSweep(fastProblem.state);
  oracle::labelSweep(oracleProblem.state);
  return compareStates(fastProblem, oracleProblem);
}

// A stencil sum of -0.0 must stay -0.0. Pixel (1, 1) is the first of the first band of lanes;
// its left and up neighbours are old boundary values, all of them -0.0 in phase 0, as are its
// x and y terms ((-0) - (+0) in both), the multiplier and the bias are +0, so phase 0 becomes
// 0.25 * (-0.0) - 0 = -0.0 while phase 1 carries the pixel's sum of one.
TEST(FastKernels, LabelSweepKeepsANegativeZeroStencilSum) {
  const Shape shape{20, 12, 2};
  Problem fastProblem(shape, 0.5f, 1.0f);
  Problem oracleProblem(shape, 0.5f, 1.0f);
  ASSERT_TRUE(fastProblem.ready && oracleProblem.ready);
  SolverState& s = fastProblem.state;
  for (int32_t k = 0; k < shape.phases; ++k) {
    for (int32_t j = 0; j < shape.cols; ++j) {
      for (int32_t i = 0; i < shape.rows; ++i) {
        const int32_t q = i + shape.rows * j + s.sliceSize * k;
        fastProblem.u[q] = k == 0 ? -0.0f : 1.0f;
        fastProblem.costs[q] = 0.0f;
        s.dx[q] = j == 0 ? -0.0f : 0.0f;
        s.dy[q] = i == 0 ? -0.0f : 0.0f;
      }
    }
  }
  ASSERT_EQ(sweepBoth(fastProblem, oracleProblem), "");
  EXPECT_TRUE(std::signbit(oracleProblem.u[1 + shape.rows]));  // the case is what it says
}

// A penalty near the float range scales the costs into the subnormals: pixels whose support
// lies below the normal floats are rescaled by their stored values, lane by lane.
TEST(FastKernels, LabelSweepMatchesOracleOnSubnormalSupport) {
  uint32_t seed = 9000;
  for (const Shape& shape : laneShapes()) {
    Problem fastProblem(shape, 0.0f, 3e38f);
    Problem oracleProblem(shape, 0.0f, 3e38f);
    ASSERT_TRUE(fastProblem.ready && oracleProblem.ready);
    std::mt19937 random(++seed);
    std::uniform_int_distribution<int> pick(0, 2);
    for (float& cost : fastProblem.costs) {
      const int draw = pick(random);
      cost = draw == 0 ? 2e-10f : draw == 1 ? 1.2e-6f : 0.0f;
    }
    ASSERT_EQ(sweepBoth(fastProblem, oracleProblem), "") << describe(shape, seed);
  }
}

TEST(FastKernels, ShrinkUpdateMatchesOracle) {
  compareKernels(shrinkUpdate, oracle::shrinkUpdate, Extras{}, 2);
}

TEST(FastKernels, ShrinkUpdateMatchesOracleWithNanAndInfinity) {
  compareKernels(shrinkUpdate, oracle::shrinkUpdate, Extras{true, true}, 1);
}

// The sums of the change measure that the shrinkage pass forms beside it: each in index order,
// bit for bit as the oracle forms them; a known sum of outerPrev^2 is passed through untouched.
TEST(FastKernels, ShrinkagePassFormsTheChangeSumsInIndexOrder) {
  uint32_t seed = 7000;
  for (const Shape& shape : shapes()) {
    Problem problem(shape, 0.5f, 1.0f);
    ASSERT_TRUE(problem.ready);
    fill(problem, ++seed, Extras{});
    const oracle::ChangeSums byOracle = oracle::changeSums(problem.state);
    const detail::ChangeSums all = detail::shrinkAndMeasure(problem.state);
    const double known = 0.125;
    const detail::ChangeSums given = detail::shrinkAndMeasure(problem.state, &known);
    const std::string at = describe(shape, seed);
    EXPECT_EQ(all.previousSquares, byOracle.P) << at;
    EXPECT_EQ(all.currentSquares, byOracle.Q) << at;
    EXPECT_EQ(all.changeSquares, byOracle.D) << at;
    EXPECT_EQ(given.previousSquares, known) << at;
    EXPECT_EQ(given.currentSquares, byOracle.Q) << at;  // u is as it was
    EXPECT_EQ(given.changeSquares, byOracle.D) << at;
  }
}

// The driver, from a fresh start (split and Bregman values zero) and from a state left by
// earlier iterations; every buffer and the iteration count must agree.
TEST(FastKernels, WholeSolveMatchesOracle) {
  const auto solve = [](SolverState& s) { return runSolver(s); };
  for (const Extras& extras : {Extras{false, false}, Extras{false, true}, Extras{true, false}}) {
    compareKernels(solve, oracle::runSolver, extras, 1, shapes(), 1000);
  }
}

// Larger power-of-two grids, where a slice is a multiple of every cache way size: with few
// phases the owned volumes keep them unpadded, with many, or with 4 KiB columns, they pad them
// and the solve runs on a padded copy of u, on one thread and on two.
TEST(FastKernels, WholeSolveMatchesOracleOnPowerOfTwoGrids) {
  const struct {
    Shape shape;
    bool padded;
  } large[] = {{{128, 128, 4}, false},
               {{256, 64, 2}, false},
               {{64, 256, 8}, true},
               {{128, 128, 16}, true},
               {{256, 256, 6}, true},
               {{1024, 16, 3}, true}};
  uint32_t seed = 5000;
  for (const auto& [shape, padded] : large) {
    for (int32_t threads : {1, 2}) {
      Problem fastProblem(shape, 0.5f, 1.0f);
      Problem oracleProblem(shape, 0.5f, 1.0f);
      ASSERT_TRUE(fastProblem.ready && oracleProblem.ready);
      const SolverState& s = fastProblem.state;
      ASSERT_EQ(s.phaseStride > s.sliceSize, padded) << describe(shape, seed);
      ASSERT_EQ(s.paddedU != nullptr, padded);
      fill(fastProblem, ++seed, Extras{false, false});
      copyContents(fastProblem, oracleProblem);
      EXPECT_EQ(detail::runOnTeam(fastProblem.state, threads),
                oracle::runSolver(oracleProblem.state));
      EXPECT_EQ(compareStates(fastProblem, oracleProblem), "") << describe(shape, seed);
    }
  }
}

// The single passes on a padded state read u and the costs where the caller keeps them, the
// owned volumes with their padding.
TEST(FastKernels, SinglePassesMatchOracleOnAPaddedState) {
  const std::vector<Shape> padded = {{128, 128, 16}};
  ASSERT_GT(Problem(padded[0], 0.5f, 1.0f).state.phaseStride, 128 * 128);
  compareKernels(labelSweep, oracle::labelSweep, Extras{true, true}, 1, padded);
  compareKernels(shrinkUpdate, oracle::shrinkUpdate, Extras{true, true}, 1, padded);
}

}  // namespace
}  // namespace daskel
