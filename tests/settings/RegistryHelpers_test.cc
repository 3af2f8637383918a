// Registry value helpers and the product registry root, against a machine registry
// written as REGEDIT5 text into a test prefix.
#include "settings/RegistryHelpers.h"

#include <gtest/gtest.h>

#include <string>

#include "base/buffers.h"
#include "settings/Options.h"
#include "tests/support/repair_fixture.h"

namespace {

using namespace hivemend::testing;

const std::string k32 =
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432node\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Tessaro]\r\n";
const std::string kNative =
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Tessaro]\r\n";

TEST(GetProductRegRoot, TakesRegPathAfterItsRootName) {
  struct Case {
    const char* what;
    std::string registry;
    bool found;
    std::string root;
  };
  const Case cases[] = {
      {"both views: the 32-bit one wins",
       k32 + "\"RegPath\"=\"HKEY_LOCAL_MACHINE\\\\SOFTWARE\\\\Tessaro\\\\Wow\"\r\n\r\n" + kNative +
           "\"RegPath\"=\"HKEY_LOCAL_MACHINE\\\\SOFTWARE\\\\Tessaro\\\\Native\"\r\n",
       true, "SOFTWARE\\Tessaro\\Wow"},
      {"native only", kNative + "\"RegPath\"=\"HKEY_LOCAL_MACHINE\\\\SOFTWARE\\\\Tessaro\\\\Native\"\r\n", true,
       "SOFTWARE\\Tessaro\\Native"},
      {"any root name is dropped unread", k32 + "\"RegPath\"=\"HKCU\\\\Software\\\\X\"\r\n", true, "Software\\X"},
      {"empty in the 32-bit view is read, so no fallback",
       k32 + "\"RegPath\"=\"\"\r\n\r\n" + kNative + "\"RegPath\"=\"HKLM\\\\N\"\r\n", false, "unchanged"},
      {"no backslash counts as none", k32 + "\"RegPath\"=\"SOFTWARE\"\r\n", false, "unchanged"},
      {"no RegPath anywhere", kNative + "\"Path\"=\"C:\\\\x\"\r\n", false, "unchanged"},
      {"a number is read as bytes", k32 + "\"RegPath\"=dword:0000005c\r\n", true, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TestPrefix prefix;
    ASSERT_TRUE(prefix.write_registry(c.registry));
    COrnOptions options(nullptr);
    WCHAR root[kPathChars] = u"unchanged";
    EXPECT_EQ(GetProductRegRoot(&options, root) != FALSE, c.found);
    EXPECT_EQ(u8(root), c.root);
    EXPECT_EQ(options.m_hRootKey, HKEY_LOCAL_MACHINE);
  }
}

TEST(GetInstallPath, NeedsAnExistingFolder) {
  TestPrefix prefix;
  ASSERT_TRUE(prefix.define_drive('p', prefix.folder("install")));
  struct Case {
    std::string path;
    bool found;
    std::string result;
  };
  const Case cases[] = {
      {"P:\\\\", true, "P:\\"},
      {"P:\\\\missing\\\\", false, ""},
      {"", false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    ASSERT_TRUE(prefix.write_registry(kNative + "\"Path\"=\"" + c.path + "\"\r\n"));
    WCHAR out[kPathChars] = u"unchanged";
    EXPECT_EQ(GetInstallPath(out) != FALSE, c.found);
    EXPECT_EQ(u8(out), c.result);
  }
}

TEST(RegValues, WriteCreatesKeysAndReadsLeaveDefaultsAlone) {
  TestPrefix prefix;
  ASSERT_TRUE(prefix.write_registry(""));
  const DWORD one = 1;
  ASSERT_TRUE(WriteRegValue(HKEY_LOCAL_MACHINE, u"SOFTWARE\\A\\B\\C", u"N", REG_DWORD,
                            reinterpret_cast<const BYTE*>(&one), sizeof one));
  const std::u16string text = u"text";
  ASSERT_TRUE(WriteRegValue(HKEY_LOCAL_MACHINE, u"SOFTWARE\\A", u"S", REG_SZ,
                            reinterpret_cast<const BYTE*>(text.c_str()), (text.size() + 1) * 2));
  // Written back at once into the machine registry file.
  const std::string file = read_text(prefix.dir() + "/system.reg");
  EXPECT_NE(file.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\A\\B\\C]"), std::string::npos) << file;

  DWORD number = 77;
  EXPECT_TRUE(ReadRegValue(HKEY_LOCAL_MACHINE, u"SOFTWARE\\A\\B\\C", u"N", reinterpret_cast<LPBYTE>(&number), 4));
  EXPECT_EQ(number, 1u);
  number = 77;
  EXPECT_FALSE(
      ReadRegValue(HKEY_LOCAL_MACHINE, u"SOFTWARE\\A\\B\\C", u"Missing", reinterpret_cast<LPBYTE>(&number), 4));
  EXPECT_FALSE(ReadRegValue(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Missing", u"N", reinterpret_cast<LPBYTE>(&number), 4));
  EXPECT_EQ(number, 77u);

  // A buffer too small fails and is left as it was.
  WCHAR small[3] = {u'x', u'y', 0};
  EXPECT_FALSE(ReadRegValue(HKEY_LOCAL_MACHINE, u"SOFTWARE\\A", u"S", reinterpret_cast<LPBYTE>(small), sizeof small));
  EXPECT_EQ(u8(small), "xy");

  DWORD size = 0;
  EXPECT_TRUE(QueryRegValue(HKEY_LOCAL_MACHINE, u"SOFTWARE\\A", u"S", nullptr, &size));
  EXPECT_EQ(size, 10u);
  size = 0;
  EXPECT_FALSE(QueryRegValue(HKEY_LOCAL_MACHINE, u"SOFTWARE\\A", u"Missing", nullptr, &size));
}

TEST(SwapSecurityBits, ExchangesTheOuterBitPairs) {
  const std::pair<BYTE, BYTE> cases[] = {{0x01, 0x40}, {0x80, 0x02}, {0x12, 0x90}, {0x00, 0x00},
                                         {0xFF, 0xFF}, {0x3C, 0x3C}, {0xC3, 0xC3}, {0x41, 0x41}};
  for (const auto& [in, out] : cases) EXPECT_EQ(SwapSecurityBits(in), out) << int(in);
  for (int b = 0; b < 256; ++b) EXPECT_EQ(SwapSecurityBits(SwapSecurityBits(BYTE(b))), b);
}

}  // namespace
