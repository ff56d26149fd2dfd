// How many threads a solve takes: DASKEL_NUM_THREADS, else the CPUs of the affinity mask within
// the cgroups' CPU quota; see cpu_count.hpp.
#include "solver/cpu_count.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <sched.h>
#endif

#include "solver/team.hpp"

namespace daskel::detail {
namespace {

// A whole number of decimal digits alone, capped at `cap`; -1 for anything else.
int64_t wholeNumber(const std::string& text, int64_t cap) {
  if (text.empty()) return -1;
  int64_t value = 0;
  for (char c : text) {
    if (std::isdigit(static_cast<unsigned char>(c)) == 0) return -1;
    value = std::min(cap, value * 10 + (c - '0'));
  }
  return value;
}

std::string trimmed(const std::string& text) {
  const auto blank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
  const auto begin = std::find_if_not(text.begin(), text.end(), blank);
  const auto end = std::find_if_not(text.rbegin(), text.rend(), blank).base();
  return begin < end ? std::string(begin, end) : std::string();
}

std::string fileText(const std::string& path) {
  std::ifstream file(path);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

std::vector<std::string> splitOn(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream stream(text);
  while (std::getline(stream, part, separator)) parts.push_back(part);
  return parts;
}

bool listHas(const std::string& commaList, const std::string& item) {
  const std::vector<std::string> items = splitOn(commaList, ',');
  return std::find(items.begin(), items.end(), item) != items.end();
}

// Where a cgroup hierarchy is mounted: the cgroup path that the mount shows at `point`.
struct Mount {
  std::string root;
  std::string point;
};

enum class CgroupVersion { v1, v2 };

// The mount of the unified hierarchy (v2), or of the v1 hierarchy with the cpu controller.
bool findMount(const std::string& mountinfo, CgroupVersion version, Mount& mount) {
  std::istringstream lines(mountinfo);
  std::string line;
  while (std::getline(lines, line)) {
    // "ID PARENT MAJOR:MINOR ROOT POINT OPTIONS [OPTIONAL...] - TYPE SOURCE SUPER-OPTIONS"
    const std::size_t dash = line.find(" - ");
    if (dash == std::string::npos) continue;
    std::istringstream before(line.substr(0, dash));
    std::istringstream after(line.substr(dash + 3));
    std::string id, parent, device, root, point, type, source, options;
    before >> id >> parent >> device >> root >> point;
    after >> type >> source >> options;
    const bool wanted = version == CgroupVersion::v2 ? type == "cgroup2"
                                                     : type == "cgroup" && listHas(options, "cpu");
    if (wanted && !point.empty()) {
      mount = {root, point};
      return true;
    }
  }
  return false;
}

// The process's path in the hierarchy of `version`, from /proc/self/cgroup.
bool findCgroupPath(const std::string& cgroups, CgroupVersion version, std::string& path) {
  std::istringstream lines(cgroups);
  std::string line;
  while (std::getline(lines, line)) {
    // "HIERARCHY-ID:CONTROLLERS:PATH"; the unified hierarchy is "0::PATH".
    const std::size_t first = line.find(':');
    const std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
    if (second == std::string::npos) continue;
    const std::string id = line.substr(0, first);
    const std::string controllers = line.substr(first + 1, second - first - 1);
    const bool wanted = version == CgroupVersion::v2 ? id == "0" && controllers.empty()
                                                     : listHas(controllers, "cpu");
    if (wanted) {
      path = line.substr(second + 1);
      return true;
    }
  }
  return false;
}

// The limit of one cgroup folder, 0 for none.
int32_t folderLimit(const std::string& folder, CgroupVersion version) {
  if (version == CgroupVersion::v2) {
    std::istringstream max(fileText(folder + "/cpu.max"));
    std::string quota, period;
    max >> quota >> period;
    return cpusFromQuota(quota, period);
  }
  return cpusFromQuota(fileText(folder + "/cpu.cfs_quota_us"),
                       fileText(folder + "/cpu.cfs_period_us"));
}

// The least limit from the process's cgroup up to the root of the mounted hierarchy.
int32_t hierarchyLimit(const std::string& root, CgroupVersion version) {
  Mount mount;
  std::string path;
  if (!findMount(fileText(root + "/proc/self/mountinfo"), version, mount) ||
      !findCgroupPath(fileText(root + "/proc/self/cgroup"), version, path)) {
    return 0;
  }
  // The mount shows the hierarchy from mount.root on; a path outside it (a cgroup namespace
  // that the mount does not reflect) is taken from the mount point as it stands.
  if (mount.root != "/" && path.compare(0, mount.root.size(), mount.root) == 0) {
    path = path.substr(mount.root.size());
  }
  if (!path.empty() && path.back() == '/') path.pop_back();
  int32_t limit = 0;
  for (;;) {
    const int32_t here = folderLimit(root + mount.point + path, version);
    if (here > 0) limit = limit == 0 ? here : std::min(limit, here);
    const std::size_t slash = path.find_last_of('/');
    if (path.empty() || slash == std::string::npos) break;
    path.erase(slash);
  }
  return limit;
}

#if defined(__linux__)
int32_t affinityCpus() {
  for (int cpus = 1024; cpus <= (1 << 20); cpus *= 4) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (set == nullptr) return 0;
    const std::size_t bytes = CPU_ALLOC_SIZE(cpus);
    const int result = sched_getaffinity(0, bytes, set);
    const int count = result == 0 ? CPU_COUNT_S(bytes, set) : 0;
    CPU_FREE(set);
    if (result == 0) return count;
    if (errno != EINVAL) return 0;  // EINVAL: the mask is wider than `cpus`
  }
  return 0;
}
#else
int32_t affinityCpus() {
  return 0;
}
#endif

}  // namespace

int32_t threadCountFromText(const char* text) {
  if (text == nullptr) return 0;
  return static_cast<int32_t>(std::max<int64_t>(0, wholeNumber(text, kMaxThreads)));
}

int32_t cpusFromQuota(const std::string& quota, const std::string& period) {
  const int64_t q = wholeNumber(trimmed(quota), int64_t{1} << 40);
  const int64_t p = wholeNumber(trimmed(period), int64_t{1} << 40);
  if (q <= 0 || p <= 0) return 0;  // "max", -1, 0 or no number: no limit
  return static_cast<int32_t>(std::min<int64_t>((q + p - 1) / p, kMaxThreads));
}

int32_t cgroupCpuLimit(const std::string& root) {
  const int32_t v2 = hierarchyLimit(root, CgroupVersion::v2);
  const int32_t v1 = hierarchyLimit(root, CgroupVersion::v1);
  if (v1 == 0 || v2 == 0) return std::max(v1, v2);
  return std::min(v1, v2);
}

int32_t availableCpus() {
  int32_t cpus = affinityCpus();
  if (cpus <= 0) cpus = static_cast<int32_t>(std::thread::hardware_concurrency());
  const int32_t quota = cgroupCpuLimit("");
  if (quota > 0 && (cpus <= 0 || quota < cpus)) cpus = quota;
  return std::clamp(cpus, 1, kMaxThreads);
}

int32_t threadsFor(int32_t asked) {
  if (asked == 1) return 1;
  return asked > 1 ? std::min(asked, availableCpus()) : automaticThreadCount();
}

int32_t automaticThreadCount() {
  const int32_t asked = threadCountFromText(std::getenv("DASKEL_NUM_THREADS"));
  const int32_t cpus = availableCpus();
  return asked > 0 ? std::min(asked, cpus) : cpus;
}

}  // namespace daskel::detail
