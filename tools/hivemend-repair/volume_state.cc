#include "tools/hivemend-repair/volume_state.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>

#include "base/unique_fd.h"

namespace hivemend::repair_tool {
namespace {

// Windows writes one of these at the start of hiberfil.sys while a hibernation image
// (a full hibernation or Fast Startup's) waits to be resumed.
constexpr const char* kHibernationSignatures[] = {"hibr", "HIBR", "wake", "WAKE"};
constexpr size_t kSignatureBytes = 4;

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

bool starts_with(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

}  // namespace

std::optional<std::string> hibernation_file(const std::string& root) {
  base::UniqueFd root_fd(open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!root_fd) return std::nullopt;
  std::unique_ptr<DIR, DirCloser> dir(fdopendir(dup(root_fd.get())));
  if (!dir) return std::nullopt;
  while (const dirent* entry = readdir(dir.get())) {
    if (strcasecmp(entry->d_name, "hiberfil.sys") != 0) continue;
    // A link on a restored volume is never followed out of it.
    base::UniqueFd file(openat(root_fd.get(), entry->d_name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (!file || fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    char header[kSignatureBytes];
    if (pread(file.get(), header, sizeof header, 0) != ssize_t(sizeof header)) continue;
    for (const char* signature : kHibernationSignatures)
      if (std::memcmp(header, signature, kSignatureBytes) == 0) return std::string(entry->d_name);
  }
  return std::nullopt;
}

std::string hibernated_line(const std::string& volume) {
  return volume +
         ": the Windows installation is hibernated (Fast Startup): resuming it after the repair would undo the "
         "repair; --remove-hiberfile removes the hibernation file, so that Windows starts cold and reads the "
         "repaired hives";
}

bool mount_options_writable(std::string_view options) {
  bool rw = false;
  while (!options.empty()) {
    const size_t comma = options.find(',');
    const std::string_view option = options.substr(0, comma);
    if (option == "ro") return false;
    rw = rw || option == "rw";
    options.remove_prefix(comma == options.npos ? options.size() : comma + 1);
  }
  return rw;
}

std::string ntfs3g_reason(std::string_view output) {
  auto next_line = [&]() {
    const size_t end = output.find('\n');
    std::string_view line = output.substr(0, end);
    output.remove_prefix(end == output.npos ? output.size() : end + 1);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.remove_suffix(1);
    return line;
  };
  while (!output.empty()) {
    std::string_view line = next_line();
    // Warnings about the kernel or the options come first and wrap onto indented lines;
    // they never say why the volume was refused.
    if (line.empty() || line.front() == ' ' || line.front() == '\t' || starts_with(line, "WARNING") ||
        starts_with(line, "Warning"))
      continue;
    // In the foreground ntfs-3g reports a mount made, starting with its version: what
    // comes before that is all there is of a reason.
    if (starts_with(line, "Version ")) break;
    if (starts_with(line, "ntfs-3g: ")) line.remove_prefix(9);
    std::string reason(line);
    // "The disk contains an unclean file system (0, 0)." is followed by what made it so
    // and the refusal ("Metadata kept in Windows cache, refused to mount.").
    const std::string_view after = next_line();
    if (after.find("refused to mount") != after.npos) reason.append(" ").append(after);
    return reason;
  }
  return "";
}

}  // namespace hivemend::repair_tool
