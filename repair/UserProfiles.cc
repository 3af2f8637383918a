#include "repair/UserProfiles.h"

#include <algorithm>
#include <iterator>

#include "log/Log.h"
#include "repair/RegistryTraversal.h"
#include "repair/RepairRun.h"
#include "base/buffers.h"
#include "win32/registry.h"

namespace {

// The listing of the profile folder, closed on every way out.
class ProfileSearch {
 public:
  ~ProfileSearch() {
    if (handle_ != INVALID_HANDLE_VALUE) FindClose(handle_);
  }
  bool start(LPCWSTR pattern, WIN32_FIND_DATAW* data) {
    handle_ = FindFirstFileW(pattern, data);
    return handle_ != INVALID_HANDLE_VALUE;
  }
  bool next(WIN32_FIND_DATAW* data) { return FindNextFileW(handle_, data) != FALSE; }

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

}  // namespace

void RepairUserProfiles(RepairRun& run, WCHAR* pszProfileDir) {
  WCHAR szHivePath[kPathChars] = {};
  WIN32_FIND_DATAW data{};
  ProfileSearch search;
  try {
    wcsncat(pszProfileDir, u"\\*.*", kPathChars - 1 - wcslen(pszProfileDir));
    if (!search.start(pszProfileDir, &data)) return;
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
    } while (search.next(&data));
  } catch (...) {
    Log(u"RepairUserProfiles -> outer loop -> exception ", pszProfileDir);
  }
}
