// The segmentation method: an image in, phase intensities and a labelling out, by rounds of the
// solver on data costs estimated from the image. No file formats, no I/O.
//
// An image is a grid of intensities in [0, 1] stored column by column, like one slice of the
// solver's Volumes: pixel (i, j) lies at i + rows * j. A phase is described by one intensity; its
// data cost at a pixel is the squared distance of the pixel's intensity to it, in units of twice
// the noise variance (the negative log-likelihood of Gaussian noise around the phase intensity),
// measured from the pixel's cheapest phase and clipped to the spread the solver can rank (see
// costSpreadLimit).
#ifndef DASKEL_SEGMENT_SEGMENT_HPP
#define DASKEL_SEGMENT_SEGMENT_HPP

#include <cstdint>
#include <functional>
#include <vector>

#include "segment/settings.hpp"
#include "solver/solver.hpp"

namespace daskel::segment {

struct GreyImage {
  int32_t rows = 0;
  int32_t cols = 0;
  std::vector<float> values;  // rows * cols intensities in [0, 1], column-major
};

// The intensity in [0, 1] of a grey sample, and of a colour pixel by its luma
// 0.299 R + 0.587 G + 0.114 B; `maxSample` is the largest sample value, 2^depth - 1. Every front
// end (PNG files, arrays) converts its pixels with these, so they all see the same intensities.
// (greyIntensity is inline: readers call it for every pixel.)
inline float greyIntensity(double grey, double maxSample) {
  return static_cast<float>(grey / maxSample);
}
float lumaIntensity(double red, double green, double blue, double maxSample);

// The variance of the noise, estimated from the median absolute difference between neighbouring
// pixels, which region boundaries barely move as long as they cover a minority of the pixel pairs.
// Zero for a clean image.
double noiseVariance(const GreyImage& image);

// Each pixel's intensity replaced by the mean of the widest window around it (5 x 5, else 3 x 3,
// cut off at the image border) whose values vary no more than twice `noiseVariance`; a pixel
// without such a window keeps its own intensity. Flat regions lose most of their noise, while
// pixels at boundaries and on thin structures keep their value instead of a blend of two phases,
// so the histogram of the result has one narrow peak per phase and nothing between them.
std::vector<float> flatWindowMeans(const GreyImage& image, double noiseVariance);

// The K levels of least within-phase sum of squares (the k-means and multi-level Otsu criterion),
// optimal over the partitions of a 4096-bin histogram of the values (exact for 8-bit values),
// found by dynamic programming over the bins. Increasing. With fewer distinct values than phases
// the missing levels halve the widest gaps between the levels found (of [0, 1] around a single
// one), so that they follow the image's range.
std::vector<float> kMeansLevels(const std::vector<float>& values, int32_t phases);

// Index of the nearest level for every value; ties go to the lower index.
std::vector<uint8_t> nearestLabels(const std::vector<float>& values,
                                   const std::vector<float>& levels);

// Whether each pixel's neighbours (up, down, left, right, those inside the grid) share its label.
std::vector<bool> interiorPixels(const std::vector<uint8_t>& labels, int32_t rows, int32_t cols);

// The mean intensity of each phase over its interior pixels, or over all its pixels when fewer
// than a quarter of them are interior (thin structures); a phase without pixels keeps its level.
// A pixel at a boundary owes its label partly to its own value, so boundary pixels would bias a
// small or thin phase towards the values that won its boundary, round after round.
std::vector<float> phaseMeans(const GreyImage& image, const std::vector<uint8_t>& labels,
                              const std::vector<float>& levels);

// The smallest noise variance the costs assume, so that a clean image does not divide by zero:
// that of a deviation of 1/256 of the smallest gap between the increasing `levels`. It follows
// the levels, so that an image and a * image + b (a > 0) get the same costs.
double varianceFloor(const std::vector<float>& levels);

// Mean squared distance of the interior pixels (all pixels when none is interior) to the level of
// their label, at least varianceFloor(levels).
double labelVariance(const GreyImage& image, const std::vector<uint8_t>& labels,
                     const std::vector<float>& levels);

// Moves each of the increasing `levels` towards its mean, by at most a quarter of the gap to
// each neighbouring level, so that the levels stay increasing and two of them never meet.
void moveLevels(std::vector<float>& levels, const std::vector<float>& means);

// The largest spread (most minus least) of a pixel's costs at which no two phases can both
// clamp to 1 in the solver's labelling sweep: penalty * K / (K - 1). While the split variables are
// zero (a call's first sweep) the sweep sets phase k of a pixel with n neighbours to the
// neighbours' mean plus (mean cost - cost_k) / (n * penalty) before the clamp, so two phases can
// both reach 1 once together they lie n * penalty below the mean cost; they then tie after the
// normalisation and the labelling can no longer tell them apart. Together they lie at most
// 2 (K - 1) / K times the spread below the mean, so this limit keeps them apart even at a corner
// (n = 2).
double costSpreadLimit(float penalty, int32_t phases);

// The total-variation weight of a solve: `tvWeight` where noise of this variance carries at least
// 1 % of the pixels past the midpoint to a neighbouring level (the share
// erfc(gap / (2 sqrt(2) deviation)), with the smallest gap between the increasing `levels`), and in
// proportion to that share below it, down to 0 for a clean image. The smoothing is there to
// relabel the pixels that noise carried across; the solver's costs stop at costSpreadLimit, which
// on an image whose noise is small against the gaps is far below what the noise model gives a
// pixel a whole level from its phase, so at full weight the smoothing would erase dots and 1-pixel
// lines that the data shows plainly.
float smoothingWeight(float tvWeight, double variance, const std::vector<float>& levels);

// One cost image per level, laid out as a solver Volume: (value - level)^2 / (2 variance) (the
// variance at least varianceFloor(levels)), less the pixel's least such cost, at most
// `spreadLimit`.
std::vector<float> dataCosts(const std::vector<float>& values, const std::vector<float>& levels,
                             double variance, double spreadLimit);

// Each pixel's most likely phase in the Volume `u`. Where phases tie in u (after the
// normalisation, phases clamped to 1 share the pixel equally), the one of lower cost in the
// Volume `costs` wins, then the lower phase.
std::vector<uint8_t> hardLabels(const std::vector<float>& u, const std::vector<float>& costs,
                                int32_t sliceSize, int32_t phases);

// Fraction of the labels equal to each phase.
std::vector<double> phaseShares(const std::vector<uint8_t>& labels, int32_t phases);

struct RoundReport {
  int32_t round = 0;  // counted from 1
  const std::vector<float>* levels = nullptr;
  double variance = 0.0;
  float tvWeight = 0.0f;  // of this round's solve: smoothingWeight of the settings' weight
  int32_t outerIterations = 0;
};

struct Result {
  std::vector<float> levels;    // increasing; phase k of u: re-estimated from its final pixels
  std::vector<float> u;         // the soft labelling, a Volume over the image
  std::vector<uint8_t> labels;  // each pixel's phase, as hardLabels reads u
  double variance = 0.0;        // the noise variance of the last round's costs
  int32_t rounds = 0;           // solver calls made: fewer than settings.rounds once settled
  int32_t outerIterations = 0;  // over all rounds
  int32_t window = 1;           // side of the windows whose means were segmented (textureWindow)
};

// The side of the square window over whose means a texture's regions differ: 1 (no texture)
// unless the phases of `labels` alternate in runs of at most 8 pixels on average along the rows
// or the columns, and the pixels' distances from their `levels`, averaged over windows of
// 2 r + 1 pixels square for runs of r pixels (about one period of the alternation), vary at least
// 4 times as much as noise alone would leave them (the noise variance of neighbours in one phase,
// as noiseVariance estimates it, or the variance floor, over the window's pixel count): regions
// under a pattern keep their offset from the pattern's levels. Then 2 r + 1.
int32_t textureWindow(const GreyImage& image, const std::vector<uint8_t>& labels,
                      const std::vector<float>& levels);

// The mean of the window of side `window` (odd) around every pixel, cut off at the border.
GreyImage windowMeans(const GreyImage& image, int32_t window);

// Whether the solver takes an image of rows x cols pixels in `phases` phases: at least 2 x 2, and
// at most 2^31 - 1 elements in all.
bool imageFits(int64_t rows, int64_t cols, int32_t phases);

// About how many bytes segmentImage needs at its peak for an image of `pixels` pixels in `phases`
// phases: the image and its costs, the soft labelling, the solver's working buffers (five
// volumes and a slice) and the labels.
int64_t approximateBytes(int64_t pixels, int32_t phases);

// Whether the rounds have settled: `labels`, read after the last round, differ from `previous`,
// read after the round before, in next to no pixel, and the levels the last round's labels move
// to lie next to those it used (`previousLevels`).
bool labelsSettled(const std::vector<uint8_t>& labels, const std::vector<uint8_t>& previous,
                   const std::vector<float>& levels, const std::vector<float>& previousLevels);

// Whether the next round would solve the costs of the last one: the levels its labels move to
// lie next to those it used (`previousLevels`), as in labelsSettled, and the variance of its labels
// lies within 5 % of the one it used. It would then start from the labelling that the last solve
// ended with, on the same costs.
bool costsSettled(const std::vector<float>& levels, const std::vector<float>& previousLevels,
                  double variance, double previousVariance);

// Segments `image`. The starting levels (settings.levels, sorted, or kMeansLevels of the flat
// window means) give the costs of the first solver call, from the uniform labelling, with the
// variance of each pixel at its nearest level or noiseVariance, whichever is larger. Every further
// round reads the hard labels, moves the levels towards the phase means, re-estimates the
// variance and calls the solver again from the previous labelling (blended with the uniform one
// where the smoothing is below its full weight), with the total-variation weight smoothingWeight
// gives for the first variance. The hard labels are read rather than the soft weights, which
// stay soft far from the boundaries and would pull every level towards its neighbours'. The
// rounds end early once they have settled: after the first round, once its labels give back the
// costs it solved (costsSettled); after a later one, once its labels agree with the round
// before's (labelsSettled). The result's
// levels are moved once more, towards the means of the final labels. All rounds share one set of
// the solver's working buffers. `onRound` (may be empty) hears about each finished round. `stop` is
// asked before every round and, by the solver, before every outer iteration; once it answers true
// the segmentation ends there and returns false, leaving `result` unfinished. Returns false when
// the solver could not get its buffers (it reports that through `print`), and false without any
// work for settings that checkSettings refuses and for images smaller than 2 x 2 or whose pixels
// times phases leave the solver's 32-bit element count (imageFits).
bool segmentImage(const GreyImage& image, const Settings& settings, Result& result,
                  const std::function<void(const RoundReport&)>& onRound, PrintRoutine print,
                  StopRequest stop = StopRequest{});

}  // namespace daskel::segment

#endif  // DASKEL_SEGMENT_SEGMENT_HPP
