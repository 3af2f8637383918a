#include "win32/kernel32/wstring.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/unicode.h"

// Four units to a test once the address is aligned: texts run to a few hundred units (a
// log line's), and an aligned word never reaches into a page the text does not. It may
// read the units after the terminator, so a build with the address sanitizer counts one
// unit at a time, which keeps a caller's missing terminator visible there.
size_t wcslen(const char16_t* s) {
  const char16_t* at = s;
#if !defined(__SANITIZE_ADDRESS__)
  using Word = uint64_t __attribute__((may_alias, aligned(8)));
  constexpr uint64_t kLowBits = 0x0001000100010001u, kHighBits = 0x8000800080008000u;
  for (; reinterpret_cast<uintptr_t>(at) % sizeof(Word) != 0; ++at)
    if (!*at) return size_t(at - s);
  for (;; at += 4) {
    const uint64_t units = *reinterpret_cast<const Word*>(at);
    if ((units - kLowBits) & ~units & kHighBits) break;  // some unit of the word is 0
  }
#endif
  while (*at) ++at;
  return size_t(at - s);
}

size_t wcsnlen(const char16_t* s, size_t max) {
  size_t n = 0;
  while (n < max && s[n]) ++n;
  return n;
}

char16_t* wcscpy(char16_t* dst, const char16_t* src) {
  char16_t* d = dst;
  while ((*d++ = *src++)) {}
  return dst;
}

char16_t* wcsncpy(char16_t* dst, const char16_t* src, size_t n) {
  size_t i = 0;
  for (; i < n && src[i]; ++i) dst[i] = src[i];
  for (; i < n; ++i) dst[i] = 0;
  return dst;
}

char16_t* wcscat(char16_t* dst, const char16_t* src) {
  wcscpy(dst + wcslen(dst), src);
  return dst;
}

char16_t* wcsncat(char16_t* dst, const char16_t* src, size_t n) {
  char16_t* d = dst + wcslen(dst);
  size_t i = 0;
  for (; i < n && src[i]; ++i) d[i] = src[i];
  d[i] = 0;
  return dst;
}

int wcscmp(const char16_t* a, const char16_t* b) { return wcsncmp(a, b, size_t(-1)); }

int wcsncmp(const char16_t* a, const char16_t* b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    if (!a[i]) return 0;
  }
  return 0;
}

int _wcsicmp(const char16_t* a, const char16_t* b) { return _wcsnicmp(a, b, size_t(-1)); }

int _wcsnicmp(const char16_t* a, const char16_t* b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    const char16_t ca = base::upcase(a[i]), cb = base::upcase(b[i]);
    if (ca != cb) return ca < cb ? -1 : 1;
    if (!ca) return 0;
  }
  return 0;
}

const char16_t* wcsstr(const char16_t* haystack, const char16_t* needle) {
  const size_t n = wcslen(needle);
  if (n == 0) return haystack;
  for (const char16_t* p = haystack; *p; ++p)
    if (*p == *needle && wcsncmp(p, needle, n) == 0) return p;
  return nullptr;
}

char16_t* wcsstr(char16_t* haystack, const char16_t* needle) {
  return const_cast<char16_t*>(wcsstr(static_cast<const char16_t*>(haystack), needle));
}

const char16_t* wcschr(const char16_t* s, char16_t c) {
  for (;; ++s) {
    if (*s == c) return s;
    if (!*s) return nullptr;
  }
}

char16_t* wcschr(char16_t* s, char16_t c) { return const_cast<char16_t*>(wcschr(static_cast<const char16_t*>(s), c)); }

const char16_t* wcsrchr(const char16_t* s, char16_t c) {
  const char16_t* found = nullptr;
  for (;; ++s) {
    if (*s == c) found = s;
    if (!*s) return found;
  }
}

char16_t* wcsrchr(char16_t* s, char16_t c) {
  return const_cast<char16_t*>(wcsrchr(static_cast<const char16_t*>(s), c));
}

char16_t* _wcsupr(char16_t* s) {
  for (char16_t* p = s; *p; ++p) *p = base::upcase(*p);
  return s;
}

unsigned long wcstoul(const char16_t* s, char16_t** end, int base) {
  // Only ASCII can be part of a number; convert the leading run and let strtoul decide.
  std::string narrow;
  for (const char16_t* p = s; *p && *p < 0x80; ++p) narrow.push_back(char(*p));
  char* narrow_end = nullptr;
  const unsigned long v = strtoul(narrow.c_str(), &narrow_end, base);
  if (end) *end = const_cast<char16_t*>(s + (narrow_end - narrow.c_str()));
  return v;
}

int _wtoi(const char16_t* s) {
  std::string narrow;
  for (const char16_t* p = s; *p && *p < 0x80; ++p) narrow.push_back(char(*p));
  return atoi(narrow.c_str());
}

int wcscpy_s(char16_t* dst, size_t size, const char16_t* src) {
  if (!dst || size == 0) return EINVAL;
  if (!src) {
    dst[0] = 0;
    return EINVAL;
  }
  const size_t n = wcslen(src);
  if (n >= size) {
    dst[0] = 0;
    return ERANGE;
  }
  std::memcpy(dst, src, (n + 1) * sizeof(char16_t));
  return 0;
}

int wcscat_s(char16_t* dst, size_t size, const char16_t* src) {
  if (!dst || size == 0) return EINVAL;
  const size_t have = wcsnlen(dst, size);
  if (have == size || !src) {  // dst unterminated within its size, or nothing to add
    dst[0] = 0;
    return EINVAL;
  }
  const size_t n = wcslen(src);
  if (have + n >= size) {
    dst[0] = 0;
    return ERANGE;
  }
  std::memcpy(dst + have, src, (n + 1) * sizeof(char16_t));
  return 0;
}

namespace {

struct Spec {
  char flags[8] = {};  // of "-+ #0", as written (a run longer than 7 is cut)
  int width = -1;
  int precision = -1;
  enum class Size { Default, Short, Long32, Long64, Pointer } size = Size::Default;
  enum class Width { Default, Narrow, Wide } text = Width::Default;

  bool left() const { return std::strchr(flags, '-') != nullptr; }
  void add_flag(char c) {
    const size_t n = std::strlen(flags);
    if (n + 1 < sizeof flags) flags[n] = c;
  }
};

void append_ascii(std::u16string& out, const char* s, size_t n) {
  const size_t at = out.size();
  out.resize(at + n);
  for (size_t i = 0; i < n; ++i) out[at + i] = char16_t(static_cast<unsigned char>(s[i]));
}

void pad(std::u16string& out, std::u16string_view body, const Spec& spec) {
  const size_t width = spec.width > 0 ? size_t(spec.width) : 0;
  const bool left = spec.left();
  if (!left && body.size() < width) out.append(width - body.size(), u' ');
  out += body;
  if (left && body.size() < width) out.append(width - body.size(), u' ');
}

// Formats one number through the C library with the same flags, width and precision.
template <typename T>
void format_number(std::u16string& out, const Spec& spec, const char* length, char conversion, T value) {
  char f[48];
  std::snprintf(f, sizeof f, "%%%s%s%s%s%s%c", spec.flags, spec.width >= 0 ? std::to_string(spec.width).c_str() : "",
                spec.precision >= 0 ? "." : "", spec.precision >= 0 ? std::to_string(spec.precision).c_str() : "",
                length, conversion);
  char buf[512];
  const int n = std::snprintf(buf, sizeof buf, f, value);
  if (n >= 0 && size_t(n) < sizeof buf) {
    append_ascii(out, buf, size_t(n));
  } else if (n > 0) {
    std::string big(size_t(n) + 1, '\0');
    std::snprintf(big.data(), big.size(), f, value);
    append_ascii(out, big.data(), size_t(n));
  }
}

// Appends the text `fmt` formats with `args` to `out`. Plain text goes over in runs, and
// a %s text straight from its argument: a log record is a few hundred characters, most
// of them %s, formatted once per registry value examined.
void format(std::u16string& out, const char16_t* fmt, va_list args) {
  for (const char16_t* p = fmt; *p; ++p) {
    if (*p != u'%') {
      const char16_t* run = p;
      while (p[1] && p[1] != u'%') ++p;
      out.append(run, size_t(p - run) + 1);
      continue;
    }
    const char16_t* start = p++;
    Spec spec;
    while (*p && *p < 0x80 && std::strchr("-+ #0", char(*p))) spec.add_flag(char(*p++));
    if (*p == u'*') {
      spec.width = va_arg(args, int);
      if (spec.width < 0) {
        spec.add_flag('-');
        spec.width = -spec.width;
      }
      ++p;
    } else {
      for (; *p >= u'0' && *p <= u'9'; ++p) spec.width = (spec.width < 0 ? 0 : spec.width * 10) + (*p - u'0');
    }
    if (*p == u'.') {
      ++p;
      spec.precision = 0;
      if (*p == u'*') {
        spec.precision = va_arg(args, int);
        ++p;
      } else {
        for (; *p >= u'0' && *p <= u'9'; ++p) spec.precision = spec.precision * 10 + (*p - u'0');
      }
    }
    if (p[0] == u'I' && p[1] == u'6' && p[2] == u'4') {
      spec.size = Spec::Size::Long64;
      p += 3;
    } else if (p[0] == u'I' && p[1] == u'3' && p[2] == u'2') {
      spec.size = Spec::Size::Long32;
      p += 3;
    } else if (p[0] == u'l' && p[1] == u'l') {
      spec.size = Spec::Size::Long64;
      p += 2;
    } else if (*p == u'l' || *p == u'w') {
      spec.size = Spec::Size::Long32;
      spec.text = Spec::Width::Wide;
      ++p;
    } else if (*p == u'h') {
      spec.size = Spec::Size::Short;
      spec.text = Spec::Width::Narrow;
      ++p;
    } else if (*p == u'I' || *p == u'z' || *p == u'j' || *p == u't') {
      spec.size = Spec::Size::Pointer;
      ++p;
    }
    const char16_t conv = *p;
    switch (conv) {
      case u'd':
      case u'i': {
        long long v;
        switch (spec.size) {
          case Spec::Size::Long64: v = va_arg(args, long long); break;
          case Spec::Size::Pointer: v = va_arg(args, intptr_t); break;
          case Spec::Size::Short: v = static_cast<short>(va_arg(args, int)); break;
          default: v = va_arg(args, int); break;
        }
        format_number(out, spec, "ll", 'd', v);
        break;
      }
      case u'u':
      case u'x':
      case u'X':
      case u'o': {
        unsigned long long v;
        switch (spec.size) {
          case Spec::Size::Long64: v = va_arg(args, unsigned long long); break;
          case Spec::Size::Pointer: v = va_arg(args, uintptr_t); break;
          case Spec::Size::Short: v = static_cast<unsigned short>(va_arg(args, unsigned)); break;
          default: v = va_arg(args, unsigned); break;
        }
        format_number(out, spec, "ll", char(conv), v);
        break;
      }
      case u'f':
      case u'F':
      case u'e':
      case u'E':
      case u'g':
      case u'G': format_number(out, spec, "", char(conv), va_arg(args, double)); break;
      case u'p': {
        // Windows prints a pointer as zero-padded upper-case hex of pointer width.
        Spec p_spec;
        p_spec.add_flag('0');
        p_spec.width = int(2 * sizeof(void*));
        format_number(out, p_spec, "ll", 'X',
                      static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(va_arg(args, void*))));
        break;
      }
      case u'c':
      case u'C': {
        const int v = va_arg(args, int);
        const bool narrow = spec.text == Spec::Width::Narrow || (spec.text == Spec::Width::Default && conv == u'C');
        const char16_t c = narrow ? char16_t(static_cast<unsigned char>(v)) : char16_t(v);
        pad(out, std::u16string_view(&c, 1), spec);
        break;
      }
      case u's':
      case u'S': {
        const bool narrow = spec.text == Spec::Width::Narrow || (spec.text == Spec::Width::Default && conv == u'S');
        // A precision bounds what is read: the text need not end within it.
        const size_t most = spec.precision >= 0 ? size_t(spec.precision) : SIZE_MAX;
        if (narrow) {
          const char* s = va_arg(args, const char*);
          std::u16string text = s ? base::from_utf8(s) : u"(null)";
          if (text.size() > most) text.resize(most);
          pad(out, text, spec);
        } else {
          const char16_t* s = va_arg(args, const char16_t*);
          const std::u16string_view text = s ? std::u16string_view(s, wcsnlen(s, most)) : u"(null)";
          pad(out, text.substr(0, std::min(text.size(), most)), spec);  // "(null)" is cut too
        }
        break;
      }
      case u'%': out.push_back(u'%'); break;
      default:
        // Not a conversion we know: the text stays as written.
        if (!conv) {
          out.append(start, p);
          return;
        }
        out.append(start, p + 1);
        break;
    }
  }
}

// The formatted text, in room of this thread's that is reused from call to call. The
// text is whole before it is copied out, so an argument may lie in the target buffer.
const std::u16string& formatted(const char16_t* fmt, va_list args) {
  thread_local std::u16string out;
  out.clear();
  format(out, fmt, args);
  return out;
}

}  // namespace

int vswprintf(char16_t* buffer, size_t count, const char16_t* format_text, va_list args) {
  if (!buffer || !format_text || count == 0) return -1;
  const std::u16string& text = formatted(format_text, args);
  if (text.size() >= count) {
    std::memcpy(buffer, text.data(), (count - 1) * sizeof(char16_t));
    buffer[count - 1] = 0;
    return -1;
  }
  std::memcpy(buffer, text.c_str(), (text.size() + 1) * sizeof(char16_t));
  return int(text.size());
}

int swprintf(char16_t* buffer, size_t count, const char16_t* format_text, ...) {
  va_list args;
  va_start(args, format_text);
  const int n = vswprintf(buffer, count, format_text, args);
  va_end(args);
  return n;
}

int _vsnwprintf(char16_t* buffer, size_t count, const char16_t* format_text, va_list args) {
  if (!format_text || (!buffer && count)) return -1;
  const std::u16string& text = formatted(format_text, args);
  if (text.size() > count) {
    std::memcpy(buffer, text.data(), count * sizeof(char16_t));
    return -1;
  }
  std::memcpy(buffer, text.data(), text.size() * sizeof(char16_t));
  if (text.size() < count) buffer[text.size()] = 0;
  return int(text.size());
}

int _snwprintf(char16_t* buffer, size_t count, const char16_t* format_text, ...) {
  va_list args;
  va_start(args, format_text);
  const int n = _vsnwprintf(buffer, count, format_text, args);
  va_end(args);
  return n;
}
