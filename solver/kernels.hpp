// Entry points of the kernels that the driver schedules differently from the public calls.
#ifndef DASKEL_SOLVER_KERNELS_HPP
#define DASKEL_SOLVER_KERNELS_HPP

#include "solver/solver.hpp"

namespace daskel::detail {

// Whether a sweep forms the multipliers or finds them already in `state.multiplier`. They read
// only dx, dy, bx, by and costs, none of which a sweep changes, so the second sweep of an outer
// iteration may reuse what the first stored.
enum class Multipliers { compute, reuse };

void sweepLabels(SolverState& state, Multipliers multipliers);

// Two sweeps in a row, the second reusing the multipliers of the first: what
// sweepLabels(compute) then sweepLabels(reuse) give, in one schedule.
void sweepLabelsTwice(SolverState& state);

// The three sums of the change measure, each accumulated in index order.
struct ChangeSums {
  double previousSquares = 0.0;  // sum of outerPrev^2
  double currentSquares = 0.0;   // sum of u^2
  double changeSquares = 0.0;    // sum of (u - outerPrev)^2
};

// shrinkUpdate, and in the same pass over u the sums of the change measure against outerPrev.
// With `knownPreviousSquares`, the sum of outerPrev^2 is taken from there instead: when outerPrev
// is a copy of the u of the pass before, it is that pass's sum of u^2, the same terms added in
// the same order.
ChangeSums shrinkAndMeasure(SolverState& state, const double* knownPreviousSquares = nullptr);

}  // namespace daskel::detail

#endif  // DASKEL_SOLVER_KERNELS_HPP
