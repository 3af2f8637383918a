#include "log/Log.h"

#include <sys/stat.h>

#include <algorithm>
#include <iterator>
#include <new>
#include <string>
#include <utility>

#include "base/product_keys.h"
#include "log/ManagedCall.h"
#include "settings/RegistryHelpers.h"
#include "win32/host/prefix.h"

namespace {

constexpr char kLogAssembly[] = "TsoExtractAccess";
constexpr char kLogType[] = "Tsovane.ExtractAccess";

LogSink& CurrentSink() {
  static LogSink sink;
  return sink;
}

// Hands the line to ExtendedLogMessage of the managed logging component. The texts go
// by address, for the component runs in this process: each argument is an integer
// VARIANT at full pointer width, which is VT_I8 (VT_INT stays 32 bits in a 64-bit
// process and would cut the address).
void CallLogComponent(LPCWSTR pszContext, LPCWSTR pszMessage) {
  VARIANT args[2];  // last argument first
  VariantInit(&args[0]);
  args[0].vt = VT_I8;
  args[0].llVal = static_cast<LONGLONG>(reinterpret_cast<LONG_PTR>(pszMessage));
  VariantInit(&args[1]);
  args[1].vt = VT_I8;
  args[1].llVal = static_cast<LONGLONG>(reinterpret_cast<LONG_PTR>(pszContext));
  VARIANT result;
  VariantInit(&result);
  result.vt = VT_INT;
  result.intVal = 0;
  // Nothing reads the status or the result: a line that cannot be delivered is dropped.
  CallManagedMethod(kLogAssembly, kLogType, u"ExtendedLogMessage", 2, args, &result);
  VariantClear(&result);
}

}  // namespace

LogSink SetLogSink(LogSink sink) { return std::exchange(CurrentSink(), std::move(sink)); }

void Log(LPCWSTR pszContext, LPCWSTR pszMessage) {
  try {
    const LogSink& sink = CurrentSink();
    if (sink)
      sink(pszContext, pszMessage);
    else
      CallLogComponent(pszContext, pszMessage);
  } catch (const std::bad_alloc&) { throw; } catch (...) {
    // A line that could not be delivered is dropped: logging never stops the repair.
  }
}

void FlushLog() {
  VARIANT result;
  VariantInit(&result);
  // As for a line, nothing reads the status: entries that cannot be written are lost.
  CallManagedMethod(kLogAssembly, kLogType, u"Flush", 0, nullptr, &result);
  VariantClear(&result);
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
  wcsncat(key, kWickmarSubkey, kLogFileChars - 1 - wcslen(key));
  ReadRegValue(HKEY_LOCAL_MACHINE, key, kDetailedLogValue, reinterpret_cast<LPBYTE>(&m_dwDetailedLog),
               sizeof m_dwDetailedLog);
  // One character is kept back, so a stored text without its terminator still ends.
  if (!ReadRegValue(HKEY_LOCAL_MACHINE, key, kReportFileValue, reinterpret_cast<LPBYTE>(m_szLogFile),
                    (kLogFileChars - 1) * sizeof(WCHAR)) ||
      m_szLogFile[0] == 0) {
    std::fill(std::begin(m_szLogFile), std::end(m_szLogFile), 0);
    DefaultReportFile(m_szLogFile);
  }
}
