// Named synchronisation objects (synchapi.h): mutexes and semaphores, shared between
// processes by name.
//
// Names live in two namespaces, as in a Windows session: "Global\name" is one namespace
// for the whole machine (more exactly: for every process using the same prefix), and
// "Local\name" or a bare "name" is the namespace of the caller's login session (user
// and session). Names are case-sensitive and may hold no further backslash. Mutexes and
// semaphores share the namespace: a name held by one kind cannot be created as the other
// (ERROR_INVALID_HANDLE). A named object exists while some process holds a handle to it;
// it disappears with its last handle, also when the last holding process is killed.
// A NULL or empty name makes an object private to the process.
//
// WaitForSingleObject (win32/kernel32/process.h) waits on both kinds.
#pragma once

#include "win32/types.h"

#define ERROR_TOO_MANY_POSTS 298L
#define ERROR_NOT_OWNER 288L

// Creates the mutex, or opens it when the name exists: then the handle names the
// existing mutex, bInitialOwner is ignored and the last error is ERROR_ALREADY_EXISTS
// (ERROR_SUCCESS otherwise). NULL with ERROR_INVALID_HANDLE when the name is a
// semaphore's, ERROR_PATH_NOT_FOUND for a namespace other than Global\ and Local\,
// ERROR_FILENAME_EXCED_RANGE for a name longer than MAX_PATH.
HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCWSTR lpName);
// Opens an existing mutex: NULL with ERROR_FILE_NOT_FOUND when there is none.
HANDLE WINAPI OpenMutexW(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCWSTR lpName);
// Gives up one level of ownership; ERROR_NOT_OWNER when the calling thread does not
// own the mutex.
BOOL WINAPI ReleaseMutex(HANDLE hMutex);

// Creates the semaphore with its count and maximum (0 <= initial <= maximum, maximum
// >= 1, else ERROR_INVALID_PARAMETER), or opens it when the name exists: then the
// counts given are ignored and the last error is ERROR_ALREADY_EXISTS. Other failures
// as CreateMutexW.
HANDLE WINAPI CreateSemaphoreW(LPSECURITY_ATTRIBUTES lpSemaphoreAttributes, LONG lInitialCount, LONG lMaximumCount,
                               LPCWSTR lpName);
// Opens an existing semaphore: NULL with ERROR_FILE_NOT_FOUND when there is none.
HANDLE WINAPI OpenSemaphoreW(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCWSTR lpName);
// Adds lReleaseCount (>= 1) to the count; stores the count before through
// lpPreviousCount when given. ERROR_TOO_MANY_POSTS, count unchanged, when the sum would
// pass the maximum.
BOOL WINAPI ReleaseSemaphore(HANDLE hSemaphore, LONG lReleaseCount, LPLONG lpPreviousCount);

#define SYNCHRONIZE 0x00100000L
#define MUTEX_ALL_ACCESS 0x001F0001L
#define SEMAPHORE_ALL_ACCESS 0x001F0003L

namespace hivemend::win32 {

// What one attempt to take a mutex or semaphore gave.
enum class TakeResult { Taken, Abandoned, Busy, NotSyncObject };

// One attempt, without waiting, to take the object behind `handle`: a semaphore's count
// goes down by one, a mutex becomes (or stays, one level deeper) the calling thread's.
// Abandoned: the mutex was owned by a process that ended without releasing it; it is
// now the caller's.
TakeResult try_take(HANDLE handle);

}  // namespace hivemend::win32
