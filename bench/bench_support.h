// A module for a benchmark: created from a preset in a temporary directory and attached.
#pragma once

#include <filesystem>
#include <string>

namespace bench_support {

class BenchModule {
 public:
  explicit BenchModule(const std::string& preset, unsigned nandChip = 0);
  ~BenchModule();
  BenchModule(const BenchModule&) = delete;
  BenchModule& operator=(const BenchModule&) = delete;
  [[nodiscard]] const std::filesystem::path& Directory() const { return directory_; }

 private:
  std::filesystem::path root_;
  std::filesystem::path directory_;
};

}  // namespace bench_support
