// Walking the real SYSTEM hive completely (open, every key, every value name and data)
// through the engine's handles, against hivexml doing the same in the same run. The
// engine should need at most a quarter of hivexml's time; the ratio is printed at the end.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
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
  engine_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() /
                   double(state.iterations());
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
  hivexml_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() /
                    double(state.iterations());
}
BENCHMARK(BM_Hivexml)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (engine_seconds > 0 && hivexml_seconds > 0) {
    double ratio = engine_seconds / hivexml_seconds;
    std::printf("engine walk / hivexml: %.3f (%.1f ms vs %.1f ms; target at most 0.25): %s\n", ratio,
                engine_seconds * 1000, hivexml_seconds * 1000, ratio <= 0.25 ? "met" : "NOT MET");
  }
  return 0;
}
