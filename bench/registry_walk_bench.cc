// The repair's hive walk through the registry functions against the same walk through
// the hive engine directly, on the real SYSTEM hive, in one run.
//
// The registry walk does what the repair's traversal does: it opens every key by its
// full path from HKEY_LOCAL_MACHINE with KEY_READ | KEY_WRITE, enumerates values by
// increasing index with a 500-character name buffer and a 500-byte data buffer,
// enumerates subkeys by index and recurses with the child path "%s\%s". The direct walk
// does the same through regf::Hive: each key found from the root by its full path, the
// same buffers, the same child paths. Target: the registry walk costs at most 1.5 times
// the direct walk, in CPU time of the walking thread. A third walk, down the tree with no
// path search, is printed as a stricter reference.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <ctime>
#include <span>
#include <string>
#include <string_view>

#include "bench/bench_support.h"
#include "regf/hive.h"
#include "win32/advapi32/registry.h"
#include "win32/advapi32/security.h"
#include "win32/kernel32/wstring.h"

namespace {

constexpr DWORD kNameChars = 500;
constexpr DWORD kDataBytes = 500;
constexpr size_t kPathChars = 504;
// The SYSTEM hive as the registry functions see it: drive E is the run folder.
constexpr const char16_t* kMountedFile = u"E:\\SYSTEM";

struct Counts {
  uint64_t keys = 0;
  uint64_t values = 0;
  uint64_t string_bytes = 0;
};

// The SYSTEM hive, mounted as QRT-SYSTEM from drive E of the run's own prefix; unmounted
// at exit.
struct Setup {
  std::string hive_path;
  bool ready = false;
  std::string error;

  Setup() {
    hive_path = hivemend::bench::test_hive("SYSTEM");
    if (hive_path.empty()) {
      error = "cannot unpack the SYSTEM hive";
      return;
    }
    if (!hivemend::bench::use_prefix({{'e', hivemend::bench::run_dir()}})) {
      error = "cannot define drive E";
      return;
    }
    hivemend::bench::enable_mount_privileges();
    if (RegLoadKeyW(HKEY_LOCAL_MACHINE, u"QRT-SYSTEM", kMountedFile) != ERROR_SUCCESS) {
      error = "cannot mount SYSTEM (privileges are held by root only)";
      return;
    }
    ready = true;
  }
  ~Setup() {
    if (ready) RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"QRT-SYSTEM");
  }
};

Setup& setup() {
  static Setup s;
  return s;
}

void registry_walk(const char16_t* path, Counts& counts) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ | KEY_WRITE, &key) != ERROR_SUCCESS) return;
  ++counts.keys;
  char16_t name[kNameChars];
  BYTE data[kDataBytes];
  DWORD type = 0;
  for (DWORD index = 0;;) {
    DWORD name_chars = kNameChars, data_bytes = kDataBytes;
    const LSTATUS result = RegEnumValueW(key, index, name, &name_chars, nullptr, &type, data, &data_bytes);
    ++index;
    if (result == ERROR_NO_MORE_ITEMS) break;
    ++counts.values;
    if (result == ERROR_SUCCESS && type == REG_SZ) counts.string_bytes += data_bytes;
  }
  for (DWORD index = 0;;) {
    DWORD name_chars = kNameChars;
    if (RegEnumKeyExW(key, index, name, &name_chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    ++index;
    char16_t child[kPathChars];
    swprintf(child, kPathChars, u"%s\\%s", path, name);
    registry_walk(child, counts);
  }
  RegCloseKey(key);
}

// Enumerates the values and subkeys of `key` the way the registry walk does, into the
// same fixed buffers, through the engine's buffer-filling reads; `visit` goes on with
// each subkey's path.
template <typename Visit>
void enumerate(const regf::Hive& hive, regf::KeyRef key, const char16_t* path, Counts& counts, Visit visit) {
  ++counts.keys;
  char16_t name[kNameChars];
  BYTE data[kDataBytes];
  const uint32_t values = hive.value_count(key).value();
  for (uint32_t i = 0; i < values; ++i) {
    const auto info =
        hive.read_value(hive.value(key, i).value(), std::span(name, kNameChars - 1), std::span(data, kDataBytes))
            .value();
    ++counts.values;
    if (info.name_length < kNameChars && info.size <= kDataBytes && info.type == REG_SZ)
      counts.string_bytes += info.size;
  }
  const uint32_t subkeys = hive.subkey_count(key).value();
  for (uint32_t i = 0; i < subkeys; ++i) {
    const regf::KeyRef sub = hive.subkey(key, i).value();
    const uint32_t length = hive.read_key_name(sub, std::span(name, kNameChars - 1)).value();
    name[length] = 0;
    char16_t child[kPathChars];
    swprintf(child, kPathChars, u"%s\\%s", path, name);
    visit(sub, child);
  }
}

// The same walk through the engine: every key found again from the hive's root by its
// full path, one subkey search per name, as the registry functions are asked to.
void direct_path_walk(const regf::Hive& hive, const char16_t* path, Counts& counts) {
  regf::KeyRef key = hive.root();
  std::u16string_view rest(path);
  rest.remove_prefix(std::min(rest.size(), rest.find(u'\\')));  // the mount name
  while (!rest.empty()) {
    rest.remove_prefix(1);
    const size_t end = std::min(rest.size(), rest.find(u'\\'));
    const auto found = hive.find_subkey(key, rest.substr(0, end)).value();
    if (!found) return;
    key = *found;
    rest.remove_prefix(end);
  }
  enumerate(hive, key, path, counts,
            [&](regf::KeyRef, const char16_t* child) { direct_path_walk(hive, child, counts); });
}

// A stricter baseline: the walk down the tree, each key reached from its parent with no
// search at all, which no caller of the registry functions can do.
void direct_tree_walk(const regf::Hive& hive, regf::KeyRef key, const char16_t* path, Counts& counts) {
  enumerate(hive, key, path, counts,
            [&](regf::KeyRef sub, const char16_t* child) { direct_tree_walk(hive, sub, child, counts); });
}

// CPU time of the calling thread: the machine is shared, and wall time would measure
// the other programs as much as this one.
double thread_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

double registry_seconds = 0;
double path_seconds = 0;
double tree_seconds = 0;
Counts registry_counts, path_counts, tree_counts;

// Each iteration walks a freshly mounted hive, as the repair walks each hive once;
// mounting is not timed.
void BM_RegistryFunctionsWalk(benchmark::State& state) {
  if (!setup().ready) return state.SkipWithError(setup().error.c_str());
  double seconds = 0;
  for (auto _ : state) {
    state.PauseTiming();
    RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"QRT-SYSTEM");
    if (RegLoadKeyW(HKEY_LOCAL_MACHINE, u"QRT-SYSTEM", kMountedFile) != ERROR_SUCCESS)
      return state.SkipWithError("cannot mount SYSTEM again");
    state.ResumeTiming();
    const double start = thread_seconds();
    Counts counts;
    registry_walk(u"QRT-SYSTEM", counts);
    seconds += thread_seconds() - start;
    registry_counts = counts;
    benchmark::DoNotOptimize(counts);
  }
  registry_seconds = seconds / double(state.iterations());
  state.counters["keys"] = double(registry_counts.keys);
  state.counters["values"] = double(registry_counts.values);
}
BENCHMARK(BM_RegistryFunctionsWalk)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// Each iteration walks a freshly opened hive; opening is not timed.
template <bool kByPath>
void BM_DirectHiveWalk(benchmark::State& state) {
  if (!setup().ready) return state.SkipWithError(setup().error.c_str());
  double seconds = 0;
  Counts last;
  for (auto _ : state) {
    state.PauseTiming();
    auto hive = regf::Hive::open_file(setup().hive_path);
    if (!hive) return state.SkipWithError("cannot open SYSTEM");
    state.ResumeTiming();
    const double start = thread_seconds();
    Counts counts;
    if (kByPath)
      direct_path_walk(*hive, u"QRT-SYSTEM", counts);
    else
      direct_tree_walk(*hive, hive->root(), u"QRT-SYSTEM", counts);
    seconds += thread_seconds() - start;
    last = counts;
    benchmark::DoNotOptimize(counts);
    state.PauseTiming();
    hive = regf::Error{};
    state.ResumeTiming();
  }
  (kByPath ? path_seconds : tree_seconds) = seconds / double(state.iterations());
  (kByPath ? path_counts : tree_counts) = last;
  state.counters["keys"] = double(last.keys);
  state.counters["values"] = double(last.values);
}
BENCHMARK(BM_DirectHiveWalk<true>)->Name("BM_DirectHiveWalkByPath")->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_DirectHiveWalk<false>)->Name("BM_DirectHiveWalkDownTree")->Unit(benchmark::kMillisecond)->MinTime(2.0);

bool same(const Counts& a, const Counts& b) {
  return a.keys == b.keys && a.values == b.values && a.string_bytes == b.string_bytes;
}

}  // namespace

int main(int argc, char** argv) {
  if (!hivemend::bench::run_benchmarks(argc, argv)) return 1;
  if (registry_seconds > 0 && path_seconds > 0 && tree_seconds > 0) {
    const double ratio = registry_seconds / path_seconds;
    std::printf(
        "registry functions walk / direct hive walk by path: %.3f (%.1f ms vs %.1f ms; target at most 1.5): %s%s\n",
        ratio, registry_seconds * 1000, path_seconds * 1000, ratio <= 1.5 ? "met" : "NOT MET",
        same(registry_counts, path_counts) ? "" : " (the walks saw different keys or values)");
    std::printf("registry functions walk / direct walk down the tree (no path search): %.3f (%.1f ms)%s\n",
                registry_seconds / tree_seconds, tree_seconds * 1000,
                same(registry_counts, tree_counts) ? "" : " (the walks saw different keys or values)");
  }
  return 0;
}
