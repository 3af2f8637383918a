#include "settings/RegistryHelpers.h"

#include "base/buffers.h"
#include "base/product_keys.h"
#include "settings/Options.h"
#include "win32/unique.h"

using hivemend::win32::UniqueKey;

BOOL ReadRegValue(HKEY hRoot, LPCWSTR pszSubKey, LPCWSTR pszValueName, LPBYTE pData, DWORD cbData) {
  return QueryRegValue(hRoot, pszSubKey, pszValueName, pData, &cbData);
}

BOOL QueryRegValue(HKEY hRoot, LPCWSTR pszSubKey, LPCWSTR pszValueName, LPBYTE pData, LPDWORD pcbData) {
  UniqueKey key;
  if (RegOpenKeyExW(hRoot, pszSubKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS) return FALSE;
  DWORD type = 0;
  return RegQueryValueExW(key.get(), pszValueName, nullptr, &type, pData, pcbData) == ERROR_SUCCESS;
}

BOOL WriteRegValue(HKEY hRoot, LPCWSTR pszSubKey, LPCWSTR pszValueName, DWORD dwType, const BYTE* pData, DWORD cbData) {
  UniqueKey key;
  if (RegCreateKeyExW(hRoot, pszSubKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr, key.put(),
                      nullptr) != ERROR_SUCCESS)
    return FALSE;
  return RegSetValueExW(key.get(), pszValueName, 0, dwType, pData, cbData) == ERROR_SUCCESS;
}

namespace {

// Reads a string of the product's App Paths key (32-bit view first) into a buffer of
// kPathChars; FALSE when neither has it or it fills the buffer without a terminator.
BOOL ReadAppPathsValue(LPCWSTR pszValueName, WCHAR* pszBuffer) {
  constexpr DWORD kBytes = kPathChars * sizeof(WCHAR);
  if (!ReadRegValue(HKEY_LOCAL_MACHINE, kAppPaths32, pszValueName, reinterpret_cast<LPBYTE>(pszBuffer), kBytes)) {
    pszBuffer[0] = 0;
    if (!ReadRegValue(HKEY_LOCAL_MACHINE, kAppPathsNative, pszValueName, reinterpret_cast<LPBYTE>(pszBuffer), kBytes))
      return FALSE;
  }
  return pszBuffer[kPathChars - 1] == 0;
}

}  // namespace

BOOL GetProductRegRoot(COrnOptions* pOptions, WCHAR* pszRoot) {
  WCHAR regPath[kPathChars] = {};
  BOOL found = ReadAppPathsValue(kRegPathValue, regPath) && regPath[0] != 0;
  if (found) {
    // The root key's name in front of the first '\' is dropped unread: the root is
    // always HKEY_LOCAL_MACHINE.
    const WCHAR* backslash = wcschr(regPath, u'\\');
    if (backslash != nullptr)
      wcscpy(pszRoot, backslash + 1);
    else
      found = FALSE;
  }
  if (pOptions != nullptr) pOptions->m_hRootKey = HKEY_LOCAL_MACHINE;
  return found;
}

BOOL GetInstallPath(WCHAR* pszPath) {
  WCHAR path[kPathChars] = {};
  if (!ReadAppPathsValue(u"Path", path) || GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES) {
    pszPath[0] = 0;
    return FALSE;
  }
  wcscpy(pszPath, path);
  return TRUE;
}

BYTE SwapSecurityBits(BYTE b) { return static_cast<BYTE>(((b & 0x03u) << 6) | ((b & 0xC0u) >> 6) | (b & 0x3Cu)); }
