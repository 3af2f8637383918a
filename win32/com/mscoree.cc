#include "win32/com/mscoree.h"

#include <atomic>
#include <mutex>

#include "win32/com/managed.h"
#include "win32/kernel32/module.h"

namespace {

// The runtime, once loaded, stays for the life of the process (a process never unloads
// its runtime). Until then every binding looks for it again. Once found, a binding (one
// per log line) reads it without taking the lock.
HIVEMEND_RUNTIME_BIND runtime_bind() {
  static std::atomic<HIVEMEND_RUNTIME_BIND> found{nullptr};
  if (HIVEMEND_RUNTIME_BIND bind = found.load(std::memory_order_acquire)) return bind;
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  if (HIVEMEND_RUNTIME_BIND bind = found.load(std::memory_order_relaxed)) return bind;
  HMODULE runtime = LoadLibraryW(HIVEMEND_RUNTIME_FILE);
  if (!runtime) return nullptr;
  auto bind = reinterpret_cast<HIVEMEND_RUNTIME_BIND>(GetProcAddress(runtime, HIVEMEND_RUNTIME_BIND_NAME));
  if (!bind) {
    FreeLibrary(runtime);
    return nullptr;
  }
  found.store(bind, std::memory_order_release);
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
