// The registry functions (advapi32's Reg* family) over the hives of registry_store.h.
#include "win32/advapi32/registry.h"

#include <algorithm>
#include <cstring>
#include <span>

#include "base/unicode.h"
#include "win32/advapi32/registry_store.h"
#include "win32/advapi32/security.h"
#include "win32/host/error.h"

using namespace hivemend::win32;
using namespace hivemend::win32::reg;

namespace hivemend::win32::reg {

HKEY KeyTable::insert(OpenKey key) {
  size_t slot;
  if (!free_.empty()) {
    slot = free_.back();
    free_.pop_back();
    slots_[slot] = std::move(key);
  } else {
    slot = slots_.size();
    slots_.push_back(std::move(key));
  }
  return reinterpret_cast<HKEY>(kFirstKeyHandle + 4 * slot);
}

OpenKey* KeyTable::find(HKEY handle) {
  const uintptr_t value = reinterpret_cast<uintptr_t>(handle);
  if (value < kFirstKeyHandle || value % 4 != 0) return nullptr;
  const size_t slot = (value - kFirstKeyHandle) / 4;
  return slot < slots_.size() && slots_[slot].store ? &slots_[slot] : nullptr;
}

bool KeyTable::erase(HKEY handle) {
  OpenKey* key = find(handle);
  if (!key) return false;
  key->store.reset();
  free_.push_back(size_t(key - slots_.data()));
  return true;
}

}  // namespace hivemend::win32::reg

namespace {

// Windows limits key names to 255 characters.
constexpr size_t kMaxKeyName = 255;

// Generic rights map onto key rights as the registry's generic mapping says.
REGSAM map_access(REGSAM sam) {
  REGSAM access = sam & ~(KEY_WOW64_32KEY | KEY_WOW64_64KEY);
  if (access & 0x80000000u) access |= KEY_READ;        // GENERIC_READ
  if (access & 0x40000000u) access |= KEY_WRITE;       // GENERIC_WRITE
  if (access & 0x20000000u) access |= KEY_EXECUTE;     // GENERIC_EXECUTE
  if (access & 0x12000000u) access |= KEY_ALL_ACCESS;  // GENERIC_ALL, MAXIMUM_ALLOWED
  return access & KEY_ALL_ACCESS;
}

// Where a key handle leads: a hive and key node, or HKEY_LOCAL_MACHINE itself, whose
// subkeys include the mount names and which works even when system.reg is unusable.
struct Place {
  // Null for a predefined root not read yet. Kept alive, under the registry lock, by the
  // key handle, the mount table or the machine registry it came from.
  HiveStore* store = nullptr;
  regf::KeyRef key;
  REGSAM access = KEY_ALL_ACCESS;
  std::optional<Root> root;  // set for a predefined root
  bool mounted = false;
  Root machine_root = Root::kLocalMachine;
  std::vector<std::u16string> path;  // below machine_root, for keys of the machine registry
};

Expected<Place> place_of(RegistryState& state, HKEY hkey) {
  Place place;
  if (auto root = predefined_root(hkey)) {
    // The machine registry is read only when the call needs it: opening a key of a
    // mounted hive from HKEY_LOCAL_MACHINE never touches system.reg.
    place.root = *root;
    place.machine_root = *root;
    return place;
  }
  OpenKey* object = state.keys.find(hkey);
  if (!object) return WinError{ERROR_INVALID_HANDLE};
  if (object->mounted && object->store->detached) return WinError{ERROR_KEY_DELETED};
  if (!object->mounted) {
    // A key of the machine registry: when system.reg was read anew, find it again by
    // its path.
    auto store = state.machine.root(object->root);
    if (!store) return WinError{store.error()};
    if (object->store->detached) {
      std::vector<std::u16string_view> names(object->path.begin(), object->path.end());
      auto key = find_key(**store, (*store)->hive.root(), true, names);
      if (!key) return WinError{key.error() == ERROR_FILE_NOT_FOUND ? DWORD(ERROR_KEY_DELETED) : key.error()};
      object->store = std::move(*store);
      object->key = *key;
    }
    place.path = object->path;
  }
  place.store = object->store.get();
  place.key = object->key;
  place.access = object->access;
  place.mounted = object->mounted;
  place.machine_root = object->root;
  return place;
}

// Reads the machine registry's hive behind a predefined root.
DWORD read_root(RegistryState& state, Place& place) {
  auto store = state.machine.root(place.machine_root);
  if (!store) return store.error();
  place.store = store->get();
  place.key = place.store->hive.root();
  return ERROR_SUCCESS;
}

// The key `names` leads to from `from`, created with every missing key on the way when
// `create` is set (*created tells whether any was).
Expected<Place> descend(RegistryState& state, const Place& from, const std::vector<std::u16string_view>& names,
                        bool create, bool* created) {
  Place to = from;
  to.root.reset();
  std::span<const std::u16string_view> rest(names);
  bool from_root = from.root.has_value();
  if (from.root == Root::kLocalMachine && !names.empty()) {
    if (auto mount = state.mounts.find(names.front())) {
      to.store = mount.get();
      to.key = mount->hive.root();
      to.mounted = true;
      to.path.clear();
      rest = rest.subspan(1);
      from_root = true;
    }
  }
  if (!to.store)
    if (DWORD error = read_root(state, to); error != ERROR_SUCCESS) return WinError{error};
  if (!to.mounted)
    for (std::u16string_view name : rest) to.path.emplace_back(name);

  auto key = find_key(*to.store, to.key, from_root, rest);
  if (key) {
    to.key = *key;
    return to;
  }
  if (!create || key.error() != ERROR_FILE_NOT_FOUND) return WinError{key.error()};

  // Create what is missing, name by name from the deepest key that exists.
  regf::Hive& hive = to.store->hive;
  regf::KeyRef at = to.key;
  for (std::u16string_view name : rest) {
    if (name.size() > kMaxKeyName) return WinError{ERROR_INVALID_PARAMETER};
    auto found = hive.find_subkey(at, name);
    if (!found) return WinError{ERROR_BADDB};
    if (*found) {
      at = **found;
      continue;
    }
    auto added = hive.add_subkey(at, name);
    if (!added) return WinError{ERROR_BADDB};
    at = *added;
    to.store->modified = true;
    *created = true;
  }
  to.key = at;
  return to;
}

HKEY new_handle(RegistryState& state, const Place& place, REGSAM access) {
  return state.keys.insert(
      OpenKey{place.store->shared_from_this(), place.key, access, place.mounted, place.machine_root, place.path});
}

// A change to a key of the machine registry goes to system.reg at once.
DWORD changed(RegistryState& state, const Place& place) {
  place.store->modified = true;
  return place.mounted ? DWORD(ERROR_SUCCESS) : state.machine.save();
}

// The place of a handle for a value or enumeration call needing `right`.
Expected<Place> value_place(RegistryState& state, HKEY hkey, REGSAM right) {
  auto place = place_of(state, hkey);
  if (!place) return place;
  if (!place->store)
    if (DWORD error = read_root(state, *place); error != ERROR_SUCCESS) return WinError{error};
  if ((place->access & right) != right) return WinError{ERROR_ACCESS_DENIED};
  return place;
}

std::u16string_view name_or_default(LPCWSTR name) { return name ? std::u16string_view(name) : std::u16string_view(); }

// Copies `name` and its terminator into a buffer of *capacity characters; false (and
// nothing written) when it does not fit.
bool store_name(std::u16string_view name, LPWSTR buffer, LPDWORD capacity) {
  if (name.size() >= *capacity) return false;
  std::copy(name.begin(), name.end(), buffer);
  buffer[name.size()] = 0;
  *capacity = DWORD(name.size());
  return true;
}

}  // namespace

LSTATUS WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD /*ulOptions*/, REGSAM samDesired, PHKEY phkResult) {
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  RegistryState& state = registry_state();
  std::lock_guard lock(state.mutex);
  auto from = place_of(state, hKey);
  if (!from) {
    *phkResult = nullptr;
    return LSTATUS(from.error());
  }
  *phkResult = nullptr;
  if (DWORD error = split_path(name_or_default(lpSubKey), state.names); error != ERROR_SUCCESS) return LSTATUS(error);
  const auto* names = &state.names;
  if (names->empty() && from->root) {
    *phkResult = hKey;
    return ERROR_SUCCESS;
  }
  auto to = descend(state, *from, *names, false, nullptr);
  if (!to) return LSTATUS(to.error());
  *phkResult = new_handle(state, *to, map_access(samDesired));
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
  const std::u16string sub = lpSubKey ? base::from_utf8(lpSubKey) : std::u16string();
  return RegOpenKeyExW(hKey, lpSubKey ? sub.c_str() : nullptr, ulOptions, samDesired, phkResult);
}

LSTATUS WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD /*Reserved*/, LPWSTR /*lpClass*/, DWORD /*dwOptions*/,
                               REGSAM samDesired, const LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/, PHKEY phkResult,
                               LPDWORD lpdwDisposition) {
  if (!phkResult) return ERROR_BADKEY;
  RegistryState& state = registry_state();
  std::lock_guard lock(state.mutex);
  auto from = place_of(state, hKey);
  if (!from) return LSTATUS(from.error());
  if (DWORD error = split_path(name_or_default(lpSubKey), state.names); error != ERROR_SUCCESS) return LSTATUS(error);
  const auto* names = &state.names;
  if (names->empty() && from->root) {
    if (DWORD error = read_root(state, *from); error != ERROR_SUCCESS) return LSTATUS(error);
    *phkResult = hKey;
    if (lpdwDisposition) *lpdwDisposition = REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
  }
  bool created = false;
  auto to = descend(state, *from, *names, true, &created);
  if (!to) return LSTATUS(to.error());
  if (created)
    if (DWORD error = changed(state, *to); error != ERROR_SUCCESS) return LSTATUS(error);
  *phkResult = new_handle(state, *to, map_access(samDesired));
  if (lpdwDisposition) *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCloseKey(HKEY hKey) {
  if (predefined_root(hKey)) return ERROR_SUCCESS;
  // Under the lock: the key may hold the last reference to an unmounted hive.
  RegistryState& state = registry_state();
  std::lock_guard lock(state.mutex);
  return state.keys.erase(hKey) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LSTATUS WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                LPDWORD lpcbData) {
  if ((lpData && !lpcbData) || lpReserved) return ERROR_INVALID_PARAMETER;
  RegistryState& state = registry_state();
  std::lock_guard lock(state.mutex);
  auto place = value_place(state, hKey, KEY_QUERY_VALUE);
  if (!place) return LSTATUS(place.error());
  const regf::Hive& hive = place->store->hive;
  auto value = hive.find_value(place->key, name_or_default(lpValueName));
  if (!value) return ERROR_BADDB;
  if (!*value) {
    if (lpcbData && !lpData) *lpcbData = 0;
    return ERROR_FILE_NOT_FOUND;
  }
  auto type = hive.value_type(**value);
  auto size = hive.value_size(**value);
  if (!type || !size) return ERROR_BADDB;
  if (lpType) *lpType = *type;
  LSTATUS result = ERROR_SUCCESS;
  if (lpData) {
    if (*size > *lpcbData) {
      result = ERROR_MORE_DATA;
    } else {
      auto data = hive.value_data(**value);
      if (!data) return ERROR_BADDB;
      if (!data->empty()) std::memcpy(lpData, data->data(), data->size());
    }
  }
  if (lpcbData) *lpcbData = *size;
  return result;
}

LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                LPDWORD lpcbData) {
  if ((lpData && !lpcbData) || lpReserved) return ERROR_INVALID_PARAMETER;
  const std::u16string name = lpValueName ? base::from_utf8(lpValueName) : std::u16string();
  DWORD type = 0, size = 0;
  LSTATUS result = RegQueryValueExW(hKey, name.c_str(), nullptr, &type, nullptr, &size);
  if (result != ERROR_SUCCESS) {
    if (result == ERROR_FILE_NOT_FOUND && lpcbData && !lpData) *lpcbData = 0;
    return result;
  }
  std::vector<BYTE> data(size);
  result = RegQueryValueExW(hKey, name.c_str(), nullptr, &type, data.data(), &size);
  if (result != ERROR_SUCCESS) return result;
  data.resize(size);
  if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) {
    std::u16string text(size / 2, u'\0');
    if (!text.empty()) std::memcpy(text.data(), data.data(), text.size() * 2);
    const std::string narrow = base::to_utf8(text);
    data.assign(narrow.begin(), narrow.end());
  }
  if (lpType) *lpType = type;
  if (lpData) {
    if (data.size() > *lpcbData)
      result = ERROR_MORE_DATA;
    else if (!data.empty())
      std::memcpy(lpData, data.data(), data.size());
  }
  if (lpcbData) *lpcbData = DWORD(data.size());
  return result;
}

LSTATUS WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD /*Reserved*/, DWORD dwType, const BYTE* lpData,
                              DWORD cbData) {
  if (!lpData && cbData) return ERROR_NOACCESS;
  RegistryState& state = registry_state();
  std::lock_guard lock(state.mutex);
  auto place = value_place(state, hKey, KEY_SET_VALUE);
  if (!place) return LSTATUS(place.error());
  const std::span<const uint8_t> data(lpData, lpData ? cbData : 0);
  const std::u16string_view name = name_or_default(lpValueName);
  regf::Hive& hive = place->store->hive;
  // One search of the key's values gives the journal the old data and the write its place.
  auto existing = hive.find_value(place->key, name);
  if (!existing) return ERROR_BADDB;
  const bool journaled = place->mounted && journal_enabled();
  if (journaled) format_journal_entry(*place->store, place->key, *existing, name, dwType, data, state.journal);
  if (auto st = hive.set_value(place->key, *existing, name, dwType, data); !st) return ERROR_BADDB;
  if (journaled) journal_append_line(state.journal.line);
  return LSTATUS(changed(state, *place));
}

LSTATUS WINAPI RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                             LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  if ((lpData && !lpcbData) || lpReserved || !lpValueName || !lpcchValueName) return ERROR_INVALID_PARAMETER;
  RegistryState& state = registry_state();
  std::lock_guard lock(state.mutex);
  auto place = value_place(state, hKey, KEY_QUERY_VALUE);
  if (!place) return LSTATUS(place.error());
  const regf::Hive& hive = place->store->hive;
  // An enumeration asks for the values in order: a later one's record is fetched from
  // memory while this one is read.
  constexpr DWORD kAhead = 4;
  auto found = hive.value_at(place->key, dwIndex, kAhead);
  if (!found) return ERROR_BADDB;
  if (!*found) return ERROR_NO_MORE_ITEMS;
  const regf::ValueRef* value = &**found;
  // The name goes straight into the caller's buffer when it fits with its terminator;
  // the data, in the same read, only when both fit, so that a call ending in
  // ERROR_MORE_DATA leaves them alone.
  const std::span<char16_t> name_room(lpValueName, *lpcchValueName ? *lpcchValueName - 1 : 0);
  const std::span<uint8_t> data_room(lpData, lpData ? *lpcbData : 0);
  auto info = hive.read_value(*value, name_room, data_room);
  if (!info) return ERROR_BADDB;

  if (lpType) *lpType = info->type;
  const bool name_fits = info->name_length < *lpcchValueName;
  const bool data_fits = !lpData || info->size <= *lpcbData;
  if (name_fits) {
    lpValueName[info->name_length] = 0;
    *lpcchValueName = info->name_length;
  }
  if (lpcbData) *lpcbData = info->size;
  if (!name_fits || !data_fits) return ERROR_MORE_DATA;
  if (place->mounted) progress_value();
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                             LPWSTR lpClass, LPDWORD lpcchClass, LPFILETIME lpftLastWriteTime) {
  if (lpReserved || !lpName || !lpcchName || (lpClass && !lpcchClass)) return ERROR_INVALID_PARAMETER;
  RegistryState& state = registry_state();
  std::lock_guard lock(state.mutex);
  auto place = place_of(state, hKey);
  if (!place) return LSTATUS(place.error());
  if (!(place->access & KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;

  if (place->root == Root::kLocalMachine) {
    // The machine registry's keys and the mount names, in the one sorted order a hive
    // keeps; rare enough to be built at each call.
    std::vector<std::u16string> names = state.mounts.names();
    if (read_root(state, *place) == ERROR_SUCCESS) {
      const regf::Hive& hive = place->store->hive;
      auto count = hive.subkey_count(place->key);
      if (!count) return ERROR_BADDB;
      for (uint32_t i = 0; i < *count; ++i) {
        auto sub = hive.subkey(place->key, i);
        if (!sub) return ERROR_BADDB;
        auto name = hive.key_name(*sub);
        if (!name) return ERROR_BADDB;
        names.push_back(std::move(*name));
      }
    }
    std::sort(names.begin(), names.end(),
              [](const std::u16string& a, const std::u16string& b) { return base::compare_nocase(a, b) < 0; });
    if (dwIndex >= names.size()) return ERROR_NO_MORE_ITEMS;
    if (lpftLastWriteTime) *lpftLastWriteTime = FILETIME{0, 0};
    if (lpClass && *lpcchClass > 0) {
      lpClass[0] = 0;
      *lpcchClass = 0;
    }
    return store_name(names[dwIndex], lpName, lpcchName) ? ERROR_SUCCESS : ERROR_MORE_DATA;
  }

  if (!place->store)
    if (DWORD error = read_root(state, *place); error != ERROR_SUCCESS) return LSTATUS(error);
  const regf::Hive& hive = place->store->hive;
  auto count = hive.subkey_count(place->key);
  if (!count) return ERROR_BADDB;
  if (dwIndex >= *count) return ERROR_NO_MORE_ITEMS;
  auto sub = hive.subkey(place->key, dwIndex);
  if (!sub) return ERROR_BADDB;
  // Decoded straight into the caller's buffer when it fits with its terminator.
  auto length = hive.read_key_name(*sub, std::span<char16_t>(lpName, *lpcchName ? *lpcchName - 1 : 0));
  if (!length) return ERROR_BADDB;
  if (lpftLastWriteTime) {
    auto written = hive.last_written(*sub);
    const uint64_t t = written ? *written : 0;
    *lpftLastWriteTime = FILETIME{DWORD(t), DWORD(t >> 32)};
  }
  if (*length >= *lpcchName) return ERROR_MORE_DATA;
  const std::u16string_view name(lpName, *length);
  auto& last = place->store->last_enumerated;
  last.parent = place->key.cell;
  last.child = sub->cell;
  last.name.assign(name);
  if (lpClass) {
    auto class_name = hive.class_name(*sub);
    const std::u16string text = class_name && *class_name ? **class_name : std::u16string();
    if (text.size() >= *lpcchClass) return ERROR_MORE_DATA;
    store_name(text, lpClass, lpcchClass);
  }
  lpName[*length] = 0;
  *lpcchName = *length;
  if (place->mounted) progress_key();
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegLoadKeyW(HKEY hKey, LPCWSTR lpSubKey, LPCWSTR lpFile) {
  if (predefined_root(hKey) != Root::kLocalMachine) return ERROR_INVALID_PARAMETER;
  if (!lpSubKey || !*lpSubKey || !lpFile) return ERROR_INVALID_PARAMETER;
  const std::u16string_view name(lpSubKey);
  if (name.find(u'\\') != name.npos || name.size() > kMaxKeyName) return ERROR_INVALID_PARAMETER;
  // Loading a hive takes both privileges, enabled.
  if (!privilege_enabled(SE_BACKUP_NAME) || !privilege_enabled(SE_RESTORE_NAME)) return ERROR_PRIVILEGE_NOT_HELD;
  RegistryState& state = registry_state();
  std::lock_guard lock(state.mutex);
  const DWORD result = state.mounts.load(name, lpFile, state.machine);
  if (result == ERROR_SUCCESS) progress_mounted(lpFile);
  return LSTATUS(result);
}

LSTATUS WINAPI RegUnLoadKeyW(HKEY hKey, LPCWSTR lpSubKey) {
  if (predefined_root(hKey) != Root::kLocalMachine) return ERROR_INVALID_PARAMETER;
  if (!lpSubKey || !*lpSubKey) return ERROR_INVALID_PARAMETER;
  if (!privilege_enabled(SE_BACKUP_NAME) || !privilege_enabled(SE_RESTORE_NAME)) return ERROR_PRIVILEGE_NOT_HELD;
  RegistryState& state = registry_state();
  std::lock_guard lock(state.mutex);
  return LSTATUS(state.mounts.unload(lpSubKey));
}
