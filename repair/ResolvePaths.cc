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

DWORD ResolveLevel(const RepairRun& run, LPCWSTR pszValue, WCHAR* pszResult, LPCWSTR pszRemainder) {
  constexpr auto npos = u16string_view::npos;
  const u16string_view value(pszValue);

  WCHAR search[kValueTextChars] = {};
  size_t insertAt = 0;
  LPCWSTR nextRemainder = nullptr;
  bool takeFirst = false;
  bool keepBackslash = false;
  u16string_view prefix;

  const size_t lastBackslash = value.rfind(u'\\');
  const size_t firstTilde = value.find(u'~');
  if (lastBackslash != npos && firstTilde != npos && firstTilde > lastBackslash) {
    // Only the file name is short: search its directory for it, short name and all.
    if (pszResult[0] == 0 && !PutAt(pszResult, 0, value)) return 0;
    const u16string_view result(pszResult);
    const size_t resultBackslash = result.rfind(u'\\');
    if (resultBackslash == npos || !PutAt(search, 0, result)) return 0;
    insertAt = resultBackslash + 1;
    takeFirst = true;
  } else if (pszRemainder == nullptr) {
    const size_t colon = value.find(u":\\");
    if (colon == npos || colon == 0) return 0;
    prefix = value.substr(0, colon - 1);
    u16string_view text = value.substr(colon - 1);
    const size_t tilde = text.find(u'~');
    if (tilde == npos) return 0;
    text = text.substr(0, tilde);  // drive letter up to the first short component
    if (text.size() < 3 || !PutAt(search, 0, text)) return 0;

    // The end of the first short component; what follows is for the next level.
    const size_t componentEnd = value.find(u'\\', firstTilde);
    if (componentEnd == npos) return 0;
    nextRemainder = pszValue + componentEnd + 1;
    if (*nextRemainder == 0) {
      takeFirst = true;
      keepBackslash = true;
    }
    if (text.find(u'\\', 3) != npos) {
      // The directories in front of the short component are kept as written.
      const size_t cut = text.rfind(u'\\') + 1;
      if (!PutAt(pszResult, 0, text.substr(0, cut))) return 0;
      insertAt = cut;
    } else {
      if (!PutAt(pszResult, 0, text.substr(0, 3))) return 0;
      insertAt = 3;
    }
  } else {
    const u16string_view remainder(pszRemainder);
    insertAt = u16string_view(pszResult).size();
    const size_t backslash = remainder.find(u'\\');
    if (backslash == npos) {
      // The last component: the resolved directories, then the rest of the text as written.
      if (!PutAt(pszResult, insertAt, remainder)) return 0;
      return FinalPathExists(pszResult) ? 1 : 0;
    }
    if (!PutAt(search, 0, u16string_view(pszResult), remainder.substr(0, remainder.find_first_of(u"\\~")))) return 0;
    nextRemainder = pszRemainder + backslash + 1;
  }

  // Directory search: every entry whose long or short name begins with the search text.
  if (!PutAt(search, u16string_view(search).size(), u"*.*")) return 0;
  WIN32_FIND_DATAW data{};
  const UniqueFind found(FindFirstFileW(search, &data));
  if (!found) return 0;
  bool resolved = false;
  do {
    const u16string_view name(data.cFileName);
    if (takeFirst) {
      resolved = PutAt(pszResult, insertAt, name, keepBackslash ? u"\\" : u"");
      break;
    }
    if (PutAt(pszResult, insertAt, name, u"\\") && ResolvePaths(run, pszValue, pszResult, nextRemainder) != 0)
      resolved = true;
  } while (!resolved && FindNextFileW(found.get(), &data));

  if (resolved && !prefix.empty()) {
    // Put back what stood in front of the drive letter (a quote, a program and a blank).
    WCHAR joined[kValueTextChars] = {};
    if (!PutAt(joined, 0, prefix, u16string_view(pszResult))) return 0;
    PutAt(pszResult, 0, joined);
  }
  return resolved ? 1 : 0;
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
