// Host throughput of the CPLD's bit-banged JTAG port: the program's XSVF player plays the full
// erase, program and verify stream of the sample part on the CPLD model of a PXA320 module.
// Figures: TCK pulses per second of host time, and the module time one play takes.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <vector>

#include "bench/bench_support.h"
#include "cpld/cpld_access.h"
#include "cpld/gpio_pins.h"
#include "flash/kernel_mode.h"
#include "sim/base/files.h"
#include "sim/hw/cpld_model.h"
#include "sim/hw/gpio.h"
#include "sim/module/machine.h"

namespace {

// The sample stream that programs the part, kept in the tree with its licence.
std::vector<BYTE> ProgramStream() {
  std::vector<BYTE> stream;
  (void)sim::ReadWholeFile(
      std::filesystem::path(FLASHWICK_SOURCE_DIR) / "testdata" / "xsvf" / "xc2c64a_light_LED.xsvf",
      &stream);
  return stream;
}

void BM_PlayProgramStream(benchmark::State& state) {
  const std::vector<BYTE> stream = ProgramStream();
  if (stream.empty()) {
    state.SkipWithError("testdata/xsvf/xc2c64a_light_LED.xsvf is missing or empty");
    return;
  }
  bench_support::BenchModule module("pxa320");
  // Each run has a module of its own: the program's view starts afresh, as in a new process.
  ResetKernelModeStateForTesting();
  ResetGpioStateForTesting();
  ResetCpldStateForTesting();
  if (CpldOpen() != kCpldOk) {
    state.SkipWithError("the CPLD did not open");
    return;
  }
  sim::CpldModel& cpld = *sim::Machine::Get<sim::CpldModel>("cpld");
  sim::GpioModel& gpio = *sim::Machine::Get<sim::GpioModel>("gpio");
  const std::uint64_t firstPulse = cpld.TckPulses();
  const std::uint64_t firstTime = gpio.Now();
  std::int64_t plays = 0;
  // The machine may be shared: the figure per second of this thread's processor time does not
  // depend on what else runs, the item rate (per second of wall time) does.
  timespec cpuStart{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpuStart);
  for (auto _ : state) {
    XsvfResult result{};
    if (CpldProgram(stream.data(), static_cast<DWORD>(stream.size()), &result) != kCpldOk) {
      state.SkipWithError("the stream failed");
      return;
    }
    ++plays;
  }
  timespec cpuEnd{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpuEnd);
  const double cpuSeconds = static_cast<double>(cpuEnd.tv_sec - cpuStart.tv_sec) +
                            static_cast<double>(cpuEnd.tv_nsec - cpuStart.tv_nsec) / 1e9;
  const double pulses = static_cast<double>(cpld.TckPulses() - firstPulse);
  state.counters["tck_pulses_per_cpu_second"] = pulses / cpuSeconds;
  state.SetItemsProcessed(static_cast<std::int64_t>(pulses));
  state.counters["tck_pulses_per_second"] = benchmark::Counter(pulses, benchmark::Counter::kIsRate);
  state.counters["tck_pulses_per_play"] = pulses / static_cast<double>(plays);
  state.counters["module_ms_per_play"] =
      static_cast<double>(gpio.Now() - firstTime) / 1e6 / static_cast<double>(plays);
}
BENCHMARK(BM_PlayProgramStream)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
