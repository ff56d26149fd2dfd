// Image-to-labelling steps of daskel-segment, free of file formats and of the command line.
//
// An image is a grid of intensities in [0, 1] stored column by column, like one slice of the
// solver's Volumes: pixel (i, j) lies at i + rows * j. A phase is described by one intensity; its
// data cost at a pixel is the squared distance of the pixel's intensity to it, in units of twice
// the noise variance (the negative log-likelihood of Gaussian noise around the phase intensity).
#ifndef DASKEL_TOOLS_SEGMENT_SEGMENT_HPP
#define DASKEL_TOOLS_SEGMENT_SEGMENT_HPP

#include <cstdint>
#include <functional>
#include <vector>

#include "solver/solver.hpp"

namespace daskel::segment {

struct GreyImage {
  int32_t rows = 0;
  int32_t cols = 0;
  std::vector<float> values;  // rows * cols intensities in [0, 1], column-major
};

// The smallest noise variance the costs assume, so that a clean image does not make the data
// term infinitely stronger than the total variation. Equals a standard deviation of 1/255.
constexpr double kMinVariance = 1.0 / (255.0 * 255.0);

// The intensity in [0, 1] of a grey sample, and of a colour pixel by its luma
// 0.299 R + 0.587 G + 0.114 B; `maxSample` is the largest sample value, 2^depth - 1. Every front
// end (PNG files, arrays) converts its pixels with these, so they all see the same intensities.
float greyIntensity(double grey, double maxSample);
float lumaIntensity(double red, double green, double blue, double maxSample);

// K phase intensities by deterministic one-dimensional k-means (Lloyd's iteration on the sorted
// values), started once from the value quantiles and once from evenly spaced levels between the
// smallest and largest value; the start with the smaller within-phase sum of squares wins. The
// result is in increasing order. A phase that loses all its values keeps its level.
std::vector<float> kMeansLevels(const std::vector<float>& values, int32_t phases);

// The mean of each pixel's (2 radius + 1)^2 neighbourhood, cut off at the image border. Noise
// shrinks by the window's width while flat regions keep their intensity, which lets k-means find
// the phase intensities of a noisy image, where on the raw values a large phase would split.
std::vector<float> boxSmooth(const GreyImage& image, int32_t radius);

// Index of the nearest level for every value; ties go to the lower index.
std::vector<uint8_t> nearestLabels(const std::vector<float>& values,
                                   const std::vector<float>& levels);

// Mean squared distance of each value to the level of its label, at least kMinVariance.
double labelVariance(const std::vector<float>& values, const std::vector<uint8_t>& labels,
                     const std::vector<float>& levels);

// One cost image per level, laid out as a solver Volume: (value - level)^2 / (2 variance).
std::vector<float> dataCosts(const std::vector<float>& values, const std::vector<float>& levels,
                             double variance);

// Moves each level to the mean of the values labelled with it; a phase without values keeps its
// level.
void levelsFromLabels(const std::vector<float>& values, const std::vector<uint8_t>& labels,
                      std::vector<float>& levels);

// Each pixel's most likely phase in the Volume `u`; ties go to the lower phase.
std::vector<uint8_t> hardLabels(const std::vector<float>& u, int32_t sliceSize, int32_t phases);

// Renumbers the phases by increasing level: sorts `levels` and permutes the slices of `u` along.
void orderPhasesByLevel(std::vector<float>& levels, std::vector<float>& u, int32_t sliceSize);

// Fraction of the labels equal to each phase.
std::vector<double> phaseShares(const std::vector<uint8_t>& labels, int32_t phases);

struct Settings {
  int32_t phases = 3;
  std::vector<float> levels;  // starting intensities; empty: chosen by kMeansLevels
  float tvWeight = 0.0f;
  float penalty = 0.0f;
  int32_t rounds = 1;
};

struct RoundReport {
  int32_t round = 0;  // counted from 1
  const std::vector<float>* levels = nullptr;
  double variance = 0.0;
  int32_t outerIterations = 0;
};

struct Result {
  std::vector<float> levels;    // increasing; phase k of u has levels[k]
  std::vector<float> u;         // the soft labelling, a Volume over the image
  std::vector<uint8_t> labels;  // each pixel's phase, as hardLabels reads u
  double variance = 0.0;
  int32_t outerIterations = 0;  // over all rounds
};

// Segments `image`: costs from the levels, the uniform labelling, one solver call; every further
// round re-estimates levels and variance from the labelling and calls the solver again from it.
// The re-estimate uses each pixel's most likely phase rather than the soft weights: the solver's
// labelling stays soft far from the boundaries (a phase keeps weight in proportion to how little
// more it costs), and soft weights would pull every level towards its neighbours'.
// `onRound` (may be empty) hears about each finished round. Returns false when the solver could
// not get its buffers (it reports that through `print`). The image must be at least 2 x 2 and
// settings.levels, when given, must hold settings.phases values.
bool segmentImage(const GreyImage& image, const Settings& settings, Result& result,
                  const std::function<void(const RoundReport&)>& onRound, PrintRoutine print);

}  // namespace daskel::segment

#endif  // DASKEL_TOOLS_SEGMENT_SEGMENT_HPP
