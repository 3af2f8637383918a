// System information (winuser.h GetSystemMetrics).
#pragma once

#include "win32/types.h"

#define SM_CXSCREEN 0
#define SM_CYSCREEN 1
#define SM_CMONITORS 80
#define SM_TABLETPC 86
#define SM_MEDIACENTER 87
#define SM_STARTER 88
#define SM_SERVERR2 89

// The machine has no display and no pen: every metric is 0, as Windows gives for a
// metric that does not apply, except SM_TABLETPC, which is non-zero (1) when the
// environment variable HIVEMEND_TABLETPC is exactly "1", read at every call.
int WINAPI GetSystemMetrics(int nIndex);
