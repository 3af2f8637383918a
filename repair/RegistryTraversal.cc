#include "repair/RegistryTraversal.h"

#include <algorithm>
#include <iterator>

#include "base/buffers.h"
#include "log/Log.h"
#include "repair/CheckList.h"
#include "repair/RepairRun.h"
#include "settings/RegistryHelpers.h"
#include "win32/unique.h"

namespace {

using hivemend::win32::UniqueKey;

constexpr LPCWSTR kRecordFormat = u"\r\nKEYPATH=\"%s\"\r\nKEYNAME=\"%s\"\r\nOLDVALUE=\"%s\"\r\nNEWVALUE=\"%s\"";

}  // namespace

void RegistryTraversal(RepairRun& run, HKEY hRoot, LPCWSTR pszKeyPath) {
  WCHAR szName[kValueTextChars] = {};
  // Two bytes more than the enumeration may fill, so the text always ends.
  alignas(WCHAR) BYTE data[kValueDataBytes + sizeof(WCHAR)] = {};
  const WCHAR* pszText = reinterpret_cast<const WCHAR*>(data);
  DWORD dwType = 0;
  WCHAR szCheckInput[kValueTextChars];
  WCHAR szCheckResult[kValueTextChars];
  WCHAR szMessage[kMessageChars] = {};
  UniqueKey key;

  try {
    if (RegOpenKeyExW(hRoot, pszKeyPath, 0, KEY_READ | KEY_WRITE, key.put()) != ERROR_SUCCESS) return;

    try {
      // The data buffer is zero before each read (the registry functions add no
      // terminator): only the bytes the last read may have written need clearing.
      size_t dirty = 0;
      for (DWORD dwIndex = 0;;) {
        DWORD cchName = kValueTextChars;
        DWORD cbData = kValueDataBytes;
        std::fill(data, data + dirty, 0);
        const LSTATUS status = RegEnumValueW(key.get(), dwIndex, szName, &cchName, nullptr, &dwType, data, &cbData);
        dirty = status == ERROR_SUCCESS ? std::min<size_t>(cbData, kValueDataBytes) : kValueDataBytes;
        ++dwIndex;
        if (status == ERROR_NO_MORE_ITEMS) break;
        ++run.m_dwValuesAccessed;

        try {
          if (status != ERROR_SUCCESS) continue;
          // REG_EXPAND_SZ and REG_MULTI_SZ are never examined.
          if (dwType != REG_SZ) continue;
          if (!IsCandidateText(pszText)) continue;

          std::fill(std::begin(szCheckInput), std::end(szCheckInput), 0);
          std::fill(std::begin(szCheckResult), std::end(szCheckResult), 0);
          wcscpy(szCheckInput, pszText);
          if (!run.m_bRescueTransfer) {
            swprintf(szMessage, kRecordFormat, pszKeyPath, szName, pszText, szCheckResult);
            Log(u"RegistryTraversal -> CheckList -> RESOLVE ATTEMPTED", szMessage);
          }
          if (CheckList(run, szCheckInput, szCheckResult) == 0) {
            ++run.m_dwPathsSkipped;
            continue;
          }
          // The terminator is stored with the text; a failed write is not noticed.
          WriteRegValue(HKEY_LOCAL_MACHINE, pszKeyPath, szName, REG_SZ, reinterpret_cast<const BYTE*>(szCheckResult),
                        static_cast<DWORD>((wcslen(szCheckResult) + 1) * sizeof(WCHAR)));
          if (run.m_bDetailedLogging && !run.m_bRescueTransfer) {
            swprintf(szMessage, kRecordFormat, pszKeyPath, szName, pszText, szCheckResult);
            Log(u"RegistryTraversal -> CheckList -> ITEM RESOLVED", szMessage);
          }
        } catch (...) {
          // The value is abandoned: neither written nor counted as skipped.
          if (!run.m_bRescueTransfer) {
            swprintf(szMessage, u"KEYPATH=\"%s\" KEYNAME=\"%s\" VALUENAME=\"%s\"", pszKeyPath, szName, pszText);
            Log(u"RegistryTraversal -> CheckList section -> exception ", szMessage);
          }
        }
      }
    } catch (...) {
      if (!run.m_bRescueTransfer) Log(u"RegistryTraversal -> RegEnumValue section -> exception ", pszKeyPath);
    }

    for (DWORD dwIndex = 0;;) {
      DWORD cchName = kValueTextChars;
      const LSTATUS status = RegEnumKeyExW(key.get(), dwIndex, szName, &cchName, nullptr, nullptr, nullptr, nullptr);
      ++dwIndex;
      if (status != ERROR_SUCCESS) break;
      if (swprintf(szMessage, u"%s\\%s", pszKeyPath, szName) < 0) continue;
      RegistryTraversal(run, hRoot, szMessage);
    }
  } catch (...) {
    if (!run.m_bRescueTransfer) Log(u"RegistryTraversal -> outer loop -> exception ", pszKeyPath);
  }
}
