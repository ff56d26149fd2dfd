// PNG files assembled chunk by chunk, so that tests can damage exactly one part of one.
#ifndef DASKEL_TESTS_TOOL_PNG_BYTES_HPP
#define DASKEL_TESTS_TOOL_PNG_BYTES_HPP

#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

namespace daskel::tool::testing {

inline std::string bigEndian32(uint32_t value) {
  return {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
          static_cast<char>(value >> 8), static_cast<char>(value)};
}

// Length, type, data and the CRC of type and data.
inline std::string pngChunk(const std::string& type, const std::string& data) {
  const std::string body = type + data;
  const auto crc =
      crc32(0L, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size()));
  return bigEndian32(static_cast<uint32_t>(data.size())) + body +
         bigEndian32(static_cast<uint32_t>(crc));
}

inline std::string pngHeader(uint32_t width, uint32_t height, int depth, int colourType) {
  return pngChunk(
      "IHDR", bigEndian32(width) + bigEndian32(height) +
                  std::string{static_cast<char>(depth), static_cast<char>(colourType), 0, 0, 0});
}

// The IDAT chunk of raw scanlines, each led by its filter byte.
inline std::string pngImageData(const std::string& scanlines) {
  uLongf size = compressBound(static_cast<uLong>(scanlines.size()));
  std::string packed(size, '\0');
  compress2(reinterpret_cast<Bytef*>(packed.data()), &size,
            reinterpret_cast<const Bytef*>(scanlines.data()), static_cast<uLong>(scanlines.size()),
            9);
  packed.resize(size);
  return pngChunk("IDAT", packed);
}

// The signature, the chunks, and IEND.
inline std::string pngFile(const std::vector<std::string>& chunks) {
  std::string file = "\x89PNG\r\n\x1a\n";
  for (const std::string& chunk : chunks) file += chunk;
  return file + pngChunk("IEND", "");
}

}  // namespace daskel::tool::testing

#endif  // DASKEL_TESTS_TOOL_PNG_BYTES_HPP
