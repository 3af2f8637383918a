#include "tools/hivemend-repair/run.h"

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <vector>

#include "base/counts.h"
#include "base/unicode.h"
#include "regf/apply.h"
#include "regf/format.h"
#include "regf/hive.h"
#include "regf/recovery.h"
#include "regf/regtext.h"
#include "tools/hivemend-repair/changes.h"
#include "tools/hivemend-repair/process.h"
#include "tools/hivemend-repair/product_settings.h"
#include "tools/hivemend-repair/progress.h"
#include "win32/host/journal.h"
#include "win32/host/path.h"
#include "win32/host/prefix.h"

namespace hivemend::repair_tool {

namespace {

std::string program_beside(const std::string& name) {
  std::error_code ec;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return (self.parent_path() / name).string();
}

// The Windows path `rest` below the root of drive `letter`.
std::u16string on_drive(char letter, std::u16string_view rest) {
  return char16_t(letter) + (u":\\" + std::u16string(rest));
}

// The hives of a drive the run will write: SOFTWARE, SYSTEM and each user's ntuser.dat.
std::vector<std::u16string> hives_of(char letter) {
  std::vector<std::u16string> hives = {on_drive(letter, u"Windows\\System32\\config\\SOFTWARE"),
                                       on_drive(letter, u"Windows\\System32\\config\\SYSTEM")};
  if (auto users = linux_path(on_drive(letter, u"Users"))) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(*users, ec))
      if (entry.is_directory(ec) && !entry.is_symlink(ec))
        hives.push_back(
            on_drive(letter, u"Users\\" + base::from_utf8(entry.path().filename().string()) + u"\\ntuser.dat"));
  }
  return hives;
}

// An engine error for a hive already named by its drive path: the reason alone, without
// the file's path in the run's scratch folder.
std::string reason(regf::Error error) {
  error.file.clear();
  return error.to_string();
}

// The hive file `file` opened as the registry layer loads it (a dirty hive recovered from
// its transaction logs first), its errors naming `hive`, its path on the drive. A hive to
// be written must be free of damage, as the layer refuses to write a damaged one.
Result<regf::Hive> open_hive(const std::u16string& hive, const std::string& file, bool for_writing = true) {
  const std::string name = base::to_utf8(hive);
  auto recovered = regf::recover_file(file);
  if (!recovered) return Error{name + ": not a usable hive: " + reason(recovered.error())};
  auto opened = regf::Hive::from_image(std::move(recovered->image), name);
  if (!opened) return Error{name + ": not a usable hive: " + reason(opened.error())};
  if (const auto& damage = opened->damage(); for_writing && !damage.empty())
    return Error{name + ": damaged, refused for writing: " + damage.front().to_string()};
  return std::move(*opened);
}

// The disk signatures a system's SYSTEM hive gives drive letters C: to Z: to, in
// MountedDevices, as the program's drive-letter discovery reads them: "\DosDevices\X:"
// with the 12-byte form (the signature, then the partition's offset) or the text form
// "\??\STORAGE#Partition#S" and the signature in 8 hex digits.
std::vector<uint32_t> lettered_disks(const regf::Hive& system) {
  constexpr std::u16string_view kDosDevices = u"\\DosDevices\\", kStorage = u"\\??\\STORAGE#Partition#S";
  constexpr size_t kFixedForm = 12, kSignatureDigits = 8;
  std::vector<uint32_t> disks;
  auto key = system.find_subkey(system.root(), u"MountedDevices");
  if (!key || !*key) return disks;
  const auto count = system.value_count(**key);
  for (uint32_t i = 0; count && i < *count; ++i) {
    auto value = system.value(**key, i);
    if (!value) continue;
    const auto name = system.value_name(*value);
    const auto bytes = system.value_data(*value);
    if (!name || !bytes) continue;
    const std::vector<uint8_t>& data = *bytes;
    if (name->size() != kDosDevices.size() + 2 || !name->starts_with(kDosDevices) || name->back() != u':' ||
        (*name)[kDosDevices.size()] < u'C' || (*name)[kDosDevices.size()] > u'Z')
      continue;
    std::optional<uint32_t> disk;
    std::u16string text;
    for (size_t b = 0; b + 1 < data.size(); b += 2) text += char16_t(data[b] | data[b + 1] << 8);
    if (text.starts_with(kStorage) && text.size() >= kStorage.size() + kSignatureDigits) {
      const std::string digits = base::to_utf8(text.substr(kStorage.size(), kSignatureDigits));
      if (digits.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos)
        disk = uint32_t(std::stoul(digits, nullptr, 16));
    } else if (data.size() <= kFixedForm) {
      uint32_t n = 0;  // missing bytes count as zero
      for (size_t b = std::min<size_t>(data.size(), 4); b-- > 0;) n = n << 8 | data[b];
      disk = n;
    }
    if (disk && std::find(disks.begin(), disks.end(), *disk) == disks.end()) disks.push_back(*disk);
  }
  return disks;
}

// The first `n` bytes of `file` (fewer when it is shorter; none when it cannot be read).
std::vector<char> head_of(const std::string& file, size_t n) {
  std::vector<char> head(n);
  std::ifstream in(file, std::ios::binary);
  in.read(head.data(), std::streamsize(n));
  head.resize(in ? n : size_t(std::max<std::streamsize>(in.gcount(), 0)));
  return head;
}

// A hive that is missing is no error: the run passes over it. A hive checked gets its
// base block into `before`.
Status check_hive(const std::u16string& hive, BaseBlocks& before) {
  auto file = linux_path(hive);
  if (!file) return base::Ok{};
  auto opened = open_hive(hive, *file);
  if (!opened) return opened.error();
  before[*file] = head_of(*file, regf::kBaseBlockSize);
  return base::Ok{};
}

// The data `hive` holds for value `name` of the key at path `key` (nullopt when either
// is missing).
std::optional<win32::JournalData> stored_data(const regf::Hive& hive, std::u16string_view key,
                                              std::u16string_view name) {
  regf::KeyRef at = hive.root();
  for (size_t start = 0; !key.empty() && start <= key.size();) {
    const size_t end = std::min(key.find(u'\\', start), key.size());
    auto found = hive.find_subkey(at, key.substr(start, end - start));
    if (!found || !*found) return std::nullopt;
    at = **found;
    start = end + 1;
  }
  auto value = hive.find_value(at, name);
  if (!value || !*value) return std::nullopt;
  auto type = hive.value_type(**value);
  auto data = hive.value_data(**value);
  if (!type || !data) return std::nullopt;
  return win32::JournalData{*type, std::move(*data)};
}

// The hives whose file does not hold what the run wrote into them: their write-back
// failed (a volume that took no writes, or had no room), as hivemend said. A hive whose
// base block is known from before the run tells by it; another is read back whole.
Result<std::vector<std::u16string>> unwritten_hives(const NetChanges& changes, const BaseBlocks& before) {
  std::vector<std::u16string> unwritten;
  auto checked = changes.for_each_hive([&](const win32::JournalEntry& change) -> Status {
    const auto file = linux_path(change.hive);
    if (const auto known = file ? before.find(*file) : before.end(); known != before.end()) {
      if (head_of(*file, regf::kBaseBlockSize) == known->second) unwritten.push_back(change.hive);
      return base::Ok{};
    }
    auto hive = file ? open_hive(change.hive, *file, false) : Result<regf::Hive>(Error{});
    if (!hive || stored_data(*hive, change.key, change.value) != change.new_data) unwritten.push_back(change.hive);
    return base::Ok{};
  });
  if (!checked) return checked.error();
  return unwritten;
}

bool among(const std::vector<std::u16string>& hives, const std::u16string& hive) {
  return std::any_of(hives.begin(), hives.end(), [&](const auto& h) { return base::equal_nocase(h, hive); });
}

// Where the summary block goes: a file of ours under a dry run, else the given or the
// program's own default, whose size before the run tells this run's block from older ones.
struct ReportPlace {
  std::optional<std::u16string> setting;  // the ReportFile setting; none for the default
  std::string file;                       // the Linux path, when known before the run
  uintmax_t old_size = 0;

  std::optional<std::string> path() const {
    if (!file.empty()) return file;
    return linux_path(*setting);
  }
};

Result<ReportPlace> report_place(const Options& o, const Session& session, const std::string& prefix) {
  ReportPlace place;
  if (o.dry_run) {
    place.file = session.path("summary.txt");
    auto windows = win32::windows_path_of(place.file);
    if (!windows) return Error{"no Windows name for " + place.file};
    place.setting = *windows;
  } else if (o.summary) {
    place.setting = base::from_utf8(*o.summary);
    // The program makes the file where it is missing, but no folder on its way.
    const size_t folder = place.setting->rfind(u'\\');
    const auto parsed = win32::parse_windows_path(place.setting->substr(0, folder + 1));
    if (folder != std::u16string::npos && (!parsed || !win32::open_directory(*parsed, parsed->components.size())))
      return Error{"--summary " + *o.summary + ": no such folder"};
  } else {
    place.file = prefix + "/logs/hivemend-report.txt";
  }
  return place;
}

// The text of the block appended to a UTF-16LE report since it had `old_size` bytes,
// lines ended by LF.
std::string new_block(const ReportPlace& place) {
  const auto path = place.path();
  if (!path) return "";
  const std::string bytes = read_whole_file(*path);
  if (bytes.size() <= place.old_size) return "";
  std::u16string text;
  for (size_t i = size_t(place.old_size); i + 1 < bytes.size(); i += 2)
    text += char16_t(uint8_t(bytes[i]) | uint8_t(bytes[i + 1]) << 8);
  std::string out = base::to_utf8(text);
  std::erase(out, '\r');
  return out;
}

// Runs hivemend with the journal, the progress record and the counters record in the
// session's folder, reading the journal into `changes` while it runs (each change given
// to `ahead` as NetChanges::read says): its exit code.
Result<int> run_hivemend(const Options& o, const Session& session, const std::string& prefix, const std::string& sig,
                         NetChanges& changes, const NetChanges::Ahead& ahead) {
  Progress progress(session.path("progress"));
  const auto child = start_child(
      {program_beside("hivemend"), "/SrcDrives", "%" + o.src + "%", "/DstDrives", "%" + o.dst + "%", "/SrcSig",
       "%" + sig + "%"},
      {.env = {"HIVEMEND_PREFIX=" + prefix, "HIVEMEND_JOURNAL=" + session.path("journal"),
               "HIVEMEND_PROGRESS=" + progress.record(), "HIVEMEND_COUNTERS=" + session.path("counters.json"),
               std::string("HIVEMEND_DRY_RUN=") + (o.dry_run ? "1" : "0")},
       .inherit_output = true,
       .ends_with_parent = true});
  if (!child) return child.error();
  // The journal is read on this side while the program writes it on the other, a moment
  // after each block of lines lands; an error is kept for the end of the run.
  struct Watch {
    Progress* progress;
    NetChanges& changes;
    const NetChanges::Ahead& ahead;
  } watch{isatty(STDERR_FILENO) ? &progress : nullptr, changes, ahead};
  auto tick = [](void* context) {
    auto& w = *static_cast<Watch*>(context);
    (void)w.changes.read(w.ahead);
    if (w.progress) w.progress->update(w.changes.lines());
  };
  const auto code = wait_child(*child, tick, &watch, std::chrono::milliseconds(10));
  progress.clear();
  if (!code) return Error{interrupted() + ": hivemend was stopped; volumes unmounted"};
  return *code;
}

void print_outcome(const Options& o, const Session& session, const std::string& block, size_t changed,
                   const ReportPlace& place) {
  std::fputs(block.c_str(), stdout);
  if (!block.empty() && block.back() != '\n') std::fputs("\n", stdout);
  if (o.dry_run)
    std::printf("dry run: nothing was written; %s would change\n", base::counted(changed, "value").c_str());
  else if ((o.summary || o.prefix) && !block.empty())
    std::printf("%s changed; summary appended to %s\n", base::counted(changed, "value").c_str(),
                o.summary ? o.summary->c_str() : place.file.c_str());
  else
    std::printf("%s changed\n", base::counted(changed, "value").c_str());
  for (char letter : session.hiberfile_removed)
    std::printf("%c: hibernation file removed, Windows starts cold\n", letter);
}

void print_record_written(const Options& o) { std::printf("changes: %s\n", o.changes->c_str()); }

void print_undo_written(const Options& o, const Session& session, size_t files) {
  std::printf("undo: %s (%zu file%s)\n", o.undo->c_str(), files, files == 1 ? "" : "s");
  // The hibernated session is gone with its file; nothing can bring it back.
  if (!session.hiberfile_removed.empty())
    std::printf("undo: the removal of the hibernation file of %s cannot be undone\n",
                drive_list(session.hiberfile_removed).c_str());
}

// The --changes record and the --undo files, written in one pass over the net changes,
// but for those of the hives `left_out`.
Status write_outputs(const Options& o, const Session& session, const NetChanges& changes,
                     const std::optional<Counters>& counters, const std::vector<std::u16string>& left_out) {
  std::optional<ChangesRecord> record;
  std::optional<UndoFiles> undo;
  if (o.changes) {
    auto made = ChangesRecord::create(*o.changes);
    if (!made) return made.error();
    record.emplace(std::move(*made));
  }
  if (o.undo) {
    auto made = UndoFiles::create(*o.undo);
    if (!made) return made.error();
    undo.emplace(std::move(*made));
  }
  if (!record && !undo) return base::Ok{};
  auto written = changes.for_each([&](const win32::JournalEntry& change) -> Status {
    if (among(left_out, change.hive)) return base::Ok{};
    if (record)
      if (auto added = record->add(change); !added) return added;
    if (undo) return undo->add(change);
    return base::Ok{};
  });
  if (!written) return written;
  if (record) {
    if (auto finished = record->finish(counters, session.hiberfile_removed); !finished) return finished;
    print_record_written(o);
  }
  if (undo) {
    auto files = undo->finish();
    if (!files) return files.error();
    print_undo_written(o, session, *files);
  }
  return base::Ok{};
}

// Gives the file `to` the extended attributes of `of` (its ACLs among them): false when
// one cannot be read or set.
bool copy_xattrs(const std::string& of, const std::string& to) {
  std::vector<char> names(4096), value;
  ssize_t size;
  while ((size = llistxattr(of.c_str(), names.data(), names.size())) < 0 && errno == ERANGE)
    names.resize(2 * names.size());
  if (size < 0) return errno == ENOTSUP;
  for (const char* name = names.data(); name < names.data() + size; name += std::strlen(name) + 1) {
    const ssize_t n = lgetxattr(of.c_str(), name, nullptr, 0);
    if (n < 0) return false;
    value.resize(size_t(n));
    if (lgetxattr(of.c_str(), name, value.data(), value.size()) != n ||
        lsetxattr(to.c_str(), name, value.data(), value.size(), 0) != 0)
      return false;
  }
  return true;
}

// Puts the file `from` at `to` as writing `to` in place would leave it: by a rename where
// `to` is missing or a plain file of one name (whose owner, mode and extended attributes
// the new file takes), else, or on another filesystem, by a copy into it.
bool put_in_place(const std::string& from, const std::string& to) {
  struct stat target {};
  const bool exists = lstat(to.c_str(), &target) == 0;
  // The owner first: a change of owner clears set-id bits and some attributes.
  const bool own_file = exists && S_ISREG(target.st_mode) && target.st_nlink == 1 &&
                        chown(from.c_str(), target.st_uid, target.st_gid) == 0 &&
                        chmod(from.c_str(), target.st_mode & 07777) == 0 && copy_xattrs(to, from);
  if ((!exists || own_file) && rename(from.c_str(), to.c_str()) == 0) return true;
  std::error_code ec;
  return std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, ec) && !ec;
}

// The --changes record and the --undo files written while hivemend runs, each change as
// the journal gives it, into the session's scratch folder: nothing is left beside the
// targets by a run that ends early, and a session's folder goes away however it ends.
// They stand only while no value has been written twice; else the second pass writes
// them after the run.
class OutputsAhead {
 public:
  OutputsAhead(const Options& o, const Session& session)
      : record_path_(session.path("changes.json")), undo_dir_(session.path("undo")) {
    if (o.changes)
      if (auto made = ChangesRecord::create(record_path_); made) record_.emplace(std::move(*made));
    if (o.undo)
      if (auto made = UndoFiles::create(undo_dir_); made) undo_.emplace(std::move(*made));
    failed_ = bool(o.changes) != bool(record_) || bool(o.undo) != bool(undo_);
  }

  void add(const win32::JournalEntry& change) {
    if (!failed_ && record_) failed_ = !record_->add(change);
    if (!failed_ && undo_) failed_ = !undo_->add(change);
  }

  // Finishes the outputs and puts them in place, then says where they went as the second
  // pass does: false, having printed nothing, when they do not stand or could not be put
  // in place.
  bool finish(const Options& o, const Session& session, const NetChanges& changes, const Counters& counters) {
    if (failed_ || changes.met_twice()) return false;
    if (record_ && (!record_->finish(counters, session.hiberfile_removed) || !put_in_place(record_path_, *o.changes)))
      return false;
    size_t files = 0;
    if (undo_) {
      auto finished = undo_->finish();
      if (!finished) return false;
      files = *finished;
      std::error_code ec;
      std::filesystem::create_directories(*o.undo, ec);
      if (ec) return false;
      for (const auto& entry : std::filesystem::directory_iterator(undo_dir_, ec))
        if (!put_in_place(entry.path().string(), *o.undo + "/" + entry.path().filename().string())) return false;
      if (ec) return false;
    }
    if (record_) print_record_written(o);
    if (undo_) print_undo_written(o, session, files);
    return true;
  }

 private:
  std::string record_path_, undo_dir_;
  std::optional<ChangesRecord> record_;
  std::optional<UndoFiles> undo_;
  bool failed_ = false;
};

// How many values changed in the hives but those `unwritten`.
Result<size_t> changed_in_written(const NetChanges& changes, const std::vector<std::u16string>& unwritten) {
  size_t changed = 0;
  auto counted = changes.for_each([&](const win32::JournalEntry& change) -> Status {
    changed += !among(unwritten, change.hive);
    return base::Ok{};
  });
  if (!counted) return counted.error();
  return changed;
}

// hivemend ended before its summary: stopped by a signal (`code`'s error), or ended with
// exit code `*code` (a crash, or no repair made). The hives it wrote back before that keep
// their changes, which the outputs list so that they can be undone.
Status ended_early(const Options& o, const Session& session, const NetChanges& changes,
                   const std::vector<std::u16string>& unwritten, const Result<int>& code, const std::string& log) {
  const auto changed = o.dry_run ? Result<size_t>(size_t(0)) : changed_in_written(changes, unwritten);
  if (!changed) return changed.error();
  const std::string why = !code
                              ? code.error().message
                              : "hivemend " + std::string(*changed ? "ended before its summary" : "ran no repair") +
                                    " (exit code " + std::to_string(*code) + ")" + (log.empty() ? "" : "; see " + log);
  if (*changed == 0) return Error{why};
  std::printf("%s changed\n", base::counted(*changed, "value").c_str());
  if (auto written = write_outputs(o, session, changes, std::nullopt, unwritten); !written) return written;
  return Error{why + "; " + base::counted(*changed, "value") + " changed before that" +
               (o.changes || o.undo ? ", listed in the outputs" : "")};
}

}  // namespace

Result<std::string> destinations_with_config(const Options& o) {
  std::string with_config, drives;
  for (char letter : o.dst) {
    if (linux_path(on_drive(letter, u"Windows\\System32\\config"))) with_config += letter;
    drives += std::string(drives.empty() ? "" : ", ") + letter + ":";
  }
  if (with_config.empty()) return Error{"no Windows\\System32\\config on any destination drive (" + drives + ")"};
  return with_config;
}

Status check_source_signature(const Options& o, const std::string& sig) {
  if (!o.rescue_transfer) return base::Ok{};
  const uint32_t wanted = uint32_t(std::stoul(sig, nullptr, 16));
  for (char letter : o.src) {
    const std::u16string hive = on_drive(letter, u"Windows\\System32\\config\\SYSTEM");
    const auto file = linux_path(hive);
    if (!file) continue;  // hivemend passes over a source without a system
    auto system = open_hive(hive, *file, false);
    if (!system) return system.error();
    const std::vector<uint32_t> known = lettered_disks(*system);
    if (std::find(known.begin(), known.end(), wanted) != known.end()) continue;
    std::string listed;
    for (uint32_t disk : known) {
      char hex[10];
      std::snprintf(hex, sizeof hex, "%08X", disk);
      listed += (listed.empty() ? "" : ", ") + std::string(hex);
    }
    char given[10];
    std::snprintf(given, sizeof given, "%08X", wanted);
    return Error{std::string("source disk signature ") + given + ": the source system on " + letter +
                 ": gave no drive letter to that disk; its MountedDevices knows " +
                 (listed.empty() ? std::string("no disk") : listed) + " (give one with --sig HEX)"};
  }
  return base::Ok{};
}

Result<BaseBlocks> check_hives(const std::string& dst_with_config) {
  BaseBlocks before;
  for (char letter : dst_with_config)
    for (const auto& hive : hives_of(letter))
      if (auto checked = check_hive(hive, before); !checked) return checked.error();
  return before;
}

Status repair(const Options& o, Session& session, const std::string& prefix, const std::string& sig,
              const BaseBlocks& before) {
  auto place = report_place(o, session, prefix);
  if (!place) return place.error();
  if (auto written = write_product_settings(prefix, o, place->setting); !written) return written;
  std::error_code no_file;
  if (const auto before = place->path()) place->old_size = std::filesystem::file_size(*before, no_file);
  if (no_file) place->old_size = 0;

  NetChanges changes(session.path("journal"));
  std::optional<OutputsAhead> ahead;
  if (o.changes || o.undo) ahead.emplace(o, session);
  NetChanges::Ahead give_ahead;
  if (ahead) give_ahead = [&](const win32::JournalEntry& change) { ahead->add(change); };
  const auto code = run_hivemend(o, session, prefix, sig, changes, give_ahead);
  // The lines written since the last read, the program having ended.
  if (auto read = changes.read(give_ahead); !read) return read.error();
  std::vector<std::u16string> unwritten;
  if (!o.dry_run) {
    auto found = unwritten_hives(changes, before);
    if (!found) return found.error();
    unwritten = std::move(*found);
  }
  const auto counters = read_counters(session.path("counters.json"));
  if (!code || (*code != 2 && *code != 0) || !counters)
    return ended_early(o, session, changes, unwritten, code, o.prefix ? prefix + "/logs/hivemend.log" : "");
  const std::string block = new_block(*place);
  if (unwritten.empty()) {
    print_outcome(o, session, block, changes.size(), *place);
    if (ahead && !ahead->finish(o, session, changes, *counters)) {
      ahead.reset();
      if (auto written = write_outputs(o, session, changes, *counters, {}); !written) return written;
    }
    // The program appends to a report file it can open without sharing: one held open
    // elsewhere gets nothing.
    if (block.empty())
      return Error{(o.summary ? "--summary " + *o.summary : place->file) + ": the summary block could not be appended"};
    return base::Ok{};
  }
  // What the run changed is what the other hives hold; the outputs written ahead hold
  // the changes of every hive.
  ahead.reset();
  const auto changed = changed_in_written(changes, unwritten);
  if (!changed) return changed.error();
  print_outcome(o, session, block, *changed, *place);
  if (auto written = write_outputs(o, session, changes, *counters, unwritten); !written) return written;
  std::string names;
  for (const auto& hive : unwritten) names += (names.empty() ? "" : ", ") + base::to_utf8(hive);
  return Error{names +
               ": not written back; the values there are as they were before the run (hivemend's reason above)"};
}

Status restore(const Options& o) {
  std::vector<std::string> files;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(*o.restore, ec))
    if (entry.path().extension() == ".reg") files.push_back(entry.path().string());
  if (ec) return Error{*o.restore + ": " + ec.message()};
  std::sort(files.begin(), files.end());
  if (files.empty()) return Error{*o.restore + ": no .reg file to restore"};
  for (const auto& file : files) {
    auto header = read_undo_header(file);
    if (!header) return header.error();
    const std::string hive_name = base::to_utf8(header->hive);
    auto hive = linux_path(header->hive);
    if (!hive) return Error{file + ": hive " + hive_name + " not found"};
    auto opened = open_hive(header->hive, *hive);
    if (!opened) return opened.error();
    auto doc = regf::read_reg_file(file);
    if (!doc) return Error{file + ": " + reason(doc.error())};
    auto root = regf::split_key_path(header->root);
    if (!root) return Error{file + ": " + reason(root.error())};
    auto counts = regf::apply_reg(*opened, *doc, *root, file);
    if (!counts) return Error{"restore of " + hive_name + " failed: " + counts.error().to_string()};
    if (counts->changed())
      if (auto committed = opened->commit(*hive); !committed)
        return Error{"restore of " + hive_name + " failed: " + reason(committed.error())};
    std::printf(
        "%s: %s set, %s deleted, %s deleted\n", hive_name.c_str(), base::counted(counts->values_set, "value").c_str(),
        base::counted(counts->values_deleted, "value").c_str(), base::counted(counts->keys_deleted, "key").c_str());
  }
  return base::Ok{};
}

}  // namespace hivemend::repair_tool
