// Key nodes ("nk") and subkey lists: index leaf "li", fast leaf "lf", hash leaf "lh"
// and index root "ri" (a list of leaves). Record layouts as the public "Windows registry
// file format specification" gives them; offsets count from the start of a cell's
// payload. The Hive member functions for keys are in node.cc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

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
};
// True when every code unit fits in one Latin-1 byte (Windows then stores it compressed).
bool fits_latin1(std::u16string_view name);
// The stored form of `name`: Latin-1 when it fits, else UTF-16LE.
std::string encode_name(std::u16string_view name, bool* compressed);

}  // namespace regf
