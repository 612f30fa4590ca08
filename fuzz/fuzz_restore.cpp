// libFuzzer: a file system section whose header is whole and checksummed but whose payload is
// arbitrary, restored into a module's flash disk. The restore may refuse the bytes with any of
// its codes but must never create, change or remove anything outside the volumes it mounts,
// and must never touch the bin file or read past it.
//
// Input: byte 0 picks the kind (even 2 files, odd 3 sectors, 0xF0 and above that value
// itself), byte 1 the partition count, byte 2 the sector size the header claims; the rest is
// the payload. Seeds: fuzz/seeds/restore.
//
// Every input runs the module's whole storage stack (driver load, store format, partitions,
// volumes), so the module is made cheap to run an input on: it is created and attached once,
// before the first input; it lives on a memory file system where there is one (its state files
// are rewritten on every change); the store that the inputs restore into is the smallest one
// the flash driver takes, one 64 KiB erase block (128 sectors of 512 bytes); and it is linked
// without coverage and sanitizer instrumentation of its own (see fuzz/CMakeLists.txt). Between
// inputs only what an input changes is put back: the driver instance it loaded is unloaded. What
// lies outside the volumes is read once at the start and compared after every input.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <system_error>
#include <vector>

#include "library/library_internal.h"
#include "platform/kernel.h"
#include "platform/storage.h"
#include "sim/module/machine.h"
#include "sim/storage/storage_manager.h"
#include "storage/fs_section.h"
#include "storage/store_binding.h"

namespace {

namespace fs = std::filesystem;

constexpr const WCHAR* kBinPath = u"\\USB HD\\fuzz.bin";
constexpr const char* kBinHostPath = "USB HD/fuzz.bin";  // the same file, from files/
// The store: the smallest erase block of the flash, the first of the 64 KiB parameter blocks
// at its bottom (the boot loader's; the module is never started again). The storage stack
// reads, erases and rewrites whole blocks, each through a buffer of its own, so the smallest
// block costs least.
constexpr DWORD kStoreBase = 0;
constexpr DWORD kStoreBlock = 0x00010000;
constexpr DWORD kStoreLength = kStoreBlock;

[[noreturn]] void Stop(const std::string& what) {
  std::fprintf(stderr, "%s\n", what.c_str());
  std::abort();
}

struct Module {
  fs::path root;   // the temporary folder that holds the module
  fs::path files;  // the module's namespace "\"
  // Every file and folder outside the volumes, with its bytes, as the module started.
  std::map<std::string, std::string> outside;
};

// Made once and never destroyed: the clean-up at exit still needs its paths.
Module* TheModule = nullptr;

// A folder for the module: on a memory file system when the host has one.
fs::path TemporaryBase() {
  std::error_code code;
  if (fs::is_directory("/dev/shm", code) && ::access("/dev/shm", W_OK) == 0) {
    return "/dev/shm";
  }
  return fs::temp_directory_path();
}

// Every host file of the module's namespace outside its mounted volumes, with its bytes.
void Snapshot(const fs::path& files, std::map<std::string, std::string>* out) {
  out->clear();
  std::error_code code;
  for (auto it = fs::recursive_directory_iterator(files, code);
       it != fs::recursive_directory_iterator(); it.increment(code)) {
    if (code) {
      break;
    }
    // Lexically: fs::relative would resolve both paths on the disk for every entry.
    const fs::path relative = it->path().lexically_relative(files);
    const std::string top = relative.begin()->string();
    if (top.rfind("Flash Disk", 0) == 0) {
      it.disable_recursion_pending();
      continue;  // a volume: restoring may change what is inside it
    }
    std::string content;
    if (it->is_regular_file()) {
      (void)sim::ReadWholeFile(it->path(), &content);
    }
    (*out)[relative.string()] = content;
  }
}

// Unloads every driver instance over the flash disk and lets the storage manager forget their
// stores, so that each input starts from the same kind of module.
void UnloadAllDrivers() {
  for (;;) {
    DEVMGR_DEVICE_INFORMATION info{};
    info.dwSize = kDevmgrDeviceInformationSize;
    HANDLE search = FindFirstDevice(DeviceSearchByLegacyName, u"DSK*", &info);
    if (search == INVALID_HANDLE_VALUE) {
      break;
    }
    (void)FindClose(search);
    if (!DeactivateDevice(info.hDevice)) {
      Stop("a driver instance cannot be unloaded");
    }
  }
  Sleep(sim::storage::UnloadDelay() + 1);
}

// At exit only the folder goes: the module's own state (and the statics it uses) may already be
// gone by then, and a process that ends leaves the module as a killed program would.
void RemoveModule() {
  if (TheModule != nullptr) {
    std::error_code code;
    fs::remove_all(TheModule->root, code);
  }
}

void MakeModule() {
  auto* module = new Module;
  const std::string pattern = (TemporaryBase() / "flashwick-fuzz-restore-XXXXXX").string();
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back(0);
  if (::mkdtemp(name.data()) == nullptr) {
    Stop("no temporary directory");
  }
  module->root = name.data();
  const fs::path directory = module->root / "module";
  module->files = directory / "files";
  sim::PresetSpec presetSpec;
  std::string error;
  if (!sim::FindPreset("pxa270-32m", 0, &presetSpec, &error) ||
      !sim::CreateModule(directory, presetSpec, &error)) {
    Stop("cannot create the module: " + error);
  }
  fs::create_directories(module->files / "USB HD");
  if (!sim::Attach(directory, sim::AttachOptions{}, &error)) {
    Stop("cannot attach the module: " + error);
  }
  TheModule = module;
  std::atexit(RemoveModule);
  ResetLibraryStateForTesting();
  if (FWLInit() != FWL_OK || AllocWorkBuffer() != FWL_OK || FileSystemStoreName[0] == 0) {
    Stop("the library did not start");
  }
  // The OS's own instance over the whole region goes once; every input loads its own.
  UnloadAllDrivers();
  Snapshot(module->files, &module->outside);
}

std::vector<std::uint8_t> Section(const std::uint8_t* data, std::size_t size) {
  const std::uint8_t kinds[] = {FS_SECTION_FILES, FS_SECTION_SECTORS};
  const DWORD sectorSizes[] = {512, 2048, 0, 4096};
  FsSectionHeader header{};
  header.magic = kFsSectionMagic;
  header.version = 1;
  header.headerSize = kFsHeaderBytes;
  header.kind = data[0] < 0xF0 ? kinds[data[0] & 1] : data[0];
  header.memBase = kStoreBase;
  header.memLen = kStoreLength;
  header.blockSize = kStoreBlock;
  header.sectorSize = 512;
  header.dataLength = static_cast<DWORD>(size - 3);
  const std::u16string folder = u"Flash Disk";
  std::copy(folder.begin(), folder.end(), header.folder);
  header.storeInfo.cbSize = sizeof(STOREINFO);
  header.storeInfo.dwPartitionCount = data[1] % 6;
  header.storeInfo.dwBytesPerSector = sectorSizes[data[2] & 3];
  header.storeInfo.snNumSectors = header.memLen / 512;
  std::vector<std::uint8_t> bytes(kFsHeaderBytes);
  EncodeFsSectionHeader(header, bytes.data());
  ChecksumSelect(CHECKSUM_FLETCHER32);
  (void)ChecksumUpdate(bytes.data(), kFsHeaderBytes - 4);
  StoreWord(bytes.data() + kFsHeaderBytes - 4, ChecksumFinish());
  bytes.insert(bytes.end(), data + 3, data + size);
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  MakeModule();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3 || size > (1u << 20)) {
    return 0;
  }
  const std::vector<std::uint8_t> section = Section(data, size);
  HANDLE file = CreateFileW(kBinPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD written = 0;
  if (file == INVALID_HANDLE_VALUE ||
      !WriteFile(file, section.data(), static_cast<DWORD>(section.size()), &written, nullptr) ||
      written != section.size()) {
    Stop("cannot write the bin file");
  }
  (void)CloseHandle(file);

  BinFileHandle = CreateFileW(kBinPath, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (BinFileHandle == INVALID_HANDLE_VALUE) {
    Stop("cannot open the bin file");
  }
  const FwlStatus status = RestoreFileSystem();
  const DWORD position = SetFilePointer(BinFileHandle, 0, nullptr, FILE_CURRENT);
  (void)CloseHandle(BinFileHandle);
  BinFileHandle = INVALID_HANDLE_VALUE;
  switch (status) {
    case FWL_OK:
    case FWL_ERR_ABORTED:
    case FWL_ERR_BAD_FILE:
    case FWL_ERR_FILE_VERSION:
    case FWL_ERR_NO_MEMORY:
    case FWL_ERR_FILE_SYSTEM:
    case FWL_ERR_FS_DRIVER:
    case FWL_ERR_FORMAT_STORE:
      break;
    default:
      Stop("the restore returned " + std::to_string(status));
  }
  if (position > section.size()) {
    Stop("the restore read past the end of the bin file");
  }

  std::map<std::string, std::string> expected = TheModule->outside;
  expected[kBinHostPath].assign(section.begin(), section.end());
  std::map<std::string, std::string> after;
  Snapshot(TheModule->files, &after);
  if (after != expected) {
    for (const auto& [name, content] : after) {
      const auto it = expected.find(name);
      if (it == expected.end() || it->second != content) {
        Stop(name == kBinHostPath ? "the restore changed the bin file"
                                  : "written outside the volume: " + name);
      }
    }
    Stop("removed outside the volume");
  }
  UnloadAllDrivers();
  return 0;
}
