// Mounting hive files: RegLoadKeyW / RegUnLoadKeyW results, a real SYSTEM hive read
// through the registry functions against hivexml, changes written back at unload and at
// the end of the process, and a dirty hive recovered from its logs on mount.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "regf/hive.h"
#include "regf/recovery.h"
#include "regf/unicode.h"
#include "regf/walk.h"
#include "tests/support/hivexml.h"
#include "tests/win32/registry_prefix.h"
#include "win32/error.h"
#include "win32/prefix.h"
#include "win32/process.h"
#include "win32/registry.h"
#include "win32/security.h"

namespace {

using registry_test::Key;
using registry_test::ScopedPrefix;
using regf_test::read_bytes;
using regf_test::write_bytes;

constexpr const char16_t* kSystemFile = u"E:\\Windows\\system32\\config\\SYSTEM";

void set_backup_restore(bool enable) {
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token));
  for (const char16_t* name : {SE_BACKUP_NAME, SE_RESTORE_NAME}) {
    TOKEN_PRIVILEGES privileges{1, {{{0, 0}, enable ? SE_PRIVILEGE_ENABLED : 0u}}};
    ASSERT_TRUE(LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid));
    ASSERT_TRUE(AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr));
    ASSERT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
  }
}

// Every key below `path` (HKLM-relative), read through the registry functions: values
// with their whole data (a larger buffer after ERROR_MORE_DATA), subkeys by index.
regf::TreeKey read_through_registry(const std::u16string& path, const std::u16string& name) {
  regf::TreeKey out;
  out.name = name;
  Key key;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key.out()), ERROR_SUCCESS)
      << regf::to_utf8(path);
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
    out.values.push_back({std::u16string(value_name, cch), type, std::vector<uint8_t>(data.begin(), data.begin() + cb)});
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

// One line per key and value, to compare trees with.
void flatten(const regf::TreeKey& key, const std::string& path, std::vector<std::string>& out) {
  out.push_back(path);
  for (const auto& v : key.values) {
    std::string line = path + "|" + regf::to_utf8(v.name) + "|" + std::to_string(v.type) + "|";
    for (uint8_t b : v.data) line += "0123456789abcdef"[b >> 4], line += "0123456789abcdef"[b & 15];
    out.push_back(std::move(line));
  }
  for (const auto& sub : key.subkeys) flatten(sub, path + "\\" + regf::to_utf8(sub.name), out);
}
std::vector<std::string> flatten(const regf::TreeKey& key) {
  std::vector<std::string> out;
  flatten(key, "", out);
  return out;
}

regf::TreeKey read_file_tree(const std::string& path) {
  auto hive = regf::Hive::open_file(path);
  EXPECT_TRUE(hive) << hive.error().to_string();
  if (!hive) return {};
  auto tree = regf::read_tree(*hive);
  EXPECT_TRUE(tree);
  return tree ? *tree : regf::TreeKey{};
}

class MountTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "privileges are held by root only";
    const std::string config = prefix_.dir().file("vol/Windows/System32/config");
    std::filesystem::create_directories(config);
    system_path_ = config + "/SYSTEM";
    const std::string cmd = "xz -dc '" HIVEMEND_TESTDATA "/hives/SYSTEM.xz' > '" + system_path_ + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    ASSERT_TRUE(hivemend::win32::define_drive('e', prefix_.dir().file("vol")));
    set_backup_restore(true);
  }
  void TearDown() override {
    if (geteuid() == 0) {
      RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"QRT-SYSTEM");
      set_backup_restore(false);
    }
  }

  ScopedPrefix prefix_;
  std::string system_path_;
};

TEST_F(MountTest, LoadKeyResults) {
  ASSERT_TRUE(write_bytes(prefix_.dir().file("vol/notahive"), std::vector<uint8_t>(8192, 'x')));
  ASSERT_TRUE(write_bytes(prefix_.dir().file("vol/short"), std::vector<uint8_t>(100, 0)));
  Key taken;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Taken", 0, nullptr, 0, KEY_READ, nullptr, taken.out(), nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegLoadKeyW(HKEY_LOCAL_MACHINE, u"QRT-SYSTEM", kSystemFile), ERROR_SUCCESS);
  struct Case {
    HKEY root;
    const char16_t* name;
    const char16_t* file;
    LSTATUS expected;
  };
  const Case cases[] = {
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
  for (const Case& c : cases) EXPECT_EQ(RegLoadKeyW(c.root, c.name, c.file), c.expected) << regf::to_utf8(c.name);
  testing::internal::GetCapturedStderr();
  Key other;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Other", 0, KEY_READ, other.out()), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"Other"), ERROR_FILE_NOT_FOUND);
}

TEST_F(MountTest, MountAndUnmountNeedBothPrivilegesEnabled) {
  struct Case {
    bool backup, restore;
    LSTATUS expected;
  };
  const Case cases[] = {{false, false, ERROR_PRIVILEGE_NOT_HELD},
                        {true, false, ERROR_PRIVILEGE_NOT_HELD},
                        {false, true, ERROR_PRIVILEGE_NOT_HELD},
                        {true, true, ERROR_SUCCESS}};
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token));
  auto set = [&](const char16_t* name, bool on) {
    TOKEN_PRIVILEGES p{1, {{{0, 0}, on ? SE_PRIVILEGE_ENABLED : 0u}}};
    ASSERT_TRUE(LookupPrivilegeValueW(nullptr, name, &p.Privileges[0].Luid));
    ASSERT_TRUE(AdjustTokenPrivileges(token, FALSE, &p, 0, nullptr, nullptr));
  };
  for (const Case& c : cases) {
    set(SE_BACKUP_NAME, c.backup);
    set(SE_RESTORE_NAME, c.restore);
    EXPECT_EQ(RegLoadKeyW(HKEY_LOCAL_MACHINE, u"QRT-SYSTEM", kSystemFile), c.expected);
  }
  set(SE_RESTORE_NAME, false);
  EXPECT_EQ(RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"QRT-SYSTEM"), ERROR_PRIVILEGE_NOT_HELD);
  set(SE_RESTORE_NAME, true);
  EXPECT_EQ(RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"QRT-SYSTEM"), ERROR_SUCCESS);
}

TEST_F(MountTest, MountedSystemHiveReadsAsHivexmlReadsIt) {
  std::string error;
  auto dump = hivemend::testing::run_hivexml(system_path_, &error);
  ASSERT_TRUE(dump) << error;
  ASSERT_EQ(RegLoadKeyW(HKEY_LOCAL_MACHINE, u"QRT-SYSTEM", kSystemFile), ERROR_SUCCESS);
  const regf::TreeKey tree = read_through_registry(u"QRT-SYSTEM", u"QRT-SYSTEM");
  EXPECT_EQ(dump->keys.size(), 30756u);
  const auto differences = hivemend::testing::compare_with_tree(*dump, tree, read_bytes(system_path_));
  EXPECT_TRUE(differences.empty()) << differences.front();
  // The mount is a subkey of HKEY_LOCAL_MACHINE.
  char16_t name[32];
  DWORD cch = 32;
  ASSERT_EQ(RegEnumKeyExW(HKEY_LOCAL_MACHINE, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(name), u"QRT-SYSTEM");
}

TEST_F(MountTest, UnloadWritesTheChangesAndNothingElse) {
  const auto before_bytes = read_bytes(system_path_);
  const regf::TreeKey before = read_file_tree(system_path_);
  ASSERT_EQ(RegLoadKeyW(HKEY_LOCAL_MACHINE, u"QRT-SYSTEM", kSystemFile), ERROR_SUCCESS);
  // Unchanged: the file is not rewritten.
  ASSERT_EQ(RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"QRT-SYSTEM"), ERROR_SUCCESS);
  EXPECT_EQ(read_bytes(system_path_), before_bytes);

  ASSERT_EQ(RegLoadKeyW(HKEY_LOCAL_MACHINE, u"QRT-SYSTEM", kSystemFile), ERROR_SUCCESS);
  Key select;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"qrt-system\\SELECT", 0, KEY_READ | KEY_WRITE, select.out()),
            ERROR_SUCCESS);
  const DWORD seven = 7;
  const std::u16string text = u"C:\\Program Files\\Common Files\\x.dll";
  ASSERT_EQ(RegSetValueExW(select.get(), u"Current", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&seven), 4),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(select.get(), u"Added", 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                           DWORD((text.size() + 1) * 2)),
            ERROR_SUCCESS);
  ASSERT_EQ(RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"QRT-SYSTEM"), ERROR_SUCCESS);

  regf::TreeKey expected = before;
  regf::TreeKey* sel = nullptr;
  for (auto& sub : expected.subkeys)
    if (sub.name == u"Select") sel = &sub;
  ASSERT_NE(sel, nullptr);
  for (auto& v : sel->values)
    if (v.name == u"Current") v.data = {7, 0, 0, 0};
  std::vector<uint8_t> text_bytes(reinterpret_cast<const uint8_t*>(text.c_str()),
                                  reinterpret_cast<const uint8_t*>(text.c_str() + text.size() + 1));
  sel->values.push_back({u"Added", REG_SZ, text_bytes});
  const regf::TreeKey after = read_file_tree(system_path_);
  EXPECT_EQ(flatten(after), flatten(expected));

  // An independent reader agrees with the file written.
  std::string error;
  auto dump = hivemend::testing::run_hivexml(system_path_, &error);
  ASSERT_TRUE(dump) << error;
  const auto differences = hivemend::testing::compare_with_tree(*dump, after, read_bytes(system_path_));
  EXPECT_TRUE(differences.empty()) << differences.front();
}

TEST_F(MountTest, HandlesIntoAnUnloadedHiveReportTheKeyDeleted) {
  ASSERT_EQ(RegLoadKeyW(HKEY_LOCAL_MACHINE, u"QRT-SYSTEM", kSystemFile), ERROR_SUCCESS);
  Key root, select;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"QRT-SYSTEM", 0, KEY_ALL_ACCESS, root.out()), ERROR_SUCCESS);
  ASSERT_EQ(RegOpenKeyExW(root.get(), u"Select", 0, KEY_ALL_ACCESS, select.out()), ERROR_SUCCESS);
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
      RegOpenKeyExW(root.get(), u"Select", 0, KEY_READ, child.out()),
  };
  for (LSTATUS r : results) EXPECT_EQ(r, ERROR_KEY_DELETED);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"QRT-SYSTEM", 0, KEY_READ, child.out()), ERROR_FILE_NOT_FOUND);
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
          RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"QRT-SYSTEM\\Select", 0, KEY_SET_VALUE, select.out()) != ERROR_SUCCESS ||
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
    auto hive = regf::Hive::open_file(system_path_);
    ASSERT_TRUE(hive);
    auto select = hive->find_subkey(hive->root(), u"Select");
    ASSERT_TRUE(select && *select);
    auto value = hive->find_value(**select, u"Marker");
    ASSERT_TRUE(value && *value);
    auto data = hive->value_data(**value);
    ASSERT_TRUE(data);
    EXPECT_EQ(*data, (std::vector<uint8_t>{uint8_t(marker), uint8_t(marker >> 8), 0, 0}));
  }
}

TEST_F(MountTest, ADirtyHiveIsRecoveredFromItsLogsOnMount) {
  const std::string dir = prefix_.dir().file("vol/Users/u");
  std::filesystem::create_directories(dir);
  for (const char* name : {"NTUSER.DAT", "NTUSER.DAT.LOG1", "NTUSER.DAT.LOG2"}) {
    const std::string cmd = std::string("xz -dc '" HIVEMEND_TESTDATA "/hives/transactions_") + name + ".xz' > '" +
                            dir + "/" + name + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
  }
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
  EXPECT_EQ(flatten(mounted), flatten(*recovered_tree));
  EXPECT_NE(flatten(mounted).size(), flatten(primary_tree).size());
  ASSERT_EQ(RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"QRT-USER"), ERROR_SUCCESS);
  // Nothing was changed, so the file is left as it was.
  EXPECT_EQ(read_bytes(dir + "/NTUSER.DAT"), primary_bytes);
}

}  // namespace
