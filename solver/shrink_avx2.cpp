// The shrinkage pass with AVX2 lanes: shrink.cpp compiled for this level (solver/lanes.hpp).
#define DASKEL_LEVEL_AVX2
#include "solver/shrink.cpp"  // NOLINT(bugprone-suspicious-include)
