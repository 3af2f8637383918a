#include "win32/com/mscoree.h"

#include <mutex>

#include "win32/com/managed.h"
#include "win32/kernel32/module.h"

namespace {

// The runtime, once loaded, stays for the life of the process (a process never unloads
// its runtime). Until then every binding looks for it again.
HIVEMEND_RUNTIME_BIND runtime_bind() {
  static std::mutex mutex;
  static HIVEMEND_RUNTIME_BIND bind = nullptr;
  std::lock_guard lock(mutex);
  if (!bind) {
    HMODULE runtime = LoadLibraryW(HIVEMEND_RUNTIME_FILE);
    if (!runtime) return nullptr;
    bind = reinterpret_cast<HIVEMEND_RUNTIME_BIND>(GetProcAddress(runtime, HIVEMEND_RUNTIME_BIND_NAME));
    if (!bind) FreeLibrary(runtime);
  }
  return bind;
}

}  // namespace

HRESULT WINAPI CorBindToRuntimeEx(LPCWSTR pwszVersion, LPCWSTR /*pwszBuildFlavor*/, DWORD /*startupFlags*/,
                                  REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (!IsEqualCLSID(rclsid, CLSID_CorRuntimeHost)) return CLASS_E_CLASSNOTAVAILABLE;
  const HIVEMEND_RUNTIME_BIND bind = runtime_bind();
  if (!bind) return CLR_E_SHIM_RUNTIMELOAD;
  return bind(pwszVersion, riid, ppv);
}
