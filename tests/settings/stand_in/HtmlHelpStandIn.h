// A stand-in for the HTML Help engine, for the tests of the engine's loader: a library
// under a name of its own (HtmlHelpStandIn.ocx) that exports HtmlHelpW at ordinal 15,
// as hhctrl.ocx does, and records the calls it gets.
#pragma once

#include "win32/windows.h"

// What the stand-in's HtmlHelpW returns, and the cookie it stores for HH_INITIALIZE.
inline const HWND kStandInResult = reinterpret_cast<HWND>(ULONG_PTR(0x4848));
inline constexpr DWORD kStandInCookie = 0x5EED;

struct HtmlHelpStandInCalls {
  int nCalls;
  // The last call's arguments; the file name cut to 259 characters, null as "(null)".
  HWND hwndCaller;
  WCHAR szFile[260];
  UINT uCommand;
  DWORD_PTR dwData;
};

// Exported by name: the record of the calls so far.
using HtmlHelpStandInCallsProc = const HtmlHelpStandInCalls* (*)();
inline constexpr const char* kStandInRecordExport = "HtmlHelpStandInRecord";
