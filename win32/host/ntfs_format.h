// NTFS's on-disk structures as the device reader needs them: the named offsets of each
// record type's fields, grouped per record. All numbers are little-endian.
#pragma once

#include <cstddef>
#include <cstdint>

namespace hivemend::win32::ntfs {

// The boot sector.
namespace boot {
constexpr size_t kOemId = 3;  // "NTFS    "
constexpr size_t kBytesPerSector = 11, kSectorsPerCluster = 13, kTotalSectors = 40, kMftLcn = 48,
                 kClustersPerRecord = 64;
constexpr size_t kSize = 512;
}  // namespace boot

// An MFT record ("FILE") and an index block ("INDX") share the update sequence header.
namespace record {
constexpr size_t kUsaOffset = 4, kUsaCount = 6, kSequence = 16, kFirstAttribute = 20, kFlags = 22, kBytesInUse = 24,
                 kBytesAllocated = 28, kBaseRecord = 32, kHeaderMinimum = 42;
constexpr uint16_t kInUse = 0x1, kIsDirectory = 0x2;
constexpr size_t kFixupStride = 512;  // each 512 bytes end with the sequence number
}  // namespace record

// The records every volume has in fixed places.
namespace well_known {
constexpr uint64_t kMft = 0, kRoot = 5, kUpCase = 10, kFirstUser = 16;
}  // namespace well_known

// A file reference: the record number in the low 48 bits, its sequence number above.
constexpr uint64_t kRecordNumberMask = 0xFFFFFFFFFFFFull;
constexpr uint64_t record_of(uint64_t reference) { return reference & kRecordNumberMask; }
constexpr uint16_t sequence_of(uint64_t reference) { return uint16_t(reference >> 48); }

// An attribute's header, resident or not.
namespace attr {
constexpr size_t kType = 0, kLength = 4, kNonResident = 8, kNameLength = 9, kNameOffset = 10, kFlags = 12;
constexpr size_t kValueLength = 16, kValueOffset = 20, kResidentHeader = 24;  // resident
constexpr size_t kLowestVcn = 16, kHighestVcn = 24, kMappingPairs = 32, kAllocatedSize = 40, kDataSize = 48,
                 kInitializedSize = 56, kNonResidentHeader = 64;  // non-resident
constexpr uint16_t kCompressed = 0x0001;                          // in kFlags
constexpr uint32_t kStandardInformation = 0x10, kAttributeList = 0x20, kFileName = 0x30, kData = 0x80,
                   kIndexRoot = 0x90, kIndexAllocation = 0xA0, kBitmap = 0xB0, kReparsePoint = 0xC0, kLastKnown = 0x100,
                   kEnd = 0xFFFFFFFF;
}  // namespace attr

// $STANDARD_INFORMATION's value.
namespace std_info {
constexpr size_t kLastWrite = 8, kLastAccess = 24, kAttributes = 32, kMinimum = 48;
}  // namespace std_info

// $FILE_NAME's value, also the key of a directory index entry.
namespace file_name {
constexpr size_t kParent = 0, kNameLength = 64, kNamespace = 65, kName = 66;
// Which names a stored name is: a POSIX one (case matters), the long Win32 name, its
// DOS (8.3) partner, or one name that is both (a long name that is its own 8.3 name).
constexpr uint8_t kPosix = 0, kWin32 = 1, kDos = 2, kWin32AndDos = 3;
}  // namespace file_name

// An attribute list entry.
namespace attr_list {
constexpr size_t kLength = 4, kRecord = 16, kMinimum = 26;
}  // namespace attr_list

// $INDEX_ROOT's value, an index block, and an index node's header inside either.
namespace index {
constexpr size_t kRootType = 0, kRootCollation = 4, kRootBlockSize = 8, kRootClustersPerBlock = 12,
                 kRootHeader = 16;                                                                // $INDEX_ROOT
constexpr size_t kBlockVcn = 16, kBlockHeader = 24;                                               // an index block
constexpr size_t kEntriesOffset = 0, kIndexLength = 4, kAllocatedSize = 8, kNodeHeaderSize = 16;  // node header
constexpr size_t kNodeFlags = 12;
constexpr uint8_t kNodeHasSubnodes = 0x1;   // a large index: the root's entries lead to blocks
constexpr uint32_t kCollationFileName = 1;  // a directory's $I30 index: names under $UpCase
constexpr size_t kEntryFile = 0, kEntryLength = 8, kEntryKeyLength = 10, kEntryFlags = 12, kEntryKey = 16;  // entry
constexpr uint16_t kEntryHasSubnode = 0x1, kEntryLast = 0x2;  // a subnode's VCN ends the entry
}  // namespace index

}  // namespace hivemend::win32::ntfs
