// The user profile pass: every user folder of an installation's profile folder that
// holds ntuser.dat has that hive mounted as "QRT-USER", walked and repaired, and
// unmounted again.
#pragma once

#include "win32/windows.h"

struct RepairRun;

// `pszProfileDir` is a buffer of kPathChars holding the profile folder (E:\Users); the
// pass appends "\*.*" to it there. Folders are taken in the order the volume lists
// them; plain files, "." and "..", folders without ntuser.dat and hives that cannot be
// mounted are passed over silently. A failure while one user's hive is handled is
// logged with the hive path and the pass goes on; one outside it ends the pass. A user
// hive path longer than kPathChars is passed over (chosen here).
void RepairUserProfiles(RepairRun& run, WCHAR* pszProfileDir);
