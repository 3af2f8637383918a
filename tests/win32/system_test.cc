// The system-information calls: GetSystemMetrics (the Tablet PC answer from
// HIVEMEND_TABLETPC), the Windows version the prefix states, the real machine's
// processors, memory and locale language, and the process heap.
#include <stdlib.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <bitset>
#include <cstring>
#include <string>

#include "tests/win32/temp_prefix.h"
#include "win32/windows.h"

namespace {

using win32_test::TempPrefix;
using win32_test::utf8;

TEST(SystemMetrics, TabletPcFollowsTheEnvironment) {
  struct Case {
    const char* value;  // nullptr: unset
    int tablet;
  } cases[] = {
      {nullptr, 0}, {"1", 1}, {"0", 0}, {"", 0}, {"yes", 0}, {"11", 0}, {" 1", 0}, {"1 ", 0}, {"true", 0},
  };
  for (const auto& c : cases) {
    if (c.value)
      setenv("HIVEMEND_TABLETPC", c.value, 1);
    else
      unsetenv("HIVEMEND_TABLETPC");
    EXPECT_EQ(GetSystemMetrics(SM_TABLETPC), c.tablet) << (c.value ? c.value : "(unset)");
  }
  unsetenv("HIVEMEND_TABLETPC");
}

TEST(SystemMetrics, OtherMetricsAreZeroWithoutADisplay) {
  setenv("HIVEMEND_TABLETPC", "1", 1);
  for (int index : {SM_CXSCREEN, SM_CYSCREEN, SM_CMONITORS, SM_MEDIACENTER, SM_STARTER, SM_SERVERR2, -1, 1000})
    EXPECT_EQ(GetSystemMetrics(index), 0) << index;
  unsetenv("HIVEMEND_TABLETPC");
}

const std::string kNtKey = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\r\n";
const std::string k9xKey = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion]\r\n";

TEST(GetVersionExW, ReportsTheVersionTheMachineRegistryStates) {
  struct Case {
    const char* what;
    std::string registry;
    DWORD major, minor, build, platform;
    std::string csd;
  } cases[] = {
      {"nothing stated: Windows 7 SP1", "", 6, 1, 7601, VER_PLATFORM_WIN32_NT, "Service Pack 1"},
      {"XP SP2",
       kNtKey + "\"CurrentVersion\"=\"5.1\"\r\n\"CurrentBuildNumber\"=\"2600\"\r\n\"CSDVersion\"=\"Service Pack 2\"\r\n",
       5, 1, 2600, VER_PLATFORM_WIN32_NT, "Service Pack 2"},
      {"no CSDVersion: no service pack", kNtKey + "\"CurrentVersion\"=\"5.0\"\r\n\"CurrentBuildNumber\"=\"2195\"\r\n", 5,
       0, 2195, VER_PLATFORM_WIN32_NT, ""},
      {"Windows 98 SE: build carries major and minor",
       k9xKey + "\"VersionNumber\"=\"4.10.2222\"\r\n\"SubVersionNumber\"=\" A\"\r\n", 4, 10, 0x040A08AE,
       VER_PLATFORM_WIN32_WINDOWS, " A"},
      {"the NT key wins", kNtKey + "\"CurrentVersion\"=\"6.0\"\r\n\r\n" + k9xKey + "\"VersionNumber\"=\"4.0.950\"\r\n", 6,
       0, 0, VER_PLATFORM_WIN32_NT, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempPrefix prefix;
    ASSERT_TRUE(prefix.write_registry(c.registry));
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof info;
    ASSERT_TRUE(GetVersionExW(&info));
    EXPECT_EQ(info.dwMajorVersion, c.major);
    EXPECT_EQ(info.dwMinorVersion, c.minor);
    EXPECT_EQ(info.dwBuildNumber, c.build);
    EXPECT_EQ(info.dwPlatformId, c.platform);
    EXPECT_EQ(utf8(info.szCSDVersion), c.csd);
  }
}

TEST(GetVersionExW, RefusesAnyOtherStructureSize) {
  for (DWORD size : {0u, 275u, 284u}) {
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = size;
    SetLastError(0);
    EXPECT_FALSE(GetVersionExW(&info)) << size;
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER)) << size;
  }
}

TEST(SystemInfo, ReportsTheRealMachine) {
  SYSTEM_INFO info{};
  GetSystemInfo(&info);
  EXPECT_EQ(info.dwNumberOfProcessors, DWORD(sysconf(_SC_NPROCESSORS_ONLN)));
  EXPECT_EQ(std::bitset<64>(info.dwActiveProcessorMask).count(), info.dwNumberOfProcessors);
  EXPECT_EQ(info.dwPageSize, DWORD(sysconf(_SC_PAGESIZE)));
  EXPECT_EQ(info.dwAllocationGranularity, 0x10000u);

  struct sysinfo si {};
  ASSERT_EQ(sysinfo(&si), 0);
  MEMORYSTATUSEX memory{};
  memory.dwLength = sizeof memory;
  ASSERT_TRUE(GlobalMemoryStatusEx(&memory));
  EXPECT_EQ(memory.ullTotalPhys, ULONGLONG(si.totalram) * si.mem_unit);
  EXPECT_LE(memory.ullAvailPhys, memory.ullTotalPhys);
  EXPECT_GE(memory.ullTotalPageFile, memory.ullTotalPhys);
  EXPECT_LE(memory.dwMemoryLoad, 100u);

  memory.dwLength = 60;
  SetLastError(0);
  EXPECT_FALSE(GlobalMemoryStatusEx(&memory));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

TEST(GetSystemDefaultLangID, FollowsTheLocaleOfMessages) {
  struct Case {
    const char *lc_all, *lc_messages, *lang;  // nullptr: unset
    LANGID id;
  } cases[] = {
      {nullptr, nullptr, "de_DE.UTF-8", 0x0407},
      {nullptr, nullptr, "de_AT.UTF-8", 0x0C07},
      {nullptr, nullptr, "de_BE.UTF-8", 0x0407},  // a territory the table lacks: the language's main one
      {nullptr, nullptr, "es_ES@euro", 0x0C0A},
      {nullptr, nullptr, "fr_CA", 0x0C0C},
      {nullptr, nullptr, "ja", 0x0411},
      {nullptr, nullptr, "ru_RU.UTF-8", 0x0419},
      {nullptr, nullptr, "C", 0x0409},
      {nullptr, nullptr, "POSIX", 0x0409},
      {nullptr, nullptr, "C.UTF-8", 0x0409},
      {nullptr, nullptr, "xx_YY", 0x0409},
      {nullptr, nullptr, nullptr, 0x0409},
      {nullptr, "it_IT.UTF-8", "de_DE.UTF-8", 0x0410},
      {"nl_NL.UTF-8", "it_IT.UTF-8", "de_DE.UTF-8", 0x0413},
      {"", "", "en_GB.UTF-8", 0x0809},  // empty counts as unset
  };
  for (const auto& c : cases) {
    const std::pair<const char*, const char*> vars[] = {
        {"LC_ALL", c.lc_all}, {"LC_MESSAGES", c.lc_messages}, {"LANG", c.lang}};
    for (const auto& [name, value] : vars) value ? setenv(name, value, 1) : unsetenv(name);
    EXPECT_EQ(GetSystemDefaultLangID(), c.id) << (c.lc_all ? c.lc_all : "-") << " " << (c.lc_messages ? c.lc_messages : "-")
                                              << " " << (c.lang ? c.lang : "-");
  }
  unsetenv("LC_ALL");
  unsetenv("LC_MESSAGES");
  unsetenv("LANG");
}

TEST(ProcessHeap, GivesZeroFilledBlocksOfItsOwn) {
  const HANDLE heap = GetProcessHeap();
  ASSERT_NE(heap, nullptr);
  EXPECT_EQ(GetProcessHeap(), heap);
  // A dirtied block given back is the likeliest to be handed out again.
  void* dirty = HeapAlloc(heap, 0, 4096);
  ASSERT_NE(dirty, nullptr);
  std::memset(dirty, 0xAB, 4096);
  ASSERT_TRUE(HeapFree(heap, 0, dirty));
  auto* block = static_cast<unsigned char*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, 4096));
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(block), 4096), std::string(4096, '\0'));
  void* empty = HeapAlloc(heap, 0, 0);
  EXPECT_NE(empty, nullptr);
  EXPECT_NE(empty, block);
  EXPECT_TRUE(HeapFree(heap, 0, block));
  EXPECT_TRUE(HeapFree(heap, 0, empty));
  EXPECT_TRUE(HeapFree(heap, 0, nullptr));

  int other = 0;
  SetLastError(0);
  EXPECT_EQ(HeapAlloc(&other, 0, 8), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(HeapFree(&other, 0, nullptr));
}

}  // namespace
