// The state of an NTFS volume that decides whether a run may write it: a Windows that
// was hibernated on it (Fast Startup), a mount that ntfs-3g made read-only, and the
// reason ntfs-3g gave for refusing or downgrading a mount.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace hivemend::repair_tool {

// The name of the hibernation file at the root of the mounted volume `root`, when the
// volume holds one that Windows would resume from: hiberfil.sys (the name in any case)
// whose first four bytes are "hibr", "HIBR", "wake" or "WAKE". Windows zeroes that
// header when it resumes or starts cold, so a file without it is no hibernation.
std::optional<std::string> hibernation_file(const std::string& root);

// The line that refuses a real run on a hibernated installation on `volume`.
std::string hibernated_line(const std::string& volume);

// Whether a mount with these options (the fourth field of the mount table,
// "rw,relatime,user_id=0,...") may be written.
bool mount_options_writable(std::string_view options);

// ntfs-3g's own reason out of everything it printed when a mount failed or fell back to
// read-only: its first line that is not a warning about the machine, with the next line
// when that one is the refusal the first explains. "" when it printed nothing but its
// report of a mount made ("Version ...", "Mounted ...").
std::string ntfs3g_reason(std::string_view output);

}  // namespace hivemend::repair_tool
