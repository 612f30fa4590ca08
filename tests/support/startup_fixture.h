// Shared by the library's start-up tests: a fixture that starts every case as a new process
// on a fresh module, and helpers that change the module's flash through its own OS driver before
// the program looks at it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "flash/flash_ops.h"
#include "flash/kernel_mode.h"
#include "flash/nand_driver.h"
#include "library/library_internal.h"
#include "sim/os/os_flash.h"
#include "tests/support/module_fixture.h"
#include "tests/support/test_names.h"

namespace startup_test {

// One preset, with a NAND chip other than the preset's own where one is given.
struct ModuleCase {
  const char* preset;
  std::uint32_t nandChip;
};

inline const ModuleCase kEveryModule[] = {
    {"pxa270-32m", 0},  {"pxa270-64m", 0},  {"pxa320", 0},      {"pxa300", 0},      {"pxa310", 0},
    {"pxa320", 0xD3EC}, {"pxa320", 0xDAEC}, {"pxa320", 0xDCEC}, {"pxa320", 0xDCAD},
};

inline std::string ModuleCaseName(const ModuleCase& module) {
  return testing_support::ModuleName(module.preset, module.nandChip);
}

// Forgets every program-side global, as a new process on the module would start.
inline void ResetProgramState() {
  ResetLibraryStateForTesting();
  FlashResetForTesting();
  NandResetForTesting();
  ResetKernelModeStateForTesting();
}

// A fresh module (Preset(), NandChip()) and a program that has not started yet.
class StartupTest : public testing_support::ModuleTest {
 protected:
  void SetUp() override {
    testing_support::ModuleTest::SetUp();
    ResetProgramState();
  }
  void TearDown() override {
    ResetProgramState();
    testing_support::ModuleTest::TearDown();
  }
  // A new process on the same module.
  void RestartProgram() {
    Reattach();
    ResetProgramState();
  }
};

inline bool AllErased(const std::uint8_t* bytes, std::size_t length) {
  return std::all_of(bytes, bytes + length, [](std::uint8_t b) { return b == 0xFF; });
}

// Changes [offset, offset + length) of the module's flash through the OS driver: every block the
// range touches is read, changed by change(blockBytes, blockStart), erased and programmed back
// page by page (erased pages are left erased).
template <typename Change>
void RewriteFlash(std::uint32_t offset, std::uint32_t length, Change change) {
  sim::OsFlash* flash = sim::CurrentOsFlash();
  ASSERT_NE(flash, nullptr);
  constexpr std::uint32_t kPage = 2048;
  std::uint32_t block = offset;
  while (block < offset + length) {
    const std::uint32_t size = flash->BlockSize(block);
    ASSERT_NE(size, 0u) << "no block at " << block;
    const std::uint32_t start = block - block % size;
    std::vector<std::uint8_t> bytes(size);
    ASSERT_TRUE(flash->Read(start, bytes.data(), size));
    change(bytes, start);
    ASSERT_TRUE(flash->EraseBlock(start));
    for (std::uint32_t page = 0; page < size; page += kPage) {
      if (!AllErased(bytes.data() + page, kPage)) {
        ASSERT_TRUE(flash->Program(start + page, bytes.data() + page, kPage));
      }
    }
    block = start + size;
  }
}

inline void WriteFlash(std::uint32_t offset, const std::vector<std::uint8_t>& data) {
  RewriteFlash(offset, static_cast<std::uint32_t>(data.size()),
               [&](std::vector<std::uint8_t>& bytes, std::uint32_t start) {
                 for (std::size_t i = 0; i < data.size(); ++i) {
                   const std::uint64_t at = std::uint64_t{offset} + i;
                   if (at >= start && at < start + bytes.size()) {
                     bytes[at - start] = data[i];
                   }
                 }
               });
}

inline void EraseFlash(std::uint32_t offset, std::uint32_t length) {
  WriteFlash(offset, std::vector<std::uint8_t>(length, 0xFF));
}

inline void PutWord(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
}

// Bytes that never hold an erased (0xFFFFFFFF) word.
inline std::vector<std::uint8_t> Content(std::size_t length, std::uint8_t seed) {
  std::vector<std::uint8_t> bytes(length);
  for (std::size_t i = 0; i < length; ++i) {
    bytes[i] = static_cast<std::uint8_t>((i * 7 + seed) % 251);
  }
  return bytes;
}

}  // namespace startup_test
