// Source drive-letter discovery: the letters the source system gave to the partitions
// of the source disk, read from the MountedDevices key of its SYSTEM hive and ordered by
// the partitions' starting offsets.
#pragma once

#include "win32/windows.h"

// The most letters one discovery keeps (a terminator follows them in a buffer of 20).
inline constexpr int kMaxDiscoveredLetters = 19;

// Reads the values of `pszKeyPath` (below HKEY_LOCAL_MACHINE) named "\DosDevices\X:"
// for X from C to Z whose data is the 12-byte form (signature, then the partition's
// 64-bit offset) with `dwSignature`; when none matches, the text form
// "\??\STORAGE#Partition#S<signature>...<offset>_...". Writes their letters, ordered by
// offset (equal offsets keep the enumeration order), into `pszLetters` (kLetterListChars).
// TRUE when the key was read (possibly no letters); FALSE, output untouched, when it
// cannot be opened or the discovery fails.
//
// Chosen here: data shorter than 12 bytes is taken with
// its missing bytes as zero; a disk with more than kMaxDiscoveredLetters matching entries
// keeps the first ones found.
BOOL WinPE_GetDriveLetters(LPCWSTR pszKeyPath, DWORD dwSignature, WCHAR* pszLetters);

// The text-form scan: sets *pnCount to 0, then adds each matching entry's letter and
// offset at index *pnCount. The signature of the entries is compared with
// `dwSignature`, the run's source disk signature, as the 12-byte scan does. FALSE when
// the key cannot be opened.
BOOL WinPE_GetStorageDriveLetters(LPCWSTR pszKeyPath, WCHAR* pszLetters, int* pnCount, LONGLONG* pOffsets,
                                  DWORD dwSignature);
