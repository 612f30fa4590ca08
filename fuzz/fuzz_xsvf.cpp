// libFuzzer: arbitrary bytes played as an XSVF stream on the CPLD of a PXA320 module. The player
// must end every run with a result code, read nothing beyond the input and never hang; the
// module must not fault.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "cpld/cpld_access.h"
#include "sim/module/machine.h"

namespace {

std::filesystem::path root;

void TearDown() {
  sim::Detach();
  std::error_code code;
  std::filesystem::remove_all(root, code);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  std::string pattern = (std::filesystem::temp_directory_path() / "flashwick-fuzz-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    std::abort();
  }
  root = pattern;
  sim::PresetSpec presetSpec;
  std::string error;
  if (!sim::FindPreset("pxa320", 0, &presetSpec, &error) ||
      !sim::CreateModule(root / "module", presetSpec, &error) ||
      !sim::Attach(root / "module", sim::AttachOptions{}, &error) || CpldOpen() != kCpldOk) {
    std::fprintf(stderr, "fuzz_xsvf: no module: %s\n", error.c_str());
    std::abort();
  }
  std::atexit(TearDown);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  XsvfResult result{};
  const DWORD status = CpldProgram(data, static_cast<DWORD>(size), &result);
  if ((status == kCpldOk) != (result.errorCode == kXsvfErrorNone) || result.errorCode < 0 ||
      result.errorCode > kXsvfErrorEndOfStream) {
    std::abort();
  }
  return 0;
}
