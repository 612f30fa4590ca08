// How fast a bin file is validated, next to the cheapest way to read the same file and to an
// independent reader of the format; and how fast the two checksum kernels run next to a plain
// streaming read of the same buffer.
//
// The file: a 64 MiB OS image linked at 0x80000000 in records of the sizes an image build or a
// region backup writes (a few hundred bytes to a few MiB, some of odd length), with its end
// record; it sits in the module's file namespace and is read once before timing, so that every
// reader finds it in the page cache. The last benchmark, Summary, puts the ratios side by side;
// the kernels' ratios are also taken with the three run back to back in each iteration.
// WholeProcessInterleaved runs the module tool's bin command, cat and srec_info as processes
// on a 60 MiB file of the same kind.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "flash/flash_ops.h"
#include "library/library_internal.h"
#include "sim/module/machine.h"

namespace {

constexpr DWORD kImageStart = 0x80000000;
constexpr std::size_t kImageBytes = 64u << 20;
constexpr std::size_t kKernelBuffer = 0x200000;  // the library's work buffer

// Throughput of each reader in bytes per second, for the summary: by wall time, and by the CPU
// time that the reader (or the tool's process) used, which other load on the host disturbs
// less.
struct Figures {
  double wall = 0;
  double cpu = 0;
};
std::map<std::string, Figures>& Throughputs() {
  static std::map<std::string, Figures> figures;
  return figures;
}

double CpuSeconds(bool children) {
  if (children) {
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  }
  timespec now{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

class Timer {
 public:
  explicit Timer(bool children = false)
      : children_(children), wall_(std::chrono::steady_clock::now()), cpu_(CpuSeconds(children)) {}
  [[nodiscard]] double Wall() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_).count();
  }
  [[nodiscard]] double Cpu() const { return CpuSeconds(children_) - cpu_; }

 private:
  bool children_;
  std::chrono::steady_clock::time_point wall_;
  double cpu_;
};

void Record(const std::string& name, benchmark::State& state, double bytes, const Timer& timer) {
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
  Figures& figures = Throughputs()[name];
  const double wall = timer.Wall();
  const double cpu = timer.Cpu();
  figures.wall = wall > 0 ? bytes / wall : 0;
  figures.cpu = cpu > 0 ? bytes / cpu : 0;
}

// ---------------------------------------------------------------------------------------------
// The file
// ---------------------------------------------------------------------------------------------
void PutWord(std::ofstream& out, std::uint32_t value) {
  const char bytes[4] = {static_cast<char>(value), static_cast<char>(value >> 8),
                         static_cast<char>(value >> 16), static_cast<char>(value >> 24)};
  out.write(bytes, 4);
}

struct ValidationBench {
  explicit ValidationBench(std::size_t imageBytes = kImageBytes, bool attach = true)
      : module("pxa320", 0, attach), imageBytes(imageBytes) {
    file = module.Directory() / "files" / "image.bin";
    ready = (!attach || FWLInit() == FWL_OK) && Write();
    const std::string warm = "cat '" + file.string() + "' > /dev/null";
    ready = ready && std::system(warm.c_str()) == 0;
  }
  bool Write() {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write("B000FF\n", 7);
    PutWord(out, kImageStart);
    PutWord(out, static_cast<std::uint32_t>(imageBytes));
    // Sizes of an image build's and a backup's records, repeated until the image is full.
    constexpr std::size_t kSizes[] = {65536, 4096, 524288, 16384, 1048579, 256,   131073, 2097152,
                                      32768, 777,  262144, 8192,  4194304, 65536, 1000};
    std::vector<char> data(4194304);
    std::uint32_t state = 12345;
    for (char& byte : data) {
      state = state * 1664525u + 1013904223u;
      byte = static_cast<char>(state >> 24);
    }
    std::size_t at = 0;
    for (std::size_t i = 0; at < imageBytes; ++i) {
      const std::size_t length = std::min(kSizes[i % std::size(kSizes)], imageBytes - at);
      std::uint32_t sum = 0;
      for (std::size_t k = 0; k < length; ++k) {
        sum += static_cast<std::uint8_t>(data[k]);
      }
      PutWord(out, kImageStart + static_cast<std::uint32_t>(at));
      PutWord(out, static_cast<std::uint32_t>(length));
      PutWord(out, sum);
      out.write(data.data(), static_cast<std::streamsize>(length));
      at += length;
      ++records;
    }
    PutWord(out, 0);
    PutWord(out, kImageStart);  // the entry point
    PutWord(out, 0);
    out.close();
    bytes = std::filesystem::file_size(file);
    return out.good();
  }
  bench_support::BenchModule module;
  std::size_t imageBytes;
  std::filesystem::path file;
  std::uintmax_t bytes = 0;
  std::size_t records = 0;
  bool ready = false;
};

ValidationBench& Validation() {
  static ValidationBench bench;  // detaches and removes its module when the process ends
  return bench;
}

void RunTool(benchmark::State& state, const std::string& name, const std::string& command) {
  ValidationBench& bench = Validation();
  if (!bench.ready) {
    state.SkipWithError("no bench file");
    return;
  }
  const Timer timer(true);
  for (auto _ : state) {
    const int status = std::system(command.c_str());
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError((name + " failed").c_str());
      return;
    }
  }
  Record(name, state, static_cast<double>(bench.bytes) * static_cast<double>(state.iterations()),
         timer);
}

void BM_ValidateBinFile(benchmark::State& state) {
  ValidationBench& bench = Validation();
  if (!bench.ready) {
    state.SkipWithError("no bench file");
    return;
  }
  const Timer timer;
  for (auto _ : state) {
    ImageInfo info{};
    const FwlStatus status = FWLSetBinFile(u"\\image.bin", &info, nullptr, 1);
    (void)FWLCloseBinFile();
    FreeWorkBuffer();
    if (status != FWL_OK || info.dataBytes != kImageBytes) {
      state.SkipWithError("validation failed");
      return;
    }
  }
  state.counters["records"] = static_cast<double>(bench.records);
  Record("validate", state,
         static_cast<double>(bench.bytes) * static_cast<double>(state.iterations()), timer);
}

// ---------------------------------------------------------------------------------------------
// Whole processes on a 60 MiB file
// ---------------------------------------------------------------------------------------------
// The module tool's bin command as an engineer runs it (exec, attach, the library's check,
// the layout, detach), next to cat and to srec_info reading the same file as raw binary
// ("srec_info FILE -Binary" reads every byte: it reports the data range of the whole file).
// The three run back to back in every iteration, so that their ratios see the same load on
// the host; the counters give the ratios by wall time and by the children's CPU time.
constexpr std::size_t kProcessImageBytes = 60u << 20;

// The module is not held by this process: the tool attaches to it as to an engineer's module
// between two commands (a module another process holds costs the tool about 1 ms more).
ValidationBench& WholeProcessFile() {
  static ValidationBench bench(kProcessImageBytes, false);
  return bench;
}

std::filesystem::path ModuleTool() {
  std::error_code code;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", code);
  return self.parent_path().parent_path() / "host" / "flashwick-module";
}

void BM_WholeProcessInterleaved(benchmark::State& state) {
  ValidationBench& bench = WholeProcessFile();
  if (!bench.ready) {
    state.SkipWithError("no bench file");
    return;
  }
  const std::string file = "'" + bench.file.string() + "'";
  const std::string commands[3] = {"cat " + file + " > /dev/null",
                                   "'" + ModuleTool().string() + "' bin " + file + " --module '" +
                                       bench.module.Directory().string() + "' > /dev/null",
                                   "srec_info " + file + " -Binary > /dev/null 2>&1"};
  const char* names[3] = {"cat", "bin", "srec_info"};
  // One untimed run of each first: the module's first look after it was made writes what its
  // later looks only read (the volume's sync record, the models' RAM state).
  for (const std::string& command : commands) {
    if (std::system(command.c_str()) != 0) {
      state.SkipWithError("a command failed before the timed runs");
      return;
    }
  }
  double wall[3] = {};
  double cpu[3] = {};
  for (auto _ : state) {
    for (int i = 0; i < 3; ++i) {
      const Timer timer(true);
      const int status = std::system(commands[i].c_str());
      if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        state.SkipWithError((std::string(names[i]) + " failed").c_str());
        return;
      }
      wall[i] += timer.Wall();
      cpu[i] += timer.Cpu();
    }
  }
  const double iterations = static_cast<double>(state.iterations());
  for (int i = 0; i < 3; ++i) {
    state.counters[std::string(names[i]) + "_ms"] = wall[i] / iterations * 1e3;
    state.counters[std::string(names[i]) + "_cpu_ms"] = cpu[i] / iterations * 1e3;
  }
  // Speed ratios: how many times faster bin is than the other (at least 0.7 of cat, 5 of
  // srec_info).
  const auto ratio = [](double other, double bin) { return bin > 0 ? other / bin : 0.0; };
  state.counters["bin_vs_cat"] = ratio(wall[0], wall[1]);
  state.counters["bin_vs_srec_info"] = ratio(wall[2], wall[1]);
  state.counters["bin_vs_cat_cpu"] = ratio(cpu[0], cpu[1]);
  state.counters["bin_vs_srec_info_cpu"] = ratio(cpu[2], cpu[1]);
  state.SetBytesProcessed(static_cast<std::int64_t>(3 * bench.bytes) * state.iterations());
}

void BM_Cat(benchmark::State& state) {
  RunTool(state, "cat", "cat '" + Validation().file.string() + "' > /dev/null");
}

void BM_SrecInfo(benchmark::State& state) {
  RunTool(state, "srec_info",
          "srec_info '" + Validation().file.string() + "' -MsBin > /dev/null 2>&1");
}

// ---------------------------------------------------------------------------------------------
// The kernels
// ---------------------------------------------------------------------------------------------
const std::vector<BYTE>& KernelBuffer() {
  static const std::vector<BYTE> buffer = [] {
    std::vector<BYTE> bytes(kKernelBuffer);
    std::uint32_t state = 99;
    for (BYTE& byte : bytes) {
      state = state * 1664525u + 1013904223u;
      byte = static_cast<BYTE>(state >> 24);
    }
    return bytes;
  }();
  return buffer;
}

std::uint64_t StreamingRead(const std::vector<BYTE>& buffer) {
  std::uint64_t folded = 0;
  for (std::size_t at = 0; at < buffer.size(); at += 8) {
    std::uint64_t word;
    std::memcpy(&word, buffer.data() + at, 8);
    folded ^= word;
  }
  return folded;
}

// Reads every word of the buffer once and keeps a result, so that the reads cannot be dropped.
void BM_StreamingRead(benchmark::State& state) {
  const std::vector<BYTE>& buffer = KernelBuffer();
  const Timer timer;
  for (auto _ : state) {
    benchmark::DoNotOptimize(StreamingRead(buffer));
  }
  Record("read", state,
         static_cast<double>(buffer.size()) * static_cast<double>(state.iterations()), timer);
}

void Kernel(benchmark::State& state, int algorithm, const char* name) {
  const std::vector<BYTE>& buffer = KernelBuffer();
  const Timer timer;
  for (auto _ : state) {
    ChecksumSelect(algorithm);
    benchmark::DoNotOptimize(ChecksumUpdate(buffer.data(), static_cast<DWORD>(buffer.size())));
    benchmark::DoNotOptimize(ChecksumFinish());
  }
  Record(name, state, static_cast<double>(buffer.size()) * static_cast<double>(state.iterations()),
         timer);
}

// The three back to back in every iteration, so that their ratios see the same load on the
// host; these are the ratios the summary gives.
void BM_KernelsInterleaved(benchmark::State& state) {
  const std::vector<BYTE>& buffer = KernelBuffer();
  const auto size = static_cast<DWORD>(buffer.size());
  double seconds[3] = {};
  const auto now = [] { return std::chrono::steady_clock::now(); };
  for (auto _ : state) {
    const auto start = now();
    benchmark::DoNotOptimize(StreamingRead(buffer));
    const auto read = now();
    ChecksumSelect(CHECKSUM_BYTE_SUM);
    benchmark::DoNotOptimize(ChecksumUpdate(buffer.data(), size));
    const auto byteSum = now();
    ChecksumSelect(CHECKSUM_FLETCHER32);
    benchmark::DoNotOptimize(ChecksumUpdate(buffer.data(), size));
    benchmark::DoNotOptimize(ChecksumFinish());
    const auto fletcher = now();
    seconds[0] += std::chrono::duration<double>(read - start).count();
    seconds[1] += std::chrono::duration<double>(byteSum - read).count();
    seconds[2] += std::chrono::duration<double>(fletcher - byteSum).count();
  }
  const double bytes = static_cast<double>(size) * static_cast<double>(state.iterations());
  const char* names[3] = {"read_interleaved", "byte_sum_interleaved", "fletcher32_interleaved"};
  for (int i = 0; i < 3; ++i) {
    Throughputs()[names[i]].wall = seconds[i] > 0 ? bytes / seconds[i] : 0;
    state.counters[std::string(names[i]) + "_MBps"] = Throughputs()[names[i]].wall / 1e6;
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(3 * bytes));
}

void BM_ByteSum(benchmark::State& state) { Kernel(state, CHECKSUM_BYTE_SUM, "byte_sum"); }
void BM_Fletcher32(benchmark::State& state) { Kernel(state, CHECKSUM_FLETCHER32, "fletcher32"); }

// The ratios the targets are stated in (validation at least 0.7 of cat and above srec_info;
// each kernel at least 0.5 of the streaming read).
void BM_Summary(benchmark::State& state) {
  for (auto _ : state) {
  }
  auto& figures = Throughputs();
  const auto ratio = [&figures](const char* a, const char* b, double Figures::*by) {
    return figures.count(a) != 0 && figures.count(b) != 0 && figures[b].*by > 0
               ? figures[a].*by / figures[b].*by
               : 0.0;
  };
  for (const auto& [name, figure] : figures) {
    state.counters[name + "_MBps"] = figure.wall / 1e6;
    state.counters[name + "_cpu_MBps"] = figure.cpu / 1e6;
  }
  for (const auto& [suffix, by] :
       {std::pair{"", &Figures::wall}, std::pair{"_cpu", &Figures::cpu}}) {
    const std::string tail = suffix;
    state.counters["validate_vs_cat" + tail] = ratio("validate", "cat", by);
    state.counters["validate_vs_srec_info" + tail] = ratio("validate", "srec_info", by);
    state.counters["byte_sum_vs_read" + tail] = ratio("byte_sum", "read", by);
    state.counters["fletcher32_vs_read" + tail] = ratio("fletcher32", "read", by);
  }
  state.counters["byte_sum_vs_read_interleaved"] =
      ratio("byte_sum_interleaved", "read_interleaved", &Figures::wall);
  state.counters["fletcher32_vs_read_interleaved"] =
      ratio("fletcher32_interleaved", "read_interleaved", &Figures::wall);
}

BENCHMARK(BM_StreamingRead)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ByteSum)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Fletcher32)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_KernelsInterleaved)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Cat)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ValidateBinFile)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SrecInfo)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_Summary)->Iterations(1);
BENCHMARK(BM_WholeProcessInterleaved)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);

}  // namespace

BENCHMARK_MAIN();
