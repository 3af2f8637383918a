// Mounting hive files: RegLoadKeyW / RegUnLoadKeyW results, a real SYSTEM hive read
// through the registry functions against hivexml, changes written back at unload and at
// the end of the process, a dirty hive recovered from its logs on mount, a killed
// write's DOS name finished on mount, and the change journal and dry run.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/unicode.h"
#include "regf/hive.h"
#include "regf/recovery.h"
#include "regf/walk.h"
#include "tests/support/files.h"
#include "tests/support/hives.h"
#include "tests/support/hivexml.h"
#include "tests/support/ntfs_volume.h"
#include "tests/support/prefix.h"
#include "win32/advapi32/registry.h"
#include "win32/advapi32/security.h"
#include "win32/host/error.h"
#include "win32/host/journal.h"
#include "win32/host/prefix.h"
#include "win32/kernel32/process.h"
#include "win32/unique.h"

namespace {

using namespace hivemend::testing;
using Key = hivemend::win32::UniqueKey;

constexpr const char16_t* kSystemFile = u"E:\\Windows\\system32\\config\\SYSTEM";

// Every key below `path` (HKLM-relative), read through the registry functions: values
// with their whole data (a larger buffer after ERROR_MORE_DATA), subkeys by index.
regf::TreeKey read_through_registry(const std::u16string& path, const std::u16string& name) {
  regf::TreeKey out;
  out.name = name;
  Key key;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key.put()), ERROR_SUCCESS)
      << base::to_utf8(path);
  std::vector<BYTE> data(4096);
  for (DWORD i = 0;; ++i) {
    char16_t value_name[16384];
    DWORD cch = 16384, cb = DWORD(data.size()), type = 0;
    LSTATUS r = RegEnumValueW(key.get(), i, value_name, &cch, nullptr, &type, data.data(), &cb);
    if (r == ERROR_MORE_DATA) {
      data.resize(cb);
      cch = 16384;
      r = RegEnumValueW(key.get(), i, value_name, &cch, nullptr, &type, data.data(), &cb);
    }
    if (r == ERROR_NO_MORE_ITEMS) break;
    EXPECT_EQ(r, ERROR_SUCCESS);
    if (r != ERROR_SUCCESS) break;
    out.values.push_back(
        {std::u16string(value_name, cch), type, std::vector<uint8_t>(data.begin(), data.begin() + cb)});
  }
  for (DWORD i = 0;; ++i) {
    char16_t sub[256];
    DWORD cch = 256;
    const LSTATUS r = RegEnumKeyExW(key.get(), i, sub, &cch, nullptr, nullptr, nullptr, nullptr);
    if (r != ERROR_SUCCESS) {
      EXPECT_EQ(r, ERROR_NO_MORE_ITEMS);
      break;
    }
    const std::u16string child(sub, cch);
    out.subkeys.push_back(read_through_registry(path + u"\\" + child, child));
  }
  return out;
}

// The Select key of a SYSTEM hive's tree.
regf::TreeKey& select_of(regf::TreeKey& system) {
  return *std::find_if(system.subkeys.begin(), system.subkeys.end(), [](auto& k) { return k.name == u"Select"; });
}

class MountTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) { GTEST_SKIP() << "privileges are held by root only"; }
    ASSERT_TRUE(unpack_hive("SYSTEM", system_path_ = prefix_.folder("vol/Windows/System32/config") + "/SYSTEM"));
    ASSERT_TRUE(prefix_.define_drive('e', prefix_.folder("vol")));
    ASSERT_TRUE(enable_mount_privileges());
  }
  void TearDown() override {
    if (geteuid() != 0) return;
    RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"QRT-SYSTEM");
    enable_mount_privileges(false);
  }

  TestPrefix prefix_;
  std::string system_path_;
};

TEST_F(MountTest, LoadKeyResults) {
  ASSERT_TRUE(write_text(prefix_.dir() + "/vol/notahive", std::string(8192, 'x')));
  ASSERT_TRUE(write_text(prefix_.dir() + "/vol/short", std::string(100, '\0')));
  Key taken;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Taken", 0, nullptr, 0, KEY_READ, nullptr, taken.put(), nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegLoadKeyW(HKEY_LOCAL_MACHINE, u"QRT-SYSTEM", kSystemFile), ERROR_SUCCESS);
  const struct {
    HKEY root;
    const char16_t *name, *file;
    LSTATUS expected;
  } cases[] = {
      {HKEY_LOCAL_MACHINE, u"qrt-system", kSystemFile, ERROR_ALREADY_EXISTS},
      {HKEY_LOCAL_MACHINE, u"TAKEN", u"E:\\notahive", ERROR_ALREADY_EXISTS},
      {HKEY_LOCAL_MACHINE, u"Other", u"e:\\WINDOWS\\system32\\CONFIG\\system", ERROR_SHARING_VIOLATION},
      {HKEY_LOCAL_MACHINE, u"Other", u"E:\\Windows\\system32\\config\\SOFTWARE", ERROR_FILE_NOT_FOUND},
      {HKEY_LOCAL_MACHINE, u"Other", u"E:\\Windows\\nowhere\\config\\SOFTWARE", ERROR_PATH_NOT_FOUND},
      {HKEY_LOCAL_MACHINE, u"Other", u"Q:\\SYSTEM", ERROR_PATH_NOT_FOUND},
      {HKEY_LOCAL_MACHINE, u"Other", u"E:\\Windows", ERROR_ACCESS_DENIED},
      {HKEY_LOCAL_MACHINE, u"Other", u"E:\\notahive", ERROR_BADDB},
      {HKEY_LOCAL_MACHINE, u"Other", u"E:\\short", ERROR_BADDB},
      {HKEY_LOCAL_MACHINE, u"Two\\Names", u"E:\\notahive", ERROR_INVALID_PARAMETER},
      {HKEY_LOCAL_MACHINE, u"", u"E:\\notahive", ERROR_INVALID_PARAMETER},
      {HKEY_CURRENT_USER, u"Other", kSystemFile, ERROR_INVALID_PARAMETER},
  };
  testing::internal::CaptureStderr();
  for (const auto& c : cases) EXPECT_EQ(RegLoadKeyW(c.root, c.name, c.file), c.expected) << base::to_utf8(c.name);
  testing::internal::GetCapturedStderr();
  Key other;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Other", 0, KEY_READ, other.put()), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"Other"), ERROR_FILE_NOT_FOUND);
}

TEST_F(MountTest, MountAndUnmountNeedBothPrivilegesEnabled) {
  const struct {
    bool backup, restore;
    LSTATUS expected;
  } cases[] = {{false, false, ERROR_PRIVILEGE_NOT_HELD},
               {true, false, ERROR_PRIVILEGE_NOT_HELD},
               {false, true, ERROR_PRIVILEGE_NOT_HELD},
               {true, true, ERROR_SUCCESS}};
  for (const auto& c : cases) {
    ASSERT_TRUE(set_privilege(SE_BACKUP_NAME, c.backup));
    ASSERT_TRUE(set_privilege(SE_RESTORE_NAME, c.restore));
    EXPECT_EQ(RegLoadKeyW(HKEY_LOCAL_MACHINE, u"QRT-SYSTEM", kSystemFile), c.expected);
  }
  ASSERT_TRUE(set_privilege(SE_RESTORE_NAME, false));
  EXPECT_EQ(RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"QRT-SYSTEM"), ERROR_PRIVILEGE_NOT_HELD);
  ASSERT_TRUE(set_privilege(SE_RESTORE_NAME, true));
  EXPECT_EQ(RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"QRT-SYSTEM"), ERROR_SUCCESS);
}

TEST_F(MountTest, MountedSystemHiveReadsAsHivexmlReadsIt) {
  std::string error;
  auto dump = run_hivexml(system_path_, &error);
  ASSERT_TRUE(dump) << error;
  ASSERT_EQ(RegLoadKeyW(HKEY_LOCAL_MACHINE, u"QRT-SYSTEM", kSystemFile), ERROR_SUCCESS);
  const regf::TreeKey tree = read_through_registry(u"QRT-SYSTEM", u"QRT-SYSTEM");
  EXPECT_EQ(dump->keys.size(), 30756u);
  EXPECT_EQ(compare_with_tree(*dump, tree, read_bytes(system_path_)), std::vector<std::string>{});
  // The mount is a subkey of HKEY_LOCAL_MACHINE.
  char16_t name[32];
  DWORD cch = 32;
  ASSERT_EQ(RegEnumKeyExW(HKEY_LOCAL_MACHINE, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(name), u"QRT-SYSTEM");
}

TEST_F(MountTest, UnloadWritesTheChangesAndNothingElse) {
  const auto before_bytes = read_bytes(system_path_);
  const auto before = read_hive(system_path_);
  ASSERT_TRUE(before);
  ASSERT_EQ(RegLoadKeyW(HKEY_LOCAL_MACHINE, u"QRT-SYSTEM", kSystemFile), ERROR_SUCCESS);
  // Unchanged: the file is not rewritten.
  ASSERT_EQ(RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"QRT-SYSTEM"), ERROR_SUCCESS);
  EXPECT_EQ(read_bytes(system_path_), before_bytes);

  ASSERT_EQ(RegLoadKeyW(HKEY_LOCAL_MACHINE, u"QRT-SYSTEM", kSystemFile), ERROR_SUCCESS);
  Key select;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"qrt-system\\SELECT", 0, KEY_READ | KEY_WRITE, select.put()),
            ERROR_SUCCESS);
  const BYTE seven[4] = {7};
  const auto added = utf16(u"C:\\Program Files\\Common Files\\x.dll");
  ASSERT_EQ(RegSetValueExW(select.get(), u"Current", 0, REG_DWORD, seven, 4), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(select.get(), u"Added", 0, REG_SZ, added.data(), DWORD(added.size())), ERROR_SUCCESS);
  ASSERT_EQ(RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"QRT-SYSTEM"), ERROR_SUCCESS);

  regf::TreeKey expected = *before;
  regf::TreeKey& sel = select_of(expected);
  for (auto& v : sel.values)
    if (v.name == u"Current") v.data = {7, 0, 0, 0};
  sel.values.push_back({u"Added", REG_SZ, added});
  const auto after = read_hive(system_path_);
  ASSERT_TRUE(after);
  EXPECT_EQ(tree_difference(expected, *after), "");
  // An independent reader agrees with the file written.
  EXPECT_EQ(hivexml_differences(system_path_, *after), std::vector<std::string>{});
}

TEST_F(MountTest, HandlesIntoAnUnloadedHiveReportTheKeyDeleted) {
  ASSERT_EQ(RegLoadKeyW(HKEY_LOCAL_MACHINE, u"QRT-SYSTEM", kSystemFile), ERROR_SUCCESS);
  Key root, select;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"QRT-SYSTEM", 0, KEY_ALL_ACCESS, root.put()), ERROR_SUCCESS);
  ASSERT_EQ(RegOpenKeyExW(root.get(), u"Select", 0, KEY_ALL_ACCESS, select.put()), ERROR_SUCCESS);
  ASSERT_EQ(RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"QRT-SYSTEM"), ERROR_SUCCESS);

  char16_t name[64];
  DWORD cch = 64, size = 0;
  const DWORD one = 1;
  Key child;
  const LSTATUS results[] = {
      RegQueryValueExW(select.get(), u"Current", nullptr, nullptr, nullptr, &size),
      RegSetValueExW(select.get(), u"Current", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4),
      RegEnumValueW(select.get(), 0, name, &cch, nullptr, nullptr, nullptr, nullptr),
      RegEnumKeyExW(root.get(), 0, name, &cch, nullptr, nullptr, nullptr, nullptr),
      RegOpenKeyExW(root.get(), u"Select", 0, KEY_READ, child.put()),
  };
  for (LSTATUS r : results) EXPECT_EQ(r, ERROR_KEY_DELETED);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"QRT-SYSTEM", 0, KEY_READ, child.put()), ERROR_FILE_NOT_FOUND);
  // The name is free again.
  ASSERT_EQ(RegLoadKeyW(HKEY_LOCAL_MACHINE, u"QRT-SYSTEM", kSystemFile), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExW(select.get(), u"Current", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
}

TEST_F(MountTest, AProcessEndingWithAChangedHiveMountedLeavesTheChangesInTheFile) {
  enum class End { kExit, kTerminateProcess };
  for (End end : {End::kExit, End::kTerminateProcess}) {
    SCOPED_TRACE(end == End::kExit ? "exit" : "TerminateProcess");
    const DWORD marker = end == End::kExit ? 0x1111 : 0x2222;
    std::fflush(nullptr);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      Key select;
      if (RegLoadKeyW(HKEY_LOCAL_MACHINE, u"QRT-SYSTEM", kSystemFile) != ERROR_SUCCESS ||
          RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"QRT-SYSTEM\\Select", 0, KEY_SET_VALUE, select.put()) != ERROR_SUCCESS ||
          RegSetValueExW(select.get(), u"Marker", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&marker), 4) !=
              ERROR_SUCCESS)
        _exit(3);
      if (end == End::kExit) std::exit(0);
      TerminateProcess(GetCurrentProcess(), 0);
      _exit(4);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    auto tree = read_hive(system_path_);
    ASSERT_TRUE(tree);
    const auto& select = select_of(*tree);
    ASSERT_EQ(select.values.back().name, u"Marker");
    EXPECT_EQ(select.values.back().data, (std::vector<uint8_t>{uint8_t(marker), uint8_t(marker >> 8), 0, 0}));
  }
}

TEST_F(MountTest, ADirtyHiveIsRecoveredFromItsLogsOnMount) {
  const std::string dir = prefix_.folder("vol/Users/u");
  for (const std::string name : {"NTUSER.DAT", "NTUSER.DAT.LOG1", "NTUSER.DAT.LOG2"})
    ASSERT_TRUE(unpack_hive("transactions_" + name, dir + "/" + name));
  const auto primary_bytes = read_bytes(dir + "/NTUSER.DAT");
  auto primary = regf::Hive::from_image(primary_bytes, "NTUSER.DAT");
  ASSERT_TRUE(primary);
  ASSERT_TRUE(primary->dirty());
  auto primary_tree = regf::walk_tree(*primary).root;
  auto recovered = regf::recover_file(dir + "/NTUSER.DAT");
  ASSERT_TRUE(recovered);
  auto recovered_hive = regf::Hive::from_image(recovered->image, "recovered");
  ASSERT_TRUE(recovered_hive);
  auto recovered_tree = regf::read_tree(*recovered_hive);
  ASSERT_TRUE(recovered_tree);

  ASSERT_EQ(RegLoadKeyW(HKEY_LOCAL_MACHINE, u"QRT-USER", u"E:\\Users\\u\\ntuser.dat"), ERROR_SUCCESS);
  const regf::TreeKey mounted = read_through_registry(u"QRT-USER", recovered_tree->name);
  EXPECT_EQ(tree_difference(*recovered_tree, mounted), "");
  EXPECT_NE(tree_lines(mounted).size(), tree_lines(primary_tree).size());
  ASSERT_EQ(RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"QRT-USER"), ERROR_SUCCESS);
  // Nothing was changed, so the file is left as it was.
  EXPECT_EQ(read_bytes(dir + "/NTUSER.DAT"), primary_bytes);
}

// A repair killed after the new file took the name and before its DOS name was back
// left a record beside it; the next mount finishes it, though nothing is written.
TEST_F(MountTest, MountFinishesTheDosNameOfAKilledWrite) {
  HIVEMEND_NTFS_VOLUME_OR_SKIP(vol);
  const std::string hive = vol->path("Documents and Settings/Alice/NTUSER.DAT");
  regf::TreeKey root;
  root.name = u"ROOT";
  ASSERT_TRUE(write_hive(hive, root));
  ASSERT_TRUE(write_text(hive + ".hmdos", "NTUSER.DAT\n"));
  ASSERT_EQ(NtfsVolume::short_name(hive), "");
  const auto bytes = read_bytes(hive);
  ASSERT_TRUE(prefix_.define_drive('f', vol->root()));

  ASSERT_EQ(RegLoadKeyW(HKEY_LOCAL_MACHINE, u"QRT-USER", u"F:\\Documents and Settings\\Alice\\NTUSER.DAT"),
            ERROR_SUCCESS);
  EXPECT_EQ(NtfsVolume::short_name(hive), "NTUSER.DAT");
  EXPECT_FALSE(std::filesystem::exists(hive + ".hmdos"));
  ASSERT_EQ(RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"QRT-USER"), ERROR_SUCCESS);
  EXPECT_EQ(read_bytes(hive), bytes);
}

TEST_F(MountTest, TheJournalRecordsEveryWriteAndADryRunLeavesTheFile) {
  const auto before = read_bytes(system_path_);
  const std::string journal = prefix_.dir() + "/journal";
  const auto path = utf16(u"C:\\Program Files\\x.dll");
  const std::u16string odd_name = u"a\tb\\c\n\xD800";
  std::fflush(nullptr);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The hive stays mounted: process end drops its changes as unmounting would.
    setenv("HIVEMEND_DRY_RUN", "1", 1);
    setenv("HIVEMEND_JOURNAL", journal.c_str(), 1);
    const DWORD seven = 7;
    Key select, root, control;
    if (RegLoadKeyW(HKEY_LOCAL_MACHINE, u"QRT-SYSTEM", kSystemFile) != ERROR_SUCCESS ||
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"QRT-SYSTEM\\select", 0, KEY_SET_VALUE, select.put()) != ERROR_SUCCESS ||
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"QRT-SYSTEM", 0, KEY_SET_VALUE, root.put()) != ERROR_SUCCESS ||
        RegSetValueExW(select.get(), u"Current", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&seven), 4) ||
        RegSetValueExW(root.get(), odd_name.c_str(), 0, REG_SZ, path.data(), DWORD(path.size())) ||
        RegSetValueExW(root.get(), odd_name.c_str(), 0, REG_BINARY, nullptr, 0) ||
        RegSetValueExW(root.get(), odd_name.c_str(), 0, REG_SZ, path.data(), DWORD(path.size())) ||
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"QRT-SYSTEM\\controlset001\\CONTROL", 0, KEY_SET_VALUE, control.put()) ||
        RegSetValueExW(control.get(), u"Journaled", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&seven), 4))
      _exit(3);
    std::exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(read_bytes(system_path_), before);

  auto entries = hivemend::win32::read_journal(journal);
  ASSERT_TRUE(entries);
  ASSERT_EQ(entries->size(), 5u);
  using hivemend::win32::JournalData;
  const struct {
    std::u16string key, value;
    std::optional<JournalData> old_data;
    JournalData new_data;
  } expected[] = {
      {u"Select", u"Current", JournalData{REG_DWORD, {1, 0, 0, 0}}, {REG_DWORD, {7, 0, 0, 0}}},
      {u"", odd_name, std::nullopt, {REG_SZ, path}},
      {u"", odd_name, JournalData{REG_SZ, path}, {REG_BINARY, {}}},
      {u"", odd_name, JournalData{REG_BINARY, {}}, {REG_SZ, path}},
      // The key's names as stored, whatever case it was opened with.
      {u"ControlSet001\\Control", u"Journaled", std::nullopt, {REG_DWORD, {7, 0, 0, 0}}},
  };
  for (size_t i = 0; i < std::size(expected); ++i) {
    const auto& e = (*entries)[i];
    EXPECT_EQ(e.hive, kSystemFile);
    EXPECT_EQ(e.key, expected[i].key);
    EXPECT_EQ(e.value, expected[i].value);
    EXPECT_EQ(e.old_data, expected[i].old_data) << i;
    EXPECT_EQ(e.new_data, expected[i].new_data) << i;
  }
}

}  // namespace
