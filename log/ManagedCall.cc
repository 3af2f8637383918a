#include "log/ManagedCall.h"

#include "win32/unique.h"

namespace {

// The status of a call that a COM error exception ended.
constexpr HRESULT kComErrorStatus = 22;

using hivemend::win32::ComPtr;
using hivemend::win32::UniqueBstr;

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
    // Owners are destroyed in the reverse of their declaration, which releases the
    // dispatch interface first and the runtime host last, on every way out.
    ComPtr<ICorRuntimeHost> host;
    ComPtr<_AppDomain> appDomain;
    ComPtr<IUnknown> defaultDomain;
    ComPtr<_ObjectHandle> objectHandle;
    UniqueBstr assemblyName;
    UniqueBstr typeName;
    VariantHolder unwrapped;
    ComPtr<IDispatch> dispatch;

    HRESULT hr = CorBindToRuntimeEx(nullptr, u"wks", STARTUP_CONCURRENT_GC | STARTUP_LOADER_SAFEMODE,
                                    CLSID_CorRuntimeHost, IID_ICorRuntimeHost, reinterpret_cast<void**>(host.put()));
    if (FAILED(hr)) return hr;
    host->Start();  // its result is not looked at: the steps after it fail if it did
    hr = host->GetDefaultDomain(defaultDomain.put());
    if (FAILED(hr)) return hr;
    hr = defaultDomain->QueryInterface(IID__AppDomain, reinterpret_cast<void**>(appDomain.put()));
    if (FAILED(hr)) return hr;

    assemblyName.reset(_com_util::ConvertStringToBSTR(pszAssemblyName));
    typeName.reset(_com_util::ConvertStringToBSTR(pszTypeName));
    hr = appDomain->CreateInstance(assemblyName.get(), typeName.get(), objectHandle.put());
    if (FAILED(hr)) return hr;
    hr = objectHandle->Unwrap(unwrapped.get());
    if (FAILED(hr)) return hr;
    if (unwrapped.get()->vt != VT_DISPATCH || !unwrapped.get()->pdispVal) return E_FAIL;
    dispatch.reset(unwrapped.get()->pdispVal);
    dispatch->AddRef();  // a reference of its own: the VARIANT keeps its one

    DISPPARAMS params = {pArgs, nullptr, dwArgCount, 0};
    LPOLESTR names[] = {const_cast<LPOLESTR>(pszMethodName)};
    DISPID dispid = DISPID_UNKNOWN;
    hr = dispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_SYSTEM_DEFAULT, &dispid);
    if (FAILED(hr)) return hr;
    hr = dispatch->Invoke(dispid, IID_NULL, LOCALE_SYSTEM_DEFAULT, DISPATCH_METHOD, &params, pResult, nullptr, nullptr);
    if (FAILED(hr)) return hr;
    host->Stop();
    return S_OK;
  } catch (const _com_error&) { return kComErrorStatus; }
}
