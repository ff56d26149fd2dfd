// Phase intensities, data costs and labellings for daskel-segment.
#include "tools/daskel-segment/segment.hpp"

#include <algorithm>
#include <numeric>

namespace daskel::segment {
namespace {

constexpr int kMaxLloydIterations = 200;
// The k-means for the starting levels runs on 5 x 5 means.
constexpr int32_t kSmoothingRadius = 2;

// The sorted values with prefix sums of the values and of their squares, so that the mean and
// the sum of squared deviations of any run of sorted values cost O(1).
struct SortedValues {
  std::vector<float> sorted;
  std::vector<double> sum;      // sum[i]: total of the first i sorted values
  std::vector<double> squares;  // squares[i]: total of their squares
};

SortedValues sortValues(const std::vector<float>& values) {
  SortedValues s;
  s.sorted = values;
  std::sort(s.sorted.begin(), s.sorted.end());
  s.sum.assign(s.sorted.size() + 1, 0.0);
  s.squares.assign(s.sorted.size() + 1, 0.0);
  for (std::size_t i = 0; i < s.sorted.size(); ++i) {
    const double v = s.sorted[i];
    s.sum[i + 1] = s.sum[i] + v;
    s.squares[i + 1] = s.squares[i] + v * v;
  }
  return s;
}

// Lloyd's iteration in one dimension: with increasing centres, every phase owns one run of the
// sorted values, bounded by the midpoints between neighbouring centres. Returns the within-phase
// sum of squares of the final assignment; `centres` ends increasing.
double lloyd(const SortedValues& s, std::vector<double>& centres) {
  const std::size_t k = centres.size();
  std::vector<std::size_t> ends(k, 0), previousEnds(k, 0);
  double withinSquares = 0.0;
  for (int iteration = 0; iteration < kMaxLloydIterations; ++iteration) {
    std::sort(centres.begin(), centres.end());
    // A value on a midpoint belongs to the lower phase.
    for (std::size_t c = 0; c + 1 < k; ++c) {
      const double midpoint = 0.5 * (centres[c] + centres[c + 1]);
      ends[c] = static_cast<std::size_t>(
          std::upper_bound(s.sorted.begin(), s.sorted.end(), midpoint,
                           [](double m, float v) { return m < static_cast<double>(v); }) -
          s.sorted.begin());
    }
    ends[k - 1] = s.sorted.size();
    withinSquares = 0.0;
    std::size_t begin = 0;
    for (std::size_t c = 0; c < k; ++c) {
      const std::size_t end = std::max(begin, ends[c]);
      const double count = static_cast<double>(end - begin);
      if (count > 0) {
        const double total = s.sum[end] - s.sum[begin];
        centres[c] = total / count;
        withinSquares += (s.squares[end] - s.squares[begin]) - total * total / count;
      }
      begin = end;
    }
    if (iteration > 0 && ends == previousEnds) break;
    previousEnds = ends;
  }
  std::sort(centres.begin(), centres.end());
  return withinSquares;
}

}  // namespace

float greyIntensity(double grey, double maxSample) {
  return static_cast<float>(grey / maxSample);
}

float lumaIntensity(double red, double green, double blue, double maxSample) {
  return greyIntensity(0.299 * red + 0.587 * green + 0.114 * blue, maxSample);
}

std::vector<float> kMeansLevels(const std::vector<float>& values, int32_t phases) {
  if (phases <= 0) return {};
  if (values.empty()) return std::vector<float>(static_cast<std::size_t>(phases), 0.0f);
  const SortedValues s = sortValues(values);
  const std::size_t n = s.sorted.size();
  const double lowest = s.sorted.front();
  const double highest = s.sorted.back();

  std::vector<double> fromQuantiles(static_cast<std::size_t>(phases));
  std::vector<double> evenlySpaced(static_cast<std::size_t>(phases));
  for (int32_t c = 0; c < phases; ++c) {
    const double position = (c + 0.5) / phases;
    fromQuantiles[c] = s.sorted[std::min(n - 1, static_cast<std::size_t>(position * n))];
    evenlySpaced[c] = lowest + position * (highest - lowest);
  }
  const double quantileSquares = lloyd(s, fromQuantiles);
  const double evenSquares = lloyd(s, evenlySpaced);
  const std::vector<double>& best = quantileSquares <= evenSquares ? fromQuantiles : evenlySpaced;
  return std::vector<float>(best.begin(), best.end());
}

std::vector<float> boxSmooth(const GreyImage& image, int32_t radius) {
  const int32_t rows = image.rows;
  const int32_t cols = image.cols;
  std::vector<float> down(image.values.size());
  std::vector<float> result(image.values.size());
  // Down the columns, then along the rows; each window is clipped to the grid.
  for (int32_t j = 0; j < cols; ++j) {
    for (int32_t i = 0; i < rows; ++i) {
      const int32_t first = std::max(0, i - radius);
      const int32_t last = std::min(rows - 1, i + radius);
      double total = 0.0;
      for (int32_t r = first; r <= last; ++r) total += image.values[r + rows * j];
      down[i + rows * j] = static_cast<float>(total / (last - first + 1));
    }
  }
  for (int32_t j = 0; j < cols; ++j) {
    const int32_t first = std::max(0, j - radius);
    const int32_t last = std::min(cols - 1, j + radius);
    for (int32_t i = 0; i < rows; ++i) {
      double total = 0.0;
      for (int32_t c = first; c <= last; ++c) total += down[i + rows * c];
      result[i + rows * j] = static_cast<float>(total / (last - first + 1));
    }
  }
  return result;
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

double labelVariance(const std::vector<float>& values, const std::vector<uint8_t>& labels,
                     const std::vector<float>& levels) {
  double squares = 0.0;
  for (std::size_t p = 0; p < values.size(); ++p) {
    const double d = static_cast<double>(values[p]) - levels[labels[p]];
    squares += d * d;
  }
  const double variance = values.empty() ? 0.0 : squares / static_cast<double>(values.size());
  return std::max(variance, kMinVariance);
}

std::vector<float> dataCosts(const std::vector<float>& values, const std::vector<float>& levels,
                             double variance) {
  const std::size_t slice = values.size();
  const double scale = 1.0 / (2.0 * std::max(variance, kMinVariance));
  std::vector<float> costs(slice * levels.size());
  for (std::size_t k = 0; k < levels.size(); ++k) {
    for (std::size_t p = 0; p < slice; ++p) {
      const double d = static_cast<double>(values[p]) - levels[k];
      costs[p + slice * k] = static_cast<float>(d * d * scale);
    }
  }
  return costs;
}

void levelsFromLabels(const std::vector<float>& values, const std::vector<uint8_t>& labels,
                      std::vector<float>& levels) {
  std::vector<double> totals(levels.size(), 0.0);
  std::vector<std::size_t> counts(levels.size(), 0);
  for (std::size_t p = 0; p < values.size(); ++p) {
    totals[labels[p]] += values[p];
    ++counts[labels[p]];
  }
  for (std::size_t k = 0; k < levels.size(); ++k) {
    if (counts[k] > 0) levels[k] = static_cast<float>(totals[k] / static_cast<double>(counts[k]));
  }
}

std::vector<uint8_t> hardLabels(const std::vector<float>& u, int32_t sliceSize, int32_t phases) {
  const auto slice = static_cast<std::size_t>(sliceSize);
  std::vector<uint8_t> labels(slice, 0);
  for (std::size_t p = 0; p < slice; ++p) {
    float best = u[p];
    for (int32_t k = 1; k < phases; ++k) {
      const float v = u[p + slice * static_cast<std::size_t>(k)];
      if (v > best) {
        best = v;
        labels[p] = static_cast<uint8_t>(k);
      }
    }
  }
  return labels;
}

void orderPhasesByLevel(std::vector<float>& levels, std::vector<float>& u, int32_t sliceSize) {
  const auto slice = static_cast<std::size_t>(sliceSize);
  std::vector<std::size_t> order(levels.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return levels[a] < levels[b]; });
  std::vector<float> sortedLevels(levels.size());
  std::vector<float> sortedU(u.size());
  for (std::size_t k = 0; k < order.size(); ++k) {
    sortedLevels[k] = levels[order[k]];
    std::copy(u.begin() + slice * order[k], u.begin() + slice * (order[k] + 1),
              sortedU.begin() + slice * k);
  }
  levels.swap(sortedLevels);
  u.swap(sortedU);
}

std::vector<double> phaseShares(const std::vector<uint8_t>& labels, int32_t phases) {
  std::vector<double> shares(static_cast<std::size_t>(phases), 0.0);
  for (uint8_t label : labels) shares[label] += 1.0;
  if (!labels.empty()) {
    for (double& share : shares) share /= static_cast<double>(labels.size());
  }
  return shares;
}

bool segmentImage(const GreyImage& image, const Settings& settings, Result& result,
                  const std::function<void(const RoundReport&)>& onRound, PrintRoutine print) {
  const int32_t slice = image.rows * image.cols;
  const int32_t phases = settings.phases;
  result.levels = settings.levels.empty() ? kMeansLevels(boxSmooth(image, kSmoothingRadius), phases)
                                          : settings.levels;
  result.variance =
      labelVariance(image.values, nearestLabels(image.values, result.levels), result.levels);
  result.u.assign(static_cast<std::size_t>(slice) * phases, 1.0f / static_cast<float>(phases));
  result.outerIterations = 0;
  std::vector<float> step(phases, 1.0f);
  std::vector<float> lastMove(phases, 0.0f);

  for (int32_t round = 1; round <= settings.rounds; ++round) {
    if (round > 1) {
      // Each level moves to the mean of its pixels, by a full step at first. A level whose move
      // turns back halves its step: a full step can flip a band of pixels between two phases
      // and back from one round to the next without ever settling.
      const std::vector<uint8_t> labels = hardLabels(result.u, slice, phases);
      std::vector<float> means = result.levels;
      levelsFromLabels(image.values, labels, means);
      for (int32_t k = 0; k < phases; ++k) {
        const float move = means[k] - result.levels[k];
        if (move * lastMove[k] < 0.0f) step[k] *= 0.5f;
        lastMove[k] = move;
        result.levels[k] = result.levels[k] + step[k] * move;
      }
      result.variance = labelVariance(image.values, labels, result.levels);
    }
    const std::vector<float> costs = dataCosts(image.values, result.levels, result.variance);
    SolverState state{};
    const bool ready = initSolverState(state, image.rows, image.cols, phases, settings.tvWeight,
                                       settings.penalty, costs.data(), result.u.data(), print);
    const int32_t iterations = ready ? runSolver(state) : 0;
    releaseSolverState(state);
    if (!ready) return false;
    result.outerIterations += iterations;
    if (onRound) onRound(RoundReport{round, &result.levels, result.variance, iterations});
  }
  orderPhasesByLevel(result.levels, result.u, slice);
  result.labels = hardLabels(result.u, slice, phases);
  return true;
}

}  // namespace daskel::segment
