// The prefix: the directory below which the layer keeps its state (HIVEMEND_PREFIX, or
// ~/.hivemend), and its drive letters, one symbolic link per letter in dosdevices/.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/unique_fd.h"
#include "win32/host/expected.h"

namespace hivemend::win32 {

// The prefix directory, created (with dosdevices/ and z: -> /) on its first use in the
// process. Read from the environment at every call, so a changed HIVEMEND_PREFIX takes
// effect at once.
Expected<std::string> prefix_dir();
// Whether `dir` is the prefix the environment names now, told without making the
// prefix's path: a cheap check that a prefix found before still holds (false when it
// cannot tell so cheaply).
bool is_prefix_dir(std::string_view dir);

// Makes `path`, a folder of the prefix, one that every user of the prefix may create
// files in, as on Windows any user may create named objects or write the product's
// logs: world-writable and sticky (as /tmp, whatever the umask), so one user cannot
// delete another's files. A folder made before with another mode is corrected by its
// owner; errno tells why on false.
bool make_shared_folder(const std::string& path);

// Opens a file of a shared folder with `flags` (O_RDWR, O_WRONLY | O_APPEND), creating
// it 0666, whatever the umask, when it does not exist. An existing file is opened without
// O_CREAT, which a sticky folder may refuse for another user's file
// (fs.protected_regular).
base::UniqueFd open_shared_file(const std::string& path, int flags);

// Makes `letter` (a-z, either case) a drive whose root is `target`, replacing what the
// letter named before, or removes the letter when target is empty. As DefineDosDevice,
// but kept in the prefix.
Expected<bool> define_drive(char letter, const std::string& target);

// The root directory of a drive, opened (O_PATH); ERROR_PATH_NOT_FOUND for a letter
// with no link or a link to nothing. z: without a link is "/".
Expected<base::UniqueFd> open_drive_root(char16_t letter);
// How many times define_drive changed a letter in this process: drive roots kept open
// are opened anew when it moves.
uint64_t drive_changes();

// The Windows name of an absolute Linux path: the drive whose root holds the path,
// the deepest root when several do ("/srv/x" is "Z:\srv\x" when only z: -> / covers it).
Expected<std::u16string> windows_path_of(const std::string& linux_path);

}  // namespace hivemend::win32
