// The value check list: judges one candidate value text, answers repeated texts from
// the run's cache of resolved texts, translates drive letters in rescue-transfer mode,
// and runs the resolution cycles of ResolvePaths.
#pragma once

#include <memory>

#include "win32/windows.h"

struct RepairRun;

// One cache entry: a value text as it came to CheckList and the repaired text returned
// for it. Each text is its own zero-terminated block, owned by the entry.
struct ResolvedItem {
  std::unique_ptr<WCHAR[]> pszOldText;
  std::unique_ptr<WCHAR[]> pszNewText;
};

// The most ResolvePaths calls for one value: a first cycle typically replaces short
// directory names, a second the short file name; a long name that itself holds '~'
// keeps the text looking short, and the cycles end after this many calls.
inline constexpr int kResolveCycles = 65;

// Whether the traversal hands a REG_SZ text to CheckList: it names a drive path (":\")
// with a short-name component ('~').
bool IsCandidateText(LPCWSTR pszText);

// Judges `pszText` (a buffer of kValueTextChars, which it may overwrite); on 1,
// `pszResult` (kValueTextChars, arriving zero-filled) holds the repaired text. 0: the
// value is left alone. Counts every call in m_dwPathsResolved. A failure inside is
// logged (outside rescue-transfer mode) and raised as RepairFailure.
DWORD CheckList(RepairRun& run, WCHAR* pszText, WCHAR* pszResult);
