#include "tools/hivemend-repair/changes.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <tuple>

#include "base/unicode.h"
#include "regf/regtext.h"
#include "regf/tree.h"

namespace hivemend::repair_tool {

namespace {

constexpr char kHiveComment[] = "; hive ";

std::string json_string(std::string_view utf8) {
  std::string out = "\"";
  for (unsigned char c : utf8) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += char(c);
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += char(c);
    }
  }
  return out + "\"";
}

// The data as the JSON shows it: string types as their text without the terminator
// (a REG_MULTI_SZ keeps the NULs between its strings), any other type in .reg hex.
std::string data_text(const win32::JournalData& data) {
  if (data.type == regf::kRegSz || data.type == regf::kRegExpandSz || data.type == regf::kRegMultiSz) {
    std::u16string text = base::from_utf16le(data.data);
    while (!text.empty() && text.back() == 0) text.pop_back();
    return json_string(base::to_utf8(text));
  }
  const std::u16string line = regf::format_reg_value({u"", data.type, data.data});
  return json_string(base::to_utf8(line.substr(line.find(u'=') + 1)));
}

std::u16string hive_file_name(std::u16string_view hive) { return std::u16string(hive.substr(hive.rfind(u'\\') + 1)); }

std::string undo_file_name(std::u16string_view hive) {
  std::string name;
  for (char c : base::to_utf8(hive)) name += c == '\\' || c == ':' || c == '/' ? '-' : c;
  while (name.find("--") != name.npos) name.erase(name.find("--"), 1);
  return name + ".reg";
}

// The undo file of one hive: each changed value's old data under its key's line, a value
// that did not exist as deleted.
std::u16string undo_text(const std::vector<win32::JournalEntry>& changes, const std::u16string& hive) {
  const std::u16string root = u"HKEY_LOCAL_MACHINE\\" + hive_file_name(hive);
  std::u16string text = u"Windows Registry Editor Version 5.00\r\n" + base::from_utf8(kHiveComment) + hive + u"\r\n";
  const std::u16string* last_key = nullptr;
  for (const auto& c : changes) {
    if (!base::equal_nocase(c.hive, hive)) continue;
    if (!last_key || c.key != *last_key) {
      text += u"\r\n[" + root + (c.key.empty() ? u"" : u"\\" + c.key) + u"]\r\n";
      last_key = &c.key;
    }
    if (c.old_data) {
      text += regf::format_reg_value({c.value, c.old_data->type, c.old_data->data});
    } else {
      const std::u16string line = regf::format_reg_value({c.value, regf::kRegNone, {}});
      text += line.substr(0, line.rfind(u'=')) + u"=-";
    }
    text += u"\r\n";
  }
  return text;
}

}  // namespace

std::vector<win32::JournalEntry> net_changes(const std::vector<win32::JournalEntry>& journal) {
  // Each value once, where it first changed, with the data it was given last; names
  // compare as the registry compares them. A run writes tens of thousands of values.
  std::vector<win32::JournalEntry> out;
  std::map<std::tuple<std::u16string, std::u16string, std::u16string>, size_t> seen;
  for (const auto& entry : journal) {
    auto [it, added] =
        seen.try_emplace({base::upcase(entry.hive), base::upcase(entry.key), base::upcase(entry.value)}, out.size());
    if (added)
      out.push_back(entry);
    else
      out[it->second].new_data = entry.new_data;
  }
  std::erase_if(out, [](const auto& e) { return e.old_data == e.new_data; });
  return out;
}

std::string changes_json(const std::vector<win32::JournalEntry>& changes, const Counters& counters,
                         const std::string& hiberfile_removed) {
  std::string out = "{\"changes\": [";
  for (size_t i = 0; i < changes.size(); ++i) {
    const auto& c = changes[i];
    out += i ? ",\n  " : "\n  ";
    out += "{\"hive\": " + json_string(base::to_utf8(c.hive)) + ", \"key\": " + json_string(base::to_utf8(c.key)) +
           ", \"value\": " + json_string(base::to_utf8(c.value)) + ", \"type\": " + std::to_string(c.new_data.type) +
           ", \"old\": " + (c.old_data ? data_text(*c.old_data) : "null") + ", \"new\": " + data_text(c.new_data) + "}";
  }
  out += changes.empty() ? "],\n" : "\n],\n";
  return out + " \"counters\": {\"values_accessed\": " + std::to_string(counters.values_accessed) +
         ", \"paths_resolved\": " + std::to_string(counters.paths_resolved) +
         ", \"paths_skipped\": " + std::to_string(counters.paths_skipped) + "},\n" + " \"hiberfile_removed\": [" +
         drive_list(hiberfile_removed, "\"", "\"") + "]}\n";
}

std::string drive_list(const std::string& letters, const std::string& before, const std::string& after) {
  std::string out;
  for (char letter : letters) out += (out.empty() ? "" : ", ") + before + letter + ":" + after;
  return out;
}

Result<size_t> write_undo(const std::vector<win32::JournalEntry>& changes, const std::string& dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) return Error{dir + ": " + ec.message()};
  // Hives in the order of their first change.
  std::vector<std::u16string> hives;
  for (const auto& c : changes)
    if (std::none_of(hives.begin(), hives.end(), [&](const auto& h) { return base::equal_nocase(h, c.hive); }))
      hives.push_back(c.hive);
  for (const auto& hive : hives) {
    const std::string path = dir + "/" + undo_file_name(hive);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!(out << base::to_utf8(undo_text(changes, hive))) || !out.flush()) return Error{path + ": cannot write"};
  }
  return hives.size();
}

Result<UndoFile> read_undo_header(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind(kHiveComment, 0) != 0) continue;
    const std::u16string hive = base::from_utf8(line.substr(sizeof kHiveComment - 1));
    return UndoFile{hive, u"HKEY_LOCAL_MACHINE\\" + hive_file_name(hive)};
  }
  return Error{path + ": no \"; hive\" line naming the hive to restore"};
}

Result<Counters> read_counters(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string object((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto number = [&](const std::string& name) -> std::optional<uint64_t> {
    size_t at = object.find("\"" + name + "\":");
    if (at == object.npos) return std::nullopt;
    at = object.find_first_not_of(' ', at + name.size() + 3);
    if (at == object.npos || !std::isdigit(static_cast<unsigned char>(object[at]))) return std::nullopt;
    return std::strtoull(object.c_str() + at, nullptr, 10);
  };
  auto accessed = number("values_accessed"), resolved = number("paths_resolved"), skipped = number("paths_skipped");
  if (!accessed || !resolved || !skipped) return Error{path + ": no counters"};
  return Counters{*accessed, *resolved, *skipped};
}

}  // namespace hivemend::repair_tool
