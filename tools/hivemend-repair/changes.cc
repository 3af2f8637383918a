#include "tools/hivemend-repair/changes.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

#include "base/unicode.h"
#include "regf/regtext.h"
#include "regf/tree.h"
#include "win32/host/error.h"

namespace hivemend::repair_tool {

namespace {

constexpr char kHiveComment[] = "; hive ";

// Appends `text` as a JSON string: UTF-8, quoted, with '"', '\\', control characters
// and unpaired surrogates (a name or text the registry holds as it is) escaped.
void append_json(std::string& out, std::u16string_view text) {
  out.reserve(out.size() + text.size() + 2);
  out += '"';
  for (size_t i = 0; i < text.size();) {
    const char16_t c = text[i];
    if (c >= 0x80 && !base::is_unpaired_surrogate(text, i)) {
      size_t end = i + 1;
      while (end < text.size() && text[end] >= 0x80 && !base::is_unpaired_surrogate(text, end)) ++end;
      base::append_utf8(out, text.substr(i, end - i));
      i = end;
      continue;
    }
    if (c == u'"' || c == u'\\') {
      out += '\\';
      out += char(c);
    } else if (c < 0x20 || base::is_high_surrogate(c) || base::is_low_surrogate(c)) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", unsigned(c));
      out += buf;
    } else {
      out += char(c);
    }
    ++i;
  }
  out += '"';
}

// The data as the JSON shows it: string types as their text without the terminator
// (a REG_MULTI_SZ keeps the NULs between its strings), any other type in .reg hex.
// `text` is room for the string's text.
void append_data_json(std::string& out, const win32::JournalData& data, std::u16string& text) {
  if (data.type == regf::kRegSz || data.type == regf::kRegExpandSz || data.type == regf::kRegMultiSz) {
    text.resize(data.data.size() / 2);
    for (size_t i = 0; i < text.size(); ++i) text[i] = char16_t(data.data[2 * i] | data.data[2 * i + 1] << 8);
    while (!text.empty() && text.back() == 0) text.pop_back();
    return append_json(out, text);
  }
  const std::u16string line = regf::format_reg_value({u"", data.type, data.data});
  append_json(out, std::u16string_view(line).substr(line.find(u'=') + 1));
}

std::u16string hive_file_name(std::u16string_view hive) { return std::u16string(hive.substr(hive.rfind(u'\\') + 1)); }

std::string undo_file_name(std::u16string_view hive) {
  std::string name;
  for (char c : base::to_utf8(hive)) name += c == '\\' || c == ':' || c == '/' ? '-' : c;
  while (name.find("--") != name.npos) name.erase(name.find("--"), 1);
  return name + ".reg";
}

// Appends the undo line of a changed value: its old data, or a value that did not exist
// as deleted. `value` is room for the value.
void append_undo_line(std::string& out, const win32::JournalEntry& c, regf::TreeValue& value) {
  value.name.assign(c.value);
  value.type = c.old_data ? c.old_data->type : regf::kRegNone;
  if (c.old_data)
    value.data.assign(c.old_data->data.begin(), c.old_data->data.end());
  else
    value.data.clear();
  regf::append_reg_value_utf8(out, value);
  // A value that did not exist: its name, then "=-" (the line's last '=' ends the name).
  if (!c.old_data) out.replace(out.rfind('=') + 1, std::string::npos, "-");
}

// A value's data before or after a write, or that it did not exist, as a number: two
// values' data whose digests differ are different. The hex digits are taken as written,
// in either case.
uint64_t digest(std::optional<uint32_t> type, std::string_view hex) {
  if (!type) return 0;
  constexpr uint64_t kMultiplier = 0xff51afd7ed558ccdull, kLowerCase = 0x2020202020202020ull;
  uint64_t hash = 0x9e3779b97f4a7c15ull ^ *type ^ uint64_t(hex.size()) << 32;
  size_t i = 0;
  for (; i + 8 <= hex.size(); i += 8) {
    uint64_t digits;
    std::memcpy(&digits, hex.data() + i, 8);
    hash = (std::rotl(hash, 23) ^ (digits | kLowerCase)) * kMultiplier;
  }
  for (; i < hex.size(); ++i) hash = (std::rotl(hash, 23) ^ uint8_t(hex[i] | 0x20)) * kMultiplier;
  return hash | 1;
}

// Whether two data as written are the same.
bool same_data(std::optional<uint32_t> a_type, std::string_view a, std::optional<uint32_t> b_type, std::string_view b) {
  return a_type == b_type && a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return (x | 0x20) == (y | 0x20); });
}

// What names a value as the registry compares names: its hive's number, then its key
// and name in upper case (the key's length first, so that no two pairs run together).
void value_name_key(size_t hive, const win32::JournalLineView& e, const base::UpcaseTable& upper, std::string& out) {
  const uint32_t head[2] = {uint32_t(hive), uint32_t(e.key.size())};
  out.resize(sizeof head + 2 * (e.key.size() + e.value.size()));
  std::memcpy(out.data(), head, sizeof head);
  char* at = out.data() + sizeof head;
  for (std::u16string_view name : {std::u16string_view(e.key), std::u16string_view(e.value)})
    for (char16_t c : name) {
      const char16_t up = upper(c);
      std::memcpy(at, &up, sizeof up);
      at += sizeof up;
    }
}

// The values seen, numbered in the order first seen: their names one after the other
// in blocks that are never moved, and an open addressing table of 8-byte slots over
// them, so that half a million names cost a few allocations and little memory to search.
class SeenValues {
 public:
  // The number of `name` when it was seen before; otherwise it is given the next number.
  std::optional<size_t> find_or_add(std::string_view name) {
    // The slot follows from the tag alone, so that a larger table is filled without
    // hashing the names again.
    const uint32_t tag = uint32_t(std::hash<std::string_view>{}(name) >> 32);
    size_t at = tag & (slots_.size() - 1);
    for (; slots_[at].number != 0; at = (at + 1) & (slots_.size() - 1)) {
      const Slot slot = slots_[at];
      if (slot.tag == tag && names_[slot.number - 1] == name) return slot.number - 1;
    }
    const size_t number = names_.size();
    names_.push_back(store(name));
    slots_[at] = Slot{tag, uint32_t(number + 1)};
    if (2 * names_.size() > slots_.size()) grow();
    return std::nullopt;
  }
  // How many more names the table can number.
  size_t room() const { return UINT32_MAX - names_.size(); }

 private:
  struct Slot {
    uint32_t tag = 0;
    uint32_t number = 0;  // the value's number + 1; 0 for an empty slot
  };
  static constexpr size_t kBlock = 1 << 20;
  // A copy of `name` in the last block, or in a new one when it does not fit.
  std::string_view store(std::string_view name) {
    if (room_ < name.size()) {
      room_ = std::max(kBlock, name.size());
      blocks_.push_back(std::make_unique<char[]>(room_));
      free_ = blocks_.back().get();
    }
    char* at = free_;
    std::memcpy(at, name.data(), name.size());
    free_ += name.size();
    room_ -= name.size();
    return {at, name.size()};
  }
  void grow() {
    std::vector<Slot> old(2 * slots_.size());
    old.swap(slots_);
    for (const Slot& slot : old) {
      if (slot.number == 0) continue;
      size_t at = slot.tag & (slots_.size() - 1);
      while (slots_[at].number != 0) at = (at + 1) & (slots_.size() - 1);
      slots_[at] = slot;
    }
  }
  std::vector<std::unique_ptr<char[]>> blocks_;
  char* free_ = nullptr;                 // where the last block's free room begins
  size_t room_ = 0;                      // and how large it is
  std::vector<std::string_view> names_;  // each number's name, in the blocks
  std::vector<Slot> slots_ = std::vector<Slot>(1024);
};

Error journal_error(const std::string& path, const win32::JournalReader& reader) {
  return Error{path + ": line " + std::to_string(reader.line()) + ": not a line of the change journal"};
}

}  // namespace

struct NetChanges::Reading {
  std::optional<win32::JournalReader> reader;  // once the journal exists
  // Each value once, where it first changed; names compare as the registry compares
  // them. A few hives, so their names are numbered.
  std::vector<std::u16string> hives;
  SeenValues seen;
  std::shared_ptr<const base::UpcaseTable> upper = base::UpcaseTable::builtin();
  win32::JournalLineView line;  // each line read into the same room
  win32::JournalEntry entry;    // and each one given ahead
  std::string name;
};

NetChanges::NetChanges(std::string path) : path_(std::move(path)), reading_(std::make_unique<Reading>()) {}
NetChanges::NetChanges(NetChanges&&) noexcept = default;
NetChanges& NetChanges::operator=(NetChanges&&) noexcept = default;
NetChanges::~NetChanges() = default;

Result<NetChanges> NetChanges::of_journal(const std::string& path) {
  NetChanges net(path);
  if (auto read = net.read(); !read) return read.error();
  return net;
}

Status NetChanges::read(const Ahead& ahead) {
  if (!error_)
    if (auto read = read_lines(ahead); !read) error_ = read.error();
  if (error_) return *error_;
  return base::Ok{};
}

Status NetChanges::read_lines(const Ahead& ahead) {
  Reading& r = *reading_;
  if (!r.reader) {
    auto reader = win32::JournalReader::open(path_);
    if (!reader) {
      if (reader.error() == ERROR_FILE_NOT_FOUND) return base::Ok{};
      return Error{path_ + ": the change journal cannot be read"};
    }
    r.reader.emplace(std::move(*reader));
  }
  win32::JournalReader& reader = *r.reader;
  win32::JournalLineView& e = r.line;
  for (;;) {
    auto read = reader.next(e);
    if (!read) return journal_error(path_, reader);
    if (!*read) return base::Ok{};
    ++lines_;
    size_t hive = 0;
    while (hive < r.hives.size() && r.hives[hive] != e.hive && !base::equal_nocase(r.hives[hive], e.hive)) ++hive;
    if (hive == r.hives.size()) r.hives.push_back(e.hive);
    value_name_key(hive, e, *r.upper, r.name);
    if (r.seen.room() == 0) return Error{path_ + ": line " + std::to_string(reader.line()) + ": too many values"};
    const auto number = r.seen.find_or_add(r.name);
    if (!number) {
      const bool changed = !same_data(e.old_type, e.old_hex, e.new_type, e.new_hex);
      values_.push_back({reader.offset(), reader.offset(), digest(e.old_type, e.old_hex), uint32_t(hive), changed});
      changed_ += changed;
      if (changed && ahead && !met_twice_) {
        win32::entry_of(e, r.entry);
        ahead(r.entry);
      }
      continue;
    }
    met_twice_ = true;
    Value& value = values_[*number];
    value.last = reader.offset();
    changed_ -= value.changed;
    // Data that ends as it began is no change; only then is the first line read again.
    value.changed = value.old_digest != digest(e.new_type, e.new_hex);
    if (!value.changed) {
      auto first = reader.entry_at(value.first);
      if (!first) return Error{path_ + ": the change journal cannot be read"};
      value.changed = !win32::same_data(first->old_data, e.new_type, e.new_hex);
    }
    changed_ += value.changed;
  }
}

Status NetChanges::for_each(const std::function<Status(const win32::JournalEntry&)>& f) const {
  if (!changed_) return base::Ok{};
  auto reader = win32::JournalReader::open(path_);
  if (!reader) return Error{path_ + ": the change journal cannot be read"};
  // The first lines of the changed values, in order, are met reading from the front; the
  // lines between them were read whole in the first pass and are only passed over here.
  win32::JournalEntry first;  // each change read into the same room
  for (const Value& value : values_) {
    if (!value.changed) continue;
    for (bool more = true; more && reader->next_offset() < value.first;) {
      auto skipped = reader->skip();
      if (!skipped) return journal_error(path_, *reader);
      more = *skipped;
    }
    auto read = reader->next(first);
    if (!read) return journal_error(path_, *reader);
    if (!*read || reader->offset() != value.first) return Error{path_ + ": the change journal changed while read"};
    if (auto taken = take_last(*reader, value, first); !taken) return taken;
    if (auto done = f(first); !done) return done;
  }
  return base::Ok{};
}

Status NetChanges::take_last(const win32::JournalReader& reader, const Value& value,
                             win32::JournalEntry& change) const {
  if (value.last == value.first) return base::Ok{};
  auto last = reader.entry_at(value.last);
  if (!last) return Error{path_ + ": the change journal cannot be read"};
  change.new_data = std::move(last->new_data);
  return base::Ok{};
}

Status NetChanges::for_each_hive(const std::function<Status(const win32::JournalEntry&)>& f) const {
  if (!changed_) return base::Ok{};
  auto reader = win32::JournalReader::open(path_);
  if (!reader) return Error{path_ + ": the change journal cannot be read"};
  std::vector<bool> seen(reading_->hives.size());
  for (const Value& value : values_) {
    if (!value.changed || seen[value.hive]) continue;
    seen[value.hive] = true;
    auto change = reader->entry_at(value.first);
    if (!change) return Error{path_ + ": the change journal cannot be read"};
    if (auto taken = take_last(*reader, value, *change); !taken) return taken;
    if (auto done = f(*change); !done) return done;
  }
  return base::Ok{};
}

BlockFile::BlockFile(const std::string& path) : out_(path, std::ios::binary | std::ios::trunc) {}

BlockFile::~BlockFile() { write(true); }

bool BlockFile::write(bool all) {
  constexpr size_t kBlock = 1 << 18;
  if (pending_.size() >= kBlock || (all && !pending_.empty())) {
    out_.write(pending_.data(), std::streamsize(pending_.size()));
    pending_.clear();
  }
  if (all) out_.flush();
  return bool(out_);
}

ChangesRecord::ChangesRecord(const std::string& path) : path_(path), out_(path) {}

Result<ChangesRecord> ChangesRecord::create(const std::string& path) {
  ChangesRecord record(path);
  record.out_.text() = "{\"changes\": [";
  if (auto written = record.written(true); !written) return written.error();
  return record;
}

Status ChangesRecord::written(bool all) {
  if (!out_.write(all)) return Error{path_ + ": cannot write"};
  return base::Ok{};
}

Status ChangesRecord::add(const win32::JournalEntry& c) {
  std::string& out = out_.text();
  out += count_++ ? ",\n  " : "\n  ";
  out += "{\"hive\": ";
  append_json(out, c.hive);
  out += ", \"key\": ";
  append_json(out, c.key);
  out += ", \"value\": ";
  append_json(out, c.value);
  char type[16];
  out += ", \"type\": ";
  out.append(type, std::to_chars(type, type + sizeof type, c.new_data.type).ptr);
  out += ", \"old\": ";
  if (c.old_data)
    append_data_json(out, *c.old_data, text_);
  else
    out += "null";
  out += ", \"new\": ";
  append_data_json(out, c.new_data, text_);
  out += '}';
  return written();
}

Status ChangesRecord::finish(const std::optional<Counters>& counters, const std::string& hiberfile_removed) {
  std::string& out = out_.text();
  out += count_ ? "\n],\n \"counters\": " : "],\n \"counters\": ";
  if (counters)
    out += "{\"values_accessed\": " + std::to_string(counters->values_accessed) +
           ", \"paths_resolved\": " + std::to_string(counters->paths_resolved) +
           ", \"paths_skipped\": " + std::to_string(counters->paths_skipped) + "}";
  else
    out += "null";
  out += ",\n \"hiberfile_removed\": [" + drive_list(hiberfile_removed, "\"", "\"") + "]}\n";
  return written(true);
}

std::string drive_list(const std::string& letters, const std::string& before, const std::string& after) {
  std::string out;
  for (char letter : letters) out += (out.empty() ? "" : ", ") + before + letter + ":" + after;
  return out;
}

Status check_undo_folder(const std::string& dir) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec))
    if (entry.path().extension() == ".reg")
      return Error{"--undo " + dir + ": holds an earlier run's undo file " + entry.path().filename().string() +
                   "; give a new or empty folder"};
  return base::Ok{};
}

Result<UndoFiles> UndoFiles::create(const std::string& dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) return Error{dir + ": " + ec.message()};
  return UndoFiles(dir);
}

Status UndoFiles::add(const win32::JournalEntry& c) {
  auto file = std::find_if(files_.begin(), files_.end(),
                           [&](const File& f) { return f.hive == c.hive || base::equal_nocase(f.hive, c.hive); });
  if (file == files_.end()) {
    // Names that differ only where the file name has a dash ("a" and "a-") would share
    // a file: the later hive takes the next free number.
    std::string path = dir_ + "/" + undo_file_name(c.hive);
    const std::string stem = path.substr(0, path.size() - 4);
    for (int n = 2; std::any_of(files_.begin(), files_.end(), [&](const File& f) { return f.path == path; }); ++n)
      path = stem + "-" + std::to_string(n) + ".reg";
    files_.push_back({c.hive, u"HKEY_LOCAL_MACHINE\\" + hive_file_name(c.hive), path, BlockFile(path), std::nullopt});
    file = files_.end() - 1;
    file->out.text() =
        "Windows Registry Editor Version 5.00\r\n" + std::string(kHiveComment) + base::to_utf8(c.hive) + "\r\n";
  }
  std::string& text = file->out.text();
  if (!file->last_key || c.key != *file->last_key) {
    text += "\r\n[";
    base::append_utf8(text, file->root);
    if (!c.key.empty()) {
      text += '\\';
      base::append_utf8(text, c.key);
    }
    text += "]\r\n";
    file->last_key = c.key;
  }
  append_undo_line(text, c, value_);
  text += "\r\n";
  if (!file->out.write()) return Error{file->path + ": cannot write"};
  return base::Ok{};
}

Result<size_t> UndoFiles::finish() {
  for (File& file : files_)
    if (!file.out.write(true)) return Error{file.path + ": cannot write"};
  return files_.size();
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
