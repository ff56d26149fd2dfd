// The shrinkage pass with AVX-512 lanes: shrink.cpp compiled for this level (solver/lanes.hpp).
#define DASKEL_LEVEL_AVX512
#include "solver/shrink.cpp"  // NOLINT(bugprone-suspicious-include)
