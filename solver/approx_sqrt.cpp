// The solver's only square root, as the library offers it: one scalar lane of the rule.
#include "solver/approx_sqrt.hpp"

#include "solver/solver.hpp"

namespace daskel {

float approxSqrt(float x) {
  return detail::approxSqrt(lanes::ScalarFloats{x}).value;
}

}  // namespace daskel
