// Phase intensities, data costs and labellings of the segmentation method.
#include "segment/segment.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace daskel::segment {
namespace {

// Histogram resolution of kMeansLevels: finer than 8-bit samples over any range.
constexpr int32_t kHistogramBins = 4096;
// The windows of flatWindowMeans, widest first, and how much more than the noise they may vary.
constexpr int32_t kFlatWindowRadii[] = {2, 1};
constexpr double kFlatWindowVarianceFactor = 2.0;
// phaseMeans uses the interior pixels of a phase when at least this share of them is interior.
constexpr double kMinInteriorShare = 0.25;
// moveLevels moves a level at most this share of the gap to a neighbouring level per round.
constexpr float kMaxLevelStep = 0.25f;

// The non-empty bins of a histogram as prefix sums of their counts, values and squared values,
// so that the within-phase sum of squares of any run of bins costs O(1).
struct BinSums {
  std::vector<double> count{0.0};
  std::vector<double> sum{0.0};
  std::vector<double> squares{0.0};

  std::size_t bins() const { return count.size() - 1; }
  // Sum of squared deviations from their mean of the values in bins [begin, end).
  double withinSquares(std::size_t begin, std::size_t end) const {
    const double total = sum[end] - sum[begin];
    return (squares[end] - squares[begin]) - total * total / (count[end] - count[begin]);
  }
  double mean(std::size_t begin, std::size_t end) const {
    return (sum[end] - sum[begin]) / (count[end] - count[begin]);
  }
};

BinSums binSums(const std::vector<float>& values) {
  const auto [lowest, highest] = std::minmax_element(values.begin(), values.end());
  const double low = *lowest;
  const double range = static_cast<double>(*highest) - low;
  std::vector<double> count(kHistogramBins, 0.0);
  std::vector<double> sum(kHistogramBins, 0.0);
  std::vector<double> squares(kHistogramBins, 0.0);
  for (float value : values) {
    const double position = range > 0.0 ? (value - low) / range : 0.0;
    // Written so that a NaN lands in bin 0 instead of reaching the conversion.
    const int32_t bin = position >= 1.0  ? kHistogramBins - 1
                        : position > 0.0 ? static_cast<int32_t>(position * kHistogramBins)
                                         : 0;
    count[bin] += 1.0;
    sum[bin] += value;
    squares[bin] += static_cast<double>(value) * value;
  }
  BinSums s;
  for (int32_t b = 0; b < kHistogramBins; ++b) {
    if (count[b] == 0.0) continue;
    s.count.push_back(s.count.back() + count[b]);
    s.sum.push_back(s.sum.back() + sum[b]);
    s.squares.push_back(s.squares.back() + squares[b]);
  }
  return s;
}

// One phase more in the dynamic programme: cost[j], the least sum of squares of the first j bins
// in one phase more than `previous` has, is the least previous[i] + withinSquares(i, j) over the
// split i. The best split never decreases with j (the sum of squares of runs of sorted values
// satisfies the quadrangle inequality), so fill() searches the middle j of [first, last] between
// the bounds it was given and hands each half the bounds narrowed at that j's best split:
// O(bins log bins) per phase instead of O(bins^2).
struct PhaseStep {
  const BinSums& bins;
  const std::vector<double>& previous;
  std::vector<double>& cost;
  std::vector<std::size_t>& split;

  void fill(std::size_t first, std::size_t last, std::size_t lowSplit, std::size_t highSplit) {
    const std::size_t j = first + (last - first) / 2;
    std::size_t best = lowSplit;
    cost[j] = previous[best] + bins.withinSquares(best, j);
    for (std::size_t i = lowSplit + 1; i <= std::min(highSplit, j - 1); ++i) {
      const double candidate = previous[i] + bins.withinSquares(i, j);
      if (candidate < cost[j]) {
        cost[j] = candidate;
        best = i;
      }
    }
    split[j] = best;
    if (j > first) fill(first, j - 1, lowSplit, best);
    if (j < last) fill(j + 1, last, best, highSplit);
  }
};

// A pixel's window of the given radius, cut off at the border: whether its values vary no more
// than `limit`, and their mean.
bool flatWindowMean(const GreyImage& image, int32_t i, int32_t j, int32_t radius, double limit,
                    double& mean) {
  const int32_t firstRow = std::max(0, i - radius);
  const int32_t lastRow = std::min(image.rows - 1, i + radius);
  const int32_t firstCol = std::max(0, j - radius);
  const int32_t lastCol = std::min(image.cols - 1, j + radius);
  const double count = static_cast<double>((lastRow - firstRow + 1) * (lastCol - firstCol + 1));
  double total = 0.0;
  for (int32_t c = firstCol; c <= lastCol; ++c) {
    for (int32_t r = firstRow; r <= lastRow; ++r) total += image.values[r + image.rows * c];
  }
  mean = total / count;
  // Deviations from the mean, so that a window of equal values has variance exactly zero.
  double squares = 0.0;
  for (int32_t c = firstCol; c <= lastCol; ++c) {
    for (int32_t r = firstRow; r <= lastRow; ++r) {
      const double d = image.values[r + image.rows * c] - mean;
      squares += d * d;
    }
  }
  return squares / count <= limit;
}

// A stop request that, once it has said stop, goes on saying so without asking again: a request
// may answer only once (a pending signal is taken when it is seen).
struct StopLatch {
  StopRequest caller;
  bool stopped = false;

  static bool requested(void* context) {
    auto* latch = static_cast<StopLatch*>(context);
    if (!latch->stopped && latch->caller.requested != nullptr) {
      latch->stopped = latch->caller.requested(latch->caller.context);
    }
    return latch->stopped;
  }
};

}  // namespace

float greyIntensity(double grey, double maxSample) {
  return static_cast<float>(grey / maxSample);
}

float lumaIntensity(double red, double green, double blue, double maxSample) {
  return greyIntensity(0.299 * red + 0.587 * green + 0.114 * blue, maxSample);
}

double noiseVariance(const GreyImage& image) {
  std::vector<double> differences;
  differences.reserve(2 * image.values.size());
  for (int32_t j = 0; j < image.cols; ++j) {
    for (int32_t i = 0; i < image.rows; ++i) {
      const std::size_t p = static_cast<std::size_t>(i) + static_cast<std::size_t>(image.rows) * j;
      const double value = image.values[p];
      if (i + 1 < image.rows) differences.push_back(std::fabs(image.values[p + 1] - value));
      if (j + 1 < image.cols) {
        differences.push_back(std::fabs(image.values[p + image.rows] - value));
      }
    }
  }
  if (differences.empty()) return 0.0;
  const auto middle = differences.begin() + static_cast<std::ptrdiff_t>(differences.size() / 2);
  std::nth_element(differences.begin(), middle, differences.end());
  // For Gaussian noise of deviation s a difference has deviation s * sqrt(2) and a median
  // absolute value of 0.6745 times that.
  const double deviation = *middle / (0.6745 * std::sqrt(2.0));
  return deviation * deviation;
}

std::vector<float> flatWindowMeans(const GreyImage& image, double noiseVariance) {
  const double limit = kFlatWindowVarianceFactor * noiseVariance;
  std::vector<float> result(image.values);
  for (int32_t j = 0; j < image.cols; ++j) {
    for (int32_t i = 0; i < image.rows; ++i) {
      for (int32_t radius : kFlatWindowRadii) {
        double mean = 0.0;
        if (flatWindowMean(image, i, j, radius, limit, mean)) {
          result[i + image.rows * j] = static_cast<float>(mean);
          break;
        }
      }
    }
  }
  return result;
}

std::vector<float> kMeansLevels(const std::vector<float>& values, int32_t phases) {
  if (phases <= 0) return {};
  if (values.empty()) return std::vector<float>(static_cast<std::size_t>(phases), 0.0f);
  const BinSums bins = binSums(values);
  const std::size_t m = bins.bins();
  const std::size_t found = std::min(static_cast<std::size_t>(phases), m);

  // cost[c][j]: the least sum of squares of the first j bins in c + 1 phases; split[c][j]: where
  // the last of those phases begins.
  std::vector<std::vector<double>> cost(found, std::vector<double>(m + 1, 0.0));
  std::vector<std::vector<std::size_t>> split(found, std::vector<std::size_t>(m + 1, 0));
  for (std::size_t j = 1; j <= m; ++j) cost[0][j] = bins.withinSquares(0, j);
  for (std::size_t c = 1; c < found; ++c) {
    PhaseStep{bins, cost[c - 1], cost[c], split[c]}.fill(c + 1, m, c, m - 1);
  }
  std::vector<float> levels(found);
  std::size_t end = m;
  for (std::size_t c = found; c-- > 0;) {
    const std::size_t begin = c == 0 ? 0 : split[c][end];
    levels[c] = static_cast<float>(bins.mean(begin, end));
    end = begin;
  }

  // Fewer non-empty bins than phases: each missing level halves the widest gap of [0, 1].
  while (levels.size() < static_cast<std::size_t>(phases)) {
    std::vector<float> bounds = levels;
    bounds.insert(bounds.begin(), 0.0f);
    bounds.push_back(1.0f);
    std::size_t widest = 0;
    for (std::size_t g = 1; g + 1 < bounds.size(); ++g) {
      if (bounds[g + 1] - bounds[g] > bounds[widest + 1] - bounds[widest]) widest = g;
    }
    levels.insert(levels.begin() + static_cast<std::ptrdiff_t>(widest),
                  0.5f * (bounds[widest] + bounds[widest + 1]));
  }
  return levels;
}

std::vector<uint8_t> nearestLabels(const std::vector<float>& values,
                                   const std::vector<float>& levels) {
  std::vector<uint8_t> labels(values.size(), 0);
  for (std::size_t p = 0; p < values.size(); ++p) {
    double bestDistance = 0.0;
    for (std::size_t k = 0; k < levels.size(); ++k) {
      const double d = static_cast<double>(values[p]) - levels[k];
      if (k == 0 || d * d < bestDistance) {
        bestDistance = d * d;
        labels[p] = static_cast<uint8_t>(k);
      }
    }
  }
  return labels;
}

std::vector<bool> interiorPixels(const std::vector<uint8_t>& labels, int32_t rows, int32_t cols) {
  std::vector<bool> interior(labels.size());
  for (int32_t j = 0; j < cols; ++j) {
    for (int32_t i = 0; i < rows; ++i) {
      const std::size_t p = static_cast<std::size_t>(i) + static_cast<std::size_t>(rows) * j;
      const uint8_t own = labels[p];
      interior[p] = (i == 0 || labels[p - 1] == own) && (i + 1 == rows || labels[p + 1] == own) &&
                    (j == 0 || labels[p - rows] == own) &&
                    (j + 1 == cols || labels[p + rows] == own);
    }
  }
  return interior;
}

std::vector<float> phaseMeans(const GreyImage& image, const std::vector<uint8_t>& labels,
                              const std::vector<float>& levels) {
  const std::vector<bool> interior = interiorPixels(labels, image.rows, image.cols);
  const std::size_t phases = levels.size();
  std::vector<double> totals(phases, 0.0), interiorTotals(phases, 0.0);
  std::vector<double> counts(phases, 0.0), interiorCounts(phases, 0.0);
  for (std::size_t p = 0; p < labels.size(); ++p) {
    totals[labels[p]] += image.values[p];
    counts[labels[p]] += 1.0;
    if (interior[p]) {
      interiorTotals[labels[p]] += image.values[p];
      interiorCounts[labels[p]] += 1.0;
    }
  }
  std::vector<float> means = levels;
  for (std::size_t k = 0; k < phases; ++k) {
    if (interiorCounts[k] > 0.0 && interiorCounts[k] >= kMinInteriorShare * counts[k]) {
      means[k] = static_cast<float>(interiorTotals[k] / interiorCounts[k]);
    } else if (counts[k] > 0.0) {
      means[k] = static_cast<float>(totals[k] / counts[k]);
    }
  }
  return means;
}

double labelVariance(const GreyImage& image, const std::vector<uint8_t>& labels,
                     const std::vector<float>& levels) {
  const std::vector<bool> interior = interiorPixels(labels, image.rows, image.cols);
  const bool anyInterior = std::find(interior.begin(), interior.end(), true) != interior.end();
  double squares = 0.0;
  double count = 0.0;
  for (std::size_t p = 0; p < labels.size(); ++p) {
    if (anyInterior && !interior[p]) continue;
    const double d = static_cast<double>(image.values[p]) - levels[labels[p]];
    squares += d * d;
    count += 1.0;
  }
  return std::max(count > 0.0 ? squares / count : 0.0, kMinVariance);
}

void moveLevels(std::vector<float>& levels, const std::vector<float>& means) {
  const std::vector<float> old = levels;
  for (std::size_t k = 0; k < levels.size(); ++k) {
    float target = means[k];
    if (k > 0) target = std::max(target, old[k] - kMaxLevelStep * (old[k] - old[k - 1]));
    if (k + 1 < levels.size()) {
      target = std::min(target, old[k] + kMaxLevelStep * (old[k + 1] - old[k]));
    }
    levels[k] = target;
  }
}

double costSpreadLimit(float penalty, int32_t phases) {
  return static_cast<double>(penalty) * phases / (phases - 1.0);
}

std::vector<float> dataCosts(const std::vector<float>& values, const std::vector<float>& levels,
                             double variance, double spreadLimit) {
  const std::size_t slice = values.size();
  const double scale = 1.0 / (2.0 * std::max(variance, kMinVariance));
  std::vector<float> costs(slice * levels.size());
  std::vector<double> pixelCosts(levels.size());
  for (std::size_t p = 0; p < slice; ++p) {
    for (std::size_t k = 0; k < levels.size(); ++k) {
      const double d = static_cast<double>(values[p]) - levels[k];
      pixelCosts[k] = d * d * scale;
    }
    const double least = *std::min_element(pixelCosts.begin(), pixelCosts.end());
    for (std::size_t k = 0; k < levels.size(); ++k) {
      costs[p + slice * k] = static_cast<float>(std::min(pixelCosts[k] - least, spreadLimit));
    }
  }
  return costs;
}

std::vector<uint8_t> hardLabels(const std::vector<float>& u, const std::vector<float>& costs,
                                int32_t sliceSize, int32_t phases) {
  const auto slice = static_cast<std::size_t>(sliceSize);
  std::vector<uint8_t> labels(slice, 0);
  for (std::size_t p = 0; p < slice; ++p) {
    std::size_t best = p;
    for (int32_t k = 1; k < phases; ++k) {
      const std::size_t q = p + slice * static_cast<std::size_t>(k);
      if (u[q] > u[best] || (u[q] == u[best] && costs[q] < costs[best])) {
        best = q;
        labels[p] = static_cast<uint8_t>(k);
      }
    }
  }
  return labels;
}

std::vector<double> phaseShares(const std::vector<uint8_t>& labels, int32_t phases) {
  std::vector<double> shares(static_cast<std::size_t>(phases), 0.0);
  for (uint8_t label : labels) shares[label] += 1.0;
  if (!labels.empty()) {
    for (double& share : shares) share /= static_cast<double>(labels.size());
  }
  return shares;
}

bool imageFits(int64_t rows, int64_t cols, int32_t phases) {
  constexpr int64_t maxElements = std::numeric_limits<int32_t>::max();
  return rows >= 2 && cols >= 2 && phases >= 1 && rows <= maxElements / cols &&
         rows * cols <= maxElements / phases;
}

int64_t approximateBytes(int64_t pixels, int32_t phases) {
  constexpr int64_t perPixel = 4 + 4 + 4 + 1;    // intensities, multiplier, window means, labels
  constexpr int64_t perElement = 4 + 4 + 5 * 4;  // costs, u, the solver's five volumes
  return pixels * (perPixel + perElement * phases);
}

bool segmentImage(const GreyImage& image, const Settings& settings, Result& result,
                  const std::function<void(const RoundReport&)>& onRound, PrintRoutine print,
                  StopRequest stop) {
  if (checkSettings(settings) || !imageFits(image.rows, image.cols, settings.phases) ||
      image.values.size() != static_cast<std::size_t>(image.rows) * image.cols) {
    return false;
  }
  const int32_t slice = image.rows * image.cols;
  const int32_t phases = settings.phases;
  const double spreadLimit = costSpreadLimit(settings.penalty, phases);
  std::vector<float> levels = settings.levels;
  if (levels.empty()) {
    levels = kMeansLevels(flatWindowMeans(image, noiseVariance(image)), phases);
  }
  std::sort(levels.begin(), levels.end());
  result.variance = labelVariance(image, nearestLabels(image.values, levels), levels);
  result.u.assign(static_cast<std::size_t>(slice) * phases, 1.0f / static_cast<float>(phases));
  result.outerIterations = 0;
  std::vector<float> costs = dataCosts(image.values, levels, result.variance, spreadLimit);

  // Once the caller has asked to stop, every later question gets the same answer.
  StopLatch latch{stop};
  const StopRequest latched{StopLatch::requested, &latch};
  for (int32_t round = 1; round <= settings.rounds; ++round) {
    if (round > 1) {
      if (StopLatch::requested(&latch)) return false;
      const std::vector<uint8_t> labels = hardLabels(result.u, costs, slice, phases);
      moveLevels(levels, phaseMeans(image, labels, levels));
      result.variance = labelVariance(image, labels, levels);
      costs = dataCosts(image.values, levels, result.variance, spreadLimit);
    }
    SolverState state{};
    const bool ready = initSolverState(state, image.rows, image.cols, phases, settings.tvWeight,
                                       settings.penalty, costs.data(), result.u.data(), print);
    const int32_t iterations = ready ? runSolver(state, settings.threads, latched) : 0;
    releaseSolverState(state);
    if (!ready || latch.stopped) return false;
    result.outerIterations += iterations;
    if (onRound) onRound(RoundReport{round, &levels, result.variance, iterations});
  }
  result.labels = hardLabels(result.u, costs, slice, phases);
  moveLevels(levels, phaseMeans(image, result.labels, levels));
  result.levels = levels;
  return true;
}

}  // namespace daskel::segment
