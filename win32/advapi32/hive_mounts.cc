// Hive files mounted below HKEY_LOCAL_MACHINE: loading (with recovery from the
// transaction logs), writing back, and the write-back of every mounted hive at exit;
// under a dry run (journal.h) nothing is written back and files are opened read-only.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "base/unicode.h"
#include "regf/commit.h"
#include "regf/format.h"
#include "regf/recovery.h"
#include "win32/advapi32/registry_store.h"
#include "win32/host/detach.h"
#include "win32/host/error.h"
#include "win32/host/journal.h"
#include "win32/host/path.h"

namespace hivemend::win32::reg {

namespace {

// The Linux path of the hive file a Windows path names, checked to be a regular file
// the process may write (a hive is mounted for reading and writing; for reading only
// under a dry run, which may run on a read-only volume).
Expected<std::string> resolve_hive_file(std::u16string_view windows_file) {
  auto parsed = parse_windows_path(windows_file);
  if (!parsed) return WinError{parsed.error()};
  if (parsed->components.empty() || parsed->trailing_separator) return WinError{ERROR_ACCESS_DENIED};
  auto dir = open_directory(*parsed, parsed->components.size() - 1);
  if (!dir) return WinError{dir.error()};
  auto entry = find_entry(*dir, parsed->components.back());
  if (!entry) return WinError{entry.error()};
  const Location file{dir->root, dir->child(*entry)};
  base::UniqueFd fd(file.open(dry_run() ? O_RDONLY : O_RDWR));
  if (!fd) return WinError{errno == EISDIR ? DWORD(ERROR_ACCESS_DENIED) : error_from_errno(errno)};
  struct stat st;
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return WinError{ERROR_ACCESS_DENIED};
  return linux_path_of(file);
}

DWORD write_back(HiveStore& store) {
  // The journal names every change before the file holds it.
  journal_flush();
  if (!store.modified || dry_run()) return ERROR_SUCCESS;
  // Written from the hive's own image: no second copy of a large hive in memory.
  if (auto st = store.hive.commit(store.file); !st) {
    // Named as the program named it; a hive whose unmount failed stays mounted and is
    // tried again at exit, where the same reason is not said twice.
    regf::Error why = st.error();
    why.file.clear();
    if (std::string said = why.to_string(); said != store.write_failure) {
      std::fprintf(stderr, "hivemend: hive %s (%s) not written back: %s\n", base::to_utf8(store.windows_file).c_str(),
                   base::to_utf8(store.name).c_str(), said.c_str());
      store.write_failure = std::move(said);
    }
    return ERROR_ACCESS_DENIED;
  }
  store.modified = false;
  store.write_failure.clear();
  return ERROR_SUCCESS;
}

}  // namespace

std::shared_ptr<HiveStore> HiveMounts::find(std::u16string_view name) const {
  for (const auto& store : mounts_)
    if (store->name == name || base::equal_nocase(store->name, name)) return store;
  return nullptr;
}

DWORD HiveMounts::load(std::u16string_view name, std::u16string_view windows_file, MachineRegistry& machine) {
  if (find(name)) return ERROR_ALREADY_EXISTS;
  // A key of that name in the machine registry would be hidden by the mount. When the
  // machine registry is unreadable it holds no key anyone could reach.
  if (auto local = machine.root(Root::kLocalMachine)) {
    auto existing = (*local)->hive.find_subkey((*local)->hive.root(), name);
    if (!existing || *existing) return ERROR_ALREADY_EXISTS;
  }
  auto file = resolve_hive_file(windows_file);
  if (!file) return file.error();
  for (const auto& store : mounts_)
    if (store->file == *file) return ERROR_SHARING_VIOLATION;

  // A write killed between putting the new file under the name and giving the name back
  // its DOS name left a record beside it; no other writer runs, so finish it now.
  if (auto finished = regf::finish_interrupted_replace(*file); !finished)
    std::fprintf(stderr, "hivemend: %s\n", finished.error().to_string().c_str());
  auto recovered = regf::recover_file(*file);
  if (!recovered) {
    std::fprintf(stderr, "hivemend: hive not loaded: %s\n", recovered.error().to_string().c_str());
    return ERROR_BADDB;
  }
  auto hive = regf::Hive::from_image(std::move(recovered->image), *file);
  if (!hive) {
    std::fprintf(stderr, "hivemend: hive not loaded: %s\n", hive.error().to_string().c_str());
    return ERROR_BADDB;
  }
  auto store = std::make_shared<HiveStore>(std::move(*hive), std::u16string(name));
  store->file = std::move(*file);
  store->windows_file = windows_file;
  mounts_.push_back(std::move(store));
  return ERROR_SUCCESS;
}

DWORD HiveMounts::unload(std::u16string_view name) {
  auto it = std::find_if(mounts_.begin(), mounts_.end(),
                         [&](const auto& store) { return base::equal_nocase(store->name, name); });
  if (it == mounts_.end()) return ERROR_FILE_NOT_FOUND;
  if (DWORD error = write_back(**it); error != ERROR_SUCCESS) return error;
  (*it)->detached = true;
  mounts_.erase(it);
  return ERROR_SUCCESS;
}

size_t HiveMounts::commit_all() {
  size_t failed = 0;
  for (auto& store : mounts_) failed += write_back(*store) != ERROR_SUCCESS;
  return failed;
}

void format_journal_entry(const HiveStore& store, regf::KeyRef key, std::optional<regf::ValueRef> existing,
                          std::u16string_view name, uint32_t type, std::span<const uint8_t> data,
                          JournalScratch& scratch) {
  const regf::Hive& hive = store.hive;
  // The key's path, from the parent links of its key nodes up to the hive's root, up to
  // a key whose node or name does not read.
  scratch.keys.clear();
  for (regf::KeyRef at = key; at != hive.root() && scratch.keys.size() < regf::kMaxKeyDepth;) {
    auto node = hive.record(at.cell, "nk", regf::nk::kName);
    if (!node) break;
    auto length = hive.read_key_name(at, {});
    if (!length) break;
    scratch.keys.emplace_back(at.cell, *length);
    at = regf::KeyRef{regf::load_u32(&(*node)[regf::nk::kParent])};
  }
  scratch.key.clear();
  for (auto it = scratch.keys.rbegin(); it != scratch.keys.rend(); ++it) {
    // Each name read in the walk up, into the room made for it.
    const size_t at = scratch.key.size() + (scratch.key.empty() ? 0 : 1);
    scratch.key.resize(at + it->second, u'\\');
    (void)hive.read_key_name(regf::KeyRef{it->first}, std::span<char16_t>(scratch.key).subspan(at));
  }
  std::optional<JournalDataView> old_data;
  if (existing) {
    auto old_type = hive.value_type(*existing);
    if (old_type && hive.value_data(*existing, scratch.old_data))
      old_data = JournalDataView{*old_type, scratch.old_data};
  }
  format_journal_line(scratch.line, store.windows_file, scratch.key, name, old_data, JournalDataView{type, data});
}

std::vector<std::u16string> HiveMounts::names() const {
  std::vector<std::u16string> out;
  for (const auto& store : mounts_) out.push_back(store->name);
  return out;
}

RegistryState& registry_state() {
  static RegistryState* state = new RegistryState;  // never destroyed: hives are written back during exit
  return *state;
}

namespace {

// Writes the mounted hives back when the process exits normally (exit or a return from
// main), after the program's own exit handlers.
struct CommitAtExit {
  // A process that ends without returning from main writes them back on detach.
  CommitAtExit() {
    on_process_detach([] { commit_mounted_hives(); });
  }
  ~CommitAtExit() { commit_mounted_hives(); }
} commit_at_exit;

}  // namespace

}  // namespace hivemend::win32::reg

namespace hivemend::win32 {

size_t commit_mounted_hives() {
  auto& state = reg::registry_state();
  std::lock_guard lock(state.mutex);
  return state.mounts.commit_all();
}

}  // namespace hivemend::win32
