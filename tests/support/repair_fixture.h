// Test helpers for the program's own tests (app/, repair/, log/, settings/): a prefix of
// their own in a temporary folder, the diagnostic log read back, files and folders with
// chosen short names. Header-only: it uses the platform layer, which not every test
// program links.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "regf/build.h"
#include "regf/hive.h"
#include "regf/tree.h"
#include "regf/unicode.h"
#include "regf/walk.h"
#include "tests/support/ntfs_volume.h"
#include "win32/prefix.h"
#include "win32/security.h"

namespace hivemend::testing {

// A fresh prefix (HIVEMEND_PREFIX) for the life of the object; the previous setting
// comes back and the folder goes away afterwards.
class TestPrefix {
 public:
  TestPrefix() {
    char tmpl[] = "/tmp/hivemend-prefix-XXXXXX";
    dir_ = mkdtemp(tmpl) ? tmpl : "";
    if (const char* old = std::getenv("HIVEMEND_PREFIX")) old_ = old;
    setenv("HIVEMEND_PREFIX", dir_.c_str(), 1);
  }
  ~TestPrefix() {
    if (old_)
      setenv("HIVEMEND_PREFIX", old_->c_str(), 1);
    else
      unsetenv("HIVEMEND_PREFIX");
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  TestPrefix(const TestPrefix&) = delete;
  TestPrefix& operator=(const TestPrefix&) = delete;

  const std::string& dir() const { return dir_; }
  bool define_drive(char letter, const std::string& target) const {
    return static_cast<bool>(win32::define_drive(letter, target));
  }
  std::string log_path() const { return dir_ + "/logs/hivemend.log"; }
  // Replaces the machine registry with REGEDIT5 text (the header is added).
  bool write_registry(const std::string& body) const {
    std::ofstream out(dir_ + "/system.reg", std::ios::binary);
    out << "Windows Registry Editor Version 5.00\r\n\r\n" << body;
    return static_cast<bool>(out);
  }

 private:
  std::string dir_;
  std::optional<std::string> old_;
};

// One entry of the diagnostic log file.
struct LogEntry {
  std::string context;
  std::string message;
  bool operator==(const LogEntry&) const = default;
};
// Readable in test failures (the context, " | ", the message).
inline void PrintTo(const LogEntry& e, std::ostream* os) { *os << '{' << e.context << " | " << e.message << '}'; }

// The entries of a log file written by the default sink: each ends in a bare LF (CR LF
// belongs to the message), fields separated by tabs after the timestamp.
inline std::vector<LogEntry> read_log(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<LogEntry> entries;
  size_t start = 0;
  for (size_t i = 0; i < all.size(); ++i) {
    if (all[i] != '\n' || (i > 0 && all[i - 1] == '\r')) continue;
    const std::string line = all.substr(start, i - start);
    start = i + 1;
    const size_t tab1 = line.find('\t');
    const size_t tab2 = tab1 == std::string::npos ? std::string::npos : line.find('\t', tab1 + 1);
    if (tab2 == std::string::npos) {
      entries.push_back({"<malformed>", line});
      continue;
    }
    entries.push_back({line.substr(tab1 + 1, tab2 - tab1 - 1), line.substr(tab2 + 1)});
  }
  return entries;
}

// Makes a folder (with its parents) or an empty file, and gives it a short name when
// one is asked for. Returns false when the volume refused.
inline bool make_dir(const std::string& path, const std::string& short_name = "") {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  return !ec && (short_name.empty() || NtfsVolume::set_short_name(path, short_name));
}
inline bool make_file(const std::string& path, const std::string& short_name = "", const std::string& content = "") {
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  {
    std::ofstream out(path, std::ios::binary);
    out << content;
    if (!out) return false;
  }
  return short_name.empty() || NtfsVolume::set_short_name(path, short_name);
}

// The bytes of a file ("" when it cannot be read).
inline std::string file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// UTF-16LE bytes of an ASCII or UTF-8 text, as a report file holds them.
inline std::string utf16le(const std::string& text) {
  std::string out;
  for (char16_t c : regf::from_utf8(text)) {
    out += static_cast<char>(c & 0xFF);
    out += static_cast<char>(c >> 8);
  }
  return out;
}

inline std::u16string u16(const std::string& s) { return regf::from_utf8(s); }
inline std::string u8(std::u16string_view s) { return regf::to_utf8(s); }

// Enables the backup and restore privileges that mounting a hive needs (tests run as
// an administrator, who holds them disabled).
inline bool enable_mount_privileges() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return false;
  for (const char16_t* name : {SE_BACKUP_NAME, SE_RESTORE_NAME}) {
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (!LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid) ||
        !AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr))
      return false;
  }
  return true;
}

// Values and keys of a hive built for a test.
inline regf::TreeValue string_value(const std::u16string& name, const std::u16string& text,
                                    uint32_t type = regf::kRegSz) {
  regf::TreeValue v{name, type, {}};
  for (char16_t c : text) {
    v.data.push_back(static_cast<uint8_t>(c & 0xFF));
    v.data.push_back(static_cast<uint8_t>(c >> 8));
  }
  v.data.push_back(0);
  v.data.push_back(0);
  return v;
}
inline regf::TreeValue binary_value(const std::u16string& name, std::vector<uint8_t> bytes) {
  return regf::TreeValue{name, regf::kRegBinary, std::move(bytes)};
}
inline regf::TreeKey key(const std::u16string& name, std::vector<regf::TreeValue> values = {},
                         std::vector<regf::TreeKey> subkeys = {}) {
  regf::TreeKey k;
  k.name = name;
  k.values = std::move(values);
  k.subkeys = std::move(subkeys);
  return k;
}

// Writes a new hive file holding `root`; false on failure.
inline bool write_hive(const std::string& path, const regf::TreeKey& root) {
  auto image = regf::build_hive(root);
  if (!image) return false;
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(image->data()), static_cast<std::streamsize>(image->size()));
  return static_cast<bool>(out);
}

// The content of a hive file, read with the hive engine.
inline std::optional<regf::TreeKey> read_hive(const std::string& path) {
  auto hive = regf::Hive::open_file(path);
  if (!hive) return std::nullopt;
  auto tree = regf::read_tree(*hive);
  if (!tree) return std::nullopt;
  return std::move(*tree);
}

// The value at a key path below `root` (names matched exactly), or null.
inline const regf::TreeValue* find_value(const regf::TreeKey& root, const std::vector<std::u16string>& path,
                                         const std::u16string& name) {
  const regf::TreeKey* at = &root;
  for (const auto& part : path) {
    const regf::TreeKey* next = nullptr;
    for (const auto& sub : at->subkeys)
      if (sub.name == part) next = &sub;
    if (!next) return nullptr;
    at = next;
  }
  for (const auto& v : at->values)
    if (v.name == name) return &v;
  return nullptr;
}

// The text of a string value's data as stored, up to its first terminator.
inline std::string value_text(const regf::TreeValue* v) {
  if (!v) return "<missing>";
  std::u16string text;
  for (size_t i = 0; i + 1 < v->data.size(); i += 2) {
    const char16_t c = static_cast<char16_t>(v->data[i] | (v->data[i + 1] << 8));
    if (c == 0) break;
    text += c;
  }
  return regf::to_utf8(text);
}

}  // namespace hivemend::testing
