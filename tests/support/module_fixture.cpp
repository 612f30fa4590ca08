#include "tests/support/module_fixture.h"

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>

namespace testing_support {
namespace fs = std::filesystem;

TemporaryDirectory::TemporaryDirectory() {
  std::string pattern = (fs::temp_directory_path() / "flashwick-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    ADD_FAILURE() << "cannot create a temporary directory";
  }
  path_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory() {
  std::error_code code;
  fs::remove_all(path_, code);
}

TemporaryModule::TemporaryModule(const std::string& preset, std::uint32_t nandChipId) {
  std::string pattern = (fs::temp_directory_path() / "flashwick-module-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    ADD_FAILURE() << "cannot create a temporary directory";
    return;
  }
  directory_ = fs::path(pattern) / "module";
  sim::PresetSpec presetSpec;
  std::string error;
  if (!sim::FindPreset(preset, nandChipId, &presetSpec, &error) ||
      !sim::CreateModule(directory_, presetSpec, &error)) {
    ADD_FAILURE() << "cannot create module: " << error;
  }
}

TemporaryModule::~TemporaryModule() {
  std::error_code code;
  fs::remove_all(directory_.parent_path(), code);
}

void ModuleTest::SetUp() {
  module_ = std::make_unique<TemporaryModule>(Preset(), NandChip());
  sim::Json config;
  std::string error;
  ASSERT_TRUE(sim::LoadModuleConfig(module_->Directory(), &config, &error)) << error;
  Configure(config);
  ASSERT_TRUE(sim::WriteWholeFile(module_->Directory() / "module.json", config.dump(2), &error))
      << error;
  ASSERT_TRUE(sim::Attach(module_->Directory(), sim::AttachOptions{}, &error)) << error;
}

void ModuleTest::TearDown() {
  sim::Detach();
  module_.reset();
}

void ModuleTest::Reattach() {
  sim::Detach();
  std::string error;
  ASSERT_TRUE(sim::Attach(module_->Directory(), sim::AttachOptions{}, &error)) << error;
}

int RunCommand(const std::string& command, std::string* output) {
  output->clear();
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) {
    return -1;
  }
  std::array<char, 4096> buffer{};
  size_t got = 0;
  while ((got = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) {
    output->append(buffer.data(), got);
  }
  const int status = ::pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Executable(const std::string& name) {
  return std::string(FLASHWICK_BINARY_DIR) + "/host/" + name;
}

}  // namespace testing_support
