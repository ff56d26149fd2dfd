/* A plain C version of the solver's rules, the baseline the benchmark measures the library
 * against: what a careful C programmer writes from the rules, compiled at -O2 with the same
 * floating-point flags, without blocking, skewing or SIMD code of its own. */
#ifndef DASKEL_BENCH_PLAIN_SOLVER_H
#define DASKEL_BENCH_PLAIN_SOLVER_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Solves in place: `u` holds the initial labelling on entry and the result on return. The
 * working buffers come from calloc. Returns the number of outer iterations, or -1 when a buffer
 * could not be obtained. */
int32_t plainSolve(int32_t rows, int32_t cols, int32_t phases, float tvWeight, float penalty,
                   const float* costs, float* u);

#ifdef __cplusplus
}
#endif

#endif
