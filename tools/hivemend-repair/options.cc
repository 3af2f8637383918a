#include "tools/hivemend-repair/options.h"

#include <algorithm>
#include <cctype>
#include <iterator>
#include <string_view>

namespace hivemend::repair_tool {

const char* const kUsage =
    "Usage: hivemend-repair [OPTIONS] --drive LETTER=VOLUME...\n"
    "       hivemend-repair --restore DIR --drive LETTER=VOLUME...\n"
    "       hivemend-repair --cleanup\n"
    "       hivemend-repair --list PATTERN... --drive LETTER=VOLUME...\n"
    "       hivemend-repair --resolve PATH... --drive LETTER=VOLUME...\n"
    "\n"
    "Repairs the registry of a restored Windows installation with hivemend: paths stored\n"
    "in 8.3 short form (C:\\PROGRA~1\\...) are rewritten with the long names on the disk.\n"
    "Run as root.\n"
    "\n"
    "  --drive E=VOLUME     a drive letter and the volume behind it: a folder (a mounted\n"
    "                       volume), an NTFS image file or an NTFS block device; images\n"
    "                       and devices are mounted with ntfs-3g for the run and always\n"
    "                       unmounted at its end (also on an error or a signal)\n"
    "  --drive E=FILE[:N]   a VHDX, VHD, VMDK, qcow2 or VDI file, read and written in\n"
    "                       place through QEMU and taken as an image or a whole disk\n"
    "  --drive E=DISK[:N]   a whole-disk image or disk with an MBR or GPT partition\n"
    "                       table: its partition N, else the one holding\n"
    "                       Windows\\System32\\config\\SYSTEM (a drive that is only a\n"
    "                       source may also take the disk's only NTFS partition)\n"
    "  --src LETTERS        the source letters, where paths are looked up\n"
    "                       (default: the first --drive's letter)\n"
    "  --dst LETTERS        the destination letters, whose Windows\\System32\\config hives\n"
    "                       are repaired (default: the same as --src)\n"
    "  --sig HEX            the source disk's signature (default: the MBR disk signature\n"
    "                       when the first source drive is on a partitioned disk, else\n"
    "                       0; a GPT disk has none and needs --sig with\n"
    "                       --rescue-transfer)\n"
    "  --rescue-transfer    rescue-transfer mode (product setting CDTransfer = YES)\n"
    "  --detailed-log       one log line per repaired value (Wickmar\\DetailedLog = 1)\n"
    "  --summary WINPATH    the report file the summary block is appended to (default:\n"
    "                       logs/hivemend-report.txt in the prefix)\n"
    "  --prefix DIR         keep the Windows environment (drive links, settings, the\n"
    "                       diagnostic log) in DIR (default: a private one, removed)\n"
    "  --dry-run            write nothing to any volume: images and devices are mounted\n"
    "                       read-only, the run is made and every change reported, the\n"
    "                       hives stay as they were; the summary goes to standard output\n"
    "                       only\n"
    "  --remove-hiberfile   remove the hibernation file of a hibernated Windows (Fast\n"
    "                       Startup) on a drive the run writes, so that Windows starts\n"
    "                       cold and reads the repaired hives; this cannot be undone\n"
    "  --changes FILE       every value the run changed (or would change), as JSON\n"
    "  --undo DIR           one REGEDIT5 file per changed hive holding the old data of\n"
    "                       every changed value\n"
    "  --restore DIR        apply such an undo folder to the hives on the given drives,\n"
    "                       and nothing else\n"
    "  --cleanup            remove what runs that were killed (SIGKILL, a crash) left:\n"
    "                       their mounts, disk file exports, loop devices and scratch\n"
    "                       folders (every run does this first), and nothing else\n"
    "  --list PATTERN...    what the program's directory search finds for each Windows\n"
    "                       pattern (E:\\Windows\\*.exe), like dir /x: a line per entry\n"
    "                       with its attributes (8 hex digits), size, short name and\n"
    "                       long name, separated by tabs, then an empty line; a pattern\n"
    "                       that fails gives \"! \" and the Windows error code instead\n"
    "  --resolve PATH...    each path as the repair would resolve it, or \"! \" and the\n"
    "                       reason it would leave it as it is\n"
    "                       (with --list or --resolve, \"-\" reads the patterns or paths\n"
    "                       from standard input, each answered before the next line is\n"
    "                       read; volumes are mounted read-only; standard error gets a\n"
    "                       line per reason a directory was read through ntfs-3g)\n"
    "  --help               this text\n"
    "\n"
    "Prints the summary block and where the changes went. Exit code 0 after a run (or\n"
    "when every pattern or path was answered), 1 on failure (one line on standard\n"
    "error), 2 on bad usage.\n";

namespace {

// The command line's limit on letters per drive list.
constexpr size_t kMaxLetters = 15;

constexpr std::pair<std::string_view, bool Options::*> kFlags[] = {
    {"--rescue-transfer", &Options::rescue_transfer},
    {"--detailed-log", &Options::detailed_log},
    {"--dry-run", &Options::dry_run},
    {"--cleanup", &Options::cleanup},
    {"--remove-hiberfile", &Options::remove_hiberfile},
};
constexpr std::pair<std::string_view, std::optional<std::string> Options::*> kTexts[] = {
    {"--summary", &Options::summary}, {"--prefix", &Options::prefix},   {"--changes", &Options::changes},
    {"--undo", &Options::undo},       {"--restore", &Options::restore},
};
constexpr std::string_view kChecked[] = {"--drive", "--src", "--dst", "--sig"};
constexpr std::pair<std::string_view, std::optional<std::vector<std::string>> Options::*> kLooks[] = {
    {"--list", &Options::list},
    {"--resolve", &Options::resolve},
};

template <typename Table>
auto find_option(const Table& table, std::string_view name) {
  return std::find_if(std::begin(table), std::end(table), [&](const auto& row) { return row.first == name; });
}

Error refused(std::string why) { return Error{std::move(why)}; }

// Upper-cased letters, or nullopt when the text holds anything else or too many.
std::optional<std::string> letters(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (!std::isalpha(static_cast<unsigned char>(c))) return std::nullopt;
    out += char(std::toupper(static_cast<unsigned char>(c)));
  }
  if (out.empty() || out.size() > kMaxLetters) return std::nullopt;
  return out;
}

// The options read so far; --src and --dst take their defaults once all are read.
struct Reading {
  Options options;
  std::optional<std::string> src, dst;
};

Status take_drive(const std::string& value, Options& o) {
  if (value.size() < 3 || value[1] != '=' || !std::isalpha(static_cast<unsigned char>(value[0])))
    return refused("--drive " + value + ": expected LETTER=VOLUME");
  const char letter = char(std::tolower(static_cast<unsigned char>(value[0])));
  for (const auto& [seen, volume] : o.drives)
    if (seen == letter) return refused(std::string("drive ") + char(std::toupper(letter)) + ": given twice");
  o.drives.emplace_back(letter, value.substr(2));
  return base::Ok{};
}

Status take_value(std::string_view name, const std::string& value, Reading& r) {
  if (name == "--drive") return take_drive(value, r.options);
  if (name == "--src" || name == "--dst") {
    auto given = letters(value);
    if (!given) return refused(std::string(name) + " " + value + ": expected 1 to 15 drive letters");
    (name == "--src" ? r.src : r.dst) = *given;
  } else if (name == "--sig") {
    if (value.empty() || value.size() > 8 || value.find_first_not_of("0123456789abcdefABCDEF") != value.npos)
      return refused("--sig " + value + ": expected 1 to 8 hex digits");
    r.options.sig = value;
  } else {
    r.options.*(find_option(kTexts, name)->second) = value;
  }
  return base::Ok{};
}

// The checks of the options as a whole, and the letters' defaults.
Result<Options> finish(Reading r) {
  Options& o = r.options;
  if (o.cleanup) {
    if (!o.drives.empty() || o.rescue_transfer || o.detailed_log || o.dry_run || o.remove_hiberfile || o.sig ||
        o.summary || o.prefix || o.changes || o.undo || o.restore || r.src || r.dst || o.looks())
      return refused("--cleanup does nothing but clean up: no other option");
    return std::move(o);
  }
  if (o.drives.empty()) return refused("no --drive given");
  if (o.looks()) {
    if (o.list && o.resolve) return refused("--list and --resolve: give one of them");
    const std::string name = o.list ? "--list" : "--resolve";
    if (o.rescue_transfer || o.detailed_log || o.dry_run || o.remove_hiberfile || o.sig || o.summary || o.changes ||
        o.undo || o.restore || r.src || r.dst)
      return refused(name + " only looks: no option but --drive and --prefix");
    const auto& texts = o.list ? *o.list : *o.resolve;
    if (texts.size() > 1 && std::find(texts.begin(), texts.end(), "-") != texts.end())
      return refused(name + " -: standard input and nothing else");
    // Every drive is only read: the first is the source a run would have, none is a
    // destination.
    o.src = std::string(1, char(std::toupper(o.drives.front().first)));
    return std::move(o);
  }
  // A restore runs no repair: the repair's settings would be ignored.
  if (o.restore &&
      (o.dry_run || o.changes || o.undo || r.src || r.dst || o.sig || o.summary || o.rescue_transfer || o.detailed_log))
    return refused(
        "--restore does nothing but restore: no --dry-run, --changes, --undo, --src, --dst, --sig, --summary, "
        "--rescue-transfer or --detailed-log");
  o.src = r.src ? *r.src : std::string(1, char(std::toupper(o.drives.front().first)));
  o.dst = r.dst ? *r.dst : o.src;
  for (char c : o.src + o.dst) {
    const bool given =
        std::any_of(o.drives.begin(), o.drives.end(), [&](const auto& d) { return d.first == std::tolower(c); });
    if (!given) return refused(std::string("drive ") + c + ": no --drive " + c + "=VOLUME");
  }
  return std::move(o);
}

}  // namespace

Result<Options> parse_options(int argc, const char* const* argv) {
  Reading r;
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    std::optional<std::string> inline_value;
    if (const size_t eq = name.find('='); name.rfind("--", 0) == 0 && eq != name.npos) {
      inline_value = name.substr(eq + 1);
      name.resize(eq);
    }
    const auto flag = find_option(kFlags, name);
    if (name == "--help" || flag != std::end(kFlags)) {
      if (inline_value) return refused("option " + name + " takes no value");
      if (name == "--help") {
        Options help;
        help.help = true;
        return help;
      }
      r.options.*(flag->second) = true;
      continue;
    }
    if (const auto look = find_option(kLooks, name); look != std::end(kLooks)) {
      auto& texts = r.options.*(look->second);
      if (!texts) texts.emplace();
      const size_t given = texts->size();
      if (inline_value) texts->push_back(*inline_value);
      while (!inline_value && i + 1 < argc && !std::string_view(argv[i + 1]).starts_with("--"))
        texts->push_back(argv[++i]);
      if (texts->size() == given) return refused("option " + name + " needs a value");
      continue;
    }
    if (std::find(std::begin(kChecked), std::end(kChecked), name) == std::end(kChecked) &&
        find_option(kTexts, name) == std::end(kTexts))
      return refused("unknown option " + name);
    if (!inline_value && i + 1 >= argc) return refused("option " + name + " needs a value");
    const std::string value = inline_value ? *inline_value : std::string(argv[++i]);
    if (auto taken = take_value(name, value, r); !taken) return taken.error();
  }
  return finish(std::move(r));
}

}  // namespace hivemend::repair_tool
