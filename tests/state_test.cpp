#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "solver/solver.hpp"
#include "tests/test_problem.hpp"

namespace {

using daskel::BufferSource;
using daskel::SolverState;

// Messages passed to the print routine; a plain function pointer cannot carry context.
std::vector<std::string> printed;
void recordMessage(const char* message) {
  printed.emplace_back(message);
}

// A buffer source that fails chosen requests (numbered from 0) and logs every request.
struct FaultySource {
  std::vector<bool> failing;
  std::vector<std::size_t> requestedBytes;
  std::vector<void*> obtained;
  std::vector<void*> released;

  static void* obtain(std::size_t count, std::size_t elementSize, void* context) {
    auto& self = *static_cast<FaultySource*>(context);
    const std::size_t request = self.requestedBytes.size();
    self.requestedBytes.push_back(count * elementSize);
    if (request < self.failing.size() && self.failing[request]) return nullptr;
    void* memory = std::calloc(count, elementSize);
    self.obtained.push_back(memory);
    return memory;
  }
  static void release(void* buffer, void* context) {
    static_cast<FaultySource*>(context)->released.push_back(buffer);
    std::free(buffer);
  }
  BufferSource source() { return BufferSource{&obtain, &release, this}; }
};

void expectEmpty(const SolverState& state) {
  EXPECT_EQ(state.rows, 0);
  EXPECT_EQ(state.sliceSize, 0);
  EXPECT_EQ(state.volumeSize, 0);
  EXPECT_EQ(state.costs, nullptr);
  EXPECT_EQ(state.u, nullptr);
  EXPECT_EQ(state.dx, nullptr);
  EXPECT_EQ(state.multiplier, nullptr);
}

struct Arrays {
  explicit Arrays(std::size_t n) : costs(n), u(n) {}
  std::vector<float> costs, u;
};

TEST(SolverState, FreshStateHasSizesConstantsAndZeroBuffers) {
  Arrays a(3 * 5 * 2);
  SolverState state{};
  ASSERT_TRUE(
      daskel::initSolverState(state, 3, 5, 2, 0.5f, 1.0f, a.costs.data(), a.u.data(), nullptr));
  EXPECT_EQ(state.sliceSize, 15);
  EXPECT_EQ(state.volumeSize, 30);
  EXPECT_EQ(state.costs, a.costs.data());
  EXPECT_EQ(state.u, a.u.data());
  EXPECT_EQ(state.threshold2, 0.25f);
  EXPECT_EQ(state.inv4Penalty, 0.25f);
  EXPECT_EQ(state.inv3Penalty, static_cast<float>(1.0 / 3.0));
  EXPECT_EQ(state.inv2Penalty, 0.5f);
  for (float* buffer : {state.dx, state.dy, state.bx, state.by, state.outerPrev}) {
    ASSERT_NE(buffer, nullptr);
    for (int32_t e = 0; e < state.volumeSize; ++e) ASSERT_EQ(buffer[e], 0.0f);
  }
  for (int32_t p = 0; p < state.sliceSize; ++p) ASSERT_EQ(state.multiplier[p], 0.0f);
  daskel::releaseSolverState(state);
  EXPECT_EQ(state.dx, nullptr);
  daskel::releaseSolverState(state);  // a second release does nothing
}

TEST(SolverState, DerivedConstantsAreRoundedOnlyOnce) {
  Arrays a(8);
  SolverState state{};
  ASSERT_TRUE(
      daskel::initSolverState(state, 2, 2, 2, 1.0f, 3.0f, a.costs.data(), a.u.data(), nullptr));
  // Squaring the rounded quotient 1/3 would give another float than rounding 1/9.
  const float roundedFirst = (1.0f / 3.0f) * (1.0f / 3.0f);
  EXPECT_EQ(state.threshold2, static_cast<float>(1.0 / 9.0));
  EXPECT_NE(state.threshold2, roundedFirst);
  EXPECT_EQ(state.inv3Penalty, static_cast<float>(1.0 / 9.0));
  EXPECT_EQ(state.inv2Penalty, static_cast<float>(1.0 / 6.0));
  daskel::releaseSolverState(state);
}

TEST(SolverState, FailedRequestsAreReportedInOrderAndOnlyObtainedBuffersReleased) {
  for (unsigned mask = 0; mask < 64; ++mask) {  // every combination of the six requests
    std::vector<bool> pattern(6);
    for (unsigned r = 0; r < 6; ++r) pattern[r] = ((mask >> r) & 1U) != 0;
    Arrays a(4 * 3 * 2);
    FaultySource faulty{pattern, {}, {}, {}};
    printed.clear();
    SolverState state{};
    const bool complete = daskel::initSolverState(state, 4, 3, 2, 0.5f, 1.0f, a.costs.data(),
                                                  a.u.data(), recordMessage, faulty.source());
    int failures = 0;
    for (bool fails : pattern) failures += fails;

    EXPECT_EQ(complete, failures == 0);
    EXPECT_EQ(printed, std::vector<std::string>(failures, "Memory allocation failure\n"));
    // Every request is made, the volumes first and the one-slice multiplier last.
    EXPECT_EQ(faulty.requestedBytes, (std::vector<std::size_t>{96, 96, 96, 96, 96, 48}));
    if (!complete) {
      for (std::size_t e = 0; e < a.u.size(); ++e) a.u[e] = 0.01f * static_cast<float>(e);
      const std::vector<float> before = a.u;
      EXPECT_EQ(daskel::runSolver(state), 0);  // a state missing a buffer never runs
      daskel::labelSweep(state);               // nor does a sweep on its own
      EXPECT_EQ(a.u, before);
    }
    daskel::releaseSolverState(state);
    EXPECT_EQ(faulty.released, faulty.obtained);  // same buffers, same order
  }
}

TEST(SolverState, SizesOutsideTheLimitsRequestNothing) {
  struct Case {
    int32_t rows, cols, phases;
  };
  constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
  // The last three overflow a 64-bit product of all three factors (2^63 and more).
  const Case cases[] = {{1, 5, 2},
                        {5, 1, 2},
                        {2, 2, 0},
                        {0, 0, 0},
                        {-3, 4, 1},
                        {65536, 32768, 1},
                        {46341, 46341, 1},
                        {1024, 1024, 2048},
                        {kMax, kMax, 3},
                        {2097152, 2097152, 2097152},
                        {100000, 100000, 1000000000}};
  float dummy[8] = {};
  for (const Case& c : cases) {
    FaultySource counting{{}, {}, {}, {}};
    SolverState state{};
    EXPECT_FALSE(daskel::initSolverState(state, c.rows, c.cols, c.phases, 0.5f, 1.0f, dummy, dummy,
                                         recordMessage, counting.source()))
        << c.rows << " x " << c.cols << " x " << c.phases;
    EXPECT_TRUE(counting.requestedBytes.empty());
    expectEmpty(state);
    EXPECT_EQ(daskel::runSolver(state), 0);
    daskel::releaseSolverState(state);
  }
  SolverState state{};
  EXPECT_FALSE(daskel::initSolverState(state, 2, 2, 2, 0.5f, 1.0f, nullptr, dummy, nullptr));
  EXPECT_FALSE(daskel::initSolverState(state, 2, 2, 2, 0.5f, 1.0f, dummy, nullptr, nullptr));
}

// Where the phase slices of the owned volumes start, worked out by hand. A slice of 64 KiB or more
// is padded where more than four phases start within 256 bytes of one another modulo 4 KiB (more
// than two where its columns are within 64 bytes of a multiple of 4 KiB: a phase's left, own and
// right columns then share sets too), within 4 KiB modulo 128 KiB, or (of the first 16) within
// 128 KiB modulo 2 MiB; it is then
// padded to the first odd number of 4 KiB pages, plus 256 bytes, whose phase starts pass all
// three tests, unless the padded volume would leave the int32 range. Offsets below are the
// distances of phase k from phase 0, k times the stride, in each way span.
TEST(SolverState, PadsPhaseSlicesThatWouldShareCacheSets) {
  constexpr int32_t kPage = 1024;  // floats in 4 KiB
  constexpr int32_t kShift = 64;   // floats in 256 bytes
  const struct {
    int32_t rows, cols, phases;
    int32_t stride;  // floats from one phase slice to the next
  } cases[] = {
      // 4 MiB slices all start at one offset modulo 4 KiB. With 1025 pages + 256 B phase k lies at
      // 4352 k modulo 2 MiB, all 16 within 128 KiB; 1027 .. 1039 pages still leave five or more
      // within 128 KiB (12544, ..., 61696 B apart); at 1041 (69888 B apart) each phase has only
      // its two neighbours there, and modulo 128 KiB the phases lie 69888 k mod 128 KiB apart,
      // none within 4 KiB but 0 and 15 (256 B apart).
      {1024, 1024, 16, 1041 * kPage + kShift},
      {1024, 1024, 8, 1041 * kPage + kShift},
      {1024, 1024, 5, 1041 * kPage + kShift},  // 1039 pages: phases 0 .. 4 within 123392 B
      // 4 KiB columns. 1025 pages + 256 B: 256 B apart modulo 4 KiB, 4352 B modulo 128 KiB and
      // 2 MiB (three or four phases, all within 128 KiB).
      {1024, 1024, 4, 1025 * kPage + kShift},
      {1024, 1024, 3, 1025 * kPage + kShift},
      {1024, 1024, 2, 1024 * 1024},
      {1040, 1024, 4, 1040 * 1024},  // columns 64 B past 4 KiB: four phases are four
      {1008, 1024, 4, 1008 * 1024},  // 64 B short of it
      // 4000000 B: 2304 B = 9 x 256 B apart modulo 4 KiB (16 distinct offsets), 67840 B modulo
      // 128 KiB (none within 4 KiB), 1902848 B modulo 2 MiB (only phases 11 apart within
      // 128 KiB: at most two per phase).
      {1000, 1000, 16, 1000 * 1000},
      // 1000 pages exactly. 1001 pages + 256 B: 37120 B apart modulo 128 KiB (phases 7 apart lie
      // 2304 B apart: three per phase at most), 2003200 B modulo 2 MiB, 93952 B short of the
      // span: only neighbours within 128 KiB.
      {1024, 1000, 16, 1001 * kPage + kShift},
      // 2000 pages. 2001 pages + 256 B: 69888 B apart modulo 128 KiB as at 1041 pages, and
      // 1904896 B modulo 2 MiB: only phases 11 apart within 128 KiB.
      {2048, 1000, 16, 2001 * kPage + kShift},
      // 256 pages. 257 pages + 256 B: 4352 B apart modulo 128 KiB, 1052928 B modulo 2 MiB: phases
      // 0, 2 and 4 within 128 KiB (8704 B apart), three.
      {512, 512, 5, 257 * kPage + kShift},
      {128, 128, 16, 17 * kPage + kShift},  // 64 KiB, the smallest slice checked: as 1041 pages
      {128, 127, 16, 128 * 127},            // just under 64 KiB: cached whole, left alone
      {16, 16, 16, 16 * 16},
      {300, 2000, 3, 300 * 2000},
      // The padded volume at the edge of the int32 range: 5 x (419429 pages + 256 B) fits (and
      // passes: 20736 B apart modulo 128 KiB, 413952 B modulo 2 MiB), 5 x (419431 pages + 256 B)
      // does not.
      {1024, 419428, 5, 419429 * kPage + kShift},
      {1024, 419430, 5, 1024 * 419430},
  };
  float dummy[1] = {};
  for (const auto& c : cases) {
    FaultySource refusing{std::vector<bool>(7, true), {}, {}, {}};
    SolverState state{};
    daskel::initSolverState(state, c.rows, c.cols, c.phases, 0.5f, 1.0f, dummy, dummy, nullptr,
                            refusing.source());
    const std::string at =
        std::to_string(c.rows) + " x " + std::to_string(c.cols) + " x " + std::to_string(c.phases);
    EXPECT_EQ(state.phaseStride, c.stride) << at;
    ASSERT_FALSE(refusing.requestedBytes.empty()) << at;
    EXPECT_EQ(refusing.requestedBytes.front(),
              std::size_t{4} * static_cast<std::size_t>(c.stride) * c.phases)
        << at;
    daskel::releaseSolverState(state);
  }
}

// A padded grid requests its copy of u after the six buffers. It is optional: refused, the
// state is still complete, nothing is printed, and the solve has the bits of one that has it.
TEST(SolverState, PaddedCopyIsRequestedLastAndMayBeRefused) {
  const int32_t rows = 128, cols = 128, phases = 16;
  const auto count = static_cast<std::size_t>(rows) * cols * phases;
  std::vector<float> costs(count);
  std::vector<float> u0(count);
  for (std::size_t e = 0; e < count; ++e) {
    costs[e] = static_cast<float>((e * 7919) % 1000) / 500.0f;
    u0[e] = static_cast<float>((e * 104729) % 997) / 997.0f;
  }
  std::vector<float> withCopy = u0;
  FaultySource counting{{}, {}, {}, {}};
  SolverState full{};
  ASSERT_TRUE(daskel::initSolverState(full, rows, cols, phases, 0.5f, 1.0f, costs.data(),
                                      withCopy.data(), nullptr, counting.source()));
  ASSERT_EQ(counting.requestedBytes.size(), 7u);
  EXPECT_EQ(counting.requestedBytes[6], std::size_t{4} * full.phaseStride * phases);
  EXPECT_NE(full.paddedU, nullptr);
  const int32_t iterations = daskel::runSolver(full, 2);
  daskel::releaseSolverState(full);
  EXPECT_EQ(counting.released.size(), 7u);

  printed.clear();
  std::vector<float> without = u0;
  std::vector<bool> failing(7, false);
  failing[6] = true;
  FaultySource refusing{failing, {}, {}, {}};
  SolverState state{};
  ASSERT_TRUE(daskel::initSolverState(state, rows, cols, phases, 0.5f, 1.0f, costs.data(),
                                      without.data(), recordMessage, refusing.source()));
  EXPECT_TRUE(printed.empty());
  EXPECT_EQ(state.paddedU, nullptr);
  EXPECT_EQ(daskel::runSolver(state, 2), iterations);
  EXPECT_EQ(std::memcmp(without.data(), withCopy.data(), count * sizeof(float)), 0);
  daskel::releaseSolverState(state);
}

TEST(SolverState, LargestVolumeWithinTheIntegerRangeIsAccepted) {
  const int32_t rows = 46340, cols = 46340;  // 2147395600 elements, just below 2^31 - 1
  FaultySource refusing{std::vector<bool>(6, true), {}, {}, {}};
  SolverState state{};
  float dummy[1] = {};
  EXPECT_FALSE(daskel::initSolverState(state, rows, cols, 1, 0.5f, 1.0f, dummy, dummy, nullptr,
                                       refusing.source()));
  EXPECT_EQ(state.volumeSize, rows * cols);
  EXPECT_EQ(refusing.requestedBytes.front(), std::size_t{2147395600} * 4);
  daskel::releaseSolverState(state);
}

}  // namespace

namespace {

// Memory that is not the C allocator's, so that handing it to free() is an error. The tests
// below never run a solve on it, so every request may share it.
alignas(float) unsigned char arena[64];
void* obtainFromArena(std::size_t, std::size_t, void*) {
  std::memset(arena, 0, sizeof arena);
  return arena;
}
void releaseNothing(void*, void*) {}

TEST(SolverState, SourceWithOnlyOneRoutineIsRefused) {
  const BufferSource halves[] = {{&obtainFromArena, nullptr, nullptr},
                                 {nullptr, &releaseNothing, nullptr}};
  Arrays a(2 * 2 * 2);
  for (const BufferSource& half : halves) {
    SolverState state{};
    EXPECT_FALSE(daskel::initSolverState(state, 2, 2, 2, 0.5f, 1.0f, a.costs.data(), a.u.data(),
                                         nullptr, half));
    expectEmpty(state);
    daskel::releaseSolverState(state);  // hands nothing to free()
  }
}

TEST(SolverState, SettingUpAgainReleasesTheEarlierBuffersThroughTheirSource) {
  Arrays a(4 * 3 * 2);
  FaultySource first{{}, {}, {}, {}};
  FaultySource second{{}, {}, {}, {}};
  SolverState state{};
  ASSERT_TRUE(daskel::initSolverState(state, 4, 3, 2, 0.5f, 1.0f, a.costs.data(), a.u.data(),
                                      nullptr, first.source()));
  ASSERT_TRUE(daskel::initSolverState(state, 4, 3, 2, 0.5f, 1.0f, a.costs.data(), a.u.data(),
                                      nullptr, second.source()));
  EXPECT_EQ(first.released, first.obtained);
  EXPECT_TRUE(second.released.empty());
  // A set-up that is refused still gives back what the state held.
  EXPECT_FALSE(
      daskel::initSolverState(state, 1, 3, 2, 0.5f, 1.0f, a.costs.data(), a.u.data(), nullptr));
  EXPECT_EQ(second.released, second.obtained);
  expectEmpty(state);
}

}  // namespace
