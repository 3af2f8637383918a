// Conformance of the registry functions on the machine registry (system.reg in the
// prefix): each function's Windows result for present, missing, too-small-buffer,
// wrong-access and past-the-end cases, and system.reg kept on disk.
#include "win32/registry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <vector>

#include "regf/regtext.h"
#include "tests/win32/registry_prefix.h"
#include "win32/error.h"

namespace {

using registry_test::Key;
using registry_test::ScopedPrefix;
using regf_test::read_bytes;
using regf_test::write_bytes;

// The tree of one root of a system.reg document.
regf::TreeKey machine_tree(const regf::RegDocument& doc, int root) {
  const std::u16string roots[] = {u"HKEY_LOCAL_MACHINE", u"HKEY_CLASSES_ROOT"};
  auto trees = regf::reg_subtrees(doc, roots);
  EXPECT_TRUE(trees) << trees.error().to_string();
  return trees ? (*trees)[root] : regf::TreeKey{};
}

std::vector<BYTE> wide_bytes(std::u16string_view text, bool terminator = true) {
  std::vector<BYTE> out((text.size() + terminator) * 2, 0);
  std::memcpy(out.data(), text.data(), text.size() * 2);
  return out;
}

class RegistryTest : public ::testing::Test {
 protected:
  // HKLM\Software\Vendor with values "Path" (REG_SZ "C:\\x"), "Count" (REG_DWORD 7) and
  // "Blob" (REG_BINARY 1 2 3), in that order, and subkeys "beta", "Alpha", "gamma".
  void SetUp() override {
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Vendor", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              vendor_.out(), nullptr),
              ERROR_SUCCESS);
    const auto path = wide_bytes(u"C:\\x");
    const DWORD count = 7;
    const BYTE blob[] = {1, 2, 3};
    ASSERT_EQ(RegSetValueExW(vendor_.get(), u"Path", 0, REG_SZ, path.data(), DWORD(path.size())), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(vendor_.get(), u"Count", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&count), 4),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(vendor_.get(), u"Blob", 0, REG_BINARY, blob, 3), ERROR_SUCCESS);
    for (const char16_t* name : {u"beta", u"Alpha", u"gamma"}) {
      Key sub;
      ASSERT_EQ(RegCreateKeyExW(vendor_.get(), name, 0, nullptr, 0, KEY_READ, nullptr, sub.out(), nullptr),
                ERROR_SUCCESS);
    }
  }

  ScopedPrefix prefix_;
  Key vendor_;
};

TEST_F(RegistryTest, OpenKeyResults) {
  struct Case {
    HKEY root;
    const char16_t* path;
    LSTATUS expected;
  };
  const Case cases[] = {
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
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.path, c.path + std::char_traits<char16_t>::length(c.path)));
    HKEY key = reinterpret_cast<HKEY>(uintptr_t(0x1234));
    EXPECT_EQ(RegOpenKeyExW(c.root, c.path, 0, KEY_READ, &key), c.expected);
    if (c.expected == ERROR_SUCCESS) {
      EXPECT_NE(key, nullptr);
      EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    } else {
      EXPECT_EQ(key, nullptr);
    }
  }
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software", 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
}

TEST_F(RegistryTest, EmptySubkeyGivesTheRootItselfOrANewHandle) {
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, nullptr, 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_EQ(key, HKEY_LOCAL_MACHINE);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"", 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_EQ(key, HKEY_LOCAL_MACHINE);

  Key again;
  ASSERT_EQ(RegOpenKeyExW(vendor_.get(), u"", 0, KEY_READ, again.out()), ERROR_SUCCESS);
  EXPECT_NE(again.get(), vendor_.get());
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(again.get(), u"Path", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 10u);
  EXPECT_EQ(RegCloseKey(again.get()), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(again.get()), ERROR_INVALID_HANDLE);
  *again.out() = nullptr;
}

TEST_F(RegistryTest, CreateKeyMakesEveryMissingKeyOnThePath) {
  Key key;
  DWORD disposition = 0;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Vendor\\A\\B\\C", 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                            key.out(), &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  Key same;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"software\\vendor\\a\\b\\c\\", 0, nullptr, 0, KEY_READ, nullptr,
                            same.out(), &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  for (const char16_t* path : {u"Software\\Vendor\\A", u"Software\\Vendor\\A\\B"}) {
    Key k;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, k.out()), ERROR_SUCCESS);
  }
  HKEY unused;
  EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"\\Lead", 0, nullptr, 0, KEY_READ, nullptr, &unused, nullptr),
            ERROR_BAD_PATHNAME);
  EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"X", 0, nullptr, 0, KEY_READ, nullptr, nullptr, nullptr),
            ERROR_BADKEY);
  const std::u16string too_long(256, u'k');
  EXPECT_EQ(RegCreateKeyExW(vendor_.get(), too_long.c_str(), 0, nullptr, 0, KEY_READ, nullptr, &unused, nullptr),
            ERROR_INVALID_PARAMETER);
}

TEST_F(RegistryTest, QueryValueResults) {
  struct Case {
    const char16_t* name;
    bool with_buffer;
    DWORD capacity;
    LSTATUS expected;
    DWORD size_after;
    DWORD type_after;
    bool data_copied;
  };
  const Case cases[] = {
      {u"Path", true, 64, ERROR_SUCCESS, 10, REG_SZ, true},
      {u"PATH", true, 10, ERROR_SUCCESS, 10, REG_SZ, true},
      {u"Path", true, 9, ERROR_MORE_DATA, 10, REG_SZ, false},
      {u"Path", false, 0, ERROR_SUCCESS, 10, REG_SZ, false},
      {u"Count", true, 4, ERROR_SUCCESS, 4, REG_DWORD, true},
      {u"Blob", true, 2, ERROR_MORE_DATA, 3, REG_BINARY, false},
      {u"Missing", false, 99, ERROR_FILE_NOT_FOUND, 0, 0xEEEE, false},
      {u"Missing", true, 99, ERROR_FILE_NOT_FOUND, 99, 0xEEEE, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
    std::vector<BYTE> buffer(64, 0xAB);
    DWORD type = 0xEEEE, size = c.capacity;
    EXPECT_EQ(RegQueryValueExW(vendor_.get(), c.name, nullptr, &type, c.with_buffer ? buffer.data() : nullptr, &size),
              c.expected);
    EXPECT_EQ(size, c.size_after);
    EXPECT_EQ(type, c.type_after);
    EXPECT_EQ(buffer[0] != 0xAB, c.data_copied);
    // No terminator is ever added after the stored bytes.
    if (c.data_copied) {
      EXPECT_EQ(buffer[c.size_after], 0xAB);
    }
  }
  BYTE buffer[4];
  DWORD reserved = 0;
  EXPECT_EQ(RegQueryValueExW(vendor_.get(), u"Count", nullptr, nullptr, buffer, nullptr), ERROR_INVALID_PARAMETER);
  DWORD size = 4;
  EXPECT_EQ(RegQueryValueExW(vendor_.get(), u"Count", &reserved, nullptr, buffer, &size), ERROR_INVALID_PARAMETER);
}

TEST_F(RegistryTest, StringDataIsStoredAndReadWithoutATerminatorAdded) {
  const auto unterminated = wide_bytes(u"abc", false);
  ASSERT_EQ(RegSetValueExW(vendor_.get(), u"Bare", 0, REG_SZ, unterminated.data(), 6), ERROR_SUCCESS);
  char16_t text[8];
  std::fill(std::begin(text), std::end(text), u'#');
  DWORD size = sizeof text;
  ASSERT_EQ(RegQueryValueExW(vendor_.get(), u"Bare", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(size, 6u);
  EXPECT_EQ(std::u16string(text, 4), u"abc#");
}

TEST_F(RegistryTest, AccessRightsOfTheHandle) {
  Key read_only, write_only;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Vendor", 0, KEY_READ, read_only.out()), ERROR_SUCCESS);
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Vendor", 0, KEY_SET_VALUE, write_only.out()),
            ERROR_SUCCESS);
  const DWORD one = 1;
  const auto* data = reinterpret_cast<const BYTE*>(&one);
  char16_t name[32];
  DWORD cch = 32;
  DWORD size = 4;
  struct Case {
    const char* what;
    LSTATUS result;
    LSTATUS expected;
  };
  const Case cases[] = {
      {"set on KEY_READ", RegSetValueExW(read_only.get(), u"New", 0, REG_DWORD, data, 4), ERROR_ACCESS_DENIED},
      {"set on KEY_SET_VALUE", RegSetValueExW(write_only.get(), u"New", 0, REG_DWORD, data, 4), ERROR_SUCCESS},
      {"query on KEY_SET_VALUE", RegQueryValueExW(write_only.get(), u"New", nullptr, nullptr, nullptr, &size),
       ERROR_ACCESS_DENIED},
      {"enum values on KEY_SET_VALUE",
       RegEnumValueW(write_only.get(), 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_ACCESS_DENIED},
      {"enum keys on KEY_SET_VALUE",
       RegEnumKeyExW(write_only.get(), 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_ACCESS_DENIED},
      {"query on KEY_READ", RegQueryValueExW(read_only.get(), u"New", nullptr, nullptr, nullptr, &size),
       ERROR_SUCCESS},
      {"set with no data but a size", RegSetValueExW(write_only.get(), u"New", 0, REG_DWORD, nullptr, 4),
       ERROR_NOACCESS},
  };
  for (const Case& c : cases) EXPECT_EQ(c.result, c.expected) << c.what;
}

TEST_F(RegistryTest, EnumValueCapacities) {
  struct Case {
    DWORD index;
    DWORD name_capacity;
    bool with_data;
    DWORD data_capacity;
    LSTATUS expected;
    const char16_t* name_after;  // nullptr: the name buffer is untouched
    DWORD cch_after;
    DWORD cb_after;
  };
  const Case cases[] = {
      {0, 500, true, 500, ERROR_SUCCESS, u"Path", 4, 10},
      {1, 500, true, 500, ERROR_SUCCESS, u"Count", 5, 4},
      {2, 500, true, 500, ERROR_SUCCESS, u"Blob", 4, 3},
      {0, 5, true, 10, ERROR_SUCCESS, u"Path", 4, 10},
      {0, 4, true, 500, ERROR_MORE_DATA, nullptr, 4, 10},  // no room for the terminator
      {0, 2, true, 2, ERROR_MORE_DATA, nullptr, 2, 10},
      {0, 500, true, 9, ERROR_MORE_DATA, u"Path", 4, 10},
      {0, 500, false, 0, ERROR_SUCCESS, u"Path", 4, 10},
      {3, 500, true, 500, ERROR_NO_MORE_ITEMS, nullptr, 500, 500},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
    char16_t name[500];
    std::fill(std::begin(name), std::end(name), u'x');
    std::vector<BYTE> data(500, 0xAB);
    DWORD cch = c.name_capacity, cb = c.data_capacity, type = 0xEEEE;
    EXPECT_EQ(RegEnumValueW(vendor_.get(), c.index, name, &cch, nullptr, &type, c.with_data ? data.data() : nullptr,
                            &cb),
              c.expected);
    EXPECT_EQ(cch, c.cch_after);
    EXPECT_EQ(cb, c.cb_after);
    if (c.name_after) {
      EXPECT_EQ(std::u16string(name), c.name_after);
    } else {
      EXPECT_EQ(name[0], u'x');
    }
    if (c.expected != ERROR_SUCCESS) {
      EXPECT_EQ(data[0], 0xAB);
    }
    if (c.expected != ERROR_NO_MORE_ITEMS) {
      EXPECT_NE(type, 0xEEEEu);
    }
  }
  DWORD cch = 10;
  EXPECT_EQ(RegEnumValueW(vendor_.get(), 0, nullptr, &cch, nullptr, nullptr, nullptr, nullptr),
            ERROR_INVALID_PARAMETER);
}

TEST_F(RegistryTest, EnumKeyFollowsTheSortedOrder) {
  struct Case {
    DWORD index;
    DWORD capacity;
    LSTATUS expected;
    const char16_t* name;
  };
  const Case cases[] = {
      {0, 500, ERROR_SUCCESS, u"Alpha"}, {1, 500, ERROR_SUCCESS, u"beta"},  {2, 500, ERROR_SUCCESS, u"gamma"},
      {0, 5, ERROR_MORE_DATA, nullptr},  {0, 6, ERROR_SUCCESS, u"Alpha"}, {3, 500, ERROR_NO_MORE_ITEMS, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
    char16_t name[500] = {u'x'};
    DWORD cch = c.capacity;
    EXPECT_EQ(RegEnumKeyExW(vendor_.get(), c.index, name, &cch, nullptr, nullptr, nullptr, nullptr), c.expected);
    if (c.name) {
      EXPECT_EQ(std::u16string(name), c.name);
      EXPECT_EQ(cch, std::char_traits<char16_t>::length(c.name));
    } else {
      EXPECT_EQ(name[0], u'x');
      EXPECT_EQ(cch, c.capacity);
    }
  }
}

TEST_F(RegistryTest, AnsiOpenAndQueryConvertText) {
  Key key;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\VENDOR", 0, KEY_READ, key.out()), ERROR_SUCCESS);
  char text[16];
  std::memset(text, '#', sizeof text);
  DWORD type = 0, size = sizeof text;
  ASSERT_EQ(RegQueryValueExA(key.get(), "Path", nullptr, &type, reinterpret_cast<BYTE*>(text), &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, 5u);
  EXPECT_STREQ(text, "C:\\x");
  size = 4;
  EXPECT_EQ(RegQueryValueExA(key.get(), "Path", nullptr, &type, reinterpret_cast<BYTE*>(text), &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, 5u);
  size = 0;
  EXPECT_EQ(RegQueryValueExA(key.get(), "Count", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(RegQueryValueExA(key.get(), "Nothing", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, EveryChangeIsInSystemRegAtOnce) {
  auto doc = regf::read_reg_file(prefix_.system_reg());
  ASSERT_TRUE(doc) << doc.error().to_string();
  const regf::TreeKey hklm = machine_tree(*doc, 0);
  ASSERT_EQ(hklm.subkeys.size(), 1u);
  ASSERT_EQ(hklm.subkeys[0].subkeys.size(), 1u);
  const regf::TreeKey* tree = &hklm.subkeys[0].subkeys[0];
  EXPECT_EQ(tree->name, u"Vendor");
  ASSERT_EQ(tree->values.size(), 3u);
  EXPECT_EQ(tree->values[0].name, u"Path");
  EXPECT_EQ(tree->values[0].data, wide_bytes(u"C:\\x"));
  EXPECT_EQ(tree->values[1].data, (std::vector<BYTE>{7, 0, 0, 0}));
  ASSERT_EQ(tree->subkeys.size(), 3u);
  EXPECT_EQ(doc->encoding, regf::RegEncoding::kUtf8);
}

TEST_F(RegistryTest, SystemRegReadBackGivesTheSameRegistry) {
  const BYTE odd[] = {0x41, 0x00, 0x42};  // a string of odd size, without terminator
  const auto multi = wide_bytes(std::u16string(u"one\0two\0", 8));
  const uint64_t qword = 0x1122334455667788ull;
  ASSERT_EQ(RegSetValueExW(vendor_.get(), u"Odd", 0, REG_SZ, odd, 3), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(vendor_.get(), u"Multi", 0, REG_MULTI_SZ, multi.data(), DWORD(multi.size())),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(vendor_.get(), nullptr, 0, REG_QWORD, reinterpret_cast<const BYTE*>(&qword), 8),
            ERROR_SUCCESS);
  const auto written = read_bytes(prefix_.system_reg());

  // Another prefix and back: the registry is read from the file again.
  {
    ScopedPrefix other;
    Key none;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Vendor", 0, KEY_READ, none.out()), ERROR_FILE_NOT_FOUND);
  }
  Key key;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Vendor", 0, KEY_ALL_ACCESS, key.out()), ERROR_SUCCESS);
  struct Expected {
    const char16_t* name;
    DWORD type;
    std::vector<BYTE> data;
  };
  const Expected expected[] = {
      {u"Path", REG_SZ, wide_bytes(u"C:\\x")},
      {u"Count", REG_DWORD, {7, 0, 0, 0}},
      {u"Blob", REG_BINARY, {1, 2, 3}},
      {u"Odd", REG_SZ, {0x41, 0x00, 0x42}},
      {u"Multi", REG_MULTI_SZ, multi},
      {u"", REG_QWORD, {0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11}},
  };
  for (DWORD i = 0; i < std::size(expected); ++i) {
    char16_t name[64];
    BYTE data[64];
    DWORD cch = 64, cb = 64, type = 0;
    ASSERT_EQ(RegEnumValueW(key.get(), i, name, &cch, nullptr, &type, data, &cb), ERROR_SUCCESS) << i;
    EXPECT_EQ(std::u16string(name), expected[i].name);
    EXPECT_EQ(type, expected[i].type);
    EXPECT_EQ(std::vector<BYTE>(data, data + cb), expected[i].data);
  }
  // Writing what was read gives the file it was read from.
  ASSERT_EQ(RegSetValueExW(key.get(), u"Blob", 0, REG_BINARY, expected[2].data.data(), 3), ERROR_SUCCESS);
  EXPECT_EQ(read_bytes(prefix_.system_reg()), written);
}

TEST(RegistryFileTest, Utf16SystemRegStaysUtf16) {
  ScopedPrefix prefix;
  const regf::TreeKey hklm{u"HKEY_LOCAL_MACHINE", {}, 0, {}, {regf::TreeKey{u"Old", {}, 0, {{u"v", REG_DWORD, {1, 0, 0, 0}}}, {}}}};
  const regf::TreeKey hkcr{u"HKEY_CLASSES_ROOT", {}, 0, {}, {regf::TreeKey{u".txt", {}, 0, {{u"", REG_SZ, wide_bytes(u"txtfile")}}, {}}}};
  const regf::RegRoot roots[] = {{u"HKEY_LOCAL_MACHINE", &hklm}, {u"HKEY_CLASSES_ROOT", &hkcr}};
  auto text = regf::write_reg(roots, {regf::RegFormat::kRegedit5, regf::RegEncoding::kUtf16Le});
  ASSERT_TRUE(text);
  std::filesystem::create_directories(prefix.dir().file("prefix"));
  ASSERT_TRUE(write_bytes(prefix.system_reg(), *text));

  Key key;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"New", 0, nullptr, 0, KEY_WRITE, nullptr, key.out(), nullptr),
            ERROR_SUCCESS);
  const auto after = read_bytes(prefix.system_reg());
  ASSERT_GE(after.size(), 2u);
  EXPECT_EQ(after[0], 0xFF);
  EXPECT_EQ(after[1], 0xFE);
  auto doc = regf::parse_reg(after);
  ASSERT_TRUE(doc);
  EXPECT_EQ(doc->encoding, regf::RegEncoding::kUtf16Le);
  const regf::TreeKey hkcr_read = machine_tree(*doc, 1);
  const regf::TreeKey* classes = &hkcr_read;
  ASSERT_EQ(classes->subkeys.size(), 1u);
  EXPECT_EQ(classes->subkeys[0].values[0].data, wide_bytes(u"txtfile"));
  const regf::TreeKey hklm_read = machine_tree(*doc, 0);
  const regf::TreeKey* machine = &hklm_read;
  ASSERT_EQ(machine->subkeys.size(), 2u);
  EXPECT_EQ(machine->subkeys[0].name, u"New");
  EXPECT_EQ(machine->subkeys[1].name, u"Old");

  // HKEY_CLASSES_ROOT is read from the same file.
  char16_t data[16] = {};
  DWORD size = sizeof data;
  Key txt;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, u".TXT", 0, KEY_READ, txt.out()), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExW(txt.get(), nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(data), u"txtfile");
}

TEST(RegistryFileTest, ChangesMadeToTheFileByOthersAreSeen) {
  ScopedPrefix prefix;
  Key key;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Shared", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.out(),
                            nullptr),
            ERROR_SUCCESS);
  const std::string text =
      "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Shared]\r\n\"Edited\"=dword:00000005\r\n"
      "\r\n[HKEY_LOCAL_MACHINE\\Shared\\Sub]\r\n";
  ASSERT_TRUE(write_bytes(prefix.system_reg(), std::vector<uint8_t>(text.begin(), text.end())));
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
  const std::string without = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Other]\r\n";
  ASSERT_TRUE(write_bytes(prefix.system_reg(), std::vector<uint8_t>(without.begin(), without.end())));
  EXPECT_EQ(RegQueryValueExW(key.get(), u"Edited", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
}

TEST(RegistryFileTest, DamagedSystemRegIsReportedWithItsLineAndLeftUntouched) {
  ScopedPrefix prefix;
  Key made;  // creates the prefix
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Made", 0, nullptr, 0, KEY_READ, nullptr, made.out(), nullptr),
            ERROR_SUCCESS);
  const std::string text =
      "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Good]\r\n\"Bad\"=hex:4g\r\n";
  const std::vector<uint8_t> bytes(text.begin(), text.end());
  ASSERT_TRUE(write_bytes(prefix.system_reg(), bytes));

  testing::internal::CaptureStderr();
  Key key;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Good", 0, KEY_READ, key.out()), ERROR_BADDB);
  EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Other", 0, nullptr, 0, KEY_WRITE, nullptr, key.out(), nullptr),
            ERROR_BADDB);
  const DWORD one = 1;
  EXPECT_EQ(RegSetValueExW(HKEY_LOCAL_MACHINE, u"v", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4),
            ERROR_BADDB);
  const std::string errors = testing::internal::GetCapturedStderr();
  EXPECT_NE(errors.find("line 4"), std::string::npos) << errors;
  EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
  EXPECT_EQ(read_bytes(prefix.system_reg()), bytes);
}

}  // namespace
