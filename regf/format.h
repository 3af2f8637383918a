// Facts of the hive file format shared by the reader, the writer and log recovery:
// little-endian access to a byte image and the base block's fields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>

#include "base/little_endian.h"

namespace regf {

// The engine's names for the little-endian fields of base/little_endian.h.
inline uint16_t load_u16(const uint8_t* p) { return base::le16(p); }
inline uint32_t load_u32(const uint8_t* p) { return base::le32(p); }
inline uint64_t load_u64(const uint8_t* p) { return base::le64(p); }
inline int32_t load_i32(const uint8_t* p) { return static_cast<int32_t>(base::le32(p)); }
inline void store_u16(uint8_t* p, uint16_t v) { base::put_le16(p, v); }
inline void store_u32(uint8_t* p, uint32_t v) { base::put_le32(p, v); }
inline void store_u64(uint8_t* p, uint64_t v) { base::put_le64(p, v); }
inline void store_i32(uint8_t* p, int32_t v) { base::put_le32(p, static_cast<uint32_t>(v)); }

// The base block is the file's first 4096 bytes; hive bins follow it, and every cell
// offset stored in the file counts from the start of the first hive bin.
constexpr size_t kBaseBlockSize = 4096;
constexpr size_t kHiveBinAlignment = 4096;
constexpr size_t kHiveBinHeaderSize = 32;

namespace hbin {
constexpr size_t kSignature = 0;  // "hbin"
constexpr size_t kOffset = 4;     // of this bin, in the hive bins data
constexpr size_t kSize = 8;
constexpr size_t kTimestamp = 20;  // first bin only: a copy of the base block's last-written time
}  // namespace hbin

// A cell starts with its size (a multiple of 8, header included): negative while the
// cell is allocated, positive when it is free. The record follows.
constexpr size_t kCellHeaderSize = 4;
// Cell sizes, size field included, are multiples of 8.
constexpr uint32_t kCellAlignment = 8;
// A cell offset as lists store it (value lists, big data segment lists, index leaves
// and index roots are arrays of them).
constexpr size_t kCellOffsetSize = 4;

namespace base_block {
constexpr size_t kSignature = 0;  // "regf"
constexpr size_t kPrimarySequence = 4;
constexpr size_t kSecondarySequence = 8;
constexpr size_t kLastWritten = 12;  // FILETIME
constexpr size_t kMajorVersion = 20;
constexpr size_t kMinorVersion = 24;
constexpr size_t kFileType = 28;    // 0 primary, 1 old log, 6 new log
constexpr size_t kFileFormat = 32;  // 1 direct memory load
constexpr size_t kRootCellOffset = 36;
constexpr size_t kHiveBinsDataSize = 40;
constexpr size_t kClusteringFactor = 44;
constexpr size_t kFileName = 48;   // 64 bytes, UTF-16LE
constexpr size_t kChecksum = 508;  // XOR of the 127 dwords before it
constexpr size_t kBootType = 4088;
constexpr size_t kBootRecover = 4092;
}  // namespace base_block

// The format versions read and written: 1.3 (Windows NT 4.0) to 1.6 (Windows 10).
constexpr uint32_t kMajorVersion = 1;
constexpr uint32_t kMinMinorVersion = 3;
constexpr uint32_t kMaxMinorVersion = 6;

inline bool supported_version(const uint8_t* block) {
  const uint32_t minor = load_u32(block + base_block::kMinorVersion);
  return load_u32(block + base_block::kMajorVersion) == kMajorVersion && minor >= kMinMinorVersion &&
         minor <= kMaxMinorVersion;
}
// "1.5", for messages.
inline std::string version_text(const uint8_t* block) {
  return std::to_string(load_u32(block + base_block::kMajorVersion)) + "." +
         std::to_string(load_u32(block + base_block::kMinorVersion));
}

constexpr uint32_t kFileTypePrimary = 0;
constexpr uint32_t kFileTypeLogOld = 1;
constexpr uint32_t kFileTypeLogOldAlternate = 2;  // the alternate log of older systems, old layout
constexpr uint32_t kFileTypeLogNew = 6;

// The base block checksum: XOR of the first 127 32-bit words; 0xFFFFFFFF is stored as
// 0xFFFFFFFE and 0 as 1, so neither value ever appears.
inline uint32_t base_block_checksum(const uint8_t* block) {
  uint32_t sum = 0;
  for (size_t i = 0; i < base_block::kChecksum; i += 4) sum ^= load_u32(block + i);
  if (sum == 0xFFFFFFFFu) sum = 0xFFFFFFFEu;
  if (sum == 0) sum = 1;
  return sum;
}

}  // namespace regf
