// hivemend-repair: repairs the registry of a restored Windows installation in one
// command. It mounts the volumes behind the drive letters, builds the Windows
// environment hivemend runs in (a prefix with the drive links and the product's
// settings), runs hivemend with the registry layer's change journal on, and turns the
// journal into a list of changes and an undo folder; or puts an undo folder back.
// With --list or --resolve it only looks: what the program's directory search and path
// resolution would find on the drives, nothing written.
//
// Exit codes: 0 after a run (or a restore, or a look); 1 on failure, with one line on standard
// error; 2 on bad usage.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "tools/hivemend-repair/changes.h"
#include "tools/hivemend-repair/look.h"
#include "tools/hivemend-repair/options.h"
#include "tools/hivemend-repair/process.h"
#include "tools/hivemend-repair/run.h"
#include "tools/hivemend-repair/session.h"

namespace {

using namespace hivemend::repair_tool;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

int usage_error(const std::string& why) {
  std::fprintf(stderr, "hivemend-repair: %s (see hivemend-repair --help)\n", why.c_str());
  return kExitUsage;
}

int failure(const Error& error) {
  std::fprintf(stderr, "hivemend-repair: %s\n", error.message.c_str());
  return kExitFailed;
}

// The source disk's signature: given, else the MBR's of the disk the source drive is a
// partition of. Rescue-transfer mode matches it against the source system's drive
// letters, so there it must be known.
Result<std::string> source_signature(const Options& o, const OpenedVolume& source) {
  if (o.sig) return *o.sig;
  if (source.table == PartitionTable::kMbr) {
    char hex[9];
    std::snprintf(hex, sizeof hex, "%X", static_cast<unsigned>(source.mbr_signature.value_or(0)));
    return std::string(hex);
  }
  if (source.table == PartitionTable::kGpt && o.rescue_transfer)
    return Error{std::string("drive ") + o.src.front() +
                 ": a GPT disk holds no disk signature; give the source disk's with --sig HEX"};
  return std::string("0");
}

// The run once the options are read: as root, with the signal handlers installed.
int run(const Options& o) {
  if (o.undo)
    if (auto fresh = check_undo_folder(*o.undo); !fresh) return failure(fresh.error());
  Session session;
  if (auto started = session.start(); !started) return failure(started.error());
  const std::string prefix = o.prefix ? std::filesystem::absolute(*o.prefix).string() : session.path("prefix");
  if (auto made = session.make_prefix(prefix); !made) return failure(made.error());

  const auto source = open_drives(o, session, o.dry_run || o.looks());
  if (!source) return failure(source.error());
  if (o.looks()) {
    auto looked = look(o);
    return looked ? kExitOk : failure(looked.error());
  }
  if (o.restore) {
    auto restored = restore(o);
    return restored ? kExitOk : failure(restored.error());
  }
  const auto sig = source_signature(o, *source);
  if (!sig) return usage_error(sig.error().message);
  if (auto known = check_source_signature(o, *sig); !known) return failure(known.error());
  const auto with_config = destinations_with_config(o);
  if (!with_config) return failure(with_config.error());
  const auto before = check_hives(*with_config);
  if (!before) return failure(before.error());
  auto repaired = repair(o, session, prefix, *sig, *before);
  return repaired ? kExitOk : failure(repaired.error());
}

}  // namespace

int main(int argc, char** argv) {
  const auto options = parse_options(argc, argv);
  if (!options) return usage_error(options.error().message);
  if (options->help) {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  if (geteuid() != 0)
    return failure(Error{"run as root: ntfs-3g mounts and the hives' backup and restore privileges need it"});
  install_signal_handlers();
  int code = kExitOk;
  if (options->cleanup) {
    if (remove_leftovers() == 0) std::puts("nothing left by an earlier run");
  } else {
    code = run(*options);
  }
  // A reader that went away early (| head) cut the report short; the run itself ended
  // as it says.
  if (std::fflush(stdout) != 0 || std::ferror(stdout))
    return code == kExitOk ? failure(Error{"standard output: write error"}) : code;
  return code;
}
