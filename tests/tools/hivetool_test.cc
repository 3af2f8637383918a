// hivetool as users meet it: the built program run on real and damaged hive files.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "base/unicode.h"
#include "regf/hive.h"
#include "regf/node.h"
#include "regf/regtext.h"
#include "tests/support/files.h"
#include "tests/support/hives.h"
#include "tests/support/hivexml.h"
#include "tests/support/programs.h"

namespace {

using namespace hivemend::testing;

using ToolRun = ProgramRun;
std::string first_line(const std::string& text) { return text.substr(0, text.find('\n')); }

// One folder for the whole suite: the shared hives are unpacked once.
class HivetoolTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = std::make_unique<TempDir>();
    // A user hive whose last write did not finish, once alone (its logs are not
    // unpacked) and once with its two transaction logs beside it, as Windows left them.
    const std::pair<std::string, std::string> files[] = {{"SYSTEM", "SYSTEM"},
                                                         {"corrupted_system_hive", "corrupted_system_hive"},
                                                         {"transactions_NTUSER.DAT", "NTUSER.DAT"},
                                                         {"transactions_NTUSER.DAT", "logs/NTUSER.DAT"},
                                                         {"transactions_NTUSER.DAT.LOG1", "logs/NTUSER.DAT.LOG1"},
                                                         {"transactions_NTUSER.DAT.LOG2", "logs/NTUSER.DAT.LOG2"}};
    for (const auto& [name, file] : files) ASSERT_TRUE(unpack_hive(name, at(file))) << name;
    const std::string system = read_text(at("SYSTEM"));
    write_text(at("truncated"), system.substr(0, 3000));
    write_text(at("wrongsig"), std::string("rggf").append(system, 4, 8192));
    // Base blocks without logs to restore them: one whose checksum alone is wrong (its
    // file name "SYSTEM" became "sYSTEM"), one torn to version 1.1 under a right checksum.
    std::string badsum = system;
    badsum[48] = 's';
    write_text(at("badsum"), badsum);
    std::string torn = system;
    torn[24] = 1;
    torn[508] ^= 5 ^ 1;
    write_text(at("torn"), torn);
  }
  static void TearDownTestSuite() { dir_.reset(); }

  static std::string at(const std::string& name) { return dir_->path(name); }

  // Runs hivetool with `args` (already quoted for the shell) from the test folder.
  static ToolRun hivetool(const std::string& args) {
    const std::string cmd = "cd '" + dir_->root() + "' && '" HIVEMEND_BIN_DIR "/hivetool' " + args + " > '" +
                            at("stdout") + "' 2> '" + at("stderr") + "'";
    const int status = std::system(cmd.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_text(at("stdout")), read_text(at("stderr"))};
  }

  static inline std::unique_ptr<TempDir> dir_;
};

TEST_F(HivetoolTest, ExitCodesAndFirstLines) {
  write_text(at("bad.reg"),
             "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\X]\r\n\"a\"=hex:01,zz\r\n");
  write_text(at("notreg.reg"), "hello\r\n");
  write_text(at("nokeys.reg"), "REGEDIT4\r\n\r\n");
  write_text(at("outside.reg"), "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\X]\r\n[HKEY_LOCAL_MACHINE\\Y\\Z]\r\n");
  const struct {
    std::string args;
    int exit_code;
    std::string out_line;  // first line of standard output ("" when none expected)
    std::string err_line;  // first line of standard error ("" when none expected)
  } cases[] = {
      {"--help", 0, "usage: hivetool COMMAND ARGS... (hivetool COMMAND --help for details)", ""},
      {"", 2, "", "usage: hivetool COMMAND ARGS... (hivetool COMMAND --help for details)"},
      {"frob", 2, "", "hivetool: unknown command \"frob\" (see hivetool --help)"},
      {"export --help", 0, "usage: hivetool export HIVE [--prefix ROOT] [--no-recover]", ""},
      {"import --help", 0, "usage: hivetool import FILE.reg HIVE [--prefix ROOT]", ""},
      {"apply --help", 0, "usage: hivetool apply FILE.reg HIVE [--prefix ROOT]", ""},
      {"check --help", 0, "usage: hivetool check HIVE [--no-recover]", ""},
      {"diff --help", 0, "usage: hivetool diff A B [--prefix ROOT] [--no-recover]", ""},
      {"export", 2, "", "hivetool: export: expected 1 argument: hivetool export HIVE [--prefix ROOT] [--no-recover]"},
      {"diff SYSTEM", 2, "", "hivetool: diff: expected 2 arguments: hivetool diff A B [--prefix ROOT] [--no-recover]"},
      {"export SYSTEM --bogus", 2, "", "hivetool: export: unknown option --bogus (see hivetool export --help)"},
      {"check SYSTEM --prefix X", 2, "", "hivetool: check: unknown option --prefix (see hivetool check --help)"},
      {"export SYSTEM --prefix", 2, "", "hivetool: export: option --prefix needs a ROOT"},
      {"export missing", 2, "", "hivetool: missing: cannot open file"},
      {"export truncated", 2, "", "hivetool: truncated: offset 0xbb8: file too short for a base block"},
      {"check wrongsig", 2, "", "hivetool: wrongsig: offset 0x0: not a hive file: no \"regf\" signature"},
      {"diff SYSTEM wrongsig", 2, "", "hivetool: wrongsig: offset 0x0: not a hive file: no \"regf\" signature"},
      {"check SYSTEM", 0, "SYSTEM: 30756 keys, 73456 values", ""},
      {"check corrupted_system_hive", 1, "corrupted_system_hive: 1687 keys, 5615 values", ""},
      {"export corrupted_system_hive", 2, "",
       "hivetool: corrupted_system_hive: offset 0x99308: ControlSet001\\Control\\Biosinfo: "
       "offset is not the start of a cell"},
      {"export NTUSER.DAT", 0, "Windows Registry Editor Version 5.00\r",
       "hivetool: NTUSER.DAT: warning: the hive is dirty; its transaction logs may hold newer "
       "data that was not applied"},
      {"check NTUSER.DAT", 0, "NTUSER.DAT: 2590 keys, 4119 values", ""},
      {"export badsum", 0, "Windows Registry Editor Version 5.00\r",
       "hivetool: badsum: warning: base block invalid (wrong base block checksum (stored 0x380a5a8f, computed "
       "0x380a5aaf)) and no transaction log restores it: no usable transaction log; read as it stands"},
      {"check torn", 2, "", "hivetool: torn: offset 0x14: unsupported format version 1.1"},
      {"import bad.reg out.hive", 2, "", "hivetool: bad.reg: line 4: bad hex byte \"zz\" (expected two hex digits)"},
      {"import notreg.reg out.hive", 2, "",
       "hivetool: notreg.reg: line 1: not a registry file: expected \"Windows Registry Editor "
       "Version 5.00\" or \"REGEDIT4\""},
      {"import nokeys.reg out.hive", 2, "", "hivetool: nokeys.reg: no [key] line: nothing to import"},
      {"import outside.reg out.hive", 2, "",
       "hivetool: outside.reg: line 4: key HKEY_LOCAL_MACHINE\\Y\\Z lies outside HKEY_LOCAL_MACHINE\\X"},
      {"import missing.reg out.hive", 2, "", "hivetool: missing.reg: cannot open: No such file or directory"},
      {"diff SYSTEM SYSTEM", 0, "", ""},
      {"apply outside.reg SYSTEM", 2, "",
       "hivetool: outside.reg: line 3: key HKEY_LOCAL_MACHINE\\X lies outside HKEY_LOCAL_MACHINE\\SYSTEM"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    const ToolRun r = hivetool(c.args);
    EXPECT_EQ(r.exit_code, c.exit_code) << r.err;
    if (!c.out_line.empty()) { EXPECT_EQ(first_line(r.out), c.out_line); }
    EXPECT_EQ(c.err_line.empty() ? r.err : first_line(r.err), c.err_line);
    // An error is one line; only a missing command shows the whole usage.
    if (!c.err_line.empty() && !c.err_line.starts_with("usage:")) { EXPECT_EQ(r.err.find('\n'), r.err.size() - 1); }
  }
  EXPECT_FALSE(std::filesystem::exists(at("out.hive")));  // no failed import leaves a file behind
}

TEST_F(HivetoolTest, ApplyChangesOnlyWhatTheFileSays) {
  std::filesystem::copy_file(at("SYSTEM"), at("applied"), std::filesystem::copy_options::overwrite_existing);
  write_text(at("patch.reg"),
             "Windows Registry Editor Version 5.00\r\n\r\n"
             "[HKEY_LOCAL_MACHINE\\SYSTEM\\Select]\r\n\"Current\"=dword:00000002\r\n"
             "\"Added\"=\"C:\\\\x\"\r\n\"Failed\"=-\r\n\"Absent\"=-\r\n\r\n"
             "[-HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\services\\Tcpip]\r\n"
             "[-HKEY_LOCAL_MACHINE\\SYSTEM\\Nowhere\\x]\r\n"
             "[HKEY_LOCAL_MACHINE\\SYSTEM\\New\\Deeper]\r\n@=dword:00000005\r\n");
  const ToolRun applied = hivetool("apply patch.reg applied --prefix 'HKEY_LOCAL_MACHINE\\SYSTEM'");
  ASSERT_EQ(applied.exit_code, 0) << applied.err;
  EXPECT_EQ(applied.out, "applied: 3 values set, 1 value deleted, 1 key deleted\n");
  EXPECT_EQ(std::filesystem::file_size(at("applied")), std::filesystem::file_size(at("SYSTEM")));
  const ToolRun diff = hivetool("diff SYSTEM applied");
  EXPECT_EQ(diff.out,
            "-[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\services\\Tcpip]\n"
            " [HKEY_LOCAL_MACHINE\\SYSTEM\\Select]\n"
            "-\"Current\"=dword:00000001\n+\"Current\"=dword:00000002\n"
            "-\"Failed\"=dword:00000000\n+\"Added\"=\"C:\\\\x\"\n"
            "+[HKEY_LOCAL_MACHINE\\SYSTEM\\New]\n");
  EXPECT_EQ(hivetool("check applied").exit_code, 0);
  const auto tree = read_hive(at("applied"));
  ASSERT_TRUE(tree);
  EXPECT_EQ(hivexml_differences(at("applied"), *tree), std::vector<std::string>{});
}

// Files that only delete keys, read back from the file on disk: only the named keys go,
// their siblings in the same list stay, and a security record a deleted key shared stays
// allocated with one user fewer (in SYSTEM each ControlSet001 key shares its record with
// its ControlSet002 twin alone).
TEST_F(HivetoolTest, ApplyDeletesOnlyTheNamedKeys) {
  const std::string services = "HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\services\\";
  const struct {
    const char* name;
    std::vector<std::string> deleted;  // below services, in file order
    std::string twin;                  // a key sharing the security record of the first
  } cases[] = {
      {"one key", {"Tcpip"}, "ControlSet002\\services\\Tcpip"},
      // Ntfs is the middle one of the 467: a binary search of the list looks at it first.
      {"siblings: the middle, the first, two side by side, the last",
       {"Ntfs", ".NET CLR Data", "TCPIP6", "TCPIP6TUNNEL", "{6AAFC9A9-0542-4DB2-8760-CCFFA953737C}"},
       ""},
      {"a key without subkeys", {"vds\\Alignment"}, "ControlSet002\\services\\vds\\Alignment"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::copy_file(at("SYSTEM"), at("applied"), std::filesystem::copy_options::overwrite_existing);
    std::string reg = "Windows Registry Editor Version 5.00\r\n\r\n", removed;
    for (const auto& key : c.deleted) reg += "[-" + services + key + "]\r\n";
    std::vector<std::string> stored = c.deleted;  // as diff lists them
    std::sort(stored.begin(), stored.end(), [](const std::string& a, const std::string& b) {
      return base::compare_nocase(base::from_utf8(a), base::from_utf8(b)) < 0;
    });
    for (const auto& key : stored) removed += "-[" + services + key + "]\n";
    write_text(at("delete.reg"), reg);
    const ToolRun applied = hivetool("apply delete.reg applied --prefix 'HKEY_LOCAL_MACHINE\\SYSTEM'");
    ASSERT_EQ(applied.exit_code, 0) << applied.err;
    EXPECT_EQ(applied.out, "applied: 0 values set, 0 values deleted, " + std::to_string(c.deleted.size()) +
                               (c.deleted.size() == 1 ? " key deleted\n" : " keys deleted\n"));
    EXPECT_EQ(hivetool("diff SYSTEM applied").out, removed);
    const ToolRun check = hivetool("check applied");
    EXPECT_EQ(check.exit_code, 0) << check.out;
    const auto tree = read_hive(at("applied"));
    ASSERT_TRUE(tree);
    EXPECT_EQ(hivexml_differences(at("applied"), *tree), std::vector<std::string>{});
    if (c.twin.empty()) continue;
    auto hive = regf::Hive::open_file(at("applied"));
    ASSERT_TRUE(hive);
    regf::KeyRef twin = hive->root();
    const auto names = regf::split_key_path(base::from_utf8(c.twin));
    for (const auto& name : *names) twin = **hive->find_subkey(twin, name);
    auto record =
        hive->record(regf::load_u32(&(*hive->cell(twin.cell))[regf::nk::kSecurity]), "sk", regf::sk::kMinSize);
    ASSERT_TRUE(record) << record.error().to_string();
    EXPECT_EQ(regf::load_u32(&(*record)[regf::sk::kReferenceCount]), 1u);
  }
}

// (The recovery report's lines are pinned by the recovery tests; here it is printed.)
TEST_F(HivetoolTest, DirtyHiveIsRecoveredFromItsLogsUnlessTold) {
  const struct {
    std::string args, out_line;
    std::vector<std::string> out_has;
    std::string err;
  } cases[] = {
      {"check logs/NTUSER.DAT",
       "logs/NTUSER.DAT: 3105 keys, 4695 values",
       {"log NTUSER.DAT.LOG1: new format, base block valid (sequence 566); entries: 23 valid, 23 applied",
        "recovery complete\n", "damage: none\n"},
       ""},
      {"check --no-recover logs/NTUSER.DAT",
       "logs/NTUSER.DAT: 2590 keys, 4119 values",
       {"state: dirty (transaction logs not applied: --no-recover)\n"},
       ""},
      {"check badsum",
       "badsum: 30756 keys, 73456 values",
       {"state: dirty, read as it stands: base block invalid (wrong base block checksum"},
       ""},
      {"export logs/NTUSER.DAT",
       "Windows Registry Editor Version 5.00\r",
       {"[HKEY_LOCAL_MACHINE\\NTUSER.DAT\\Software\\Microsoft\\Payment\\PaymentApps]"},
       "hivetool: logs/NTUSER.DAT: dirty hive recovered from its transaction logs: 132 pages from 23 "
       "log entries\n"},
  };
  for (const auto& c : cases) {
    const ToolRun r = hivetool(c.args);
    EXPECT_EQ(r.exit_code, 0) << c.args << "\n" << r.err;
    EXPECT_EQ(first_line(r.out), c.out_line) << c.args;
    for (const auto& part : c.out_has) EXPECT_NE(r.out.find(part), std::string::npos) << c.args << ": " << part;
    EXPECT_EQ(r.err, c.err) << c.args;
  }
  // The key that exists only thanks to the logs is missing when they are not read.
  EXPECT_EQ(hivetool("export --no-recover logs/NTUSER.DAT").out.find("\\Payment\\PaymentApps]"), std::string::npos);
}

TEST_F(HivetoolTest, CheckCountsTypesAndListsDamage) {
  const ToolRun sound = hivetool("check SYSTEM");
  EXPECT_EQ(sound.out,
            "SYSTEM: 30756 keys, 73456 values\n"
            "  REG_NONE: 29\n"
            "  REG_SZ: 36671\n"
            "  REG_EXPAND_SZ: 3063\n"
            "  REG_BINARY: 13307\n"
            "  REG_DWORD: 16184\n"
            "  REG_MULTI_SZ: 2532\n"
            "  REG_RESOURCE_LIST: 120\n"
            "  REG_RESOURCE_REQUIREMENTS_LIST: 142\n"
            "  REG_QWORD: 1408\n"
            "damage: none\n");

  const ToolRun damaged = hivetool("check corrupted_system_hive");
  ASSERT_EQ(damaged.exit_code, 1);
  const size_t at = damaged.out.find("\ndamage: ");
  ASSERT_NE(at, std::string::npos) << damaged.out;
  const std::string tail = damaged.out.substr(at + 1);
  EXPECT_NE(tail.find("  ControlSet001\\Control\\Biosinfo: offset 0x99308: offset is not the start of a cell\n"),
            std::string::npos)
      << tail;
  // "damage: N places" is followed by exactly N lines.
  const size_t places = std::stoul(tail.substr(8));
  EXPECT_GT(places, 0u);
  EXPECT_EQ(size_t(std::count(tail.begin(), tail.end(), '\n')), places + 1);
}

TEST_F(HivetoolTest, ExportImportGivesTheSameHive) {
  const ToolRun exported = hivetool("export SYSTEM");
  ASSERT_EQ(exported.exit_code, 0) << exported.err;
  EXPECT_EQ(exported.out.rfind("Windows Registry Editor Version 5.00\r\n\r\n"
                               "[HKEY_LOCAL_MACHINE\\SYSTEM]\r\n\r\n"
                               "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001]\r\n",
                               0),
            0u);
  write_text(at("system.reg"), exported.out);

  const ToolRun imported = hivetool("import system.reg rebuilt");
  ASSERT_EQ(imported.exit_code, 0) << imported.err;
  EXPECT_EQ(imported.out, "rebuilt: 30756 keys, 73456 values written\n");

  // The rebuilt hive exports to the very same text (same root name through --prefix).
  const ToolRun again = hivetool("export rebuilt --prefix 'HKEY_LOCAL_MACHINE\\SYSTEM'");
  ASSERT_EQ(again.exit_code, 0) << again.err;
  EXPECT_TRUE(again.out == exported.out) << "export of the rebuilt hive differs";

  // Only class names, which .reg text does not carry, tell the two hives apart.
  const ToolRun diff = hivetool("diff SYSTEM rebuilt");
  EXPECT_EQ(diff.exit_code, 1);
  std::istringstream lines(diff.out);
  size_t class_lines = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("-class ", 0) == 0) {
      ++class_lines;
    } else if (line != "+class (none)" && line.rfind(" [", 0) != 0) {
      ADD_FAILURE() << "unexpected difference: " << line;
    }
  }
  EXPECT_GT(class_lines, 0u);

  // An independent reader sees every key and value of the new hive as the engine does.
  const auto rebuilt = read_hive(at("rebuilt"));
  ASSERT_TRUE(rebuilt);
  EXPECT_EQ(hivexml_differences(at("rebuilt"), *rebuilt), std::vector<std::string>{});
}

// Names that are not valid UTF-16 (unpaired surrogates) are written in escaped forms and
// come back from import as the same code units.
TEST_F(HivetoolTest, UnpairedSurrogateNamesSurviveExportAndImport) {
  using namespace std::string_literals;
  const std::u16string key = u"a\xd800"s + u"b", value = u"v\xdc00"s, lone = u"\xd83d"s;
  const regf::TreeKey tree{u"ODD",
                           {},
                           0,
                           {{value, regf::kRegDword, {1, 0, 0, 0}}, {lone, regf::kRegNone, {}}},
                           {regf::TreeKey{key, {}, 0, {}, {}}}};
  ASSERT_TRUE(write_hive(at("odd"), tree));
  const ToolRun exported = hivetool("export odd");
  ASSERT_EQ(exported.exit_code, 0) << exported.err;
  EXPECT_NE(exported.out.find("[HKEY_LOCAL_MACHINE\\odd\\\\0061d8000062]\r\n"), std::string::npos) << exported.out;
  EXPECT_NE(exported.out.find("\"v\\udc00\"=dword:00000001\r\n\"\\ud83d\"=hex(0):\r\n"), std::string::npos);
  write_text(at("odd.reg"), exported.out);
  ASSERT_EQ(hivetool("import odd.reg odd2").exit_code, 0);
  const auto back = read_hive(at("odd2"));
  ASSERT_TRUE(back && back->values.size() == 2 && back->subkeys.size() == 1);
  EXPECT_EQ(back->values[0].name, value);
  EXPECT_EQ(back->values[1].name, lone);
  EXPECT_EQ(back->subkeys[0].name, key);
  EXPECT_EQ(hivetool("export odd2 --prefix 'HKEY_LOCAL_MACHINE\\odd'").out, exported.out);
}

TEST_F(HivetoolTest, ImportUnderAPrefixAndDiff) {
  const std::string head =
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\QRT-SYSTEM]\r\n"
      "@=\"root\"\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\QRT-SYSTEM\\Gone]\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\QRT-SYSTEM\\Setup]\r\n"
      "\"Path\"=\"C:\\\\PROGRA~1\\\\x.dll\"\r\n";
  write_text(at("a.reg"), head + "\"Odd\"=hex(1):41,00,42\r\n\"N\"=dword:00000001\r\n");
  // Much the same in UTF-16LE: a value changed, one removed, a key removed and one added.
  const Bytes b =
      utf16(base::from_utf8(head + "\"Odd\"=hex(1):41,00,43\r\n\r\n[-HKEY_LOCAL_MACHINE\\QRT-SYSTEM\\Gone]\r\n"
                                   "[HKEY_LOCAL_MACHINE\\QRT-SYSTEM\\New]\r\n"),
            false);
  write_text(at("b.reg"), "\xff\xfe" + std::string(b.begin(), b.end()));

  ASSERT_EQ(hivetool("import a.reg a.hive --prefix 'HKEY_LOCAL_MACHINE\\QRT-SYSTEM'").exit_code, 0);
  ASSERT_EQ(hivetool("import b.reg b.hive").exit_code, 0);
  const ToolRun diff = hivetool("diff a.hive b.hive --prefix=HKLM\\\\X");
  EXPECT_EQ(diff.exit_code, 1) << diff.err;
  EXPECT_EQ(diff.out,
            "-[HKLM\\X\\Gone]\n"
            " [HKLM\\X\\Setup]\n"
            "-\"Odd\"=hex(1):41,00,42\n"
            "+\"Odd\"=hex(1):41,00,43\n"
            "-\"N\"=dword:00000001\n"
            "+[HKLM\\X\\New]\n");

  const ToolRun exported = hivetool("export a.hive --prefix 'HKEY_LOCAL_MACHINE\\QRT-SYSTEM'");
  EXPECT_EQ(exported.out, read_text(at("a.reg")) + "\r\n");
}

// Values whose bytes regedit's readable forms would alter come back byte for byte (their
// text forms are pinned by the .reg text tests).
TEST_F(HivetoolTest, AwkwardValuesSurviveExportAndImport) {
  using namespace std::string_literals;
  regf::TreeKey root;
  root.name = u"Awkward";
  root.values = {
      {u"", regf::kRegSz, {0x41, 0, 0x42}},             // odd length
      {u"noterm", regf::kRegSz, utf16(u"abc", false)},  // no terminator
      {u"embedded", regf::kRegSz, utf16(u"a\0b"s)},     // embedded NUL
      {u"empty", regf::kRegSz, {}},
      {u"d3", regf::kRegDword, {1, 2, 3}},  // odd dword sizes
      {u"d6", regf::kRegDword, {1, 2, 3, 4, 5, 6}},
      {u"tab\tname", regf::kRegExpandSz, utf16(u"%a%")},                // control character
      {u"line\nbreak \"q\"", 0x12345, std::vector<uint8_t>(20000, 7)},  // big data
  };
  // (hivex cannot read names with unpaired surrogates; the text tests cover those.)
  root.subkeys.push_back(regf::TreeKey{u"a\nb", std::nullopt, 0, {{u"v", regf::kRegBinary, {}}}, {}});
  ASSERT_TRUE(write_hive(at("awkward"), root));

  const ToolRun exported = hivetool("export awkward");
  ASSERT_EQ(exported.exit_code, 0) << exported.err;
  write_text(at("awkward.reg"), exported.out);
  ASSERT_EQ(hivetool("import awkward.reg awkward2").exit_code, 0);

  const auto tree = read_hive(at("awkward2"));
  ASSERT_TRUE(tree);
  EXPECT_EQ(tree_difference(root, *tree), "");
  EXPECT_EQ(hivexml_differences(at("awkward2"), *tree), std::vector<std::string>{});
}

}  // namespace
