// Windows' wildcard rules: each row is what a search on Windows finds.
#include "win32/wildcard.h"

#include <gtest/gtest.h>

#include <string>

#include "regf/unicode.h"

namespace {

using hivemend::win32::dos_expression;
using hivemend::win32::name_in_expression;

TEST(Wildcard, MatchesAsWindowsSearches) {
  const struct { const char16_t* pattern; const char16_t* name; bool found; } cases[] = {
      {u"*", u"anything.txt", true},
      {u"*.*", u"noextension", true},
      {u"*.*", u"a.b.c", true},
      {u"*.*", u".", true},
      {u"*.*", u"..", true},
      {u"PROGRA*.*", u"Program Files", true},  // no extension: still found
      {u"PROGRA*.*", u"ProgramData", true},
      {u"PROGRA*.*", u"PROGRA~1", true},
      {u"PROGRA*.*", u"progra.d", true},
      {u"PROGRA*.*", u"Prog", false},
      {u"PROGRA*.*", u".", false},
      {u"program*.*", u"PROGRAM FILES", true},  // case ignored
      {u"abc*.*", u"abc", true},
      {u"abc.*", u"abc", true},
      {u"abc.*", u"abc.txt", true},
      {u"abc.*", u"abcd", false},
      {u"LONGTO~1.EXE*.*", u"LONGTO~1.EXE", true},
      {u"LONGTO~1.EXE*.*", u"longtoolname.exe", false},
      {u"*.txt", u"a.txt", true},
      {u"*.txt", u"a.b.txt", true},
      {u"*.txt", u"atxt", false},
      {u"*.txt", u"a.txt.bak", false},
      {u"ab?", u"ab", true},        // '?' matches nothing at the end of a name
      {u"ab?", u"abc", true},
      {u"ab?", u"abcd", false},
      {u"abc?.txt", u"abc.txt", true},  // ... and nothing before a '.'
      {u"a?c", u"abc", true},
      {u"a?c", u"ac", false},
      {u"ab*d", u"ab.cd", true},    // a '*' not before '.' takes dots too
      {u"*d", u"ab.cd", true},
      {u"a*.b", u"a.x.b", true},
      {u"exact.dll", u"EXACT.DLL", true},
      {u"exact.dll", u"exact.dl", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(name_in_expression(dos_expression(c.pattern), c.name), c.found)
        << regf::to_utf8(c.pattern) << " vs " << regf::to_utf8(c.name);
  }
}

TEST(Wildcard, ExpressionUsesDosWildcards) {
  const struct { const char16_t *pattern, *expression, *prefix; } cases[] = {
      {u"*.*", u"*", u""},
      {u"progra*.*", u"PROGRA<\"*", u"PROGRA"},
      {u"a?c.t?t", u"A>C.T>T", u"A"},
      {u"x.*", u"X\"*", u"X"},
      {u"name", u"NAME", u"NAME"},
  };
  for (const auto& c : cases) {
    const std::u16string e = dos_expression(c.pattern);
    EXPECT_EQ(e, c.expression) << regf::to_utf8(c.pattern);
    EXPECT_EQ(hivemend::win32::literal_prefix(e), c.prefix);
  }
}

}  // namespace
