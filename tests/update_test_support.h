// Shared by the update, erase and backup tests: the modules they run on, a fixture that starts
// the library on a fresh module, and readers of what the module holds (flash bytes through the
// OS's own flash view, the files of the flash disk, the versions it reports).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "cpld/cpld_access.h"
#include "cpld/gpio_pins.h"
#include "flash/flash_ops.h"
#include "flash/kernel_mode.h"
#include "flash/nand_driver.h"
#include "library/library_internal.h"
#include "library/version_records.h"
#include "platform/kernel.h"
#include "sim/module/machine.h"
#include "sim/os/os_flash.h"
#include "tests/support/module_fixture.h"
#include "tests/support/program_state.h"
#include "tests/support/test_names.h"

namespace update_test {

using Bytes = std::vector<std::uint8_t>;

// Every preset, and every NAND chip the presets can carry.
struct ModuleCase {
  const char* preset;
  std::uint32_t nandChip;  // 0: the preset's own
};
inline const ModuleCase kEveryModule[] = {
    {"pxa270-32m", 0},  {"pxa270-64m", 0},  {"pxa320", 0},      {"pxa300", 0},      {"pxa310", 0},
    {"pxa320", 0xD3EC}, {"pxa320", 0xDAEC}, {"pxa320", 0xDCEC}, {"pxa320", 0xDCAD},
};
inline const ModuleCase kNorModules[] = {{"pxa270-32m", 0}, {"pxa270-64m", 0}};
inline const ModuleCase kNandModules[] = {
    {"pxa320", 0},      {"pxa300", 0},      {"pxa310", 0},      {"pxa320", 0xD3EC},
    {"pxa320", 0xDAEC}, {"pxa320", 0xDCEC}, {"pxa320", 0xDCAD},
};

inline std::string ModuleCaseName(const ModuleCase& c) {
  return testing_support::ModuleName(c.preset, c.nandChip);
}

// Forgets every program-side global, as a new process on the module would start.
inline void ResetProgramState() { testing_support::ForgetProgramState(); }

// A fresh module of one preset with the library started on it.
class LibraryTest : public testing_support::ModuleTest {
 protected:
  void SetUp() override {
    testing_support::ModuleTest::SetUp();
    if (HasFatalFailure()) {
      return;
    }
    ResetProgramState();
    // The USB drive is plugged in: its folder exists on the host.
    std::filesystem::create_directories(Machine().FilesDirectory() / "USB HD");
    ASSERT_EQ(FWLInit(), FWL_OK);
  }
  void TearDown() override {
    ResetProgramState();
    testing_support::ModuleTest::TearDown();
  }
  // Ends this process's view of the module, power-cycles it and starts the library again.
  void PowerCycle() {
    ResetProgramState();
    sim::Detach();
    std::string error;
    ASSERT_TRUE(sim::ResetModule(ModuleDirectory(), &error)) << error;
    ASSERT_TRUE(sim::Attach(ModuleDirectory(), sim::AttachOptions{}, &error)) << error;
    ASSERT_EQ(FWLInit(), FWL_OK);
  }

  bool Nand() const { return FlashKind == kFlashKindNand; }
  // The region of one kind in the table (a zero region when absent).
  static FlashRegion Region(DWORD kind) {
    for (int i = 0; i < kRegionCount && RegionTable[i].flags != 0; ++i) {
      if ((RegionTable[i].flags & REGION_ALL_TYPES) == kind) {
        return RegionTable[i];
      }
    }
    return FlashRegion{0, 0, 0, 0};
  }
  static std::vector<FlashRegion> Table() {
    std::vector<FlashRegion> table;
    for (int i = 0; i < kRegionCount && RegionTable[i].flags != 0; ++i) {
      table.push_back(RegionTable[i]);
    }
    return table;
  }
  // Flash bytes as the module's OS reads them (its own driver, independent of the program's).
  static Bytes Flash(std::uint32_t offset, std::uint32_t length) {
    Bytes bytes(length);
    EXPECT_TRUE(sim::CurrentOsFlash()->Read(offset, bytes.data(), length))
        << "OS flash read at " << offset;
    return bytes;
  }
  static void ProgramFlash(std::uint32_t offset, const Bytes& bytes) {
    ASSERT_TRUE(sim::CurrentOsFlash()->Program(offset, bytes.data(),
                                               static_cast<std::uint32_t>(bytes.size())));
  }
  // Module path "\USB HD\name" and the host file behind it.
  static std::u16string ModulePath(const std::string& name) {
    return u"\\USB HD\\" + std::u16string(name.begin(), name.end());
  }
  std::filesystem::path HostPath(const std::string& name) {
    return Machine().FilesDirectory() / "USB HD" / name;
  }
  static Bytes ReadHostFile(const std::filesystem::path& file) {
    std::string text;
    EXPECT_TRUE(sim::ReadWholeFile(file, &text)) << file;
    return Bytes(text.begin(), text.end());
  }

  // Opens a bin file and writes it into the module.
  static FwlStatus Update(const std::u16string& path) {
    ImageInfo info{};
    FwlStatus status = FWLSetBinFile(path.c_str(), &info, nullptr, 1);
    if (status == FWL_OK) {
      status = FWLDoUpdate(nullptr, nullptr, nullptr);
    }
    (void)FWLCloseBinFile();
    return status;
  }
  static FwlStatus Backup(const std::u16string& path, DWORD kinds) {
    return FWLBackupToFile(path.c_str(), kinds, nullptr, nullptr, nullptr);
  }

  // Every file under a module folder, by path, with its contents.
  static std::map<std::u16string, Bytes> Files(const std::u16string& folder) {
    std::map<std::u16string, Bytes> files;
    CollectFiles(folder, &files);
    return files;
  }

  // The versions the module reports, as text.
  static std::string Versions() {
    VersionInfo loader{};
    VersionInfo image{};
    WCHAR loaderDate[kDateTextUnits] = {};
    WCHAR imageDate[kDateTextUnits] = {};
    // Read as the region scan reads the flash, with NAND error correction off: erased pages
    // behind a bootloader carry no valid code.
    const int ecc = FlashOps.SetEcc(0);
    ReadBootloaderVersion(&loader, loaderDate);
    (void)FlashOps.SetEcc(ecc);
    ReadImageVersion(&image, imageDate);
    std::string text;
    for (const VersionInfo& v : {loader, image}) {
      text += std::to_string(v.id) + "." + std::to_string(v.major) + "." +
              std::to_string(v.minorAndBuild) + " ";
    }
    for (const WCHAR* date : {loaderDate, imageDate}) {
      for (const WCHAR* c = date; *c != 0; ++c) {
        text += static_cast<char>(*c);
      }
      text += " ";
    }
    return text;
  }

 private:
  static void CollectFiles(const std::u16string& folder, std::map<std::u16string, Bytes>* files) {
    WIN32_FIND_DATAW found{};
    const std::u16string pattern = folder + u"\\*";
    HANDLE search = FindFirstFileW(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
      return;
    }
    do {
      const std::u16string name(found.cFileName);
      const std::u16string path = folder + u"\\" + name;
      if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        (*files)[path + u"\\"] = {};
        CollectFiles(path, files);
      } else {
        Bytes content;
        HANDLE file =
            CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
          BYTE buffer[4096];
          DWORD got = 0;
          while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0) {
            content.insert(content.end(), buffer, buffer + got);
          }
          (void)CloseHandle(file);
        }
        (*files)[path] = content;
      }
    } while (FindNextFileW(search, &found));
    (void)FindClose(search);
  }
};

// The same fixture over a table of modules.
class EveryModuleTest : public LibraryTest, public ::testing::WithParamInterface<ModuleCase> {
 protected:
  std::string Preset() const override { return GetParam().preset; }
  std::uint32_t NandChip() const override { return GetParam().nandChip; }
};

}  // namespace update_test
