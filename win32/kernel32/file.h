// Files, attributes and directory searches (fileapi.h), over the volumes of the drive
// letters. Paths are Windows paths; see win32/host/path.h for how they reach Linux.
#pragma once

#include "win32/kernel32/handle.h"
#include "win32/types.h"

#define INVALID_FILE_ATTRIBUTES 0xFFFFFFFFu

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define GENERIC_EXECUTE 0x20000000u
#define GENERIC_ALL 0x10000000u
#define FILE_READ_DATA 0x0001u
#define FILE_WRITE_DATA 0x0002u
#define FILE_APPEND_DATA 0x0004u
#define DELETE 0x00010000u

#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define FILE_SHARE_DELETE 0x00000004u

#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5

#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000u

#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define FILE_END 2
#define INVALID_SET_FILE_POINTER 0xFFFFFFFFu
#define INVALID_FILE_SIZE 0xFFFFFFFFu

struct WIN32_FIND_DATAW {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  WCHAR cFileName[MAX_PATH];
  WCHAR cAlternateFileName[14];
};
using LPWIN32_FIND_DATAW = WIN32_FIND_DATAW*;
using PWIN32_FIND_DATAW = WIN32_FIND_DATAW*;

// Starts a search of one directory. The last component is the pattern, matched with
// Windows' wildcard rules against each entry's long and short name (win32/kernel32/wildcard.h);
// one without wildcards finds the one entry it names. Entries come in volume order; a
// directory other than a volume root first gives "." and "..", when they match.
// cFileName is the long name, cAlternateFileName the short one ("" when none).
// Failures: ERROR_FILE_NOT_FOUND when nothing matches or the path ends in '\';
// ERROR_PATH_NOT_FOUND when the directory does not exist.
HANDLE WINAPI FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData);
// The next entry; FALSE with ERROR_NO_MORE_FILES after the last.
BOOL WINAPI FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData);
BOOL WINAPI FindClose(HANDLE hFindFile);

// INVALID_FILE_ATTRIBUTES with ERROR_FILE_NOT_FOUND (no such entry) or
// ERROR_PATH_NOT_FOUND (no such directory on the way); a volume's root is a directory.
DWORD WINAPI GetFileAttributesW(LPCWSTR lpFileName);

// Opens or creates a file. Access GENERIC_READ / GENERIC_WRITE (and the specific
// rights); sharing is enforced among the process's own handles: an open whose access
// another handle's share mode leaves out, or whose share mode leaves out another
// handle's access, fails with ERROR_SHARING_VIOLATION. OPEN_ALWAYS and CREATE_ALWAYS on
// an existing file succeed with last error ERROR_ALREADY_EXISTS (0 when created);
// CREATE_NEW on one fails with ERROR_FILE_EXISTS. A directory opens only with
// FILE_FLAG_BACKUP_SEMANTICS (else ERROR_ACCESS_DENIED).
HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
// Moves the file pointer; returns its new low 32 bits (the high ones in
// *lpDistanceToMoveHigh when given), or INVALID_SET_FILE_POINTER with
// ERROR_NEGATIVE_SEEK before the start. Last error 0 on success.
DWORD WINAPI SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh, DWORD dwMoveMethod);
BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPOVERLAPPED lpOverlapped);
BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped);
DWORD WINAPI GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh);
