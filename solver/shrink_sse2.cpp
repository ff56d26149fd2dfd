// The shrinkage pass with SSE2 lanes: shrink.cpp compiled for this level (solver/lanes.hpp).
#define DASKEL_LEVEL_SSE2
#include "solver/shrink.cpp"  // NOLINT(bugprone-suspicious-include)
