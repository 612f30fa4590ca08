// Host throughput of the NAND flash operations over a whole 128 MiB chip, and the virtual
// device time they take next to the chip's own busy time.
//
// The chip's busy time is what the datasheet and the programmed interface timings give:
// erases: blocks x tBERS; writes: pages x (tPROG + 2112 bytes x write strobe); reads: pages x
// (tR + 2112 bytes x read strobe), with the strobes tWP + tWH and tRP + tRH of NDTR0CS0 at the
// controller clock. The virtual device time is what the module's clock advanced by; the
// difference is the processor's register accesses and the command and address cycles.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "bench/bench_support.h"
#include "flash/flash_ops.h"
#include "flash/nand_controller.h"
#include "flash/nand_driver.h"
#include "sim/hw/nand_flash.h"
#include "sim/module/machine.h"

namespace {

constexpr DWORD kChunk = 0x200000;  // the library's work buffer

struct NandBench {
  bench_support::BenchModule module{"pxa320", 0xF1EC};
  std::vector<BYTE> data;
  bool ready = false;
  NandBench() {
    ready = NandInit() == 1;
    data.resize(kChunk);
    std::uint32_t state = 1;
    for (BYTE& byte : data) {
      state = state * 1103515245u + 12345;
      byte = static_cast<BYTE>(state >> 16);
    }
  }
};

// Made on first use and detached before the process ends (not by an exit-time destructor, when
// the module's OS services have already lost their per-thread state).
std::unique_ptr<NandBench>& BenchInstance() {
  static std::unique_ptr<NandBench> bench;
  return bench;
}

NandBench& Bench() {
  if (!BenchInstance()) {
    BenchInstance() = std::make_unique<NandBench>();
  }
  return *BenchInstance();
}

std::uint64_t Now() { return sim::CurrentMachine().Clock().Now(); }

// Nanoseconds per byte over the chip interface for a strobe of high + low field cycles.
double StrobeNs(DWORD lowField, DWORD highField) {
  return (lowField + 1 + highField + 1) * 1000.0 / nandClockMhz;
}

double PagesOf(DWORD bytes) { return static_cast<double>(bytes) / 2048.0; }

bool EraseAll() { return kNandOperations.Erase(0, FlashSize) == 1; }

bool WriteAll() {
  NandBench& bench = Bench();
  for (DWORD offset = 0; offset < FlashSize; offset += kChunk) {
    if (kNandOperations.Write(bench.data.data(), offset, std::min(kChunk, FlashSize - offset)) !=
        1) {
      return false;
    }
  }
  return true;
}

bool ReadAll(std::vector<BYTE>* buffer) {
  for (DWORD offset = 0; offset < FlashSize; offset += kChunk) {
    if (kNandOperations.Read(buffer->data(), offset, std::min(kChunk, FlashSize - offset)) != 1) {
      return false;
    }
  }
  return true;
}

void Report(benchmark::State& state, std::uint64_t virtualNs, double chipNs) {
  const double iterations = static_cast<double>(state.iterations());
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * FlashSize);
  state.counters["device_ms"] = virtualNs / iterations / 1e6;
  state.counters["chip_busy_ms"] = chipNs / 1e6;
  state.counters["device_vs_chip"] = virtualNs / iterations / chipNs;
}

void BM_NandErase(benchmark::State& state) {
  if (!Bench().ready) {
    state.SkipWithError("NAND driver did not start");
    return;
  }
  std::uint64_t virtualNs = 0;
  for (auto _ : state) {
    const std::uint64_t start = Now();
    if (!EraseAll()) {
      state.SkipWithError("erase failed");
      return;
    }
    virtualNs += Now() - start;
  }
  const double blocks = static_cast<double>(FlashSize) / nandBlockSize;
  Report(state, virtualNs,
         blocks * static_cast<double>(sim::NandFlash::Current()->Chip().eraseBusy));
}
BENCHMARK(BM_NandErase)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

void BM_NandWrite(benchmark::State& state) {
  if (!Bench().ready) {
    state.SkipWithError("NAND driver did not start");
    return;
  }
  std::uint64_t virtualNs = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const bool erased = EraseAll();
    state.ResumeTiming();
    const std::uint64_t start = Now();
    if (!erased || !WriteAll()) {
      state.SkipWithError("write failed");
      return;
    }
    virtualNs += Now() - start;
  }
  const sim::NandFlash& model = *sim::NandFlash::Current();
  const DWORD ndtr0 = model.Ndtr0();
  const double strobe = StrobeNs((ndtr0 >> 8) & 7, (ndtr0 >> 11) & 7);
  Report(state, virtualNs,
         PagesOf(FlashSize) * (static_cast<double>(model.Chip().programBusy) + 2112 * strobe));
}
BENCHMARK(BM_NandWrite)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

void BM_NandRead(benchmark::State& state) {
  if (!Bench().ready) {
    state.SkipWithError("NAND driver did not start");
    return;
  }
  // Every page written, so that reads with error correction find valid codes.
  if (!EraseAll() || !WriteAll()) {
    state.SkipWithError("preparing the chip failed");
    return;
  }
  std::vector<BYTE> buffer(kChunk);
  std::uint64_t virtualNs = 0;
  for (auto _ : state) {
    const std::uint64_t start = Now();
    if (!ReadAll(&buffer)) {
      state.SkipWithError("read failed");
      return;
    }
    virtualNs += Now() - start;
  }
  const sim::NandFlash& model = *sim::NandFlash::Current();
  const DWORD ndtr0 = model.Ndtr0();
  const double strobe = StrobeNs(ndtr0 & 7, (ndtr0 >> 3) & 7);
  // The controller waits the longer of the chip's tR and the tR of NDTR1CS0.
  const double readBusy = std::max(static_cast<double>(model.Chip().readBusy),
                                   ((model.Ndtr1() >> 16) + 1) * 1000.0 / nandClockMhz);
  Report(state, virtualNs, PagesOf(FlashSize) * (readBusy + 2112 * strobe));
}
BENCHMARK(BM_NandRead)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  BenchInstance().reset();
  return 0;
}
