// Single registry values, read and written through three small functions that open
// the key, do one value operation and close it again; the product registry root; the
// product's install folder; the transform of the stored security values.
#pragma once

#include "win32/advapi32/registry.h"
#include "win32/windows.h"

class COrnOptions;

// Reads the value into pData (cbData bytes). TRUE when it was read; the type is not
// checked and no terminator is added, so string readers clear their buffer first.
BOOL ReadRegValue(HKEY hRoot, LPCWSTR pszSubKey, LPCWSTR pszValueName, LPBYTE pData, DWORD cbData);
// As ReadRegValue, with *pcbData updated to the value's size; pData null asks the size only.
BOOL QueryRegValue(HKEY hRoot, LPCWSTR pszSubKey, LPCWSTR pszValueName, LPBYTE pData, LPDWORD pcbData);
// Stores the value, creating the key and every missing key on the way. TRUE when stored.
BOOL WriteRegValue(HKEY hRoot, LPCWSTR pszSubKey, LPCWSTR pszValueName, DWORD dwType, const BYTE* pData, DWORD cbData);

// Fills pszRoot (at least kPathChars) with the subkey path of the product registry root
// below HKEY_LOCAL_MACHINE: the product's "RegPath" (32-bit App Paths key first, the
// native one as fallback) without the root key name in front of its first '\'. FALSE,
// pszRoot untouched, when there is none. A "RegPath" without '\', or one that fills its
// 260 characters without a terminator, counts as none. Sets pOptions->m_hRootKey to
// HKEY_LOCAL_MACHINE either way.
BOOL GetProductRegRoot(COrnOptions* pOptions, WCHAR* pszRoot);

// Fills pszPath (at least kPathChars) with the product's "Path" when it names an
// existing file-system object; otherwise an empty text and FALSE.
BOOL GetInstallPath(WCHAR* pszPath);

// Exchanges bits 0-1 with bits 6-7; its own inverse.
BYTE SwapSecurityBits(BYTE b);
