// Walking the real SYSTEM hive completely (open, every key, every value name and data)
// through the engine's handles, against hivexml doing the same in the same run. The
// engine should need at most a quarter of hivexml's time; the ratio is printed at the end.
// Then `hivetool export` of the same hive against hivexml, each in a process of its own,
// in turns: at most half of hivexml's time, and at most the hive's size plus 50 MB of
// memory.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "bench/bench_support.h"
#include "regf/hive.h"

extern char** environ;

namespace {

const std::string& system_hive() { return hivemend::bench::test_hive("SYSTEM"); }

double engine_seconds = 0, hivexml_seconds = 0;

struct Totals {
  size_t keys = 0, values = 0, bytes = 0;
};

void walk(const regf::Hive& hive, regf::KeyRef key, Totals& t) {
  ++t.keys;
  benchmark::DoNotOptimize(hive.key_name(key));
  uint32_t values = *hive.value_count(key);
  for (uint32_t i = 0; i < values; ++i) {
    auto v = *hive.value(key, i);
    auto name = hive.value_name(v);
    auto data = hive.value_data(v);
    benchmark::DoNotOptimize(name);
    t.bytes += data->size();
    ++t.values;
  }
  uint32_t subkeys = *hive.subkey_count(key);
  for (uint32_t i = 0; i < subkeys; ++i) walk(hive, *hive.subkey(key, i), t);
}

void BM_EngineWalk(benchmark::State& state) {
  if (system_hive().empty()) return state.SkipWithError("cannot decompress SYSTEM");
  Totals t;
  auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    auto hive = regf::Hive::open_file(system_hive());
    if (!hive) return state.SkipWithError(hive.error().to_string().c_str());
    t = Totals{};
    walk(*hive, hive->root(), t);
  }
  engine_seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / double(state.iterations());
  state.counters["keys"] = double(t.keys);
  state.counters["values"] = double(t.values);
  state.counters["data_bytes"] = double(t.bytes);
}
BENCHMARK(BM_EngineWalk)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_Hivexml(benchmark::State& state) {
  if (system_hive().empty()) return state.SkipWithError("cannot decompress SYSTEM");
  auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    std::string file = system_hive();
    char* argv[] = {const_cast<char*>("hivexml"), file.data(), nullptr};
    pid_t pid;
    int rc = posix_spawnp(&pid, "hivexml", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return state.SkipWithError("cannot run hivexml");
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return state.SkipWithError("hivexml failed");
  }
  hivexml_seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / double(state.iterations());
}
BENCHMARK(BM_Hivexml)->Unit(benchmark::kMillisecond)->MinTime(2.0);

struct ExportFigures {
  double seconds = 0, cpu_seconds = 0, hivexml_seconds = 0, hivexml_cpu_seconds = 0, peak_mb = 0, hive_mb = 0;
} export_figures;

void BM_ExportAgainstHivexml(benchmark::State& state) {
  if (system_hive().empty()) return state.SkipWithError("cannot decompress SYSTEM");
  using hivemend::bench::Measure;
  using hivemend::bench::run_program;
  ExportFigures f;
  f.hive_mb = double(std::filesystem::file_size(system_hive())) / (1024.0 * 1024.0);
  for (auto _ : state) {
    const Measure exported = run_program({HIVEMEND_BIN_DIR "/hivetool", "export", system_hive()});
    const Measure hivexml = run_program({"hivexml", system_hive()});
    if (!exported.ok || !hivexml.ok)
      return state.SkipWithError(!exported.ok ? "hivetool export failed" : "hivexml failed");
    f.seconds += exported.seconds;
    f.cpu_seconds += exported.cpu_seconds;
    f.hivexml_seconds += hivexml.seconds;
    f.hivexml_cpu_seconds += hivexml.cpu_seconds;
    f.peak_mb = std::max(f.peak_mb, exported.peak_mb);
  }
  state.counters["time_ratio"] = f.seconds / f.hivexml_seconds;
  state.counters["cpu_ratio"] = f.cpu_seconds / f.hivexml_cpu_seconds;
  state.counters["peak_MB"] = f.peak_mb;
  export_figures = f;
}
BENCHMARK(BM_ExportAgainstHivexml)->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace

int main(int argc, char** argv) {
  if (!hivemend::bench::run_benchmarks(argc, argv)) return 1;
  if (engine_seconds > 0 && hivexml_seconds > 0) {
    double ratio = engine_seconds / hivexml_seconds;
    std::printf("engine walk / hivexml: %.3f (%.1f ms vs %.1f ms; target at most 0.25): %s\n", ratio,
                engine_seconds * 1000, hivexml_seconds * 1000, ratio <= 0.25 ? "met" : "NOT MET");
  }
  if (const ExportFigures& f = export_figures; f.hivexml_seconds > 0) {
    const double ratio = f.seconds / f.hivexml_seconds, cpu_ratio = f.cpu_seconds / f.hivexml_cpu_seconds;
    std::printf("hivetool export / hivexml: %.3f (processor time %.3f; target at most 0.5): %s\n", ratio, cpu_ratio,
                ratio <= 0.5 ? "met" : "NOT MET");
    std::printf("hivetool export peak memory: %.1f MB for a %.1f MB hive (target at most %.1f MB): %s\n", f.peak_mb,
                f.hive_mb, f.hive_mb + 50, f.peak_mb <= f.hive_mb + 50 ? "met" : "NOT MET");
  }
  return 0;
}
