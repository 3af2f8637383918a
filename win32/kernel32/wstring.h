// The C runtime's wide-string functions for Windows text (char16_t), with the Microsoft
// runtime's semantics. They are C++ overloads of the standard names, so code written
// for Windows reads unchanged: wcslen(u"abc"), _wcsicmp(a, b), swprintf(buf, u"%s\\", s).
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cwchar>  // before our overloads: the standard library takes the address of ::wcstoul
#include <string>

#include "win32/types.h"

size_t wcslen(const char16_t* s);
size_t wcsnlen(const char16_t* s, size_t max);
char16_t* wcscpy(char16_t* dst, const char16_t* src);
// Copies at most n characters and pads with zeros up to n; no terminator when src has n
// or more characters (as the C runtime does).
char16_t* wcsncpy(char16_t* dst, const char16_t* src, size_t n);
char16_t* wcscat(char16_t* dst, const char16_t* src);
// Appends at most n characters of src, always followed by a terminator.
char16_t* wcsncat(char16_t* dst, const char16_t* src, size_t n);
int wcscmp(const char16_t* a, const char16_t* b);
int wcsncmp(const char16_t* a, const char16_t* b, size_t n);
// Case-insensitive comparisons with Windows' upper-casing of each code unit.
int _wcsicmp(const char16_t* a, const char16_t* b);
int _wcsnicmp(const char16_t* a, const char16_t* b, size_t n);
const char16_t* wcsstr(const char16_t* haystack, const char16_t* needle);
char16_t* wcsstr(char16_t* haystack, const char16_t* needle);
// The terminator counts as part of the string: wcschr(s, 0) finds the end.
const char16_t* wcschr(const char16_t* s, char16_t c);
char16_t* wcschr(char16_t* s, char16_t c);
const char16_t* wcsrchr(const char16_t* s, char16_t c);
char16_t* wcsrchr(char16_t* s, char16_t c);
// Upper-cases in place with Windows' rules; returns s.
char16_t* _wcsupr(char16_t* s);
// Number parsing as the C runtime does it (leading blanks, sign, base 0 = by prefix).
unsigned long wcstoul(const char16_t* s, char16_t** end, int base);
int _wtoi(const char16_t* s);

// The secure copies: 0 on success; EINVAL for a null argument, ERANGE when the text does
// not fit, and then dst becomes the empty string.
int wcscpy_s(char16_t* dst, size_t size, const char16_t* src);
int wcscat_s(char16_t* dst, size_t size, const char16_t* src);
template <size_t N>
int wcscpy_s(char16_t (&dst)[N], const char16_t* src) {
  return wcscpy_s(dst, N, src);
}
template <size_t N>
int wcscat_s(char16_t (&dst)[N], const char16_t* src) {
  return wcscat_s(dst, N, src);
}

// Formatting in the Microsoft manner: %s is a wide (char16_t) string and %S a narrow
// (UTF-8) one, %c a wide character and %C a narrow one (%hs, %ls, %ws, %hc, %lc select
// a width explicitly); 'l' is 32 bits as Windows' long, 'll' and 'I64' 64 bits, 'I' and
// 'z' pointer-sized. Flags - + 0 blank #, width and precision (also '*'), and the
// conversions d i u x X o c s f e E g G p %. A null string prints "(null)".
//
// swprintf with a count always terminates the buffer (when count > 0) and returns the
// number of characters written, or -1 when the text did not fit (the text is then cut).
int swprintf(char16_t* buffer, size_t count, const char16_t* format, ...);
int vswprintf(char16_t* buffer, size_t count, const char16_t* format, va_list args);
// The array form takes its bound from the array, as the runtime's template overloads do.
template <size_t N>
int swprintf(char16_t (&buffer)[N], const char16_t* format, ...) {
  va_list args;
  va_start(args, format);
  const int n = vswprintf(buffer, N, format, args);
  va_end(args);
  return n;
}
// _snwprintf: when the text has exactly `count` characters they are stored without a
// terminator and count is returned; when it is longer, `count` characters are stored
// without a terminator and -1 is returned.
int _snwprintf(char16_t* buffer, size_t count, const char16_t* format, ...);
int _vsnwprintf(char16_t* buffer, size_t count, const char16_t* format, va_list args);
