// A module for a benchmark: created from a preset in a temporary directory and attached.
#pragma once

#include <filesystem>
#include <string>

namespace bench_support {

// A new empty folder under the system's temporary folder ("flashwick-<name>-XXXXXX"), removed
// with the object; path is empty when it cannot be made.
struct ScratchFolder {
  explicit ScratchFolder(const std::string& name);
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  std::filesystem::path path;
};

class BenchModule {
 public:
  // attach false: the module is made and left to other processes, as an engineer's module
  // is between two commands.
  explicit BenchModule(const std::string& preset, unsigned nandChip = 0, bool attach = true);
  ~BenchModule();
  BenchModule(const BenchModule&) = delete;
  BenchModule& operator=(const BenchModule&) = delete;
  [[nodiscard]] const std::filesystem::path& Directory() const { return directory_; }

 private:
  std::filesystem::path root_;
  std::filesystem::path directory_;
  bool attached_ = false;
};

}  // namespace bench_support
