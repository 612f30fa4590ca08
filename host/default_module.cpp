#include "host/default_module.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "host/sample_files.h"
#include "sim/base/utf.h"

namespace default_module {
namespace {

namespace fs = std::filesystem;

// Writes the sample files in a child process; false with a message when it fails.
bool AddSampleFilesInChild(const fs::path& directory, std::string* error) {
  std::fflush(nullptr);
  const pid_t child = ::fork();
  if (child < 0) {
    *error = "cannot start a process for the sample files";
    return false;
  }
  if (child == 0) {
    std::string childError;
    const bool ok = sample_files::AddSampleFiles(directory, &childError);
    if (!ok) {
      std::fprintf(stderr, "%s\n", childError.c_str());
    }
    std::fflush(nullptr);
    std::_Exit(ok ? 0 : 1);
  }
  int status = 0;
  if (::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    *error = "the sample files could not be made";
    return false;
  }
  return true;
}

}  // namespace

bool CreateWithSampleFiles(const fs::path& directory, const sim::PresetSpec& preset,
                           std::string* error) {
  std::error_code code;
  if (fs::exists(directory, code) && !fs::is_empty(directory, code)) {
    *error = directory.string() + ": exists and is not empty";
    return false;
  }
  const fs::path target = fs::absolute(directory, code);
  const fs::path staging = target.parent_path() / ("." + target.filename().string() + ".creating-" +
                                                   std::to_string(::getpid()));
  fs::create_directories(target.parent_path(), code);
  fs::remove_all(staging, code);
  std::string why;
  if (!sim::CreateModule(staging, preset, &why) || !AddSampleFilesInChild(staging, &why)) {
    fs::remove_all(staging, code);
    *error = directory.string() + ": " + why;
    return false;
  }
  // An empty directory in the way is replaced; one that another process filled meanwhile is not.
  fs::rename(staging, target, code);
  if (code) {
    const std::string reason = code.message();
    fs::remove_all(staging, code);
    *error = directory.string() + ": cannot create: " + reason;
    return false;
  }
  return true;
}

bool EnsureDefaultModule(const char* program, fs::path* directory, std::string* error) {
  *directory = sim::DefaultModuleDirectory();
  std::error_code code;
  if (fs::exists(*directory / "module.json", code)) {
    return true;
  }
  sim::PresetSpec preset;
  if (!sim::FindPreset(sim::kDefaultPreset, 0, &preset, error)) {
    return false;
  }
  if (!CreateWithSampleFiles(*directory, preset, error)) {
    // Another process may have made it at the same moment.
    if (fs::exists(*directory / "module.json", code)) {
      return true;
    }
    *error = "cannot create the default module: " + *error;
    return false;
  }
  std::fprintf(stderr, "%s: created the default module %s (%s) with sample files in %s\n", program,
               directory->c_str(), preset.name.c_str(), sim::ToUtf8(sample_files::kFolder).c_str());
  return true;
}

}  // namespace default_module
