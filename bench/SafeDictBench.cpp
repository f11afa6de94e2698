// The capture table (KivoCameraSafeDict): a count, a store and removal, and
// both from two threads at once on one table.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>

#include "KivoCameraSafeDict.h"

namespace {

using Table = KivoCameraSafeDict<std::int64_t, std::shared_ptr<int>>;

void BM_SafeDict_Count(benchmark::State& state) {
  auto table = Table::create();
  (*table)[1] = std::make_shared<int>(1);
  for (auto _ : state) benchmark::DoNotOptimize(table->count());
}
BENCHMARK(BM_SafeDict_Count)->Name("BM_SafeDict/count");

void BM_SafeDict_InsertRemove(benchmark::State& state) {
  auto table = Table::create();
  const auto value = std::make_shared<int>(1);
  std::int64_t key = 0;
  for (auto _ : state) {
    (*table)[++key] = value;
    table->removeValue(key);
  }
  if (table->count() != 0) state.SkipWithError("entries left behind");
}
BENCHMARK(BM_SafeDict_InsertRemove)->Name("BM_SafeDict/insert_remove");

// Two threads share one table, as the session queue and the motion queue do:
// each stores, counts and removes its own keys.
void BM_SafeDict_Contended(benchmark::State& state) {
  static std::shared_ptr<Table> shared;
  if (state.thread_index() == 0) shared = Table::create();
  // Google Benchmark starts the loops of all threads together, after this.
  const auto value = std::make_shared<int>(state.thread_index());
  std::int64_t key = state.thread_index();
  for (auto _ : state) {
    auto& table = *shared;
    table[key] = value;
    benchmark::DoNotOptimize(table.count());
    table.removeValue(key);
    key += 2;  // the threads never share a key
  }
}
BENCHMARK(BM_SafeDict_Contended)->Name("BM_SafeDict/contended")->Threads(2);

}  // namespace
