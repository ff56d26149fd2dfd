// PNG reading and writing for daskel-segment, through libpng.
//
// Outputs are staged: each goes to a temporary file beside its destination and is renamed into
// place only when everything has been written, so a failed run leaves no partial files.
#ifndef DASKEL_TOOLS_SEGMENT_PNG_IO_HPP
#define DASKEL_TOOLS_SEGMENT_PNG_IO_HPP

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/daskel-segment/segment.hpp"

namespace daskel::segment {

// Reads an 8- or 16-bit (or palette, or 1-, 2-, 4-bit grey) PNG as intensities in [0, 1]:
// sample / (2^depth - 1). Colour becomes luma, 0.299 R + 0.587 G + 0.114 B; alpha is ignored.
// On failure returns false and sets `error` to a one-line reason that names the file.
bool readPng(const std::string& path, GreyImage& image, std::string& error);

// A file written under a temporary name in its destination's folder and renamed into place by
// commit(). Until then the destination is untouched; an uncommitted file is removed when the
// object goes.
class StagedFile {
 public:
  StagedFile() = default;
  StagedFile(const StagedFile&) = delete;
  StagedFile& operator=(const StagedFile&) = delete;
  ~StagedFile();

  // Creates the temporary file; false with `error` set when the folder is not writable.
  bool open(const std::string& path, std::string& error);
  const std::string& path() const { return path_; }
  std::FILE* stream() { return stream_; }
  // Closes the temporary file, checking that every byte reached it, and renames it.
  bool commit(std::string& error);

 private:
  void discard();
  std::string path_;
  std::string temporary_;
  std::FILE* stream_ = nullptr;
};

// Writes an 8-bit image of `channels` (1 grey, 3 RGB) samples per pixel; `samples` runs pixel by
// pixel in column-major order, the channels of a pixel together.
bool writePng(StagedFile& file, int32_t rows, int32_t cols, int channels,
              const std::vector<uint8_t>& samples, std::string& error);

}  // namespace daskel::segment

#endif  // DASKEL_TOOLS_SEGMENT_PNG_IO_HPP
