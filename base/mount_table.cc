#include "base/mount_table.h"

#include <fstream>
#include <iterator>
#include <sstream>

namespace base {

namespace {

std::string unescape(const std::string& field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    const auto octal = [&](size_t at) { return at < field.size() && field[at] >= '0' && field[at] <= '7'; };
    if (field[i] == '\\' && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
      out += char((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
      i += 3;
    } else {
      out += field[i];
    }
  }
  return out;
}

}  // namespace

std::vector<MountEntry> parse_mount_table(const std::string& text) {
  std::vector<MountEntry> table;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    // ID PARENT MAJOR:MINOR ROOT POINT OPTIONS [OPTIONAL...] - TYPE SOURCE SUPER-OPTIONS
    std::istringstream fields(line);
    MountEntry m;
    std::string parent, root, point, field;
    if (!(fields >> m.id >> parent >> m.device >> root >> point >> m.options)) continue;
    while (fields >> field && field != "-") {}
    std::string source;
    if (field != "-" || !(fields >> m.type >> source)) continue;
    m.root = unescape(root);
    m.point = unescape(point);
    m.source = unescape(source);
    table.push_back(std::move(m));
  }
  return table;
}

std::vector<MountEntry> read_mount_table() {
  std::ifstream in("/proc/self/mountinfo");
  return parse_mount_table(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
}

bool has_mount_option(const std::string& options, const std::string& option) {
  std::istringstream list(options);
  for (std::string o; std::getline(list, o, ',');)
    if (o == option) return true;
  return false;
}

}  // namespace base
