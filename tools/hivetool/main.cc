// hivetool: hive files as .reg text and back, applying .reg text to a hive in place,
// checking a hive, comparing two hives.
//
// Exit codes: 0 success; 1 `check` found damage or `diff` found differences; 2 bad
// usage or input that cannot be read (one line on standard error naming the file and
// the offset or line).
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/counts.h"
#include "base/unicode.h"
#include "regf/apply.h"
#include "regf/build.h"
#include "regf/commit.h"
#include "regf/diff.h"
#include "regf/hive.h"
#include "regf/recovery.h"
#include "regf/regtext.h"
#include "regf/walk.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFound = 1;  // damage or differences
constexpr int kExitError = 2;

// ---- command line ----

struct OptionSpec {
  std::string_view name;   // without the leading "--"
  std::string_view value;  // name of its argument; empty for a flag
  std::string_view help;
};

struct Args {
  std::vector<std::string> positional;
  std::map<std::string, std::string, std::less<>> options;  // flags map to ""

  std::optional<std::string> option(std::string_view name) const {
    auto it = options.find(name);
    if (it == options.end()) return std::nullopt;
    return it->second;
  }
};

struct Command {
  std::string_view name;
  std::vector<std::string_view> operands;  // names of the required positional arguments
  std::string_view summary;
  std::string_view details;
  std::vector<OptionSpec> options;
  int (*run)(const Args&);
};

int fail(const std::string& line) {
  std::fprintf(stderr, "hivetool: %s\n", line.c_str());
  return kExitError;
}

int fail(const regf::Error& error) { return fail(error.to_string()); }

bool write_stdout(std::string_view bytes) {
  return std::fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size() && std::fflush(stdout) == 0;
}

// ---- shared steps ----

std::u16string default_prefix(const std::string& hive_path) {
  return u"HKEY_LOCAL_MACHINE\\" + base::from_utf8(std::filesystem::path(hive_path).filename().string());
}

// An opened hive and, when its transaction logs were looked at, what recovery did.
struct OpenedHive {
  regf::Hive hive;
  std::optional<regf::RecoveryReport> recovery;
  std::string unrecovered;  // why a hive read as it stands could not be recovered
};

// Opens a hive as Windows loads one: a dirty primary gets the changes its transaction
// logs (HIVE.LOG, .LOG1, .LOG2 beside it) hold first. With --no-recover the primary is
// read alone.
regf::Result<OpenedHive> open_hive(const std::string& path, const Args& args) {
  if (args.option("no-recover")) {
    auto hive = regf::Hive::open_file(path);
    if (!hive) return hive.error();
    return OpenedHive{std::move(*hive), std::nullopt, ""};
  }
  auto recovered = regf::recover_file(path);
  if (!recovered) {
    // Not even the logs make a hive of it: the engine's own reading of the primary says
    // best what is wrong with the file.
    auto plain = regf::Hive::open_file(path);
    if (!plain) return plain.error();
    // A dirty primary that opens has sane base block fields, so only its checksum is
    // wrong and no log restores it: it is read as it stands, as other readers do, and
    // being dirty it is never written.
    if (!plain->dirty()) return recovered.error();
    return OpenedHive{std::move(*plain), std::nullopt, recovered.error().message};
  }
  auto hive = regf::Hive::from_image(std::move(recovered->image), path);
  if (!hive) return hive.error();
  return OpenedHive{std::move(*hive), std::move(recovered->report), ""};
}

// The hive for export and diff; a dirty hive is named on standard error with what was
// recovered, so that the text on standard output stays clean.
regf::Result<OpenedHive> open_for_reading(const std::string& path, const Args& args) {
  auto opened = open_hive(path, args);
  if (!opened) return opened.error();
  const auto& recovery = opened->recovery;
  if (!opened->unrecovered.empty()) {
    std::fprintf(stderr, "hivetool: %s: warning: %s; read as it stands\n", path.c_str(), opened->unrecovered.c_str());
  } else if (recovery && recovery->dirty && recovery->pages_applied() > 0) {
    const std::string base_block =
        recovery->base_block_from_log() ? "; base block taken from " + recovery->base_block_log : "";
    std::fprintf(stderr,
                 "hivetool: %s: dirty hive recovered from its transaction logs: %u pages from %u "
                 "log entries%s%s\n",
                 path.c_str(), recovery->pages_applied(), recovery->entries_applied(), base_block.c_str(),
                 recovery->stopped_early() ? "; recovery stopped early (see hivetool check)" : "");
  } else if (opened->hive.dirty() || (recovery && recovery->dirty)) {
    std::fprintf(stderr,
                 "hivetool: %s: warning: the hive is dirty; its transaction logs may hold "
                 "newer data that was not applied\n",
                 path.c_str());
  }
  return opened;
}

regf::Result<regf::TreeKey> load_tree(const std::string& path, const Args& args) {
  auto opened = open_for_reading(path, args);
  if (!opened) return opened.error();
  return regf::read_tree(opened->hive);
}

struct Counts {
  size_t keys = 0;
  size_t values = 0;
  std::map<uint32_t, size_t> by_type;
};

void count(const regf::TreeKey& key, Counts& counts) {
  ++counts.keys;
  counts.values += key.values.size();
  for (const auto& v : key.values) ++counts.by_type[v.type];
  for (const auto& sub : key.subkeys) count(sub, counts);
}

std::string type_name(uint32_t type) {
  static constexpr const char* kNames[] = {"REG_NONE",
                                           "REG_SZ",
                                           "REG_EXPAND_SZ",
                                           "REG_BINARY",
                                           "REG_DWORD",
                                           "REG_DWORD_BIG_ENDIAN",
                                           "REG_LINK",
                                           "REG_MULTI_SZ",
                                           "REG_RESOURCE_LIST",
                                           "REG_FULL_RESOURCE_DESCRIPTOR",
                                           "REG_RESOURCE_REQUIREMENTS_LIST",
                                           "REG_QWORD"};
  if (type < std::size(kNames)) return kNames[type];
  char buf[32];
  std::snprintf(buf, sizeof buf, "type 0x%x", type);
  return buf;
}

// ---- commands ----

int run_export(const Args& args) {
  const std::string& hive_path = args.positional[0];
  const std::u16string prefix =
      args.option("prefix") ? base::from_utf8(*args.option("prefix")) : default_prefix(hive_path);
  auto opened = open_for_reading(hive_path, args);
  if (!opened) return fail(opened.error());
  // The text goes out as it is made; a damaged hive is refused before the first line.
  bool output_failed = false;
  auto written = regf::write_reg_hive(opened->hive, prefix, [&](std::span<const uint8_t> piece) {
    output_failed = !write_stdout({reinterpret_cast<const char*>(piece.data()), piece.size()});
    return !output_failed;
  });
  if (output_failed) return fail("standard output: write error");
  if (!written) return fail(written.error());
  return kExitOk;
}

int run_import(const Args& args) {
  const std::string& reg_path = args.positional[0];
  const std::string& hive_path = args.positional[1];
  auto doc = regf::read_reg_file(reg_path);
  if (!doc) return fail(doc.error());
  if (doc->entries.empty()) return fail(reg_path + ": no [key] line: nothing to import");
  const std::u16string root =
      args.option("prefix") ? base::from_utf8(*args.option("prefix")) : regf::join_key_path(doc->entries.front().path);
  auto tree = regf::reg_subtree(*doc, root, reg_path);
  if (!tree) return fail(tree.error());
  auto image = regf::build_hive(*tree);
  if (!image) {
    regf::Error e = image.error();
    if (e.file.empty()) e.file = reg_path;
    return fail(e);
  }
  auto written = regf::replace_file(hive_path, *image);
  if (!written) return fail(written.error());
  Counts counts;
  count(*tree, counts);
  std::printf("%s: %zu keys, %zu values written\n", hive_path.c_str(), counts.keys, counts.values);
  return kExitOk;
}

// The changes of a .reg file, made in place, then one crash-safe commit.
int run_apply(const Args& args) {
  const std::string& reg_path = args.positional[0];
  const std::string& hive_path = args.positional[1];
  auto doc = regf::read_reg_file(reg_path);
  if (!doc) return fail(doc.error());
  auto root =
      regf::split_key_path(args.option("prefix") ? base::from_utf8(*args.option("prefix")) : default_prefix(hive_path));
  if (!root) return fail(root.error());
  auto opened = open_hive(hive_path, args);
  if (!opened) return fail(opened.error());
  auto counts = regf::apply_reg(opened->hive, *doc, *root, reg_path);
  if (!counts) return fail(counts.error());
  if (counts->changed())
    if (auto st = opened->hive.commit(hive_path); !st) return fail(st.error());
  std::printf(
      "%s: %s set, %s deleted, %s deleted\n", hive_path.c_str(), base::counted(counts->values_set, "value").c_str(),
      base::counted(counts->values_deleted, "value").c_str(), base::counted(counts->keys_deleted, "key").c_str());
  return kExitOk;
}

int run_check(const Args& args) {
  const std::string& hive_path = args.positional[0];
  auto opened = open_hive(hive_path, args);
  if (!opened) return fail(opened.error());
  const regf::Hive& hive = opened->hive;
  const regf::WalkReport walk = regf::walk_tree(hive);
  Counts counts;
  count(walk.root, counts);
  std::printf("%s: %zu keys, %zu values\n", hive_path.c_str(), counts.keys, counts.values);
  for (const auto& [type, n] : counts.by_type) std::printf("  %s: %zu\n", type_name(type).c_str(), n);
  if (opened->recovery && opened->recovery->dirty) {
    std::printf("%s", opened->recovery->to_string().c_str());
  } else if (!opened->unrecovered.empty()) {
    std::printf("state: dirty, read as it stands: %s\n", opened->unrecovered.c_str());
  } else if (hive.dirty()) {
    std::printf("state: dirty (transaction logs not applied: --no-recover)\n");
  }
  const std::vector<regf::Damage>& damage = hive.damage();
  if (damage.empty()) {
    std::printf("damage: none\n");
    return kExitOk;
  }
  std::printf("damage: %zu place%s\n", damage.size(), damage.size() == 1 ? "" : "s");
  for (const regf::Damage& d : damage) std::printf("  %s\n", d.to_string().c_str());
  return kExitFound;
}

int run_diff(const Args& args) {
  auto a = load_tree(args.positional[0], args);
  if (!a) return fail(a.error());
  auto b = load_tree(args.positional[1], args);
  if (!b) return fail(b.error());
  const std::u16string prefix =
      args.option("prefix") ? base::from_utf8(*args.option("prefix")) : default_prefix(args.positional[0]);
  const auto changes = regf::diff_trees(*a, *b);
  if (!write_stdout(regf::format_changes(changes, prefix))) return fail("standard output: write error");
  return changes.empty() ? kExitOk : kExitFound;
}

const OptionSpec kNoRecoverOption{"no-recover", "",
                                  "read the primary file alone: do not apply the changes its "
                                  "transaction logs (.LOG, .LOG1, .LOG2) hold"};
const OptionSpec kPrefixOption{"prefix", "ROOT",
                               "key path the hive's root stands for "
                               "(default: HKEY_LOCAL_MACHINE\\ and the hive file's name)"};

const std::vector<Command>& commands() {
  static const std::vector<Command> kCommands = {
      {"export",
       {"HIVE"},
       "write the whole hive as .reg text (REGEDIT5, UTF-8) on standard output",
       "Every key, value name, type and data byte is kept: data that regedit's readable\n"
       "forms would alter is written in a hex(N): form.\n",
       {kPrefixOption, kNoRecoverOption},
       run_export},
      {"import",
       {"FILE.reg", "HIVE"},
       "build a new hive file from a .reg file",
       "Every key path of the file must begin with ROOT; what follows ROOT is the key's\n"
       "path in the new hive. The hive file is replaced as a whole, or created.\n",
       {{"prefix", "ROOT", "key path that stands for the new hive's root (default: the file's first key path)"}},
       run_import},
      {"apply",
       {"FILE.reg", "HIVE"},
       "apply a .reg file to an existing hive in place",
       "Keys are created along each [KEY] path, values set, \"name\"=- deletes a value and\n"
       "[-KEY] a key with everything below it; every key path must begin with ROOT. Only\n"
       "the cells these changes touch are rewritten, in one crash-safe commit. A dirty hive\n"
       "is recovered from its transaction logs first; a damaged one is refused.\n",
       {kPrefixOption},
       run_apply},
      {"check",
       {"HIVE"},
       "validate a hive: count its keys and its values per type, list any damage",
       "A dirty hive is first recovered from its transaction logs, as Windows does when it\n"
       "loads it; the report says what each log held and where recovery stopped.\n"
       "Exit code 1 when damage was found.\n",
       {kNoRecoverOption},
       run_check},
      {"diff",
       {"A", "B"},
       "keys and values added, removed or changed from hive A to hive B",
       "Lines: +[key] added, -[key] removed, *[key] renamed (letter case); under a\n"
       "\" [key]\" line, -\"value\" and +\"value\" give the old and new state in .reg notation.\n"
       "Exit code 1 when the hives differ.\n",
       {kPrefixOption, kNoRecoverOption},
       run_diff},
  };
  return kCommands;
}

// "--name VALUE" or "--flag".
std::string option_text(const OptionSpec& o) {
  std::string text = "--";
  text += o.name;
  if (!o.value.empty()) {
    text += ' ';
    text += o.value;
  }
  return text;
}

std::string usage_line(const Command& c) {
  std::string line = "hivetool " + std::string(c.name);
  for (auto operand : c.operands) {
    line += ' ';
    line += operand;
  }
  for (const auto& o : c.options) {
    line += " [";
    line += option_text(o);
    line += ']';
  }
  return line;
}

void print_main_help(std::FILE* out) {
  std::fprintf(out, "usage: hivetool COMMAND ARGS... (hivetool COMMAND --help for details)\n\n");
  for (const auto& c : commands())
    std::fprintf(out, "  %-50s %s\n", usage_line(c).c_str(), std::string(c.summary).c_str());
}

void print_command_help(const Command& c) {
  std::printf("usage: %s\n\n%s.\n%s", usage_line(c).c_str(), std::string(c.summary).c_str(),
              std::string(c.details).c_str());
  if (!c.options.empty()) std::printf("\noptions:\n");
  for (const auto& o : c.options) { std::printf("  %-16s %s\n", option_text(o).c_str(), std::string(o.help).c_str()); }
  std::printf("  %-16s %s\n", "--help", "this text");
}

// Parses the arguments after the command name; nullopt after printing help or an error
// (`exit_code` says which).
std::optional<Args> parse_args(const Command& c, int argc, char** argv, int& exit_code) {
  Args args;
  bool options_done = false;
  for (int i = 0; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (options_done || arg.size() < 2 || arg.substr(0, 2) != "--") {
      args.positional.emplace_back(arg);
      continue;
    }
    if (arg == "--") {
      options_done = true;
      continue;
    }
    if (arg == "--help") {
      print_command_help(c);
      exit_code = kExitOk;
      return std::nullopt;
    }
    const size_t eq = arg.find('=');
    const std::string_view name = arg.substr(2, eq == std::string_view::npos ? arg.npos : eq - 2);
    const OptionSpec* spec = nullptr;
    for (const auto& o : c.options)
      if (o.name == name) spec = &o;
    if (!spec) {
      exit_code = fail(std::string(c.name) + ": unknown option --" + std::string(name) + " (see hivetool " +
                       std::string(c.name) + " --help)");
      return std::nullopt;
    }
    if (spec->value.empty()) {
      if (eq != std::string_view::npos) {
        exit_code = fail(std::string(c.name) + ": option --" + std::string(name) + " takes no value");
        return std::nullopt;
      }
      args.options[std::string(name)] = "";
    } else if (eq != std::string_view::npos) {
      args.options[std::string(name)] = std::string(arg.substr(eq + 1));
    } else if (i + 1 < argc) {
      args.options[std::string(name)] = argv[++i];
    } else {
      exit_code =
          fail(std::string(c.name) + ": option --" + std::string(name) + " needs a " + std::string(spec->value));
      return std::nullopt;
    }
  }
  if (args.positional.size() != c.operands.size()) {
    exit_code = fail(std::string(c.name) + ": expected " + std::to_string(c.operands.size()) + " argument" +
                     (c.operands.size() == 1 ? "" : "s") + ": " + usage_line(c));
    return std::nullopt;
  }
  return args;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    print_main_help(stderr);
    return kExitError;
  }
  const std::string_view name = argv[1];
  if (name == "--help" || name == "-h" || name == "help") {
    print_main_help(stdout);
    return kExitOk;
  }
  for (const Command& c : commands()) {
    if (c.name != name) continue;
    int exit_code = kExitOk;
    auto args = parse_args(c, argc - 2, argv + 2, exit_code);
    if (!args) return exit_code;
    return c.run(*args);
  }
  return fail("unknown command \"" + std::string(name) + "\" (see hivetool --help)");
}
