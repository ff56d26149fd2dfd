// Which instructions the kernels may use, chosen when they are compiled.
//
// Every SIMD path has a plain scalar twin that performs the same operations on each element in
// the same order, so all paths give the same bits; the scalar one is built where SSE2 is not part
// of the target (arm64, for instance) or when DASKEL_SCALAR_KERNELS asks for it. AVX2 lies beyond
// the x86-64 baseline: its kernels are compiled with a target attribute (GCC and Clang) and
// chosen at run time, so the module still runs on processors without it.
#ifndef DASKEL_SOLVER_SIMD_HPP
#define DASKEL_SOLVER_SIMD_HPP

#if !defined(DASKEL_SCALAR_KERNELS) && \
    (defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2))
#define DASKEL_SSE2 1
#endif

#if defined(DASKEL_SSE2) && defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define DASKEL_AVX2_DISPATCH 1
#endif

#if defined(DASKEL_AVX2_DISPATCH)
namespace daskel::detail {
// Whether the processor running the code has AVX2.
inline bool avx2Available() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}
}  // namespace daskel::detail
#define DASKEL_TARGET_AVX2 __attribute__((target("avx2")))
#endif

#if defined(__GNUC__)
#define DASKEL_NOINLINE __attribute__((noinline))
#elif defined(_MSC_VER)
#define DASKEL_NOINLINE __declspec(noinline)
#else
#define DASKEL_NOINLINE
#endif

#endif  // DASKEL_SOLVER_SIMD_HPP
