// Solves on several threads: the bits of the oracle at every thread count, and
// how many threads the automatic count takes.
#include <gtest/gtest.h>

#if defined(__linux__)
#include <sched.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "oracle/oracle.hpp"
#include "solver/cpu_count.hpp"
#include "solver/kernels.hpp"
#include "solver/solver.hpp"
#include "tests/test_problem.hpp"

namespace {

using daskel::testing::Problem;
using daskel::testing::Shape;

// Costs and a labelling from a seed, with exact zeros and ones among the labels, and, with
// `carried`, split and Bregman values as earlier iterations leave them.
void fill(Problem& problem, uint32_t seed, bool carried) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  daskel::SolverState& s = problem.state;
  for (float& cost : problem.costs) cost = 3.0f * unit(rng) - 0.5f;
  for (float& label : problem.u) {
    const float draw = unit(rng);
    label = draw < 0.1f ? 0.0f : draw < 0.2f ? 1.0f : unit(rng);
  }
  for (float* buffer : {s.dx, s.dy, s.bx, s.by}) {
    for (int32_t e = 0; e < daskel::testing::ownedVolumeSize(s); ++e) {
      buffer[e] = carried ? unit(rng) - 0.5f : 0.0f;
    }
  }
}

// Grids for the wavefront of band pairs: one pair and none, a pair's columns exactly and with
// leftovers, more pairs than threads and fewer, columns of one interior row (a pair waits for the
// whole of the one before) and tall enough for several pairs in flight, blocks that do not
// divide the steps, 16 phases (the most the lanes take) and 17 (the sweeps on one thread).
TEST(Threads, EveryThreadCountGivesTheBitsOfTheOracle) {
  const Shape shapes[] = {{2, 2, 1},    {5, 9, 2},    {12, 10, 3},  {20, 27, 2},  {3, 90, 2},
                          {4, 34, 3},   {40, 75, 5},  {300, 19, 4}, {131, 26, 7}, {64, 66, 1},
                          {24, 42, 16}, {20, 30, 17}, {170, 83, 2}, {37, 130, 4}};
  uint32_t seed = 100;
  for (const Shape& shape : shapes) {
    for (bool carried : {false, true}) {
      ++seed;
      Problem oracle(shape, 0.4f, 1.5f);
      ASSERT_TRUE(oracle.ready);
      fill(oracle, seed, carried);
      const std::vector<float> u0 = oracle.u;
      const int32_t iterations = daskel::oracle::runSolver(oracle.state);
      for (int32_t threads : {1, 2, 3, 7}) {
        Problem problem(shape, 0.4f, 1.5f);
        ASSERT_TRUE(problem.ready);
        fill(problem, seed, carried);
        ASSERT_EQ(problem.u, u0);
        const std::string at = daskel::testing::describe(shape) + " seed " + std::to_string(seed) +
                               ", " + std::to_string(threads) + " threads";
        // A team of that size, however many CPUs this machine has (runSolver takes no more).
        EXPECT_EQ(daskel::detail::runOnTeam(problem.state, threads), iterations) << at;
        EXPECT_EQ(daskel::testing::firstStateDifference(problem.state, oracle.state), "") << at;
      }
    }
  }
}

// ---- How many threads ----------------------------------------------------------------------

TEST(Threads, TheEnvironmentVariableAsksForAWholeNumberOfThreads) {
  using daskel::detail::threadCountFromText;
  const struct {
    const char* text;
    int32_t count;
  } cases[] = {{nullptr, 0}, {"", 0},      {"4", 4},     {"1", 1},
               {"0", 0},     {"-2", 0},    {"3x", 0},    {" 4", 0},
               {"2.5", 0},   {"256", 256}, {"257", 256}, {"99999999999999999999", 256}};
  for (const auto& c : cases) {
    EXPECT_EQ(threadCountFromText(c.text), c.count) << (c.text != nullptr ? c.text : "(unset)");
  }
}

TEST(Threads, AQuotaAllowsItsShareOfCpusRoundedUp) {
  using daskel::detail::cpusFromQuota;
  const struct {
    const char* quota;
    const char* period;
    int32_t cpus;
  } cases[] = {{"max", "100000", 0},       {"150000", "100000", 2}, {"100000", "100000", 1},
               {"50000\n", "100000\n", 1}, {"-1", "100000", 0},     {"0", "100000", 0},
               {"200000", "0", 0},         {"lots", "100000", 0},   {"", "", 0},
               {"3200000", "100000", 32}};
  for (const auto& c : cases) {
    EXPECT_EQ(cpusFromQuota(c.quota, c.period), c.cpus) << c.quota << " / " << c.period;
  }
}

// A scratch tree standing for the root of the file system.
class FakeRoot {
 public:
  explicit FakeRoot(const std::string& name)
      : root_(std::filesystem::temp_directory_path() /
              ("daskel_cgroup_" + name + "_" +
               std::to_string(::testing::UnitTest::GetInstance()->random_seed()))) {
    std::filesystem::remove_all(root_);
  }
  ~FakeRoot() { std::filesystem::remove_all(root_); }
  FakeRoot(const FakeRoot&) = delete;
  FakeRoot& operator=(const FakeRoot&) = delete;
  void write(const std::string& path, const std::string& text) const {
    const std::filesystem::path file = root_ / path.substr(1);
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file) << text;
  }
  std::string path() const { return root_.string(); }

 private:
  std::filesystem::path root_;
};

// The limits of the process's cgroup and of its ancestors, in both versions of the hierarchy.
TEST(Threads, TheCgroupLimitIsTheLeastAlongThePathToTheRoot) {
  const std::string v2Mount = "30 22 0:27 / /sys/fs/cgroup rw,relatime - cgroup2 cgroup2 rw\n";
  const std::string v1Mount =
      "31 30 0:28 / /sys/fs/cgroup/cpu,cpuacct rw,relatime - cgroup cgroup rw,cpu,cpuacct\n"
      "32 30 0:29 / /sys/fs/cgroup/memory rw,relatime - cgroup cgroup rw,memory\n";
  const struct {
    const char* name;
    std::string mountinfo;
    std::string cgroup;
    std::vector<std::pair<std::string, std::string>> files;
    int32_t limit;
  } cases[] = {
      {"v2_nested",
       v2Mount,
       "0::/app/job\n",
       {{"/sys/fs/cgroup/app/job/cpu.max", "250000 100000\n"},
        {"/sys/fs/cgroup/app/cpu.max", "150000 100000\n"},
        {"/sys/fs/cgroup/cpu.max", "max 100000\n"}},
       2},
      {"v2_unlimited", v2Mount, "0::/\n", {{"/sys/fs/cgroup/cpu.max", "max 100000\n"}}, 0},
      {"v2_mounted_below_its_root",
       "30 22 0:27 /kubepods/pod1 /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n",
       "0::/kubepods/pod1/box\n",
       {{"/sys/fs/cgroup/box/cpu.max", "50000 100000\n"}},
       1},
      {"v1_cpu",
       v1Mount,
       "5:memory:/docker/abc\n4:cpu,cpuacct:/docker/abc\n",
       {{"/sys/fs/cgroup/cpu,cpuacct/docker/abc/cpu.cfs_quota_us", "300000\n"},
        {"/sys/fs/cgroup/cpu,cpuacct/docker/abc/cpu.cfs_period_us", "100000\n"},
        {"/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "-1\n"},
        {"/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us", "100000\n"}},
       3},
      {"v1_and_v2",
       v2Mount + v1Mount,
       "4:cpu,cpuacct:/\n0::/job\n",
       {{"/sys/fs/cgroup/job/cpu.max", "400000 100000\n"},
        {"/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "200000\n"},
        {"/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us", "100000\n"}},
       2},
      {"no_cgroups", "22 1 0:21 / /proc rw - proc proc rw\n", "", {}, 0},
  };
  for (const auto& c : cases) {
    const FakeRoot root(c.name);
    root.write("/proc/self/mountinfo", c.mountinfo);
    root.write("/proc/self/cgroup", c.cgroup);
    for (const auto& [path, text] : c.files) root.write(path, text);
    EXPECT_EQ(daskel::detail::cgroupCpuLimit(root.path()), c.limit) << c.name;
  }
}

#if defined(__linux__)
// A thread allowed a single CPU counts one, and the environment variable asks for fewer threads
// than the CPUs, never more.
TEST(Threads, TheAutomaticCountFollowsTheAffinityMaskAndTheEnvironment) {
  const char* saved = std::getenv("DASKEL_NUM_THREADS");
  const std::string savedText = saved != nullptr ? saved : "";
  bool restricted = false;
  int32_t alone = 0;
  int32_t allowed = 0;
  int32_t asked = 0;
  int32_t askedBeforeRestriction = 0;
  std::thread probe([&] {
    setenv("DASKEL_NUM_THREADS", "5", 1);
    askedBeforeRestriction = daskel::detail::automaticThreadCount();
    unsetenv("DASKEL_NUM_THREADS");
    allowed = daskel::detail::availableCpus();
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(sched_getcpu(), &one);
    restricted = sched_setaffinity(0, sizeof one, &one) == 0;
    alone = daskel::detail::automaticThreadCount();
    setenv("DASKEL_NUM_THREADS", "5", 1);
    asked = daskel::detail::automaticThreadCount();
  });
  probe.join();
  if (saved != nullptr) {
    setenv("DASKEL_NUM_THREADS", savedText.c_str(), 1);
  } else {
    unsetenv("DASKEL_NUM_THREADS");
  }
  if (!restricted) GTEST_SKIP() << "this system does not let a thread restrict its CPUs";
  EXPECT_GE(allowed, 1);
  EXPECT_EQ(alone, 1);
  EXPECT_EQ(askedBeforeRestriction, std::min(5, allowed));
  EXPECT_EQ(asked, 1);  // no more than the one CPU, however many are asked for
}

// A team never has more members than the process has CPUs, whatever the count asked for; more
// would only take turns (256 on 2 CPUs took 16 times as long as 2).
TEST(Threads, NoCountTakesMoreThreadsThanThereAreCpus) {
  Problem problem(64, 2100, 3);  // 262 pairs of bands, 400 000 elements
  ASSERT_TRUE(problem.ready);
  const daskel::SolverState& s = problem.state;
  bool restricted = false;
  int32_t allowed = 0;
  std::vector<int32_t> sizes, restrictedSizes;
  const int32_t asked[] = {1, 2, 7, 256, 1 << 30};
  std::thread probe([&] {
    allowed = daskel::detail::availableCpus();
    for (int32_t threads : asked) sizes.push_back(daskel::detail::teamSize(s, threads));
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(sched_getcpu(), &one);
    restricted = sched_setaffinity(0, sizeof one, &one) == 0;
    for (int32_t threads : asked) restrictedSizes.push_back(daskel::detail::teamSize(s, threads));
  });
  probe.join();
  for (std::size_t a = 0; a < sizes.size(); ++a) {
    EXPECT_EQ(sizes[a], std::min(asked[a], allowed)) << asked[a] << " asked";
  }
  if (!restricted) GTEST_SKIP() << "this system does not let a thread restrict its CPUs";
  EXPECT_EQ(restrictedSizes, std::vector<int32_t>(std::size(asked), 1));
}
#endif

}  // namespace
