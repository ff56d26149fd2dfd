// The labelling sweep with AVX-512 lanes: sweep.cpp compiled for this level (solver/lanes.hpp).
#define DASKEL_LEVEL_AVX512
#include "solver/sweep.cpp"  // NOLINT(bugprone-suspicious-include)
