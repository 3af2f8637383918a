// The repair summary: one block of counters, headed "Registry Entries Resolved",
// appended to the report file that the run's log object names.
#pragma once

#include "win32/windows.h"

class CLog;

// Appends the block to pLog->m_szLogFile as UTF-16LE without byte-order mark, creating
// the file when it is missing. Nothing is written without a log object or when the file
// cannot be opened (it is opened without sharing); a failed write is not noticed.
void WriteResolvedSummary(const CLog* pLog, DWORD dwPathsResolved, DWORD dwPathsSkipped, DWORD dwValuesAccessed,
                          DWORD dwClassesRootCount, DWORD dwCurrentUserCount, DWORD dwLocalMachineCount,
                          DWORD dwUsersCount, DWORD dwCurrentConfigCount);

// Tools around the program take the summary's counters as numbers, not from the
// report's text (grouped with commas for people). The Linux entry point names the one
// receiver; HandOverSummaryCounters gives it the run's counters, or does nothing.
using SummaryCountersReceiver = void (*)(DWORD dwPathsResolved, DWORD dwPathsSkipped, DWORD dwValuesAccessed);
void SetSummaryCountersReceiver(SummaryCountersReceiver pfnReceiver);
void HandOverSummaryCounters(DWORD dwPathsResolved, DWORD dwPathsSkipped, DWORD dwValuesAccessed);

// Writes `dwCount` as decimal digits grouped in threes from the right with ','
// (1234567 -> "1,234,567") into `pszDest`, a buffer of at least kLetterListChars.
void FormatCount(WCHAR* pszDest, DWORD dwCount);
