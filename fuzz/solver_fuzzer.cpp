// Fuzz target for the host-free solver: arbitrary sizes within the limits and arbitrary float bit
// patterns in the costs, the initial labelling and both parameters. Whatever the input, the solve
// must not crash, every value of the result must be NaN or lie in [0, 1], with every pixel free
// of NaN summing to one, and the result must equal, bit for bit, that of the oracle (oracle/; any
// NaN matching any NaN) after the same number of outer iterations.
//
// Input layout: rows, cols, phases (one byte each, reduced to 2..49, 2..49, 1..16), a mode byte,
// tvWeight and penalty (four bytes each), then the floats of costs and u0 (four bytes each,
// repeated cyclically when the input is short). In the "special" mode each float is picked by one
// byte from a table of awkward values instead.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "oracle/oracle.hpp"
#include "solver/solver.hpp"

namespace {

constexpr std::size_t kHeaderBytes = 12;

float specialValue(uint8_t byte) {
  constexpr float inf = std::numeric_limits<float>::infinity();
  const float table[] = {0.0f,      -0.0f,     1.0f,    0.5f,
                         0.25f,     2.0f,      1e-45f,  1e-38f,
                         1e-7f,     1e38f,     3.4e38f, -1.0f,
                         -1e-30f,   inf,       -inf,    std::numeric_limits<float>::quiet_NaN(),
                         0.999999f, 1.000001f, 1e10f,   0.1f};
  constexpr std::size_t count = sizeof table / sizeof table[0];
  return byte < count ? table[byte] : static_cast<float>(byte - count) / 64.0f;
}

class Reader {
 public:
  Reader(const uint8_t* data, std::size_t size, bool special)
      : data_(data), size_(size), special_(special) {}
  float next() {
    if (size_ == 0) return 0.0f;
    if (special_) return specialValue(data_[position_++ % size_]);
    uint8_t bytes[4];
    for (uint8_t& b : bytes) b = data_[position_++ % size_];
    float value = 0.0f;
    std::memcpy(&value, bytes, sizeof value);
    return value;
  }

 private:
  const uint8_t* data_;
  std::size_t size_;
  bool special_;
  std::size_t position_ = 0;
};

float floatFrom(const uint8_t* bytes) {
  float value = 0.0f;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

[[noreturn]] void fail(const char* what, int32_t p, double value) {
  std::fprintf(stderr, "property violated: %s at pixel %d (%.9g)\n", what, p, value);
  std::abort();
}

uint32_t bitsOf(float value) {
  uint32_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

void checkSameAsOracle(const std::vector<float>& u, const std::vector<float>& expected) {
  for (std::size_t e = 0; e < u.size(); ++e) {
    const bool bothNaN = std::isnan(u[e]) && std::isnan(expected[e]);
    if (!bothNaN && bitsOf(u[e]) != bitsOf(expected[e])) {
      fail("result differs from the oracle's", static_cast<int32_t>(e), u[e]);
    }
  }
}

// Solves with the library or, `byOracle`, with the oracle; returns the iterations.
int32_t solve(bool byOracle, int32_t rows, int32_t cols, int32_t phases, float tvWeight,
              float penalty, const std::vector<float>& costs, std::vector<float>& u) {
  const std::vector<float> u0 = u;
  daskel::SolverState state{};
  const daskel::BufferSource buffers =
      byOracle ? daskel::oracle::callocBuffers() : daskel::BufferSource{};
  if (!daskel::initSolverState(state, rows, cols, phases, tvWeight, penalty, costs.data(), u.data(),
                               nullptr, buffers)) {
    fail("set-up failed", -1, 0.0);
  }
  std::copy(u0.begin(), u0.end(), u.begin());
  const int32_t iterations = byOracle ? daskel::oracle::runSolver(state) : daskel::runSolver(state);
  daskel::releaseSolverState(state);
  return iterations;
}

void checkLabelling(const std::vector<float>& u, int32_t slice, int32_t phases) {
  for (int32_t p = 0; p < slice; ++p) {
    double sum = 0.0;
    bool hasNaN = false;
    for (int32_t k = 0; k < phases; ++k) {
      const float v = u[p + static_cast<std::size_t>(slice) * k];
      if (std::isnan(v)) {
        hasNaN = true;
      } else if (!(v >= 0.0f && v <= 1.0f)) {
        fail("value outside [0, 1]", p, v);
      }
      sum += v;
    }
    // The tolerance of the renormalisation plus the rounding of the stored values.
    if (!hasNaN && std::fabs(sum - 1.0) > 1.5e-6) fail("pixel does not sum to one", p, sum);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < kHeaderBytes) return 0;
  const int32_t rows = 2 + data[0] % 48;
  const int32_t cols = 2 + data[1] % 48;
  const int32_t phases = 1 + data[2] % 16;
  const bool special = (data[3] & 1) != 0;
  float tvWeight = floatFrom(data + 4);
  float penalty = floatFrom(data + 8);
  Reader values(data + kHeaderBytes, size - kHeaderBytes, special);
  if (special) {
    tvWeight = specialValue(data[4]);
    penalty = specialValue(data[8]);
  }

  const std::size_t count = static_cast<std::size_t>(rows) * cols * phases;
  std::vector<float> costs(count);
  std::vector<float> u0(count);
  for (float& c : costs) c = values.next();
  for (float& v : u0) v = values.next();

  std::vector<float> u = u0;
  const int32_t iterations = solve(false, rows, cols, phases, tvWeight, penalty, costs, u);
  if (iterations < 1 || iterations > 5) fail("iteration count", -1, iterations);
  std::vector<float> expected = u0;
  if (solve(true, rows, cols, phases, tvWeight, penalty, costs, expected) != iterations) {
    fail("iteration count differs from the oracle's", -1, iterations);
  }
  checkSameAsOracle(u, expected);
  checkLabelling(u, rows * cols, phases);
  return 0;
}
