// Owners of what the Windows interfaces hand out: a search, a file or other kernel
// object, a registry key, a BSTR, an interface reference; each given back the way
// Windows takes it back.
#pragma once

#include "base/unique_handle.h"
#include "win32/windows.h"

namespace hivemend::win32 {

inline HANDLE no_handle() noexcept { return INVALID_HANDLE_VALUE; }
template <typename T>
T null_of() noexcept {
  return nullptr;
}

// A search of FindFirstFileW.
using UniqueFind = base::UniqueHandle<base::CloseWith<HANDLE, no_handle, FindClose>>;
// A file of CreateFileW, or another object that CloseHandle closes.
using UniqueFile = base::UniqueHandle<base::CloseWith<HANDLE, no_handle, CloseHandle>>;
// An opened registry key.
using UniqueKey = base::UniqueHandle<base::CloseWith<HKEY, null_of<HKEY>, RegCloseKey>>;
// A string of SysAllocString.
using UniqueBstr = base::UniqueHandle<base::CloseWith<BSTR, null_of<BSTR>, SysFreeString>>;

// One reference to an interface, given back by Release.
template <typename Interface>
void release(Interface* p) noexcept {
  p->Release();
}
template <typename Interface>
using ComPtr = base::UniqueHandle<base::CloseWith<Interface*, null_of<Interface*>, release<Interface>>>;

}  // namespace hivemend::win32
