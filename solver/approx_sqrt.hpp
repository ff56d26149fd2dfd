// The approximate square root, written once over the float lane types of solver/lanes.hpp.
#ifndef DASKEL_SOLVER_APPROX_SQRT_HPP
#define DASKEL_SOLVER_APPROX_SQRT_HPP

#include <cstdint>

#include "solver/lanes.hpp"

DASKEL_LANES_BEGIN
namespace daskel::detail {
// Unnamed: each file compiles its own copy for its lane level (see solver/lanes.hpp).
namespace {

constexpr uint32_t kRootMagic = 0x5f3759df;  // the estimate of the reciprocal root, from the bits

// Square root of each lane: the reciprocal root is estimated from the bit pattern b of x as the
// float whose bits are kRootMagic - (b >> 1) (a 32-bit difference, the shift copying the sign
// bit), refined by two Newton-Raphson steps y <- y (1.5 - (x/2) y^2), then multiplied by x.
template <class F>
F approxSqrt(F x) {
  F y = constantMinusHalfBits(kRootMagic, x);
  const F half = F::set(0.5f) * x;
  const F threeHalves = F::set(1.5f);
  y = y * (threeHalves - (half * y) * y);
  y = y * (threeHalves - (half * y) * y);
  return y * x;
}

}  // namespace
}  // namespace daskel::detail
DASKEL_LANES_END

#endif  // DASKEL_SOLVER_APPROX_SQRT_HPP
