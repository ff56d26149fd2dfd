// The segmentation's passes over an image, shared among threads by blocks of columns.
//
// The blocks do not depend on how many threads there are, and every sum is taken within a block
// and then over the blocks in their order, so that every thread count gives the same bits.
#ifndef DASKEL_SEGMENT_COLUMN_BLOCKS_HPP
#define DASKEL_SEGMENT_COLUMN_BLOCKS_HPP

#include <algorithm>
#include <cstdint>

#include "solver/team.hpp"

namespace daskel::segment {

constexpr int32_t kBlockColumns = 16;

class ColumnBlocks {
 public:
  // The blocks of an image of `cols` columns; `team` (null: the calling thread alone) runs them.
  ColumnBlocks(int32_t cols, detail::Team* team)
      : cols_(cols), blocks_((cols + kBlockColumns - 1) / kBlockColumns), team_(team) {}

  int32_t blocks() const { return blocks_; }
  int32_t members() const { return team_ != nullptr ? team_->members() : 1; }

  // Calls pass(member, block, firstCol, endCol) for every block, each member for a run of
  // consecutive blocks, and returns once all are done.
  template <class Pass>
  void run(Pass&& pass) const {
    auto share = [this, &pass](int32_t member) {
      const int64_t count = members();
      const auto first = static_cast<int32_t>(blocks_ * int64_t{member} / count);
      const auto end = static_cast<int32_t>(blocks_ * (int64_t{member} + 1) / count);
      for (int32_t block = first; block < end; ++block) {
        const int32_t firstCol = block * kBlockColumns;
        pass(member, block, firstCol, std::min(cols_, firstCol + kBlockColumns));
      }
    };
    if (team_ == nullptr) {
      share(0);
    } else {
      team_->run(share);
    }
  }

 private:
  int32_t cols_;
  int32_t blocks_;
  detail::Team* team_;
};

}  // namespace daskel::segment

#endif  // DASKEL_SEGMENT_COLUMN_BLOCKS_HPP
