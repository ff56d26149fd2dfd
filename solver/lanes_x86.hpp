// x86 lanes: SSE2 (2 doubles or 4 floats in a 128-bit register), AVX2 (4 doubles or 8 floats in
// a 256-bit register) and AVX-512 (8 doubles or 16 floats in a 512-bit register, comparisons into
// mask registers). solver/lanes.hpp includes this for the sse2, avx2 or avx512 level, with
// DASKEL_LEVEL_SSE2, DASKEL_LEVEL_AVX2 or DASKEL_LEVEL_AVX512 defined; the AVX2 and AVX-512 types
// are compiled for their instruction sets, as is the code between DASKEL_LANES_BEGIN and
// DASKEL_LANES_END.
//
// What the widths share is written once: each row of the tables names an operation and the
// instructions that perform it (DASKEL_X86_OPERATION defines it for one width), and
// DASKEL_X86_MEMBERS gives a lane type its register, broadcast, load and store. An SSE2 or AVX2
// mask is a lane value whose lanes are all ones (true) or all zeros (false); an AVX-512 mask is a
// mask register, one bit per lane.
#ifndef DASKEL_SOLVER_LANES_X86_HPP
#define DASKEL_SOLVER_LANES_X86_HPP

#include <immintrin.h>

#include <cstdint>

#include "solver/kernels.hpp"

// Each row: an arithmetic operation of two lanes, then its instruction on SSE2 doubles, SSE2
// floats, AVX2 doubles, AVX2 floats, AVX-512 doubles and AVX-512 floats. The min and max
// instructions give their second operand when the first is not below (above) it, a NaN included,
// as min and max are defined in lanes.hpp.
#define DASKEL_X86_OPERATIONS(ROW)                                                             \
  ROW(operator+, _mm_add_pd, _mm_add_ps, _mm256_add_pd, _mm256_add_ps, _mm512_add_pd,          \
      _mm512_add_ps)                                                                           \
  ROW(operator-, _mm_sub_pd, _mm_sub_ps, _mm256_sub_pd, _mm256_sub_ps, _mm512_sub_pd,          \
      _mm512_sub_ps)                                                                           \
  ROW(operator*, _mm_mul_pd, _mm_mul_ps, _mm256_mul_pd, _mm256_mul_ps, _mm512_mul_pd,          \
      _mm512_mul_ps)                                                                           \
  ROW(operator/, _mm_div_pd, _mm_div_ps, _mm256_div_pd, _mm256_div_ps, _mm512_div_pd,          \
      _mm512_div_ps)                                                                           \
  ROW(min, _mm_min_pd, _mm_min_ps, _mm256_min_pd, _mm256_min_ps, _mm512_min_pd, _mm512_min_ps) \
  ROW(max, _mm_max_pd, _mm_max_ps, _mm256_max_pd, _mm256_max_ps, _mm512_max_pd, _mm512_max_ps)

// Each row: an operation of two SSE2 or AVX2 masks (lane values), on SSE2 doubles, SSE2 floats,
// AVX2 doubles and AVX2 floats.
#define DASKEL_X86_MASK_OPERATIONS(ROW)                            \
  ROW(operator|, _mm_or_pd, _mm_or_ps, _mm256_or_pd, _mm256_or_ps) \
  ROW(operator&, _mm_and_pd, _mm_and_ps, _mm256_and_pd, _mm256_and_ps)

// Each row: an ordered comparison (false where a NaN takes part), its SSE2 instruction on doubles
// and on floats, and the predicate of the AVX2 and AVX-512 comparison instructions.
#define DASKEL_X86_COMPARISONS(ROW)                      \
  ROW(operator<, _mm_cmplt_pd, _mm_cmplt_ps, _CMP_LT_OQ) \
  ROW(operator>, _mm_cmpgt_pd, _mm_cmpgt_ps, _CMP_GT_OQ) \
  ROW(operator==, _mm_cmpeq_pd, _mm_cmpeq_ps, _CMP_EQ_OQ)

// Defines the operation `name` of two lanes on Doubles and on Floats, from their instructions.
#define DASKEL_X86_OPERATION(Doubles, Floats, name, doublesInstruction, floatsInstruction) \
  inline Doubles name(Doubles a, Doubles b) {                                              \
    return {doublesInstruction(a.value, b.value)};                                         \
  }                                                                                        \
  inline Floats name(Floats a, Floats b) {                                                 \
    return {floatsInstruction(a.value, b.value)};                                          \
  }

// clang-format off
#define DASKEL_X86_MEMBERS(Lanes, Register, Element, width, set1, loadu, storeu)  \
  static constexpr int kWidth = width;                                            \
  Register value;                                                                 \
  static Lanes set(Element x) { return {set1(x)}; }                               \
  static Lanes load(const Element* from) { return {loadu(from)}; }                \
  void store(Element* to) const { storeu(to, value); }
// A lane value as its own mask: any and all from the sign bits.
#define DASKEL_X86_LANE_MASK(Lanes, width, movemask)                   \
  using Mask = Lanes;                                                  \
  bool any() const { return movemask(value) != 0; }                    \
  bool all() const { return movemask(value) == (1 << width) - 1; }
// clang-format on

#if defined(DASKEL_LEVEL_SSE2)

namespace daskel::lanes {

struct Sse2Doubles {
  DASKEL_X86_MEMBERS(Sse2Doubles, __m128d, double, 2, _mm_set1_pd, _mm_loadu_pd, _mm_storeu_pd)
  DASKEL_X86_LANE_MASK(Sse2Doubles, 2, _mm_movemask_pd)
  // Two consecutive floats, widened.
  static Sse2Doubles widen(const float* from) {
    return {
        _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(from))))};
  }
  // Lane i to to[i * stride].
  void scatter(double* to, int32_t stride) const {
    _mm_storel_pd(to, value);
    _mm_storeh_pd(to + stride, value);
  }
  double lane(int i) const { return _mm_cvtsd_f64(i == 0 ? value : _mm_unpackhi_pd(value, value)); }
  // Lane i on where bit i of `bits` is set.
  static Mask maskOf(int bits) {
    return {_mm_castsi128_pd(_mm_set_epi64x(-((bits >> 1) & 1), -(bits & 1)))};
  }
};

struct Sse2Floats {
  DASKEL_X86_MEMBERS(Sse2Floats, __m128, float, 4, _mm_set1_ps, _mm_loadu_ps, _mm_storeu_ps)
  DASKEL_X86_LANE_MASK(Sse2Floats, 4, _mm_movemask_ps)
  using Doubles = Sse2Doubles;
};

#define DASKEL_SSE2_OPERATION(name, doubles, floats, ...) \
  DASKEL_X86_OPERATION(Sse2Doubles, Sse2Floats, name, doubles, floats)
DASKEL_X86_OPERATIONS(DASKEL_SSE2_OPERATION)
DASKEL_X86_MASK_OPERATIONS(DASKEL_SSE2_OPERATION)
DASKEL_X86_COMPARISONS(DASKEL_SSE2_OPERATION)
#undef DASKEL_SSE2_OPERATION

inline Sse2Doubles select(Sse2Doubles mask, Sse2Doubles yes, Sse2Doubles no) {
  return {_mm_or_pd(_mm_and_pd(mask.value, yes.value), _mm_andnot_pd(mask.value, no.value))};
}
inline Sse2Floats select(Sse2Floats mask, Sse2Floats yes, Sse2Floats no) {
  return {_mm_or_ps(_mm_and_ps(mask.value, yes.value), _mm_andnot_ps(mask.value, no.value))};
}
inline void transpose(Sse2Doubles (&v)[2]) {
  const __m128d a = v[0].value;
  v[0].value = _mm_unpacklo_pd(a, v[1].value);
  v[1].value = _mm_unpackhi_pd(a, v[1].value);
}
inline Sse2Doubles roundToFloat(Sse2Doubles x) {
  return {_mm_cvtps_pd(_mm_cvtpd_ps(x.value))};
}
inline void storeNarrowed(Sse2Doubles x, float* to) {
  _mm_storel_epi64(reinterpret_cast<__m128i*>(to), _mm_castps_si128(_mm_cvtpd_ps(x.value)));
}
// The float whose bits are constant - (b >> 1) in every lane, b the bits of x, as 32-bit
// integers; the shift copies the sign bit.
inline Sse2Floats constantMinusHalfBits(uint32_t constant, Sse2Floats x) {
  const __m128i b = _mm_castps_si128(x.value);
  return {_mm_castsi128_ps(
      _mm_sub_epi32(_mm_set1_epi32(static_cast<int>(constant)), _mm_srai_epi32(b, 1)))};
}

constexpr detail::KernelLevel kLevel = detail::KernelLevel::sse2;
using Doubles = Sse2Doubles;
using Floats = Sse2Floats;

}  // namespace daskel::lanes

#elif defined(DASKEL_LEVEL_AVX2)

#if defined(__clang__)
#define DASKEL_LANES_BEGIN \
  _Pragma("clang attribute push(__attribute__((target(\"avx2\"))), apply_to = function)")
#define DASKEL_LANES_END _Pragma("clang attribute pop")
#else
#define DASKEL_LANES_BEGIN _Pragma("GCC push_options") _Pragma("GCC target(\"avx2\")")
#define DASKEL_LANES_END _Pragma("GCC pop_options")
#endif

DASKEL_LANES_BEGIN
namespace daskel::lanes {

struct Avx2Doubles {
  DASKEL_X86_MEMBERS(Avx2Doubles, __m256d, double, 4, _mm256_set1_pd, _mm256_loadu_pd,
                     _mm256_storeu_pd)
  DASKEL_X86_LANE_MASK(Avx2Doubles, 4, _mm256_movemask_pd)
  // Four consecutive floats, widened.
  static Avx2Doubles widen(const float* from) { return {_mm256_cvtps_pd(_mm_loadu_ps(from))}; }
  // Lane i to to[i * stride].
  void scatter(double* to, int32_t stride) const {
    const __m128d low = _mm256_castpd256_pd128(value);
    const __m128d high = _mm256_extractf128_pd(value, 1);
    _mm_storel_pd(to, low);
    _mm_storeh_pd(to + stride, low);
    _mm_storel_pd(to + 2 * stride, high);
    _mm_storeh_pd(to + 3 * stride, high);
  }
  double lane(int i) const {
    const __m128d half = i < 2 ? _mm256_castpd256_pd128(value) : _mm256_extractf128_pd(value, 1);
    return _mm_cvtsd_f64((i & 1) == 0 ? half : _mm_unpackhi_pd(half, half));
  }
  // Lane i on where bit i of `bits` is set.
  static Mask maskOf(int bits) {
    return {_mm256_castsi256_pd(_mm256_set_epi64x(-((bits >> 3) & 1), -((bits >> 2) & 1),
                                                  -((bits >> 1) & 1), -(bits & 1)))};
  }
};

struct Avx2Floats {
  DASKEL_X86_MEMBERS(Avx2Floats, __m256, float, 8, _mm256_set1_ps, _mm256_loadu_ps,
                     _mm256_storeu_ps)
  DASKEL_X86_LANE_MASK(Avx2Floats, 8, _mm256_movemask_ps)
  using Doubles = Avx2Doubles;
};

template <int predicate>
__m256d comparePd(__m256d a, __m256d b) {
  return _mm256_cmp_pd(a, b, predicate);
}
template <int predicate>
__m256 comparePs(__m256 a, __m256 b) {
  return _mm256_cmp_ps(a, b, predicate);
}
#define DASKEL_AVX2_OPERATION(name, sse2Doubles, sse2Floats, doubles, floats, ...) \
  DASKEL_X86_OPERATION(Avx2Doubles, Avx2Floats, name, doubles, floats)
#define DASKEL_AVX2_COMPARISON(name, sse2Doubles, sse2Floats, predicate) \
  DASKEL_X86_OPERATION(Avx2Doubles, Avx2Floats, name, comparePd<predicate>, comparePs<predicate>)
DASKEL_X86_OPERATIONS(DASKEL_AVX2_OPERATION)
DASKEL_X86_MASK_OPERATIONS(DASKEL_AVX2_OPERATION)
DASKEL_X86_COMPARISONS(DASKEL_AVX2_COMPARISON)
#undef DASKEL_AVX2_OPERATION
#undef DASKEL_AVX2_COMPARISON

inline Avx2Doubles select(Avx2Doubles mask, Avx2Doubles yes, Avx2Doubles no) {
  return {_mm256_blendv_pd(no.value, yes.value, mask.value)};
}
inline Avx2Floats select(Avx2Floats mask, Avx2Floats yes, Avx2Floats no) {
  return {_mm256_blendv_ps(no.value, yes.value, mask.value)};
}
// Pairs first within each 128-bit half, then the halves.
inline void transpose(Avx2Doubles (&v)[4]) {
  const __m256d low01 = _mm256_unpacklo_pd(v[0].value, v[1].value);   // 00 10 02 12
  const __m256d high01 = _mm256_unpackhi_pd(v[0].value, v[1].value);  // 01 11 03 13
  const __m256d low23 = _mm256_unpacklo_pd(v[2].value, v[3].value);   // 20 30 22 32
  const __m256d high23 = _mm256_unpackhi_pd(v[2].value, v[3].value);  // 21 31 23 33
  v[0].value = _mm256_permute2f128_pd(low01, low23, 0x20);
  v[1].value = _mm256_permute2f128_pd(high01, high23, 0x20);
  v[2].value = _mm256_permute2f128_pd(low01, low23, 0x31);
  v[3].value = _mm256_permute2f128_pd(high01, high23, 0x31);
}
inline Avx2Doubles roundToFloat(Avx2Doubles x) {
  return {_mm256_cvtps_pd(_mm256_cvtpd_ps(x.value))};
}
inline void storeNarrowed(Avx2Doubles x, float* to) {
  _mm_storeu_ps(to, _mm256_cvtpd_ps(x.value));
}
inline Avx2Floats constantMinusHalfBits(uint32_t constant, Avx2Floats x) {
  const __m256i b = _mm256_castps_si256(x.value);
  const __m256i c = _mm256_set1_epi32(static_cast<int>(constant));
  return {_mm256_castsi256_ps(_mm256_sub_epi32(c, _mm256_srai_epi32(b, 1)))};
}

constexpr detail::KernelLevel kLevel = detail::KernelLevel::avx2;
using Doubles = Avx2Doubles;
using Floats = Avx2Floats;

}  // namespace daskel::lanes
DASKEL_LANES_END

#elif defined(DASKEL_LEVEL_AVX512)

#if defined(__clang__)
#define DASKEL_LANES_BEGIN \
  _Pragma("clang attribute push(__attribute__((target(\"avx512f\"))), apply_to = function)")
#define DASKEL_LANES_END _Pragma("clang attribute pop")
#else
#define DASKEL_LANES_BEGIN _Pragma("GCC push_options") _Pragma("GCC target(\"avx512f\")")
#define DASKEL_LANES_END _Pragma("GCC pop_options")
// GCC 12 takes the deliberately undefined operand that its conversion intrinsics pass on for the
// lanes they leave unmasked for one used uninitialized (GCC bug 105593, fixed in GCC 13).
#if __GNUC__ < 13
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#endif

DASKEL_LANES_BEGIN
namespace daskel::lanes {

// The comparisons of `width` lanes in a mask register: bit i for lane i.
template <typename Bits, int width>
struct Avx512Mask {
  Bits bits;
  bool any() const { return bits != 0; }
  bool all() const { return bits == static_cast<Bits>((1u << width) - 1); }
};
template <typename Bits, int width>
Avx512Mask<Bits, width> operator|(Avx512Mask<Bits, width> a, Avx512Mask<Bits, width> b) {
  return {static_cast<Bits>(a.bits | b.bits)};
}
template <typename Bits, int width>
Avx512Mask<Bits, width> operator&(Avx512Mask<Bits, width> a, Avx512Mask<Bits, width> b) {
  return {static_cast<Bits>(a.bits & b.bits)};
}

struct Avx512Doubles {
  DASKEL_X86_MEMBERS(Avx512Doubles, __m512d, double, 8, _mm512_set1_pd, _mm512_loadu_pd,
                     _mm512_storeu_pd)
  using Mask = Avx512Mask<__mmask8, 8>;
  // Eight consecutive floats, widened.
  static Avx512Doubles widen(const float* from) { return {_mm512_cvtps_pd(_mm256_loadu_ps(from))}; }
  // Lane i to to[i * stride].
  void scatter(double* to, int32_t stride) const {
    alignas(64) double lanes[kWidth];
    store(lanes);
    for (int i = 0; i < kWidth; ++i) to[i * stride] = lanes[i];
  }
  double lane(int i) const {
    alignas(64) double lanes[kWidth];
    store(lanes);
    return lanes[i];
  }
  // Lane i on where bit i of `bits` is set.
  static Mask maskOf(int bits) { return {static_cast<__mmask8>(bits)}; }
};

struct Avx512Floats {
  DASKEL_X86_MEMBERS(Avx512Floats, __m512, float, 16, _mm512_set1_ps, _mm512_loadu_ps,
                     _mm512_storeu_ps)
  using Mask = Avx512Mask<__mmask16, 16>;
  using Doubles = Avx512Doubles;
};

template <int predicate>
Avx512Doubles::Mask comparePd(Avx512Doubles a, Avx512Doubles b) {
  return {_mm512_cmp_pd_mask(a.value, b.value, predicate)};
}
template <int predicate>
Avx512Floats::Mask comparePs(Avx512Floats a, Avx512Floats b) {
  return {_mm512_cmp_ps_mask(a.value, b.value, predicate)};
}
#define DASKEL_AVX512_OPERATION(name, sse2Doubles, sse2Floats, avx2Doubles, avx2Floats, doubles, \
                                floats)                                                          \
  DASKEL_X86_OPERATION(Avx512Doubles, Avx512Floats, name, doubles, floats)
#define DASKEL_AVX512_COMPARISON(name, sse2Doubles, sse2Floats, predicate) \
  inline Avx512Doubles::Mask name(Avx512Doubles a, Avx512Doubles b) {      \
    return comparePd<predicate>(a, b);                                     \
  }                                                                        \
  inline Avx512Floats::Mask name(Avx512Floats a, Avx512Floats b) {         \
    return comparePs<predicate>(a, b);                                     \
  }
DASKEL_X86_OPERATIONS(DASKEL_AVX512_OPERATION)
DASKEL_X86_COMPARISONS(DASKEL_AVX512_COMPARISON)
#undef DASKEL_AVX512_OPERATION
#undef DASKEL_AVX512_COMPARISON

inline Avx512Doubles select(Avx512Doubles::Mask mask, Avx512Doubles yes, Avx512Doubles no) {
  return {_mm512_mask_blend_pd(mask.bits, no.value, yes.value)};
}
inline Avx512Floats select(Avx512Floats::Mask mask, Avx512Floats yes, Avx512Floats no) {
  return {_mm512_mask_blend_ps(mask.bits, no.value, yes.value)};
}
// Pairs within each 128-bit quarter, then pairs of quarters, then halves.
inline void transpose(Avx512Doubles (&v)[8]) {
  __m512d pairs[8];
  for (int i = 0; i < 8; i += 2) {
    pairs[i] = _mm512_unpacklo_pd(v[i].value, v[i + 1].value);      // i0 j0 i2 j2 i4 j4 i6 j6
    pairs[i + 1] = _mm512_unpackhi_pd(v[i].value, v[i + 1].value);  // i1 j1 i3 j3 ...
  }
  __m512d quads[8];
  for (int i = 0; i < 8; i += 4) {
    for (int h = 0; h < 2; ++h) {
      // Quarters 0 and 2 of the two pairs, then 1 and 3: lanes 0 and 4, 2 and 6 (or 1 and 5, 3
      // and 7) of four rows.
      quads[i + 2 * h] = _mm512_shuffle_f64x2(pairs[i + h], pairs[i + 2 + h], 0x88);
      quads[i + 2 * h + 1] = _mm512_shuffle_f64x2(pairs[i + h], pairs[i + 2 + h], 0xdd);
    }
  }
  // quads[i + 2h + e] of rows i .. i + 3: lanes h + 2e (first half) and h + 2e + 4 (second).
  for (int h = 0; h < 2; ++h) {
    for (int e = 0; e < 2; ++e) {
      const int lane = h + 2 * e;
      v[lane].value = _mm512_shuffle_f64x2(quads[2 * h + e], quads[4 + 2 * h + e], 0x88);
      v[lane + 4].value = _mm512_shuffle_f64x2(quads[2 * h + e], quads[4 + 2 * h + e], 0xdd);
    }
  }
}
inline Avx512Doubles roundToFloat(Avx512Doubles x) {
  return {_mm512_cvtps_pd(_mm512_cvtpd_ps(x.value))};
}
inline void storeNarrowed(Avx512Doubles x, float* to) {
  _mm256_storeu_ps(to, _mm512_cvtpd_ps(x.value));
}
inline Avx512Floats constantMinusHalfBits(uint32_t constant, Avx512Floats x) {
  const __m512i b = _mm512_castps_si512(x.value);
  const __m512i c = _mm512_set1_epi32(static_cast<int>(constant));
  return {_mm512_castsi512_ps(_mm512_sub_epi32(c, _mm512_srai_epi32(b, 1)))};
}

constexpr detail::KernelLevel kLevel = detail::KernelLevel::avx512;
using Doubles = Avx512Doubles;
using Floats = Avx512Floats;

}  // namespace daskel::lanes
DASKEL_LANES_END

#endif  // DASKEL_LEVEL_AVX512

#endif  // DASKEL_SOLVER_LANES_X86_HPP
