// The MFT records and directory indexes of an NTFS volume, read straight from the
// device or image ntfs-3g serves it from. Through ntfs-3g, listing a directory is an
// open, reads and a release, and each entry's attributes and short name a lookup and
// two extended attributes, every one a request to the ntfs-3g process; here a directory
// is its record and index blocks, and an entry its record, each one read of the page
// cache. The reader answers only for what it can vouch for; for anything else it says
// why (NtfsFallback), and the caller asks ntfs-3g.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "base/unicode.h"

namespace hivemend::win32 {

// Why the reader leaves a directory to ntfs-3g. Each is counted (ntfs_fallbacks()), so
// that a slow path or a reader fault never goes unseen.
enum class NtfsFallback : uint8_t {
  kIndexUnreadable,     // the directory's record, index root, blocks or bitmap: torn or malformed
  kRecordUnreadable,    // an entry's record: outside the MFT known here, torn, or malformed
  kRecordNotInUse,      // the index names a free record
  kSequenceMismatch,    // the index names an earlier use of the record
  kNameNotInDirectory,  // the record holds no such name in this directory
  kNameShownOtherwise,  // a name ntfs-3g shows in its own way ('/', NUL, a lone surrogate)
  kReparsePoint,        // a junction or symbolic link, which ntfs-3g shows as a link
  kSystemFile,          // a system file: maybe one of ntfs-3g's Interix links, devices or sockets
  kCount
};
const char* fallback_name(NtfsFallback why);

// How often each fallback happened in this process.
struct NtfsFallbackCounts {
  uint64_t count[size_t(NtfsFallback::kCount)] = {};
  uint64_t total() const;
};
NtfsFallbackCounts ntfs_fallbacks();

// An entry as ntfs-3g shows it: its attributes as system.ntfs_attrib gives them, its
// size and times as stat gives them, and its short name as Windows shows it.
struct NtfsRecord {
  uint32_t attributes = 0;
  bool directory = false;
  uint64_t size = 0;                         // the unnamed data stream's length
  uint64_t last_write = 0, last_access = 0;  // Windows file times
  // The DOS name made for this long name in this directory: none for a name that is its
  // own 8.3 name (stored once for both, or as a DOS name equal to it but for case), nor
  // for another hard link of the file.
  std::u16string short_name;
};

class NtfsRecords {
 public:
  template <typename T>
  using Read = base::Result<T, NtfsFallback>;

  // The reader of the NTFS image or device `path`, watching it for writes (inotify);
  // nullptr when it holds no NTFS volume the reader understands.
  static std::shared_ptr<const NtfsRecords> open(const std::string& path);
  // The reader of the image open as `fd` (duplicated, not taken), with no watch: every
  // writes() is then a new number.
  static std::shared_ptr<const NtfsRecords> of_image(int fd);

  // The names of directory record `directory` (the POSIX and Win32 ones: ntfs-3g lists
  // no DOS names), each with the file reference its index entry holds, in the order
  // ntfs-3g lists them: the root node's entries, then each block in use in place order.
  struct Listed {
    std::u16string name;
    uint64_t reference;  // record number and sequence number
  };
  Read<std::vector<Listed>> list(uint64_t directory) const;

  // The entry listed as `name` with file reference `reference` in directory record
  // `directory`: its record must be in use, of that sequence number, and hold that name
  // in that directory.
  Read<NtfsRecord> entry(uint64_t reference, uint64_t directory, std::u16string_view name) const;
  // Directory record `number` itself (for its "." entry).
  Read<NtfsRecord> directory(uint64_t number) const;

  // A number that stays the same as long as nothing was written to the device (ntfs-3g
  // writes every change there before the call that makes it returns): what was read
  // under one number holds while it is returned. Without a watch, or in a forked child,
  // every call returns a new one.
  uint64_t writes() const;

  // The volume's size: its cluster size in bytes and its number of clusters.
  uint64_t cluster_size() const;
  uint64_t clusters() const;

  // The volume's upper-case table ($UpCase), under which NTFS compares names; nullptr
  // when it cannot be read.
  std::shared_ptr<const base::UpcaseTable> upcase() const;

  struct Layout;
  struct Watch;
  NtfsRecords(std::shared_ptr<const Layout> layout, std::unique_ptr<Watch> watch);
  ~NtfsRecords();

 private:
  std::shared_ptr<const Layout> layout() const;

  mutable std::shared_ptr<const Layout> layout_;  // read anew after writes (the MFT may grow)
  std::unique_ptr<Watch> watch_;
};

// For tests and benchmarks: off, directories are read through ntfs-3g.
void set_ntfs_records_enabled(bool enabled);
bool ntfs_records_enabled();

}  // namespace hivemend::win32
