// hivemend-repair as an engineer meets it: two NTFS image files (C: the volume the
// paths are looked up on, E: the restored installation with its SOFTWARE, SYSTEM and
// user hives), a dry run, a real run with its changes and undo files, a restore, the
// kinds of volume, whole-disk images with MBR and GPT partition tables, the same images
// as VM disk files, a hibernated installation, the refusals, and runs ended early: by
// SIGTERM (also on a qcow2 file), by a reader that closes the output, by SIGKILL; and
// the look before a repair (--list, --resolve) on a volume mounted elsewhere.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "base/unicode.h"
#include "regf/tree.h"
#include "tests/support/files.h"
#include "tests/support/hives.h"
#include "tests/support/ntfs_volume.h"
#include "tests/support/programs.h"
#include "tools/hivemend-repair/disk_layout.h"

namespace {

using namespace hivemend::testing;
namespace fs = std::filesystem;

const std::string kTool = std::string(HIVEMEND_BIN_DIR) + "/hivemend-repair";
const std::string kHivetool = std::string(HIVEMEND_BIN_DIR) + "/hivetool";

bool mounted(const std::string& text) { return read_text("/proc/self/mounts").find(text) != std::string::npos; }

// An image file mounted with ntfs-3g for the life of the object; its driver is waited
// for after unmounting, so that every write has reached the image.
class ImageMount {
 public:
  ImageMount(const std::string& image, const std::string& point, bool read_only) : point_(point) {
    fs::create_directories(point);
    driver_ = start_program({"/usr/bin/env", "ntfs-3g", "-o",
                             std::string("streams_interface=xattr,no_detach") + (read_only ? ",ro" : ""), image, point},
                            {}, fs::path(point).parent_path(), "ntfs-3g");
    for (int i = 0; i < 500 && !mounted(" " + point + " "); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ~ImageMount() {
    std::system(("umount '" + point_ + "'").c_str());
    finish_program(driver_, fs::path(point_).parent_path(), "ntfs-3g");
  }
  std::string path(const std::string& relative) const { return point_ + "/" + relative; }

 private:
  std::string point_;
  pid_t driver_;
};

regf::TreeValue text_value(const std::u16string& name, const std::u16string& text) {
  return {name, regf::kRegSz, utf16(text)};
}
std::vector<std::u16string> split(const std::string& key_path) {
  std::vector<std::u16string> names;
  for (size_t at = 0, next = 0; next != std::string::npos; at = next + 1)
    names.push_back(base::from_utf8(key_path.substr(at, (next = key_path.find('\\', at)) - at)));
  return names;
}
regf::TreeKey key_at(const std::vector<std::u16string>& path, std::vector<regf::TreeValue> values) {
  regf::TreeKey key{path.back(), {}, 0, std::move(values), {}};
  for (size_t i = path.size() - 1; i-- > 0;) key = regf::TreeKey{path[i], {}, 0, {}, {std::move(key)}};
  return key;
}
// The text of a string value at a key path, without its terminator ("<missing>" if none).
std::string text_at(const regf::TreeKey& root, const std::string& key_path, const std::string& name) {
  const regf::TreeKey* at = &root;
  for (const auto& part : split(key_path)) {
    auto it = std::find_if(at->subkeys.begin(), at->subkeys.end(), [&](const auto& k) { return k.name == part; });
    if (it == at->subkeys.end()) return "<missing>";
    at = &*it;
  }
  for (const auto& v : at->values) {
    if (v.name != base::from_utf8(name)) continue;
    std::u16string text;
    for (size_t i = 0; i + 1 < v.data.size(); i += 2) text += char16_t(v.data[i] | v.data[i + 1] << 8);
    return base::to_utf8(text.substr(0, text.find(u'\0')));
  }
  return "<missing>";
}
std::string json_text(const std::string& text) {
  return "\"" + std::regex_replace(std::regex_replace(text, std::regex("\\\\"), "\\\\"), std::regex("\""), "\\\"") +
         "\"";
}

// The installation's hives (file below E:, key path, value, stored text, repaired text).
struct Value {
  std::string hive, key, name;
  std::u16string stored;
  std::string repaired;
};
const Value kValues[] = {
    {"Windows/System32/config/SOFTWARE", "Vendor\\Tool", "InstallDir", u"C:\\PROGRA~1\\Vendor",
     "C:\\Program Files\\Vendor"},
    {"Windows/System32/config/SOFTWARE", "Classes\\VendorFile", "Exe", u"\"C:\\PROGRA~1\\Vendor\\tool.exe\" /x",
     "\"C:\\Program Files\\Vendor\\tool.exe\" /x"},
    {"Windows/System32/config/SYSTEM", "ControlSet001\\Services\\Vendor", "ImagePath",
     u"C:\\PROGRA~1\\Vendor\\tool.exe", "C:\\Program Files\\Vendor\\tool.exe"},
    {"Users/alice/ntuser.dat", "Software\\Vendor", "Home", u"C:\\PROGRA~1\\Vendor", "C:\\Program Files\\Vendor"},
};
const char* const kHives[] = {"Windows/System32/config/SOFTWARE", "Windows/System32/config/SYSTEM",
                              "Users/alice/ntuser.dat"};

class RepairToolTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (geteuid() != 0 || system("command -v mkntfs ntfs-3g > /dev/null") != 0) return;
    dir_ = std::make_unique<TempDir>();
    ready_ = make_image("C.img", lay_out_c) && make_image("E.img", lay_out_e) &&
             make_disk("mbr.img", "label: dos\\nlabel-id: 0x1a2b3c4d\\n1MiB,16MiB,7\\n,,7\\n") &&
             make_disk("gpt.img", "label: gpt\\n1MiB,16MiB\\n,,\\n");
  }
  // The long name is found whatever short name the new volume gave the folder.
  static bool lay_out_c(const std::string& root) {
    return fs::create_directories(root + "/Program Files/Vendor") &&
           NtfsVolume::set_short_name(root + "/Program Files", "PROGRA~3") &&
           write_text(root + "/Program Files/Vendor/tool.exe", "x");
  }
  // The installation; its SYSTEM hive records drive C: as the partition at 17 MiB of the
  // disk with signature 1A2B3C4D.
  static bool lay_out_e(const std::string& root) {
    std::vector<regf::TreeKey> trees(3, regf::TreeKey{u"ROOT", {}, 0, {}, {}});
    trees[0].subkeys.push_back(key_at({u"Microsoft", u"Windows NT", u"CurrentVersion", u"ProfileList"},
                                      {text_value(u"ProfilesDirectory", u"%SystemDrive%\\Users")}));
    trees[1].subkeys.push_back(
        key_at({u"MountedDevices"},
               {{u"\\DosDevices\\C:", regf::kRegBinary, {0x4D, 0x3C, 0x2B, 0x1A, 0, 0, 0x10, 0x01, 0, 0, 0, 0}}}));
    for (const Value& v : kValues) {
      const size_t hive = size_t(std::find(std::begin(kHives), std::end(kHives), v.hive) - std::begin(kHives));
      trees[hive].subkeys.push_back(
          key_at(split(v.key), {text_value(base::from_utf8(v.name), v.stored), text_value(u"Plain", u"no path here")}));
    }
    // Enough values that the summary groups its counts with commas: each a candidate
    // whose folder is on no volume, so accessed, resolved and skipped all pass 1,000.
    std::vector<regf::TreeValue> many;
    for (int i = 0; i < 1100; ++i)
      many.push_back(text_value(u"Gone" + base::from_utf8(std::to_string(i)), u"C:\\NOWHER~1\\x.exe"));
    trees[0].subkeys.push_back(key_at({u"Stale"}, std::move(many)));
    for (size_t i = 0; i < 3; ++i)
      if (!write_hive(root + "/" + kHives[i], trees[i]) ||
          !write_hive(at(std::string("orig") + char('0' + i)), trees[i]))
        return false;
    return true;
  }
  static void TearDownTestSuite() { dir_.reset(); }
  void SetUp() override {
    if (!dir_) GTEST_SKIP() << "NO NTFS VOLUME ON THIS MACHINE (root, mkntfs and ntfs-3g needed), test not run";
    ASSERT_TRUE(ready_);
    for (const char* image : {"C.img", "E.img"})
      fs::copy_file(at(image), at(std::string("run-") + image), fs::copy_options::overwrite_existing);
  }

  static std::string at(const std::string& name) { return dir_->path(name); }

  // Whether qemu-nbd serves a file whose path holds `text`.
  static bool exporting(const std::string& text) {
    return run_program({"/usr/bin/env", "pgrep", "-f", "^qemu-nbd .*" + text}, {}, dir_->root()).exit_code == 0;
  }

  // A fresh 64 MB NTFS image laid out by `lay_out` while mounted.
  static bool make_image(const std::string& name, const std::function<bool(const std::string&)>& lay_out) {
    const std::string image = at(name);
    if (!write_text(image, "") || truncate(image.c_str(), 64 << 20) != 0 ||
        run_program({"/usr/bin/env", "mkntfs", "-F", "-Q", "-q", image}, {}, dir_->root()).exit_code != 0)
      return false;
    ImageMount mount(image, at("build-" + name), false);
    return lay_out(at("build-" + name));
  }
  // An 80 MB disk image with the partition table sfdisk makes from `table`: two NTFS
  // partitions, each made through a loop device at its offset, the second holding both
  // C:'s and E:'s layouts.
  static bool make_disk(const std::string& name, const std::string& table) {
    const std::string image = at(name);
    if (!write_text(image, "") || truncate(image.c_str(), 80 << 20) != 0 ||
        run_program({"/bin/sh", "-c", "printf '" + table + "' | sfdisk -q " + image}, {}, dir_->root()).exit_code != 0)
      return false;
    auto layout = hivemend::repair_tool::ReadDiskLayout(image);
    if (!layout || layout->partitions.size() != 2) return false;
    bool made = true;
    for (const auto& p : layout->partitions) {
      const ProgramRun loop = run_program({"/usr/bin/env", "losetup", "--find", "--show", "--offset",
                                           std::to_string(p.offset), "--sizelimit", std::to_string(p.size), image},
                                          {}, dir_->root());
      if (loop.exit_code != 0) return false;
      const std::string device = loop.out.substr(0, loop.out.find('\n'));
      made = made && run_program({"/usr/bin/env", "mkntfs", "-F", "-Q", "-q", device}, {}, dir_->root()).exit_code == 0;
      if (made && p.number == 2) {
        ImageMount mount(device, at("build-" + name), false);
        made = lay_out_c(at("build-" + name)) && lay_out_e(at("build-" + name));
      }
      run_program({"/usr/bin/env", "losetup", "--detach", device}, {}, dir_->root());
    }
    return made;
  }

  static ProgramRun tool(std::vector<std::string> args, const std::vector<std::string>& env = {}) {
    args.insert(args.begin(), kTool);
    return run_program(args, env, dir_->root());
  }
  // Mounts of image files show the file as their source, loop devices theirs as their
  // backing file, exports of VM disk files qemu-nbd's command line: only this test's are
  // looked for.
  static bool ours() {
    return mounted(at("run-")) ||
           run_program({"/usr/bin/env", "losetup", "-a"}, {}, dir_->root()).out.find(at("run-")) != std::string::npos ||
           exporting(at("run-"));
  }
  // A folder of its own for the runs' scratch folders ($TMPDIR), so that other runs on
  // the machine are not seen: the environment entry.
  static std::string own_tmpdir(const std::string& name) {
    fs::remove_all(at(name));
    fs::create_directories(at(name));
    return "TMPDIR=" + at(name);
  }
  static std::vector<std::string> drives() {
    return {"--drive", "c=" + at("run-C.img"), "--drive", "e=" + at("run-E.img"), "--src", "C", "--dst", "E"};
  }
  static std::vector<std::string> with(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  }

  static inline std::unique_ptr<TempDir> dir_;
  static inline bool ready_ = false;
};

TEST_F(RepairToolTest, DryRunRealRunAndRestore) {
  const Bytes c_before = read_bytes(at("run-C.img")), e_before = read_bytes(at("run-E.img"));
  const ProgramRun dry = tool(with(drives(), {"--dry-run", "--changes", at("dry.json")}));
  ASSERT_EQ(dry.exit_code, 0) << dry.err;
  EXPECT_EQ(dry.err, "");
  EXPECT_NE(dry.out.find("dry run: nothing was written; 4 values would change\n"), std::string::npos) << dry.out;
  EXPECT_TRUE(read_bytes(at("run-C.img")) == c_before && read_bytes(at("run-E.img")) == e_before);
  EXPECT_FALSE(mounted(at("run-")));
  // An output that cannot be written is named after the run's outcome.
  const ProgramRun unwritable = tool(with(drives(), {"--dry-run", "--changes", at("missing/dry.json")}));
  EXPECT_EQ(unwritable.exit_code, 1);
  EXPECT_EQ(unwritable.err, "hivemend-repair: " + at("missing/dry.json") + ": cannot write\n");
  EXPECT_TRUE(unwritable.out.ends_with("4 values would change\n")) << unwritable.out;

  // A record that is there already keeps its mode and extended attributes, as if
  // written in place.
  ASSERT_TRUE(write_text(at("real.json"), "older"));
  ASSERT_EQ(chmod(at("real.json").c_str(), 0604), 0);
  ASSERT_EQ(setxattr(at("real.json").c_str(), "user.kept", "1", 1, 0), 0);
  const ProgramRun real = tool(with(drives(), {"--changes", at("real.json"), "--undo", at("undo")}));
  ASSERT_EQ(real.exit_code, 0) << real.err;
  struct stat record {};
  char kept = 0;
  EXPECT_TRUE(stat(at("real.json").c_str(), &record) == 0 && (record.st_mode & 07777) == 0604);
  EXPECT_EQ(getxattr(at("real.json").c_str(), "user.kept", &kept, 1), 1);
  EXPECT_NE(real.out.find("4 values changed\n"), std::string::npos) << real.out;
  EXPECT_NE(real.out.find("undo: " + at("undo") + " (3 files)\n"), std::string::npos) << real.out;
  EXPECT_FALSE(mounted(at("run-")));
  // The dry run named exactly the values the real run changed, with the same texts.
  const std::string changes = read_text(at("real.json"));
  EXPECT_EQ(read_text(at("dry.json")), changes);
  for (const Value& v : kValues)
    EXPECT_NE(changes.find("\"key\": " + json_text(v.key) + ", \"value\": \"" + v.name + "\", \"type\": 1, \"old\": " +
                           json_text(base::to_utf8(v.stored)) + ", \"new\": " + json_text(v.repaired) + "}"),
              std::string::npos)
        << v.name << "\n"
        << changes;
  // The counters are the summary block's, each past 1,000 and so grouped there.
  std::smatch m;
  const std::regex grouped(
      "Values Accessed +- (\\d,[\\d,]+)\nPaths Resolved +- (\\d,[\\d,]+)\nPaths Skipped +- (\\d,[\\d,]+)");
  ASSERT_TRUE(std::regex_search(real.out, m, grouped)) << real.out;
  auto digits = [](std::string text) { return std::regex_replace(text, std::regex(","), ""); };
  EXPECT_NE(changes.find("\"counters\": {\"values_accessed\": " + digits(m[1]) +
                         ", \"paths_resolved\": " + digits(m[2]) + ", \"paths_skipped\": " + digits(m[3]) + "}"),
            std::string::npos)
      << changes;
  {
    ImageMount e(at("run-E.img"), at("check"), true);
    for (const Value& v : kValues) {
      auto tree = read_hive(e.path(v.hive));
      ASSERT_TRUE(tree) << v.hive;
      EXPECT_EQ(text_at(*tree, v.key, v.name), v.repaired);
      EXPECT_EQ(text_at(*tree, v.key, "Plain"), "no path here");
    }
  }

  const ProgramRun restored = tool({"--drive", "e=" + at("run-E.img"), "--restore", at("undo")});
  ASSERT_EQ(restored.exit_code, 0) << restored.err;
  EXPECT_EQ(restored.out,
            "E:\\Users\\alice\\ntuser.dat: 1 value set, 0 values deleted, 0 keys deleted\n"
            "E:\\Windows\\system32\\config\\SOFTWARE: 2 values set, 0 values deleted, 0 keys deleted\n"
            "E:\\Windows\\system32\\config\\SYSTEM: 1 value set, 0 values deleted, 0 keys deleted\n");
  EXPECT_FALSE(mounted(at("run-")));
  ImageMount e(at("run-E.img"), at("check"), true);
  for (size_t i = 0; i < 3; ++i) {
    const ProgramRun diff =
        run_program({kHivetool, "diff", at(std::string("orig") + char('0' + i)), e.path(kHives[i])}, {}, dir_->root());
    EXPECT_EQ(diff.exit_code, 0) << kHives[i] << "\n" << diff.out;
  }
}

TEST_F(RepairToolTest, EachKindOfVolumeWorks) {
  ImageMount folder(at("run-E.img"), at("folder"), false);
  ASSERT_TRUE(mounted(at("folder")));
  const ProgramRun from_folder = tool(
      {"--drive", "c=" + at("run-C.img"), "--drive", "e=" + at("folder"), "--src", "C", "--dst", "E", "--dry-run"});
  EXPECT_EQ(from_folder.exit_code, 0) << from_folder.err;
  EXPECT_NE(from_folder.out.find("4 values would change"), std::string::npos) << from_folder.out;

  const ProgramRun loop =
      run_program({"/usr/bin/env", "losetup", "--find", "--show", at("run-C.img")}, {}, dir_->root());
  if (loop.exit_code != 0) GTEST_SKIP() << "no loop device on this machine: " << loop.err;
  const std::string device = loop.out.substr(0, loop.out.find('\n'));
  const ProgramRun from_device =
      tool({"--drive", "c=" + device, "--drive", "e=" + at("folder"), "--src", "C", "--dst", "E", "--dry-run"});
  // The image and a loop device over it are one volume: two drives may not mount it twice,
  // whichever comes first.
  const ProgramRun image_then_device = tool({"--drive", "c=" + at("run-C.img"), "--drive", "d=" + device, "--drive",
                                             "e=" + at("folder"), "--src", "C", "--dst", "E", "--dry-run"});
  const ProgramRun device_then_image = tool({"--drive", "c=" + device, "--drive", "d=" + at("run-C.img"), "--drive",
                                             "e=" + at("folder"), "--src", "C", "--dst", "E", "--dry-run"});
  {
    // Mounted elsewhere through that loop device, the image itself is busy.
    ImageMount elsewhere(device, at("elsewhere"), true);
    const ProgramRun busy = tool({"--drive", "c=" + at("run-C.img"), "--dry-run"});
    EXPECT_EQ(busy.exit_code, 1);
    EXPECT_EQ(busy.err, "hivemend-repair: " + at("run-C.img") + ": busy: " + device + " is mounted at " +
                            at("elsewhere") + " (unmount it, or give that folder)\n");
  }
  run_program({"/usr/bin/env", "losetup", "-d", device}, {}, dir_->root());
  EXPECT_EQ(from_device.exit_code, 0) << from_device.err;
  EXPECT_NE(from_device.out.find("4 values would change"), std::string::npos) << from_device.out;
  const std::string twice = " (name it the same way for each drive)\n";
  EXPECT_EQ(image_then_device.err, "hivemend-repair: " + device + ": the same volume as " + at("run-C.img") +
                                       ", given for another drive in another form" + twice);
  EXPECT_EQ(device_then_image.err, "hivemend-repair: " + at("run-C.img") + ": the same volume as " + device +
                                       ", given for another drive in another form" + twice);
}

TEST_F(RepairToolTest, WholeDiskImages) {
  for (const char* image : {"mbr.img", "gpt.img"}) fs::copy_file(at(image), at(std::string("run-") + image));
  const std::string mbr = at("run-mbr.img"), gpt = at("run-gpt.img"), vhdx = at("run-mbr.vhdx");
  const bool qemu =
      run_program({"/usr/bin/env", "qemu-img", "convert", "-O", "vhdx", at("mbr.img"), vhdx}, {}, dir_->root())
          .exit_code == 0;
  const std::string found_c = "m_szSrcHiveLetters = \tC\n";  // the source system's C: on the disk signed 1A2B3C4D
  const struct {
    std::vector<std::string> args;
    int exit_code;
    std::string said;  // in standard output, or the start of standard error
    std::string logged;
  } cases[] = {
      {{"--drive", "c=" + mbr, "--drive", "e=" + mbr}, 0, "4 values changed", ""},
      {{"--drive", "c=" + mbr, "--drive", "e=" + mbr, "--rescue-transfer", "--dry-run"}, 0, "", found_c},
      {{"--drive", "c=" + gpt, "--drive", "e=" + gpt + ":2"}, 0, "4 values changed", ""},
      {{"--drive", "c=" + gpt, "--drive", "e=" + gpt + ":2", "--rescue-transfer", "--dry-run"},
       2,
       "hivemend-repair: drive C: a GPT disk holds no disk signature; give the source disk's with --sig HEX",
       ""},
      {{"--drive", "c=" + gpt, "--drive", "e=" + gpt + ":2", "--rescue-transfer", "--dry-run", "--sig", "1A2B3C4D"},
       0,
       "",
       found_c},
      {{"--drive", "c=" + gpt, "--drive", "e=" + gpt + ":2", "--rescue-transfer", "--dry-run", "--sig", "1A2B3C4E"},
       1,
       "hivemend-repair: source disk signature 1A2B3C4E: the source system on C: gave no drive letter to that disk; "
       "its MountedDevices knows 1A2B3C4D (give one with --sig HEX)\n",
       ""},
      {{"--drive", "c=" + gpt, "--drive", "e=" + gpt + ":1"},
       1,
       "hivemend-repair: no Windows\\System32\\config on any destination drive (E:)\n",
       ""},
      {{"--drive", "c=" + mbr, "--drive", "e=" + mbr + ":3"},
       1,
       "hivemend-repair: " + mbr + ": no partition 3 (the table has 1, 2)\n",
       ""},
      // The same disk in a VHDX file: C: only read, E: written, both its partition 2.
      {{"--drive", "c=" + vhdx, "--drive", "e=" + vhdx}, 0, "4 values changed", ""},
      {{"--drive", "c=" + vhdx, "--drive", "e=" + vhdx + ":2", "--rescue-transfer", "--dry-run"}, 0, "", found_c},
  };
  for (const auto& c : cases) {
    if (!qemu && c.args[1] == "c=" + vhdx) continue;
    SCOPED_TRACE(c.args[3] + (c.args.size() > 4 ? " " + c.args[4] : ""));
    fs::remove_all(at("prefix"));
    const ProgramRun run = tool(with(c.args, {"--src", "C", "--dst", "E", "--prefix", at("prefix")}));
    EXPECT_EQ(run.exit_code, c.exit_code) << run.err;
    EXPECT_TRUE(run.out.find(c.said) != std::string::npos || run.err.rfind(c.said, 0) == 0) << run.out << run.err;
    EXPECT_NE(read_text(at("prefix/logs/hivemend.log")).find(c.logged), std::string::npos);
    // The kept prefix has no drive link into the run's removed scratch folder.
    std::error_code no_prefix;
    for (const auto& link : fs::directory_iterator(at("prefix/dosdevices"), no_prefix))
      EXPECT_TRUE(fs::exists(link.path())) << link.path();
    // Every loop device of the run is gone, and with it every mount made through one.
    const ProgramRun loops = run_program({"/usr/bin/env", "losetup", "-a"}, {}, dir_->root());
    EXPECT_EQ(loops.out.find(at("run-")), std::string::npos) << loops.out;
  }
}

TEST_F(RepairToolTest, RefusalsAreOneLine) {
  ASSERT_TRUE(write_text(at("zeros.img"), std::string(1 << 20, '\0')));
  // Each file system named where its boot sector names it, at byte 3.
  Bytes sector(1 << 20, 0);
  std::copy_n("\xEB\x58\x90-FVE-FS-", 11, sector.begin());
  ASSERT_TRUE(write_bytes(at("bitlocker.img"), sector));
  // The same as partition 1 of a disk image, whose name is no device to unlock.
  Bytes disk = read_bytes(at("mbr.img"));
  std::copy_n(sector.begin(), 11, disk.begin() + (1 << 20));
  ASSERT_TRUE(write_bytes(at("bitlocker-disk.img"), disk));
  std::copy_n("\0\0\0ReFS\0\0\0\0", 11, sector.begin());
  ASSERT_TRUE(write_bytes(at("refs.img"), sector));
  ASSERT_TRUE(write_text(at("fat.img"), "") && truncate(at("fat.img").c_str(), 32 << 20) == 0);
  ASSERT_EQ(run_program({"/usr/bin/env", "mkfs.vfat", at("fat.img")}, {}, dir_->root()).exit_code, 0);
  fs::copy_file(at("E.img"), at("run-E444.img"), fs::copy_options::overwrite_existing);
  fs::permissions(at("run-E444.img"), fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  const std::string ntfs_only = "; the repair works on NTFS volumes only: name the volume that holds Windows\n";
  fs::create_directories(at("empty"));
  ASSERT_TRUE(unpack_hive("corrupted_system_hive", at("damaged/Windows/System32/config/SYSTEM")));
  ASSERT_TRUE(write_text(at("garbage/Windows/System32/config/SYSTEM"), std::string(8192, 'x')));
  ASSERT_TRUE(
      write_text(at("old-undo/E-Windows-system32-config-SOFTWARE.reg"), "Windows Registry Editor Version 5.00"));
  const struct {
    std::vector<std::string> args;
    bool as_nobody;
    int exit_code;
    std::string err;  // the line's start
  } cases[] = {
      {drives(), true, 1,
       "hivemend-repair: run as root: ntfs-3g mounts and the hives' backup and restore privileges need it\n"},
      {{"--dry-run"}, false, 2, "hivemend-repair: no --drive given (see hivemend-repair --help)\n"},
      {{"--drive", "c=" + at("zeros.img")},
       false,
       1,
       "hivemend-repair: " + at("zeros.img") +
           ": neither an NTFS volume, a disk with an MBR or GPT partition table, nor a VHDX, VHD, VMDK, qcow2 or VDI "
           "disk file\n"},
      {{"--drive", "e=" + at("bitlocker.img")},
       false,
       1,
       "hivemend-repair: " + at("bitlocker.img") +
           ": a BitLocker-encrypted volume: unlock it first (cryptsetup "
           "bitlkOpen " +
           at("bitlocker.img") +
           " NAME, with the recovery key) and name the unlocked device, "
           "/dev/mapper/NAME\n"},
      {{"--drive", "e=" + at("bitlocker-disk.img") + ":1"},
       false,
       1,
       "hivemend-repair: " + at("bitlocker-disk.img") +
           ":1: a BitLocker-encrypted volume: unlock it first (cryptsetup bitlkOpen /dev/loopN NAME on the loop "
           "device of losetup --find --show --offset 1048576 --sizelimit 16777216 " +
           at("bitlocker-disk.img") + ", with the recovery key) and name the unlocked device, /dev/mapper/NAME\n"},
      {{"--drive", "e=" + at("refs.img")},
       false,
       1,
       "hivemend-repair: " + at("refs.img") + ": a ReFS volume" + ntfs_only},
      {{"--drive", "e=" + at("fat.img"), "--dry-run"},
       false,
       1,
       "hivemend-repair: " + at("fat.img") + ": a FAT volume (an EFI system or data partition)" + ntfs_only},
      // An image its owner may not write is not written behind the owner's back, but read.
      {{"--drive", "e=" + at("run-E444.img")},
       false,
       1,
       "hivemend-repair: " + at("run-E444.img") + ": the file is read-only (mode 0444)\n"},
      {{"--drive", "c=" + at("run-C.img"), "--drive", "e=" + at("empty"), "--dst", "CE"},
       false,
       1,
       "hivemend-repair: no Windows\\System32\\config on any destination drive (C:, E:)\n"},
      {{"--drive", "e=" + at("damaged")},
       false,
       1,
       "hivemend-repair: E:\\Windows\\System32\\config\\SYSTEM: damaged, refused for writing: "},
      {{"--drive", "e=" + at("garbage")},
       false,
       1,
       "hivemend-repair: E:\\Windows\\System32\\config\\SYSTEM: not a usable hive: "},
      // A restore applies every file of the folder, and a file of this run's would replace
      // an earlier run's of the same hive.
      {with(drives(), {"--undo", at("old-undo")}), false, 1,
       "hivemend-repair: --undo " + at("old-undo") +
           ": holds an earlier run's undo file E-Windows-system32-config-SOFTWARE.reg; give a new or empty folder\n"},
      {with(drives(), {"--summary", "E:\\nowhere\\report.txt"}), false, 1,
       "hivemend-repair: --summary E:\\nowhere\\report.txt: no such folder\n"},
      // A report file the program cannot open gets no summary: the run is made all the same.
      {with(drives(), {"--summary", "E:\\Windows"}), false, 1,
       "hivemend-repair: --summary E:\\Windows: the summary block could not be appended\n"},
  };
  const Bytes e444_before = read_bytes(at("run-E444.img"));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.err);
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), kTool);
    const ProgramRun run = run_program(args, {}, dir_->root(), c.as_nobody);
    EXPECT_EQ(run.exit_code, c.exit_code);
    EXPECT_EQ(run.err.rfind(c.err, 0), 0u) << run.err;
    EXPECT_EQ(run.err.find('\n'), run.err.size() - 1);
    EXPECT_EQ(run.err.find("/Windows/"), std::string::npos) << "a hive named by its Linux path";
    EXPECT_FALSE(mounted(at("run-")));
  }
  EXPECT_TRUE(read_bytes(at("run-E444.img")) == e444_before);
  const ProgramRun read_only = tool({"--drive", "c=" + at("run-C.img"), "--drive", "e=" + at("run-E444.img"), "--src",
                                     "C", "--dst", "E", "--dry-run"});
  EXPECT_EQ(read_only.exit_code, 0) << read_only.err;
  EXPECT_NE(read_only.out.find("4 values would change"), std::string::npos) << read_only.out;
}

// Fast Startup leaves hiberfil.sys holding "hibr" at the volume's root.
TEST_F(RepairToolTest, HibernatedInstallation) {
  ASSERT_TRUE(write_text(at("hiberfil"), "hibr" + std::string(4092, '\0')));
  ASSERT_EQ(run_program({"/usr/bin/env", "ntfscp", at("run-E.img"), at("hiberfil"), "hiberfil.sys"}, {}, dir_->root())
                .exit_code,
            0);
  const Bytes before = read_bytes(at("run-E.img"));
  const ProgramRun refused = tool(drives());
  EXPECT_EQ(refused.exit_code, 1);
  EXPECT_EQ(refused.err, "hivemend-repair: " + at("run-E.img") +
                             ": the Windows installation is hibernated (Fast Startup): resuming it after the repair "
                             "would undo the repair; --remove-hiberfile removes the hibernation file, so that Windows "
                             "starts cold and reads the repaired hives\n");
  EXPECT_TRUE(read_bytes(at("run-E.img")) == before);

  const ProgramRun dry = tool(with(drives(), {"--dry-run"}));
  EXPECT_EQ(dry.exit_code, 0) << dry.err;
  EXPECT_NE(dry.out.find("4 values would change"), std::string::npos) << dry.out;
  EXPECT_TRUE(read_bytes(at("run-E.img")) == before);

  const ProgramRun removed =
      tool(with(drives(), {"--remove-hiberfile", "--changes", at("hib.json"), "--undo", at("hib-undo")}));
  ASSERT_EQ(removed.exit_code, 0) << removed.err;
  EXPECT_NE(removed.out.find("4 values changed\nE: hibernation file removed, Windows starts cold\n"), std::string::npos)
      << removed.out;
  EXPECT_NE(removed.out.find("undo: the removal of the hibernation file of E: cannot be undone\n"), std::string::npos)
      << removed.out;
  EXPECT_NE(read_text(at("hib.json")).find("\"hiberfile_removed\": [\"E:\"]"), std::string::npos);
  EXPECT_FALSE(mounted(at("run-")));
  ImageMount e(at("run-E.img"), at("check"), true);
  EXPECT_FALSE(fs::exists(e.path("hiberfil.sys")));
  EXPECT_EQ(text_at(*read_hive(e.path(kValues[0].hive)), kValues[0].key, kValues[0].name), kValues[0].repaired);
}

// A hibernation file Windows was resuming from ("wake"), which ntfs-3g mounts over and
// leaves, is removed all the same.
TEST_F(RepairToolTest, AResumingHibernationFileIsRemovedToo) {
  ASSERT_TRUE(write_text(at("waking"), "wake" + std::string(4092, '\0')));
  ASSERT_EQ(run_program({"/usr/bin/env", "ntfscp", at("run-E.img"), at("waking"), "hiberfil.sys"}, {}, dir_->root())
                .exit_code,
            0);
  EXPECT_EQ(tool(drives()).exit_code, 1);
  const ProgramRun removed = tool(with(drives(), {"--remove-hiberfile"}));
  ASSERT_EQ(removed.exit_code, 0) << removed.err;
  EXPECT_NE(removed.out.find("4 values changed\nE: hibernation file removed, Windows starts cold\n"), std::string::npos)
      << removed.out;
}

// A volume without room for the new SOFTWARE: that hive stays as it was, and the count,
// the record and the undo folder hold the changes of the hives that were written.
TEST_F(RepairToolTest, AHiveNotWrittenBackIsLeftOutOfWhatChanged) {
  {
    ImageMount e(at("run-E.img"), at("fill"), false);
    struct statvfs room {};
    ASSERT_EQ(statvfs(at("fill").c_str(), &room), 0);
    const uintmax_t software = fs::file_size(e.path(kHives[0]));
    ASSERT_TRUE(write_text(e.path("fill"), std::string(room.f_bavail * room.f_frsize - software / 2, '\0')));
  }
  const ProgramRun run = tool(with(drives(), {"--changes", at("full.json"), "--undo", at("full-undo")}));
  EXPECT_EQ(run.exit_code, 1);
  // hivemend's reason comes once (not again from the write-back at its exit), naming the
  // hive as the run knows it rather than by the scratch folder's path.
  EXPECT_EQ(run.err,
            "hivemend: hive E:\\Windows\\system32\\config\\SOFTWARE (QRT-SOFTWARE) not written back: cannot write the "
            "new content: No space left on device\n"
            "hivemend-repair: E:\\Windows\\system32\\config\\SOFTWARE: not written back; the values there are as "
            "they were before the run (hivemend's reason above)\n");
  EXPECT_NE(run.out.find("\n2 values changed\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("undo: " + at("full-undo") + " (2 files)\n"), std::string::npos) << run.out;
  EXPECT_EQ(read_text(at("full.json")).find("SOFTWARE"), std::string::npos);
  EXPECT_FALSE(mounted(at("run-")));
}

// The installation's images as VM disk files: each run gives what it gives on the raw
// images, and a dry run leaves each file byte for byte as it was.
TEST_F(RepairToolTest, VmDiskFiles) {
  if (system("command -v qemu-img qemu-nbd nbdfuse > /dev/null") != 0) GTEST_SKIP() << "no qemu-nbd or nbdfuse";
  auto qemu_img = [](std::vector<std::string> args) {
    args.insert(args.begin(), {"/usr/bin/env", "qemu-img"});
    return run_program(args, {}, dir_->root()).exit_code == 0;
  };
  const ProgramRun raw = tool(with(drives(), {"--changes", at("raw.json")}));
  ASSERT_EQ(raw.exit_code, 0) << raw.err;
  fs::rename(at("run-E.img"), at("raw-E.img"));
  for (const char* format : {"vhdx", "vmdk", "qcow2"}) {
    SCOPED_TRACE(format);
    const std::string c = at(std::string("run-C.") + format), e = at(std::string("run-E.") + format);
    ASSERT_TRUE(qemu_img({"convert", "-O", format, at("C.img"), c}) &&
                qemu_img({"convert", "-O", format, at("E.img"), e}));
    const std::vector<std::string> vm_drives = {"--drive", "c=" + c, "--drive", "e=" + e, "--src", "C", "--dst", "E"};
    const Bytes c_before = read_bytes(c), e_before = read_bytes(e);
    const ProgramRun dry = tool(with(vm_drives, {"--dry-run"}));
    EXPECT_EQ(dry.exit_code, 0) << dry.err;
    EXPECT_NE(dry.out.find("4 values would change"), std::string::npos) << dry.out;
    EXPECT_TRUE(read_bytes(c) == c_before && read_bytes(e) == e_before);

    fs::remove_all(at("vm-undo"));
    const ProgramRun real = tool(with(vm_drives, {"--changes", at("vm.json"), "--undo", at("vm-undo")}));
    ASSERT_EQ(real.exit_code, 0) << real.err;
    EXPECT_EQ(read_text(at("vm.json")), read_text(at("raw.json")));
    ASSERT_TRUE(qemu_img({"convert", "-O", "raw", e, at("back.img")}));
    {
      ImageMount back(at("back.img"), at("back"), true), raw_e(at("raw-E.img"), at("raw"), true);
      for (const char* hive : kHives)
        EXPECT_EQ(run_program({kHivetool, "diff", raw_e.path(hive), back.path(hive)}, {}, dir_->root()).exit_code, 0)
            << hive;
    }
    const ProgramRun restored = tool({"--drive", "e=" + e, "--restore", at("vm-undo")});
    ASSERT_EQ(restored.exit_code, 0) << restored.err;
    ASSERT_TRUE(qemu_img({"convert", "-O", "raw", e, at("back.img")}));
    ImageMount back(at("back.img"), at("back"), true);
    for (size_t i = 0; i < 3; ++i)
      EXPECT_EQ(run_program({kHivetool, "diff", at(std::string("orig") + char('0' + i)), back.path(kHives[i])}, {},
                            dir_->root())
                    .exit_code,
                0)
          << kHives[i];
    EXPECT_FALSE(mounted(at("run-")));
    EXPECT_FALSE(exporting(e));
  }
  // A disk file whose disk holds nothing the run knows is named for what it is.
  ASSERT_TRUE(qemu_img({"create", "-q", "-f", "qcow2", at("blank.qcow2"), "16M"}));
  EXPECT_EQ(tool({"--drive", "e=" + at("blank.qcow2"), "--dry-run"}).err,
            "hivemend-repair: " + at("blank.qcow2") +
                ": a qcow2 disk file whose disk holds neither an NTFS volume nor an MBR or GPT partition table "
                "(empty, or cut short?)\n");
}

// The processes whose environment holds `entry`.
std::vector<pid_t> processes_with(const std::string& entry) {
  std::vector<pid_t> found;
  for (const auto& proc : fs::directory_iterator("/proc")) {
    const std::string name = proc.path().filename();
    if (name.find_first_not_of("0123456789") == std::string::npos &&
        read_text(proc.path() / "environ").find(entry) != std::string::npos)
      found.push_back(std::stoi(name));
  }
  return found;
}

TEST_F(RepairToolTest, SigtermDuringARunLeavesNoMount) {
  fs::copy_file(at("mbr.img"), at("run-mbr.img"), fs::copy_options::overwrite_existing);
  const bool qemu = system("command -v qemu-img qemu-nbd nbdfuse > /dev/null") == 0 &&
                    run_program({"/usr/bin/env", "qemu-img", "convert", "-O", "qcow2", at("E.img"), at("run-E.qcow2")},
                                {}, dir_->root())
                            .exit_code == 0;
  std::vector<std::vector<std::string>> runs = {
      drives(),
      {"--drive", "c=" + at("run-mbr.img"), "--drive", "e=" + at("run-mbr.img:2"), "--src", "C", "--dst", "E"}};
  if (qemu)
    runs.push_back(
        {"--drive", "c=" + at("run-C.img"), "--drive", "e=" + at("run-E.qcow2"), "--src", "C", "--dst", "E"});
  for (const auto& args : runs) {
    SCOPED_TRACE(args[3]);
    const pid_t run = start_program(with({kTool}, args), {}, dir_->root(), "term");
    bool seen = false;
    for (int i = 0; i < 2000 && !(seen = ours()); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    kill(run, SIGTERM);
    const ProgramRun ended = finish_program(run, dir_->root(), "term");
    ASSERT_TRUE(seen);
    EXPECT_EQ(ended.exit_code, 1);
    EXPECT_EQ(ended.err.rfind("hivemend-repair: interrupted by a signal (SIGTERM)", 0), 0u) << ended.err;
    EXPECT_FALSE(ours());
  }
}

// A terminal's ^C reaches hivemend too, which may end of it before the command sees its
// own: the run was interrupted all the same, not refused.
TEST_F(RepairToolTest, ACtrlCDuringTheRunSaysInterrupted) {
  const std::string tmpdir = own_tmpdir("scratch");
  const std::string hivemend = "HIVEMEND_JOURNAL=" + at("scratch/");
  const pid_t run = start_program(with({kTool, "--detailed-log"}, drives()), {tmpdir}, dir_->root(), "int");
  std::vector<pid_t> working;
  for (int i = 0; i < 10000 && (working = processes_with(hivemend)).empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  kill(run, SIGINT);
  for (pid_t p : working) kill(p, SIGINT);
  const ProgramRun ended = finish_program(run, dir_->root(), "int");
  ASSERT_FALSE(working.empty()) << "hivemend never ran";
  EXPECT_EQ(ended.exit_code, 1);
  EXPECT_EQ(ended.err, "hivemend-repair: interrupted by a signal (SIGINT): hivemend was stopped; volumes unmounted\n");
  EXPECT_FALSE(ours());
  EXPECT_TRUE(fs::is_empty(at("scratch")));
}

// An image is found mounted (busy) whatever its path holds: the mount table writes a
// blank as "\040".
TEST_F(RepairToolTest, AMountedImageIsBusyWhateverItsPath) {
  fs::create_directories(at("with blank"));
  fs::copy_file(at("C.img"), at("with blank/run-C.img"), fs::copy_options::overwrite_existing);
  for (const std::string& image : {at("run-C.img"), at("with blank/run-C.img")}) {
    SCOPED_TRACE(image);
    ImageMount elsewhere(image, at("elsewhere"), true);
    const ProgramRun busy = tool({"--drive", "c=" + image, "--dry-run"});
    EXPECT_EQ(busy.exit_code, 1);
    EXPECT_EQ(busy.err, "hivemend-repair: " + image + ": busy: mounted at " + at("elsewhere") +
                            " (unmount it, or give that folder)\n");
  }
}

// A reader that closes the output early makes a write error of the report, not the end
// of the command: the run unmounts, detaches and removes its scratch as always.
TEST_F(RepairToolTest, AClosedOutputLeavesNothingBehind) {
  fs::copy_file(at("mbr.img"), at("run-mbr.img"), fs::copy_options::overwrite_existing);
  const std::string tmpdir = own_tmpdir("scratch");
  std::string command = kTool + " --drive c=" + at("run-mbr.img") + " --drive e=" + at("run-mbr.img") + " --dry-run";
  const ProgramRun run =
      run_program({"/bin/bash", "-c", command + " | true; exit ${PIPESTATUS[0]}"}, {tmpdir}, dir_->root());
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.err, "hivemend-repair: standard output: write error\n");
  EXPECT_FALSE(ours());
  EXPECT_TRUE(fs::is_empty(at("scratch")));
}

// hivemend killed on its own (a crash, the out-of-memory killer) while it walks the user
// hive: SOFTWARE and SYSTEM were written back before, and their changes are listed and
// can be undone; the user hive was not.
TEST_F(RepairToolTest, HivemendEndedEarlyLeavesAnUndoOfWhatItWrote) {
  {
    // A user hive long enough to be walked for a while after its first journal lines.
    ImageMount e(at("run-E.img"), at("fill"), false);
    std::vector<regf::TreeValue> many;
    for (int i = 0; i < 50000; ++i) {
      std::u16string name = base::from_utf8(std::to_string(i));
      name.insert(name.begin(), u'v');  // not u"v" + ...: GCC 12 warns of a false overlap there
      many.push_back(text_value(name, u"C:\\PROGRA~1\\Vendor"));
    }
    regf::TreeKey root{u"ROOT", {}, 0, {}, {key_at({u"Software", u"Many"}, std::move(many))}};
    ASSERT_TRUE(write_hive(e.path(kHives[2]), root));
  }
  const std::string tmpdir = own_tmpdir("scratch");
  const std::string hivemend = "HIVEMEND_JOURNAL=" + at("scratch/");
  const pid_t run =
      start_program(with({kTool}, with(drives(), {"--changes", at("early.json"), "--undo", at("early-undo")})),
                    {tmpdir}, dir_->root(), "early");
  std::vector<pid_t> working;
  for (int i = 0; i < 10000 && (working = processes_with(hivemend)).empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  // Let run in short steps until the journal passes the three values of SOFTWARE and
  // SYSTEM: then it names the user hive.
  bool walking_user_hive = false;
  for (int i = 0; i < 20000 && !walking_user_hive && !working.empty(); ++i) {
    for (pid_t p : working) kill(p, SIGSTOP);
    std::error_code none;
    for (const auto& scratch : fs::directory_iterator(at("scratch"), none)) {
      const uintmax_t size = fs::file_size(scratch.path() / "journal", none);
      walking_user_hive = walking_user_hive || (!none && size > (16 << 10));
    }
    for (pid_t p : working) kill(p, walking_user_hive ? SIGKILL : SIGCONT);
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  const ProgramRun ended = finish_program(run, dir_->root(), "early");
  ASSERT_TRUE(walking_user_hive);
  EXPECT_EQ(ended.exit_code, 1);
  EXPECT_EQ(ended.err,
            "hivemend-repair: hivemend ended before its summary (exit code 137); 3 values changed before that, "
            "listed in the outputs\n");
  EXPECT_TRUE(ended.out.ends_with("3 values changed\nchanges: " + at("early.json") + "\nundo: " + at("early-undo") +
                                  " (2 files)\n"))
      << ended.out;
  EXPECT_NE(read_text(at("early.json")).find("\"counters\": null"), std::string::npos);
  EXPECT_FALSE(ours());
}

// A run killed with SIGKILL while hivemend works takes hivemend with it; what it left
// mounted, attached, exported and written is removed by the next run, which says so. A
// disk file's export goes only after the volume on it is written out.
TEST_F(RepairToolTest, TheNextRunRemovesWhatAKilledRunLeft) {
  const struct {
    const char* disk;
    const char* left;
  } cases[] = {
      {"run-mbr.img", "1 mount, 1 loop device, "},
      {"run-mbr.qcow2", "2 mounts, 1 disk file export, "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.disk);
    const std::string disk = at(c.disk);
    if (std::string(c.disk).ends_with(".img"))
      fs::copy_file(at("mbr.img"), disk, fs::copy_options::overwrite_existing);
    else
      ASSERT_EQ(
          run_program({"/usr/bin/env", "qemu-img", "convert", "-O", "qcow2", at("mbr.img"), disk}, {}, dir_->root())
              .exit_code,
          0);
    const std::string tmpdir = own_tmpdir("scratch");
    const std::string hivemend = "HIVEMEND_JOURNAL=" + at("scratch/");
    const pid_t run = start_program({kTool, "--drive", "c=" + disk, "--drive", "e=" + disk, "--detailed-log"}, {tmpdir},
                                    dir_->root(), "kill");
    std::vector<pid_t> working;
    for (int i = 0; i < 10000 && (working = processes_with(hivemend)).empty(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // Held where it is, hivemend could not end on its own before the run's end.
    for (pid_t p : working) kill(p, SIGSTOP);
    kill(run, SIGKILL);
    finish_program(run, dir_->root(), "kill");
    ASSERT_FALSE(working.empty()) << "hivemend never ran";
    for (int i = 0; i < 500 && !processes_with(hivemend).empty(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(processes_with(hivemend).empty()) << "hivemend outlived the run";
    for (pid_t p : processes_with(hivemend)) kill(p, SIGKILL);
    ASSERT_TRUE(ours());

    const ProgramRun cleanup = tool({"--cleanup"}, {tmpdir});
    EXPECT_EQ(cleanup.exit_code, 0) << cleanup.err;
    EXPECT_TRUE(std::regex_match(
        cleanup.err, std::regex("hivemend-repair: a run that ended without cleaning up left " + std::string(c.left) +
                                at("scratch") + "/hivemend-repair-\\w+: removed\n")))
        << cleanup.err;
    EXPECT_FALSE(ours());
    EXPECT_TRUE(fs::is_empty(at("scratch")));
    EXPECT_EQ(tool({"--cleanup"}, {tmpdir}).out, "nothing left by an earlier run\n");
    // Nothing holds a disk file any more, and qemu-nbd wrote it out whole: qemu-img
    // takes its lock and finds the file consistent.
    if (!std::string(c.disk).ends_with(".img")) {
      EXPECT_EQ(run_program({"/usr/bin/env", "qemu-img", "check", disk}, {}, dir_->root()).exit_code, 0);
    }
  }
}

// The look before a repair, on a volume given as a folder (an ntfs-3g mount made
// elsewhere): Program Files, whose DOS name is PROGRA~3, holds Vendor\tool.exe. ntfs-3g
// marks what it makes for archiving, folders too (0x30).
class LookTest : public ::testing::Test {
 protected:
  void SetUp() override {
    HIVEMEND_NTFS_VOLUME_OR_SKIP(volume);
    volume_ = std::move(volume);
    fs::create_directories(volume_->path("Program Files/Vendor"));
    ASSERT_TRUE(NtfsVolume::set_short_name(volume_->path("Program Files"), "PROGRA~3"));
    ASSERT_TRUE(write_text(volume_->path("Program Files/Vendor/tool.exe"), "abc"));
  }
  std::vector<std::string> command(const std::vector<std::string>& args) const {
    std::vector<std::string> all = {kTool, "--drive", "c=" + volume_->root()};
    all.insert(all.end(), args.begin(), args.end());
    return all;
  }
  ProgramRun tool(const std::vector<std::string>& args) const {
    return run_program(command(args), {"TMPDIR=" + scratch_.root()}, scratch_.root());
  }

  TempDir scratch_;
  std::unique_ptr<NtfsVolume> volume_;
};

TEST_F(LookTest, ListShowsWhatTheDirectorySearchFinds) {
  const ProgramRun run = tool({"--list", "C:\\program files", "C:\\PROGRA~3\\Vendor\\*", "C:\\PROGRA~3\\*.exe",
                               "C:\\nowhere\\*", "C:\\PROGRA~3\\none.txt"});
  ASSERT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(run.out,
            "00000030\t0\tPROGRA~3\tProgram Files\n\n"
            "00000030\t0\t\t.\n00000030\t0\t\t..\n00000020\t3\t\ttool.exe\n\n"
            "! 2\n\n"
            "! 3\n\n"
            "! 2\n\n");
}

TEST_F(LookTest, ListFromStandardInputAnswersEachLineBeforeTheNext) {
  int to_tool[2], from_tool[2];
  ASSERT_EQ(pipe(to_tool), 0);
  ASSERT_EQ(pipe(from_tool), 0);
  const auto argv = command({"--list", "-"});
  const std::string tmpdir = "TMPDIR=" + scratch_.root();
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(to_tool[0], STDIN_FILENO);
    dup2(from_tool[1], STDOUT_FILENO);
    for (int fd : {to_tool[0], to_tool[1], from_tool[0], from_tool[1]}) close(fd);
    putenv(const_cast<char*>(tmpdir.c_str()));
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(to_tool[0]);
  close(from_tool[1]);
  // One pattern written, its answer read up to the empty line that ends it; a tool that
  // held the answer back leaves it short after ten seconds.
  const auto answer = [&](const std::string& pattern) {
    const std::string line = pattern + "\n";
    EXPECT_EQ(write(to_tool[1], line.data(), line.size()), ssize_t(line.size()));
    std::string text;
    pollfd ready{from_tool[0], POLLIN, 0};
    char buffer[4096];
    for (ssize_t n = 0;
         !text.ends_with("\n\n") && poll(&ready, 1, 10000) == 1 && (n = read(from_tool[0], buffer, sizeof buffer)) > 0;)
      text.append(buffer, size_t(n));
    return text;
  };
  EXPECT_EQ(answer("C:\\PROGRA~3\\*"), "00000030\t0\t\t.\n00000030\t0\t\t..\n00000030\t0\t\tVendor\n\n");
  fs::create_directories(volume_->path("Program Files/New Folder"));
  EXPECT_TRUE(NtfsVolume::set_short_name(volume_->path("Program Files/New Folder"), "NEWFOL~7"));
  EXPECT_EQ(answer("C:\\PROGRA~3\\*"),
            "00000030\t0\t\t.\n00000030\t0\t\t..\n00000030\t0\tNEWFOL~7\tNew Folder\n00000030\t0\t\tVendor\n\n");
  close(to_tool[1]);
  close(from_tool[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(LookTest, ResolveGivesTheRepairsTextOrWhyNot) {
  const struct {
    std::string path, answer;
  } cases[] = {
      {"C:\\PROGRA~1\\Vendor\\tool.exe", "C:\\Program Files\\Vendor\\tool.exe"},
      {"\"C:\\PROGRA~1\\Vendor\\tool.exe\" /x", "\"C:\\Program Files\\Vendor\\tool.exe\" /x"},
      {"C:\\NOWHER~1\\x.exe", "! not resolved (Paths Skipped)"},
      {"C:\\Program Files\\Vendor", "! not a candidate: no \":\\\" or no \"~\""},
      {"C:\\PROGRA~1\\" + std::string(240, 'x'), "! not examined: longer than 249 characters"},
  };
  std::vector<std::string> args = {"--resolve"};
  std::string expected;
  for (const auto& c : cases) {
    args.push_back(c.path);
    expected += c.answer + "\n";
  }
  const ProgramRun run = tool(args);
  ASSERT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(run.out, expected);
}

}  // namespace
