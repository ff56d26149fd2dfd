// The outer split-Bregman loop and its stop rule.
#include <cmath>
#include <cstring>

#include "solver/kernels.hpp"
#include "solver/solver.hpp"

namespace daskel {
namespace {

constexpr int32_t kMaxOuterIterations = 5;
constexpr float kStopTolerance = 1e-6f;
// Measures before the first iteration: far apart, so that the first stop test goes on.
constexpr float kInitialMeasure = 1e11f;
constexpr float kInitialPreviousMeasure = 1e10f;

bool hasAllBuffers(const SolverState& s) {
  return s.costs != nullptr && s.u != nullptr && s.dx != nullptr && s.dy != nullptr &&
         s.bx != nullptr && s.by != nullptr && s.outerPrev != nullptr && s.multiplier != nullptr;
}

void snapshotLabels(SolverState& s) {
  std::memcpy(s.outerPrev, s.u, static_cast<std::size_t>(s.volumeSize) * sizeof(float));
}

// Squared change relative to the product of the two sums of squares.
float changeMeasure(const detail::ChangeSums& sums) {
  return static_cast<float>(sums.changeSquares / (sums.previousSquares * sums.currentSquares));
}

}  // namespace

int32_t runSolver(SolverState& state) {
  if (!hasAllBuffers(state)) return 0;
  float measure = kInitialMeasure;
  float previousMeasure = kInitialPreviousMeasure;
  int32_t outerIteration = 0;
  double lastSquares = 0.0;  // sum of u^2 of the last change measure
  for (;;) {
    // Go on only while the measure still moves; a NaN difference stops the loop too.
    const double d = std::fabs(static_cast<double>(measure) - static_cast<double>(previousMeasure));
    if (!(d > static_cast<double>(kStopTolerance))) break;
    if (outerIteration >= kMaxOuterIterations) break;

    snapshotLabels(state);
    // The second sweep reuses the multipliers of the first: nothing they read has changed.
    detail::sweepLabelsTwice(state);
    // The shrinkage does not change u, so the change measure can be summed in the same pass.
    // From the second iteration on, outerPrev is the u of the last pass, whose sum of squares
    // that pass has formed.
    const detail::ChangeSums sums =
        detail::shrinkAndMeasure(state, outerIteration > 0 ? &lastSquares : nullptr);
    lastSquares = sums.currentSquares;

    ++outerIteration;
    previousMeasure = measure;
    measure = changeMeasure(sums);
  }
  return outerIteration;
}

}  // namespace daskel
