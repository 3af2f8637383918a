#include "win32/kernel32/heap.h"

#include <cstdlib>

#include "win32/host/error.h"

namespace {

// Any distinct, never-dereferenced value serves as the heap's handle.
char g_process_heap;

bool is_process_heap(HANDLE hHeap) { return hHeap == &g_process_heap; }

}  // namespace

HANDLE WINAPI GetProcessHeap() { return &g_process_heap; }

LPVOID WINAPI HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes) {
  if (!is_process_heap(hHeap)) return hivemend::win32::fail(ERROR_INVALID_HANDLE, LPVOID(nullptr));
  const size_t bytes = dwBytes == 0 ? 1 : dwBytes;
  return (dwFlags & HEAP_ZERO_MEMORY) ? std::calloc(1, bytes) : std::malloc(bytes);
}

BOOL WINAPI HeapFree(HANDLE hHeap, DWORD /*dwFlags*/, LPVOID lpMem) {
  if (!is_process_heap(hHeap)) return hivemend::win32::fail(ERROR_INVALID_HANDLE, FALSE);
  std::free(lpMem);
  return TRUE;
}
