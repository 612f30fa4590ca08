// What attaching a module costs as the chip grows: flashwick-module create and info, each a
// whole process, on the default 128 MiB NAND module and on one with the 1 GiB chip. The
// figures are wall time and the process's peak resident memory; the last benchmark, Summary,
// puts the 1 GiB module's next to the 128 MiB one's.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "bench/bench_support.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

// The tool beside this benchmark's build folder.
fs::path Tool() {
  std::error_code code;
  const fs::path self = fs::read_symlink("/proc/self/exe", code);
  return self.parent_path().parent_path() / "host" / "flashwick-module";
}

struct Run {
  bool ok = false;
  double seconds = 0;
  double peakMiB = 0;
};

// Runs the tool with the arguments, its output discarded; the figures are its own.
Run RunTool(const std::vector<std::string>& arguments) {
  std::vector<std::string> words{Tool().string()};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) {
    argv.push_back(word.data());
  }
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  Run run;
  const auto start = std::chrono::steady_clock::now();
  pid_t child = 0;
  const int spawned = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    return run;
  }
  int status = 0;
  rusage usage{};
  if (::wait4(child, &status, 0, &usage) != child) {
    return run;
  }
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.peakMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;  // kilobytes on Linux
  run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return run;
}

bench_support::ScratchFolder& Modules() {
  static bench_support::ScratchFolder folder("attach");
  return folder;
}

struct Figures {
  double seconds = 0;
  double peakMiB = 0;
};
std::map<std::string, Figures>& Results() {
  static std::map<std::string, Figures> results;
  return results;
}

const char* kSizes[] = {"128MiB", "1GiB"};
std::vector<std::string> CreateArguments(int size, const fs::path& directory) {
  std::vector<std::string> arguments{"create", directory.string(), "--preset", "pxa320"};
  if (size == 1) {
    arguments.insert(arguments.end(), {"--nand-chip", "0xD3EC"});
  }
  return arguments;
}

void Report(benchmark::State& state, const std::string& name, double seconds, double peakMiB,
            int runs) {
  Figures& figures = Results()[name];
  figures.seconds = runs > 0 ? seconds / runs : 0;
  figures.peakMiB = peakMiB;
  state.counters["peak_MiB"] = peakMiB;
  state.counters["wall_ms"] = figures.seconds * 1e3;
}

void BM_Create(benchmark::State& state) {
  const int size = static_cast<int>(state.range(0));
  double seconds = 0;
  double peak = 0;
  int runs = 0;
  for (auto _ : state) {
    const fs::path directory =
        Modules().path / ("create-" + std::string(kSizes[size]) + "-" + std::to_string(runs));
    const Run run = RunTool(CreateArguments(size, directory));
    if (!run.ok) {
      state.SkipWithError("create failed");
      return;
    }
    seconds += run.seconds;
    peak = std::max(peak, run.peakMiB);
    ++runs;
    state.PauseTiming();
    std::error_code code;
    fs::remove_all(directory, code);
    state.ResumeTiming();
  }
  Report(state, std::string("create_") + kSizes[size], seconds, peak, runs);
}

void BM_Info(benchmark::State& state) {
  const int size = static_cast<int>(state.range(0));
  const fs::path directory = Modules().path / ("info-" + std::string(kSizes[size]));
  if (!fs::exists(directory / "module.json") && !RunTool(CreateArguments(size, directory)).ok) {
    state.SkipWithError("create failed");
    return;
  }
  double seconds = 0;
  double peak = 0;
  int runs = 0;
  for (auto _ : state) {
    const Run run = RunTool({"info", directory.string()});
    if (!run.ok) {
      state.SkipWithError("info failed");
      return;
    }
    seconds += run.seconds;
    peak = std::max(peak, run.peakMiB);
    ++runs;
  }
  Report(state, std::string("info_") + kSizes[size], seconds, peak, runs);
}

// The targets: info on the 1 GiB module within 2x of the 128 MiB one's time and under 64 MiB.
void BM_Summary(benchmark::State& state) {
  for (auto _ : state) {
  }
  auto& results = Results();
  const auto ratio = [&results](const char* a, const char* b) {
    return results.count(a) != 0 && results.count(b) != 0 && results[b].seconds > 0
               ? results[a].seconds / results[b].seconds
               : 0.0;
  };
  state.counters["info_1GiB_vs_128MiB"] = ratio("info_1GiB", "info_128MiB");
  state.counters["create_1GiB_vs_128MiB"] = ratio("create_1GiB", "create_128MiB");
  for (const auto& [name, figures] : results) {
    state.counters[name + "_peak_MiB"] = figures.peakMiB;
  }
}

BENCHMARK(BM_Create)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_Info)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);
BENCHMARK(BM_Summary)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
