// The repair run: one object holds one run's parameters, mode flags, log object, cache
// of resolved texts and counters (RepairRun), and its constructor carries out the whole
// run. It derives from the dialog class, but no window is ever created for it.
#pragma once

#include "repair/RepairRun.h"
#include "win32/mfc/afxwin.h"
#include "win32/windows.h"

class CHivemendDlg : public CDialog, public RepairRun {
 public:
  // The dialog template identifier; the program carries no such template.
  enum { IDD = 9503 };

  // Logs the parameters, reads the two flags from the product settings ("CDTransfer",
  // "DetailedLog" under "\Wickmar"), stores the letter lists (at most 31 letters each
  // are kept; start-up gives at most 15) and the signature, and runs Hivemend(). Returns
  // when the run is over and the summary written.
  CHivemendDlg(LPCWSTR pSrcLetters, LPCWSTR pDstLetters, DWORD dwSrcSignature, CWnd* pParent = nullptr);
  // Frees the cache, then the log object.
  ~CHivemendDlg() override;

  // The hive pass driver: for each position of the source letters, the rescue section
  // (rescue-transfer mode), the SOFTWARE and SYSTEM hives of the destination drive and
  // its user hives; then the summary.
  void Hivemend();
};
