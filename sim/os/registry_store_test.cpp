// The persistent registry lives in the flash registry region: a flush writes it there, a start
// loads it from there, and what a cut, an erase or a clear leaves decides what the next start
// loads.
#include "sim/os/registry_store.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/kernel.h"
#include "platform/registry.h"
#include "sim/base/bytes.h"
#include "sim/base/files.h"
#include "sim/os/os_flash.h"
#include "sim/os/registry.h"
#include "tests/support/faults.h"
#include "tests/support/module_fixture.h"

namespace {

constexpr const char* kKey = "HKLM\\Software\\Saved";

class RegistryStoreTest : public testing_support::ModuleTest,
                          public ::testing::WithParamInterface<const char*> {
 protected:
  std::string Preset() const override { return GetParam(); }

  // Sets the test's value in the live registry and flushes it as a program does.
  static LONG SaveValue(std::uint32_t value) {
    EXPECT_TRUE(sim::RegistrySetDword(kKey, "Value", value));
    return RegFlushKey(HKEY_LOCAL_MACHINE);
  }
  // The value after the module starts again (0 when the key is not there).
  std::uint32_t ValueAfterReset() {
    sim::Detach();
    std::string error;
    EXPECT_TRUE(sim::ResetModule(ModuleDirectory(), &error)) << error;
    EXPECT_TRUE(sim::Attach(ModuleDirectory(), sim::AttachOptions{}, &error)) << error;
    std::uint32_t value = 0;
    return sim::RegistryGetDword(kKey, "Value", &value) ? value : 0;
  }
  static sim::RegistryArea Area() { return sim::RegistryAreaOf(sim::CurrentMachine().Config()); }
  static void EraseHalf(std::uint32_t offset) {
    sim::OsFlash* flash = sim::CurrentOsFlash();
    const sim::ModuleFlashLock lock;
    for (std::uint32_t at = offset; at < offset + Area().half; at += flash->BlockSize(at)) {
      ASSERT_TRUE(flash->EraseBlock(at));
    }
  }
  static std::vector<std::uint8_t> Read(std::uint32_t offset, std::uint32_t length) {
    std::vector<std::uint8_t> bytes(length);
    const sim::ModuleFlashLock lock;
    EXPECT_TRUE(sim::CurrentOsFlash()->Read(offset, bytes.data(), length));
    return bytes;
  }
};

TEST_P(RegistryStoreTest, FlushWritesBothHalvesWithTheMarkerAndLengthTheScanReads) {
  ASSERT_EQ(SaveValue(0x1234), ERROR_SUCCESS);
  std::string view;
  ASSERT_TRUE(sim::ReadWholeFile(ModuleDirectory() / "registry.reg", &view));
  EXPECT_NE(view.find("\"Value\"=dword:00001234"), std::string::npos) << "registry.reg shows it";
  const std::string copy = sim::StoredRegistryBytes(view);
  for (const std::uint32_t half : {Area().start, Area().start + Area().half}) {
    const std::vector<std::uint8_t> bytes = Read(half, static_cast<std::uint32_t>(copy.size()));
    EXPECT_EQ(sim::Get32(bytes.data()), 0x01234567u);
    EXPECT_EQ(sim::Get32(bytes.data() + 4) + 8, copy.size());
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), copy);
  }
  EXPECT_EQ(ValueAfterReset(), 0x1234u);
}

TEST_P(RegistryStoreTest, UnsavedChangesAndAnErasedRegionGiveWhatTheFlashHolds) {
  ASSERT_EQ(SaveValue(7), ERROR_SUCCESS);
  ASSERT_TRUE(sim::RegistrySetDword(kKey, "Value", 8));  // not flushed
  EXPECT_EQ(ValueAfterReset(), 7u);

  EraseHalf(Area().start);
  EraseHalf(Area().start + Area().half);
  EXPECT_EQ(ValueAfterReset(), 0u) << "an erased region gives the image's registry";
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;
  EXPECT_TRUE(sim::RegistryGetValue("HKLM\\Ident", "Name", &type, &data))
      << "the image's registry is there";
  EXPECT_FALSE(std::filesystem::exists(ModuleDirectory() / "registry.reg"))
      << "no view of a registry the flash does not hold";
}

// A save cut while the first half was rewritten leaves the new copy whole in the second half; a
// copy whose bytes no longer match its CRC is not loaded.
TEST_P(RegistryStoreTest, BrokenFirstHalfFallsBackToTheSecond) {
  ASSERT_EQ(SaveValue(1), ERROR_SUCCESS);
  ASSERT_EQ(SaveValue(2), ERROR_SUCCESS);
  EraseHalf(Area().start);
  EXPECT_EQ(ValueAfterReset(), 2u);

  // A first half whose marker and length are there but whose text is not what was saved.
  ASSERT_EQ(SaveValue(3), ERROR_SUCCESS);
  std::vector<std::uint8_t> first = Read(Area().start, 64);
  first[40] ^= 0x01;
  EraseHalf(Area().start);
  {
    const sim::ModuleFlashLock lock;
    ASSERT_TRUE(sim::CurrentOsFlash()->Program(Area().start, first.data(), 64));
  }
  EXPECT_EQ(ValueAfterReset(), 3u);
}

TEST_P(RegistryStoreTest, ClearGivesTheImagesRegistryAndDiscardsTheStoredOne) {
  ASSERT_EQ(SaveValue(5), ERROR_SUCCESS);
  ASSERT_TRUE(KernelIoControl(0x01012010, nullptr, 0, nullptr, 0, nullptr));
  EXPECT_EQ(ValueAfterReset(), 0u);
  EXPECT_EQ(sim::Get32(Read(Area().start, 4).data()), 0xFFFFFFFFu) << "the stored copy is gone";
  EXPECT_EQ(ValueAfterReset(), 0u) << "and stays gone";
}

// A registry that does not fit a half is refused and the stored one kept.
TEST_P(RegistryStoreTest, TooLargeIsRefusedKeepingTheStoredCopy) {
  ASSERT_EQ(SaveValue(9), ERROR_SUCCESS);
  const std::vector<std::uint8_t> big(Area().half, 0x5A);
  ASSERT_TRUE(sim::RegistrySetValue(kKey, "Big", REG_BINARY, big));
  EXPECT_EQ(RegFlushKey(HKEY_LOCAL_MACHINE), ERROR_WRITE_FAULT);
  EXPECT_EQ(ValueAfterReset(), 9u);
}

INSTANTIATE_TEST_SUITE_P(Presets, RegistryStoreTest, ::testing::Values("pxa320", "pxa270-64m"));

}  // namespace
