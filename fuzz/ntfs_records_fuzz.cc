// Fuzz target: the NTFS record reader on an image (a restored volume is untrusted input):
// the root directory's index listed, every listed entry read by its name, and each
// listed directory read and listed itself.
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
#include "win32/host/ntfs_records.h"

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
  const auto listed = reader->list(kRootDirectory);
  if (!listed) return 0;
  reader->directory(kRootDirectory);
  for (const auto& entry : *listed) {
    const uint64_t number = entry.reference & 0xFFFFFFFFFFFFull;
    FUZZ_CHECK(!entry.name.empty() && entry.name.size() <= 255, std::to_string(entry.name.size()) + " units");
    FUZZ_CHECK(number >= kFirstUserRecord, std::to_string(number));
    if (const auto found = reader->entry(entry.reference, kRootDirectory, entry.name))
      FUZZ_CHECK(found->short_name.size() <= 255, std::to_string(found->short_name.size()) + " units");
    if (reader->directory(number)) (void)reader->list(number);
  }
  return 0;
}
