// One run's scratch folder and mounts, the Windows environment's prefix with a drive
// letter for every --drive, and Windows paths in that prefix taken back to Linux.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tools/hivemend-repair/error.h"
#include "tools/hivemend-repair/options.h"
#include "tools/hivemend-repair/volumes.h"

namespace hivemend::repair_tool {

// The folder and the scratch of one run: mounts, the private prefix, the journal. Its
// scratch folder ($TMPDIR or /tmp, hivemend-repair-XXXXXX) names the run's process, so
// that a later run tells a killed run's leftovers from a live run's. Unmounts first,
// takes the prefix's links into the scratch folder away and removes the scratch only
// when nothing is mounted below it.
class Session {
 public:
  Session() = default;
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  ~Session();

  // Makes the scratch folder.
  Status start();
  std::string path(const std::string& name) const { return dir_ + "/" + name; }

  // Makes the prefix (`HIVEMEND_PREFIX` from now on), with Z: for / as the layer has it.
  Status make_prefix(const std::string& prefix);

  std::vector<std::unique_ptr<Mount>> mounts;
  std::string hiberfile_removed;  // the letters whose volume lost its hibernation file

 private:
  std::string dir_, prefix_;
};

// Gives up what runs whose process is gone left in the scratch folders' place: their
// mounts, loop devices and scratch folders, each run's told on standard error. How many
// runs left something.
size_t remove_leftovers();

// Opens every --drive volume (read-only with `read_only`) and links its letter in the
// prefix: the first source letter's volume.
Result<OpenedVolume> open_drives(const Options& o, Session& session, bool read_only);

// The Linux path of an existing file or folder named by a Windows path in the prefix.
std::optional<std::string> linux_path(const std::u16string& windows);

}  // namespace hivemend::repair_tool
