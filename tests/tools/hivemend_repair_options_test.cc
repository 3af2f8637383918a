// hivemend-repair's command line: every refusal, word for word, and what a good one
// gives (defaults, --name=value, --help).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/hivemend-repair/options.h"

namespace {

using hivemend::repair_tool::Options;
using hivemend::repair_tool::parse_options;
using hivemend::repair_tool::Result;

Result<Options> parse(std::vector<const char*> args) {
  args.insert(args.begin(), "hivemend-repair");
  return parse_options(int(args.size()), args.data());
}

TEST(ParseOptions, RefusesEachWrongCommandLine) {
  const std::string kRestoreOnly =
      "--restore does nothing but restore: no --dry-run, --changes, --undo, --src, --dst, --sig, --summary, "
      "--rescue-transfer or --detailed-log";
  const struct {
    std::vector<const char*> args;
    std::string refusal;
  } cases[] = {
      {{}, "no --drive given"},
      {{"--dry-run"}, "no --drive given"},
      {{"--drive", "e=x", "--dry-run=1"}, "option --dry-run takes no value"},
      {{"--help=x"}, "option --help takes no value"},
      {{"--drive", "e=x", "--force"}, "unknown option --force"},
      {{"-d", "e=x"}, "unknown option -d"},
      {{"--drive", "e=x", "--undo"}, "option --undo needs a value"},
      {{"--drive", "ex"}, "--drive ex: expected LETTER=VOLUME"},
      {{"--drive", "1=x"}, "--drive 1=x: expected LETTER=VOLUME"},
      {{"--drive", "e="}, "--drive e=: expected LETTER=VOLUME"},
      {{"--drive", "e=x", "--drive", "E=y"}, "drive E: given twice"},
      {{"--drive", "e=x", "--src", "E1"}, "--src E1: expected 1 to 15 drive letters"},
      {{"--drive", "e=x", "--dst", "ABCDEFGHIJKLMNOP"}, "--dst ABCDEFGHIJKLMNOP: expected 1 to 15 drive letters"},
      {{"--drive", "e=x", "--dst="}, "--dst : expected 1 to 15 drive letters"},
      {{"--drive", "e=x", "--sig", "123456789"}, "--sig 123456789: expected 1 to 8 hex digits"},
      {{"--drive", "e=x", "--sig", "12G4"}, "--sig 12G4: expected 1 to 8 hex digits"},
      {{"--drive", "e=x", "--restore", "u", "--dry-run"}, kRestoreOnly},
      {{"--drive", "e=x", "--restore", "u", "--src", "E"}, kRestoreOnly},
      {{"--drive", "e=x", "--restore", "u", "--rescue-transfer"}, kRestoreOnly},
      {{"--drive", "e=x", "--restore", "u", "--summary", "E:\\r.txt"}, kRestoreOnly},
      {{"--drive", "e=x", "--src", "C"}, "drive C: no --drive C=VOLUME"},
      {{"--drive", "c=x", "--dst", "CE"}, "drive E: no --drive E=VOLUME"},
      {{"--cleanup", "--drive", "e=x"}, "--cleanup does nothing but clean up: no other option"},
      {{"--cleanup", "--src", "E"}, "--cleanup does nothing but clean up: no other option"},
      {{"--cleanup", "--remove-hiberfile"}, "--cleanup does nothing but clean up: no other option"},
      {{"--cleanup", "--list", "E:\\*"}, "--cleanup does nothing but clean up: no other option"},
      {{"--list", "E:\\*"}, "no --drive given"},
      {{"--drive", "e=x", "--list"}, "option --list needs a value"},
      {{"--drive", "e=x", "--resolve", "--dry-run"}, "option --resolve needs a value"},
      {{"--drive", "e=x", "--list", "E:\\*", "--undo", "u"}, "--list only looks: no option but --drive and --prefix"},
      {{"--drive", "e=x", "--resolve=p", "--rescue-transfer"},
       "--resolve only looks: no option but --drive and --prefix"},
      {{"--drive", "e=x", "--list", "a", "--resolve", "b"}, "--list and --resolve: give one of them"},
      {{"--drive", "e=x", "--list", "-", "E:\\*"}, "--list -: standard input and nothing else"},
  };
  for (const auto& c : cases) {
    const auto parsed = parse(c.args);
    ASSERT_FALSE(parsed) << c.refusal;
    EXPECT_EQ(parsed.error().message, c.refusal);
  }
}

TEST(ParseOptions, TakesDefaultsAndInlineValues) {
  auto o = parse({"--drive", "E=/srv/e.img:2", "--drive=c=/dev/sdb2", "--dry-run", "--sig=1a2B", "--undo=u"});
  ASSERT_TRUE(o) << o.error().message;
  EXPECT_EQ(o->drives, (std::vector<std::pair<char, std::string>>{{'e', "/srv/e.img:2"}, {'c', "/dev/sdb2"}}));
  EXPECT_EQ(o->src, "E");  // the first drive's letter
  EXPECT_EQ(o->dst, "E");  // the source letters
  EXPECT_TRUE(o->dry_run && !o->rescue_transfer && !o->detailed_log);
  EXPECT_EQ(o->sig, "1a2B");
  EXPECT_EQ(o->undo, "u");

  o = parse({"--drive", "c=x", "--drive", "e=y", "--src", "ce", "--dst", "e"});
  ASSERT_TRUE(o);
  EXPECT_EQ(o->src, "CE");
  EXPECT_EQ(o->dst, "E");

  o = parse({"--cleanup"});
  ASSERT_TRUE(o);
  EXPECT_TRUE(o->cleanup && o->drives.empty());
  // A restore writes the hives, and may have to remove a hibernation file to do it.
  o = parse({"--drive", "e=x", "--restore", "u", "--remove-hiberfile"});
  ASSERT_TRUE(o) << o.error().message;
  EXPECT_TRUE(o->remove_hiberfile && !o->dry_run);

  // A look takes every argument up to the next option and writes no drive.
  o = parse({"--list", "E:\\*", "-x", "--drive", "e=x", "--list=E:\\a"});
  ASSERT_TRUE(o) << o.error().message;
  EXPECT_EQ(*o->list, (std::vector<std::string>{"E:\\*", "-x", "E:\\a"}));
  EXPECT_EQ(o->src, "E");
  EXPECT_EQ(o->dst, "");

  o = parse({"--force", "--help"});
  EXPECT_FALSE(o);  // the first wrong option is refused before --help is seen
  o = parse({"--drive", "e=x", "--help", "--force"});
  ASSERT_TRUE(o);
  EXPECT_TRUE(o->help);
}

}  // namespace
