#include "log/Log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <iterator>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "regf/unicode.h"
#include "settings/RegistryHelpers.h"
#include "win32/prefix.h"

namespace {

std::u16string_view text_of(LPCWSTR p) { return p ? std::u16string_view(p) : std::u16string_view(); }

// The one write of the default sink; the managed logging component replaces it.
void AppendToLogFile(LPCWSTR pszContext, LPCWSTR pszMessage) {
  auto prefix = hivemend::win32::prefix_dir();
  if (!prefix) return;
  const std::string dir = *prefix + "/logs";
  ::mkdir(dir.c_str(), 0755);

  const auto now = std::chrono::system_clock::now();
  const std::time_t secs = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm tm{};
  localtime_r(&secs, &tm);
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%03d", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(millis));

  std::string line = stamp;
  line += '\t';
  line += regf::to_utf8(text_of(pszContext));
  line += '\t';
  line += regf::to_utf8(text_of(pszMessage));
  line += '\n';

  // One write of the whole entry with O_APPEND keeps entries whole and in order.
  const int fd = ::open((dir + "/hivemend.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  [[maybe_unused]] const ssize_t n = ::write(fd, line.data(), line.size());
  ::close(fd);
}

LogSink& CurrentSink() {
  static LogSink sink;
  return sink;
}

}  // namespace

LogSink SetLogSink(LogSink sink) { return std::exchange(CurrentSink(), std::move(sink)); }

void Log(LPCWSTR pszContext, LPCWSTR pszMessage) {
  try {
    const LogSink& sink = CurrentSink();
    if (sink)
      sink(pszContext, pszMessage);
    else
      AppendToLogFile(pszContext, pszMessage);
  } catch (const std::bad_alloc&) {
    throw;
  } catch (...) {
    // A line that could not be delivered is dropped: logging never stops the repair.
  }
}

namespace {

// The report file when the product names none: hivemend-report.txt in the prefix's
// logs/ folder, by its Windows name (through the drive whose root holds it).
void DefaultReportFile(WCHAR* pszFile) {
  auto prefix = hivemend::win32::prefix_dir();
  if (!prefix) return;
  const std::string dir = *prefix + "/logs";
  ::mkdir(dir.c_str(), 0755);
  auto windows = hivemend::win32::windows_path_of(dir + "/hivemend-report.txt");
  if (windows && windows->size() < kLogFileChars) windows->copy(pszFile, windows->size());
}

}  // namespace

CLog::CLog() : m_szLogFile{}, m_dwDetailedLog(0) {
  WCHAR key[kLogFileChars] = {};
  GetProductRegRoot(nullptr, key);
  wcsncat(key, u"\\Wickmar", kLogFileChars - 1 - wcslen(key));
  ReadRegValue(HKEY_LOCAL_MACHINE, key, u"DetailedLog", reinterpret_cast<LPBYTE>(&m_dwDetailedLog),
               sizeof m_dwDetailedLog);
  // One character is kept back, so a stored text without its terminator still ends.
  if (!ReadRegValue(HKEY_LOCAL_MACHINE, key, u"ReportFile", reinterpret_cast<LPBYTE>(m_szLogFile),
                    (kLogFileChars - 1) * sizeof(WCHAR)) ||
      m_szLogFile[0] == 0) {
    std::fill(std::begin(m_szLogFile), std::end(m_szLogFile), 0);
    DefaultReportFile(m_szLogFile);
  }
}
