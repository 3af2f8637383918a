// The machine registry (system.reg in the prefix), paths and key lookup shared by every
// hive behind the registry functions.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/unicode.h"
#include "regf/build.h"
#include "regf/commit.h"
#include "regf/walk.h"
#include "win32/advapi32/registry_store.h"
#include "win32/host/error.h"
#include "win32/host/prefix.h"

namespace hivemend::win32::reg {

namespace {

constexpr Root kAllRoots[] = {Root::kLocalMachine, Root::kClassesRoot, Root::kUsers, Root::kCurrentUser,
                              Root::kCurrentConfig};

bool same_file(const std::optional<struct stat>& a, const std::optional<struct stat>& b) {
  if (a.has_value() != b.has_value()) return false;
  if (!a) return true;
  return a->st_dev == b->st_dev && a->st_ino == b->st_ino && a->st_size == b->st_size &&
         a->st_mtim.tv_sec == b->st_mtim.tv_sec && a->st_mtim.tv_nsec == b->st_mtim.tv_nsec;
}

Expected<std::optional<struct stat>> stat_file(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0) return std::optional<struct stat>(st);
  if (errno == ENOENT) return std::optional<struct stat>();
  return WinError{error_from_errno(errno)};
}

bool same_units(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(char16_t)) == 0;
}

bool is_empty(const regf::TreeKey& key) { return key.values.empty() && key.subkeys.empty(); }

}  // namespace

std::u16string_view root_name(Root root) {
  switch (root) {
    case Root::kClassesRoot: return u"HKEY_CLASSES_ROOT";
    case Root::kCurrentUser: return u"HKEY_CURRENT_USER";
    case Root::kLocalMachine: return u"HKEY_LOCAL_MACHINE";
    case Root::kUsers: return u"HKEY_USERS";
    case Root::kCurrentConfig: return u"HKEY_CURRENT_CONFIG";
  }
  return u"";
}

std::optional<Root> predefined_root(HKEY key) {
  // Only the low 32 bits of a predefined handle count, as on 64-bit Windows.
  const uint32_t low = uint32_t(reinterpret_cast<ULONG_PTR>(key));
  switch (low) {
    case 0x80000000u: return Root::kClassesRoot;
    case 0x80000001u: return Root::kCurrentUser;
    case 0x80000002u: return Root::kLocalMachine;
    case 0x80000003u: return Root::kUsers;
    case 0x80000005u: return Root::kCurrentConfig;
    default: return std::nullopt;
  }
}

DWORD split_path(std::u16string_view path, std::vector<std::u16string_view>& names) {
  names.clear();
  if (!path.empty() && path.front() == u'\\') return ERROR_BAD_PATHNAME;
  size_t i = 0;
  while (i < path.size()) {
    size_t end = path.find(u'\\', i);
    if (end == path.npos) end = path.size();
    if (end > i) names.push_back(path.substr(i, end - i));
    i = end + 1;
  }
  return ERROR_SUCCESS;
}

Expected<regf::KeyRef> find_key(HiveStore& store, regf::KeyRef from, bool from_root,
                                std::span<const std::u16string_view> names) {
  const regf::Hive& hive = store.hive;
  auto child = [&](regf::KeyRef parent, std::u16string_view name) -> Expected<regf::KeyRef> {
    const auto& last = store.last_enumerated;
    if (last.parent == parent.cell && last.child != 0 && same_units(last.name, name)) return regf::KeyRef{last.child};
    auto found = hive.find_subkey(parent, name);
    if (!found) return WinError{ERROR_BADDB};
    if (!*found) return WinError{ERROR_FILE_NOT_FOUND};
    return **found;
  };
  if (!from_root) {
    regf::KeyRef key = from;
    for (std::u16string_view name : names) {
      auto next = child(key, name);
      if (!next) return next;
      key = *next;
    }
    return key;
  }
  // Start from the deepest key this path shares with the one opened last.
  auto& cursor = store.cursor;
  size_t& depth = store.cursor_depth;
  size_t shared = 0;
  while (shared < names.size() && shared < depth &&
         (same_units(cursor[shared].first, names[shared]) || base::equal_nocase(cursor[shared].first, names[shared])))
    ++shared;
  regf::KeyRef key = shared ? regf::KeyRef{cursor[shared - 1].second} : hive.root();
  depth = shared;
  for (size_t i = shared; i < names.size(); ++i) {
    auto next = child(key, names[i]);
    if (!next) return next;
    key = *next;
    if (depth == cursor.size()) cursor.emplace_back();
    cursor[depth].first.assign(names[i]);
    cursor[depth].second = key.cell;
    ++depth;
  }
  return key;
}

Expected<std::shared_ptr<HiveStore>> MachineRegistry::root(Root root) {
  auto prefix = prefix_dir();
  if (!prefix) return WinError{prefix.error()};
  const std::string path = *prefix + "/system.reg";
  auto now = stat_file(path);
  if (!now) return WinError{now.error()};
  if (!loaded_ || path != path_ || !same_file(seen_, *now)) {
    seen_ = *now;
    if (DWORD error = load(path); error != ERROR_SUCCESS) return WinError{error};
  }
  if (broken_) return WinError{*broken_};
  return roots_[size_t(root)];
}

DWORD MachineRegistry::load(const std::string& path) {
  for (auto& store : roots_) {
    if (store) store->detached = true;
    store.reset();
  }
  path_ = path;
  loaded_ = true;
  broken_.reset();
  named_ = {};
  format_ = regf::RegFormat::kRegedit5;
  encoding_ = regf::RegEncoding::kUtf8;

  regf::RegDocument doc;
  if (seen_) {
    auto read = regf::read_reg_file(path);
    if (!read) {
      std::fprintf(stderr, "hivemend: machine registry unusable, left untouched: %s\n",
                   read.error().to_string().c_str());
      broken_ = ERROR_BADDB;
      return ERROR_SUCCESS;
    }
    doc = std::move(*read);
  }
  format_ = doc.format;
  encoding_ = doc.encoding;
  std::vector<std::u16string> names;
  for (Root r : kAllRoots) names.emplace_back(root_name(r));
  auto trees = regf::reg_subtrees(doc, names, path);
  if (!trees) {
    std::fprintf(stderr, "hivemend: machine registry unusable, left untouched: %s\n",
                 trees.error().to_string().c_str());
    broken_ = ERROR_BADDB;
    return ERROR_SUCCESS;
  }
  for (size_t i = 0; i < std::size(kAllRoots); ++i) {
    const size_t slot = size_t(kAllRoots[i]);
    for (const regf::RegEntry& entry : doc.entries)
      if (!entry.path.empty() && base::equal_nocase(entry.path.front(), names[i])) named_[slot] = true;
    auto image = regf::build_hive((*trees)[i]);
    if (!image) {
      std::fprintf(stderr, "hivemend: machine registry unusable, left untouched: %s: %s\n", path.c_str(),
                   image.error().message.c_str());
      broken_ = ERROR_BADDB;
      return ERROR_SUCCESS;
    }
    auto hive = regf::Hive::from_image(std::move(*image), path);
    if (!hive) {
      broken_ = ERROR_BADDB;
      return ERROR_SUCCESS;
    }
    roots_[slot] = std::make_shared<HiveStore>(std::move(*hive), std::u16string(names[i]));
  }
  return ERROR_SUCCESS;
}

DWORD MachineRegistry::save() {
  auto drop = [this](const std::string& why) {
    std::fprintf(stderr, "hivemend: %s: change not written: %s\n", path_.c_str(), why.c_str());
    loaded_ = false;
    for (auto& store : roots_) {
      if (store) store->detached = true;
      store.reset();
    }
    return DWORD(ERROR_ACCESS_DENIED);
  };
  std::vector<regf::TreeKey> trees;
  std::vector<Root> written;
  trees.reserve(std::size(kAllRoots));
  for (Root r : kAllRoots) {
    auto tree = regf::read_tree(roots_[size_t(r)]->hive);
    if (!tree) return drop(tree.error().to_string());
    const bool always = r == Root::kLocalMachine || r == Root::kClassesRoot;
    if (!always && !named_[size_t(r)] && is_empty(*tree)) continue;
    trees.push_back(std::move(*tree));
    written.push_back(r);
  }
  std::vector<regf::RegRoot> roots;
  for (size_t i = 0; i < trees.size(); ++i) roots.push_back({std::u16string(root_name(written[i])), &trees[i]});
  auto text = regf::write_reg(roots, {format_, encoding_});
  if (!text) return drop(text.error().to_string());
  if (auto st = regf::replace_file(path_, *text); !st) return drop(st.error().to_string());
  auto now = stat_file(path_);
  if (now) seen_ = *now;
  for (Root r : kAllRoots) roots_[size_t(r)]->modified = false;
  return ERROR_SUCCESS;
}

}  // namespace hivemend::win32::reg
