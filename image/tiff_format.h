// TIFF: single-channel 32-bit float, 16-bit and 8-bit files with the image's `info` in a
// private tag, plain or gzip-compressed; gray and RGB files are read into floats.
//
// Private tags: 65000 QvxInfoV1 (ASCII, read only), 65001 QvxInfoV2 (BYTE: the info block),
// 65002 QvxInfoOffsetV2 (never stored; the byte count and file offset of the 65001 data).
// The info block is a 4-byte big-endian length L, the L info bytes, then padding up to
// padded_info_size(), so that a longer description can later be written in place.
//
// A saved file holds the pixels right after the file header, uncompressed, in strips of
// whole rows of about 8 MiB that follow one another, so that they form one block a reader
// can map; the directory and the info block come after them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "image/format.h"

namespace QVX::Image::Format {

inline constexpr uint32_t kTagQvxInfoV1 = 65000;
inline constexpr uint32_t kTagQvxInfoV2 = 65001;
inline constexpr uint32_t kTagQvxInfoOffsetV2 = 65002;

// Sample scaling of the loaders.
inline constexpr float kTiffScale32 = 2.3283064e-10f;  // 2^-32
inline constexpr float kTiffScale16 = 1.5259022e-05f;  // 1/65535
inline constexpr float kTiffScale8 = 0.003921569f;     // 1/255
inline constexpr float kTiffRed = 0.0013490197f;       // 0.344 / 255
inline constexpr float kTiffGreen = 0.0019607844f;     // 0.5 / 255
inline constexpr float kTiffBlue = 0.0006117647f;      // 0.156 / 255

class TIFF final : public Format {
 public:
  bool matches_signature(const uint8_t* bytes, size_t size) const override;
  bool save_u8(const Image_u8& image, const std::wstring& path, const std::wstring& format,
               uint8_t cmin, uint8_t cmax) override;
  bool save_u16(const Image_u16& image, const std::wstring& path, const std::wstring& format,
                uint16_t cmin, uint16_t cmax) override;
  bool save_f(const Image_f& image, const std::wstring& path, const std::wstring& format,
              float cmin, float cmax) override;
  bool update_description(const Image& image, int& fd) override;  // tiff_description.cpp
  bool load_description(Image_desc& desc, int fd) override;       // tiff_load.cpp
  bool load_f(Image_f& image, int fd) override;                   // tiff_load.cpp
};

// Bytes of the info block for `info_length` info bytes beside `pixel_bytes` of pixels:
// L + 4 rounded up to units of 1024 bytes, or of 2^(e - 10) when e = floor(log2(pixel_bytes))
// exceeds 20.
uint64_t padded_info_size(uint64_t info_length, uint64_t pixel_bytes);

// The byte count and file offset of the QvxInfoV2 entry's data of the TIFF open as `fd`
// (classic or BigTIFF, either byte order), read from its first directory; nothing when
// the file has no such entry. Does not move the descriptor's position.
struct InfoEntry {
  uint64_t count = 0;
  uint64_t offset = 0;
};
std::optional<InfoEntry> find_info_entry(int fd);

}  // namespace QVX::Image::Format
