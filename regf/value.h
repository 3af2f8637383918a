// Key values ("vk"), value lists and value data: inline in the value record (4 bytes or
// less, high bit of the size), in one data cell, or as big data ("db": a list of
// segments of at most 16,344 bytes, format 1.4 and later). The Hive member functions for
// values are in value.cc.
#pragma once

#include <cstddef>
#include <cstdint>

namespace regf {

namespace vk {
constexpr size_t kNameLength = 2;
constexpr size_t kDataSize = 4;
constexpr size_t kDataOffset = 8;
constexpr size_t kType = 12;
constexpr size_t kFlags = 16;
constexpr size_t kName = 20;

constexpr uint16_t kFlagCompressedName = 0x0001;
constexpr uint32_t kDataInline = 0x80000000u;  // in the data size field
constexpr uint32_t kInlineDataMax = 4;         // bytes the data offset field holds
}  // namespace vk

namespace db {
constexpr size_t kSegmentCount = 2;
constexpr size_t kSegmentList = 4;
constexpr size_t kSize = 8;
constexpr uint32_t kMinMinorVersion = 4;  // format 1.4 introduced big data
}  // namespace db

}  // namespace regf
