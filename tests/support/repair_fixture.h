// Test helpers for the program's own tests (app/, repair/, log/, settings/): a prefix of
// their own, the diagnostic log read back or captured, files and folders with chosen
// short names on an NTFS volume shared by a suite, hives built for a test, and the texts
// the repair writes. Header-only: it uses the platform layer and the program's log,
// which not every test program links.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "base/unicode.h"
#include "log/Log.h"
#include "regf/build.h"
#include "regf/hive.h"
#include "regf/tree.h"
#include "regf/walk.h"
#include "tests/support/files.h"
#include "tests/support/hives.h"
#include "tests/support/ntfs_volume.h"
#include "tests/support/prefix.h"
#include "tests/support/programs.h"
#include "win32/advapi32/security.h"
#include "win32/com/managed.h"
#include "win32/kernel32/sync.h"

namespace hivemend::testing {

// One entry of the diagnostic log.
struct LogEntry {
  std::string context;
  std::string message;
  bool operator==(const LogEntry&) const = default;
};
// Readable in test failures (the context, " | ", the message).
inline void PrintTo(const LogEntry& e, std::ostream* os) { *os << '{' << e.context << " | " << e.message << '}'; }

inline std::u16string u16(const std::string& s) { return base::from_utf8(s); }
inline std::string u8(std::u16string_view s) { return base::to_utf8(s); }

// The entries of a log text written by the default sink: each ends in a bare LF (CR LF
// belongs to the message), fields separated by tabs after the timestamp.
inline std::vector<LogEntry> log_entries(const std::string& all) {
  std::vector<LogEntry> entries;
  size_t start = 0;
  for (size_t i = 0; i < all.size(); ++i) {
    if (all[i] != '\n' || (i > 0 && all[i - 1] == '\r')) continue;
    const std::string line = all.substr(start, i - start);
    start = i + 1;
    const size_t tab1 = line.find('\t'), tab2 = tab1 == line.npos ? line.npos : line.find('\t', tab1 + 1);
    if (tab2 == line.npos)
      entries.push_back({"<malformed>", line});
    else
      entries.push_back({line.substr(tab1 + 1, tab2 - tab1 - 1), line.substr(tab2 + 1)});
  }
  return entries;
}

// The entries of a log file, once the lines this process logged have reached it.
inline std::vector<LogEntry> read_log(const std::string& path) {
  FlushLog();
  return log_entries(read_text(path));
}

// Sends the log lines to `into` for the life of the object; delivering a line whose
// context begins with one of `failing` runs out of memory instead.
class CapturedLog {
 public:
  explicit CapturedLog(std::vector<LogEntry>& into, std::vector<std::string> failing = {}) {
    SetLogSink([&into, failing](LPCWSTR context, LPCWSTR message) {
      const std::string text = base::to_utf8(context);
      for (const auto& f : failing)
        if (text.starts_with(f)) throw std::bad_alloc();
      into.push_back({text, base::to_utf8(message)});
    });
  }
  ~CapturedLog() { SetLogSink({}); }
  CapturedLog(const CapturedLog&) = delete;
  CapturedLog& operator=(const CapturedLog&) = delete;
};

// The managed runtime's counters of starts, stops and instances, as they stand now (all
// zero when the runtime cannot be loaded, a failure if it is `required`).
inline HIVEMEND_RUNTIME_COUNTERS runtime_counters(bool required = true) {
  HIVEMEND_RUNTIME_COUNTERS counters{};
  HMODULE runtime = LoadLibraryW(HIVEMEND_RUNTIME_FILE);
  if (!runtime) {
    if (required) ADD_FAILURE() << "the runtime is not beside the test program";
    return counters;
  }
  auto counters_of =
      reinterpret_cast<HIVEMEND_RUNTIME_COUNTERS_PROC>(GetProcAddress(runtime, HIVEMEND_RUNTIME_COUNTERS_NAME));
  if (counters_of) counters_of(&counters);
  FreeLibrary(runtime);
  return counters;
}

// Whether a named semaphore exists now.
inline bool semaphore_exists(const std::u16string& name) {
  HANDLE h = OpenSemaphoreW(SEMAPHORE_ALL_ACCESS, FALSE, name.c_str());
  if (h) CloseHandle(h);
  return h != nullptr;
}

// REGEDIT5 text of the product's App Paths key (32-bit view), naming
// HKEY_LOCAL_MACHINE\SOFTWARE\Tessaro\<product> its registry root, with `values` besides.
inline std::string app_paths(const std::string& product, const std::string& values = "") {
  return "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432node\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Tessaro]\r\n"
         "\"RegPath\"=\"HKEY_LOCAL_MACHINE\\\\SOFTWARE\\\\Tessaro\\\\" +
         product + "\"\r\n" + values + "\r\n";
}

// Makes a folder (with its parents) or a file, and gives it a short name when one is
// asked for. Returns false when the volume refused.
inline bool make_dir(const std::string& path, const std::string& short_name = "") {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  return !ec && (short_name.empty() || NtfsVolume::set_short_name(path, short_name));
}
inline bool make_file(const std::string& path, const std::string& short_name = "", const std::string& content = "") {
  return write_text(path, content) && (short_name.empty() || NtfsVolume::set_short_name(path, short_name));
}

// UTF-16LE bytes of a UTF-8 text, as a report file holds them.
inline std::string utf16le(const std::string& text) {
  const Bytes bytes = utf16(base::from_utf8(text), false);
  return std::string(bytes.begin(), bytes.end());
}

// Values and keys of a hive built for a test.
inline regf::TreeValue string_value(const std::u16string& name, const std::u16string& text,
                                    uint32_t type = regf::kRegSz) {
  return regf::TreeValue{name, type, utf16(text)};
}
inline regf::TreeValue binary_value(const std::u16string& name, std::vector<uint8_t> bytes) {
  return regf::TreeValue{name, regf::kRegBinary, std::move(bytes)};
}
inline regf::TreeKey key(const std::u16string& name, std::vector<regf::TreeValue> values = {},
                         std::vector<regf::TreeKey> subkeys = {}) {
  return regf::TreeKey{name, {}, 0, std::move(values), std::move(subkeys)};
}
// A MountedDevices entry in the 12-byte form: disk signature and partition offset,
// little-endian; `bytes` cuts it short.
inline std::vector<uint8_t> mounted_device(uint32_t signature, uint64_t offset, size_t bytes = 12) {
  std::vector<uint8_t> data;
  for (int i = 0; i < 4; ++i) data.push_back(uint8_t(signature >> (8 * i)));
  for (int i = 0; i < 8; ++i) data.push_back(uint8_t(offset >> (8 * i)));
  data.resize(bytes);
  return data;
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
  for (size_t i = 0; i + 1 < v->data.size() && (v->data[i] || v->data[i + 1]); i += 2)
    text += char16_t(v->data[i] | (v->data[i + 1] << 8));
  return base::to_utf8(text);
}

// Value texts the repair tests store, their long forms on the test volumes, and the
// log lines and report the repair writes about them.
inline const std::u16string kTool = u"C:\\PROGRA~1\\App\\tool.exe";
inline const std::u16string kFoo = u"C:\\PROGRA~1\\COMMON~1\\System\\foo.dll";
inline const std::string kToolLong = "C:\\Program Files\\App\\tool.exe";
inline const std::string kFooLong = "C:\\Program Files\\Common Files\\System\\foo.dll";
inline const std::string kAttempted = "RegistryTraversal -> CheckList -> RESOLVE ATTEMPTED";

// The KEYPATH record of a candidate value, as the traversal logs it.
inline std::string keypath_record(const std::string& keypath, const std::string& name, const std::u16string& old_text,
                                  const std::string& new_text = "") {
  return "\r\nKEYPATH=\"" + keypath + "\"\r\nKEYNAME=\"" + name + "\"\r\nOLDVALUE=\"" + u8(old_text) +
         "\"\r\nNEWVALUE=\"" + new_text + "\"";
}
// One summary block of the report file, before its conversion to UTF-16.
inline std::string summary_block(const std::string& accessed, const std::string& resolved, const std::string& skipped) {
  return "\r\n====== Registry Entries Resolved ========\r\n\r\n"
         "HKEY_CLASSES_ROOT   - 0\r\nHKEY_CURRENT_USER   - 0\r\nHKEY_LOCAL_MACHINE  - 0\r\n"
         "HKEY_USERS          - 0\r\nHKEY_CURRENT_CONFIG - 0\r\n"
         "\r\nValues Accessed     - " +
         accessed + "\r\nPaths Resolved      - " + resolved + "\r\nPaths Skipped       - " + skipped + "\r\n";
}

// The layout the repair tests share on their volume: Program Files\App\tool.exe and
// Program Files\Common Files\System\foo.dll, ProgramData beside them, with the given
// short names (other than the digits stored in the tests' values).
inline bool lay_out_program_files(const NtfsVolume& v, const std::string& program_files,
                                  const std::string& program_data, const std::string& common_files) {
  return make_dir(v.path("Program Files"), program_files) && make_dir(v.path("ProgramData"), program_data) &&
         make_dir(v.path("Program Files/Common Files/System")) &&
         NtfsVolume::set_short_name(v.path("Program Files/Common Files"), common_files) &&
         make_file(v.path("Program Files/Common Files/System/foo.dll")) &&
         make_file(v.path("Program Files/App/tool.exe"));
}

// A suite on one NTFS volume laid out once for all its tests by Suite::LayOut; each test
// gets a prefix of its own with the volume as drive C. Skips loudly where no volume can
// be had.
template <typename Suite>
class VolumeSuite : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    volume_ = NtfsVolume::create(&why_not_);
    laid_out_ = volume_ && Suite::LayOut(*volume_);
  }
  static void TearDownTestSuite() { volume_.reset(); }
  void SetUp() override {
    if (!volume_) { GTEST_SKIP() << "NO NTFS VOLUME ON THIS MACHINE, test not run: " << why_not_; }
    ASSERT_TRUE(laid_out_) << "could not lay out the test volume";
    ASSERT_TRUE(prefix_.define_drive('c', volume_->root()));
  }

  static inline std::unique_ptr<NtfsVolume> volume_;
  static inline std::string why_not_;
  static inline bool laid_out_ = false;
  TestPrefix prefix_;
};

}  // namespace hivemend::testing
