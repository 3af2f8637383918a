// The MFT records and directory indexes of an ntfs-3g volume, read straight from the
// device or image it is mounted from. Through ntfs-3g, listing a directory is an open,
// reads and a release, and each entry's attributes and short name a lookup and two
// extended attributes, every one a request to the ntfs-3g process; here a directory is
// its record and index blocks, and an entry its record, each one read of the page
// cache. Whatever the reader cannot vouch for (a record that does not hold the entry's
// name, an attribute list it cannot follow, a reparse point, an Interix system file, a
// torn or foreign record) is left to those requests.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hivemend::win32 {

struct NtfsRecord {
  uint32_t attributes = 0;  // as ntfs-3g's system.ntfs_attrib gives them
  bool directory = false;
  uint64_t size = 0;                         // the unnamed data stream's length
  uint64_t last_write = 0, last_access = 0;  // Windows file times
  std::u16string short_name;                 // the DOS name in the directory, "" when none
};

class NtfsRecords {
 public:
  // The reader of the ntfs-3g volume with device number `dev` (st_dev of its entries),
  // or nullptr when that is no ntfs-3g volume whose device this process may read.
  // With `writes`, also what writes() would return, in the same system call.
  static std::shared_ptr<const NtfsRecords> of_volume(dev_t dev, uint64_t* writes = nullptr);
  // The reader of the NTFS image or device open as `fd` (duplicated, not taken), with
  // no watch on its writes; nullptr when it holds no NTFS volume the reader understands.
  static std::shared_ptr<const NtfsRecords> of_image(int fd);

  // Record `number` (ntfs-3g's inode number), when it is in use and holds the long
  // name `name` in directory record `parent` (any name when `name` is empty, and then
  // no short name); nullopt otherwise.
  std::optional<NtfsRecord> read(uint64_t number, uint64_t parent, std::u16string_view name) const;
  // The same, from record `number` read already (as directory_record() gives it).
  std::optional<NtfsRecord> parse(uint64_t number, const std::vector<uint8_t>& record, uint64_t parent,
                                  std::u16string_view name) const;

  // Directory record `number` as it stands, fixed up: a directory is unchanged as long
  // as its record is (ntfs-3g rewrites it, times included, with every change of names).
  bool directory_record(uint64_t number, std::vector<uint8_t>& record) const;

  // The long names (POSIX and Win32 ones, not the DOS names) and record numbers in the
  // index of directory record `number` (read as `record`), in the order ntfs-3g lists
  // them; false when the index cannot be read whole here, or holds a name ntfs-3g
  // would show otherwise.
  struct Listed {
    std::u16string name;
    uint64_t number;
  };
  bool list(uint64_t number, const std::vector<uint8_t>& record, std::vector<Listed>& out) const;

  // A number that stays the same as long as nothing was written to the volume's device
  // (ntfs-3g writes every change there, before the call that makes it returns): what
  // was read with one number is still true while it is returned. Without a watch on
  // the device (or in a forked child) every call returns a new one.
  uint64_t writes() const;

  struct Layout;
  explicit NtfsRecords(std::unique_ptr<Layout> layout);
  ~NtfsRecords();

 private:
  // writes(), the device's watch read only when `maybe_written`.
  uint64_t writes_seen(bool maybe_written) const;

  std::unique_ptr<Layout> layout_;
};

// For tests and benchmarks: off, entries are read through ntfs-3g's extended attributes.
void set_ntfs_records_enabled(bool enabled);

}  // namespace hivemend::win32
