// Shrinkage and Bregman update: the d subproblem of split Bregman and the update of b.
//
// For each phase and pixel, the forward gradient of u shifted by (bx, by) is soft-thresholded as
// a two-vector (isotropic total variation) into (dx, dy); what the shrinkage removed is added to
// (bx, by). Every element depends only on itself and on u, which the pass does not change, so
// the result does not depend on the visiting order: the pass runs in index order, a column of
// one phase at a time (its last row and the last column without the missing difference), as many
// rows at once as the lanes of this file's level hold (solver/lanes.hpp). The driver's variant
// also accumulates the change measure, in index order, interleaved with the shrinkage.
#include <cstddef>
#include <cstdint>

#include "solver/approx_sqrt.hpp"
#include "solver/kernels.hpp"
#include "solver/lanes.hpp"
#include "solver/solver.hpp"

#if defined(DASKEL_LEVEL_BUILT)

DASKEL_LANES_BEGIN
namespace daskel::detail {
namespace {

using lanes::Floats;
using lanes::ScalarFloats;

// The arrays of one phase, each indexed as u is: the owned volumes' pointers are moved by the
// phase's share of their padding (solver/solver.hpp).
struct ShrinkArrays {
  const float* u;
  float* dx;
  float* dy;
  float* bx;
  float* by;
  const float* outerPrev;
  int32_t rows;
  float threshold2;
  float threshold;  // approxSqrt(threshold2)
};

ShrinkArrays arraysOfPhase(const SolverState& s, int32_t k, float threshold) {
  const std::ptrdiff_t padding =
      static_cast<std::ptrdiff_t>(s.phaseStride - s.sliceSize) * static_cast<std::ptrdiff_t>(k);
  return {
      s.u,    s.dx + padding, s.dy + padding, s.bx + padding, s.by + padding, s.outerPrev + padding,
      s.rows, s.threshold2,   threshold};
}

// The elements q .. q + F::kWidth - 1 of one column; forward differences beyond the last column
// or row are zero.
template <class F, bool hasRight, bool hasDown>
void shrinkElements(const ShrinkArrays& a, int32_t q) {
  const F zero = F::set(0.0f);
  const F here = F::load(a.u + q);
  F gx = zero;
  F gy = zero;
  if constexpr (hasRight) gx = F::load(a.u + q + a.rows) - here;
  if constexpr (hasDown) gy = F::load(a.u + q + 1) - here;
  const F bx = F::load(a.bx + q);
  const F by = F::load(a.by + q);
  const F vx = bx + gx;
  const F vy = by + gy;
  const F lengthSquared = vx * vx + vy * vy;
  // Below the threshold the vector shrinks to zero, and so does a zero vector when the threshold
  // is zero, where the factor would be 0/0. Such lanes take the root too, and drop it, unless
  // every lane does.
  const typename F::Mask keepZero =
      (lengthSquared < F::set(a.threshold2)) | (lengthSquared == zero);
  F dx = zero;
  F dy = zero;
  if (!keepZero.all()) {
    const F length = approxSqrt(lengthSquared);
    const F factor = (length - F::set(a.threshold)) / length;
    dx = select(keepZero, zero, vx * factor);
    dy = select(keepZero, zero, vy * factor);
  }
  dx.store(a.dx + q);
  dy.store(a.dy + q);
  (bx + (gx - dx)).store(a.bx + q);
  (by + (gy - dy)).store(a.by + q);
}

// Adds the lanes of `terms` to `sum`, lane 0 first.
template <class D>
double addInOrder(double sum, D terms) {
  for (int lane = 0; lane < D::kWidth; ++lane) sum = sum + terms.lane(lane);
  return sum;
}

// The sums of the change measure, continued over elements in index order.
template <Measure measure>
struct MeasureSums {
  static constexpr bool kPrevious = measure == Measure::all;
  double previousSquares;
  double currentSquares;
  double changeSquares;
  explicit MeasureSums(const ChangeSums& from)
      : previousSquares(from.previousSquares),
        currentSquares(from.currentSquares),
        changeSquares(from.changeSquares) {}
  ChangeSums sums() const { return {previousSquares, currentSquares, changeSquares}; }
  // The elements of one float lane group from e on: the products in the double lanes of the same
  // level, then the additions one element at a time.
  template <class F>
  void add(const float* outerPrev, const float* u, int32_t e) {
    using D = typename F::Doubles;
    static_assert(F::kWidth % D::kWidth == 0, "a float lane group is whole double lane groups");
    for (int32_t h = 0; h < F::kWidth; h += D::kWidth) {
      const D o = D::widen(outerPrev + e + h);
      const D v = D::widen(u + e + h);
      const D diff = v - o;
      if constexpr (kPrevious) previousSquares = addInOrder(previousSquares, o * o);
      currentSquares = addInOrder(currentSquares, v * v);
      changeSquares = addInOrder(changeSquares, diff * diff);
    }
  }
};

// One column of one phase, from element `top` down: rows 0 .. M-2, then the last row. With a
// measure, each group of elements also enters the change sums right after its shrinkage. The
// sums are serial chains of additions, one step per element in index order; interleaving them
// with the independent shrinkage arithmetic lets the processor overlap the two, where a
// separate pass would wait on the chains alone.
template <bool hasRight, Measure measure>
void shrinkColumn(const ShrinkArrays& a, int32_t top, MeasureSums<measure>& sums) {
  constexpr bool kMeasure = measure != Measure::none;
  const int32_t lastRow = top + a.rows - 1;
  int32_t q = top;
  for (; q + Floats::kWidth <= lastRow; q += Floats::kWidth) {
    shrinkElements<Floats, hasRight, true>(a, q);
    if constexpr (kMeasure) sums.template add<Floats>(a.outerPrev, a.u, q);
  }
  for (; q < lastRow; ++q) {
    shrinkElements<ScalarFloats, hasRight, true>(a, q);
    if constexpr (kMeasure) sums.template add<ScalarFloats>(a.outerPrev, a.u, q);
  }
  shrinkElements<ScalarFloats, hasRight, false>(a, lastRow);
  if constexpr (kMeasure) sums.template add<ScalarFloats>(a.outerPrev, a.u, lastRow);
}

// One column of one phase added to the change sums alone, in index order.
template <Measure measure>
void measureColumn(const float* outerPrev, const float* u, int32_t top, int32_t rows,
                   MeasureSums<measure>& sums) {
  const int32_t end = top + rows;
  int32_t e = top;
  for (; e + Floats::kWidth <= end; e += Floats::kWidth) sums.template add<Floats>(outerPrev, u, e);
  for (; e < end; ++e) sums.template add<ScalarFloats>(outerPrev, u, e);
}

// Columns [begin, end) counted over the phases, in index order.
template <Measure measure>
ChangeSums shrinkColumns(SolverState& s, Shrink shrink, int32_t begin, int32_t end,
                         const ChangeSums& from) {
  const float threshold = approxSqrt(ScalarFloats{s.threshold2}).value;
  MeasureSums<measure> sums(from);
  const int32_t lastCol = s.cols - 1;
  for (int32_t column = begin; column < end; ++column) {
    const int32_t j = column % s.cols;
    const int32_t k = column / s.cols;
    const ShrinkArrays a = arraysOfPhase(s, k, threshold);
    const int32_t top = s.rows * j + s.sliceSize * k;
    if (shrink == Shrink::no) {
      if constexpr (measure != Measure::none) measureColumn(a.outerPrev, s.u, top, s.rows, sums);
    } else if (j < lastCol) {
      shrinkColumn<true, measure>(a, top, sums);
    } else {
      shrinkColumn<false, measure>(a, top, sums);
    }
  }
  return sums.sums();
}

}  // namespace

template <>
ChangeSums shrinkColumnsAt<lanes::kLevel>(SolverState& state, Shrink shrink, Measure measure,
                                          int32_t begin, int32_t end, ChangeSums sums) {
  switch (measure) {
    case Measure::all:
      return shrinkColumns<Measure::all>(state, shrink, begin, end, sums);
    case Measure::withoutPrevious:
      return shrinkColumns<Measure::withoutPrevious>(state, shrink, begin, end, sums);
    case Measure::none:
      break;
  }
  return shrinkColumns<Measure::none>(state, shrink, begin, end, sums);
}

template <>
ChangeSums shrinkPassAt<lanes::kLevel>(SolverState& state, Measure measure) {
  return shrinkColumnsAt<lanes::kLevel>(state, Shrink::yes, measure, 0, state.phases * state.cols,
                                        ChangeSums{});
}

}  // namespace daskel::detail
DASKEL_LANES_END

#endif  // DASKEL_LEVEL_BUILT
