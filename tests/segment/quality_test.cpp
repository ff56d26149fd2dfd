// The method keeps every phase: costs the solver can rank, ties read by cost, levels that
// neither collapse nor depend on the round count, starting levels at the criterion's optimum.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <ostream>
#include <random>
#include <string>

#include "segment/segment.hpp"
#include "tests/segment/synthetic.hpp"

namespace daskel::segment {
namespace {

using testing::agreement;
using testing::defaultSettings;
using testing::Layout;
using testing::makeSynthetic;

// Sum of squared distances of the values to their nearest level.
double withinSquares(const std::vector<float>& values, const std::vector<float>& levels) {
  double squares = 0.0;
  const std::vector<uint8_t> labels = nearestLabels(values, levels);
  for (std::size_t p = 0; p < values.size(); ++p) {
    const double d = static_cast<double>(values[p]) - levels[labels[p]];
    squares += d * d;
  }
  return squares;
}

// The least within-phase sum of squares over every split of the sorted distinct values into
// `phases` runs, by trying them all.
double bruteForceSquares(const std::vector<float>& values, int32_t phases) {
  std::vector<float> sorted = values;
  std::sort(sorted.begin(), sorted.end());
  // Prefix sums over the distinct values: run [a, b) of them holds count[b] - count[a] values.
  std::vector<double> count{0.0}, sum{0.0}, squares{0.0};
  for (std::size_t p = 0; p < sorted.size(); ++p) {
    if (p == 0 || sorted[p] != sorted[p - 1]) {
      count.push_back(count.back());
      sum.push_back(sum.back());
      squares.push_back(squares.back());
    }
    count.back() += 1.0;
    sum.back() += sorted[p];
    squares.back() += static_cast<double>(sorted[p]) * sorted[p];
  }
  const std::size_t distinct = count.size() - 1;
  auto runSquares = [&](std::size_t a, std::size_t b) {
    const double total = sum[b] - sum[a];
    return (squares[b] - squares[a]) - total * total / (count[b] - count[a]);
  };
  std::function<double(std::size_t, int32_t)> best = [&](std::size_t begin, int32_t left) {
    if (left == 1) return runSquares(begin, distinct);
    double least = INFINITY;
    for (std::size_t end = begin + 1; end + static_cast<std::size_t>(left - 1) <= distinct; ++end) {
      least = std::min(least, runSquares(begin, end) + best(end, left - 1));
    }
    return least;
  };
  return best(0, phases);
}

TEST(KMeansLevels, ReachTheLeastWithinPhaseSquares) {
  // Uneven clusters of 8-bit values, where Lloyd's iteration can stop in a local optimum.
  for (unsigned seed = 1; seed <= 6; ++seed) {
    std::mt19937 random(seed);
    std::vector<float> values;
    for (int cluster = 0; cluster < 8; ++cluster) {
      const int centre = static_cast<int>(random() % 200) + 20;
      const int count = 2 + static_cast<int>(random() % 200);
      for (int n = 0; n < count; ++n) {
        values.push_back(static_cast<float>(centre + static_cast<int>(random() % 9)) / 255.0f);
      }
    }
    for (int32_t phases = 2; phases <= 4; ++phases) {
      const std::vector<float> levels = kMeansLevels(values, phases);
      ASSERT_EQ(levels.size(), static_cast<std::size_t>(phases));
      EXPECT_TRUE(std::is_sorted(levels.begin(), levels.end()));
      EXPECT_NEAR(withinSquares(values, levels), bruteForceSquares(values, phases), 1e-9)
          << "seed " << seed << ", " << phases << " phases";
    }
  }
  // Fewer distinct values than phases: still distinct levels, one on each value.
  const std::vector<float> levels = kMeansLevels({0.2f, 0.2f, 0.6f}, 4);
  ASSERT_EQ(levels.size(), 4u);
  EXPECT_TRUE(std::adjacent_find(levels.begin(), levels.end(), std::greater_equal<float>()) ==
              levels.end());
  EXPECT_NE(std::find(levels.begin(), levels.end(), 0.2f), levels.end());
  EXPECT_NE(std::find(levels.begin(), levels.end(), 0.6f), levels.end());
}

TEST(FlatWindowMeans, DenoiseFlatRegionsAndKeepThinLines) {
  // A clean 2-pixel line on a background: no value is blended with its neighbours'.
  auto line = makeSynthetic(Layout::DiscAndBar, 30, 30, {0.2f, 0.5f, 0.8f}, 0.0, 1);
  for (int32_t j = 0; j < 30; ++j) {
    line.image.values[14 + 30 * j] = 0.9f;
    line.image.values[15 + 30 * j] = 0.9f;
  }
  EXPECT_EQ(noiseVariance(line.image), 0.0);
  EXPECT_EQ(flatWindowMeans(line.image, 0.0), line.image.values);

  // Noise over the same regions: the noise is measured, and the flat parts lose most of it.
  const double sigma = 0.05;
  const auto noisy = makeSynthetic(Layout::DiscAndBar, 60, 60, {0.2f, 0.5f, 0.8f}, sigma, 2);
  const double variance = noiseVariance(noisy.image);
  EXPECT_NEAR(std::sqrt(variance), sigma, 0.15 * sigma);
  const std::vector<float> means = flatWindowMeans(noisy.image, variance);
  const std::vector<float> levels = {0.2f, 0.5f, 0.8f};
  double squares = 0.0;
  for (std::size_t p = 0; p < means.size(); ++p) {
    const double d = means[p] - levels[noisy.truth[p]];
    squares += d * d;
  }
  EXPECT_LT(squares / static_cast<double>(means.size()), 0.2 * sigma * sigma);
}

// The spread limit is what keeps the solver's labelling from saturating into ties: with raw
// likelihood costs of a clean image, the two cheapest of K phases both clamp to 1 and end equal.
TEST(CostSpreadLimit, KeepsTheTwoCheapestPhasesApart) {
  for (int32_t phases : {3, 8, 16}) {
    for (float penalty : {1.5f, 4.0f}) {
      GreyImage image;
      image.rows = 2;  // every pixel a corner, the tightest case
      image.cols = 2;
      image.values.assign(4, 0.5f);
      std::vector<float> levels = {0.5f, 0.501f};   // nearly tied in cost
      const double kStep8 = 1.0 / (255.0 * 255.0);  // the variance of one 8-bit step
      for (int32_t k = 2; k < phases; ++k) levels.push_back(0.55f + 0.025f * k);
      auto solve = [&](double spreadLimit) {
        const std::vector<float> costs = dataCosts(image.values, levels, kStep8, spreadLimit);
        std::vector<float> u(costs.size(), 1.0f / static_cast<float>(phases));
        SolverState state{};
        EXPECT_TRUE(initSolverState(state, 2, 2, phases, Settings{}.tvWeight, penalty, costs.data(),
                                    u.data(), nullptr));
        runSolver(state);
        releaseSolverState(state);
        return u;
      };
      const std::vector<float> saturated = solve(INFINITY);
      EXPECT_EQ(saturated[0], saturated[4]) << phases << " phases, penalty " << penalty;
      const std::vector<float> ranked = solve(costSpreadLimit(penalty, phases));
      for (int32_t p = 0; p < 4; ++p) {
        EXPECT_GT(ranked[p], ranked[p + 4]) << phases << " phases, penalty " << penalty;
      }
    }
  }
}

const int32_t kRounds = Settings{}.rounds;

// Pictures that lost phases before: every phase must come back, at its level, at any round count.
struct PictureCase {
  std::string name;
  Layout layout;
  std::vector<float> levels;
  double noiseOfGap;  // noise deviation as a share of the smallest gap between levels
  int32_t rounds;
};

void PrintTo(const PictureCase& c, std::ostream* os) {
  *os << c.name;
}

class Pictures : public ::testing::TestWithParam<PictureCase> {};

TEST_P(Pictures, KeepEveryPhaseAtItsLevel) {
  const PictureCase& c = GetParam();
  double gap = 1.0;
  for (std::size_t k = 1; k < c.levels.size(); ++k)
    gap = std::min(gap, double{c.levels[k] - c.levels[k - 1]});
  const auto s = makeSynthetic(c.layout, 96, 120, c.levels, c.noiseOfGap * gap, 5);
  const auto phases = static_cast<int32_t>(c.levels.size());
  Result result;
  ASSERT_TRUE(segmentImage(s.image, defaultSettings(phases, c.rounds), result, {}, nullptr));
  EXPECT_GE(agreement(result.labels, s.truth), 0.98);
  const std::vector<double> shares = phaseShares(result.labels, phases);
  for (int32_t k = 0; k < phases; ++k) {
    EXPECT_GT(shares[k], 0.0) << "phase " << k;
    EXPECT_NEAR(result.levels[k], c.levels[k], 0.2 * gap) << "phase " << k;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Segment, Pictures,
    ::testing::Values(
        PictureCase{"Clean5", Layout::Rings, {0.0f, 0.25f, 0.5f, 0.75f, 1.0f}, 0.0, kRounds},
        PictureCase{"TwoCloseLevels4", Layout::Rings, {0.1f, 0.45f, 0.55f, 0.9f}, 0.3, kRounds},
        PictureCase{"CleanOneRound3", Layout::DiscAndBar, {0.1f, 0.5f, 0.9f}, 0.0, 1},
        PictureCase{"NoisyOneRound3", Layout::DiscAndBar, {0.2f, 0.5f, 0.8f}, 0.5, 1},
        PictureCase{"DarkNoisy3", Layout::DiscAndBar, {0.02f, 0.06f, 0.1f}, 0.3, kRounds}),
    [](const ::testing::TestParamInfo<PictureCase>& info) { return info.param.name; });

TEST(SegmentImage, GivenLevelsInAnyOrderComeBackIncreasing) {
  const auto s = makeSynthetic(Layout::DiscAndBar, 40, 50, {0.2f, 0.5f, 0.8f}, 0.05, 3);
  Settings settings = defaultSettings(3, 2);
  settings.levels = {0.8f, 0.2f, 0.5f};
  Result result;
  ASSERT_TRUE(segmentImage(s.image, settings, result, {}, nullptr));
  EXPECT_TRUE(std::is_sorted(result.levels.begin(), result.levels.end()));
  EXPECT_GE(agreement(result.labels, s.truth), 0.99);
}

}  // namespace
}  // namespace daskel::segment
