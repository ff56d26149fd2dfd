// The choice of the kernels' instruction-set level: DASKEL_KERNELS within what the processor has.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "solver/kernels.hpp"

namespace {

using daskel::detail::chooseKernelLevel;
using daskel::detail::KernelLevel;

TEST(KernelLevel, ARequestCountsOnlyWhereTheProcessorHasTheLevel) {
  constexpr KernelLevel scalar = KernelLevel::scalar;
  constexpr KernelLevel sse2 = KernelLevel::sse2;
  constexpr KernelLevel avx2 = KernelLevel::avx2;
  constexpr KernelLevel avx512 = KernelLevel::avx512;
  const struct {
    const char* requested;
    KernelLevel best;
    KernelLevel chosen;
  } cases[] = {
      {nullptr, avx2, avx2},       {"scalar", avx2, scalar}, {"sse2", avx2, sse2},
      {"avx2", avx2, avx2},        {"scalar", sse2, scalar}, {"avx2", sse2, sse2},  // lacking
      {"sse2", scalar, scalar},    {"", avx2, avx2},         {"AVX2", sse2, sse2},  // unknown
      {"avx512", avx2, avx2},      {"sse2 ", avx2, avx2},    {"scalar", scalar, scalar},
      {"avx512", avx512, avx512},  {"avx2", avx512, avx2},   {nullptr, avx512, avx512},
      {"avx512f", avx512, avx512}, {"avx512", sse2, sse2},   {"scalar", avx512, scalar},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(chooseKernelLevel(c.requested, c.best), c.chosen)
        << (c.requested != nullptr ? c.requested : "(unset)") << " on "
        << daskel::detail::kernelLevelName(c.best);
  }
}

// CI runs the whole suite with each word: the kernels in use are those of the level it names
// where the processor has that level, else the best the processor has (unset, unknown words and
// levels beyond it alike).
TEST(KernelLevel, TheActiveLevelFollowsTheEnvironment) {
  const char* asked = std::getenv("DASKEL_KERNELS");
  const std::string word = asked != nullptr ? asked : "(unset)";
  const KernelLevel best = daskel::detail::bestKernelLevel();
  const struct {
    const char* word;
    KernelLevel level;
  } words[] = {{"scalar", KernelLevel::scalar},
               {"sse2", KernelLevel::sse2},
               {"avx2", KernelLevel::avx2},
               {"avx512", KernelLevel::avx512}};
  KernelLevel expected = best;
  for (const auto& w : words) {
    if (word == w.word) expected = std::min(w.level, best);
  }
  EXPECT_EQ(daskel::detail::activeKernelLevel(), expected)
      << "DASKEL_KERNELS " << word << " on " << daskel::detail::kernelLevelName(best);
}

}  // namespace
