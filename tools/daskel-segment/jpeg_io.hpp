// JPEG reading for daskel-segment, through libjpeg.
#ifndef DASKEL_TOOLS_SEGMENT_JPEG_IO_HPP
#define DASKEL_TOOLS_SEGMENT_JPEG_IO_HPP

#include <cstdint>
#include <cstdio>
#include <string>

#include "segment/segment.hpp"
#include "tools/daskel-segment/options.hpp"

namespace daskel::tool {

// Reads an 8-bit grey or colour JPEG (baseline or progressive) from `file`, positioned at its
// first byte, as intensities in [0, 1]: sample / 255, colour by its luma 0.299 R + 0.587 G +
// 0.114 B of libjpeg's RGB. The samples are taken as stored (no EXIF orientation). An image of
// more than `maxPixels` pixels is refused from its header, before it is decoded; so are CMYK
// images, and files that libjpeg finds damaged, even where it would only warn and fill the rest
// of the image in, and progressive files of more scans than any encoder writes, which can keep
// the decoder busy for minutes. libjpeg prints nothing: on failure `error` is set to one line
// that names the file (`name`).
bool readJpegStream(std::FILE* file, const std::string& name, segment::GreyImage& image,
                    std::string& error, std::int64_t maxPixels = kPixelCeiling);

}  // namespace daskel::tool

#endif  // DASKEL_TOOLS_SEGMENT_JPEG_IO_HPP
