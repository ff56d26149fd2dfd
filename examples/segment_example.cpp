// Segments a small picture with the segmentation method and prints its phases.
//
// A 12 x 16 picture, dark on the left, bright in a square on the right, with a band of mid grey
// between them and a little deterministic noise: three phases at intensities near 0.2, 0.5 and
// 0.8, which the method finds from the picture alone.
#include <cstdio>
#include <daskel/segment.hpp>
#include <vector>

namespace {

void printToStderr(const char* message) {
  std::fputs(message, stderr);
}

}  // namespace

int main() {
  namespace segment = daskel::segment;
  segment::GreyImage image;
  image.rows = 12;
  image.cols = 16;
  for (int32_t j = 0; j < image.cols; ++j) {
    for (int32_t i = 0; i < image.rows; ++i) {  // column-major, as every Volume
      const float level = j < 6 ? 0.2f : (j < 10 || i < 2 || i > 9) ? 0.5f : 0.8f;
      const float noise = 0.01f * static_cast<float>((i * 7 + j * 3) % 5 - 2);
      image.values.push_back(level + noise);
    }
  }

  segment::Settings settings;  // the method's defaults: 3 phases, 8 rounds
  if (const segment::SettingsProblem problem = segment::checkSettings(settings)) {
    std::fprintf(stderr, "%s\n", problem.message().c_str());
    return 1;
  }
  segment::Result result;
  if (!segment::segmentImage(image, settings, result, {}, printToStderr)) return 1;

  std::printf("levels:");
  for (float level : result.levels) std::printf(" %.3f", static_cast<double>(level));
  std::printf("\nlabels:\n");
  for (int32_t i = 0; i < image.rows; ++i) {
    for (int32_t j = 0; j < image.cols; ++j) std::printf("%d", result.labels[i + image.rows * j]);
    std::printf("\n");
  }
  return 0;
}
