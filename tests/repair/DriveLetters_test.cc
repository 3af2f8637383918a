// Source drive-letter discovery from the MountedDevices key of a mounted SYSTEM hive.
#include "repair/DriveLetters.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "base/buffers.h"
#include "tests/support/repair_fixture.h"
#include "win32/advapi32/registry.h"

namespace {

using namespace hivemend::testing;

constexpr DWORD kSig = 0x1A2B3C4D;

// The 12-byte form: signature and starting offset, little-endian; `bytes` cuts it.
regf::TreeValue Entry(const std::u16string& name, DWORD sig, uint64_t offset, size_t bytes = 12) {
  return binary_value(name, mounted_device(sig, offset, bytes));
}

// The text form, as UTF-16 bytes: "\??\STORAGE#Partition#S", 8 hex digits of the
// signature, two characters not read, the offset in hex, '_' and the rest.
regf::TreeValue TextEntry(const std::u16string& name, DWORD sig, uint64_t offset) {
  char text[128];
  std::snprintf(text, sizeof text, "\\??\\STORAGE#Partition#S%08X#O%llx_{guid}", sig,
                static_cast<unsigned long long>(offset));
  return binary_value(name, utf16(u16(text), false));
}

std::u16string Dos(char letter) { return u"\\DosDevices\\" + std::u16string(1, char16_t(letter)) + u":"; }

TEST(WinPE_GetDriveLetters, OrdersTheSourceDisksLettersByOffset) {
  TestPrefix prefix;
  const std::string folder = prefix.folder("s");
  ASSERT_TRUE(prefix.define_drive('s', folder));
  ASSERT_TRUE(enable_mount_privileges());

  struct Case {
    const char* what;
    std::vector<regf::TreeValue> entries;
    std::optional<std::string> letters;  // nullopt: the discovery fails
    bool no_key = false;
  };
  const Case cases[] = {
      {"three partitions",
       {Entry(Dos('C'), kSig, 0x100000), Entry(Dos('D'), kSig, 0x900000000), Entry(Dos('E'), kSig, 0x40000000)},
       "CED"},
      {"entries of other disks and other names are passed over",
       {Entry(Dos('C'), kSig, 0x100000), Entry(Dos('F'), 0x11111111, 0x200000), Entry(Dos('A'), kSig, 0x10),
        Entry(Dos('B'), kSig, 0x20), Entry(u"\\DosDevices\\g:", kSig, 0x30),
        Entry(u"\\??\\Volume{5ad1c6c3-0000-0000-0000-100000000000}", kSig, 0x40),
        // Only the 13th character is looked at: a name without its colon still counts.
        Entry(u"\\DosDevices\\H", kSig, 0x50), Entry(u"\\dosdevices\\I:", kSig, 0x60),
        binary_value(Dos('J'), std::vector<uint8_t>(24, 0x4D)), Entry(Dos('K'), kSig, 0x700000)},
       "HCK"},
      {"equal offsets keep the enumeration order",
       {Entry(Dos('E'), kSig, 0x500), Entry(Dos('D'), kSig, 0x500), Entry(Dos('C'), kSig, 0x100)},
       "CED"},
      {"short data: missing offset bytes are zero",
       {Entry(Dos('D'), kSig, 0x500), Entry(Dos('E'), kSig, 0x123456789, 8)},
       "DE"},
      {"text form when no 12-byte entry matches",
       {Entry(Dos('G'), 0x22222222, 0x100), TextEntry(Dos('D'), kSig, 0x7E00000), TextEntry(Dos('C'), kSig, 0x100000),
        TextEntry(Dos('E'), 0x33333333, 0x10), TextEntry(Dos('F'), kSig, 0x20000000)},
       "CDF"},
      {"the text form only counts when no 12-byte entry matched",
       {TextEntry(Dos('D'), kSig, 0x10), Entry(Dos('E'), kSig, 0x100)},
       "E"},
      {"nothing matches", {Entry(Dos('C'), 0x22222222, 0x100)}, ""},
      {"no MountedDevices key", {}, std::nullopt, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    regf::TreeKey system = key(u"SYSTEM");
    if (!c.no_key) system.subkeys.push_back(key(u"MountedDevices", c.entries));
    ASSERT_TRUE(write_hive(folder + "/SYSTEM", system));
    ASSERT_EQ(RegLoadKeyW(HKEY_LOCAL_MACHINE, u"QRT-SRC-SYSTEM", u"S:\\SYSTEM"), ERROR_SUCCESS);
    WCHAR letters[kLetterListChars] = u"unchanged";
    const BOOL ok = WinPE_GetDriveLetters(u"QRT-SRC-SYSTEM\\MountedDevices", kSig, letters);
    RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"QRT-SRC-SYSTEM");
    ASSERT_EQ(ok != FALSE, c.letters.has_value());
    EXPECT_EQ(u8(letters), c.letters.value_or("unchanged"));
  }
}

}  // namespace
