#include "tools/hivemend-repair/volumes.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "base/mount_table.h"
#include "base/unique_fd.h"
#include "tools/hivemend-repair/disk_content.h"
#include "tools/hivemend-repair/process.h"
#include "tools/hivemend-repair/volume_state.h"
#include "win32/host/path.h"

namespace hivemend::repair_tool {

namespace {

// The mount points of the mount table whose source is `source`.
std::vector<std::string> mounted_at(const std::string& source) {
  std::vector<std::string> points;
  for (const base::MountEntry& m : base::read_mount_table())
    if (m.source == source) points.push_back(m.point);
  return points;
}

bool is_mount_point(const std::string& point) {
  const auto table = base::read_mount_table();
  return std::any_of(table.begin(), table.end(), [&](const base::MountEntry& m) { return m.point == point; });
}

// The first line of a small file ("" when it cannot be read).
std::string first_line_of(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

// What the loop device whose /sys/block folder is `sys` reads: its backing file (as
// stat gives it; the name may end in " (deleted)" once the file is gone) from byte
// `offset` on, `size_limit` bytes (0: to the file's end).
struct LoopBacking {
  struct stat file;
  uint64_t offset, size_limit;
};
std::optional<LoopBacking> loop_backing(const std::filesystem::path& sys) {
  std::string backing = first_line_of(sys / "loop/backing_file");
  if (const size_t deleted = backing.rfind(" (deleted)"); deleted != std::string::npos) backing.resize(deleted);
  LoopBacking loop{};
  if (backing.empty() || stat(backing.c_str(), &loop.file) != 0) return std::nullopt;
  loop.offset = std::strtoull(first_line_of(sys / "loop/offset").c_str(), nullptr, 10);
  loop.size_limit = std::strtoull(first_line_of(sys / "loop/sizelimit").c_str(), nullptr, 10);
  return loop;
}

// Where the bytes [offset, offset + size) of the image file `real` are mounted through a
// loop device that is not one of this run's ("/dev/loop3 is mounted at /mnt/x").
// Mounting the same NTFS volume twice, each driver unaware of the other, would corrupt it.
std::optional<std::string> mounted_through_loop(const std::string& real, uint64_t offset, uint64_t size,
                                                const std::vector<std::unique_ptr<Mount>>& mounts) {
  struct stat image;
  if (stat(real.c_str(), &image) != 0 || !S_ISREG(image.st_mode)) return std::nullopt;
  std::error_code ec;
  for (const auto& block : std::filesystem::directory_iterator("/sys/block", ec)) {
    const std::string name = block.path().filename();
    if (name.rfind("loop", 0) != 0) continue;
    const auto loop = loop_backing(block.path());
    if (!loop || loop->file.st_dev != image.st_dev || loop->file.st_ino != image.st_ino) continue;
    const uint64_t start = loop->offset, limit = loop->size_limit;
    if (start >= offset + size || (limit != 0 && start + limit <= offset)) continue;  // other bytes of the disk
    // The device itself or one of its partitions, mounted by someone else than this run.
    const std::string device = "/dev/" + name;
    for (const base::MountEntry& m : base::read_mount_table()) {
      if (m.source != device && m.source.rfind(device + "p", 0) != 0) continue;
      const bool ours =
          std::any_of(mounts.begin(), mounts.end(), [&](const auto& mount) { return mount->point() == m.point; });
      if (!ours) return m.source + " is mounted at " + m.point;
    }
  }
  return std::nullopt;
}

// The bytes [offset, offset + size) of the image file or block device `real` as bytes of
// the file or whole disk they lie on (see DiskBytes); nullopt for anything else.
std::optional<DiskBytes> bytes_of(const std::string& real, uint64_t offset, uint64_t size) {
  struct stat st;
  if (stat(real.c_str(), &st) != 0) return std::nullopt;
  if (S_ISREG(st.st_mode)) return DiskBytes{st.st_dev, st.st_ino, offset, offset + size};
  if (!S_ISBLK(st.st_mode)) return std::nullopt;
  std::error_code ec;
  auto sys = std::filesystem::canonical(
      "/sys/dev/block/" + std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev)), ec);
  if (ec) return std::nullopt;
  uint64_t start = offset;
  if (std::filesystem::exists(sys / "partition", ec)) {
    start += std::strtoull(first_line_of(sys / "start").c_str(), nullptr, 10) * 512;  // in sectors of 512 bytes
    sys = sys.parent_path();
  }
  if (const auto loop = loop_backing(sys))
    return DiskBytes{loop->file.st_dev, loop->file.st_ino, loop->offset + start, loop->offset + start + size};
  unsigned disk_major = 0, disk_minor = 0;
  if (std::sscanf(first_line_of(sys / "dev").c_str(), "%u:%u", &disk_major, &disk_minor) != 2) return std::nullopt;
  return DiskBytes{makedev(disk_major, disk_minor), 0, start, start + size};
}

// A volume on `bytes` that this run mounted already from another name: mounting it again
// would give the one volume two drivers, each unaware of the other.
Status check_not_mounted_by_run(const std::string& volume, const std::optional<DiskBytes>& bytes,
                                const std::vector<std::unique_ptr<Mount>>& mounts) {
  if (!bytes) return base::Ok{};
  for (const auto& mount : mounts)
    if (mount->bytes && mount->bytes->overlaps(*bytes))
      return Error{volume + ": the same volume as " + mount->source() +
                   ", given for another drive in another form (name it the same way for each drive)"};
  return base::Ok{};
}

// An NTFS boot sector (at `offset`, the volume's start) names its file system at byte 3.
bool holds_ntfs(const std::string& path, uint64_t offset) {
  char sector[11] = {};
  std::ifstream in(path, std::ios::binary);
  in.seekg(std::streamoff(offset));
  return in.read(sector, sizeof sector) && std::memcmp(sector + 3, "NTFS    ", 8) == 0;
}

// Mount points are numbered in the order made, for the life of the run.
int next_point = 0;

}  // namespace

namespace {

// Unmounts `point`: a mount still busy (a process gone astray keeps a file open) is
// retried briefly, then detached lazily rather than left behind. False when it was
// detached lazily.
bool unmount(const std::string& point) {
  for (int attempt = 0; attempt < 20; ++attempt) {
    if (run_to_end({"umount", point}) == 0 || !is_mount_point(point)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  run_to_end({"umount", "-l", point});
  return false;
}

// The file below a run's mount folder that notes each ntfs-3g started and each loop
// device attached, as made, so that a later run can give up what a killed one left.
std::string record_of(const std::string& mount_dir) { return mount_dir + "/made"; }

// Whether `pid` is a process of the program `name` that has not ended (a zombie has:
// where no process reaps orphans, it stays one). The name guards against a number the
// kernel has handed to another process since.
bool running(pid_t pid, const char* name) {
  const std::string proc = "/proc/" + std::to_string(pid);
  const std::string stat = first_line_of(proc + "/stat");
  const size_t state = stat.rfind(')') + 2;
  return first_line_of(proc + "/comm") == name && state < stat.size() && stat[state] != 'Z';
}

// Waits up to 30 s for a killed run's helper to end by itself, then asks it to end.
void wait_while_running(pid_t pid, const char* name) {
  for (int waited = 0; waited < 300 && running(pid, name); ++waited)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  if (running(pid, name)) kill(pid, SIGTERM);
}

void note(const std::string& mount_dir, const std::string& line) {
  std::ofstream(record_of(mount_dir), std::ios::app) << line << '\n' << std::flush;
}

}  // namespace

Mount::~Mount() {
  // The Windows layer keeps the drive roots it used open; this process must not be the
  // one that keeps the volume busy.
  win32::close_drive_roots();
  const bool done = unmount(point_);
  // ntfs-3g ends once the volume is written out; a volume detached lazily stays alive
  // while another process holds a file on it, and the run waits for that only briefly.
  const bool ended = wait_child_for(driver_, done ? kForever : std::chrono::seconds(30)).has_value();
  if (!ended) {
    std::fprintf(stderr,
                 "hivemend-repair: %s: still in use by another process; it is written out when that "
                 "process lets it go\n",
                 source_.c_str());
  }
  // Only once ntfs-3g has closed the loop device does detaching it take effect at once;
  // otherwise it goes when closed.
  if (!loop_.empty()) run_to_end({"losetup", "--detach", loop_});
  rmdir(point_.c_str());
}

Leftovers give_up_leftovers(const std::string& mount_dir) {
  Leftovers found;
  std::vector<pid_t> drivers;
  std::vector<std::string> loops;
  struct Export {
    pid_t client = 0, server = 0;
    std::string dir;
  };
  std::vector<Export> exports;
  std::ifstream record(record_of(mount_dir));
  std::string kind, line;
  while (record >> kind && std::getline(record, line)) {
    std::istringstream fields(line);
    if (kind == "ntfs-3g") {
      pid_t driver = 0;
      if (fields >> driver) drivers.push_back(driver);
    } else if (kind == "export") {
      Export e;
      if (fields >> e.client >> e.server >> std::ws && std::getline(fields, e.dir)) exports.push_back(e);
    } else if (kind == "loop") {
      // Detached only while it still reads the same file at the same offset: the number
      // may have gone to another since.
      std::string device, offset, image;
      fields >> device >> offset >> std::ws;
      std::getline(fields, image);
      const std::string sys = "/sys/block/" + std::filesystem::path(device).filename().string() + "/loop/";
      if (first_line_of(sys + "backing_file") == image && first_line_of(sys + "offset") == offset)
        loops.push_back(device);
    }
  }
  const auto unmount_below = [&](const std::string& dir, const auto& skip) {
    const auto table = base::read_mount_table();
    for (auto m = table.rbegin(); m != table.rend(); ++m)  // a mount inside another first
      if (m->point.rfind(dir + "/", 0) == 0 && !skip(m->point)) {
        unmount(m->point);
        ++found.mounts;
      }
  };
  const auto in_export = [&](const std::string& point) {
    return std::any_of(exports.begin(), exports.end(),
                       [&](const Export& e) { return point.rfind(e.dir + "/", 0) == 0; });
  };
  // The volumes first, each driver waited for: it ends once the volume is written out
  // (after the owner's end it is init's child), and a disk file's export below it must
  // take those writes before it goes.
  unmount_below(mount_dir, in_export);
  for (pid_t driver : drivers) wait_while_running(driver, "ntfs-3g");
  // Then each export: nbdfuse ends once unmounted, and qemu-nbd, its one client gone,
  // writes out what it holds and closes the file.
  for (const Export& e : exports) {
    // The run noted every export it made, also those it ended itself.
    const size_t mounts_before = found.mounts;
    unmount_below(e.dir, [](const std::string&) { return false; });
    if (found.mounts == mounts_before && !running(e.client, "nbdfuse") && !running(e.server, "qemu-nbd")) continue;
    wait_while_running(e.client, "nbdfuse");
    wait_while_running(e.server, "qemu-nbd");
    ++found.exports;
  }
  for (const auto& loop : loops)
    if (run_to_end({"losetup", "--detach", loop}) == 0) ++found.loops;
  return found;
}

namespace {

// The options of the mount that holds `path`: the one mounted last on its device.
std::optional<std::string> mount_options_of(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return std::nullopt;
  const std::string device = std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
  std::optional<std::string> options;
  for (const base::MountEntry& m : base::read_mount_table())
    if (m.device == device) options = m.options;
  return options;
}

// ntfs-3g's own words on a mount of ours: the log beside its mount point.
std::string ntfs3g_log(const std::string& point) { return point + ".log"; }

// What a volume is mounted from: an image, a block device, our loop device over a
// partition (detached by the caller when the mount fails), or the export of a VM disk
// file or of one partition of it.
struct Device {
  std::string path;
  std::string loop{};
  std::unique_ptr<VmDiskExport> exported{};
  std::optional<DiskBytes> bytes{};  // see Mount::bytes
};

OpenedVolume opened(const Mount& mount) {
  return OpenedVolume{.root = mount.point(), .hiberfile_removed = mount.hiberfile_removed};
}

// Starts ntfs-3g on the device at `point` with `options` added, and waits until it is
// mounted: the mount, which owns the device from then on, or ntfs-3g's reason.
Result<std::unique_ptr<Mount>> start_ntfs3g(const std::string& volume, Device device, const std::string& source,
                                            const std::string& point, const std::string& options) {
  std::error_code ec;
  std::filesystem::create_directories(point, ec);
  if (ec) return Error{point + ": " + ec.message()};
  // no_detach keeps ntfs-3g our child, so that its end (after unmounting) says that
  // every write has reached the volume; a session of its own keeps a terminal's ^C
  // from killing it under a mounted volume. noatime: the run's reads leave the restored
  // volume as it was (and a read is never a write that drops the listings kept of it).
  const std::string log = ntfs3g_log(point);
  const auto driver =
      start_child({"ntfs-3g", "-o", "streams_interface=xattr,no_detach,noatime" + options, device.path, point},
                  {.output = log, .own_session = true});
  if (!driver) return Error{volume + ": " + driver.error().message};
  // Noted in the run's scratch folder (the mount points' parent) for a later run to
  // clean up should this one be killed.
  note(std::filesystem::path(point).parent_path().string(), "ntfs-3g " + std::to_string(*driver));
  for (int waited = 0;; waited += 20) {
    if (is_mount_point(point))
      return std::make_unique<Mount>(source, point, *driver, device.loop, std::move(device.exported));
    const bool ended = wait_child_for(*driver, std::chrono::milliseconds(0)).has_value();
    if (ended || waited > 30000) {
      if (!ended) end_child(*driver, std::chrono::milliseconds(0));
      rmdir(point.c_str());
      const std::string reason = ntfs3g_reason(read_whole_file(log));
      return Error{volume + ": ntfs-3g could not mount it" + (reason.empty() ? "" : ": " + reason)};
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// Mounts the device with ntfs-3g on a fresh folder below `mount_dir`; on success the
// mount is added to `mounts` under `source`. Asked to remove the hibernation file of a
// volume the run writes, ntfs-3g is given its option of that name only when a read-only
// look finds one, so that the run can say that it removed it.
Result<OpenedVolume> mount_ntfs(const std::string& volume, Device device, const std::string& source,
                                const std::string& mount_dir, const DriveUse& use,
                                std::vector<std::unique_ptr<Mount>>& mounts, std::string point = "") {
  if (auto alone = check_not_mounted_by_run(volume, device.bytes, mounts); !alone) return alone.error();
  if (point.empty()) point = mount_dir + "/" + std::to_string(next_point++);
  bool removing = false;
  if (use.written && use.remove_hiberfile && !use.read_only) {
    auto look = start_ntfs3g(volume, Device{device.path}, source, point, ",ro");
    if (!look) return look.error();
    removing = hibernation_file((*look)->point()).has_value();
  }
  const std::string options = use.read_only ? ",ro" : removing ? ",remove_hiberfile" : "";
  const auto bytes = device.bytes;
  auto mount = start_ntfs3g(volume, std::move(device), source, point, options);
  if (!mount) return mount.error();
  (*mount)->hiberfile_removed = removing;
  (*mount)->bytes = bytes;
  mounts.push_back(std::move(*mount));
  // ntfs-3g removes only a file it takes for a hibernation ("hibr", under the name it
  // looks up); one that Windows was resuming from ("wake") it mounts over and leaves.
  if (const auto left = removing ? hibernation_file(point) : std::nullopt)
    if (unlink((point + "/" + *left).c_str()) != 0)
      return Error{volume + ": the hibernation file " + *left + " cannot be removed: " + std::strerror(errno)};
  return opened(*mounts.back());
}

// Whether the volume at `root`, which the run writes, may be written: a hibernated
// Windows on it would undo the repair when resumed, and ntfs-3g mounts a volume it may
// not write (hibernated, unclean) read-only without failing. `mounted_here`: the run
// mounted it, and ntfs-3g's words on it are at hand.
Status check_writable(const std::string& volume, const OpenedVolume& opened, bool mounted_here) {
  if (hibernation_file(opened.root)) return Error{hibernated_line(volume)};
  const auto options = mount_options_of(opened.root);
  if (options && mount_options_writable(*options)) return base::Ok{};
  const std::string reason = mounted_here ? ntfs3g_reason(read_whole_file(ntfs3g_log(opened.root))) : "";
  if (!reason.empty()) return Error{volume + ": mounted read-only by ntfs-3g: " + reason};
  return Error{volume + ": mounted read-only"};
}

// A disk or volume being opened: `real` names it in mount sources; its bytes are read
// from `bytes`, the file or device itself or a read-only export of a VM disk file.
struct Disk {
  std::string real, bytes;
  DiskContent vm_format = DiskContent::kUnknown;  // a VM disk file's format, else kUnknown
  bool shared = false;                            // its read-only exports let the run's own one write it
};

// The export of a VM disk file (or of `range` of the disk it holds) in a fresh folder
// below `mount_dir`.
Result<std::unique_ptr<VmDiskExport>> export_disk(const Disk& disk, const std::string& mount_dir, bool read_only,
                                                  std::optional<ByteRange> range = std::nullopt) {
  const std::string dir = mount_dir + "/export" + std::to_string(next_point++);
  auto exported = VmDiskExport::start(disk.real, disk.vm_format, dir, read_only, range, disk.shared && read_only);
  if (!exported) return Error{exported.error().to_string()};
  note(mount_dir, "export " + std::to_string((*exported)->client()) + " " + std::to_string((*exported)->server()) +
                      " " + (*exported)->dir());
  return std::move(*exported);
}

// The command that unlocks BitLocker on partition `p` of the disk: on the disk device's
// own node for it, on a loop device over an image file's bytes of it, or on a raw copy
// of a VM disk file, which no loop device reads.
std::string bitlocker_unlock(const Disk& disk, const Partition& p) {
  const std::string number = std::to_string(p.number);
  if (disk.vm_format != DiskContent::kUnknown)
    return "cryptsetup bitlkOpen on partition " + number + " of a raw copy, qemu-img convert -O raw " + disk.real +
           " COPY.img";
  struct stat st;
  for (const std::string& node : {disk.real + number, disk.real + "p" + number})
    if (stat(node.c_str(), &st) == 0 && S_ISBLK(st.st_mode)) return "cryptsetup bitlkOpen " + node + " NAME";
  return "cryptsetup bitlkOpen /dev/loopN NAME on the loop device of losetup --find --show --offset " +
         std::to_string(p.offset) + " --sizelimit " + std::to_string(p.size) + " " + disk.real;
}

// Why partition `p` of the disk `real` may not be mounted by this run: no NTFS on it, or
// mounted already by someone else (through its own device node or a loop device).
Status check_partition(const std::string& name, const Disk& disk, const Partition& p,
                       const std::vector<std::unique_ptr<Mount>>& mounts) {
  const std::string& real = disk.real;
  if (auto content = read_content(disk.bytes, p.offset); !content || *content != DiskContent::kNtfs)
    return Error{!content || *content == DiskContent::kUnknown
                     ? name + ": not an NTFS volume (no NTFS boot sector)"
                     : content_line(*content, name, bitlocker_unlock(disk, p))};
  // A disk device's own partition nodes (/dev/sdb2, /dev/nvme0n1p2) may be mounted.
  for (const std::string& node : {real + std::to_string(p.number), real + "p" + std::to_string(p.number)})
    if (auto points = mounted_at(node); !points.empty())
      return Error{name + ": busy: " + node + " is mounted at " + points.front() +
                   " (unmount it, or give that folder)"};
  if (const auto elsewhere = mounted_through_loop(real, p.offset, p.size, mounts))
    return Error{name + ": busy: " + *elsewhere + " (unmount it, or give that folder)"};
  return base::Ok{};
}

// A loop device of its own over partition `p` of the disk `real`: its path.
Result<std::string> attach_loop(const std::string& name, const std::string& real, const Partition& p,
                                const std::string& mount_dir, const DriveUse& use) {
  std::vector<std::string> attach = {
      "losetup", "--find", "--show", "--offset", std::to_string(p.offset), "--sizelimit", std::to_string(p.size)};
  if (use.read_only) attach.push_back("--read-only");
  attach.push_back(real);
  std::error_code ec;
  std::filesystem::create_directories(mount_dir, ec);
  const std::string said = mount_dir + "/losetup.out";
  const bool attached = run_to_end(attach, {.output = said}) == 0;
  const std::string loop = first_line_of(said);
  std::filesystem::remove(said, ec);
  if (!attached || loop.empty()) return Error{name + ": losetup could not attach a loop device"};
  note(mount_dir, "loop " + loop + " " + std::to_string(p.offset) + " " + real);
  return loop;
}

// The mount of `source` this run made already.
const Mount* mount_of(const std::string& source, const std::vector<std::unique_ptr<Mount>>& mounts) {
  for (const auto& mount : mounts)
    if (mount->source() == source) return mount.get();
  return nullptr;
}

bool writable(const std::string& root) {
  const auto options = mount_options_of(root);
  return options && mount_options_writable(*options);
}

// The mount of `source` this run made already, for a drive used as `use`. A mount that
// is read-only (a VM disk file's volume exported for a drive the run does not write, a
// hibernated volume) is unmounted for a drive that writes it; `point` gets its mount
// point, for the new mount where the other drive's letter links.
std::optional<OpenedVolume> reuse_mount(const std::string& source, const DriveUse& use,
                                        std::vector<std::unique_ptr<Mount>>& mounts, std::string& point) {
  const auto it = std::find_if(mounts.begin(), mounts.end(), [&](const auto& m) { return m->source() == source; });
  if (it == mounts.end()) return std::nullopt;
  if (!use.written || use.read_only || writable((*it)->point())) return opened(**it);
  point = (*it)->point();
  mounts.erase(it);
  return std::nullopt;
}

// Mounts partition `p` of the disk through a loop device of its own at the partition's
// offset and size (the device nodes of a scanned loop device's partitions only appear
// where udev runs), or of a VM disk file through an export of the partition alone.
Result<OpenedVolume> mount_partition(const std::string& volume, const Disk& disk, const Partition& p,
                                     const std::string& mount_dir, const DriveUse& use,
                                     std::vector<std::unique_ptr<Mount>>& mounts) {
  const std::string source = disk.real + ":" + std::to_string(p.number);
  const std::string name = volume + ":" + std::to_string(p.number);
  std::string point;
  if (auto reused = reuse_mount(source, use, mounts, point)) return *reused;
  if (auto usable = check_partition(name, disk, p, mounts); !usable) return usable.error();
  if (disk.vm_format != DiskContent::kUnknown) {
    auto exported = export_disk(disk, mount_dir, use.read_only, ByteRange{p.offset, p.size});
    if (!exported) return exported.error();
    const std::string path = (*exported)->path();
    return mount_ntfs(name, Device{path, "", std::move(*exported)}, source, mount_dir, use, mounts, point);
  }
  const auto loop = attach_loop(name, disk.real, p, mount_dir, use);
  if (!loop) return loop.error();
  auto root = mount_ntfs(name, Device{*loop, *loop, nullptr, bytes_of(disk.real, p.offset, p.size)}, source, mount_dir,
                         use, mounts, point);
  if (!root) run_to_end({"losetup", "--detach", *loop});
  return root;
}

// Whether the volume at `root` holds Windows\System32\config\SYSTEM, each name matched
// as Windows matches it.
bool holds_windows(const std::string& root) {
  auto volume = win32::make_volume_root(base::UniqueFd(open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)));
  if (!volume) return false;
  win32::Location at{std::move(volume), ""};
  for (std::u16string_view name : {u"Windows", u"System32", u"config", u"SYSTEM"}) {
    auto entry = win32::find_entry(at, name);
    if (!entry) return false;
    at.relative = at.child(*entry);
  }
  return true;
}

std::string numbers(const std::vector<const Partition*>& partitions) {
  std::string text;
  for (const Partition* p : partitions) text += (text.empty() ? "" : ", ") + std::to_string(p->number);
  return text;
}

// The partitions of a disk that hold Windows\System32\config\SYSTEM, and those that hold
// NTFS; partitions not mounted by the run yet are looked into read-only. `unreadable`
// gets why the first partition that could not be looked into was not.
struct PartitionSurvey {
  std::vector<const Partition*> ntfs, windows;
  std::string unreadable;
};
PartitionSurvey survey_partitions(const std::string& volume, const Disk& disk, const DiskLayout& layout,
                                  const std::string& mount_dir, std::vector<std::unique_ptr<Mount>>& mounts) {
  PartitionSurvey survey;
  for (const Partition& p : layout.partitions) {
    if (!holds_ntfs(disk.bytes, p.offset)) continue;
    survey.ntfs.push_back(&p);
    std::vector<std::unique_ptr<Mount>> look;
    const Mount* ours = mount_of(disk.real + ":" + std::to_string(p.number), mounts);
    auto root = ours ? Result<OpenedVolume>(opened(*ours))
                     : mount_partition(volume, disk, p, mount_dir, DriveUse{.read_only = true}, look);
    if (!root && survey.unreadable.empty()) survey.unreadable = root.error().message;
    if (root && holds_windows(root->root)) survey.windows.push_back(&p);
  }
  return survey;
}

// The partition of a disk a drive takes when its VOLUME names none (see open_volume).
Result<const Partition*> choose_partition(const std::string& volume, const Disk& disk, const DiskLayout& layout,
                                          char letter, const std::string& mount_dir, const DriveUse& use,
                                          std::vector<std::unique_ptr<Mount>>& mounts) {
  const std::string ask = std::string(": name one, as --drive ") + letter + "=" + volume + ":N";
  const PartitionSurvey found = survey_partitions(volume, disk, layout, mount_dir, mounts);
  if (found.windows.size() == 1) return found.windows.front();
  if (found.windows.size() > 1)
    return Error{volume + ": partitions " + numbers(found.windows) + " each hold Windows\\System32\\config\\SYSTEM" +
                 ask};
  // A partition ntfs-3g refused (hibernated, unclean) may be the one looked for.
  if (use.written && !found.unreadable.empty()) return Error{found.unreadable};
  if (use.written) return Error{volume + ": no partition holds Windows\\System32\\config\\SYSTEM"};
  if (found.ntfs.size() == 1) return found.ntfs.front();
  if (found.ntfs.empty()) return Error{volume + ": no NTFS partition"};
  return Error{volume + ": partitions " + numbers(found.ntfs) + " hold NTFS and none Windows" + ask};
}

// A --drive VOLUME split into its path and the partition number a trailing ":N" names.
struct VolumeName {
  std::string path;
  std::optional<int> number;
};
VolumeName split_volume(const std::string& volume) {
  const size_t colon = volume.rfind(':');
  if (colon == volume.npos || colon + 1 == volume.size() || colon + 5 <= volume.size() ||
      volume.find_first_not_of("0123456789", colon + 1) != volume.npos)
    return {volume, std::nullopt};
  return {volume.substr(0, colon), std::stoi(volume.substr(colon + 1))};
}

// The partition of a partitioned disk a drive takes, mounted.
Result<OpenedVolume> open_partition(char letter, const VolumeName& name, const Disk& disk, const DiskLayout& layout,
                                    const std::string& mount_dir, const DriveUse& use,
                                    std::vector<std::unique_ptr<Mount>>& mounts) {
  const Partition* partition = nullptr;
  if (name.number) {
    std::vector<const Partition*> all;
    for (const Partition& p : layout.partitions) {
      all.push_back(&p);
      if (p.number == *name.number) partition = &p;
    }
    if (!partition)
      return Error{name.path + ": no partition " + std::to_string(*name.number) + " (the table has " + numbers(all) +
                   ")"};
  } else {
    auto chosen = choose_partition(name.path, disk, layout, letter, mount_dir, use, mounts);
    if (!chosen) return chosen.error();
    partition = *chosen;
  }
  auto root = mount_partition(name.path, disk, *partition, mount_dir, use, mounts);
  if (!root) return root;
  root->table = layout.table;
  root->mbr_signature = layout.mbr_signature;
  return root;
}

// An NTFS image or block device with no partition table, or the export of a VM disk file
// holding one, mounted.
Result<OpenedVolume> open_whole(const std::string& volume, const Disk& disk, const std::string& mount_dir,
                                const DriveUse& use, std::unique_ptr<VmDiskExport> probe,
                                std::vector<std::unique_ptr<Mount>>& mounts) {
  const std::string& real = disk.real;
  std::string point;
  if (auto reused = reuse_mount(real, use, mounts, point)) return *reused;
  if (disk.vm_format != DiskContent::kUnknown) {
    // The read-only look at the file serves a run that does not write it.
    if (!probe || !use.read_only) {
      probe.reset();
      auto exported = export_disk(disk, mount_dir, use.read_only);
      if (!exported) return exported.error();
      probe = std::move(*exported);
    }
    const std::string path = probe->path();
    return mount_ntfs(volume, Device{path, "", std::move(probe)}, real, mount_dir, use, mounts, point);
  }
  if (auto points = mounted_at(real); !points.empty())
    return Error{volume + ": busy: mounted at " + points.front() + " (unmount it, or give that folder)"};
  if (const auto elsewhere = mounted_through_loop(real, 0, UINT64_MAX / 2, mounts))
    return Error{volume + ": busy: " + *elsewhere + " (unmount it, or give that folder)"};
  return mount_ntfs(volume, Device{real, "", nullptr, bytes_of(real, 0, UINT64_MAX / 2)}, real, mount_dir, use, mounts,
                    point);
}

// An image file, block device or VM disk file holding `content`, named `volume` on the
// command line: its volume, mounted.
Result<OpenedVolume> open_disk(char letter, const std::string& volume, const VolumeName& name, Disk disk,
                               DiskContent content, const std::string& mount_dir, const DriveUse& use,
                               std::vector<std::unique_ptr<Mount>>& mounts) {
  // A VM disk file is looked into through a read-only export of it, which shows the disk
  // it holds as raw bytes.
  std::unique_ptr<VmDiskExport> probe;
  if (is_vm_disk(content)) {
    disk.vm_format = content;
    auto exported = export_disk(disk, mount_dir, true);
    if (!exported) return exported.error();
    probe = std::move(*exported);
    disk.bytes = probe->path();
    auto inside = read_content(disk.bytes);
    if (!inside) return Error{inside.error().to_string()};
    // The file is one (its header said so); what it holds is not a disk the run knows,
    // as when it is empty or cut short.
    if (*inside == DiskContent::kUnknown)
      return Error{name.path + ": a " + qemu_format(content) +
                   " disk file whose disk holds neither an NTFS volume nor an MBR or GPT partition table (empty, "
                   "or cut short?)"};
    content = *inside;
  }
  if (!is_repairable(content) || is_vm_disk(content)) return Error{content_line(content, name.path)};
  auto layout = ReadDiskLayout(disk.bytes);
  if (!layout) return layout.error();
  if (layout->table != PartitionTable::kNone)
    return open_partition(letter, name, disk, *layout, mount_dir, use, mounts);
  if (name.number) return Error{name.path + ": no partition table, so no partition " + std::to_string(*name.number)};
  if (content != DiskContent::kNtfs) return Error{content_line(content, name.path)};
  return open_whole(volume, disk, mount_dir, use, std::move(probe), mounts);
}

}  // namespace

Result<OpenedVolume> open_volume(char letter, const std::string& volume, const std::string& mount_dir,
                                 const DriveUse& use, std::vector<std::unique_ptr<Mount>>& mounts) {
  const VolumeName name = split_volume(volume);
  const std::string& path = name.path;
  std::error_code ec;
  const std::string real = std::filesystem::canonical(path, ec).string();
  if (ec) return Error{path + ": " + ec.message()};
  struct stat st;
  if (stat(real.c_str(), &st) != 0) return Error{path + ": " + std::strerror(errno)};
  const bool must_write = use.written && !use.read_only;
  Result<OpenedVolume> root = Error{};
  if (S_ISDIR(st.st_mode)) {
    if (name.number) return Error{volume + ": a folder has no partitions"};
    root = OpenedVolume{real};
  } else if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
    return Error{path + ": neither a folder, an image file nor a block device"};
  } else {
    auto content = read_content(real);
    if (!content) return Error{content.error().to_string()};
    if (!is_repairable(*content)) return Error{content_line(*content, path)};
    DriveUse disk_use = use;
    // QEMU opens a file its owner may not write read-only; root would write it anyway.
    if (S_ISREG(st.st_mode) && !(st.st_mode & S_IWUSR)) {
      char mode[8];
      std::snprintf(mode, sizeof mode, "%04o", unsigned(st.st_mode & 07777));
      if (must_write) return Error{path + ": the file is read-only (mode " + mode + ")"};
      disk_use.read_only = true;
    }
    // A VM disk file that the run does not write is exported read-only, so that the file
    // has at most one export that writes it.
    if (is_vm_disk(*content) && !use.written) disk_use.read_only = true;
    // Only a real run writes a VM disk file, through one export that the run's read-only
    // ones must not keep out.
    root = open_disk(letter, volume, name, Disk{real, real, DiskContent::kUnknown, !use.read_only}, *content, mount_dir,
                     disk_use, mounts);
  }
  if (root && must_write)
    if (auto writable = check_writable(volume, *root, !S_ISDIR(st.st_mode)); !writable) return writable.error();
  return root;
}

}  // namespace hivemend::repair_tool
