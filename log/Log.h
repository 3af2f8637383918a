// The diagnostic log: the one way a diagnostic line leaves the program, and the log
// object of a repair run.
#pragma once

#include <functional>

#include "repair/buffers.h"
#include "win32/windows.h"

// Hands one diagnostic line to the log sink: a context naming where it comes from
// ("CheckList -> outer loop -> exception ") and a message that reads as its
// continuation. Best effort: a failing sink is ignored, except that running out of
// memory (std::bad_alloc) passes to the caller, as the design of the managed log call
// lets the allocator's failure through. Callable from inside exception handlers.
void Log(LPCWSTR pszContext, LPCWSTR pszMessage);

// Where log lines go. The default sink appends one entry per call to
// logs/hivemend.log in the prefix: a timestamp, a tab, the context, a tab, the message,
// then a bare LF (messages may hold CR LF line breaks of their own), in UTF-8.
// Replaced by the managed logging component once it is hosted.
using LogSink = std::function<void(LPCWSTR pszContext, LPCWSTR pszMessage)>;

// Installs a sink (an empty one restores the default) and returns the one it replaces.
// The one place where tests inject a failing log call.
LogSink SetLogSink(LogSink sink);

// The log object of a repair run: names the report file that the summary is appended
// to, and holds a copy of the "DetailedLog" switch that nothing reads (the run reads
// the same value into its own flag).
class CLog {
 public:
  // Reads "DetailedLog" and "ReportFile" below the product registry root followed by
  // "\Wickmar". Without "ReportFile" (or when it does not fit), the report file is
  // hivemend-report.txt in the prefix's logs/ folder, by its Windows name.
  CLog();
  virtual ~CLog() = default;
  CLog(const CLog&) = delete;
  CLog& operator=(const CLog&) = delete;

  WCHAR m_szLogFile[kLogFileChars];
  DWORD m_dwDetailedLog;
};
