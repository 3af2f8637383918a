// The application object: the process around the repair run. Its construction enables
// the privileges that mounting hives needs (through the product's Security.dll), its
// InitInstance reads the run's parameters from the command line and lets the repair run
// do the whole repair, and it ends the process itself; no window and no message loop.
//
// How the process ends: 2 after a run (exit(2), destructors run); 0 after a run on a
// Tablet PC (self-termination, no destructors); 0 when the single-instance guard refuses
// or a switch is missing (InitInstance gives FALSE); 1 when the settings object hands the
// start over to another program (inside GetOptions).
#pragma once

#include <string>

#include "win32/mfc/afxwin.h"

// Drive letters from the command line: at most 15 and a terminator.
inline constexpr size_t kCmdLineLetterChars = 16;

// The run's parameters as the command line gives them:
//   /SrcDrives %<letters>%  /DstDrives %<letters>%  /SrcSig %<hexadecimal signature>%
// Each switch is found by its own search (case-sensitive, anywhere, in any order).
struct RepairCommandLine {
  enum class Status { Ok, MissingSwitch, Malformed };
  Status status = Status::MissingSwitch;
  WCHAR szSrcLetters[kCmdLineLetterChars] = {};
  WCHAR szDstLetters[kCmdLineLetterChars] = {};
  DWORD dwSrcSignature = 0;
  // For Malformed: what is wrong, as one line of text.
  std::string strError;
};

// Reads the three switches. A list is the text between "/SrcDrives %" (or "/DstDrives
// %") and the next '%', copied as it stands; the signature is read as hexadecimal from
// two characters after "/SrcSig" up to the first character that is no hexadecimal digit
// (none: 0). MissingSwitch when "/SrcDrives", "/DstDrives" or "/SrcSig" does not occur
// (looked for in that order). Malformed only for a list the buffers cannot take: a
// switch without its " %", a list without its closing '%' or longer than 15 characters.
// Chosen here: a signature beyond 32 bits reads as 0xFFFFFFFF, as wcstoul saturates;
// "0x", blanks or a sign end the digits like any other character.
RepairCommandLine ParseRepairCommandLine(LPCWSTR pszCmdLine);

class CHivemendApp : public CWinApp {
 public:
  // Loads Security.dll from the program's folder and enables, through its
  // SET_PRIVILEGE, SeBackupPrivilege, SeSecurityPrivilege, SeTakeOwnershipPrivilege and
  // SeRestorePrivilege. A missing library or export is passed over in silence: hive
  // mounts will fail for want of the privileges.
  CHivemendApp();
  // Releases the single-instance semaphore once and closes it (on a Tablet PC then ends
  // the process at once), and deletes the settings object.
  ~CHivemendApp() override;

  // The whole life of the program: the settings object, the single-instance guard, the
  // command line, the repair run, and the end of the process. Gives FALSE on every path
  // that returns.
  BOOL InitInstance() override;

  // The single-instance semaphore; null until the guard has run.
  HANDLE m_hInstanceGuard = nullptr;
};

// Ends the process the way the program does on a Tablet PC: posts WM_CLOSE to its own
// thread, waits a second on its own handle, and, as it then still runs, terminates
// itself with exit code 0 (no destructors run). Returns only if the process lives on.
void SelfTerminate();
