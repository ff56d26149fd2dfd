// The solver, as programs outside this tree include it: #include <daskel/solver.hpp>.
#ifndef DASKEL_INCLUDE_DASKEL_SOLVER_HPP
#define DASKEL_INCLUDE_DASKEL_SOLVER_HPP

#include "solver/solver.hpp"

#endif  // DASKEL_INCLUDE_DASKEL_SOLVER_HPP
