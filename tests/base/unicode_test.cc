#include "base/unicode.h"

#include <gtest/gtest.h>

namespace {

TEST(Upcase, MapsLikeWindows) {
  const struct {
    char16_t in, out;
  } cases[] = {
      {u'a', u'A'},
      {u'z', u'Z'},
      {u'A', u'A'},
      {u'1', u'1'},
      {u'\u00e9', u'\u00c9'},                // é
      {u'\u00ff', u'\u0178'},                // ÿ
      {u'\u03b1', u'\u0391'},                // α
      {u'\u0436', u'\u0416'},                // ж
      {u'\u00df', u'\u00df'},                // ß has no one-character upper case
      {char16_t(0xD800), char16_t(0xD800)},  // lone surrogate stays
      {u'\uff41', u'\uff21'},                // fullwidth a
  };
  for (const auto& c : cases) EXPECT_EQ(base::upcase(c.in), c.out) << int(c.in);
  // ASCII is answered without the table, and as the table answers it.
  const auto table = base::UpcaseTable::builtin();
  for (char16_t c = 0; c < 0x80; ++c) EXPECT_EQ(base::upcase(c), (*table)(c)) << int(c);
}

TEST(CompareNoCase, OrdersByUpperCase) {
  const struct {
    std::u16string_view a, b;
    int sign;
  } cases[] = {
      {u"Software", u"SOFTWARE", 0},
      {u"\u00e9t\u00e9", u"\u00c9T\u00c9", 0},
      {u"abc", u"abd", -1},
      {u"ab", u"abc", -1},
      {u"_", u"a", 1},  // '_' (0x5F) sorts after 'A' (0x41) once upper-cased
      {u"", u"", 0},
  };
  for (const auto& c : cases) {
    const int r = base::compare_nocase(c.a, c.b);
    EXPECT_EQ((r > 0) - (r < 0), c.sign);
  }
}

TEST(Utf8, RoundTripsAndReplacesInvalid) {
  const std::u16string text = u"C:\\Programme\\\u00dcber \u4e2d\U0001F600";
  EXPECT_EQ(base::from_utf8(base::to_utf8(text)), text);
  EXPECT_EQ(base::to_utf8(std::u16string{char16_t(0xD800), u'x'}), "\xef\xbf\xbdx");
  EXPECT_EQ(base::from_utf8("\xc0\xafz"), u"\ufffd\ufffdz");         // overlong '/'
  EXPECT_FALSE(base::from_utf8_strict("\xed\xa0\x80").has_value());  // encoded surrogate
  EXPECT_EQ(base::from_utf8_strict("ok").value(), u"ok");
}

TEST(Utf8, AppendsAfterWhatIsThere) {
  // ASCII is copied several units at a time: the first other unit at each place of such a step.
  for (size_t at = 0; at < 10; ++at) {
    std::u16string text(10, u'a');
    text[at] = u'\u00e9';
    std::string out = "x";
    base::append_utf8(out, text);
    std::string expected = "x";
    expected.append(at, 'a').append("\xc3\xa9").append(9 - at, 'a');
    EXPECT_EQ(out, expected) << at;
  }
}

}  // namespace
