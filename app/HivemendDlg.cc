#include "app/HivemendDlg.h"

#include <new>

#include "base/buffers.h"
#include "base/product_keys.h"
#include "log/Log.h"
#include "settings/Options.h"
#include "settings/RegistryHelpers.h"

CHivemendDlg::CHivemendDlg(LPCWSTR pSrcLetters, LPCWSTR pDstLetters, DWORD dwSrcSignature, CWnd* pParent)
    : CDialog(IDD, pParent) {
  // A log object that cannot be made leaves m_pLog null; logging does not need it.
  m_pLog.reset(new (std::nothrow) CLog);

  Log(u"CHivemendDlg -> pSrcLetters = ", pSrcLetters);
  Log(u"CHivemendDlg -> pDstLetters = ", pDstLetters);

  COrnOptions* pOptions = GetOptions();
  m_bRescueTransfer = false;
  WCHAR szRegPath[kPathChars] = {};
  GetProductRegRoot(pOptions, szRegPath);
  WCHAR szValue[kLetterListChars] = {};
  // A switch is on only for exactly "YES", case-sensitively.
  if (ReadRegValue(pOptions->m_hRootKey, szRegPath, kCDTransferValue, reinterpret_cast<LPBYTE>(szValue),
                   sizeof szValue) &&
      wcscmp(szValue, u"YES") == 0) {
    m_bRescueTransfer = true;
    Log(u"CHivemendDlg", u"m_bRescueTransfer = true");
  } else {
    Log(u"CHivemendDlg", u"m_bRescueTransfer = false");
  }

  m_bDetailedLogging = false;
  if (pOptions != nullptr) {
    wcsncat(szRegPath, kWickmarSubkey, kPathChars - 1 - wcslen(szRegPath));
    DWORD dwDetailed = 0;
    if (ReadRegValue(pOptions->m_hRootKey, szRegPath, kDetailedLogValue, reinterpret_cast<LPBYTE>(&dwDetailed),
                     sizeof dwDetailed) &&
        dwDetailed != 0) {
      m_bDetailedLogging = true;
      Log(u"CHivemendDlg", u"m_bDetailedLogging = true");
    } else {
      Log(u"CHivemendDlg", u"m_bDetailedLogging = false");
    }
  }

  wcsncpy(m_szSrcLetters, pSrcLetters, kLetterListChars - 1);
  wcsncpy(m_szDstLetters, pDstLetters, kLetterListChars - 1);
  m_dwSrcSignature = dwSrcSignature;

  Hivemend();
}

CHivemendDlg::~CHivemendDlg() {
  m_mapResolvedIndex.clear();
  m_vecResolved.clear();
  m_pLog.reset();
}
