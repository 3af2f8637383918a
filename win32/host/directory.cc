#include "win32/host/directory.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "base/mount_table.h"
#include "win32/host/error.h"
#include "win32/host/fork.h"
#include "win32/host/ntfs_records.h"
#include "win32/host/short_name.h"

#ifndef STATX_MNT_ID
#define STATX_MNT_ID 0x00001000U
#endif

namespace hivemend::win32 {

namespace {

// ntfs-3g's extended attributes for the NTFS file attributes (a little-endian 32-bit
// number) and for the DOS (short) name.
constexpr const char* kNtfsAttrib = "system.ntfs_attrib";
constexpr const char* kNtfsDosName = "system.ntfs_dos_name";

std::atomic<uint64_t> g_directory_reads{0};
std::atomic<bool> g_cache_enabled{true};
std::atomic<uint64_t> g_settings{0};  // a new number whenever a switch changes
std::atomic<uint64_t> g_calls{0};
thread_local uint64_t t_call = 0;  // the open FileSystemCall of this thread, 0 when none

std::string proc_path(int dir_fd, const std::string& name) {
  return "/proc/self/fd/" + std::to_string(dir_fd) + (name.empty() ? "" : "/" + name);
}

// `path` is an entry below a /proc/self/fd directory (not followed when a link), or a
// /proc/self/fd link itself (followed to what it names).
std::optional<uint32_t> ntfs_attrib(const std::string& path, bool follow) {
  uint8_t buf[4];
  const ssize_t n = follow ? getxattr(path.c_str(), kNtfsAttrib, buf, sizeof buf)
                           : lgetxattr(path.c_str(), kNtfsAttrib, buf, sizeof buf);
  if (n != 4) return std::nullopt;
  return uint32_t(buf[0] | buf[1] << 8 | buf[2] << 16 | uint32_t(buf[3]) << 24);
}

DWORD attributes_from(const struct stat& st, std::optional<uint32_t> ntfs) {
  DWORD a;
  if (ntfs) {
    a = *ntfs;
    if (S_ISDIR(st.st_mode)) a |= FILE_ATTRIBUTE_DIRECTORY;
  } else {
    // Without NTFS metadata: what Windows shows for a plain directory or a new file.
    a = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    if (!S_ISDIR(st.st_mode) && !(st.st_mode & S_IWUSR)) a |= FILE_ATTRIBUTE_READONLY;
    if (S_ISLNK(st.st_mode)) a |= FILE_ATTRIBUTE_REPARSE_POINT;
  }
  return a ? a : FILE_ATTRIBUTE_NORMAL;
}

void fill_times(DirEntry& e, const struct stat& st) {
  e.size = S_ISDIR(st.st_mode) ? 0 : uint64_t(st.st_size);
  e.creation = filetime_of(st.st_mtim);
  e.last_access = filetime_of(st.st_atim);
  e.last_write = filetime_of(st.st_mtim);
}

// The attributes (`attrib`, the NTFS ones when it has them) and the short name of the
// NTFS entry e.linux_name of a directory; `st` is its lstat. ntfs-3g gives a name that is
// its own 8.3 name (stored once for both) as the DOS name too; Windows shows none. Of a
// file with several links in the directory its DOS name was made in, ntfs-3g cannot say
// which link it belongs to and gives none (EMLINK), nor in the file's other directories.
void fill_ntfs_names(int dir_fd, const struct stat& st, std::optional<uint32_t> attrib, DirEntry& e) {
  e.attributes = attributes_from(st, attrib);
  e.short_name.clear();
  char dos[64];
  const ssize_t n = lgetxattr(proc_path(dir_fd, e.linux_name).c_str(), kNtfsDosName, dos, sizeof dos);
  if (n <= 0) return;
  std::u16string name = base::from_utf8(std::string_view(dos, size_t(n)));
  if (!base::equal_nocase(name, e.long_name)) e.short_name = std::move(name);
}

// As above, the attributes read here; false when the entry has no NTFS attributes.
bool read_ntfs_names(int dir_fd, const struct stat& st, DirEntry& e) {
  const auto attrib = ntfs_attrib(proc_path(dir_fd, e.linux_name), false);
  fill_ntfs_names(dir_fd, st, attrib, e);
  return attrib.has_value();
}

FILETIME filetime(uint64_t t) { return FILETIME{DWORD(t), DWORD(t >> 32)}; }

// An entry as its MFT record gives it (what the extended attributes and the lstat
// would give).
void fill_from(const NtfsRecord& r, DirEntry& e) {
  e.attributes = r.attributes;
  e.short_name = r.short_name;
  e.size = r.directory ? 0 : r.size;
  e.creation = e.last_write = filetime(r.last_write);
  e.last_access = filetime(r.last_access);
}

// The names of a directory's entries, from the directory opened by path (`fd`); false
// when it cannot be read.
bool read_names(int fd, std::vector<std::string>& names) {
  base::UniqueFd opened(openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!opened) return false;
  // The names as the kernel hands them over (a directory stream would first ask the
  // file system about the descriptor once more).
  alignas(dirent64) char buffer[32768];
  ssize_t n;
  while ((n = getdents64(opened.get(), buffer, sizeof buffer)) > 0) {
    for (ssize_t at = 0; at < n;) {
      const auto* d = reinterpret_cast<const dirent64*>(buffer + at);
      at += d->d_reclen;
      if (std::strcmp(d->d_name, ".") != 0 && std::strcmp(d->d_name, "..") != 0) names.emplace_back(d->d_name);
    }
  }
  return n == 0;  // a read error fails the listing, as it fails the search on Windows
}

// A directory read through the file system. `fd`: the directory opened by path;
// `self_st`: its fstat.
std::shared_ptr<Listing> read_directory(const Location& dir, int fd, const struct stat& self_st,
                                        const std::shared_ptr<const base::UpcaseTable>& upcase) {
  std::vector<std::string> names;
  if (!read_names(fd, names)) return nullptr;
  ++g_directory_reads;
  auto listing = std::make_shared<Listing>();
  listing->upcase = upcase;
  // Every entry of an ntfs-3g volume has its NTFS attributes, so the first entry tells
  // whether the volume has them; the directory's own are asked for only when it has
  // none (or there is no entry), else at the first search that returns ".".
  std::optional<bool> ntfs;
  std::optional<uint32_t> self_attrib;
  auto ask_self = [&] {
    self_attrib = ntfs_attrib(proc_path(fd, ""), true);
    return self_attrib.has_value();
  };
  for (const std::string& name : names) {
    DirEntry e;
    e.linux_name = name;
    e.long_name = base::from_utf8(name);
    struct stat st;
    if (fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // gone meanwhile
    std::optional<uint32_t> attrib;
    if (ntfs.value_or(true)) attrib = ntfs_attrib(proc_path(fd, name), false);
    if (!ntfs) ntfs = attrib || ask_self();
    if (*ntfs) {
      fill_ntfs_names(fd, st, attrib, e);
      e.number = st.st_ino;  // ntfs-3g's inode numbers are the MFT's record numbers
    } else {
      e.attributes = attributes_from(st, std::nullopt);
      if (S_ISLNK(st.st_mode)) {
        // A link shows what it leads to inside the volume (or just the link when dangling).
        base::UniqueFd target(dir.open(dir.child(name), O_PATH));
        struct stat target_st;
        if (target && fstat(target.get(), &target_st) == 0) {
          e.attributes = attributes_from(target_st, std::nullopt) | FILE_ATTRIBUTE_REPARSE_POINT;
          st = target_st;
        }
      }
    }
    fill_times(e, st);
    listing->entries.push_back(std::move(e));
  }
  if (!ntfs) ntfs = ask_self();
  listing->ntfs = *ntfs;
  listing->set_self(self_st, self_attrib, listing->ntfs && !self_attrib);

  if (!listing->ntfs) {
    std::stable_sort(listing->entries.begin(), listing->entries.end(), [](const DirEntry& a, const DirEntry& b) {
      const int c = base::compare_nocase(a.long_name, b.long_name);
      return c != 0 ? c < 0 : a.long_name < b.long_name;
    });
    std::vector<std::u16string> long_names;
    long_names.reserve(listing->entries.size());
    for (const auto& e : listing->entries) long_names.push_back(e.long_name);
    auto shorts = generate_short_names(long_names);
    for (size_t i = 0; i < shorts.size(); ++i) listing->entries[i].short_name = std::move(shorts[i]);
  }
  listing->build_index();
  return listing;
}

// Directory record `number` read from the device; nullptr when the reader cannot vouch
// for the directory and every entry in it (the reason is counted by the reader). What it
// vouches for passed the checks ntfs-3g makes when it opens and lists a directory, so
// ntfs-3g lists the same names, and ntfs-3g is not asked.
std::shared_ptr<const Listing> read_records(const NtfsRecords& records, uint64_t number,
                                            const std::shared_ptr<const base::UpcaseTable>& upcase) {
  auto listed = records.list(number);
  if (!listed) return nullptr;
  const auto own = records.directory(number);
  if (!own) return nullptr;
  auto listing = std::make_shared<Listing>();
  listing->entries.reserve(listed->size());
  for (auto& l : *listed) {
    const auto r = records.entry(l.reference, number, l.name);
    if (!r) return nullptr;
    DirEntry e;
    e.long_name = std::move(l.name);
    e.linux_name = base::to_utf8(e.long_name);
    e.number = l.reference & 0xFFFFFFFFFFFFull;
    fill_from(*r, e);
    listing->entries.push_back(std::move(e));
  }
  DirEntry self;
  fill_from(*own, self);
  listing->ntfs = true;
  listing->upcase = upcase;
  listing->set_self(self);
  listing->build_index();
  return listing;
}

bool cache_enabled() { return g_cache_enabled.load(); }

// The record of directory `dir` on a volume read from its device, when the listing of
// the place above it (had without a request to ntfs-3g) shows it as a plain directory.
std::optional<uint64_t> directory_record(const Location& dir) {
  if (dir.relative.empty()) return uint64_t(dir.root->ino);
  const size_t slash = dir.relative.rfind('/');
  const std::string name = slash == std::string::npos ? dir.relative : dir.relative.substr(slash + 1);
  const Location above{dir.root, slash == std::string::npos ? std::string() : dir.relative.substr(0, slash)};
  const auto listing = known_listing(above);
  if (!listing) return std::nullopt;
  const DirEntry* e = listing->find(base::from_utf8(name));
  // Links and junctions are followed by the kernel, through ntfs-3g.
  if (!e || e->linux_name != name || e->number == 0 ||
      (e->attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != FILE_ATTRIBUTE_DIRECTORY)
    return std::nullopt;
  return e->number;
}

// Whether the ntfs-3g mount of `root_fd` serves the NTFS volume `records` reads: the volume's
// size in clusters, as ntfs-3g reports it, is the one its boot sector gives.
bool serves(int root_fd, const NtfsRecords& records) {
  struct statvfs vfs;
  return fstatvfs(root_fd, &vfs) == 0 && uint64_t(vfs.f_frsize) == records.cluster_size() &&
         uint64_t(vfs.f_blocks) == records.clusters();
}

}  // namespace

VolumeListings::VolumeListings(int root_fd) : upcase_(base::UpcaseTable::builtin()), fork_(fork_generation()) {
  struct statx sx;
  if (statx(root_fd, "", AT_EMPTY_PATH, STATX_MNT_ID, &sx) != 0 || !(sx.stx_mask & STATX_MNT_ID)) return;
  const auto table = base::read_mount_table();
  const auto mine =
      std::find_if(table.begin(), table.end(), [&](const auto& m) { return uint64_t(m.id) == sx.stx_mnt_id; });
  if (mine == table.end() || !(mine->type == "fuseblk" || mine->type == "fuse" || mine->type.starts_with("fuse.")) ||
      !mine->source.starts_with("/"))
    return;
  // The index would not show a file system mounted inside this one.
  const std::string below = mine->point == "/" ? "/" : mine->point + "/";
  for (const auto& m : table)
    if (m.point.starts_with(below)) return;
  auto records = NtfsRecords::open(mine->source);
  if (!records || !serves(root_fd, *records)) return;
  records_ = std::move(records);
  device_writes_ = records_->writes();
  if (auto table = records_->upcase()) upcase_ = std::move(table);
}

VolumeListings::~VolumeListings() = default;

uint64_t VolumeListings::check(bool force) {
  if (!force && t_call != 0 && checked_in_ == t_call) return generation_;
  checked_in_ = t_call;
  // A forked child shares its parent's watches and cannot tell whose changes it reads.
  bool changed =
      settings_ != g_settings.load() || records_enabled_ != ntfs_records_enabled() || fork_generation() != fork_;
  settings_ = g_settings.load();
  records_enabled_ = ntfs_records_enabled();
  if (records_) {
    const uint64_t writes = records_->writes();
    changed |= writes != device_writes_;
    device_writes_ = writes;
  } else if (inotify_) {
    alignas(inotify_event) char events[4096];
    while (read(inotify_.get(), events, sizeof events) > 0) changed = true;
  } else {
    changed = true;  // nothing watched: nothing can be kept
  }
  if (changed) drop_all();
  return generation_;
}

void VolumeListings::drop_all() {
  ++generation_;
  kept_.clear();
  failed_.clear();
  walks_.clear();
}

VolumeListings::Kept VolumeListings::kept(const std::string& relative) {
  std::lock_guard lock(mutex_);
  Kept result{check(false), nullptr, std::nullopt};
  if (auto it = kept_.find(relative); it != kept_.end())
    result.listing = it->second;
  else if (auto failed = failed_.find(relative); failed != failed_.end())
    result.failure = failed->second;
  return result;
}

void VolumeListings::keep(const std::string& relative, std::shared_ptr<const Listing> listing, uint64_t generation) {
  if (!cache_enabled()) return;
  std::lock_guard lock(mutex_);
  // A change while the directory was read may be missing from it: it is then not kept.
  if (check(true) == generation) kept_[relative] = std::move(listing);
}

bool VolumeListings::watch(int dir_fd) {
  if (records_) return true;  // the device's watch sees every change
  std::lock_guard lock(mutex_);
  if (!inotify_) inotify_.reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  constexpr uint32_t kChanges =
      IN_ATTRIB | IN_CREATE | IN_DELETE | IN_DELETE_SELF | IN_MODIFY | IN_MOVE_SELF | IN_MOVED_FROM | IN_MOVED_TO;
  return inotify_ && inotify_add_watch(inotify_.get(), proc_path(dir_fd, "").c_str(), kChanges) >= 0;
}

void VolumeListings::keep_failure(const std::string& relative, DWORD error, uint64_t generation) {
  if (!cache_enabled()) return;
  std::lock_guard lock(mutex_);
  if (check(true) == generation) failed_[relative] = error;
}

uint64_t VolumeListings::state() {
  std::lock_guard lock(mutex_);
  return check(false);
}

void VolumeListings::forget() {
  std::lock_guard lock(mutex_);
  drop_all();
}

VolumeListings::Walk VolumeListings::walked(std::u16string_view windows) {
  std::lock_guard lock(mutex_);
  Walk result{check(false), std::nullopt, nullptr};
  auto it = walks_.find(windows);
  if (it == walks_.end()) return result;
  result.relative = it->second;
  if (auto listing = kept_.find(it->second); listing != kept_.end()) result.listing = listing->second;
  return result;
}

void VolumeListings::keep_walk(std::u16string_view windows, const std::string& relative, uint64_t generation) {
  if (!cache_enabled()) return;
  std::lock_guard lock(mutex_);
  // The listings it went through belong to `generation`, and were dropped with it.
  if (generation_ == generation) walks_.emplace(windows, relative);
}

FileSystemCall::FileSystemCall() : outermost_(t_call == 0) {
  if (outermost_) t_call = ++g_calls;
}

FileSystemCall::~FileSystemCall() {
  if (outermost_) t_call = 0;
}

namespace {

// The listing of `dir`, directory record `number`, read from the device and kept for
// the volume's generation `generation`; nullptr when the device cannot answer for it.
std::shared_ptr<const Listing> device_listing(const Location& dir, VolumeListings& volume, uint64_t generation,
                                              uint64_t number) {
  if (!volume.records() || !ntfs_records_enabled()) return nullptr;
  auto listing = read_records(*volume.records(), number, volume.upcase());
  if (!listing) return nullptr;
  ++g_directory_reads;
  volume.keep(dir.relative, listing, generation);
  return listing;
}

}  // namespace

std::shared_ptr<const Listing> known_listing(const Location& dir) {
  VolumeListings& volume = *dir.root->listings;
  auto kept = volume.kept(dir.relative);
  if (kept.listing || kept.failure) return std::move(kept.listing);
  const auto number = directory_record(dir);
  if (!number) return nullptr;
  return device_listing(dir, volume, kept.generation, *number);
}

Expected<std::shared_ptr<const Listing>> list_directory(const Location& dir) {
  FileSystemCall call;
  VolumeListings& volume = *dir.root->listings;
  auto kept = volume.kept(dir.relative);
  if (kept.listing) return std::move(kept.listing);
  if (kept.failure) return WinError{*kept.failure};
  const uint64_t generation = kept.generation;
  const auto number = directory_record(dir);
  if (number)
    if (auto listing = device_listing(dir, volume, generation, *number)) return listing;
  // Opened by path: a directory that may not be read can still be known by its
  // identity, and one whose index is read from the device is never opened for reading.
  base::UniqueFd fd(dir.open(O_PATH | O_DIRECTORY));
  if (!fd) return WinError{errno == ENOENT || errno == ENOTDIR ? DWORD(ERROR_PATH_NOT_FOUND) : error_from_errno(errno)};
  // Watched before it is read, so that a change made meanwhile is not missed.
  const bool watched = volume.watch(fd.get());
  struct stat st;
  if (fstat(fd.get(), &st) != 0) return WinError{error_from_errno(errno)};
  // A directory reached through a link or junction is read from the device too, by
  // its record (ntfs-3g's inode number), unless that was tried above.
  if (st.st_dev == dir.root->dev && !number)
    if (auto listing = device_listing(dir, volume, generation, st.st_ino)) return listing;
  auto listing = read_directory(dir, fd.get(), st, volume.upcase());
  if (!listing) {
    const DWORD error = error_from_errno(errno ? errno : EIO);
    if (watched) volume.keep_failure(dir.relative, error, generation);
    return WinError{error};
  }
  if (watched) volume.keep(dir.relative, listing, generation);
  return std::shared_ptr<const Listing>(std::move(listing));
}

std::optional<DirEntry> read_entry(const Location& dir, const std::string& linux_name) {
  base::UniqueFd fd(dir.open(O_PATH | O_DIRECTORY));
  struct stat st;
  if (!fd || fstatat(fd.get(), linux_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
  // ntfs-3g also finds an entry by its short name: that spelling does not tell the long
  // one, and the listing does.
  if (is_short_name_spelling(fd.get(), linux_name)) return std::nullopt;
  DirEntry e;
  e.linux_name = linux_name;
  e.long_name = base::from_utf8(linux_name);
  // Every entry of an NTFS volume has its NTFS attributes.
  if (!read_ntfs_names(fd.get(), st, e)) return std::nullopt;
  e.number = st.st_ino;
  fill_times(e, st);
  return e;
}

bool is_short_name_spelling(int dir_fd, const std::string& name) {
  char dos[64];
  const ssize_t n = lgetxattr(proc_path(dir_fd, name).c_str(), kNtfsDosName, dos, sizeof dos);
  return n > 0 && base::equal_nocase(base::from_utf8(std::string_view(dos, size_t(n))), base::from_utf8(name));
}

void forget_listing(const Location& dir) { dir.root->listings->forget(); }

void Listing::set_self(const DirEntry& self) {
  self_ = self;
  self_.long_name.assign(1, u'.');
  self_.short_name.clear();
  self_.number = 0;
  self_pending_ = false;
}

void Listing::set_self(const struct stat& st, std::optional<uint32_t> ntfs_attributes, bool read_later) {
  self_.long_name.assign(1, u'.');
  self_.attributes = attributes_from(st, ntfs_attributes);
  fill_times(self_, st);
  self_st_ = st;
  self_pending_ = read_later;
}

DirEntry Listing::self(const Location& dir) const {
  std::call_once(self_read_, [&] {
    if (!self_pending_) return;
    base::UniqueFd fd(dir.open(O_PATH | O_DIRECTORY));
    if (fd) self_.attributes = attributes_from(self_st_, ntfs_attrib(proc_path(fd.get(), ""), true));
  });
  return self_;
}

namespace {

// The first four code units of a name, zero-padded, as one number: names ordered by
// their code units have keys in the same order (none holds U+0000).
uint64_t sort_key(std::u16string_view name) {
  uint64_t key = 0;
  for (size_t i = 0; i < 4; ++i) key = key << 16 | (i < name.size() ? name[i] : 0);
  return key;
}

std::vector<uint64_t> sort_keys(const std::vector<std::pair<std::u16string, uint32_t>>& index) {
  std::vector<uint64_t> keys;
  keys.reserve(index.size());
  for (const auto& [name, i] : index) keys.push_back(sort_key(name));
  return keys;
}

}  // namespace

void Listing::build_index() {
  by_long_.clear();
  by_short_.clear();
  for (uint32_t i = 0; i < entries.size(); ++i) {
    by_long_.emplace_back(upcase->upper(entries[i].long_name), i);
    if (!entries[i].short_name.empty()) by_short_.emplace_back(upcase->upper(entries[i].short_name), i);
  }
  std::sort(by_long_.begin(), by_long_.end());
  std::sort(by_short_.begin(), by_short_.end());
  long_keys_ = sort_keys(by_long_);
  short_keys_ = sort_keys(by_short_);
}

namespace {

// Orders an index's entries and a name by the name alone.
struct ByName {
  bool operator()(const std::pair<std::u16string, uint32_t>& a, std::u16string_view b) const { return a.first < b; }
  bool operator()(std::u16string_view a, const std::pair<std::u16string, uint32_t>& b) const { return a < b.first; }
};

}  // namespace

const DirEntry* Listing::find(std::u16string_view name) const {
  // Upper-cased in place: no NTFS name is longer than 255 code units.
  char16_t room[256];
  std::u16string longer;
  std::u16string_view upper;
  if (name.size() <= std::size(room)) {
    for (size_t i = 0; i < name.size(); ++i) room[i] = (*upcase)(name[i]);
    upper = std::u16string_view(room, name.size());
  } else {
    longer = upcase->upper(name);
    upper = longer;
  }
  const uint64_t key = sort_key(upper);
  auto range = [&](const auto& index, const std::vector<uint64_t>& keys) {
    const auto [lo, hi] = std::equal_range(keys.begin(), keys.end(), key);
    return std::equal_range(index.begin() + (lo - keys.begin()), index.begin() + (hi - keys.begin()), upper, ByName{});
  };
  auto [lo, hi] = range(by_long_, long_keys_);
  const DirEntry* first = nullptr;
  for (auto it = lo; it != hi; ++it) {
    const DirEntry& e = entries[it->second];
    if (e.long_name == name) return &e;
    if (!first || &e < first) first = &e;
  }
  if (first) return first;
  auto [slo, shi] = range(by_short_, short_keys_);
  for (auto it = slo; it != shi; ++it)
    if (!first || &entries[it->second] < first) first = &entries[it->second];
  return first;
}

std::vector<uint32_t> Listing::starting_with(std::u16string_view upper_prefix) const {
  std::vector<uint32_t> result;
  const uint64_t key = sort_key(upper_prefix);
  auto collect = [&](const auto& index, const std::vector<uint64_t>& keys) {
    // The names before the prefix's key are before the prefix, those after it after it.
    const auto [lo, hi] = std::equal_range(keys.begin(), keys.end(), key);
    auto it = std::lower_bound(index.begin() + (lo - keys.begin()), index.begin() + (hi - keys.begin()), upper_prefix,
                               [](const auto& a, std::u16string_view p) { return std::u16string_view(a.first) < p; });
    for (; it != index.end() && std::u16string_view(it->first).starts_with(upper_prefix); ++it)
      result.push_back(it->second);
  };
  collect(by_long_, long_keys_);
  collect(by_short_, short_keys_);
  std::sort(result.begin(), result.end());
  result.erase(std::unique(result.begin(), result.end()), result.end());
  return result;
}

DWORD attributes_of(int fd, const struct stat& st) { return attributes_from(st, ntfs_attrib(proc_path(fd, ""), true)); }

uint64_t directory_reads() { return g_directory_reads.load(); }

void set_listing_cache_enabled(bool enabled) {
  g_cache_enabled = enabled;
  ++g_settings;
}

FILETIME filetime_of(const struct timespec& ts) {
  // 100-nanosecond intervals since 1601-01-01; 11644473600 seconds lie before 1970.
  const uint64_t t = (uint64_t(ts.tv_sec) + 11644473600ull) * 10000000ull + uint64_t(ts.tv_nsec) / 100;
  return FILETIME{DWORD(t), DWORD(t >> 32)};
}

}  // namespace hivemend::win32
