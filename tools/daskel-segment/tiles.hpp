// Visiting an image's pixels a tile at a time, for the transposes between files, whose rows run
// across the image, and the tool's images, which run down its columns.
#ifndef DASKEL_TOOLS_SEGMENT_TILES_HPP
#define DASKEL_TOOLS_SEGMENT_TILES_HPP

#include <algorithm>
#include <cstddef>

namespace daskel::tool {

// Calls visit(row, col) for every pixel of a rows x cols image, a tile of 16 x 16 pixels at a
// time, along the rows within a tile. Pixel by pixel along whole rows, a transpose touches a new
// line of the column-major side at nearly every pixel (and a new page every few); within a tile
// the lines of both sides stay in cache: a 2048^2 grey PNG is read in 37-39 ms instead of 48. The
// tile is small because both sides' lines lie a power of two bytes apart for common sizes and
// share a few cache sets: 64 x 64 tiles wrote a 2048^2 colour PNG's rows in 29 ms, 16 x 16 in 23.
template <class Visit>
void eachPixelByTiles(std::size_t rows, std::size_t cols, Visit&& visit) {
  constexpr std::size_t kTile = 16;
  for (std::size_t firstRow = 0; firstRow < rows; firstRow += kTile) {
    const std::size_t endRow = std::min(rows, firstRow + kTile);
    for (std::size_t firstCol = 0; firstCol < cols; firstCol += kTile) {
      const std::size_t endCol = std::min(cols, firstCol + kTile);
      for (std::size_t row = firstRow; row < endRow; ++row) {
        for (std::size_t col = firstCol; col < endCol; ++col) visit(row, col);
      }
    }
  }
}

}  // namespace daskel::tool

#endif  // DASKEL_TOOLS_SEGMENT_TILES_HPP
