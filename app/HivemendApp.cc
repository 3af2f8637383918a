#include "app/HivemendApp.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "app/HivemendDlg.h"
#include "app/SingleInstance.h"
#include "base/buffers.h"
#include "base/unicode.h"
#include "settings/HandOff.h"
#include "settings/Options.h"
#include "win32/kernel32/process.h"
#include "win32/kernel32/sync.h"
#include "win32/user32/system.h"

namespace {

using SetPrivilegeProc = BOOL (*)(const WCHAR* pszPrivilege, int nEnable);

// The privileges mounting and rewriting hives needs, in the order they are asked for.
constexpr LPCWSTR kPrivileges[] = {u"SeBackupPrivilege", u"SeSecurityPrivilege", u"SeTakeOwnershipPrivilege",
                                   u"SeRestorePrivilege"};

constexpr DWORD kSelfTerminateWaitMs = 1000;

// The characters after `opening` ("/SrcDrives %") up to the next '%', copied as they
// stand; false with a reason for a list that has no end or does not fit.
bool ReadLetterList(std::u16string_view text, std::u16string_view opening, WCHAR (&szLetters)[kCmdLineLetterChars],
                    std::string& strError) {
  const std::string name = base::to_utf8(opening.substr(0, opening.size() - 2));
  const size_t start = text.find(opening);
  if (start == std::u16string_view::npos) {
    strError = name + " is not followed by \" %\"";
    return false;
  }
  const size_t first = start + opening.size();
  const size_t close = text.find(u'%', first);
  if (close == std::u16string_view::npos) {
    strError = name + ": the drive list has no closing '%'";
    return false;
  }
  if (close - first >= kCmdLineLetterChars) {
    strError = name + ": more than " + std::to_string(kCmdLineLetterChars - 1) + " drive letters";
    return false;
  }
  text.copy(szLetters, close - first, first);
  return true;
}

int HexDigit(WCHAR c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// The hexadecimal number at the start of `digits`, up to the first other character: 0
// without digits, 0xFFFFFFFF for a number beyond 32 bits. Not wcstoul: that would also
// take leading blanks, a sign and "0x".
DWORD ReadHexSignature(std::u16string_view digits) {
  uint64_t value = 0;
  for (WCHAR c : digits) {
    if (HexDigit(c) < 0) break;
    value = std::min<uint64_t>(value * 16 + uint64_t(HexDigit(c)), 0x100000000u);
  }
  return value > 0xFFFFFFFFu ? 0xFFFFFFFFu : DWORD(value);
}

// Without the privileges no hive can be mounted and the run changes nothing, while it
// still ends as a run does. The run itself stays silent about it; an administrator,
// who should hold them, is told on standard error, once.
void TellAdministrator(const std::string& what, const std::string& fix) {
  if (IsUserAdmin()) std::fprintf(stderr, "hivemend: %s, so no hive can be mounted: %s\n", what.c_str(), fix.c_str());
}

}  // namespace

RepairCommandLine ParseRepairCommandLine(LPCWSTR pszCmdLine) {
  RepairCommandLine parsed;
  const std::u16string_view text = pszCmdLine != nullptr ? pszCmdLine : u"";
  const auto malformed = [&parsed]() -> RepairCommandLine& {
    parsed.status = RepairCommandLine::Status::Malformed;
    return parsed;
  };

  if (text.find(u"/SrcDrives") == std::u16string_view::npos) return parsed;
  if (!ReadLetterList(text, u"/SrcDrives %", parsed.szSrcLetters, parsed.strError)) return malformed();
  if (text.find(u"/DstDrives") == std::u16string_view::npos) return parsed;
  if (!ReadLetterList(text, u"/DstDrives %", parsed.szDstLetters, parsed.strError)) return malformed();

  const size_t sig = text.find(u"/SrcSig");
  if (sig == std::u16string_view::npos) return parsed;
  // The digits start two characters after the switch: past its blank and opening '%'.
  const size_t digits = sig + std::u16string_view(u"/SrcSig").size() + 2;
  if (digits < text.size()) parsed.dwSrcSignature = ReadHexSignature(text.substr(digits));
  parsed.status = RepairCommandLine::Status::Ok;
  return parsed;
}

CHivemendApp::CHivemendApp() : CWinApp(nullptr) {
  WCHAR szPath[kPathChars] = {};
  const DWORD nLength = GetModuleFileNameW(nullptr, szPath, kPathChars);
  WCHAR* pszBackslash = wcsrchr(szPath, u'\\');
  if (nLength == 0 || nLength >= kPathChars || pszBackslash == nullptr) {
    if (nLength == 0) {
      TellAdministrator("the program's own file has no Windows name in the prefix",
                        "remove the prefix's dosdevices/z: link or point it at /");
    } else {
      TellAdministrator("the program's Windows path is too long", "install it in a shorter folder");
    }
    return;
  }
  *pszBackslash = 0;
  // A folder too deep to leave room for the file name gives no library, as a missing one.
  if (wcscat_s(szPath, u"\\Security.dll") != 0) {
    TellAdministrator("no room for \\Security.dll after the program's folder", "install it in a shorter folder");
    return;
  }

  HMODULE hSecurity = LoadLibraryW(szPath);  // stays loaded for the life of the process
  const FARPROC pProc = hSecurity != nullptr ? GetProcAddress(hSecurity, "SET_PRIVILEGE") : nullptr;
  if (pProc == nullptr) {
    TellAdministrator(base::to_utf8(szPath) + (hSecurity == nullptr ? " cannot be loaded" : " has no SET_PRIVILEGE"),
                      "install the product's Security.dll beside the program");
    return;
  }
  const auto pSetPrivilege = reinterpret_cast<SetPrivilegeProc>(reinterpret_cast<void (*)()>(pProc));
  std::string strRefused;
  for (LPCWSTR pszPrivilege : kPrivileges) {
    if (!pSetPrivilege(pszPrivilege, 1) && strRefused.empty()) strRefused = base::to_utf8(pszPrivilege);
  }
  if (!strRefused.empty()) {
    TellAdministrator(strRefused + " cannot be enabled", "start the program from a full root session");
  }
}

CHivemendApp::~CHivemendApp() {
  if (m_hInstanceGuard != nullptr) {
    ReleaseSemaphore(m_hInstanceGuard, 1, nullptr);
    CloseHandle(m_hInstanceGuard);
    if (GetSystemMetrics(SM_TABLETPC) != 0) SelfTerminate();
  }
  ReleaseOptions();
}

BOOL CHivemendApp::InitInstance() {
  InitCommonControls();
  CWinApp::InitInstance();

  COrnOptions* pOptions = GetOptions(m_lpCmdLine);
  pOptions->m_hAppInstance = m_hInstance;
  if (!CheckSingleInstance(pOptions, kToolIndexTalvin, &m_hInstanceGuard)) return FALSE;

  const RepairCommandLine cmd = ParseRepairCommandLine(m_lpCmdLine);
  if (cmd.status == RepairCommandLine::Status::Malformed) {
    std::fprintf(stderr, "hivemend: bad command line: %s\n", cmd.strError.c_str());
    return FALSE;
  }
  if (cmd.status == RepairCommandLine::Status::MissingSwitch) return FALSE;

  // The run happens inside the constructor; the object is done with when it returns.
  std::make_unique<CHivemendDlg>(cmd.szSrcLetters, cmd.szDstLetters, cmd.dwSrcSignature, nullptr).reset();

  if (GetSystemMetrics(SM_TABLETPC) == 0) std::exit(2);
  SelfTerminate();
  return FALSE;
}

void SelfTerminate() {
  PostThreadMessageW(GetCurrentThreadId(), WM_CLOSE, 0, 0);
  WaitForSingleObject(GetCurrentProcess(), kSelfTerminateWaitMs);
  try {
    DWORD dwExitCode = 0;
    GetExitCodeProcess(GetCurrentProcess(), &dwExitCode);
    if (dwExitCode == STILL_ACTIVE) TerminateProcess(GetCurrentProcess(), 0);
  } catch (...) {}
}
