// Little-endian numbers in on-disk structures (hive cells, NTFS records, partition
// tables): read from and written to bytes whatever the host's order.
#pragma once

#include <cstdint>

namespace base {

inline uint16_t le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
inline uint32_t le32(const uint8_t* p) { return uint32_t(le16(p)) | uint32_t(le16(p + 2)) << 16; }
inline uint64_t le64(const uint8_t* p) { return uint64_t(le32(p)) | uint64_t(le32(p + 4)) << 32; }

inline void put_le16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
inline void put_le32(uint8_t* p, uint32_t v) {
  put_le16(p, uint16_t(v));
  put_le16(p + 2, uint16_t(v >> 16));
}
inline void put_le64(uint8_t* p, uint64_t v) {
  put_le32(p, uint32_t(v));
  put_le32(p + 4, uint32_t(v >> 32));
}

}  // namespace base
