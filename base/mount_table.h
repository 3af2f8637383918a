// The kernel's table of mounts as this process sees it (/proc/self/mountinfo), with the
// kernel's escapes decoded ("\040" is a blank in a path, "\011" a tab, "\012" a line
// break, "\134" a backslash).
#pragma once

#include <string>
#include <vector>

namespace base {

struct MountEntry {
  int id = 0;           // the mount's identity while it is mounted (statx's stx_mnt_id)
  std::string device;   // "major:minor"
  std::string root;     // the folder of the file system that is mounted
  std::string point;    // where it is mounted
  std::string options;  // per-mount options: "rw,nosuid,..."
  std::string type;     // "fuseblk", "ext4", ...
  std::string source;   // the image, device or name it was mounted from
};

// In mounting order; empty when the table cannot be read.
std::vector<MountEntry> read_mount_table();
// The table held in `text` (mountinfo's format).
std::vector<MountEntry> parse_mount_table(const std::string& text);

// Whether a comma-separated option list holds `option` ("ro" in "ro,relatime").
bool has_mount_option(const std::string& options, const std::string& option);

}  // namespace base
