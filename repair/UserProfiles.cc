#include "repair/UserProfiles.h"

#include <algorithm>
#include <iterator>

#include "base/buffers.h"
#include "log/Log.h"
#include "repair/RegistryTraversal.h"
#include "repair/RepairRun.h"
#include "win32/advapi32/registry.h"
#include "win32/unique.h"

namespace {

using hivemend::win32::UniqueFind;

}  // namespace

void RepairUserProfiles(RepairRun& run, WCHAR* pszProfileDir) {
  WCHAR szHivePath[kPathChars] = {};
  WIN32_FIND_DATAW data{};
  UniqueFind search;  // the listing of the profile folder, closed on every way out
  try {
    wcsncat(pszProfileDir, u"\\*.*", kPathChars - 1 - wcslen(pszProfileDir));
    search.reset(FindFirstFileW(pszProfileDir, &data));
    if (!search) return;
    do {
      try {
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) continue;
        if (wcscmp(data.cFileName, u".") == 0 || wcscmp(data.cFileName, u"..") == 0) continue;
        std::fill(std::begin(szHivePath), std::end(szHivePath), 0);
        // The pattern without "*.*" is the profile folder with its trailing backslash.
        WCHAR szFolder[kPathChars] = {};
        wcsncpy(szFolder, pszProfileDir, std::min(wcslen(pszProfileDir) - 3, kPathChars - 1));
        if (swprintf(szHivePath, u"%s%s\\ntuser.dat", szFolder, data.cFileName) < 0) continue;
        if (GetFileAttributesW(szHivePath) == INVALID_FILE_ATTRIBUTES) continue;
        if (RegLoadKeyW(HKEY_LOCAL_MACHINE, u"QRT-USER", szHivePath) != ERROR_SUCCESS) continue;
        RegistryTraversal(run, HKEY_LOCAL_MACHINE, u"QRT-USER");
        RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"QRT-USER");
      } catch (...) {
        // A hive mounted when the failure came stays mounted, and the next mounts fail.
        Log(u"RepairUserProfiles -> inner loop -> exception ", szHivePath);
      }
    } while (FindNextFileW(search.get(), &data));
  } catch (...) { Log(u"RepairUserProfiles -> outer loop -> exception ", pszProfileDir); }
}
