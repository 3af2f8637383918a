#include "repair/CheckList.h"

#include <algorithm>
#include <string>
#include <string_view>

#include "base/buffers.h"
#include "log/Log.h"
#include "repair/RepairRun.h"
#include "repair/ResolvePaths.h"

namespace {

// A zero-terminated copy of `text` in a block of its own.
std::unique_ptr<WCHAR[]> CopyText(std::u16string_view text) {
  auto block = std::make_unique<WCHAR[]>(text.size() + 1);
  text.copy(block.get(), text.size());
  return block;
}

void CopyInto(WCHAR* buffer, std::u16string_view text) {
  const size_t n = std::min(text.size(), kValueTextChars - 1);
  text.copy(buffer, n);
  buffer[n] = 0;
}

// Appends one cache entry for `original` -> `pszResult`. A failure (out of memory) is
// logged and raised.
void AddResolvedItem(RepairRun& run, std::u16string_view original, const WCHAR* pszResult) {
  try {
    auto item = std::make_unique<ResolvedItem>();
    item->pszOldText = CopyText(original);
    item->pszNewText = CopyText(pszResult);
    const std::u16string_view key(item->pszOldText.get());
    const WCHAR* pszNew = item->pszNewText.get();
    run.m_vecResolved.push_back(std::move(item));
    // The first item of a text stays indexed, as a walk from the front would find it.
    run.m_mapResolvedIndex.add(key, pszNew);
  } catch (...) {
    if (!run.m_bRescueTransfer) Log(u"CheckList -> HeapAlloc -> exception ", pszResult);
    throw RepairFailure{};
  }
}

}  // namespace

bool IsCandidateText(LPCWSTR pszText) { return wcsstr(pszText, u":\\") != nullptr && wcschr(pszText, u'~') != nullptr; }

DWORD CheckList(RepairRun& run, WCHAR* pszText, WCHAR* pszResult) {
  try {
    ++run.m_dwPathsResolved;

    // Exact, case-sensitive match of the whole text; the index yields the first item
    // of the text in insertion order.
    if (const WCHAR* const* hit = run.m_mapResolvedIndex.find(pszText)) {
      CopyInto(pszResult, *hit);
      return 1;
    }
    const std::u16string original(pszText);

    // Rescue transfer: the text names the partition by the source system's letter;
    // search it under the letter the partition has now, and give the old letter back.
    const WCHAR chFirst = pszText[0];
    if (run.m_bRescueTransfer) {
      if (chFirst == 0) return 0;
      if (chFirst == u'C') {
        pszText[0] = run.m_chSrcLetterForC;
      } else {
        const WCHAR* letter = wcschr(run.m_szSrcHiveLetters, chFirst);
        if (letter == nullptr) return 0;
        pszText[0] = run.m_szSrcLetters[letter - run.m_szSrcHiveLetters];
      }
      // A letter 0 leaves an empty text, which does not resolve.
    }

    // A text searched before in vain, on a volume unchanged since, is not searched again.
    const int drive = UnresolvedTexts::DriveOf(pszText);
    if (drive >= 0 && run.m_unresolved.Known(drive, pszText)) {
      pszText[0] = chFirst;
      return 0;
    }
    const std::u16string searched = drive >= 0 ? std::u16string(pszText) : std::u16string();

    DWORD resolved = 0;
    for (int cycle = 0; cycle < kResolveCycles; ++cycle) {
      resolved = ResolvePaths(run, pszText, pszResult, nullptr);
      CopyInto(pszText, pszResult);
      if (resolved == 0 || wcschr(pszResult, u'~') == nullptr) break;
    }

    if (run.m_bRescueTransfer) {
      pszText[0] = chFirst;
      pszResult[0] = chFirst;
    }
    // Texts resolved only in part are neither returned nor cached.
    if (resolved == 0) {
      if (drive >= 0) run.m_unresolved.Add(drive, searched);
      return 0;
    }

    AddResolvedItem(run, original, pszResult);
    return 1;
  } catch (...) {
    if (!run.m_bRescueTransfer) Log(u"CheckList -> outer loop -> exception ", pszText);
    throw RepairFailure{};
  }
}
