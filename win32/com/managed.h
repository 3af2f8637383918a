// What the runtime behind CorBindToRuntimeEx (mscoree.h) expects of an assembly, and
// what the runtime library exports. An assembly is a shared library named after the
// assembly ("TsoExtractAccess.dll") in the program's folder; it publishes its types in
// a table, and the runtime gives each instance its dispatch interface:
//
//   extern "C" __attribute__((visibility("default")))
//   const HIVEMEND_MANAGED_TYPE HivemendManagedTypes[] = {
//       {u"Tsovane.ExtractAccess", New, Delete, kMethods, VT_EMPTY}, {nullptr}};
//
// Managed exceptions are C++ exceptions: one thrown by a constructor makes
// CreateInstance fail with COR_E_TARGETINVOCATION, one thrown by a method makes
// IDispatch::Invoke fail with DISP_E_EXCEPTION. docs/managed-host.md has the whole
// contract.
#pragma once

#include "win32/com/mscoree.h"

// A public method. IDispatch::GetIDsOfNames finds it by name (case-insensitive, as
// OLE Automation names are); IDispatch::Invoke checks the argument count and converts
// each argument to its parameter's type before the call.
struct HIVEMEND_MANAGED_METHOD {
  const WCHAR* name;
  UINT cParams;
  // Parameter types in declaration order: an integer type (VT_I1 to VT_UI8, VT_INT,
  // VT_UINT) accepts any integer argument whose value fits; VT_VARIANT accepts
  // anything; other types accept exactly themselves.
  const VARTYPE* paramTypes;
  // Runs the method on an instance. args holds the converted arguments in declaration
  // order, borrowed for the call; result starts VT_EMPTY and is handed to the caller.
  void (*call)(void* instance, const VARIANT* args, VARIANT* result);
};

// A public type, by its full name ("Namespace.Name").
struct HIVEMEND_MANAGED_TYPE {
  const WCHAR* fullName;
  // A class: the public parameterless constructor (null when there is none) and the
  // destructor, run when the last reference to the instance is released.
  void* (*construct)();
  void (*destroy)(void* instance);
  const HIVEMEND_MANAGED_METHOD* methods;  // ended by an entry with a null name; may be null
  // A value type instead of a class: its instance is the zero value of this VARIANT
  // type (VT_I4 for an Int32), and unwraps to that VARIANT. VT_EMPTY for a class.
  VARTYPE valueType;
};

#define HIVEMEND_MANAGED_TYPES_NAME "HivemendManagedTypes"

// The runtime library and its exports.
#define HIVEMEND_RUNTIME_FILE u"mscorwks.dll"
#define HIVEMEND_RUNTIME_VERSION u"v2.0.50727"

// HRESULT HivemendRuntimeBind(LPCWSTR pwszVersion, REFIID riid, void** ppv): the host
// object, as CorBindToRuntimeEx describes it.
#define HIVEMEND_RUNTIME_BIND_NAME "HivemendRuntimeBind"
using HIVEMEND_RUNTIME_BIND = HRESULT (*)(LPCWSTR pwszVersion, REFIID riid, void** ppv);

// The runtime's counters since the process began, its counterpart of the .NET
// performance counters: how often it was started and stopped (Start calls not undone
// by a Stop are starts - stops), the instances of classes made, and those still alive.
struct HIVEMEND_RUNTIME_COUNTERS {
  ULONGLONG starts;
  ULONGLONG stops;
  ULONGLONG instancesCreated;
  ULONGLONG instancesAlive;
};
// void HivemendRuntimeCounters(HIVEMEND_RUNTIME_COUNTERS*)
#define HIVEMEND_RUNTIME_COUNTERS_NAME "HivemendRuntimeCounters"
using HIVEMEND_RUNTIME_COUNTERS_PROC = void (*)(HIVEMEND_RUNTIME_COUNTERS*);
