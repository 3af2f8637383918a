// The MFT record reader on a damaged volume: an image of a real volume whose boot sector,
// records and index blocks are overwritten at random places. Whatever it holds, every read answers
// or refuses within the bytes it was given (the sanitizer build checks the "within").
#include "win32/host/ntfs_records.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <random>

#include "base/little_endian.h"
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
          if (auto r = reader->entry(l.reference, number, l.name)) { EXPECT_LE(r->short_name.size(), 255u); }
      if (auto r = reader->entry(number, 5, u"Many")) { EXPECT_LE(r->short_name.size(), 255u); }
    }
  }
  EXPECT_GT(readable, 200);  // most damage leaves the volume's layout readable
}

// The file offset of each attribute (the first of its type) of the record at `at`.
std::map<uint32_t, size_t> attributes_of(const hivemend::testing::Bytes& image, size_t at) {
  hivemend::testing::Bytes r(image.begin() + long(at), image.begin() + long(at) + 1024);
  for (size_t i = 1, usa = base::le16(&r[4]); i < base::le16(&r[6]); ++i)
    std::memcpy(&r[i * 512 - 2], &r[usa + 2 * i], 2);
  std::map<uint32_t, size_t> out;
  for (size_t a = base::le16(&r[20]); a + 8 <= r.size() && base::le32(&r[a]) != 0xFFFFFFFF && base::le32(&r[a + 4]);
       a += base::le32(&r[a + 4]))
    out.emplace(base::le32(&r[a]), at + a);
  return out;
}

// Damage by hand to a directory with index blocks, each of a kind ntfs-3g refuses when it
// lists the directory or looks it up (seen in its answers for damaged copies): the reader
// refuses it too, leaving the directory to ntfs-3g.
TEST(NtfsRecords, WhatNtfs3gRefusesIsRefused) {
  HIVEMEND_NTFS_VOLUME_OR_SKIP(volume, 8);
  std::filesystem::create_directories(volume->path("Many"));
  for (int i = 0; i < 150; ++i)
    hivemend::testing::write_text(volume->path("Many/entry with a long name " + std::to_string(i)), "e");
  struct stat st;
  ASSERT_EQ(stat(volume->path("Many").c_str(), &st), 0);
  const uint64_t many = st.st_ino;  // ntfs-3g's inode numbers are record numbers
  sync();
  const auto image = hivemend::testing::read_bytes(volume->image());
  size_t record = 0, block = 0;
  for (size_t at = 0; at + 1024 <= image.size(); at += 512) {
    if (!std::memcmp(&image[at], "FILE", 4) && base::le32(&image[at + 44]) == many && !record) record = at;
    // An index block of Many: its first entry's parent.
    if (!std::memcmp(&image[at], "INDX", 4) && !block &&
        (base::le64(&image[at + 24 + base::le32(&image[at + 24]) + 16]) & 0xFFFFFFFFFFFF) == many)
      block = at;
  }
  ASSERT_TRUE(record && block);
  auto attrs = attributes_of(image, record);
  ASSERT_TRUE(attrs.contains(0xA0) && attrs.contains(0xB0));
  const size_t allocation = attrs[0xA0], bitmap = attrs[0xB0] + base::le16(&image[attrs[0xB0] + 20]);
  const size_t first_entry = block + 24 + base::le32(&image[block + 24]);

  const struct {
    const char* what;
    size_t at;
    std::function<void(uint8_t&)> change;
    bool listed, looked_up;  // whether Many is still listed, and found in the root's listing
  } cases[] = {
      {"sound", record, [](uint8_t&) {}, true, true},
      {"a bitmap bit past the index's blocks", bitmap + 7, [](uint8_t& b) { b |= 0x80; }, false, true},
      {"a highest VCN past the runs", allocation + 24, [](uint8_t& b) { ++b; }, false, false},
      {"a non-resident flag other than 1", allocation + 8, [](uint8_t& b) { b = 0x99; }, false, false},
      {"a directory size past the largest signed one", allocation + 55, [](uint8_t& b) { b = 0xC7; }, false, false},
      {"an index stored compressed", allocation + 12, [](uint8_t& b) { b = 0x01; }, false, false},
      {"an entry flag NTFS does not write", first_entry + 12, [](uint8_t& b) { b |= 0x10; }, false, true},
  };
  const base::UniqueFd fd(memfd_create("volume", MFD_CLOEXEC));
  ASSERT_TRUE(fd);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_LT(c.at % 512, 510u) << "a sector's last two bytes are its update sequence";
    auto damaged = image;
    c.change(damaged[c.at]);
    ASSERT_EQ(pwrite(fd.get(), damaged.data(), damaged.size(), 0), ssize_t(damaged.size()));
    const auto reader = NtfsRecords::of_image(fd.get());
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->list(many).ok(), c.listed);
    EXPECT_EQ(reader->entry(many, 5, u"Many").ok(), c.looked_up);
  }
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
