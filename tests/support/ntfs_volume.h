// A real NTFS volume for tests: an image made with mkntfs in a temporary folder,
// mounted with ntfs-3g, unmounted and removed when the object goes away.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace hivemend::testing {

class NtfsVolume {
 public:
  // Makes and mounts a fresh volume of `megabytes`; nullptr when the machine cannot
  // (no mkntfs or ntfs-3g, no FUSE, not root), with the reason in *why_not.
  static std::unique_ptr<NtfsVolume> create(std::string* why_not, int megabytes = 64);
  // Mounts a copy of the volume image `image` (a damaged one, say); nullptr when ntfs-3g
  // refuses it or the machine cannot mount, with the reason in *why_not.
  static std::unique_ptr<NtfsVolume> of_image(const std::vector<uint8_t>& image, std::string* why_not);
  ~NtfsVolume();
  NtfsVolume(const NtfsVolume&) = delete;
  NtfsVolume& operator=(const NtfsVolume&) = delete;

  // The mount point: the volume's root directory.
  const std::string& root() const { return root_; }
  // root() + "/" + relative
  std::string path(const std::string& relative) const { return root_ + "/" + relative; }
  // The image file the volume is mounted from.
  std::string image() const { return dir_ + "/volume.img"; }

  // Sets the entry's 8.3 name as the volume records it (the system.ntfs_dos_name
  // extended attribute). Returns false with errno set on failure.
  static bool set_short_name(const std::string& path, const std::string& short_name);
  // Makes the empty directory `path` a junction (a mount point reparse point) to the
  // Windows path `target` ("C:\\dir"). Returns false with errno set on failure.
  static bool make_junction(const std::string& path, const std::u16string& target);
  // The entry's recorded 8.3 name, or "" when it has none.
  static std::string short_name(const std::string& path);

 private:
  NtfsVolume() = default;
  // A fresh temporary folder with an empty mount point; nullptr with the reason when the
  // machine cannot mount (not root, no FUSE).
  static std::unique_ptr<NtfsVolume> prepare(std::string* why_not);
  // Mounts image(); false (root() left empty) when ntfs-3g refuses it.
  bool mount();
  std::string dir_;  // temporary folder holding the image and the mount point
  std::string root_;
};

}  // namespace hivemend::testing

// Skips the current test loudly when no NTFS volume can be had on this machine.
#define HIVEMEND_NTFS_VOLUME_OR_SKIP(var, ...)                                       \
  std::string var##_why_not;                                                         \
  auto var = ::hivemend::testing::NtfsVolume::create(&var##_why_not, ##__VA_ARGS__); \
  if (!var) GTEST_SKIP() << "NO NTFS VOLUME ON THIS MACHINE, test not run: " << var##_why_not
