// TIFF and JPEG files for the tests: written with libtiff and libjpeg themselves, in any layout
// the tool reads, or assembled byte by byte, so that a test can damage exactly one field.
#ifndef DASKEL_TESTS_TOOL_IMAGE_FILES_HPP
#define DASKEL_TESTS_TOOL_IMAGE_FILES_HPP

#include <tiffio.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// jpeglib.h needs FILE and size_t declared before it.
#include <jpeglib.h>

namespace daskel::tool::testing {

// One page of a TIFF: its samples row after row, those of a pixel together, in the machine's
// byte order, and how libtiff is to store them.
struct TiffPage {
  explicit TiffPage(uint32_t width, uint32_t height, uint16_t samples = 1, uint16_t bits = 8,
                    uint16_t format = SAMPLEFORMAT_UINT,
                    uint16_t photometric = PHOTOMETRIC_MINISBLACK)
      : width(width),
        height(height),
        samples(samples),
        bits(bits),
        format(format),
        photometric(photometric) {}

  // The same page stored otherwise.
  TiffPage stored(uint16_t compression, bool separate = false, uint32_t tileSide = 0,
                  uint32_t rowsPerStrip = 0) const {
    TiffPage page = *this;
    page.compression = compression;
    page.separate = separate;
    page.tileSide = tileSide;
    page.rowsPerStrip = rowsPerStrip;
    return page;
  }

  uint32_t width;
  uint32_t height;
  uint16_t samples;  // per pixel; 2 and 4 end with an alpha sample
  uint16_t bits;
  uint16_t format;
  uint16_t photometric;
  std::string data;  // width * height * samples * bits / 8 bytes
  uint16_t compression = COMPRESSION_NONE;
  bool separate = false;      // one plane per sample
  uint32_t tileSide = 0;      // square tiles of this side (a multiple of 16); 0: strips
  uint32_t rowsPerStrip = 0;  // 0: all rows in one strip
};

// Writes `pages` with libtiff into the file `path`, big-endian if asked; false where libtiff
// refuses (it then prints why).
inline bool writeTiff(const std::string& path, const std::vector<TiffPage>& pages,
                      bool bigEndian = false) {
  TIFF* tiff = TIFFOpen(path.c_str(), bigEndian ? "wb" : "wl");
  if (tiff == nullptr) return false;
  bool written = true;
  for (const TiffPage& page : pages) {
    const uint32_t bytes = page.bits / 8;
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, page.width);
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, page.height);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, page.samples);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, page.bits);
    TIFFSetField(tiff, TIFFTAG_SAMPLEFORMAT, page.format);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, page.photometric);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, page.compression);
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG,
                 page.separate ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG);
    if (page.samples == 2 || page.samples == 4) {
      const uint16_t alpha[] = {EXTRASAMPLE_UNASSALPHA};
      TIFFSetField(tiff, TIFFTAG_EXTRASAMPLES, 1, alpha);
    }
    if (pages.size() > 1) TIFFSetField(tiff, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
    const uint32_t blockWidth = page.tileSide != 0 ? page.tileSide : page.width;
    uint32_t blockHeight = page.height;
    if (page.tileSide != 0) {
      TIFFSetField(tiff, TIFFTAG_TILEWIDTH, page.tileSide);
      TIFFSetField(tiff, TIFFTAG_TILELENGTH, page.tileSide);
      blockHeight = page.tileSide;
    } else {
      blockHeight = page.rowsPerStrip != 0 ? page.rowsPerStrip : page.height;
      TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, blockHeight);
    }
    // Each block (strip or tile, of one plane or of all samples) gathered from the pixels and
    // padded with zeros beyond the image.
    const uint16_t planes = page.separate ? page.samples : 1;
    const uint16_t blockSamples = page.separate ? 1 : page.samples;
    for (uint16_t plane = 0; plane < planes; ++plane) {
      for (uint32_t y = 0; y < page.height; y += blockHeight) {
        for (uint32_t x = 0; x < page.width; x += blockWidth) {
          const uint32_t rows =
              page.tileSide != 0 ? blockHeight : std::min(blockHeight, page.height - y);
          std::string block(std::size_t{rows} * blockWidth * blockSamples * bytes, '\0');
          for (uint32_t r = 0; r < rows && y + r < page.height; ++r) {
            for (uint32_t c = 0; c < blockWidth && x + c < page.width; ++c) {
              for (uint16_t s = 0; s < blockSamples; ++s) {
                const std::size_t from =
                    ((std::size_t{y + r} * page.width + x + c) * page.samples + plane + s) * bytes;
                const std::size_t to =
                    ((std::size_t{r} * blockWidth + c) * blockSamples + s) * bytes;
                std::memcpy(&block[to], &page.data[from], bytes);
              }
            }
          }
          const tmsize_t size = static_cast<tmsize_t>(block.size());
          written =
              written && (page.tileSide != 0
                              ? TIFFWriteEncodedTile(tiff, TIFFComputeTile(tiff, x, y, 0, plane),
                                                     block.data(), size) == size
                              : TIFFWriteEncodedStrip(tiff, TIFFComputeStrip(tiff, y, plane),
                                                      block.data(), size) == size);
        }
      }
    }
    written = written && TIFFWriteDirectory(tiff) == 1;
  }
  TIFFClose(tiff);
  return written;
}

// The pages of a TIFF file as libtiff reads them back, for what the tool writes: 8-bit samples
// in column-major order, the channels of a pixel together, as writePng takes them.
struct ReadBack {
  uint32_t width = 0;
  uint32_t height = 0;
  uint16_t samples = 0;
  uint16_t bits = 0;
  uint16_t photometric = 0;
  uint16_t page = 0;  // the page number tag, where there is one
  uint16_t ofPages = 0;
  std::vector<uint8_t> columnMajor;
};

inline std::vector<ReadBack> readTiffPages(const std::string& path) {
  std::vector<ReadBack> pages;
  TIFF* tiff = TIFFOpen(path.c_str(), "r");
  if (tiff == nullptr) return pages;
  do {
    ReadBack p;
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &p.width);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &p.height);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &p.samples);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &p.bits);
    TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &p.photometric);
    TIFFGetField(tiff, TIFFTAG_PAGENUMBER, &p.page, &p.ofPages);
    std::vector<uint8_t> row(static_cast<std::size_t>(TIFFScanlineSize(tiff)));
    p.columnMajor.resize(std::size_t{p.width} * p.height * p.samples);
    for (uint32_t r = 0; r < p.height; ++r) {
      if (TIFFReadScanline(tiff, row.data(), r, 0) != 1) return {};
      for (uint32_t c = 0; c < p.width; ++c) {
        for (uint16_t s = 0; s < p.samples; ++s) {
          p.columnMajor[(r + std::size_t{p.height} * c) * p.samples + s] =
              row[std::size_t{c} * p.samples + s];
        }
      }
    }
    pages.push_back(p);
  } while (TIFFReadDirectory(tiff) == 1);
  TIFFClose(tiff);
  return pages;
}

// A little-endian TIFF assembled field by field: the header, `pixels` from byte 8, then one
// directory of `entries` and the offset of the next (0: none). An entry whose value fits holds
// it; a SHORT of count 1 sits in the entry's first two bytes.
struct TiffEntry {
  uint16_t tag;
  uint16_t type;  // 3 SHORT, 4 LONG, 2 ASCII
  uint32_t count;
  uint32_t value;  // or the offset of the values
};

inline std::string littleEndian(uint64_t value, int bytes) {
  std::string text;
  for (int b = 0; b < bytes; ++b) text += static_cast<char>(value >> (8 * b));
  return text;
}

// Where tiffBytes puts the directory after `pixels`.
inline uint32_t tiffDirectoryOffset(const std::string& pixels) {
  return static_cast<uint32_t>(8 + pixels.size() + pixels.size() % 2);
}

inline std::string tiffBytes(const std::string& pixels, std::vector<TiffEntry> entries,
                             uint32_t next = 0) {
  std::sort(entries.begin(), entries.end(),
            [](const TiffEntry& a, const TiffEntry& b) { return a.tag < b.tag; });
  std::string file = "II*" + std::string(1, '\0') + littleEndian(tiffDirectoryOffset(pixels), 4) +
                     pixels + std::string(pixels.size() % 2, '\0');
  file += littleEndian(entries.size(), 2);
  for (const TiffEntry& e : entries) {
    file += littleEndian(e.tag, 2) + littleEndian(e.type, 2) + littleEndian(e.count, 4) +
            littleEndian(e.value, 4);
  }
  return file + littleEndian(next, 4);
}

// The entries of a page of `width` x `height` pixels in one uncompressed strip from byte 8:
// `samples` samples of `bits` bits of `format`, of photometric interpretation `photometric`.
inline std::vector<TiffEntry> tiffStripEntries(uint32_t width, uint32_t height, uint32_t stripBytes,
                                               uint16_t bits = 8, uint16_t samples = 1,
                                               uint16_t photometric = PHOTOMETRIC_MINISBLACK,
                                               uint16_t format = SAMPLEFORMAT_UINT) {
  return {
      {TIFFTAG_IMAGEWIDTH, 4, 1, width},           {TIFFTAG_IMAGELENGTH, 4, 1, height},
      {TIFFTAG_BITSPERSAMPLE, 3, 1, bits},         {TIFFTAG_COMPRESSION, 3, 1, COMPRESSION_NONE},
      {TIFFTAG_PHOTOMETRIC, 3, 1, photometric},    {TIFFTAG_STRIPOFFSETS, 4, 1, 8},
      {TIFFTAG_SAMPLESPERPIXEL, 3, 1, samples},    {TIFFTAG_ROWSPERSTRIP, 4, 1, height},
      {TIFFTAG_STRIPBYTECOUNTS, 4, 1, stripBytes}, {TIFFTAG_SAMPLEFORMAT, 3, 1, format}};
}

// `entries` with the value of `tag` replaced (or the entry added).
inline std::vector<TiffEntry> withEntry(std::vector<TiffEntry> entries, TiffEntry changed) {
  for (TiffEntry& e : entries) {
    if (e.tag == changed.tag) {
      e = changed;
      return entries;
    }
  }
  entries.push_back(changed);
  return entries;
}

// A JPEG of `width` x `height` pixels of `components` (1 grey, 3 RGB, 4 CMYK) 8-bit samples,
// row after row, compressed by libjpeg.
inline std::string jpegFile(uint32_t width, uint32_t height, int components,
                            const std::vector<uint8_t>& samples, int quality = 100,
                            bool progressive = false) {
  jpeg_compress_struct info{};
  jpeg_error_mgr errors{};
  info.err = jpeg_std_error(&errors);
  jpeg_create_compress(&info);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&info, &buffer, &size);
  info.image_width = width;
  info.image_height = height;
  info.input_components = components;
  info.in_color_space = components == 1 ? JCS_GRAYSCALE : components == 3 ? JCS_RGB : JCS_CMYK;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, quality, TRUE);
  if (progressive) jpeg_simple_progression(&info);
  jpeg_start_compress(&info, TRUE);
  while (info.next_scanline < height) {
    JSAMPROW row =
        const_cast<JSAMPLE*>(&samples[std::size_t{info.next_scanline} * width * components]);
    jpeg_write_scanlines(&info, &row, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  std::string file(reinterpret_cast<const char*>(buffer), size);
  std::free(buffer);
  return file;
}

}  // namespace daskel::tool::testing

#endif  // DASKEL_TESTS_TOOL_IMAGE_FILES_HPP
