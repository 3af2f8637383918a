#include "regf/regtext.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <unordered_map>

#include "base/unicode.h"
#include "regf/walk.h"

namespace regf {
namespace {

constexpr std::u16string_view kHeader5 = u"Windows Registry Editor Version 5.00";
constexpr std::u16string_view kHeader4 = u"REGEDIT4";
// regedit breaks a hex line once it has reached this many characters after a comma, and
// indents the continuation by two spaces: continuation lines hold 25 bytes.
constexpr size_t kHexLineBreak = 77;
constexpr std::u16string_view kHexContinuation = u"\\\r\n  ";

// Value data read as UTF-16LE code units, in place.
struct LeUnits {
  std::span<const uint8_t> bytes;
  size_t size() const { return bytes.size() / 2; }
  char16_t operator[](size_t i) const { return char16_t(bytes[2 * i] | bytes[2 * i + 1] << 8); }
  LeUnits first(size_t n) const { return LeUnits{bytes.first(2 * n)}; }
};

template <typename Units>
bool has_unpaired_surrogate(const Units& s) {
  for (size_t i = 0; i < s.size(); ++i) {
    if (base::is_high_surrogate(s[i]) && i + 1 < s.size() && base::is_low_surrogate(s[i + 1])) {
      ++i;
    } else if (base::is_high_surrogate(s[i]) || base::is_low_surrogate(s[i])) {
      return true;
    }
  }
  return false;
}

int hex_digit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

void append_hex(std::u16string& out, uint32_t v, int digits) {
  static constexpr char16_t kDigits[] = u"0123456789abcdef";
  for (int i = digits - 1; i >= 0; --i) out += kDigits[(v >> (4 * i)) & 0xF];
}

std::u16string_view trim(std::u16string_view s) {
  while (!s.empty() && (s.front() == u' ' || s.front() == u'\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == u' ' || s.back() == u'\t')) s.remove_suffix(1);
  return s;
}

std::u16string_view trim_left(std::u16string_view s) {
  while (!s.empty() && (s.front() == u' ' || s.front() == u'\t')) s.remove_prefix(1);
  return s;
}

bool starts_with_nocase(std::u16string_view s, std::u16string_view prefix) {
  return s.size() >= prefix.size() && base::equal_nocase(s.substr(0, prefix.size()), prefix);
}

// ---- reading ----

struct Line {
  std::u16string text;
  size_t number;
};

Error line_error(std::string_view file, size_t line, const std::string& message) {
  return Error{"line " + std::to_string(line) + ": " + message, std::nullopt, std::string(file)};
}

Result<std::vector<Line>> split_lines(std::span<const uint8_t> bytes, RegEncoding& encoding, std::string_view file) {
  std::vector<Line> lines;
  auto add_line = [&](std::u16string text) {
    if (!text.empty() && text.back() == u'\r') text.pop_back();
    lines.push_back(Line{std::move(text), lines.size() + 1});
  };
  if (bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
    encoding = RegEncoding::kUtf16Le;
    bytes = bytes.subspan(2);
    if (bytes.size() % 2 != 0) return Error{"UTF-16 text with an odd number of bytes", std::nullopt, std::string(file)};
    const std::u16string text = base::from_utf16le(bytes);
    size_t start = 0;
    for (size_t i = 0; i <= text.size(); ++i) {
      if (i == text.size() || text[i] == u'\n') {
        if (i == text.size() && start == i) break;
        add_line(text.substr(start, i - start));
        start = i + 1;
      }
    }
    return lines;
  }
  encoding = RegEncoding::kUtf8;
  if (bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
    encoding = RegEncoding::kUtf8Bom;
    bytes = bytes.subspan(3);
  }
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    auto decoded = base::from_utf8_strict(text.substr(start, end - start));
    if (!decoded) return line_error(file, lines.size() + 1, "text is not valid UTF-8");
    add_line(std::move(*decoded));
    start = end + 1;
  }
  return lines;
}

// Reads a quoted text starting at s[0] == '"'. Gives the text and how many code units
// were taken, or an error message.
struct Quoted {
  std::u16string text;
  size_t length = 0;
};

std::optional<Quoted> parse_quoted(std::u16string_view s) {
  Quoted q;
  size_t i = 1;
  while (i < s.size()) {
    const char16_t c = s[i];
    if (c == u'"') {
      q.length = i + 1;
      return q;
    }
    if (c == u'\\' && i + 1 < s.size()) {
      const char16_t e = s[i + 1];
      if (e == u'\\' || e == u'"') {
        q.text += e;
        i += 2;
        continue;
      }
      if (e == u'n') {
        q.text += u'\n';
        i += 2;
        continue;
      }
      if (e == u'u' && i + 6 <= s.size()) {
        uint32_t v = 0;
        bool ok = true;
        for (size_t k = i + 2; k < i + 6; ++k) {
          const int d = hex_digit(s[k]);
          if (d < 0) ok = false;
          v = v << 4 | uint32_t(d < 0 ? 0 : d);
        }
        if (ok) {
          q.text += char16_t(v);
          i += 6;
          continue;
        }
      }
      // Like regedit, an unknown escape keeps its backslash.
    }
    q.text += c;
    ++i;
  }
  return std::nullopt;
}

class Parser {
 public:
  Parser(std::vector<Line> lines, std::string_view file) : lines_(std::move(lines)), file_(file) {}

  Result<RegDocument> run(RegEncoding encoding) {
    RegDocument doc;
    doc.encoding = encoding;
    size_t i = 0;
    while (i < lines_.size() && trim(lines_[i].text).empty()) ++i;
    if (i == lines_.size()) return line_error(file_, 1, "empty file: no registry header");
    const std::u16string_view header = trim(lines_[i].text);
    if (header == kHeader5) {
      doc.format = RegFormat::kRegedit5;
    } else if (header == kHeader4) {
      doc.format = RegFormat::kRegedit4;
    } else {
      return line_error(file_, lines_[i].number,
                        "not a registry file: expected \"Windows Registry Editor Version 5.00\" "
                        "or \"REGEDIT4\"");
    }
    format_ = doc.format;
    for (++i; i < lines_.size(); ++i) {
      const std::u16string_view line = trim_left(lines_[i].text);
      const size_t number = lines_[i].number;
      if (trim(line).empty() || line[0] == u';' || line[0] == u'#') continue;
      if (line[0] == u'[') {
        auto entry = parse_key_line(line, number);
        if (!entry) return entry.error();
        doc.entries.push_back(std::move(*entry));
        continue;
      }
      if (line[0] == u'"' || line[0] == u'@') {
        if (doc.entries.empty()) return line_error(file_, number, "value line before the first [key] line");
        if (doc.entries.back().delete_key)
          return line_error(file_, number, "value line in a section that deletes its key");
        auto st = parse_value_line(line, i, doc.entries.back());
        if (!st) return st.error();
        continue;
      }
      return line_error(file_, number, "expected [key], \"name\"=value or @=value");
    }
    return doc;
  }

 private:
  Result<RegEntry> parse_key_line(std::u16string_view line, size_t number) {
    const size_t close = line.rfind(u']');
    if (close == std::u16string_view::npos) return line_error(file_, number, "key line without a closing ']'");
    if (!trim(line.substr(close + 1)).empty())
      return line_error(file_, number, "text after the closing ']' of a key line");
    std::u16string_view inner = line.substr(1, close - 1);
    RegEntry entry;
    entry.line = number;
    if (!inner.empty() && inner[0] == u'-') {
      entry.delete_key = true;
      inner.remove_prefix(1);
    }
    if (inner.empty()) return line_error(file_, number, "empty key path");
    auto path = split_key_path(inner);
    if (!path) return line_error(file_, number, path.error().message);
    entry.path = std::move(*path);
    return entry;
  }

  // Reads the value line at lines_[i] (and its continuation lines, advancing i).
  Status parse_value_line(std::u16string_view line, size_t& i, RegEntry& entry) {
    const size_t number = lines_[i].number;
    std::u16string name;
    size_t pos;
    if (line[0] == u'@') {
      pos = 1;
    } else {
      auto q = parse_quoted(line);
      if (!q) return line_error(file_, number, "value name without its closing quote");
      name = std::move(q->text);
      pos = q->length;
    }
    std::u16string_view rest = trim_left(line.substr(pos));
    if (rest.empty() || rest[0] != u'=') return line_error(file_, number, "expected '=' after the value name");
    rest = trim_left(rest.substr(1));

    if (trim(rest) == u"-") {
      entry.deleted_values.push_back(std::move(name));
      return Ok{};
    }
    TreeValue value;
    value.name = std::move(name);
    if (!rest.empty() && rest[0] == u'"') {
      auto q = parse_quoted(rest);
      if (!q) return line_error(file_, number, "string data without its closing quote");
      if (!trim(rest.substr(q->length)).empty())
        return line_error(file_, number, "text after the closing quote of string data");
      value.type = kRegSz;
      value.data = base::to_utf16le(q->text);
      value.data.push_back(0);
      value.data.push_back(0);
    } else if (starts_with_nocase(rest, u"dword:")) {
      const std::u16string_view digits = trim(rest.substr(6));
      if (digits.empty() || digits.size() > 8) return line_error(file_, number, "dword data needs 1 to 8 hex digits");
      uint32_t v = 0;
      for (char16_t c : digits) {
        const int d = hex_digit(c);
        if (d < 0) return line_error(file_, number, "dword data is not hexadecimal");
        v = v << 4 | uint32_t(d);
      }
      value.type = kRegDword;
      value.data = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
    } else if (starts_with_nocase(rest, u"hex")) {
      auto st = parse_hex(rest.substr(3), i, value);
      if (!st) return st;
    } else {
      return line_error(file_, number, "unknown value data: expected \"text\", dword:, hex:, hex(N): or -");
    }
    entry.values.push_back(std::move(value));
    return Ok{};
  }

  Status parse_hex(std::u16string_view rest, size_t& i, TreeValue& value) {
    const size_t number = lines_[i].number;
    value.type = kRegBinary;
    if (!rest.empty() && rest[0] == u'(') {
      const size_t close = rest.find(u')');
      if (close == std::u16string_view::npos || close == 1 || close > 9)
        return line_error(file_, number, "hex(N): needs a type of 1 to 8 hex digits");
      uint32_t type = 0;
      for (char16_t c : rest.substr(1, close - 1)) {
        const int d = hex_digit(c);
        if (d < 0) return line_error(file_, number, "hex(N): type is not hexadecimal");
        type = type << 4 | uint32_t(d);
      }
      value.type = type;
      rest.remove_prefix(close + 1);
    }
    if (rest.empty() || rest[0] != u':') return line_error(file_, number, "expected ':' after hex");
    rest.remove_prefix(1);

    // Bytes run on over continuation lines (a line ending in '\'); an error names the
    // line holding the bad byte.
    for (;;) {
      std::u16string_view items = trim(rest);
      const bool continued = !items.empty() && items.back() == u'\\';
      if (continued) items.remove_suffix(1);
      while (!trim(items).empty()) {
        const size_t comma = items.find(u',');
        const std::u16string_view item = trim(items.substr(0, comma));
        if (item.empty() || item.size() > 2 || hex_digit(item[0]) < 0 || (item.size() == 2 && hex_digit(item[1]) < 0)) {
          return line_error(file_, lines_[i].number,
                            "bad hex byte \"" + base::to_utf8(item) + "\" (expected two hex digits)");
        }
        int byte = hex_digit(item[0]);
        if (item.size() == 2) byte = byte * 16 + hex_digit(item[1]);
        value.data.push_back(uint8_t(byte));
        if (comma == std::u16string_view::npos) break;
        items.remove_prefix(comma + 1);
      }
      if (!continued) break;
      if (++i >= lines_.size()) return line_error(file_, number, "hex data continues past the end of the file");
      rest = lines_[i].text;
    }

    // REGEDIT4 keeps expandable and multi-string text in the 8-bit code page.
    if (format_ == RegFormat::kRegedit4 && (value.type == kRegExpandSz || value.type == kRegMultiSz)) {
      const std::string_view narrow(reinterpret_cast<const char*>(value.data.data()), value.data.size());
      auto wide = base::from_utf8_strict(narrow);
      if (!wide) return line_error(file_, number, "8-bit text of hex(2)/hex(7) is not valid UTF-8");
      value.data = base::to_utf16le(*wide);
    }
    return Ok{};
  }

  std::vector<Line> lines_;
  std::string file_;
  RegFormat format_ = RegFormat::kRegedit5;
};

// ---- applying a document ----

struct BuildKey {
  std::u16string name;
  std::vector<std::optional<TreeValue>> values;            // nullopt: deleted
  std::unordered_map<std::u16string, size_t> value_index;  // by upcased name
  std::vector<std::unique_ptr<BuildKey>> subkeys;          // nullptr: deleted
  std::unordered_map<std::u16string, size_t> subkey_index;

  BuildKey* child(const std::u16string& child_name, bool create) {
    const std::u16string folded = base::upcase(child_name);
    auto it = subkey_index.find(folded);
    if (it != subkey_index.end() && subkeys[it->second]) return subkeys[it->second].get();
    if (!create) return nullptr;
    subkeys.push_back(std::make_unique<BuildKey>());
    subkeys.back()->name = child_name;
    subkey_index[folded] = subkeys.size() - 1;
    return subkeys.back().get();
  }

  void remove_child(const std::u16string& child_name) {
    auto it = subkey_index.find(base::upcase(child_name));
    if (it == subkey_index.end()) return;
    subkeys[it->second].reset();
    subkey_index.erase(it);
  }

  void set_value(const TreeValue& v) {
    const std::u16string folded = base::upcase(v.name);
    auto it = value_index.find(folded);
    if (it != value_index.end()) {
      values[it->second] = v;
    } else {
      values.push_back(v);
      value_index[folded] = values.size() - 1;
    }
  }

  void remove_value(const std::u16string& value_name) {
    auto it = value_index.find(base::upcase(value_name));
    if (it == value_index.end()) return;
    values[it->second].reset();
    value_index.erase(it);
  }

  void clear() {
    values.clear();
    value_index.clear();
    subkeys.clear();
    subkey_index.clear();
  }

  TreeKey to_tree() const {
    TreeKey out;
    out.name = name;
    for (const auto& v : values)
      if (v) out.values.push_back(*v);
    for (const auto& k : subkeys)
      if (k) out.subkeys.push_back(k->to_tree());
    return out;
  }
};

bool has_prefix_nocase(const std::vector<std::u16string>& path, const std::vector<std::u16string>& prefix) {
  if (path.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (!base::equal_nocase(path[i], prefix[i])) return false;
  return true;
}

// ---- writing ----

// The text being written, encoded as it is made into one buffer, which is handed to the
// sink whenever it holds kChunk bytes (or kept whole when there is no sink).
class TextOut {
 public:
  TextOut(RegEncoding encoding, const RegSink* sink)
      : utf16_(encoding == RegEncoding::kUtf16Le), sink_(sink), buffer_(sink ? kChunk + kChunk / 4 : 4096) {
    if (encoding == RegEncoding::kUtf16Le) put_bytes({0xFF, 0xFE});
    if (encoding == RegEncoding::kUtf8Bom) put_bytes({0xEF, 0xBB, 0xBF});
  }

  // Code units of text; in UTF-8 a surrogate pair is one character, an unpaired
  // surrogate (never written by the writers below) U+FFFD.
  template <typename Units>
  void put_units(const Units& s) {
    units_ += s.size();
    uint8_t* p = room(s.size() * 3);
    for (size_t i = 0; i < s.size(); ++i) {
      char32_t c = s[i];
      if (utf16_) {
        *p++ = uint8_t(c);
        *p++ = uint8_t(c >> 8);
      } else if (c < 0x80) {
        *p++ = uint8_t(c);
      } else if (c < 0x800) {
        *p++ = uint8_t(0xC0 | c >> 6);
        *p++ = uint8_t(0x80 | (c & 0x3F));
      } else {
        if (base::is_high_surrogate(char16_t(c)) && i + 1 < s.size() && base::is_low_surrogate(s[i + 1])) {
          c = 0x10000 + ((c - 0xD800) << 10) + (s[++i] - 0xDC00);
          *p++ = uint8_t(0xF0 | c >> 18);
          *p++ = uint8_t(0x80 | (c >> 12 & 0x3F));
        } else {
          if (base::is_high_surrogate(char16_t(c)) || base::is_low_surrogate(char16_t(c))) c = 0xFFFD;
          *p++ = uint8_t(0xE0 | c >> 12);
        }
        *p++ = uint8_t(0x80 | (c >> 6 & 0x3F));
        *p++ = uint8_t(0x80 | (c & 0x3F));
      }
    }
    used_ = size_t(p - buffer_.data());
    if (sink_ && used_ >= kChunk) flush();
  }
  void put(std::u16string_view s) { put_units(s); }
  void put(char16_t c) { put_units(std::u16string_view(&c, 1)); }
  void put_hex(uint32_t v, int digits) {
    char16_t text[8];
    for (int i = 0; i < digits; ++i) text[i] = kHexDigits[(v >> (4 * (digits - 1 - i))) & 0xF];
    put_units(std::u16string_view(text, size_t(digits)));
  }
  // Code units written so far (for the length of a line).
  size_t units() const { return units_; }

  // The rest handed to the sink: false when any hand-over failed.
  bool finish() {
    if (sink_) flush();
    return ok_;
  }
  std::vector<uint8_t> take() {
    buffer_.resize(used_);
    return std::move(buffer_);
  }

 private:
  static constexpr size_t kChunk = 64 * 1024;
  static constexpr char16_t kHexDigits[] = u"0123456789abcdef";

  uint8_t* room(size_t units) {
    const size_t need = used_ + units * 3 + 4;
    if (need > buffer_.size()) buffer_.resize(std::max(need, buffer_.size() * 2));
    return buffer_.data() + used_;
  }
  void put_bytes(std::initializer_list<uint8_t> bytes) {
    std::copy(bytes.begin(), bytes.end(), room(bytes.size()));
    used_ += bytes.size();
  }
  void flush() {
    if (ok_ && used_ > 0) ok_ = (*sink_)(std::span<const uint8_t>(buffer_.data(), used_));
    used_ = 0;
  }

  bool utf16_;
  const RegSink* sink_;
  std::vector<uint8_t> buffer_;
  size_t used_ = 0;
  size_t units_ = 0;
  bool ok_ = true;
};

bool key_name_needs_hex(std::u16string_view name) {
  if (name.empty()) return true;
  for (char16_t c : name)
    if (c == u'\\' || c < 0x20) return true;
  return has_unpaired_surrogate(name);
}

// One name of a key path as written between the brackets; `first`: the path's first.
void append_key_name(std::u16string& out, std::u16string_view name, bool first) {
  // "[-" opens a deletion: a path whose first name begins with '-' would read back as
  // the deletion of the rest.
  if (!key_name_needs_hex(name) && !(first && name.front() == u'-')) {
    out += name;
    return;
  }
  out += u'\\';
  for (char16_t c : name) append_hex(out, c, 4);
}

bool is_plain_text(std::span<const uint8_t> data) {
  if (data.size() < 2 || data.size() % 2 != 0) return false;
  const LeUnits text{data};
  if (text[text.size() - 1] != u'\0') return false;
  const LeUnits body = text.first(text.size() - 1);
  for (size_t i = 0; i < body.size(); ++i)
    if (body[i] == u'\0' || body[i] == u'\r' || body[i] == u'\n') return false;
  return !has_unpaired_surrogate(body);
}

void put_quoted_name(TextOut& out, std::u16string_view name) {
  out.put(u'"');
  size_t run = 0;  // start of the plain characters not yet written
  for (size_t i = 0; i < name.size(); ++i) {
    const char16_t c = name[i];
    if (base::is_high_surrogate(c) && i + 1 < name.size() && base::is_low_surrogate(name[i + 1])) {
      ++i;
      continue;
    }
    const bool escaped = c == u'\\' || c == u'"';
    if (!escaped && c >= 0x20 && !base::is_high_surrogate(c) && !base::is_low_surrogate(c)) continue;
    out.put(name.substr(run, i - run));
    if (escaped) {
      out.put(u'\\');
      out.put(c);
    } else {
      out.put(u"\\u");
      out.put_hex(c, 4);
    }
    run = i + 1;
  }
  out.put(name.substr(run));
  out.put(u'"');
}

// Writes one value line; wrap: break hex data the way regedit does.
Status put_value(TextOut& out, std::u16string_view name, uint32_t type, std::span<const uint8_t> data, RegFormat format,
                 bool wrap) {
  const size_t line_start = out.units();
  if (name.empty()) {
    out.put(u'@');
  } else {
    put_quoted_name(out, name);
  }
  out.put(u'=');
  if (type == kRegSz && is_plain_text(data)) {
    const LeUnits text = LeUnits{data}.first(data.size() / 2 - 1);
    out.put(u'"');
    size_t run = 0;
    for (size_t i = 0; i < text.size(); ++i) {
      if (text[i] != u'\\' && text[i] != u'"') continue;
      out.put_units(LeUnits{text.bytes.subspan(2 * run, 2 * (i - run))});
      out.put(u'\\');
      run = i;
    }
    out.put_units(LeUnits{text.bytes.subspan(2 * run)});
    out.put(u'"');
    return Ok{};
  }
  if (type == kRegDword && data.size() == 4) {
    out.put(u"dword:");
    out.put_hex(uint32_t(data[0]) | uint32_t(data[1]) << 8 | uint32_t(data[2]) << 16 | uint32_t(data[3]) << 24, 8);
    return Ok{};
  }
  std::string narrow;
  if (format == RegFormat::kRegedit4 && (type == kRegExpandSz || type == kRegMultiSz)) {
    if (data.size() % 2 != 0 || has_unpaired_surrogate(LeUnits{data}))
      return make_error("value \"" + base::to_utf8(name) +
                        "\": REGEDIT4 cannot carry this hex(2)/hex(7) data; use REGEDIT5");
    narrow = base::to_utf8(base::from_utf16le(data));
    data = std::span(reinterpret_cast<const uint8_t*>(narrow.data()), narrow.size());
  }
  if (type == kRegBinary) {
    out.put(u"hex:");
  } else {
    out.put(u"hex(");
    int digits = 1;
    while (digits < 8 && (type >> (4 * digits)) != 0) ++digits;
    out.put_hex(type, digits);
    out.put(u"):");
  }
  size_t line_len = out.units() - line_start;
  for (size_t i = 0; i < data.size(); ++i) {
    out.put_hex(data[i], 2);
    if (i + 1 == data.size()) break;
    out.put(u',');
    line_len += 3;
    if (wrap && line_len >= kHexLineBreak) {
      out.put(kHexContinuation);
      line_len = 2;
    }
  }
  return Ok{};
}

Error in_key(Error e, std::u16string_view path) {
  e.message = "key " + base::to_utf8(path) + ": " + e.message;
  return e;
}

void put_key_line(TextOut& out, std::u16string_view path) {
  out.put(u'[');
  out.put(path);
  out.put(u"]\r\n");
}

// `path`: the key's path as written between the brackets; names are added to it on the
// way down and taken off on the way up.
Status put_tree_key(TextOut& out, std::u16string& path, const TreeKey& key, RegFormat format) {
  put_key_line(out, path);
  for (const TreeValue& v : key.values) {
    if (auto st = put_value(out, v.name, v.type, v.data, format, true); !st) return in_key(st.error(), path);
    out.put(u"\r\n");
  }
  out.put(u"\r\n");
  for (const TreeKey& sub : key.subkeys) {
    const size_t length = path.size();
    path += u'\\';
    append_key_name(path, sub.name, false);
    auto st = put_tree_key(out, path, sub, format);
    path.resize(length);
    if (!st) return st;
  }
  return Ok{};
}

// Every key of a sound hive in pre-order, read from its cells into buffers reused for
// every key and value.
class HiveTextWriter {
 public:
  HiveTextWriter(const Hive& hive, TextOut& out, RegFormat format) : hive_(hive), out_(out), format_(format) {}

  Status key(KeyRef k, std::u16string& path) {
    put_key_line(out_, path);
    auto values = hive_.value_count(k);
    if (!values) return values.error();
    for (uint32_t i = 0; i < *values; ++i) {
      auto v = hive_.value(k, i);
      if (!v) return v.error();
      auto info = hive_.read_value(*v, name_, data_);
      if (info && info->size > data_.size()) {
        data_.resize(info->size);
        info = hive_.read_value(*v, name_, data_);
      }
      if (!info) return info.error();
      const std::u16string_view name(name_.data(), info->name_length);
      auto st = put_value(out_, name, info->type, std::span(data_).first(info->size), format_, true);
      if (!st) return in_key(st.error(), path);
      out_.put(u"\r\n");
    }
    out_.put(u"\r\n");
    auto subkeys = hive_.subkey_count(k);
    if (!subkeys) return subkeys.error();
    for (uint32_t i = 0; i < *subkeys; ++i) {
      auto sub = hive_.subkey(k, i);
      if (!sub) return sub.error();
      auto length = hive_.read_key_name(*sub, name_);
      if (!length) return length.error();
      const size_t mark = path.size();
      path += u'\\';
      append_key_name(path, std::u16string_view(name_.data(), *length), false);
      auto st = key(*sub, path);
      path.resize(mark);
      if (!st) return st;
    }
    return Ok{};
  }

 private:
  const Hive& hive_;
  TextOut& out_;
  RegFormat format_;
  // Names are counted in 16 bits: any fits.
  std::vector<char16_t> name_ = std::vector<char16_t>(0x10000);
  std::vector<uint8_t> data_ = std::vector<uint8_t>(4096);
};

Status put_header(TextOut& out, const RegWriteOptions& options) {
  if (options.format == RegFormat::kRegedit4 && options.encoding == RegEncoding::kUtf16Le)
    return make_error("REGEDIT4 text is 8-bit; it cannot be written as UTF-16");
  out.put(options.format == RegFormat::kRegedit5 ? kHeader5 : kHeader4);
  out.put(u"\r\n\r\n");
  return Ok{};
}

// A root path as written between the brackets.
Result<std::u16string> root_text(std::u16string_view root) {
  auto path = split_key_path(root);
  if (!path) {
    Error e = path.error();
    e.message = "root \"" + base::to_utf8(root) + "\": " + e.message;
    return e;
  }
  return join_key_path(*path);
}

}  // namespace

std::u16string join_key_path(std::span<const std::u16string> path) {
  std::u16string out;
  for (size_t i = 0; i < path.size(); ++i) {
    if (i > 0) out += u'\\';
    append_key_name(out, path[i], i == 0);
  }
  return out;
}

Result<std::vector<std::u16string>> split_key_path(std::u16string_view text) {
  std::vector<std::u16string> out;
  size_t i = 0;
  while (i < text.size()) {
    size_t end = text.find(u'\\', i + (text[i] == u'\\' ? 1 : 0));
    if (end == std::u16string_view::npos) end = text.size();
    if (text[i] == u'\\') {
      const std::u16string_view hex = text.substr(i + 1, end - i - 1);
      if (hex.size() % 4 != 0) return make_error("escaped key name needs 4 hex digits per code unit");
      std::u16string name;
      for (size_t k = 0; k < hex.size(); k += 4) {
        uint32_t v = 0;
        for (size_t d = k; d < k + 4; ++d) {
          const int digit = hex_digit(hex[d]);
          if (digit < 0) return make_error("escaped key name is not hexadecimal");
          v = v << 4 | uint32_t(digit);
        }
        name += char16_t(v);
      }
      out.push_back(std::move(name));
    } else {
      out.emplace_back(text.substr(i, end - i));
    }
    i = end + 1;  // past the separator; a trailing separator ends the path
  }
  if (out.empty()) return make_error("empty key path");
  return out;
}

Result<RegDocument> parse_reg(std::span<const uint8_t> bytes, std::string_view file_name) {
  RegEncoding encoding = RegEncoding::kUtf8;
  auto lines = split_lines(bytes, encoding, file_name);
  if (!lines) return lines.error();
  return Parser(std::move(*lines), file_name).run(encoding);
}

Result<RegDocument> read_reg_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return Error{std::string("cannot open: ") + std::strerror(errno), std::nullopt, path};
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return Error{"read error", std::nullopt, path};
  return parse_reg(bytes, path);
}

Result<std::vector<TreeKey>> reg_subtrees(const RegDocument& doc, std::span<const std::u16string> roots,
                                          std::string_view file_name) {
  std::vector<std::vector<std::u16string>> root_paths;
  std::vector<BuildKey> trees(roots.size());
  for (size_t r = 0; r < roots.size(); ++r) {
    auto path = split_key_path(roots[r]);
    if (!path) {
      Error e = path.error();
      e.message = "root \"" + base::to_utf8(roots[r]) + "\": " + e.message;
      return e;
    }
    trees[r].name = path->back();
    root_paths.push_back(std::move(*path));
  }
  for (const RegEntry& entry : doc.entries) {
    size_t r = 0;
    while (r < roots.size() && !has_prefix_nocase(entry.path, root_paths[r])) ++r;
    if (r == roots.size()) {
      std::string expected;
      for (const auto& root : roots) expected += (expected.empty() ? "" : " or ") + base::to_utf8(root);
      return line_error(file_name, entry.line,
                        "key " + base::to_utf8(join_key_path(entry.path)) + " lies outside " + expected);
    }
    BuildKey* key = &trees[r];
    const size_t depth = root_paths[r].size();
    if (entry.delete_key) {
      if (entry.path.size() == depth) {
        key->clear();
        continue;
      }
      for (size_t i = depth; key && i + 1 < entry.path.size(); ++i) key = key->child(entry.path[i], false);
      if (key) key->remove_child(entry.path.back());
      continue;
    }
    for (size_t i = depth; i < entry.path.size(); ++i) key = key->child(entry.path[i], true);
    for (const TreeValue& v : entry.values) key->set_value(v);
    for (const std::u16string& name : entry.deleted_values) key->remove_value(name);
  }
  std::vector<TreeKey> out;
  for (const BuildKey& tree : trees) out.push_back(tree.to_tree());
  return out;
}

Result<TreeKey> reg_subtree(const RegDocument& doc, std::u16string_view root, std::string_view file_name) {
  const std::u16string roots[] = {std::u16string(root)};
  auto trees = reg_subtrees(doc, roots, file_name);
  if (!trees) return trees.error();
  return std::move(trees->front());
}

Result<std::vector<uint8_t>> write_reg(std::span<const RegRoot> roots, const RegWriteOptions& options) {
  TextOut out(options.encoding, nullptr);
  if (auto st = put_header(out, options); !st) return st.error();
  for (const RegRoot& root : roots) {
    auto path = root_text(root.path);
    if (!path) return path.error();
    if (auto st = put_tree_key(out, *path, *root.key, options.format); !st) return st.error();
  }
  return out.take();
}

Status write_reg_hive(const Hive& hive, std::u16string_view root, const RegSink& sink, const RegWriteOptions& options) {
  if (auto sound = check_sound(hive); !sound) return sound;
  auto path = root_text(root);
  if (!path) return path.error();
  TextOut out(options.encoding, &sink);
  if (auto st = put_header(out, options); !st) return st;
  HiveTextWriter writer(hive, out, options.format);
  if (auto st = writer.key(hive.root(), *path); !st) return st;
  if (!out.finish()) return make_error("write error");
  return Ok{};
}

std::u16string format_reg_value(const TreeValue& value) {
  TextOut out(RegEncoding::kUtf16Le, nullptr);
  (void)put_value(out, value.name, value.type, value.data, RegFormat::kRegedit5, false);
  const std::vector<uint8_t> bytes = out.take();
  return base::from_utf16le(std::span(bytes).subspan(2));  // after the byte-order mark
}

void append_reg_value_utf8(std::string& out, const TreeValue& value) {
  TextOut text(RegEncoding::kUtf8, nullptr);
  (void)put_value(text, value.name, value.type, value.data, RegFormat::kRegedit5, false);
  const std::vector<uint8_t> bytes = text.take();
  out.append(bytes.begin(), bytes.end());
}

}  // namespace regf
