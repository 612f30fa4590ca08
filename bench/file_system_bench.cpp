// Backup of the flash disk into a file system section and its restore, for both kinds of
// section: host throughput and the virtual device time the module would take.
//
// The module is the 128 MiB NAND module (105 MiB flash disk, 2048-byte sectors) with 64 MiB of
// files on its flash disk: 32 files of 2 MiB in four folders. A backup writes the section to
// the USB drive; a restore unloads every driver instance first (outside the timing), then
// configures, loads and formats as the update does and writes the section back. The virtual
// time of a restore includes the storage manager's unload delay and the driver's settling time
// (5.6 s of waiting).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "library/library_internal.h"
#include "platform/kernel.h"
#include "platform/storage.h"
#include "sim/module/machine.h"
#include "sim/storage/storage_manager.h"
#include "storage/fs_section.h"
#include "storage/store_binding.h"

namespace {

constexpr DWORD kFileBytes = 2 * 1024 * 1024;
constexpr int kFolders = 4;
constexpr int kFilesPerFolder = 8;
constexpr const WCHAR* kSectionPaths[] = {u"\\USB HD\\files.bin", u"\\USB HD\\sectors.bin"};

struct FileSystemBench {
  FileSystemBench() : module("pxa320") {
    std::filesystem::create_directories(module.Directory() / "files" / "USB HD");
    ResetLibraryStateForTesting();
    if (FWLInit() != FWL_OK || AllocWorkBuffer() != FWL_OK) {
      return;
    }
    std::vector<BYTE> content(kFileBytes);
    std::uint32_t seed = 0x1234567;
    for (BYTE& byte : content) {
      seed = seed * 1103515245u + 12345u;
      byte = static_cast<BYTE>(seed >> 23);
    }
    for (int folder = 0; folder < kFolders; ++folder) {
      const std::u16string path = u"\\Flash Disk\\Bench" + std::u16string(1, u'0' + folder);
      if (!CreateDirectoryW(path.c_str(), nullptr)) {
        return;
      }
      for (int file = 0; file < kFilesPerFolder; ++file) {
        const std::u16string name = path + u"\\data" + std::u16string(1, u'0' + file) + u".bin";
        HANDLE handle =
            CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD written = 0;
        content[0] = static_cast<BYTE>(folder * kFilesPerFolder + file);
        const bool ok = handle != INVALID_HANDLE_VALUE &&
                        WriteFile(handle, content.data(), kFileBytes, &written, nullptr) &&
                        written == kFileBytes;
        (void)CloseHandle(handle);
        if (!ok) {
          return;
        }
      }
    }
    ready = FWLScanRegions(REGION_FILE_SYSTEM) == FWL_OK;
  }
  ~FileSystemBench() { ResetLibraryStateForTesting(); }
  bench_support::BenchModule module;
  bool ready = false;
};

std::unique_ptr<FileSystemBench>& Current() {
  static std::unique_ptr<FileSystemBench> bench;
  return bench;
}

FileSystemBench& Bench() {
  if (!Current()) {
    Current() = std::make_unique<FileSystemBench>();
  }
  return *Current();
}

std::uint64_t Now() { return sim::CurrentMachine().Clock().Now(); }

DWORD KindOf(const benchmark::State& state) {
  return state.range(0) == 2 ? FS_SECTION_FILES : FS_SECTION_SECTORS;
}

const WCHAR* PathOf(DWORD kind) { return kSectionPaths[kind == FS_SECTION_FILES ? 0 : 1]; }

void Report(benchmark::State& state, std::uint64_t bytes, std::uint64_t virtualNs) {
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
  state.counters["section_MiB"] = benchmark::Counter(static_cast<double>(bytes) / (1 << 20),
                                                     benchmark::Counter::kAvgIterations);
  state.counters["virtual_s"] =
      benchmark::Counter(static_cast<double>(virtualNs) / 1e9, benchmark::Counter::kAvgIterations);
}

void BM_Backup(benchmark::State& state) {
  FileSystemBench& bench = Bench();
  if (!bench.ready) {
    state.SkipWithError("no module");
    return;
  }
  const DWORD kind = KindOf(state);
  std::uint64_t bytes = 0;
  std::uint64_t virtualNs = 0;
  for (auto _ : state) {
    state.PauseTiming();
    BinFileHandle = CreateFileW(PathOf(kind), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                CREATE_ALWAYS, 0, nullptr);
    state.ResumeTiming();
    const std::uint64_t start = Now();
    const FwlStatus status = BackupFileSystem(kind);
    virtualNs += Now() - start;
    bytes += GetFileSize(BinFileHandle, nullptr);
    (void)CloseHandle(BinFileHandle);
    BinFileHandle = INVALID_HANDLE_VALUE;
    if (status != FWL_OK) {
      state.SkipWithError(("backup failed: " + std::to_string(status)).c_str());
      return;
    }
  }
  Report(state, bytes, virtualNs);
}

// Every instance over the flash disk goes, as the update's unload does for the OS's own.
void UnloadAllDrivers() {
  for (;;) {
    DEVMGR_DEVICE_INFORMATION info{};
    info.dwSize = kDevmgrDeviceInformationSize;
    HANDLE search = FindFirstDevice(DeviceSearchByLegacyName, u"DSK*", &info);
    if (search == INVALID_HANDLE_VALUE) {
      break;
    }
    (void)FindClose(search);
    if (!DeactivateDevice(info.hDevice)) {
      break;
    }
  }
  DriverUnloadTime = GetTickCount();
}

void BM_Restore(benchmark::State& state) {
  FileSystemBench& bench = Bench();
  if (!bench.ready) {
    state.SkipWithError("no module");
    return;
  }
  const DWORD kind = KindOf(state);
  std::uint64_t bytes = 0;
  std::uint64_t virtualNs = 0;
  for (auto _ : state) {
    state.PauseTiming();
    UnloadAllDrivers();
    BinFileHandle = CreateFileW(PathOf(kind), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    state.ResumeTiming();
    const std::uint64_t start = Now();
    const FwlStatus status = RestoreFileSystem();
    virtualNs += Now() - start;
    bytes += GetFileSize(BinFileHandle, nullptr);
    (void)CloseHandle(BinFileHandle);
    BinFileHandle = INVALID_HANDLE_VALUE;
    if (status != FWL_OK) {
      state.SkipWithError(("restore failed: " + std::to_string(status)).c_str());
      return;
    }
  }
  Report(state, bytes, virtualNs);
}

// Files first: their restore leaves the volume mounted, which the sector backup then reads.
BENCHMARK(BM_Backup)->Arg(2)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_Restore)->Arg(2)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_Backup)->Arg(3)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_Restore)->Arg(3)->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  // The module detaches while the models' own state still exists.
  Current().reset();
  return 0;
}
