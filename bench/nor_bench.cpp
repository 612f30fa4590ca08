// NOR flash through the operations table over a whole 32 MiB module: host throughput of Read,
// Write and Erase, and the virtual device time next to the chips' own busy time.
//
// Counters per iteration: virtual_s is the module time the operation took, busy_s the sum of
// the typical times the chips' CFI tables give for the erases and programs it started, and
// virtual_over_busy their ratio (bus accesses and polling make up the difference).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <vector>

#include "bench/bench_support.h"
#include "flash/flash_ops.h"
#include "flash/kernel_mode.h"
#include "platform/kernel.h"
#include "sim/hw/nor_flash.h"
#include "sim/module/machine.h"

namespace {

constexpr DWORD kFlashBytes = 0x2000000;

// Attaches a 32 MiB module, starts the driver and takes the lock; every block ends up unlocked
// (an erase of the whole flash unlocks the boot blocks as it goes).
class NorBench {
 public:
  NorBench() : module_("pxa270-32m") {
    FlashResetForTesting();
    ResetKernelModeStateForTesting();
    ok_ = FlashInit() == kFlashKindNor && FlashSize == kFlashBytes && FlashLock(INFINITE) == 1 &&
          FlashOps.Erase(0, FlashSize) == 1;
    pattern_.resize(kFlashBytes);
    for (std::size_t i = 0; i < pattern_.size(); ++i) {
      pattern_[i] = static_cast<BYTE>((i * 2654435761u) >> 13);
    }
  }
  ~NorBench() {
    if (ok_) {
      (void)FlashUnlock();
    }
  }
  NorBench(const NorBench&) = delete;
  NorBench& operator=(const NorBench&) = delete;
  [[nodiscard]] bool Ok() const { return ok_; }
  const std::vector<BYTE>& Pattern() const { return pattern_; }
  void FillWithPattern() { (void)sim::NorBackdoorWrite(0, pattern_.data(), pattern_.size()); }
  void EraseDirectly() { (void)sim::NorBackdoorErase(0, kFlashBytes); }

  // Virtual and busy time of what runs between Begin and End.
  void Begin() {
    virtualStart_ = sim::CurrentMachine().Clock().Now();
    busyStart_ = sim::NorStats().busyNanoseconds;
  }
  void End() {
    virtual_ += sim::CurrentMachine().Clock().Now() - virtualStart_;
    busy_ += sim::NorStats().busyNanoseconds - busyStart_;
  }
  void Report(benchmark::State& state) const {
    const double iterations = static_cast<double>(state.iterations());
    state.counters["virtual_s"] = static_cast<double>(virtual_) / 1e9 / iterations;
    state.counters["busy_s"] = static_cast<double>(busy_) / 1e9 / iterations;
    state.counters["virtual_over_busy"] =
        busy_ == 0 ? 0.0 : static_cast<double>(virtual_) / static_cast<double>(busy_);
    state.SetBytesProcessed(state.iterations() * kFlashBytes);
  }

 private:
  bench_support::BenchModule module_;
  bool ok_ = false;
  std::vector<BYTE> pattern_;
  std::uint64_t virtualStart_ = 0;
  std::uint64_t busyStart_ = 0;
  std::uint64_t virtual_ = 0;
  std::uint64_t busy_ = 0;
};

void BM_NorRead(benchmark::State& state) {
  NorBench bench;
  if (!bench.Ok()) {
    state.SkipWithError("NOR start-up failed");
    return;
  }
  bench.FillWithPattern();
  std::vector<BYTE> buffer(kFlashBytes);
  // One pass first, so that the image's pages are resident as on a warmed-up host.
  (void)FlashOps.Read(buffer.data(), 0, kFlashBytes);
  for (auto _ : state) {
    bench.Begin();
    if (FlashOps.Read(buffer.data(), 0, kFlashBytes) != 1) {
      state.SkipWithError("Read failed");
      return;
    }
    bench.End();
    benchmark::DoNotOptimize(buffer.data());
  }
  if (buffer != bench.Pattern()) {
    state.SkipWithError("Read returned other data");
  }
  bench.Report(state);
}
BENCHMARK(BM_NorRead)->Unit(benchmark::kMillisecond);

void BM_NorWrite(benchmark::State& state) {
  NorBench bench;
  if (!bench.Ok()) {
    state.SkipWithError("NOR start-up failed");
    return;
  }
  for (auto _ : state) {
    state.PauseTiming();
    bench.EraseDirectly();
    state.ResumeTiming();
    bench.Begin();
    if (FlashOps.Write(bench.Pattern().data(), 0, kFlashBytes) != 1) {
      state.SkipWithError("Write failed");
      return;
    }
    bench.End();
  }
  std::vector<BYTE> check(kFlashBytes);
  if (!sim::NorBackdoorRead(0, check.data(), check.size()) || check != bench.Pattern()) {
    state.SkipWithError("the flash holds other data");
  }
  bench.Report(state);
}
BENCHMARK(BM_NorWrite)->Unit(benchmark::kMillisecond);

void BM_NorErase(benchmark::State& state) {
  NorBench bench;
  if (!bench.Ok()) {
    state.SkipWithError("NOR start-up failed");
    return;
  }
  for (auto _ : state) {
    state.PauseTiming();
    bench.FillWithPattern();
    state.ResumeTiming();
    bench.Begin();
    if (FlashOps.Erase(0, kFlashBytes) != 1) {
      state.SkipWithError("Erase failed");
      return;
    }
    bench.End();
  }
  bench.Report(state);
}
BENCHMARK(BM_NorErase)->Unit(benchmark::kMillisecond);

// Erase and program the whole flash as an update does: the device time of both together.
void BM_NorEraseAndWrite(benchmark::State& state) {
  NorBench bench;
  if (!bench.Ok()) {
    state.SkipWithError("NOR start-up failed");
    return;
  }
  for (auto _ : state) {
    state.PauseTiming();
    bench.FillWithPattern();
    state.ResumeTiming();
    bench.Begin();
    if (FlashOps.Erase(0, kFlashBytes) != 1 ||
        FlashOps.Write(bench.Pattern().data(), 0, kFlashBytes) != 1) {
      state.SkipWithError("Erase or Write failed");
      return;
    }
    bench.End();
  }
  bench.Report(state);
}
BENCHMARK(BM_NorEraseAndWrite)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
