// Host throughput of the storage manager's sector requests on a whole flash disk store, and the
// virtual device time they take: the in-use question asked once per sector (as a sector backup
// walks the store), reads and writes in loads of the library's 2 MiB work buffer.
//
// Stores: the 23.5 MiB flash disk of the 64 MiB NOR module (512-byte sectors) and the 105 MiB
// flash disk of the 128 MiB NAND module (2048-byte sectors).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "platform/kernel.h"
#include "platform/storage.h"
#include "sim/module/machine.h"
#include "storage/store_binding.h"

namespace {

constexpr DWORD kLoad = 0x200000;  // the library's work buffer

struct StoreBench {
  explicit StoreBench(const std::string& preset) : module(preset) {
    store = OpenStore(u"DSK1:");
    info.cbSize = sizeof(info);
    ready = store != INVALID_HANDLE_VALUE && GetStoreInfo(store, &info);
    buffer.resize(kLoad);
  }
  bench_support::BenchModule module;
  HANDLE store = INVALID_HANDLE_VALUE;
  STOREINFO info{};
  std::vector<BYTE> buffer;
  bool ready = false;
  [[nodiscard]] std::uint64_t Bytes() const { return info.snNumSectors * info.dwBytesPerSector; }
};

std::unique_ptr<StoreBench>& Current() {
  static std::unique_ptr<StoreBench> bench;
  return bench;
}

StoreBench& Bench(int which) {
  std::unique_ptr<StoreBench>& bench = Current();
  static int current = -1;
  if (current != which) {
    bench.reset();
    bench = std::make_unique<StoreBench>(which == 0 ? "pxa270-64m" : "pxa320");
    current = which;
  }
  return *bench;
}

std::uint64_t Now() { return sim::CurrentMachine().Clock().Now(); }

bool Transfer(StoreBench& bench, DWORD code, DWORD first, DWORD count) {
  SG_REQ request{};
  request.sr_start = first;
  request.sr_num_sec = count;
  request.sr_num_sg = 1;
  request.sr_sglist[0].sb_buf = bench.buffer.data();
  request.sr_sglist[0].sb_len = count * bench.info.dwBytesPerSector;
  return DeviceIoControl(bench.store, code, &request, sizeof(request), nullptr, 0, nullptr,
                         nullptr) != FALSE;
}

void Report(benchmark::State& state, const StoreBench& bench, std::uint64_t virtualNs) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bench.Bytes()));
  state.counters["store_MiB"] = static_cast<double>(bench.Bytes()) / (1 << 20);
  state.counters["virtual_s"] =
      benchmark::Counter(static_cast<double>(virtualNs) / 1e9, benchmark::Counter::kAvgIterations);
}

void BM_InUseOneSectorPerRequest(benchmark::State& state) {
  StoreBench& bench = Bench(static_cast<int>(state.range(0)));
  if (!bench.ready) {
    state.SkipWithError("no store");
    return;
  }
  std::uint64_t virtualNs = 0;
  for (auto _ : state) {
    const std::uint64_t start = Now();
    DWORD inUse = 0;
    for (DWORD sector = 0; sector < bench.info.snNumSectors; ++sector) {
      DWORD address = 0;
      DWORD returned = 0;
      if (DeviceIoControl(bench.store, IOCTL_DISK_GET_SECTOR_ADDR, &sector, 4, &address, 4,
                          &returned, nullptr) &&
          address != 0xFFFFFFFFu) {
        ++inUse;
      }
    }
    benchmark::DoNotOptimize(inUse);
    virtualNs += Now() - start;
  }
  Report(state, bench, virtualNs);
}

void BM_Read2MiBLoads(benchmark::State& state) {
  StoreBench& bench = Bench(static_cast<int>(state.range(0)));
  if (!bench.ready) {
    state.SkipWithError("no store");
    return;
  }
  const DWORD perLoad = kLoad / bench.info.dwBytesPerSector;
  std::uint64_t virtualNs = 0;
  for (auto _ : state) {
    const std::uint64_t start = Now();
    for (DWORD sector = 0; sector < bench.info.snNumSectors; sector += perLoad) {
      const DWORD count =
          static_cast<DWORD>(std::min<std::uint64_t>(perLoad, bench.info.snNumSectors - sector));
      if (!Transfer(bench, IOCTL_DISK_READ, sector, count)) {
        state.SkipWithError("read failed");
        return;
      }
    }
    virtualNs += Now() - start;
  }
  Report(state, bench, virtualNs);
}

// Writes every sector of a formatted store once (erased flash: programs only).
void BM_WriteFormatted2MiBLoads(benchmark::State& state) {
  StoreBench& bench = Bench(static_cast<int>(state.range(0)));
  if (!bench.ready) {
    state.SkipWithError("no store");
    return;
  }
  const DWORD perLoad = kLoad / bench.info.dwBytesPerSector;
  for (std::size_t i = 0; i < bench.buffer.size(); ++i) {
    bench.buffer[i] = static_cast<BYTE>(i * 7 + 1);
  }
  std::uint64_t virtualNs = 0;
  for (auto _ : state) {
    state.PauseTiming();
    if (!DismountStore(bench.store) || !FormatStore(bench.store)) {
      state.SkipWithError("format failed");
      return;
    }
    state.ResumeTiming();
    const std::uint64_t start = Now();
    for (DWORD sector = 0; sector < bench.info.snNumSectors; sector += perLoad) {
      const DWORD count =
          static_cast<DWORD>(std::min<std::uint64_t>(perLoad, bench.info.snNumSectors - sector));
      if (!Transfer(bench, IOCTL_DISK_WRITE, sector, count)) {
        state.SkipWithError("write failed");
        return;
      }
    }
    virtualNs += Now() - start;
  }
  Report(state, bench, virtualNs);
}

// Argument 0: the NOR module's store; 1: the NAND module's.
BENCHMARK(BM_InUseOneSectorPerRequest)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Read2MiBLoads)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteFormatted2MiBLoads)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  // The module detaches while the models' own state still exists.
  Current().reset();
  return 0;
}
