// What a run does once its drives are open: check the hives it will write, run hivemend
// and turn its journal into the change list and undo folder; or put an undo folder back.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "tools/hivemend-repair/error.h"
#include "tools/hivemend-repair/options.h"
#include "tools/hivemend-repair/session.h"

namespace hivemend::repair_tool {

// The destination letters among `o.dst` whose drive has Windows\System32\config.
Result<std::string> destinations_with_config(const Options& o);

// In rescue-transfer mode, the source disk signature `sig` (hex) must be one that each
// source drive's system gave drive letters to, as hivemend looks it up there: else the
// run would find no letters and change nothing. The refusal lists the ones it knows.
Status check_source_signature(const Options& o, const std::string& sig);

// The base block (first 4096 bytes) of each hive file the run may write, by its path,
// as it was before the run. A hive written back is a new file whose base block carries
// the next sequence number and the time of the write, so an equal one after the run
// shows a write-back that failed.
using BaseBlocks = std::map<std::string, std::vector<char>>;

// The hive files the run will write on those drives, each checked as the registry layer
// will load it: a damaged hive is refused for writing, so the run could not repair it.
// Gives their base blocks.
Result<BaseBlocks> check_hives(const std::string& dst_with_config);

// Runs hivemend on the drives in the prefix with the source disk signature `sig` (hex),
// prints the summary block and what changed, and writes --changes and --undo. `before`
// holds the hives' base blocks from before the run.
Status repair(const Options& o, Session& session, const std::string& prefix, const std::string& sig,
              const BaseBlocks& before);

// Applies each .reg file of the --restore folder to the hive it names, in place with one
// crash-safe commit per hive, and says what each put back.
Status restore(const Options& o);

}  // namespace hivemend::repair_tool
