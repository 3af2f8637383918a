// The hive pass driver of the repair run.
#include <algorithm>
#include <iterator>

#include "app/HivemendDlg.h"
#include "base/buffers.h"
#include "log/Log.h"
#include "repair/DriveLetters.h"
#include "repair/RegistryTraversal.h"
#include "repair/ResolvedSummary.h"
#include "repair/UserProfiles.h"
#include "settings/RegistryHelpers.h"
#include "win32/advapi32/registry.h"

namespace {

constexpr LPCWSTR kSystemHive = u"%c:\\Windows\\system32\\config\\SYSTEM";
constexpr LPCWSTR kSoftwareHive = u"%c:\\Windows\\system32\\config\\SOFTWARE";
constexpr LPCWSTR kProfileList = u"QRT-SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
constexpr LPCWSTR kSystemDrive = u"%SystemDrive%\\";
constexpr size_t kSystemDriveChars = 14;

// Mounts a hive file that exists under HKEY_LOCAL_MACHINE\pszName; false when the file
// is missing or the mount fails (no privileges, the name still mounted, a damaged hive).
bool MountHive(LPCWSTR pszName, LPCWSTR pszFile) {
  return GetFileAttributesW(pszFile) != INVALID_FILE_ATTRIBUTES &&
         RegLoadKeyW(HKEY_LOCAL_MACHINE, pszName, pszFile) == ERROR_SUCCESS;
}

}  // namespace

void CHivemendDlg::Hivemend() {
  m_dwPathsResolved = 0;
  m_dwPathsSkipped = 0;
  m_dwValuesAccessed = 0;
  m_dwClassesRootCount = 0;
  m_dwCurrentUserCount = 0;
  m_dwLocalMachineCount = 0;
  m_dwUsersCount = 0;
  m_dwCurrentConfigCount = 0;

  for (size_t i = 0; i < wcslen(m_szSrcLetters); ++i) {
    // A destination list shorter than the source list gives the letter 0 here: the hive
    // paths then read as empty texts, which name no file.
    const WCHAR chSrc = m_szSrcLetters[i];
    const WCHAR chDst = m_szDstLetters[i];
    WCHAR szSrcHive[kPathChars] = {};
    WCHAR szHive[kPathChars] = {};
    WCHAR szProfileDir[kPathChars] = {};
    bool bProfileDir = false;

    if (m_bRescueTransfer) {
      bool bSkipPosition = false;
      try {
        swprintf(szSrcHive, kSystemHive, chSrc);
        if (MountHive(u"QRT-SRC-SYSTEM", szSrcHive)) {
          const BOOL bFound =
              WinPE_GetDriveLetters(u"QRT-SRC-SYSTEM\\MountedDevices", m_dwSrcSignature, m_szSrcHiveLetters);
          RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"QRT-SRC-SYSTEM");
          if (bFound) {
            // The partition the source system called C is the one at the same position
            // of the current letters; without a C the earlier letter stays.
            if (const WCHAR* pC = wcschr(m_szSrcHiveLetters, u'C'))
              m_chSrcLetterForC = m_szSrcLetters[pC - m_szSrcHiveLetters];
            Log(u"Hivemend -> m_szSrcHiveLetters = ", m_szSrcHiveLetters);
          } else {
            Log(u"Hivemend -> rescue disk section -> WinPE_GetDriveLetters failed ", szSrcHive);
            bSkipPosition = true;
          }
        }
      } catch (...) {
        Log(u"Hivemend -> rescue disk section -> exception ", szSrcHive);
        bSkipPosition = true;
      }
      if (bSkipPosition) continue;
    }

    try {
      swprintf(szHive, kSoftwareHive, chDst);
      if (MountHive(u"QRT-SOFTWARE", szHive)) {
        RegistryTraversal(*this, HKEY_LOCAL_MACHINE, u"QRT-SOFTWARE");
        std::fill(std::begin(szSrcHive), std::end(szSrcHive), 0);
        // A value that fills the buffer without a terminator counts as unreadable.
        if (ReadRegValue(HKEY_LOCAL_MACHINE, kProfileList, u"ProfilesDirectory", reinterpret_cast<LPBYTE>(szSrcHive),
                         sizeof szSrcHive) &&
            szSrcHive[kPathChars - 1] == 0) {
          if (const WCHAR* pRest = wcsstr(szSrcHive, kSystemDrive)) {
            swprintf(szProfileDir, u"%c:\\%s", chDst, pRest + kSystemDriveChars);
            bProfileDir = true;
          }
        }
        RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"QRT-SOFTWARE");
      }
    } catch (...) {
      // The hive stays mounted; later mounts under its name fail.
      Log(u"Hivemend -> SOFTWARE section -> exception ", szHive);
    }

    try {
      swprintf(szHive, kSystemHive, chDst);
      if (MountHive(u"QRT-SYSTEM", szHive)) {
        RegistryTraversal(*this, HKEY_LOCAL_MACHINE, u"QRT-SYSTEM");
        RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"QRT-SYSTEM");
      }
    } catch (...) { Log(u"Hivemend -> SYSTEM section -> exception ", szHive); }

    if (bProfileDir) RepairUserProfiles(*this, szProfileDir);
  }

  WriteResolvedSummary(m_pLog.get(), m_dwPathsResolved, m_dwPathsSkipped, m_dwValuesAccessed, m_dwClassesRootCount,
                       m_dwCurrentUserCount, m_dwLocalMachineCount, m_dwUsersCount, m_dwCurrentConfigCount);
  HandOverSummaryCounters(m_dwPathsResolved, m_dwPathsSkipped, m_dwValuesAccessed);
}
