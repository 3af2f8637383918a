// Replacing 10,000 values of the real SYSTEM hive and producing its image, then
// committing it over a copy of the file: time per run and how much the file grew. Two
// cases: new data of the old size (it stays in its cells: no growth expected) and new
// data half again as large (cells freed and reused, new hive bins only when needed).
// The baseline in the same run is committing the unchanged hive (what any rewrite costs).
#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "regf/hive.h"

namespace {

// The SYSTEM test hive, and the copy each run edits and commits.
const std::string& system_hive() { return hivemend::bench::test_hive("SYSTEM"); }
std::string scratch() { return hivemend::bench::run_dir() + "/SYSTEM.edited"; }

constexpr size_t kEdits = 10000;

// The first 10,000 values holding more than 4 bytes (not big data), in walk order.
std::vector<std::pair<regf::KeyRef, regf::ValueRef>> pick_values(const regf::Hive& hive) {
  std::vector<std::pair<regf::KeyRef, regf::ValueRef>> out;
  std::function<void(regf::KeyRef)> visit = [&](regf::KeyRef k) {
    for (uint32_t i = 0; i < *hive.value_count(k) && out.size() < kEdits; ++i) {
      auto v = *hive.value(k, i);
      uint32_t size = *hive.value_size(v);
      if (size > 4 && size <= 16000) out.emplace_back(k, v);
    }
    for (uint32_t i = 0; i < *hive.subkey_count(k) && out.size() < kEdits; ++i) visit(*hive.subkey(k, i));
  };
  visit(hive.root());
  return out;
}

void edit_and_commit(benchmark::State& state, size_t percent_of_old_size) {
  if (system_hive().empty()) return state.SkipWithError("cannot decompress SYSTEM");
  size_t original_size = std::filesystem::file_size(system_hive());
  size_t written_size = 0, edited = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::filesystem::copy_file(system_hive(), scratch(), std::filesystem::copy_options::overwrite_existing);
    auto hive = regf::Hive::open_file(scratch());
    if (!hive) return state.SkipWithError(hive.error().to_string().c_str());
    (void)hive->damage();  // the check every first edit makes, outside the edit timing
    auto picked = pick_values(*hive);
    std::vector<std::pair<std::u16string, std::vector<uint8_t>>> changes;
    for (auto [k, v] : picked)
      changes.emplace_back(*hive->value_name(v),
                           std::vector<uint8_t>(*hive->value_size(v) * percent_of_old_size / 100, 0x41));
    state.ResumeTiming();

    for (size_t i = 0; i < picked.size(); ++i) {
      auto st = hive->set_value(picked[i].first, changes[i].first, 3, changes[i].second);
      if (!st) return state.SkipWithError(st.error().to_string().c_str());
    }
    auto st = hive->commit(scratch());
    if (!st) return state.SkipWithError(st.error().to_string().c_str());
    edited = picked.size();
    written_size = std::filesystem::file_size(scratch());
  }
  state.counters["values_replaced"] = double(edited);
  state.counters["file_growth_bytes"] = double(written_size) - double(original_size);
  state.counters["file_growth_pct"] = 100.0 * (double(written_size) - double(original_size)) / double(original_size);
}

void BM_ReplaceSameSizeAndCommit(benchmark::State& state) { edit_and_commit(state, 100); }
BENCHMARK(BM_ReplaceSameSizeAndCommit)->Unit(benchmark::kMillisecond)->MinTime(1.0);

void BM_ReplaceLargerAndCommit(benchmark::State& state) { edit_and_commit(state, 150); }
BENCHMARK(BM_ReplaceLargerAndCommit)->Unit(benchmark::kMillisecond)->MinTime(1.0);

// Baseline: writing the unchanged image once through the same commit.
void BM_CommitUnchanged(benchmark::State& state) {
  if (system_hive().empty()) return state.SkipWithError("cannot decompress SYSTEM");
  std::filesystem::copy_file(system_hive(), scratch(), std::filesystem::copy_options::overwrite_existing);
  auto hive = regf::Hive::open_file(scratch());
  if (!hive) return state.SkipWithError(hive.error().to_string().c_str());
  (void)hive->damage();
  for (auto _ : state) {
    auto st = hive->commit(scratch());
    if (!st) return state.SkipWithError(st.error().to_string().c_str());
  }
}
BENCHMARK(BM_CommitUnchanged)->Unit(benchmark::kMillisecond)->MinTime(1.0);

}  // namespace

BENCHMARK_MAIN();
