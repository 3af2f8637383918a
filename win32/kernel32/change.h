// Change notifications (FindFirstChangeNotificationW, fileapi.h): a handle that a wait
// finds signalled once something changed on the volume since the handle was made or
// last re-armed.
//
// The layer watches a whole volume at a time. On an ntfs-3g volume whose device it reads,
// any write to the device signals the handle, whatever the directory, subtree flag and
// filter asked for; so does a new definition of the drive or a new prefix. On any other
// volume it cannot see every change below a directory, and the handle is signalled from
// the start and after every re-arm. A wait may thus report a change that does not
// concern the directory, but never misses one: a change that ended before the wait
// began is seen by it.
#pragma once

#include "win32/kernel32/handle.h"
#include "win32/types.h"

#define FILE_NOTIFY_CHANGE_FILE_NAME 0x00000001u
#define FILE_NOTIFY_CHANGE_DIR_NAME 0x00000002u
#define FILE_NOTIFY_CHANGE_ATTRIBUTES 0x00000004u
#define FILE_NOTIFY_CHANGE_SIZE 0x00000008u
#define FILE_NOTIFY_CHANGE_LAST_WRITE 0x00000010u
#define FILE_NOTIFY_CHANGE_LAST_ACCESS 0x00000020u
#define FILE_NOTIFY_CHANGE_CREATION 0x00000040u
#define FILE_NOTIFY_CHANGE_SECURITY 0x00000100u

// Watches the directory `lpPathName`. INVALID_HANDLE_VALUE with ERROR_INVALID_PARAMETER
// for a filter of no or unknown bits, ERROR_FILE_NOT_FOUND or ERROR_PATH_NOT_FOUND as
// GetFileAttributesW gives them, ERROR_DIRECTORY for a file.
HANDLE WINAPI FindFirstChangeNotificationW(LPCWSTR lpPathName, BOOL bWatchSubtree, DWORD dwNotifyFilter);
// Re-arms the handle: it is signalled again at the next change.
BOOL WINAPI FindNextChangeNotification(HANDLE hChangeHandle);
BOOL WINAPI FindCloseChangeNotification(HANDLE hChangeHandle);

namespace hivemend::win32 {

// Whether the change notification `handle` is signalled now: 1 or 0; -1 when the handle
// names none. WaitForSingleObject (win32/kernel32/process.h) waits on it.
int change_signalled(HANDLE handle);

}  // namespace hivemend::win32
