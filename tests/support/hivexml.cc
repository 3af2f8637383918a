#include "tests/support/hivexml.h"

#include <cstdlib>
#include <string_view>

#include "base/unicode.h"
#include "tests/support/files.h"

namespace hivemend::testing {

namespace {

std::string shell_quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

void append_utf8(std::string& out, uint32_t cp) {
  out += base::to_utf8(cp < 0x10000 ? std::u16string(1, char16_t(cp))
                                    : std::u16string{char16_t(0xD7C0 + (cp >> 10)), char16_t(0xDC00 | (cp & 0x3FF))});
}

std::optional<std::string> unescape(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '&') {
      out += s[i];
      continue;
    }
    size_t end = s.find(';', i);
    if (end == s.npos) return std::nullopt;
    std::string_view entity = s.substr(i + 1, end - i - 1);
    if (entity == "amp")
      out += '&';
    else if (entity == "lt")
      out += '<';
    else if (entity == "gt")
      out += '>';
    else if (entity == "quot")
      out += '"';
    else if (entity == "apos")
      out += '\'';
    else if (entity.size() > 1 && entity[0] == '#')
      append_utf8(out, uint32_t(entity[1] == 'x' ? std::strtoul(std::string(entity.substr(2)).c_str(), nullptr, 16)
                                                 : std::strtoul(std::string(entity.substr(1)).c_str(), nullptr, 10)));
    else
      return std::nullopt;
    i = end;
  }
  return out;
}

std::optional<std::vector<uint8_t>> base64_decode(std::string_view s) {
  static constexpr std::string_view kDigits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::vector<uint8_t> out;
  uint32_t acc = 0;
  int bits = 0;
  for (char c : s) {
    if (c == '=' || c == '\n' || c == '\r') continue;
    const size_t d = kDigits.find(c);
    if (d == kDigits.npos) return std::nullopt;
    acc = acc << 6 | uint32_t(d);
    if ((bits += 6) >= 8) out.push_back(uint8_t(acc >> (bits -= 8)));
  }
  return out;
}

// One tag: its name ("node", "/node", ...), attributes, and whether it closes itself.
struct Tag {
  std::string name;
  std::vector<std::pair<std::string, std::string>> attributes;
  bool self_closing = false;
  const std::string* attribute(std::string_view key) const {
    for (const auto& [k, v] : attributes)
      if (k == key) return &v;
    return nullptr;
  }
};

std::optional<Tag> parse_tag(std::string_view body) {
  Tag tag;
  if (!body.empty() && body.back() == '/') {
    tag.self_closing = true;
    body.remove_suffix(1);
  }
  size_t i = body.find_first_of(" \t\n");
  tag.name = std::string(body.substr(0, i));
  while (i != body.npos && i < body.size()) {
    i = body.find_first_not_of(" \t\n", i);
    if (i == body.npos) break;
    size_t eq = body.find('=', i);
    if (eq == body.npos || eq + 1 >= body.size() || body[eq + 1] != '"') return std::nullopt;
    size_t close = body.find('"', eq + 2);
    if (close == body.npos) return std::nullopt;
    auto value = unescape(body.substr(eq + 2, close - eq - 2));
    if (!value) return std::nullopt;
    tag.attributes.emplace_back(std::string(body.substr(i, eq - i)), std::move(*value));
    i = close + 1;
  }
  return tag;
}

}  // namespace

size_t HivexmlDump::value_count() const {
  size_t n = 0;
  for (const auto& k : keys) n += k.values.size();
  return n;
}

std::optional<HivexmlDump> run_hivexml(const std::string& hive_path, std::string* error) {
  TempDir dir;
  const int status = std::system(("hivexml " + shell_quote(hive_path) + " > " + dir.path("xml") + " 2>&1").c_str());
  const std::string xml = read_text(dir.path("xml"));
  if (status != 0) {
    *error = "hivexml failed (status " + std::to_string(status) + "): " + xml.substr(0, 300);
    return std::nullopt;
  }
  return parse_hivexml(xml, error);
}

std::optional<HivexmlDump> parse_hivexml(std::string_view xml, std::string* error) {
  HivexmlDump dump;
  std::vector<size_t> open_keys;
  HivexmlValue* value = nullptr;
  bool in_mtime = false, in_string = false;
  auto fail = [&](const std::string& why, size_t at) {
    *error = "hivexml output, byte " + std::to_string(at) + ": " + why;
    return std::nullopt;
  };
  for (size_t pos = 0; pos < xml.size();) {
    size_t lt = xml.find('<', pos);
    if (lt == xml.npos) break;
    if (lt > pos && (in_mtime || in_string)) {
      auto text = unescape(xml.substr(pos, lt - pos));
      if (!text) return fail("bad entity", pos);
      if (in_string)
        value->strings.back() = *text;
      else if (!open_keys.empty())
        dump.keys[open_keys.back()].mtime = *text;
    }
    size_t gt = xml.find('>', lt);
    if (gt == xml.npos) return fail("unterminated tag", lt);
    std::string_view body = xml.substr(lt + 1, gt - lt - 1);
    pos = gt + 1;
    if (body.starts_with("?")) continue;
    auto tag = parse_tag(body);
    if (!tag) return fail("bad tag", lt);
    const std::string& n = tag->name;
    if (n == "hive" || n == "/hive" || n == "byte_runs" || n == "/byte_runs") {
    } else if (n == "mtime") {
      in_mtime = !tag->self_closing;
    } else if (n == "/mtime") {
      in_mtime = false;
    } else if (n == "node") {
      const std::string* name = tag->attribute("name");
      if (!name) return fail("node without a name", lt);
      HivexmlKey key;
      key.name = *name;
      if (!open_keys.empty()) {
        const std::string& parent = dump.keys[open_keys.back()].path;
        key.path = parent.empty() ? *name : parent + "\\" + *name;
      }
      dump.keys.push_back(std::move(key));
      if (!tag->self_closing) open_keys.push_back(dump.keys.size() - 1);
    } else if (n == "/node") {
      if (open_keys.empty()) return fail("unbalanced </node>", lt);
      open_keys.pop_back();
    } else if (n == "value") {
      if (open_keys.empty()) return fail("value outside a node", lt);
      auto& values = dump.keys[open_keys.back()].values;
      values.emplace_back();
      value = &values.back();
      const std::string* type = tag->attribute("type");
      if (!type) return fail("value without a type", lt);
      value->type = *type;
      if (const std::string* key = tag->attribute("key")) value->name = *key;
      const std::string* encoding = tag->attribute("encoding");
      value->base64 = encoding && *encoding == "base64";
      if (const std::string* v = tag->attribute("value")) {
        if (value->base64) {
          auto bytes = base64_decode(*v);
          if (!bytes) return fail("bad base64", lt);
          value->bytes = std::move(*bytes);
        } else {
          value->text = *v;
        }
      }
      if (tag->self_closing) value = nullptr;
    } else if (n == "/value") {
      value = nullptr;
    } else if (n == "string") {
      if (!value) return fail("string outside a value", lt);
      value->strings.emplace_back();
      in_string = !tag->self_closing;
    } else if (n == "/string") {
      in_string = false;
    } else if (n == "byte_run") {
      const std::string* off = tag->attribute("file_offset");
      const std::string* len = tag->attribute("len");
      if (!off || !len) return fail("byte_run without offset or length", lt);
      if (value) value->runs.push_back({std::stoull(*off), std::stoull(*len)});
    } else {
      return fail("unknown tag <" + n + ">", lt);
    }
  }
  if (!open_keys.empty() || dump.keys.empty()) {
    *error = "hivexml output ends inside a key or holds none";
    return std::nullopt;
  }
  return dump;
}

std::optional<uint32_t> hivexml_type_number(const std::string& type) {
  static const std::pair<const char*, uint32_t> kTypes[] = {
      {"none", regf::kRegNone},
      {"string", regf::kRegSz},
      {"bad-string", regf::kRegSz},
      {"expand", regf::kRegExpandSz},
      {"bad-expand", regf::kRegExpandSz},
      {"binary", regf::kRegBinary},
      {"link", regf::kRegLink},
      {"bad-link", regf::kRegLink},
      {"string-list", regf::kRegMultiSz},
      {"bad-string-list", regf::kRegMultiSz},
      {"resource-list", regf::kRegResourceList},
      {"resource-description", regf::kRegFullResourceDescriptor},
      {"resource-requirements", regf::kRegResourceRequirementsList},
      {"int64", regf::kRegQword},
  };
  for (const auto& [name, number] : kTypes)
    if (type == name) return number;
  return std::nullopt;  // "int32" (REG_DWORD or its big-endian twin) and "unknown"
}

namespace {

// hivex stops a string at its first NUL character.
std::string text_up_to_nul(const std::vector<uint8_t>& data) {
  std::u16string s;
  for (size_t i = 0; i + 1 < data.size(); i += 2) {
    char16_t c = char16_t(data[i] | data[i + 1] << 8);
    if (c == 0) break;
    s += c;
  }
  return base::to_utf8(s);
}

std::string check_value(const HivexmlValue& h, const regf::TreeValue& v, std::span<const uint8_t> file) {
  auto number = hivexml_type_number(h.type);
  if (h.type == "int32") {
    if (v.type != regf::kRegDword && v.type != regf::kRegDwordBigEndian) return "type " + std::to_string(v.type);
  } else if (h.type == "unknown") {
    if (v.type <= regf::kRegQword) return "type " + std::to_string(v.type) + " where hivexml says unknown";
  } else if (!number || *number != v.type) {
    return "type " + std::to_string(v.type) + " where hivexml says " + h.type;
  }
  if (h.base64) return h.bytes == v.data ? "" : "data differs from hivexml's base64";
  // The data cell's bytes in the file, where hivexml names one holding exactly the data.
  if (h.runs.size() >= 2 && h.runs[1].length == v.data.size() + 4) {
    const ByteRun& r = h.runs[1];
    if (r.file_offset + r.length > file.size()) return "hivexml byte run beyond the file";
    if (!std::equal(v.data.begin(), v.data.end(), file.begin() + r.file_offset + 4))
      return "data differs from the file";
  }
  if (h.type == "int32" || h.type == "int64") {
    size_t size = h.type == "int32" ? 4 : 8;
    if (v.data.size() < size) return "";  // hivex prints its own fallback for short data
    uint64_t n = 0;
    for (size_t i = 0; i < size; ++i) {
      size_t at = v.type == regf::kRegDwordBigEndian ? i : size - 1 - i;
      n = n << 8 | v.data[at];
    }
    int64_t expected = size == 4 ? int64_t(int32_t(uint32_t(n))) : int64_t(n);
    return std::to_string(expected) == h.text ? "" : "number " + std::to_string(expected) + " vs " + h.text;
  }
  if (h.type == "string" || h.type == "expand" || h.type == "link") {
    std::string text = text_up_to_nul(v.data);
    return text == h.text ? "" : "text \"" + text + "\" vs \"" + h.text + "\"";
  }
  if (h.type == "string-list") {
    // hivexml prints one string per NUL-terminated piece, empty ones included.
    std::vector<std::u16string> parts{u""};
    for (size_t i = 0; i + 1 < v.data.size(); i += 2) {
      const char16_t c = char16_t(v.data[i] | v.data[i + 1] << 8);
      if (c == 0)
        parts.emplace_back();
      else
        parts.back() += c;
    }
    if (parts.back().empty()) parts.pop_back();
    std::vector<std::string> texts;
    for (const auto& part : parts) texts.push_back(base::to_utf8(part));
    return texts == h.strings ? "" : "string list differs";
  }
  return "";
}

void flatten(const regf::TreeKey& key, const std::string& path,
             std::vector<std::pair<std::string, const regf::TreeKey*>>& out) {
  out.emplace_back(path, &key);
  for (const auto& child : key.subkeys) {
    std::string name = base::to_utf8(child.name);
    flatten(child, path.empty() ? name : path + "\\" + name, out);
  }
}

}  // namespace

std::vector<std::string> compare_with_tree(const HivexmlDump& dump, const regf::TreeKey& root,
                                           std::span<const uint8_t> file, size_t max_lines) {
  std::vector<std::pair<std::string, const regf::TreeKey*>> keys;
  flatten(root, "", keys);
  std::vector<std::string> out;
  auto note = [&](std::string line) {
    if (out.size() < max_lines) out.push_back(std::move(line));
  };
  if (keys.size() != dump.keys.size())
    note("key count " + std::to_string(keys.size()) + " vs hivexml's " + std::to_string(dump.keys.size()));
  for (size_t i = 0; i < keys.size() && i < dump.keys.size() && out.size() < max_lines; ++i) {
    const auto& [path, key] = keys[i];
    const HivexmlKey& h = dump.keys[i];
    if (i > 0 && path != h.path) {
      note("key " + std::to_string(i) + ": \"" + path + "\" vs hivexml's \"" + h.path + "\"");
      continue;
    }
    if (key->values.size() != h.values.size())
      note(path + ": " + std::to_string(key->values.size()) + " values vs hivexml's " +
           std::to_string(h.values.size()));
    for (size_t j = 0; j < key->values.size() && j < h.values.size(); ++j) {
      std::string name = base::to_utf8(key->values[j].name);
      if (name != h.values[j].name) {
        note(path + ": value " + std::to_string(j) + " \"" + name + "\" vs hivexml's \"" + h.values[j].name + "\"");
        continue;
      }
      std::string why = check_value(h.values[j], key->values[j], file);
      if (!why.empty()) note(path + "\\" + name + ": " + why);
    }
  }
  return out;
}

std::vector<std::string> hivexml_differences(const std::string& path, const regf::TreeKey& tree) {
  std::string error;
  auto dump = run_hivexml(path, &error);
  if (!dump) return {error};
  return compare_with_tree(*dump, tree, read_bytes(path));
}

}  // namespace hivemend::testing
