// The .NET runtime's legacy hosting interface (mscoree.h, mscorlib's _AppDomain and
// _ObjectHandle): binding the runtime, starting it, and making an instance of a type
// of an assembly in the default application domain. Interfaces declare the members a
// host of this program uses, in Windows' order among themselves.
//
// CorBindToRuntimeEx is the shim: it loads the runtime proper, the library
// "mscorwks.dll" (the workstation runtime) beside the program. Without that file no
// runtime is installed, and binding fails with CLR_E_SHIM_RUNTIMELOAD, as on a Windows
// machine without the .NET Framework. docs/managed-host.md describes the runtime.
#pragma once

#include "win32/com/oleauto.h"

// Results of the runtime and of managed code (corerror.h); an exception thrown by
// managed code reaches a COM caller as its HRESULT.
#define COR_E_EXCEPTION static_cast<HRESULT>(0x80131500L)
#define COR_E_MISSINGMETHOD static_cast<HRESULT>(0x80131513L)
#define COR_E_TYPELOAD static_cast<HRESULT>(0x80131522L)
#define COR_E_TARGETINVOCATION static_cast<HRESULT>(0x80131604L)
#define COR_E_FILENOTFOUND HRESULT_FROM_WIN32(2)     // 0x80070002, FileNotFoundException
#define COR_E_BADIMAGEFORMAT HRESULT_FROM_WIN32(11)  // 0x8007000B, BadImageFormatException
#define FUSION_E_INVALID_NAME static_cast<HRESULT>(0x80131047L)
#define HOST_E_CLRNOTAVAILABLE static_cast<HRESULT>(0x80131023L)
#define CLR_E_SHIM_RUNTIMELOAD static_cast<HRESULT>(0x80131700L)

// Start-up flags of CorBindToRuntimeEx (STARTUP_FLAGS). They tune the garbage collector
// and the loader of a real runtime and change nothing here.
#define STARTUP_CONCURRENT_GC 0x1
#define STARTUP_LOADER_SAFEMODE 0x10

inline constexpr CLSID CLSID_CorRuntimeHost = {
    0xCB2F6723, 0xAB3A, 0x11D2, {0x9C, 0x40, 0x00, 0xC0, 0x4F, 0xA3, 0x0A, 0x3E}};
inline constexpr IID IID_ICorRuntimeHost = {
    0xCB2F6722, 0xAB3A, 0x11D2, {0x9C, 0x40, 0x00, 0xC0, 0x4F, 0xA3, 0x0A, 0x3E}};
inline constexpr IID IID__AppDomain = {0x05F696DC, 0x2B29, 0x3663, {0xAD, 0x8B, 0xC4, 0x38, 0x9C, 0xF2, 0xA7, 0x13}};
inline constexpr IID IID__ObjectHandle = {0xEA675B47, 0x64E0, 0x3B5F, {0x9B, 0xE7, 0xF7, 0xDC, 0x29, 0x90, 0x73, 0x0D}};

// An object handle: a managed object made in a domain, until it is unwrapped.
class _ObjectHandle : public IUnknown {
 public:
  // The object as a VARIANT: VT_DISPATCH (a new reference) for an instance of a class,
  // the value itself for a value type (an Int32 is VT_I4).
  virtual HRESULT Unwrap(VARIANT* pRetVal) = 0;

 protected:
  ~_ObjectHandle() = default;
};

class _AppDomain : public IUnknown {
 public:
  // Loads the assembly (a simple name: "TsoExtractAccess", optionally followed by ", "
  // and properties, which are not matched) if it is not loaded yet, and makes an
  // instance of the type (full name, case-sensitive) with its public parameterless
  // constructor. Failures are the HRESULTs of the exceptions .NET raises:
  // COR_E_FILENOTFOUND (no such assembly), COR_E_BADIMAGEFORMAT (a library that is no
  // assembly), COR_E_TYPELOAD (no such type), COR_E_MISSINGMETHOD (no public
  // parameterless constructor), COR_E_TARGETINVOCATION (the constructor threw),
  // FUSION_E_INVALID_NAME (a name that is a path), E_INVALIDARG (an empty name),
  // HOST_E_CLRNOTAVAILABLE (the runtime is not started).
  virtual HRESULT CreateInstance(BSTR AssemblyName, BSTR typeName, _ObjectHandle** pRetVal) = 0;

 protected:
  ~_AppDomain() = default;
};

class ICorRuntimeHost : public IUnknown {
 public:
  // Starts the runtime; calls nest. Domains are given out and instances made only
  // while it is started.
  virtual HRESULT Start() = 0;
  // Undoes one Start; E_UNEXPECTED when the runtime is not started.
  virtual HRESULT Stop() = 0;
  // The default application domain, as IUnknown (QueryInterface gives _AppDomain).
  // HOST_E_CLRNOTAVAILABLE while the runtime is not started.
  virtual HRESULT GetDefaultDomain(IUnknown** pAppDomain) = 0;

 protected:
  ~ICorRuntimeHost() = default;
};

// Binds the runtime and gives the interface riid (IID_ICorRuntimeHost or IID_IUnknown)
// of its host object, class CLSID_CorRuntimeHost. One runtime serves the process: every
// binding gives the same host. pwszVersion null asks for the installed runtime, which
// is "v2.0.50727"; another version is not installed. A build flavour of null, "wks" or
// "svr" selects the one runtime there is. Fails with CLR_E_SHIM_RUNTIMELOAD when the
// runtime cannot be loaded, CLASS_E_CLASSNOTAVAILABLE for another class, E_NOINTERFACE
// for another interface.
HRESULT WINAPI CorBindToRuntimeEx(LPCWSTR pwszVersion, LPCWSTR pwszBuildFlavor, DWORD startupFlags, REFCLSID rclsid,
                                  REFIID riid, LPVOID* ppv);
