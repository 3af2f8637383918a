#include "tests/support/files.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "base/unicode.h"

namespace hivemend::testing {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "hivemend-test-XXXXXX").string();
  if (mkdtemp(pattern.data())) root_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  if (!root_.empty()) std::filesystem::remove_all(root_, ignored);
}

std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

Bytes read_bytes(const std::string& path) {
  const std::string text = read_text(path);
  return Bytes(text.begin(), text.end());
}

bool write_text(const std::string& path, std::string_view text) {
  std::error_code ignored;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(text.data(), std::streamsize(text.size()));
  return bool(out);
}

bool write_bytes(const std::string& path, std::span<const uint8_t> bytes) {
  return write_text(path, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

bool unpack_hive(const std::string& name, const std::string& path) {
  std::error_code ignored;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
  const std::string cmd = "xz -dc '" HIVEMEND_TESTDATA "/hives/" + name + ".xz' > '" + path + "'";
  return std::system(cmd.c_str()) == 0;
}

Bytes utf16(std::u16string_view text, bool terminator) {
  Bytes out = base::to_utf16le(text);
  if (terminator) out.insert(out.end(), {0, 0});
  return out;
}

}  // namespace hivemend::testing
