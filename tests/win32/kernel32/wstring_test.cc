#include "win32/kernel32/wstring.h"

#include <gtest/gtest.h>

#include <string>

#include "base/unicode.h"

namespace {

TEST(WideString, LengthCopyConcatenate) {
  char16_t buf[32] = u"garbage-garbage";
  EXPECT_EQ(wcslen(u""), 0u);
  EXPECT_EQ(wcslen(u"C:\\Program Files"), 16u);
  EXPECT_EQ(std::u16string(wcscpy(buf, u"C:\\")), u"C:\\");
  EXPECT_EQ(std::u16string(wcscat(buf, u"PROGRA~1")), u"C:\\PROGRA~1");
  EXPECT_EQ(std::u16string(wcsncat(buf, u"\\xyz", 2)), u"C:\\PROGRA~1\\x");

  // wcsncpy pads with zeros and adds no terminator when the source is as long as n.
  char16_t pad[6] = {u'#', u'#', u'#', u'#', u'#', u'#'};
  wcsncpy(pad, u"ab", 4);
  EXPECT_EQ(std::u16string(pad, 6), std::u16string(u"ab\0\0##", 6));
  wcsncpy(pad, u"abcdef", 3);
  EXPECT_EQ(std::u16string(pad, 6), std::u16string(u"abc\0##", 6));
}

TEST(WideString, Compare) {
  const struct {
    const char16_t *a, *b;
    int cmp, icmp;
  } cases[] = {
      {u"abc", u"abc", 0, 0},
      {u"abc", u"ABC", 1, 0},
      {u"Program Files", u"PROGRAM FILES", 1, 0},
      {u"\u00e9t\u00e9", u"\u00c9T\u00c9", 1, 0},  // Windows upper-cases é
      {u"ab", u"abc", -1, -1},
      {u"b", u"A", 1, 1},
      {u"_", u"a", -1, 1},  // '_' sorts after 'A' once upper-cased
  };
  auto sign = [](int v) { return (v > 0) - (v < 0); };
  for (const auto& c : cases) {
    EXPECT_EQ(sign(wcscmp(c.a, c.b)), c.cmp) << std::u16string(c.a).size();
    EXPECT_EQ(sign(_wcsicmp(c.a, c.b)), c.icmp);
  }
  EXPECT_EQ(wcsncmp(u"PROGRA~1", u"PROGRA~2", 7), 0);
  EXPECT_NE(wcsncmp(u"PROGRA~1", u"PROGRA~2", 8), 0);
  EXPECT_EQ(_wcsnicmp(u"progra~1\\x", u"PROGRA~1\\y", 9), 0);
}

TEST(WideString, Search) {
  const char16_t* text = u"C:\\PROGRA~1\\App\\tool.exe /s";
  EXPECT_EQ(wcsstr(text, u".exe"), text + 20);
  EXPECT_EQ(wcsstr(text, u".EXE"), nullptr);
  EXPECT_EQ(wcsstr(text, u""), text);
  EXPECT_EQ(wcschr(text, u'~'), text + 9);
  EXPECT_EQ(wcschr(text, u'#'), nullptr);
  EXPECT_EQ(wcschr(text, u'\0'), text + wcslen(text));
  EXPECT_EQ(wcsrchr(text, u'\\'), text + 15);
  EXPECT_EQ(wcsrchr(text, u'#'), nullptr);
  char16_t upper[] = u"abc\u00e9";
  EXPECT_EQ(std::u16string(_wcsupr(upper)), u"ABC\u00c9");
  char16_t* end = nullptr;
  EXPECT_EQ(wcstoul(u"  1A2B3C4D%", &end, 16), 0x1A2B3C4Du);
  EXPECT_EQ(*end, u'%');
  EXPECT_EQ(_wtoi(u"-42x"), -42);
}

TEST(WideString, SecureCopies) {
  char16_t buf[8];
  EXPECT_EQ(wcscpy_s(buf, u"1234567"), 0);
  EXPECT_EQ(std::u16string(buf), u"1234567");
  EXPECT_EQ(wcscpy_s(buf, u"12345678"), ERANGE);
  EXPECT_EQ(buf[0], 0);
  EXPECT_EQ(wcscpy_s(buf, u"abc"), 0);
  EXPECT_EQ(wcscat_s(buf, u"defg"), 0);
  EXPECT_EQ(std::u16string(buf), u"abcdefg");
  EXPECT_EQ(wcscat_s(buf, u"h"), ERANGE);
  EXPECT_EQ(buf[0], 0);
}

// swprintf into a roomy buffer: the text, after checking the count returned is its length.
template <typename... Args>
std::u16string format(const char16_t* f, Args... args) {
  char16_t buf[64];
  const int n = swprintf(buf, 64, f, args...);
  EXPECT_EQ(n, int(std::u16string(buf).size())) << base::to_utf8(f);
  return buf;
}

TEST(WideString, SwprintfConversions) {
  EXPECT_EQ(format(u"%s\\", u"Program Files"), u"Program Files\\");  // %s is wide
  EXPECT_EQ(format(u"[%S]", "caf\xc3\xa9"), u"[caf\u00e9]");         // %S narrow
  EXPECT_EQ(format(u"%hs%ls", "a", u"b"), u"ab");
  EXPECT_EQ(format(u"%c:%C", u'E', 'x'), u"E:x");  // %c wide, %C narrow
  EXPECT_EQ(format(u"%d %u %x %X", -5, 4000000000u, 255u, 0xABCu), u"-5 4000000000 ff ABC");
  EXPECT_EQ(format(u"[%5d][%-4d][%08X][%3s][%-3s]", 42, 7, 0x1A2Bu, u"a", u"b"), u"[   42][7   ][00001A2B][  a][b  ]");
  EXPECT_EQ(format(u"%.0f MB, %.0f", 1535.5, 2.4), u"1536 MB, 2");
  EXPECT_EQ(format(u"%.3s|%*d", u"abcdef", 4, 9), u"abc|   9");                       // precision cuts text
  EXPECT_EQ(format(u"%lu %I64d", DWORD(7), int64_t(-1) << 40), u"7 -1099511627776");  // l is 32 bits, I64 64
  EXPECT_EQ(format(u"%s", static_cast<const char16_t*>(nullptr)), u"(null)");
  EXPECT_EQ(format(u"100%%"), u"100%");
  EXPECT_EQ(format(u"\r\nK=\"%s\"\r\nN=\"%s\"", u"a\\b", u""), u"\r\nK=\"a\\b\"\r\nN=\"\"");
  EXPECT_EQ(format(u"[%-+6d][%.2s]", 5, static_cast<const char16_t*>(nullptr)), u"[+5    ][(n]");
  const char16_t unended[3] = {u'x', u'y', u'z'};  // no terminator: only the precision's worth is read
  EXPECT_EQ(format(u"%.2s%%%q", unended), u"xy%%q");
}

TEST(WideString, BoundedFormatting) {
  // swprintf: cut, terminated, -1.
  char16_t buf[6] = u"#####";
  EXPECT_EQ(swprintf(buf, 6, u"%s", u"abcdefgh"), -1);
  EXPECT_EQ(std::u16string(buf), u"abcde");
  EXPECT_EQ(swprintf(buf, 6, u"%s", u"abcde"), 5);
  EXPECT_EQ(swprintf(buf, 6, u"%s\\%s", buf, u"f"), -1);  // the text itself as an argument
  EXPECT_EQ(std::u16string(buf), u"abcde");
  char16_t path[8] = u"a\\b";
  EXPECT_EQ(swprintf(path, u"%s\\%s", path, u"c"), 5);
  EXPECT_EQ(std::u16string(path), u"a\\b\\c");

  // The array form bounds by the array.
  char16_t arr[4];
  EXPECT_EQ(swprintf(arr, u"%d", 12345), -1);
  EXPECT_EQ(std::u16string(arr), u"123");
  EXPECT_EQ(swprintf(arr, u"%d", 123), 3);

  // _snwprintf: no terminator when the text fills or overflows the count.
  char16_t raw[6] = {u'#', u'#', u'#', u'#', u'#', u'#'};
  EXPECT_EQ(_snwprintf(raw, 3, u"%s", u"abc"), 3);
  EXPECT_EQ(std::u16string(raw, 6), u"abc###");
  EXPECT_EQ(_snwprintf(raw, 3, u"%s", u"wxyz"), -1);
  EXPECT_EQ(std::u16string(raw, 6), u"wxy###");
  EXPECT_EQ(_snwprintf(raw, 6, u"%s", u"ab"), 2);
  EXPECT_EQ(std::u16string(raw, 3), std::u16string(u"ab\0", 3));
}

}  // namespace
