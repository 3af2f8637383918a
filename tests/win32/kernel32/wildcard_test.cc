// Windows' wildcard rules: each row is what a search on Windows finds.
#include "win32/kernel32/wildcard.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/unicode.h"

namespace {

using hivemend::win32::dos_expression;
using hivemend::win32::name_in_expression;

TEST(Wildcard, MatchesAsWindowsSearches) {
  const struct {
    const char16_t* pattern;
    std::vector<const char16_t*> found, not_found;
  } cases[] = {
      {u"*", {u"anything.txt"}, {}},
      {u"*.*", {u"noextension", u"a.b.c", u".", u".."}, {}},
      // A name without an extension is still found.
      {u"PROGRA*.*", {u"Program Files", u"ProgramData", u"PROGRA~1", u"progra.d"}, {u"Prog", u"."}},
      {u"program*.*", {u"PROGRAM FILES"}, {}},  // case ignored
      {u"abc*.*", {u"abc"}, {}},
      {u"abc.*", {u"abc", u"abc.txt"}, {u"abcd"}},
      {u"LONGTO~1.EXE*.*", {u"LONGTO~1.EXE"}, {u"longtoolname.exe"}},
      {u"*.txt", {u"a.txt", u"a.b.txt"}, {u"atxt", u"a.txt.bak"}},
      {u"ab?", {u"ab", u"abc"}, {u"abcd"}},  // '?' matches nothing at the end of a name
      {u"abc?.txt", {u"abc.txt"}, {}},       // ... and nothing before a '.'
      {u"a?c", {u"abc"}, {u"ac"}},
      {u"ab*d", {u"ab.cd"}, {}},  // a '*' not before '.' takes dots too
      {u"*d", {u"ab.cd"}, {}},
      {u"a*.b", {u"a.x.b"}, {}},
      {u"exact.dll", {u"EXACT.DLL"}, {u"exact.dl"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(base::to_utf8(c.pattern));
    const std::u16string expression = dos_expression(c.pattern);
    for (const char16_t* name : c.found) EXPECT_TRUE(name_in_expression(expression, name)) << base::to_utf8(name);
    for (const char16_t* name : c.not_found) EXPECT_FALSE(name_in_expression(expression, name)) << base::to_utf8(name);
  }
}

TEST(Wildcard, ExpressionUsesDosWildcards) {
  // decides: every name that begins with the prefix matches.
  const struct {
    const char16_t *pattern, *expression, *prefix;
    bool decides;
  } cases[] = {
      {u"*.*", u"*", u"", true},          {u"progra*.*", u"PROGRA<\"*", u"PROGRA", true},
      {u"ab**", u"AB**", u"AB", true},    {u"a?c.t?t", u"A>C.T>T", u"A", false},
      {u"x.*", u"X\"*", u"X", false},     {u"x*.", u"X<.", u"X", false},
      {u"name", u"NAME", u"NAME", false},
  };
  for (const auto& c : cases) {
    const std::u16string e = dos_expression(c.pattern);
    EXPECT_EQ(e, c.expression) << base::to_utf8(c.pattern);
    EXPECT_EQ(hivemend::win32::literal_prefix(e), c.prefix);
    EXPECT_EQ(hivemend::win32::prefix_decides(e), c.decides) << base::to_utf8(c.pattern);
  }
}

}  // namespace
