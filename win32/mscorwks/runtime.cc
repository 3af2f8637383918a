// mscorwks.dll: the runtime that CorBindToRuntimeEx binds. Its host object, the default
// application domain, which loads assemblies and makes instances of their types, the
// object handles CreateInstance gives, and the dispatch interface (the COM-callable
// wrapper) through which a host calls an instance's methods.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "base/unicode.h"
#include "win32/com/com_object.h"
#include "win32/com/managed.h"
#include "win32/host/error.h"
#include "win32/kernel32/module.h"

namespace {

using hivemend::win32::ComLifetime;
using hivemend::win32::ComObject;

struct Counters {
  std::atomic<ULONGLONG> starts{0}, stops{0}, created{0}, alive{0};
};
Counters g_counters;

// Start calls not undone by Stop; the runtime is started while this is above zero.
std::atomic<LONG> g_started{0};

// .NET gives the members of a class dispatch identifiers from this base up.
constexpr DISPID kFirstDispid = 0x60020000;

// ---- Argument conversion --------------------------------------------------------

bool is_integer(VARTYPE vt) {
  switch (vt) {
    case VT_I1:
    case VT_I2:
    case VT_I4:
    case VT_I8:
    case VT_INT:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_UI8:
    case VT_UINT: return true;
    default: return false;
  }
}

__int128 integer_of(const VARIANT& v) {
  switch (v.vt) {
    case VT_I1: return static_cast<signed char>(v.cVal);
    case VT_I2: return v.iVal;
    case VT_I4: return v.lVal;
    case VT_INT: return v.intVal;
    case VT_I8: return v.llVal;
    case VT_UI1: return v.bVal;
    case VT_UI2: return v.uiVal;
    case VT_UI4: return v.ulVal;
    case VT_UINT: return v.uintVal;
    default: return v.ullVal;  // VT_UI8
  }
}

template <typename T>
bool store(__int128 value, T* into) {
  if (value < __int128(std::numeric_limits<T>::min()) || value > __int128(std::numeric_limits<T>::max())) return false;
  *into = static_cast<T>(value);
  return true;
}

// The argument as the parameter's type, the way the dispatch interface of a .NET
// object coerces it: integers by value, everything else only to itself.
HRESULT convert(const VARIANT& in, VARTYPE to, VARIANT* out) {
  *out = in;
  if (to == VT_VARIANT || (in.vt == to && !is_integer(to))) return S_OK;
  if (!is_integer(in.vt) || !is_integer(to)) return DISP_E_TYPEMISMATCH;
  const __int128 value = integer_of(in);
  out->ullVal = 0;
  out->vt = to;
  bool fits = false;
  switch (to) {
    case VT_I1: {
      signed char c = 0;
      fits = store(value, &c);
      out->cVal = CHAR(c);
      break;
    }
    case VT_I2: fits = store(value, &out->iVal); break;
    case VT_I4: fits = store(value, &out->lVal); break;
    case VT_INT: fits = store(value, &out->intVal); break;
    case VT_I8: fits = store(value, &out->llVal); break;
    case VT_UI1: fits = store(value, &out->bVal); break;
    case VT_UI2: fits = store(value, &out->uiVal); break;
    case VT_UI4: fits = store(value, &out->ulVal); break;
    case VT_UINT: fits = store(value, &out->uintVal); break;
    case VT_UI8: fits = store(value, &out->ullVal); break;
  }
  return fits ? S_OK : DISP_E_OVERFLOW;
}

// ---- Instances: the COM-callable wrapper ---------------------------------------

class ManagedObject final : public ComObject<IDispatch, IID_IDispatch> {
 public:
  ManagedObject(const HIVEMEND_MANAGED_TYPE& type, void* instance) : type_(type), instance_(instance) {
    ++g_counters.created;
    ++g_counters.alive;
  }

  HRESULT GetTypeInfoCount(UINT* pctinfo) override {
    if (!pctinfo) return E_POINTER;
    *pctinfo = 0;
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo) override {
    if (ppTInfo) *ppTInfo = nullptr;
    return E_NOTIMPL;
  }

  // The first name is the member; further names would be its parameters, which are not
  // published, so they stay DISPID_UNKNOWN.
  HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID, DISPID* rgDispId) override {
    if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    if (cNames == 0) return S_OK;
    if (!rgszNames || !rgDispId) return E_POINTER;
    for (UINT i = 0; i < cNames; ++i) rgDispId[i] = DISPID_UNKNOWN;
    if (!rgszNames[0]) return DISP_E_UNKNOWNNAME;
    const std::u16string_view wanted(rgszNames[0]);
    for (size_t m = 0; type_.methods && type_.methods[m].name; ++m)
      if (base::equal_nocase(type_.methods[m].name, wanted)) {
        rgDispId[0] = kFirstDispid + DISPID(m);
        return cNames == 1 ? S_OK : DISP_E_UNKNOWNNAME;
      }
    return DISP_E_UNKNOWNNAME;
  }

  HRESULT Invoke(DISPID dispIdMember, REFIID riid, LCID, WORD wFlags, DISPPARAMS* pDispParams, VARIANT* pVarResult,
                 EXCEPINFO* pExcepInfo, UINT* puArgErr) override {
    if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    const HIVEMEND_MANAGED_METHOD* method = method_of(dispIdMember);
    if (!method || !(wFlags & DISPATCH_METHOD)) return DISP_E_MEMBERNOTFOUND;
    if (!pDispParams) return E_INVALIDARG;
    if (pDispParams->cNamedArgs != 0) return DISP_E_NONAMEDARGS;
    if (pDispParams->cArgs != method->cParams) return DISP_E_BADPARAMCOUNT;
    // Arguments come last one first; the method takes them in declaration order.
    constexpr UINT kArgsInPlace = 8;
    VARIANT in_place[kArgsInPlace];
    std::vector<VARIANT> more;
    VARIANT* args = in_place;
    if (method->cParams > kArgsInPlace) {
      try {
        more.resize(method->cParams);
      } catch (const std::bad_alloc&) { return E_OUTOFMEMORY; }
      args = more.data();
    }
    for (UINT i = 0; i < method->cParams; ++i) {
      const UINT at = method->cParams - 1 - i;
      const HRESULT hr = convert(pDispParams->rgvarg[at], method->paramTypes[i], &args[i]);
      if (FAILED(hr)) {
        if (puArgErr) *puArgErr = at;
        return hr;
      }
    }
    VARIANT result;
    VariantInit(&result);
    try {
      method->call(instance_, args, &result);
    } catch (...) {
      VariantClear(&result);
      if (pExcepInfo) {
        try {
          describe(std::current_exception(), pExcepInfo);
        } catch (const std::bad_alloc&) {  // the description is left out
        }
      }
      return DISP_E_EXCEPTION;
    }
    // The slot is overwritten, not cleared: the caller passes one that owns nothing.
    if (pVarResult)
      *pVarResult = result;
    else
      VariantClear(&result);
    return S_OK;
  }

 private:
  ~ManagedObject() {
    if (type_.destroy) type_.destroy(instance_);
    --g_counters.alive;
  }

  const HIVEMEND_MANAGED_METHOD* method_of(DISPID id) const {
    if (id < kFirstDispid || !type_.methods) return nullptr;
    for (size_t m = 0; type_.methods[m].name; ++m)
      if (kFirstDispid + DISPID(m) == id) return &type_.methods[m];
    return nullptr;
  }

  // The exception as a .NET host sees it: its source (the type) and its message.
  void describe(std::exception_ptr error, EXCEPINFO* info) const {
    std::memset(info, 0, sizeof *info);
    info->scode = COR_E_EXCEPTION;
    info->bstrSource = SysAllocString(type_.fullName);
    std::string message = "Exception of type 'System.Exception' was thrown.";
    try {
      std::rethrow_exception(error);
    } catch (const std::exception& e) { message = e.what(); } catch (...) {
    }
    const std::u16string wide = base::from_utf8(message);
    info->bstrDescription = SysAllocString(wide.c_str());
  }

  const HIVEMEND_MANAGED_TYPE& type_;
  void* instance_;
};

// ---- Object handles -------------------------------------------------------------

class ObjectHandle final : public ComObject<_ObjectHandle, IID__ObjectHandle> {
 public:
  // Takes over the VARIANT (and the reference it may hold).
  explicit ObjectHandle(const VARIANT& object) : object_(object) {}

  HRESULT Unwrap(VARIANT* pRetVal) override {
    if (!pRetVal) return E_POINTER;
    *pRetVal = object_;
    if (object_.vt == VT_DISPATCH && object_.pdispVal) object_.pdispVal->AddRef();
    return S_OK;
  }

 private:
  ~ObjectHandle() { VariantClear(&object_); }

  VARIANT object_;
};

// ---- The default application domain and its assemblies --------------------------

// The simple name of an assembly name ("Name, Version=..." gives "Name").
std::u16string_view simple_name(std::u16string_view name) {
  name = name.substr(0, name.find(u','));
  while (!name.empty() && name.front() == u' ') name.remove_prefix(1);
  while (!name.empty() && name.back() == u' ') name.remove_suffix(1);
  return name;
}

// The default domain lives as long as the process.
class AppDomain final : public ComObject<_AppDomain, IID__AppDomain, ComLifetime::process> {
 public:
  HRESULT CreateInstance(BSTR AssemblyName, BSTR typeName, _ObjectHandle** pRetVal) override {
    if (!pRetVal) return E_POINTER;
    *pRetVal = nullptr;
    if (g_started <= 0) return HOST_E_CLRNOTAVAILABLE;
    const std::u16string_view assembly = simple_name({AssemblyName ? AssemblyName : u"", SysStringLen(AssemblyName)});
    const std::u16string_view type_name(typeName ? typeName : u"", SysStringLen(typeName));
    if (assembly.empty() || type_name.empty()) return E_INVALIDARG;
    if (std::any_of(assembly.begin(), assembly.end(), [](char16_t c) { return c == u'\\' || c == u'/' || c == u':'; }))
      return FUSION_E_INVALID_NAME;

    const HIVEMEND_MANAGED_TYPE* types = nullptr;
    HRESULT hr;
    try {
      hr = load(assembly, &types);
    } catch (const std::bad_alloc&) { hr = E_OUTOFMEMORY; }
    if (FAILED(hr)) return hr;
    const HIVEMEND_MANAGED_TYPE* type = types;
    while (type->fullName && type_name != type->fullName) ++type;
    if (!type->fullName) return COR_E_TYPELOAD;

    VARIANT object;
    VariantInit(&object);
    if (type->valueType != VT_EMPTY) {
      object.ullVal = 0;
      object.record.pRecInfo = nullptr;
      object.vt = type->valueType;
    } else {
      if (!type->construct) return COR_E_MISSINGMETHOD;
      void* instance = nullptr;
      try {
        instance = type->construct();
      } catch (...) { return COR_E_TARGETINVOCATION; }
      if (!instance) return E_OUTOFMEMORY;
      auto* wrapper = new (std::nothrow) ManagedObject(*type, instance);
      if (!wrapper) {
        if (type->destroy) type->destroy(instance);
        return E_OUTOFMEMORY;
      }
      object.vt = VT_DISPATCH;
      object.pdispVal = wrapper;
    }
    *pRetVal = new (std::nothrow) ObjectHandle(object);
    if (!*pRetVal) {
      VariantClear(&object);
      return E_OUTOFMEMORY;
    }
    return S_OK;
  }

 private:
  // The assembly's type table, loading the assembly on first use. Loaded assemblies
  // stay loaded for the life of the process, so the list of them only grows: a lookup
  // (one per CreateInstance) reads it without the lock, which only loading takes.
  HRESULT load(std::u16string_view name, const HIVEMEND_MANAGED_TYPE** types) {
    if (const Assembly* assembly = find_loaded(newest_.load(std::memory_order_acquire), name)) {
      *types = assembly->types;
      return S_OK;
    }
    std::lock_guard lock(mutex_);
    if (const Assembly* assembly = find_loaded(newest_.load(std::memory_order_relaxed), name)) {
      *types = assembly->types;
      return S_OK;
    }
    const std::u16string file = std::u16string(name) + u".dll";
    HMODULE module = LoadLibraryW(file.c_str());
    if (!module) {
      const DWORD error = GetLastError();
      if (error == ERROR_MOD_NOT_FOUND) return COR_E_FILENOTFOUND;
      if (error == ERROR_BAD_EXE_FORMAT) return COR_E_BADIMAGEFORMAT;
      return HRESULT_FROM_WIN32(error);
    }
    // A library without a type table is no assembly.
    const auto* table =
        reinterpret_cast<const HIVEMEND_MANAGED_TYPE*>(GetProcAddress(module, HIVEMEND_MANAGED_TYPES_NAME));
    if (!table) {
      FreeLibrary(module);
      return COR_E_BADIMAGEFORMAT;
    }
    loaded_.push_back(std::make_unique<Assembly>(
        Assembly{std::u16string(name), table, loaded_.empty() ? nullptr : loaded_.back().get()}));
    newest_.store(loaded_.back().get(), std::memory_order_release);
    *types = table;
    return S_OK;
  }

  struct Assembly {
    std::u16string name;
    const HIVEMEND_MANAGED_TYPE* types;
    const Assembly* older;  // the one loaded before it
  };

  // Assembly names compare as file names do on Windows, case-insensitively.
  static const Assembly* find_loaded(const Assembly* newest, std::u16string_view name) {
    for (const Assembly* assembly = newest; assembly; assembly = assembly->older)
      if (base::equal_nocase(assembly->name, name)) return assembly;
    return nullptr;
  }

  std::mutex mutex_;                               // taken to load an assembly
  std::vector<std::unique_ptr<Assembly>> loaded_;  // a process loads a handful
  std::atomic<const Assembly*> newest_{nullptr};
};

AppDomain g_default_domain;

// ---- The host -------------------------------------------------------------------

// One host serves the process for its whole life.
class RuntimeHost final : public ComObject<ICorRuntimeHost, IID_ICorRuntimeHost, ComLifetime::process> {
 public:
  HRESULT Start() override {
    ++g_started;
    ++g_counters.starts;
    return S_OK;
  }
  HRESULT Stop() override {
    LONG started = g_started;
    do {
      if (started <= 0) return E_UNEXPECTED;
    } while (!g_started.compare_exchange_weak(started, started - 1));
    ++g_counters.stops;
    return S_OK;
  }
  HRESULT GetDefaultDomain(IUnknown** pAppDomain) override {
    if (!pAppDomain) return E_POINTER;
    *pAppDomain = nullptr;
    if (g_started <= 0) return HOST_E_CLRNOTAVAILABLE;
    g_default_domain.AddRef();
    *pAppDomain = static_cast<_AppDomain*>(&g_default_domain);
    return S_OK;
  }
};

RuntimeHost g_host;

}  // namespace

extern "C" __attribute__((visibility("default"))) HRESULT HivemendRuntimeBind(LPCWSTR pwszVersion, REFIID riid,
                                                                              void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (pwszVersion && std::u16string_view(pwszVersion) != HIVEMEND_RUNTIME_VERSION) return CLR_E_SHIM_RUNTIMELOAD;
  return g_host.QueryInterface(riid, ppv);
}

extern "C" __attribute__((visibility("default"))) void HivemendRuntimeCounters(HIVEMEND_RUNTIME_COUNTERS* counters) {
  counters->starts = g_counters.starts;
  counters->stops = g_counters.stops;
  counters->instancesCreated = g_counters.created;
  counters->instancesAlive = g_counters.alive;
}
