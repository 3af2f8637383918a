#include "settings/HtmlHelp.h"

#include <cstring>

namespace {

// The engine as the process found it; never reset.
struct HtmlHelpEngine {
  HMODULE hLibrary = nullptr;
  HtmlHelpWProc pHtmlHelpW = nullptr;
  bool bUnavailable = false;  // the latch: the library or its entry point is missing
};

HtmlHelpEngine g_engine;

}  // namespace

BOOL GetHtmlHelpServerPath(LPSTR pszPath) {
  HKEY hKey = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, kHtmlHelpServerKey, 0, KEY_READ, &hKey) != ERROR_SUCCESS) return FALSE;
  char szValue[kHtmlHelpPathBytes] = {};
  DWORD dwType = 0;
  DWORD cbValue = sizeof szValue;
  if (RegQueryValueExA(hKey, nullptr, nullptr, &dwType, reinterpret_cast<LPBYTE>(szValue), &cbValue) != ERROR_SUCCESS) {
    RegCloseKey(hKey);
    return FALSE;
  }
  szValue[kHtmlHelpPathBytes - 1] = 0;

  BOOL bFound = TRUE;
  if (dwType == REG_EXPAND_SZ) {
    const DWORD cbExpanded = ExpandEnvironmentStringsA(szValue, pszPath, kHtmlHelpPathBytes);
    bFound = cbExpanded >= 1 && cbExpanded <= kHtmlHelpPathBytes;
  } else {
    std::strncpy(pszPath, szValue, kHtmlHelpPathBytes);  // szValue is terminated within the bound
  }
  RegCloseKey(hKey);
  return bFound;
}

HWND CallHtmlHelp(HWND hwndCaller, LPCWSTR pszFile, UINT uCommand, DWORD_PTR dwData) {
  if (g_engine.bUnavailable) return nullptr;
  if (g_engine.hLibrary == nullptr) {
    char szPath[kHtmlHelpPathBytes] = {};
    if (GetHtmlHelpServerPath(szPath)) g_engine.hLibrary = LoadLibraryA(szPath);
    if (g_engine.hLibrary == nullptr) g_engine.hLibrary = LoadLibraryA(kHtmlHelpLibrary);
    if (g_engine.hLibrary == nullptr) {
      g_engine.bUnavailable = true;
      return nullptr;
    }
  }
  if (g_engine.pHtmlHelpW == nullptr) {
    const FARPROC pProc = GetProcAddress(g_engine.hLibrary, MAKEINTRESOURCEA(kHtmlHelpWOrdinal));
    if (pProc == nullptr) {
      g_engine.bUnavailable = true;
      return nullptr;
    }
    g_engine.pHtmlHelpW = reinterpret_cast<HtmlHelpWProc>(pProc);
  }
  return g_engine.pHtmlHelpW(hwndCaller, pszFile, uCommand, dwData);
}
