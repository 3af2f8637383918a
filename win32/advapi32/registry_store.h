// What stands behind registry keys: hives in memory (the roots of the machine registry,
// and the mounted hive files), the table of mounts, and the open-key handle object.
// Internal to the registry functions of registry.cc; every call below is made with the
// registry lock held (RegistryState::mutex).
#pragma once

#include <sys/stat.h>

#include <array>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "regf/hive.h"
#include "regf/regtext.h"
#include "win32/advapi32/registry.h"
#include "win32/host/expected.h"
#include "win32/host/journal.h"

namespace hivemend::win32::reg {

// The predefined roots, numbered by the low bits of their handle values.
enum class Root : uint8_t { kClassesRoot = 0, kCurrentUser = 1, kLocalMachine = 2, kUsers = 3, kCurrentConfig = 5 };
constexpr size_t kRootSlots = 6;
std::u16string_view root_name(Root root);  // "HKEY_LOCAL_MACHINE"
// The root a handle value names, if it is one of the predefined ones.
std::optional<Root> predefined_root(HKEY key);

// One hive in memory: a root of the machine registry or a mounted hive file.
struct HiveStore : std::enable_shared_from_this<HiveStore> {
  HiveStore(regf::Hive h, std::u16string n) : hive(std::move(h)), name(std::move(n)) {}

  regf::Hive hive;
  std::u16string name;          // the root's name, or the mount name as given
  std::string file;             // Linux path of a mounted hive file; empty for the machine registry
  std::u16string windows_file;  // the hive file as given to RegLoadKeyW
  bool detached = false;        // unmounted, or replaced by a newer reading of system.reg
  bool modified = false;        // changed since read or last written
  std::string write_failure;    // why the last write-back failed, as said ("" after a success)
  // The keys of the path opened last from the hive's root (name as given, key node).
  // A walk opens each key by its full path right after its parent or a sibling, so the
  // path shares all but its last name with this one: opening costs one comparison per
  // shared name and one search of the parent's sorted subkey list, however deep.
  std::vector<std::pair<std::u16string, uint32_t>> cursor;  // entries past cursor_depth are spare
  size_t cursor_depth = 0;
  // The subkey RegEnumKeyExW gave last: a walk opens it next, and then needs no search.
  struct {
    uint32_t parent = 0, child = 0;
    std::u16string name;
  } last_enumerated;
};

// A path split into `names` (trailing and doubled separators dropped). A leading
// separator: ERROR_BAD_PATHNAME.
DWORD split_path(std::u16string_view path, std::vector<std::u16string_view>& names);

// The key that `names` leads to from `from` (the hive's root when from_root is set).
// ERROR_FILE_NOT_FOUND when a name is missing, ERROR_BADDB when the hive is damaged there.
Expected<regf::KeyRef> find_key(HiveStore& store, regf::KeyRef from, bool from_root,
                                std::span<const std::u16string_view> names);

// The machine registry: system.reg in the prefix, one hive in memory per root.
class MachineRegistry {
 public:
  // The store of `root`, reading system.reg (again) when it was not read yet, the prefix
  // changed or the file changed on disk. ERROR_BADDB for a damaged file.
  Expected<std::shared_ptr<HiveStore>> root(Root root);
  // Writes every root back to system.reg at once. On failure the stores are dropped, so
  // that the next access reads the file again and memory never disagrees with it.
  DWORD save();

 private:
  DWORD load(const std::string& path);

  std::string path_;                 // system.reg as last read
  std::optional<struct stat> seen_;  // its identity then (nullopt: it did not exist)
  bool loaded_ = false;
  std::optional<DWORD> broken_;  // the error of a damaged file, reported once
  regf::RegFormat format_ = regf::RegFormat::kRegedit5;
  regf::RegEncoding encoding_ = regf::RegEncoding::kUtf8;
  std::array<bool, kRootSlots> named_{};  // roots the file named, written back even when empty
  std::array<std::shared_ptr<HiveStore>, kRootSlots> roots_;
};

// The hive files mounted below HKEY_LOCAL_MACHINE.
class HiveMounts {
 public:
  std::shared_ptr<HiveStore> find(std::u16string_view name) const;
  DWORD load(std::u16string_view name, std::u16string_view windows_file, MachineRegistry& machine);
  DWORD unload(std::u16string_view name);
  // Writes back every changed hive; the number that failed.
  size_t commit_all();
  // The mount names as given, for enumerating HKEY_LOCAL_MACHINE.
  std::vector<std::u16string> names() const;

 private:
  std::vector<std::shared_ptr<HiveStore>> mounts_;  // a handful at most
};

// An open key: the hive and key node it names and the access it was opened with. Keys
// of the machine registry also keep their root and path, to be found again after
// system.reg was read anew.
struct OpenKey {
  std::shared_ptr<HiveStore> store;  // null while the slot is free
  regf::KeyRef key;
  REGSAM access = 0;
  bool mounted = false;
  Root root = Root::kLocalMachine;
  std::vector<std::u16string> path;  // below the root of the machine registry
};

// Room for journal lines, reused from one write to the next.
struct JournalScratch {
  std::string line;
  std::u16string key;
  // Key nodes from the written one up, each with its name's length.
  std::vector<std::pair<uint32_t, uint32_t>> keys;
  std::vector<uint8_t> old_data;
};

// The journal line, into scratch.line, for writing `type` and `data` into the value
// `name` of `key` in a mounted hive, found there as `existing` (none when new), with the
// value's data as it stands (call it before the write).
void format_journal_entry(const HiveStore& store, regf::KeyRef key, std::optional<regf::ValueRef> existing,
                          std::u16string_view name, uint32_t type, std::span<const uint8_t> data,
                          JournalScratch& scratch);

// The open keys. Handle values are kFirstKeyHandle + 4 * slot: multiples of four as
// Windows handles are, in a range of their own, so a key handle never names an object
// of the process handle table nor the reverse. A closed slot is reused first.
constexpr uintptr_t kFirstKeyHandle = 0x00400000;

class KeyTable {
 public:
  HKEY insert(OpenKey key);
  // The open key a handle names, or nullptr.
  OpenKey* find(HKEY handle);
  bool erase(HKEY handle);

 private:
  std::vector<OpenKey> slots_;
  std::vector<size_t> free_;
};

struct RegistryState {
  std::mutex mutex;
  MachineRegistry machine;
  HiveMounts mounts;
  KeyTable keys;
  // Reused by each call for the names of its path.
  std::vector<std::u16string_view> names;
  JournalScratch journal;
};
// The process's registry; never destroyed (hives are written back during exit).
RegistryState& registry_state();

}  // namespace hivemend::win32::reg
