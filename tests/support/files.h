// Files for tests: a temporary folder removed with its object, whole files read and
// written, the shared real hives unpacked, UTF-16 text as the registry stores it.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace hivemend::testing {

using Bytes = std::vector<uint8_t>;

// A fresh folder (mkdtemp), removed with everything in it when the object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& root() const { return root_; }
  std::string path(const std::string& name) const { return root_ + "/" + name; }

 private:
  std::string root_;
};

// A whole file ("" or empty when it cannot be read).
Bytes read_bytes(const std::string& path);
std::string read_text(const std::string& path);
// Writes a whole file, making its folder first; false on failure.
bool write_bytes(const std::string& path, std::span<const uint8_t> bytes);
bool write_text(const std::string& path, std::string_view text);

// The shared test hive NAME (testdata/hives/NAME.xz) unpacked to `path`; false on failure.
bool unpack_hive(const std::string& name, const std::string& path);

// UTF-16LE bytes of a text, with a terminator unless told otherwise.
Bytes utf16(std::u16string_view text, bool terminator = true);

}  // namespace hivemend::testing
