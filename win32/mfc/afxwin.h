// The application framework (MFC), as far as the program uses it: the application class
// with its start-up hook, the entry point that drives it, the module state's instance
// and resource handles, and the dialog class. There is no window system here, so there
// is no message loop to run and no window class to register.
#pragma once

#include "win32/windows.h"

class CWinApp {
 public:
  // Registers the one application object of the process (AfxGetApp). The name is
  // unused: the program shows no window that could carry it.
  explicit CWinApp(LPCWSTR lpszAppName = nullptr);
  virtual ~CWinApp();
  CWinApp(const CWinApp&) = delete;
  CWinApp& operator=(const CWinApp&) = delete;

  // The program's start-up; TRUE lets the framework go on to Run. The base does nothing.
  virtual BOOL InitInstance();
  // What the thread's message loop would do: take the messages posted to this thread up
  // to WM_QUIT (its wParam becomes the exit code). No window can ever receive a message,
  // so an empty queue ends the loop too. Returns ExitInstance().
  virtual int Run();
  // The process's exit code: the wParam of the WM_QUIT that ended Run, else 0.
  virtual int ExitInstance();

  // Set by AfxWinMain before InitInstance: the program's instance handle and the
  // command-line text after the program name.
  HINSTANCE m_hInstance = nullptr;
  LPWSTR m_lpCmdLine = nullptr;

 protected:
  int m_nQuitCode = 0;
};

// The application object, or null before it is constructed or after it is destroyed.
CWinApp* AfxGetApp();

// The framework's entry point: records the instance handle and command line in the
// application object and the module state, calls InitInstance, and then Run when it
// gave TRUE or ExitInstance when it gave FALSE. Returns the exit code; -1 when the
// process has no application object.
int AfxWinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPWSTR lpCmdLine, int nCmdShow);

// The module state: the program's instance handle, and the module in which string and
// other resources are looked up first (the instance until a language library takes
// over). In this layer the program's own module is the null module handle, the value
// that names the program in GetModuleFileNameW.
HINSTANCE AfxGetInstanceHandle();
HINSTANCE AfxGetResourceHandle();
void AfxSetResourceHandle(HINSTANCE hInstResource);

// Registers the common controls' window classes; without a window system there are
// none to register, and nothing fails.
void InitCommonControls();

#define SW_SHOWNORMAL 1

class CWnd;

// The dialog class only carries its template identifier and parent: the program never
// creates a window for it.
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
