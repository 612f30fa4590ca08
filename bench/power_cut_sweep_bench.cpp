// What a power-cut sweep of the sample OS update costs: flashwick-module rehearse
// --power-cut-sweep --every block, a whole process, on the default NAND module (pxa320) and on
// the 32 MiB NOR module (pxa270-32m). The figures are the sweep's wall time against the goal of
// 30 s each on a two-processor machine, how many cuts it ran, and the wall time of one cut; the
// sweep with one run at a time beside the default (one per processor) shows what running cuts
// side by side gains.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "bench/bench_support.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr double kGoalSeconds = 30.0;

fs::path Tool() {
  std::error_code code;
  const fs::path self = fs::read_symlink("/proc/self/exe", code);
  return self.parent_path().parent_path() / "host" / "flashwick-module";
}

// Runs the tool; its standard output in *output (through a file), true when it exited 0.
bool RunTool(const std::vector<std::string>& arguments, const fs::path& outputFile,
             std::string* output) {
  std::vector<std::string> words{Tool().string()};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) {
    argv.push_back(word.data());
  }
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t child = 0;
  const int spawned = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    return false;
  }
  int status = 0;
  if (::waitpid(child, &status, 0) != child) {
    return false;
  }
  std::FILE* in = std::fopen(outputFile.c_str(), "r");
  if (in != nullptr) {
    char buffer[65536];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof(buffer), in)) > 0) {
      output->append(buffer, got);
    }
    std::fclose(in);
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

const char* kPresets[] = {"pxa320", "pxa270-32m"};

// range(0): the preset; range(1): runs at once (0: the tool's default, one per processor).
void BM_Sweep(benchmark::State& state) {
  const char* preset = kPresets[state.range(0)];
  const long jobs = state.range(1);
  bench_support::ScratchFolder folder("sweep");
  const fs::path module = folder.path / preset;
  std::string output;
  if (!RunTool({"create", module.string(), "--preset", preset}, folder.path / "create.out",
               &output)) {
    state.SkipWithError("create failed");
    return;
  }
  const std::string file = (module / "files" / "USB HD" / "IMAGES" / "os-update.bin").string();
  std::vector<std::string> arguments{"rehearse", module.string(), file,    "--power-cut-sweep",
                                     "--every",  "block",         "--json"};
  if (jobs > 0) {
    arguments.insert(arguments.end(), {"--jobs", std::to_string(jobs)});
  }
  double seconds = 0;
  std::size_t cuts = 0;
  int runs = 0;
  for (auto _ : state) {
    output.clear();
    const auto start = std::chrono::steady_clock::now();
    const bool ok = RunTool(arguments, folder.path / "sweep.json", &output);
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const nlohmann::json report = nlohmann::json::parse(output, nullptr, false);
    if (!ok || report.is_discarded()) {
      state.SkipWithError("the sweep failed");
      return;
    }
    cuts = report["cuts"].size();
    ++runs;
  }
  const double each = runs > 0 ? seconds / runs : 0;
  state.counters["sweep_s"] = each;
  state.counters["cuts"] = static_cast<double>(cuts);
  state.counters["ms_per_cut"] = cuts > 0 ? each * 1e3 / static_cast<double>(cuts) : 0;
  state.counters["of_goal_30s"] = each / kGoalSeconds;  // at most 1 meets the goal
}

BENCHMARK(BM_Sweep)
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->ArgNames({"preset", "jobs"})
    ->Unit(benchmark::kSecond)
    ->UseRealTime()
    ->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
