// Shrinkage and Bregman update: the d subproblem of split Bregman and the update of b.
//
// For each phase and pixel, the forward gradient of u shifted by (bx, by) is soft-thresholded as
// a two-vector (isotropic total variation) into (dx, dy); what the shrinkage removed is added to
// (bx, by). Every element depends only on itself and on u, which the pass does not change, so
// the result does not depend on the visiting order: the pass runs in index order, a column of
// one phase at a time (its last row and the last column without the missing difference), four
// rows at once with SSE2 where there is SSE2. The four lanes perform exactly the scalar
// operations, so either path gives the same bits. The driver's variant also accumulates the
// change measure, in index order, interleaved with the shrinkage of the same elements.
#include "solver/simd.hpp"

#if defined(DASKEL_SSE2)
#include <emmintrin.h>
#endif
#if defined(DASKEL_AVX2_DISPATCH)
#include <immintrin.h>
#endif

#include "solver/approx_sqrt.hpp"
#include "solver/kernels.hpp"
#include "solver/solver.hpp"

namespace daskel {

float approxSqrt(float x) {
  return detail::approxSqrtInline(x);
}

namespace {

struct ShrinkArrays {
  const float* u;
  float* dx;
  float* dy;
  float* bx;
  float* by;
  int32_t rows;
  float threshold2;
  float threshold;  // approxSqrt(threshold2)
};

// One element; forward differences beyond the last column or row are zero.
template <bool hasRight, bool hasDown>
void shrinkElement(const ShrinkArrays& a, int32_t q) {
  const float gx = hasRight ? a.u[q + a.rows] - a.u[q] : 0.0f;
  const float gy = hasDown ? a.u[q + 1] - a.u[q] : 0.0f;
  const float vx = a.bx[q] + gx;
  const float vy = a.by[q] + gy;
  const float lengthSquared = vx * vx + vy * vy;

  float dx = 0.0f;
  float dy = 0.0f;
  // Below the threshold the vector shrinks to zero, and so does a zero vector when the
  // threshold is zero, where the factor would be 0/0.
  if (!(lengthSquared < a.threshold2) && lengthSquared != 0.0f) {
    const float length = detail::approxSqrtInline(lengthSquared);
    const float factor = (length - a.threshold) / length;
    dx = vx * factor;
    dy = vy * factor;
  }
  a.dx[q] = dx;
  a.dy[q] = dy;
  a.bx[q] = a.bx[q] + (gx - dx);
  a.by[q] = a.by[q] + (gy - dy);
}

#if defined(DASKEL_SSE2)
// approxSqrtInline on four lanes: the same integer estimate and Newton-Raphson steps.
__m128 approxSqrt4(__m128 x) {
  const __m128i estimate =
      _mm_sub_epi32(_mm_set1_epi32(0x5f3759df), _mm_srai_epi32(_mm_castps_si128(x), 1));
  __m128 y = _mm_castsi128_ps(estimate);
  const __m128 half = _mm_mul_ps(_mm_set1_ps(0.5f), x);
  const __m128 threeHalves = _mm_set1_ps(1.5f);
  y = _mm_mul_ps(y, _mm_sub_ps(threeHalves, _mm_mul_ps(_mm_mul_ps(half, y), y)));
  y = _mm_mul_ps(y, _mm_sub_ps(threeHalves, _mm_mul_ps(_mm_mul_ps(half, y), y)));
  return _mm_mul_ps(y, x);
}

// shrinkElement<hasRight, true> on elements q .. q + 3. Lanes whose vector is below the
// threshold or zero take the root too, and its result is then replaced by +0.
template <bool hasRight>
void shrinkFour(const ShrinkArrays& a, int32_t q) {
  const __m128 zero = _mm_setzero_ps();
  const __m128 here = _mm_loadu_ps(a.u + q);
  const __m128 gx = hasRight ? _mm_sub_ps(_mm_loadu_ps(a.u + q + a.rows), here) : zero;
  const __m128 gy = _mm_sub_ps(_mm_loadu_ps(a.u + q + 1), here);
  const __m128 bx = _mm_loadu_ps(a.bx + q);
  const __m128 by = _mm_loadu_ps(a.by + q);
  const __m128 vx = _mm_add_ps(bx, gx);
  const __m128 vy = _mm_add_ps(by, gy);
  const __m128 lengthSquared = _mm_add_ps(_mm_mul_ps(vx, vx), _mm_mul_ps(vy, vy));
  const __m128 keepZero = _mm_or_ps(_mm_cmplt_ps(lengthSquared, _mm_set1_ps(a.threshold2)),
                                    _mm_cmpeq_ps(lengthSquared, zero));
  const __m128 length = approxSqrt4(lengthSquared);
  const __m128 factor = _mm_div_ps(_mm_sub_ps(length, _mm_set1_ps(a.threshold)), length);
  const __m128 dx = _mm_andnot_ps(keepZero, _mm_mul_ps(vx, factor));
  const __m128 dy = _mm_andnot_ps(keepZero, _mm_mul_ps(vy, factor));
  _mm_storeu_ps(a.dx + q, dx);
  _mm_storeu_ps(a.dy + q, dy);
  _mm_storeu_ps(a.bx + q, _mm_add_ps(bx, _mm_sub_ps(gx, dx)));
  _mm_storeu_ps(a.by + q, _mm_add_ps(by, _mm_sub_ps(gy, dy)));
}
#endif

#if defined(DASKEL_AVX2_DISPATCH)
// approxSqrt4 on eight lanes.
DASKEL_TARGET_AVX2 __m256 approxSqrt8(__m256 x) {
  const __m256i estimate =
      _mm256_sub_epi32(_mm256_set1_epi32(0x5f3759df), _mm256_srai_epi32(_mm256_castps_si256(x), 1));
  __m256 y = _mm256_castsi256_ps(estimate);
  const __m256 half = _mm256_mul_ps(_mm256_set1_ps(0.5f), x);
  const __m256 threeHalves = _mm256_set1_ps(1.5f);
  y = _mm256_mul_ps(y, _mm256_sub_ps(threeHalves, _mm256_mul_ps(_mm256_mul_ps(half, y), y)));
  y = _mm256_mul_ps(y, _mm256_sub_ps(threeHalves, _mm256_mul_ps(_mm256_mul_ps(half, y), y)));
  return _mm256_mul_ps(y, x);
}

// shrinkFour on elements q .. q + 7.
template <bool hasRight>
DASKEL_TARGET_AVX2 void shrinkEight(const ShrinkArrays& a, int32_t q) {
  const __m256 zero = _mm256_setzero_ps();
  const __m256 here = _mm256_loadu_ps(a.u + q);
  const __m256 gx = hasRight ? _mm256_sub_ps(_mm256_loadu_ps(a.u + q + a.rows), here) : zero;
  const __m256 gy = _mm256_sub_ps(_mm256_loadu_ps(a.u + q + 1), here);
  const __m256 bx = _mm256_loadu_ps(a.bx + q);
  const __m256 by = _mm256_loadu_ps(a.by + q);
  const __m256 vx = _mm256_add_ps(bx, gx);
  const __m256 vy = _mm256_add_ps(by, gy);
  const __m256 lengthSquared = _mm256_add_ps(_mm256_mul_ps(vx, vx), _mm256_mul_ps(vy, vy));
  const __m256 keepZero =
      _mm256_or_ps(_mm256_cmp_ps(lengthSquared, _mm256_set1_ps(a.threshold2), _CMP_LT_OQ),
                   _mm256_cmp_ps(lengthSquared, zero, _CMP_EQ_OQ));
  const __m256 length = approxSqrt8(lengthSquared);
  const __m256 factor = _mm256_div_ps(_mm256_sub_ps(length, _mm256_set1_ps(a.threshold)), length);
  const __m256 dx = _mm256_andnot_ps(keepZero, _mm256_mul_ps(vx, factor));
  const __m256 dy = _mm256_andnot_ps(keepZero, _mm256_mul_ps(vy, factor));
  _mm256_storeu_ps(a.dx + q, dx);
  _mm256_storeu_ps(a.dy + q, dy);
  _mm256_storeu_ps(a.bx + q, _mm256_add_ps(bx, _mm256_sub_ps(gx, dx)));
  _mm256_storeu_ps(a.by + q, _mm256_add_ps(by, _mm256_sub_ps(gy, dy)));
}

// Adds the four lanes of `terms` to `sum`, lane 0 first.
DASKEL_TARGET_AVX2 inline double addInOrder(double sum, __m256d terms) {
  const __m128d low = _mm256_castpd256_pd128(terms);
  const __m128d high = _mm256_extractf128_pd(terms, 1);
  sum = sum + _mm_cvtsd_f64(low);
  sum = sum + _mm_cvtsd_f64(_mm_unpackhi_pd(low, low));
  sum = sum + _mm_cvtsd_f64(high);
  return sum + _mm_cvtsd_f64(_mm_unpackhi_pd(high, high));
}
#endif

// Which sums of the change measure a pass forms besides the shrinkage.
enum class Measure {
  none,
  all,
  withoutPrevious,  // the sum of outerPrev^2 is known from the pass before
};

// The sums of the change measure, continued over elements in index order.
template <Measure measure>
struct MeasureSums {
  static constexpr bool kPrevious = measure == Measure::all;
  double previousSquares = 0.0;
  double currentSquares = 0.0;
  double changeSquares = 0.0;
  void add(const float* outerPrev, const float* u, int32_t e) {
    const double o = outerPrev[e];
    const double v = u[e];
    if constexpr (kPrevious) previousSquares = previousSquares + o * o;
    currentSquares = currentSquares + v * v;
    const double diff = v - o;
    changeSquares = changeSquares + diff * diff;
  }
#if defined(DASKEL_SSE2)
  // Elements e .. e + 3: the products two at a time, then the additions one by one in order.
  void addFour(const float* outerPrev, const float* u, int32_t e) {
    const __m128 o4 = _mm_loadu_ps(outerPrev + e);
    const __m128 v4 = _mm_loadu_ps(u + e);
    addTwo(_mm_cvtps_pd(o4), _mm_cvtps_pd(v4));
    addTwo(_mm_cvtps_pd(_mm_movehl_ps(o4, o4)), _mm_cvtps_pd(_mm_movehl_ps(v4, v4)));
  }
  void addTwo(__m128d o, __m128d v) {
    const __m128d diff = _mm_sub_pd(v, o);
    const __m128d vv = _mm_mul_pd(v, v);
    const __m128d dd = _mm_mul_pd(diff, diff);
    if constexpr (kPrevious) {
      const __m128d oo = _mm_mul_pd(o, o);
      previousSquares = previousSquares + _mm_cvtsd_f64(oo);
      previousSquares = previousSquares + _mm_cvtsd_f64(_mm_unpackhi_pd(oo, oo));
    }
    currentSquares = currentSquares + _mm_cvtsd_f64(vv);
    currentSquares = currentSquares + _mm_cvtsd_f64(_mm_unpackhi_pd(vv, vv));
    changeSquares = changeSquares + _mm_cvtsd_f64(dd);
    changeSquares = changeSquares + _mm_cvtsd_f64(_mm_unpackhi_pd(dd, dd));
  }
#endif
#if defined(DASKEL_AVX2_DISPATCH)
  // Elements e .. e + 7: the products four at a time, then the additions one by one in order.
  DASKEL_TARGET_AVX2 void addEight(const float* outerPrev, const float* u, int32_t e) {
    for (int32_t half = 0; half < 8; half += 4) {
      const __m256d o = _mm256_cvtps_pd(_mm_loadu_ps(outerPrev + e + half));
      const __m256d v = _mm256_cvtps_pd(_mm_loadu_ps(u + e + half));
      const __m256d diff = _mm256_sub_pd(v, o);
      if constexpr (kPrevious) previousSquares = addInOrder(previousSquares, _mm256_mul_pd(o, o));
      currentSquares = addInOrder(currentSquares, _mm256_mul_pd(v, v));
      changeSquares = addInOrder(changeSquares, _mm256_mul_pd(diff, diff));
    }
  }
#endif
};

// One column of one phase, from element `top` down: rows 0 .. M-2, then the last row. With a
// measure, each group of elements also enters the change sums right after its shrinkage. The
// sums are serial chains of additions, one step per element in index order; interleaving them
// with the independent shrinkage arithmetic lets the processor overlap the two, where a
// separate pass would wait on the chains alone.
template <bool hasRight, Measure measure>
void shrinkColumn(const ShrinkArrays& a, int32_t top, const float* outerPrev,
                  MeasureSums<measure>& sums) {
  constexpr bool kMeasure = measure != Measure::none;
  const int32_t lastRow = top + a.rows - 1;
  int32_t q = top;
#if defined(DASKEL_SSE2)
  for (; q + 4 <= lastRow; q += 4) {
    shrinkFour<hasRight>(a, q);
    if constexpr (kMeasure) sums.addFour(outerPrev, a.u, q);
  }
#endif
  for (; q < lastRow; ++q) {
    shrinkElement<hasRight, true>(a, q);
    if constexpr (kMeasure) sums.add(outerPrev, a.u, q);
  }
  shrinkElement<hasRight, false>(a, lastRow);
  if constexpr (kMeasure) sums.add(outerPrev, a.u, lastRow);
}

#if defined(DASKEL_AVX2_DISPATCH)
// shrinkColumn, eight rows at a time where the column has them.
template <bool hasRight, Measure measure>
DASKEL_TARGET_AVX2 void shrinkColumnWide(const ShrinkArrays& a, int32_t top, const float* outerPrev,
                                         MeasureSums<measure>& sums) {
  constexpr bool kMeasure = measure != Measure::none;
  const int32_t lastRow = top + a.rows - 1;
  int32_t q = top;
  for (; q + 8 <= lastRow; q += 8) {
    shrinkEight<hasRight>(a, q);
    if constexpr (kMeasure) sums.addEight(outerPrev, a.u, q);
  }
  for (; q < lastRow; ++q) {
    shrinkElement<hasRight, true>(a, q);
    if constexpr (kMeasure) sums.add(outerPrev, a.u, q);
  }
  shrinkElement<hasRight, false>(a, lastRow);
  if constexpr (kMeasure) sums.add(outerPrev, a.u, lastRow);
}
#endif

template <Measure measure>
detail::ChangeSums shrinkPass(SolverState& s) {
  const ShrinkArrays a{s.u,  s.dx,   s.dy,         s.bx,
                       s.by, s.rows, s.threshold2, detail::approxSqrtInline(s.threshold2)};
  MeasureSums<measure> sums;
  const int32_t lastCol = s.cols - 1;
#if defined(DASKEL_AVX2_DISPATCH)
  const bool wide = detail::avx2Available();
#endif
  for (int32_t k = 0; k < s.phases; ++k) {
    for (int32_t j = 0; j < s.cols; ++j) {
      const int32_t top = s.rows * j + s.sliceSize * k;
#if defined(DASKEL_AVX2_DISPATCH)
      if (wide) {
        if (j < lastCol) {
          shrinkColumnWide<true, measure>(a, top, s.outerPrev, sums);
        } else {
          shrinkColumnWide<false, measure>(a, top, s.outerPrev, sums);
        }
        continue;
      }
#endif
      if (j < lastCol) {
        shrinkColumn<true, measure>(a, top, s.outerPrev, sums);
      } else {
        shrinkColumn<false, measure>(a, top, s.outerPrev, sums);
      }
    }
  }
  return {sums.previousSquares, sums.currentSquares, sums.changeSquares};
}

}  // namespace

namespace detail {

ChangeSums shrinkAndMeasure(SolverState& state, const double* knownPreviousSquares) {
  if (knownPreviousSquares == nullptr) return shrinkPass<Measure::all>(state);
  ChangeSums sums = shrinkPass<Measure::withoutPrevious>(state);
  sums.previousSquares = *knownPreviousSquares;
  return sums;
}

}  // namespace detail

void shrinkUpdate(SolverState& state) {
  if (state.u == nullptr || state.dx == nullptr || state.dy == nullptr || state.bx == nullptr ||
      state.by == nullptr) {
    return;
  }
  shrinkPass<Measure::none>(state);
}

}  // namespace daskel
