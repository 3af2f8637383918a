#include "win32/host/ntfs_records.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>

#include "base/little_endian.h"
#include "base/unicode.h"
#include "base/unique_fd.h"
#include "win32/host/fork.h"
#include "win32/host/ntfs_format.h"
#include "win32/types.h"

namespace hivemend::win32 {

namespace {

using base::le16;
using base::le32;
using base::le64;
namespace at = ntfs::attr;
namespace fn = ntfs::file_name;
namespace ix = ntfs::index;
namespace rec = ntfs::record;

std::atomic<bool> g_enabled{true};
std::atomic<uint64_t> g_fallbacks[size_t(NtfsFallback::kCount)];

// A run of a non-resident attribute: `clusters` clusters from VCN `vcn` at LCN `lcn`.
struct Run {
  uint64_t vcn, lcn, clusters;
};

// The runs of a non-resident attribute's mapping pairs, from VCN `vcn`; empty when they
// are malformed or sparse. ntfs-3g reads a run's length as a signed number, and wants the
// pairs ended by a zero byte inside the attribute.
std::vector<Run> decode_runs(const uint8_t* p, const uint8_t* end, uint64_t vcn) {
  std::vector<Run> runs;
  int64_t lcn = 0;
  for (;;) {
    if (p >= end) return {};
    if (*p == 0) break;
    const unsigned length_bytes = *p & 0xF, offset_bytes = *p >> 4;
    if (length_bytes == 0 || length_bytes > 8 || offset_bytes == 0 || offset_bytes > 8 ||
        p + 1 + length_bytes + offset_bytes > end || p[length_bytes] & 0x80)
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
// it is resident or its mapping pairs are malformed. As ntfs-3g maps them: the extent's
// highest VCN, when given, is where its runs end, and the first extent's runs lie within
// the attribute's allocated size (`cluster_size` bytes a cluster).
std::vector<Run> attribute_runs(const uint8_t* attr, size_t length, uint64_t cluster_size) {
  const uint16_t pairs = le16(attr + at::kMappingPairs);
  if (!attr[at::kNonResident] || pairs >= length) return {};
  const uint64_t lowest = le64(attr + at::kLowestVcn), highest = le64(attr + at::kHighestVcn);
  auto runs = decode_runs(attr + pairs, attr + length, lowest);
  if (runs.empty() || highest == 0) return runs;
  const uint64_t allocated = le64(attr + at::kAllocatedSize);
  if (highest != runs.back().vcn + runs.back().clusters - 1 ||
      (lowest == 0 && int64_t(highest) > int64_t((allocated + cluster_size - 1) / cluster_size) - 1))
    return {};
  return runs;
}

// Undoes the update sequence of a multi-sector record in place; false when a sector
// does not end with the record's sequence number (a torn or foreign record).
bool apply_fixups(uint8_t* record, size_t size) {
  const size_t usa = le16(record + rec::kUsaOffset), count = le16(record + rec::kUsaCount);
  if (count != size / rec::kFixupStride + 1 || usa + 2 * count > size) return false;
  for (size_t i = 1; i < count; ++i) {
    uint8_t* tail = record + i * rec::kFixupStride - 2;
    if (std::memcmp(tail, record + usa, 2) != 0) return false;
    std::memmove(tail, record + usa + 2 * i, 2);  // a damaged array may overlap the tail
  }
  return true;
}

// Calls `each(type, attribute, length)` for the attributes of a fixed-up record until
// it returns false; false when the record or an attribute on the way is malformed. The
// checks are those a record must pass for ntfs-3g to open it: a record it would refuse
// is not read here either, so that its directory is asked of ntfs-3g.
template <typename Each>
bool each_attribute(const uint8_t* record, size_t size, Each each) {
  const size_t in_use = le32(record + rec::kBytesInUse), first = le16(record + rec::kFirstAttribute);
  if (in_use > size || in_use % 8 != 0 || le32(record + rec::kBytesAllocated) != size || first % 8 != 0 ||
      first < rec::kHeaderMinimum)
    return false;
  uint32_t last_type = 0;
  for (size_t a = first; a + 8 <= in_use;) {
    const uint8_t* attr = record + a;
    const uint32_t type = le32(attr + at::kType);
    if (type == at::kEnd) return true;
    // Attributes are kept sorted by type, of the types NTFS defines.
    if (type < last_type || type % 0x10 != 0 || type == 0 || type > at::kLastKnown) return false;
    last_type = type;
    const uint32_t length = le32(attr + at::kLength);
    if (length < at::kResidentHeader || length % 8 != 0 || a + length > in_use) return false;
    if (attr[at::kNameLength] && le16(attr + at::kNameOffset) + 2 * size_t(attr[at::kNameLength]) > length)
      return false;
    // ntfs-3g's checks of an attribute's header: a non-resident one says so with a 1, its
    // name ends before its mapping pairs, and its VCNs run upwards.
    if (attr[at::kNonResident] > 1) return false;
    if (attr[at::kNonResident]) {
      const size_t pairs = le16(attr + at::kMappingPairs);
      if (length < at::kNonResidentHeader || pairs >= length ||
          (attr[at::kNameLength] && le16(attr + at::kNameOffset) + 2 * size_t(attr[at::kNameLength]) > pairs) ||
          int64_t(le64(attr + at::kHighestVcn)) < int64_t(le64(attr + at::kLowestVcn)))
        return false;
    } else if (size_t(le16(attr + at::kValueOffset)) + le32(attr + at::kValueLength) > length) {
      return false;
    }
    if (!each(type, attr, size_t(length))) return true;
    a += length;
  }
  return false;
}

// The value of a resident attribute, empty when it does not fit the attribute.
std::basic_string_view<uint8_t> resident_value(const uint8_t* attr, size_t length) {
  if (attr[at::kNonResident] != 0) return {};
  const uint32_t size = le32(attr + at::kValueLength);
  const uint16_t offset = le16(attr + at::kValueOffset);
  if (size_t(offset) + size > length) return {};
  return {attr + offset, size};
}

// Whether an attribute is unnamed, or named "$I30" (the file name index of a directory).
bool unnamed(const uint8_t* attr) { return attr[at::kNameLength] == 0; }
// Whether an attribute is stored plainly: not compressed, sparse or encrypted (ntfs-3g
// would read its runs through its compression).
bool plain(const uint8_t* attr) { return le16(attr + at::kFlags) == 0; }
// Whether an attribute of a directory's index is stored as its index always is. The
// index root of a compressed directory carries the compression flag, the default for
// files made in it; its resident value is read as it stands.
bool plain_index(uint32_t type, const uint8_t* attr) {
  return plain(attr) || (type == at::kIndexRoot && le16(attr + at::kFlags) == at::kCompressed);
}
bool named_i30(const uint8_t* attr, size_t length) {
  static constexpr char16_t kI30[] = u"$I30";
  const size_t n = attr[at::kNameLength], offset = le16(attr + at::kNameOffset);
  if (n != 4 || offset + 2 * n > length) return false;
  for (size_t i = 0; i < n; ++i)
    if (le16(attr + offset + 2 * i) != kI30[i]) return false;
  return true;
}

std::u16string stored_name(const uint8_t* key) {
  std::u16string name(key[fn::kNameLength], u'\0');
  for (size_t i = 0; i < name.size(); ++i) name[i] = char16_t(le16(key + fn::kName + 2 * i));
  return name;
}

NtfsFallback counted(NtfsFallback why) {
  ++g_fallbacks[size_t(why)];
  return why;
}

}  // namespace

const char* fallback_name(NtfsFallback why) {
  switch (why) {
    case NtfsFallback::kIndexUnreadable: return "index unreadable";
    case NtfsFallback::kRecordUnreadable: return "record unreadable";
    case NtfsFallback::kRecordNotInUse: return "record not in use";
    case NtfsFallback::kSequenceMismatch: return "sequence number mismatch";
    case NtfsFallback::kNameNotInDirectory: return "name not in directory";
    case NtfsFallback::kNameShownOtherwise: return "name shown otherwise";
    case NtfsFallback::kReparsePoint: return "reparse point";
    case NtfsFallback::kSystemFile: return "system file";
    case NtfsFallback::kCount: break;
  }
  return "?";
}

uint64_t NtfsFallbackCounts::total() const {
  uint64_t sum = 0;
  for (uint64_t c : count) sum += c;
  return sum;
}

NtfsFallbackCounts ntfs_fallbacks() {
  NtfsFallbackCounts counts;
  for (size_t i = 0; i < size_t(NtfsFallback::kCount); ++i) counts.count[i] = g_fallbacks[i].load();
  return counts;
}

// Where the volume's structures lie: the cluster and record sizes and the MFT's runs,
// as the boot sector and the MFT's own record give them when read.
struct NtfsRecords::Layout {
  int device = -1;  // owned by the reader
  uint64_t cluster_size = 0, clusters = 0;
  size_t record_size = 0;
  std::vector<Run> mft;  // where the MFT's records lie, in VCN order

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
      const uint64_t where = (run->lcn + vcn - run->vcn) * cluster_size + offset % cluster_size;
      if (pread(device, out, n, off_t(where)) != ssize_t(n)) return false;
      out += n, offset += n, size -= n;
    }
    return true;
  }

  // Record `number`, fixed up: kRecordUnreadable when it cannot be, kRecordNotInUse when
  // it is free. The caller checks whether it is a base record.
  Read<uint16_t> record(uint64_t number, std::vector<uint8_t>& out) const {
    out.resize(record_size);
    if (!read_runs(mft, number * record_size, out.data(), record_size) || std::memcmp(out.data(), "FILE", 4) != 0 ||
        !apply_fixups(out.data(), record_size))
      return NtfsFallback::kRecordUnreadable;
    if (!(le16(out.data() + rec::kFlags) & rec::kInUse)) return NtfsFallback::kRecordNotInUse;
    return le16(out.data() + rec::kSequence);
  }

  // An attribute's whole value, resident or not; false when it is longer than `most`
  // bytes or cannot be read.
  bool attribute_value(const uint8_t* attr, size_t length, size_t most, std::vector<uint8_t>& out) const {
    if (!attr[at::kNonResident]) {
      const auto v = resident_value(attr, length);
      out.assign(v.begin(), v.end());
      return true;
    }
    // ntfs-3g reads zeros past the initialized size, where the disk may hold anything.
    const uint64_t size = le64(attr + at::kDataSize);
    const auto runs = attribute_runs(attr, length, cluster_size);
    if (le64(attr + at::kLowestVcn) != 0 || size > most || runs.empty() || le64(attr + at::kInitializedSize) != size ||
        !plain(attr))
      return false;
    out.resize(size);
    return read_runs(runs, 0, out.data(), out.size());
  }

  // The extension records of file `number` that the attribute list in its base record
  // `base` names (none without a list); false when one cannot be read or is not its.
  bool extensions_of(uint64_t number, const std::vector<uint8_t>& base, std::vector<std::vector<uint8_t>>& out) const {
    out.clear();
    std::vector<uint64_t> numbers;
    bool ok = true;
    const bool whole = each_attribute(base.data(), base.size(), [&](uint32_t type, const uint8_t* a, size_t len) {
      if (type != at::kAttributeList) return true;
      std::vector<uint8_t> list;
      ok = attribute_value(a, len, 1u << 20, list);
      for (size_t e = 0; ok && e < list.size();) {
        const size_t length =
            e + ntfs::attr_list::kMinimum <= list.size() ? le16(list.data() + e + ntfs::attr_list::kLength) : 0;
        ok = length >= ntfs::attr_list::kMinimum && e + length <= list.size();
        if (!ok) break;
        const uint64_t other = ntfs::record_of(le64(list.data() + e + ntfs::attr_list::kRecord));
        if (other != number && std::find(numbers.begin(), numbers.end(), other) == numbers.end())
          numbers.push_back(other);
        e += length;
      }
      return false;
    });
    if (!whole || !ok) return false;
    for (uint64_t n : numbers) {
      std::vector<uint8_t> r;
      if (!record(n, r) || ntfs::record_of(le64(r.data() + rec::kBaseRecord)) != number) return false;
      out.push_back(std::move(r));
    }
    return true;
  }

  // Calls `each(type, attribute, length)` for the attributes of file `number` in its
  // base record `base` and its extension records, until it returns false; false when
  // a record is malformed.
  template <typename Each>
  bool each_attribute_of(uint64_t number, const std::vector<uint8_t>& base, Each each) const {
    std::vector<std::vector<uint8_t>> extensions;
    if (!extensions_of(number, base, extensions)) return false;
    bool going = true;
    auto step = [&](uint32_t type, const uint8_t* a, size_t len) { return going = each(type, a, len); };
    if (!each_attribute(base.data(), base.size(), step)) return false;
    for (const auto& r : extensions)
      if (!going || !each_attribute(r.data(), r.size(), step)) return !going;
    return true;
  }

  // From the boot sector and the MFT's own record; false when this is no NTFS volume
  // the reader understands.
  bool load() {
    namespace boot = ntfs::boot;
    uint8_t sector0[boot::kSize];
    if (pread(device, sector0, sizeof sector0, 0) != ssize_t(sizeof sector0) ||
        std::memcmp(sector0 + boot::kOemId, "NTFS    ", 8) != 0)
      return false;
    const uint64_t sector = le16(sector0 + boot::kBytesPerSector);
    const uint8_t per_cluster = sector0[boot::kSectorsPerCluster];
    // Above 0x80 the count is a negative power of two (large clusters).
    if (per_cluster > 0x80 && 256 - per_cluster > 16) return false;
    const uint64_t sectors = per_cluster > 0x80 ? uint64_t(1) << (256 - per_cluster) : per_cluster;
    if (sectors == 0) return false;
    cluster_size = sector * sectors;
    clusters = le64(sector0 + boot::kTotalSectors) / sectors;
    const auto per_record = int8_t(sector0[boot::kClustersPerRecord]);
    if (per_record < -16) return false;
    record_size = per_record > 0 ? size_t(per_record * cluster_size) : size_t(1) << -per_record;
    if (sector < 256 || sector > 4096 || cluster_size == 0 || cluster_size > (1u << 21) || record_size < 1024 ||
        record_size > 4096 || record_size % rec::kFixupStride != 0)
      return false;
    // The MFT's first records lie at the MFT's LCN; its own record maps the rest.
    mft = {Run{0, le64(sector0 + boot::kMftLcn), (record_size + cluster_size - 1) / cluster_size}};
    std::vector<uint8_t> own;
    if (!record(ntfs::well_known::kMft, own)) return false;
    std::vector<Run> runs;
    const bool whole = each_attribute(own.data(), record_size, [&](uint32_t type, const uint8_t* a, size_t len) {
      if (type == at::kData && a[at::kNonResident] && unnamed(a) && le64(a + at::kLowestVcn) == 0) {
        runs = attribute_runs(a, len, cluster_size);
        return false;
      }
      return true;
    });
    // An MFT mapped in extension records leaves later records to ntfs-3g; those the
    // base record maps are still read here.
    if (!whole || runs.empty()) return false;
    mft = std::move(runs);
    std::vector<uint8_t> root;
    return record(ntfs::well_known::kRoot, root) && (le16(root.data() + rec::kFlags) & rec::kIsDirectory);
  }

  std::shared_ptr<const base::UpcaseTable> upcase() const {
    std::vector<uint8_t> r, table;
    if (!record(ntfs::well_known::kUpCase, r)) return nullptr;
    bool read = false;
    each_attribute(r.data(), r.size(), [&](uint32_t type, const uint8_t* a, size_t len) {
      if (type != at::kData || !unnamed(a)) return true;
      read = attribute_value(a, len, 1u << 17, table);
      return false;
    });
    return read ? base::UpcaseTable::from_ntfs(table) : nullptr;
  }
};

// The device's writes as inotify reports them, and the layout read after the last.
struct NtfsRecords::Watch {
  base::UniqueFd device;
  base::UniqueFd inotify;  // IN_MODIFY of the device; none: every writes() is a new number
  uint64_t process = 0;    // the fork generation it belongs to: a child trusts no write it reads
  std::mutex mutex;
  uint64_t writes = 0;
  std::shared_ptr<const base::UpcaseTable> upcase;
};

namespace {

std::shared_ptr<const NtfsRecords> make_reader(base::UniqueFd device, base::UniqueFd inotify) {
  auto layout = std::make_shared<NtfsRecords::Layout>();
  layout->device = device.get();
  if (!layout->load()) return nullptr;
  auto watch = std::make_unique<NtfsRecords::Watch>();
  watch->device = std::move(device);
  watch->inotify = std::move(inotify);
  watch->process = fork_generation();
  watch->upcase = layout->upcase();
  return std::make_shared<NtfsRecords>(std::move(layout), std::move(watch));
}

}  // namespace

NtfsRecords::NtfsRecords(std::shared_ptr<const Layout> layout, std::unique_ptr<Watch> watch)
    : layout_(std::move(layout)), watch_(std::move(watch)) {}
NtfsRecords::~NtfsRecords() = default;

std::shared_ptr<const NtfsRecords> NtfsRecords::open(const std::string& path) {
  // Watched before the first read, so that no write after it goes unseen.
  base::UniqueFd inotify(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (inotify && inotify_add_watch(inotify.get(), path.c_str(), IN_MODIFY) < 0) inotify.reset();
  base::UniqueFd device(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!device) return nullptr;
  return make_reader(std::move(device), std::move(inotify));
}

std::shared_ptr<const NtfsRecords> NtfsRecords::of_image(int fd) {
  return make_reader(base::UniqueFd(fcntl(fd, F_DUPFD_CLOEXEC, 0)), base::UniqueFd());
}

uint64_t NtfsRecords::writes() const {
  Watch& w = *watch_;
  std::lock_guard lock(w.mutex);
  bool written = !w.inotify || w.process != fork_generation();
  // Drained to the end, so that an unchanged device costs one read that finds nothing.
  alignas(inotify_event) char events[4096];
  while (w.inotify && ::read(w.inotify.get(), events, sizeof events) > 0) written = true;
  if (written) {
    ++w.writes;
    // The MFT may have grown: its runs are read again (kept as they were if that fails).
    auto fresh = std::make_shared<Layout>();
    fresh->device = w.device.get();
    if (fresh->load()) layout_ = std::move(fresh);
  }
  return w.writes;
}

std::shared_ptr<const NtfsRecords::Layout> NtfsRecords::layout() const {
  std::lock_guard lock(watch_->mutex);
  return layout_;
}

std::shared_ptr<const base::UpcaseTable> NtfsRecords::upcase() const { return watch_->upcase; }
uint64_t NtfsRecords::cluster_size() const { return layout()->cluster_size; }
uint64_t NtfsRecords::clusters() const { return layout()->clusters; }

namespace {

// Whether an $INDEX_ROOT value is a file name index, as a directory's must be.
// Its blocks' size is a power of two, given again as a count of clusters (of 512-byte
// units when a block is smaller than a cluster).
bool file_name_index(std::basic_string_view<uint8_t> root, uint64_t cluster_size) {
  if (root.size() < ix::kRootHeader + ix::kNodeHeaderSize || le32(root.data() + ix::kRootType) != at::kFileName ||
      le32(root.data() + ix::kRootCollation) != ix::kCollationFileName)
    return false;
  const uint32_t block_size = le32(root.data() + ix::kRootBlockSize);
  if (block_size < rec::kFixupStride || block_size > 65536 || (block_size & (block_size - 1)) != 0) return false;
  const uint64_t unit = block_size >= cluster_size ? cluster_size : rec::kFixupStride;
  return root[ix::kRootClustersPerBlock] == block_size / unit;
}

// Whether ntfs-3g shows a stored name as it is: with no '/' or NUL, which it cannot pass
// on, and no surrogate outside a pair, which it cannot convert. A pair is one character
// outside the BMP, shown in four UTF-8 bytes.
bool shown_as_stored(std::u16string_view name) {
  for (size_t i = 0; i < name.size(); ++i)
    if (name[i] == u'/' || name[i] == 0 || base::is_unpaired_surrogate(name, i)) return false;
  return true;
}

// Appends the names of one index node's entries (an index root's or an index block's
// header, within `size` bytes), in their order.
base::Result<base::Ok, NtfsFallback> node_names(const uint8_t* header, size_t size,
                                                std::vector<NtfsRecords::Listed>& out) {
  const size_t first = le32(header + ix::kEntriesOffset), end = le32(header + ix::kIndexLength);
  if (size < ix::kNodeHeaderSize || end > le32(header + ix::kAllocatedSize) ||
      le32(header + ix::kAllocatedSize) > size || first < ix::kNodeHeaderSize || first % 8 != 0 || first >= end)
    return NtfsFallback::kIndexUnreadable;
  // ntfs-3g refuses an entry stream it cannot follow to its end: taken here only as NTFS
  // writes one, with no flags but its two, each entry leading to a subnode exactly when
  // the node has subnodes, and the last entry closing the node.
  const uint16_t subnode = header[ix::kNodeFlags] & ix::kNodeHasSubnodes ? ix::kEntryHasSubnode : 0;
  for (size_t e = first;;) {
    if (e + ix::kEntryKey > end) return NtfsFallback::kIndexUnreadable;
    const uint8_t* entry = header + e;
    const size_t length = le16(entry + ix::kEntryLength), key_length = le16(entry + ix::kEntryKeyLength);
    const uint16_t flags = le16(entry + ix::kEntryFlags);
    if (length < ix::kEntryKey + (subnode ? 8 : 0) || length % 8 != 0 || e + length > end ||
        (flags & ~(ix::kEntryHasSubnode | ix::kEntryLast)) != 0 || (flags & ix::kEntryHasSubnode) != subnode)
      return NtfsFallback::kIndexUnreadable;
    if (flags & ix::kEntryLast)
      return e + length == end ? base::Result<base::Ok, NtfsFallback>(base::Ok{}) : NtfsFallback::kIndexUnreadable;
    const uint8_t* key = entry + ix::kEntryKey;
    if (key_length < fn::kName || ix::kEntryKey + key_length > length ||
        key_length < fn::kName + 2 * key[fn::kNameLength])
      return NtfsFallback::kIndexUnreadable;
    e += length;
    const uint64_t reference = le64(entry + ix::kEntryFile);
    // ntfs-3g lists neither the DOS names nor the system files.
    if (key[fn::kNamespace] == fn::kDos || ntfs::record_of(reference) < ntfs::well_known::kFirstUser) continue;
    std::u16string name = stored_name(key);
    if (!shown_as_stored(name)) return NtfsFallback::kNameShownOtherwise;
    out.push_back(NtfsRecords::Listed{std::move(name), reference});
  }
}

// The entry's fields from its record (in use, a base record) and extension records.
// With `name`, that name must be one of the record's names in directory `parent`, and
// gives the short name; without, the record is taken as it is.
NtfsRecords::Read<NtfsRecord> parse(const NtfsRecords::Layout& l, uint64_t number, const std::vector<uint8_t>& record,
                                    uint64_t parent, const std::u16string* name) {
  if (ntfs::record_of(le64(record.data() + rec::kBaseRecord)) != 0) return NtfsFallback::kRecordUnreadable;
  NtfsRecord r;
  r.directory = le16(record.data() + rec::kFlags) & rec::kIsDirectory;
  // ntfs-3g lists a directory's ".." from its first name's parent: a directory has one.
  bool has_info = false, has_name = false, has_index = false, reparse = false, sound = true;
  // A directory's blocks: the first extent of its $INDEX_ALLOCATION (ntfs-3g takes the
  // directory's size from it) and its $BITMAP.
  bool has_blocks = false, has_bitmap = false, root_has_subnodes = false;
  uint64_t blocks_size = 0;
  // The names in `parent`: which one `name` is, how many long Win32 names there are,
  // and the DOS name, which belongs to the one Win32 name beside it.
  std::optional<uint8_t> found;
  unsigned win32_names = 0;
  std::u16string dos;
  const bool whole = l.each_attribute_of(number, record, [&](uint32_t type, const uint8_t* a, size_t length) {
    if (type == at::kReparsePoint) {
      reparse = true;
    } else if (type == at::kStandardInformation) {
      const auto v = resident_value(a, length);
      if (v.size() < ntfs::std_info::kMinimum) return sound = false;
      r.attributes = le32(v.data() + ntfs::std_info::kAttributes);
      r.last_write = le64(v.data() + ntfs::std_info::kLastWrite);
      r.last_access = le64(v.data() + ntfs::std_info::kLastAccess);
      has_info = true;
    } else if (type == at::kFileName) {
      const auto v = resident_value(a, length);
      if (v.size() < fn::kName || v.size() < fn::kName + 2 * size_t(v[fn::kNameLength])) return sound = false;
      has_name = true;
      if (!name || ntfs::record_of(le64(v.data() + fn::kParent)) != parent) return true;
      const uint8_t space = v[fn::kNamespace];
      if (space == fn::kDos) {
        dos = stored_name(v.data());
      } else {
        if (space == fn::kWin32) ++win32_names;
        if (!found && stored_name(v.data()) == *name) found = space;
      }
    } else if ((type == at::kIndexRoot || type == at::kIndexAllocation || type == at::kBitmap) &&
               named_i30(a, length) && !plain_index(type, a)) {
      return sound = false;
    } else if (type == at::kIndexRoot && named_i30(a, length)) {
      // ntfs-3g reads a directory's index root, entries and all, to stat it.
      const auto v = resident_value(a, length);
      std::vector<NtfsRecords::Listed> names;
      has_index = file_name_index(v, l.cluster_size) &&
                  node_names(v.data() + ix::kRootHeader, v.size() - ix::kRootHeader, names).ok();
      root_has_subnodes = has_index && (v[ix::kRootHeader + ix::kNodeFlags] & ix::kNodeHasSubnodes);
    } else if (type == at::kIndexAllocation && named_i30(a, length)) {
      if (!a[at::kNonResident] || attribute_runs(a, length, l.cluster_size).empty()) return sound = false;
      if (le64(a + at::kLowestVcn) == 0) has_blocks = true, blocks_size = le64(a + at::kDataSize);
    } else if (type == at::kBitmap && named_i30(a, length)) {
      has_bitmap = true;
    } else if (type == at::kData && unnamed(a)) {
      if (a[at::kNonResident] && le64(a + at::kLowestVcn) == 0)
        r.size = le64(a + at::kDataSize);
      else if (!a[at::kNonResident])
        r.size = le32(a + at::kValueLength);
      // A later extent of the data: its sizes are not kept.
    }
    return true;
  });
  // The kernel refuses a size past the largest signed one that ntfs-3g reports for a
  // file (its data) or a directory (its index blocks): the entry cannot be looked up.
  if (!whole || !sound || !has_info || int64_t(r.size) < 0 || int64_t(blocks_size) < 0)
    return NtfsFallback::kRecordUnreadable;
  if (r.directory && (!has_name || !has_index || has_blocks != has_bitmap || (root_has_subnodes && !has_blocks)))
    return NtfsFallback::kRecordUnreadable;
  if (name && !found) return NtfsFallback::kNameNotInDirectory;
  if (reparse) return NtfsFallback::kReparsePoint;
  if (!r.directory && (r.attributes & FILE_ATTRIBUTE_SYSTEM)) return NtfsFallback::kSystemFile;
  if (found == fn::kWin32 && win32_names == 1 && !base::equal_nocase(dos, *name)) r.short_name = std::move(dos);
  // ntfs-3g shows the directory bit from the record, whatever $STANDARD_INFORMATION says.
  r.attributes =
      r.directory ? r.attributes | FILE_ATTRIBUTE_DIRECTORY : r.attributes & ~uint32_t(FILE_ATTRIBUTE_DIRECTORY);
  if (r.attributes == 0) r.attributes = FILE_ATTRIBUTE_NORMAL;
  return r;
}

// NTFS's order of the names in a directory index: under the volume's upper-case table,
// then, between names equal but for case, by code unit.
int collate(std::u16string_view a, std::u16string_view b, const base::UpcaseTable& upcase) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i)
    if (upcase(a[i]) != upcase(b[i])) return upcase(a[i]) < upcase(b[i]) ? -1 : 1;
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  const int exact = a.compare(b);
  return exact < 0 ? -1 : exact > 0 ? 1 : 0;
}

// A directory's index: its root node and its blocks in use, by VCN.
struct IndexTree {
  std::vector<uint8_t> root;  // $INDEX_ROOT's value
  std::map<uint64_t, std::vector<uint8_t>> blocks;

  // The file reference that a lookup of `name` finds, walking down from the root as a
  // lookup by name does; nullopt when it finds none. ntfs-3g finds an entry to stat it
  // this way, so a name the walk misses (damage to the tree's order or links) is one it
  // lists but cannot open.
  std::optional<uint64_t> look_up(std::u16string_view name, const base::UpcaseTable& upcase) const {
    const uint8_t* header = root.data() + ix::kRootHeader;
    size_t size = root.size() - ix::kRootHeader;
    for (int depth = 0; depth < 32; ++depth) {
      const size_t first = le32(header + ix::kEntriesOffset), end = le32(header + ix::kIndexLength);
      if (end > size || first >= end) return std::nullopt;
      std::optional<uint64_t> down;
      for (size_t e = first; e + ix::kEntryKey <= end;) {
        const uint8_t* entry = header + e;
        const size_t length = le16(entry + ix::kEntryLength);
        const uint16_t flags = le16(entry + ix::kEntryFlags);
        if (length < ix::kEntryKey || length % 8 != 0 || e + length > end) return std::nullopt;
        const auto subnode = [&]() -> std::optional<uint64_t> {
          if (!(flags & ix::kEntryHasSubnode) || length < ix::kEntryKey + 8) return std::nullopt;
          return le64(entry + length - 8);
        };
        if (flags & ix::kEntryLast) {
          down = subnode();
          break;
        }
        const uint8_t* key = entry + ix::kEntryKey;
        if (le16(entry + ix::kEntryKeyLength) < fn::kName + 2 * key[fn::kNameLength]) return std::nullopt;
        const int c = collate(name, stored_name(key), upcase);
        if (c == 0) return le64(entry + ix::kEntryFile);
        if (c < 0) {
          down = subnode();
          break;
        }
        e += length;
      }
      if (!down) return std::nullopt;
      const auto block = blocks.find(*down);
      if (block == blocks.end()) return std::nullopt;
      header = block->second.data() + ix::kBlockHeader;
      size = block->second.size() - ix::kBlockHeader;
    }
    return std::nullopt;
  }
};

}  // namespace

NtfsRecords::Read<NtfsRecord> NtfsRecords::entry(uint64_t reference, uint64_t directory,
                                                 std::u16string_view name) const {
  const auto l = layout();
  std::vector<uint8_t> record;
  const uint64_t number = ntfs::record_of(reference);
  auto sequence = l->record(number, record);
  if (!sequence) return counted(sequence.error());
  // A reference without a sequence number (0) names any use of the record.
  if (ntfs::sequence_of(reference) != 0 && *sequence != ntfs::sequence_of(reference))
    return counted(NtfsFallback::kSequenceMismatch);
  const std::u16string wanted(name);
  auto r = parse(*l, number, record, directory, &wanted);
  if (!r) counted(r.error());
  return r;
}

NtfsRecords::Read<NtfsRecord> NtfsRecords::directory(uint64_t number) const {
  const auto l = layout();
  std::vector<uint8_t> record;
  if (auto read = l->record(number, record); !read) return counted(read.error());
  if (!(le16(record.data() + rec::kFlags) & rec::kIsDirectory)) return counted(NtfsFallback::kIndexUnreadable);
  auto r = parse(*l, number, record, 0, nullptr);
  if (!r) counted(r.error());
  return r;
}

namespace {

// One extent of a directory's $INDEX_ALLOCATION: the runs of its blocks from VCN `vcn`.
struct Extent {
  uint64_t vcn;
  std::vector<Run> runs;
};

// The index blocks in use (by `bitmap`) of `blocks_size` bytes mapped by `extents`,
// kept in `tree` by VCN, their names appended to `out` in place order.
base::Result<base::Ok, NtfsFallback> read_blocks(const NtfsRecords::Layout& l, std::vector<Extent>& extents,
                                                 uint64_t blocks_size, const std::vector<uint8_t>& bitmap,
                                                 IndexTree& tree, std::vector<NtfsRecords::Listed>& out) {
  // The extents of the blocks, in VCN order, each starting where the one before ends.
  std::sort(extents.begin(), extents.end(), [](const Extent& a, const Extent& b) { return a.vcn < b.vcn; });
  std::vector<Run> runs;
  for (const Extent& e : extents) {
    if (e.vcn != (runs.empty() ? 0 : runs.back().vcn + runs.back().clusters)) return NtfsFallback::kIndexUnreadable;
    runs.insert(runs.end(), e.runs.begin(), e.runs.end());
  }
  const size_t block_size = le32(tree.root.data() + ix::kRootBlockSize);
  if (block_size < rec::kFixupStride || block_size > 65536 || block_size % rec::kFixupStride != 0)
    return NtfsFallback::kIndexUnreadable;
  // A subnode is named by its VCN: in clusters, or in 512-byte units when blocks are
  // smaller than a cluster.
  const uint64_t vcn_size = block_size >= l.cluster_size ? l.cluster_size : rec::kFixupStride;
  // ntfs-3g reads every block its bitmap marks in use, and fails the listing when one
  // lies past the blocks' end.
  for (uint64_t i = blocks_size / block_size; i < 8 * uint64_t(bitmap.size()); ++i)
    if (bitmap[i / 8] >> (i % 8) & 1) return NtfsFallback::kIndexUnreadable;
  for (uint64_t i = 0; i < blocks_size / block_size; ++i) {
    if (i / 8 >= bitmap.size()) return NtfsFallback::kIndexUnreadable;
    if (!(bitmap[i / 8] >> (i % 8) & 1)) continue;
    std::vector<uint8_t> block(block_size);
    const uint64_t vcn = i * block_size / vcn_size;
    if (!l.read_runs(runs, i * block_size, block.data(), block_size) || std::memcmp(block.data(), "INDX", 4) != 0 ||
        !apply_fixups(block.data(), block_size) || le64(block.data() + ix::kBlockVcn) != vcn ||
        le32(block.data() + ix::kBlockHeader + ix::kAllocatedSize) != block_size - ix::kBlockHeader)
      return NtfsFallback::kIndexUnreadable;
    if (auto r = node_names(block.data() + ix::kBlockHeader, block_size - ix::kBlockHeader, out); !r) return r;
    tree.blocks[vcn] = std::move(block);
  }
  return base::Ok{};
}

}  // namespace

NtfsRecords::Read<std::vector<NtfsRecords::Listed>> NtfsRecords::list(uint64_t directory) const {
  const auto l = layout();
  std::vector<uint8_t> record;
  if (!l->record(directory, record) || !(le16(record.data() + rec::kFlags) & rec::kIsDirectory) ||
      ntfs::record_of(le64(record.data() + rec::kBaseRecord)) != 0)
    return counted(NtfsFallback::kIndexUnreadable);
  IndexTree tree;
  std::vector<uint8_t> bitmap;
  std::vector<Extent> extents;
  uint64_t blocks_size = 0;
  bool sound = true;
  const bool whole = l->each_attribute_of(directory, record, [&](uint32_t type, const uint8_t* a, size_t len) {
    if (!named_i30(a, len)) return true;
    if (!plain_index(type, a)) return sound = false;
    if (type == at::kIndexRoot) {
      const auto v = resident_value(a, len);
      tree.root.assign(v.begin(), v.end());
    } else if (type == at::kIndexAllocation) {
      // One extent of the blocks' runs; the size is the first extent's.
      const uint64_t vcn = le64(a + at::kLowestVcn);
      auto runs = attribute_runs(a, len, l->cluster_size);
      if (runs.empty()) return sound = false;
      if (vcn == 0) {
        // Blocks past the initialized size ntfs-3g reads as zeros, which no index block is.
        blocks_size = le64(a + at::kDataSize);
        if (le64(a + at::kInitializedSize) != blocks_size) return sound = false;
      }
      extents.push_back(Extent{vcn, std::move(runs)});
    } else if (type == at::kBitmap) {
      if (!l->attribute_value(a, len, 1u << 20, bitmap)) return sound = false;
    }
    return true;
  });
  if (!whole || !sound || !file_name_index({tree.root.data(), tree.root.size()}, l->cluster_size))
    return counted(NtfsFallback::kIndexUnreadable);
  // ntfs-3g lists the root's entries, then those of each block in use in the order the
  // blocks lie, each block's in its own order.
  std::vector<Listed> out;
  if (auto r = node_names(tree.root.data() + ix::kRootHeader, tree.root.size() - ix::kRootHeader, out); !r)
    return counted(r.error());
  if (!extents.empty())
    if (auto r = read_blocks(*l, extents, blocks_size, bitmap, tree, out); !r) return counted(r.error());
  const auto upcase = watch_->upcase ? watch_->upcase : base::UpcaseTable::builtin();
  for (const Listed& listed : out)
    if (tree.look_up(listed.name, *upcase) != listed.reference) return counted(NtfsFallback::kIndexUnreadable);
  return out;
}

void set_ntfs_records_enabled(bool enabled) { g_enabled = enabled; }
bool ntfs_records_enabled() { return g_enabled.load(); }

}  // namespace hivemend::win32
