// The solver behind four C functions, built into a module of its own (a shared object that shows
// nothing else), so that the benchmark can load two builds of the library, this one and an
// earlier one, into one process and time them in turn (bench/solver_bench.cpp, the `previous`
// rows). It uses only the public interface, which earlier builds share.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "solver/solver.hpp"

#if defined(__GNUC__)
#define DASKEL_MODULE_EXPORT extern "C" __attribute__((visibility("default")))
#else
#define DASKEL_MODULE_EXPORT extern "C"
#endif

// A whole call: set-up, the solve on `threads` threads (u holds u0 and receives the labelling),
// release. Returns the outer iterations.
DASKEL_MODULE_EXPORT int32_t daskel_module_solve(int32_t rows, int32_t cols, int32_t phases,
                                                 float tvWeight, float penalty, const float* costs,
                                                 float* u, int32_t threads) {
  daskel::SolverState state{};
  int32_t iterations = 0;
  if (daskel::initSolverState(state, rows, cols, phases, tvWeight, penalty, costs, u, nullptr)) {
    iterations = daskel::runSolver(state, threads);
  }
  daskel::releaseSolverState(state);
  return iterations;
}

// A state set up once for warm solves on `u`; null where the set-up fails.
DASKEL_MODULE_EXPORT void* daskel_module_open(int32_t rows, int32_t cols, int32_t phases,
                                              float tvWeight, float penalty, const float* costs,
                                              float* u) {
  auto* state = new daskel::SolverState{};
  if (!daskel::initSolverState(*state, rows, cols, phases, tvWeight, penalty, costs, u, nullptr)) {
    daskel::releaseSolverState(*state);
    delete state;
    return nullptr;
  }
  return state;
}

// A solve on the state of daskel_module_open, whose u the caller has reset to u0: the split and
// Bregman volumes are reset to zero first, as in a fresh state. Returns the outer iterations.
DASKEL_MODULE_EXPORT int32_t daskel_module_run(void* opened, int32_t threads) {
  auto& state = *static_cast<daskel::SolverState*>(opened);
  const std::size_t owned =
      static_cast<std::size_t>(state.phaseStride) * static_cast<std::size_t>(state.phases);
  for (float* volume : {state.dx, state.dy, state.bx, state.by}) {
    std::fill(volume, volume + owned, 0.0f);
  }
  return daskel::runSolver(state, threads);
}

DASKEL_MODULE_EXPORT void daskel_module_close(void* opened) {
  auto* state = static_cast<daskel::SolverState*>(opened);
  daskel::releaseSolverState(*state);
  delete state;
}
