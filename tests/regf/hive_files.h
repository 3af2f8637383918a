// Files for the hive engine's tests: a temporary folder removed with the object, whole
// file reads and writes, and the shared real hives decompressed into it.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace regf_test {

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "regf_test_XXXXXX").string();
    if (mkdtemp(pattern.data())) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline std::vector<uint8_t> read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline bool write_bytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  return bool(out);
}

// Decompresses testdata/hives/NAME.xz into `dir`; the path of the result, or "" when
// xz fails.
inline std::string testdata_hive(const TempDir& dir, const std::string& name) {
  std::string out = dir.file(name);
  std::string cmd = "xz -dc '" HIVEMEND_TESTDATA "/hives/" + name + ".xz' > '" + out + "'";
  return std::system(cmd.c_str()) == 0 ? out : "";
}

}  // namespace regf_test
