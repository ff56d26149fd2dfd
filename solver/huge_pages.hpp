// Large buffers of the default source: each in an anonymous mapping of its own (zero-filled by
// the system) marked for transparent huge pages, since faulting in 4 KiB pages one by one costs
// more than a whole outer iteration on a large grid. Each buffer starts at a different offset
// within its huge page, so that equal indices of different buffers do not share cache sets.
// Small buffers, and systems without that advice, are left to calloc and free; the size alone
// tells which, so a release needs no record of the choice.
#ifndef DASKEL_SOLVER_HUGE_PAGES_HPP
#define DASKEL_SOLVER_HUGE_PAGES_HPP

#include <cstddef>

namespace daskel::detail {

// Whether a buffer of `bytes` comes from obtainInHugePages (false on systems without the advice).
bool takesHugePages(std::size_t bytes);

// A zero-filled buffer of `bytes`, placed by `requestIndex` (the buffer's place in the order of
// requests) within its first huge page; null where the system refuses the mapping.
void* obtainInHugePages(std::size_t bytes, int requestIndex);

// Unmaps a buffer from obtainInHugePages.
void releaseFromHugePages(void* buffer);

}  // namespace daskel::detail

#endif  // DASKEL_SOLVER_HUGE_PAGES_HPP
