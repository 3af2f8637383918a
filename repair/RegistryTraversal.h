// The registry traversal: walks one mounted hive, key by key and value by value, hands
// every string value that holds a drive path with a short-name component to the check
// list and writes the repaired text back into the value.
#pragma once

#include "win32/advapi32/registry.h"
#include "win32/windows.h"

struct RepairRun;

// Walks the key `pszKeyPath` below `hRoot` and everything under it, depth first: all
// values of a key in stored order, then each subkey's whole tree. Counts every value
// enumerated in m_dwValuesAccessed and every candidate without a result in
// m_dwPathsSkipped. A key that cannot be opened for reading and writing is passed over
// silently. Failures are caught per section (candidate, value loop, key), logged
// outside rescue-transfer mode, and the walk goes on.
//
// Chosen here:
// - a value whose name or data does not fit (more than 500 characters, more than 500
//   bytes) is counted and not examined;
// - a text without a terminator within the bytes read ends with those bytes;
// - a log message longer than its 504 characters is cut; a subkey whose path would not
//   fit 504 characters is not visited;
// - the walk recurses, one level per key depth (hives nest at most 512 levels).
void RegistryTraversal(RepairRun& run, HKEY hRoot, LPCWSTR pszKeyPath);
