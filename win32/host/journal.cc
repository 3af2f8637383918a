// The change journal of mounted hives and the dry-run switch (journal.h).
#include "win32/host/journal.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>

#include "base/unicode.h"
#include "base/unique_fd.h"
#include "win32/host/error.h"

namespace hivemend::win32 {

namespace {

constexpr char kHex[] = "0123456789abcdef";
// The two hex digits of every byte, one pair after the other.
constexpr auto kHexPairs = [] {
  std::array<char, 512> pairs{};
  for (int b = 0; b < 256; ++b) {
    pairs[2 * b] = kHex[b >> 4];
    pairs[2 * b + 1] = kHex[b & 0xF];
  }
  return pairs;
}();

// A name as UTF-8 that survives the round trip: the tab and line ends that delimit the
// journal, the backslash that escapes, other control characters and unpaired
// surrogates (which UTF-8 cannot carry) are escaped.
void append_text(std::string& out, std::u16string_view text) {
  // Printable ASCII, nearly every name, is written through room made once; from the
  // first other unit on, the rest goes through the general path below.
  const size_t at = out.size();
  out.resize(at + 2 * text.size());
  char* to = out.data() + at;
  size_t ascii = 0;
  for (; ascii < text.size() && text[ascii] >= 0x20 && text[ascii] < 0x80; ++ascii) {
    if (text[ascii] == u'\\') *to++ = '\\';
    *to++ = char(text[ascii]);
  }
  out.resize(size_t(to - out.data()));
  text.remove_prefix(ascii);
  size_t run = 0;  // start of the pending run of characters that go across as UTF-8
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c >= 0x20 && c != u'\\' && !base::is_high_surrogate(c) && !base::is_low_surrogate(c)) continue;
    if (base::is_high_surrogate(c) && i + 1 < text.size() && base::is_low_surrogate(text[i + 1])) {
      ++i;
      continue;
    }
    base::append_utf8(out, text.substr(run, i - run));
    const char* escape = c == u'\\' ? "\\\\" : c == u'\t' ? "\\t" : c == u'\n' ? "\\n" : c == u'\r' ? "\\r" : nullptr;
    if (escape) {
      out += escape;
    } else {
      out += "\\u";
      for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(c >> shift) & 0xF];
    }
    run = i + 1;
  }
  base::append_utf8(out, text.substr(run));
}

// Decodes a text field into `out` (its content replaced, its room kept).
bool parse_text(std::string_view field, std::u16string& out) {
  out.clear();
  size_t run = 0;  // start of the pending run of plain UTF-8
  auto flush = [&](size_t end) { return base::append_utf16_strict(out, field.substr(run, end - run)); };
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] != '\\') continue;
    if (!flush(i) || i + 1 == field.size()) return false;
    const char e = field[++i];
    if (e == '\\')
      out += u'\\';
    else if (e == 't')
      out += u'\t';
    else if (e == 'n')
      out += u'\n';
    else if (e == 'r')
      out += u'\r';
    else if (e == 'u' && i + 4 < field.size()) {
      unsigned unit = 0;
      auto [end, ec] = std::from_chars(field.data() + i + 1, field.data() + i + 5, unit, 16);
      if (ec != std::errc() || end != field.data() + i + 5) return false;
      out += char16_t(unit);
      i += 4;
    } else {
      return false;
    }
    run = i + 1;
  }
  return flush(field.size());
}

void append_data(std::string& out, const std::optional<JournalDataView>& data) {
  if (!data) {
    out += "-\t";
    return;
  }
  char type[16];
  out.append(type, std::to_chars(type, type + sizeof type, data->type).ptr);
  out += '\t';
  // Through locals: a store through the string's char* could change the span, and would
  // have it read again for every byte.
  const std::span<const uint8_t> bytes = data->data;
  const size_t at = out.size();
  out.resize(at + 2 * bytes.size());
  char* to = out.data() + at;
  for (uint8_t b : bytes) {
    std::memcpy(to, &kHexPairs[2 * b], 2);
    to += 2;
  }
}

// The value of each hex digit, either case; -1 for any other character.
constexpr auto kHexValue = [] {
  std::array<int8_t, 256> value{};
  value.fill(-1);
  for (int i = 0; i < 10; ++i) value['0' + i] = int8_t(i);
  for (int i = 0; i < 6; ++i) value['a' + i] = value['A' + i] = int8_t(10 + i);
  return value;
}();
int hex_digit(char c) { return kHexValue[static_cast<unsigned char>(c)]; }

// Whether every character is a hex digit, either case: eight at a time, as the data of
// a long line is most of it.
bool all_hex(std::string_view hex) {
  constexpr uint64_t kOnes = 0x0101010101010101ull, kHigh = 0x8080808080808080ull;
  // The top bit of each byte of `x` (bytes below 0x80, so that no sum carries into the
  // next byte) set where the byte is at least `low` and at most `high`.
  auto within = [](uint64_t x, uint8_t low, uint8_t high) {
    return (x + (0x80 - low) * kOnes) & ~(x + (0x7F - high) * kOnes) & kHigh;
  };
  size_t i = 0;
  for (; i + 8 <= hex.size(); i += 8) {
    uint64_t x;
    std::memcpy(&x, hex.data() + i, 8);
    if (x & kHigh) return false;
    // Setting 0x20 takes 'A'-'F' to 'a'-'f' and nothing else there.
    if ((within(x, '0', '9') | within(x | 0x20 * kOnes, 'a', 'f')) != kHigh) return false;
  }
  for (; i < hex.size(); ++i)
    if (hex_digit(hex[i]) < 0) return false;
  return true;
}

// Checks "TYPE<tab>HEX" of two fields: `type` is set, or reset for "-" and an empty
// field (a value that did not exist).
bool check_data(std::string_view type, std::string_view hex, std::optional<uint32_t>& out) {
  if (type == "-") {
    out.reset();
    return hex.empty();
  }
  uint32_t number = 0;
  auto [end, ec] = std::from_chars(type.data(), type.data() + type.size(), number);
  if (ec != std::errc() || end != type.data() + type.size() || hex.size() % 2) return false;
  if (!all_hex(hex)) return false;
  out = number;
  return true;
}

// Data checked by check_data, decoded into `out` (its room reused).
void decode_data(std::optional<uint32_t> type, std::string_view hex, std::optional<JournalData>& out) {
  if (!type) {
    out.reset();
    return;
  }
  JournalData& data = out ? *out : out.emplace();
  data.type = *type;
  data.data.resize(hex.size() / 2);
  for (size_t i = 0; i < hex.size(); i += 2) data.data[i / 2] = uint8_t(hex_digit(hex[i]) << 4 | hex_digit(hex[i + 1]));
}

// A view's old and new data decoded into `entry` (their room reused).
void decode_entry_data(const JournalLineView& view, JournalEntry& entry) {
  decode_data(view.old_type, view.old_hex, entry.old_data);
  std::optional<JournalData> new_data(std::move(entry.new_data));
  decode_data(view.new_type, view.new_hex, new_data);
  entry.new_data = std::move(*new_data);
}

// The seven tab-separated fields of a line; false when there are more or fewer.
bool split_fields(std::string_view line, std::string_view (&fields)[7]) {
  size_t count = 0;
  for (size_t start = 0;;) {
    const size_t tab = line.find('\t', start);
    if (count == std::size(fields)) return false;
    fields[count++] = line.substr(start, tab - start);
    if (tab == line.npos) break;
    start = tab + 1;
  }
  return count == std::size(fields);
}

// Lines wait in `pending` until a block is full or a hive is written back.
constexpr size_t kJournalBlock = 64 * 1024;

struct JournalFile {
  std::mutex mutex;
  base::UniqueFd fd;
  bool opened = false;
  std::string pending;  // whole lines
};

// O_APPEND: the block lands whole at the end, even with another writer.
void write_pending(JournalFile& file) {
  if (file.pending.empty()) return;
  if (write(file.fd.get(), file.pending.data(), file.pending.size()) != ssize_t(file.pending.size()))
    std::fprintf(stderr, "hivemend: journal lines not written: %s\n", std::strerror(errno));
  file.pending.clear();
}

JournalFile& journal_file() {
  static JournalFile* file = new JournalFile;  // used while hives are written back at exit
  return *file;
}

// The progress record's layout in its file.
constexpr size_t kProgressHiveChars = 260;
struct ProgressRecord {
  uint64_t keys;
  uint64_t values;
  uint32_t hive_length;
  char16_t hive[kProgressHiveChars];
};

// The mapped record, or null when HIVEMEND_PROGRESS is unset or unusable; set up by the
// first mount.
ProgressRecord* g_progress = nullptr;

}  // namespace

void progress_mounted(std::u16string_view hive_file) {
  static const bool mapped = [] {
    const char* path = std::getenv("HIVEMEND_PROGRESS");
    if (!path || !*path) return false;
    base::UniqueFd fd(open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (!fd || ftruncate(fd.get(), sizeof(ProgressRecord)) != 0) return false;
    void* at = mmap(nullptr, sizeof(ProgressRecord), PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
    if (at == MAP_FAILED) return false;
    g_progress = static_cast<ProgressRecord*>(at);
    return true;
  }();
  if (!mapped) return;
  const size_t n = std::min(hive_file.size(), kProgressHiveChars);
  std::copy_n(hive_file.begin(), n, g_progress->hive);
  g_progress->hive_length = uint32_t(n);
}

void progress_key() {
  if (g_progress) ++g_progress->keys;
}

void progress_value() {
  if (g_progress) ++g_progress->values;
}

std::optional<Progress> read_progress(const std::string& path) {
  ProgressRecord record{};
  std::ifstream in(path, std::ios::binary);
  if (!in.read(reinterpret_cast<char*>(&record), sizeof record)) return std::nullopt;
  return Progress{record.keys, record.values,
                  std::u16string(record.hive, std::min<size_t>(record.hive_length, kProgressHiveChars))};
}

bool dry_run() {
  const char* value = std::getenv("HIVEMEND_DRY_RUN");
  return value && std::strcmp(value, "1") == 0;
}

bool journal_enabled() {
  const char* path = std::getenv("HIVEMEND_JOURNAL");
  return path && *path;
}

void journal_append_line(std::string_view line) {
  JournalFile& file = journal_file();
  std::lock_guard lock(file.mutex);
  if (!file.opened) {
    file.opened = true;
    const char* path = std::getenv("HIVEMEND_JOURNAL");
    file.fd = base::UniqueFd(open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    if (!file.fd) std::fprintf(stderr, "hivemend: journal %s not written: %s\n", path, std::strerror(errno));
  }
  if (!file.fd) return;
  file.pending += line;
  file.pending += '\n';
  if (file.pending.size() >= kJournalBlock) write_pending(file);
}

void journal_append(const JournalEntry& entry) { journal_append_line(format_journal_line(entry)); }

void journal_flush() {
  JournalFile& file = journal_file();
  std::lock_guard lock(file.mutex);
  if (file.fd) write_pending(file);
}

void format_journal_line(std::string& line, std::u16string_view hive, std::u16string_view key,
                         std::u16string_view value, const std::optional<JournalDataView>& old_data,
                         const JournalDataView& new_data) {
  line.clear();
  line.reserve(hive.size() + key.size() + value.size() + 32 +
               2 * ((old_data ? old_data->data.size() : 0) + new_data.data.size()));
  append_text(line, hive);
  line += '\t';
  append_text(line, key);
  line += '\t';
  append_text(line, value);
  line += '\t';
  append_data(line, old_data);
  line += '\t';
  append_data(line, new_data);
}

std::string format_journal_line(const JournalEntry& entry) {
  std::optional<JournalDataView> old_data;
  if (entry.old_data) old_data = JournalDataView{entry.old_data->type, entry.old_data->data};
  std::string line;
  format_journal_line(line, entry.hive, entry.key, entry.value, old_data,
                      JournalDataView{entry.new_data.type, entry.new_data.data});
  return line;
}

bool parse_journal_line(std::string_view line, JournalLineView& view) {
  std::string_view fields[7];
  std::optional<uint32_t> new_type;
  if (!split_fields(line, fields) || !parse_text(fields[0], view.hive) || !parse_text(fields[1], view.key) ||
      !parse_text(fields[2], view.value) || !check_data(fields[3], fields[4], view.old_type) ||
      !check_data(fields[5], fields[6], new_type) || !new_type)
    return false;
  view.new_type = *new_type;
  view.old_hex = fields[4];
  view.new_hex = fields[6];
  return true;
}

bool same_data(const std::optional<JournalData>& data, std::optional<uint32_t> type, std::string_view hex) {
  if (!data || !type) return !data && !type;
  if (data->type != *type || 2 * data->data.size() != hex.size()) return false;
  for (size_t i = 0; i < data->data.size(); ++i)
    if (data->data[i] != (hex_digit(hex[2 * i]) << 4 | hex_digit(hex[2 * i + 1]))) return false;
  return true;
}

bool parse_journal_line(std::string_view line, JournalEntry& entry) {
  // The texts are decoded into the entry's own strings, the data then from its digits.
  JournalLineView view;
  view.hive.swap(entry.hive);
  view.key.swap(entry.key);
  view.value.swap(entry.value);
  const bool parsed = parse_journal_line(line, view);
  entry.hive.swap(view.hive);
  entry.key.swap(view.key);
  entry.value.swap(view.value);
  if (!parsed) return false;
  decode_entry_data(view, entry);
  return true;
}

void entry_of(const JournalLineView& view, JournalEntry& entry) {
  entry.hive = view.hive;
  entry.key = view.key;
  entry.value = view.value;
  decode_entry_data(view, entry);
}

std::optional<JournalEntry> parse_journal_line(std::string_view line) {
  JournalEntry entry;
  if (!parse_journal_line(line, entry)) return std::nullopt;
  return entry;
}

Expected<JournalReader> JournalReader::open(const std::string& path) {
  base::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return WinError{error_from_errno(errno)};
  return JournalReader(std::move(fd));
}

Expected<std::optional<std::string_view>> JournalReader::next_line() {
  constexpr size_t kChunk = 1 << 16;
  for (;;) {
    const char* begin = buffer_.get() + start_;
    if (const void* end = start_ < size_ ? std::memchr(begin, '\n', size_ - start_) : nullptr) {
      const std::string_view line(begin, size_t(static_cast<const char*>(end) - begin));
      ++line_;
      offset_ = buffer_offset_ + start_;
      start_ += line.size() + 1;
      return std::optional<std::string_view>(line);
    }
    if (at_end_) {
      at_end_ = false;
      return std::optional<std::string_view>();
    }
    // The part of a line read so far moves to the front; the rest of it follows.
    if (start_ < size_) std::memmove(buffer_.get(), begin, size_ - start_);
    buffer_offset_ += start_;
    size_ -= start_;
    start_ = 0;
    if (capacity_ - size_ < kChunk) {
      capacity_ = std::max(2 * capacity_, size_ + kChunk);
      auto larger = std::make_unique_for_overwrite<char[]>(capacity_);
      if (size_) std::memcpy(larger.get(), buffer_.get(), size_);
      buffer_ = std::move(larger);
    }
    const ssize_t got = read(fd_.get(), buffer_.get() + size_, capacity_ - size_);
    if (got < 0) return WinError{error_from_errno(errno)};
    size_ += size_t(got);
    at_end_ = got == 0;
  }
}

Expected<std::optional<JournalEntry>> JournalReader::next() {
  JournalEntry entry;
  auto read = next(entry);
  if (!read) return read.error();
  if (!*read) return std::optional<JournalEntry>();
  return std::optional<JournalEntry>(std::move(entry));
}

template <typename Line>
Expected<bool> JournalReader::next_into(Line& into) {
  auto line = next_line();
  if (!line) return line.error();
  if (!*line) return false;
  if (!parse_journal_line(**line, into)) return WinError{ERROR_INVALID_DATA};
  return true;
}

Expected<bool> JournalReader::next(JournalEntry& entry) { return next_into(entry); }
Expected<bool> JournalReader::next(JournalLineView& view) { return next_into(view); }

Expected<bool> JournalReader::skip() {
  auto line = next_line();
  if (!line) return line.error();
  return line->has_value();
}

Expected<JournalEntry> JournalReader::entry_at(uint64_t offset) const {
  constexpr size_t kChunk = 4096;
  std::string line;
  for (;;) {
    const size_t had = line.size();
    line.resize(had + kChunk);
    const ssize_t got = pread(fd_.get(), line.data() + had, kChunk, off_t(offset + had));
    if (got < 0) return WinError{error_from_errno(errno)};
    line.resize(had + size_t(got));
    if (const size_t end = line.find('\n', had); end != line.npos) {
      auto entry = parse_journal_line(std::string_view(line).substr(0, end));
      if (!entry) return WinError{ERROR_INVALID_DATA};
      return std::move(*entry);
    }
    if (got == 0) return WinError{ERROR_INVALID_DATA};
  }
}

Expected<std::vector<JournalEntry>> read_journal(const std::string& path) {
  auto reader = JournalReader::open(path);
  if (!reader) return reader.error();
  std::vector<JournalEntry> entries;
  for (;;) {
    auto entry = reader->next();
    if (!entry) return entry.error();
    if (!*entry) return entries;
    entries.push_back(std::move(**entry));
  }
}

}  // namespace hivemend::win32
