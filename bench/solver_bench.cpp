// Nanoseconds per element per outer iteration of the solver, beside the oracle's kernels
// (oracle/) and a plain C version of the same rules in the same process, on one thread and on
// several, and the ratio to the memory floor.
//
// The floor: an outer iteration has to move about 23 volume-sized float arrays through memory
// (two sweeps reading costs, u, dx, dy, bx, by and writing u; the shrinkage reading u, bx, by
// and writing dx, dy, bx, by; the snapshot; the change measure), 92 bytes per element. At start
// the benchmark measures one core's streaming bandwidth with a triad a = b + s c over three large
// float arrays; floor = 92 bytes / bandwidth. Columns:
//   ns_el_it  thread processor time in nanoseconds per element (rows * cols * phases) per outer
//             iteration; for a single kernel, per element per call
//   x_floor   ns_el_it divided by the floor (whole calls only)
// Rows: call (a whole solve on one thread, set-up and release included), sweep (one labelling
// sweep), sweeps (the two sweeps of an outer iteration, as the driver runs them), shrink
// (shrinkage and Bregman update without the change measure), each by the library (call/fast/...)
// and, on grids of up to 2^24 elements, by the oracle (call/oracle/...); and versus: whole calls by
// the wall clock, alternating in every iteration the plain C solver (bench/plain_solver.c, -O2),
// the library on one thread, on two and on all (the automatic count), and two one-thread solves at
// once on two threads, each on its own labelling, with the medians of each:
//   plain, t1, t2, tall   ns per element per outer iteration
//   t1pair                the same for each of the two solves at once
//   x_plain               plain / t1
//   speedup2, speedup_all t1 / t2, t1 / tall
//   capacity2             2 t1 / t1pair: the work two cores do, each on its own solve, in the
//                         time one core does one; what two cores can give on this machine at
//                         this moment, against which speedup2 is to be read (2 where the cores
//                         neither share anything nor slow each other)
//   floor1, floor2, floor_all  t1, t2, tall divided by the floor
//   cores2                2 a1 / a2, where a1 is the time of a run of integer arithmetic that
//                         touches no memory and a2 that of two such runs at once: the cores'
//                         worth of arithmetic that the two processors give at this moment (2 on
//                         two cores of their own; 1 where they share one core, as virtual
//                         processors of a shared host at times do, and then no schedule makes
//                         two threads much faster than one)
//   link_ns               the time in ns for a cache line to pass from one thread to another
//                         and back, which members of a team pay wherever they share data
//                         (100 to 150 ns on the development machine at times, 430 to 510 at
//                         others)
// A versus row stops with an error where a result differs from the plain solver's in any bit.
// And warm: the same t1, t2, t1pair, speedup2, capacity2, cores2 and link_ns for calls on states
// set up once and touched by an untimed call first, so without the first touch of fresh buffers
// (that call's one-thread result is the reference).
//
// levels: warm calls on one thread at every kernel level this processor has, alternating in every
// round on one state: ns per element per outer iteration at each (scalar, sse2, avx2, avx512) and
// x_<level>, the time at the level below divided by the time at that level.
//
// previous: this build's library against an earlier build's, each loaded as a module of its own
// (bench/library_module.cpp; the earlier one where the build names it, see bench/CMakeLists.txt),
// alternating in every round whole calls and warm calls on one thread by each: ns per element per
// outer iteration (whole, whole_before, warm, warm_before), x_whole and x_warm (earlier / this:
// the median over pairs of rounds, the two of each pair running the builds in opposite orders, of
// the geometric mean of their ratios) and their least and greatest pair (x_warm_lo, x_warm_hi,
// likewise for whole). Both run at the level DASKEL_KERNELS picks, or
// their best; a result that differs from the earlier build's in any bit stops the row.
//
// Run: build/bench/daskel_bench [--benchmark_filter=REGEX] [--benchmark_repetitions=N]; the
// kernels run at the level that DASKEL_KERNELS picks, as in every call of the library.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "bench/plain_solver.h"
#include "oracle/oracle.hpp"
#include "solver/kernels.hpp"
#include "solver/solver.hpp"

namespace {

constexpr double kFloorBytesPerElement = 92.0;
double floorNsPerElement = 0.0;  // set by main from the triad

using Clock = std::chrono::steady_clock;

// The calling thread's processor time (user and system, so first touches of pages count), which
// the other work on a shared machine disturbs less than wall time.
double threadNs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return 1e9 * static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec);
}

double triadBytesPerNs() {
  const std::size_t n = std::size_t{1} << 25;  // 128 MiB per array
  std::vector<float> a(n, 0.0f);
  std::vector<float> b(n, 1.0f);
  std::vector<float> c(n, 2.0f);
  double best = 0.0;
  for (int rep = 0; rep < 5; ++rep) {
    const float scale = 0.5f + static_cast<float>(rep);
    const auto start = Clock::now();
    for (std::size_t i = 0; i < n; ++i) a[i] = b[i] + scale * c[i];
    benchmark::ClobberMemory();
    const double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
    best = std::max(best, 3.0 * 4.0 * static_cast<double>(n) / ns);
  }
  benchmark::DoNotOptimize(a.data());
  return best;
}

struct Size {
  int32_t rows;
  int32_t cols;
  int32_t phases;
  std::size_t elements() const {
    return static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols) *
           static_cast<std::size_t>(phases);
  }
  std::string name() const {
    return std::to_string(rows) + "x" + std::to_string(cols) + "x" + std::to_string(phases);
  }
};

// Costs and an initial labelling of a noisy piecewise-constant image with `phases` regions.
struct Input {
  std::vector<float> costs;
  std::vector<float> u0;
  explicit Input(const Size& s) : costs(s.elements()), u0(s.elements()) {
    std::mt19937 random(12345u);
    std::normal_distribution<float> noise(0.0f, 0.3f);
    const int32_t slice = s.rows * s.cols;
    for (int32_t j = 0; j < s.cols; ++j) {
      for (int32_t i = 0; i < s.rows; ++i) {
        const int32_t p = i + s.rows * j;
        const float level = static_cast<float>((i / 64 + j / 48) % s.phases) + noise(random);
        for (int32_t k = 0; k < s.phases; ++k) {
          const float distance = level - static_cast<float>(k);
          costs[p + slice * k] = 0.1f * distance * distance;
          u0[p + slice * k] = 1.0f / static_cast<float>(s.phases);
        }
      }
    }
  }
};

void report(benchmark::State& state, double ns, double units, bool whole) {
  const double perUnit = ns / units;
  state.counters["ns_el_it"] = perUnit;
  if (whole) state.counters["x_floor"] = perUnit / floorNsPerElement;
}

// One whole call: set-up with zero-filled buffers, copy of u0, the iteration, release. The
// oracle's row is the oracle as a whole: its kernels and calloc'd buffers. Returns the outer
// iterations.
int32_t solveOnce(const Size& size, const Input& input, std::vector<float>& u, bool fast,
                  int32_t threads) {
  daskel::SolverState s{};
  // The oracle takes its zero-filled buffers from calloc, as a solver without a source of its own
  // would; the library from its default source.
  daskel::initSolverState(s, size.rows, size.cols, size.phases, 0.5f, 1.0f, input.costs.data(),
                          u.data(), nullptr,
                          fast ? daskel::BufferSource{} : daskel::oracle::callocBuffers());
  std::copy(input.u0.begin(), input.u0.end(), u.begin());
  const int32_t iterations = fast ? daskel::runSolver(s, threads) : daskel::oracle::runSolver(s);
  daskel::releaseSolverState(s);
  benchmark::DoNotOptimize(u.data());
  return iterations;
}

// Whole calls on the calling thread, by its processor time.
void wholeCall(benchmark::State& state, Size size, bool fast) {
  const Input input(size);
  std::vector<float> u(size.elements());
  double ns = 0.0;
  double units = 0.0;
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores): the loop idiom
    const double start = threadNs();
    const int32_t iterations = solveOnce(size, input, u, fast, 1);
    ns += threadNs() - start;
    units += static_cast<double>(size.elements()) * iterations;
  }
  report(state, ns, units, true);
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n == 0 ? 0.0 : n % 2 == 1 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

// One run of a row that alternates several: `run` solves and returns the outer iterations;
// `sameBits` tells whether what it gave matches the row's reference result.
struct TurnRun {
  const char* name;
  std::function<int32_t()> run;
  std::function<bool()> sameBits;
};

// The runs in turn within every iteration of `state`, so that a disturbance of the machine
// touches all of them alike; each round starts one later in the list, so that every run follows
// each of the others equally often (a call just after the plain solver's frees pays more for its
// fresh pages). Returns each run's wall-clock ns per element and outer iteration, round by round,
// or nothing where a result differs from the reference, which stops the row.
std::vector<std::vector<double>> timeInTurn(benchmark::State& state, const Size& size,
                                            const std::vector<TurnRun>& runs) {
  const auto count = static_cast<int32_t>(runs.size());
  std::vector<std::vector<double>> nsPerUnit(runs.size());
  int32_t round = 0;
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores): the loop idiom
    for (int32_t turn = 0; turn < count; ++turn) {
      const auto index = static_cast<std::size_t>((turn + round) % count);
      const TurnRun& r = runs[index];
      const auto start = Clock::now();
      const int32_t iterations = r.run();
      const double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
      nsPerUnit[index].push_back(ns / (static_cast<double>(size.elements()) * iterations));
      if (!r.sameBits()) {
        state.SkipWithError((std::string(r.name) + " differs from the reference").c_str());
        return {};
      }
    }
    ++round;
  }
  return nsPerUnit;
}

// Runs that come in pairs, runs[2i] and runs[2i + 1] (an earlier build's and this one's), timed
// pair after pair in every round, the two of each pair in one order in even rounds and in the
// other in odd ones. So each run follows the other of its pair as often as that one follows it,
// and the run before the pair in turn: a whole call just after another whole call, which has
// just freed its memory, maps its own faster on some machines. Returns what timeInTurn returns.
std::vector<std::vector<double>> timeInPairs(benchmark::State& state, const Size& size,
                                             const std::vector<TurnRun>& runs) {
  std::vector<std::vector<double>> nsPerUnit(runs.size());
  int32_t round = 0;
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores): the loop idiom
    for (std::size_t pair = 0; pair + 1 < runs.size(); pair += 2) {
      for (std::size_t turn = 0; turn < 2; ++turn) {
        const std::size_t index = pair + (turn + static_cast<std::size_t>(round)) % 2;
        const TurnRun& r = runs[index];
        const auto start = Clock::now();
        const int32_t iterations = r.run();
        const double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
        nsPerUnit[index].push_back(ns / (static_cast<double>(size.elements()) * iterations));
        if (!r.sameBits()) {
          state.SkipWithError((std::string(r.name) + " differs from the reference").c_str());
          return {};
        }
      }
    }
    ++round;
  }
  return nsPerUnit;
}

// Two one-thread solves at once, `other` on a second thread and `here` on the calling one;
// returns the outer iterations of `here`.
int32_t twoAtOnce(const std::function<int32_t()>& here, const std::function<int32_t()>& other) {
  std::thread second(other);
  const int32_t iterations = here();
  second.join();
  return iterations;
}

// Integer arithmetic that touches no memory, some 10 ms of it: six chains of additions and
// exclusive ors that keep a core's arithmetic units busy. Returns 1, a run's count of units.
int32_t busyArithmetic() {
  constexpr uint64_t kSteps = uint64_t{1} << 24;
  uint64_t a = 1, b = 2, c = 3, d = 4, e = 5, f = 6;
  for (uint64_t i = 0; i < kSteps; ++i) {
    a += i;
    b ^= i;
    c += a;
    d ^= b;
    e += i ^ c;
    f += d;
    // Opaque to the compiler, which would otherwise find the loop's end values, and kept in
    // registers, so that the loop is the arithmetic alone.
#if defined(__GNUC__)
    asm volatile("" : "+r"(a), "+r"(b), "+r"(c), "+r"(d), "+r"(e), "+r"(f));
#endif
  }
  benchmark::DoNotOptimize(a + b + c + d + e + f);
  return 1;
}

constexpr int32_t kRoundTrips = 20000;

// A cache line passed from this thread to a second one and back, kRoundTrips times. Returns 1.
int32_t passLineBackAndForth() {
  std::atomic<int32_t> turn{0};
  std::thread other([&turn] {
    for (int32_t i = 0; i < kRoundTrips; ++i) {
      while (turn.load(std::memory_order_acquire) != 2 * i + 1) {
      }
      turn.store(2 * i + 2, std::memory_order_release);
    }
  });
  for (int32_t i = 0; i < kRoundTrips; ++i) {
    turn.store(2 * i + 1, std::memory_order_release);
    while (turn.load(std::memory_order_acquire) != 2 * i + 2) {
    }
  }
  other.join();
  return 1;
}

// What the machine gives two threads at this moment, timed in turn with a row's solves: the
// arithmetic alone and two at once, and the line passed back and forth.
std::vector<TurnRun> machineRuns() {
  const auto always = [] { return true; };
  return {{"a1", busyArithmetic, always},
          {"a2", [] { return twoAtOnce(busyArithmetic, busyArithmetic); }, always},
          {"link", passLineBackAndForth, always}};
}

// cores2 and link_ns from the medians of the runs of machineRuns(), which end `ns`.
void reportMachine(benchmark::State& state, const Size& size,
                   const std::vector<std::vector<double>>& ns) {
  const std::size_t first = ns.size() - machineRuns().size();
  state.counters["cores2"] = 2.0 * median(ns[first]) / median(ns[first + 1]);
  state.counters["link_ns"] =
      median(ns[first + 2]) * static_cast<double>(size.elements()) / kRoundTrips;
}

// The counters of one thread, two, and two one-thread solves at once.
void reportThreads(benchmark::State& state, double t1, double t2, double pair) {
  state.counters["t1"] = t1;
  state.counters["t2"] = t2;
  state.counters["t1pair"] = pair;
  state.counters["speedup2"] = t1 / t2;
  state.counters["capacity2"] = 2.0 * t1 / pair;
}

// Whole calls by the wall clock: the plain C solver, the library on 1, 2 and all threads, and
// two one-thread solves at once, each into its own labelling; the plain solver's result is the
// reference (it runs first in the first round).
void versus(benchmark::State& state, Size size) {
  const Input input(size);
  std::vector<float> u(size.elements());
  std::vector<float> otherU(size.elements());
  std::vector<float> plainU(size.elements());
  const auto library = [&](int32_t threads) {
    return [&, threads] { return solveOnce(size, input, u, true, threads); };
  };
  const auto matches = [&] { return u == plainU; };
  std::vector<TurnRun> runs = {
      {"plain",
       [&] {
         std::copy(input.u0.begin(), input.u0.end(), plainU.begin());
         return plainSolve(size.rows, size.cols, size.phases, 0.5f, 1.0f, input.costs.data(),
                           plainU.data());
       },
       [] { return true; }},
      {"t1", library(1), matches},
      {"t2", library(2), matches},
      {"tall", library(0), matches},
      {"t1pair",
       [&] {
         return twoAtOnce(library(1), [&] { return solveOnce(size, input, otherU, true, 1); });
       },
       [&] { return matches() && otherU == plainU; }}};
  for (const TurnRun& probe : machineRuns()) runs.push_back(probe);
  const std::vector<std::vector<double>> ns = timeInTurn(state, size, runs);
  if (ns.empty()) return;
  const double plain = median(ns[0]);
  const double t1 = median(ns[1]);
  const double t2 = median(ns[2]);
  const double all = median(ns[3]);
  reportThreads(state, t1, t2, median(ns[4]));
  reportMachine(state, size, ns);
  state.counters["plain"] = plain;
  state.counters["tall"] = all;
  state.counters["x_plain"] = plain / t1;
  state.counters["speedup_all"] = t1 / all;
  state.counters["floor1"] = t1 / floorNsPerElement;
  state.counters["floor2"] = t2 / floorNsPerElement;
  state.counters["floor_all"] = all / floorNsPerElement;
}

// A solve on a state set up once. Each call resets the labelling to u0 and the split and Bregman
// volumes to zero, which is all that a solve reads before writing, so every call gives the same
// result on buffers that earlier calls have mapped and warmed.
class WarmSolve {
 public:
  WarmSolve(const Size& size, const Input& input) : input_(input), u_(size.elements()) {
    daskel::initSolverState(state_, size.rows, size.cols, size.phases, 0.5f, 1.0f,
                            input.costs.data(), u_.data(), nullptr);
  }
  ~WarmSolve() { daskel::releaseSolverState(state_); }
  WarmSolve(const WarmSolve&) = delete;
  WarmSolve& operator=(const WarmSolve&) = delete;

  int32_t run(int32_t threads) {
    std::copy(input_.u0.begin(), input_.u0.end(), u_.begin());
    const std::size_t owned =
        static_cast<std::size_t>(state_.phaseStride) * static_cast<std::size_t>(state_.phases);
    for (float* volume : {state_.dx, state_.dy, state_.bx, state_.by}) {
      std::fill(volume, volume + owned, 0.0f);
    }
    return daskel::runSolver(state_, threads);
  }
  const std::vector<float>& u() const { return u_; }

 private:
  const Input& input_;
  std::vector<float> u_;
  daskel::SolverState state_{};
};

// Warm calls by the wall clock, which leave out the first touch of fresh buffers: the library on
// one thread and on two, and two one-thread solves at once on states of their own. An untimed
// one-thread call on each state first touches its buffers and gives the reference.
void warm(benchmark::State& state, Size size) {
  const Input input(size);
  WarmSolve solve(size, input);
  WarmSolve other(size, input);
  solve.run(1);
  other.run(1);
  const std::vector<float> reference = solve.u();
  const auto matches = [&] { return solve.u() == reference; };
  std::vector<TurnRun> runs = {
      {"t1", [&] { return solve.run(1); }, matches},
      {"t2", [&] { return solve.run(2); }, matches},
      {"t1pair",
       [&] { return twoAtOnce([&] { return solve.run(1); }, [&] { return other.run(1); }); },
       [&] { return matches() && other.u() == reference; }}};
  for (const TurnRun& probe : machineRuns()) runs.push_back(probe);
  const std::vector<std::vector<double>> ns = timeInTurn(state, size, runs);
  if (ns.empty()) return;
  reportThreads(state, median(ns[0]), median(ns[1]), median(ns[2]));
  reportMachine(state, size, ns);
}

// Warm calls on one thread at each kernel level the processor has, in turn on one state; the
// result of an untimed call at the widest level is the reference.
void levels(benchmark::State& state, Size size) {
  const Input input(size);
  std::vector<float> u(size.elements());
  daskel::SolverState s{};
  daskel::initSolverState(s, size.rows, size.cols, size.phases, 0.5f, 1.0f, input.costs.data(),
                          u.data(), nullptr);
  const auto solveAt = [&](daskel::detail::KernelLevel level) {
    std::copy(input.u0.begin(), input.u0.end(), u.begin());
    const std::size_t owned =
        static_cast<std::size_t>(s.phaseStride) * static_cast<std::size_t>(s.phases);
    for (float* volume : {s.dx, s.dy, s.bx, s.by}) std::fill(volume, volume + owned, 0.0f);
    return daskel::detail::runOnTeam(s, 1, {}, daskel::detail::levelKernels(level));
  };
  const daskel::detail::KernelLevel best = daskel::detail::bestKernelLevel();
  solveAt(best);
  const std::vector<float> reference = u;
  std::vector<TurnRun> runs;
  for (int l = 0; l <= static_cast<int>(best); ++l) {
    const auto level = static_cast<daskel::detail::KernelLevel>(l);
    runs.push_back({daskel::detail::kernelLevelName(level),
                    [&solveAt, level] { return solveAt(level); }, [&] { return u == reference; }});
  }
  const std::vector<std::vector<double>> ns = timeInTurn(state, size, runs);
  daskel::releaseSolverState(s);
  if (ns.empty()) return;
  for (std::size_t l = 0; l < runs.size(); ++l) {
    state.counters[runs[l].name] = median(ns[l]);
    if (l > 0) state.counters[std::string("x_") + runs[l].name] = median(ns[l - 1]) / median(ns[l]);
  }
}

// The four functions of a library module (bench/library_module.cpp), loaded from `path`, each
// module with symbols of its own.
struct LibraryModule {
  using Solve = int32_t (*)(int32_t, int32_t, int32_t, float, float, const float*, float*, int32_t);
  using Open = void* (*)(int32_t, int32_t, int32_t, float, float, const float*, float*);
  using Run = int32_t (*)(void*, int32_t);
  using Close = void (*)(void*);
  explicit LibraryModule(const char* path) : handle(dlopen(path, RTLD_NOW | RTLD_LOCAL)) {
    if (handle == nullptr) return;
    solve = reinterpret_cast<Solve>(dlsym(handle, "daskel_module_solve"));
    open = reinterpret_cast<Open>(dlsym(handle, "daskel_module_open"));
    run = reinterpret_cast<Run>(dlsym(handle, "daskel_module_run"));
    close = reinterpret_cast<Close>(dlsym(handle, "daskel_module_close"));
  }
  ~LibraryModule() {
    if (handle != nullptr) dlclose(handle);
  }
  LibraryModule(const LibraryModule&) = delete;
  LibraryModule& operator=(const LibraryModule&) = delete;
  bool loaded() const {
    return solve != nullptr && open != nullptr && run != nullptr && close != nullptr;
  }
  void* handle;
  Solve solve = nullptr;
  Open open = nullptr;
  Run run = nullptr;
  Close close = nullptr;
};

// The median, least and greatest of the ratios a / b over pairs of rounds, each the geometric mean
// of the ratios of its two rounds (which ran the two in opposite orders, timeInPairs).
void reportRatios(benchmark::State& state, const std::string& name, const std::vector<double>& a,
                  const std::vector<double>& b) {
  std::vector<double> ratios;
  for (std::size_t r = 0; r + 1 < a.size() && r + 1 < b.size(); r += 2) {
    ratios.push_back(std::sqrt((a[r] / b[r]) * (a[r + 1] / b[r + 1])));
  }
  if (ratios.empty()) return;
  state.counters[name] = median(ratios);
  state.counters[name + "_lo"] = *std::min_element(ratios.begin(), ratios.end());
  state.counters[name + "_hi"] = *std::max_element(ratios.begin(), ratios.end());
}

// This build's library and an earlier build's, whole calls and warm calls on one thread, in turn;
// registered only where the build names an earlier library.
[[maybe_unused]] void previous(benchmark::State& state, Size size, const char* thisPath,
                               const char* earlierPath) {
  const LibraryModule current(thisPath);
  const LibraryModule earlier(earlierPath);
  if (!current.loaded() || !earlier.loaded()) {
    state.SkipWithError((std::string("cannot load ") + (current.loaded() ? earlierPath : thisPath) +
                         ": " + dlerror())
                            .c_str());
    return;
  }
  const Input input(size);
  const auto args = [&](float* u) {
    return std::make_tuple(size.rows, size.cols, size.phases, 0.5f, 1.0f, input.costs.data(), u);
  };
  std::vector<float> reference(input.u0);
  earlier.solve(size.rows, size.cols, size.phases, 0.5f, 1.0f, input.costs.data(), reference.data(),
                1);
  std::vector<float> u(size.elements());
  std::vector<float> warmU(size.elements());
  std::vector<float> earlierWarmU(size.elements());
  void* warmState = std::apply(current.open, args(warmU.data()));
  void* earlierWarmState = std::apply(earlier.open, args(earlierWarmU.data()));
  if (warmState == nullptr || earlierWarmState == nullptr) {
    state.SkipWithError("no state for the warm calls");
  } else {
    const auto whole = [&](const LibraryModule& module) {
      return [&] {
        std::copy(input.u0.begin(), input.u0.end(), u.begin());
        return module.solve(size.rows, size.cols, size.phases, 0.5f, 1.0f, input.costs.data(),
                            u.data(), 1);
      };
    };
    const auto warmly = [&](const LibraryModule& module, void* opened, std::vector<float>& on) {
      return [&module, opened, &on, &input] {
        std::copy(input.u0.begin(), input.u0.end(), on.begin());
        return module.run(opened, 1);
      };
    };
    // Each warm state is touched by an untimed call first.
    warmly(current, warmState, warmU)();
    warmly(earlier, earlierWarmState, earlierWarmU)();
    const std::vector<TurnRun> runs = {
        {"whole_before", whole(earlier), [&] { return u == reference; }},
        {"whole", whole(current), [&] { return u == reference; }},
        {"warm_before", warmly(earlier, earlierWarmState, earlierWarmU),
         [&] { return earlierWarmU == reference; }},
        {"warm", warmly(current, warmState, warmU), [&] { return warmU == reference; }}};
    const std::vector<std::vector<double>> ns = timeInPairs(state, size, runs);
    if (!ns.empty()) {
      for (std::size_t r = 0; r < runs.size(); ++r) state.counters[runs[r].name] = median(ns[r]);
      reportRatios(state, "x_whole", ns[0], ns[1]);
      reportRatios(state, "x_warm", ns[2], ns[3]);
    }
  }
  if (warmState != nullptr) current.close(warmState);
  if (earlierWarmState != nullptr) earlier.close(earlierWarmState);
}

// One kernel on a state that two outer iterations have brought to a realistic condition.
void kernel(benchmark::State& state, Size size,
            const std::function<void(daskel::SolverState&)>& run) {
  const Input input(size);
  std::vector<float> u(input.u0);
  daskel::SolverState s{};
  daskel::initSolverState(s, size.rows, size.cols, size.phases, 0.5f, 1.0f, input.costs.data(),
                          u.data(), nullptr);
  for (int n = 0; n < 2; ++n) {
    daskel::labelSweep(s);
    daskel::labelSweep(s);
    daskel::shrinkUpdate(s);
  }
  // Where the grid is padded, the kernels run as runSolver runs them: on the padded copy of u.
  daskel::SolverState onCopy = s.paddedU != nullptr ? daskel::detail::withPaddedCopy(s) : s;
  double ns = 0.0;
  double units = 0.0;
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores): the loop idiom
    const double start = threadNs();
    run(onCopy);
    ns += threadNs() - start;
    units += static_cast<double>(size.elements());
  }
  daskel::releaseSolverState(s);
  report(state, ns, units, false);
}

// The two sweeps of an outer iteration as the oracle runs them.
void sweepTwiceByOracle(daskel::SolverState& s) {
  daskel::oracle::labelSweep(s);
  daskel::oracle::labelSweep(s);
}

void registerAll() {
  std::vector<Size> sizes;
  for (int32_t side : {256, 1000, 1024, 2048}) {
    for (int32_t phases : {2, 4, 8, 16}) sizes.push_back({side, side, phases});
  }
  sizes.push_back({512, 512, 8});
  sizes.push_back({300, 2000, 3});
  // The plain solver takes up to 120 ns per element-iteration, some seconds a call at 2^24.
  const Size versusSizes[] = {{1000, 1000, 4},  {1024, 1024, 4},  {512, 512, 8},  {2048, 2048, 4},
                              {1000, 1000, 16}, {1024, 1024, 16}, {300, 2000, 3}, {256, 256, 4}};
  // Whole rounds: the five runs of a versus row, the three of a warm row.
  for (const Size& size : versusSizes) {
    const bool large = size.elements() >= (std::size_t{1} << 23);
    benchmark::RegisterBenchmark(("versus/" + size.name()).c_str(), versus, size)
        ->Iterations(large ? 5 : 10)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("warm/" + size.name()).c_str(), warm, size)
        ->Iterations(large ? 6 : 9)
        ->Unit(benchmark::kMillisecond);
  }
  const Size levelSizes[] = {{1000, 1000, 4}, {1024, 1024, 4}, {512, 512, 8},   {300, 2000, 3},
                             {256, 256, 4},   {2048, 2048, 8}, {1000, 1000, 16}};
  for (const Size& size : levelSizes) {
    const bool large = size.elements() >= (std::size_t{1} << 23);
    benchmark::RegisterBenchmark(("levels/" + size.name()).c_str(), levels, size)
        ->Iterations(large ? 3 : 7)
        ->Unit(benchmark::kMillisecond);
  }
#if defined(DASKEL_BENCH_THIS_MODULE) && defined(DASKEL_BENCH_BASELINE_MODULE)
  for (const Size& size : levelSizes) {
    const bool large = size.elements() >= (std::size_t{1} << 23);
    // Whole pairs of rounds (timeInPairs).
    benchmark::RegisterBenchmark(("previous/" + size.name()).c_str(), previous, size,
                                 DASKEL_BENCH_THIS_MODULE, DASKEL_BENCH_BASELINE_MODULE)
        ->Iterations(large ? 4 : 10)
        ->Unit(benchmark::kMillisecond);
  }
#endif
  // The oracle takes up to 190 ns per element-iteration: it runs where that stays a few seconds.
  const std::size_t oracleLimit = std::size_t{1} << 24;
  for (const Size& size : sizes) {
    const bool withOracle = size.elements() <= oracleLimit;
    const int64_t iterations = size.elements() >= (std::size_t{1} << 22) ? 1 : 3;
    const std::string n = size.name();
    benchmark::RegisterBenchmark(("call/fast/" + n).c_str(), wholeCall, size, true)
        ->Iterations(iterations)
        ->Unit(benchmark::kMillisecond);
    if (withOracle) {
      benchmark::RegisterBenchmark(("call/oracle/" + n).c_str(), wholeCall, size, false)
          ->Iterations(iterations)
          ->Unit(benchmark::kMillisecond);
    }
    const struct {
      const char* name;
      void (*run)(daskel::SolverState&);
      bool byOracle;
    } kernels[] = {{"sweep/fast/", daskel::labelSweep, false},
                   {"sweep/oracle/", daskel::oracle::labelSweep, true},
                   {"sweeps/fast/", daskel::detail::sweepLabelsTwice, false},
                   {"sweeps/oracle/", sweepTwiceByOracle, true},
                   {"shrink/fast/", daskel::shrinkUpdate, false},
                   {"shrink/oracle/", daskel::oracle::shrinkUpdate, true}};
    for (const auto& k : kernels) {
      if (k.byOracle && !withOracle) continue;
      benchmark::RegisterBenchmark((k.name + n).c_str(), kernel, size, k.run)
          ->Iterations(iterations)
          ->Unit(benchmark::kMillisecond);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  const double bandwidth = triadBytesPerNs();
  floorNsPerElement = kFloorBytesPerElement / bandwidth;
  std::printf("triad bandwidth %.2f GB/s; floor %.2f ns per element per outer iteration\n",
              bandwidth, floorNsPerElement);
  std::printf("kernels: %s (DASKEL_KERNELS=scalar|sse2|avx2|avx512 picks another)\n",
              daskel::detail::kernelLevelName(daskel::detail::activeKernelLevel()));
  registerAll();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
