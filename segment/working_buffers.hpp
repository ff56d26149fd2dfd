// Memory for the segmentation's large arrays, mapped in at once rather than page by page.
//
// A fresh page costs a fault when it is first touched, and a page that is read before it is
// written (the solver reads its zeroed split variables first) costs two: one that maps the shared
// zero page and one that copies it. On the 2-core development machine that is 0.22 s for the
// 352 MiB a 2048^2 x 3 solve asked for with its padded copy, against 0.11 s for the same pages
// mapped by one request, and 256 MiB take 85-105 ms in small pages against 23-28 ms in huge pages
// (when the machine's host has them at hand; see docs/performance.md).
#ifndef DASKEL_SEGMENT_WORKING_BUFFERS_HPP
#define DASKEL_SEGMENT_WORKING_BUFFERS_HPP

#include <cstddef>
#include <vector>

#include "solver/solver.hpp"
#include "solver/team.hpp"

namespace daskel::segment {

// Asks the system to map the whole pages of [data, data + bytes) for writing now, in one request,
// or in one per member of `team` (may be null) for its share of them, which the system serves at
// once. Only advice: where the system has no such request, or declines it, nothing changes and the
// pages come in as they are touched.
void mapForWriting(void* data, std::size_t bytes, detail::Team* team = nullptr);

// The solver's working buffers, one set for every round: each round's set-up asks for the same
// sizes in the same order and gets the same buffers back, cleared, instead of fresh pages that
// the system must find, map and clear one by one. Large buffers lie in huge pages, at the
// staggered offsets of the solver's own (solver/huge_pages.hpp), and are mapped in whole when
// they are first obtained (mapForWriting). All are freed when the set goes.
//
// The solver's optional padded copy of the labelling (its seventh request, where the phase slices
// are padded) is declined, and the solver reads the labelling where it is, to the same bits: on
// the development machine the copy's fresh pages and copying cost more than the padding saves
// (a 2048^2 x 3 picture on one thread 0.70 -> 0.66 s, 4096^2 3.5 -> 2.8 s).
class WorkingBuffers {
 public:
  // `team` (may be null) maps the buffers in; it must outlive the set's use.
  explicit WorkingBuffers(detail::Team* team = nullptr) : team_(team) {}
  WorkingBuffers(const WorkingBuffers&) = delete;
  WorkingBuffers& operator=(const WorkingBuffers&) = delete;
  ~WorkingBuffers();

  // The source for one set-up of the solver: its requests are counted from the first.
  BufferSource source();

 private:
  struct Buffer {
    void* memory = nullptr;
    std::size_t bytes = 0;
  };

  // The index of the solver's request for its padded copy of the labelling.
  static constexpr std::size_t kPaddedLabellingRequest = 6;

  static void* obtain(std::size_t count, std::size_t elementSize, void* context);
  // The buffers stay with the set until it goes.
  static void release(void*, void*) {}

  detail::Team* team_ = nullptr;
  std::vector<Buffer> buffers_;
  std::size_t next_ = 0;
};

}  // namespace daskel::segment

#endif  // DASKEL_SEGMENT_WORKING_BUFFERS_HPP
