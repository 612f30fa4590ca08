// A module made by the module tool in a scratch folder, as a user makes one, and the two
// executables run on it: for the tests that drive flashwick and flashwick-module as processes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "sim/module/machine.h"
#include "tests/support/module_fixture.h"

namespace testing_support {

class ToolModule {
 public:
  // Creates the module with `flashwick-module create DIR --preset PRESET CREATEARGUMENTS`.
  explicit ToolModule(const std::string& preset, const std::string& createArguments = "");

  [[nodiscard]] const std::filesystem::path& Directory() const { return directory_; }
  // The module directory in single quotes, for a command line.
  [[nodiscard]] std::string Quoted() const { return Quote(directory_); }
  // A file of the scratch folder beside the module (outputs of commands, edited bin files).
  [[nodiscard]] std::filesystem::path File(const std::string& name) const {
    return scratch_.Path() / name;
  }
  [[nodiscard]] std::string QuotedFile(const std::string& name) const { return Quote(File(name)); }
  // The host folder of the module's USB drive that holds the sample update files.
  [[nodiscard]] std::filesystem::path Images() const {
    return directory_ / "files" / "USB HD" / "IMAGES";
  }

  // `flashwick-module COMMAND 'DIR'`, to which a test appends its arguments.
  [[nodiscard]] std::string ToolLine(const std::string& command) const;
  // `flashwick --ui console --pace fast --module 'DIR' ARGUMENTS` (the system's exit codes).
  [[nodiscard]] std::string ProgramLine(const std::string& arguments) const;

  // Runs `flashwick-module COMMAND 'DIR' ARGUMENTS`, standard error merged into *output.
  int Tool(const std::string& command, const std::string& arguments, std::string* output) const;
  // Runs the command with --json; its standard output parsed (standard error left out), its
  // exit status in *status.
  sim::Json ToolJson(const std::string& command, const std::string& arguments, int* status) const;
  // Runs flashwick on the module with --exit-status unix: 0 success, 1 failure.
  int Program(const std::string& arguments, std::string* output) const;

  // The flash as the module's OS reads it, from offset for length bytes (attaches in-process).
  [[nodiscard]] std::vector<std::uint8_t> Flash(std::uint32_t offset, std::uint32_t length) const;
  // Word 0 of platform item 5: where the module's OS image starts in the flash.
  [[nodiscard]] std::uint32_t OsOffset() const;
  // module.json as text.
  [[nodiscard]] std::string Config() const;

  static std::string Quote(const std::filesystem::path& path) { return "'" + path.string() + "'"; }

 private:
  TemporaryDirectory scratch_;
  std::filesystem::path directory_;
};

}  // namespace testing_support
