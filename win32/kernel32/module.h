// Libraries and the program's own file (libloaderapi.h), over dlopen. A library is an
// ELF shared object that keeps its Windows file name ("Security.dll").
//
// Ordinals: ELF has none. A library that exports by ordinal says so the way a .def
// file's EXPORTS section does, with a table named HivemendOrdinalExports: pairs of
// ordinal and exported symbol name, ended by {0, nullptr}:
//
//   extern "C" const HIVEMEND_ORDINAL_EXPORT HivemendOrdinalExports[] = {
//       {1, "SET_PRIVILEGE"}, {0, nullptr}};
//
// GetProcAddress(module, MAKEINTRESOURCEA(1)) then gives the address of SET_PRIVILEGE.
#pragma once

#include "win32/types.h"

struct HIVEMEND_ORDINAL_EXPORT {
  WORD ordinal;
  const char* name;
};
#define HIVEMEND_ORDINAL_TABLE_NAME "HivemendOrdinalExports"

// Loads a library. A bare file name (no '\', '/' or drive) is looked up in the
// program's folder first (any case, short names too), then by the system loader; a
// name without extension gets ".dll" (a trailing '.' means none). Other names are
// Windows paths through the drive letters. Loading one library twice gives the same
// module. Failures: ERROR_MOD_NOT_FOUND (no such file), ERROR_BAD_EXE_FORMAT (a file
// the loader refuses).
HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName);
HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName);
// As LoadLibraryW (the MFC name).
HMODULE AfxLoadLibrary(LPCWSTR lpszModuleName);
// Unloads once per load; FALSE with ERROR_MOD_NOT_FOUND for a value that is no module.
BOOL WINAPI FreeLibrary(HMODULE hLibModule);
BOOL AfxFreeLibrary(HMODULE hInstLib);
// By name, or by ordinal (MAKEINTRESOURCEA). ERROR_PROC_NOT_FOUND when there is no
// such export, ERROR_MOD_NOT_FOUND for a value that is no module.
FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
// The module's file as a Windows path (NULL: the program itself). The return value is
// the length without terminator; when the buffer is too small the name is cut to
// nSize - 1 characters and a terminator, nSize is returned and the last error is
// ERROR_INSUFFICIENT_BUFFER.
DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize);
