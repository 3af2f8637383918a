// The process heap (heapapi.h). There is one heap, the process heap; its blocks come
// from the C runtime's allocator.
#pragma once

#include "win32/types.h"

#define HEAP_NO_SERIALIZE 0x00000001u
#define HEAP_GENERATE_EXCEPTIONS 0x00000004u
#define HEAP_ZERO_MEMORY 0x00000008u

// The process heap's handle; the same value for the life of the process.
HANDLE WINAPI GetProcessHeap();
// A block of dwBytes (a size of 0 still gives a block of its own), zero-filled with
// HEAP_ZERO_MEMORY, or null when memory runs out (HEAP_GENERATE_EXCEPTIONS is not
// honoured: the call fails instead). A handle that is not the process heap's: null
// with ERROR_INVALID_HANDLE.
LPVOID WINAPI HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes);
// Gives the block back. A null block is accepted (TRUE), as Windows does. A handle that
// is not the process heap's: FALSE with ERROR_INVALID_HANDLE.
BOOL WINAPI HeapFree(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem);
