// The kernels' entry points, at the instruction-set level chosen once per process.
#include "solver/kernels.hpp"

#include <cstdlib>
#include <cstring>

#include "solver/lanes.hpp"
#include "solver/solver.hpp"

namespace daskel {
namespace detail {
namespace {

template <KernelLevel level>
constexpr LevelKernels kKernelsAt = {&sweepLabelsAt<level>, &sweepLabelsTwiceAt<level>,
                                     &sweepIterationAt<level>, &shrinkPassAt<level>,
                                     &shrinkColumnsAt<level>};

constexpr KernelLevel kLevels[] = {KernelLevel::scalar, KernelLevel::sse2, KernelLevel::avx2,
                                   KernelLevel::avx512};

}  // namespace

const char* kernelLevelName(KernelLevel level) {
  switch (level) {
    case KernelLevel::sse2:
      return "sse2";
    case KernelLevel::avx2:
      return "avx2";
    case KernelLevel::avx512:
      return "avx512";
    case KernelLevel::scalar:
      break;
  }
  return "scalar";
}

const LevelKernels& levelKernels(KernelLevel level) {
  switch (level) {
#if defined(DASKEL_HAVE_AVX512_LANES)
    case KernelLevel::avx512:
      return kKernelsAt<KernelLevel::avx512>;
#endif
#if defined(DASKEL_HAVE_AVX2_LANES)
    case KernelLevel::avx2:
      return kKernelsAt<KernelLevel::avx2>;
#endif
#if defined(DASKEL_HAVE_SSE2_LANES)
    case KernelLevel::sse2:
      return kKernelsAt<KernelLevel::sse2>;
#endif
    default:
      return kKernelsAt<KernelLevel::scalar>;
  }
}

KernelLevel bestKernelLevel() {
#if defined(DASKEL_HAVE_AVX2_LANES)
  __builtin_cpu_init();  // the processor's features, and whether the system saves their registers
#if defined(DASKEL_HAVE_AVX512_LANES)
  if (__builtin_cpu_supports("avx512f")) return KernelLevel::avx512;
#endif
  if (__builtin_cpu_supports("avx2")) return KernelLevel::avx2;
#endif
#if defined(DASKEL_HAVE_SSE2_LANES)
  return KernelLevel::sse2;
#else
  return KernelLevel::scalar;
#endif
}

KernelLevel chooseKernelLevel(const char* requested, KernelLevel best) {
  if (requested == nullptr) return best;
  for (KernelLevel level : kLevels) {
    if (level <= best && std::strcmp(requested, kernelLevelName(level)) == 0) return level;
  }
  return best;
}

KernelLevel activeKernelLevel() {
  static const KernelLevel level =
      chooseKernelLevel(std::getenv("DASKEL_KERNELS"), bestKernelLevel());
  return level;
}

const LevelKernels& activeKernels() {
  static const LevelKernels& kernels = levelKernels(activeKernelLevel());
  return kernels;
}

int32_t bandPairs(const SolverState& state) {
  if (state.rows < 3 || state.cols < 2 + kBandColumns || state.phases > kLaneMaxPhases) return 0;
  return (state.cols - 2) / kBandColumns;
}

void sweepLabels(SolverState& state, Multipliers multipliers) {
  activeKernels().sweepLabels(state, multipliers);
}

void sweepLabelsTwice(SolverState& state) {
  activeKernels().sweepLabelsTwice(state);
}

void sweepIteration(SolverState& state, Wavefront* wavefront, int32_t member) {
  activeKernels().sweepIteration(state, wavefront, member);
}

ChangeSums shrinkAndMeasure(SolverState& state, const double* knownPreviousSquares) {
  if (knownPreviousSquares == nullptr) return activeKernels().shrinkPass(state, Measure::all);
  ChangeSums sums = activeKernels().shrinkPass(state, Measure::withoutPrevious);
  sums.previousSquares = *knownPreviousSquares;
  return sums;
}

}  // namespace detail

void labelSweep(SolverState& state) {
  // The same test as runSolver's: a state without all of its buffers is left alone.
  if (!detail::hasAllBuffers(state)) return;
  detail::sweepLabels(state, detail::Multipliers::compute);
}

void shrinkUpdate(SolverState& state) {
  if (state.u == nullptr || state.dx == nullptr || state.dy == nullptr || state.bx == nullptr ||
      state.by == nullptr) {
    return;
  }
  detail::activeKernels().shrinkPass(state, detail::Measure::none);
}

}  // namespace daskel
