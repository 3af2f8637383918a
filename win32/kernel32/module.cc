#include "win32/kernel32/module.h"

#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "base/unicode.h"
#include "win32/host/error.h"
#include "win32/host/path.h"
#include "win32/host/prefix.h"

namespace hivemend::win32 {

namespace {

// The modules this layer loaded, with their load counts: a value from elsewhere is
// never handed to dlsym.
std::mutex g_modules_mutex;
std::map<void*, int>& modules() {
  static auto* m = new std::map<void*, int>;
  return *m;
}

bool known_module(HMODULE h) {
  std::lock_guard lock(g_modules_mutex);
  return modules().count(h) != 0;
}

std::string program_path() {
  char buf[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, size_t(n)) : std::string();
}

bool is_bare_name(std::u16string_view name) { return name.find_first_of(u"\\/:") == std::u16string_view::npos; }

// The Linux file a Windows path names, or "" when it names none.
std::string resolve_file(std::u16string_view windows_path) {
  auto path = parse_windows_path(windows_path);
  if (!path || path->components.empty()) return {};
  auto parent = open_directory(*path, path->components.size() - 1);
  if (!parent) return {};
  auto name = find_entry(*parent, path->components.back());
  if (!name) return {};
  Location file{parent->root, parent->child(*name)};
  auto linux_path = linux_path_of(file);
  return linux_path ? *linux_path : std::string();
}

HMODULE load(const std::string& linux_path) {
  void* h = dlopen(linux_path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!h) return fail(ERROR_BAD_EXE_FORMAT, HMODULE(nullptr));
  std::lock_guard lock(g_modules_mutex);
  ++modules()[h];
  return static_cast<HMODULE>(h);
}

}  // namespace

}  // namespace hivemend::win32

using namespace hivemend::win32;

HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName) {
  if (!lpLibFileName || !*lpLibFileName) return fail(ERROR_INVALID_PARAMETER, HMODULE(nullptr));
  std::u16string name = lpLibFileName;
  if (!is_bare_name(name)) {
    const std::string file = resolve_file(name);
    if (file.empty()) return fail(ERROR_MOD_NOT_FOUND, HMODULE(nullptr));
    return load(file);
  }
  // Windows adds ".dll" to a name without extension; a trailing '.' asks for none.
  if (name.back() == u'.')
    name.pop_back();
  else if (name.find(u'.') == std::u16string::npos)
    name += u".dll";
  const std::string exe = program_path();
  if (auto folder = windows_path_of(exe.substr(0, exe.rfind('/'))); folder) {
    std::u16string candidate = *folder;
    if (candidate.back() != u'\\') candidate += u'\\';
    const std::string file = resolve_file(candidate + name);
    if (!file.empty()) return load(file);
  }
  // Then the system loader's own search, for system libraries.
  void* h = dlopen(base::to_utf8(name).c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!h) return fail(ERROR_MOD_NOT_FOUND, HMODULE(nullptr));
  std::lock_guard lock(g_modules_mutex);
  ++modules()[h];
  return static_cast<HMODULE>(h);
}

HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName) {
  if (!lpLibFileName) return fail(ERROR_INVALID_PARAMETER, HMODULE(nullptr));
  const std::u16string wide = base::from_utf8(lpLibFileName);
  return LoadLibraryW(wide.c_str());
}

HMODULE AfxLoadLibrary(LPCWSTR lpszModuleName) { return LoadLibraryW(lpszModuleName); }

BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
  {
    std::lock_guard lock(g_modules_mutex);
    auto it = modules().find(hLibModule);
    if (it == modules().end()) return fail(ERROR_MOD_NOT_FOUND, FALSE);
    if (--it->second == 0) modules().erase(it);
  }
  dlclose(hLibModule);
  return TRUE;
}

BOOL AfxFreeLibrary(HMODULE hInstLib) { return FreeLibrary(hInstLib); }

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  if (!known_module(hModule)) return fail(ERROR_MOD_NOT_FOUND, FARPROC(nullptr));
  const char* name = lpProcName;
  if (IS_INTRESOURCE(lpProcName)) {
    const WORD ordinal = WORD(reinterpret_cast<ULONG_PTR>(lpProcName));
    const auto* table = static_cast<const HIVEMEND_ORDINAL_EXPORT*>(dlsym(hModule, HIVEMEND_ORDINAL_TABLE_NAME));
    name = nullptr;
    for (; table && table->name; ++table)
      if (table->ordinal == ordinal) {
        name = table->name;
        break;
      }
    if (!name) return fail(ERROR_PROC_NOT_FOUND, FARPROC(nullptr));
  }
  void* address = dlsym(hModule, name);
  if (!address) return fail(ERROR_PROC_NOT_FOUND, FARPROC(nullptr));
  return reinterpret_cast<FARPROC>(address);
}

DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
  std::string linux_path;
  if (!hModule) {
    linux_path = program_path();
  } else {
    if (!known_module(hModule)) return fail(ERROR_MOD_NOT_FOUND, DWORD(0));
    link_map* map = nullptr;
    if (dlinfo(hModule, RTLD_DI_LINKMAP, &map) != 0 || !map) return fail(ERROR_MOD_NOT_FOUND, DWORD(0));
    linux_path = map->l_name && *map->l_name ? map->l_name : program_path();
  }
  char real[PATH_MAX];
  if (realpath(linux_path.c_str(), real)) linux_path = real;
  auto name = windows_path_of(linux_path);
  if (!name) return fail(name.error(), DWORD(0));
  if (nSize == 0) return fail(ERROR_INSUFFICIENT_BUFFER, DWORD(0));
  if (name->size() >= nSize) {
    std::memcpy(lpFilename, name->data(), (nSize - 1) * sizeof(WCHAR));
    lpFilename[nSize - 1] = 0;
    return fail(ERROR_INSUFFICIENT_BUFFER, nSize);
  }
  std::memcpy(lpFilename, name->c_str(), (name->size() + 1) * sizeof(WCHAR));
  SetLastError(ERROR_SUCCESS);
  return DWORD(name->size());
}
