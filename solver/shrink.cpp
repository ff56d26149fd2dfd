// Shrinkage and Bregman update: the d subproblem of split Bregman and the update of b.
//
// For each phase and pixel, the forward gradient of u shifted by (bx, by) is soft-thresholded as
// a two-vector (isotropic total variation) into (dx, dy); what the shrinkage removed is added to
// (bx, by). Every element depends only on itself and on u, which the pass does not change.
#include "solver/approx_sqrt.hpp"
#include "solver/solver.hpp"

namespace daskel {

float approxSqrt(float x) {
  return detail::approxSqrtInline(x);
}

namespace {

// One element; forward differences beyond the last column or row are zero.
template <bool hasRight, bool hasDown>
void shrinkElement(SolverState& s, int32_t q, float threshold) {
  const float* u = s.u;
  const float gx = hasRight ? u[q + s.rows] - u[q] : 0.0f;
  const float gy = hasDown ? u[q + 1] - u[q] : 0.0f;
  const float vx = s.bx[q] + gx;
  const float vy = s.by[q] + gy;
  const float lengthSquared = vx * vx + vy * vy;

  float dx = 0.0f;
  float dy = 0.0f;
  // Below the threshold the vector shrinks to zero, and so does a zero vector when the
  // threshold is zero, where the factor would be 0/0.
  if (!(lengthSquared < s.threshold2) && lengthSquared != 0.0f) {
    const float length = detail::approxSqrtInline(lengthSquared);
    const float factor = (length - threshold) / length;
    dx = vx * factor;
    dy = vy * factor;
  }
  s.dx[q] = dx;
  s.dy[q] = dy;
  s.bx[q] = s.bx[q] + (gx - dx);
  s.by[q] = s.by[q] + (gy - dy);
}

// Rows [rowBegin, rowEnd) of columns [colBegin, colEnd) in every phase, phase outermost.
template <bool hasRight, bool hasDown>
void shrinkRegion(SolverState& s, float threshold, int32_t rowBegin, int32_t rowEnd,
                  int32_t colBegin, int32_t colEnd) {
  for (int32_t k = 0; k < s.phases; ++k) {
    for (int32_t j = colBegin; j < colEnd; ++j) {
      for (int32_t i = rowBegin; i < rowEnd; ++i) {
        shrinkElement<hasRight, hasDown>(s, i + s.rows * j + s.sliceSize * k, threshold);
      }
    }
  }
}

}  // namespace

void shrinkUpdate(SolverState& state) {
  if (state.u == nullptr || state.dx == nullptr || state.dy == nullptr || state.bx == nullptr ||
      state.by == nullptr) {
    return;
  }
  const float threshold = detail::approxSqrtInline(state.threshold2);
  const int32_t lastRow = state.rows - 1;
  const int32_t lastCol = state.cols - 1;
  const int32_t rows = state.rows;
  const int32_t cols = state.cols;
  //          right  down                 rows               columns
  shrinkRegion<true, true>(state, threshold, 0, lastRow, 0, lastCol);          // all with both
  shrinkRegion<false, true>(state, threshold, 1, lastRow, lastCol, cols);      // last column
  shrinkRegion<true, false>(state, threshold, lastRow, rows, 1, lastCol);      // last row
  shrinkRegion<false, true>(state, threshold, 0, 1, lastCol, cols);            // pixel (0, N-1)
  shrinkRegion<true, false>(state, threshold, lastRow, rows, 0, 1);            // pixel (M-1, 0)
  shrinkRegion<false, false>(state, threshold, lastRow, rows, lastCol, cols);  // (M-1, N-1)
}

}  // namespace daskel
