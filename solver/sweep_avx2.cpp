// The labelling sweep with AVX2 lanes: sweep.cpp compiled for this level (solver/lanes.hpp).
#define DASKEL_LEVEL_AVX2
#include "solver/sweep.cpp"  // NOLINT(bugprone-suspicious-include)
