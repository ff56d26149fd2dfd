// The labelling sweep with SSE2 lanes: sweep.cpp compiled for this level (solver/lanes.hpp).
#define DASKEL_LEVEL_SSE2
#include "solver/sweep.cpp"  // NOLINT(bugprone-suspicious-include)
