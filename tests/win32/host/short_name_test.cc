// Short names as NTFS gives them out: each row is the name Windows shows.
#include "win32/host/short_name.h"

#include <gtest/gtest.h>

#include <set>

#include "base/unicode.h"

namespace {

using namespace hivemend::win32;

TEST(ShortName, NamesThatAreTheirOwnShortName) {
  const struct {
    const char16_t* name;
    bool own;
  } cases[] = {
      {u"NTUSER.DAT", true}, {u"desktop.ini", true}, {u"a", true},         {u"ABCDEFGH.TXT", true},
      {u"PROGRA~1", true},   {u"ABCDEFGHI", false},  {u"a.html", false},   {u"a b", false},
      {u"a.b.c", false},     {u"a+b", false},        {u".profile", false}, {u"abc.", false},
      {u"caf\u00e9", false},
  };
  for (const auto& c : cases) EXPECT_EQ(is_8dot3_name(c.name), c.own) << base::to_utf8(c.name);
}

TEST(ShortName, FirstNameInAnEmptyDirectory) {
  const struct {
    const char16_t *name, *short_name;
  } cases[] = {
      {u"Program Files", u"PROGRA~1"},    {u"longtoolname.exe", u"LONGTO~1.EXE"},
      {u"Common Files", u"COMMON~1"},     {u"index.html", u"INDEX~1.HTM"},
      {u"a b.txt", u"AB~1.TXT"},          {u"my.long.file.name", u"MYLONG~1.NAM"},
      {u"a+b=c[1].doc", u"A_B_C_~1.DOC"}, {u".gitignore", u"GITIGN~1"},
      {u"ABCDEFGHI", u"ABCDEF~1"},        {u"\u00e9t\u00e9 long", u"_T_LON~1"},
  };
  const auto none = [](std::u16string_view) { return false; };
  for (const auto& c : cases) EXPECT_EQ(generate_short_name(c.name, none), c.short_name) << base::to_utf8(c.name);
}

TEST(ShortName, FifthNameTakesTheHashedForm) {
  const std::vector<std::u16string> names = {u"Program Files", u"Program Files (x86)", u"ProgramData",
                                             u"Programs and more", u"Programmer Notes"};
  const auto shorts = generate_short_names(names);
  std::set<std::u16string> seen;
  int tilde_forms = 0, hashed = 0;
  // Two characters of the stem, four upper-case hex digits, ~1.
  const auto hashed_form = [](const std::u16string& s) {
    if (s.size() != 8 || !s.starts_with(u"PR") || !s.ends_with(u"~1")) return false;
    for (size_t i = 2; i < 6; ++i)
      if (!((s[i] >= u'0' && s[i] <= u'9') || (s[i] >= u'A' && s[i] <= u'F'))) return false;
    return true;
  };
  for (const auto& s : shorts) {
    EXPECT_TRUE(seen.insert(s).second) << "short names repeat";
    if (s.starts_with(u"PROGRA~")) ++tilde_forms;
    if (hashed_form(s)) ++hashed;
  }
  EXPECT_EQ(tilde_forms, 4);
  EXPECT_EQ(hashed, 1);
  // Given out in upper-case name order: "PROGRAM FILES" before "PROGRAM FILES (X86)".
  EXPECT_EQ(shorts[0], u"PROGRA~1");
  EXPECT_EQ(shorts[1], u"PROGRA~2");
}

TEST(ShortName, DeterministicAvoidsExistingNamesAndHashesEveryCharacter) {
  const std::vector<std::u16string> a = {u"Program Files", u"PROGRA~1", u"ProgramData", u"readme.txt"};
  const std::vector<std::u16string> b = {u"readme.txt", u"ProgramData", u"PROGRA~1", u"Program Files"};
  const auto sa = generate_short_names(a), sb = generate_short_names(b);
  EXPECT_EQ(sa[0], u"PROGRA~2");  // PROGRA~1 is a name in the directory already
  EXPECT_EQ(sa[1], u"");
  EXPECT_EQ(sa[2], u"PROGRA~3");
  EXPECT_EQ(sa[3], u"");
  EXPECT_EQ(sb[3], sa[0]);
  EXPECT_EQ(sb[1], sa[2]);
  // The hashed form's checksum depends on every character.
  EXPECT_NE(short_name_checksum(u"Program Files 1"), short_name_checksum(u"Program Files 2"));
  EXPECT_NE(short_name_checksum(u"abcdef"), short_name_checksum(u"abcdeg"));
  EXPECT_EQ(short_name_checksum(u"x"), u'x');
}

}  // namespace
