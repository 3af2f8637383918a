#include "tools/hivemend-repair/vm_disk.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/unique_fd.h"
#include "tools/hivemend-repair/process.h"

namespace hivemend::repair_tool {
namespace {

using std::chrono::milliseconds;

// How long the export may take to come up, and to go once unmounted, before its
// processes are told to end.
constexpr milliseconds kStartLimit{30000};
constexpr milliseconds kEndLimit{30000};
constexpr milliseconds kPoll{20};
// qemu-nbd and nbdfuse each run in a session of their own, so that a terminal's ^C does
// not end them under a mounted volume.
ChildSetup logged_to(const std::string& log) { return {.output = log, .own_session = true}; }

regf::Error file_error(const std::string& file, std::string message) {
  regf::Error error = regf::make_error(std::move(message));
  error.file = file;
  return error;
}

// The first line a program wrote that is not empty, without its "program: " prefix:
// qemu's programs give their reason there and hints after it.
std::string first_line(const std::string& text, const std::string& program) {
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = std::min(text.find('\n', start), text.size());
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (line.empty()) continue;
    if (line.rfind(program + ": ", 0) == 0) line.erase(0, program.size() + 2);
    return line;
  }
  return "";
}

bool on_path(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::string_view dirs = path ? path : "/usr/bin:/bin";
  while (!dirs.empty()) {
    const size_t colon = dirs.find(':');
    const std::string dir(dirs.substr(0, colon));
    if (!dir.empty() && access((dir + "/" + program).c_str(), X_OK) == 0) return true;
    dirs.remove_prefix(colon == dirs.npos ? dirs.size() : colon + 1);
  }
  return false;
}

bool is_mount_point(const std::string& path) {
  struct stat self, parent;
  return stat(path.c_str(), &self) == 0 && stat((path + "/..").c_str(), &parent) == 0 && self.st_dev != parent.st_dev;
}

// A file name inside qemu's option syntax, where a comma separates options and ",,"
// stands for a comma.
std::string qemu_option_text(const std::string& text) {
  std::string out;
  for (char c : text) out += c == ',' ? std::string(",,") : std::string(1, c);
  return out;
}

}  // namespace

std::string missing_export_programs() {
  std::string missing;
  for (const char* program : {"qemu-img", "qemu-nbd", "nbdfuse", "fusermount3"})
    if (!on_path(program)) missing += std::string(missing.empty() ? "" : ", ") + program;
  if (missing.empty()) return "";
  return "reading VM disk files needs " + missing +
         ", which are not installed (Debian packages qemu-utils, libnbd-bin and fuse3: apt-get install qemu-utils "
         "libnbd-bin fuse3)";
}

regf::Result<VmDiskInfo> vm_disk_info(const std::string& file, const char* format, bool shared) {
  char scratch[] = "/tmp/hivemend-qemu-img-XXXXXX";
  if (!mkdtemp(scratch)) return file_error(file, std::string("cannot make a scratch folder: ") + std::strerror(errno));
  const std::string out = std::string(scratch) + "/info.json", err = std::string(scratch) + "/info.err";
  std::vector<std::string> argv = {"qemu-img", "info", "-f", format, "--output=json", file};
  // A read-only export may share the file with this run's own export that writes it.
  if (shared) argv.insert(argv.begin() + 2, "--force-share");
  const int code = run_to_end(argv, {.output = out, .errors = err});
  const std::string json = read_whole_file(out), said = read_whole_file(err);
  std::filesystem::remove_all(scratch);
  if (code != 0) {
    const std::string why = first_line(said, "qemu-img");
    return file_error(file, "qemu cannot open it as " + std::string(format) + (why.empty() ? "" : ": " + why));
  }
  const auto info = nlohmann::json::parse(json, nullptr, false);
  if (info.is_discarded() || !info.is_object() || !info.contains("virtual-size") ||
      !info["virtual-size"].is_number_unsigned())
    return file_error(file, "qemu-img info gave no virtual size");
  VmDiskInfo disk{.size = info["virtual-size"].get<uint64_t>()};
  const auto extents = info.value("/format-specific/data/extents"_json_pointer, nlohmann::json::array());
  for (const auto& extent : extents)
    disk.read_only = disk.read_only || (extent.is_object() && extent.value("compressed", false) == true);
  return disk;
}

regf::Result<std::unique_ptr<VmDiskExport>> VmDiskExport::start(const std::string& file, DiskContent content,
                                                                const std::string& dir, bool read_only,
                                                                std::optional<ByteRange> range, bool shared) {
  const char* format = qemu_format(content);
  if (!format) return file_error(file, "not a VM disk file");
  if (const std::string missing = missing_export_programs(); !missing.empty()) return file_error(file, missing);
  auto info = vm_disk_info(file, format, shared && read_only);
  if (!info) return info.error();
  if (info->read_only && !read_only)
    return file_error(file,
                      "a VMDK of compressed grains (streamOptimized), which QEMU can only read: convert it "
                      "for the repair (qemu-img convert -O vmdk " +
                          file + " NEW.vmdk) and name NEW.vmdk");
  if (range && (range->offset > info->size || range->size > info->size - range->offset))
    return file_error(file, "bytes " + std::to_string(range->offset) + " to " +
                                std::to_string(range->offset + range->size) + " lie beyond the disk's " +
                                std::to_string(info->size));

  std::unique_ptr<VmDiskExport> disk(new VmDiskExport(dir));
  const std::string point = dir + "/mnt", socket_path = dir + "/nbd.sock", pid_file = dir + "/nbdfuse.pid";
  const std::string server_log = dir + "/qemu-nbd.log", client_log = dir + "/nbdfuse.log";
  std::error_code ec;
  std::filesystem::create_directories(point, ec);
  if (ec) return file_error(file, dir + ": " + ec.message());

  // The socket listens before either program starts, so that nbdfuse can connect at
  // once and qemu-nbd stays a child of this process, whose end says the file is closed.
  base::UniqueFd listener(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socket_path.size() >= sizeof address.sun_path) return file_error(file, socket_path + ": path too long");
  std::memcpy(address.sun_path, socket_path.c_str(), socket_path.size() + 1);
  if (!listener || bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener.get(), 1) != 0)
    return file_error(file, socket_path + ": " + std::strerror(errno));

  std::vector<std::string> server = {"qemu-nbd"};
  if (read_only) server.push_back("--read-only");
  // The raw driver over the file's own driver shows the whole disk or only the range,
  // and takes writes of any size and place: VHDX's driver asks for whole 512-byte
  // sectors, which nbdfuse does not make of a write.
  std::string options = "driver=raw,file.driver=" + std::string(format) +
                        ",file.file.driver=file,file.file.filename=" + qemu_option_text(file);
  if (read_only && shared) options += ",force-share=on";
  if (range) options += ",offset=" + std::to_string(range->offset) + ",size=" + std::to_string(range->size);
  server.insert(server.end(), {"--image-opts", options});
  ChildSetup serving = logged_to(server_log);
  serving.listen_fd = listener.get();
  const auto server_pid = start_child(server, serving);
  listener.reset();
  if (!server_pid) return file_error(file, server_pid.error().message);
  disk->server_ = *server_pid;

  // One connection: qemu-nbd serves one client, and ends when it goes.
  std::vector<std::string> client = {"nbdfuse", "--connections", "1", "--pidfile", pid_file};
  if (read_only) client.push_back("--readonly");
  client.insert(client.end(), {point + "/disk", "--unix", socket_path});
  const auto client_pid = start_child(client, logged_to(client_log));
  if (!client_pid) return file_error(file, client_pid.error().message);
  disk->client_ = *client_pid;

  // nbdfuse writes its pid file once the file is there to be used.
  for (auto waited = milliseconds(0);; waited += kPoll) {
    struct stat st;
    if (stat(pid_file.c_str(), &st) == 0 && st.st_size > 0) break;
    const bool server_ended = wait_child_for(disk->server_, milliseconds(0)).has_value();
    const bool client_ended = wait_child_for(disk->client_, milliseconds(0)).has_value();
    if (server_ended || client_ended || waited >= kStartLimit) {
      std::string why = first_line(read_whole_file(server_log), "qemu-nbd");
      if (why.empty()) why = first_line(read_whole_file(client_log), "nbdfuse");
      if (why.empty()) why = "did not start within " + std::to_string(kStartLimit.count() / 1000) + " s";
      return file_error(file, std::string("cannot export it through qemu-nbd and nbdfuse: ") + why);
    }
    std::this_thread::sleep_for(kPoll);
  }
  disk->path_ = point + "/disk";
  const uint64_t expected = range ? range->size : info->size;
  struct stat st;
  if (stat(disk->path_.c_str(), &st) != 0 || uint64_t(st.st_size) != expected)
    return file_error(
        file, "the export shows " + std::to_string(st.st_size) + " bytes, qemu-img " + std::to_string(expected));
  disk->size_ = expected;
  return disk;
}

VmDiskExport::~VmDiskExport() {
  const std::string point = dir_ + "/mnt";
  // The volume on the file is unmounted before the object goes; a reader gone astray
  // may still hold the file for a moment, and after that it is detached lazily.
  if (client_ > 0) {
    bool done = false;
    for (int attempt = 0; attempt < 20 && !done; ++attempt) {
      done = run_to_end({"fusermount3", "-u", point}) == 0 || !is_mount_point(point);
      if (!done) std::this_thread::sleep_for(milliseconds(100));
    }
    if (!done) run_to_end({"fusermount3", "-u", "-z", point});
  }
  // nbdfuse ends once unmounted and disconnects; qemu-nbd then writes out what it holds,
  // closes the file and ends.
  end_child(client_, kEndLimit);
  end_child(server_, kEndLimit);
  if (is_mount_point(point)) return;  // never remove anything through a mount
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

}  // namespace hivemend::repair_tool
