// The oracle: the straightforward solver, each step of the method as one loop nest over the grid
// in its visiting order, with the variables named after the method's symbols, so that it can be
// read beside the mathematics. The tests, the fuzz target and the benchmark compare the library
// with it bit for bit.
//
// It shares no code with solver/: it uses only the SolverState record (the sizes, tvWeight,
// penalty and the arrays; it derives every constant itself) and BufferSource. It is never
// optimised: its only job is to be obviously right.
#ifndef DASKEL_ORACLE_ORACLE_HPP
#define DASKEL_ORACLE_ORACLE_HPP

#include <cstdint>
#include <utility>
#include <vector>

#include "solver/solver.hpp"

namespace daskel::oracle {

float approxSqrt(float x);

// The pixels (row, column) of a labelling sweep in visiting order: the interior column by
// column, the left and right columns, the top and bottom rows, the corners (0, 0), (0, N-1),
// (M-1, 0), (M-1, N-1).
std::vector<std::pair<int32_t, int32_t>> visitingOrder(int32_t rows, int32_t cols);

void labelSweep(SolverState& state);
void shrinkUpdate(SolverState& state);

// The sums of the change measure, in index order: P = sum of outerPrev^2, Q = sum of u^2,
// D = sum of (u - outerPrev)^2.
struct ChangeSums {
  double P = 0.0;
  double Q = 0.0;
  double D = 0.0;
};
ChangeSums changeSums(const SolverState& state);

// One outer iteration: the snapshot outerPrev = u, two sweeps, the shrinkage.
void outerIteration(SolverState& state);

// The whole outer loop: outer iterations, each followed by its change measure, and the stop test.
int32_t runSolver(SolverState& state);

// calloc and free as a buffer source, for solves by the oracle.
BufferSource callocBuffers();

}  // namespace daskel::oracle

#endif  // DASKEL_ORACLE_ORACLE_HPP
