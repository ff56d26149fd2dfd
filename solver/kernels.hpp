// Entry points of the kernels that the driver schedules differently from the public calls, and
// the choice of their instruction-set level.
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

// ---- Instruction-set levels (solver/lanes.hpp) ----

// The levels in increasing width. Every level gives the same bits.
enum class KernelLevel { scalar, sse2, avx2 };

const char* kernelLevelName(KernelLevel level);

// The widest level that this build has and this processor runs.
KernelLevel bestKernelLevel();

// The level named by `requested` ("scalar", "sse2" or "avx2") when it is not beyond `best`;
// `best` for a null or unknown name and for a level beyond it.
KernelLevel chooseKernelLevel(const char* requested, KernelLevel best);

// The level every kernel call runs at: chooseKernelLevel of the environment variable
// DASKEL_KERNELS and bestKernelLevel(), taken once per process.
KernelLevel activeKernelLevel();

// Which sums of the change measure a shrinkage pass forms besides the shrinkage.
enum class Measure {
  none,
  all,
  withoutPrevious,  // the sum of outerPrev^2 is known from the pass before (left at 0 here)
};

// The kernels of one level; each level's compile of sweep.cpp and shrink.cpp defines them.
template <KernelLevel level>
void sweepLabelsAt(SolverState& state, Multipliers multipliers);
template <KernelLevel level>
void sweepLabelsTwiceAt(SolverState& state);
template <KernelLevel level>
ChangeSums shrinkPassAt(SolverState& state, Measure measure);

struct LevelKernels {
  void (*sweepLabels)(SolverState&, Multipliers);
  void (*sweepLabelsTwice)(SolverState&);
  ChangeSums (*shrinkPass)(SolverState&, Measure);
};

// The kernels of `level`; those of the scalar level for a level this build lacks. A level
// beyond bestKernelLevel() may use instructions the processor lacks.
const LevelKernels& levelKernels(KernelLevel level);

}  // namespace daskel::detail

#endif  // DASKEL_SOLVER_KERNELS_HPP
