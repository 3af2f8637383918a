#include "repair/ResolvedSummary.h"

#include "base/buffers.h"
#include "log/Log.h"
#include "win32/unique.h"

namespace {

using hivemend::win32::UniqueFile;

SummaryCountersReceiver g_pfnCountersReceiver = nullptr;

// Appends a formatted line to the report text; a line that would not fit is cut.
void AppendLine(WCHAR* report, LPCWSTR format, DWORD count) {
  WCHAR number[kLetterListChars] = {};
  FormatCount(number, count);
  WCHAR line[kValueTextChars] = {};
  swprintf(line, format, number);
  wcsncat(report, line, kValueTextChars - 1 - wcslen(report));
}

}  // namespace

void SetSummaryCountersReceiver(SummaryCountersReceiver pfnReceiver) { g_pfnCountersReceiver = pfnReceiver; }

void HandOverSummaryCounters(DWORD dwPathsResolved, DWORD dwPathsSkipped, DWORD dwValuesAccessed) {
  if (g_pfnCountersReceiver != nullptr) g_pfnCountersReceiver(dwPathsResolved, dwPathsSkipped, dwValuesAccessed);
}

void FormatCount(WCHAR* pszDest, DWORD dwCount) {
  // Every 32-bit count is exact as a double; "%.0f" gives its plain digits.
  WCHAR digits[kLetterListChars] = {};
  swprintf(digits, u"%.0f", static_cast<double>(dwCount));
  constexpr size_t kScratch = 25;
  WCHAR grouped[kScratch] = {};
  size_t at = kScratch - 1;  // filled from its end; the last character stays the terminator
  const size_t n = wcslen(digits);
  for (size_t i = 0; i < n; ++i) {
    if (i > 0 && i % 3 == 0) grouped[--at] = u',';
    grouped[--at] = digits[n - 1 - i];
  }
  wcscpy(pszDest, grouped + at);
}

void WriteResolvedSummary(const CLog* pLog, DWORD dwPathsResolved, DWORD dwPathsSkipped, DWORD dwValuesAccessed,
                          DWORD dwClassesRootCount, DWORD dwCurrentUserCount, DWORD dwLocalMachineCount,
                          DWORD dwUsersCount, DWORD dwCurrentConfigCount) {
  if (pLog == nullptr) return;
  // Opened for writing without sharing, closed on every way out.
  const UniqueFile file(CreateFileW(pLog->m_szLogFile, GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr));
  if (!file) return;
  SetFilePointer(file.get(), 0, nullptr, FILE_END);

  // Labels fill 20 columns, so "- " always begins in the 21st.
  WCHAR report[kValueTextChars] = {};
  wcscpy(report, u"\r\n====== Registry Entries Resolved ========\r\n\r\n");
  AppendLine(report, u"HKEY_CLASSES_ROOT   - %s\r\n", dwClassesRootCount);
  AppendLine(report, u"HKEY_CURRENT_USER   - %s\r\n", dwCurrentUserCount);
  AppendLine(report, u"HKEY_LOCAL_MACHINE  - %s\r\n", dwLocalMachineCount);
  AppendLine(report, u"HKEY_USERS          - %s\r\n", dwUsersCount);
  AppendLine(report, u"HKEY_CURRENT_CONFIG - %s\r\n", dwCurrentConfigCount);
  AppendLine(report, u"\r\nValues Accessed     - %s", dwValuesAccessed);
  AppendLine(report, u"\r\nPaths Resolved      - %s", dwPathsResolved);
  AppendLine(report, u"\r\nPaths Skipped       - %s\r\n", dwPathsSkipped);

  DWORD written = 0;
  WriteFile(file.get(), report, static_cast<DWORD>(wcslen(report) * sizeof(WCHAR)), &written, nullptr);
}
