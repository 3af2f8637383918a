// Conformance of the registry functions on the machine registry (system.reg in the
// prefix): each function's Windows result for present, missing, too-small-buffer,
// wrong-access and past-the-end cases, and system.reg kept on disk.
#include "win32/advapi32/registry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <span>
#include <vector>

#include "base/unicode.h"
#include "regf/regtext.h"
#include "tests/support/files.h"
#include "tests/support/prefix.h"
#include "win32/host/error.h"
#include "win32/unique.h"

namespace {

using namespace hivemend::testing;
using Key = hivemend::win32::UniqueKey;

// The trees of HKEY_LOCAL_MACHINE and HKEY_CLASSES_ROOT in a system.reg document.
std::vector<regf::TreeKey> machine_trees(const regf::RegDocument& doc) {
  const std::u16string roots[] = {u"HKEY_LOCAL_MACHINE", u"HKEY_CLASSES_ROOT"};
  auto trees = regf::reg_subtrees(doc, roots);
  EXPECT_TRUE(trees) << trees.error().to_string();
  return trees ? *trees : std::vector<regf::TreeKey>(2);
}

LSTATUS create(HKEY root, const char16_t* path, Key& key, REGSAM access = KEY_ALL_ACCESS,
               DWORD* disposition = nullptr) {
  return RegCreateKeyExW(root, path, 0, nullptr, 0, access, nullptr, key.put(), disposition);
}
LSTATUS set(HKEY key, const char16_t* name, DWORD type, const std::vector<uint8_t>& data) {
  return RegSetValueExW(key, name, 0, type, data.data(), DWORD(data.size()));
}

class RegistryTest : public ::testing::Test {
 protected:
  // HKLM\Software\Vendor with values "Path" (REG_SZ "C:\\x"), "Count" (REG_DWORD 7) and
  // "Blob" (REG_BINARY 1 2 3), in that order, and subkeys "beta", "Alpha", "gamma".
  void SetUp() override {
    ASSERT_EQ(create(HKEY_LOCAL_MACHINE, u"Software\\Vendor", vendor_), ERROR_SUCCESS);
    ASSERT_EQ(set(vendor_.get(), u"Path", REG_SZ, utf16(u"C:\\x")), ERROR_SUCCESS);
    ASSERT_EQ(set(vendor_.get(), u"Count", REG_DWORD, {7, 0, 0, 0}), ERROR_SUCCESS);
    ASSERT_EQ(set(vendor_.get(), u"Blob", REG_BINARY, {1, 2, 3}), ERROR_SUCCESS);
    for (const char16_t* name : {u"beta", u"Alpha", u"gamma"}) {
      Key sub;
      ASSERT_EQ(create(vendor_.get(), name, sub, KEY_READ), ERROR_SUCCESS);
    }
  }

  TestPrefix prefix_;
  Key vendor_;
};

TEST_F(RegistryTest, OpenKeyResults) {
  const struct {
    HKEY root;
    const char16_t* path;
    LSTATUS expected;
  } cases[] = {
      {HKEY_LOCAL_MACHINE, u"Software\\Vendor", ERROR_SUCCESS},
      {HKEY_LOCAL_MACHINE, u"SOFTWARE\\vendor\\ALPHA", ERROR_SUCCESS},
      {HKEY_LOCAL_MACHINE, u"Software\\Vendor\\\\", ERROR_SUCCESS},
      {HKEY_LOCAL_MACHINE, u"Software\\Vendor\\Missing", ERROR_FILE_NOT_FOUND},
      {HKEY_LOCAL_MACHINE, u"\\Software\\Vendor", ERROR_BAD_PATHNAME},
      {HKEY_CLASSES_ROOT, u"Software\\Vendor", ERROR_FILE_NOT_FOUND},
      {HKEY_CURRENT_USER, u"Software", ERROR_FILE_NOT_FOUND},
      {reinterpret_cast<HKEY>(uintptr_t(0x7ffc)), u"Software", ERROR_INVALID_HANDLE},
      {nullptr, u"Software", ERROR_INVALID_HANDLE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(base::to_utf8(c.path));
    HKEY key = reinterpret_cast<HKEY>(uintptr_t(0x1234));
    EXPECT_EQ(RegOpenKeyExW(c.root, c.path, 0, KEY_READ, &key), c.expected);
    EXPECT_EQ(key != nullptr, c.expected == ERROR_SUCCESS);
    if (key) { EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS); }
  }
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software", 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
}

TEST_F(RegistryTest, EmptySubkeyGivesTheRootItselfOrANewHandle) {
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, nullptr, 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_EQ(key, HKEY_LOCAL_MACHINE);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"", 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_EQ(key, HKEY_LOCAL_MACHINE);
  ASSERT_EQ(RegOpenKeyExW(vendor_.get(), u"", 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_NE(key, vendor_.get());
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(key, u"Path", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 10u);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryTest, CreateKeyMakesEveryMissingKeyOnThePath) {
  Key key, same, a, b;
  DWORD disposition = 0;
  ASSERT_EQ(create(HKEY_LOCAL_MACHINE, u"Software\\Vendor\\A\\B\\C", key, KEY_SET_VALUE, &disposition), ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  ASSERT_EQ(create(HKEY_LOCAL_MACHINE, u"software\\vendor\\a\\b\\c\\", same, KEY_READ, &disposition), ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Vendor\\A", 0, KEY_READ, a.put()), ERROR_SUCCESS);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Vendor\\A\\B", 0, KEY_READ, b.put()), ERROR_SUCCESS);
  Key unused;
  EXPECT_EQ(create(HKEY_LOCAL_MACHINE, u"\\Lead", unused, KEY_READ), ERROR_BAD_PATHNAME);
  EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"X", 0, nullptr, 0, KEY_READ, nullptr, nullptr, nullptr),
            ERROR_BADKEY);
  EXPECT_EQ(create(vendor_.get(), std::u16string(256, u'k').c_str(), unused, KEY_READ), ERROR_INVALID_PARAMETER);
}

TEST_F(RegistryTest, QueryValueResults) {
  const struct {
    const char16_t* name;
    bool with_buffer;
    DWORD capacity;
    LSTATUS expected;
    DWORD size_after, type_after;
    bool data_copied;
  } cases[] = {
      {u"Path", true, 64, ERROR_SUCCESS, 10, REG_SZ, true},
      {u"PATH", true, 10, ERROR_SUCCESS, 10, REG_SZ, true},
      {u"Path", true, 9, ERROR_MORE_DATA, 10, REG_SZ, false},
      {u"Path", false, 0, ERROR_SUCCESS, 10, REG_SZ, false},
      {u"Count", true, 4, ERROR_SUCCESS, 4, REG_DWORD, true},
      {u"Blob", true, 2, ERROR_MORE_DATA, 3, REG_BINARY, false},
      {u"Missing", false, 99, ERROR_FILE_NOT_FOUND, 0, 0xEEEE, false},
      {u"Missing", true, 99, ERROR_FILE_NOT_FOUND, 99, 0xEEEE, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
    std::vector<BYTE> buffer(64, 0xAB);
    DWORD type = 0xEEEE, size = c.capacity;
    EXPECT_EQ(RegQueryValueExW(vendor_.get(), c.name, nullptr, &type, c.with_buffer ? buffer.data() : nullptr, &size),
              c.expected);
    EXPECT_EQ(size, c.size_after);
    EXPECT_EQ(type, c.type_after);
    EXPECT_EQ(buffer[0] != 0xAB, c.data_copied);
    // No terminator is ever added after the stored bytes.
    if (c.data_copied) { EXPECT_EQ(buffer[c.size_after], 0xAB); }
  }
  BYTE buffer[4];
  DWORD reserved = 0, size = 4;
  EXPECT_EQ(RegQueryValueExW(vendor_.get(), u"Count", nullptr, nullptr, buffer, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegQueryValueExW(vendor_.get(), u"Count", &reserved, nullptr, buffer, &size), ERROR_INVALID_PARAMETER);
}

TEST_F(RegistryTest, AccessRightsOfTheHandle) {
  Key read_only, write_only;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Vendor", 0, KEY_READ, read_only.put()), ERROR_SUCCESS);
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Vendor", 0, KEY_SET_VALUE, write_only.put()), ERROR_SUCCESS);
  const BYTE data[4] = {1};
  char16_t name[32];
  DWORD cch = 32, size = 4;
  const struct {
    const char* what;
    LSTATUS result, expected;
  } cases[] = {
      {"set on KEY_READ", RegSetValueExW(read_only.get(), u"New", 0, REG_DWORD, data, 4), ERROR_ACCESS_DENIED},
      {"set on KEY_SET_VALUE", RegSetValueExW(write_only.get(), u"New", 0, REG_DWORD, data, 4), ERROR_SUCCESS},
      {"query on KEY_SET_VALUE", RegQueryValueExW(write_only.get(), u"New", nullptr, nullptr, nullptr, &size),
       ERROR_ACCESS_DENIED},
      {"enum values on KEY_SET_VALUE",
       RegEnumValueW(write_only.get(), 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_ACCESS_DENIED},
      {"enum keys on KEY_SET_VALUE", RegEnumKeyExW(write_only.get(), 0, name, &cch, nullptr, nullptr, nullptr, nullptr),
       ERROR_ACCESS_DENIED},
      {"query on KEY_READ", RegQueryValueExW(read_only.get(), u"New", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS},
      {"set with no data but a size", RegSetValueExW(write_only.get(), u"New", 0, REG_DWORD, nullptr, 4),
       ERROR_NOACCESS},
  };
  for (const auto& c : cases) EXPECT_EQ(c.result, c.expected) << c.what;
}

TEST_F(RegistryTest, EnumValueCapacities) {
  // name_after nullptr: the name buffer is untouched.
  const struct {
    DWORD index, name_capacity;
    bool with_data;
    DWORD data_capacity;
    LSTATUS expected;
    const char16_t* name_after;
    DWORD cch_after, cb_after;
  } cases[] = {
      {0, 500, true, 500, ERROR_SUCCESS, u"Path", 4, 10}, {1, 500, true, 500, ERROR_SUCCESS, u"Count", 5, 4},
      {2, 500, true, 500, ERROR_SUCCESS, u"Blob", 4, 3},  {0, 5, true, 10, ERROR_SUCCESS, u"Path", 4, 10},
      {0, 4, true, 500, ERROR_MORE_DATA, nullptr, 4, 10},  // no room for the terminator
      {0, 2, true, 2, ERROR_MORE_DATA, nullptr, 2, 10},   {0, 500, true, 9, ERROR_MORE_DATA, u"Path", 4, 10},
      {0, 500, false, 0, ERROR_SUCCESS, u"Path", 4, 10},  {3, 500, true, 500, ERROR_NO_MORE_ITEMS, nullptr, 500, 500},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
    char16_t name[500];
    std::fill(std::begin(name), std::end(name), u'x');
    std::vector<BYTE> data(500, 0xAB);
    DWORD cch = c.name_capacity, cb = c.data_capacity, type = 0xEEEE;
    EXPECT_EQ(
        RegEnumValueW(vendor_.get(), c.index, name, &cch, nullptr, &type, c.with_data ? data.data() : nullptr, &cb),
        c.expected);
    EXPECT_EQ(cch, c.cch_after);
    EXPECT_EQ(cb, c.cb_after);
    EXPECT_EQ(c.name_after ? std::u16string(name) : std::u16string(1, name[0]), c.name_after ? c.name_after : u"x");
    if (c.expected != ERROR_SUCCESS) { EXPECT_EQ(data[0], 0xAB); }
    if (c.expected != ERROR_NO_MORE_ITEMS) { EXPECT_NE(type, 0xEEEEu); }
  }
  DWORD cch = 10;
  EXPECT_EQ(RegEnumValueW(vendor_.get(), 0, nullptr, &cch, nullptr, nullptr, nullptr, nullptr),
            ERROR_INVALID_PARAMETER);
}

TEST_F(RegistryTest, EnumKeyFollowsTheSortedOrder) {
  const struct {
    DWORD index, capacity;
    LSTATUS expected;
    const char16_t* name;
  } cases[] = {
      {0, 500, ERROR_SUCCESS, u"Alpha"}, {1, 500, ERROR_SUCCESS, u"beta"}, {2, 500, ERROR_SUCCESS, u"gamma"},
      {0, 5, ERROR_MORE_DATA, nullptr},  {0, 6, ERROR_SUCCESS, u"Alpha"},  {3, 500, ERROR_NO_MORE_ITEMS, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
    char16_t name[500] = {u'x'};
    DWORD cch = c.capacity;
    EXPECT_EQ(RegEnumKeyExW(vendor_.get(), c.index, name, &cch, nullptr, nullptr, nullptr, nullptr), c.expected);
    EXPECT_EQ(c.name ? std::u16string(name) : std::u16string(1, name[0]), c.name ? c.name : u"x");
    EXPECT_EQ(cch, c.name ? std::char_traits<char16_t>::length(c.name) : c.capacity);
  }
}

TEST_F(RegistryTest, AnsiOpenAndQueryConvertText) {
  Key key;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\VENDOR", 0, KEY_READ, key.put()), ERROR_SUCCESS);
  char text[16];
  std::memset(text, '#', sizeof text);
  DWORD type = 0, size = sizeof text;
  ASSERT_EQ(RegQueryValueExA(key.get(), "Path", nullptr, &type, reinterpret_cast<BYTE*>(text), &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, 5u);
  EXPECT_STREQ(text, "C:\\x");
  size = 4;
  EXPECT_EQ(RegQueryValueExA(key.get(), "Path", nullptr, &type, reinterpret_cast<BYTE*>(text), &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 5u);
  size = 0;
  EXPECT_EQ(RegQueryValueExA(key.get(), "Count", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(RegQueryValueExA(key.get(), "Nothing", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
}

// Each value's name, type and data as `expected` lists them.
void expect_values(const std::vector<regf::TreeValue>& values, std::span<const regf::TreeValue> expected) {
  ASSERT_EQ(values.size(), expected.size());
  for (size_t i = 0; i < values.size(); ++i) {
    EXPECT_EQ(values[i].name, expected[i].name) << i;
    EXPECT_EQ(values[i].type, expected[i].type) << i;
    EXPECT_EQ(values[i].data, expected[i].data) << i;
  }
}

TEST_F(RegistryTest, EveryChangeIsInSystemRegAtOnceAndReadBackTheSame) {
  const auto multi = utf16(std::u16string(u"one\0two\0", 8));
  const std::vector<BYTE> qword = {0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11};
  ASSERT_EQ(set(vendor_.get(), u"Odd", REG_SZ, {0x41, 0x00, 0x42}), ERROR_SUCCESS);  // odd size, no terminator
  ASSERT_EQ(set(vendor_.get(), u"Multi", REG_MULTI_SZ, multi), ERROR_SUCCESS);
  ASSERT_EQ(set(vendor_.get(), nullptr, REG_QWORD, qword), ERROR_SUCCESS);
  const regf::TreeValue expected[] = {
      {u"Path", REG_SZ, utf16(u"C:\\x")},   {u"Count", REG_DWORD, {7, 0, 0, 0}}, {u"Blob", REG_BINARY, {1, 2, 3}},
      {u"Odd", REG_SZ, {0x41, 0x00, 0x42}}, {u"Multi", REG_MULTI_SZ, multi},     {u"", REG_QWORD, qword},
  };
  auto doc = regf::read_reg_file(prefix_.system_reg());
  ASSERT_TRUE(doc) << doc.error().to_string();
  EXPECT_EQ(doc->encoding, regf::RegEncoding::kUtf8);
  const regf::TreeKey hklm = machine_trees(*doc)[0];
  ASSERT_EQ(hklm.subkeys.size(), 1u);
  ASSERT_EQ(hklm.subkeys[0].subkeys.size(), 1u);
  const regf::TreeKey& tree = hklm.subkeys[0].subkeys[0];
  EXPECT_EQ(tree.name, u"Vendor");
  EXPECT_EQ(tree.subkeys.size(), 3u);
  expect_values(tree.values, expected);

  const auto written = read_bytes(prefix_.system_reg());
  // Another prefix and back: the registry is read from the file again.
  {
    TestPrefix other;
    Key none;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Vendor", 0, KEY_READ, none.put()), ERROR_FILE_NOT_FOUND);
  }
  Key key;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Vendor", 0, KEY_ALL_ACCESS, key.put()), ERROR_SUCCESS);
  std::vector<regf::TreeValue> read;
  char16_t name[64];
  BYTE data[64];
  for (DWORD i = 0, cch = 64, cb = 64, type = 0;
       RegEnumValueW(key.get(), i, name, &cch, nullptr, &type, data, &cb) == ERROR_SUCCESS; ++i, cch = cb = 64)
    read.push_back({name, type, std::vector<BYTE>(data, data + cb)});
  expect_values(read, expected);
  // Writing what was read gives the file it was read from.
  ASSERT_EQ(set(key.get(), u"Blob", REG_BINARY, {1, 2, 3}), ERROR_SUCCESS);
  EXPECT_EQ(read_bytes(prefix_.system_reg()), written);
}

TEST(RegistryFileTest, Utf16SystemRegStaysUtf16) {
  TestPrefix prefix;
  const regf::TreeKey hklm{u"HKEY_LOCAL_MACHINE", {}, 0, {}, {{u"Old", {}, 0, {{u"v", REG_DWORD, {1, 0, 0, 0}}}, {}}}};
  const regf::TreeKey hkcr{u"HKEY_CLASSES_ROOT", {}, 0, {}, {{u".txt", {}, 0, {{u"", REG_SZ, utf16(u"txtfile")}}, {}}}};
  const regf::RegRoot roots[] = {{u"HKEY_LOCAL_MACHINE", &hklm}, {u"HKEY_CLASSES_ROOT", &hkcr}};
  auto text = regf::write_reg(roots, {regf::RegFormat::kRegedit5, regf::RegEncoding::kUtf16Le});
  ASSERT_TRUE(text);
  ASSERT_TRUE(write_bytes(prefix.system_reg(), *text));

  Key key;
  ASSERT_EQ(create(HKEY_LOCAL_MACHINE, u"New", key, KEY_WRITE), ERROR_SUCCESS);
  const auto after = read_bytes(prefix.system_reg());
  ASSERT_GE(after.size(), 2u);
  EXPECT_EQ(after[0], 0xFF);
  EXPECT_EQ(after[1], 0xFE);
  auto doc = regf::parse_reg(after);
  ASSERT_TRUE(doc);
  EXPECT_EQ(doc->encoding, regf::RegEncoding::kUtf16Le);
  const auto trees = machine_trees(*doc);
  ASSERT_EQ(trees[1].subkeys.size(), 1u);
  EXPECT_EQ(trees[1].subkeys[0].values[0].data, utf16(u"txtfile"));
  ASSERT_EQ(trees[0].subkeys.size(), 2u);
  EXPECT_EQ(trees[0].subkeys[0].name, u"New");
  EXPECT_EQ(trees[0].subkeys[1].name, u"Old");

  // HKEY_CLASSES_ROOT is read from the same file.
  char16_t data[16] = {};
  DWORD size = sizeof data;
  Key txt;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, u".TXT", 0, KEY_READ, txt.put()), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExW(txt.get(), nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(data), u"txtfile");
}

TEST(RegistryFileTest, ChangesMadeToTheFileByOthersAreSeen) {
  TestPrefix prefix;
  Key key;
  ASSERT_EQ(create(HKEY_LOCAL_MACHINE, u"Shared", key), ERROR_SUCCESS);
  ASSERT_TRUE(
      prefix.write_registry("[HKEY_LOCAL_MACHINE\\Shared]\r\n\"Edited\"=dword:00000005\r\n"
                            "\r\n[HKEY_LOCAL_MACHINE\\Shared\\Sub]\r\n"));
  // The open handle finds its key in the new reading.
  DWORD value = 0, size = 4;
  EXPECT_EQ(RegQueryValueExW(key.get(), u"Edited", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(value, 5u);
  char16_t name[8];
  DWORD cch = 8;
  EXPECT_EQ(RegEnumKeyExW(key.get(), 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(name), u"Sub");
  // A key that is gone from the file: the handle reports it deleted.
  ASSERT_TRUE(prefix.write_registry("[HKEY_LOCAL_MACHINE\\Other]\r\n"));
  EXPECT_EQ(RegQueryValueExW(key.get(), u"Edited", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
}

TEST(RegistryFileTest, DamagedSystemRegIsReportedWithItsLineAndLeftUntouched) {
  TestPrefix prefix;
  Key made;  // creates the prefix
  ASSERT_EQ(create(HKEY_LOCAL_MACHINE, u"Made", made, KEY_READ), ERROR_SUCCESS);
  ASSERT_TRUE(prefix.write_registry("[HKEY_LOCAL_MACHINE\\Good]\r\n\"Bad\"=hex:4g\r\n"));
  const auto bytes = read_bytes(prefix.system_reg());
  testing::internal::CaptureStderr();
  Key key;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Good", 0, KEY_READ, key.put()), ERROR_BADDB);
  EXPECT_EQ(create(HKEY_LOCAL_MACHINE, u"Other", key, KEY_WRITE), ERROR_BADDB);
  EXPECT_EQ(set(HKEY_LOCAL_MACHINE, u"v", REG_DWORD, {1, 0, 0, 0}), ERROR_BADDB);
  const std::string errors = testing::internal::GetCapturedStderr();
  EXPECT_NE(errors.find("line 4"), std::string::npos) << errors;
  EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
  EXPECT_EQ(read_bytes(prefix.system_reg()), bytes);
}

}  // namespace
