// The administrator check, and the hand-off of a non-administrator's start to the
// product's hand-off program (COrnOptions::HandOffIfNotAdmin, declared with the
// settings object).
#pragma once

#include "win32/windows.h"

// Whether the calling thread's effective token is an enabled member of the built-in
// Administrators group. Any failure of the check counts as not.
BOOL IsUserAdmin();

// The program path, and then the hand-off's command line, share one buffer of this
// many characters (terminator included); the tool label has one as well.
inline constexpr size_t kHandOffChars = 500;

// String resources of the language library that the hand-off uses.
inline constexpr UINT IDS_HANDOFF_CAPTION = 1005;       // caption of the error message
inline constexpr UINT IDS_HANDOFF_CANNOT_START = 9002;  // the hand-off program cannot be started
inline constexpr UINT IDS_HANDOFF_PROGRAM = 10022;      // file name of the hand-off program
