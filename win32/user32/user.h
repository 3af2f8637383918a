// The user interface functions the program calls (winuser.h). There is no window
// system: a message box without an owner is text on standard error.
#pragma once

#include "win32/types.h"

struct HWND__;
using HWND = HWND__*;

#define MB_OK 0x00000000u
#define MB_OKCANCEL 0x00000001u
#define MB_YESNO 0x00000004u
#define MB_ICONERROR 0x00000010u
#define MB_ICONWARNING 0x00000030u
#define MB_ICONINFORMATION 0x00000040u

#define IDOK 1
#define IDCANCEL 2
#define IDYES 6
#define IDNO 7

#define ERROR_INVALID_WINDOW_HANDLE 1400L

// With no owner window: writes "<caption>: <text>" and a line feed to standard error
// (UTF-8; a null caption is "Error", as Windows titles it) and returns the first
// button's answer, as a user who pressed Enter would: IDOK, or IDYES for MB_YESNO. An
// owner window cannot exist here: 0 with ERROR_INVALID_WINDOW_HANDLE.
int WINAPI MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType);
