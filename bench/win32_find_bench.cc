// Directory searches in a large directory on a real NTFS volume (ntfs-3g): 5,000
// patterns against 20,000 entries with short names, as a System32-like folder gets
// them from the path resolution. Measured twice in the same run: with the layer's
// listing cache, and with the plain approach (every search lists the directory and its
// short names again). Reported: searches per second and directory reads per search,
// and the ratio of the two rates. Then the cost of one search on a kept listing, as
// the path resolution repeats it for every text that does not resolve: a wildcard
// search that finds an entry and one that finds none, on the NTFS volume (read from
// its device) and on a plain folder (watched with inotify), in ns per call, and one
// that finds nothing three directories down.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/unicode.h"
#include "bench/bench_support.h"
#include "tests/support/ntfs_volume.h"
#include "win32/host/directory.h"
#include "win32/windows.h"

namespace {

constexpr int kEntries = 20000;
constexpr int kPatterns = 5000;

// printf-style text (string concatenation with a literal in front trips a false
// -Wrestrict in GCC 12).
template <typename... Args>
std::string text(const char* format, Args... args) {
  char buf[256];
  std::snprintf(buf, sizeof buf, format, args...);
  return buf;
}

// One volume for the whole run: C:\Windows\System32 with kEntries files, each with a
// long name and a recorded short name; and D:, a plain folder with the same names.
struct Fixture {
  std::unique_ptr<hivemend::testing::NtfsVolume> volume;
  std::string why_not;
  std::vector<std::u16string> patterns;

  Fixture() {
    volume = hivemend::testing::NtfsVolume::create(&why_not, 256);
    if (!volume) return;
    const std::string plain = hivemend::bench::run_dir() + "/plain";
    if (!hivemend::bench::use_prefix({{'c', volume->root()}, {'d', plain}})) {
      why_not = "cannot make a prefix with drives C and D";
      volume.reset();
      return;
    }
    const std::string dir = volume->path("Windows/System32");
    std::filesystem::create_directories(dir);
    std::filesystem::create_directories(plain + "/Windows/System32");
    std::filesystem::create_directories(volume->path("Program Files/Vendor0001/Common Files"));
    std::filesystem::create_directories(plain + "/Program Files/Vendor0001/Common Files");
    for (int i = 0; i < kEntries; ++i) {
      const std::string name = dir + text("/M%05d module file.dll", i);
      int fd = open(name.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
      if (fd >= 0) close(fd);
      const std::string short_name = text("M%05d~1.DLL", i);
      setxattr(name.c_str(), "system.ntfs_dos_name", short_name.data(), short_name.size(), 0);
      fd = open((plain + text("/Windows/System32/M%05d module file.dll", i)).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC,
                0644);
      if (fd >= 0) close(fd);
    }
    // A mix as the path resolution makes them: prefix searches, exact short names,
    // exact long names and names that are not there.
    for (int i = 0; i < kPatterns; ++i) {
      const int k = (i * 7919) % kEntries;
      std::string p;
      switch (i % 4) {
        case 0: p = text("C:\\WINDOWS\\system32\\M%05d*.*", k); break;
        case 1: p = text("C:\\Windows\\System32\\m%05d~1.dll", k); break;
        case 2: p = text("C:\\Windows\\System32\\M%05d module file.dll", k); break;
        default: p = text("C:\\Windows\\System32\\absent%05d*.*", k); break;
      }
      patterns.push_back(base::from_utf8(p));
    }
  }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

void run_searches(benchmark::State& state, bool cached) {
  Fixture& f = fixture();
  if (!f.volume) {
    state.SkipWithError(("NO NTFS VOLUME ON THIS MACHINE, benchmark not run: " + f.why_not).c_str());
    return;
  }
  hivemend::win32::set_listing_cache_enabled(cached);
  const uint64_t reads_before = hivemend::win32::directory_reads();
  size_t i = 0, found = 0;
  for (auto _ : state) {
    WIN32_FIND_DATAW data;
    HANDLE h = FindFirstFileW(f.patterns[i++ % f.patterns.size()].c_str(), &data);
    if (h != INVALID_HANDLE_VALUE) {
      do ++found;
      while (FindNextFileW(h, &data));
      FindClose(h);
    }
  }
  const double searches = double(state.iterations());
  state.counters["searches_per_s"] = benchmark::Counter(searches, benchmark::Counter::kIsRate);
  state.counters["dir_reads_per_search"] = double(hivemend::win32::directory_reads() - reads_before) / searches;
  state.counters["entries_found"] = double(found);
  hivemend::win32::set_listing_cache_enabled(true);
}

// The layer as it is: the listing is read once and kept.
void BM_FindWithListingCache(benchmark::State& state) { run_searches(state, true); }
// The baseline: one full listing (with every short name) per search.
void BM_FindOneListingPerSearch(benchmark::State& state) { run_searches(state, false); }

// Wall-clock time: the cost on FUSE is mostly waiting for the daemon.
BENCHMARK(BM_FindWithListingCache)->Iterations(kPatterns)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FindOneListingPerSearch)->Iterations(5)->UseRealTime()->Unit(benchmark::kMillisecond);

// One search repeated on a kept listing: range(0) the drive (0: the NTFS volume, 1: the
// plain folder), range(1) whether it finds an entry (a prefix search as the path
// resolution makes it) or none.
void BM_RepeatedSearch(benchmark::State& state) {
  Fixture& f = fixture();
  if (!f.volume) {
    state.SkipWithError(("NO NTFS VOLUME ON THIS MACHINE, benchmark not run: " + f.why_not).c_str());
    return;
  }
  const bool plain = state.range(0) != 0, finds = state.range(1) != 0;
  state.SetLabel(std::string(plain ? "plain folder" : "ntfs") + (finds ? ", found" : ", not found"));
  const std::u16string pattern =
      base::from_utf8(text("%c:\\WINDOWS\\system32\\%s*.*", plain ? 'D' : 'C', finds ? "M01234 MODULE" : "COMMON"));
  WIN32_FIND_DATAW data;
  HANDLE first = FindFirstFileW(pattern.c_str(), &data);  // lists the directory once
  if ((first != INVALID_HANDLE_VALUE) != finds) {
    state.SkipWithError("the search does not answer as the benchmark expects");
    return;
  }
  if (first != INVALID_HANDLE_VALUE) FindClose(first);
  const uint64_t reads_before = hivemend::win32::directory_reads();
  for (auto _ : state) {
    HANDLE h = FindFirstFileW(pattern.c_str(), &data);
    if (h != INVALID_HANDLE_VALUE) FindClose(h);
  }
  state.counters["dir_reads"] = double(hivemend::win32::directory_reads() - reads_before);
}

BENCHMARK(BM_RepeatedSearch)->ArgsProduct({{0, 1}, {1, 0}})->ArgNames({"plain", "finds"})->Unit(benchmark::kNanosecond);

// As the repair searches again for a text that does not resolve: a name that is not
// there, three directories down, every one of them kept. range(0) the drive, as above.
void BM_RepeatedDeepSearch(benchmark::State& state) {
  Fixture& f = fixture();
  if (!f.volume) {
    state.SkipWithError(("NO NTFS VOLUME ON THIS MACHINE, benchmark not run: " + f.why_not).c_str());
    return;
  }
  const bool plain = state.range(0) != 0;
  state.SetLabel(plain ? "plain folder" : "ntfs");
  const std::u16string pattern =
      base::from_utf8(text("%c:\\Program Files\\Vendor0001\\Common Files\\gone0001.dll", plain ? 'D' : 'C'));
  WIN32_FIND_DATAW data;
  if (FindFirstFileW(pattern.c_str(), &data) != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_NOT_FOUND) {
    state.SkipWithError("the search does not answer as the benchmark expects");
    return;
  }
  const uint64_t reads_before = hivemend::win32::directory_reads();
  for (auto _ : state) benchmark::DoNotOptimize(FindFirstFileW(pattern.c_str(), &data));
  state.counters["dir_reads"] = double(hivemend::win32::directory_reads() - reads_before);
}

BENCHMARK(BM_RepeatedDeepSearch)->Arg(0)->Arg(1)->ArgNames({"plain"})->Unit(benchmark::kNanosecond);

// Prints the runs as usual, then the cached rate as a multiple of the baseline's.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& run : runs) {
      auto it = run.counters.find("searches_per_s");
      if (it != run.counters.end() && !run.error_occurred) rates_[run.benchmark_name()] = it->second.value;
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    double cached = 0, plain = 0;
    for (const auto& [name, rate] : rates_) {
      if (name.find("WithListingCache") != std::string::npos) cached = rate;
      if (name.find("OneListingPerSearch") != std::string::npos) plain = rate;
    }
    if (cached > 0 && plain > 0)
      std::printf("searches per second, listing cache vs one listing per search: %.1fx\n", cached / plain);
  }

 private:
  std::map<std::string, double> rates_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
