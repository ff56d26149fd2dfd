// Phase intensities, data costs and labellings of the segmentation method.
#include "segment/segment.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>
#include <memory>
#include <numeric>
#include <optional>

#include "segment/column_blocks.hpp"
#include "segment/working_buffers.hpp"
#include "solver/cpu_count.hpp"

namespace daskel::segment {
namespace {

// Histogram resolution of kMeansLevels: finer than 8-bit samples over any range.
constexpr int32_t kHistogramBins = 4096;
// Pixels that the per-pixel passes take at a time, a phase at a time across them, so that their
// loops vectorise.
constexpr std::size_t kRunPixels = 512;
// The windows of flatWindowMeans, widest first, and how much more than the noise they may vary.
constexpr int32_t kFlatWindowRadii[] = {2, 1};
constexpr double kFlatWindowVarianceFactor = 2.0;
// phaseMeans uses the interior pixels of a phase when at least this share of them is interior.
constexpr double kMinInteriorShare = 0.25;
// moveLevels moves a level at most this share of the gap to a neighbouring level per round.
constexpr float kMaxLevelStep = 0.25f;
// The least noise deviation the costs assume, as a share of the smallest gap between levels.
constexpr double kLeastNoiseOfGap = 1.0 / 256.0;
// The share of pixels that noise carries past the midpoint to a neighbouring level from which
// the smoothing takes its full weight; below it the weight falls in proportion.
constexpr double kFullSmoothingStrays = 0.01;
// The rounds end once fewer than this share of the pixels changed phase in the last round and no
// level moved by more than kSettledMove of the smallest gap.
constexpr double kSettledShare = 1e-3;
constexpr double kSettledMove = 0.01;
// The rounds also end once the next round's costs would be the last one's: no level moved by
// more than kSettledMove of the smallest gap and the variance by no more than this share.
constexpr double kSettledVariance = 0.05;
// The passes of the method take one thread per this many pixels at most.
constexpr int64_t kPixelsPerPassThread = 65536;
// A labelling shows texture where its phases alternate in runs of at most this many pixels, on
// average, along the rows or the columns, while the pixels' distances from their levels, averaged
// over about one period, vary kTextureMisfit times as much as noise alone would leave them.
constexpr double kLongestTextureRun = 8.0;
constexpr double kTextureMisfit = 4.0;

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

// The least and the greatest of `values` (not empty), as std::minmax_element finds them.
std::pair<float, float> valueRange(const std::vector<float>& values) {
  // Eight of each at a time, which vectorises; without a NaN the order does not matter.
  constexpr std::size_t kLanes = 8;
  std::array<float, kLanes> least, greatest;
  std::array<int32_t, kLanes> nan{};
  least.fill(values[0]);
  greatest.fill(values[0]);
  std::size_t p = 0;
  for (; p + kLanes <= values.size(); p += kLanes) {
    const float* v = values.data() + p;
    for (std::size_t l = 0; l < kLanes; ++l) {
      least[l] = std::min(least[l], v[l]);
      greatest[l] = std::max(greatest[l], v[l]);
      nan[l] |= v[l] != v[l];
    }
  }
  for (; p < values.size(); ++p) {
    least[0] = std::min(least[0], values[p]);
    greatest[0] = std::max(greatest[0], values[p]);
    nan[0] |= values[p] != values[p];
  }
  if (std::any_of(nan.begin(), nan.end(), [](int32_t n) { return n != 0; })) {
    // Where a NaN takes part, the answer depends on the order of the comparisons.
    const auto [lowest, highest] = std::minmax_element(values.begin(), values.end());
    return {*lowest, *highest};
  }
  return {*std::min_element(least.begin(), least.end()),
          *std::max_element(greatest.begin(), greatest.end())};
}

// The histogram bins of `count` values over [low, low + range], range > 0: a NaN in bin 0, the
// top value in the top bin.
void binsOf(const float* values, std::size_t count, double low, double range, int32_t* bins) {
  for (std::size_t i = 0; i < count; ++i) {
    const double position = (values[i] - low) / range;
    double clamped = position > 0.0 ? position : 0.0;
    clamped = clamped < 1.0 ? clamped : 1.0;
    const auto bin = static_cast<int32_t>(clamped * kHistogramBins);
    bins[i] = bin < kHistogramBins ? bin : kHistogramBins - 1;
  }
}

BinSums binSums(const std::vector<float>& values) {
  const auto [lowest, highest] = valueRange(values);
  const double low = lowest;
  const double range = static_cast<double>(highest) - low;
  struct Bin {
    double count = 0.0;
    double sum = 0.0;
    double squares = 0.0;
  };
  std::vector<Bin> bins(kHistogramBins);
  // The bins of a run of values first, which vectorises, then their sums in the values' order.
  // All values in bin 0 where they are all equal.
  std::array<int32_t, kRunPixels> binOf{};
  for (std::size_t first = 0; first < values.size(); first += kRunPixels) {
    const std::size_t count = std::min(kRunPixels, values.size() - first);
    const float* run = values.data() + first;
    if (range > 0.0) binsOf(run, count, low, range, binOf.data());
    for (std::size_t i = 0; i < count; ++i) {
      Bin& bin = bins[static_cast<std::size_t>(binOf[i])];
      bin.count += 1.0;
      bin.sum += run[i];
      bin.squares += static_cast<double>(run[i]) * run[i];
    }
  }
  BinSums s;
  for (const Bin& bin : bins) {
    if (bin.count == 0.0) continue;
    s.count.push_back(s.count.back() + bin.count);
    s.sum.push_back(s.sum.back() + bin.sum);
    s.squares.push_back(s.squares.back() + bin.squares);
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

// The window of a pixel for one radius, cut off at the border: its first and last rows and
// columns and its pixel count.
struct Window {
  int32_t firstRow, lastRow, firstCol, lastCol;
  double count;
};

Window windowAt(const GreyImage& image, int32_t i, int32_t j, int32_t radius) {
  Window w{std::max(0, i - radius), std::min(image.rows - 1, i + radius), std::max(0, j - radius),
           std::min(image.cols - 1, j + radius), 0.0};
  w.count = static_cast<double>((w.lastRow - w.firstRow + 1) * (w.lastCol - w.firstCol + 1));
  return w;
}

// The sum of squared deviations from `mean` of a window's values, column by column: the exact
// rule that flatWindowMeans' quick test falls back on near its limit.
double windowSquares(const GreyImage& image, const Window& w, double mean) {
  double squares = 0.0;
  for (int32_t c = w.firstCol; c <= w.lastCol; ++c) {
    for (int32_t r = w.firstRow; r <= w.lastRow; ++r) {
      const double d = image.values[r + static_cast<std::size_t>(image.rows) * c] - mean;
      squares += d * d;
    }
  }
  return squares;
}

// Whether a window whose values sum to `total` and their squares to `totalSquares` varies no more
// than `limit` (mean squared deviation from the mean), with that mean. The sums of squares give
// the variance at once; where that lies within its rounding of the limit, the deviations are
// summed one by one.
bool flatWindow(const GreyImage& image, const Window& w, double total, double totalSquares,
                double limit, double& mean) {
  mean = total / w.count;
  const double quick = totalSquares - total * mean;  // count times the variance
  const double bound = limit * w.count;
  const double rounding = 1e-12 * (totalSquares + bound);
  if (quick < bound - rounding) return true;
  if (quick > bound + rounding) return false;
  return windowSquares(image, w, mean) / w.count <= limit;
}

// Whether pixel (i, j)'s window of `radius` is flat, with its mean, from the window's own values:
// for the narrower windows, which only the pixels whose widest window is not flat need.
bool flatAt(const GreyImage& image, int32_t i, int32_t j, int32_t radius, double limit,
            double& mean) {
  const Window w = windowAt(image, i, j, radius);
  double total = 0.0;
  double totalSquares = 0.0;
  for (int32_t c = w.firstCol; c <= w.lastCol; ++c) {
    for (int32_t r = w.firstRow; r <= w.lastRow; ++r) {
      const double v = image.values[r + static_cast<std::size_t>(image.rows) * c];
      total += v;
      totalSquares += v * v;
    }
  }
  return flatWindow(image, w, total, totalSquares, limit, mean);
}

// Sums over the window rows of one column: for every row i, the values and the squared values
// of rows i - radius .. i + radius that lie in the image.
void columnSums(const GreyImage& image, int32_t col, int32_t radius, double* sums,
                double* squares) {
  const float* column = image.values.data() + static_cast<std::size_t>(image.rows) * col;
  const int32_t rows = image.rows;
  const auto sumRow = [&](int32_t i) {
    const int32_t first = std::max(0, i - radius);
    const int32_t last = std::min(rows - 1, i + radius);
    double s = 0.0;
    double q = 0.0;
    for (int32_t r = first; r <= last; ++r) {
      const double v = column[r];
      s += v;
      q += v * v;
    }
    sums[i] = s;
    squares[i] = q;
  };
  // Rows whose window lies inside the column take the same sums, row r first, an offset at a time
  // across all of them, which vectorises; the rows near the ends are summed one by one.
  const int32_t firstFull = std::min(radius, rows);
  const int32_t endFull = std::max(firstFull, rows - radius);
  for (int32_t i = 0; i < firstFull; ++i) sumRow(i);
  for (int32_t i = endFull; i < rows; ++i) sumRow(i);
  for (int32_t i = firstFull; i < endFull; ++i) {
    sums[i] = 0.0;
    squares[i] = 0.0;
  }
  for (int32_t offset = -radius; offset <= radius; ++offset) {
    for (int32_t i = firstFull; i < endFull; ++i) {
      const double v = column[i + offset];
      sums[i] += v;
      squares[i] += v * v;
    }
  }
}

// The windows of one radius, a column of pixels at a time: the sums of their values and squared
// values from the column sums of the window's columns (kept for the 2 radius + 1 columns in
// reach), and for each pixel whether its window is flat (flatWindow), with its mean.
class ColumnWindows {
 public:
  ColumnWindows(const GreyImage& image, int32_t radius)
      : image_(image),
        radius_(radius),
        span_(2 * radius + 1),
        sums_(static_cast<std::size_t>(span_) * image.rows),
        squares_(sums_.size()),
        loaded_(static_cast<std::size_t>(span_), -1),
        totals_(static_cast<std::size_t>(image.rows)),
        totalSquares_(totals_.size()) {}

  // Sums the windows of every pixel of column j; columns come in increasing order.
  void sumColumn(int32_t j) {
    col_ = j;
    std::fill(totals_.begin(), totals_.end(), 0.0);
    std::fill(totalSquares_.begin(), totalSquares_.end(), 0.0);
    const int32_t first = std::max(0, j - radius_);
    const int32_t last = std::min(image_.cols - 1, j + radius_);
    for (int32_t c = first; c <= last; ++c) {
      const std::size_t slot = slotOf(c);
      const double* sums = &sums_[slot];
      const double* squares = &squares_[slot];
      for (int32_t i = 0; i < image_.rows; ++i) {
        totals_[i] += sums[i];
        totalSquares_[i] += squares[i];
      }
    }
  }

  // Whether pixel (i, col)'s window is flat, with its mean.
  bool flat(int32_t i, double limit, double& mean) const {
    const Window w = windowAt(image_, i, col_, radius_);
    return flatWindow(image_, w, totals_[i], totalSquares_[i], limit, mean);
  }

  // The mean of pixel (i, col)'s window.
  double mean(int32_t i) const { return totals_[i] / windowAt(image_, i, col_, radius_).count; }

 private:
  std::size_t slotOf(int32_t col) {
    const std::size_t slot = static_cast<std::size_t>(col % span_);
    if (loaded_[slot] != col) {
      columnSums(image_, col, radius_, &sums_[slot * image_.rows], &squares_[slot * image_.rows]);
      loaded_[slot] = col;
    }
    return slot * image_.rows;
  }

  const GreyImage& image_;
  int32_t radius_;
  int32_t span_;
  std::vector<double> sums_;
  std::vector<double> squares_;
  std::vector<int32_t> loaded_;
  int32_t col_ = -1;
  std::vector<double> totals_;
  std::vector<double> totalSquares_;
};

// Whether each pixel of column j has its four neighbours (those in the grid) in its own phase:
// interior[i] is 1 or 0 for the pixel in row i.
void interiorOfColumn(const std::vector<uint8_t>& labels, int32_t rows, int32_t cols, int32_t j,
                      uint8_t* interior) {
  const uint8_t* own = labels.data() + static_cast<std::size_t>(rows) * j;
  // A missing neighbour column compares the column with itself.
  const uint8_t* left = j > 0 ? own - rows : own;
  const uint8_t* right = j + 1 < cols ? own + rows : own;
  for (int32_t i = 0; i < rows; ++i) {
    interior[i] = static_cast<uint8_t>((left[i] == own[i]) & (right[i] == own[i]));
  }
  for (int32_t i = 1; i < rows; ++i) {
    const uint8_t same = own[i - 1] == own[i];
    interior[i] &= same;
    interior[i - 1] &= same;
  }
}

// The smallest gap between consecutive increasing levels (1 for a single level).
double smallestGap(const std::vector<float>& levels) {
  if (levels.size() < 2) return 1.0;
  double gap = std::numeric_limits<double>::infinity();
  for (std::size_t k = 1; k < levels.size(); ++k) {
    gap = std::min(gap, levels[k] - static_cast<double>(levels[k - 1]));
  }
  return gap;
}

// Whether no level lies further than `most` from its previous value.
bool levelsWithin(const std::vector<float>& levels, const std::vector<float>& previous,
                  double most) {
  for (std::size_t k = 0; k < levels.size(); ++k) {
    if (std::fabs(static_cast<double>(levels[k]) - previous[k]) > most) return false;
  }
  return true;
}

// What the squared distance to a level is multiplied by in the costs: 1 / (2 variance), the
// variance at least varianceFloor(levels).
double costScale(double variance, const std::vector<float>& levels) {
  return 1.0 / (2.0 * std::max(variance, varianceFloor(levels)));
}

// The costs of pixels [begin, end) of the image into `costs`, a Volume over it of `slice` pixels.
// A run of pixels at a time, a phase at a time across the run, so that the loops vectorise; each
// cost is the same operations on the same values as pixel by pixel.
void fillCostsOf(const std::vector<float>& values, const std::vector<float>& levels, double scale,
                 double spreadLimit, std::size_t begin, std::size_t end, float* costs) {
  const std::size_t slice = values.size();
  const std::size_t phases = levels.size();
  std::array<double, kRunPixels> least;
  for (std::size_t first = begin; first < end; first += kRunPixels) {
    const std::size_t count = std::min(kRunPixels, end - first);
    const float* run = values.data() + first;
    const auto cost = [&](std::size_t i, std::size_t k) {
      const double d = static_cast<double>(run[i]) - levels[k];
      return d * d * scale;
    };
    std::fill_n(least.begin(), count, std::numeric_limits<double>::infinity());
    for (std::size_t k = 0; k < phases; ++k) {
      for (std::size_t i = 0; i < count; ++i) least[i] = std::min(least[i], cost(i, k));
    }
    for (std::size_t k = 0; k < phases; ++k) {
      float* out = costs + first + slice * k;
      for (std::size_t i = 0; i < count; ++i) {
        out[i] = static_cast<float>(std::min(cost(i, k) - least[i], spreadLimit));
      }
    }
  }
}

// The costs of every pixel into `costs`, a Volume over the image.
void fillCosts(const GreyImage& image, const std::vector<float>& levels, double variance,
               double spreadLimit, const ColumnBlocks& blocks, float* costs) {
  const double scale = costScale(variance, levels);
  const auto rows = static_cast<std::size_t>(image.rows);
  blocks.run([&](int32_t, int32_t, int32_t firstCol, int32_t endCol) {
    fillCostsOf(image.values, levels, scale, spreadLimit, rows * firstCol, rows * endCol, costs);
  });
}

// Each pixel's most likely phase into `labels` (of the slice's size), as hardLabels reads it: the
// largest weight, of equal weights the lowest cost, of equal costs the first phase. A run of
// pixels at a time, a phase at a time across the run, so that the loop vectorises.
void fillHardLabels(const std::vector<float>& u, const float* costs, int32_t rows, int32_t phases,
                    const ColumnBlocks& blocks, std::vector<uint8_t>& labels) {
  const std::size_t slice = labels.size();
  blocks.run([&](int32_t, int32_t, int32_t firstCol, int32_t endCol) {
    std::array<float, kRunPixels> bestWeight;
    std::array<float, kRunPixels> bestCost;
    std::array<int32_t, kRunPixels> bestPhase;
    const std::size_t end = static_cast<std::size_t>(rows) * endCol;
    for (std::size_t first = static_cast<std::size_t>(rows) * firstCol; first < end;
         first += kRunPixels) {
      const std::size_t count = std::min(kRunPixels, end - first);
      std::copy_n(u.data() + first, count, bestWeight.begin());
      std::copy_n(costs + first, count, bestCost.begin());
      std::fill_n(bestPhase.begin(), count, 0);
      for (int32_t k = 1; k < phases; ++k) {
        const float* weight = u.data() + first + slice * static_cast<std::size_t>(k);
        const float* cost = costs + first + slice * static_cast<std::size_t>(k);
        for (std::size_t i = 0; i < count; ++i) {
          // Without short-circuits, so that the loop vectorises.
          const int heavier = weight[i] > bestWeight[i];
          const int cheaperTie =
              static_cast<int>(weight[i] == bestWeight[i]) & (cost[i] < bestCost[i]);
          const bool better = (heavier | cheaperTie) != 0;
          bestWeight[i] = better ? weight[i] : bestWeight[i];
          bestCost[i] = better ? cost[i] : bestCost[i];
          bestPhase[i] = better ? k : bestPhase[i];
        }
      }
      std::copy_n(bestPhase.begin(), count, labels.data() + first);
    }
  });
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

float lumaIntensity(double red, double green, double blue, double maxSample) {
  return greyIntensity(0.299 * red + 0.587 * green + 0.114 * blue, maxSample);
}

namespace {

// Which neighbours' differences the noise estimate takes: those within columns, those across
// them, or both.
enum class Pairs { down, across, both };

// Which pairs of neighbours a noise estimate counts: `pairs` of them, and where `labels` is not
// null only those in one phase.
struct PairsCounted {
  Pairs pairs = Pairs::both;
  const uint8_t* labels = nullptr;
};

// The absolute differences of the vertical and horizontal neighbours of the pixels of columns
// [firstCol, endCol), the pixel above or to the left of each pair counting it, rounded to float;
// only those of the pairs `counted` takes. `visit` gets each one's bit pattern, which for floats
// of one sign orders as the values do. (The rounding keeps the order, so the median is the exact
// one's rounding.)
template <class Visit>
void eachDifference(const GreyImage& image, PairsCounted counted, int32_t firstCol, int32_t endCol,
                    Visit&& visit) {
  const uint8_t* labels = counted.labels;
  const auto bitsOf = [](float d) {
    uint32_t bits = 0;
    std::memcpy(&bits, &d, sizeof bits);
    return bits;
  };
  const auto rows = static_cast<std::size_t>(image.rows);
  const auto samePhase = [labels](std::size_t p, std::size_t q) {
    return labels == nullptr || labels[p] == labels[q];
  };
  const bool down = counted.pairs != Pairs::across;
  const bool across = counted.pairs != Pairs::down;
  for (int32_t j = firstCol; j < endCol; ++j) {
    const std::size_t first = rows * j;
    const float* column = image.values.data() + first;
    for (std::size_t i = 0; down && i + 1 < rows; ++i) {
      if (samePhase(first + i, first + i + 1)) visit(bitsOf(std::fabs(column[i + 1] - column[i])));
    }
    if (!across || j + 1 == image.cols) continue;
    for (std::size_t i = 0; i < rows; ++i) {
      if (samePhase(first + i, first + i + rows)) {
        visit(bitsOf(std::fabs(column[i + rows] - column[i])));
      }
    }
  }
}

// noiseVariance, from the pairs `counted` takes.
double noiseVarianceOf(const GreyImage& image, const ColumnBlocks& blocks,
                       PairsCounted counted = PairsCounted{}) {
  if (image.rows < 1 || image.cols < 1) return 0.0;
  // The upper median, the (count / 2)th smallest from 0, found 16 bits of its pattern at a time
  // from the top by counting the differences that share the bits found so far: two passes over
  // the image and a table of 65536 counts per thread instead of a copy of every difference.
  constexpr std::size_t kDigits = std::size_t{1} << 16;
  uint64_t rank = 0;
  uint32_t found = 0;
  std::vector<uint64_t> counts(kDigits * static_cast<std::size_t>(blocks.members()));
  for (int shift = 16; shift >= 0; shift -= 16) {
    std::fill(counts.begin(), counts.end(), 0);
    const uint32_t prefixMask = shift == 16 ? 0 : ~uint32_t{0} << (shift + 16);
    blocks.run([&](int32_t member, int32_t, int32_t firstCol, int32_t endCol) {
      uint64_t* own = counts.data() + kDigits * static_cast<std::size_t>(member);
      eachDifference(image, counted, firstCol, endCol, [&](uint32_t bits) {
        if ((bits & prefixMask) == found) ++own[(bits >> shift) & 0xffff];
      });
    });
    for (std::size_t m = 1; m < static_cast<std::size_t>(blocks.members()); ++m) {
      for (std::size_t d = 0; d < kDigits; ++d) counts[d] += counts[kDigits * m + d];
    }
    if (shift == 16) {
      const uint64_t count = std::accumulate(counts.begin(), counts.begin() + kDigits, uint64_t{0});
      if (count == 0) return 0.0;
      rank = count / 2;
    }
    uint32_t digit = 0;
    while (rank >= counts[digit]) rank -= counts[digit++];
    found |= digit << shift;
  }
  float median = 0.0f;
  std::memcpy(&median, &found, sizeof median);
  // For Gaussian noise of deviation s a difference has deviation s * sqrt(2) and a median
  // absolute value of 0.6745 times that.
  const double deviation = median / (0.6745 * std::sqrt(2.0));
  return deviation * deviation;
}

std::vector<float> flatWindowMeansOf(const GreyImage& image, double noiseVariance,
                                     const ColumnBlocks& blocks) {
  const double limit = kFlatWindowVarianceFactor * noiseVariance;
  std::vector<float> result(image.values);
  // Each thread sums the widest windows of its own columns; the narrower ones, needed only where
  // the widest is not flat, are summed pixel by pixel.
  std::vector<ColumnWindows> widest;
  for (int32_t m = 0; m < blocks.members(); ++m) widest.emplace_back(image, kFlatWindowRadii[0]);
  blocks.run([&](int32_t member, int32_t, int32_t firstCol, int32_t endCol) {
    ColumnWindows& own = widest[static_cast<std::size_t>(member)];
    for (int32_t j = firstCol; j < endCol; ++j) {
      own.sumColumn(j);
      for (int32_t i = 0; i < image.rows; ++i) {
        double mean = 0.0;
        bool flat = own.flat(i, limit, mean);
        for (std::size_t r = 1; !flat && r < std::size(kFlatWindowRadii); ++r) {
          flat = flatAt(image, i, j, kFlatWindowRadii[r], limit, mean);
        }
        if (flat) result[i + static_cast<std::size_t>(image.rows) * j] = static_cast<float>(mean);
      }
    }
  });
  return result;
}

// Index of the nearest level for pixels [begin, end) of `values` into `labels`.
void nearestLabelsOf(const std::vector<float>& values, const std::vector<float>& levels,
                     std::size_t begin, std::size_t end, uint8_t* labels) {
  if (levels.empty()) return;
  for (std::size_t p = begin; p < end; ++p) {
    const double value = values[p];
    double bestDistance = (value - levels[0]) * (value - levels[0]);
    uint8_t label = 0;
    for (std::size_t k = 1; k < levels.size(); ++k) {
      const double d = value - levels[k];
      const bool closer = d * d < bestDistance;
      bestDistance = closer ? d * d : bestDistance;
      label = closer ? static_cast<uint8_t>(k) : label;
    }
    labels[p] = label;
  }
}

std::vector<uint8_t> nearestLabelsOf(const GreyImage& image, const std::vector<float>& levels,
                                     const ColumnBlocks& blocks) {
  std::vector<uint8_t> labels(image.values.size(), 0);
  const auto rows = static_cast<std::size_t>(image.rows);
  blocks.run([&](int32_t, int32_t, int32_t firstCol, int32_t endCol) {
    nearestLabelsOf(image.values, levels, rows * firstCol, rows * endCol, labels.data());
  });
  return labels;
}

// Calls visit(p, interior) for every pixel p of columns [firstCol, endCol) in order, with whether
// its four neighbours share its label.
template <class Visit>
void eachPixelOfColumns(const GreyImage& image, const std::vector<uint8_t>& labels,
                        int32_t firstCol, int32_t endCol, Visit&& visit) {
  std::vector<uint8_t> inside(static_cast<std::size_t>(image.rows));
  for (int32_t j = firstCol; j < endCol; ++j) {
    interiorOfColumn(labels, image.rows, image.cols, j, inside.data());
    const std::size_t column = static_cast<std::size_t>(image.rows) * j;
    for (int32_t i = 0; i < image.rows; ++i) visit(column + static_cast<std::size_t>(i), inside[i]);
  }
}

// The sums of a phase over its pixels and over its interior pixels.
struct PhaseSums {
  double total = 0.0;
  double count = 0.0;
  double interiorTotal = 0.0;
  double interiorCount = 0.0;
};

std::vector<float> phaseMeansOf(const GreyImage& image, const std::vector<uint8_t>& labels,
                                const std::vector<float>& levels, const ColumnBlocks& blocks) {
  const std::size_t phases = levels.size();
  std::vector<PhaseSums> sums(phases * static_cast<std::size_t>(blocks.blocks()));
  blocks.run([&](int32_t, int32_t block, int32_t firstCol, int32_t endCol) {
    std::array<PhaseSums, kMaxPhases> own{};
    eachPixelOfColumns(image, labels, firstCol, endCol, [&](std::size_t p, uint8_t interior) {
      const double value = image.values[p];
      PhaseSums& phase = own[labels[p]];
      phase.total += value;
      phase.count += 1.0;
      if (interior != 0) {
        phase.interiorTotal += value;
        phase.interiorCount += 1.0;
      }
    });
    std::copy_n(own.begin(), phases, sums.begin() + static_cast<std::ptrdiff_t>(phases * block));
  });
  std::vector<float> means = levels;
  for (std::size_t k = 0; k < phases; ++k) {
    PhaseSums all;
    for (int32_t block = 0; block < blocks.blocks(); ++block) {
      const PhaseSums& part = sums[phases * static_cast<std::size_t>(block) + k];
      all.total += part.total;
      all.count += part.count;
      all.interiorTotal += part.interiorTotal;
      all.interiorCount += part.interiorCount;
    }
    if (all.interiorCount > 0.0 && all.interiorCount >= kMinInteriorShare * all.count) {
      means[k] = static_cast<float>(all.interiorTotal / all.interiorCount);
    } else if (all.count > 0.0) {
      means[k] = static_cast<float>(all.total / all.count);
    }
  }
  return means;
}

double labelVarianceOf(const GreyImage& image, const std::vector<uint8_t>& labels,
                       const std::vector<float>& levels, const ColumnBlocks& blocks) {
  // Over the interior pixels and over all, in one pass; the second counts where none is interior.
  struct Squares {
    double interior = 0.0;
    double interiorCount = 0.0;
    double all = 0.0;
  };
  std::vector<Squares> sums(static_cast<std::size_t>(blocks.blocks()));
  blocks.run([&](int32_t, int32_t block, int32_t firstCol, int32_t endCol) {
    Squares own;
    eachPixelOfColumns(image, labels, firstCol, endCol, [&](std::size_t p, uint8_t inside) {
      const double d = static_cast<double>(image.values[p]) - levels[labels[p]];
      const double interior = inside != 0 ? 1.0 : 0.0;
      own.all += d * d;
      own.interior += interior * (d * d);
      own.interiorCount += interior;
    });
    sums[static_cast<std::size_t>(block)] = own;
  });
  Squares total;
  for (const Squares& part : sums) {
    total.interior += part.interior;
    total.interiorCount += part.interiorCount;
    total.all += part.all;
  }
  const double count = static_cast<double>(labels.size());
  const double variance = total.interiorCount > 0.0 ? total.interior / total.interiorCount
                          : count > 0.0             ? total.all / count
                                                    : 0.0;
  return std::max(variance, varianceFloor(levels));
}

}  // namespace

double noiseVariance(const GreyImage& image) {
  return noiseVarianceOf(image, ColumnBlocks(image.cols, nullptr));
}

std::vector<float> flatWindowMeans(const GreyImage& image, double noiseVariance) {
  return flatWindowMeansOf(image, noiseVariance, ColumnBlocks(image.cols, nullptr));
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

  // Fewer non-empty bins than phases: each missing level halves the widest gap between the
  // levels found, which follows the image's own range (of [0, 1] around a single level).
  while (levels.size() < static_cast<std::size_t>(phases)) {
    std::vector<float> bounds = levels;
    if (found < 2) {
      bounds.insert(bounds.begin(), 0.0f);
      bounds.push_back(1.0f);
    }
    std::size_t widest = 0;
    for (std::size_t g = 1; g + 1 < bounds.size(); ++g) {
      if (bounds[g + 1] - bounds[g] > bounds[widest + 1] - bounds[widest]) widest = g;
    }
    const std::size_t at = found < 2 ? widest : widest + 1;
    levels.insert(levels.begin() + static_cast<std::ptrdiff_t>(at),
                  0.5f * (bounds[widest] + bounds[widest + 1]));
  }
  return levels;
}

std::vector<uint8_t> nearestLabels(const std::vector<float>& values,
                                   const std::vector<float>& levels) {
  std::vector<uint8_t> labels(values.size(), 0);
  nearestLabelsOf(values, levels, 0, values.size(), labels.data());
  return labels;
}

std::vector<bool> interiorPixels(const std::vector<uint8_t>& labels, int32_t rows, int32_t cols) {
  std::vector<bool> interior(labels.size());
  std::vector<uint8_t> column(static_cast<std::size_t>(rows));
  for (int32_t j = 0; j < cols; ++j) {
    interiorOfColumn(labels, rows, cols, j, column.data());
    for (int32_t i = 0; i < rows; ++i) {
      interior[i + static_cast<std::size_t>(rows) * j] = column[i] != 0;
    }
  }
  return interior;
}

std::vector<float> phaseMeans(const GreyImage& image, const std::vector<uint8_t>& labels,
                              const std::vector<float>& levels) {
  return phaseMeansOf(image, labels, levels, ColumnBlocks(image.cols, nullptr));
}

double varianceFloor(const std::vector<float>& levels) {
  const double least = kLeastNoiseOfGap * smallestGap(levels);
  return least > 0.0 ? least * least : std::numeric_limits<double>::min();
}

double labelVariance(const GreyImage& image, const std::vector<uint8_t>& labels,
                     const std::vector<float>& levels) {
  return labelVarianceOf(image, labels, levels, ColumnBlocks(image.cols, nullptr));
}

float smoothingWeight(float tvWeight, double variance, const std::vector<float>& levels) {
  const double deviation = std::sqrt(std::max(variance, varianceFloor(levels)));
  const double strays = std::erfc(smallestGap(levels) / (2.0 * std::sqrt(2.0) * deviation));
  return static_cast<float>(tvWeight * std::min(1.0, strays / kFullSmoothingStrays));
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
  std::vector<float> costs(values.size() * levels.size());
  fillCostsOf(values, levels, costScale(variance, levels), spreadLimit, 0, values.size(),
              costs.data());
  return costs;
}

std::vector<uint8_t> hardLabels(const std::vector<float>& u, const std::vector<float>& costs,
                                int32_t sliceSize, int32_t phases) {
  // One column of sliceSize rows: the pixels' order is all that matters here.
  std::vector<uint8_t> labels(static_cast<std::size_t>(sliceSize));
  fillHardLabels(u, costs.data(), sliceSize, phases, ColumnBlocks(1, nullptr), labels);
  return labels;
}

std::vector<double> phaseShares(const std::vector<uint8_t>& labels, int32_t phases) {
  std::array<uint64_t, 256> counts{};
  for (uint8_t label : labels) ++counts[label];
  std::vector<double> shares(static_cast<std::size_t>(phases), 0.0);
  if (!labels.empty()) {
    for (std::size_t k = 0; k < shares.size(); ++k) {
      shares[k] = static_cast<double>(counts[k]) / static_cast<double>(labels.size());
    }
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

namespace {

// The labelling a round starts from: the last round's where the smoothing has its full weight,
// else blended with the uniform one in proportion. Each call's first sweep (its split variables
// zero) replaces every pixel by its neighbours' mean plus a data term the cost clip bounds, so a
// start from the last labelling smooths once more, and on a clean picture erases a dot that a
// start from the uniform labelling, where the data alone decides, keeps.
void carryLabelling(std::vector<float>& u, double carried, int32_t phases) {
  if (carried >= 1.0) return;
  const double uniform = (1.0 - carried) / phases;
  for (float& value : u) value = static_cast<float>(carried * value + uniform);
}

}  // namespace

bool labelsSettled(const std::vector<uint8_t>& labels, const std::vector<uint8_t>& previous,
                   const std::vector<float>& levels, const std::vector<float>& previousLevels) {
  if (labels.size() != previous.size() || levels.size() != previousLevels.size()) return false;
  std::size_t changed = 0;
  for (std::size_t p = 0; p < labels.size(); ++p) changed += labels[p] != previous[p];
  if (static_cast<double>(changed) > kSettledShare * static_cast<double>(labels.size())) {
    return false;
  }
  return levelsWithin(levels, previousLevels, kSettledMove * smallestGap(previousLevels));
}

namespace {

// The threads of the method's own passes: those the solver would take, but none where a thread
// would have fewer than kPixelsPerPassThread pixels or no block of columns.
int32_t passThreads(int32_t threads, const GreyImage& image) {
  const int64_t pixels = int64_t{image.rows} * image.cols;
  const int64_t worthwhile = std::max<int64_t>(1, pixels / kPixelsPerPassThread);
  const int64_t blocks = ColumnBlocks(image.cols, nullptr).blocks();
  return static_cast<int32_t>(std::min<int64_t>({detail::threadsFor(threads), worthwhile, blocks}));
}

}  // namespace

int32_t textureWindow(const GreyImage& image, const std::vector<uint8_t>& labels,
                      const std::vector<float>& levels) {
  if (labels.size() != image.values.size() || image.rows < 2 || image.cols < 2) return 1;
  // Label changes between vertical neighbours (within columns) and horizontal ones.
  const auto rows = static_cast<std::size_t>(image.rows);
  uint64_t down = 0;
  uint64_t across = 0;
  for (std::size_t first = 0; first < labels.size(); first += rows) {
    const uint8_t* column = labels.data() + first;
    for (std::size_t i = 0; i + 1 < rows; ++i) down += column[i] != column[i + 1];
    if (first + rows == labels.size()) break;
    for (std::size_t i = 0; i < rows; ++i) across += column[i] != column[i + rows];
  }
  // Mean run lengths: every column and row starts a run, and every change starts another.
  const double pixels = static_cast<double>(labels.size());
  const double runDown = pixels / (static_cast<double>(down) + image.cols);
  const double runAcross = pixels / (static_cast<double>(across) + image.rows);
  const double run = std::min(runDown, runAcross);
  if (run > kLongestTextureRun) return 1;
  const int32_t window = 2 * static_cast<int32_t>(std::lround(run)) + 1;
  // Each pixel's distance from its level, averaged over the window: noise alone averages out to
  // a variance of about noise / window^2, while regions under a pattern keep their offset from
  // the pattern's levels. The noise is that of neighbours in one phase (where most pairs straddle
  // a boundary, those would count as noise) along the longer runs (across the shorter ones, a
  // smooth pattern's own steps would).
  GreyImage residuals{image.rows, image.cols, image.values};
  for (std::size_t p = 0; p < labels.size(); ++p) residuals.values[p] -= levels[labels[p]];
  double squares = 0.0;
  for (float mean : windowMeans(residuals, window).values)
    squares += static_cast<double>(mean) * mean;
  const Pairs along = runDown >= runAcross ? Pairs::down : Pairs::across;
  const double noise =
      noiseVarianceOf(image, ColumnBlocks(image.cols, nullptr), {along, labels.data()});
  const double averagedNoise = std::max(noise, varianceFloor(levels)) / (window * window);
  return squares / pixels >= kTextureMisfit * averagedNoise ? window : 1;
}

GreyImage windowMeans(const GreyImage& image, int32_t window) {
  GreyImage means{image.rows, image.cols, std::vector<float>(image.values.size())};
  ColumnWindows windows(image, window / 2);
  for (int32_t j = 0; j < image.cols; ++j) {
    windows.sumColumn(j);
    float* column = means.values.data() + static_cast<std::size_t>(image.rows) * j;
    for (int32_t i = 0; i < image.rows; ++i) column[i] = static_cast<float>(windows.mean(i));
  }
  return means;
}

bool costsSettled(const std::vector<float>& levels, const std::vector<float>& previousLevels,
                  double variance, double previousVariance) {
  if (levels.size() != previousLevels.size() || !(previousVariance > 0.0)) return false;
  return levelsWithin(levels, previousLevels, kSettledMove * smallestGap(previousLevels)) &&
         std::fabs(variance - previousVariance) <= kSettledVariance * previousVariance;
}

namespace {

// The rounds of segmentImage on the intensities of `image` as they stand.
bool segmentIntensities(const GreyImage& image, const Settings& settings, Result& result,
                        const std::function<void(const RoundReport&)>& onRound, PrintRoutine print,
                        StopRequest stop) {
  const int32_t slice = image.rows * image.cols;
  const int32_t phases = settings.phases;
  const double spreadLimit = costSpreadLimit(settings.penalty, phases);
  // The method's own passes share threads as the solver does; the solver starts its own.
  std::optional<detail::Team> team;
  const int32_t members = passThreads(settings.threads, image);
  if (members > 1) team.emplace(members);
  detail::Team* const passTeam = team ? &*team : nullptr;
  const ColumnBlocks blocks(image.cols, passTeam);
  const double noise = noiseVarianceOf(image, blocks);
  std::vector<float> levels = settings.levels;
  if (levels.empty()) levels = kMeansLevels(flatWindowMeansOf(image, noise, blocks), phases);
  std::sort(levels.begin(), levels.end());
  // Each pixel at its nearest level puts the pixels that noise carried past a midpoint next to
  // the other level, which hides the tails of the noise (a third of its variance for noise of a
  // third of the gap); the neighbours' differences see the noise whatever the levels.
  result.variance = std::max(
      labelVarianceOf(image, nearestLabelsOf(image, levels, blocks), levels, blocks), noise);
  const std::size_t elements = static_cast<std::size_t>(slice) * phases;
  result.u.clear();
  result.u.reserve(elements);
  mapForWriting(result.u.data(), elements * sizeof(float), passTeam);
  result.u.assign(elements, 1.0f / static_cast<float>(phases));
  result.outerIterations = 0;
  result.rounds = 0;
  // Every cost is written before it is read, so the buffer is left as it comes.
  const std::unique_ptr<float[]> costs(new float[elements]);
  mapForWriting(costs.get(), elements * sizeof(float), passTeam);
  fillCosts(image, levels, result.variance, spreadLimit, blocks, costs.get());

  // The smoothing follows the noise of the first labelling, each pixel at its nearest level: later
  // labellings count the pixels of lost thin structures as noise of their new phase.
  const float tvWeight = smoothingWeight(settings.tvWeight, result.variance, levels);
  const double carried = settings.tvWeight > 0.0f ? tvWeight / settings.tvWeight : 1.0;

  // Once the caller has asked to stop, every later question gets the same answer.
  StopLatch latch{stop};
  const StopRequest latched{StopLatch::requested, &latch};
  WorkingBuffers buffers(passTeam);
  std::vector<uint8_t> labels, previousLabels;
  bool settled = false;
  for (int32_t round = 1; round <= settings.rounds; ++round) {
    if (round > 1) {
      if (StopLatch::requested(&latch)) return false;
      labels.swap(previousLabels);
      labels.resize(static_cast<std::size_t>(slice));
      fillHardLabels(result.u, costs.get(), image.rows, phases, blocks, labels);
      const std::vector<float> used = levels;
      moveLevels(levels, phaseMeansOf(image, labels, levels, blocks));
      const double variance = labelVarianceOf(image, labels, levels, blocks);
      // The first round's labels confirm the costs it solved, or a later round changed next to
      // nothing: the result is the last round's. (A later round on unchanged costs still smooths
      // once more from the last labelling, which heavy noise needs: five phases at 0.8 of the gap
      // change 1.5 % of their labels in the third round on costs within 2 % of the second's.)
      const bool settledNow = round == 2 ? costsSettled(levels, used, variance, result.variance)
                                         : labelsSettled(labels, previousLabels, levels, used);
      if (settledNow) {
        settled = true;
        break;
      }
      result.variance = variance;
      fillCosts(image, levels, result.variance, spreadLimit, blocks, costs.get());
      carryLabelling(result.u, carried, phases);
    }
    SolverState state{};
    const bool ready =
        initSolverState(state, image.rows, image.cols, phases, tvWeight, settings.penalty,
                        costs.get(), result.u.data(), print, buffers.source());
    const int32_t iterations = ready ? runSolver(state, settings.threads, latched) : 0;
    releaseSolverState(state);
    if (!ready || latch.stopped) return false;
    result.outerIterations += iterations;
    result.rounds = round;
    if (onRound) onRound(RoundReport{round, &levels, result.variance, tvWeight, iterations});
  }
  if (!settled) {
    labels.resize(static_cast<std::size_t>(slice));
    fillHardLabels(result.u, costs.get(), image.rows, phases, blocks, labels);
    moveLevels(levels, phaseMeansOf(image, labels, levels, blocks));
  }
  result.labels = std::move(labels);
  result.levels = levels;
  result.window = 1;
  return true;
}

}  // namespace

bool segmentImage(const GreyImage& image, const Settings& settings, Result& result,
                  const std::function<void(const RoundReport&)>& onRound, PrintRoutine print,
                  StopRequest stop) {
  if (checkSettings(settings) || !imageFits(image.rows, image.cols, settings.phases) ||
      image.values.size() != static_cast<std::size_t>(image.rows) * image.cols) {
    return false;
  }
  int32_t window = settings.window;
  if (window <= 1) {
    if (!segmentIntensities(image, settings, result, onRound, print, stop)) return false;
    if (window == 0) window = textureWindow(image, result.labels, result.levels);
    if (window <= 1) return true;
  }
  // The caller's window, or texture, whose means over about one period are what differ between
  // its regions.
  Result means;
  if (!segmentIntensities(windowMeans(image, window), settings, means, onRound, print, stop)) {
    return false;
  }
  means.window = window;
  result = std::move(means);
  return true;
}

}  // namespace daskel::segment
