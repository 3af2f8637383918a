// The HTML Help engine (hhctrl.ocx), reached without linking to it: the library is
// found through its COM registration, loaded on first use, and its HtmlHelpW entry
// point called. A machine without the engine (this one has none) simply gets no help:
// every call then gives zero.
#pragma once

#include "win32/windows.h"

// Commands of HtmlHelpW the program sends.
inline constexpr UINT HH_INITIALIZE = 0x1C;

// The engine's file when its registration names none.
inline constexpr const char* kHtmlHelpLibrary = "hhctrl.ocx";
// Registration of the HTML Help control below HKEY_CLASSES_ROOT; its default value is
// the library's path.
inline constexpr const char* kHtmlHelpServerKey = "CLSID\\{ADB880A6-D8FF-11CF-9377-00AA003B7A11}\\InprocServer32";
// HtmlHelpW is the library's export ordinal 15.
inline constexpr WORD kHtmlHelpWOrdinal = 15;
// Paths here are ANSI texts of at most this many bytes, terminator included.
inline constexpr DWORD kHtmlHelpPathBytes = 260;

using HtmlHelpWProc = HWND (*)(HWND hwndCaller, LPCWSTR pszFile, UINT uCommand, DWORD_PTR dwData);

// Fills pszPath (kHtmlHelpPathBytes) with the registered library's full path, its
// environment references expanded when the value is REG_EXPAND_SZ. FALSE when the
// registration is missing or its expansion does not fit.
BOOL GetHtmlHelpServerPath(LPSTR pszPath);

// Forwards the call to the engine's HtmlHelpW and returns its result. The first call
// loads the registered library, or "hhctrl.ocx" by its bare name when that fails; when
// no library or no HtmlHelpW is found the process gives up on the engine for good, and
// this and every later call return zero without looking again. The library stays
// loaded until the process ends.
HWND CallHtmlHelp(HWND hwndCaller, LPCWSTR pszFile, UINT uCommand, DWORD_PTR dwData);
