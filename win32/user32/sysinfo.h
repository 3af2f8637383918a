// The machine and its Windows (sysinfoapi.h GetVersionExW, GetSystemInfo,
// GlobalMemoryStatusEx; winnls.h GetSystemDefaultLangID).
//
// The Windows version is the one the prefix's machine registry states, where Windows
// itself keeps it (and Wine reads it):
//   HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows NT\CurrentVersion
//     "CurrentVersion"     "6.1"             major.minor
//     "CurrentBuildNumber" "7601"
//     "CSDVersion"         "Service Pack 1"  (absent: no service pack)
// With no "CurrentVersion" there, a Windows 95/98/Me machine can be stated instead:
//   HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion
//     "VersionNumber"      "4.10.2222"       major.minor.build, platform 1
//     "SubVersionNumber"   " A"              the service-pack text
// With neither, the machine is Windows 7 SP1: 6.1, build 7601, "Service Pack 1",
// platform 2 (Windows NT). Processors, memory and language are the real machine's.
#pragma once

#include "win32/types.h"

#define VER_PLATFORM_WIN32s 0u
#define VER_PLATFORM_WIN32_WINDOWS 1u
#define VER_PLATFORM_WIN32_NT 2u

struct OSVERSIONINFOW {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  WCHAR szCSDVersion[128];
};
using LPOSVERSIONINFOW = OSVERSIONINFOW*;
static_assert(sizeof(OSVERSIONINFOW) == 276);

// Fills the structure from the prefix (see above). dwOSVersionInfoSize must be
// sizeof(OSVERSIONINFOW) (276): other sizes, the extended form included, fail with
// ERROR_INSUFFICIENT_BUFFER. A text longer than 127 characters is cut. On the 95/98/Me
// platform the build number carries major and minor in its high word, as those systems
// report it.
BOOL WINAPI GetVersionExW(LPOSVERSIONINFOW lpVersionInformation);

#define PROCESSOR_ARCHITECTURE_INTEL 0
#define PROCESSOR_ARCHITECTURE_ARM 5
#define PROCESSOR_ARCHITECTURE_AMD64 9
#define PROCESSOR_ARCHITECTURE_ARM64 12
#define PROCESSOR_ARCHITECTURE_UNKNOWN 0xFFFF
#define PROCESSOR_INTEL_PENTIUM 586
#define PROCESSOR_AMD_X86_64 8664

struct SYSTEM_INFO {
  union {
    DWORD dwOemId;
    struct {
      WORD wProcessorArchitecture;
      WORD wReserved;
    };
  };
  DWORD dwPageSize;
  LPVOID lpMinimumApplicationAddress;
  LPVOID lpMaximumApplicationAddress;
  DWORD_PTR dwActiveProcessorMask;
  DWORD dwNumberOfProcessors;
  DWORD dwProcessorType;
  DWORD dwAllocationGranularity;
  WORD wProcessorLevel;
  WORD wProcessorRevision;
};
using LPSYSTEM_INFO = SYSTEM_INFO*;

// The machine: its processors online now (as a 64-bit Windows sees up to 64 of them in
// its processor group), the page size, the 64 KB allocation granularity of Windows and
// the user address range of 64-bit Windows. On x86 the level and revision are the
// processor's family and model/stepping, as Windows reports them; elsewhere 0.
void WINAPI GetSystemInfo(LPSYSTEM_INFO lpSystemInfo);

struct MEMORYSTATUSEX {
  DWORD dwLength;
  DWORD dwMemoryLoad;
  ULONGLONG ullTotalPhys;
  ULONGLONG ullAvailPhys;
  ULONGLONG ullTotalPageFile;
  ULONGLONG ullAvailPageFile;
  ULONGLONG ullTotalVirtual;
  ULONGLONG ullAvailVirtual;
  ULONGLONG ullAvailExtendedVirtual;
};
using LPMEMORYSTATUSEX = MEMORYSTATUSEX*;
static_assert(sizeof(MEMORYSTATUSEX) == 64);

// The machine's memory: physical memory and what is available of it, the commit limit
// as physical memory plus swap, and the process's user address space of 64-bit
// Windows. dwLength must be sizeof(MEMORYSTATUSEX) (64): otherwise FALSE with
// ERROR_INVALID_PARAMETER and nothing filled.
BOOL WINAPI GlobalMemoryStatusEx(LPMEMORYSTATUSEX lpBuffer);

using LANGID = WORD;
#define MAKELANGID(p, s) (static_cast<LANGID>((static_cast<WORD>(s) << 10) | static_cast<WORD>(p)))
#define PRIMARYLANGID(l) (static_cast<WORD>(l) & 0x3FF)
#define SUBLANGID(l) (static_cast<WORD>(l) >> 10)

// The language of the machine's locale, read at every call from the first of LC_ALL,
// LC_MESSAGES and LANG that is set and not empty ("de_DE.UTF-8", "fr_CA", "it"): the
// Windows identifier of the language in that territory, or of the language's main
// territory when the territory is missing or not one the table knows (table in
// sysinfo.cc). "C", "POSIX", an unset locale and a language the table does not know
// give English (United States), 0x0409, as Wine does.
LANGID WINAPI GetSystemDefaultLangID();
