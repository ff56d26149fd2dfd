// Labelling sweep: one Gauss-Seidel pass of the u subproblem of split Bregman.
//
// Each value is the mean of its in-grid neighbours in the same phase, corrected by the split and
// Bregman terms, its cost and a per-pixel multiplier that couples the phases; it is then clamped
// to [0, 1], and a pixel whose values no longer sum to one is rescaled. u is rewritten in place,
// so a pixel sees the new values of every pixel visited before it.
//
// Visiting order: the interior column by column (rows 1..M-2 of columns 1..N-2), then the left and
// right columns, the top and bottom rows, and the four corners. The interior is therefore swept
// while every boundary pixel still holds its old value, and the boundary reads new interior
// values.
//
// Schedule of the interior. For pixel p and phase k the stencil sum is, in this order,
//   S = (X + Y) + right + down + left + up,
// and only `up` (the pixel just above, in the same column) is produced by the serial recurrence
// down a column. The interior is cut into bands of up to kBand columns; within a band column c
// runs kSkew rows behind column c-1, so the columns' recurrences overlap. Column c at row i then
// reads
//   - left  (column c-1, row i): written kSkew steps earlier, new, as in column order;
//   - up    (column c,   row i-1): written one step earlier, new;
//   - right (column c+1, row i) and down (column c, row i+1): not yet visited, old.
// The part (X + Y) + right + down and the bias (multiplier + cost) * w are gathered for a block
// of rows of every band column before the block's recurrence starts; at that moment every right
// and down neighbour of the block is still unvisited. Every pixel thus sees exactly the values of
// the plain column-by-column order and performs the same operations in the same order, so the
// bits agree.
//
// The driver's two sweeps of an outer iteration run as one schedule where the processor has
// AVX2 (sweepTwiceInBands): the second sweep trails the first by a band of columns, so that it
// reads its inputs from the cache, and the first sweep's edges are updated as soon as they are
// final; see there for why each pixel still sees what the plain order gives it.
#include "solver/simd.hpp"

#if defined(DASKEL_SSE2)
#include <emmintrin.h>
#include <xmmintrin.h>
#endif
#if defined(DASKEL_AVX2_DISPATCH)
#include <immintrin.h>
#endif

#include <algorithm>

#include "solver/kernels.hpp"
#include "solver/solver.hpp"

namespace daskel {
namespace {

using detail::Multipliers;

// The parts of the x and y terms that belong to element q: (dx - bx) and (dy - by).
double splitX(const SolverState& s, int32_t q) {
  return static_cast<double>(s.dx[q]) - static_cast<double>(s.bx[q]);
}
double splitY(const SolverState& s, int32_t q) {
  return static_cast<double>(s.dy[q]) - static_cast<double>(s.by[q]);
}

// Backward differences of (dx - bx) along a row and (dy - by) down a column; the part that
// refers to a left or upper neighbour outside the grid is dropped.
template <bool hasLeft>
double xTerm(const SolverState& s, int32_t q) {
  if constexpr (hasLeft) {
    return splitX(s, q - s.rows) - splitX(s, q);
  } else {
    return -splitX(s, q);
  }
}
template <bool hasUp>
double yTerm(const SolverState& s, int32_t q) {
  if constexpr (hasUp) {
    return splitY(s, q - 1) - splitY(s, q);
  } else {
    return -splitY(s, q);
  }
}

// One summand of the multiplier: penalty * (X + Y) - cost, with the products taken apart.
double multiplierTerm(double penalty, double x, double y, float cost) {
  return (penalty * x + penalty * y) - static_cast<double>(cost);
}

// The multiplier makes a pixel's unclamped values sum to the mean of its neighbours' sums: it is
// the phase mean of penalty * (X + Y) - cost. It never reads u.
float finishMultiplier(double acc, int32_t phases) {
  return static_cast<float>(acc / static_cast<double>(phases));
}

template <bool hasUp, bool hasLeft>
float pixelMultiplier(const SolverState& s, int32_t p) {
  const double penalty = s.penalty;
  double acc = 0.0;
  for (int32_t k = 0; k < s.phases; ++k) {
    const int32_t q = p + s.sliceSize * k;
    acc = acc + multiplierTerm(penalty, xTerm<hasLeft>(s, q), yTerm<hasUp>(s, q), s.costs[q]);
  }
  return finishMultiplier(acc, s.phases);
}

// Coefficient 1/n of the stencil sum and factor w_n of (multiplier + cost), n neighbours.
template <int neighbours>
double stencilCoefficient() {
  static_assert(neighbours >= 2 && neighbours <= 4, "a grid of 2 x 2 or more");
  return neighbours == 4 ? 0.25 : neighbours == 3 ? static_cast<double>(1.0f / 3.0f) : 0.5;
}
template <int neighbours>
double biasWeight(const SolverState& s) {
  return neighbours == 4 ? s.inv4Penalty : neighbours == 3 ? s.inv3Penalty : s.inv2Penalty;
}

// The value of one phase from its complete stencil sum and its bias (multiplier + cost) * w,
// clamped to [0, 1]: "above 1 gives 1, otherwise below 0 gives 0". minsd(1, v) is
// (1 < v ? 1 : v) and maxsd(0, v) is (0 > v ? 0 : v), so a NaN passes both unchanged, as it
// passes both tests; the instructions only keep data-dependent branches out of the recurrence.
double clampedValue(double coefficient, double stencil, double bias) {
#if defined(DASKEL_SSE2)
  const __m128d value = _mm_set_sd(coefficient * stencil - bias);
  return _mm_cvtsd_f64(_mm_max_sd(_mm_setzero_pd(), _mm_min_sd(_mm_set_sd(1.0), value)));
#else
  double value = coefficient * stencil - bias;
  value = 1.0 < value ? 1.0 : value;
  return 0.0 > value ? 0.0 : value;
#endif
}

// Running sums below this are made of values that the float store has rounded to few bits.
constexpr double kSmallestNormalFloat = 0x1p-126;

// Rescales a pixel whose clamped values stray from summing to one. A pixel with no support at
// all (every value clamped to 0) becomes the uniform labelling.
//
// The stored values are divided by the running sum of the unrounded ones. When that sum lies
// below the normal floats, the stored values are subnormal or zero and no longer match the
// values that were summed (a value can round to zero, or up by a large fraction of itself), so
// the quotients could sum to zero or exceed one; such a pixel is rescaled by the sum of its
// stored values instead.
void normalisePixel(float* u, int32_t sliceSize, int32_t phases, int32_t p, double sum) {
  const double d = sum - 1.0;
  if (!(d > 1e-6 || d < -1e-6)) return;
  if (sum < kSmallestNormalFloat) {
    sum = 0.0;
    for (int32_t k = 0; k < phases; ++k) sum = sum + static_cast<double>(u[p + sliceSize * k]);
  }
  for (int32_t k = 0; k < phases; ++k) {
    const int32_t q = p + sliceSize * k;
    if (sum != 0.0) {
      u[q] = static_cast<float>(static_cast<double>(u[q]) / sum);
    } else {
      u[q] = static_cast<float>(1.0 / static_cast<double>(phases));
    }
  }
}

// One boundary pixel, all of it at once: multiplier, then every phase, then normalisation.
template <bool hasUp, bool hasDown, bool hasLeft, bool hasRight>
void updateBoundaryPixel(SolverState& s, int32_t p, Multipliers multipliers) {
  constexpr int neighbours = hasUp + hasDown + hasLeft + hasRight;
  const double coefficient = stencilCoefficient<neighbours>();
  const double weight = biasWeight<neighbours>(s);
  if (multipliers == Multipliers::compute) s.multiplier[p] = pixelMultiplier<hasUp, hasLeft>(s, p);
  const double multiplier = s.multiplier[p];
  float* u = s.u;

  double sum = 0.0;
  for (int32_t k = 0; k < s.phases; ++k) {
    const int32_t q = p + s.sliceSize * k;
    double stencil = xTerm<hasLeft>(s, q) + yTerm<hasUp>(s, q);
    if constexpr (hasRight) stencil = stencil + static_cast<double>(u[q + s.rows]);
    if constexpr (hasDown) stencil = stencil + static_cast<double>(u[q + 1]);
    if constexpr (hasLeft) stencil = stencil + static_cast<double>(u[q - s.rows]);
    if constexpr (hasUp) stencil = stencil + static_cast<double>(u[q - 1]);
    const double bias = (multiplier + static_cast<double>(s.costs[q])) * weight;
    const double value = clampedValue(coefficient, stencil, bias);
    sum = sum + value;
    u[q] = static_cast<float>(value);
  }
  normalisePixel(u, s.sliceSize, s.phases, p, sum);
}

// A boundary region: rows [rowBegin, rowEnd) of columns [colBegin, colEnd), column by column.
// Every multiplier a pixel reads is its own, formed just before, so forming it pixel by pixel
// instead of for the whole region first changes nothing.
template <bool hasUp, bool hasDown, bool hasLeft, bool hasRight>
void sweepBoundary(SolverState& s, Multipliers multipliers, int32_t rowBegin, int32_t rowEnd,
                   int32_t colBegin, int32_t colEnd) {
  for (int32_t j = colBegin; j < colEnd; ++j) {
    for (int32_t i = rowBegin; i < rowEnd; ++i) {
      updateBoundaryPixel<hasUp, hasDown, hasLeft, hasRight>(s, i + s.rows * j, multipliers);
    }
  }
}

// The four edges (left and right column, top and bottom row), then the four corners.
void sweepEdges(SolverState& s, Multipliers m) {
  const int32_t lastRow = s.rows - 1;
  const int32_t lastCol = s.cols - 1;
  //             up     down   left   right     rows              columns
  sweepBoundary<true, true, false, true>(s, m, 1, lastRow, 0, 1);             // left column
  sweepBoundary<true, true, true, false>(s, m, 1, lastRow, lastCol, s.cols);  // right column
  sweepBoundary<false, true, true, true>(s, m, 0, 1, 1, lastCol);             // top row
  sweepBoundary<true, false, true, true>(s, m, lastRow, s.rows, 1, lastCol);  // bottom row
}
void sweepCorners(SolverState& s, Multipliers m) {
  const int32_t lastRow = s.rows - 1;
  const int32_t lastCol = s.cols - 1;
  sweepBoundary<false, true, false, true>(s, m, 0, 1, 0, 1);                        // (0, 0)
  sweepBoundary<false, true, true, false>(s, m, 0, 1, lastCol, s.cols);             // (0, N-1)
  sweepBoundary<true, false, false, true>(s, m, lastRow, s.rows, 0, 1);             // (M-1, 0)
  sweepBoundary<true, false, true, false>(s, m, lastRow, s.rows, lastCol, s.cols);  // (M-1, N-1)
}

// ---- The interior ---------------------------------------------------------------------------

constexpr int32_t kBand = 8;  // columns whose recurrences overlap
// Rows by which each band column trails the one before: one cache line of floats, so that the
// pixels in flight lie in different cache sets even when a column is a power-of-two size.
constexpr int32_t kSkew = 16;
constexpr int32_t kScratchDoubles = 8192;  // 64 KiB: gathered terms of the rows in flight
constexpr int32_t kMaxBlockRows = 64;      // rows gathered ahead per block
constexpr int32_t kMinBlockRows = 4;       // below this the band schedule is not worth it

// Gathered terms of one band: for each column c and row slot r, K partial stencil sums
// (X + Y) + right + down followed by K biases (multiplier + cost) * w.
struct BandScratch {
  double* terms;
  int32_t phases;
  int32_t blockRows;
  double* slot(int32_t c, int32_t r) const { return terms + (c * blockRows + r) * 2 * phases; }
};

#if defined(DASKEL_SSE2)
// Two consecutive floats widened to two doubles.
__m128d load2(const float* from) {
  return _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(from))));
}

// Writes the two lanes of `value` to entry k of two consecutive row slots.
void store2(double* first, double* second, int32_t k, __m128d value) {
  _mm_storel_pd(first + k, value);
  _mm_storeh_pd(second + k, value);
}
#endif

// Asks for the cache lines of `count` floats from `from` on into the second-level cache.
void prefetchRange(const float* from, int32_t count) {
  constexpr int32_t kLineFloats = 16;
  for (int32_t r = 0; r < count; r += kLineFloats) {
#if defined(DASKEL_SSE2)
    _mm_prefetch(reinterpret_cast<const char*>(from + r), _MM_HINT_T1);
#elif defined(__GNUC__)
    __builtin_prefetch(from + r, 0, 2);
#else
    static_cast<void>(from);  // only a hint: nothing to do without one
#endif
  }
}

// Gathers rows [rowBegin, rowEnd) of interior column j into slots [slotBegin, ...) of band
// column c. The band's recurrence has not reached these rows, nor their right neighbours. Two
// rows at a time in SSE2 lanes, where there is SSE2, that do exactly the scalar operations of the
// remaining rows' path.
void gatherColumn(SolverState& s, Multipliers multipliers, const BandScratch& band, int32_t c,
                  int32_t j, int32_t rowBegin, int32_t rowEnd, int32_t slotBegin) {
  const int32_t rows = s.rows;
  const int32_t phases = s.phases;
  const int32_t count = rowEnd - rowBegin;
  const double penalty = s.penalty;
  const double weight = s.inv4Penalty;
  const float* u = s.u;
  double acc[kMaxBlockRows];
  if (multipliers == Multipliers::compute) std::fill(acc, acc + count, 0.0);

  // Partial stencil sums and, when asked, the multipliers' sums over the phases.
  for (int32_t k = 0; k < phases; ++k) {
    const int32_t top = rowBegin + rows * j + s.sliceSize * k;
    // The next block of this column is gathered one band-block later: fetch it meanwhile, as
    // these short pieces of many streams are too short for the hardware's own prefetching.
    const int32_t ahead = std::min(band.blockRows, rows - 1 - rowEnd);
    if (ahead > 0) {
      const float* next[] = {s.dx, s.bx, s.dy, s.by, s.costs, u + rows, u};
      for (const float* stream : next) prefetchRange(stream + top + count, ahead);
    }
    int32_t r = 0;
#if defined(DASKEL_SSE2)
    const __m128d penalty2 = _mm_set1_pd(penalty);
    for (; r + 2 <= count; r += 2) {
      const int32_t q = top + r;
      const __m128d here = _mm_sub_pd(load2(s.dx + q), load2(s.bx + q));
      const __m128d left = _mm_sub_pd(load2(s.dx + q - rows), load2(s.bx + q - rows));
      const __m128d x = _mm_sub_pd(left, here);
      const __m128d y = _mm_sub_pd(_mm_sub_pd(load2(s.dy + q - 1), load2(s.by + q - 1)),
                                   _mm_sub_pd(load2(s.dy + q), load2(s.by + q)));
      __m128d stencil = _mm_add_pd(x, y);
      stencil = _mm_add_pd(stencil, load2(u + q + rows));  // right, old
      stencil = _mm_add_pd(stencil, load2(u + q + 1));     // down, old
      store2(band.slot(c, slotBegin + r), band.slot(c, slotBegin + r + 1), k, stencil);
      if (multipliers == Multipliers::compute) {
        const __m128d term = _mm_sub_pd(
            _mm_add_pd(_mm_mul_pd(penalty2, x), _mm_mul_pd(penalty2, y)), load2(s.costs + q));
        _mm_storeu_pd(acc + r, _mm_add_pd(_mm_loadu_pd(acc + r), term));
      }
    }
#endif
    for (; r < count; ++r) {
      const int32_t q = top + r;
      const double x = xTerm<true>(s, q);
      const double y = yTerm<true>(s, q);
      double stencil = x + y;
      stencil = stencil + static_cast<double>(u[q + rows]);  // right, old
      stencil = stencil + static_cast<double>(u[q + 1]);     // down, old
      band.slot(c, slotBegin + r)[k] = stencil;
      if (multipliers == Multipliers::compute) {
        acc[r] = acc[r] + multiplierTerm(penalty, x, y, s.costs[q]);
      }
    }
  }

  // Multipliers, then the biases (multiplier + cost) * w.
  const int32_t firstPixel = rowBegin + rows * j;
  if (multipliers == Multipliers::compute) {
    for (int32_t r = 0; r < count; ++r) {
      s.multiplier[firstPixel + r] = finishMultiplier(acc[r], phases);
    }
  }
  for (int32_t k = 0; k < phases; ++k) {
    const float* cost = s.costs + firstPixel + s.sliceSize * k;
    const float* multiplier = s.multiplier + firstPixel;
    int32_t r = 0;
#if defined(DASKEL_SSE2)
    const __m128d weight2 = _mm_set1_pd(weight);
    for (; r + 2 <= count; r += 2) {
      const __m128d bias = _mm_mul_pd(_mm_add_pd(load2(multiplier + r), load2(cost + r)), weight2);
      store2(band.slot(c, slotBegin + r) + phases, band.slot(c, slotBegin + r + 1) + phases, k,
             bias);
    }
#endif
    for (; r < count; ++r) {
      band.slot(c, slotBegin + r)[phases + k] =
          (static_cast<double>(multiplier[r]) + static_cast<double>(cost[r])) * weight;
    }
  }
}

// The serial part of one interior pixel: left and up complete the gathered stencil sum.
void finishInteriorPixel(SolverState& s, int32_t p, const double* terms) {
  const int32_t phases = s.phases;
  const int32_t rows = s.rows;
  const double coefficient = stencilCoefficient<4>();
  float* u = s.u;
  double sum = 0.0;
  for (int32_t k = 0; k < phases; ++k) {
    const int32_t q = p + s.sliceSize * k;
    double stencil = terms[k] + static_cast<double>(u[q - rows]);  // left, new
    stencil = stencil + static_cast<double>(u[q - 1]);             // up, new
    const double value = clampedValue(coefficient, stencil, terms[phases + k]);
    sum = sum + value;
    u[q] = static_cast<float>(value);
  }
  normalisePixel(u, s.sliceSize, phases, p, sum);
}

// Interior columns [j0, j0 + width), column c skewed kSkew rows behind column c - 1. Step t runs
// interior row r = t - c * kSkew (row index 1 + r) of every band column that has that row.
void sweepBand(SolverState& s, Multipliers multipliers, const BandScratch& band, int32_t j0,
               int32_t width) {
  const int32_t interiorRows = s.rows - 2;
  const int32_t steps = interiorRows + (width - 1) * kSkew;
  for (int32_t blockBegin = 0; blockBegin < steps; blockBegin += band.blockRows) {
    const int32_t blockEnd = std::min(blockBegin + band.blockRows, steps);
    for (int32_t c = 0; c < width; ++c) {
      const int32_t lag = c * kSkew;
      const int32_t first = std::max(blockBegin - lag, 0);
      const int32_t last = std::min(blockEnd - lag, interiorRows);
      if (first < last) {
        gatherColumn(s, multipliers, band, c, j0 + c, 1 + first, 1 + last,
                     first + lag - blockBegin);
      }
    }
    for (int32_t t = blockBegin; t < blockEnd; ++t) {
      // Columns whose row t - c * kSkew lies in [0, interiorRows).
      const int32_t cBegin = t < interiorRows ? 0 : (t - interiorRows) / kSkew + 1;
      const int32_t cEnd = std::min(t / kSkew + 1, width);
      for (int32_t c = cBegin; c < cEnd; ++c) {
        const int32_t p = 1 + (t - c * kSkew) + s.rows * (j0 + c);
        finishInteriorPixel(s, p, band.slot(c, t - blockBegin));
      }
    }
  }
}

// ---- The interior with AVX2: lanes are the columns of a band ---------------------------------
//
// Where the processor has AVX2, bands of exactly kLanes columns run with one column per SIMD lane.
// Column c of the band runs kLaneSkew rows behind column c - 1, so step t holds interior row
// t - c * kLaneSkew of every column c, and the lanes of one step are independent: a pixel's left
// neighbour was written kLaneSkew steps earlier by the lane before, its up neighbour one step
// earlier by its own lane, and its right and down neighbours are not yet visited. Each lane does
// exactly the scalar operations of the plain order:
//   - the gathered part ((X + Y) + right) + down and the bias (multiplier + cost) * w are formed
//     for a block of steps before the block's recurrence, when every right and down neighbour
//     of the block is still unvisited;
//   - the recurrence adds left, then up, scales, subtracts the bias, clamps with min and max
//     (NaN passes both, as in the scalar path), adds to the pixel's running sum in ascending
//     phase order, and rounds to float;
//   - the normalisation is tested and done lane by lane.
// Lane 0's left neighbour lies in the previous band, or is column 0, and is final before the band
// starts, so it is added at the end of the gathered part, and the recurrence adds -0.0 in its
// place, which leaves every value (signed zeros and NaN included) unchanged.
// At the two ends of a band some lanes have no row; they compute values that are thrown away.
#if defined(DASKEL_AVX2_DISPATCH)

constexpr int32_t kLanes = 8;           // columns of a band: two vectors of four doubles
constexpr int32_t kLaneSkew = 16;       // rows by which each lane trails the one before
constexpr int32_t kHistorySlots = 32;   // steps of new values kept; more than kLaneSkew
constexpr int32_t kLaneStride = 12;     // doubles per (step, phase) in the history
constexpr int32_t kLaneFirst = 4;       // history index of lane 0; index 3 holds -0.0
constexpr int32_t kLaneScratch = 4096;  // doubles of gathered terms (32 KiB)
constexpr int32_t kLaneMaxPhases = 16;  // history of 32 x 16 x 12 doubles (48 KiB) at most
constexpr int32_t kLaneMaxBlock = 64;
constexpr int32_t kPrefetchBlocks = 1;  // blocks between a lane's fetch and its gathering

// Gathered terms of a block of steps: for slot (step - first step of the block), phase k and
// lane c, the partial stencil sum at part(slot, k)[c] and the bias at bias(slot, k)[c].
struct LaneScratch {
  double* terms;
  int32_t phases;
  int32_t blockSteps;
  double* part(int32_t slot, int32_t k) const { return terms + (slot * 2 * phases + k) * kLanes; }
  double* bias(int32_t slot, int32_t k) const {
    return terms + (slot * 2 * phases + phases + k) * kLanes;
  }
};

// New values (widened from their stored floats) of the last kHistorySlots steps.
struct LaneHistory {
  double* values;
  int32_t phases;
  double* at(int32_t step, int32_t k) const {
    return values + ((step & (kHistorySlots - 1)) * phases + k) * kLaneStride;
  }
};

__attribute__((target("avx2"))) __m256d load4(const float* from) {
  return _mm256_cvtps_pd(_mm_loadu_ps(from));
}

// Writes the four lanes of `value` to entries [0], [stride], [2 stride], [3 stride] of `to`.
__attribute__((target("avx2"))) void scatter4(double* to, int32_t stride, __m256d value) {
  const __m128d low = _mm256_castpd256_pd128(value);
  const __m128d high = _mm256_extractf128_pd(value, 1);
  _mm_storel_pd(to, low);
  _mm_storeh_pd(to + stride, low);
  _mm_storel_pd(to + 2 * stride, high);
  _mm_storeh_pd(to + 3 * stride, high);
}

// Gathers interior rows [first, last) of band lane c (column j) for the block starting at step
// `blockBegin`: the same operations as gatherColumn, four rows at a time.
__attribute__((target("avx2"))) void gatherLane(SolverState& s, Multipliers multipliers,
                                                const LaneScratch& scratch, int32_t c, int32_t j,
                                                int32_t first, int32_t last, int32_t blockBegin,
                                                bool prefetch) {
  const int32_t rows = s.rows;
  const int32_t phases = s.phases;
  const int32_t count = last - first;
  const int32_t slot0 = first + c * kLaneSkew - blockBegin;
  const int32_t slotStride = 2 * phases * kLanes;
  const double penalty = s.penalty;
  const double weight = s.inv4Penalty;
  const __m256d penalty4 = _mm256_set1_pd(penalty);
  const bool compute = multipliers == Multipliers::compute;
  const float* u = s.u;
  alignas(32) double acc[kLaneMaxBlock];
  if (compute) std::fill(acc, acc + count, 0.0);
  const int32_t firstPixel = 1 + first + rows * j;

  for (int32_t k = 0; k < phases; ++k) {
    const int32_t top = firstPixel + s.sliceSize * k;
    double* part = scratch.part(slot0, k) + c;
    // This lane's next block of rows is gathered one block later: fetch it meanwhile, as such
    // short pieces of many streams are too short for the hardware's own prefetching.
    const int32_t from = count + kPrefetchBlocks * scratch.blockSteps;
    const int32_t ahead = std::min(scratch.blockSteps, rows - 1 - (first + 1 + from));
    if (prefetch && ahead > 0) {
      const float* next[] = {s.dx, s.bx, s.dy, s.by, s.costs, u + rows, u};
      for (const float* stream : next) prefetchRange(stream + top + from, ahead);
    }
    int32_t r = 0;
    for (; r + 4 <= count; r += 4) {
      const int32_t q = top + r;
      const __m256d here = _mm256_sub_pd(load4(s.dx + q), load4(s.bx + q));
      const __m256d left = _mm256_sub_pd(load4(s.dx + q - rows), load4(s.bx + q - rows));
      const __m256d x = _mm256_sub_pd(left, here);
      const __m256d y = _mm256_sub_pd(_mm256_sub_pd(load4(s.dy + q - 1), load4(s.by + q - 1)),
                                      _mm256_sub_pd(load4(s.dy + q), load4(s.by + q)));
      __m256d stencil = _mm256_add_pd(x, y);
      stencil = _mm256_add_pd(stencil, load4(u + q + rows));              // right, old
      stencil = _mm256_add_pd(stencil, load4(u + q + 1));                 // down, old
      if (c == 0) stencil = _mm256_add_pd(stencil, load4(u + q - rows));  // left, final
      scatter4(part + r * slotStride, slotStride, stencil);
      if (compute) {
        const __m256d term =
            _mm256_sub_pd(_mm256_add_pd(_mm256_mul_pd(penalty4, x), _mm256_mul_pd(penalty4, y)),
                          load4(s.costs + q));
        _mm256_store_pd(acc + r, _mm256_add_pd(_mm256_load_pd(acc + r), term));
      }
    }
    for (; r < count; ++r) {
      const int32_t q = top + r;
      const double x = xTerm<true>(s, q);
      const double y = yTerm<true>(s, q);
      double stencil = x + y;
      stencil = stencil + static_cast<double>(u[q + rows]);              // right, old
      stencil = stencil + static_cast<double>(u[q + 1]);                 // down, old
      if (c == 0) stencil = stencil + static_cast<double>(u[q - rows]);  // left, final
      part[r * slotStride] = stencil;
      if (compute) acc[r] = acc[r] + multiplierTerm(penalty, x, y, s.costs[q]);
    }
  }

  if (compute) {
    for (int32_t r = 0; r < count; ++r) {
      s.multiplier[firstPixel + r] = finishMultiplier(acc[r], phases);
    }
  }
  const __m256d weight4 = _mm256_set1_pd(weight);
  const float* multiplier = s.multiplier + firstPixel;
  for (int32_t k = 0; k < phases; ++k) {
    const float* cost = s.costs + firstPixel + s.sliceSize * k;
    double* bias = scratch.bias(slot0, k) + c;
    int32_t r = 0;
    for (; r + 4 <= count; r += 4) {
      scatter4(bias + r * slotStride, slotStride,
               _mm256_mul_pd(_mm256_add_pd(load4(multiplier + r), load4(cost + r)), weight4));
    }
    for (; r < count; ++r) {
      bias[r * slotStride] =
          (static_cast<double>(multiplier[r]) + static_cast<double>(cost[r])) * weight;
    }
  }
}

// The normalisation of the lanes of step t in `need`, as normalisePixel does it for one pixel:
// divide the stored values by the running sum (by the sum of the stored values where the running
// sum is below the normal floats), or give the uniform labelling where the sum is zero.
__attribute__((target("avx2"))) void normaliseLanes(const LaneHistory& history, int32_t t,
                                                    int32_t h, __m256d sum, __m256d need) {
  const int32_t phases = history.phases;
  const int32_t lane = kLaneFirst + 4 * h;
  const __m256d small =
      _mm256_and_pd(need, _mm256_cmp_pd(sum, _mm256_set1_pd(kSmallestNormalFloat), _CMP_LT_OQ));
  if (_mm256_movemask_pd(small) != 0) {
    __m256d stored = _mm256_setzero_pd();
    for (int32_t k = 0; k < phases; ++k) {
      stored = _mm256_add_pd(stored, _mm256_load_pd(history.at(t, k) + lane));
    }
    sum = _mm256_blendv_pd(sum, stored, small);
  }
  const __m256d zero = _mm256_cmp_pd(sum, _mm256_setzero_pd(), _CMP_EQ_OQ);
  const __m256d uniform = _mm256_set1_pd(1.0 / static_cast<double>(phases));
  for (int32_t k = 0; k < phases; ++k) {
    double* at = history.at(t, k) + lane;
    const __m256d stored = _mm256_load_pd(at);
    const __m256d quotient = _mm256_blendv_pd(_mm256_div_pd(stored, sum), uniform, zero);
    const __m256d rounded = _mm256_cvtps_pd(_mm256_cvtpd_ps(quotient));
    _mm256_store_pd(at, _mm256_blendv_pd(stored, rounded, need));
  }
}

// Which lanes of step t hold an interior row: bit c for lane c.
int laneMask(int32_t t, int32_t interiorRows) {
  int mask = 0;
  for (int32_t c = 0; c < kLanes; ++c) {
    const int32_t row = t - c * kLaneSkew;
    if (row >= 0 && row < interiorRows) mask |= 1 << c;
  }
  return mask;
}

// Lanes 4h .. 4h + 3 of a bit mask as a vector mask.
__attribute__((target("avx2"))) __m256d vectorMask(int mask, int32_t h) {
  const int bits = mask >> (4 * h);
  return _mm256_castsi256_pd(
      _mm256_set_epi64x(-((bits >> 3) & 1), -((bits >> 2) & 1), -((bits >> 1) & 1), -(bits & 1)));
}

constexpr int kAllLanes = (1 << kLanes) - 1;

// Every lane of step t, two vectors of four columns. Lanes outside `active` (at the two ends of
// the band, where a column has no row at this step) compute values that nobody reads: their
// history entries and u keep what they held.
__attribute__((target("avx2"))) void finishLanes(SolverState& s, const LaneScratch& scratch,
                                                 const LaneHistory& history, int32_t j0, int32_t t,
                                                 int32_t slot, int active) {
  const int32_t phases = s.phases;
  const bool full = active == kAllLanes;
  const __m256d activeLanes[2] = {vectorMask(active, 0), vectorMask(active, 1)};
  const __m256d coefficient = _mm256_set1_pd(stencilCoefficient<4>());
  const __m256d one = _mm256_set1_pd(1.0);
  const __m256d zero = _mm256_setzero_pd();
  __m256d sum[2] = {zero, zero};
  for (int32_t k = 0; k < phases; ++k) {
    const double* part = scratch.part(slot, k);
    const double* bias = scratch.bias(slot, k);
    const double* left = history.at(t - kLaneSkew, k) + kLaneFirst - 1;
    const double* up = history.at(t - 1, k) + kLaneFirst;
    double* here = history.at(t, k) + kLaneFirst;
    for (int32_t h = 0; h < 2; ++h) {
      __m256d stencil = _mm256_add_pd(_mm256_load_pd(part + 4 * h), _mm256_loadu_pd(left + 4 * h));
      stencil = _mm256_add_pd(stencil, _mm256_load_pd(up + 4 * h));
      __m256d value =
          _mm256_sub_pd(_mm256_mul_pd(coefficient, stencil), _mm256_load_pd(bias + 4 * h));
      value = _mm256_max_pd(zero, _mm256_min_pd(one, value));
      sum[h] = _mm256_add_pd(sum[h], value);
      __m256d stored = _mm256_cvtps_pd(_mm256_cvtpd_ps(value));
      if (!full) stored = _mm256_blendv_pd(_mm256_load_pd(here + 4 * h), stored, activeLanes[h]);
      _mm256_store_pd(here + 4 * h, stored);
    }
  }
  const __m256d tolerance = _mm256_set1_pd(1e-6);
  const __m256d minusTolerance = _mm256_set1_pd(-1e-6);
  for (int32_t h = 0; h < 2; ++h) {
    const __m256d d = _mm256_sub_pd(sum[h], one);
    const __m256d need =
        _mm256_and_pd(activeLanes[h], _mm256_or_pd(_mm256_cmp_pd(d, tolerance, _CMP_GT_OQ),
                                                   _mm256_cmp_pd(d, minusTolerance, _CMP_LT_OQ)));
    if (_mm256_movemask_pd(need) != 0) normaliseLanes(history, t, h, sum[h], need);
  }
  // Store the step's values: lane c is row t - c * kLaneSkew of column j0 + c.
  const int32_t laneStep = s.rows - kLaneSkew;
  float* base = s.u + 1 + t + s.rows * j0;
  for (int32_t k = 0; k < phases; ++k) {
    const double* here = history.at(t, k) + kLaneFirst;
    float* to = base + s.sliceSize * k;
    if (!full) {
      for (int32_t c = 0; c < kLanes; ++c) {
        if ((active >> c) & 1) to[c * laneStep] = static_cast<float>(here[c]);
      }
      continue;
    }
    for (int32_t h = 0; h < 2; ++h) {
      const __m128 value = _mm256_cvtpd_ps(_mm256_load_pd(here + 4 * h));
      float* lane = to + 4 * h * laneStep;
      _mm_store_ss(lane, value);
      _mm_store_ss(lane + laneStep, _mm_shuffle_ps(value, value, 1));
      _mm_store_ss(lane + 2 * laneStep, _mm_shuffle_ps(value, value, 2));
      _mm_store_ss(lane + 3 * laneStep, _mm_shuffle_ps(value, value, 3));
    }
  }
}

// The top and bottom pixels of interior column j, as the edge rows of a sweep update them.
void sweepColumnEnds(SolverState& s, Multipliers multipliers, int32_t j) {
  updateBoundaryPixel<false, true, true, true>(s, s.rows * j, multipliers);
  updateBoundaryPixel<true, false, true, true>(s, s.rows - 1 + s.rows * j, multipliers);
}

// A band of kLanes interior columns from column j0 in one sweep, and the scratch it runs in.
struct LaneBand {
  const LaneScratch& scratch;
  const LaneHistory& history;
  Multipliers multipliers;
  int32_t j0;
};

// Gathers the lanes of the block of steps [blockBegin, blockEnd). With `firstSweepEnds`, the band
// is the second sweep's, trailing the first: just before a lane gathers its first or its last
// interior row, the first sweep's top or bottom pixel of that lane's column is updated, which
// the lane then reads as its old up or down neighbour. Its lanes other than lane 0 read what the
// first sweep read a few steps earlier, so they fetch nothing ahead.
__attribute__((target("avx2"))) void gatherLaneBlock(SolverState& s, const LaneBand& band,
                                                     int32_t blockBegin, int32_t blockEnd,
                                                     bool firstSweepEnds) {
  const int32_t interiorRows = s.rows - 2;
  for (int32_t c = 0; c < kLanes; ++c) {
    const int32_t lag = c * kLaneSkew;
    const int32_t first = std::max(blockBegin - lag, 0);
    const int32_t last = std::min(blockEnd - lag, interiorRows);
    if (first >= last) continue;
    const int32_t j = band.j0 + c;
    if (firstSweepEnds && first == 0) {
      updateBoundaryPixel<false, true, true, true>(s, s.rows * j, Multipliers::compute);
    }
    if (firstSweepEnds && last == interiorRows) {
      updateBoundaryPixel<true, false, true, true>(s, s.rows - 1 + s.rows * j,
                                                   Multipliers::compute);
    }
    gatherLane(s, band.multipliers, band.scratch, c, j, first, last, blockBegin,
               !firstSweepEnds || c == 0);
    if (first == 0) {
      // The up neighbour of the lane's first interior row is row 0, old: it stands in the
      // history as the value of the step before, which the lane, inactive there, keeps.
      for (int32_t k = 0; k < s.phases; ++k) {
        band.history.at(lag - 1, k)[kLaneFirst + c] =
            static_cast<double>(s.u[s.rows * j + s.sliceSize * k]);
      }
    }
  }
}

// The recurrence over the steps [blockBegin, blockEnd) of a band whose block is gathered.
__attribute__((target("avx2"))) void finishLaneBlock(SolverState& s, const LaneBand& band,
                                                     int32_t blockBegin, int32_t blockEnd) {
  const int32_t interiorRows = s.rows - 2;
  for (int32_t t = blockBegin; t < blockEnd; ++t) {
    finishLanes(s, band.scratch, band.history, band.j0, t, t - blockBegin,
                laneMask(t, interiorRows));
  }
}

int32_t laneSteps(const SolverState& s) {
  return s.rows - 2 + (kLanes - 1) * kLaneSkew;
}

// Interior columns [j0, j0 + kLanes), one lane each.
__attribute__((target("avx2"))) void sweepLaneBand(SolverState& s, const LaneBand& band) {
  const int32_t steps = laneSteps(s);
  for (int32_t blockBegin = 0; blockBegin < steps; blockBegin += band.scratch.blockSteps) {
    const int32_t blockEnd = std::min(blockBegin + band.scratch.blockSteps, steps);
    gatherLaneBlock(s, band, blockBegin, blockEnd, false);
    finishLaneBlock(s, band, blockBegin, blockEnd);
  }
}

// Both sweeps of an outer iteration over neighbouring bands: the first sweep over columns
// [j0, j0 + kLanes), the second over [j0 - 1, j0 + kLanes - 1), one column to the left, in the
// same steps. Each block of steps is gathered and run by the first sweep, then gathered and run
// by the second, whose data the first has just brought into the cache. Lane c of the second
// sweep (column j0 - 1 + c) runs row i at step i + c * kLaneSkew, and reads
//   - right (i, j0 + c): the first sweep's lane c wrote it at the same step, final;
//   - down (i + 1, j0 - 1 + c): the first sweep's lane c - 1 wrote it kSkew - 1 steps earlier;
//     column j0 - 1 (c = 0) is final from the band before; the bottom row, updated by the hook;
//   - up and left: its own new values, as in the lanes of one sweep; row 0 is the first
//     sweep's top pixel, updated by the hook just before the lane starts.
// It overwrites column j0 - 1 + c, which the first sweep reads only through its history (the
// left neighbours of its lanes 1..7, and their up neighbours), except in its lane 0 (column
// j0, reading column j0 - 1 in the gathering of the same block, before the second sweep writes
// it). The first sweep's top and bottom pixels of a column need that column's final first-sweep
// values, and their left neighbours, updated in column order by the hooks, and their right
// neighbours old; the second sweep has not yet written the column then. So every pixel sees
// what the plain order gives it: the whole first sweep, then the whole second.
__attribute__((target("avx2"))) void sweepLaneBandPair(SolverState& s, const LaneBand& first,
                                                       const LaneBand& second) {
  const int32_t steps = laneSteps(s);
  const int32_t blockSteps = first.scratch.blockSteps;
  for (int32_t blockBegin = 0; blockBegin < steps; blockBegin += blockSteps) {
    const int32_t blockEnd = std::min(blockBegin + blockSteps, steps);
    gatherLaneBlock(s, first, blockBegin, blockEnd, false);
    finishLaneBlock(s, first, blockBegin, blockEnd);
    gatherLaneBlock(s, second, blockBegin, blockEnd, true);
    finishLaneBlock(s, second, blockBegin, blockEnd);
  }
}

#endif  // DASKEL_AVX2_DISPATCH

#if defined(DASKEL_AVX2_DISPATCH)
bool laneBandsApply(const SolverState& s) {
  return s.phases <= kLaneMaxPhases && detail::avx2Available();
}

// Gathered terms and new values of one band in flight.
struct LaneFrame {
  alignas(32) double terms[kLaneScratch];
  alignas(32) double history[kHistorySlots * kLaneMaxPhases * kLaneStride];
  LaneScratch scratch() { return {terms, phases, blockSteps}; }
  LaneHistory lanes() { return {history, phases}; }
  int32_t phases;
  int32_t blockSteps;
  explicit LaneFrame(int32_t phaseCount)
      : phases(phaseCount),
        blockSteps(std::min(kLaneMaxBlock, kLaneScratch / (2 * phaseCount * kLanes))) {
    // Index kLaneFirst - 1 of every entry is the -0.0 that stands for lane 0's left neighbour.
    std::fill(history, history + kHistorySlots * phases * kLaneStride, -0.0);
  }
};

// Full lane bands of one sweep from column j0 while they fit before column jEnd; returns the
// first column left. A function of its own, so that its scratch and that of the banded path
// below are never on the stack together.
DASKEL_NOINLINE int32_t sweepLaneBands(SolverState& s, Multipliers multipliers, int32_t j0,
                                       int32_t jEnd) {
  LaneFrame frame(s.phases);
  const LaneScratch scratch = frame.scratch();
  const LaneHistory history = frame.lanes();
  for (; j0 + kLanes <= jEnd; j0 += kLanes) {
    sweepLaneBand(s, LaneBand{scratch, history, multipliers, j0});
  }
  return j0;
}

// The pairs of bands of both sweeps from first-sweep band [j0, j0 + kLanes) while they fit
// before column jEnd; returns the first column after the first sweep's last band.
DASKEL_NOINLINE int32_t sweepLaneBandPairs(SolverState& s, int32_t j0, int32_t jEnd) {
  LaneFrame firstFrame(s.phases);
  LaneFrame secondFrame(s.phases);
  const LaneScratch firstScratch = firstFrame.scratch();
  const LaneHistory firstHistory = firstFrame.lanes();
  const LaneScratch secondScratch = secondFrame.scratch();
  const LaneHistory secondHistory = secondFrame.lanes();
  for (; j0 + kLanes <= jEnd; j0 += kLanes) {
    sweepLaneBandPair(s, LaneBand{firstScratch, firstHistory, Multipliers::compute, j0},
                      LaneBand{secondScratch, secondHistory, Multipliers::reuse, j0 - 1});
  }
  return j0;
}
#endif

// Interior columns [j0, jEnd) in bands whose gathering runs two rows at a time with SSE2.
DASKEL_NOINLINE void sweepBands(SolverState& s, Multipliers multipliers, int32_t j0, int32_t jEnd) {
  const int32_t blockRows = std::min(kMaxBlockRows, kScratchDoubles / (kBand * 2 * s.phases));
  if (blockRows < kMinBlockRows) {
    // Very many phases: the plain order, pixel by pixel.
    sweepBoundary<true, true, true, true>(s, multipliers, 1, s.rows - 1, j0, jEnd);
    return;
  }
  double terms[kScratchDoubles];
  const BandScratch band{terms, s.phases, blockRows};
  for (; j0 < jEnd; j0 += kBand) sweepBand(s, multipliers, band, j0, std::min(kBand, jEnd - j0));
}

void sweepInterior(SolverState& s, Multipliers multipliers) {
  if (s.rows < 3 || s.cols < 3) return;
  int32_t j0 = 1;
#if defined(DASKEL_AVX2_DISPATCH)
  if (laneBandsApply(s)) j0 = sweepLaneBands(s, multipliers, j0, s.cols - 1);
#endif
  sweepBands(s, multipliers, j0, s.cols - 1);
}

#if defined(DASKEL_AVX2_DISPATCH)
// Both sweeps of an outer iteration, the second trailing the first by a band (see
// sweepLaneBandPair). In the plain order the first sweep updates the whole interior while every
// boundary pixel holds its old value, then the edges, then the corners, and the second sweep
// starts from all of that. Here the first sweep's top and bottom pixel of a column and its left
// column are updated as soon as their interior neighbours are final: an edge pixel reads only
// its interior neighbour, the pixels before it in its own edge and old corners, and no interior
// pixel of the first sweep reads it after that moment. The second sweep's interior then reads
// the first sweep's final edges, and its own edges and corners follow at the end, in order.
// Needs a full band of interior columns.
void sweepTwiceInBands(SolverState& s) {
  const Multipliers compute = Multipliers::compute;
  const Multipliers reuse = Multipliers::reuse;
  const int32_t lastRow = s.rows - 1;
  const int32_t lastCol = s.cols - 1;
  // The first sweep's first band alone; then its left column and the ends of columns
  // 1 .. kLanes - 1, which the second sweep reads over those columns.
  int32_t j0 = sweepLaneBands(s, compute, 1, 1 + kLanes);
  sweepBoundary<true, true, false, true>(s, compute, 1, lastRow, 0, 1);
  for (int32_t j = 1; j < j0 - 1; ++j) sweepColumnEnds(s, compute, j);
  sweepBands(s, reuse, 1, j0 - 1);
  // The pairs of bands: the second sweep one band behind, one column to the left.
  j0 = sweepLaneBandPairs(s, j0, lastCol);
  // The rest of the first sweep: its last interior columns, the ends of the columns that the
  // pairs did not reach, the right column, the corners.
  sweepBands(s, compute, j0, lastCol);
  for (int32_t j = j0 - 1; j < lastCol; ++j) sweepColumnEnds(s, compute, j);
  sweepBoundary<true, true, true, false>(s, compute, 1, lastRow, lastCol, s.cols);
  sweepCorners(s, compute);
  // The rest of the second sweep: its last interior columns, then its edges and corners.
  sweepBands(s, reuse, j0 - 1, lastCol);
  sweepEdges(s, reuse);
  sweepCorners(s, reuse);
}
#endif

}  // namespace

namespace detail {

void sweepLabels(SolverState& state, Multipliers multipliers) {
  sweepInterior(state, multipliers);
  sweepEdges(state, multipliers);
  sweepCorners(state, multipliers);
}

void sweepLabelsTwice(SolverState& state) {
#if defined(DASKEL_AVX2_DISPATCH)
  if (state.rows >= 3 && state.cols >= 2 + kLanes && laneBandsApply(state)) {
    sweepTwiceInBands(state);
    return;
  }
#endif
  sweepLabels(state, Multipliers::compute);
  sweepLabels(state, Multipliers::reuse);
}

}  // namespace detail

void labelSweep(SolverState& state) {
  // The same test as runSolver's: a state without all of its buffers is left alone.
  if (state.costs == nullptr || state.u == nullptr || state.dx == nullptr || state.dy == nullptr ||
      state.bx == nullptr || state.by == nullptr || state.outerPrev == nullptr ||
      state.multiplier == nullptr) {
    return;
  }
  detail::sweepLabels(state, detail::Multipliers::compute);
}

}  // namespace daskel
