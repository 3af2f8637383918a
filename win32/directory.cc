#include "win32/directory.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <tuple>

#include "base/unicode.h"
#include "win32/error.h"
#include "win32/file.h"
#include "win32/ntfs_records.h"
#include "win32/short_name.h"

namespace hivemend::win32 {

namespace {

// ntfs-3g's extended attributes for the NTFS file attributes (a little-endian 32-bit
// number) and for the DOS (short) name.
constexpr const char* kNtfsAttrib = "system.ntfs_attrib";
constexpr const char* kNtfsDosName = "system.ntfs_dos_name";

std::atomic<uint64_t> g_directory_reads{0};
std::atomic<bool> g_cache_enabled{true};

struct CacheKey {
  dev_t root_dev;
  ino_t root_ino;
  dev_t dev;
  ino_t ino;
  auto tie() const { return std::tie(root_dev, root_ino, dev, ino); }
  bool operator<(const CacheKey& o) const { return tie() < o.tie(); }
};

struct CacheSlot {
  struct timespec mtime, ctime;
  std::shared_ptr<const Listing> listing;
};

std::string proc_path(int dir_fd, const std::string& name) {
  return "/proc/self/fd/" + std::to_string(dir_fd) + (name.empty() ? "" : "/" + name);
}

std::mutex g_cache_mutex;
std::map<CacheKey, CacheSlot>& cache() {
  static auto* c = new std::map<CacheKey, CacheSlot>;  // lives to the end of the process
  return *c;
}

// Listings of watched directories by volume root and path: each is true as long as no
// change was reported in any watched directory (the kernel reports every change made
// through the mount, by any process, before the call making it returns), so it answers
// without a round trip to the file system. Any change forgets them all; a directory is
// then checked against the listings by identity above.
struct PathKey {
  dev_t root_dev;
  ino_t root_ino;
  std::string relative;
  auto tie() const { return std::tie(root_dev, root_ino, relative); }
  bool operator<(const PathKey& o) const { return tie() < o.tie(); }
};

struct Watched {
  int inotify = -1;
  bool tried = false;
  uint64_t reports = 0;  // reads of the queue that found changes
  std::map<PathKey, std::shared_ptr<const Listing>> listings;
};

Watched& watched() {
  static auto* w = new Watched;  // lives to the end of the process
  return *w;
}

PathKey path_key(const Location& dir) { return PathKey{dir.root->dev, dir.root->ino, dir.relative}; }

// A forked child shares the parent's queue of changes: it starts a queue of its own.
void fork_prepare() { g_cache_mutex.lock(); }
void fork_parent() { g_cache_mutex.unlock(); }
void fork_child() {
  Watched& w = watched();
  if (w.inotify >= 0) close(w.inotify);
  w = Watched{};
  g_cache_mutex.unlock();
}

// With g_cache_mutex held: the watched listings left after the changes reported so far.
std::map<PathKey, std::shared_ptr<const Listing>>& watched_listings() {
  Watched& w = watched();
  if (w.inotify >= 0) {
    alignas(inotify_event) char events[4096];
    while (read(w.inotify, events, sizeof events) > 0) {
      w.listings.clear();
      ++w.reports;
    }
  }
  return w.listings;
}

// With g_cache_mutex held: starts watching the opened directory; false when changes to
// it could not be watched.
bool watch(int dir_fd) {
  Watched& w = watched();
  if (!w.tried) {
    w.tried = true;
    w.inotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (w.inotify >= 0) pthread_atfork(fork_prepare, fork_parent, fork_child);
  }
  constexpr uint32_t kChanges =
      IN_ATTRIB | IN_CREATE | IN_DELETE | IN_DELETE_SELF | IN_MODIFY | IN_MOVE_SELF | IN_MOVED_FROM | IN_MOVED_TO;
  return w.inotify >= 0 && inotify_add_watch(w.inotify, proc_path(dir_fd, "").c_str(), kChanges) >= 0;
}

bool same_time(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
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
// NTFS entry e.linux_name of a directory; `st` is its lstat.
void fill_ntfs_names(int dir_fd, const struct stat& st, std::optional<uint32_t> attrib, DirEntry& e) {
  e.attributes = attributes_from(st, attrib);
  char dos[64];
  const ssize_t n = lgetxattr(proc_path(dir_fd, e.linux_name).c_str(), kNtfsDosName, dos, sizeof dos);
  if (n > 0) e.short_name = base::from_utf8(std::string_view(dos, size_t(n)));
}

// As above, the attributes read here; false when the entry has no NTFS attributes.
bool read_ntfs_names(int dir_fd, const struct stat& st, DirEntry& e) {
  const auto attrib = ntfs_attrib(proc_path(dir_fd, e.linux_name), false);
  fill_ntfs_names(dir_fd, st, attrib, e);
  return attrib.has_value();
}

FILETIME filetime(uint64_t t) { return FILETIME{DWORD(t), DWORD(t >> 32)}; }

// An entry as its MFT record gives it (what the extended attributes and the lstat
// would give); false when the record was not read.
void fill_from(const NtfsRecord& r, DirEntry& e) {
  e.attributes = r.attributes;
  e.short_name = r.short_name;
  e.size = r.directory ? 0 : r.size;
  e.creation = e.last_write = filetime(r.last_write);
  e.last_access = filetime(r.last_access);
}

bool fill_from_record(const NtfsRecords* records, uint64_t number, uint64_t parent, DirEntry& e) {
  if (!records) return false;
  const auto r = records->read(number, parent, e.long_name);
  if (!r) return false;
  e.number = number;
  fill_from(*r, e);
  return true;
}

// The names of a directory's entries, from the directory opened by path (`fd`); false
// when it cannot be read.
bool read_names(int fd, std::vector<std::string>& names) {
  base::UniqueFd opened(openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!opened) return false;
  // The names as the kernel hands them over (a directory stream would first ask the
  // file system about the descriptor once more); a read error ends the listing.
  alignas(dirent64) char buffer[32768];
  for (ssize_t n; (n = getdents64(opened.get(), buffer, sizeof buffer)) > 0;) {
    for (ssize_t at = 0; at < n;) {
      const auto* d = reinterpret_cast<const dirent64*>(buffer + at);
      at += d->d_reclen;
      if (std::strcmp(d->d_name, ".") != 0 && std::strcmp(d->d_name, "..") != 0) names.emplace_back(d->d_name);
    }
  }
  return true;
}

// `fd`: the directory opened by path; `self_st`: its fstat.
std::shared_ptr<Listing> read_directory(const Location& dir, int fd, const struct stat& self_st) {
  std::vector<std::string> names;
  if (!read_names(fd, names)) return nullptr;
  ++g_directory_reads;
  auto listing = std::make_shared<Listing>();
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
    std::vector<std::u16string> names;
    names.reserve(listing->entries.size());
    for (const auto& e : listing->entries) names.push_back(e.long_name);
    auto shorts = generate_short_names(names);
    for (size_t i = 0; i < shorts.size(); ++i) listing->entries[i].short_name = std::move(shorts[i]);
  }
  listing->build_index();
  return listing;
}

// Listings read from an ntfs-3g volume's device, by volume and directory record. Each is
// true as long as the directory's record is as it was when it was read, and is not
// checked again while nothing was written to the volume's device.
struct RawSlot {
  std::shared_ptr<const NtfsRecords> records;
  std::vector<uint8_t> record;
  std::shared_ptr<const Listing> listing;
  uint64_t writes = 0;  // the device's writes() when the record was last found unchanged
};

std::atomic<uint64_t> g_call{1};

// Orders places (a volume root and a path below it) with a path of either string type.
struct PlaceLess {
  using is_transparent = void;
  template <typename A, typename B>
  bool operator()(const A& a, const B& b) const {
    return std::pair(a.first, std::string_view(a.second)) < std::pair(b.first, std::string_view(b.second));
  }
};

// What this thread found in the current call: the volumes' readers, whether their
// devices were written (asked once per call), and the listings of the places it
// followed, asked again by the same call.
struct CallMemo {
  uint64_t call = 0;
  std::map<dev_t, std::shared_ptr<const NtfsRecords>> readers;
  std::map<const NtfsRecords*, uint64_t> writes;
  std::map<std::pair<const VolumeRoot*, std::string>, std::shared_ptr<const Listing>, PlaceLess> listings;
};

CallMemo& call_memo() {
  thread_local CallMemo memo;
  if (memo.call != g_call.load()) {
    memo.readers.clear();
    memo.writes.clear();
    memo.listings.clear();
    memo.call = g_call.load();
  }
  return memo;
}

uint64_t writes_in_call(const NtfsRecords& records) {
  CallMemo& memo = call_memo();
  auto it = memo.writes.find(&records);
  if (it == memo.writes.end()) it = memo.writes.emplace(&records, records.writes()).first;
  return it->second;
}

std::mutex g_raw_mutex;
std::map<std::pair<dev_t, uint64_t>, RawSlot>& raw_slots() {
  static auto* slots = new std::map<std::pair<dev_t, uint64_t>, RawSlot>;  // lives to the end of the process
  return *slots;
}

// An entry whose record does not give it as ntfs-3g shows it (a junction or symbolic
// link, which ntfs-3g shows as a link with the length of its target; an Interix file),
// read through ntfs-3g in directory `dir` (`fd`, opened at the first such entry) as a
// listing through ntfs-3g reads it: false when ntfs-3g cannot give it (it is then left
// out, as there), nullopt when the directory cannot be opened.
std::optional<bool> read_through_ntfs3g(const Location& dir, base::UniqueFd& fd, DirEntry& e) {
  if (!fd) fd.reset(dir.open(O_PATH | O_DIRECTORY));
  if (!fd) return std::nullopt;
  struct stat st;
  if (fstatat(fd.get(), e.linux_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  read_ntfs_names(fd.get(), st, e);
  fill_times(e, st);
  e.number = 0;  // not followed, and not read again from a record
  return true;
}

// The listing of directory record `number`, which is `where`; nullptr when the
// directory is to be asked of ntfs-3g.
std::shared_ptr<const Listing> raw_listing_of(const std::shared_ptr<const NtfsRecords>& records, const Location& where,
                                              uint64_t number) {
  const dev_t dev = where.root->dev;
  const bool keep = g_cache_enabled.load();
  const uint64_t writes = writes_in_call(*records);
  if (keep) {
    std::lock_guard lock(g_raw_mutex);
    auto it = raw_slots().find({dev, number});
    if (it != raw_slots().end() && it->second.records == records && it->second.writes == writes)
      return it->second.listing;
  }
  std::vector<uint8_t> record;
  if (!records->directory_record(number, record)) return nullptr;
  if (keep) {
    std::lock_guard lock(g_raw_mutex);
    auto it = raw_slots().find({dev, number});
    if (it != raw_slots().end() && it->second.records == records && it->second.record == record) {
      it->second.writes = writes;
      return it->second.listing;
    }
  }
  std::vector<NtfsRecords::Listed> listed;
  if (!records->list(number, record, listed)) return nullptr;
  auto listing = std::make_shared<Listing>();
  listing->entries.reserve(listed.size());
  base::UniqueFd through;
  for (auto& l : listed) {
    DirEntry e;
    e.long_name = std::move(l.name);
    e.linux_name = base::to_utf8(e.long_name);
    if (!fill_from_record(records.get(), l.number, number, e)) {
      const auto read = read_through_ntfs3g(where, through, e);
      if (!read) return nullptr;
      if (!*read) continue;
    }
    listing->entries.push_back(std::move(e));
  }
  // The directory itself, from the record just read (no name: whatever its names).
  const auto own = records->parse(number, record, 0, {});
  if (!own) return nullptr;
  DirEntry self;
  fill_from(*own, self);
  listing->ntfs = true;
  listing->set_self(self);
  listing->set_records(records, number, writes);
  listing->build_index();
  ++g_directory_reads;
  if (keep) {
    std::lock_guard lock(g_raw_mutex);
    raw_slots()[{dev, number}] = RawSlot{records, std::move(record), listing, writes};
  }
  return listing;
}

// The listing of `dir` read from its ntfs-3g volume's device, its path followed through
// the listings above it (a record read each): no request to ntfs-3g at all. nullptr
// when the volume cannot be read so, or a directory on the way is to be asked of it.
std::shared_ptr<const Listing> follow_raw(const Location& dir, const std::shared_ptr<const NtfsRecords>& records);

// The record of the directory `name` of a listing read from the device, when it is one
// to follow here (links and junctions are followed by the kernel, through ntfs-3g).
std::optional<uint64_t> child_directory(const Listing& listing, std::string_view name) {
  const DirEntry* e = listing.find(base::from_utf8(name));
  if (!e || e->linux_name != name || e->number == 0 ||
      (e->attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != FILE_ATTRIBUTE_DIRECTORY)
    return std::nullopt;
  return e->number;
}

std::shared_ptr<const Listing> raw_listing(const Location& dir) {
  CallMemo& memo = call_memo();
  auto reader = memo.readers.find(dir.root->dev);
  if (reader == memo.readers.end()) {
    uint64_t writes = 0;
    reader = memo.readers.emplace(dir.root->dev, NtfsRecords::of_volume(dir.root->dev, &writes)).first;
    if (reader->second) memo.writes.emplace(reader->second.get(), writes);
  }
  if (!reader->second) return nullptr;
  const std::string_view relative = dir.relative;
  if (auto it = memo.listings.find(std::pair(dir.root.get(), relative)); it != memo.listings.end()) return it->second;
  std::shared_ptr<const Listing> listing;
  // Below a place this call followed already, one step is enough.
  const size_t slash = relative.rfind('/');
  const std::string_view above = slash == std::string_view::npos ? std::string_view() : relative.substr(0, slash);
  const std::string_view name = slash == std::string_view::npos ? relative : relative.substr(slash + 1);
  if (!relative.empty())
    if (auto up = memo.listings.find(std::pair(dir.root.get(), above)); up != memo.listings.end())
      if (auto number = child_directory(*up->second, name)) listing = raw_listing_of(reader->second, dir, *number);
  if (!listing) listing = follow_raw(dir, reader->second);
  // Kept for the call only when found: a place not readable here is asked of ntfs-3g.
  if (listing) memo.listings.emplace(std::pair(dir.root.get(), dir.relative), listing);
  return listing;
}

std::shared_ptr<const Listing> follow_raw(const Location& dir, const std::shared_ptr<const NtfsRecords>& records) {
  uint64_t number = dir.root->ino;
  Location where{dir.root, std::string()};
  for (std::string_view rest = dir.relative; !rest.empty();) {
    const size_t slash = rest.find('/');
    const std::string_view name = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    const auto listing = raw_listing_of(records, where, number);
    if (!listing) return nullptr;
    const auto child = child_directory(*listing, name);
    if (!child) return nullptr;
    number = *child;
    where.relative = where.child(std::string(name));
  }
  return raw_listing_of(records, where, number);
}

}  // namespace

void begin_file_system_call() { ++g_call; }

namespace {

void forget_raw_listings() {
  std::lock_guard lock(g_raw_mutex);
  raw_slots().clear();
  ++g_call;  // and what this call found
}

}  // namespace

void Listing::set_self(const DirEntry& self) {
  self_ = self;
  self_.long_name.assign(1, u'.');
  self_.short_name.clear();
  self_.number = 0;
  self_pending_ = false;
}

void Listing::set_records(std::shared_ptr<const NtfsRecords> records, uint64_t number, uint64_t writes) {
  records_ = std::move(records);
  number_ = number;
  writes_ = writes;
}

DirEntry Listing::current(const DirEntry& e) const {
  // Nothing written to the volume since the entries were read: they are as they were.
  if (!records_ || e.number == 0 || writes_in_call(*records_) == writes_) return e;
  DirEntry now = e;
  return fill_from_record(records_.get(), e.number, number_, now) ? now : e;
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

void Listing::build_index() {
  by_long_.clear();
  by_short_.clear();
  for (uint32_t i = 0; i < entries.size(); ++i) {
    by_long_.emplace_back(base::upcase(entries[i].long_name), i);
    if (!entries[i].short_name.empty()) by_short_.emplace_back(base::upcase(entries[i].short_name), i);
  }
  std::sort(by_long_.begin(), by_long_.end());
  std::sort(by_short_.begin(), by_short_.end());
}

const DirEntry* Listing::find(std::u16string_view name) const {
  const std::u16string upper = base::upcase(name);
  auto range = [&](const auto& index) {
    return std::equal_range(index.begin(), index.end(), std::make_pair(upper, uint32_t(0)),
                            [](const auto& a, const auto& b) { return a.first < b.first; });
  };
  auto [lo, hi] = range(by_long_);
  const DirEntry* first = nullptr;
  for (auto it = lo; it != hi; ++it) {
    const DirEntry& e = entries[it->second];
    if (e.long_name == name) return &e;
    if (!first || &e < first) first = &e;
  }
  if (first) return first;
  auto [slo, shi] = range(by_short_);
  for (auto it = slo; it != shi; ++it)
    if (!first || &entries[it->second] < first) first = &entries[it->second];
  return first;
}

std::vector<uint32_t> Listing::starting_with(std::u16string_view upper_prefix) const {
  std::vector<uint32_t> result;
  auto collect = [&](const auto& index) {
    auto it = std::lower_bound(index.begin(), index.end(), upper_prefix,
                               [](const auto& a, std::u16string_view p) { return std::u16string_view(a.first) < p; });
    for (; it != index.end() && std::u16string_view(it->first).starts_with(upper_prefix); ++it)
      result.push_back(it->second);
  };
  collect(by_long_);
  collect(by_short_);
  std::sort(result.begin(), result.end());
  result.erase(std::unique(result.begin(), result.end()), result.end());
  return result;
}

Expected<std::shared_ptr<const Listing>> list_directory(const Location& dir) {
  if (auto raw = raw_listing(dir)) return raw;
  const bool use_cache = g_cache_enabled.load();
  if (use_cache) {
    std::lock_guard lock(g_cache_mutex);
    auto& kept = watched_listings();
    if (auto it = kept.find(path_key(dir)); it != kept.end()) return it->second;
  }
  // Opened by path: a directory that may not be read can still be known by its
  // identity, and one whose index is read from the volume is never opened for reading.
  base::UniqueFd fd(dir.open(O_PATH | O_DIRECTORY));
  if (!fd) return WinError{errno == ENOENT || errno == ENOTDIR ? DWORD(ERROR_PATH_NOT_FOUND) : error_from_errno(errno)};
  bool watching = false;
  uint64_t reports_before = 0;
  if (use_cache) {
    // Watched before it is read, so that a change made meanwhile is not missed.
    std::lock_guard lock(g_cache_mutex);
    watching = watch(fd.get());
    watched_listings();
    reports_before = watched().reports;
  }
  struct stat st;
  if (fstat(fd.get(), &st) != 0) return WinError{error_from_errno(errno)};
  // A directory of an ntfs-3g volume reached through a link (which the listings read
  // from the device do not follow) is read from the device too, by its record.
  if (st.st_dev == dir.root->dev)
    if (const auto records = NtfsRecords::of_volume(st.st_dev))
      if (auto raw = raw_listing_of(records, dir, st.st_ino)) return raw;
  const CacheKey key{dir.root->dev, dir.root->ino, st.st_dev, st.st_ino};
  std::shared_ptr<const Listing> listing;
  if (use_cache) {
    std::lock_guard lock(g_cache_mutex);
    auto it = cache().find(key);
    if (it != cache().end() && same_time(it->second.mtime, st.st_mtim) && same_time(it->second.ctime, st.st_ctim))
      listing = it->second.listing;
  }
  if (!listing) {
    listing = read_directory(dir, fd.get(), st);
    if (!listing) return WinError{error_from_errno(errno)};
  }
  if (use_cache) {
    std::lock_guard lock(g_cache_mutex);
    cache()[key] = CacheSlot{st.st_mtim, st.st_ctim, listing};
    // A change reported while the directory was read may be missing from this listing:
    // it is then not kept, and the next search reads the directory again.
    auto& kept = watched_listings();
    if (watching && watched().reports == reports_before) kept[path_key(dir)] = listing;
  }
  return listing;
}

std::shared_ptr<const Listing> watched_listing(const Location& dir) {
  if (!g_cache_enabled.load()) return nullptr;
  if (auto raw = raw_listing(dir)) return raw;
  std::lock_guard lock(g_cache_mutex);
  auto& kept = watched_listings();
  auto it = kept.find(path_key(dir));
  return it == kept.end() ? nullptr : it->second;
}

std::optional<DirEntry> read_entry(const Location& dir, const std::string& linux_name) {
  base::UniqueFd fd(dir.open(O_PATH | O_DIRECTORY));
  struct stat st;
  if (!fd || fstatat(fd.get(), linux_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
  DirEntry e;
  e.linux_name = linux_name;
  e.long_name = base::from_utf8(linux_name);
  struct stat dir_st;
  if (fstat(fd.get(), &dir_st) == 0 &&
      fill_from_record(NtfsRecords::of_volume(dir_st.st_dev).get(), st.st_ino, dir_st.st_ino, e))
    return e;
  // Every entry of an NTFS volume has its NTFS attributes.
  if (!read_ntfs_names(fd.get(), st, e)) return std::nullopt;
  // ntfs-3g also finds an entry by its short name: that spelling does not tell the long one.
  if (base::equal_nocase(e.short_name, e.long_name)) return std::nullopt;
  fill_times(e, st);
  return e;
}

bool is_short_name_spelling(int dir_fd, const std::string& name) {
  char dos[64];
  const ssize_t n = lgetxattr(proc_path(dir_fd, name).c_str(), kNtfsDosName, dos, sizeof dos);
  return n > 0 && base::equal_nocase(base::from_utf8(std::string_view(dos, size_t(n))), base::from_utf8(name));
}

std::shared_ptr<const Listing> cached_listing(const Location& dir) {
  if (!g_cache_enabled.load()) return nullptr;
  if (auto raw = raw_listing(dir)) return raw;
  {
    std::lock_guard lock(g_cache_mutex);
    auto& kept = watched_listings();
    if (auto it = kept.find(path_key(dir)); it != kept.end()) return it->second;
  }
  base::UniqueFd fd(dir.open(O_PATH | O_DIRECTORY));
  struct stat st;
  if (!fd || fstat(fd.get(), &st) != 0) return nullptr;
  std::lock_guard lock(g_cache_mutex);
  auto it = cache().find(CacheKey{dir.root->dev, dir.root->ino, st.st_dev, st.st_ino});
  if (it == cache().end() || !same_time(it->second.mtime, st.st_mtim) || !same_time(it->second.ctime, st.st_ctim))
    return nullptr;
  return it->second.listing;
}

void forget_listing(const Location& dir) {
  forget_raw_listings();
  {
    std::lock_guard lock(g_cache_mutex);
    watched_listings().erase(path_key(dir));
  }
  base::UniqueFd fd(dir.open(O_PATH | O_DIRECTORY));
  struct stat st;
  if (!fd || fstat(fd.get(), &st) != 0) return;
  std::lock_guard lock(g_cache_mutex);
  cache().erase(CacheKey{dir.root->dev, dir.root->ino, st.st_dev, st.st_ino});
}

DWORD attributes_of(int fd, const struct stat& st) { return attributes_from(st, ntfs_attrib(proc_path(fd, ""), true)); }

uint64_t directory_reads() { return g_directory_reads.load(); }

void set_listing_cache_enabled(bool enabled) {
  g_cache_enabled = enabled;
  if (!enabled) {
    forget_raw_listings();
    std::lock_guard lock(g_cache_mutex);
    cache().clear();
    watched().listings.clear();
  }
}

FILETIME filetime_of(const struct timespec& ts) {
  // 100-nanosecond intervals since 1601-01-01; 11644473600 seconds lie before 1970.
  const uint64_t t = (uint64_t(ts.tv_sec) + 11644473600ull) * 10000000ull + uint64_t(ts.tv_nsec) / 100;
  return FILETIME{DWORD(t), DWORD(t >> 32)};
}

}  // namespace hivemend::win32
