// Fuzz target: the NTFS record reader on an image (a restored volume is untrusted input):
// the root directory's record read, its index listed and every listed entry read, by
// its name and by number alone.
//
// Promises checked beyond "no crash": a listed name is one NTFS can store (1 to 255
// UTF-16 units) and names a user record, not one of the volume's system files; so is
// the short name of an entry read by its name.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/unique_fd.h"
#include "fuzz/fuzz_support.h"
#include "win32/ntfs_records.h"

namespace {

constexpr uint64_t kRootDirectory = 5, kFirstUserRecord = 16;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using hivemend::win32::NtfsRecords;
  static const base::UniqueFd image(memfd_create("ntfs-image", MFD_CLOEXEC));
  FUZZ_CHECK(bool(image), "no memfd");
  FUZZ_CHECK(ftruncate(image.get(), 0) == 0 && pwrite(image.get(), data, size, 0) == ssize_t(size), "memfd write");
  const auto reader = NtfsRecords::of_image(image.get());
  if (!reader) return 0;
  std::vector<uint8_t> record;
  if (!reader->directory_record(kRootDirectory, record)) return 0;
  std::vector<NtfsRecords::Listed> listed;
  if (!reader->list(kRootDirectory, record, listed)) return 0;
  for (const auto& entry : listed) {
    FUZZ_CHECK(!entry.name.empty() && entry.name.size() <= 255, std::to_string(entry.name.size()) + " units");
    FUZZ_CHECK(entry.number >= kFirstUserRecord, std::to_string(entry.number));
    if (const auto found = reader->read(entry.number, kRootDirectory, entry.name))
      FUZZ_CHECK(found->short_name.size() <= 255, std::to_string(found->short_name.size()) + " units");
    reader->read(entry.number, 0, u"");
    std::vector<uint8_t> directory;
    std::vector<NtfsRecords::Listed> inside;
    if (reader->directory_record(entry.number, directory)) reader->list(entry.number, directory, inside);
  }
  return 0;
}
