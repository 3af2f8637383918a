// The whole repair on a synthetic installation, next to a plain full walk of the same
// SOFTWARE hive (hivetool export to /dev/null), measured in the same run.
//
// Drive C is an NTFS volume (mkntfs + ntfs-3g) holding 2,000 program folders,
// Program Files\VendorNNNN\Common Files\libNNNN.dll, with short names other than the
// stored ones (Program Files is PROGRA~2, a decoy ProgramData is PROGRA~1). Drive E
// holds the installation: a SOFTWARE hive of 1,000,000 values in 10,000 keys, of which
// 20,000 are candidates C:\PROGRA~1\VendorNNNN\COMMON~1\libNNNN.dll over the 2,000
// paths (each met 10 times), a small SYSTEM hive and one user hive.
//
// Each side runs in a process of its own, so that its peak resident memory is its own:
// the repair in a forked child, the baseline as the hivetool program. Reported: total
// time, time per hive, time per candidate, peak memory, and time, processor time and
// peak memory as ratios to the baseline. The NTFS volume's own process (ntfs-3g) is not
// counted in either processor time.
//
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "app/HivemendDlg.h"
#include "bench/bench_support.h"
#include "tests/support/files.h"
#include "tests/support/hives.h"
#include "tests/support/ntfs_volume.h"

namespace {

using hivemend::bench::in_child;
using hivemend::bench::Measure;
using hivemend::bench::run_program;

constexpr int kPaths = 2000;
constexpr int kKeys = 10000;
constexpr int kValuesPerKey = 100;
constexpr int kCandidateEvery = 50;  // 1,000,000 / 50 = 20,000 candidates
constexpr int kHives = 3;

regf::TreeValue Sz(const std::u16string& name, const std::u16string& text) {
  return regf::TreeValue{name, regf::kRegSz, hivemend::testing::utf16(text)};
}

std::u16string U16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

// A numbered text ("v%d"); built with snprintf, as GCC 12 warns falsely about
// "literal" + std::to_string.
std::u16string Numbered(const char* format, int n) {
  char text[48];
  std::snprintf(text, sizeof text, format, n);
  return U16(text);
}

std::u16string Candidate(int path) {
  char text[80];
  std::snprintf(text, sizeof text, "C:\\PROGRA~1\\Vendor%04d\\COMMON~1\\lib%04d.dll", path, path);
  return U16(text);
}

// Builds the hives in a child process, so that the tree in memory never counts
// against the measured processes.
bool BuildHives(const std::string& config, const std::string& users) {
  const pid_t pid = fork();
  if (pid == 0) {
    regf::TreeKey software{u"SOFTWARE", {}, 0, {}, {}};
    int n = 0;
    for (int k = 0; k < kKeys; ++k) {
      char name[16];
      std::snprintf(name, sizeof name, "Key%05d", k);
      regf::TreeKey key{U16(name), {}, 0, {}, {}};
      for (int j = 0; j < kValuesPerKey; ++j, ++n) {
        const std::u16string vname = Numbered("v%d", j);
        if (n % kCandidateEvery == 0)
          key.values.push_back(Sz(vname, Candidate((n / kCandidateEvery) % kPaths)));
        else if (j % 2 == 0)
          key.values.push_back(Sz(vname, Numbered("plain text %d", n)));
        else
          key.values.push_back(regf::TreeValue{vname, regf::kRegDword, {1, 2, 3, 4}});
      }
      software.subkeys.push_back(std::move(key));
    }
    regf::TreeKey profiles{u"ProfileList", {}, 0, {Sz(u"ProfilesDirectory", u"%SystemDrive%\\Users")}, {}};
    regf::TreeKey cv{u"CurrentVersion", {}, 0, {}, {profiles}};
    regf::TreeKey nt{u"Windows NT", {}, 0, {}, {cv}};
    software.subkeys.push_back(regf::TreeKey{u"Microsoft", {}, 0, {}, {nt}});
    regf::TreeKey system{u"SYSTEM", {}, 0, {}, {}};
    regf::TreeKey user{u"USER", {}, 0, {}, {}};
    for (int i = 0; i < 100; ++i) {
      system.values.push_back(Sz(Numbered("s%d", i), Candidate(i)));
      user.values.push_back(Sz(Numbered("u%d", i), Candidate(kPaths - 1 - i)));
    }
    using hivemend::testing::write_hive;
    const bool ok = write_hive(config + "/SOFTWARE.orig", software) && write_hive(config + "/SYSTEM.orig", system) &&
                    write_hive(users + "/User1/ntuser.dat.orig", user);
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

struct Installation {
  std::unique_ptr<hivemend::testing::NtfsVolume> volume;  // drive C
  std::string inst;                                       // drive E
  bool ready = false;
  std::string error;

  Installation() {
    volume = hivemend::testing::NtfsVolume::create(&error, 256);
    if (!volume) return;
    using hivemend::testing::NtfsVolume;
    const std::string pf = volume->path("Program Files");
    std::filesystem::create_directories(volume->path("ProgramData"));
    std::filesystem::create_directories(pf);
    NtfsVolume::set_short_name(pf, "PROGRA~2");
    NtfsVolume::set_short_name(volume->path("ProgramData"), "PROGRA~1");
    for (int i = 0; i < kPaths; ++i) {
      char vendor[32];
      std::snprintf(vendor, sizeof vendor, "/Vendor%04d", i);
      const std::string common = pf + vendor + "/Common Files";
      std::filesystem::create_directories(common);
      NtfsVolume::set_short_name(common, "COMMON~2");
      char lib[32];
      std::snprintf(lib, sizeof lib, "/lib%04d.dll", i);
      std::ofstream(common + lib).put('x');
    }
    inst = hivemend::bench::run_dir() + "/e";
    if (!BuildHives(inst + "/Windows/system32/config", inst + "/Users")) {
      error = "cannot build the hives";
      return;
    }
    if (!hivemend::bench::use_prefix({{'c', volume->root()}, {'e', inst}})) {
      error = "cannot define the drives";
      return;
    }
    hivemend::bench::enable_mount_privileges();
    ready = true;
  }
  // Fresh copies of the hives: the repair rewrites them.
  void Restore() const {
    const std::string config = inst + "/Windows/system32/config/";
    for (const std::string& f : {config + "SOFTWARE", config + "SYSTEM", inst + "/Users/User1/ntuser.dat"})
      std::filesystem::copy_file(f + ".orig", f, std::filesystem::copy_options::overwrite_existing);
  }
};

Installation& Setup() {
  static Installation installation;
  return installation;
}

void BM_RepairInstallation(benchmark::State& state) {
  Installation& setup = Setup();
  if (!setup.ready) {
    state.SkipWithError(setup.error.c_str());
    return;
  }
  const std::string software = setup.inst + "/Windows/system32/config/SOFTWARE.orig";
  for (auto _ : state) {
    setup.Restore();
    const Measure baseline = run_program({HIVEMEND_BIN_DIR "/hivetool", "export", software});
    const Measure repair = in_child([&] {
      CHivemendDlg run(u"C", u"E", 0);
      // Every candidate was examined and none was left unresolved.
      return run.m_dwPathsResolved == 20000 + 200 && run.m_dwPathsSkipped == 0 ? 0 : 1;
    });
    if (!baseline.ok || !repair.ok) {
      state.SkipWithError(!baseline.ok ? "hivetool export failed" : "the repair did not resolve every candidate");
      return;
    }
    state.SetIterationTime(repair.seconds);
    state.counters["total_s"] = repair.seconds;
    state.counters["per_hive_ms"] = repair.seconds * 1e3 / kHives;
    state.counters["per_candidate_us"] = repair.seconds * 1e6 / (20000 + 200);
    state.counters["peak_MB"] = repair.peak_mb;
    state.counters["export_s"] = baseline.seconds;
    state.counters["export_peak_MB"] = baseline.peak_mb;
    state.counters["time_ratio"] = repair.seconds / baseline.seconds;
    state.counters["cpu_s"] = repair.cpu_seconds;
    state.counters["export_cpu_s"] = baseline.cpu_seconds;
    state.counters["cpu_ratio"] = repair.cpu_seconds / baseline.cpu_seconds;
    state.counters["peak_ratio"] = repair.peak_mb / baseline.peak_mb;
  }
}
BENCHMARK(BM_RepairInstallation)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
