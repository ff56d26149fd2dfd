// The choice of the kernels' instruction-set level: DASKEL_KERNELS within what the processor has.
#include <gtest/gtest.h>

#include <cstdlib>

#include "solver/kernels.hpp"

namespace {

using daskel::detail::chooseKernelLevel;
using daskel::detail::KernelLevel;

TEST(KernelLevel, ARequestCountsOnlyWhereTheProcessorHasTheLevel) {
  constexpr KernelLevel scalar = KernelLevel::scalar;
  constexpr KernelLevel sse2 = KernelLevel::sse2;
  constexpr KernelLevel avx2 = KernelLevel::avx2;
  const struct {
    const char* requested;
    KernelLevel best;
    KernelLevel chosen;
  } cases[] = {
      {nullptr, avx2, avx2},     {"scalar", avx2, scalar}, {"sse2", avx2, sse2},
      {"avx2", avx2, avx2},      {"scalar", sse2, scalar}, {"avx2", sse2, sse2},  // lacking
      {"sse2", scalar, scalar},  {"", avx2, avx2},         {"AVX2", sse2, sse2},  // unknown
      {"avx512", avx2, avx2},    {"sse2 ", avx2, avx2},    {"scalar", scalar, scalar},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(chooseKernelLevel(c.requested, c.best), c.chosen)
        << (c.requested != nullptr ? c.requested : "(unset)") << " on "
        << daskel::detail::kernelLevelName(c.best);
  }
}

// CI runs the whole suite with each word: the kernels in use are the ones it asks for.
TEST(KernelLevel, TheActiveLevelFollowsTheEnvironment) {
  EXPECT_EQ(daskel::detail::activeKernelLevel(),
            chooseKernelLevel(std::getenv("DASKEL_KERNELS"), daskel::detail::bestKernelLevel()));
}

}  // namespace
