// The registry (winreg.h).
//
// Two kinds of storage stand behind the keys:
//  - the machine registry: system.reg in the prefix (REGEDIT5 text, UTF-8 or UTF-16LE),
//    holding HKEY_LOCAL_MACHINE and HKEY_CLASSES_ROOT (and HKEY_USERS,
//    HKEY_CURRENT_USER, HKEY_CURRENT_CONFIG when it names them; otherwise they are
//    empty roots). It is read when first needed and again whenever the prefix or the
//    file changes; every change is written back at once, atomically, in the encoding
//    the file was read in. A damaged file is reported once on standard error with its
//    line and left untouched; the keys it holds then fail with ERROR_BADDB.
//  - mounted hives: RegLoadKeyW(HKEY_LOCAL_MACHINE, name, file) puts a hive file at
//    HKEY_LOCAL_MACHINE\name; changes stay in memory until RegUnLoadKeyW, or the end of
//    the process, writes the hive back (crash-safe, keeping the file's identity).
//
// Opened keys are handles of the registry's own table (values from 0x400000 up, apart
// from the process handle table's), closed by RegCloseKey only. The predefined roots
// are the values Windows gives them. A handle carries the access it was opened with,
// and a function that needs a right the handle lacks fails with ERROR_ACCESS_DENIED. All registry state is process-wide
// and guarded by one lock.
#pragma once

#include "win32/host/error.h"
#include "win32/types.h"

struct HKEY__;
using HKEY = HKEY__*;
using PHKEY = HKEY*;
using REGSAM = DWORD;
using LSTATUS = LONG;

// The predefined roots: 32-bit values sign-extended, as the Windows headers define them.
#define HKEY_CLASSES_ROOT (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(0x80000000u))))
#define HKEY_CURRENT_USER (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(0x80000001u))))
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(0x80000002u))))
#define HKEY_USERS (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(0x80000003u))))
#define HKEY_CURRENT_CONFIG (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(0x80000005u))))

// Access rights of a key handle.
#define KEY_QUERY_VALUE 0x0001u
#define KEY_SET_VALUE 0x0002u
#define KEY_CREATE_SUB_KEY 0x0004u
#define KEY_ENUMERATE_SUB_KEYS 0x0008u
#define KEY_NOTIFY 0x0010u
#define KEY_CREATE_LINK 0x0020u
#define KEY_WOW64_64KEY 0x0100u
#define KEY_WOW64_32KEY 0x0200u
#define KEY_READ 0x00020019u   // READ_CONTROL | QUERY_VALUE | ENUMERATE_SUB_KEYS | NOTIFY
#define KEY_WRITE 0x00020006u  // READ_CONTROL | SET_VALUE | CREATE_SUB_KEY
#define KEY_EXECUTE KEY_READ
#define KEY_ALL_ACCESS 0x000F003Fu

// Value types.
#define REG_NONE 0u
#define REG_SZ 1u
#define REG_EXPAND_SZ 2u
#define REG_BINARY 3u
#define REG_DWORD 4u
#define REG_DWORD_LITTLE_ENDIAN 4u
#define REG_DWORD_BIG_ENDIAN 5u
#define REG_LINK 6u
#define REG_MULTI_SZ 7u
#define REG_RESOURCE_LIST 8u
#define REG_FULL_RESOURCE_DESCRIPTOR 9u
#define REG_RESOURCE_REQUIREMENTS_LIST 10u
#define REG_QWORD 11u
#define REG_QWORD_LITTLE_ENDIAN 11u

#define REG_OPTION_NON_VOLATILE 0x00000000u
#define REG_OPTION_VOLATILE 0x00000001u
#define REG_CREATED_NEW_KEY 0x00000001u
#define REG_OPENED_EXISTING_KEY 0x00000002u

// Opens the key lpSubKey below hKey. A path is names joined by '\' (any case), with no
// leading '\' (ERROR_BAD_PATHNAME) and trailing ones ignored. A null or empty lpSubKey
// gives hKey itself for a predefined root and a new handle to the same key otherwise.
// No such key: ERROR_FILE_NOT_FOUND and *phkResult null; a null phkResult:
// ERROR_INVALID_PARAMETER; an hKey that is no key: ERROR_INVALID_HANDLE.
LSTATUS WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
// The same with an 8-bit path (the 8-bit code page is UTF-8).
LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);

// Opens the key, creating it and every missing key on the way; *lpdwDisposition says
// which (REG_CREATED_NEW_KEY / REG_OPENED_EXISTING_KEY). As on Windows the parent
// handle's access rights are not checked. Volatile keys are not kept apart: a key made
// with REG_OPTION_VOLATILE is stored like any other. A null phkResult: ERROR_BADKEY.
LSTATUS WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                               REGSAM samDesired, const LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                               LPDWORD lpdwDisposition);

// Closes a key handle; a predefined root "closes" successfully.
LSTATUS WINAPI RegCloseKey(HKEY hKey);

// Reads a value (null or empty name: the key's default value) into lpData, adding no
// terminator. With lpData null, *lpcbData receives the size. Data larger than *lpcbData:
// ERROR_MORE_DATA, *lpcbData the size needed, *lpType still set, lpData untouched.
// No such value: ERROR_FILE_NOT_FOUND (and *lpcbData 0 when lpData is null).
// Needs KEY_QUERY_VALUE.
LSTATUS WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                LPDWORD lpcbData);
// The same with 8-bit text: the name, and the data of REG_SZ, REG_EXPAND_SZ and
// REG_MULTI_SZ values, converted (sizes are those of the converted data).
LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                LPDWORD lpcbData);

// Stores cbData bytes as the value's type and data, exactly as given (a string's
// terminator is stored only when counted). lpData null with cbData non-zero:
// ERROR_NOACCESS. Needs KEY_SET_VALUE.
LSTATUS WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                              DWORD cbData);

// The value at dwIndex in stored order. *lpcchValueName is the name buffer's capacity in
// characters, terminator included; on success it becomes the name's length without the
// terminator. A name that does not fit: ERROR_MORE_DATA with name and *lpcchValueName
// untouched; data that does not fit: ERROR_MORE_DATA with the name stored. In both
// cases *lpType and *lpcbData (the size needed) are set and lpData is untouched.
// Past the last value: ERROR_NO_MORE_ITEMS. Needs KEY_QUERY_VALUE.
LSTATUS WINAPI RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                             LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);

// The subkey at dwIndex in stored order (sorted by upper-cased name, as hives keep
// them), with the same capacity rules as RegEnumValueW for the name and the class.
// Past the last subkey: ERROR_NO_MORE_ITEMS. Needs KEY_ENUMERATE_SUB_KEYS.
LSTATUS WINAPI RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                             LPWSTR lpClass, LPDWORD lpcchClass, LPFILETIME lpftLastWriteTime);

// Mounts the hive file lpFile (a Windows path, resolved through the drive letters) at
// HKEY_LOCAL_MACHINE\lpSubKey, a single name. A dirty hive is first recovered from its
// transaction logs beside it, as Windows does on load. Needs SeBackupPrivilege and
// SeRestorePrivilege enabled (ERROR_PRIVILEGE_NOT_HELD). Fails with
// ERROR_ALREADY_EXISTS when the name is mounted or is a key of the machine registry,
// ERROR_SHARING_VIOLATION when the file is mounted under another name, the file errors
// of the path (ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_ACCESS_DENIED) and
// ERROR_BADDB for a file that is not a usable hive. hKey other than
// HKEY_LOCAL_MACHINE, or a name holding '\': ERROR_INVALID_PARAMETER.
LSTATUS WINAPI RegLoadKeyW(HKEY hKey, LPCWSTR lpSubKey, LPCWSTR lpFile);

// Writes a mounted hive's changes back to its file (only when it changed) and unmounts
// it; handles still open into it then fail with ERROR_KEY_DELETED. Needs the same
// privileges. A name that is not mounted: ERROR_FILE_NOT_FOUND. When the file cannot be
// written the hive stays mounted, with its changes, and the error is returned.
LSTATUS WINAPI RegUnLoadKeyW(HKEY hKey, LPCWSTR lpSubKey);

namespace hivemend::win32 {

// Writes every mounted hive that changed back to its file, keeping them mounted. Runs
// by itself when the process exits normally, and on detach when it ends itself otherwise
// (ExitProcess, TerminateProcess). A hive that cannot be written is reported on
// standard error. Returns the number of hives that could not be written.
size_t commit_mounted_hives();

}  // namespace hivemend::win32
