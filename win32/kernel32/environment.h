// Environment strings (processenv.h).
#pragma once

#include "win32/types.h"

// Replaces each %NAME% by the variable's value (names in any case, an exact match
// first); a name that is not set stays as written, with its percent signs, and so does
// a lone '%'. Returns the characters the result needs including its terminator; when
// that is more than nSize the buffer holds nothing useful. 0 on failure.
DWORD WINAPI ExpandEnvironmentStringsA(LPCSTR lpSrc, LPSTR lpDst, DWORD nSize);
