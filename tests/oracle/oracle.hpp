// The straightforward kernels, kept as the test oracle for the fast kernels in solver/.
//
// Each routine follows the pinned arithmetic of the solver one pixel at a time, in the visiting
// order of the regions, with the phase loop striding rows * cols. They are never optimised: their
// only job is to be obviously right, so that the fast kernels can be compared with them bit for
// bit. The working state is the library's own (set up by daskel::initSolverState).
#ifndef DASKEL_TESTS_ORACLE_ORACLE_HPP
#define DASKEL_TESTS_ORACLE_ORACLE_HPP

#include <cstdint>

#include "solver/solver.hpp"

namespace daskel::oracle {

float approxSqrt(float x);
void labelSweep(SolverState& state);
void shrinkUpdate(SolverState& state);
// The whole outer loop: snapshot, two sweeps, shrinkage, change measure, stop test.
int32_t runSolver(SolverState& state);

// The plain memory source, calloc and free, that the straightforward solver used.
BufferSource callocBuffers();

}  // namespace daskel::oracle

#endif  // DASKEL_TESTS_ORACLE_ORACLE_HPP
