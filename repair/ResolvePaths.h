// Path resolution: turns a path written with 8.3 short names (PROGRA~1) into the same
// path with the long names that exist on disk now. Short names are given out per
// volume in creation order, so the digits after '~' are not trusted: every entry whose
// name begins with the characters before '~' is tried, and the first under which the
// rest of the path exists is kept.
#pragma once

#include "win32/windows.h"

struct RepairRun;

// Resolves `pszValue` into `pszResult` (kValueTextChars, shared by every level of the
// recursion). `pszRemainder` is null at the top level and points into `pszValue` at the
// deeper levels, one per path component. Returns 1 when resolved, 0 when not (the result
// then holds whatever the last attempt wrote). A failure inside a level is logged
// (outside rescue-transfer mode) and raised as RepairFailure.
//
// Chosen here:
// - a text ending in a short component directly under the root and a '\'
//   (C:\PROGRA~1\) is resolved like one deeper down: the first matching entry is taken,
//   followed by '\';
// - a text that would not fit kValueTextChars (or whose pattern would not) at some
//   attempt fails that attempt, without writing past the buffer;
// - ":\" at the very start (no drive letter) is not resolved;
// - a level's directory search is closed on every way out, a raised failure included.
DWORD ResolvePaths(const RepairRun& run, LPCWSTR pszValue, WCHAR* pszResult, LPCWSTR pszRemainder);
