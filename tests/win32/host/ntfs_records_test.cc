// The MFT record reader on a damaged volume: an image of a real volume whose boot sector,
// records and index blocks are overwritten at random places. Whatever it holds, every read answers
// or refuses within the bytes it was given (the sanitizer build checks the "within").
#include "win32/host/ntfs_records.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "base/unique_fd.h"
#include "tests/support/files.h"
#include "tests/support/ntfs_volume.h"

namespace {

using hivemend::testing::NtfsVolume;
using hivemend::win32::NtfsRecords;

TEST(NtfsRecords, DamagedRecordsAndIndexBlocksAreRefusedNotOverread) {
  HIVEMEND_NTFS_VOLUME_OR_SKIP(volume, 8);
  // Directories with index blocks, short names and a record with an attribute list.
  std::filesystem::create_directories(volume->path("Many/Sub"));
  for (int i = 0; i < 150; ++i)
    hivemend::testing::write_text(volume->path("Many/entry with a long name " + std::to_string(i)), "e");
  ASSERT_TRUE(NtfsVolume::set_short_name(volume->path("Many/Sub"), "SUB~1"));
  for (char c : {'x', 'y', 'z'})
    ASSERT_EQ(link(volume->path("Many/entry with a long name 1").c_str(), volume->path(std::string(200, c)).c_str()),
              0);
  sync();
  std::ifstream in(volume->image(), std::ios::binary);
  const std::vector<char> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_GT(image.size(), 1u << 20);

  // Where the structures are: the MFT's records ("FILE") and index blocks ("INDX").
  std::vector<size_t> structures;
  for (size_t at = 0; at + 4 <= image.size(); at += 512)
    if (!std::memcmp(&image[at], "FILE", 4) || !std::memcmp(&image[at], "INDX", 4)) structures.push_back(at);
  ASSERT_GT(structures.size(), 20u);
  structures.push_back(0);  // the boot sector

  std::mt19937 random(20261207);
  const base::UniqueFd fd(memfd_create("volume", MFD_CLOEXEC));
  ASSERT_TRUE(fd);
  int readable = 0;
  for (int round = 0; round < 400; ++round) {
    std::vector<char> damaged = image;
    for (int i = 0; i < 8; ++i) {
      const size_t at = structures[random() % structures.size()] + random() % 1024;
      if (at < damaged.size()) damaged[at] = char(random());
    }
    ASSERT_EQ(pwrite(fd.get(), damaged.data(), damaged.size(), 0), ssize_t(damaged.size()));
    const auto reader = NtfsRecords::of_image(fd.get());
    if (!reader) continue;
    ++readable;
    for (uint64_t number = 0; number < 96; ++number) {
      if (auto listed = reader->list(number))
        for (const auto& l : *listed)
          if (auto r = reader->entry(l.reference, number, l.name)) EXPECT_LE(r->short_name.size(), 255u);
      if (auto r = reader->entry(number, 5, u"Many")) { EXPECT_LE(r->short_name.size(), 255u); }
    }
  }
  EXPECT_GT(readable, 200);  // most damage leaves the volume's layout readable
}

// Inputs the fuzz target once found a fault with (fuzz_regressions/ beside this file):
// each is refused or read within its bytes (the sanitizer build checks the "within").
TEST(NtfsRecords, FuzzFindingsAreRefused) {
  for (const auto& input : std::filesystem::directory_iterator(HIVEMEND_TEST_SOURCE_DIR "/fuzz_regressions")) {
    SCOPED_TRACE(input.path().filename().string());
    const base::UniqueFd fd(open(input.path().c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(fd);
    if (const auto reader = NtfsRecords::of_image(fd.get())) (void)reader->list(5);
  }
}

}  // namespace
