// libFuzzer: arbitrary bytes opened as a bin file by FWLSetBinFile on a virtual module. The
// reader must accept or refuse every file without reading or writing out of bounds, and a
// refusal must leave the file closed and the work buffer freed.
//
// The first byte steers the run: bit 0 verifies the data, bit 1 seals the checksums of the
// records and sections first (so that the fuzzer gets past them into the structure behind),
// bits 2 to 7 stop the walk through its progress callback after that many reports (0: never).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "library/library_internal.h"
#include "sim/base/files.h"
#include "sim/module/machine.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

[[noreturn]] void Stop(const char* what) {
  std::fprintf(stderr, "%s\n", what);
  std::abort();
}

fs::path& FileOnModule() {
  static fs::path file;
  return file;
}

// One module for the whole run, made in a temporary directory and removed at exit.
void Start() {
  std::string pattern = (fs::temp_directory_path() / "flashwick-fuzz-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    Stop("no temporary directory");
  }
  static const fs::path root = pattern;
  const fs::path module = root / "module";
  sim::PresetSpec presetSpec;
  std::string error;
  if (!sim::FindPreset(sim::kDefaultPreset, 0, &presetSpec, &error) ||
      !sim::CreateModule(module, presetSpec, &error) ||
      !sim::Attach(module, sim::AttachOptions{}, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    Stop("no module");
  }
  if (FWLInit() != FWL_OK) {
    Stop("the library did not start");
  }
  FileOnModule() = module / "files" / "fuzz.bin";
  std::atexit([] {
    sim::Detach();
    std::error_code code;
    fs::remove_all(root, code);
  });
}

std::uint32_t Word(const Bytes& bytes, std::size_t at) {
  return at + 4 <= bytes.size() ? LoadWord(&bytes[at]) : 0;
}
bool Has(const Bytes& bytes, std::size_t at, std::uint64_t length) {
  return at <= bytes.size() && length <= bytes.size() - at;
}
void Seal(Bytes& bytes, std::size_t at, int algorithm, std::size_t from, std::size_t length) {
  if (!Has(bytes, at, 4) || !Has(bytes, from, length)) {
    return;
  }
  ChecksumSelect(algorithm);
  (void)ChecksumUpdate(bytes.data() + from, static_cast<DWORD>(length));
  StoreWord(&bytes[at], ChecksumFinish());
}

// Writes the checksums the reader will compute into the fields it compares them with.
void SealChecksums(Bytes& bytes) {
  std::size_t at = 0;
  if (Has(bytes, 0, 15) && std::string(bytes.begin(), bytes.begin() + 7) == "B000FF\n") {
    at = 15;
    while (Has(bytes, at, 12)) {
      const std::uint32_t address = Word(bytes, at);
      const std::uint32_t length = Word(bytes, at + 4);
      if (address == 0 && Word(bytes, at + 8) == 0) {
        at += 12;
        break;
      }
      Seal(bytes, at + 8, CHECKSUM_BYTE_SUM, at + 12, length);
      at += 12 + static_cast<std::size_t>(length);
    }
  }
  if (Has(bytes, at, kFsSectionHeaderSize) && Word(bytes, at) == kFsSectionMagic) {
    const std::uint32_t headerSize = Word(bytes, at + 8);
    if (headerSize >= 4) {
      Seal(bytes, at + headerSize - 4, CHECKSUM_FLETCHER32, at, headerSize - 4);
    }
    std::size_t chunk = at + headerSize;
    const std::uint64_t end = std::uint64_t{chunk} + Word(bytes, at + 24);
    while (chunk + 12 <= end && Has(bytes, chunk, 12)) {
      const std::uint32_t count = Word(bytes, chunk + 4);
      Seal(bytes, chunk + 8, CHECKSUM_FLETCHER32, chunk + 12, count);
      chunk += 12 + static_cast<std::size_t>(count);
    }
    at = static_cast<std::size_t>(end);
  }
  if (Has(bytes, at, kCpldSectionHeaderSize) && Word(bytes, at) == kCpldSectionMagic) {
    const std::uint32_t headerSize = Word(bytes, at + 8);
    if (headerSize >= 4) {
      Seal(bytes, at + headerSize - 4, CHECKSUM_FLETCHER32, at + headerSize, Word(bytes, at + 12));
    }
  }
}

int reportsLeft = 0;
int StopAfter(DWORD /*done*/, DWORD /*total*/) { return --reportsLeft != 0 ? 1 : 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool started = (Start(), true);
  (void)started;
  if (size == 0) {
    return 0;
  }
  const std::uint8_t steering = data[0];
  Bytes bytes(data + 1, data + size);
  if ((steering & 2) != 0) {
    SealChecksums(bytes);
  }
  if (!sim::WriteWholeFile(FileOnModule(), bytes, nullptr)) {
    std::abort();  // the host cannot hold the input: nothing below would mean anything
  }
  reportsLeft = steering >> 2;
  ImageInfo info{};
  const FwlStatus status =
      FWLSetBinFile(u"\\fuzz.bin", &info, reportsLeft != 0 ? StopAfter : nullptr, steering & 1);
  if (status != FWL_OK) {
    if (BinFileHandle != INVALID_HANDLE_VALUE || WorkBuffer != nullptr) {
      Stop("a refused file was left open or the work buffer allocated");
    }
    if (FwlStatusName(status) == nullptr) {
      Stop("a status without a name");
    }
    return 0;
  }
  if (BinFileHandle == INVALID_HANDLE_VALUE) {
    Stop("an accepted file is not open");
  }
  if (((BinContents & BIN_CONTENTS_IMAGE) != 0) != ((info.types & REGION_OS_IMAGE) != 0) ||
      ((BinContents & BIN_CONTENTS_FILE_SYSTEM) != 0) != ((info.types & REGION_FILE_SYSTEM) != 0) ||
      ((BinContents & BIN_CONTENTS_CPLD) != 0) != ((info.types & REGION_CPLD_FIRMWARE) != 0)) {
    Stop("the contents and the reported types differ");
  }
  if (info.dataBytes > bytes.size()) {
    Stop("more data reported than the file holds");
  }
  (void)FWLCloseBinFile();
  FreeWorkBuffer();
  return 0;
}
