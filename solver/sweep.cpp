// Labelling sweep: one Gauss-Seidel pass of the u subproblem of split Bregman.
//
// Each value is the mean of its in-grid neighbours in the same phase, corrected by the split and
// Bregman terms, its cost and a per-pixel multiplier that couples the phases; it is then clamped
// to [0, 1], and a pixel whose values no longer sum to one is rescaled. u is rewritten in place,
// so a pixel sees the new values of every pixel visited before it.
//
// The grid is covered by nine regions (interior, four edges, four corners) visited in a fixed
// order. One per-pixel rule, parameterised at compile time by which neighbours exist, serves all
// of them, so no inner loop tests a pixel's position.
#include "solver/solver.hpp"

namespace daskel {
namespace {

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

// The multiplier makes a pixel's unclamped values sum to the mean of its neighbours' sums: it is
// the phase mean of penalty * (X + Y) - cost. It never reads u.
template <bool hasUp, bool hasLeft>
void computeMultiplier(SolverState& s, int32_t p) {
  const double penalty = s.penalty;
  double acc = 0.0;
  for (int32_t k = 0; k < s.phases; ++k) {
    const int32_t q = p + s.sliceSize * k;
    acc = acc + ((penalty * xTerm<hasLeft>(s, q) + penalty * yTerm<hasUp>(s, q)) -
                 static_cast<double>(s.costs[q]));
  }
  s.multiplier[p] = static_cast<float>(acc / static_cast<double>(s.phases));
}

// Running sums below this are made of values that the float store has rounded to few bits.
constexpr double kSmallestNormalFloat = 0x1p-126;

// Sum of a pixel's stored values, in ascending phase order.
double storedSum(const SolverState& s, int32_t p) {
  double sum = 0.0;
  for (int32_t k = 0; k < s.phases; ++k) sum = sum + static_cast<double>(s.u[p + s.sliceSize * k]);
  return sum;
}

// Rescales a pixel whose clamped values stray from summing to one. A pixel with no support at
// all (every value clamped to 0) becomes the uniform labelling.
//
// The stored values are divided by the running sum of the unrounded ones. When that sum lies
// below the normal floats, the stored values are subnormal or zero and no longer match the
// values that were summed (a value can round to zero, or up by a large fraction of itself), so
// the quotients could sum to zero or exceed one; such a pixel is rescaled by the sum of its
// stored values instead.
void normalisePixel(SolverState& s, int32_t p, double sum) {
  const double d = sum - 1.0;
  if (!(d > 1e-6 || d < -1e-6)) return;
  if (sum < kSmallestNormalFloat) sum = storedSum(s, p);
  for (int32_t k = 0; k < s.phases; ++k) {
    const int32_t q = p + s.sliceSize * k;
    if (sum != 0.0) {
      s.u[q] = static_cast<float>(static_cast<double>(s.u[q]) / sum);
    } else {
      s.u[q] = static_cast<float>(1.0 / static_cast<double>(s.phases));
    }
  }
}

template <bool hasUp, bool hasDown, bool hasLeft, bool hasRight>
void updatePixel(SolverState& s, int32_t p) {
  constexpr int neighbours = hasUp + hasDown + hasLeft + hasRight;
  static_assert(neighbours >= 2, "every pixel of a grid of at least 2 x 2 has two neighbours");
  const double coefficient = neighbours == 4   ? 0.25
                             : neighbours == 3 ? static_cast<double>(1.0f / 3.0f)
                                               : 0.5;
  const double weight = neighbours == 4   ? s.inv4Penalty
                        : neighbours == 3 ? s.inv3Penalty
                                          : s.inv2Penalty;
  const double multiplier = s.multiplier[p];
  float* u = s.u;

  double sum = 0.0;
  for (int32_t k = 0; k < s.phases; ++k) {
    const int32_t q = p + s.sliceSize * k;
    // Stencil sum; the up neighbour comes last, it is the value written just before.
    double stencil = xTerm<hasLeft>(s, q) + yTerm<hasUp>(s, q);
    if constexpr (hasRight) stencil = stencil + static_cast<double>(u[q + s.rows]);
    if constexpr (hasDown) stencil = stencil + static_cast<double>(u[q + 1]);
    if constexpr (hasLeft) stencil = stencil + static_cast<double>(u[q - s.rows]);
    if constexpr (hasUp) stencil = stencil + static_cast<double>(u[q - 1]);

    double value = coefficient * stencil - (multiplier + static_cast<double>(s.costs[q])) * weight;
    if (value > 1.0) {
      value = 1.0;
    } else if (value < 0.0) {
      value = 0.0;
    }
    sum = sum + value;
    u[q] = static_cast<float>(value);
  }
  normalisePixel(s, p, sum);
}

// One region: rows [rowBegin, rowEnd) of columns [colBegin, colEnd), column by column. The
// multipliers of the whole region come first, then the pixel updates in visiting order.
template <bool hasUp, bool hasDown, bool hasLeft, bool hasRight>
void sweepRegion(SolverState& s, int32_t rowBegin, int32_t rowEnd, int32_t colBegin,
                 int32_t colEnd) {
  for (int32_t j = colBegin; j < colEnd; ++j) {
    for (int32_t i = rowBegin; i < rowEnd; ++i) {
      computeMultiplier<hasUp, hasLeft>(s, i + s.rows * j);
    }
  }
  for (int32_t j = colBegin; j < colEnd; ++j) {
    for (int32_t i = rowBegin; i < rowEnd; ++i) {
      updatePixel<hasUp, hasDown, hasLeft, hasRight>(s, i + s.rows * j);
    }
  }
}

}  // namespace

void labelSweep(SolverState& state) {
  if (state.u == nullptr || state.multiplier == nullptr) return;
  const int32_t lastRow = state.rows - 1;
  const int32_t lastCol = state.cols - 1;
  //           up     down   left   right     rows                  columns
  sweepRegion<true, true, true, true>(state, 1, lastRow, 1, lastCol);            // interior
  sweepRegion<true, true, false, true>(state, 1, lastRow, 0, 1);                 // left column
  sweepRegion<true, true, true, false>(state, 1, lastRow, lastCol, state.cols);  // right column
  sweepRegion<false, true, true, true>(state, 0, 1, 1, lastCol);                 // top row
  sweepRegion<true, false, true, true>(state, lastRow, state.rows, 1, lastCol);  // bottom row
  sweepRegion<false, true, false, true>(state, 0, 1, 0, 1);                      // corner (0, 0)
  sweepRegion<false, true, true, false>(state, 0, 1, lastCol, state.cols);       // corner (0, N-1)
  sweepRegion<true, false, false, true>(state, lastRow, state.rows, 0, 1);       // corner (M-1, 0)
  sweepRegion<true, false, true, false>(state, lastRow, state.rows, lastCol, state.cols);
}

}  // namespace daskel
