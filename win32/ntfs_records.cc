#include "win32/ntfs_records.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/inotify.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <vector>

#include "base/unique_fd.h"

namespace hivemend::win32 {

namespace {

std::atomic<bool> g_enabled{true};

uint16_t le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t le32(const uint8_t* p) { return uint32_t(le16(p)) | uint32_t(le16(p + 2)) << 16; }
uint64_t le64(const uint8_t* p) { return uint64_t(le32(p)) | uint64_t(le32(p + 4)) << 32; }

// Boot sector fields.
constexpr size_t kOemId = 3, kBytesPerSector = 11, kSectorsPerCluster = 13, kMftLcn = 48, kClustersPerRecord = 64;
// MFT record header fields.
constexpr size_t kUsaOffset = 4, kUsaCount = 6, kFirstAttribute = 20, kRecordFlags = 22, kBytesInUse = 24,
                 kBaseRecord = 32;
constexpr uint16_t kRecordInUse = 0x1, kRecordIsDirectory = 0x2;
// Attribute header fields and types.
constexpr size_t kAttrLength = 4, kNonResident = 8, kNameLength = 9, kValueLength = 16, kValueOffset = 20,
                 kLowestVcn = 16, kMappingPairs = 32, kDataSize = 48;
constexpr size_t kResidentHeader = 24, kNonResidentHeader = 64;
constexpr size_t kNameOffset = 10;
constexpr uint32_t kStandardInformation = 0x10, kAttributeList = 0x20, kFileName = 0x30, kData = 0x80,
                   kIndexRoot = 0x90, kIndexAllocation = 0xA0, kBitmap = 0xB0, kReparsePoint = 0xC0, kEnd = 0xFFFFFFFF;
// Index root, index block and index entry fields.
constexpr size_t kRootBlockSize = 8, kRootHeader = 16, kBlockHeader = 24, kEntriesOffset = 0, kIndexLength = 4;
constexpr size_t kEntryFile = 0, kEntryLength = 8, kEntryKeyLength = 10, kEntryFlags = 12, kEntryKey = 16;
constexpr uint16_t kEntryLast = 0x2;
constexpr uint64_t kFirstUserRecord = 16;
// Attribute list entry fields.
constexpr size_t kListLength = 4, kListRecord = 16, kListEntryMinimum = 26;
// $STANDARD_INFORMATION and $FILE_NAME value fields.
constexpr size_t kSiLastWrite = 8, kSiLastAccess = 24, kSiAttributes = 32, kSiMinimum = 48;
constexpr size_t kFnParent = 0, kFnNameLength = 64, kFnNameType = 65, kFnName = 66;
constexpr uint8_t kDosNamespace = 2;
constexpr uint32_t kAttributeSystem = 0x4, kAttributeDirectory = 0x10, kAttributeNormal = 0x80;
constexpr uint64_t kRecordNumberMask = 0xFFFFFFFFFFFFull;  // a file reference without its sequence number
constexpr size_t kFixupStride = 512;

// A run of the MFT's data: `clusters` clusters from VCN `vcn` at LCN `lcn`.
struct Run {
  uint64_t vcn, lcn, clusters;
};

// The runs of a non-resident attribute's mapping pairs, from VCN `vcn`; empty when they
// are malformed or sparse.
std::vector<Run> decode_runs(const uint8_t* p, const uint8_t* end, uint64_t vcn) {
  std::vector<Run> runs;
  int64_t lcn = 0;
  while (p < end && *p != 0) {
    const unsigned length_bytes = *p & 0xF, offset_bytes = *p >> 4;
    if (length_bytes == 0 || length_bytes > 8 || offset_bytes == 0 || offset_bytes > 8 ||
        p + 1 + length_bytes + offset_bytes > end)
      return {};
    ++p;
    uint64_t clusters = 0;
    for (unsigned i = 0; i < length_bytes; ++i) clusters |= uint64_t(p[i]) << (8 * i);
    p += length_bytes;
    int64_t delta = 0;
    for (unsigned i = 0; i < offset_bytes; ++i) delta |= int64_t(uint64_t(p[i]) << (8 * i));
    if (p[offset_bytes - 1] & 0x80 && offset_bytes < 8) delta -= int64_t(1) << (8 * offset_bytes);  // sign
    p += offset_bytes;
    // No volume has 2^48 clusters: larger numbers are damage, and would overflow below.
    constexpr int64_t kMostClusters = int64_t(1) << 48;
    if (delta > kMostClusters || delta < -kMostClusters) return {};
    lcn += delta;
    if (lcn < 0 || lcn > kMostClusters || clusters == 0 || clusters > uint64_t(kMostClusters) ||
        vcn > uint64_t(kMostClusters))
      return {};
    runs.push_back(Run{vcn, uint64_t(lcn), clusters});
    vcn += clusters;
  }
  return runs;
}

// The runs of a non-resident attribute (of this extent, from its lowest VCN); empty when
// it is resident or its mapping pairs are malformed.
std::vector<Run> attribute_runs(const uint8_t* attr, size_t length) {
  const uint16_t pairs = le16(attr + kMappingPairs);
  if (!attr[kNonResident] || pairs >= length) return {};
  return decode_runs(attr + pairs, attr + length, le64(attr + kLowestVcn));
}

// Undoes the update sequence of a multi-sector record in place; false when a sector
// does not end with the record's sequence number (a torn or foreign record).
bool apply_fixups(uint8_t* record, size_t size) {
  const size_t usa = le16(record + kUsaOffset), count = le16(record + kUsaCount);
  if (count != size / kFixupStride + 1 || usa + 2 * count > size) return false;
  for (size_t i = 1; i < count; ++i) {
    uint8_t* tail = record + i * kFixupStride - 2;
    if (std::memcmp(tail, record + usa, 2) != 0) return false;
    std::memmove(tail, record + usa + 2 * i, 2);  // a damaged array may overlap the tail
  }
  return true;
}

// Calls `each(type, attribute, length)` for the attributes of a fixed-up record until
// it returns false; false when the record's attributes run out of it.
template <typename Each>
bool each_attribute(const uint8_t* record, size_t size, Each each) {
  const size_t in_use = le32(record + kBytesInUse);
  if (in_use > size) return false;
  for (size_t at = le16(record + kFirstAttribute); at + 8 <= in_use;) {
    const uint32_t type = le32(record + at);
    if (type == kEnd) return true;
    const uint32_t length = le32(record + at + kAttrLength);
    if (length < kResidentHeader || length % 8 != 0 || at + length > in_use) return false;
    if (record[at + kNonResident] && length < kNonResidentHeader) return false;
    if (!each(type, record + at, size_t(length))) return true;
    at += length;
  }
  return false;
}

// The value of a resident attribute, empty when it does not fit the attribute.
std::basic_string_view<uint8_t> resident_value(const uint8_t* attr, size_t length) {
  if (attr[kNonResident] != 0) return {};
  const uint32_t size = le32(attr + kValueLength);
  const uint16_t offset = le16(attr + kValueOffset);
  if (size_t(offset) + size > length) return {};
  return {attr + offset, size};
}

// Whether an attribute is named "$I30", the file name index of a directory.
bool named_i30(const uint8_t* attr, size_t length) {
  static constexpr char16_t kI30[] = u"$I30";
  const size_t n = attr[kNameLength], at = le16(attr + kNameOffset);
  if (n != 4 || at + 2 * n > length) return false;
  for (size_t i = 0; i < n; ++i)
    if (le16(attr + at + 2 * i) != kI30[i]) return false;
  return true;
}

}  // namespace

struct NtfsRecords::Layout {
  base::UniqueFd device;
  base::UniqueFd writes_watch;  // inotify: IN_MODIFY of the device
  uint64_t process = 0;         // the fork generation it belongs to
  mutable std::mutex writes_mutex;
  mutable uint64_t writes = 0;
  uint64_t cluster_size = 0;
  size_t record_size = 0;
  std::vector<Run> mft;  // where the MFT's records lie, in VCN order

  // `size` bytes at `offset` of the MFT's data, which may span runs.
  bool read_mft(uint64_t offset, uint8_t* out, size_t size) const { return read_runs(mft, offset, out, size); }

  // `size` bytes at `offset` of the data that `runs` map.
  bool read_runs(const std::vector<Run>& runs, uint64_t offset, uint8_t* out, size_t size) const {
    while (size > 0) {
      const uint64_t vcn = offset / cluster_size;
      const Run* run = nullptr;
      for (const Run& r : runs)
        if (vcn >= r.vcn && vcn < r.vcn + r.clusters) run = &r;
      if (!run) return false;
      const uint64_t in_run = (run->vcn + run->clusters) * cluster_size - offset;
      const size_t n = size_t(std::min<uint64_t>(size, in_run));
      if (n == 0) return false;
      const uint64_t at = (run->lcn + vcn - run->vcn) * cluster_size + offset % cluster_size;
      if (pread(device.get(), out, n, off_t(at)) != ssize_t(n)) return false;
      out += n, offset += n, size -= n;
    }
    return true;
  }

  // Record `number`, fixed up and checked to be an in-use base record.
  bool record(uint64_t number, std::vector<uint8_t>& out) const {
    out.resize(record_size);
    if (!read_mft(number * record_size, out.data(), record_size)) return false;
    if (std::memcmp(out.data(), "FILE", 4) != 0 || !apply_fixups(out.data(), record_size)) return false;
    return (le16(out.data() + kRecordFlags) & kRecordInUse) && le64(out.data() + kBaseRecord) == 0;
  }

  // An attribute's whole value, resident or not; false when it is longer than `most`
  // bytes or cannot be read.
  bool attribute_value(const uint8_t* attr, size_t length, size_t most, std::vector<uint8_t>& out) const {
    if (!attr[kNonResident]) {
      const auto v = resident_value(attr, length);
      out.assign(v.begin(), v.end());
      return true;
    }
    const uint64_t size = le64(attr + kDataSize);
    const auto runs = attribute_runs(attr, length);
    if (le64(attr + kLowestVcn) != 0 || size > most || runs.empty()) return false;
    out.resize(size);
    return read_runs(runs, 0, out.data(), out.size());
  }

  // The records other than `number` that an attribute list names.
  bool extension_numbers(uint64_t number, const uint8_t* attr, size_t len, std::vector<uint64_t>& out) const {
    std::vector<uint8_t> list;
    if (!attribute_value(attr, len, 1u << 20, list)) return false;
    for (size_t at = 0; at < list.size();) {
      if (at + kListEntryMinimum > list.size()) return false;
      const size_t length = le16(list.data() + at + kListLength);
      if (length < kListEntryMinimum || at + length > list.size()) return false;
      const uint64_t other = le64(list.data() + at + kListRecord) & kRecordNumberMask;
      if (other != number && std::find(out.begin(), out.end(), other) == out.end()) out.push_back(other);
      at += length;
    }
    return true;
  }

  // The records of file `number` after its base record `base`: the extension records
  // its attribute list names, if it has one.
  bool extensions_of(uint64_t number, const std::vector<uint8_t>& base, std::vector<std::vector<uint8_t>>& out) const {
    out.clear();
    std::vector<uint64_t> numbers;
    bool ok = true;
    const bool whole = each_attribute(base.data(), base.size(), [&](uint32_t type, const uint8_t* a, size_t len) {
      if (type != kAttributeList) return true;
      ok = extension_numbers(number, a, len, numbers);
      return false;
    });
    if (!whole || !ok) return false;
    for (uint64_t n : numbers) {
      std::vector<uint8_t> r(record_size);
      if (!read_mft(n * record_size, r.data(), record_size) || std::memcmp(r.data(), "FILE", 4) != 0 ||
          !apply_fixups(r.data(), record_size) || !(le16(r.data() + kRecordFlags) & kRecordInUse) ||
          (le64(r.data() + kBaseRecord) & kRecordNumberMask) != number)
        return false;
      out.push_back(std::move(r));
    }
    return true;
  }

  // Calls `each(type, attribute, length)` for the attributes of file `number` in its
  // base record `base` and its extension records, until it returns false; false when
  // a record is malformed.
  template <typename Each>
  bool each_attribute_of(uint64_t number, const std::vector<uint8_t>& base, Each each) const {
    thread_local std::vector<std::vector<uint8_t>> extensions;
    if (!extensions_of(number, base, extensions)) return false;
    bool going = true;
    auto step = [&](uint32_t type, const uint8_t* a, size_t len) { return going = each(type, a, len); };
    if (!each_attribute(base.data(), base.size(), step)) return false;
    for (const auto& r : extensions)
      if (!going || !each_attribute(r.data(), r.size(), step)) return going ? false : true;
    return true;
  }

  // From the boot sector and the MFT's own record; false when this is no NTFS volume
  // the reader understands.
  bool load() {
    uint8_t boot[512];
    if (pread(device.get(), boot, sizeof boot, 0) != ssize_t(sizeof boot) || std::memcmp(boot + kOemId, "NTFS    ", 8))
      return false;
    const uint64_t sector = le16(boot + kBytesPerSector);
    const uint8_t per_cluster = boot[kSectorsPerCluster];
    // Above 0x80 the count is a negative power of two (large clusters).
    if (per_cluster > 0x80 && 256 - per_cluster > 16) return false;
    const uint64_t sectors = per_cluster > 0x80 ? uint64_t(1) << (256 - per_cluster) : per_cluster;
    cluster_size = sector * sectors;
    const auto per_record = int8_t(boot[kClustersPerRecord]);
    if (per_record < -16) return false;
    record_size = per_record > 0 ? size_t(per_record * cluster_size) : size_t(1) << -per_record;
    if (sector < 256 || sector > 4096 || cluster_size == 0 || cluster_size > (1u << 21) || record_size < 1024 ||
        record_size > 4096 || record_size % kFixupStride != 0)
      return false;
    // The MFT's first records lie at the MFT's LCN; its own record maps the rest.
    mft = {Run{0, le64(boot + kMftLcn), (record_size + cluster_size - 1) / cluster_size}};
    std::vector<uint8_t> own;
    if (!record(0, own)) return false;
    std::vector<Run> runs;
    const bool whole = each_attribute(own.data(), record_size, [&](uint32_t type, const uint8_t* attr, size_t len) {
      if (type == kData && attr[kNonResident] && attr[kNameLength] == 0 && le64(attr + kLowestVcn) == 0) {
        runs = attribute_runs(attr, len);
        return false;
      }
      return true;
    });
    // An MFT mapped in extension records leaves later records to ntfs-3g; those the
    // base record maps are still read here.
    if (!whole || runs.empty()) return false;
    mft = std::move(runs);
    // The root directory is record 5 and its name "." under itself.
    std::vector<uint8_t> root;
    return record(5, root) && (le16(root.data() + kRecordFlags) & kRecordIsDirectory);
  }
};

std::atomic<uint64_t> g_forks{0};

uint64_t NtfsRecords::writes() const { return writes_seen(true); }

uint64_t NtfsRecords::writes_seen(bool maybe_written) const {
  Layout& l = *layout_;
  std::lock_guard lock(l.writes_mutex);
  if (!l.writes_watch || l.process != g_forks.load()) return ++l.writes;
  if (!maybe_written) return l.writes;
  alignas(inotify_event) char events[4096];
  bool written = false;
  while (::read(l.writes_watch.get(), events, sizeof events) > 0) written = true;
  if (written) ++l.writes;
  return l.writes;
}

NtfsRecords::NtfsRecords(std::unique_ptr<Layout> layout) : layout_(std::move(layout)) {}
NtfsRecords::~NtfsRecords() = default;

std::optional<NtfsRecord> NtfsRecords::read(uint64_t number, uint64_t parent, std::u16string_view name) const {
  thread_local std::vector<uint8_t> record;
  if (!layout_->record(number, record)) return std::nullopt;
  return parse(number, record, parent, name);
}

std::optional<NtfsRecord> NtfsRecords::parse(uint64_t number, const std::vector<uint8_t>& record, uint64_t parent,
                                             std::u16string_view name) const {
  NtfsRecord r;
  r.directory = le16(record.data() + kRecordFlags) & kRecordIsDirectory;
  bool has_info = false, has_name = false, sound = true;
  const bool whole = layout_->each_attribute_of(number, record, [&](uint32_t type, const uint8_t* attr, size_t length) {
    if (type == kReparsePoint) return sound = false;
    if (type == kStandardInformation) {
      const auto v = resident_value(attr, length);
      if (v.size() < kSiMinimum) return sound = false;
      r.attributes = le32(v.data() + kSiAttributes);
      r.last_write = le64(v.data() + kSiLastWrite);
      r.last_access = le64(v.data() + kSiLastAccess);
      has_info = true;
    } else if (type == kFileName) {
      const auto v = resident_value(attr, length);
      if (v.size() < kFnName || v.size() < kFnName + 2 * size_t(v[kFnNameLength])) return sound = false;
      if (name.empty() || (le64(v.data() + kFnParent) & kRecordNumberMask) != parent) return true;
      std::u16string stored(v[kFnNameLength], u'\0');
      for (size_t i = 0; i < stored.size(); ++i) stored[i] = char16_t(le16(v.data() + kFnName + 2 * i));
      if (v[kFnNameType] == kDosNamespace)
        r.short_name = std::move(stored);
      else if (stored == name)
        has_name = true;
    } else if (type == kData && attr[kNameLength] == 0) {
      if (attr[kNonResident] && le64(attr + kLowestVcn) == 0)
        r.size = le64(attr + kDataSize);
      else if (attr[kNonResident])
        return true;  // a later extent: its sizes are not kept
      else
        r.size = le32(attr + kValueLength);
    }
    return true;
  });
  if (!whole || !sound || !has_info || (!has_name && !name.empty())) return std::nullopt;
  // A system file may be one of ntfs-3g's Interix links, devices or sockets, whose size
  // it gives as the link's length or none: ntfs-3g is asked for those.
  if (!r.directory && (r.attributes & kAttributeSystem)) return std::nullopt;
  // ntfs-3g shows the directory bit from the record, whatever $STANDARD_INFORMATION says.
  r.attributes = r.directory ? r.attributes | kAttributeDirectory : r.attributes & ~kAttributeDirectory;
  if (r.attributes == 0) r.attributes = kAttributeNormal;
  return r;
}

namespace {

// Appends the names of one index node's entries (an index root's or an index block's
// header, within `size` bytes), in their order; false when the node is malformed or
// holds a name ntfs-3g shows in its own way.
bool node_names(const uint8_t* header, size_t size, std::vector<NtfsRecords::Listed>& out) {
  const size_t first = le32(header + kEntriesOffset), end = le32(header + kIndexLength);
  if (end > size || first >= end) return false;
  for (size_t at = first;;) {
    if (at + kEntryKey > end) return false;
    const uint8_t* e = header + at;
    const size_t length = le16(e + kEntryLength), key_length = le16(e + kEntryKeyLength);
    if (length < kEntryKey || length % 8 != 0 || at + length > end) return false;
    if (le16(e + kEntryFlags) & kEntryLast) return true;
    const uint8_t* key = e + kEntryKey;
    if (key_length < kFnName || kEntryKey + key_length > length || key_length < kFnName + 2 * key[kFnNameLength])
      return false;
    at += length;
    const uint64_t number = le64(e + kEntryFile) & kRecordNumberMask;
    // ntfs-3g lists neither the DOS names nor the system files.
    if (key[kFnNameType] == kDosNamespace || number < kFirstUserRecord) continue;
    std::u16string name(key[kFnNameLength], u'\0');
    for (size_t i = 0; i < name.size(); ++i) {
      name[i] = char16_t(le16(key + kFnName + 2 * i));
      if (name[i] == u'/' || name[i] == 0 || (name[i] >= 0xD800 && name[i] <= 0xDFFF)) return false;
    }
    out.push_back(NtfsRecords::Listed{std::move(name), number});
  }
}

}  // namespace

bool NtfsRecords::directory_record(uint64_t number, std::vector<uint8_t>& record) const {
  return layout_->record(number, record) && (le16(record.data() + kRecordFlags) & kRecordIsDirectory);
}

bool NtfsRecords::list(uint64_t number, const std::vector<uint8_t>& record, std::vector<Listed>& out) const {
  out.clear();
  std::vector<uint8_t> root, bitmap;
  struct Extent {
    uint64_t vcn;
    std::vector<Run> runs;
  };
  std::vector<Extent> extents;
  uint64_t blocks_size = 0;
  bool sound = true;
  const bool whole = layout_->each_attribute_of(number, record, [&](uint32_t type, const uint8_t* a, size_t len) {
    if (!named_i30(a, len)) return true;
    if (type == kIndexRoot) {
      const auto v = resident_value(a, len);
      root.assign(v.begin(), v.end());
    } else if (type == kIndexAllocation) {
      // One extent of the blocks' runs; the size is the first extent's.
      const uint64_t vcn = le64(a + kLowestVcn);
      auto runs = attribute_runs(a, len);
      if (runs.empty()) return sound = false;
      if (vcn == 0) blocks_size = le64(a + kDataSize);
      extents.push_back(Extent{vcn, std::move(runs)});
    } else if (type == kBitmap) {
      if (!layout_->attribute_value(a, len, 1u << 20, bitmap)) return sound = false;
    }
    return true;
  });
  if (!whole || !sound || root.size() < kRootHeader + 16) return false;
  // ntfs-3g lists the root's entries, then those of each block in use in the order the
  // blocks lie, each block's in its own order.
  if (!node_names(root.data() + kRootHeader, root.size() - kRootHeader, out)) return false;
  if (extents.empty()) return true;
  // The extents of the blocks, in VCN order, each starting where the one before ends.
  std::sort(extents.begin(), extents.end(), [](const Extent& a, const Extent& b) { return a.vcn < b.vcn; });
  std::vector<Run> blocks;
  for (const Extent& e : extents) {
    if (e.vcn != (blocks.empty() ? 0 : blocks.back().vcn + blocks.back().clusters)) return false;
    blocks.insert(blocks.end(), e.runs.begin(), e.runs.end());
  }
  const size_t block_size = le32(root.data() + kRootBlockSize);
  if (block_size < kFixupStride || block_size > 65536 || block_size % kFixupStride != 0) return false;
  std::vector<uint8_t> block(block_size);
  for (uint64_t i = 0; i < blocks_size / block_size; ++i) {
    if (i / 8 >= bitmap.size()) return false;
    if (!(bitmap[i / 8] >> (i % 8) & 1)) continue;
    if (!layout_->read_runs(blocks, i * block_size, block.data(), block_size) ||
        std::memcmp(block.data(), "INDX", 4) != 0 || !apply_fixups(block.data(), block_size) ||
        !node_names(block.data() + kBlockHeader, block_size - kBlockHeader, out))
      return false;
  }
  return true;
}

namespace {

// "\040" and the like in a mount table field.
std::string unescape(const std::string& field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      out += char((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
      i += 3;
    } else {
      out += field[i];
    }
  }
  return out;
}

// The source of the FUSE mount with device number `dev`, "" when there is none, or
// when another file system is mounted inside it (its index would not show that one).
std::string fuse_source(dev_t dev) {
  std::ifstream table("/proc/self/mountinfo");
  const std::string device = std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
  std::string source, mount_point;
  std::vector<std::string> mount_points;
  for (std::string line; std::getline(table, line);) {
    std::istringstream fields(line);
    std::string id, parent, numbers, root, point, field;
    fields >> id >> parent >> numbers >> root >> point;
    mount_points.push_back(unescape(point));
    if (numbers != device) continue;
    while (fields >> field && field != "-") {}
    std::string type, from;
    fields >> type >> from;
    if (type == "fuseblk" || type == "fuse" || type.starts_with("fuse.")) {
      if (!source.empty()) return {};  // mounted twice: one of them may be bound elsewhere
      source = unescape(from);
      mount_point = mount_points.back();
    }
  }
  const std::string below = mount_point == "/" ? "/" : mount_point + "/";
  for (const std::string& point : mount_points)
    if (point.starts_with(below)) return {};
  return source;
}

struct Readers {
  std::mutex mutex;
  base::UniqueFd mounts;  // /proc/self/mountinfo, polled for changes of the mount table
  std::map<dev_t, std::shared_ptr<const NtfsRecords>> by_device;
  uint64_t process = 0;  // the fork generation these readers belong to
};

Readers& readers() {
  static auto* r = new Readers;  // lives to the end of the process
  return *r;
}

}  // namespace

std::shared_ptr<const NtfsRecords> NtfsRecords::of_volume(dev_t dev, uint64_t* writes) {
  if (!g_enabled.load()) return nullptr;
  // A forked child shares its parent's queue of device writes: it reads none of them,
  // and makes readers of its own.
  static std::once_flag forks;
  std::call_once(forks, [] { pthread_atfork(nullptr, nullptr, [] { ++g_forks; }); });
  Readers& r = readers();
  if (r.process != g_forks.load()) {
    new (&r.mutex) std::mutex;
    r.by_device.clear();
    r.mounts.reset();
    r.process = g_forks.load();
  }
  std::lock_guard lock(r.mutex);
  // A device number names another volume once the first is unmounted: readers are kept
  // only while the mount table stays as it was.
  if (!r.mounts) r.mounts.reset(open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC));
  // One poll asks both whether the mount table changed (the poll that reports it also
  // acknowledges it) and, for the caller that wants to know, whether the volume's
  // device was written.
  auto known = r.by_device.find(dev);
  const NtfsRecords* watched = writes && known != r.by_device.end() ? known->second.get() : nullptr;
  pollfd p[2] = {{r.mounts.get(), POLLPRI, 0}, {-1, POLLIN, 0}};
  if (watched && watched->layout_->writes_watch) p[1].fd = watched->layout_->writes_watch.get();
  const int ready = r.mounts ? poll(p, p[1].fd >= 0 ? 2 : 1, 0) : -1;
  if (ready < 0 || p[0].revents) {
    r.by_device.clear();
  } else if (known != r.by_device.end()) {
    if (writes && known->second) *writes = known->second->writes_seen(ready < 0 || p[1].revents || p[1].fd < 0);
    return known->second;
  }
  std::shared_ptr<const NtfsRecords> reader;
  if (const std::string source = fuse_source(dev); !source.empty()) {
    auto layout = std::make_unique<Layout>();
    // Watched before the first read, so that no write after it goes unseen.
    layout->writes_watch.reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (layout->writes_watch && inotify_add_watch(layout->writes_watch.get(), source.c_str(), IN_MODIFY) < 0)
      layout->writes_watch.reset();
    layout->process = g_forks.load();
    layout->device.reset(open(source.c_str(), O_RDONLY | O_CLOEXEC));
    if (layout->device && layout->load()) reader = std::make_shared<NtfsRecords>(std::move(layout));
  }
  r.by_device[dev] = reader;
  if (writes && reader) *writes = reader->writes_seen(true);
  return reader;
}

std::shared_ptr<const NtfsRecords> NtfsRecords::of_image(int fd) {
  auto layout = std::make_unique<Layout>();
  layout->device.reset(fcntl(fd, F_DUPFD_CLOEXEC, 0));
  if (!layout->device || !layout->load()) return nullptr;
  return std::make_shared<NtfsRecords>(std::move(layout));
}

void set_ntfs_records_enabled(bool enabled) {
  g_enabled = enabled;
  std::lock_guard lock(readers().mutex);
  readers().by_device.clear();
}

}  // namespace hivemend::win32
