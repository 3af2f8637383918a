// The single-instance guard shared by the product's tools: one named kernel object per
// tool that exists while the tool runs.
#pragma once

#include "win32/windows.h"

class COrnOptions;

// Tool indexes of the product's tools; 8 and 9 have no tool.
inline constexpr DWORD kToolIndexTalvin = 1;  // the index start-up of this program uses
inline constexpr DWORD kToolIndexHivemend = 11;
inline constexpr DWORD kLastToolIndex = 11;

// One row of the tool name table.
struct ToolNames {
  LPCWSTR pszMutexName;
  size_t nMutexSlot;  // index into COrnOptions::m_hToolMutex
  LPCWSTR pszSemaphoreName;
};

// The row of a tool index, or null for an index without a tool (0, 8, 9, above 11).
const ToolNames* FindToolNames(DWORD dwToolIndex);

// Whether the tool may go on. Both forms first read "InstallGlobal" under the product
// registry root's "\Settings\Setup": exactly "NO" puts the object in the "Local\"
// namespace, anything else (or nothing) in "Global\".
//  - phSemaphore null (mutex form): creates the tool's mutex and stores its handle,
//    also when refused, in its slot of pOptions->m_hToolMutex. FALSE when the mutex
//    existed already or could not be created.
//  - phSemaphore set (semaphore form): creates the tool's semaphore (count 0, maximum 1)
//    and stores its handle, also when refused, through phSemaphore. FALSE only when the
//    semaphore existed already; any other failure lets the caller go on.
// A tool index without a row: TRUE, nothing created.
BOOL CheckSingleInstance(COrnOptions* pOptions, DWORD dwToolIndex, HANDLE* phSemaphore);
