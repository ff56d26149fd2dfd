// How many threads a solve takes: the CPUs this process may use (its affinity mask within the CPU
// quota of its cgroups) at the most, and when the caller leaves the count to the library, fewer
// where DASKEL_NUM_THREADS asks for fewer; at most kMaxThreads (solver/team.hpp) either way.
#ifndef DASKEL_SOLVER_CPU_COUNT_HPP
#define DASKEL_SOLVER_CPU_COUNT_HPP

#include <cstdint>
#include <string>

namespace daskel::detail {

// The count that the text of DASKEL_NUM_THREADS asks for: a whole number from 1 (at most
// kMaxThreads is taken), or 0 for no text, an empty one, 0 or anything else.
int32_t threadCountFromText(const char* text);

// The CPUs that cpu.max (cgroup v2: "max PERIOD" or "QUOTA PERIOD") or the pair of
// cpu.cfs_quota_us and cpu.cfs_period_us (cgroup v1) allow: the quota divided by the period,
// rounded up; 0 for no limit or text that is not such a limit.
int32_t cpusFromQuota(const std::string& quota, const std::string& period);

// The least CPU limit of the cgroups that this process belongs to and their ancestors, read from
// /proc/self/mountinfo, /proc/self/cgroup and the cgroup files they lead to, all under `root`
// ("" for the real ones); 0 where no cgroup limits the CPU time.
int32_t cgroupCpuLimit(const std::string& root);

// The CPUs the calling thread may run on: its affinity mask, and no more than its cgroup quota.
int32_t availableCpus();

// The automatic count: availableCpus(), or fewer where DASKEL_NUM_THREADS asks for fewer.
int32_t automaticThreadCount();

// The threads a caller's count takes: 1 for 1, the count but no more than availableCpus() for a
// larger one, automaticThreadCount() for 0 or less.
int32_t threadsFor(int32_t asked);

}  // namespace daskel::detail

#endif  // DASKEL_SOLVER_CPU_COUNT_HPP
