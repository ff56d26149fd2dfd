// The one check of a segmentation's settings.
#include "segment/settings.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

namespace daskel::segment {
namespace {

bool inRange(int32_t value, int32_t low, int32_t high) {
  return value >= low && value <= high;
}

std::string wholeNumberFrom(int32_t low, int32_t high) {
  return "must be a whole number from " + std::to_string(low) + " to " + std::to_string(high);
}

// Written so that NaN fails: every comparison with it is false.
bool isIntensity(float level) {
  return level >= 0.0f && level <= 1.0f;
}

bool repeatsAValue(std::vector<float> levels) {
  std::sort(levels.begin(), levels.end());
  return std::adjacent_find(levels.begin(), levels.end()) != levels.end();
}

}  // namespace

SettingsProblem checkSettings(const Settings& settings) {
  if (!inRange(settings.phases, kMinPhases, kMaxPhases)) {
    return {"phases", wholeNumberFrom(kMinPhases, kMaxPhases)};
  }
  const std::vector<float>& levels = settings.levels;
  if (!levels.empty()) {
    if (levels.size() != static_cast<std::size_t>(settings.phases)) {
      return {"levels", "must hold one intensity per phase, " + std::to_string(settings.phases)};
    }
    if (!std::all_of(levels.begin(), levels.end(), isIntensity)) {
      return {"levels", "must lie between 0 and 1"};
    }
    if (repeatsAValue(levels)) return {"levels", "must not repeat an intensity"};
  }
  if (!(std::isfinite(settings.tvWeight) && settings.tvWeight >= 0.0f)) {
    return {"tv", "must be a finite number of at least 0"};
  }
  constexpr float smallestPenalty = std::numeric_limits<float>::min();
  if (!(std::isfinite(settings.penalty) && settings.penalty >= smallestPenalty)) {
    char limit[32];
    std::snprintf(limit, sizeof limit, "%g", static_cast<double>(smallestPenalty));
    return {"penalty", std::string("must be a finite number of at least ") + limit};
  }
  if (!inRange(settings.rounds, 1, kMaxRounds)) return {"rounds", wholeNumberFrom(1, kMaxRounds)};
  if (!inRange(settings.threads, 0, kMaxThreads)) {
    return {"threads", wholeNumberFrom(0, kMaxThreads)};
  }
  if (settings.window != 0 &&
      !(inRange(settings.window, 1, kMaxWindow) && settings.window % 2 == 1)) {
    return {"window", "must be 0 or an odd whole number from 1 to " + std::to_string(kMaxWindow)};
  }
  return {};
}

}  // namespace daskel::segment
