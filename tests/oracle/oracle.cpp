// The straightforward kernels: approximate root, labelling sweep, shrinkage and the driver loop,
// exactly as first written for the solver library. Do not optimise; see oracle.hpp.
#include "tests/oracle/oracle.hpp"

#include <cmath>
#include <cstdlib>
#include <cstring>

namespace daskel::oracle {

// Reciprocal square root estimated from the bit pattern, refined by two Newton-Raphson steps
// y <- y (1.5 - (x/2) y^2), then multiplied by x.
float approxSqrt(float x) {
  int32_t bits = 0;
  std::memcpy(&bits, &x, sizeof bits);
  const uint32_t estimateBits = 0x5f3759dfU - static_cast<uint32_t>(bits >> 1);
  float y = 0.0f;
  std::memcpy(&y, &estimateBits, sizeof y);
  const float half = 0.5f * x;
  y = y * (1.5f - (half * y) * y);
  y = y * (1.5f - (half * y) * y);
  return y * x;
}

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
    const float length = approxSqrt(lengthSquared);
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
  const float threshold = approxSqrt(state.threshold2);
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

namespace {

constexpr int32_t kMaxOuterIterations = 5;
constexpr float kStopTolerance = 1e-6f;

bool hasAllBuffers(const SolverState& s) {
  return s.costs != nullptr && s.u != nullptr && s.dx != nullptr && s.dy != nullptr &&
         s.bx != nullptr && s.by != nullptr && s.outerPrev != nullptr && s.multiplier != nullptr;
}

void snapshotLabels(SolverState& s) {
  for (int32_t e = 0; e < s.volumeSize; ++e) s.outerPrev[e] = s.u[e];
}

// Squared change relative to the product of the two sums of squares, accumulated in one pass.
float changeMeasure(const SolverState& s) {
  double previousSquares = 0.0;
  double currentSquares = 0.0;
  double changeSquares = 0.0;
  for (int32_t e = 0; e < s.volumeSize; ++e) {
    const double o = s.outerPrev[e];
    const double v = s.u[e];
    previousSquares = previousSquares + o * o;
    currentSquares = currentSquares + v * v;
    const double diff = v - o;
    changeSquares = changeSquares + diff * diff;
  }
  return static_cast<float>(changeSquares / (previousSquares * currentSquares));
}

}  // namespace

int32_t runSolver(SolverState& state) {
  if (!hasAllBuffers(state)) return 0;
  float measure = 1e11f;
  float previousMeasure = 1e10f;
  int32_t outerIteration = 0;
  for (;;) {
    // Go on only while the measure still moves; a NaN difference stops the loop too.
    const double d = std::fabs(static_cast<double>(measure) - static_cast<double>(previousMeasure));
    if (!(d > static_cast<double>(kStopTolerance))) break;
    if (outerIteration >= kMaxOuterIterations) break;

    snapshotLabels(state);
    oracle::labelSweep(state);
    oracle::labelSweep(state);
    oracle::shrinkUpdate(state);

    ++outerIteration;
    previousMeasure = measure;
    measure = changeMeasure(state);
  }
  return outerIteration;
}

BufferSource callocBuffers() {
  BufferSource source;
  source.obtain = [](std::size_t count, std::size_t size, void*) {
    return std::calloc(count, size);
  };
  source.release = [](void* buffer, void*) { std::free(buffer); };
  return source;
}

}  // namespace daskel::oracle
