// Synthetic test images (known regions, Gaussian noise, 8-bit quantisation) and the method's
// default settings.
#ifndef DASKEL_TESTS_SEGMENT_SYNTHETIC_HPP
#define DASKEL_TESTS_SEGMENT_SYNTHETIC_HPP

#include <cmath>
#include <random>
#include <vector>

#include "segment/segment.hpp"

namespace daskel::segment::testing {

struct Synthetic {
  GreyImage image;
  std::vector<uint8_t> truth;  // the phase of every pixel
};

enum class Layout { DiscAndBar, SmoothField, Rings };

// Three phases: a disc and a bar on a large background, or the level sets of a smooth field
// (curved, interleaved regions); or as many phases as levels in turn on concentric rings, each
// a tenth of the width wide. Intensities are levels[truth] plus noise of deviation sigma,
// clipped to [0, 1] and rounded to 8 bits like a PNG.
inline Synthetic makeSynthetic(Layout layout, int32_t rows, int32_t cols,
                               const std::vector<float>& levels, double sigma, unsigned seed) {
  Synthetic s;
  s.image.rows = rows;
  s.image.cols = cols;
  s.image.values.resize(static_cast<std::size_t>(rows) * cols);
  s.truth.resize(s.image.values.size());
  std::mt19937 random(seed);
  std::normal_distribution<double> noise(0.0, sigma);
  for (int32_t j = 0; j < cols; ++j) {
    for (int32_t i = 0; i < rows; ++i) {
      const double y = (i + 0.5) / rows;
      const double x = (j + 0.5) / cols;
      uint8_t phase = 0;
      if (layout == Layout::Rings) {
        const double radius = std::sqrt((x - 0.45) * (x - 0.45) + (y - 0.55) * (y - 0.55));
        phase = static_cast<uint8_t>(static_cast<std::size_t>(radius * 10.0) % levels.size());
      } else if (layout == Layout::DiscAndBar) {
        if ((x - 0.35) * (x - 0.35) + (y - 0.4) * (y - 0.4) < 0.06) phase = 1;
        if (x > 0.6 && x < 0.9 && y > 0.2 && y < 0.85) phase = 2;
      } else {
        const double f = std::sin(9 * x + 1) * std::cos(7 * y) + 0.5 * std::sin(13 * x * y + 2);
        phase = f < -0.35 ? 0 : (f < 0.35 ? 1 : 2);
      }
      const std::size_t p = static_cast<std::size_t>(i) + static_cast<std::size_t>(rows) * j;
      s.truth[p] = phase;
      const double v = std::fmin(1.0, std::fmax(0.0, levels[phase] + noise(random)));
      s.image.values[p] = static_cast<float>(std::round(v * 255.0) / 255.0);
    }
  }
  return s;
}

// The default settings, for `phases` phases and `rounds` rounds.
inline Settings defaultSettings(int32_t phases = Settings{}.phases,
                                int32_t rounds = Settings{}.rounds) {
  Settings settings;
  settings.phases = phases;
  settings.rounds = rounds;
  return settings;
}

inline double agreement(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  std::size_t same = 0;
  for (std::size_t p = 0; p < a.size(); ++p) same += a[p] == b[p];
  return static_cast<double>(same) / static_cast<double>(a.size());
}

}  // namespace daskel::segment::testing

#endif  // DASKEL_TESTS_SEGMENT_SYNTHETIC_HPP
