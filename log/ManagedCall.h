// The late-bound call into a managed (.NET) component: one method of a type, by name,
// inside the program's own process.
#pragma once

#include "win32/windows.h"

// Binds the runtime, makes a new instance of the type (full name) of the assembly in
// the default domain with its parameterless constructor, looks the method up by name
// on the instance's dispatch interface and invokes it with cArgs arguments (pArgs holds
// them last one first, and is only read) and the result slot pResult. Everything is
// released again before the call returns; the runtime is stopped again only after a
// successful invocation.
//
// Returns S_OK, or the failing step's HRESULT (binding, default domain, _AppDomain,
// CreateInstance, Unwrap, GetIDsOfNames, Invoke), E_FAIL when the instance unwraps to
// no dispatch interface, and 22 when a name cannot be made a BSTR (the COM error
// exception of the conversion: out of memory, or text that is not of the ANSI code
// page). Any other exception (std::bad_alloc) passes to the caller. pResult keeps what
// Invoke left in it, and is untouched when the call ends before the invocation.
HRESULT CallManagedMethod(LPCSTR pszAssemblyName, LPCSTR pszTypeName, LPCWSTR pszMethodName, DWORD dwArgCount,
                          VARIANT* pArgs, VARIANT* pResult);
