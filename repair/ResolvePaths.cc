#include "repair/ResolvePaths.h"

#include <string_view>

#include "base/buffers.h"
#include "log/Log.h"
#include "repair/RepairRun.h"
#include "win32/unique.h"

namespace {

using std::u16string_view;

using hivemend::win32::UniqueFind;

// Writes `a` then `b` at position `at` of a kValueTextChars buffer, terminated, replacing
// what stood there; false (buffer untouched) when they would not fit.
bool PutAt(WCHAR* buffer, size_t at, u16string_view a, u16string_view b = {}) {
  if (at + a.size() + b.size() + 1 > kValueTextChars) return false;
  a.copy(buffer + at, a.size());
  b.copy(buffer + at + a.size(), b.size());
  buffer[at + a.size() + b.size()] = 0;
  return true;
}

// The existence check of a final component: the path without what follows it in a
// value text (an argument after '/', a resource index after ',', a closing quote, an
// argument after ".exe", trailing blanks).
bool FinalPathExists(u16string_view result) {
  u16string_view path = result;
  for (char16_t stop : {u'/', u',', u'"'}) {
    const size_t at = path.find(stop);
    if (at != u16string_view::npos) path = path.substr(0, at);
  }
  // Only the lower-case spelling counts, as the program always did.
  if (const size_t exe = path.find(u".exe"); exe != u16string_view::npos) path = path.substr(0, exe + 4);
  while (!path.empty() && path.back() == u' ') path.remove_suffix(1);

  WCHAR search[kValueTextChars] = {};
  if (!PutAt(search, 0, path)) return false;
  WIN32_FIND_DATAW data{};
  const UniqueFind found(FindFirstFileW(search, &data));
  return bool(found);
}

// What one level of the resolution searches for, and where what it finds goes.
struct Level {
  WCHAR search[kValueTextChars] = {};  // the directory search text, before its "*.*"
  size_t insertAt = 0;                 // where a found name goes in the result
  LPCWSTR nextRemainder = nullptr;     // the text the next level resolves
  bool takeFirst = false;              // the first entry found ends the resolution...
  bool keepBackslash = false;          // ...with a backslash after it
  u16string_view prefix;               // what stood in front of the drive letter
};

constexpr auto npos = u16string_view::npos;

// Only the file name is short: its directory is searched for it, short name and all.
bool PlanShortFileName(u16string_view value, WCHAR* pszResult, Level& level) {
  if (pszResult[0] == 0 && !PutAt(pszResult, 0, value)) return false;
  const u16string_view result(pszResult);
  const size_t resultBackslash = result.rfind(u'\\');
  if (resultBackslash == npos || !PutAt(level.search, 0, result)) return false;
  level.insertAt = resultBackslash + 1;
  level.takeFirst = true;
  return true;
}

// The first level: the drive letter up to the first short component is searched, and
// the directories in front of that component are kept as written.
bool PlanFirstLevel(LPCWSTR pszValue, size_t firstTilde, WCHAR* pszResult, Level& level) {
  const u16string_view value(pszValue);
  const size_t colon = value.find(u":\\");
  if (colon == npos || colon == 0) return false;
  level.prefix = value.substr(0, colon - 1);
  u16string_view text = value.substr(colon - 1);
  const size_t tilde = text.find(u'~');
  if (tilde == npos) return false;
  text = text.substr(0, tilde);
  if (text.size() < 3 || !PutAt(level.search, 0, text)) return false;

  // The end of the first short component; what follows is for the next level.
  const size_t componentEnd = value.find(u'\\', firstTilde);
  if (componentEnd == npos) return false;
  level.nextRemainder = pszValue + componentEnd + 1;
  if (*level.nextRemainder == 0) {
    level.takeFirst = true;
    level.keepBackslash = true;
  }
  const size_t cut = text.find(u'\\', 3) != npos ? text.rfind(u'\\') + 1 : 3;
  if (!PutAt(pszResult, 0, text.substr(0, cut))) return false;
  level.insertAt = cut;
  return true;
}

enum class Plan { kSearch, kResolved, kFailed };

// A later level: the next component of the remainder is searched below the directories
// resolved so far; the last component is not searched but checked for existence.
Plan PlanNextLevel(LPCWSTR pszRemainder, WCHAR* pszResult, Level& level) {
  const u16string_view remainder(pszRemainder);
  level.insertAt = u16string_view(pszResult).size();
  const size_t backslash = remainder.find(u'\\');
  if (backslash == npos) {
    // The resolved directories, then the rest of the text as written.
    if (!PutAt(pszResult, level.insertAt, remainder)) return Plan::kFailed;
    return FinalPathExists(pszResult) ? Plan::kResolved : Plan::kFailed;
  }
  if (!PutAt(level.search, 0, u16string_view(pszResult), remainder.substr(0, remainder.find_first_of(u"\\~"))))
    return Plan::kFailed;
  level.nextRemainder = pszRemainder + backslash + 1;
  return Plan::kSearch;
}

// Directory search: every entry whose long or short name begins with the search text,
// until one resolves the rest of the value.
bool SearchLevel(const RepairRun& run, LPCWSTR pszValue, WCHAR* pszResult, Level& level) {
  if (!PutAt(level.search, u16string_view(level.search).size(), u"*.*")) return false;
  WIN32_FIND_DATAW data{};
  const UniqueFind found(FindFirstFileW(level.search, &data));
  if (!found) return false;
  do {
    const u16string_view name(data.cFileName);
    if (level.takeFirst) return PutAt(pszResult, level.insertAt, name, level.keepBackslash ? u"\\" : u"");
    if (PutAt(pszResult, level.insertAt, name, u"\\") &&
        ResolvePaths(run, pszValue, pszResult, level.nextRemainder) != 0)
      return true;
  } while (FindNextFileW(found.get(), &data));
  return false;
}

DWORD ResolveLevel(const RepairRun& run, LPCWSTR pszValue, WCHAR* pszResult, LPCWSTR pszRemainder) {
  const u16string_view value(pszValue);
  Level level;
  const size_t lastBackslash = value.rfind(u'\\');
  const size_t firstTilde = value.find(u'~');
  if (lastBackslash != npos && firstTilde != npos && firstTilde > lastBackslash) {
    if (!PlanShortFileName(value, pszResult, level)) return 0;
  } else if (pszRemainder == nullptr) {
    if (!PlanFirstLevel(pszValue, firstTilde, pszResult, level)) return 0;
  } else if (const Plan plan = PlanNextLevel(pszRemainder, pszResult, level); plan != Plan::kSearch) {
    return plan == Plan::kResolved ? 1 : 0;
  }
  if (!SearchLevel(run, pszValue, pszResult, level)) return 0;
  if (!level.prefix.empty()) {
    // Put back what stood in front of the drive letter (a quote, a program and a blank).
    WCHAR joined[kValueTextChars] = {};
    if (!PutAt(joined, 0, level.prefix, u16string_view(pszResult))) return 0;
    PutAt(pszResult, 0, joined);
  }
  return 1;
}

}  // namespace

DWORD ResolvePaths(const RepairRun& run, LPCWSTR pszValue, WCHAR* pszResult, LPCWSTR pszRemainder) {
  try {
    return ResolveLevel(run, pszValue, pszResult, pszRemainder);
  } catch (...) {
    if (!run.m_bRescueTransfer) Log(u"ResolvePaths -> exception ", pszValue);
    throw RepairFailure{};
  }
}
