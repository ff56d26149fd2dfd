// Buffers of the default source in anonymous mappings of their own, marked for transparent huge
// pages; see huge_pages.hpp.
#include "solver/huge_pages.hpp"

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace daskel::detail {

#if defined(__linux__) && defined(MADV_HUGEPAGE)
namespace {
constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kMappedFrom = std::size_t{256} << 10;  // bytes
constexpr std::size_t kHeader = 64;                          // keeps the mapping's base and length
constexpr std::size_t kStagger = 17 * 64;                    // between consecutive buffers
static_assert(kHeader >= 2 * sizeof(std::uintptr_t) && kHeader % 64 == 0,
              "the header holds the mapping's base and length and keeps buffers on cache lines");
}  // namespace

bool takesHugePages(std::size_t bytes) {
  return bytes >= kMappedFrom;
}

void* obtainInHugePages(std::size_t bytes, int requestIndex) {
  const std::size_t offset = kHeader + kStagger * static_cast<std::size_t>(requestIndex);
  // Whole huge pages from the first aligned address on, the buffer's last page included: a
  // mapping that ends within a huge page's span faults that part in small pages, one by one.
  const std::size_t hugePages = (offset + bytes + kHugePage - 1) / kHugePage;
  const std::size_t length = (hugePages + 1) * kHugePage;
  void* base = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (base == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<std::uintptr_t>(base);
  const std::uintptr_t aligned = (start + kHugePage - 1) & ~std::uintptr_t{kHugePage - 1};
  // Only advice: where the system declines, the mapping still works with small pages.
  madvise(reinterpret_cast<void*>(aligned), length - (aligned - start), MADV_HUGEPAGE);
  auto* header = reinterpret_cast<std::uintptr_t*>(aligned + offset - kHeader);
  header[0] = start;
  header[1] = length;
  return reinterpret_cast<void*>(aligned + offset);
}

void releaseFromHugePages(void* buffer) {
  const auto* header =
      reinterpret_cast<const std::uintptr_t*>(static_cast<char*>(buffer) - kHeader);
  munmap(reinterpret_cast<void*>(header[0]), static_cast<std::size_t>(header[1]));
}
#else
bool takesHugePages(std::size_t) {
  return false;
}
void* obtainInHugePages(std::size_t, int) {
  return nullptr;
}
void releaseFromHugePages(void*) {}
#endif

}  // namespace daskel::detail
