#include "host/sample_files.h"

#include <cstdint>
#include <map>
#include <vector>

#include "host/sample_content.h"
#include "library/flashwick_lib.h"
#include "platform/kernel.h"
#include "sim/base/utf.h"
#include "sim/hw/cpu.h"
#include "sim/module/machine.h"
#include "sim/module/preset_content.h"

namespace sample_files {
namespace {

using sample_content::Bytes;

constexpr std::uint32_t kImageBase = 0x80000000;  // where the module's OS images are linked
constexpr std::uint32_t kRecordBytes = 0x10000;
constexpr std::uint32_t kTrailerMagic = 0x52435353;  // "SSCR"

// ---------------------------------------------------------------------------------------------
// The OS image update: a newer build of the module's image, as the image builder writes it
// ---------------------------------------------------------------------------------------------
Bytes OsImage(const sim::PresetLayout& layout) {
  Bytes image = sim::BuildRomImage(kImageBase, layout.osLength, kOsUpdateBuilt, 12);
  sim::PutImageVersionRecord(image, kOsUpdateVersion);
  // The trailer behind the image: "SSCR", a version, the length of what follows it.
  const std::size_t trailer = image.size();
  image.resize(trailer + 16 + layout.osTrailer, 0);
  sample_content::SetWord(image, trailer, kTrailerMagic);
  sample_content::SetWord(image, trailer + 4, 1);
  sample_content::SetWord(image, trailer + 8, layout.osTrailer);
  std::uint32_t state = 0x5EED1234;
  for (std::size_t i = trailer + 16; i < image.size(); ++i) {
    state = state * 1103515245u + 12345u;
    image[i] = static_cast<std::uint8_t>(state >> 16);
  }
  return image;
}

// The image in records of 64 KiB, its entry point 4 KiB in.
Bytes OsUpdateFile(const sim::PresetLayout& layout) {
  const Bytes image = OsImage(layout);
  return sample_content::BinBuilder()
      .Header(kImageBase, static_cast<std::uint32_t>(image.size()))
      .Records(kImageBase, image, kRecordBytes)
      .End(kImageBase + 0x1000)
      .Data();
}

// ---------------------------------------------------------------------------------------------
// The CPLD update: a stream that identifies the part, erases it, programs every row of a new
// design (its user code in the user code row), reads every row back and leaves programming mode
// ---------------------------------------------------------------------------------------------
// The new design: a fixed pattern of programmed cells per row, the user code in its row.
sample_content::CpldCells DesignRow(unsigned row) {
  if (row == sample_content::kCpldUserCodeRow) {
    return sample_content::UserCodeRow(kCpldUpdateUserCode);
  }
  sample_content::CpldCells cells;
  cells.set();
  for (unsigned cell = 0; cell < sample_content::kCpldRowCells; ++cell) {
    if ((row * 37 + cell * 11) % 7 == 0) {
      cells[cell] = false;
    }
  }
  return cells;
}

Bytes CpldFile() {
  std::map<unsigned, sample_content::CpldCells> rows;
  for (unsigned row = 0; row < sample_content::kCpldRows; ++row) {
    rows[row] = DesignRow(row);
  }
  Bytes stream = sample_content::ProgramStream(rows, sample_content::ProgramOptions{});
  // Whole words, so that the section's Fletcher-32 covers every byte (the player stops at
  // XCOMPLETE and never reads the padding).
  stream.resize((stream.size() + 3) / 4 * 4, 0);
  return sample_content::BinBuilder().Cpld(stream).Data();
}

// ---------------------------------------------------------------------------------------------
// Writing through the module's own file calls
// ---------------------------------------------------------------------------------------------
bool WriteModuleFile(const char16_t* path, const Bytes& bytes, std::string* error) {
  HANDLE file =
      CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = sim::ToUtf8(path) + ": cannot create (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  DWORD written = 0;
  const BOOL ok =
      WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
  if (!ok || written != bytes.size()) {
    (void)DeleteFileW(path);
    *error = sim::ToUtf8(path) + ": cannot write (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  return true;
}

bool FullBackup(std::string* error) {
  const FwlStatus init = FWLInit();
  if (init != FWL_OK) {
    *error = std::string("the library does not start on this module: ") +
             (FwlStatusName(init) != nullptr ? FwlStatusName(init) : std::to_string(init));
    return false;
  }
  FlashRegion selection{REGION_ALL_TYPES, 0, 0, 0};
  FwlStatus status = FWLGetRegions(&selection, nullptr);
  if (status == FWL_OK) {
    status = FWLBackupToFile(kFullBackup, selection.flags, nullptr, nullptr, nullptr);
  }
  if (status != FWL_OK) {
    (void)DeleteFileW(kFullBackup);
    *error = sim::ToUtf8(kFullBackup) + ": backup failed: " +
             (FwlStatusName(status) != nullptr ? FwlStatusName(status) : std::to_string(status));
    return false;
  }
  return true;
}

bool WriteAll(const sim::PresetLayout& layout, bool withCpld, std::string* error) {
  if (!CreateDirectoryW(kFolder, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
    *error =
        sim::ToUtf8(kFolder) + ": cannot create (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  const Bytes osUpdate = OsUpdateFile(layout);
  // The damaged file: the same update with one byte changed in its second record.
  Bytes damaged = osUpdate;
  damaged[15 + 12 + kRecordBytes + 12 + 0x1234] ^= 0x20;
  if (!WriteModuleFile(kOsUpdate, osUpdate, error) || !WriteModuleFile(kDamaged, damaged, error) ||
      (withCpld && !WriteModuleFile(kCpldUpdate, CpldFile(), error))) {
    return false;
  }
  return FullBackup(error);
}

}  // namespace

bool AddSampleFiles(const std::filesystem::path& module, std::string* error) {
  std::error_code code;
  // The drive is plugged in: its folder exists.
  std::filesystem::create_directories(module / "files" / "USB HD", code);
  if (code) {
    *error = (module / "files" / "USB HD").string() + ": cannot create: " + code.message();
    return false;
  }
  if (!sim::Attach(module, sim::AttachOptions{}, error)) {
    return false;
  }
  sim::Machine& machine = sim::CurrentMachine();
  sim::PresetSpec presetSpec;
  std::string ignored;
  sim::ConfigReader reader(machine.Config(), "module.json");
  const std::string none;
  if (!sim::FindPreset(reader.String("preset", &none), 0, &presetSpec, &ignored)) {
    presetSpec = sim::PresetSpec{};
  }
  const bool withCpld = machine.Identity() != sim::kProcessorPxa27x;
  const bool written = WriteAll(sim::LayoutForPreset(presetSpec), withCpld, error);
  if (!written) {
    for (const char16_t* path : {kOsUpdate, kDamaged, kCpldUpdate, kFullBackup}) {
      (void)DeleteFileW(path);
    }
  }
  sim::Detach();
  // The module starts again like a freshly powered one.
  if (!sim::ResetModule(module, written ? error : &ignored)) {
    return false;
  }
  return written;
}

}  // namespace sample_files
