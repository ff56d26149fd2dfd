// Lane types: the handful of operations the kernels use, for one instruction-set level.
//
// A lane type holds W values, doubles or floats, and each of its operations acts on every lane
// exactly as the same scalar operation of C++ acts on one value: + - * / are single IEEE
// operations rounded to the lane's type; min(a, b) is (a < b ? a : b) and max(a, b) is
// (a > b ? a : b), so a NaN in b passes both; comparisons are ordered (false for NaN) and give a
// Mask, which has any() and all() and which | & and select(mask, yes, no) take; widen reads W
// floats as doubles, exactly; roundToFloat and storeNarrowed round doubles to float;
// constantMinusHalfBits is the integer step of the root's first estimate; transpose turns W
// lane values of W lanes each around their diagonal, moving values without changing them. Negation
// is needed, and offered, by the scalar lanes only. A kernel rule written once as a template over
// the lane type therefore gives the same bits at every width.
//
// Levels: scalar (W = 1, plain C++, what processors without SSE2 run), sse2 (2 doubles or 4
// floats), avx2 (4 doubles or 8 floats) and avx512 (8 doubles or 16 floats, comparisons into mask
// registers). The kernel sources are compiled once per level: sweep.cpp and shrink.cpp alone give
// the scalar level, and sweep_sse2.cpp, sweep_avx2.cpp, sweep_avx512.cpp (and likewise for
// shrink) compile them again with DASKEL_LEVEL_SSE2, DASKEL_LEVEL_AVX2 or DASKEL_LEVEL_AVX512
// defined. In each compile `lanes::Doubles` and `lanes::Floats` are that level's lane types,
// `lanes::kLevel` its name, and the scalar types serve the tails and the boundary;
// DASKEL_LEVEL_BUILT is defined where the compiler and target can build the level. The SSE2, AVX2
// and AVX-512 types are in lanes_x86.hpp; kernels.cpp picks the level at run time.
//
// AVX2 and AVX-512 lie beyond the x86-64 baseline. Their code is compiled for them between
// DASKEL_LANES_BEGIN and DASKEL_LANES_END, which a kernel source places after all of its
// #includes: what the standard headers define stays compiled for the baseline, so no copy that
// the linker might share with other files uses their instructions. For the same reason
// everything a kernel source defines between the two lies in an unnamed namespace, except its
// level's entry points.
#ifndef DASKEL_SOLVER_LANES_HPP
#define DASKEL_SOLVER_LANES_HPP

#include <cstdint>
#include <cstring>

#include "solver/kernels.hpp"

// Which levels this compiler and target can build. DASKEL_SCALAR_KERNELS builds the scalar level
// alone, as on a processor without SSE2.
#if !defined(DASKEL_SCALAR_KERNELS) && \
    (defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2))
#define DASKEL_HAVE_SSE2_LANES 1
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define DASKEL_HAVE_AVX2_LANES 1
// The build defines DASKEL_COMPILER_HAS_AVX512 where the compiler builds AVX-512F code
// (solver/CMakeLists.txt).
#if defined(DASKEL_COMPILER_HAS_AVX512)
#define DASKEL_HAVE_AVX512_LANES 1
#endif
#endif
#endif

#if defined(__GNUC__)
#define DASKEL_NOINLINE __attribute__((noinline))
#elif defined(_MSC_VER)
#define DASKEL_NOINLINE __declspec(noinline)
#else
#define DASKEL_NOINLINE
#endif

// For the rules that the kernels' inner loops call many times over, unrolled: compilers weigh
// each call site alone and leave some of them calls, which then cost more than the rule.
#if defined(__GNUC__)
#define DASKEL_INLINE inline __attribute__((always_inline))
#elif defined(_MSC_VER)
#define DASKEL_INLINE __forceinline
#else
#define DASKEL_INLINE inline
#endif

namespace daskel::lanes {

// Asks for the cache line at `from` to be brought into the second-level cache: only a hint.
inline void prefetch(const float* from) {
#if defined(__GNUC__)
  __builtin_prefetch(from, 0, 2);
#else
  static_cast<void>(from);
#endif
}

// ---- Scalar lanes: one value each --------------------------------------------------------------

struct ScalarMask {
  bool on;
  bool any() const { return on; }
  bool all() const { return on; }
};
inline ScalarMask operator|(ScalarMask a, ScalarMask b) {
  return {a.on || b.on};
}
inline ScalarMask operator&(ScalarMask a, ScalarMask b) {
  return {a.on && b.on};
}

// A scalar lane of type T (double or float).
template <typename T>
struct Scalar {
  using Mask = ScalarMask;
  using Doubles = Scalar<double>;  // the doubles of the same level
  static constexpr int kWidth = 1;
  T value;

  static Scalar set(T x) { return {x}; }
  static Scalar load(const T* from) { return {*from}; }
  void store(T* to) const { *to = value; }
  void scatter(T* to, int32_t) const { *to = value; }
  T lane(int) const { return value; }
  // One float, read as T.
  static Scalar widen(const float* from) { return {static_cast<T>(*from)}; }
  // On where bit 0 of `bits` is set.
  static Mask maskOf(int bits) { return {(bits & 1) != 0}; }
};

template <typename T>
Scalar<T> operator+(Scalar<T> a, Scalar<T> b) {
  return {a.value + b.value};
}
template <typename T>
Scalar<T> operator-(Scalar<T> a, Scalar<T> b) {
  return {a.value - b.value};
}
template <typename T>
Scalar<T> operator*(Scalar<T> a, Scalar<T> b) {
  return {a.value * b.value};
}
template <typename T>
Scalar<T> operator/(Scalar<T> a, Scalar<T> b) {
  return {a.value / b.value};
}
template <typename T>
Scalar<T> operator-(Scalar<T> a) {
  return {-a.value};
}
template <typename T>
Scalar<T> min(Scalar<T> a, Scalar<T> b) {
  return {a.value < b.value ? a.value : b.value};
}
template <typename T>
Scalar<T> max(Scalar<T> a, Scalar<T> b) {
  return {a.value > b.value ? a.value : b.value};
}
template <typename T>
ScalarMask operator<(Scalar<T> a, Scalar<T> b) {
  return {a.value < b.value};
}
template <typename T>
ScalarMask operator>(Scalar<T> a, Scalar<T> b) {
  return {a.value > b.value};
}
template <typename T>
ScalarMask operator==(Scalar<T> a, Scalar<T> b) {
  return {a.value == b.value};
}
template <typename T>
Scalar<T> select(ScalarMask m, Scalar<T> yes, Scalar<T> no) {
  return m.on ? yes : no;
}

// Transposes a square of W x W values held in W lane values: lane i of v[j] takes what lane j
// of v[i] held. One value is its own square.
template <typename T>
void transpose(Scalar<T> (&)[1]) {}

using ScalarDoubles = Scalar<double>;
using ScalarFloats = Scalar<float>;

inline ScalarDoubles roundToFloat(ScalarDoubles x) {
  return {static_cast<double>(static_cast<float>(x.value))};
}
inline void storeNarrowed(ScalarDoubles x, float* to) {
  *to = static_cast<float>(x.value);
}
// The float whose bits are constant - (b >> 1), b the bits of x, as 32-bit integers (wrapping
// around); the shift copies the sign bit.
inline ScalarFloats constantMinusHalfBits(uint32_t constant, ScalarFloats x) {
  int32_t b = 0;
  std::memcpy(&b, &x.value, sizeof b);
  const uint32_t bits = constant - static_cast<uint32_t>(b >> 1);
  ScalarFloats y{};
  std::memcpy(&y.value, &bits, sizeof y.value);
  return y;
}

}  // namespace daskel::lanes

// ---- The level of this compile -----------------------------------------------------------------

#if defined(DASKEL_LEVEL_SSE2) || defined(DASKEL_LEVEL_AVX2) || defined(DASKEL_LEVEL_AVX512)
#if (defined(DASKEL_LEVEL_SSE2) && defined(DASKEL_HAVE_SSE2_LANES)) || \
    (defined(DASKEL_LEVEL_AVX2) && defined(DASKEL_HAVE_AVX2_LANES)) || \
    (defined(DASKEL_LEVEL_AVX512) && defined(DASKEL_HAVE_AVX512_LANES))
#include "solver/lanes_x86.hpp"
#define DASKEL_LEVEL_BUILT 1
#endif
#else
namespace daskel::lanes {
constexpr detail::KernelLevel kLevel = detail::KernelLevel::scalar;
using Doubles = ScalarDoubles;
using Floats = ScalarFloats;
}  // namespace daskel::lanes
#define DASKEL_LEVEL_BUILT 1
#endif

#if !defined(DASKEL_LANES_BEGIN)
#define DASKEL_LANES_BEGIN
#define DASKEL_LANES_END
#endif

#endif  // DASKEL_SOLVER_LANES_HPP
