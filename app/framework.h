// The part of the application framework that the program's classes build on. The
// dialog class only carries its template identifier and parent: the program never
// creates a window for it.
#pragma once

#include "win32/windows.h"

class CWnd;

class CDialog {
 public:
  explicit CDialog(UINT nIDTemplate, CWnd* pParentWnd = nullptr)
      : m_nIDTemplate(nIDTemplate), m_pParentWnd(pParentWnd) {}
  virtual ~CDialog() = default;
  CDialog(const CDialog&) = delete;
  CDialog& operator=(const CDialog&) = delete;

  UINT m_nIDTemplate;
  CWnd* m_pParentWnd;
};
