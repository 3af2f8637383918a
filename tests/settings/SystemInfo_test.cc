// The machine's description recorded at each start: the Windows version classified into
// "OS" and the family and service-pack codes, the processors, the memory, and the
// install folder's architecture bit, as the settings object's construction records them.
#include "settings/SystemInfo.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "base/buffers.h"
#include "settings/Options.h"
#include "settings/RegistryHelpers.h"
#include "tests/support/repair_fixture.h"
#include "win32/host/prefix.h"

namespace {

using namespace hivemend::testing;

const std::string kProductRoot = app_paths("Product");
constexpr LPCWSTR kRootKey = u"SOFTWARE\\Tessaro\\Product";

// The Windows version as the machine registry states it (see win32/user32/sysinfo.h).
std::string NtVersion(const std::string& version, const std::string& build, const std::string& csd) {
  std::string text =
      "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\r\n\"CurrentVersion\"=\"" + version +
      "\"\r\n\"CurrentBuildNumber\"=\"" + build + "\"\r\n";
  if (!csd.empty()) text += "\"CSDVersion\"=\"" + csd + "\"\r\n";
  return text;
}

// A string value written whole from a 128-byte buffer: its text, or nothing when the
// value is missing or has another size.
std::optional<std::string> DescriptionText(LPCWSTR pszKey, LPCWSTR pszName) {
  WCHAR text[65] = {};
  DWORD size = 128;
  if (!QueryRegValue(HKEY_LOCAL_MACHINE, pszKey, pszName, reinterpret_cast<LPBYTE>(text), &size) || size != 128)
    return std::nullopt;
  return u8(text);
}

TEST(RecordSystemInfo, ClassifiesTheWindowsVersion) {
  struct Case {
    std::string version;            // registry text after the product root
    std::optional<std::string> os;  // nullopt: nothing recorded, no processors or memory either
    DWORD family, service_pack;
  } cases[] = {
      {"", "Windows 7", 0x20, 0},  // the prefix's default: 6.1 SP1
      {NtVersion("6.2", "9200", ""), "Windows Vista", 0x10, 0},
      {NtVersion("5.1", "2600", "Service Pack 2"), "Windows XP Service Pack 2", 8, 0x32},
      {NtVersion("5.1", "2600", "Service Pack 1a"), "Windows XP", 8, 0x30},
      {NtVersion("5.1", "2600", "service pack 2"), "Windows XP", 8, 0x30},
      {NtVersion("5.2", "3790", "Service Pack 2"), "Windows XP Service Pack 2", 8, 0x35},
      {NtVersion("5.0", "2195", ""), "Windows 2000 Service Pack 1", 4, 0x19},
      {NtVersion("5.0", "2195", "Service Pack 3"), "Windows 2000 Service Pack 3", 4, 0x21},
      {NtVersion("5.0", "67731", "Service Pack 2"), "Windows 2000 Service Pack 2", 4, 0x20},  // 0x10893: low 16 bits
      {NtVersion("5.0", "2194", "Service Pack 3"), "Windows 2000", 4, 0x18},
      {NtVersion("10.0", "19045", ""), "Windows 2000", 4, 0x18},
      {NtVersion("4.0", "1381", "Service Pack 6"), "", 2, 0},
      {NtVersion("3.51", "1057", "Service Pack 5"), std::nullopt, 0, 0},
      {"\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion]\r\n\"VersionNumber\"=\"4.10.2222\"\r\n",
       "", 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.version);
    TestPrefix prefix;
    ASSERT_TRUE(prefix.write_registry(kProductRoot + c.version));
    COrnOptions options(nullptr);
    EXPECT_EQ(DescriptionText(kRootKey, u"OS"), c.os);
    // No install folder: "amd64\" is looked for in the current folder, which has none.
    EXPECT_EQ(options.m_dwOSFlags, c.os ? c.family | kOSInstallNoAmd64 : 0u);
    EXPECT_EQ(options.m_dwServicePack, c.service_pack);
    for (LPCWSTR name : {u"OS", u"Processors", u"RAM"}) {
      DWORD size = 0;
      EXPECT_EQ(QueryRegValue(HKEY_LOCAL_MACHINE, kRootKey, name, nullptr, &size) != FALSE, c.os.has_value())
          << u8(name);
    }
  }
}

TEST(RecordSystemInfo, RecordsProcessorsMemoryAndTheInstallArchitecture) {
  SYSTEM_INFO system{};
  GetSystemInfo(&system);
  MEMORYSTATUSEX memory{};
  memory.dwLength = sizeof memory;
  ASSERT_TRUE(GlobalMemoryStatusEx(&memory));
  // With a root, an install folder holding amd64\; without, one that does not, and the
  // values below HKEY_LOCAL_MACHINE itself.
  for (const bool root : {true, false}) {
    SCOPED_TRACE(root);
    TestPrefix prefix;
    const std::string install = prefix.folder("install");
    if (root) prefix.folder("install/amd64");
    ASSERT_TRUE(prefix.write_registry(
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Tessaro]\r\n" +
        reg_line(u"Path", u8(*hivemend::win32::windows_path_of(install)) + "\\") +
        (root ? "\"RegPath\"=\"HKLM\\\\SOFTWARE\\\\Tessaro\\\\Product\"\r\n" : "")));
    COrnOptions options(nullptr);
    EXPECT_EQ(options.m_dwOSFlags, kOSFamily7 | (root ? kOSInstallAmd64 : kOSInstallNoAmd64));
    const LPCWSTR key = root ? kRootKey : u"";
    EXPECT_EQ(DescriptionText(key, u"RAM"), std::to_string((memory.ullTotalPhys >> 20) + 1) + "MB");
    DWORD processors = 0;
    EXPECT_TRUE(ReadRegValue(HKEY_LOCAL_MACHINE, key, u"Processors", reinterpret_cast<LPBYTE>(&processors), 4));
    EXPECT_EQ(processors, system.dwNumberOfProcessors);
  }
}

}  // namespace
