#include "bench/bench_support.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <time.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <new>

#include <benchmark/benchmark.h>

#include "win32/advapi32/security.h"
#include "win32/host/prefix.h"

namespace hivemend::bench {

namespace {

struct RunDir {
  RunDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "hivemend-bench-XXXXXX").string();
    if (mkdtemp(pattern.data())) path = pattern;
  }
  ~RunDir() {
    std::error_code ignored;
    if (!path.empty()) std::filesystem::remove_all(path, ignored);
  }
  std::string path;
};

}  // namespace

const std::string& run_dir() {
  static RunDir dir;
  return dir.path;
}

const std::string& test_hive(const std::string& name) {
  static std::map<std::string, std::string> unpacked;
  auto [at, fresh] = unpacked.try_emplace(name);
  if (fresh && !run_dir().empty()) {
    const std::string path = run_dir() + "/" + name;
    const std::string cmd = "xz -dc '" HIVEMEND_TESTDATA "/hives/" + name + ".xz' > '" + path + "'";
    if (std::system(cmd.c_str()) == 0) at->second = path;
  }
  return at->second;
}

bool use_prefix(std::initializer_list<std::pair<char, std::string>> drives) {
  if (run_dir().empty()) return false;
  setenv("HIVEMEND_PREFIX", (run_dir() + "/prefix").c_str(), 1);
  for (const auto& [letter, root] : drives)
    if (!win32::define_drive(letter, root)) return false;
  return true;
}

void enable_mount_privileges() {
  HANDLE token = nullptr;
  OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token);
  for (const char16_t* name : {SE_BACKUP_NAME, SE_RESTORE_NAME}) {
    TOKEN_PRIVILEGES p{1, {{{0, 0}, SE_PRIVILEGE_ENABLED}}};
    LookupPrivilegeValueW(nullptr, name, &p.Privileges[0].Luid);
    AdjustTokenPrivileges(token, FALSE, &p, 0, nullptr, nullptr);
  }
}

Measure run_program(const std::vector<std::string>& argv) {
  return in_child([&] {
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    return 127;
  });
}

bool run_benchmarks(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return false;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return true;
}

namespace {

double now_seconds(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

}  // namespace

PartClock& part_clock() {
  static PartClock* clock = [] {
    void* shared = mmap(nullptr, sizeof(PartClock), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED) std::abort();
    return new (shared) PartClock;
  }();
  return *clock;
}

void part_begins() {
  PartClock& part = part_clock();
  part.wall_begin = now_seconds(CLOCK_MONOTONIC);
  part.cpu_begin = now_seconds(CLOCK_PROCESS_CPUTIME_ID);
  part.begun = true;
}

void part_ends() {
  PartClock& part = part_clock();
  part.wall_end = now_seconds(CLOCK_MONOTONIC);
  part.cpu_end = now_seconds(CLOCK_PROCESS_CPUTIME_ID);
  part.ended = true;
}

}  // namespace hivemend::bench
