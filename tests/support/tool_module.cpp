// A module made by the module tool, and the executables run on it.
#include "tests/support/tool_module.h"

#include <gtest/gtest.h>

#include "sim/base/files.h"
#include "sim/os/os_flash.h"

namespace testing_support {

ToolModule::ToolModule(const std::string& preset, const std::string& createArguments)
    : directory_(scratch_.Path() / "module") {
  std::string output;
  EXPECT_EQ(RunCommand(ToolLine("create") + " --preset " + preset + " " + createArguments, &output),
            0)
      << output;
}

std::string ToolModule::ToolLine(const std::string& command) const {
  return Executable("flashwick-module") + " " + command + " " + Quoted();
}

std::string ToolModule::ProgramLine(const std::string& arguments) const {
  return Executable("flashwick") + " --ui console --pace fast --module " + Quoted() + " " +
         arguments;
}

int ToolModule::Tool(const std::string& command, const std::string& arguments,
                     std::string* output) const {
  return RunCommand(ToolLine(command) + " " + arguments, output);
}

sim::Json ToolModule::ToolJson(const std::string& command, const std::string& arguments,
                               int* status) const {
  std::string output;
  *status = RunCommand("(" + ToolLine(command) + " " + arguments + " --json 2>/dev/null)", &output);
  sim::Json parsed = sim::Json::parse(output, nullptr, false);
  EXPECT_FALSE(parsed.is_discarded()) << output;
  return parsed;
}

int ToolModule::Program(const std::string& arguments, std::string* output) const {
  return RunCommand(ProgramLine("--exit-status unix " + arguments), output);
}

std::vector<std::uint8_t> ToolModule::Flash(std::uint32_t offset, std::uint32_t length) const {
  std::string error;
  std::vector<std::uint8_t> bytes(length);
  EXPECT_TRUE(sim::Attach(directory_, sim::AttachOptions{}, &error)) << error;
  if (sim::IsAttached()) {
    EXPECT_TRUE(sim::CurrentOsFlash()->Read(offset, bytes.data(), length));
    sim::Detach();
  }
  return bytes;
}

std::uint32_t ToolModule::OsOffset() const {
  sim::Json config;
  std::string error;
  EXPECT_TRUE(sim::LoadModuleConfig(directory_, &config, &error)) << error;
  const std::string item = config["platformItems"]["5"].get<std::string>();
  std::uint32_t offset = 0;
  for (int i = 3; i >= 0; --i) {
    offset =
        (offset << 8) | std::stoul(item.substr(static_cast<std::size_t>(i) * 2, 2), nullptr, 16);
  }
  return offset;
}

std::string ToolModule::Config() const {
  std::string text;
  EXPECT_TRUE(sim::ReadWholeFile(directory_ / "module.json", &text));
  return text;
}

}  // namespace testing_support
