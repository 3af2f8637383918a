// The system-information calls: GetSystemMetrics (the Tablet PC answer from
// HIVEMEND_TABLETPC), the Windows version the prefix states, the real machine's
// processors, memory and locale language, and the process heap.
#include <stdlib.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/unicode.h"
#include "tests/support/prefix.h"
#include "win32/windows.h"

namespace {

using base::to_utf8;
using hivemend::testing::TestPrefix;

TEST(SystemMetrics, TabletPcFollowsTheEnvironmentOthersAreZero) {
  const struct {
    const char* value;
    int tablet;
  } cases[] = {
      // nullptr: unset
      {nullptr, 0}, {"1", 1}, {"0", 0}, {"", 0}, {"yes", 0}, {"11", 0}, {" 1", 0}, {"1 ", 0}, {"true", 0},
  };
  for (const auto& c : cases) {
    c.value ? setenv("HIVEMEND_TABLETPC", c.value, 1) : unsetenv("HIVEMEND_TABLETPC");
    EXPECT_EQ(GetSystemMetrics(SM_TABLETPC), c.tablet) << (c.value ? c.value : "(unset)");
  }
  // Other metrics are zero without a display, whatever the Tablet PC answer.
  setenv("HIVEMEND_TABLETPC", "1", 1);
  for (int index : {SM_CXSCREEN, SM_CYSCREEN, SM_CMONITORS, SM_MEDIACENTER, SM_STARTER, SM_SERVERR2, -1, 1000})
    EXPECT_EQ(GetSystemMetrics(index), 0) << index;
  unsetenv("HIVEMEND_TABLETPC");
}

// The version a prefix states; the build of 95/98/Me carries major and minor.
TEST(GetVersionExW, ReportsTheVersionTheMachineRegistryStates) {
  const struct {
    std::string registry;
    DWORD major, minor, build, platform;
    std::string csd;
  } cases[] = {
      {"", 6, 1, 7601, VER_PLATFORM_WIN32_NT, "Service Pack 1"},
      {"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\r\n\"CurrentVersion\"=\"5.0\"\r\n"
       "\"CurrentBuildNumber\"=\"2195\"\r\n",
       5, 0, 2195, VER_PLATFORM_WIN32_NT, ""},
      {"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion]\r\n\"VersionNumber\"=\"4.10.2222\"\r\n"
       "\"SubVersionNumber\"=\" A\"\r\n",
       4, 10, 0x040A08AE, VER_PLATFORM_WIN32_WINDOWS, " A"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.registry);
    TestPrefix prefix;
    ASSERT_TRUE(prefix.write_registry(c.registry));
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = 284;  // the extended form is not provided
    EXPECT_FALSE(GetVersionExW(&info));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    info.dwOSVersionInfoSize = sizeof info;
    ASSERT_TRUE(GetVersionExW(&info));
    EXPECT_EQ(std::vector<DWORD>({info.dwMajorVersion, info.dwMinorVersion, info.dwBuildNumber, info.dwPlatformId}),
              std::vector<DWORD>({c.major, c.minor, c.build, c.platform}));
    EXPECT_EQ(to_utf8(info.szCSDVersion), c.csd);
  }
}

TEST(SystemInfo, ReportsTheRealMachine) {
  SYSTEM_INFO info{};
  GetSystemInfo(&info);
  EXPECT_EQ(info.dwNumberOfProcessors, DWORD(sysconf(_SC_NPROCESSORS_ONLN)));
  EXPECT_EQ(info.dwPageSize, DWORD(sysconf(_SC_PAGESIZE)));

  struct sysinfo si {};
  ASSERT_EQ(sysinfo(&si), 0);
  MEMORYSTATUSEX memory{};
  memory.dwLength = sizeof memory;
  ASSERT_TRUE(GlobalMemoryStatusEx(&memory));
  EXPECT_EQ(memory.ullTotalPhys, ULONGLONG(si.totalram) * si.mem_unit);
  EXPECT_LE(memory.ullAvailPhys, memory.ullTotalPhys);
  memory.dwLength = 60;
  EXPECT_FALSE(GlobalMemoryStatusEx(&memory));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

TEST(GetSystemDefaultLangID, FollowsTheLocaleOfMessages) {
  const std::pair<const char*, LANGID> cases[] = {
      {"de_DE.UTF-8", 0x0407}, {"de_AT.UTF-8", 0x0C07}, {"de_BE", 0x0407},   {"es_ES@euro", 0x0C0A},
      {"ja", 0x0411},          {"ru_RU.UTF-8", 0x0419}, {"C.UTF-8", 0x0409}, {"xx_YY", 0x0409},
  };
  unsetenv("LC_ALL");
  setenv("LC_MESSAGES", "", 1);  // empty counts as unset
  for (const auto& [lang, id] : cases) {
    setenv("LANG", lang, 1);
    EXPECT_EQ(GetSystemDefaultLangID(), id) << lang;
  }
  setenv("LC_MESSAGES", "it_IT.UTF-8", 1);
  EXPECT_EQ(GetSystemDefaultLangID(), 0x0410);
  setenv("LC_ALL", "nl_NL.UTF-8", 1);
  EXPECT_EQ(GetSystemDefaultLangID(), 0x0413);
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) unsetenv(name);
  EXPECT_EQ(GetSystemDefaultLangID(), 0x0409);
}

TEST(ProcessHeap, GivesZeroFilledBlocks) {
  const HANDLE heap = GetProcessHeap();
  // A dirtied block given back is the likeliest to be handed out again.
  void* dirty = HeapAlloc(heap, 0, 4096);
  ASSERT_NE(dirty, nullptr);
  std::memset(dirty, 0xAB, 4096);
  ASSERT_TRUE(HeapFree(heap, 0, dirty));
  auto* block = static_cast<char*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, 4096));
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(std::string(block, 4096), std::string(4096, '\0'));
  EXPECT_TRUE(HeapFree(heap, 0, block));
  int other = 0;
  EXPECT_EQ(HeapAlloc(&other, 0, 8), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

}  // namespace
