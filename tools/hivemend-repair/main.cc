// hivemend-repair: repairs the registry of a restored Windows installation in one
// command. It mounts the volumes behind the drive letters, builds the Windows
// environment hivemend runs in (a prefix with the drive links and the product's
// settings), runs hivemend with the registry layer's change journal on, and turns the
// journal into a list of changes and an undo folder; or puts an undo folder back.
//
// Exit codes: 0 after a run (or a restore); 1 on failure, with one line on standard
// error; 2 on bad usage.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/product_keys.h"
#include "base/unicode.h"
#include "regf/hive.h"
#include "regf/recovery.h"
#include "regf/regtext.h"
#include "tools/hivemend-repair/changes.h"
#include "tools/hivemend-repair/options.h"
#include "tools/hivemend-repair/volumes.h"
#include "win32/journal.h"
#include "win32/path.h"
#include "win32/prefix.h"

namespace {

using namespace hivemend;
using namespace hivemend::repair_tool;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
int usage_error(const std::string& why) {
  std::fprintf(stderr, "hivemend-repair: %s (see hivemend-repair --help)\n", why.c_str());
  return kExitUsage;
}

int failure(const std::string& why) {
  std::fprintf(stderr, "hivemend-repair: %s\n", why.c_str());
  return kExitFailed;
}

// The Linux path of an existing file or folder named by a Windows path in the prefix.
std::optional<std::string> linux_path(const std::u16string& windows) {
  auto parsed = win32::parse_windows_path(windows);
  if (!parsed || parsed->components.empty()) return std::nullopt;
  auto dir = win32::open_directory(*parsed, parsed->components.size() - 1);
  if (!dir) return std::nullopt;
  auto entry = win32::find_entry(*dir, parsed->components.back());
  if (!entry) return std::nullopt;
  auto path = win32::linux_path_of(win32::Location{dir->root, dir->child(*entry)});
  return path ? std::optional<std::string>(*path) : std::nullopt;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The product's settings as system.reg holds them: the App Paths key naming the
// product's registry root, and the switches of the run.
std::string system_reg(const Options& o, const std::optional<std::u16string>& report_file) {
  const std::u16string root = u"SOFTWARE\\Tessaro\\Hivemend";
  auto key = [](const std::u16string& path) { return u"\r\n[HKEY_LOCAL_MACHINE\\" + path + u"]\r\n"; };
  auto line = [](const std::u16string& name, uint32_t type, const std::vector<uint8_t>& data) {
    return regf::format_reg_value({name, type, data}) + u"\r\n";
  };
  auto text = [&](const std::u16string& name, const std::u16string& value) {
    return line(name, regf::kRegSz, base::to_utf16le(value + u'\0'));
  };
  auto dword = [&](const std::u16string& name, uint32_t value) {
    return line(name, regf::kRegDword,
                {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)});
  };
  std::u16string reg = u"Windows Registry Editor Version 5.00\r\n" + key(kAppPaths32) +
                       text(kRegPathValue, u"HKEY_LOCAL_MACHINE\\" + root) + key(root) +
                       text(kCDTransferValue, o.rescue_transfer ? u"YES" : u"NO") + dword(kLangIDValue, 0x409) +
                       key(root + kWickmarSubkey) + dword(kDetailedLogValue, o.detailed_log ? 1 : 0);
  if (report_file) reg += text(kReportFileValue, *report_file);
  reg += key(root + kSetupSubkey) + text(kInstallGlobalValue, u"YES");
  return base::to_utf8(reg);
}

// The folder and the scratch of one run: mounts, the private prefix, the journal.
// Unmounts first and removes the scratch only when nothing is mounted below it.
class Session {
 public:
  bool start(std::string* error) {
    char tmpl[] = "/tmp/hivemend-repair-XXXXXX";
    if (!mkdtemp(tmpl)) {
      *error = std::string("cannot make a scratch folder: ") + std::strerror(errno);
      return false;
    }
    dir_ = tmpl;
    return true;
  }
  ~Session() {
    mounts.clear();
    if (dir_.empty()) return;
    for (const MountEntry& m : mount_table())
      if (m.point.rfind(dir_ + "/", 0) == 0) return;  // never delete through a mount
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }

  std::vector<std::unique_ptr<Mount>> mounts;

 private:
  std::string dir_;
};

// Opens every --drive volume and links its letter in the prefix; "" or the reason. The
// first source letter's volume is left in `source`.
std::string open_drives(const Options& o, Session& session, bool read_only, VolumeRoot* source) {
  for (const auto& [letter, volume] : o.drives) {
    if (pending_signal()) return "interrupted by a signal; volumes unmounted";
    // A drive whose hives are written must be a disk's Windows partition; a drive only
    // looked up in may be its only NTFS partition.
    const char upper = char(std::toupper(letter));
    const bool windows_required = o.restore || o.dst.find(upper) != std::string::npos;
    const VolumeRoot root =
        open_volume(upper, volume, session.path("mnt"), read_only, windows_required, session.mounts);
    if (!root.error.empty()) return root.error;
    if (upper == o.src.front()) *source = root;
    if (auto linked = win32::define_drive(letter, root.root); !linked)
      return std::string("cannot link drive ") + char(std::toupper(letter)) + ": in the prefix";
  }
  return "";
}

// The hive files the run will write, each checked as the registry layer will load it: a
// damaged hive is refused for writing, so the run could not repair it.
std::string check_hives(const std::string& dst_with_config) {
  for (char letter : dst_with_config) {
    std::vector<std::u16string> hives = {u"X:\\Windows\\System32\\config\\SOFTWARE",
                                         u"X:\\Windows\\System32\\config\\SYSTEM"};
    if (auto users = linux_path(std::u16string{char16_t(letter)} + u":\\Users")) {
      std::error_code ec;
      for (const auto& entry : std::filesystem::directory_iterator(*users, ec))
        if (entry.is_directory(ec) && !entry.is_symlink(ec))
          hives.push_back(u"X:\\Users\\" + base::from_utf8(entry.path().filename().string()) + u"\\ntuser.dat");
    }
    for (auto& hive : hives) {
      hive[0] = char16_t(letter);
      auto file = linux_path(hive);
      if (!file) continue;
      auto recovered = regf::recover_file(*file);
      if (!recovered) return base::to_utf8(hive) + ": not a usable hive: " + recovered.error().to_string();
      auto opened = regf::Hive::from_image(std::move(recovered->image), base::to_utf8(hive));
      if (!opened) return base::to_utf8(hive) + ": not a usable hive: " + opened.error().to_string();
      if (const auto& damage = opened->damage(); !damage.empty())
        return base::to_utf8(hive) + ": damaged, refused for writing: " + damage.front().to_string();
    }
  }
  return "";
}

// The status line on a terminal: the hive being walked, keys and values done (from the
// registry layer's progress record), candidates resolved (the journal's lines); at most
// ten updates a second.
struct Progress {
  std::string record, journal;
  std::chrono::steady_clock::time_point last{};
  bool shown = false;
  std::streamoff journal_read = 0;  // the journal's lines are counted as they come
  size_t resolved = 0;

  static void tick(void* self) { static_cast<Progress*>(self)->update(); }
  void update() {
    const auto now = std::chrono::steady_clock::now();
    if (now - last < std::chrono::milliseconds(100)) return;
    last = now;
    const auto done = win32::read_progress(record);
    if (!done) return;
    std::ifstream in(journal, std::ios::binary);
    in.seekg(journal_read);
    char buffer[65536];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
      resolved += size_t(std::count(buffer, buffer + in.gcount(), '\n'));
      journal_read += in.gcount();
    }
    std::fprintf(stderr, "\rhivemend-repair: %s: %llu keys, %llu values, %zu resolved\033[K",
                 base::to_utf8(done->hive).c_str(), static_cast<unsigned long long>(done->keys),
                 static_cast<unsigned long long>(done->values), resolved);
    shown = true;
  }
  void clear() const {
    if (shown) std::fprintf(stderr, "\r\033[K");
  }
};

std::string program_beside(const std::string& name) {
  std::error_code ec;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return (self.parent_path() / name).string();
}

// The text of a UTF-16LE report, lines ended by LF.
std::string report_text(const std::string& bytes) {
  std::u16string text;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) text += char16_t(uint8_t(bytes[i]) | uint8_t(bytes[i + 1]) << 8);
  std::string out = base::to_utf8(text);
  std::erase(out, '\r');
  return out;
}

int restore(const Options& o, Session& session) {
  std::vector<std::string> files;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(*o.restore, ec))
    if (entry.path().extension() == ".reg") files.push_back(entry.path().string());
  if (ec) return failure(*o.restore + ": " + ec.message());
  std::sort(files.begin(), files.end());
  if (files.empty()) return failure(*o.restore + ": no .reg file to restore");
  const std::string hivetool = program_beside("hivetool");
  for (const auto& file : files) {
    auto header = read_undo_header(file);
    if (!header) return failure(file + ": no \"; hive\" line naming the hive to restore");
    auto hive = linux_path(header->hive);
    if (!hive) return failure(file + ": hive " + base::to_utf8(header->hive) + " not found");
    const std::string out = session.path("apply.out");
    auto code = run_child({hivetool, "apply", file, *hive, "--prefix", base::to_utf8(header->root)}, {}, out, nullptr,
                          nullptr, true);
    if (!code) return failure("interrupted by a signal; volumes unmounted");
    std::string said = read_file(out);
    if (!said.empty() && said.back() == '\n') said.pop_back();
    if (*code != 0) return failure("restore of " + base::to_utf8(header->hive) + " failed: " + said);
    std::printf("%s: %s\n", base::to_utf8(header->hive).c_str(), said.substr(said.find(": ") + 2).c_str());
  }
  return kExitOk;
}

int repair(const Options& o, Session& session, const std::string& prefix, const std::string& sig) {
  // Where the summary goes: a file of ours under a dry run, else the given or the
  // program's own default, whose size now tells this run's block from older ones.
  std::optional<std::u16string> report_setting;
  std::string report;
  if (o.dry_run) {
    report = session.path("summary.txt");
    auto windows = win32::windows_path_of(report);
    if (!windows) return failure("no Windows name for " + report);
    report_setting = *windows;
  } else if (o.summary) {
    report_setting = base::from_utf8(*o.summary);
  } else {
    report = prefix + "/logs/hivemend-report.txt";
  }
  {
    std::ofstream reg(prefix + "/system.reg", std::ios::binary | std::ios::trunc);
    if (!(reg << system_reg(o, report_setting)) || !reg.flush()) return failure(prefix + "/system.reg: cannot write");
  }
  auto report_path = [&]() -> std::optional<std::string> {
    if (!report.empty()) return report;
    return linux_path(*report_setting);
  };
  const auto before = report_path();
  std::error_code no_file;
  uintmax_t old_size = before ? std::filesystem::file_size(*before, no_file) : 0;
  if (no_file) old_size = 0;

  const std::string journal = session.path("journal"), counters_file = session.path("counters.json");
  Progress progress{session.path("progress"), journal};
  const bool terminal = isatty(STDERR_FILENO);
  auto code =
      run_child({program_beside("hivemend"), "/SrcDrives", "%" + o.src + "%", "/DstDrives", "%" + o.dst + "%",
                 "/SrcSig", "%" + sig + "%"},
                {"HIVEMEND_PREFIX=" + prefix, "HIVEMEND_JOURNAL=" + journal, "HIVEMEND_PROGRESS=" + progress.record,
                 "HIVEMEND_COUNTERS=" + counters_file, std::string("HIVEMEND_DRY_RUN=") + (o.dry_run ? "1" : "0")},
                "", terminal ? &Progress::tick : nullptr, &progress);
  progress.clear();
  if (!code) return failure("interrupted by a signal: the run was stopped, nothing written, volumes unmounted");

  const auto after = report_path();
  std::string block;
  if (after) {
    const std::string bytes = read_file(*after);
    if (bytes.size() > old_size) block = report_text(bytes.substr(size_t(old_size)));
  }
  const auto counters = read_counters(counters_file);
  if ((*code != 2 && *code != 0) || !counters)
    return failure("hivemend ran no repair (exit code " + std::to_string(*code) + ")" +
                   (o.prefix ? "; see " + prefix + "/logs/hivemend.log" : std::string()));

  auto entries = win32::read_journal(journal);
  std::vector<win32::JournalEntry> changes;
  if (entries)
    changes = net_changes(*entries);
  else if (std::filesystem::exists(journal))
    return failure(journal + ": the change journal cannot be read");

  std::fputs(block.c_str(), stdout);
  if (!block.empty() && block.back() != '\n') std::fputs("\n", stdout);
  if (o.dry_run)
    std::printf("dry run: nothing was written; %zu values would change\n", changes.size());
  else if (o.summary || o.prefix)
    std::printf("%zu values changed; summary appended to %s\n", changes.size(),
                o.summary ? o.summary->c_str() : report.c_str());
  else
    std::printf("%zu values changed\n", changes.size());
  if (o.changes) {
    std::ofstream out(*o.changes, std::ios::binary | std::ios::trunc);
    if (!(out << changes_json(changes, counters)) || !out.flush()) return failure(*o.changes + ": cannot write");
    std::printf("changes: %s\n", o.changes->c_str());
  }
  if (o.undo) {
    size_t files = 0;
    std::string error;
    if (!write_undo(changes, *o.undo, &files, &error)) return failure(error);
    std::printf("undo: %s (%zu file%s)\n", o.undo->c_str(), files, files == 1 ? "" : "s");
  }
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  const auto options = parse_options(argc, argv);
  if (!options) return usage_error(options.error().message);
  if (options->help) {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  const Options& o = *options;
  if (geteuid() != 0)
    return failure("run as root: ntfs-3g mounts and the hives' backup and restore privileges need it");
  install_signal_handlers();

  Session session;
  std::string error;
  if (!session.start(&error)) return failure(error);
  const std::string prefix = o.prefix ? std::filesystem::absolute(*o.prefix).string() : session.path("prefix");
  std::error_code ec;
  std::filesystem::create_directories(prefix + "/dosdevices", ec);
  if (ec) return failure(prefix + ": " + ec.message());
  setenv("HIVEMEND_PREFIX", prefix.c_str(), 1);
  if (auto root = win32::define_drive('z', "/"); !root) return failure(prefix + ": cannot link drive Z:");

  VolumeRoot source;
  if (error = open_drives(o, session, o.dry_run, &source); !error.empty()) return failure(error);
  if (o.restore) return restore(o, session);

  // The source disk's signature: given, else the MBR's of the disk the source drive is a
  // partition of. Rescue-transfer mode matches it against the source system's drive
  // letters, so there it must be known.
  std::string sig = o.sig.value_or("0");
  if (!o.sig && source.table == PartitionTable::kMbr) {
    char hex[9];
    std::snprintf(hex, sizeof hex, "%X", static_cast<unsigned>(source.mbr_signature.value_or(0)));
    sig = hex;
  } else if (!o.sig && source.table == PartitionTable::kGpt && o.rescue_transfer) {
    return usage_error(std::string("drive ") + o.src.front() +
                       ": a GPT disk holds no disk signature; give the source disk's with --sig HEX");
  }

  std::string with_config;
  for (char letter : o.dst)
    if (linux_path(std::u16string{char16_t(letter)} + u":\\Windows\\System32\\config")) with_config += letter;
  if (with_config.empty()) {
    std::string drives;
    for (char letter : o.dst) drives += std::string(drives.empty() ? "" : ", ") + letter + ":";
    return failure("no Windows\\System32\\config on any destination drive (" + drives + ")");
  }
  if (error = check_hives(with_config); !error.empty()) return failure(error);
  return repair(o, session, prefix, sig);
}
