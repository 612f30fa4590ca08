#include "bench/bench_support.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "sim/module/machine.h"

namespace bench_support {

BenchModule::BenchModule(const std::string& preset, unsigned nandChip, bool attach) {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "flashwick-bench-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    std::abort();
  }
  root_ = pattern;
  directory_ = root_ / "module";
  sim::PresetSpec presetSpec;
  std::string error;
  if (!sim::FindPreset(preset, nandChip, &presetSpec, &error) ||
      !sim::CreateModule(directory_, presetSpec, &error) ||
      (attach && !sim::Attach(directory_, sim::AttachOptions{}, &error))) {
    std::fprintf(stderr, "bench module: %s\n", error.c_str());
    std::abort();
  }
  attached_ = attach;
}

BenchModule::~BenchModule() {
  if (attached_) {
    sim::Detach();
  }
  std::error_code code;
  std::filesystem::remove_all(root_, code);
}

ScratchFolder::ScratchFolder(const std::string& name) {
  std::string pattern =
      (std::filesystem::temp_directory_path() / ("flashwick-" + name + "-XXXXXX")).string();
  if (::mkdtemp(pattern.data()) != nullptr) {
    path = pattern;
  }
}

ScratchFolder::~ScratchFolder() {
  std::error_code code;
  std::filesystem::remove_all(path, code);
}

}  // namespace bench_support
