// The IUnknown part of a COM object that implements one interface: QueryInterface gives
// the object for IUnknown and for that interface's identifier, and the reference count
// decides the object's life.
#pragma once

#include <atomic>

#include "win32/com/oleauto.h"

namespace hivemend::win32 {

// How long an object lives: until its last reference is released (it was made with
// new), or as long as the process (a static object: no count is kept, AddRef gives 2
// and Release 1).
enum class ComLifetime { counted, process };

template <typename Interface, const IID& kIid, ComLifetime kLifetime = ComLifetime::counted>
class ComObject : public Interface {
 public:
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == kIid) {
      *ppv = static_cast<Interface*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override {
    if constexpr (kLifetime == ComLifetime::process)
      return 2;
    else
      return ++refs_;
  }
  ULONG Release() override {
    if constexpr (kLifetime == ComLifetime::process) {
      return 1;
    } else {
      const ULONG left = --refs_;
      if (left == 0) delete this;
      return left;
    }
  }

 protected:
  ComObject() = default;
  virtual ~ComObject() = default;
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

 private:
  std::atomic<ULONG> refs_{1};
};

}  // namespace hivemend::win32
