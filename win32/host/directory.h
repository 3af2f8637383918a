// Directory listings with their short names and attributes, and the one cache that
// keeps them. Each volume root keeps its own listings (VolumeListings), by path, and
// all of them hold while nothing on the volume changed: on an ntfs-3g mount whose
// device this process may read, while nothing was written to the device; elsewhere,
// while no directory read so far reported a change (inotify). Any change drops every
// listing of the volume. On such an ntfs-3g mount a listing is read from the
// directory's MFT record and index blocks (win32/host/ntfs_records.h), found by following
// the path from the drive root; a directory the reader cannot vouch for entry by entry
// is read through ntfs-3g, whose answer stands.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/unicode.h"
#include "base/unique_fd.h"
#include "win32/host/expected.h"
#include "win32/host/path.h"
#include "win32/types.h"

namespace hivemend::win32 {

class NtfsRecords;

struct DirEntry {
  std::string linux_name;  // the name's bytes on Linux
  std::u16string long_name;
  std::u16string short_name;  // "" when the entry has none
  DWORD attributes = 0;
  uint64_t size = 0;
  FILETIME creation{}, last_access{}, last_write{};
  uint64_t number = 0;  // its MFT record on an ntfs-3g volume, else 0
};

class Listing {
 public:
  // Entries in volume order: the order the file system lists them (on NTFS its index
  // order); on file systems without NTFS metadata, upper-case name order as NTFS would.
  std::vector<DirEntry> entries;
  bool ntfs = false;  // short names and attributes are the volume's own
  // Names compare under it: the volume's own upper-case table on NTFS.
  std::shared_ptr<const base::UpcaseTable> upcase = base::UpcaseTable::builtin();

  // The directory itself (`dir`), for the "." and ".." entries. Few searches return
  // them, so through ntfs-3g its attributes are asked for at the first that does.
  DirEntry self(const Location& dir) const;
  void set_self(const struct stat& st, std::optional<uint32_t> ntfs_attributes, bool read_later);
  void set_self(const DirEntry& self);

  // The entry `name` names: exact long name, else long name in any case, else short name.
  const DirEntry* find(std::u16string_view name) const;
  // Indexes (volume order) of the entries whose long or short name begins with
  // `upper_prefix` (upper case under `upcase`).
  std::vector<uint32_t> starting_with(std::u16string_view upper_prefix) const;

  void build_index();

 private:
  std::vector<std::pair<std::u16string, uint32_t>> by_long_, by_short_;  // sorted upper-case names
  // The first code units of each name above, in the same order: most steps of a search
  // compare these alone.
  std::vector<uint64_t> long_keys_, short_keys_;
  mutable DirEntry self_;
  struct stat self_st_ {};
  mutable std::once_flag self_read_;
  bool self_pending_ = false;
};

// The listings of one volume root, and what tells whether they still hold. Owned by the
// root (VolumeRoot::listings), so that nothing kept outlives the mount it describes.
class VolumeListings {
 public:
  // For the volume root open as `root_fd`: finds its mount and, on ntfs-3g, the device.
  explicit VolumeListings(int root_fd);
  ~VolumeListings();

  // The device reader, when the volume is an ntfs-3g mount whose device can be read and
  // nothing else is mounted inside it; else nullptr.
  const std::shared_ptr<const NtfsRecords>& records() const { return records_; }
  const std::shared_ptr<const base::UpcaseTable>& upcase() const { return upcase_; }

  // What is kept of the directory `relative`: its listing, or the error its read
  // failed with (that is the answer too, for as long as a listing would be), and the
  // number of the volume's state they belong to: they hold while it stays. The
  // device's or the directories' watch is asked once per FileSystemCall (every time
  // outside one).
  struct Kept {
    uint64_t generation = 0;
    std::shared_ptr<const Listing> listing;
    std::optional<DWORD> failure;
  };
  Kept kept(const std::string& relative);
  // Keeps a listing read in `generation` if nothing changed since; watches the
  // directory `fd` first when the device cannot tell (before reading it).
  void keep(const std::string& relative, std::shared_ptr<const Listing> listing, uint64_t generation);
  bool watch(int dir_fd);
  void keep_failure(const std::string& relative, DWORD error, uint64_t generation);
  void forget();

  // The number of the volume's state now, its watch asked (outside a FileSystemCall,
  // every time): a change on the volume since a number was given makes a new one, as far
  // as the watch sees. The device's watch sees every change on the volume (a write to the
  // device), that of the directories read so far only changes in those.
  uint64_t state();
  bool watches_whole_volume() const { return records_ != nullptr; }

  // The directory a Windows path below the root names (its components as written, each
  // followed by '\\'), when it was found before through kept listings alone (it holds
  // as long as they do), with its listing when that is kept too; and the number of the
  // volume's state now, as kept() gives it. One look at the volume answers all three.
  struct Walk {
    uint64_t generation = 0;
    std::optional<std::string> relative;
    std::shared_ptr<const Listing> listing;
  };
  Walk walked(std::u16string_view windows);
  void keep_walk(std::u16string_view windows, const std::string& relative, uint64_t generation);

 private:
  uint64_t check(bool force);
  // With the mutex held: a new state, nothing kept of the old one.
  void drop_all();

  std::shared_ptr<const NtfsRecords> records_;
  std::shared_ptr<const base::UpcaseTable> upcase_;
  std::mutex mutex_;
  base::UniqueFd inotify_;  // without a device: the directories read so far
  uint64_t fork_;           // the fork generation it was made in
  uint64_t generation_ = 1, device_writes_ = 0, settings_ = 0, checked_in_ = 0;
  bool records_enabled_ = true;
  // Heterogeneous lookup: a key is found by a view, without a string made for it.
  struct Hash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
    size_t operator()(std::u16string_view s) const { return std::hash<std::u16string_view>{}(s); }
  };
  std::unordered_map<std::string, std::shared_ptr<const Listing>, Hash, std::equal_to<>> kept_;
  std::unordered_map<std::string, DWORD, Hash, std::equal_to<>> failed_;
  std::unordered_map<std::u16string, std::string, Hash, std::equal_to<>> walks_;
};

// One call of the layer that names paths: while one is open on this thread, each
// volume's watch is asked once, and the listings read meanwhile answer the rest of the
// call. Outside one, every question asks again. Calls nest.
class FileSystemCall {
 public:
  FileSystemCall();
  ~FileSystemCall();
  FileSystemCall(const FileSystemCall&) = delete;
  FileSystemCall& operator=(const FileSystemCall&) = delete;

 private:
  bool outermost_;
};

// The listing of a directory, kept or read now.
Expected<std::shared_ptr<const Listing>> list_directory(const Location& dir);

// The listing of a directory when it can be had without a request to the file system
// (kept, or read from an ntfs-3g volume's device); else nullptr.
std::shared_ptr<const Listing> known_listing(const Location& dir);

// The entry of a directory on an NTFS volume whose Linux name is `linux_name`, read
// alone through ntfs-3g, without listing the directory; nullopt when there is none, or
// when the volume has no NTFS metadata (short names are then made from the whole listing).
std::optional<DirEntry> read_entry(const Location& dir, const std::string& linux_name);

// Whether `name`, found in the directory, is an entry's short name (ntfs-3g finds entries
// by either name): such a spelling does not give the entry's real name.
bool is_short_name_spelling(int dir_fd, const std::string& name);

// Forgets the kept listings of a volume (after the layer wrote into one of its files).
void forget_listing(const Location& dir);

// Windows attributes of an opened entry (`st` is its fstat): the NTFS ones on ntfs-3g.
DWORD attributes_of(int fd, const struct stat& st);

// For benchmarks and tests: full directory reads made so far, and the cache switch
// (off: every search reads the directory again).
uint64_t directory_reads();
void set_listing_cache_enabled(bool enabled);

// Windows file time (100 ns since 1601) of a Linux time.
FILETIME filetime_of(const struct timespec& ts);

}  // namespace hivemend::win32
