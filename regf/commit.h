// Crash-safe replacement of a file's whole content, keeping the file's identity.
//
// A hive (and the layer's machine registry text) is rewritten as a whole. The new image
// goes into a temporary sibling that is given the old file's identity, made durable,
// and renamed over the old name, so a process killed at any moment leaves either the
// old file or the complete new one under the name, never a truncated or mixed image.
//
// Identity kept: owner and group (when the process may set them), permission bits,
// every extended attribute the old file lists (user.*, security.*, trusted.*, POSIX
// ACLs; on ntfs-3g with streams_interface=xattr the user.* ones are the named
// streams), and on an ntfs-3g volume the NTFS attributes, security descriptor,
// creation time and DOS (8.3) name (the system.ntfs_* attributes, which ntfs-3g does
// not list). The last-write time is the new one: the content changed.
//
// One file has one writer at a time; the caller serializes writes to the same path.
// The name gets a new inode: other hard links to the old file keep the old content,
// and a process that holds the old file open keeps reading the old content.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "regf/result.h"

namespace regf {

// Writes `bytes` as the new content of `path`, or creates the file when it is missing
// (permissions 0666 less the umask). A symbolic link is followed: the file it names
// is replaced and the link stays. On failure the old file is untouched, no temporary
// file is left behind, and the error names the file and the reason in one line.
//
// Also finishes a replacement of the same path that an earlier process did not live
// to finish (see finish_interrupted_replace) and removes temporaries such processes
// left behind.
Status replace_file(const std::string& path, std::span<const uint8_t> bytes);

// Completes the identity of `path` after a process was killed between putting the new
// content under the name and giving the name back its DOS name, and removes stale
// temporaries of `path`. The content under the name is already whole (old or new);
// only the short name may be missing. Cheap when there is nothing to do; a reader
// that resolves short names may call it before opening the file.
Status finish_interrupted_replace(const std::string& path);

}  // namespace regf
