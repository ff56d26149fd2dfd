// PNG reading and writing for daskel-segment, through libpng. Files are written through
// StagedFile (outputs.hpp), so a failed run leaves no partial files.
#ifndef DASKEL_TOOLS_SEGMENT_PNG_IO_HPP
#define DASKEL_TOOLS_SEGMENT_PNG_IO_HPP

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "segment/segment.hpp"
#include "tools/daskel-segment/options.hpp"
#include "tools/daskel-segment/outputs.hpp"

namespace daskel::tool {

// Reads an 8- or 16-bit (or palette, or 1-, 2-, 4-bit grey) PNG as intensities in [0, 1]:
// sample / (2^depth - 1). Colour becomes luma, 0.299 R + 0.587 G + 0.114 B; alpha, from an
// alpha channel or a tRNS chunk, is ignored. An image of more than `maxPixels` pixels is refused
// before it is decoded. On failure returns false and sets `error` to a one-line reason that names
// the file.
bool readPng(const std::string& path, segment::GreyImage& image, std::string& error,
             std::int64_t maxPixels = kPixelCeiling);

// The same from an open stream, positioned at the start of the PNG; `name` names it in errors.
bool readPngStream(std::FILE* file, const std::string& name, segment::GreyImage& image,
                   std::string& error, std::int64_t maxPixels = kPixelCeiling);

// Writes an 8-bit image of `channels` (1 grey, 3 RGB) samples per pixel; `samples` runs pixel by
// pixel in column-major order, the channels of a pixel together.
bool writePng(StagedFile& file, int32_t rows, int32_t cols, int channels,
              const std::vector<uint8_t>& samples, std::string& error);

}  // namespace daskel::tool

#endif  // DASKEL_TOOLS_SEGMENT_PNG_IO_HPP
