// The method on the bundled photograph, as the tool reads it.
#include <gtest/gtest.h>

#include "segment/segment.hpp"
#include "tests/segment/synthetic.hpp"
#include "tools/daskel-segment/png_io.hpp"

namespace daskel::tool {
namespace {

using segment::testing::defaultSettings;

// The photograph's three phases stay non-empty at every round count, and one round more moves no
// level by more than 0.005 (odd round counts once emptied a phase, and a full re-estimation step
// swung the middle level between about 0.60 and 0.69 from one round to the next).
TEST(SegmentImage, PhotographDoesNotDependOnTheRoundCount) {
  segment::GreyImage image;
  std::string error;
  ASSERT_TRUE(readPng(DASKEL_SOURCE_DIR "/data/camera.png", image, error)) << error;
  std::vector<float> previous;
  for (int32_t rounds = 1; rounds <= 9; ++rounds) {
    segment::Result result;
    ASSERT_TRUE(segment::segmentImage(image, defaultSettings(3, rounds), result, {}, nullptr));
    for (double share : segment::phaseShares(result.labels, 3))
      EXPECT_GT(share, 0.2) << rounds << " rounds";
    for (std::size_t k = 0; k < previous.size(); ++k) {
      EXPECT_NEAR(result.levels[k], previous[k], 0.005) << rounds << " rounds, phase " << k;
    }
    previous = result.levels;
  }
}

}  // namespace
}  // namespace daskel::tool
