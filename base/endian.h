// Little-endian loads and stores, the byte order of every binary file the library reads.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace QVX::Base {

inline constexpr bool kHostIsLittleEndian = std::endian::native == std::endian::little;

inline uint16_t load_le16(const void* p) {
  const auto* b = static_cast<const uint8_t*>(p);
  return static_cast<uint16_t>(b[0] | (b[1] << 8));
}

inline uint32_t load_le32(const void* p) {
  const auto* b = static_cast<const uint8_t*>(p);
  return static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
         (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
}

inline uint64_t load_le64(const void* p) {
  const auto* b = static_cast<const uint8_t*>(p);
  return static_cast<uint64_t>(load_le32(b)) | (static_cast<uint64_t>(load_le32(b + 4)) << 32);
}

inline float load_le_f32(const void* p) { return std::bit_cast<float>(load_le32(p)); }

inline double load_le_f64(const void* p) { return std::bit_cast<double>(load_le64(p)); }

inline void store_le16(void* p, uint16_t v) {
  auto* b = static_cast<uint8_t*>(p);
  b[0] = static_cast<uint8_t>(v);
  b[1] = static_cast<uint8_t>(v >> 8);
}

inline void store_le32(void* p, uint32_t v) {
  auto* b = static_cast<uint8_t*>(p);
  for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Turns `count` little-endian 32-bit words in place into host order (a no-op on
// little-endian hosts).
inline void le32_to_host_in_place(void* words, size_t count) {
  if constexpr (!kHostIsLittleEndian) {
    auto* w = static_cast<uint32_t*>(words);
    for (size_t i = 0; i < count; ++i) w[i] = load_le32(&w[i]);
  } else {
    (void)words;
    (void)count;
  }
}

}  // namespace QVX::Base
