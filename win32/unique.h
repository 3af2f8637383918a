// Owners of what the Windows interfaces hand out: a search, a file or other kernel
// object, a registry key, a BSTR, an interface reference; each given back the way
// Windows takes it back.
#pragma once

#include <type_traits>

#include "base/unique_handle.h"
#include "win32/windows.h"

namespace hivemend::win32 {

// A search of FindFirstFileW, closed by FindClose.
struct FindTraits {
  using type = HANDLE;
  static HANDLE invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static void close(HANDLE h) noexcept { FindClose(h); }
};
using UniqueFind = base::UniqueHandle<FindTraits>;

// A file of CreateFileW, closed by CloseHandle.
struct FileTraits {
  using type = HANDLE;
  static HANDLE invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static void close(HANDLE h) noexcept { CloseHandle(h); }
};
using UniqueFile = base::UniqueHandle<FileTraits>;

// An opened registry key, closed by RegCloseKey.
struct KeyTraits {
  using type = HKEY;
  static HKEY invalid() noexcept { return nullptr; }
  static void close(HKEY key) noexcept { RegCloseKey(key); }
};
using UniqueKey = base::UniqueHandle<KeyTraits>;

// A string of SysAllocString, freed by SysFreeString.
struct BstrTraits {
  using type = BSTR;
  static BSTR invalid() noexcept { return nullptr; }
  static void close(BSTR s) noexcept { SysFreeString(s); }
};
using UniqueBstr = base::UniqueHandle<BstrTraits>;

// One reference to an interface, given back by Release.
template <typename Interface>
struct ComTraits {
  static_assert(std::is_base_of_v<IUnknown, Interface>);
  using type = Interface*;
  static Interface* invalid() noexcept { return nullptr; }
  static void close(Interface* p) noexcept { p->Release(); }
};
template <typename Interface>
using ComPtr = base::UniqueHandle<ComTraits<Interface>>;

}  // namespace hivemend::win32
