#include "log/ManagedCall.h"

namespace {

// The status of a call that a COM error exception ended.
constexpr HRESULT kComErrorStatus = 22;

// Owner of one reference to an interface.
template <typename T>
class InterfaceHolder {
 public:
  InterfaceHolder() = default;
  InterfaceHolder(const InterfaceHolder&) = delete;
  InterfaceHolder& operator=(const InterfaceHolder&) = delete;
  ~InterfaceHolder() {
    if (p_) p_->Release();
  }
  T* operator->() const { return p_; }
  T* get() const { return p_; }
  // Where a getter stores its new reference: typed, or as void** for a getter that
  // takes the interface identifier.
  T** put() { return &p_; }
  void** out() { return reinterpret_cast<void**>(&p_); }
  // Takes a reference of its own to p.
  void add_ref(T* p) {
    p_ = p;
    p_->AddRef();
  }

 private:
  T* p_ = nullptr;
};

class BstrHolder {
 public:
  BstrHolder() = default;
  BstrHolder(const BstrHolder&) = delete;
  BstrHolder& operator=(const BstrHolder&) = delete;
  ~BstrHolder() { SysFreeString(s_); }
  void reset(BSTR s) {
    SysFreeString(s_);
    s_ = s;
  }
  BSTR get() const { return s_; }

 private:
  BSTR s_ = nullptr;
};

class VariantHolder {
 public:
  VariantHolder() { VariantInit(&v_); }
  VariantHolder(const VariantHolder&) = delete;
  VariantHolder& operator=(const VariantHolder&) = delete;
  ~VariantHolder() { VariantClear(&v_); }
  VARIANT* get() { return &v_; }

 private:
  VARIANT v_;
};

}  // namespace

HRESULT CallManagedMethod(LPCSTR pszAssemblyName, LPCSTR pszTypeName, LPCWSTR pszMethodName, DWORD dwArgCount,
                          VARIANT* pArgs, VARIANT* pResult) {
  try {
    // Holders are destroyed in the reverse of their declaration, which releases the
    // dispatch interface first and the runtime host last, on every way out.
    InterfaceHolder<ICorRuntimeHost> host;
    InterfaceHolder<_AppDomain> appDomain;
    InterfaceHolder<IUnknown> defaultDomain;
    InterfaceHolder<_ObjectHandle> objectHandle;
    BstrHolder assemblyName;
    BstrHolder typeName;
    VariantHolder unwrapped;
    InterfaceHolder<IDispatch> dispatch;

    HRESULT hr = CorBindToRuntimeEx(nullptr, u"wks", STARTUP_CONCURRENT_GC | STARTUP_LOADER_SAFEMODE,
                                    CLSID_CorRuntimeHost, IID_ICorRuntimeHost, host.out());
    if (FAILED(hr)) return hr;
    host->Start();  // its result is not looked at: the steps after it fail if it did
    hr = host->GetDefaultDomain(defaultDomain.put());
    if (FAILED(hr)) return hr;
    hr = defaultDomain->QueryInterface(IID__AppDomain, appDomain.out());
    if (FAILED(hr)) return hr;

    assemblyName.reset(_com_util::ConvertStringToBSTR(pszAssemblyName));
    typeName.reset(_com_util::ConvertStringToBSTR(pszTypeName));
    hr = appDomain->CreateInstance(assemblyName.get(), typeName.get(), objectHandle.put());
    if (FAILED(hr)) return hr;
    hr = objectHandle->Unwrap(unwrapped.get());
    if (FAILED(hr)) return hr;
    if (unwrapped.get()->vt != VT_DISPATCH || !unwrapped.get()->pdispVal) return E_FAIL;
    dispatch.add_ref(unwrapped.get()->pdispVal);

    DISPPARAMS params = {pArgs, nullptr, dwArgCount, 0};
    LPOLESTR names[] = {const_cast<LPOLESTR>(pszMethodName)};
    DISPID dispid = DISPID_UNKNOWN;
    hr = dispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_SYSTEM_DEFAULT, &dispid);
    if (FAILED(hr)) return hr;
    hr = dispatch->Invoke(dispid, IID_NULL, LOCALE_SYSTEM_DEFAULT, DISPATCH_METHOD, &params, pResult, nullptr, nullptr);
    if (FAILED(hr)) return hr;
    host->Stop();
    return S_OK;
  } catch (const _com_error&) {
    return kComErrorStatus;
  }
}
