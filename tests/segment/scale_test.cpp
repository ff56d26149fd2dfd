// The method at any contrast and on clean thin structures; its quick passes against the
// straightforward ones; rounds that end once settled.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
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

// A black 64 x 64 picture with white thin structures: a dot, a 1-pixel diagonal of 40 pixels, a
// row and a 3 x 10 bar. `white` is their intensity, `black` the background's.
GreyImage thinStructures(float black, float white) {
  GreyImage image;
  image.rows = 64;
  image.cols = 64;
  image.values.assign(64 * 64, black);
  auto at = [&image](int32_t i, int32_t j) -> float& { return image.values[i + 64 * j]; };
  at(10, 10) = white;
  for (int32_t t = 0; t < 40; ++t) at(15 + t, 20 + t) = white;
  for (int32_t j = 20; j < 60; ++j) at(5, j) = white;
  for (int32_t i = 40; i < 43; ++i) {
    for (int32_t j = 5; j < 15; ++j) at(i, j) = white;
  }
  return image;
}

// On a clean picture a pixel a whole level from its neighbours is real: every structure keeps
// the brightest phase, at 2 and 3 phases (the dot and the diagonal went before).
TEST(ThinStructures, CleanDotsAndLinesAreKept) {
  const GreyImage image = thinStructures(0.0f, 1.0f);
  for (int32_t phases : {2, 3}) {
    Result result;
    ASSERT_TRUE(segmentImage(image, defaultSettings(phases), result, {}, nullptr));
    for (std::size_t p = 0; p < image.values.size(); ++p) {
      ASSERT_EQ(result.labels[p], image.values[p] > 0.5f ? phases - 1 : 0)
          << phases << " phases, pixel (" << p % 64 << ", " << p / 64 << ")";
    }
  }
}

// The pixels of `image` mapped to b + a * I and rounded to 16 bits, as a PNG holds them.
GreyImage affine(const GreyImage& image, double a, double b) {
  GreyImage scaled = image;
  for (float& v : scaled.values)
    v = static_cast<float>(std::round((b + a * v) * 65535.0) / 65535.0);
  return scaled;
}

// a * I + b (a > 0) gives the same labels at every scale down to 1/64, as far as 16-bit samples
// allow, and levels that follow the map: nothing in the method has an absolute scale.
struct ScaleCase {
  std::string name;
  GreyImage image;
  int32_t phases;
  double leastAgreement;  // 1: the same labels at every scale
};

void PrintTo(const ScaleCase& c, std::ostream* os) {
  *os << c.name;
}

class Scales : public ::testing::TestWithParam<ScaleCase> {};

TEST_P(Scales, GiveTheSameLabels) {
  const ScaleCase& c = GetParam();
  Result reference;
  ASSERT_TRUE(segmentImage(c.image, defaultSettings(c.phases), reference, {}, nullptr));
  for (double a : {1.0 / 4, 1.0 / 16, 1.0 / 64}) {
    const double b = 0.3 * (1.0 - a);
    Result result;
    ASSERT_TRUE(
        segmentImage(affine(c.image, a, b), defaultSettings(c.phases), result, {}, nullptr));
    if (c.leastAgreement == 1.0) {
      EXPECT_EQ(result.labels, reference.labels) << "scale " << a;
    } else {
      EXPECT_GE(agreement(result.labels, reference.labels), c.leastAgreement) << "scale " << a;
    }
    for (int32_t k = 0; k < c.phases; ++k) {
      EXPECT_NEAR((result.levels[k] - b) / a, reference.levels[k], 2e-3) << "scale " << a;
    }
  }
}

ScaleCase noisy(std::string name, Layout layout, std::vector<float> levels, double sigma) {
  return {std::move(name), affine(makeSynthetic(layout, 96, 120, levels, sigma, 7).image, 1.0, 0.0),
          static_cast<int32_t>(levels.size()), 0.999};
}

INSTANTIATE_TEST_SUITE_P(
    Segment, Scales,
    ::testing::Values(
        ScaleCase{"ThinStructures", thinStructures(0.0f, 1.0f), 3, 1.0},
        ScaleCase{
            "CleanRings4",
            affine(makeSynthetic(Layout::Rings, 96, 120, {0.1f, 0.4f, 0.6f, 0.9f}, 0.0, 1).image,
                   1.0, 0.0),
            4, 1.0},
        noisy("NoisyDiscAndBar3", Layout::DiscAndBar, {0.2f, 0.5f, 0.8f}, 0.09),
        noisy("LightNoiseField3", Layout::SmoothField, {0.15f, 0.5f, 0.85f}, 0.03)),
    [](const ::testing::TestParamInfo<ScaleCase>& info) { return info.param.name; });

// The smoothing follows the noise against the gaps: none on a clean picture, full weight where
// noise carries 1 % of the pixels or more across a midpoint, the same at any scale.
TEST(SmoothingWeight, FollowsTheNoiseAgainstTheGap) {
  const std::vector<float> levels = {0.2f, 0.5f, 0.8f};
  EXPECT_EQ(smoothingWeight(0.4f, 0.0, levels), 0.0f);
  EXPECT_EQ(smoothingWeight(0.4f, 0.09 * 0.09, levels), 0.4f);  // noise 0.3 of the gap
  // Noise 0.15 of the gap: erfc(0.3 / (2 sqrt(2) 0.045)) = 8.6e-4 of the pixels stray.
  EXPECT_NEAR(smoothingWeight(0.4f, 0.045 * 0.045, levels), 0.4 * 8.6e-4 / 0.01, 0.002);
  const std::vector<float> scaled = {0.2f / 64, 0.5f / 64, 0.8f / 64};
  EXPECT_NEAR(smoothingWeight(0.4f, 0.045 * 0.045 / 4096, scaled),
              smoothingWeight(0.4f, 0.045 * 0.045, levels), 1e-6);
}

// The straightforward window mean: every value of the window, twice.
std::vector<float> straightforwardWindowMeans(const GreyImage& image, double noiseVariance) {
  std::vector<float> result(image.values);
  for (int32_t j = 0; j < image.cols; ++j) {
    for (int32_t i = 0; i < image.rows; ++i) {
      for (int32_t radius : {2, 1}) {
        double total = 0.0, count = 0.0, squares = 0.0;
        for (int32_t c = std::max(0, j - radius); c <= std::min(image.cols - 1, j + radius); ++c) {
          for (int32_t r = std::max(0, i - radius); r <= std::min(image.rows - 1, i + radius);
               ++r) {
            total += image.values[r + image.rows * c];
            count += 1.0;
          }
        }
        const double mean = total / count;
        for (int32_t c = std::max(0, j - radius); c <= std::min(image.cols - 1, j + radius); ++c) {
          for (int32_t r = std::max(0, i - radius); r <= std::min(image.rows - 1, i + radius);
               ++r) {
            const double d = image.values[r + image.rows * c] - mean;
            squares += d * d;
          }
        }
        if (squares / count <= 2.0 * noiseVariance) {
          result[i + image.rows * j] = static_cast<float>(mean);
          break;
        }
      }
    }
  }
  return result;
}

// The upper median of the neighbours' absolute differences (in float, as the pass takes them), by
// sorting them all.
double straightforwardNoise(const GreyImage& image) {
  std::vector<float> d;
  for (int32_t j = 0; j < image.cols; ++j) {
    for (int32_t i = 0; i < image.rows; ++i) {
      const float v = image.values[i + image.rows * j];
      if (i + 1 < image.rows) d.push_back(std::fabs(image.values[i + 1 + image.rows * j] - v));
      if (j + 1 < image.cols) d.push_back(std::fabs(image.values[i + image.rows * (j + 1)] - v));
    }
  }
  std::sort(d.begin(), d.end());
  const double deviation = static_cast<double>(d[d.size() / 2]) / (0.6745 * std::sqrt(2.0));
  return deviation * deviation;
}

// The window sums and the radix selection of the median give the straightforward results, bit
// for bit: on 8-bit pictures (whose sums are exact in any order), on windows of equal values, on
// a window's variance at its limit, and on floats of every size for the median.
TEST(QuickPasses, EqualTheStraightforwardOnes) {
  std::vector<GreyImage> pictures = {
      makeSynthetic(Layout::DiscAndBar, 37, 45, {0.2f, 0.5f, 0.8f}, 0.05, 4).image,
      makeSynthetic(Layout::Rings, 30, 7, {0.1f, 0.5f, 0.9f}, 0.0, 4).image,
      thinStructures(0.25f, 0.75f)};
  GreyImage floats = pictures[0];
  std::mt19937 random(9);
  for (float& v : floats.values) {
    v = std::ldexp(std::uniform_real_distribution<float>(0.5f, 1.0f)(random),
                   -static_cast<int>(random() % 30));
  }
  pictures.push_back(floats);
  for (std::size_t n = 0; n < pictures.size(); ++n) {
    const GreyImage& image = pictures[n];
    const double noise = straightforwardNoise(image);
    EXPECT_EQ(noiseVariance(image), noise) << "picture " << n;
    if (n + 1 < pictures.size()) {
      EXPECT_EQ(flatWindowMeans(image, noise), straightforwardWindowMeans(image, noise))
          << "picture " << n;
    }
  }
  // A 3 x 3 window whose variance is the limit exactly: 0 and 1 / 2 in a checkerboard of 0.5 and
  // 0, whose squared deviations from the mean sum exactly; flat at the limit, not just below.
  GreyImage board;
  board.rows = board.cols = 3;
  board.values = {0.5f, 0.0f, 0.5f, 0.0f, 0.5f, 0.0f, 0.5f, 0.0f, 0.5f};
  const double mean = 2.5 / 9.0;
  double squares = 0.0;
  for (float v : board.values) squares += (v - mean) * (v - mean);
  const double limitVariance = squares / 9.0 / 2.0;
  EXPECT_EQ(flatWindowMeans(board, limitVariance),
            straightforwardWindowMeans(board, limitVariance));
  EXPECT_EQ(flatWindowMeans(board, limitVariance)[4], static_cast<float>(mean));
}

// The costs and the labels, taken a run of pixels and a phase at a time, against pixel by pixel:
// over more pixels than a run, with weights and costs from a few values so that ties are common.
TEST(QuickPasses, RunsOfPixelsEqualPixelByPixel) {
  std::mt19937 random(11);
  const auto pick = [&random](std::initializer_list<float> from) {
    return *(from.begin() + random() % from.size());
  };
  const int32_t slice = 1100;
  std::vector<float> values(slice);
  for (float& v : values) v = pick({0.0f, 0.1f, 0.35f, 0.5f, 0.9f, 1.0f});
  for (int32_t phases = 2; phases <= 5; ++phases) {
    std::vector<float> levels;
    for (int32_t k = 0; k < phases; ++k) levels.push_back(0.2f * k + 0.05f);
    const double scale = 1.0 / (2.0 * 0.01);
    const std::vector<float> costs = dataCosts(values, levels, 0.01, 3.0);
    std::vector<float> u(costs.size());
    for (float& w : u) w = pick({0.0f, 0.25f, 0.5f});
    const std::vector<uint8_t> labels = hardLabels(u, costs, slice, phases);
    for (int32_t p = 0; p < slice; ++p) {
      const auto distance = [&](int32_t k) { return static_cast<double>(values[p]) - levels[k]; };
      double least = INFINITY;
      for (int32_t k = 0; k < phases; ++k) {
        least = std::min(least, distance(k) * distance(k) * scale);
      }
      int32_t best = 0;
      for (int32_t k = 0; k < phases; ++k) {
        const double d = distance(k);
        ASSERT_EQ(costs[p + slice * k], static_cast<float>(std::min(d * d * scale - least, 3.0)))
            << phases << " phases, pixel " << p;
        const float w = u[p + slice * k];
        const float bestW = u[p + slice * best];
        if (w > bestW || (w == bestW && costs[p + slice * k] < costs[p + slice * best])) best = k;
      }
      ASSERT_EQ(labels[p], best) << phases << " phases, pixel " << p;
    }
  }
  // The extremes among the last values, after the last whole group of eight, still set the range.
  std::vector<float> tail(16, 0.5f);
  tail.insert(tail.end(), {0.1f, 0.9f});
  EXPECT_EQ(kMeansLevels(tail, 3), (std::vector<float>{0.1f, 0.5f, 0.9f}));
}

// Settled: at most 1 in 1000 pixels changed and no level moved more than 1 % of the least gap.
TEST(Rounds, SettleWithinOneInAThousandPixelsAndOnePercentOfTheGap) {
  std::vector<uint8_t> previous(2000, 0);
  const std::vector<float> levels = {0.2f, 0.5f, 0.8f};
  struct Case {
    int32_t changed;
    float move;
    bool settled;
  };
  for (const Case& c : {Case{0, 0.0f, true}, Case{2, 0.0f, true}, Case{3, 0.0f, false},
                        Case{0, 0.0029f, true}, Case{0, 0.0031f, false}}) {
    std::vector<uint8_t> labels = previous;
    std::fill(labels.begin(), labels.begin() + c.changed, 1);
    std::vector<float> moved = levels;
    moved[1] += c.move;
    EXPECT_EQ(labelsSettled(labels, previous, moved, levels), c.settled)
        << c.changed << " changed, move " << c.move;
  }
}

// The first round's costs are confirmed by its labels when the levels they give lie within 1 % of
// the least gap and their variance within 5 % of the one solved.
TEST(Rounds, FirstCostsSettleWithinOnePercentOfTheGapAndFivePercentOfTheVariance) {
  const std::vector<float> levels = {0.2f, 0.5f, 0.8f};
  struct Case {
    float move;
    double variance;
    double previousVariance;
    bool settled;
  };
  for (const Case& c : {Case{0.0f, 0.01, 0.01, true}, Case{0.0029f, 0.0104, 0.01, true},
                        Case{0.0031f, 0.01, 0.01, false}, Case{0.0f, 0.0106, 0.01, false},
                        Case{0.0f, 0.0094, 0.01, false}, Case{0.0f, 0.0, 0.0, false}}) {
    std::vector<float> moved = levels;
    moved[2] -= c.move;
    EXPECT_EQ(costsSettled(moved, levels, c.variance, c.previousVariance), c.settled)
        << "move " << c.move << ", variance " << c.variance << " after " << c.previousVariance;
  }
}

// Settled rounds end the segmentation with the result those rounds give, and report each.
TEST(Rounds, EndOnceSettledWithTheResultOfTheRoundsRun) {
  const auto s = makeSynthetic(Layout::DiscAndBar, 40, 50, {0.2f, 0.5f, 0.8f}, 0.05, 3);
  std::vector<int32_t> reported;
  Result settled;
  ASSERT_TRUE(segmentImage(
      s.image, defaultSettings(3, 50), settled,
      [&](const RoundReport& r) { reported.push_back(r.round); }, nullptr));
  ASSERT_LT(settled.rounds, 50);
  EXPECT_EQ(reported.size(), static_cast<std::size_t>(settled.rounds));
  EXPECT_EQ(reported.back(), settled.rounds);
  Result fixed;
  ASSERT_TRUE(segmentImage(s.image, defaultSettings(3, settled.rounds), fixed, {}, nullptr));
  EXPECT_EQ(fixed.rounds, settled.rounds);
  EXPECT_EQ(fixed.labels, settled.labels);
  EXPECT_EQ(fixed.levels, settled.levels);
  EXPECT_EQ(fixed.u, settled.u);
}

}  // namespace
}  // namespace daskel::segment
