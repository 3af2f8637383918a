// Key nodes ("nk"), their subkey lists (index leaf "li", fast leaf "lf", hash leaf "lh"
// and index root "ri", a list of leaves) and the security records ("sk") keys share.
// Record layouts as the public format description gives them; offsets count from the
// start of a cell's payload. The Hive member functions for keys are in node.cc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "regf/format.h"

namespace regf {

namespace nk {
constexpr size_t kFlags = 2;
constexpr size_t kLastWritten = 4;
constexpr size_t kParent = 16;
constexpr size_t kSubkeyCount = 20;
constexpr size_t kVolatileSubkeyCount = 24;
constexpr size_t kSubkeyList = 28;
constexpr size_t kVolatileSubkeyList = 32;
constexpr size_t kValueCount = 36;
constexpr size_t kValueList = 40;
constexpr size_t kSecurity = 44;
constexpr size_t kClassName = 48;
constexpr size_t kMaxSubkeyNameLength = 52;  // bytes of UTF-16; low 16 bits in 1.5+
constexpr size_t kMaxSubkeyClassLength = 56;
constexpr size_t kMaxValueNameLength = 60;
constexpr size_t kMaxValueDataSize = 64;
constexpr size_t kNameLength = 72;
constexpr size_t kClassNameLength = 74;
constexpr size_t kName = 76;

constexpr uint16_t kFlagHiveEntry = 0x0004;  // the root key
constexpr uint16_t kFlagNoDelete = 0x0008;
constexpr uint16_t kFlagCompressedName = 0x0020;  // name stored as Latin-1 bytes
}  // namespace nk

// Every subkey list starts with a two-letter signature and a 16-bit count; its entries
// follow. An entry of an index leaf or an index root is a cell offset (a key node, a
// leaf); one of a fast leaf or a hash leaf pairs the offset with a hint or a hash.
namespace subkey_list {
constexpr size_t kCount = 2;
constexpr size_t kEntries = 4;
constexpr size_t kOffsetEntrySize = kCellOffsetSize;  // li, ri
constexpr size_t kPairEntrySize = 8;                  // lf, lh
constexpr size_t kEntryHint = 4;                      // in a pair: lf name hint, lh name hash
constexpr size_t kHintLength = 4;                     // lf: the first four characters, one byte each
constexpr size_t kMaxCount = 0xFFFF;
}  // namespace subkey_list

// A security record, one for many keys: the records form a doubly linked list, and the
// count says how many keys use this one.
namespace sk {
constexpr size_t kFlink = 4;
constexpr size_t kBlink = 8;
constexpr size_t kReferenceCount = 12;
constexpr size_t kDescriptorSize = 16;
constexpr size_t kDescriptor = 20;  // self-relative security descriptor
// The fixed fields up to the reference count: all that reading and editing a key touch.
constexpr size_t kMinSize = kReferenceCount + 4;
}  // namespace sk

// "No cell" in any offset field.
constexpr uint32_t kNoCell = 0xFFFFFFFFu;

// A name as stored: Latin-1 bytes when `compressed`, else UTF-16LE.
std::u16string decode_name(std::span<const uint8_t> bytes, bool compressed);

// A key's or value's name where its record stores it, read without decoding.
struct StoredName {
  std::span<const uint8_t> bytes;
  bool compressed = false;
  uint32_t length() const { return uint32_t(compressed ? bytes.size() : bytes.size() / 2); }
  char16_t operator[](size_t i) const {
    return compressed ? char16_t(bytes[i]) : char16_t(bytes[2 * i] | bytes[2 * i + 1] << 8);
  }
  // Decodes the name into `out` when it fits; false (and nothing written) when not.
  bool copy_to(std::span<char16_t> out) const;
  // base::compare_nocase(name, this name), compared in place: a lookup touches many
  // names and decoding each one would allocate.
  int compare_nocase(std::u16string_view name) const;
};
// True when every code unit fits in one Latin-1 byte (Windows then stores it compressed).
bool fits_latin1(std::u16string_view name);
// The stored form of `name`: Latin-1 when it fits, else UTF-16LE.
std::string encode_name(std::u16string_view name, bool* compressed);

}  // namespace regf
