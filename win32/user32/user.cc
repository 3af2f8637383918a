#include "win32/user32/user.h"

#include <cstdio>
#include <string>

#include "base/unicode.h"
#include "win32/host/error.h"

using hivemend::win32::fail;

int WINAPI MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType) {
  if (hWnd) return fail(ERROR_INVALID_WINDOW_HANDLE, 0);
  const std::string line =
      base::to_utf8(lpCaption ? lpCaption : u"Error") + ": " + base::to_utf8(lpText ? lpText : u"") + "\n";
  std::fflush(stdout);
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);
  return (uType & 0xF) == MB_YESNO ? IDYES : IDOK;
}
