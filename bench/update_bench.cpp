// The library's long operations end to end on a virtual module: an OS image update of 32 MiB on
// the 64 MiB NOR module, one of 128 MiB on a 256 MiB NAND module, and a backup of all regions on
// both. Host time is what Google Benchmark measures; the counters give the module's own time.
//
// Counters per iteration: virtual_s is the module time the operation took (what the library
// reports through FWLGetOperationTime, here in nanoseconds from the clock), busy_s the chips'
// own busy time in it (NOR: the CFI typical times of the erases and programs and the bus time of
// the words read and written; NAND: array and transfer time of the chip), and virtual_over_busy
// their ratio. What lies above 1 is the program's own time on the module: its waits and its
// polls past the moment a chip became ready.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "cpld/cpld_access.h"
#include "cpld/gpio_pins.h"
#include "flash/flash_ops.h"
#include "flash/kernel_mode.h"
#include "flash/nand_driver.h"
#include "library/library_internal.h"
#include "sim/hw/nand_flash.h"
#include "sim/hw/nor_flash.h"
#include "sim/module/machine.h"

namespace {

constexpr DWORD kOsStart = 0x80000;
constexpr DWORD kRecordBytes = 0x200000;  // records of 2 MiB, as a linker writes large images

void ResetProgram() {
  ResetLibraryStateForTesting();
  FlashResetForTesting();
  NandResetForTesting();
  ResetKernelModeStateForTesting();
  ResetGpioStateForTesting();
  ResetCpldStateForTesting();
}

// One module with the library started and an image file of imageBytes at the OS offset.
class UpdateBench {
 public:
  UpdateBench(const std::string& preset, unsigned nandChip, DWORD imageBytes)
      : module_(preset, nandChip), imageBytes_(imageBytes) {
    ResetProgram();
    ok_ = FWLInit() == FWL_OK && WriteImageFile();
  }
  ~UpdateBench() { ResetProgram(); }
  UpdateBench(const UpdateBench&) = delete;
  UpdateBench& operator=(const UpdateBench&) = delete;

  [[nodiscard]] bool Ok() const { return ok_; }
  [[nodiscard]] DWORD ImageBytes() const { return imageBytes_; }
  static constexpr const WCHAR* kImagePath = u"\\USB HD\\image.bin";
  static constexpr const WCHAR* kBackupPath = u"\\USB HD\\backup.bin";

  void Begin() {
    virtualStart_ = sim::CurrentMachine().Clock().Now();
    busyStart_ = Busy();
  }
  void End() {
    virtual_ += sim::CurrentMachine().Clock().Now() - virtualStart_;
    busy_ += Busy() - busyStart_;
    reported_ += FWLGetOperationTime();
  }
  void Report(benchmark::State& state, std::uint64_t bytes) const {
    const double iterations = static_cast<double>(state.iterations());
    state.counters["virtual_s"] = static_cast<double>(virtual_) / 1e9 / iterations;
    state.counters["reported_s"] = static_cast<double>(reported_) / 1e3 / iterations;
    state.counters["busy_s"] = static_cast<double>(busy_) / 1e9 / iterations;
    state.counters["virtual_over_busy"] =
        busy_ == 0 ? 0.0 : static_cast<double>(virtual_) / static_cast<double>(busy_);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(bytes));
  }

 private:
  static std::uint64_t Busy() {
    if (sim::NandFlash* nand = sim::NandFlash::Current(); nand != nullptr) {
      const sim::NandBusyTotals totals = nand->Totals();
      return totals.arrayNs + totals.transferNs;
    }
    const sim::NorStatistics stats = sim::NorStats();
    return stats.busyNanoseconds + stats.busNanoseconds;
  }
  bool WriteImageFile() {
    const std::filesystem::path folder = sim::CurrentMachine().FilesDirectory() / "USB HD";
    std::filesystem::create_directories(folder);
    std::FILE* file = std::fopen((folder / "image.bin").c_str(), "wb");
    if (file == nullptr) {
      return false;
    }
    auto word = [&](DWORD value) {
      const BYTE bytes[4] = {static_cast<BYTE>(value), static_cast<BYTE>(value >> 8),
                             static_cast<BYTE>(value >> 16), static_cast<BYTE>(value >> 24)};
      return std::fwrite(bytes, 1, 4, file) == 4;
    };
    bool ok = std::fwrite("B000FF\n", 1, 7, file) == 7 && word(kOsStart) && word(imageBytes_);
    std::vector<BYTE> data(kRecordBytes);
    std::uint32_t state = 1;
    for (DWORD at = 0; ok && at < imageBytes_; at += kRecordBytes) {
      DWORD sum = 0;
      for (BYTE& byte : data) {
        state = state * 1103515245u + 12345;
        byte = static_cast<BYTE>(state >> 16);
        sum += byte;
      }
      ok = word(kOsStart + at) && word(kRecordBytes) && word(sum) &&
           std::fwrite(data.data(), 1, data.size(), file) == data.size();
    }
    ok = ok && word(0) && word(0) && word(0);
    return std::fclose(file) == 0 && ok;
  }

  bench_support::BenchModule module_;
  DWORD imageBytes_;
  bool ok_ = false;
  std::uint64_t virtualStart_ = 0;
  std::uint64_t busyStart_ = 0;
  std::uint64_t virtual_ = 0;
  std::uint64_t busy_ = 0;
  std::uint64_t reported_ = 0;  // milliseconds
};

void RunUpdate(benchmark::State& state, const std::string& preset, unsigned chip, DWORD bytes) {
  UpdateBench bench(preset, chip, bytes);
  if (!bench.Ok()) {
    state.SkipWithError("module or image file could not be made");
    return;
  }
  for (auto _ : state) {
    state.PauseTiming();
    ImageInfo info{};
    const FwlStatus opened = FWLSetBinFile(UpdateBench::kImagePath, &info, nullptr, 0);
    state.ResumeTiming();
    bench.Begin();
    const FwlStatus status = opened == FWL_OK ? FWLDoUpdate(nullptr, nullptr, nullptr) : opened;
    bench.End();
    state.PauseTiming();
    (void)FWLCloseBinFile();
    state.ResumeTiming();
    if (status != FWL_OK) {
      state.SkipWithError(("update failed: " + std::string(FwlStatusName(status))).c_str());
      return;
    }
  }
  bench.Report(state, bench.ImageBytes());
}

void RunBackup(benchmark::State& state, const std::string& preset, unsigned chip) {
  UpdateBench bench(preset, chip, kRecordBytes);
  if (!bench.Ok()) {
    state.SkipWithError("module could not be made");
    return;
  }
  constexpr DWORD kAll = REGION_BOOTLOADER | REGION_CONFIG_BLOCK | REGION_OS_IMAGE |
                         REGION_REGISTRY | REGION_FILE_SYSTEM;
  std::uint64_t bytes = 0;
  for (auto _ : state) {
    bench.Begin();
    const FwlStatus status =
        FWLBackupToFile(UpdateBench::kBackupPath, kAll, nullptr, nullptr, nullptr);
    bench.End();
    if (status != FWL_OK) {
      state.SkipWithError(("backup failed: " + std::string(FwlStatusName(status))).c_str());
      return;
    }
    bytes = std::filesystem::file_size(sim::CurrentMachine().FilesDirectory() / "USB HD" /
                                       "backup.bin");
  }
  bench.Report(state, bytes);
}

void BM_UpdateNor32MiB(benchmark::State& state) { RunUpdate(state, "pxa270-64m", 0, 0x2000000); }
BENCHMARK(BM_UpdateNor32MiB)->Unit(benchmark::kSecond)->Iterations(1);

void BM_UpdateNand128MiB(benchmark::State& state) { RunUpdate(state, "pxa320", 0xDAEC, 0x8000000); }
BENCHMARK(BM_UpdateNand128MiB)->Unit(benchmark::kSecond)->Iterations(1);

void BM_BackupAllNor(benchmark::State& state) { RunBackup(state, "pxa270-64m", 0); }
BENCHMARK(BM_BackupAllNor)->Unit(benchmark::kSecond)->Iterations(1);

void BM_BackupAllNand(benchmark::State& state) { RunBackup(state, "pxa320", 0xDAEC); }
BENCHMARK(BM_BackupAllNand)->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
