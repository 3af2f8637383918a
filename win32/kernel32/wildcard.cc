#include "win32/kernel32/wildcard.h"

#include <algorithm>
#include <array>
#include <vector>

#include "base/unicode.h"

namespace hivemend::win32 {

namespace {
bool is_wildcard(char16_t c) { return c == u'*' || c == u'?' || c == kDosStar || c == kDosQm || c == kDosDot; }
}  // namespace

bool has_wildcards(std::u16string_view pattern) {
  return std::any_of(pattern.begin(), pattern.end(), [](char16_t c) { return c == u'*' || c == u'?'; });
}

std::u16string dos_expression(std::u16string_view pattern, const base::UpcaseTable& upcase) {
  if (pattern == u"*.*") return u"*";
  std::u16string e = upcase.upper(pattern);
  for (size_t i = 0; i < e.size(); ++i) {
    const char16_t next = i + 1 < e.size() ? e[i + 1] : 0;
    if (e[i] == u'?')
      e[i] = kDosQm;
    else if (e[i] == u'.' && (next == u'?' || next == u'*'))
      e[i] = kDosDot;
    else if (e[i] == u'*' && next == u'.')
      e[i] = kDosStar;
  }
  return e;
}

std::u16string_view literal_prefix(std::u16string_view expression) {
  size_t n = 0;
  while (n < expression.size() && !is_wildcard(expression[n])) ++n;
  return expression.substr(0, n);
}

bool prefix_decides(std::u16string_view expression) {
  const std::u16string_view rest = expression.substr(literal_prefix(expression).size());
  // A DOS '*', then a DOS '.', then '*': the DOS "*.*", which takes a name with or
  // without an extension.
  return rest == std::u16string_view(u"<\"*") || (!rest.empty() && rest.find_first_not_of(u'*') == rest.npos);
}

// A simulation of the expression as a set of states (positions in the expression),
// advanced by one name character at a time.
bool name_in_expression(std::u16string_view expr, std::u16string_view name, const base::UpcaseTable& upcase) {
  const size_t m = expr.size();
  const size_t last_dot = name.rfind(u'.');
  // The two state sets, on the stack for any expression a search path can hold.
  constexpr size_t kOnStack = 2 * 512;
  std::array<char, kOnStack> stack;
  std::vector<char> heap;
  char* now = stack.data();
  if (2 * (m + 1) > kOnStack) {
    heap.resize(2 * (m + 1));
    now = heap.data();
  }
  char* next = now + m + 1;
  std::fill(now, now + m + 1, 0);

  // Adds the states reachable without consuming a character at name position `pos`.
  auto close = [&](char* states, size_t pos) {
    const bool at_end = pos == name.size();
    for (size_t i = 0; i < m; ++i) {
      if (!states[i]) continue;
      const char16_t e = expr[i];
      if (e == u'*' || e == kDosStar || (e == kDosQm && (at_end || name[pos] == u'.')) || (e == kDosDot && at_end))
        states[i + 1] = 1;
    }
  };

  now[0] = 1;
  close(now, 0);
  for (size_t pos = 0; pos < name.size(); ++pos) {
    const char16_t c = name[pos];
    const char16_t up = upcase(c);
    std::fill(next, next + m + 1, 0);
    bool any = false;
    for (size_t i = 0; i < m; ++i) {
      if (!now[i]) continue;
      const char16_t e = expr[i];
      if (e == u'*') {
        next[i] = 1;
      } else if (e == kDosStar) {
        // Consumes everything except the name's last '.', which the rest must match.
        if (c != u'.' || pos != last_dot) next[i] = 1;
      } else if (e == u'?') {
        next[i + 1] = 1;
      } else if (e == kDosQm) {
        if (c != u'.') next[i + 1] = 1;
      } else if (e == kDosDot) {
        if (c == u'.') next[i + 1] = 1;
      } else if (upcase(e) == up) {
        next[i + 1] = 1;
      }
    }
    for (size_t i = 0; i <= m; ++i) any |= next[i] != 0;
    if (!any) return false;
    close(next, pos + 1);
    std::swap(now, next);
  }
  return now[m] != 0;
}

}  // namespace hivemend::win32
