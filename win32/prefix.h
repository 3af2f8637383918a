// The prefix: the directory below which the layer keeps its state (HIVEMEND_PREFIX, or
// ~/.hivemend), and its drive letters, one symbolic link per letter in dosdevices/.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "win32/expected.h"
#include "win32/unique_fd.h"

namespace hivemend::win32 {

// The prefix directory, created (with dosdevices/ and z: -> /) on its first use in the
// process. Read from the environment at every call, so a changed HIVEMEND_PREFIX takes
// effect at once.
Expected<std::string> prefix_dir();

// Makes `letter` (a-z, either case) a drive whose root is `target`, replacing what the
// letter named before, or removes the letter when target is empty. As DefineDosDevice,
// but kept in the prefix.
Expected<bool> define_drive(char letter, const std::string& target);

// The root directory of a drive, opened (O_PATH); ERROR_PATH_NOT_FOUND for a letter
// with no link or a link to nothing.
Expected<UniqueFd> open_drive_root(char16_t letter);
// How many times define_drive changed a letter in this process: drive roots kept open
// are opened anew when it moves.
uint64_t drive_changes();

// The Windows name of an absolute Linux path: the drive whose root holds the path,
// the deepest root when several do ("/srv/x" is "Z:\srv\x" when only z: -> / covers it).
Expected<std::u16string> windows_path_of(const std::string& linux_path);

}  // namespace hivemend::win32
