// The outer split-Bregman loop and its stop rule.
#include <cmath>

#include "solver/kernels.hpp"
#include "solver/solver.hpp"

namespace daskel {
namespace {

constexpr int32_t kMaxOuterIterations = 5;
constexpr float kStopTolerance = 1e-6f;

bool hasAllBuffers(const SolverState& s) {
  return s.costs != nullptr && s.u != nullptr && s.dx != nullptr && s.dy != nullptr &&
         s.bx != nullptr && s.by != nullptr && s.outerPrev != nullptr && s.multiplier != nullptr;
}

void snapshotLabels(SolverState& s) {
  for (int32_t e = 0; e < s.volumeSize; ++e) s.outerPrev[e] = s.u[e];
}

// Squared change relative to the product of the two sums of squares, accumulated in one pass.
float changeMeasure(const SolverState& s) {
  double previousSquares = 0.0;
  double currentSquares = 0.0;
  double changeSquares = 0.0;
  for (int32_t e = 0; e < s.volumeSize; ++e) {
    const double o = s.outerPrev[e];
    const double v = s.u[e];
    previousSquares = previousSquares + o * o;
    currentSquares = currentSquares + v * v;
    const double diff = v - o;
    changeSquares = changeSquares + diff * diff;
  }
  return static_cast<float>(changeSquares / (previousSquares * currentSquares));
}

}  // namespace

int32_t runSolver(SolverState& state) {
  if (!hasAllBuffers(state)) return 0;
  float measure = 1e11f;
  float previousMeasure = 1e10f;
  int32_t outerIteration = 0;
  for (;;) {
    // Go on only while the measure still moves; a NaN difference stops the loop too.
    const double d = std::fabs(static_cast<double>(measure) - static_cast<double>(previousMeasure));
    if (!(d > static_cast<double>(kStopTolerance))) break;
    if (outerIteration >= kMaxOuterIterations) break;

    snapshotLabels(state);
    // The second sweep reuses the multipliers of the first: nothing they read has changed.
    detail::sweepLabels(state, detail::Multipliers::compute);
    detail::sweepLabels(state, detail::Multipliers::reuse);
    shrinkUpdate(state);

    ++outerIteration;
    previousMeasure = measure;
    measure = changeMeasure(state);
  }
  return outerIteration;
}

}  // namespace daskel
