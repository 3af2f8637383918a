// Directory listings with their short names and attributes, and the caches that keep
// them. On an ntfs-3g mount whose device this process may read, a listing comes from the
// directory's MFT record and index blocks (win32/ntfs_records.h), found by following the
// path from the drive root, and is kept while nothing is written to the device. Other
// listings are read through the file system (on ntfs-3g every short name and attribute
// is then one more request to its process per entry), kept for the life of the process
// and read again only when the directory changed or the layer itself wrote into it: a
// directory is watched (inotify) from its first reading, and while no change is
// reported its listing answers without any request; after one, the directory's
// modification and change times tell whether its listing still holds.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "win32/expected.h"
#include "win32/path.h"
#include "win32/types.h"

namespace hivemend::win32 {

struct DirEntry {
  std::string linux_name;  // the name's bytes on Linux
  std::u16string long_name;
  std::u16string short_name;  // "" when the entry has none
  DWORD attributes = 0;
  uint64_t size = 0;
  FILETIME creation{}, last_access{}, last_write{};
  uint64_t number = 0;  // its MFT record, when read from an ntfs-3g volume's device
};

class NtfsRecords;

class Listing {
 public:
  // Entries in volume order: the order the file system lists them (on NTFS its index
  // order); on file systems without NTFS metadata, upper-case name order as NTFS would.
  std::vector<DirEntry> entries;
  bool ntfs = false;  // short names and attributes are the volume's own

  // The directory itself (`dir`), for the "." and ".." entries. Few searches return
  // them, so on NTFS its attributes are asked for at the first that does.
  DirEntry self(const Location& dir) const;
  void set_self(const struct stat& st, std::optional<uint32_t> ntfs_attributes, bool read_later);
  void set_self(const DirEntry& self);

  // The entry `name` names: exact long name, else long name in any case, else short name.
  const DirEntry* find(std::u16string_view name) const;
  // Indexes (volume order) of the entries whose long or short name begins with
  // `upper_prefix` (upper case).
  std::vector<uint32_t> starting_with(std::u16string_view upper_prefix) const;

  void build_index();
  // `e` (one of the entries) with its attributes, size, times and short name as they
  // are now: a listing read from an ntfs-3g volume's device stays true as long as the
  // directory's names do, and once the device was written its entries are read again
  // when a search returns them.
  DirEntry current(const DirEntry& e) const;
  void set_records(std::shared_ptr<const NtfsRecords> records, uint64_t number, uint64_t writes);

 private:
  std::vector<std::pair<std::u16string, uint32_t>> by_long_, by_short_;  // sorted upper-case names
  mutable DirEntry self_;
  struct stat self_st_ {};
  mutable std::once_flag self_read_;
  bool self_pending_ = false;
  std::shared_ptr<const NtfsRecords> records_;
  uint64_t number_ = 0;
  uint64_t writes_ = 0;  // the device's writes() when the entries were read
};

// The listing of a directory, from the cache when it is still true.
Expected<std::shared_ptr<const Listing>> list_directory(const Location& dir);

// The cached listing of a directory when there is one and it is still true, else
// nullptr; never reads the directory.
std::shared_ptr<const Listing> cached_listing(const Location& dir);

// A kept listing that needs no question to the file system (a watched one), else nullptr.
std::shared_ptr<const Listing> watched_listing(const Location& dir);

// The entry of a directory on an NTFS volume whose Linux name is `linux_name`, read
// alone, without listing the directory; nullopt when there is none, or when the volume
// has no NTFS metadata (short names are then made from the whole listing).
std::optional<DirEntry> read_entry(const Location& dir, const std::string& linux_name);

// Whether `name`, found in the directory, is an entry's short name (ntfs-3g finds entries
// by either name): such a spelling does not give the entry's real name.
bool is_short_name_spelling(int dir_fd, const std::string& name);

// Marks the start of a call of the layer that names a path: a directory whose listing
// was read from an ntfs-3g volume's device is checked once per call.
void begin_file_system_call();
// Forgets the cached listing of a directory (after the layer wrote into one of its files).
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
