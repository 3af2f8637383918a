#include "tools/hivemend-repair/look.h"

#include <cinttypes>
#include <cstdio>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "base/buffers.h"
#include "base/unicode.h"
#include "log/Log.h"
#include "repair/CheckList.h"
#include "repair/RepairRun.h"
#include "win32/host/ntfs_records.h"
#include "win32/unique.h"
#include "win32/windows.h"

namespace hivemend::repair_tool {

namespace {

// The longest text the traversal examines: a REG_SZ value's data, terminator included,
// is read into kValueDataBytes; a longer value is counted and passed over.
constexpr size_t kExaminedChars = kValueDataBytes / sizeof(WCHAR) - 1;

// Like dir /x: one line per entry, then an empty line; a search that fails (at its start
// or part way) gives its Windows error code.
void list_pattern(const std::u16string& pattern) {
  WIN32_FIND_DATAW data{};
  const win32::UniqueFind found(FindFirstFileW(pattern.c_str(), &data));
  if (found) {
    do {
      const uint64_t size = uint64_t(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
      std::printf("%08" PRIX32 "\t%" PRIu64 "\t%s\t%s\n", uint32_t(data.dwFileAttributes), size,
                  base::to_utf8(data.cAlternateFileName).c_str(), base::to_utf8(data.cFileName).c_str());
    } while (FindNextFileW(found.get(), &data));
  }
  if (const DWORD error = GetLastError(); !found || error != ERROR_NO_MORE_FILES)
    std::printf("! %" PRIu32 "\n", uint32_t(error));
  std::putchar('\n');
}

// The repair's answer for `path` taken as a REG_SZ value's text: the text it would write,
// or "! " and why it leaves the value alone.
class Resolver {
 public:
  // The check list logs a failure before raising it; that line is the reason given.
  Resolver()
      : previous_sink_(SetLogSink([this](LPCWSTR context, LPCWSTR message) {
          if (logged_.empty()) logged_ = std::u16string(context) + message;
        })) {}
  ~Resolver() { SetLogSink(std::move(previous_sink_)); }
  Resolver(const Resolver&) = delete;
  Resolver& operator=(const Resolver&) = delete;

  std::string operator()(const std::u16string& path) {
    if (!IsCandidateText(path.c_str())) return "! not a candidate: no \":\\\" or no \"~\"";
    if (path.size() > kExaminedChars)
      return "! not examined: longer than " + std::to_string(kExaminedChars) + " characters";
    WCHAR text[kValueTextChars] = {}, result[kValueTextChars] = {};
    path.copy(text, path.size());
    logged_.clear();
    try {
      if (CheckList(run_, text, result) == 0) return "! not resolved (Paths Skipped)";
    } catch (const RepairFailure&) { return "! " + base::to_utf8(logged_); }
    return base::to_utf8(result);
  }

 private:
  RepairRun run_;  // one run's cache of resolved texts, as across a hive pass
  std::u16string logged_;
  LogSink previous_sink_;
};

void report_fallbacks() {
  const win32::NtfsFallbackCounts counts = win32::ntfs_fallbacks();
  for (size_t why = 0; why < size_t(win32::NtfsFallback::kCount); ++why)
    if (counts.count[why])
      std::fprintf(stderr, "hivemend-repair: read through ntfs-3g: %s: %" PRIu64 "\n",
                   win32::fallback_name(win32::NtfsFallback(why)), counts.count[why]);
}

}  // namespace

Status look(const Options& o) {
  Resolver resolve;
  const std::vector<std::string>& given = o.list ? *o.list : *o.resolve;
  const bool from_input = given.size() == 1 && given.front() == "-";
  std::string line;
  for (size_t n = 0; from_input ? bool(std::getline(std::cin, line)) : n < given.size(); ++n) {
    const std::string& text = from_input ? line : given[n];
    const auto wide = base::from_utf8_strict(text);
    if (!wide)
      return Error{
          (from_input ? "standard input, line " : std::string(o.list ? "--list" : "--resolve") + " argument ") +
          std::to_string(n + 1) + ": not UTF-8"};
    if (o.list)
      list_pattern(*wide);
    else
      std::puts(resolve(*wide).c_str());
    // A script reads the answer before it writes the next line.
    if (std::fflush(stdout) != 0) return Error{"standard output: write error"};
  }
  if (from_input && std::cin.bad()) return Error{"standard input: read error"};
  report_fallbacks();
  return base::Ok{};
}

}  // namespace hivemend::repair_tool
