#include "settings/SystemInfo.h"

#include "base/buffers.h"
#include "settings/Options.h"
#include "settings/RegistryHelpers.h"

namespace {

// "OS" and "RAM" are written from this buffer, whole: 128 bytes.
constexpr size_t kDescriptionChars = 64;

struct ServicePackRow {
  const WCHAR* pszText;  // compared whole, case-sensitively
  DWORD dwCode;
};

// The service pack of a version whose texts the product tells apart: the code of the
// first row whose text matches, with that text as the name's suffix; otherwise the
// fallback code and suffix.
struct ServicePackTable {
  ServicePackRow rows[2];
  DWORD dwOtherCode;
  const WCHAR* pszOtherSuffix;  // null: none
};

constexpr ServicePackTable kXPMinor1 = {{{u"Service Pack 1", 0x31}, {u"Service Pack 2", 0x32}}, 0x30, nullptr};
constexpr ServicePackTable kXPMinor2 = {{{u"Service Pack 1", 0x34}, {u"Service Pack 2", 0x35}}, 0x33, nullptr};
// Windows 2000's first release build: no text at all counts as Service Pack 1.
constexpr ServicePackTable k2000Build2195 = {
    {{u"Service Pack 3", 0x21}, {u"Service Pack 2", 0x20}}, 0x19, u"Service Pack 1"};
constexpr DWORD kServicePack2000OtherBuild = 0x18;
constexpr WORD kWindows2000Build = 2195;

void ApplyServicePack(const ServicePackTable& table, const WCHAR* pszCSDVersion, WCHAR* pszName,
                      DWORD* pdwServicePack) {
  const WCHAR* pszSuffix = table.pszOtherSuffix;
  *pdwServicePack = table.dwOtherCode;
  for (const ServicePackRow& row : table.rows) {
    if (wcscmp(row.pszText, pszCSDVersion) == 0) {
      pszSuffix = row.pszText;
      *pdwServicePack = row.dwCode;
      break;
    }
  }
  if (pszSuffix != nullptr) {
    wcscat_s(pszName, kDescriptionChars, u" ");
    wcscat_s(pszName, kDescriptionChars, pszSuffix);
  }
}

}  // namespace

void RecordSystemInfo(COrnOptions* pOptions, DWORD* pdwOSFlags, DWORD* pdwServicePack) {
  *pdwOSFlags = 0;
  *pdwServicePack = 0;
  WCHAR szName[kDescriptionChars] = {};

  OSVERSIONINFOW version = {};
  version.dwOSVersionInfoSize = sizeof version;
  if (!GetVersionExW(&version) || version.dwMajorVersion < 4) return;

  if (version.dwPlatformId == VER_PLATFORM_WIN32_NT) {
    *pdwOSFlags = kOSFamilyNT;
    if (version.dwMajorVersion == 6 && version.dwMinorVersion == 1) {
      *pdwOSFlags = kOSFamily7;
      wcscpy_s(szName, u"Windows 7");
    } else if (version.dwMajorVersion == 6) {
      *pdwOSFlags = kOSFamilyVista;
      wcscpy_s(szName, u"Windows Vista");
    } else if (version.dwMajorVersion >= 5) {
      if (version.dwMinorVersion == 1 || version.dwMinorVersion == 2) {
        *pdwOSFlags = kOSFamilyXP;
        wcscpy_s(szName, u"Windows XP");
        ApplyServicePack(version.dwMinorVersion == 1 ? kXPMinor1 : kXPMinor2, version.szCSDVersion, szName,
                         pdwServicePack);
      } else {
        *pdwOSFlags = kOSFamily2000;
        wcscpy_s(szName, u"Windows 2000");
        if (WORD(version.dwBuildNumber) == kWindows2000Build)
          ApplyServicePack(k2000Build2195, version.szCSDVersion, szName, pdwServicePack);
        else
          *pdwServicePack = kServicePack2000OtherBuild;
      }
    }
  }

  WCHAR szRoot[kPathChars] = {};
  GetProductRegRoot(pOptions, szRoot);
  const HKEY hRoot = pOptions != nullptr ? pOptions->m_hRootKey : HKEY_LOCAL_MACHINE;
  const auto* pbName = reinterpret_cast<const BYTE*>(szName);
  WriteRegValue(hRoot, szRoot, u"OS", REG_SZ, pbName, sizeof szName);

  SYSTEM_INFO system = {};
  GetSystemInfo(&system);
  WriteRegValue(hRoot, szRoot, u"Processors", REG_DWORD, reinterpret_cast<const BYTE*>(&system.dwNumberOfProcessors),
                sizeof(DWORD));

  MEMORYSTATUSEX memory = {};
  memory.dwLength = sizeof memory;
  GlobalMemoryStatusEx(&memory);
  const DWORD dwMegabytes = DWORD(memory.ullTotalPhys >> 20) + 1;
  swprintf(szName, u"%uMB", dwMegabytes);
  WriteRegValue(hRoot, szRoot, u"RAM", REG_SZ, pbName, sizeof szName);

  WCHAR szAmd64[kPathChars] = {};
  GetInstallPath(szAmd64);
  const bool fits = wcscat_s(szAmd64, u"amd64\\") == 0;
  *pdwOSFlags |= fits && GetFileAttributesW(szAmd64) != INVALID_FILE_ATTRIBUTES ? kOSInstallAmd64 : kOSInstallNoAmd64;
}
