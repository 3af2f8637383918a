#include "regf/regtext.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/unicode.h"
#include "regf/walk.h"
#include "tests/support/files.h"
#include "tests/support/hives.h"

namespace {

using namespace std::string_literals;
using regf::TreeKey;
using regf::TreeValue;
using namespace hivemend::testing;

std::vector<uint8_t> bytes_of(std::string_view s) { return {s.begin(), s.end()}; }
std::string text_of(const std::vector<uint8_t>& b) { return {b.begin(), b.end()}; }
std::vector<uint8_t> utf16le_with_bom(std::u16string_view s) {
  std::vector<uint8_t> out = {0xFF, 0xFE};
  for (uint8_t b : utf16(s, false)) out.push_back(b);
  return out;
}

constexpr std::string_view kHead = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\T]\r\n";

TEST(RegTextParse, EachValueForm) {
  const struct {
    const char* line;
    std::u16string name;
    uint32_t type;
    std::vector<uint8_t> data;
  } cases[] = {
      {"\"a\"=\"x\"", u"a", regf::kRegSz, {'x', 0, 0, 0}},
      {"@=\"\"", u"", regf::kRegSz, {0, 0}},
      {"\"p\"=\"C:\\\\PROGRA~1\\\\\\\"q\\\"\"", u"p", regf::kRegSz, utf16(u"C:\\PROGRA~1\\\"q\"")},
      {"\"u\"=\"\xc3\xa9\xe4\xb8\xad\"", u"u", regf::kRegSz, utf16(u"\u00e9\u4e2d")},
      {"\"d\"=dword:0000abcd", u"d", regf::kRegDword, {0xcd, 0xab, 0, 0}},
      {"\"d\"=dword:1", u"d", regf::kRegDword, {1, 0, 0, 0}},
      {"\"d\"=DWORD:FFFFFFFF", u"d", regf::kRegDword, {0xff, 0xff, 0xff, 0xff}},
      {"\"b\"=hex:00,ff,7", u"b", regf::kRegBinary, {0, 0xff, 7}},
      {"\"b\"=hex:", u"b", regf::kRegBinary, {}},
      {"\"n\"=hex(0):", u"n", regf::kRegNone, {}},
      {"\"s\"=hex(1):41,00", u"s", regf::kRegSz, {0x41, 0}},
      {"\"e\"=hex(2):25,00,00,00", u"e", regf::kRegExpandSz, {0x25, 0, 0, 0}},
      {"\"m\"=hex(7):61,00,00,00,00,00", u"m", regf::kRegMultiSz, {0x61, 0, 0, 0, 0, 0}},
      {"\"q\"=hex(b):01,02,03,04,05,06,07,08", u"q", regf::kRegQword, {1, 2, 3, 4, 5, 6, 7, 8}},
      {"\"x\"=hex(12345678):aa", u"x", 0x12345678, {0xaa}},
      {"\"w\"=hex:01,02,\\\r\n  03,04,\\\r\n  05", u"w", regf::kRegBinary, {1, 2, 3, 4, 5}},
      {"\"sp\" = \"v\"", u"sp", regf::kRegSz, {'v', 0, 0, 0}},
      {"\"a=b\"=\"\"", u"a=b", regf::kRegSz, {0, 0}},
      {"\"@\"=\"\"", u"@", regf::kRegSz, {0, 0}},
      {"\"nl\\n\\u0000\\ud800\"=\"\"", u"nl\n\0\xd800"s, regf::kRegSz, {0, 0}},
      {"\"keep\"=\"C:\\Windows\"", u"keep", regf::kRegSz, utf16(u"C:\\Windows")},
  };
  for (const auto& c : cases) {
    const std::string text = std::string(kHead) + c.line + "\r\n";
    auto doc = regf::parse_reg(bytes_of(text));
    ASSERT_TRUE(doc.ok()) << c.line << ": " << doc.error().to_string();
    ASSERT_EQ(doc->entries.size(), 1u) << c.line;
    ASSERT_EQ(doc->entries[0].values.size(), 1u) << c.line;
    const TreeValue& v = doc->entries[0].values[0];
    EXPECT_EQ(v.name, c.name) << c.line;
    EXPECT_EQ(v.type, c.type) << c.line;
    EXPECT_EQ(v.data, c.data) << c.line;
  }
}

TEST(RegTextParse, BadLinesNameTheirLine) {
  const struct {
    std::string text;
    std::string error;
  } cases[] = {
      {"", "line 1: empty file"},
      {"REGEDIT5\r\n", "line 1: not a registry file"},
      {"\r\n\r\nWindows Registry Editor Version 4.00\r\n", "line 3: not a registry file"},
      {std::string(kHead) + "junk\r\n", "line 4: expected [key]"},
      {"REGEDIT4\r\n\"a\"=\"b\"\r\n", "line 2: value line before the first [key]"},
      {std::string(kHead) + "\"a\"=dword:123456789\r\n", "line 4: dword data needs 1 to 8"},
      {std::string(kHead) + "\"a\"=dword:12x4\r\n", "line 4: dword data is not hexadecimal"},
      {std::string(kHead) + "\r\n\"a\"=hex:01,zz,03\r\n", "line 5: bad hex byte \"zz\""},
      {std::string(kHead) + "\"a\"=hex:01,,03\r\n", "line 4: bad hex byte \"\""},
      {std::string(kHead) + "\"a\"=hex:123\r\n", "line 4: bad hex byte \"123\""},
      {std::string(kHead) + "\"a\"=hex(2x):00\r\n", "line 4: hex(N): type is not hex"},
      {std::string(kHead) + "\"a\"=hex(123456789):00\r\n", "line 4: hex(N): needs a type"},
      {std::string(kHead) + "\"a\"=hex;00\r\n", "line 4: expected ':' after hex"},
      {std::string(kHead) + "\"a\"=hex:01,\\\r\n", "line 4: hex data continues past the end"},
      {std::string(kHead) + "\"a\"=hex:01,\\\r\n  02,\\\r\n  0g\r\n", "line 6: bad hex byte \"0g\""},
      {std::string(kHead) + "\"a\"=\"b\r\n", "line 4: string data without its closing quote"},
      {std::string(kHead) + "\"a\"=\"b\" x\r\n", "line 4: text after the closing quote"},
      {std::string(kHead) + "\"a\"=b\r\n", "line 4: unknown value data"},
      {std::string(kHead) + "\"a\r\n", "line 4: value name without its closing quote"},
      {std::string(kHead) + "\"a\" \"b\"\r\n", "line 4: expected '=' after the value name"},
      {std::string(kHead) + "\"a\"=qword:1\r\n", "line 4: unknown value data"},
      {std::string(kHead) + "[HKEY_LOCAL_MACHINE\\U\r\n", "line 4: key line without a closing ']'"},
      {std::string(kHead) + "[HKEY_LOCAL_MACHINE\\U] x\r\n", "line 4: text after the closing ']'"},
      {std::string(kHead) + "[]\r\n", "line 4: empty key path"},
      {std::string(kHead) + "[A\\\\12]\r\n", "line 4: escaped key name needs 4 hex digits"},
      {std::string(kHead) + "[-HKEY_LOCAL_MACHINE\\U]\r\n\"a\"=\"b\"\r\n",
       "line 5: value line in a section that deletes its key"},
      {std::string(kHead) + "\"ok\"=\"\"\r\n\"bad\"=\"\xff\"\r\n", "line 5: text is not valid UTF-8"},
      {"REGEDIT4\r\n\r\n[A]\r\n\"e\"=hex(2):ff,00\r\n", "line 4: 8-bit text of hex(2)/hex(7)"},
      {text_of(utf16le_with_bom(u"REGEDIT4")) + "A", "UTF-16 text with an odd number of bytes"},
  };
  for (const auto& c : cases) {
    auto doc = regf::parse_reg(bytes_of(c.text), "in.reg");
    ASSERT_FALSE(doc.ok()) << c.text;
    EXPECT_EQ(doc.error().file, "in.reg");
    EXPECT_EQ(doc.error().to_string().rfind("in.reg: " + c.error, 0), 0u)
        << "got: " << doc.error().to_string() << "\nwant: " << c.error;
    EXPECT_EQ(doc.error().to_string().find('\n'), std::string::npos);
  }
}

// REGEDIT4 in UTF-8, with CR LF or line feeds alone as a Linux editor leaves them (the
// Regedit 5 encodings are read back by the round trip below).
TEST(RegTextParse, Regedit4) {
  const struct {
    std::string text;
    std::vector<uint8_t> expand_data;
  } cases[] = {
      // REGEDIT4 widens 8-bit hex(2) text.
      {"REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\A\\\xe4\xb8\xad]\r\n\"n\"=\"\xc3\xa9\"\r\n\"e\"=hex(2):41,00,00,00\r\n",
       {0x41, 0, 0, 0, 0, 0, 0, 0}},
      {"REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A\\\xe4\xb8\xad]\n\"n\"=\"\xc3\xa9\"\n\"e\"=hex(2):41,00\n", {0x41, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto doc = regf::parse_reg(bytes_of(c.text));
    ASSERT_TRUE(doc.ok()) << doc.error().to_string();
    EXPECT_EQ(doc->encoding, regf::RegEncoding::kUtf8);
    EXPECT_EQ(doc->format, regf::RegFormat::kRegedit4);
    ASSERT_EQ(doc->entries.size(), 1u);
    const auto& e = doc->entries[0];
    EXPECT_EQ(e.line, 3u);
    EXPECT_EQ(e.path, (std::vector<std::u16string>{u"HKEY_LOCAL_MACHINE", u"A", u"\u4e2d"}));
    ASSERT_EQ(e.values.size(), 2u);
    EXPECT_EQ(e.values[0].data, utf16(u"\u00e9"));
    EXPECT_EQ(e.values[1].data, c.expand_data);
  }
}

TEST(RegTextPath, SplitAndJoin) {
  struct Case {
    std::u16string text;
    std::vector<std::u16string> path;
    bool canonical;  // join gives the text back
  } cases[] = {
      {u"HKEY_LOCAL_MACHINE", {u"HKEY_LOCAL_MACHINE"}, true},
      {u"HKEY_LOCAL_MACHINE\\SYSTEM\\Select", {u"HKEY_LOCAL_MACHINE", u"SYSTEM", u"Select"}, true},
      {u"A\\B\\", {u"A", u"B"}, false},
      {u"A\\ x ]\\-y", {u"A", u" x ]", u"-y"}, true},
      {u"A\\\\0061d800", {u"A", u"a\xd800"s}, true},
      {u"A\\\\005c", {u"A", u"\\"}, true},
      {u"A\\\\\\B", {u"A", u"", u"B"}, true},
      {u"A\\\\", {u"A", u""}, true},
      {u"\\000a\\B", {u"\n", u"B"}, true},
      {u"\\002d0041\\B", {u"-A", u"B"}, true},  // "[-" would read as a deletion
      {u"A\\\U0001F600", {u"A", u"\U0001F600"}, true},
  };
  for (const auto& c : cases) {
    auto path = regf::split_key_path(c.text);
    ASSERT_TRUE(path.ok()) << base::to_utf8(c.text);
    EXPECT_EQ(*path, c.path) << base::to_utf8(c.text);
    if (c.canonical) { EXPECT_EQ(regf::join_key_path(c.path), c.text); }
  }
}

TEST(RegTextWrite, ValueLinesFollowRegedit) {
  const struct {
    TreeValue value;
    std::u16string line;
  } cases[] = {
      {{u"", regf::kRegSz, utf16(u"x")}, u"@=\"x\""},
      {{u"q\"\\", regf::kRegSz, utf16(u"a\\\"b")}, u"\"q\\\"\\\\\"=\"a\\\\\\\"b\""},
      {{u"d", regf::kRegDword, {0x78, 0x56, 0x34, 0x12}}, u"\"d\"=dword:12345678"},
      {{u"d3", regf::kRegDword, {1, 2, 3}}, u"\"d3\"=hex(4):01,02,03"},
      {{u"d5", regf::kRegDword, {1, 2, 3, 4, 5}}, u"\"d5\"=hex(4):01,02,03,04,05"},
      {{u"b", regf::kRegBinary, {0xab, 0}}, u"\"b\"=hex:ab,00"},
      {{u"b0", regf::kRegBinary, {}}, u"\"b0\"=hex:"},
      {{u"n", regf::kRegNone, {1}}, u"\"n\"=hex(0):01"},
      {{u"e", regf::kRegExpandSz, utf16(u"%x%")}, u"\"e\"=hex(2):25,00,78,00,25,00,00,00"},
      {{u"m", regf::kRegMultiSz, utf16(u"a\0"s)}, u"\"m\"=hex(7):61,00,00,00,00,00"},
      {{u"q", regf::kRegQword, {1, 0, 0, 0, 0, 0, 0, 0}}, u"\"q\"=hex(b):01,00,00,00,00,00,00,00"},
      {{u"t", 0xffff0001, {}}, u"\"t\"=hex(ffff0001):"},
      // REG_SZ whose bytes are not text plus one NUL keeps its bytes as hex(1).
      {{u"odd", regf::kRegSz, {0x41, 0, 0x42}}, u"\"odd\"=hex(1):41,00,42"},
      {{u"unterminated", regf::kRegSz, utf16(u"ab", false)}, u"\"unterminated\"=hex(1):61,00,62,00"},
      {{u"nul", regf::kRegSz, utf16(u"a\0b"s)}, u"\"nul\"=hex(1):61,00,00,00,62,00,00,00"},
      {{u"two", regf::kRegSz, utf16(u"a\0"s)}, u"\"two\"=hex(1):61,00,00,00,00,00"},
      {{u"empty", regf::kRegSz, {}}, u"\"empty\"=hex(1):"},
      {{u"lf", regf::kRegSz, utf16(u"a\nb")}, u"\"lf\"=hex(1):61,00,0a,00,62,00,00,00"},
      {{u"half", regf::kRegSz, utf16(u"\xdc00")}, u"\"half\"=hex(1):00,dc,00,00"},
      {{u"pair", regf::kRegSz, utf16(u"\U0001F600")}, u"\"pair\"=\"\U0001F600\""},
      {{u"c\r\x01\xd800", regf::kRegBinary, {}}, u"\"c\\u000d\\u0001\\ud800\"=hex:"},
      {{u"\u00e9\u4e2d", regf::kRegSz, utf16(u"\u00fc")}, u"\"\u00e9\u4e2d\"=\"\u00fc\""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(base::to_utf8(regf::format_reg_value(c.value)), base::to_utf8(c.line));
    std::string utf8 = "before ";
    regf::append_reg_value_utf8(utf8, c.value);
    EXPECT_EQ(utf8, "before " + base::to_utf8(c.line));
  }
}

TEST(RegTextWrite, DocumentLayoutAndWrapping) {
  TreeKey root;
  root.values.push_back({u"", regf::kRegSz, utf16(u"d")});
  std::vector<uint8_t> long_data(60);
  for (size_t i = 0; i < long_data.size(); ++i) long_data[i] = uint8_t(i);
  root.values.push_back({u"Test", regf::kRegBinary, long_data});
  TreeKey sub;
  sub.name = u"Sub";
  root.subkeys.push_back(sub);
  const regf::RegRoot roots[] = {{u"HKEY_LOCAL_MACHINE\\X", &root}};
  auto out = regf::write_reg(roots);
  ASSERT_TRUE(out.ok());
  // "Test"=hex: is 11 characters; a line breaks once it reaches 77 after a comma.
  EXPECT_EQ(text_of(*out),
            "Windows Registry Editor Version 5.00\r\n"
            "\r\n"
            "[HKEY_LOCAL_MACHINE\\X]\r\n"
            "@=\"d\"\r\n"
            "\"Test\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\r\n"
            "  16,17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27,28,29,2a,2b,2c,2d,2e,\\\r\n"
            "  2f,30,31,32,33,34,35,36,37,38,39,3a,3b\r\n"
            "\r\n"
            "[HKEY_LOCAL_MACHINE\\X\\Sub]\r\n"
            "\r\n");

  auto v4 = regf::write_reg(roots, {regf::RegFormat::kRegedit4, regf::RegEncoding::kUtf8});
  ASSERT_TRUE(v4.ok());
  EXPECT_EQ(text_of(*v4).rfind("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\X]\r\n", 0), 0u);

  auto v16 = regf::write_reg(roots, {regf::RegFormat::kRegedit5, regf::RegEncoding::kUtf16Le});
  ASSERT_TRUE(v16.ok());
  EXPECT_EQ(*v16, utf16le_with_bom(base::from_utf8(text_of(*out))));

  auto bom = regf::write_reg(roots, {regf::RegFormat::kRegedit5, regf::RegEncoding::kUtf8Bom});
  ASSERT_TRUE(bom.ok());
  EXPECT_EQ(text_of(*bom), "\xef\xbb\xbf" + text_of(*out));

  EXPECT_FALSE(regf::write_reg(roots, {regf::RegFormat::kRegedit4, regf::RegEncoding::kUtf16Le}).ok());
}

TEST(RegTextWrite, Regedit4RefusesWhatItCannotCarry) {
  const struct {
    std::vector<uint8_t> data;
    bool ok;
  } cases[] = {
      {utf16(u"%SystemRoot%"), true},
      {{0x41, 0x00, 0x42}, false},  // odd length
      {utf16(u"\xd800"), false},    // unpaired surrogate
  };
  for (const auto& c : cases) {
    TreeKey root;
    root.values.push_back({u"e", regf::kRegExpandSz, c.data});
    const regf::RegRoot roots[] = {{u"HKEY_LOCAL_MACHINE\\X", &root}};
    auto out = regf::write_reg(roots, {regf::RegFormat::kRegedit4, regf::RegEncoding::kUtf8});
    EXPECT_EQ(out.ok(), c.ok);
    if (!out.ok()) {
      EXPECT_NE(out.error().message.find("key HKEY_LOCAL_MACHINE\\X: value \"e\""), std::string::npos);
      continue;
    }
    auto doc = regf::parse_reg(*out);
    ASSERT_TRUE(doc.ok()) << doc.error().to_string();
    EXPECT_EQ(doc->entries.at(0).values.at(0).data, c.data);
  }
}

TreeKey awkward_tree() {
  TreeKey root;
  root.name = u"ignored";
  root.values = {
      {u"", regf::kRegSz, utf16(u"default")},
      {u"odd", regf::kRegSz, {0x41, 0, 0x42}},
      {u"noterm", regf::kRegSz, utf16(u"abc", false)},
      {u"embedded", regf::kRegSz, utf16(u"a\0b"s)},
      {u"empty sz", regf::kRegSz, {}},
      {u"crlf", regf::kRegSz, utf16(u"a\r\nb")},
      {u"d0", regf::kRegDword, {}},
      {u"d2", regf::kRegDword, {1, 2}},
      {u"d8", regf::kRegDword, {1, 2, 3, 4, 5, 6, 7, 8}},
      {u"dbe", regf::kRegDwordBigEndian, {0, 0, 0, 1}},
      {u"q", regf::kRegQword, {9, 8, 7, 6, 5, 4, 3, 2}},
      {u"e odd", regf::kRegExpandSz, {0x25, 0, 0x25}},
      {u"m", regf::kRegMultiSz, utf16(u"one\0two\0"s)},
      {u"big type", 0x7fffffff, {0xde, 0xad}},
      {u"\"quoted\\name\"", regf::kRegBinary, std::vector<uint8_t>(300, 0x5a)},
      {u"ctl\t\n\r\x01\xdc00\xd800x", regf::kRegNone, {}},
      {u"@", regf::kRegSz, utf16(u"at")},
      {u"\u00fcber \U0001F600", regf::kRegSz, utf16(u"C:\\PROGRA~1\\\u00dcBER~1")},
  };
  TreeKey empty_name;  // empty key name and names Windows would refuse
  empty_name.values = {{u"v", regf::kRegBinary, {1}}};
  TreeKey nested;
  nested.name = u"back\\slash";
  nested.subkeys.push_back(TreeKey{u"line\nbreak", {}, 0, {}, {}});
  nested.subkeys.push_back(TreeKey{u"\xd800half", {}, 0, {}, {}});
  empty_name.subkeys.push_back(nested);
  root.subkeys.push_back(empty_name);
  root.subkeys.push_back(TreeKey{u"ends]", {}, 0, {{u"x", regf::kRegSz, utf16(u"]")}}, {}});
  root.subkeys.push_back(TreeKey{u" spaced ", {}, 0, {}, {}});
  root.subkeys.push_back(TreeKey{u"-dash", {}, 0, {}, {}});
  return root;
}

TEST(RegTextRoundTrip, AwkwardValuesSurviveEveryEncoding) {
  const TreeKey tree = awkward_tree();
  const regf::RegRoot roots[] = {{u"HKEY_LOCAL_MACHINE\\Hive", &tree}};
  for (const auto encoding : {regf::RegEncoding::kUtf8, regf::RegEncoding::kUtf8Bom, regf::RegEncoding::kUtf16Le}) {
    SCOPED_TRACE(int(encoding));
    auto bytes = regf::write_reg(roots, {regf::RegFormat::kRegedit5, encoding});
    ASSERT_TRUE(bytes.ok()) << bytes.error().to_string();
    auto doc = regf::parse_reg(*bytes, "round.reg");
    ASSERT_TRUE(doc.ok()) << doc.error().to_string();
    EXPECT_EQ(doc->encoding, encoding);
    EXPECT_EQ(doc->format, regf::RegFormat::kRegedit5);
    EXPECT_EQ(doc->entries.at(0).line, 3u);
    auto back = regf::reg_subtree(*doc, u"hkey_local_machine\\HIVE");
    ASSERT_TRUE(back.ok()) << back.error().to_string();
    EXPECT_EQ(back->name, u"HIVE");
    EXPECT_EQ(tree_difference(tree, *back), "");
  }
}

TEST(RegTextSubtree, MergesDeletesAndChecksRoots) {
  const std::string text =
      "Windows Registry Editor Version 5.00\r\n"
      "\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\A]\r\n"  // 3
      "\"v\"=\"1\"\r\n"
      "\"gone\"=dword:00000001\r\n"
      "\r\n"
      "[HKEY_CLASSES_ROOT\\.txt]\r\n"  // 7
      "@=\"txtfile\"\r\n"
      "\r\n"
      "[hkey_local_machine\\SOFTWARE\\a\\Deep\\Er]\r\n"  // 10
      "\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\A]\r\n"  // 12
      "\"V\"=\"2\"\r\n"
      "\"gone\"=-\r\n"
      "\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\B]\r\n"            // 16
      "[-HKEY_LOCAL_MACHINE\\Software\\B]\r\n"           // 17
      "[-HKEY_LOCAL_MACHINE\\Software\\Missing\\X]\r\n"  // 18
      "[HKEY_USERS\\S-1-5-18]\r\n";                      // 19
  auto doc = regf::parse_reg(bytes_of(text), "system.reg");
  ASSERT_TRUE(doc.ok()) << doc.error().to_string();
  ASSERT_EQ(doc->entries.size(), 8u);
  EXPECT_EQ(doc->entries[3].line, 12u);
  EXPECT_EQ(doc->entries[3].deleted_values, std::vector<std::u16string>{u"gone"});

  // HKEY_USERS is outside both roots: the error names its line.
  const std::u16string two[] = {u"HKEY_LOCAL_MACHINE", u"HKEY_CLASSES_ROOT"};
  auto all = regf::reg_subtrees(*doc, two, "system.reg");
  ASSERT_FALSE(all.ok());
  EXPECT_EQ(all.error().to_string(),
            "system.reg: line 19: key HKEY_USERS\\S-1-5-18 lies outside HKEY_LOCAL_MACHINE or "
            "HKEY_CLASSES_ROOT");

  doc->entries.pop_back();
  all = regf::reg_subtrees(*doc, two, "system.reg");
  ASSERT_TRUE(all.ok()) << all.error().to_string();
  const TreeKey& hklm = (*all)[0];
  const TreeKey& hkcr = (*all)[1];
  EXPECT_EQ(hklm.name, u"HKEY_LOCAL_MACHINE");
  ASSERT_EQ(hklm.subkeys.size(), 1u);  // Software; B was deleted
  const TreeKey& a = hklm.subkeys[0].subkeys.at(0);
  EXPECT_EQ(hklm.subkeys[0].subkeys.size(), 1u);
  EXPECT_EQ(a.name, u"A");
  ASSERT_EQ(a.values.size(), 1u);  // "gone" deleted, "v" replaced by "V"
  EXPECT_EQ(a.values[0].name, u"V");
  EXPECT_EQ(a.values[0].data, utf16(u"2"));
  ASSERT_EQ(a.subkeys.size(), 1u);
  EXPECT_EQ(a.subkeys[0].name, u"Deep");
  EXPECT_EQ(a.subkeys[0].subkeys.at(0).name, u"Er");
  ASSERT_EQ(hkcr.subkeys.size(), 1u);
  EXPECT_EQ(hkcr.subkeys[0].values.at(0).data, utf16(u"txtfile"));

  // Only HKLM asked for: the HKEY_CLASSES_ROOT key on line 7 is outside it.
  auto one = regf::reg_subtree(*doc, u"HKEY_LOCAL_MACHINE\\Software", "system.reg");
  ASSERT_FALSE(one.ok());
  EXPECT_NE(one.error().to_string().find("line 7: key HKEY_CLASSES_ROOT\\.txt lies outside"), std::string::npos);
}

}  // namespace
