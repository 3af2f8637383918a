#include "settings/HandOff.h"

#include "app/SingleInstance.h"
#include "base/product_keys.h"
#include "settings/Options.h"
#include "settings/RegistryHelpers.h"
#include "win32/mfc/afxwin.h"

namespace {

// A tool of the product, recognised by a piece of its program file's path that a string
// resource holds. Rows are tried in this order; the first that occurs wins.
struct ToolRecognition {
  UINT uStringID;
  DWORD dwToolIndex;
  LPCWSTR pszLabel;
};

constexpr ToolRecognition kToolRecognition[] = {
    {10000, 1, u"QRT-1"}, {10012, 2, u"QRT-2"}, {10004, 3, u"QRT-3"},   {10006, 4, u"QRT-4"},
    {10007, 5, u"QRT-5"}, {10008, 6, u"QRT-6"}, {10013, 10, u"QRT-10"}, {10023, 11, u"QRT-11"},
};

// "MachineZone" and "MachineCode" arm the hand-off when they can be read into this.
constexpr DWORD kSetupValueBytes = 1000;

// The row whose text occurs in the program's path, or null. A string that cannot be
// loaded matches nothing (an empty text would occur in every path).
const ToolRecognition* RecogniseTool(LPCWSTR pszProgramPath) {
  const HINSTANCE hResources = AfxGetResourceHandle();
  for (const auto& row : kToolRecognition) {
    WCHAR szToolText[kHandOffChars] = {};
    if (LoadStringW(hResources, row.uStringID, szToolText, int(kHandOffChars)) <= 0) continue;
    if (wcsstr(pszProgramPath, szToolText) != nullptr) return &row;
  }
  return nullptr;
}

// Forms "<install dir><hand-off program> <label> " and the start-up command line in
// szCommandLine. FALSE when the hand-off program's name is missing or the whole does
// not fit.
BOOL FormHandOffCommandLine(LPCWSTR pszLabel, LPCWSTR pszCmdLine, WCHAR (&szCommandLine)[kHandOffChars]) {
  const HINSTANCE hResources = AfxGetResourceHandle();
  WCHAR szInstallPath[kHandOffChars] = {};
  GetInstallPath(szInstallPath);  // empty on failure: the program's bare name is used
  WCHAR szProgram[kHandOffChars] = {};
  if (LoadStringW(hResources, IDS_HANDOFF_PROGRAM, szProgram, int(kHandOffChars)) <= 0) return FALSE;
  const size_t cchNeeded = wcslen(szInstallPath) + wcslen(szProgram) + 1 + wcslen(pszLabel) + 1 +
                           (pszCmdLine != nullptr ? wcslen(pszCmdLine) : 0) + 1;
  if (cchNeeded > kHandOffChars) return FALSE;
  swprintf(szCommandLine, u"%s%s %s ", szInstallPath, szProgram, pszLabel);
  if (pszCmdLine != nullptr) wcscat_s(szCommandLine, pszCmdLine);
  return TRUE;
}

// Starts the hand-off program and waits for its end. FALSE when it did not start.
BOOL RunHandOffProgram(LPWSTR pszCommandLine) {
  STARTUPINFOW startupInfo = {};
  startupInfo.cb = sizeof startupInfo;
  PROCESS_INFORMATION processInfo = {};
  if (!CreateProcessW(nullptr, pszCommandLine, nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr, nullptr,
                      &startupInfo, &processInfo))
    return FALSE;
  // The hand-off program's exit code does not matter: this start ends either way.
  WaitForSingleObject(processInfo.hProcess, INFINITE);
  CloseHandle(processInfo.hProcess);
  CloseHandle(processInfo.hThread);
  return TRUE;
}

void ShowHandOffError() {
  const HINSTANCE hResources = AfxGetResourceHandle();
  WCHAR szText[kHandOffChars] = {};
  WCHAR szCaption[kHandOffChars] = {};
  LoadStringW(hResources, IDS_HANDOFF_CANNOT_START, szText, int(kHandOffChars));
  LoadStringW(hResources, IDS_HANDOFF_CAPTION, szCaption, int(kHandOffChars));
  MessageBoxW(nullptr, szText, szCaption, MB_OK | MB_ICONERROR);
}

}  // namespace

BOOL IsUserAdmin() {
  SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
  PSID pAdministrators = nullptr;
  if (!AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                &pAdministrators))
    return FALSE;
  // With no token handle the call tests the thread's effective token, where only an
  // enabled group counts: a filtered administrator's token is not one.
  BOOL bIsMember = FALSE;
  if (!CheckTokenMembership(nullptr, pAdministrators, &bIsMember)) bIsMember = FALSE;
  FreeSid(pAdministrators);
  return bIsMember;
}

void COrnOptions::HandOffIfNotAdmin() {
  m_bExitRequested = false;
  m_bIsAdmin = IsUserAdmin();

  WCHAR szSetupKey[kHandOffChars] = {};
  GetProductRegRoot(this, szSetupKey);
  wcscat_s(szSetupKey, kSetupSubkey);
  // Only the presence of the two setup values counts, never their contents.
  BYTE abSetupValue[kSetupValueBytes] = {};
  if (!ReadRegValue(m_hRootKey, szSetupKey, u"MachineZone", abSetupValue, kSetupValueBytes)) return;
  if (!ReadRegValue(m_hRootKey, szSetupKey, u"MachineCode", abSetupValue, kSetupValueBytes)) return;
  if (m_bIsAdmin) return;

  WCHAR szLabel[kHandOffChars] = {};
  WCHAR szCommandLine[kHandOffChars] = {};
  GetModuleFileNameW(nullptr, szCommandLine, DWORD(kHandOffChars));
  const ToolRecognition* pTool = RecogniseTool(szCommandLine);
  if (pTool == nullptr) return;
  // The tool's mutex marks it as running, and stays open until the process ends. This
  // program (tool 11) runs normally beside another instance of itself.
  if (!CheckSingleInstance(this, pTool->dwToolIndex, nullptr)) {
    if (pTool->dwToolIndex != kToolIndexHivemend) m_bExitRequested = true;
    return;
  }
  wcscpy_s(szLabel, pTool->pszLabel);

  if (!FormHandOffCommandLine(szLabel, m_pszCmdLine, szCommandLine) || !RunHandOffProgram(szCommandLine))
    ShowHandOffError();
  m_bExitRequested = true;
}
