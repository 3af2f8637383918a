// Result type of the layer's own pieces: a value, or the Windows error code that the API
// function in front of them reports through SetLastError.
#pragma once

#include "base/result.h"
#include "win32/types.h"

namespace hivemend::win32 {

// A Windows error code, usable wherever the code itself is wanted.
struct WinError {
  DWORD code;
  operator DWORD() const { return code; }
};

template <typename T>
using Expected = base::Result<T, WinError>;

}  // namespace hivemend::win32
