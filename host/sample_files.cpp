#include "host/sample_files.h"

#include <algorithm>
#include <bitset>
#include <cstdint>
#include <vector>

#include "library/flashwick_lib.h"
#include "library/library_internal.h"
#include "platform/kernel.h"
#include "sim/module/machine.h"
#include "sim/module/preset_content.h"
#include "sim/base/utf.h"

namespace sample_files {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kImageBase = 0x80000000;  // where the module's OS images are linked
constexpr std::uint32_t kRecordBytes = 0x10000;
constexpr std::uint32_t kTrailerMagic = 0x52435353;  // "SSCR"

void PutWord(Bytes& bytes, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
  }
}

void SetWord(Bytes& bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
}

// ---------------------------------------------------------------------------------------------
// The OS image update: a newer build of the module's image, as the image builder writes it
// ---------------------------------------------------------------------------------------------
Bytes OsImage(const sim::PresetLayout& layout) {
  Bytes image = sim::BuildRomImage(kImageBase, layout.osLength, kOsUpdateBuilt, 12);
  // The trailer behind the image: "SSCR", a version, the length of what follows it.
  const std::size_t trailer = image.size();
  image.resize(trailer + 16 + layout.osTrailer, 0);
  SetWord(image, trailer, kTrailerMagic);
  SetWord(image, trailer + 4, 1);
  SetWord(image, trailer + 8, layout.osTrailer);
  std::uint32_t state = 0x5EED1234;
  for (std::size_t i = trailer + 16; i < image.size(); ++i) {
    state = state * 1103515245u + 12345u;
    image[i] = static_cast<std::uint8_t>(state >> 16);
  }
  return image;
}

Bytes BinFile(std::uint32_t start, const Bytes& image) {
  Bytes file = {'B', '0', '0', '0', 'F', 'F', '\n'};
  PutWord(file, start);
  PutWord(file, static_cast<std::uint32_t>(image.size()));
  for (std::size_t at = 0; at < image.size(); at += kRecordBytes) {
    const std::size_t length = std::min<std::size_t>(kRecordBytes, image.size() - at);
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < length; ++i) {
      sum += image[at + i];
    }
    PutWord(file, start + static_cast<std::uint32_t>(at));
    PutWord(file, static_cast<std::uint32_t>(length));
    PutWord(file, sum);
    file.insert(file.end(), image.begin() + static_cast<std::ptrdiff_t>(at),
                image.begin() + static_cast<std::ptrdiff_t>(at + length));
  }
  // The end record: address and checksum 0, the image's entry point in the length word.
  PutWord(file, 0);
  PutWord(file, start + 0x1000);
  PutWord(file, 0);
  return file;
}

// ---------------------------------------------------------------------------------------------
// The CPLD update: an XSVF stream that identifies the part, erases it, programs every row of a
// new design (its user code in row 97), reads every row back and leaves programming mode
// ---------------------------------------------------------------------------------------------
constexpr unsigned kRows = 98;
constexpr unsigned kRowCells = 274;
constexpr unsigned kUserCodeRow = 97;
using Cells = std::bitset<kRowCells>;

enum XsvfCommand : std::uint8_t {
  kXComplete = 0,
  kXTdoMask = 1,
  kXSir = 2,
  kXRepeat = 7,
  kXSdrSize = 8,
  kXSdrTdo = 9,
  kXState = 18,
  kXEndIr = 19,
  kXEndDr = 20,
  kXWait = 23,
};
enum TapState : std::uint8_t { kReset = 0, kIdle = 1, kUpdateDr = 8 };

class XsvfStream {
 public:
  XsvfStream& Byte(std::uint8_t value) {
    bytes_.push_back(value);
    return *this;
  }
  XsvfStream& Bits(const Bytes& bits) {
    bytes_.insert(bytes_.end(), bits.begin(), bits.end());
    return *this;
  }
  XsvfStream& Number(std::uint32_t value, int count) {
    for (int i = count - 1; i >= 0; --i) {
      bytes_.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
    return *this;
  }
  XsvfStream& Instruction(std::uint8_t code) { return Byte(kXSir).Byte(8).Byte(code); }
  XsvfStream& Wait(std::uint32_t microseconds) {
    return Byte(kXWait).Byte(kIdle).Byte(kIdle).Number(microseconds, 4);
  }
  XsvfStream& Size(std::uint32_t bits) { return Byte(kXSdrSize).Number(bits, 4); }
  [[nodiscard]] const Bytes& Data() const { return bytes_; }

 private:
  Bytes bytes_;
};

// Bit n of a shifted vector is bit n % 8 of byte (count - 1 - n / 8): the last byte goes first.
Bytes Pack(const std::vector<bool>& bits) {
  const std::size_t count = (bits.size() + 7) / 8;
  Bytes bytes(count, 0);
  for (std::size_t bit = 0; bit < bits.size(); ++bit) {
    if (bits[bit]) {
      bytes[count - 1 - bit / 8] =
          static_cast<std::uint8_t>(bytes[count - 1 - bit / 8] | (1u << (bit % 8)));
    }
  }
  return bytes;
}

unsigned Gray(unsigned row) { return row ^ (row >> 1); }

// The 281-bit program vector: the row's cells, then its 7-bit Gray address, least significant
// bit shifted in last.
Bytes ProgramVector(unsigned row, const Cells& cells) {
  std::vector<bool> bits(kRowCells + 7);
  for (unsigned cell = 0; cell < kRowCells; ++cell) {
    bits[cell] = cells[cell];
  }
  for (unsigned i = 0; i < 7; ++i) {
    bits[kRowCells + 6 - i] = ((Gray(row) >> i) & 1) != 0;
  }
  return Pack(bits);
}

Bytes ReadAddress(unsigned row) {
  std::vector<bool> bits(7);
  for (unsigned i = 0; i < 7; ++i) {
    bits[6 - i] = ((Gray(row) >> i) & 1) != 0;
  }
  return Pack(bits);
}

Bytes CellBytes(const Cells& cells) {
  std::vector<bool> bits(kRowCells);
  for (unsigned cell = 0; cell < kRowCells; ++cell) {
    bits[cell] = cells[cell];
  }
  return Pack(bits);
}

// The new design: a fixed pattern of programmed cells per row, the user code in row 97.
Cells DesignRow(unsigned row) {
  Cells cells;
  cells.set();
  if (row == kUserCodeRow) {
    for (unsigned bit = 0; bit < 32; ++bit) {
      cells[bit] = ((kCpldUpdateUserCode >> bit) & 1) != 0;
    }
    return cells;
  }
  for (unsigned cell = 0; cell < kRowCells; ++cell) {
    if ((row * 37 + cell * 11) % 7 == 0) {
      cells[cell] = false;
    }
  }
  return cells;
}

Bytes CpldStream() {
  XsvfStream stream;
  stream.Byte(kXRepeat).Byte(0).Byte(kXEndIr).Byte(0).Byte(kXEndDr).Byte(0);
  stream.Byte(kXState).Byte(kReset).Byte(kXState).Byte(kIdle);
  // The part must be the module's 64-macrocell CPLD (any revision).
  stream.Instruction(0x01).Size(32);
  stream.Byte(kXTdoMask).Bits({0x0F, 0xFF, 0xFF, 0xFF});
  stream.Byte(kXSdrTdo).Bits({0, 0, 0, 0}).Bits({0x06, 0xE5, 0xD0, 0x93});
  stream.Instruction(0xE8);  // ISC_ENABLE
  // ISC_ERASE runs in Run-Test/Idle once Update-DR armed it.
  stream.Instruction(0xED).Byte(kXState).Byte(kUpdateDr).Byte(kXState).Byte(kIdle);
  stream.Wait(100000);
  stream.Instruction(0xEA).Size(kRowCells + 7);  // ISC_PROGRAM
  stream.Byte(kXTdoMask).Bits(Bytes(36, 0));
  for (unsigned row = 0; row < kRows; ++row) {
    stream.Byte(kXSdrTdo).Bits(ProgramVector(row, DesignRow(row))).Bits(Bytes(36, 0));
    stream.Wait(10000);
  }
  stream.Instruction(0xEE);  // ISC_READ: every row back against the design
  Bytes all(35, 0xFF);
  all[0] = 0x03;  // 274 bits in 35 bytes
  for (unsigned row = 0; row < kRows; ++row) {
    stream.Size(7).Byte(kXTdoMask).Byte(0).Byte(kXSdrTdo).Bits(ReadAddress(row)).Byte(0);
    stream.Wait(100);
    stream.Size(kRowCells).Byte(kXTdoMask).Bits(all);
    stream.Byte(kXSdrTdo).Bits(all).Bits(CellBytes(DesignRow(row)));
  }
  stream.Instruction(0xC0).Wait(100);  // ISC_DISABLE
  stream.Instruction(0xFF).Byte(kXComplete);
  Bytes data = stream.Data();
  // Whole words, so that the section's Fletcher-32 covers every byte (the player stops at
  // XCOMPLETE and never reads the padding).
  data.resize((data.size() + 3) / 4 * 4, 0);
  return data;
}

Bytes CpldFile() {
  const Bytes stream = CpldStream();
  ChecksumSelect(CHECKSUM_FLETCHER32);
  (void)ChecksumUpdate(stream.data(), static_cast<DWORD>(stream.size()));
  const DWORD checksum = ChecksumFinish();
  Bytes file;
  PutWord(file, kCpldSectionMagic);
  PutWord(file, 1);
  PutWord(file, kCpldSectionHeaderSize);
  PutWord(file, static_cast<std::uint32_t>(stream.size()));
  PutWord(file, 0);
  PutWord(file, checksum);
  file.insert(file.end(), stream.begin(), stream.end());
  return file;
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
  const Bytes osUpdate = BinFile(kImageBase, OsImage(layout));
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
  const bool withCpld = machine.Identity() != 17;
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
