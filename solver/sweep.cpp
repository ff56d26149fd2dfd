// Labelling sweep: one Gauss-Seidel pass of the u subproblem of split Bregman.
//
// Each value is the mean of its in-grid neighbours in the same phase, corrected by the split and
// Bregman terms, its cost and a per-pixel multiplier that couples the phases; it is then clamped
// to [0, 1], and a pixel whose values no longer sum to one is rescaled. u is rewritten in place,
// so a pixel sees the new values of every pixel visited before it.
//
// Visiting order: the interior column by column (rows 1..M-2 of columns 1..N-2), then the left and
// right columns, the top and bottom rows, and the four corners.
//
// First come the rules, each written once over a lane type (solver/lanes.hpp); this file is
// compiled once per lane level. Then the schedules of the interior, which every level runs:
//   - a band: up to kBandColumns columns, column c running kSkewRows rows behind column c - 1, so
//     that the serial recurrences down the columns overlap; for a block of steps, everything of a
//     pixel's update except its left and up neighbours is gathered ahead of the recurrence, which
//     then runs pixel by pixel;
//   - a lane band: a band of kBandColumns columns whose recurrence runs one column per lane;
//   - the trailing sweep: the driver's two sweeps at once, the second a band behind the first.
// Why each of them gives every pixel the values of the plain order: solver/README.md.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

#include "solver/kernels.hpp"
#include "solver/lanes.hpp"
#include "solver/solver.hpp"
#include "solver/team.hpp"

#if defined(DASKEL_LEVEL_BUILT)

DASKEL_LANES_BEGIN
namespace daskel::detail {
namespace {

using lanes::Doubles;
using lanes::ScalarDoubles;

constexpr double kSumTolerance = 1e-6;             // a pixel sum further from one is rescaled
constexpr double kSmallestNormalFloat = 0x1p-126;  // sums below it rescale by the stored values

constexpr int32_t kMaxBlockSteps = 64;         // steps gathered ahead per block
constexpr int32_t kMinBlockSteps = 4;          // below this the band schedule is not worth it
constexpr int32_t kBandScratchDoubles = 8192;  // 64 KiB of gathered terms
constexpr int32_t kLaneScratchDoubles = 4096;  // 32 KiB for a lane band, which keeps a history
// The steps a lane band runs unrolled as one group (finishFullGroups): whole squares of W steps at
// every level, whatever the skew.
constexpr int32_t kGroupSteps = 8;
constexpr int32_t kHistorySteps = 2 * kGroupSteps;  // two groups of steps (FullGroup)
// Lane 0's place in a history entry, one vector in, so that the lanes' vectors are aligned; the
// place before it holds -0.0.
constexpr int32_t kHistoryFirstLane = Doubles::kWidth;
constexpr int32_t kHistoryStride = kHistoryFirstLane + kBandColumns;  // doubles per entry
constexpr int32_t kHistoryPhaseStride = kHistorySteps * kHistoryStride;
constexpr int32_t kLineFloats = 16;  // floats per cache line
constexpr int kAllLanes = (1 << kBandColumns) - 1;

// A history entry is found by the step's low bits (step -1 included, the entry before a lane's
// first row), and a lane reads the entry kSkewRows steps back while its step writes its own:
// the entries of kSkewRows + 1 consecutive steps must be distinct.
static_assert(kHistorySteps > 0 && (kHistorySteps & (kHistorySteps - 1)) == 0,
              "the history's steps are a power of two");
static_assert(kSkewRows <= kGroupSteps,
              "a group reads its left values from itself and the group before");
static_assert(kHistoryFirstLane >= 1, "an entry has room for the -0.0 before lane 0");
static_assert(kSkewRows >= 1, "a column's right neighbour is reached at a later step");
static_assert(kBandColumns < 31, "a band's lanes are the bits of an int");

// ---- The rules, over any lane type D ---------------------------------------------------------

// Coefficient 1/n of the stencil sum and factor w_n of (multiplier + cost), for n neighbours.
template <int neighbours>
double stencilCoefficient() {
  static_assert(neighbours >= 2 && neighbours <= 4, "a grid of 2 x 2 or more");
  return neighbours == 4 ? 0.25 : neighbours == 3 ? static_cast<double>(1.0f / 3.0f) : 0.5;
}
template <int neighbours>
double biasWeight(const SolverState& s) {
  return neighbours == 4 ? s.inv4Penalty : neighbours == 3 ? s.inv3Penalty : s.inv2Penalty;
}

// The split minus the Bregman variable, (d - b), at the elements from d and b on.
template <class D>
DASKEL_INLINE D splitPart(const float* d, const float* b) {
  return D::widen(d) - D::widen(b);
}

// Element (pixel p, phase k) in u, in the costs (always in the caller's layout: within
// runSolver's solve on the padded copy of u, sliceSize is that copy's stride), and in the volumes
// the state owns, whose phase slices lie phaseStride apart.
int32_t labelIndex(const SolverState& s, int32_t p, int32_t k) {
  return p + s.sliceSize * k;
}
int32_t costIndex(const SolverState& s, int32_t p, int32_t k) {
  return p + s.rows * s.cols * k;
}
int32_t ownedIndex(const SolverState& s, int32_t p, int32_t k) {
  return p + s.phaseStride * k;
}

// The x term X = (dx - bx)(left) - (dx - bx)(here) at the owned elements from dx and bx on, the
// left neighbours `rows` elements before, and the y term Y = (dy - by)(up) - (dy - by)(here);
// the part of a neighbour outside the grid is dropped.
template <class D, bool hasLeft>
DASKEL_INLINE D xTerm(const float* dx, const float* bx, int32_t rows) {
  if constexpr (hasLeft) {
    return splitPart<D>(dx - rows, bx - rows) - splitPart<D>(dx, bx);
  } else {
    return -splitPart<D>(dx, bx);
  }
}
template <class D, bool hasUp>
DASKEL_INLINE D yTerm(const float* dy, const float* by) {
  if constexpr (hasUp) {
    return splitPart<D>(dy - 1, by - 1) - splitPart<D>(dy, by);
  } else {
    return -splitPart<D>(dy, by);
  }
}

// One summand of the multiplier: penalty * X + penalty * Y - cost. The multiplier, the phase
// mean of these, makes a pixel's unclamped values sum to the mean of its neighbours' sums; it
// never reads u.
template <class D>
DASKEL_INLINE D multiplierTerm(double penalty, D x, D y, D cost) {
  return (D::set(penalty) * x + D::set(penalty) * y) - cost;
}
template <class D>
void storeMultiplier(D sum, int32_t phases, float* to) {
  storeNarrowed(sum / D::set(static_cast<double>(phases)), to);
}

// What a phase's value subtracts: (multiplier + cost) * w_n.
template <class D>
DASKEL_INLINE D phaseBias(D multiplier, D cost, double weight) {
  return (multiplier + cost) * D::set(weight);
}

// The value of a phase from its complete stencil sum S: c_n S - bias, clamped to [0, 1] ("above
// 1 gives 1, otherwise below 0 gives 0"). min(1, v) is (1 < v ? 1 : v) and max(0, v) is
// (0 > v ? 0 : v), so a NaN passes both unchanged, as it passes both tests.
template <class D>
DASKEL_INLINE D clampedValue(double coefficient, D stencil, D bias) {
  const D value = D::set(coefficient) * stencil - bias;
  return max(D::set(0.0), min(D::set(1.0), value));
}

// An interior value from the gathered part of its stencil sum and the two neighbours that the
// recurrence down the columns produces: S = (part + left) + up.
template <class D>
DASKEL_INLINE D interiorValue(D part, D left, D up, D bias) {
  return clampedValue(stencilCoefficient<4>(), (part + left) + up, bias);
}

// Whether pixels' running sums stray from one by more than the tolerance.
template <class D>
DASKEL_INLINE typename D::Mask strays(D sum) {
  const D d = sum - D::set(1.0);
  return (d > D::set(kSumTolerance)) | (d < D::set(-kSumTolerance));
}

// Rescales the pixels in `need`: each stored value is divided by the pixel's running sum, or
// becomes 1/K where that sum is zero (no support at all: the uniform labelling). A running sum
// below the normal floats is made of values that the float store has rounded to few bits (a
// value can round to zero, or up by a large fraction of itself), so the quotients could sum to
// zero or exceed one; such a pixel is rescaled by the sum of its stored values instead.
// `values` loads and stores a pixel's value of phase k, widened from and rounded to float.
template <class D, class Values>
DASKEL_INLINE void normalise(const Values& values, int32_t phases, D sum, typename D::Mask need) {
  if (!need.any()) return;
  const typename D::Mask small = need & (sum < D::set(kSmallestNormalFloat));
  if (small.any()) {
    D stored = D::set(0.0);
    for (int32_t k = 0; k < phases; ++k) stored = stored + values.load(k);
    sum = select(small, stored, sum);
  }
  const typename D::Mask zero = sum == D::set(0.0);
  const D uniform = D::set(1.0 / static_cast<double>(phases));
  for (int32_t k = 0; k < phases; ++k) {
    const D stored = values.load(k);
    values.store(k, select(need, roundToFloat(select(zero, uniform, stored / sum)), stored));
  }
}

// The stored values of one pixel in u.
struct PixelValues {
  float* u;
  int32_t p;
  int32_t sliceSize;
  ScalarDoubles load(int32_t k) const { return ScalarDoubles::widen(u + p + sliceSize * k); }
  void store(int32_t k, ScalarDoubles value) const { storeNarrowed(value, u + p + sliceSize * k); }
};

// ---- The plain order: one pixel at a time ----------------------------------------------------

// One pixel with the neighbours the flags name, all of it at once: multiplier, every phase,
// normalisation.
template <bool hasUp, bool hasDown, bool hasLeft, bool hasRight>
void updatePixel(SolverState& s, int32_t p, Multipliers multipliers) {
  using S = ScalarDoubles;
  constexpr int neighbours = hasUp + hasDown + hasLeft + hasRight;
  if (multipliers == Multipliers::compute) {
    S sum = S::set(0.0);
    for (int32_t k = 0; k < s.phases; ++k) {
      const int32_t o = ownedIndex(s, p, k);
      sum = sum + multiplierTerm(s.penalty, xTerm<S, hasLeft>(s.dx + o, s.bx + o, s.rows),
                                 yTerm<S, hasUp>(s.dy + o, s.by + o),
                                 S::widen(s.costs + costIndex(s, p, k)));
    }
    storeMultiplier(sum, s.phases, s.multiplier + p);
  }
  const S multiplier = S::widen(s.multiplier + p);
  const float* u = s.u;
  S sum = S::set(0.0);
  for (int32_t k = 0; k < s.phases; ++k) {
    const int32_t q = labelIndex(s, p, k);
    const int32_t o = ownedIndex(s, p, k);
    S stencil = xTerm<S, hasLeft>(s.dx + o, s.bx + o, s.rows) + yTerm<S, hasUp>(s.dy + o, s.by + o);
    if constexpr (hasRight) stencil = stencil + S::widen(u + q + s.rows);
    if constexpr (hasDown) stencil = stencil + S::widen(u + q + 1);
    if constexpr (hasLeft) stencil = stencil + S::widen(u + q - s.rows);
    if constexpr (hasUp) stencil = stencil + S::widen(u + q - 1);
    const S value = clampedValue(
        stencilCoefficient<neighbours>(), stencil,
        phaseBias(multiplier, S::widen(s.costs + costIndex(s, p, k)), biasWeight<neighbours>(s)));
    sum = sum + value;
    storeNarrowed(value, s.u + q);
  }
  normalise(PixelValues{s.u, p, s.sliceSize}, s.phases, sum, strays(sum));
}

// Rows [rowBegin, rowEnd) of columns [colBegin, colEnd), column by column. Every multiplier a
// pixel reads is its own, formed just before, so forming it pixel by pixel instead of for the
// whole region first changes nothing.
template <bool hasUp, bool hasDown, bool hasLeft, bool hasRight>
void sweepRegion(SolverState& s, Multipliers multipliers, int32_t rowBegin, int32_t rowEnd,
                 int32_t colBegin, int32_t colEnd) {
  for (int32_t j = colBegin; j < colEnd; ++j) {
    for (int32_t i = rowBegin; i < rowEnd; ++i) {
      updatePixel<hasUp, hasDown, hasLeft, hasRight>(s, i + s.rows * j, multipliers);
    }
  }
}

// The four edges (left and right column, top and bottom row), then the four corners.
void sweepEdges(SolverState& s, Multipliers m) {
  const int32_t lastRow = s.rows - 1;
  const int32_t lastCol = s.cols - 1;
  //          up     down   left   right     rows              columns
  sweepRegion<true, true, false, true>(s, m, 1, lastRow, 0, 1);             // left column
  sweepRegion<true, true, true, false>(s, m, 1, lastRow, lastCol, s.cols);  // right column
  sweepRegion<false, true, true, true>(s, m, 0, 1, 1, lastCol);             // top row
  sweepRegion<true, false, true, true>(s, m, lastRow, s.rows, 1, lastCol);  // bottom row
}
// The corners of one side. (0, N-1) and (M-1, 0) are never neighbours, so the left side's two
// before the right side's give what the plain order (0, 0), (0, N-1), (M-1, 0), (M-1, N-1) gives.
void sweepLeftCorners(SolverState& s, Multipliers m) {
  sweepRegion<false, true, false, true>(s, m, 0, 1, 0, 1);                // (0, 0)
  sweepRegion<true, false, false, true>(s, m, s.rows - 1, s.rows, 0, 1);  // (M-1, 0)
}
void sweepRightCorners(SolverState& s, Multipliers m) {
  const int32_t lastCol = s.cols - 1;
  sweepRegion<false, true, true, false>(s, m, 0, 1, lastCol, s.cols);                // (0, N-1)
  sweepRegion<true, false, true, false>(s, m, s.rows - 1, s.rows, lastCol, s.cols);  // (M-1, N-1)
}
void sweepCorners(SolverState& s, Multipliers m) {
  sweepLeftCorners(s, m);
  sweepRightCorners(s, m);
}

// The top and bottom pixels of column j, updated as the sweep's edge rows update them.
void updateColumnEnds(SolverState& s, int32_t j, Multipliers m = Multipliers::compute) {
  updatePixel<false, true, true, true>(s, s.rows * j, m);
  updatePixel<true, false, true, true>(s, s.rows - 1 + s.rows * j, m);
}

// ---- Bands of interior columns ---------------------------------------------------------------
//
// Step t of a band runs interior row t - c * kSkewRows of band column c, for every column that
// has that row; the steps run in blocks, each gathered for all columns before its recurrence.

// Gathered terms of a band for a block of steps: at slot (step - first step of the block), phase
// k and band column c, the partial stencil sum at part(slot, k)[c] and the bias at
// bias(slot, k)[c]. The slots of one phase follow each other, kBandColumns doubles apart, so that
// a step finds the terms of every phase at fixed distances from those of phase 0.
struct BandScratch {
  double* terms;
  int32_t phases;
  int32_t blockSteps;
  double* part(int32_t slot, int32_t k) const {
    return terms + (2 * k * blockSteps + slot) * kBandColumns;
  }
  double* bias(int32_t slot, int32_t k) const { return part(slot, k) + biasOffset(); }
  int32_t biasOffset() const { return blockSteps * kBandColumns; }       // from a part to its bias
  int32_t phaseStride() const { return 2 * blockSteps * kBandColumns; }  // from phase k to k + 1
};
constexpr int32_t kSlotStride = kBandColumns;  // doubles from one slot to the next

constexpr int32_t blockStepsFor(int32_t scratchDoubles, int32_t phases) {
  return std::min(kMaxBlockSteps, scratchDoubles / (2 * phases * kBandColumns));
}
// A lane band's blocks are whole groups of steps (finishLaneBlocks).
constexpr int32_t laneBlockStepsFor(int32_t phases) {
  return blockStepsFor(kLaneScratchDoubles, phases) / kGroupSteps * kGroupSteps;
}

// The lane bands, unlike the bands whose recurrence runs pixel by pixel, have no fallback for a
// block too short to be worth the schedule.
static_assert(laneBlockStepsFor(kLaneMaxPhases) >= std::max(kMinBlockSteps, kGroupSteps),
              "a lane band of the most phases it takes has blocks of a group of steps or more");

// New values of a lane band (widened from their stored floats), the last kHistorySteps steps:
// lane c of step t and phase k at at(t, k)[c]; at(t, k)[-1] always holds -0.0. The entries of
// one phase follow each other, step after step (the ring starting again at each multiple of
// kHistorySteps), and the phases lie kHistoryPhaseStride apart.
struct LaneHistory {
  double* values;
  double* at(int32_t step, int32_t k) const {
    return values + k * kHistoryPhaseStride + (step & (kHistorySteps - 1)) * kHistoryStride +
           kHistoryFirstLane;
  }
};

// The band of one sweep: interior columns [j0, j0 + width). A lane band has a history and
// kBandColumns columns. A band of the first sweep that takes the snapshot copies u into
// outerPrev, row by row, as its gathering first reads it.
struct Band {
  BandScratch scratch;
  const LaneHistory* history;
  Multipliers multipliers;
  int32_t j0;
  int32_t width;
  bool snapshot = false;
};

int32_t bandSteps(const SolverState& s, int32_t width) {
  return s.rows - 2 + (width - 1) * kSkewRows;
}

// The arrays a gathering reads, each at pixel 0 of one phase, so that pixel p of that phase is
// element p of each: u, the split and Bregman volumes (owned layout), the costs (the caller's
// layout), and the multipliers, which have no phases.
struct PhaseArrays {
  const float* u;
  const float* dx;
  const float* bx;
  const float* dy;
  const float* by;
  const float* costs;
  const float* multiplier;
  int32_t rows;
  double penalty;
  double biasWeight;  // w_4
};

PhaseArrays phaseArrays(const SolverState& s, int32_t k) {
  const int32_t owned = ownedIndex(s, 0, k);
  return {s.u + labelIndex(s, 0, k),    s.dx + owned, s.bx + owned, s.dy + owned, s.by + owned,
          s.costs + costIndex(s, 0, k), s.multiplier, s.rows,       s.penalty,    s.inv4Penalty};
}

// The stencil part ((X + Y) + right) + down of D::kWidth consecutive interior rows of one phase
// from pixel p, plus left where it is final; with `summand`, the rows' multiplier summands go
// there.
template <class D>
DASKEL_INLINE D stencilPart(const PhaseArrays& a, int32_t p, bool withLeft, D* summand) {
  const D x = xTerm<D, true>(a.dx + p, a.bx + p, a.rows);
  const D y = yTerm<D, true>(a.dy + p, a.by + p);
  D stencil = (x + y) + D::widen(a.u + p + a.rows);              // right, old
  stencil = stencil + D::widen(a.u + p + 1);                     // down, old
  if (withLeft) stencil = stencil + D::widen(a.u + p - a.rows);  // left, final
  if (summand != nullptr) *summand = multiplierTerm(a.penalty, x, y, D::widen(a.costs + p));
  return stencil;
}

// Adds the rows' summands to their sums, which the phases accumulate in ascending order.
template <class D>
DASKEL_INLINE void addSummand(double* sums, D summand) {
  (D::load(sums) + summand).store(sums);
}

// The biases (multiplier + cost) w_4 of D::kWidth consecutive rows of one phase from pixel p.
template <class D>
DASKEL_INLINE D stencilBias(const PhaseArrays& a, int32_t p) {
  return phaseBias(D::widen(a.multiplier + p), D::widen(a.costs + p), a.biasWeight);
}

// Whether a gathering also asks for the rows of the block after the column's next one (see
// prefetchThenGather).
enum class Prefetch { none, blockAfterNext };

// Interior rows [first, first + count) of band column c, as one gathering takes them: in u and
// the volumes from pixel firstPixel on, in the block's slots from slot0 on (row r in slot
// r + c kSkewRows - the block's first step).
struct ColumnRows {
  int32_t c;
  int32_t first;
  int32_t count;
  int32_t firstPixel;
  int32_t slot0;
  bool withLeft;  // a lane band's first column: its left neighbour is final, and added here
  Prefetch prefetch;
  int32_t pixelAt(int32_t slot) const { return firstPixel + slot - slot0; }
  int32_t slotEnd() const { return slot0 + count; }
};

// The snapshot outerPrev = u of phase k's pixel rows of the column that this gathering reads
// first, the column's ends included: taken now, before any sweep writes them.
void snapshotGatheredRows(const SolverState& s, const Band& band, const ColumnRows& rows,
                          int32_t k) {
  const int32_t last = rows.first + rows.count;
  const int32_t snapshotFrom = rows.first == 0 ? 0 : rows.first + 1;
  const int32_t snapshotTo = last == s.rows - 2 ? s.rows : last + 1;
  const int32_t from = snapshotFrom + s.rows * (band.j0 + rows.c);
  std::memcpy(s.outerPrev + ownedIndex(s, from, k), s.u + labelIndex(s, from, k),
              static_cast<std::size_t>(snapshotTo - snapshotFrom) * sizeof(float));
}

// With Prefetch::blockAfterNext, asks for phase k's rows of the block after this column's next
// one (gathered one block later), as such short pieces of many streams are too short for the
// hardware's own prefetching; the left neighbours last: on a team, the column another member's
// band has just written. Then gathers. (The prefetches stay with the gathering: GCC 12 takes a
// function of prefetches alone for one without effects and drops its calls.)
template <class Gather>
void prefetchThenGather(const SolverState& s, const Band& band, const ColumnRows& rows,
                        const PhaseArrays& a, const Gather& gather) {
  const int32_t next = rows.count + band.scratch.blockSteps;
  const int32_t ahead = std::min(band.scratch.blockSteps, s.rows - 2 - rows.first - next);
  if (rows.prefetch == Prefetch::blockAfterNext && ahead > 0) {
    const int32_t p = rows.firstPixel + next;
    for (int32_t r = 0; r < ahead; r += kLineFloats) {
      lanes::prefetch(a.dx + p + r);
      lanes::prefetch(a.bx + p + r);
      lanes::prefetch(a.dy + p + r);
      lanes::prefetch(a.by + p + r);
      lanes::prefetch(a.costs + p + r);
      lanes::prefetch(a.u + p + s.rows + r);
      lanes::prefetch(a.u + p + r);
    }
    if (rows.withLeft) {
      for (int32_t r = 0; r < ahead; r += kLineFloats) lanes::prefetch(a.u + p - s.rows + r);
    }
  }
  gather();
}

// Phase k's stencil parts of the column's rows in slots [slotBegin, slotEnd), D::kWidth rows at a
// time, each value scattered to its slot, the last rows one by one; with `sums` (by slot), their
// multiplier summands added to them.
void gatherPartsOfColumn(const Band& band, const PhaseArrays& a, int32_t k, const ColumnRows& rows,
                         int32_t slotBegin, int32_t slotEnd, double* sums) {
  constexpr int32_t W = Doubles::kWidth;
  const auto rowsAt = [&](auto lanes, int32_t slot) {
    using D = decltype(lanes);
    D summand{};
    const D part =
        stencilPart<D>(a, rows.pixelAt(slot), rows.withLeft, sums == nullptr ? nullptr : &summand);
    if (sums != nullptr) addSummand(sums + slot, summand);
    part.scatter(band.scratch.part(slot, k) + rows.c, kSlotStride);
  };
  int32_t slot = slotBegin;
  for (; slot + W <= slotEnd; slot += W) rowsAt(Doubles{}, slot);
  for (; slot < slotEnd; ++slot) rowsAt(ScalarDoubles{}, slot);
}

// The same for the biases of phase k, from the multipliers stored.
void gatherBiasesOfColumn(const Band& band, const PhaseArrays& a, int32_t k, const ColumnRows& rows,
                          int32_t slotBegin, int32_t slotEnd) {
  constexpr int32_t W = Doubles::kWidth;
  const auto rowsAt = [&](auto lanes, int32_t slot) {
    using D = decltype(lanes);
    stencilBias<D>(a, rows.pixelAt(slot)).scatter(band.scratch.bias(slot, k) + rows.c, kSlotStride);
  };
  int32_t slot = slotBegin;
  for (; slot + W <= slotEnd; slot += W) rowsAt(Doubles{}, slot);
  for (; slot < slotEnd; ++slot) rowsAt(ScalarDoubles{}, slot);
}

// The multipliers of the rows, from the sums of their summands over the phases (by slot).
void storeMultipliers(const SolverState& s, const ColumnRows& rows, const double* sums) {
  constexpr int32_t W = Doubles::kWidth;
  int32_t slot = rows.slot0;
  for (; slot + W <= rows.slotEnd(); slot += W) {
    storeMultiplier(Doubles::load(sums + slot), s.phases, s.multiplier + rows.pixelAt(slot));
  }
  for (; slot < rows.slotEnd(); ++slot) {
    storeMultiplier(ScalarDoubles::load(sums + slot), s.phases, s.multiplier + rows.pixelAt(slot));
  }
}

template <class Step, int32_t... i>
void unrolled(const Step& step, std::integer_sequence<int32_t, i...>) {
  (step(std::integral_constant<int32_t, i>{}), ...);
}
// step(std::integral_constant<int32_t, i>) for i = 0 .. n - 1, written out.
template <int32_t n, class Step>
void unrolled(const Step& step) {
  unrolled(step, std::make_integer_sequence<int32_t, n>{});
}

// W = Doubles::kWidth columns of a band, gathered together for one block. Where all W have rows
// for the same slots, the terms go in squares of W slots by W columns: each column's W rows are
// formed in the lanes of one value, and a transpose in registers turns the W values into those
// of the W slots, each stored whole. The other rows go column by column, each value scattered to
// its slot. Either way each value is the same sequence of operations on the same inputs.
struct ColumnGroup {
  ColumnRows rows[Doubles::kWidth];
  int32_t columns;    // of the group that have rows in this block
  int32_t tileBegin;  // the slots [tileBegin, tileEnd) go in squares
  int32_t tileEnd;

  // The slots of `r` outside the squares, in at most two pieces; empty pieces are left out.
  template <class Piece>
  void forEachPieceOutside(const ColumnRows& r, const Piece& piece) const {
    const int32_t before = tileBegin < tileEnd ? tileBegin : r.slotEnd();
    if (r.slot0 < before) piece(r.slot0, before);
    if (tileBegin < tileEnd && tileEnd < r.slotEnd()) piece(tileEnd, r.slotEnd());
  }
};

// The squares of phase k's stencil parts: column l of the group, pixel p + l (rows - kSkewRows)
// at the slot of pixel p of its first column.
template <bool kWithLeft, bool kSums>
void gatherPartSquares(const Band& band, const PhaseArrays arrays, int32_t k, const ColumnGroup& g,
                       double (*sums)[kMaxBlockSteps]) {
  constexpr int32_t W = Doubles::kWidth;
  const PhaseArrays a = arrays;  // a copy that no store of the loop can change
  const int32_t columnStep = a.rows - kSkewRows;
  double* parts = band.scratch.part(g.tileBegin, k) + g.rows[0].c;
  int32_t p = g.rows[0].pixelAt(g.tileBegin);
  for (int32_t slot = g.tileBegin; slot < g.tileEnd; slot += W, p += W, parts += W * kSlotStride) {
    Doubles square[W];
    unrolled<W>([&](auto lane) {
      constexpr int32_t l = decltype(lane)::value;
      Doubles summand{};
      square[l] = stencilPart<Doubles>(a, p + l * columnStep, kWithLeft && l == 0,
                                       kSums ? &summand : nullptr);
      if constexpr (kSums) addSummand(sums[l] + slot, summand);
    });
    transpose(square);
    unrolled<W>([&](auto i) { square[i].store(parts + i * kSlotStride); });
  }
}

void gatherBiasSquares(const Band& band, const PhaseArrays arrays, int32_t k,
                       const ColumnGroup& g) {
  constexpr int32_t W = Doubles::kWidth;
  const PhaseArrays a = arrays;
  const int32_t columnStep = a.rows - kSkewRows;
  double* biases = band.scratch.bias(g.tileBegin, k) + g.rows[0].c;
  int32_t p = g.rows[0].pixelAt(g.tileBegin);
  for (int32_t slot = g.tileBegin; slot < g.tileEnd; slot += W, p += W, biases += W * kSlotStride) {
    Doubles square[W];
    unrolled<W>([&](auto lane) {
      constexpr int32_t l = decltype(lane)::value;
      square[l] = stencilBias<Doubles>(a, p + l * columnStep);
    });
    transpose(square);
    unrolled<W>([&](auto i) { square[i].store(biases + i * kSlotStride); });
  }
}

// Whether a band is the second sweep's, trailing the first sweep's band one column to its right
// block by block (sweepBandPair), or any other: a sweep's band alone, or the first sweep's.
enum class Trailing { no, behindFirstSweep };

// Gathers the columns [c0, c0 + W) of a band (those of them it has) into the slots of the block
// that starts at step `blockBegin`. The recurrence has not reached these rows nor their right
// neighbours, so right and down are old, as in the plain order. A lane band's first column adds
// its left neighbour here: that column lies in the band before, or is column 0, final either way.
// A band Trailing::behindFirstSweep first updates, where a column of the group gathers its first
// or its last interior row, the first sweep's top or bottom pixel of that column, which the
// column then reads as its old up or down neighbour, in column order (each reads the one of the
// column before, updated, and the one of the column after, not yet; the group's gathering reads
// no other edge pixel); its columns other than the first read what the first sweep read a few
// steps earlier, so they fetch nothing ahead.
void gatherColumnGroup(SolverState& s, const Band& band, int32_t c0, int32_t blockBegin,
                       int32_t blockEnd, Trailing trailing) {
  constexpr int32_t W = Doubles::kWidth;
  const int32_t interiorRows = s.rows - 2;
  const bool updatesFirstSweepEnds = trailing == Trailing::behindFirstSweep;
  ColumnGroup g{};
  g.tileEnd = kMaxBlockSteps;
  for (int32_t c = c0; c < std::min(c0 + W, band.width); ++c) {
    const int32_t lag = c * kSkewRows;
    const int32_t first = std::max(blockBegin - lag, 0);
    const int32_t last = std::min(blockEnd - lag, interiorRows);
    if (first >= last) continue;
    const int32_t j = band.j0 + c;
    if (updatesFirstSweepEnds && first == 0) {
      updatePixel<false, true, true, true>(s, s.rows * j, Multipliers::compute);
    }
    if (updatesFirstSweepEnds && last == interiorRows) {
      updatePixel<true, false, true, true>(s, s.rows - 1 + s.rows * j, Multipliers::compute);
    }
    const Prefetch prefetch =
        !updatesFirstSweepEnds || c == 0 ? Prefetch::blockAfterNext : Prefetch::none;
    const ColumnRows r{c,
                       first,
                       last - first,
                       1 + first + s.rows * j,
                       first + lag - blockBegin,
                       band.history != nullptr && c == 0,
                       prefetch};
    g.tileBegin = std::max(g.tileBegin, r.slot0);
    g.tileEnd = std::min(g.tileEnd, r.slotEnd());
    g.rows[g.columns++] = r;
  }
  if (g.columns == 0) return;
  // Squares only where W columns in a row share W slots or more.
  if (g.columns < W || g.rows[0].c != c0 || g.tileEnd - g.tileBegin < W) {
    g.tileEnd = g.tileBegin;
  } else {
    g.tileEnd = g.tileBegin + (g.tileEnd - g.tileBegin) / W * W;
  }

  alignas(64) double sums[W][kMaxBlockSteps];
  const bool formMultipliers = band.multipliers == Multipliers::compute;
  if (formMultipliers) {
    for (int32_t l = 0; l < g.columns; ++l) {
      std::fill(sums[l] + g.rows[l].slot0, sums[l] + g.rows[l].slotEnd(), 0.0);
    }
  }
  const bool firstWithLeft = g.rows[0].withLeft;
  for (int32_t k = 0; k < s.phases; ++k) {
    const PhaseArrays a = phaseArrays(s, k);
    for (int32_t l = 0; l < g.columns; ++l) {
      const ColumnRows& r = g.rows[l];
      if (band.snapshot) snapshotGatheredRows(s, band, r, k);
      double* const columnSums = formMultipliers ? sums[l] : nullptr;
      prefetchThenGather(s, band, r, a, [&] {
        g.forEachPieceOutside(r, [&](int32_t slotBegin, int32_t slotEnd) {
          gatherPartsOfColumn(band, a, k, r, slotBegin, slotEnd, columnSums);
        });
      });
    }
    if (g.tileBegin < g.tileEnd) {
      if (firstWithLeft) {
        formMultipliers ? gatherPartSquares<true, true>(band, a, k, g, sums)
                        : gatherPartSquares<true, false>(band, a, k, g, nullptr);
      } else {
        formMultipliers ? gatherPartSquares<false, true>(band, a, k, g, sums)
                        : gatherPartSquares<false, false>(band, a, k, g, nullptr);
      }
    }
  }
  if (formMultipliers) {
    for (int32_t l = 0; l < g.columns; ++l) storeMultipliers(s, g.rows[l], sums[l]);
  }
  for (int32_t k = 0; k < s.phases; ++k) {
    const PhaseArrays a = phaseArrays(s, k);
    for (int32_t l = 0; l < g.columns; ++l) {
      g.forEachPieceOutside(g.rows[l], [&](int32_t slotBegin, int32_t slotEnd) {
        gatherBiasesOfColumn(band, a, k, g.rows[l], slotBegin, slotEnd);
      });
    }
    if (g.tileBegin < g.tileEnd) gatherBiasSquares(band, a, k, g);
  }
  if (band.history != nullptr) {
    for (int32_t l = 0; l < g.columns; ++l) {
      const ColumnRows& r = g.rows[l];
      if (r.first != 0) continue;
      // The up neighbour of the lane's first interior row is row 0, old: it stands in the
      // history as the value of the step before, which the lane, inactive there, keeps.
      const int32_t top = s.rows * (band.j0 + r.c);
      for (int32_t k = 0; k < s.phases; ++k) {
        band.history->at(r.c * kSkewRows - 1, k)[r.c] =
            static_cast<double>(s.u[labelIndex(s, top, k)]);
      }
    }
  }
}

// Gathers every column of a band for the block of steps [blockBegin, blockEnd), W columns at a
// time.
void gatherBlock(SolverState& s, const Band& band, int32_t blockBegin, int32_t blockEnd,
                 Trailing trailing) {
  for (int32_t c0 = 0; c0 < band.width; c0 += Doubles::kWidth) {
    gatherColumnGroup(s, band, c0, blockBegin, blockEnd, trailing);
  }
}

// The recurrence of step t pixel by pixel: left and up, read from u, complete the gathered sums.
void finishStepByPixels(SolverState& s, const Band& band, int32_t t, int32_t slot) {
  using S = ScalarDoubles;
  const int32_t interiorRows = s.rows - 2;
  // Columns whose row t - c * kSkewRows lies in [0, interiorRows).
  const int32_t cBegin = t < interiorRows ? 0 : (t - interiorRows) / kSkewRows + 1;
  const int32_t cEnd = std::min(t / kSkewRows + 1, band.width);
  for (int32_t c = cBegin; c < cEnd; ++c) {
    const int32_t p = 1 + (t - c * kSkewRows) + s.rows * (band.j0 + c);
    S sum = S::set(0.0);
    for (int32_t k = 0; k < s.phases; ++k) {
      const int32_t q = p + s.sliceSize * k;
      const S value =
          interiorValue(S::load(band.scratch.part(slot, k) + c), S::widen(s.u + q - s.rows),
                        S::widen(s.u + q - 1), S::load(band.scratch.bias(slot, k) + c));
      sum = sum + value;
      storeNarrowed(value, s.u + q);
    }
    normalise(PixelValues{s.u, p, s.sliceSize}, s.phases, sum, strays(sum));
  }
}

// The values of lanes [lane, lane + D::kWidth) of one step in a lane band's history, from the
// step's entry of phase 0.
template <class D>
struct HistoryValues {
  static_assert(kBandColumns % D::kWidth == 0, "a band's lanes are whole vectors of D");
  double* entry;
  D load(int32_t k) const { return D::load(entry + k * kHistoryPhaseStride); }
  void store(int32_t k, D value) const { value.store(entry + k * kHistoryPhaseStride); }
};

// Which lanes of step t hold an interior row: bit c for lane c, the lanes c with
// 0 <= t - c kSkewRows < interiorRows.
int activeLanes(int32_t t, int32_t interiorRows) {
  const int32_t last = std::min(t / kSkewRows, kBandColumns - 1);
  const int32_t first = t < interiorRows ? 0 : (t - interiorRows) / kSkewRows + 1;
  return first > last ? 0 : ((2 << last) - 1) & ~((1 << first) - 1);
}

// What step t of a lane band reads and writes, for phase 0: its gathered part (its bias
// scratch.biasOffset() further), the history entries of steps t - kSkewRows (from lane -1, whose
// -0.0 stands in for the first lane's left) and t - 1, and its own entry. Phase k lies k phase
// strides further in each.
struct LaneStep {
  const double* part;
  const double* left;
  const double* up;
  double* here;
};

// The recurrence of one step with one column per lane, kBandColumns / W vectors of W lanes: left
// comes from the lane before, kSkewRows steps earlier, and up from the same lane one step
// earlier. The first lane's left neighbour is in its gathered part already, and -0.0 stands in
// for it, which leaves every sum unchanged (signed zeros and NaN included). Unless
// `everyLaneActive`, lanes outside `active` (at the two ends of the band, where a column has no
// row at this step) compute values that nobody reads: their history entries keep what they held.
template <bool everyLaneActive>
DASKEL_INLINE void finishLaneStep(const LaneStep& at, const BandScratch& scratch,
                                  const typename Doubles::Mask* active) {
  constexpr int32_t W = Doubles::kWidth;
  static_assert(kBandColumns % W == 0, "a band's lanes are whole vectors of this level");
  constexpr int32_t kVectors = kBandColumns / W;
  const int32_t biasOffset = scratch.biasOffset();
  const int32_t partStride = scratch.phaseStride();
  Doubles sum[kVectors];
  for (int32_t h = 0; h < kVectors; ++h) sum[h] = Doubles::set(0.0);
  for (int32_t k = 0; k < scratch.phases; ++k) {
    const double* part = at.part + k * partStride;
    const int32_t entry = k * kHistoryPhaseStride;
    for (int32_t h = 0; h < kVectors; ++h) {
      const int32_t lane = W * h;
      const Doubles value = interiorValue(
          Doubles::load(part + lane), Doubles::load(at.left + entry + lane),
          Doubles::load(at.up + entry + lane), Doubles::load(part + biasOffset + lane));
      sum[h] = sum[h] + value;
      Doubles stored = roundToFloat(value);
      if constexpr (!everyLaneActive) {
        stored = select(active[h], stored, Doubles::load(at.here + entry + lane));
      }
      stored.store(at.here + entry + lane);
    }
  }
  for (int32_t h = 0; h < kVectors; ++h) {
    typename Doubles::Mask need = strays(sum[h]);
    if constexpr (!everyLaneActive) need = need & active[h];
    normalise(HistoryValues<Doubles>{at.here + W * h}, scratch.phases, sum[h], need);
  }
}

// Step t of a lane band, whichever lanes have rows in it, its values stored into u one by one:
// lane c is row t - c kSkewRows of column j0 + c.
void finishStepByLanes(SolverState& s, const Band& band, int32_t t, int32_t slot) {
  constexpr int32_t W = Doubles::kWidth;
  const LaneHistory& history = *band.history;
  const int active = activeLanes(t, s.rows - 2);
  const LaneStep at{band.scratch.part(slot, 0), history.at(t - kSkewRows, 0) - 1,
                    history.at(t - 1, 0), history.at(t, 0)};
  if (active == kAllLanes) {
    finishLaneStep<true>(at, band.scratch, nullptr);
  } else {
    typename Doubles::Mask activeMask[kBandColumns / W];
    for (int32_t h = 0; h < kBandColumns / W; ++h)
      activeMask[h] = Doubles::maskOf(active >> (W * h));
    finishLaneStep<false>(at, band.scratch, activeMask);
  }
  const int32_t laneStep = s.rows - kSkewRows;
  float* const base = s.u + 1 + t + s.rows * band.j0;
  for (int32_t k = 0; k < s.phases; ++k) {
    const double* here = at.here + k * kHistoryPhaseStride;
    float* const to = base + s.sliceSize * k;
    for (int32_t c = 0; c < kBandColumns; ++c) {
      if (((active >> c) & 1) != 0) to[c * laneStep] = static_cast<float>(here[c]);
    }
  }
}

// Steps [t, t + W) of every lane of a lane band into u, from their history entries (`first`:
// step t's entry of phase 0): lane c holds rows t - c kSkewRows .. + W - 1 of column j0 + c, which
// the transpose of each square of W steps by W lanes puts in the lanes of one value.
void storeLaneSquares(const SolverState& s, const Band& band, int32_t t, const double* first) {
  constexpr int32_t W = Doubles::kWidth;
  const int32_t laneStep = s.rows - kSkewRows;
  float* const base = s.u + 1 + t + s.rows * band.j0;
  for (int32_t k = 0; k < s.phases; ++k) {
    const double* const entries = first + k * kHistoryPhaseStride;
    float* const to = base + s.sliceSize * k;
    for (int32_t c0 = 0; c0 < kBandColumns; c0 += W) {
      Doubles square[W];
      for (int32_t i = 0; i < W; ++i) square[i] = Doubles::load(entries + i * kHistoryStride + c0);
      transpose(square);
      for (int32_t l = 0; l < W; ++l) storeNarrowed(square[l], to + (c0 + l) * laneStep);
    }
  }
}

// A group of steps [t0, t0 + kGroupSteps) of a lane band in which every lane has a row, t0 a
// multiple of kGroupSteps: the group writes one half of the history's ring (from `here`) and
// reads that half and the other (from `before`), which the group before wrote, so with the steps
// unrolled every entry lies at a fixed distance from the two halves.
struct FullGroup {
  const Band* band;
  int32_t t0;
  const double* before;
  double* here;
  const double* part;  // slot t0 - the block's first step, phase 0
};

FullGroup fullGroup(const Band& band, int32_t t0, int32_t slot0) {
  return {&band, t0, band.history->at(t0 - kGroupSteps, 0), band.history->at(t0, 0),
          band.scratch.part(slot0, 0)};
}

// Step t0 + i of a full group. The values go into u every W steps, a square at a time. Nothing
// reads u of the band's columns before the block ends (the recurrence reads its history; the
// gathering of the next block, the edges and the trailing sweep come after), so the later stores
// give the same values.
template <int32_t i>
DASKEL_INLINE void finishGroupStep(SolverState& s, const FullGroup& g) {
  constexpr int32_t W = Doubles::kWidth;
  static_assert(kGroupSteps % W == 0, "a group of steps is whole squares");
  static_assert(kHistorySteps == 2 * kGroupSteps, "a group's entries are one half of the ring");
  // The entry of step t0 + e, for e from -kGroupSteps on.
  const auto entry = [&g](int32_t e) {
    return e < 0 ? g.before + (kGroupSteps + e) * kHistoryStride : g.here + e * kHistoryStride;
  };
  const LaneStep at{g.part + i * kSlotStride, entry(i - kSkewRows) - 1, entry(i - 1),
                    g.here + i * kHistoryStride};
  finishLaneStep<true>(at, g.band->scratch, nullptr);
  if constexpr ((i + 1) % W == 0) {
    storeLaneSquares(s, *g.band, g.t0 + i + 1 - W, g.here + (i + 1 - W) * kHistoryStride);
  }
}

// Full groups of n lane bands, their steps interleaved: step i of each band, then step i + 1 of
// each. The bands' recurrences are independent of one another, and each step waits on its
// band's step before (the value, the phase sum, the normalisation, the rounding to float), so
// the processor fills one band's waits with the other's work.
template <std::size_t n>
void finishFullGroups(SolverState& s, const FullGroup (&groups)[n]) {
  unrolled<kGroupSteps>([&](auto step) {
    constexpr int32_t i = decltype(step)::value;
    unrolled<static_cast<int32_t>(n)>([&](auto band) { finishGroupStep<i>(s, groups[band]); });
  });
}

// The steps [begin, end) of a lane band that one finishing takes, begin a multiple of kGroupSteps.
struct LaneBlock {
  const Band* band;
  int32_t begin;
  int32_t end;
  // Whether the group of steps from t is within the block and has a row in every lane at each
  // step: from the first row of the last lane to the last whole group before the first lane ends.
  bool isFullGroup(int32_t t, int32_t interiorRows) const {
    return t >= (kBandColumns - 1) * kSkewRows && t + kGroupSteps <= std::min(end, interiorRows);
  }
};

// The blocks of n lane bands (one, or a first-sweep band's and the trailing second sweep's), group
// by group in step: where every band's group is full, the groups interleaved; otherwise each full
// group alone and the other bands' steps one by one, interleaved. Each band's steps run in their
// order.
template <std::size_t n>
void finishLaneBlocks(SolverState& s, const LaneBlock (&blocks)[n]) {
  const int32_t interiorRows = s.rows - 2;
  int32_t length = 0;
  for (const LaneBlock& b : blocks) length = std::max(length, b.end - b.begin);
  for (int32_t offset = 0; offset < length; offset += kGroupSteps) {
    bool full[n];
    bool allFull = true;
    for (std::size_t i = 0; i < n; ++i) {
      full[i] = blocks[i].isFullGroup(blocks[i].begin + offset, interiorRows);
      allFull = allFull && full[i];
    }
    if (allFull) {
      FullGroup groups[n];
      for (std::size_t i = 0; i < n; ++i) {
        groups[i] = fullGroup(*blocks[i].band, blocks[i].begin + offset, offset);
      }
      finishFullGroups(s, groups);
      continue;
    }
    for (std::size_t i = 0; i < n; ++i) {
      if (full[i]) {
        const FullGroup group[1] = {fullGroup(*blocks[i].band, blocks[i].begin + offset, offset)};
        finishFullGroups(s, group);
      }
    }
    for (int32_t step = offset; step < offset + kGroupSteps; ++step) {
      for (std::size_t i = 0; i < n; ++i) {
        const int32_t t = blocks[i].begin + step;
        if (!full[i] && t < blocks[i].end) finishStepByLanes(s, *blocks[i].band, t, step);
      }
    }
  }
}

void finishBlock(SolverState& s, const Band& band, int32_t blockBegin, int32_t blockEnd) {
  if (band.history != nullptr) {
    const LaneBlock block[1] = {{&band, blockBegin, blockEnd}};
    finishLaneBlocks(s, block);
    return;
  }
  for (int32_t t = blockBegin; t < blockEnd; ++t) {
    finishStepByPixels(s, band, t, t - blockBegin);
  }
}

// Where a pair of bands stands in the wavefront of the driver's two sweeps (solver/README.md):
// before a block of steps runs, the pair before it must have finished kPairLag steps beyond the
// block's end; after the block, the pair announces the steps it has finished. Without a
// wavefront one member runs every pair in order, and there is nothing to wait for.
struct PairLink {
  Wavefront* wavefront;
  int32_t pair;
  mutable uint64_t seen = 0;  // the progress of pair - 1 last found
  // The first sweep's band of pair p reads the last column of pair p - 1's first band up to
  // kSkewRows (kBandColumns - 1) steps after its own, and the second sweep's down neighbour one
  // row further.
  static constexpr int32_t kPairLag = (kBandColumns - 1) * kSkewRows + 1;

  void awaitBefore(int32_t blockEnd) const {
    if (wavefront == nullptr || pair == 0) return;
    wavefront->await(pair - 1,
                     std::min<int64_t>(int64_t{blockEnd} + kPairLag, Wavefront::kAllSteps), seen);
  }
  // Waits until pair - 1 is done, its second sweep's column ends included.
  void awaitDone() const {
    if (wavefront == nullptr || pair == 0) return;
    wavefront->await(pair - 1, Wavefront::kAllSteps, seen);
  }
  void announce(int32_t steps) const {
    if (wavefront != nullptr) wavefront->publish(pair, steps);
  }
};

// One band of one sweep, announcing its progress through `link` when given: a band narrower
// than kBandColumns counts its steps as a full band whose last column is its own.
void sweepBand(SolverState& s, const Band& band, const PairLink* link = nullptr) {
  const int32_t steps = bandSteps(s, band.width);
  for (int32_t blockBegin = 0; blockBegin < steps; blockBegin += band.scratch.blockSteps) {
    const int32_t blockEnd = std::min(blockBegin + band.scratch.blockSteps, steps);
    gatherBlock(s, band, blockBegin, blockEnd, Trailing::no);
    finishBlock(s, band, blockBegin, blockEnd);
    if (link != nullptr) link->announce(blockEnd + (kBandColumns - band.width) * kSkewRows);
  }
}

// A first-sweep lane band and the second sweep's band one column to its left. The first runs
// one block ahead: each round gathers the first's next block, then the second's block (whose
// data the first has just brought into the cache), and finishes the two blocks together, their
// steps interleaved (finishLaneBlocks). The pair announces the second band's progress; the
// first's is then one block further.
void sweepBandPair(SolverState& s, const Band& first, const Band& second, const PairLink& link) {
  const int32_t steps = bandSteps(s, kBandColumns);
  const int32_t blockSteps = first.scratch.blockSteps;
  link.awaitBefore(0);
  gatherBlock(s, first, 0, std::min(blockSteps, steps), Trailing::no);
  finishBlock(s, first, 0, std::min(blockSteps, steps));
  for (int32_t blockBegin = 0; blockBegin < steps; blockBegin += blockSteps) {
    const int32_t blockEnd = std::min(blockBegin + blockSteps, steps);
    const int32_t nextEnd = std::min(blockEnd + blockSteps, steps);
    link.awaitBefore(blockEnd);
    gatherBlock(s, first, blockEnd, nextEnd, Trailing::no);
    gatherBlock(s, second, blockBegin, blockEnd, Trailing::behindFirstSweep);
    const LaneBlock blocks[2] = {{&first, blockEnd, nextEnd}, {&second, blockBegin, blockEnd}};
    finishLaneBlocks(s, blocks);
    link.announce(blockEnd);
  }
}

// ---- Schedules -------------------------------------------------------------------------------

// Gathered terms and history of one lane band in flight.
class LaneFrame {
 public:
  explicit LaneFrame(int32_t phases)
      : history_{static_cast<double*>(values_)},
        scratch_{terms_, phases, laneBlockStepsFor(phases)} {
    std::fill(values_, values_ + phases * kHistoryPhaseStride, -0.0);
  }
  LaneFrame(const LaneFrame&) = delete;
  LaneFrame& operator=(const LaneFrame&) = delete;
  Band band(Multipliers multipliers, int32_t j0, bool snapshot = false) const {
    return {scratch_, &history_, multipliers, j0, kBandColumns, snapshot};
  }
  // The gathered terms alone, for bands whose recurrence runs pixel by pixel.
  const BandScratch& scratch() const { return scratch_; }

 private:
  alignas(64) double terms_[kLaneScratchDoubles];
  alignas(64) double values_[kLaneMaxPhases * kHistoryPhaseStride];
  LaneHistory history_;
  BandScratch scratch_;
};

// Lane bands of one sweep from column j0 while they fit before column jEnd; returns the first
// column left. A function of its own, so that its frame and that of the band schedule below are
// never on the stack together.
DASKEL_NOINLINE int32_t sweepLaneBands(SolverState& s, Multipliers multipliers, int32_t j0,
                                       int32_t jEnd) {
  const LaneFrame frame(s.phases);
  for (; j0 + kBandColumns <= jEnd; j0 += kBandColumns) sweepBand(s, frame.band(multipliers, j0));
  return j0;
}

// Interior columns [j0, jEnd) in bands whose recurrence runs pixel by pixel, gathered into
// `scratch`; with `snapshot`, the first sweep's bands take the snapshot of their columns.
void sweepBandsIn(SolverState& s, const BandScratch& scratch, Multipliers multipliers, int32_t j0,
                  int32_t jEnd, bool snapshot = false) {
  if (scratch.blockSteps < kMinBlockSteps) {
    // Very many phases: the plain order, pixel by pixel.
    sweepRegion<true, true, true, true>(s, multipliers, 1, s.rows - 1, j0, jEnd);
    return;
  }
  for (; j0 < jEnd; j0 += kBandColumns) {
    const int32_t width = std::min(kBandColumns, jEnd - j0);
    sweepBand(s, Band{scratch, nullptr, multipliers, j0, width, snapshot});
  }
}

DASKEL_NOINLINE void sweepBands(SolverState& s, Multipliers multipliers, int32_t j0, int32_t jEnd) {
  double terms[kBandScratchDoubles];
  const BandScratch scratch{terms, s.phases, blockStepsFor(kBandScratchDoubles, s.phases)};
  sweepBandsIn(s, scratch, multipliers, j0, jEnd);
}

void sweepInterior(SolverState& s, Multipliers multipliers) {
  if (s.rows < 3 || s.cols < 3) return;
  int32_t j0 = 1;
  if (s.phases <= kLaneMaxPhases) j0 = sweepLaneBands(s, multipliers, j0, s.cols - 1);
  sweepBands(s, multipliers, j0, s.cols - 1);
}

// One sweep in the plain order of regions: the interior in bands, then edges and corners.
void sweepOnce(SolverState& s, Multipliers multipliers) {
  sweepInterior(s, multipliers);
  sweepEdges(s, multipliers);
  sweepCorners(s, multipliers);
}

// outerPrev = u in columns [j, j + columns), every phase.
void snapshotColumns(SolverState& s, int32_t j, int32_t columns) {
  const auto bytes =
      static_cast<std::size_t>(s.rows) * static_cast<std::size_t>(columns) * sizeof(float);
  for (int32_t k = 0; k < s.phases; ++k) {
    std::memcpy(s.outerPrev + ownedIndex(s, s.rows * j, k), s.u + labelIndex(s, s.rows * j, k),
                bytes);
  }
}

// Pair 0 of the driver's two sweeps: the first sweep's first band alone; its left column, the
// ends of the columns that the second sweep's first band reads and the two left corners, which
// read only those; that band, [1, kBandColumns), whose recurrence runs pixel by pixel.
void sweepFirstPair(SolverState& s, const LaneFrame& firstFrame, const LaneFrame& secondFrame,
                    const PairLink& link, bool snapshot) {
  if (snapshot) snapshotColumns(s, 0, 1);
  sweepBand(s, firstFrame.band(Multipliers::compute, 1, snapshot));
  sweepRegion<true, true, false, true>(s, Multipliers::compute, 1, s.rows - 1, 0, 1);
  for (int32_t j = 1; j < kBandColumns; ++j) updateColumnEnds(s, j);
  sweepLeftCorners(s, Multipliers::compute);
  const Band second{secondFrame.scratch(), nullptr, Multipliers::reuse, 1, kBandColumns - 1};
  sweepBand(s, second, &link);
}

// The second sweep's column ends that pair p updates once its bands are done: columns
// [j0 - 2, j0 + kBandColumns - 2), j0 = 1 + kBandColumns p (from column 1 for pair 0), whose
// first-sweep values nothing reads any more. Their down and up neighbours are the second sweep's
// own final values; their left neighbours the column ends of pair p - 1, which is waited for;
// their right neighbours first-sweep values, the last of which (column j0 + kBandColumns - 2)
// the second band updated when it started and ended that column. The first-sweep ends of the
// next column, which pair p + 1 updates, read that last column's first-sweep ends, which are
// left for pair p + 1 to overwrite.
void updateSecondSweepEnds(SolverState& s, const PairLink& link) {
  const int32_t j0 = 1 + kBandColumns * link.pair;
  link.awaitDone();
  for (int32_t j = std::max(1, j0 - 2); j < j0 + kBandColumns - 2; ++j) {
    updateColumnEnds(s, j, Multipliers::reuse);
  }
}

// What is left of both sweeps after the last pair, whose first band ended before column j0: the
// first sweep's last interior columns, the ends of the columns that the pairs did not reach, its
// right column and right corners; the second sweep's last interior columns, then its left and
// right columns, the ends of the columns that the pairs did not reach, and its corners.
void sweepAfterPairs(SolverState& s, const BandScratch& scratch, int32_t j0, bool snapshot) {
  const int32_t lastRow = s.rows - 1;
  const int32_t lastCol = s.cols - 1;
  if (snapshot) snapshotColumns(s, lastCol, 1);
  sweepBandsIn(s, scratch, Multipliers::compute, j0, lastCol, snapshot);
  for (int32_t j = j0 - 1; j < lastCol; ++j) updateColumnEnds(s, j);
  sweepRegion<true, true, true, false>(s, Multipliers::compute, 1, lastRow, lastCol, s.cols);
  sweepRightCorners(s, Multipliers::compute);
  sweepBandsIn(s, scratch, Multipliers::reuse, j0 - 1, lastCol);
  // The second sweep's left and right columns read neither edge row; the pairs have updated the
  // edge rows up to column j0 - 3.
  sweepRegion<true, true, false, true>(s, Multipliers::reuse, 1, lastRow, 0, 1);
  sweepRegion<true, true, true, false>(s, Multipliers::reuse, 1, lastRow, lastCol, s.cols);
  for (int32_t j = j0 - 2; j < lastCol; ++j) updateColumnEnds(s, j, Multipliers::reuse);
  sweepCorners(s, Multipliers::reuse);
}

// One member's part of the driver's two sweeps as a wavefront of pairs of bands. Pair p is the
// first sweep's lane band [1 + kBandColumns p, 1 + kBandColumns (p + 1)) with the second sweep's
// band one column to its left, which trails it block by block; member m runs pairs m,
// m + members, ... in order. Pair 0 also runs what the second sweep's first band needs before
// it, and the last pair what is left after it.
DASKEL_NOINLINE void sweepPairsAsMember(SolverState& s, Wavefront* wavefront, int32_t member,
                                        bool snapshot) {
  const int32_t pairs = bandPairs(s);
  const int32_t members = wavefront == nullptr ? 1 : wavefront->members();
  const LaneFrame firstFrame(s.phases);
  const LaneFrame secondFrame(s.phases);
  for (int32_t pair = member; pair < pairs; pair += members) {
    const PairLink link{wavefront, pair};
    const int32_t j0 = 1 + kBandColumns * pair;
    if (pair == 0) {
      sweepFirstPair(s, firstFrame, secondFrame, link, snapshot);
    } else {
      sweepBandPair(s, firstFrame.band(Multipliers::compute, j0, snapshot),
                    secondFrame.band(Multipliers::reuse, j0 - 1), link);
    }
    updateSecondSweepEnds(s, link);
    link.announce(Wavefront::kAllSteps);
    if (pair == pairs - 1) sweepAfterPairs(s, firstFrame.scratch(), j0 + kBandColumns, snapshot);
  }
}

// The driver's two sweeps, the second reusing the multipliers of the first, with the snapshot
// outerPrev = u first when asked: in pairs of bands where the grid has room for them, otherwise
// one sweep after the other on member 0.
void sweepTwice(SolverState& s, Wavefront* wavefront, int32_t member, bool snapshot) {
  if (bandPairs(s) > 0) {
    sweepPairsAsMember(s, wavefront, member, snapshot);
    return;
  }
  if (member != 0) return;
  if (snapshot) snapshotColumns(s, 0, s.cols);
  sweepOnce(s, Multipliers::compute);
  sweepOnce(s, Multipliers::reuse);
}

}  // namespace

template <>
void sweepLabelsAt<lanes::kLevel>(SolverState& state, Multipliers multipliers) {
  sweepOnce(state, multipliers);
}

template <>
void sweepLabelsTwiceAt<lanes::kLevel>(SolverState& state) {
  sweepTwice(state, nullptr, 0, false);
}

template <>
void sweepIterationAt<lanes::kLevel>(SolverState& state, Wavefront* wavefront, int32_t member) {
  sweepTwice(state, wavefront, member, true);
}

}  // namespace daskel::detail
DASKEL_LANES_END

#endif  // DASKEL_LEVEL_BUILT
