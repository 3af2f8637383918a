// Windows' wildcard rules for directory searches. FindFirstFileW hands the file system
// an expression in which the DOS meanings of '*', '?' and '.' are spelled with three
// characters no file name can hold (as kernel32 does), and the file system matches it
// against each name the way FsRtlIsNameInExpression does, ignoring case.
#pragma once

#include <string>
#include <string_view>

#include "base/unicode.h"

namespace hivemend::win32 {

// The DOS wildcards of an expression.
inline constexpr char16_t kDosStar = u'<';  // any run of characters up to the name's last '.'
inline constexpr char16_t kDosQm = u'>';    // one character, or none before a '.' or the end
inline constexpr char16_t kDosDot = u'"';   // a '.', or nothing at the end of the name

// True when the pattern holds '*' or '?'.
bool has_wildcards(std::u16string_view pattern);

// The expression for a search pattern, upper-cased under `upcase` (the volume's table):
// "*.*" becomes "*"; every '?' a DOS '?'; a '.' followed by '?' or '*' a DOS '.'; a '*'
// followed by '.' a DOS '*'.
std::u16string dos_expression(std::u16string_view pattern,
                              const base::UpcaseTable& upcase = *base::UpcaseTable::builtin());

// Whether `name` matches `expression` (as made by dos_expression), ignoring case as
// `upcase` does.
bool name_in_expression(std::u16string_view expression, std::u16string_view name,
                        const base::UpcaseTable& upcase = *base::UpcaseTable::builtin());

// The characters in front of the expression's first wildcard: every matching name
// begins with them (compared upper-cased).
std::u16string_view literal_prefix(std::u16string_view expression);

// Whether every name that begins with the literal prefix matches the expression (what
// follows it takes any rest of a name, as "PROGRA*.*" does).
bool prefix_decides(std::u16string_view expression);

}  // namespace hivemend::win32
