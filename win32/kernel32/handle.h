// Handles in general (handleapi.h).
#pragma once

#include "win32/types.h"

// Closes a handle of any kind that CloseHandle closes (files, and the kinds added later
// such as mutexes and processes). A value naming no such object: FALSE with
// ERROR_INVALID_HANDLE.
BOOL WINAPI CloseHandle(HANDLE hObject);
