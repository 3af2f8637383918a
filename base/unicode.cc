#include "base/unicode.h"

#include <array>
#include <cstring>

namespace base {
namespace {

struct UpcaseRun {
  char16_t first;
  int count;
  int delta;
  int stride;
};

constexpr UpcaseRun kUpcaseRuns[] = {
#include "base/upcase_table.inc"
};

const std::array<char16_t, 0x10000>& upcase_table() {
  static const auto table = [] {
    std::array<char16_t, 0x10000> t{};
    for (unsigned c = 0; c < t.size(); ++c) t[c] = static_cast<char16_t>(c);
    for (const auto& run : kUpcaseRuns)
      for (int i = 0; i < run.count; ++i) {
        unsigned c = run.first + i * run.stride;
        t[c] = static_cast<char16_t>(static_cast<int>(c) + run.delta);
      }
    return t;
  }();
  return table;
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Decodes one UTF-8 sequence at s[i]; advances i. Returns nullopt for an invalid one
// (overlong, surrogate, beyond U+10FFFF, truncated), consuming one byte.
std::optional<char32_t> decode_utf8(std::string_view s, size_t& i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  int len;
  char32_t cp;
  if (b0 < 0x80) {
    ++i;
    return b0;
  } else if ((b0 & 0xE0) == 0xC0) {
    len = 2;
    cp = b0 & 0x1F;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3;
    cp = b0 & 0x0F;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4;
    cp = b0 & 0x07;
  } else {
    ++i;
    return std::nullopt;
  }
  if (i + len > s.size()) {
    ++i;
    return std::nullopt;
  }
  for (int k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) {
      ++i;
      return std::nullopt;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++i;
    return std::nullopt;
  }
  i += len;
  return cp;
}

void append_utf16(std::u16string& out, char32_t cp) {
  if (cp < 0x10000) {
    out += static_cast<char16_t>(cp);
  } else {
    cp -= 0x10000;
    out += static_cast<char16_t>(0xD800 + (cp >> 10));
    out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
  }
}

}  // namespace

char16_t upcase_beyond_ascii(char16_t c) noexcept { return upcase_table()[c]; }

int compare_nocase(std::u16string_view a, std::u16string_view b) noexcept {
  const auto& t = upcase_table();
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    if (a[i] == b[i]) continue;  // names are mostly compared with themselves as written
    const char16_t x = t[a[i]], y = t[b[i]];
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

std::shared_ptr<const UpcaseTable> UpcaseTable::builtin() {
  static const auto table = [] {
    auto t = std::make_shared<UpcaseTable>();
    t->table_ = upcase_table();
    return std::shared_ptr<const UpcaseTable>(std::move(t));
  }();
  return table;
}

std::shared_ptr<const UpcaseTable> UpcaseTable::from_ntfs(std::span<const uint8_t> bytes) {
  auto t = std::make_shared<UpcaseTable>();
  if (bytes.size() != 2 * t->table_.size()) return nullptr;
  for (size_t c = 0; c < t->table_.size(); ++c) t->table_[c] = char16_t(bytes[2 * c] | bytes[2 * c + 1] << 8);
  return t;
}

std::u16string UpcaseTable::upper(std::u16string_view s) const {
  std::u16string out(s);
  for (auto& c : out) c = table_[c];
  return out;
}

bool UpcaseTable::equal(std::u16string_view a, std::u16string_view b) const noexcept {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (table_[a[i]] != table_[b[i]]) return false;
  return true;
}

std::u16string upcase(std::u16string_view s) {
  std::u16string out(s);
  for (auto& c : out) c = upcase(c);
  return out;
}

void append_utf8(std::string& out, std::u16string_view s) {
  // Most texts are ASCII, one byte per unit: copied straight until the first that is not,
  // four units to a test (a log line is a few hundred of them).
  const size_t at = out.size();
  out.resize(at + s.size());
  char* to = out.data() + at;
  size_t ascii = 0;
  for (uint64_t units; ascii + 4 <= s.size(); ascii += 4) {
    std::memcpy(&units, s.data() + ascii, sizeof units);
    if (units & 0xFF80FF80FF80FF80u) break;
    for (size_t k = 0; k < 4; ++k) to[ascii + k] = char(s[ascii + k]);
  }
  for (; ascii < s.size() && s[ascii] < 0x80; ++ascii) to[ascii] = char(s[ascii]);
  if (ascii == s.size()) return;
  out.resize(at + ascii);
  out.reserve(out.size() + 3 * (s.size() - ascii));
  for (size_t i = ascii; i < s.size(); ++i) {
    char32_t c = s[i];
    if (is_high_surrogate(s[i]) && i + 1 < s.size() && is_low_surrogate(s[i + 1])) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    } else if (is_low_surrogate(s[i]) || is_high_surrogate(s[i])) {
      c = 0xFFFD;
    }
    append_utf8(out, c);
  }
}

std::string to_utf8(std::u16string_view s) {
  std::string out;
  append_utf8(out, s);
  return out;
}

std::u16string from_utf8(std::string_view s) {
  std::u16string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) append_utf16(out, decode_utf8(s, i).value_or(0xFFFD));
  return out;
}

bool append_utf16_strict(std::u16string& out, std::string_view s) {
  // As in append_utf8: the ASCII before the first other unit is copied straight.
  size_t ascii = 0;
  while (ascii < s.size() && static_cast<unsigned char>(s[ascii]) < 0x80) ++ascii;
  const size_t at = out.size();
  out.resize(at + ascii);
  for (size_t i = 0; i < ascii; ++i) out[at + i] = char16_t(s[i]);
  if (ascii == s.size()) return true;
  out.reserve(out.size() + s.size() - ascii);
  for (size_t i = ascii; i < s.size();) {
    auto cp = decode_utf8(s, i);
    if (!cp) return false;
    append_utf16(out, *cp);
  }
  return true;
}

std::optional<std::u16string> from_utf8_strict(std::string_view s) {
  std::u16string out;
  if (!append_utf16_strict(out, s)) return std::nullopt;
  return out;
}

std::vector<uint8_t> to_utf16le(std::u16string_view s) {
  std::vector<uint8_t> out;
  out.reserve(s.size() * 2);
  for (char16_t c : s) {
    out.push_back(uint8_t(c));
    out.push_back(uint8_t(c >> 8));
  }
  return out;
}

std::u16string from_utf16le(std::span<const uint8_t> bytes) {
  std::u16string out(bytes.size() / 2, u'\0');
  for (size_t i = 0; i < out.size(); ++i) out[i] = char16_t(bytes[2 * i] | bytes[2 * i + 1] << 8);
  return out;
}

}  // namespace base
