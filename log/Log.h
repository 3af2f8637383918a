// The diagnostic log: the one way a diagnostic line leaves the program, and the log
// object of a repair run.
#pragma once

#include <functional>

#include "base/buffers.h"
#include "win32/windows.h"

// Hands one diagnostic line to ExtendedLogMessage of the product's managed logging
// component (type "Tsovane.ExtractAccess" of assembly "TsoExtractAccess"): a context
// naming where it comes from ("CheckList -> outer loop -> exception ") and a message
// that reads as its continuation, both by address. Best effort: a failing call is
// dropped, except that running out of memory (std::bad_alloc) passes to the caller.
// Callable from inside exception handlers; keeps nothing between calls.
void Log(LPCWSTR pszContext, LPCWSTR pszMessage);

// Makes every line handed over so far reach the log file: the component writes its
// entries in blocks (docs/managed-host.md), so a reader of the file in this same process
// calls this first. Calls Flush of the same component; best effort, as Log.
void FlushLog();

// Where log lines go instead of the managed component, for tests that capture the lines
// or make a log call fail. No sink (the default) is the managed component.
using LogSink = std::function<void(LPCWSTR pszContext, LPCWSTR pszMessage)>;

// Installs a sink (an empty one restores the managed component) and returns the one it
// replaces.
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
