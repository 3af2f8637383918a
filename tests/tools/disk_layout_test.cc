// Partition tables of whole-disk images, made with sfdisk as an engineer's disk would
// carry them, read back through ReadDiskLayout.
#include "tools/hivemend-repair/disk_layout.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/files.h"

namespace hivemend::repair_tool {
namespace {

using testing::TempDir;

constexpr uint64_t kMiB = 1024 * 1024;

// An empty 64 MiB image with the partition table sfdisk makes from `script`
// ("" for none).
std::string MakeDisk(const TempDir& dir, const std::string& script) {
  const std::string image = dir.path("disk.img");
  const std::string command = "truncate -s 64M " + image +
                              (script.empty() ? "" : " && printf '" + script + "' | sfdisk -q " + image) +
                              " >/dev/null 2>&1";
  return std::system(command.c_str()) == 0 ? image : "";
}

TEST(DiskLayout, PartitionTables) {
  struct Case {
    const char* name;
    const char* script;
    PartitionTable table;
    std::optional<uint32_t> signature;
    std::vector<Partition> partitions;
  };
  const std::vector<Case> cases = {
      {"MBR, two NTFS partitions",
       "label: dos\\nlabel-id: 0x1a2b3c4d\\n1MiB,20MiB,7\\n,,7\\n",
       PartitionTable::kMbr,
       0x1A2B3C4D,
       {{1, 1 * kMiB, 20 * kMiB}, {2, 21 * kMiB, 43 * kMiB}}},
      {"MBR, a logical partition in an extended one",
       "label: dos\\nlabel-id: 0xdeadbeef\\n1MiB,10MiB,7\\n,,5\\n,20MiB,7\\n",
       PartitionTable::kMbr,
       0xDEADBEEF,
       {{1, 1 * kMiB, 10 * kMiB}, {5, 12 * kMiB, 20 * kMiB}}},
      {"GPT, two partitions",
       "label: gpt\\n1MiB,20MiB\\n,30MiB\\n",
       PartitionTable::kGpt,
       std::nullopt,
       {{1, 1 * kMiB, 20 * kMiB}, {2, 21 * kMiB, 30 * kMiB}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string image = MakeDisk(dir, c.script);
    ASSERT_FALSE(image.empty()) << "sfdisk could not make the image";
    auto layout = ReadDiskLayout(image);
    ASSERT_TRUE(layout) << layout.error().message;
    EXPECT_EQ(layout->table, c.table);
    EXPECT_EQ(layout->mbr_signature, c.signature);
    ASSERT_EQ(layout->partitions.size(), c.partitions.size());
    for (size_t i = 0; i < c.partitions.size(); ++i) {
      EXPECT_EQ(layout->partitions[i].number, c.partitions[i].number);
      EXPECT_EQ(layout->partitions[i].offset, c.partitions[i].offset);
      EXPECT_EQ(layout->partitions[i].size, c.partitions[i].size);
    }
  }
}

TEST(DiskLayout, NtfsVolumeWithoutTableIsNotTakenForAnMbr) {
  TempDir dir;
  const std::string image = MakeDisk(dir, "");
  ASSERT_EQ(std::system(("mkntfs -F -q -Q " + image + " >/dev/null 2>&1").c_str()), 0);
  auto layout = ReadDiskLayout(image);
  ASSERT_TRUE(layout) << layout.error().message;
  EXPECT_EQ(layout->table, PartitionTable::kNone);
  EXPECT_TRUE(layout->partitions.empty());
}

TEST(DiskLayout, MissingFileIsNamedInTheError) {
  auto layout = ReadDiskLayout("/nonexistent/disk.img");
  ASSERT_FALSE(layout);
  EXPECT_EQ(layout.error().message, "/nonexistent/disk.img: cannot be opened for reading");
}

}  // namespace
}  // namespace hivemend::repair_tool
