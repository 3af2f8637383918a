#include "win32/host/short_name.h"

#include <algorithm>
#include <numeric>
#include <set>

#include "base/unicode.h"

namespace hivemend::win32 {

namespace {

// Characters a short name may hold besides letters and digits (ASCII only here: other
// characters would need the OEM code page, and become '_').
bool valid_short_char(char16_t c) {
  if ((c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9')) return true;
  return std::u16string_view(u"!#$%&'()-@^_`{}~").find(c) != std::u16string_view::npos;
}

char16_t short_char(char16_t c) { return valid_short_char(c) ? base::upcase(c) : u'_'; }

char16_t hex_digit(unsigned v) { return v < 10 ? char16_t(u'0' + v) : char16_t(u'A' + v - 10); }

}  // namespace

bool is_8dot3_name(std::u16string_view name) {
  if (name.empty() || name.size() > 12 || name == u"." || name == u"..") return false;
  const size_t dot = name.find(u'.');
  const std::u16string_view stem = name.substr(0, dot);
  const std::u16string_view ext = dot == std::u16string_view::npos ? std::u16string_view() : name.substr(dot + 1);
  if (stem.empty() || stem.size() > 8 || ext.size() > 3) return false;
  if (dot != std::u16string_view::npos && ext.empty()) return false;
  return std::all_of(stem.begin(), stem.end(), valid_short_char) &&
         std::all_of(ext.begin(), ext.end(), valid_short_char);
}

uint16_t short_name_checksum(std::u16string_view name) {
  const size_t n = name.size();
  if (n == 0) return 0;
  if (n == 1) return name[0];
  uint16_t hash = uint16_t((name[0] << 8) + name[1]);
  if (n == 2) return hash;
  uint16_t saved = hash;
  for (size_t i = 2; i < n; i += 2) {
    hash = uint16_t((hash << 7) + name[i]);
    hash = uint16_t((saved >> 1) + (hash << 8));
    if (i + 1 < n) hash = uint16_t(hash + name[i + 1]);
    saved = hash;
  }
  return hash;
}

std::u16string generate_short_name(std::u16string_view long_name,
                                   const std::function<bool(std::u16string_view)>& taken) {
  // A leading dot is no extension separator (".profile" has the stem PROFILE).
  size_t last_dot = long_name.rfind(u'.');
  if (last_dot == 0) last_dot = std::u16string_view::npos;
  std::u16string stem, ext;
  for (size_t i = 0; i < long_name.size() && i < last_dot; ++i)
    if (long_name[i] != u' ' && long_name[i] != u'.') stem.push_back(short_char(long_name[i]));
  if (last_dot != std::u16string_view::npos)
    for (size_t i = last_dot + 1; i < long_name.size() && ext.size() < 3; ++i)
      if (long_name[i] != u' ') ext.push_back(short_char(long_name[i]));
  if (stem.empty()) stem.assign(1, u'_');
  std::u16string tail;
  if (!ext.empty()) tail.append(1, u'.').append(ext);

  for (int k = 1; k <= 4; ++k) {
    std::u16string candidate = stem.substr(0, 6) + u"~" + char16_t(u'0' + k) + tail;
    if (!taken(candidate)) return candidate;
  }
  const uint16_t sum = short_name_checksum(long_name);
  std::u16string hashed = stem.substr(0, 2);
  for (int shift = 12; shift >= 0; shift -= 4) hashed.push_back(hex_digit((sum >> shift) & 0xF));
  // ~1 to ~9 keep eight characters; past that the stem gives up characters to the number.
  for (int k = 1; k < 1000000; ++k) {
    const std::u16string number = base::from_utf8(std::to_string(k));
    const size_t room = 8 - 1 - number.size();
    std::u16string candidate = hashed.substr(0, std::min(hashed.size(), room)) + u"~" + number + tail;
    if (!taken(candidate)) return candidate;
  }
  return std::u16string();
}

std::vector<std::u16string> generate_short_names(const std::vector<std::u16string>& long_names) {
  std::vector<size_t> order(long_names.size());
  std::iota(order.begin(), order.end(), size_t(0));
  std::vector<std::u16string> upper(long_names.size());
  for (size_t i = 0; i < long_names.size(); ++i) upper[i] = base::upcase(long_names[i]);
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    if (upper[a] != upper[b]) return upper[a] < upper[b];
    return long_names[a] < long_names[b];
  });

  std::set<std::u16string> used;
  for (size_t i = 0; i < long_names.size(); ++i)
    if (is_8dot3_name(long_names[i])) used.insert(upper[i]);
  std::vector<std::u16string> result(long_names.size());
  for (size_t i : order) {
    if (is_8dot3_name(long_names[i])) continue;
    result[i] =
        generate_short_name(long_names[i], [&](std::u16string_view c) { return used.count(std::u16string(c)) != 0; });
    used.insert(result[i]);
  }
  return result;
}

}  // namespace hivemend::win32
