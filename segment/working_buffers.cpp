// Buffers of the segmentation mapped in at once; see working_buffers.hpp.
#include "segment/working_buffers.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "solver/huge_pages.hpp"

namespace daskel::segment {

void mapForWriting(void* data, std::size_t bytes, detail::Team* team) {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
  const long pageSize = sysconf(_SC_PAGESIZE);
  if (pageSize <= 0 || data == nullptr) return;
  const auto page = static_cast<std::uintptr_t>(pageSize);
  const auto begin = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (begin + page - 1) & ~(page - 1);
  const std::uintptr_t end = (begin + bytes) & ~(page - 1);
  if (end <= first) return;
  const std::uintptr_t pages = (end - first) / page;
  const std::uintptr_t members = team != nullptr ? static_cast<std::uintptr_t>(team->members()) : 1;
  auto mapShare = [&](int32_t member) {
    const auto m = static_cast<std::uintptr_t>(member);
    const std::uintptr_t from = first + page * (pages * m / members);
    const std::uintptr_t to = first + page * (pages * (m + 1) / members);
    // Kernels before 5.14 answer EINVAL; the pages then come in as they are touched.
    if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
  };
  if (team != nullptr) {
    team->run(mapShare);
  } else {
    mapShare(0);
  }
#else
  (void)data;
  (void)bytes;
  (void)team;
#endif
}

namespace {

// Large buffers come from huge-page mappings, as the solver's own do, small ones from calloc:
// zero either way, and the size tells which way a buffer goes back.
void* obtainZeroed(std::size_t bytes, std::size_t index) {
  if (!detail::takesHugePages(bytes)) return std::calloc(bytes, 1);
  return detail::obtainInHugePages(bytes, static_cast<int>(index));
}

void giveBack(void* memory, std::size_t bytes) {
  if (memory == nullptr) return;
  if (detail::takesHugePages(bytes)) {
    detail::releaseFromHugePages(memory);
  } else {
    std::free(memory);
  }
}

}  // namespace

WorkingBuffers::~WorkingBuffers() {
  for (const Buffer& buffer : buffers_) giveBack(buffer.memory, buffer.bytes);
}

BufferSource WorkingBuffers::source() {
  next_ = 0;
  return BufferSource{obtain, release, this};
}

void* WorkingBuffers::obtain(std::size_t count, std::size_t elementSize, void* context) {
  auto* set = static_cast<WorkingBuffers*>(context);
  const std::size_t index = set->next_++;
  if (index == kPaddedLabellingRequest) return nullptr;
  if (index == set->buffers_.size()) set->buffers_.emplace_back();
  Buffer& buffer = set->buffers_[index];
  const std::size_t bytes = count * elementSize;
  if (buffer.memory != nullptr && buffer.bytes == bytes) {
    std::memset(buffer.memory, 0, bytes);
    return buffer.memory;
  }
  // The first set-up, or one of another size (none within one segmentation). Fresh mappings are
  // zero, so mapping them in keeps them zero.
  giveBack(buffer.memory, buffer.bytes);
  buffer.memory = obtainZeroed(bytes, index);
  buffer.bytes = buffer.memory != nullptr ? bytes : 0;
  mapForWriting(buffer.memory, buffer.bytes, set->team_);
  return buffer.memory;
}

}  // namespace daskel::segment
