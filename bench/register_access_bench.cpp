// Host cost of one simulated 32-bit register access through the page table and a device model.
#include <benchmark/benchmark.h>

#include "bench/bench_support.h"
#include "flash/kernel_mode.h"
#include "sim/module/machine.h"

namespace {

// A plain register file, so that the figure is the seam's cost and not a device's.
class ScratchRegisters : public sim::BusDevice {
 public:
  const char* DeviceName() const override { return "scratch"; }
  std::uint32_t Read32(std::uint32_t offset) override { return words_[(offset >> 2) & 1023]; }
  void Write32(std::uint32_t offset, std::uint32_t value) override {
    words_[(offset >> 2) & 1023] = value;
  }

 private:
  std::uint32_t words_[1024] = {};
};

void BM_RegisterAccess(benchmark::State& state) {
  bench_support::BenchModule module("pxa320");
  ScratchRegisters scratch;
  sim::CurrentMachine().Bus().Attach(0x48000000, 0x2000, &scratch);
  IoPointer window = MapRegisters(0x48000000);
  if (!window) {
    state.SkipWithError("mapping failed");
    return;
  }
  std::uint32_t value = 0;
  for (auto _ : state) {
    window.Write32(0x10, value);
    value += window.Read32(0x10);
    benchmark::DoNotOptimize(value);
  }
  state.SetItemsProcessed(state.iterations() * 2);
  state.counters["ns_per_access"] =
      benchmark::Counter(static_cast<double>(state.iterations() * 2),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  UnmapRegisters(window);
}
BENCHMARK(BM_RegisterAccess);

}  // namespace

BENCHMARK_MAIN();
