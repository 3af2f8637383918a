#include "win32/mfc/afxwin.h"

#include "win32/kernel32/process.h"

namespace {

// The module state of the program: one per process, as the program is one module.
struct ModuleState {
  CWinApp* pCurrentWinApp = nullptr;
  HINSTANCE hCurrentInstanceHandle = nullptr;
  HINSTANCE hCurrentResourceHandle = nullptr;
};

ModuleState& State() {
  static ModuleState state;
  return state;
}

}  // namespace

CWinApp::CWinApp(LPCWSTR) { State().pCurrentWinApp = this; }

CWinApp::~CWinApp() {
  if (State().pCurrentWinApp == this) State().pCurrentWinApp = nullptr;
}

BOOL CWinApp::InitInstance() { return TRUE; }

int CWinApp::Run() {
  hivemend::win32::ThreadMessage message{};
  while (hivemend::win32::take_thread_message(message)) {
    if (message.message == WM_QUIT) {
      m_nQuitCode = int(message.wParam);
      break;
    }
  }
  return ExitInstance();
}

int CWinApp::ExitInstance() { return m_nQuitCode; }

CWinApp* AfxGetApp() { return State().pCurrentWinApp; }

int AfxWinMain(HINSTANCE hInstance, HINSTANCE, LPWSTR lpCmdLine, int) {
  CWinApp* pApp = AfxGetApp();
  if (pApp == nullptr) return -1;
  State().hCurrentInstanceHandle = hInstance;
  State().hCurrentResourceHandle = hInstance;
  pApp->m_hInstance = hInstance;
  pApp->m_lpCmdLine = lpCmdLine;
  if (!pApp->InitInstance()) return pApp->ExitInstance();
  return pApp->Run();
}

HINSTANCE AfxGetInstanceHandle() { return State().hCurrentInstanceHandle; }

HINSTANCE AfxGetResourceHandle() { return State().hCurrentResourceHandle; }

void AfxSetResourceHandle(HINSTANCE hInstResource) { State().hCurrentResourceHandle = hInstResource; }

void InitCommonControls() {}
