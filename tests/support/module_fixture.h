// A fresh virtual module for every test case.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "sim/module/machine.h"

namespace testing_support {

// Creates a module from a preset in a new temporary directory and removes it afterwards.
class TemporaryModule {
 public:
  explicit TemporaryModule(const std::string& preset, std::uint32_t nandChipId = 0);
  ~TemporaryModule();
  TemporaryModule(const TemporaryModule&) = delete;
  TemporaryModule& operator=(const TemporaryModule&) = delete;
  [[nodiscard]] const std::filesystem::path& Directory() const { return directory_; }

 private:
  std::filesystem::path directory_;
};

// Fixture: creates a module from Preset() (pxa320 unless overridden), lets the test adjust its
// module.json through Configure, attaches it, and detaches and removes it at the end.
class ModuleTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  virtual std::string Preset() const { return sim::kDefaultPreset; }
  virtual std::uint32_t NandChip() const { return 0; }
  // Called before attach with the module's configuration, which is then saved.
  virtual void Configure(sim::Json& /*config*/) {}
  sim::Machine& Machine() { return sim::CurrentMachine(); }
  const std::filesystem::path& ModuleDirectory() const { return module_->Directory(); }
  // Detaches and attaches again (a new process on the same module).
  void Reattach();

 private:
  std::unique_ptr<TemporaryModule> module_;
};

// A fresh empty directory that is removed with the object.
class TemporaryDirectory {
 public:
  TemporaryDirectory();
  ~TemporaryDirectory();
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
  [[nodiscard]] const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Runs a command line; returns its exit status and its standard output (and error, merged).
int RunCommand(const std::string& command, std::string* output);
// Path of a built executable (flashwick, flashwick-module).
std::string Executable(const std::string& name);

}  // namespace testing_support
