// The steps of the segmentation method on synthetic images.
#include "segment/segment.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "segment/working_buffers.hpp"
#include "tests/segment/synthetic.hpp"

namespace daskel::segment {
namespace {

using testing::agreement;
using testing::defaultSettings;
using testing::Layout;
using testing::makeSynthetic;

TEST(KMeansLevels, FindsUnevenlySizedLevelsInIncreasingOrder) {
  // 70 % of the values at 0.8, 20 % at 0.1, 10 % at 0.45: a start from the quantiles would put
  // two centres in the large group; the optimum of the criterion has one level per group.
  std::vector<float> values;
  values.insert(values.end(), 700, 0.8f);
  values.insert(values.end(), 200, 0.1f);
  values.insert(values.end(), 100, 0.45f);
  const std::vector<float> levels = kMeansLevels(values, 3);
  ASSERT_EQ(levels.size(), 3u);
  EXPECT_FLOAT_EQ(levels[0], 0.1f);
  EXPECT_FLOAT_EQ(levels[1], 0.45f);
  EXPECT_FLOAT_EQ(levels[2], 0.8f);
}

TEST(Labels, TiesGoToTheCheaperPhaseThenTheLowerOne) {
  // Two pixels, three phases: pixel 0 ties phases 1 and 2 in u, pixel 1 prefers phase 0.
  const std::vector<float> u = {0.0f, 0.6f, 0.5f, 0.1f, 0.5f, 0.3f};
  const std::vector<float> equalCosts(6, 1.0f);
  EXPECT_EQ(hardLabels(u, equalCosts, 2, 3), (std::vector<uint8_t>{1, 0}));
  // The tie goes to the phase of lower cost; a lower cost does not outweigh a larger u.
  const std::vector<float> costs = {0.0f, 9.0f, 2.0f, 0.0f, 1.0f, 0.0f};
  EXPECT_EQ(hardLabels(u, costs, 2, 3), (std::vector<uint8_t>{2, 0}));
  EXPECT_EQ(nearestLabels({0.25f, 0.9f, 0.6f, 0.75f}, {0.25f, 0.5f, 1.0f}),
            (std::vector<uint8_t>{0, 2, 1, 1}));  // 0.75: a tie, exact in binary
}

TEST(Estimates, LevelsAndVarianceFollowTheLabels) {
  // 2 x 2 pixels, one phase per column: no pixel is interior, so all pixels count.
  GreyImage image;
  image.rows = 2;
  image.cols = 2;
  image.values = {0.1f, 0.3f, 0.8f, 0.6f};
  const std::vector<uint8_t> labels = {0, 0, 2, 2};
  std::vector<float> levels = {0.0f, 0.5f, 1.0f};
  levels = phaseMeans(image, labels, levels);
  EXPECT_FLOAT_EQ(levels[0], 0.2f);
  EXPECT_FLOAT_EQ(levels[1], 0.5f);  // no pixels: keeps its level
  EXPECT_FLOAT_EQ(levels[2], 0.7f);
  EXPECT_NEAR(labelVariance(image, labels, levels), 0.01, 1e-7);
  // A clean image does not give a zero variance, which would make the costs infinite; the floor
  // is a deviation of 1/256 of the smallest gap, whatever the range of the levels.
  image.values = {0.5f, 0.5f, 0.5f, 0.5f};
  for (float gap : {0.25f, 1.0f / 1024}) {
    const std::vector<float> two = {0.5f, 0.5f + gap};
    EXPECT_EQ(labelVariance(image, {0, 0, 0, 0}, two), varianceFloor(two));
    EXPECT_NEAR(varianceFloor(two) / (gap * gap), 1.0 / (256.0 * 256.0), 1e-9);
  }

  // Costs count from each pixel's cheapest phase and stop at the spread limit.
  std::vector<float> costs = dataCosts({0.2f, 0.4f}, {0.2f, 0.6f}, 0.01, 100.0);
  ASSERT_EQ(costs.size(), 4u);
  EXPECT_NEAR(costs[0], 0.0f, 1e-6);
  EXPECT_NEAR(costs[1], 0.0f, 1e-5);  // 0.2^2 / 0.02, less the same for phase 1
  EXPECT_NEAR(costs[2], 8.0f, 1e-5);
  EXPECT_NEAR(costs[3], 0.0f, 1e-5);
  costs = dataCosts({0.2f, 0.4f}, {0.2f, 0.6f}, 0.01, 5.0);
  EXPECT_EQ(costs[2], 5.0f);
}

// The tool's point: with the default settings, noise that defeats per-pixel labelling leaves
// the regions intact, whatever the contrast of the image.
struct NoisyCase {
  Layout layout;
  std::vector<float> levels;
  double sigma;
};

const char* layoutName(Layout layout) {
  return layout == Layout::DiscAndBar ? "DiscAndBar" : "SmoothField";
}

// How gtest shows a case, in its test list and so in the ctest names: readable, and the same on
// every run (without it gtest prints the object's bytes, heap addresses included).
void PrintTo(const NoisyCase& c, std::ostream* os) {
  *os << layoutName(c.layout) << ", levels";
  for (float level : c.levels) *os << ' ' << level;
  *os << ", noise " << c.sigma;
}

class NoisyImages : public ::testing::TestWithParam<NoisyCase> {};

TEST_P(NoisyImages, DefaultsRecoverTheRegionsWhereNearestLevelFails) {
  const NoisyCase& c = GetParam();
  const auto s = makeSynthetic(c.layout, 96, 120, c.levels, c.sigma, 11);
  const double nearest = agreement(nearestLabels(s.image.values, c.levels), s.truth);
  EXPECT_LT(nearest, 0.80);

  Result result;
  ASSERT_TRUE(segmentImage(s.image, defaultSettings(), result, {}, nullptr));
  const double recovered = agreement(result.labels, s.truth);
  EXPECT_GE(recovered, 0.97) << "nearest level gets " << nearest;
  for (int k = 0; k < 3; ++k) EXPECT_NEAR(result.levels[k], c.levels[k], 0.04);
}

std::string caseName(const ::testing::TestParamInfo<NoisyCase>& info) {
  return layoutName(info.param.layout) + std::string("_") + std::to_string(info.index);
}

INSTANTIATE_TEST_SUITE_P(
    Segment, NoisyImages,
    ::testing::Values(NoisyCase{Layout::DiscAndBar, {0.15f, 0.5f, 0.85f}, 0.2},
                      NoisyCase{Layout::SmoothField, {0.15f, 0.5f, 0.85f}, 0.2},
                      NoisyCase{Layout::DiscAndBar, {0.4f, 0.5f, 0.6f}, 0.055},
                      NoisyCase{Layout::SmoothField, {0.2f, 0.45f, 0.7f}, 0.14}),
    caseName);

TEST(SegmentImage, RoundsReportAndGivenLevelsAreUsed) {
  const auto s = makeSynthetic(Layout::DiscAndBar, 40, 50, {0.2f, 0.5f, 0.8f}, 0.05, 3);
  Settings settings = defaultSettings();
  settings.rounds = 3;
  settings.levels = {0.25f, 0.45f, 0.9f};
  std::vector<int32_t> rounds;
  Result result;
  ASSERT_TRUE(segmentImage(
      s.image, settings, result, [&](const RoundReport& r) { rounds.push_back(r.round); },
      nullptr));
  // Each round is reported, up to the last one run (they may settle before the third).
  ASSERT_GE(result.rounds, 2);
  std::vector<int32_t> expected;
  for (int32_t r = 1; r <= result.rounds; ++r) expected.push_back(r);
  EXPECT_EQ(rounds, expected);
  EXPECT_GE(agreement(result.labels, s.truth), 0.99);
  // Re-estimated from the labelling, the levels move from the given ones to the true ones.
  EXPECT_NEAR(result.levels[2], 0.8f, 0.02);
}

// The method's passes share blocks of columns among threads and sum block by block: every thread
// count gives the same bits. 330 x 430 pixels take two threads or more, with a last block of
// fewer columns; noise of 0.6 of the gap runs several rounds.
TEST(SegmentImage, EveryThreadCountGivesTheSameBits) {
  const auto s = makeSynthetic(Layout::SmoothField, 330, 430, {0.2f, 0.5f, 0.8f}, 0.18, 5);
  Settings alone = defaultSettings();
  alone.threads = 1;
  Result one;
  ASSERT_TRUE(segmentImage(s.image, alone, one, {}, nullptr));
  ASSERT_GT(one.rounds, 1);
  for (int32_t threads : {0, 2, 3, 7}) {
    Settings settings = defaultSettings();
    settings.threads = threads;
    Result several;
    ASSERT_TRUE(segmentImage(s.image, settings, several, {}, nullptr));
    EXPECT_EQ(several.levels, one.levels) << threads << " threads";
    EXPECT_EQ(several.variance, one.variance) << threads << " threads";
    EXPECT_EQ(several.labels, one.labels) << threads << " threads";
    EXPECT_EQ(several.u, one.u) << threads << " threads";
  }
}

// Two regions whose means lie 0.15 apart, region 1 right of a slanted edge (or, `small`, the last
// tenth of the columns), under vertical stripes of +-amplitude: square ones `width`
// pixels wide, or a sine of period 2 width; Gaussian noise of deviation `noise`. Truth is the
// region.
struct Stripes {
  int32_t width;
  float amplitude;
  bool sine = false;
  double noise = 0.0;
  bool small = false;
};

testing::Synthetic stripedRegions(const Stripes& c) {
  testing::Synthetic s;
  s.image.rows = 60;
  s.image.cols = c.small ? 200 : 80;
  std::mt19937 random(3);
  std::normal_distribution<double> noise(0.0, c.noise);
  for (int32_t j = 0; j < s.image.cols; ++j) {
    const double stripe = c.sine ? c.amplitude * std::sin(3.14159265358979 * j / c.width)
                          : (j / c.width) % 2 == 0 ? c.amplitude
                                                   : -c.amplitude;
    for (int32_t i = 0; i < s.image.rows; ++i) {
      const uint8_t region = (c.small ? j >= 180 : j > 30 + i / 3) ? 1 : 0;
      s.truth.push_back(region);
      s.image.values.push_back(static_cast<float>((region == 1 ? 0.55 : 0.4) + stripe +
                                                  (c.noise > 0 ? noise(random) : 0)));
    }
  }
  return s;
}

// Phases that alternate in short runs over regions that keep their offset from the pattern's
// levels are texture, segmented by their means over about one period; a fine pattern of clean
// levels is not. The small region and the sine keep the test from leaning on the regions' share of
// the picture or on square steps (the noise within one phase is then taken along the stripes).
TEST(Texture, StripesAreSegmentedByTheirWindowMeans) {
  struct Case {
    Stripes stripes;
    int32_t window;
  };
  for (const Case& c :
       {Case{{4, 0.2f}, 9}, Case{{3, 0.2f}, 7}, Case{{4, 0.0f}, 1},
        Case{{3, 0.2f, false, 0.05, true}, 7}, Case{{3, 0.2f, true, 0.05, true}, 7}}) {
    const auto s = stripedRegions(c.stripes);
    Result result;
    ASSERT_TRUE(segmentImage(s.image, defaultSettings(2), result, {}, nullptr));
    const std::string name = "stripes " + std::to_string(c.stripes.width) +
                             (c.stripes.sine ? ", sine" : "") + (c.stripes.small ? ", small" : "");
    EXPECT_EQ(result.window, c.window) << name;
    EXPECT_GE(agreement(result.labels, s.truth), 0.95) << name;
  }
  // A clean pattern of 2-pixel stripes of two levels: the labels alternate, and fit.
  auto pattern = stripedRegions({2, 0.2f});
  for (float& v : pattern.image.values) v = v > 0.475f ? 0.8f : 0.2f;
  Result result;
  ASSERT_TRUE(segmentImage(pattern.image, defaultSettings(2), result, {}, nullptr));
  EXPECT_EQ(result.window, 1);
  // A window given is used as it stands: 1, the pixels, even on texture; 5, its means.
  const auto stripes = stripedRegions({4, 0.2f});
  for (int32_t window : {1, 5}) {
    Settings settings = defaultSettings(2);
    settings.window = window;
    ASSERT_TRUE(segmentImage(stripes.image, settings, result, {}, nullptr));
    EXPECT_EQ(result.window, window);
  }
}

TEST(Texture, WindowMeansAreCutOffAtTheBorder) {
  GreyImage image{3, 4, {0.0f, 0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f, 0.7f, 0.8f, 0.9f, 1.0f, 0.0f}};
  const GreyImage means = windowMeans(image, 3);
  EXPECT_FLOAT_EQ(means.values[0], (0.0f + 0.1f + 0.3f + 0.4f) / 4);  // corner: 2 x 2
  EXPECT_FLOAT_EQ(means.values[4],
                  (0.0f + 0.1f + 0.2f + 0.3f + 0.4f + 0.5f + 0.6f + 0.7f + 0.8f) / 9);
  EXPECT_FLOAT_EQ(means.values[10], (0.6f + 0.7f + 0.8f + 0.9f + 1.0f + 0.0f) / 6);  // edge: 3 x 2
}

// A stop request ends the segmentation where it answers true, before the round or the solver's
// outer iteration it was asked about, and is not asked again.
TEST(SegmentImage, AStopRequestEndsItAndIsNotAskedAgain) {
  const auto s = makeSynthetic(Layout::DiscAndBar, 40, 50, {0.2f, 0.5f, 0.8f}, 0.05, 3);
  struct Countdown {
    int32_t calls = 0;
    int32_t goOn = 0;
  };
  const auto requested = [](void* context) {
    auto* countdown = static_cast<Countdown*>(context);
    return countdown->calls++ >= countdown->goOn;
  };
  for (int32_t goOn : {0, 5}) {
    Countdown countdown{0, goOn};
    int32_t rounds = 0;
    Result result;
    EXPECT_FALSE(segmentImage(s.image, defaultSettings(), result,
                              [&](const RoundReport&) { ++rounds; }, nullptr,
                              {requested, &countdown}));
    EXPECT_EQ(countdown.calls, goOn + 1);
    EXPECT_LT(rounds, defaultSettings().rounds);
    EXPECT_TRUE(result.labels.empty());
  }
}

// Every set-up gets the buffers of the first one back, zeroed, large (huge-page mappings) and small
// (calloc) alike, and the optional seventh request is declined.
TEST(WorkingBuffers, EverySetUpGetsTheSameBuffersZeroed) {
  const std::vector<std::size_t> floats = {1 << 20, 100, 1 << 20, 7, 1 << 18, 1 << 16, 1 << 20};
  WorkingBuffers buffers;
  std::vector<void*> first;
  for (int setUp = 0; setUp < 2; ++setUp) {
    const BufferSource source = buffers.source();
    for (std::size_t r = 0; r < floats.size(); ++r) {
      auto* buffer = static_cast<float*>(source.obtain(floats[r], sizeof(float), source.context));
      if (r == 6) {
        EXPECT_EQ(buffer, nullptr);
        continue;
      }
      ASSERT_NE(buffer, nullptr);
      EXPECT_TRUE(std::all_of(buffer, buffer + floats[r], [](float v) { return v == 0.0f; }))
          << "set-up " << setUp << ", request " << r;
      if (setUp == 0) {
        first.push_back(buffer);
      } else {
        EXPECT_EQ(buffer, first[r]) << "request " << r;
      }
      std::fill(buffer, buffer + floats[r], 1.5f);
      source.release(buffer, source.context);
    }
  }
}

}  // namespace
}  // namespace daskel::segment
