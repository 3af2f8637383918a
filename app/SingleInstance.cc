#include "app/SingleInstance.h"

#include "base/buffers.h"
#include "base/product_keys.h"
#include "settings/Options.h"
#include "settings/RegistryHelpers.h"
#include "win32/kernel32/sync.h"

namespace {

// A kernel object's full name, namespace included, with its terminator.
constexpr size_t kObjectNameChars = 32;
// The read buffer for "InstallGlobal", in bytes.
constexpr DWORD kInstallGlobalBytes = 600;

constexpr ToolNames kNoTool{nullptr, 0, nullptr};

// Indexed by tool index. Several tools share a mutex slot: 5 to 7 the fifth, 10 and 11
// the sixth.
constexpr ToolNames kToolNames[kLastToolIndex + 1] = {
    kNoTool,
    {u"TsoTalvin", 0, u"TALVIN99"},
    {u"TsoMorvel", 1, u"MORVEL99"},
    {u"TsoQuenby", 2, u"QUENBY99"},
    {u"TsoVendle", 3, u"VENDLE99"},
    {u"TsoKestin", 4, u"KESTIN99"},
    {u"TsoHolmby", 4, u"HOLMBY99"},
    {u"TsoAmbrel", 4, u"AMBREL99"},
    kNoTool,
    kNoTool,
    {u"TsoWickmar", 5, u"WICKMAR99"},
    {u"TsoHivemend", 5, u"HIVEMEND99"},
};

// "Local\" when the product is set up for the user alone, else "Global\".
LPCWSTR NamespacePrefix(COrnOptions* pOptions) {
  WCHAR szPath[kPathChars] = {};
  GetProductRegRoot(pOptions, szPath);
  wcscat_s(szPath, kSetupSubkey);
  WCHAR szValue[kInstallGlobalBytes / sizeof(WCHAR)] = {};
  const HKEY hRoot = pOptions != nullptr ? pOptions->m_hRootKey : HKEY_LOCAL_MACHINE;
  const BOOL bRead =
      ReadRegValue(hRoot, szPath, kInstallGlobalValue, reinterpret_cast<LPBYTE>(szValue), kInstallGlobalBytes);
  return bRead && wcscmp(szValue, u"NO") == 0 ? u"Local\\" : u"Global\\";
}

}  // namespace

const ToolNames* FindToolNames(DWORD dwToolIndex) {
  if (dwToolIndex > kLastToolIndex || kToolNames[dwToolIndex].pszMutexName == nullptr) return nullptr;
  return &kToolNames[dwToolIndex];
}

BOOL CheckSingleInstance(COrnOptions* pOptions, DWORD dwToolIndex, HANDLE* phSemaphore) {
  const LPCWSTR pszPrefix = NamespacePrefix(pOptions);
  const ToolNames* pTool = FindToolNames(dwToolIndex);
  if (pTool == nullptr) return TRUE;

  WCHAR szName[kObjectNameChars] = {};
  wcscpy_s(szName, pszPrefix);
  if (phSemaphore == nullptr) {
    wcscat_s(szName, pTool->pszMutexName);
    HANDLE hMutex = CreateMutexW(nullptr, FALSE, szName);
    // The slot keeps the handle for the life of the process, replacing (not closing)
    // what it held.
    if (pOptions != nullptr) pOptions->m_hToolMutex[pTool->nMutexSlot] = hMutex;
    if (hMutex == nullptr) return FALSE;
    return GetLastError() != ERROR_ALREADY_EXISTS;
  }
  wcscat_s(szName, pTool->pszSemaphoreName);
  *phSemaphore = CreateSemaphoreW(nullptr, 0, 1, szName);
  return GetLastError() != ERROR_ALREADY_EXISTS;
}
