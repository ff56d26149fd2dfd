// The oracle, step by step as the method states it; see oracle.hpp.
//
// Notation: M rows, N columns, K phases; element (i, j, k) at q = i + M j + M N k, pixel
// p = i + M j. "float" and "double" name the IEEE type each operation rounds to.
#include "oracle/oracle.hpp"

#include <cmath>
#include <cstdlib>
#include <cstring>

namespace daskel::oracle {
namespace {

constexpr uint32_t kMagic = 0x5f3759df;  // the bit-pattern estimate of the reciprocal root
constexpr double kTolerance = 1e-6;      // of a pixel's sum against one
constexpr double kSmallestNormal = 0x1p-126;
constexpr int32_t kMaxOuterIterations = 5;
constexpr float kStopTolerance = 1e-6f;

// The constants a solve derives from tvWeight and penalty.
struct Constants {
  float threshold2;  // (tvWeight / penalty)^2, rounded once
  float inv4Penalty;
  float inv3Penalty;
  float inv2Penalty;
};

Constants constantsOf(const SolverState& state) {
  const double q = static_cast<double>(state.tvWeight) / static_cast<double>(state.penalty);
  const double penalty = state.penalty;
  return {static_cast<float>(q * q), static_cast<float>(1.0 / (4.0 * penalty)),
          static_cast<float>(1.0 / (3.0 * penalty)), static_cast<float>(1.0 / (2.0 * penalty))};
}

// Rows [i0, i1) of columns [j0, j1).
struct Region {
  int32_t i0, i1, j0, j1;
};

}  // namespace

float approxSqrt(float x) {
  int32_t b = 0;
  std::memcpy(&b, &x, sizeof b);
  // kMagic - (b >> 1) as 32-bit integers; b >> 1 keeps the sign bit.
  const uint32_t y0Bits = kMagic - static_cast<uint32_t>(b >> 1);
  float y0 = 0.0f;
  std::memcpy(&y0, &y0Bits, sizeof y0);
  const float h = 0.5f * x;
  const float y1 = y0 * (1.5f - (h * y0) * y0);
  const float y2 = y1 * (1.5f - (h * y1) * y1);
  return y2 * x;
}

std::vector<std::pair<int32_t, int32_t>> visitingOrder(int32_t rows, int32_t cols) {
  const int32_t M = rows;
  const int32_t N = cols;
  const Region regions[] = {
      {1, M - 1, 1, N - 1},  // interior
      {1, M - 1, 0, 1},      // left column
      {1, M - 1, N - 1, N},  // right column
      {0, 1, 1, N - 1},      // top row
      {M - 1, M, 1, N - 1},  // bottom row
      {0, 1, 0, 1},          // corner (0, 0)
      {0, 1, N - 1, N},      // corner (0, N-1)
      {M - 1, M, 0, 1},      // corner (M-1, 0)
      {M - 1, M, N - 1, N},  // corner (M-1, N-1)
  };
  std::vector<std::pair<int32_t, int32_t>> order;
  for (const Region& region : regions) {
    for (int32_t j = region.j0; j < region.j1; ++j) {
      for (int32_t i = region.i0; i < region.i1; ++i) order.emplace_back(i, j);
    }
  }
  return order;
}

// The u subproblem: one Gauss-Seidel pass, in place, in visiting order.
void labelSweep(SolverState& state) {
  if (state.u == nullptr || state.multiplier == nullptr) return;
  const int32_t M = state.rows;
  const int32_t N = state.cols;
  const int32_t K = state.phases;
  const int32_t MN = M * N;
  const double pen = state.penalty;
  const Constants constants = constantsOf(state);
  float* u = state.u;
  float* multiplier = state.multiplier;
  const float* costs = state.costs;
  const int32_t S = state.phaseStride;  // between phase slices of dx, dy, bx, by
  // A = dx - bx and B = dy - by at pixel p of phase k, in double.
  auto A = [&state, S](int32_t p, int32_t k) {
    return static_cast<double>(state.dx[p + S * k]) - static_cast<double>(state.bx[p + S * k]);
  };
  auto B = [&state, S](int32_t p, int32_t k) {
    return static_cast<double>(state.dy[p + S * k]) - static_cast<double>(state.by[p + S * k]);
  };

  for (const auto& [i, j] : visitingOrder(M, N)) {
    const int32_t p = i + M * j;
    const bool up = i > 0;
    const bool down = i < M - 1;
    const bool left = j > 0;
    const bool right = j < N - 1;
    const int n = up + down + left + right;
    const double c = n == 4 ? 0.25 : n == 3 ? static_cast<double>(1.0f / 3.0f) : 0.5;
    const float w = n == 4   ? constants.inv4Penalty
                    : n == 3 ? constants.inv3Penalty
                             : constants.inv2Penalty;

    // The multiplier: the phase mean of pen X + pen Y - cost.
    double acc = 0.0;
    for (int32_t k = 0; k < K; ++k) {
      const int32_t q = p + MN * k;
      const double X = left ? A(p - M, k) - A(p, k) : -A(p, k);
      const double Y = up ? B(p - 1, k) - B(p, k) : -B(p, k);
      acc = acc + ((pen * X + pen * Y) - static_cast<double>(costs[q]));
    }
    multiplier[p] = static_cast<float>(acc / static_cast<double>(K));

    // Each phase: the stencil sum sigma (right, down, left, up), the value v, clamped to [0, 1].
    double sum = 0.0;
    for (int32_t k = 0; k < K; ++k) {
      const int32_t q = p + MN * k;
      const double X = left ? A(p - M, k) - A(p, k) : -A(p, k);
      const double Y = up ? B(p - 1, k) - B(p, k) : -B(p, k);
      double sigma = X + Y;
      if (right) sigma = sigma + static_cast<double>(u[q + M]);
      if (down) sigma = sigma + static_cast<double>(u[q + 1]);
      if (left) sigma = sigma + static_cast<double>(u[q - M]);
      if (up) sigma = sigma + static_cast<double>(u[q - 1]);
      double v = c * sigma - (static_cast<double>(multiplier[p]) + static_cast<double>(costs[q])) *
                                 static_cast<double>(w);
      if (v > 1.0) {
        v = 1.0;
      } else if (v < 0.0) {
        v = 0.0;
      }
      sum = sum + v;
      u[q] = static_cast<float>(v);
    }

    // Normalisation: a sum further than the tolerance from one rescales the pixel; a sum below
    // the normal floats by the sum of the stored values; a zero sum gives 1/K.
    const double d = sum - 1.0;
    if (d > kTolerance || d < -kTolerance) {
      if (sum < kSmallestNormal) {
        sum = 0.0;
        for (int32_t k = 0; k < K; ++k) sum = sum + static_cast<double>(u[p + MN * k]);
      }
      for (int32_t k = 0; k < K; ++k) {
        const int32_t q = p + MN * k;
        u[q] = sum != 0.0 ? static_cast<float>(static_cast<double>(u[q]) / sum)
                          : static_cast<float>(1.0 / static_cast<double>(K));
      }
    }
  }
}

// The d subproblem and the Bregman update, element by element, all in float.
void shrinkUpdate(SolverState& state) {
  if (state.u == nullptr || state.dx == nullptr || state.dy == nullptr || state.bx == nullptr ||
      state.by == nullptr) {
    return;
  }
  const int32_t M = state.rows;
  const int32_t N = state.cols;
  const int32_t MN = M * N;
  const float threshold2 = constantsOf(state).threshold2;
  const float t = approxSqrt(threshold2);
  const int32_t S = state.phaseStride;  // between phase slices of dx, dy, bx, by
  const float* u = state.u;
  float* bx = state.bx;
  float* by = state.by;
  for (int32_t k = 0; k < state.phases; ++k) {
    for (int32_t j = 0; j < N; ++j) {
      for (int32_t i = 0; i < M; ++i) {
        const int32_t q = i + M * j + MN * k;
        const int32_t o = i + M * j + S * k;
        const float gx = j < N - 1 ? u[q + M] - u[q] : 0.0f;
        const float gy = i < M - 1 ? u[q + 1] - u[q] : 0.0f;
        const float vx = bx[o] + gx;
        const float vy = by[o] + gy;
        const float s = vx * vx + vy * vy;
        // Below the threshold d = 0; so too for a zero vector at a zero threshold, not 0/0.
        float dx = 0.0f;
        float dy = 0.0f;
        if (!(s < threshold2) && s != 0.0f) {
          const float r = approxSqrt(s);
          const float f = (r - t) / r;
          dx = vx * f;
          dy = vy * f;
        }
        state.dx[o] = dx;
        state.dy[o] = dy;
        bx[o] = bx[o] + (gx - dx);
        by[o] = by[o] + (gy - dy);
      }
    }
  }
}

ChangeSums changeSums(const SolverState& state) {
  ChangeSums sums;
  const int32_t MN = state.rows * state.cols;
  const int32_t count = MN * state.phases;
  for (int32_t e = 0; e < count; ++e) {
    const double o = state.outerPrev[e % MN + state.phaseStride * (e / MN)];
    const double v = state.u[e];
    sums.P = sums.P + o * o;
    sums.Q = sums.Q + v * v;
    const double diff = v - o;
    sums.D = sums.D + diff * diff;
  }
  return sums;
}

void outerIteration(SolverState& state) {
  const int32_t MN = state.rows * state.cols;
  const int32_t count = MN * state.phases;
  for (int32_t e = 0; e < count; ++e) {
    state.outerPrev[e % MN + state.phaseStride * (e / MN)] = state.u[e];
  }
  oracle::labelSweep(state);
  oracle::labelSweep(state);
  oracle::shrinkUpdate(state);
}

int32_t runSolver(SolverState& state) {
  if (state.costs == nullptr || state.u == nullptr || state.dx == nullptr || state.dy == nullptr ||
      state.bx == nullptr || state.by == nullptr || state.outerPrev == nullptr ||
      state.multiplier == nullptr) {
    return 0;
  }
  float measure = 1e11f;
  float previousMeasure = 1e10f;
  int32_t iterations = 0;
  for (;;) {
    // Stop test: go on only while the two latest measures differ by more than the tolerance.
    const double d = std::fabs(static_cast<double>(measure) - static_cast<double>(previousMeasure));
    if (!(d > static_cast<double>(kStopTolerance))) break;
    if (iterations >= kMaxOuterIterations) break;

    outerIteration(state);
    const ChangeSums sums = changeSums(state);
    ++iterations;
    previousMeasure = measure;
    measure = static_cast<float>(sums.D / (sums.P * sums.Q));
  }
  return iterations;
}

BufferSource callocBuffers() {
  BufferSource source;
  source.obtain = [](std::size_t count, std::size_t size, void*) {
    return std::calloc(count, size);
  };
  source.release = [](void* buffer, void*) { std::free(buffer); };
  return source;
}

}  // namespace daskel::oracle
