#include "win32/user32/resource.h"

#include <dlfcn.h>
#include <link.h>

#include <algorithm>
#include <string>

#include "win32/host/error.h"
#include "win32/kernel32/module.h"

namespace hivemend::win32 {

namespace {

// The string table that `module` itself defines (not one of the libraries it links,
// which dlsym would also search), or null.
const HIVEMEND_STRING_RESOURCE* own_string_table(void* module) {
  link_map* module_map = nullptr;
  if (dlinfo(module, RTLD_DI_LINKMAP, &module_map) != 0) return nullptr;
  void* table = dlsym(module, HIVEMEND_STRING_TABLE_NAME);
  if (!table) return nullptr;
  Dl_info info;
  link_map* owner = nullptr;
  if (!dladdr1(table, &info, reinterpret_cast<void**>(&owner), RTLD_DL_LINKMAP) || owner != module_map) return nullptr;
  return static_cast<const HIVEMEND_STRING_RESOURCE*>(table);
}

size_t text_length(const WCHAR* text) { return std::char_traits<WCHAR>::length(text); }

}  // namespace

}  // namespace hivemend::win32

using namespace hivemend::win32;

int WINAPI LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax) {
  if (!lpBuffer) return 0;
  void* module = nullptr;
  if (hInstance) {
    // Only a module this layer loaded may reach dlsym; the probe must not leave its
    // last error behind.
    const DWORD error = GetLastError();
    WCHAR probe[1];
    if (GetModuleFileNameW(hInstance, probe, 1) == 0) return fail(ERROR_RESOURCE_DATA_NOT_FOUND, 0);
    SetLastError(error);
    module = hInstance;
  } else {
    module = dlopen(nullptr, RTLD_NOW);
  }
  const HIVEMEND_STRING_RESOURCE* table = own_string_table(module);
  if (!hInstance) dlclose(module);
  if (!table) return fail(ERROR_RESOURCE_TYPE_NOT_FOUND, 0);

  const UINT id = uID & 0xFFFF;
  const WCHAR* text = nullptr;
  bool block_exists = false;
  for (const auto* entry = table; entry->text; ++entry) {
    if ((entry->id & 0xFFFF) == id) text = entry->text;
    if ((entry->id & 0xFFFF) >> 4 == id >> 4) block_exists = true;
  }
  if (!block_exists) return fail(ERROR_RESOURCE_NAME_NOT_FOUND, 0);
  if (!text) text = u"";
  const int length = int(text_length(text));
  if (cchBufferMax == 0) {
    *reinterpret_cast<const WCHAR**>(lpBuffer) = text;
    return length;
  }
  if (cchBufferMax < 0) return 0;
  // Windows writes nothing into a one-character buffer for a non-empty text.
  const int copied = std::min(cchBufferMax - 1, length);
  if (copied > 0) {
    std::copy_n(text, copied, lpBuffer);
    lpBuffer[copied] = 0;
  } else if (cchBufferMax > 1) {
    lpBuffer[0] = 0;
  }
  return copied;
}
