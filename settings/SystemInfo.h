// The description of the machine that every start records under the product registry
// root: the Windows version ("OS"), the processor count ("Processors") and the physical
// memory ("RAM"), and the codes of the Windows family and service pack the settings
// object keeps.
#pragma once

#include "win32/windows.h"

class COrnOptions;

// Family codes (*pdwOSFlags, before the architecture bit).
inline constexpr DWORD kOSFamilyNT = 0x2;
inline constexpr DWORD kOSFamily2000 = 0x4;
inline constexpr DWORD kOSFamilyXP = 0x8;
inline constexpr DWORD kOSFamilyVista = 0x10;
inline constexpr DWORD kOSFamily7 = 0x20;
// Architecture bits: the install folder holds "amd64\", or it does not.
inline constexpr DWORD kOSInstallAmd64 = 1u << 29;
inline constexpr DWORD kOSInstallNoAmd64 = 1u << 28;

// Classifies the Windows version and service pack into *pdwOSFlags and
// *pdwServicePack, writes "OS", "Processors" and "RAM" below the product registry root
// (below HKEY_LOCAL_MACHINE itself when there is none) and adds the architecture bit.
// Before Windows version 4 nothing is written and both codes stay 0. Failures are not
// reported.
void RecordSystemInfo(COrnOptions* pOptions, DWORD* pdwOSFlags, DWORD* pdwServicePack);
