// The approximate square root, inline for the kernels that take many roots. Compiled only inside
// the library, where contraction into fused multiply-adds is off.
#ifndef DASKEL_SOLVER_APPROX_SQRT_HPP
#define DASKEL_SOLVER_APPROX_SQRT_HPP

#include <cstdint>
#include <cstring>

namespace daskel::detail {

// Reciprocal square root estimated from the bit pattern, refined by two Newton-Raphson steps
// y <- y (1.5 - (x/2) y^2), then multiplied by x. Unsigned arithmetic gives the same bits as the
// signed formula without overflow for inputs with the sign bit set.
inline float approxSqrtInline(float x) {
  int32_t bits = 0;
  std::memcpy(&bits, &x, sizeof bits);
  const uint32_t estimateBits = 0x5f3759dfU - static_cast<uint32_t>(bits >> 1);
  float y = 0.0f;
  std::memcpy(&y, &estimateBits, sizeof y);
  const float half = 0.5f * x;
  y = y * (1.5f - (half * y) * y);
  y = y * (1.5f - (half * y) * y);
  return y * x;
}

}  // namespace daskel::detail

#endif  // DASKEL_SOLVER_APPROX_SQRT_HPP
