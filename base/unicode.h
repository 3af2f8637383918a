// UTF-16 text as Windows keeps it: upper-casing for case-insensitive names, and
// conversion to and from UTF-8 for Linux paths and terminals.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace base {

// Windows' upper-casing of one UTF-16 code unit (one-to-one; surrogates unchanged).
// ASCII, which nearly every registry name is, needs no table: only a-z change there.
char16_t upcase_beyond_ascii(char16_t c) noexcept;
inline char16_t upcase(char16_t c) noexcept {
  if (c < 0x80) return c >= u'a' && c <= u'z' ? char16_t(c - (u'a' - u'A')) : c;
  return upcase_beyond_ascii(c);
}

// Case-insensitive comparison the way the registry and NTFS compare names: code unit by
// code unit after upcase(). Returns <0, 0 or >0.
int compare_nocase(std::u16string_view a, std::u16string_view b) noexcept;
inline bool equal_nocase(std::u16string_view a, std::u16string_view b) noexcept {
  return a.size() == b.size() && compare_nocase(a, b) == 0;
}
std::u16string upcase(std::u16string_view s);

// An upper-case table for names: one UTF-16 code unit to one. NTFS compares file names
// under the table the volume was formatted with (its $UpCase file), which differs from
// one Windows version to the next and from the registry's.
class UpcaseTable {
 public:
  // The table of upcase() above, for names on volumes that carry none.
  static std::shared_ptr<const UpcaseTable> builtin();
  // From the bytes of an NTFS $UpCase file: 65,536 little-endian code units; nullptr
  // for any other size.
  static std::shared_ptr<const UpcaseTable> from_ntfs(std::span<const uint8_t> bytes);

  char16_t operator()(char16_t c) const noexcept { return table_[c]; }
  std::u16string upper(std::u16string_view s) const;
  bool equal(std::u16string_view a, std::u16string_view b) const noexcept;

 private:
  std::array<char16_t, 0x10000> table_{};
};

// UTF-16 surrogates: a high one followed by a low one is one character beyond the BMP.
constexpr bool is_high_surrogate(char16_t c) noexcept { return c >= 0xD800 && c <= 0xDBFF; }
constexpr bool is_low_surrogate(char16_t c) noexcept { return c >= 0xDC00 && c <= 0xDFFF; }
// Whether s[i] is a surrogate without its other half, which UTF-8 cannot carry.
constexpr bool is_unpaired_surrogate(std::u16string_view s, size_t i) noexcept {
  if (is_high_surrogate(s[i])) return i + 1 == s.size() || !is_low_surrogate(s[i + 1]);
  return is_low_surrogate(s[i]) && (i == 0 || !is_high_surrogate(s[i - 1]));
}

// UTF-16 to UTF-8. Unpaired surrogates become U+FFFD; use only for display and for
// Linux paths, never where bytes must survive a round trip.
std::string to_utf8(std::u16string_view s);
// The same, appended to `out` (ASCII copied unit by unit).
void append_utf8(std::string& out, std::u16string_view s);
// UTF-8 to UTF-16. Invalid sequences become U+FFFD.
std::u16string from_utf8(std::string_view s);
// Strict variant: nullopt for any invalid sequence.
std::optional<std::u16string> from_utf8_strict(std::string_view s);
// The same, appended to `out`; false for an invalid sequence (`out` may then hold part).
bool append_utf16_strict(std::u16string& out, std::string_view s);

// UTF-16 as the registry stores text: little-endian bytes, no terminator added.
std::vector<uint8_t> to_utf16le(std::u16string_view s);
// Little-endian bytes back to UTF-16; an odd last byte is left out.
std::u16string from_utf16le(std::span<const uint8_t> bytes);

}  // namespace base
