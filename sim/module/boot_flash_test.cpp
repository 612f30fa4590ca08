// A start of the module boots what its flash holds: the bootloader, the OS image and its version,
// decided once per start and kept until the next one.
#include "sim/module/boot_flash.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/kernel.h"
#include "sim/hw/cpu.h"
#include "sim/module/preset_content.h"
#include "sim/os/os_flash.h"
#include "tests/support/module_fixture.h"

namespace {

constexpr DWORD kIoctlImageVersion = 0x0101200C;

// Erases every block that [start, end) touches, as the OS driver would.
void EraseRange(std::uint32_t start, std::uint32_t end) {
  sim::OsFlash* flash = sim::CurrentOsFlash();
  ASSERT_NE(flash, nullptr);
  const sim::ModuleFlashLock lock;
  std::uint32_t at = start - start % flash->BlockSize(start);
  while (at < end) {
    ASSERT_TRUE(flash->EraseBlock(at));
    at += flash->BlockSize(at);
  }
}

// Rewrites bytes through whole blocks: read, patch, erase, program.
void Rewrite(std::uint32_t offset, const std::vector<std::uint8_t>& bytes) {
  sim::OsFlash* flash = sim::CurrentOsFlash();
  ASSERT_NE(flash, nullptr);
  const sim::ModuleFlashLock lock;
  const std::uint32_t size = flash->BlockSize(offset);
  const std::uint32_t start = offset - offset % size;
  ASSERT_LE(offset + bytes.size(), start + size);
  std::vector<std::uint8_t> block(size);
  ASSERT_TRUE(flash->Read(start, block.data(), size));
  std::memcpy(block.data() + (offset - start), bytes.data(), bytes.size());
  ASSERT_TRUE(flash->EraseBlock(start));
  ASSERT_TRUE(flash->Program(start, block.data(), size));
}

std::uint32_t Layout(const char* field) {
  return static_cast<std::uint32_t>(sim::CurrentMachine().Config()["layout"][field].get<long>());
}

struct BootCase {
  const char* name;
  const char* preset;
  std::function<void()> damage;  // done to the running module's flash
  sim::BootOutcome outcome;
  const char* reasonPart;
};
void PrintTo(const BootCase& c, std::ostream* out) { *out << c.name; }

class BootFlashTest : public testing_support::ModuleTest,
                      public ::testing::WithParamInterface<BootCase> {
 protected:
  std::string Preset() const override { return GetParam().preset; }
};

TEST_P(BootFlashTest, NextStartFollowsTheFlash) {
  const BootCase& c = GetParam();
  // The running module is not touched by what the flash now holds until it starts again.
  ASSERT_TRUE(Machine().OsRunning());
  c.damage();
  EXPECT_TRUE(Machine().OsRunning());
  const sim::BootLook look = sim::LookAtAttachedBootFlash(Machine());
  EXPECT_EQ(look.outcome, c.outcome) << look.reason;
  EXPECT_NE(look.reason.find(c.reasonPart), std::string::npos) << look.reason;

  // The same decision for the directory, without starting it, and at the next start.
  sim::Detach();
  std::string error;
  ASSERT_TRUE(sim::ResetModule(ModuleDirectory(), &error)) << error;
  sim::BootLook fromDirectory;
  ASSERT_TRUE(sim::LookAtBootFlash(ModuleDirectory(), &fromDirectory, &error)) << error;
  EXPECT_EQ(fromDirectory.outcome, c.outcome);
  EXPECT_FALSE(std::filesystem::exists(ModuleDirectory() / "ram" / "booted"));
  ASSERT_TRUE(sim::Attach(ModuleDirectory(), sim::AttachOptions{}, &error)) << error;
  EXPECT_EQ(Machine().Started().outcome, c.outcome);
  EXPECT_EQ(Machine().OsRunning(), c.outcome == sim::BootOutcome::kOs);
  // A second process on the started module sees the same start.
  Reattach();
  EXPECT_EQ(Machine().Started().outcome, c.outcome);
  EXPECT_EQ(Machine().Started().reason, look.reason);
}

INSTANTIATE_TEST_SUITE_P(
    Flash, BootFlashTest,
    ::testing::Values(
        BootCase{"AsMade", "pxa320", [] {}, sim::BootOutcome::kOs, "OS image of"},
        BootCase{"OsImageErased", "pxa320",
                 [] { EraseRange(Layout("osOffset"), Layout("osOffset") + 1); },
                 sim::BootOutcome::kBootloader, "no OS image at flash offset 0x00080000"},
        // An update cut short: the image's start is there, its header near the end is not.
        BootCase{"OsImageHalfWritten", "pxa270-32m",
                 [] {
                   const std::uint32_t end = Layout("osOffset") + Layout("osLength");
                   EraseRange(end - 0x1000, end);
                 },
                 sim::BootOutcome::kBootloader, "no OS image"},
        BootCase{"BootloaderErased", "pxa320", [] { EraseRange(0, 0x40000); },
                 sim::BootOutcome::kNoSignOfLife, "no bootloader image"},
        BootCase{"BootloaderBehindErasedStartErased", "pxa270-64m",
                 [] { EraseRange(0x8000, 0x8001); }, sim::BootOutcome::kNoSignOfLife,
                 "no bootloader image"},
        // Both regions gone: no sign of life decides before the OS is looked for.
        BootCase{"Everything", "pxa270-32m", [] { EraseRange(0, 0x100000); },
                 sim::BootOutcome::kNoSignOfLife, "no bootloader image"}),
    [](const ::testing::TestParamInfo<BootCase>& info) { return info.param.name; });

// The decision over a flash held in memory: where the boot chain looks, and what it wants there.
TEST(BootFlashDecision, LooksWhereTheBootChainLooks) {
  struct Row {
    const char* name;
    std::uint32_t identity;
    std::uint32_t bootloaderAt;
    bool mark;               // "HMIT" at offset 4 of the bootloader
    std::uint32_t osLength;  // 0: no OS image
    sim::BootOutcome outcome;
  };
  const Row rows[] = {
      {"BothThere", 2, 0, false, 0x20000, sim::BootOutcome::kOs},
      {"BootloaderBehindErasedStart", 2, 0x8000, false, 0x20000, sim::BootOutcome::kOs},
      {"BootRomMarkMissing", sim::kProcessorPxa310, 0, false, 0x20000,
       sim::BootOutcome::kNoSignOfLife},
      {"BootRomMarkThere", sim::kProcessorPxa310, 0, true, 0x20000, sim::BootOutcome::kOs},
      // The mark is wanted only of an image at 0.
      {"BootRomMarkNotWantedAt8000", sim::kProcessorPxa310, 0x8000, false, 0x20000,
       sim::BootOutcome::kOs},
      {"NoOsImage", 2, 0, false, 0, sim::BootOutcome::kBootloader},
      // An OS image longer than its region (its header says so) does not start.
      {"OsImageBeyondItsRegion", 2, 0, false, 0x200000, sim::BootOutcome::kBootloader},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<std::uint8_t> flash(0x400000, 0xFF);
    std::vector<std::uint8_t> bootloader = sim::BuildRomImage(0x80000000, 0x20000, 1, 1);
    if (row.mark) {
      std::memcpy(bootloader.data() + 4, "HMIT", 4);
    }
    std::copy(bootloader.begin(), bootloader.end(), flash.begin() + row.bootloaderAt);
    if (row.osLength != 0) {
      const std::vector<std::uint8_t> os = sim::BuildRomImage(0x80000000, row.osLength, 1, 2);
      std::copy(os.begin(), os.end(), flash.begin() + 0x80000);
    }
    sim::BootLayout layout;
    layout.identity = row.identity;
    layout.osEnd = 0x100000;
    const sim::BootFlashReader read = [&](std::uint32_t offset, void* buffer,
                                          std::uint32_t length) {
      if (std::uint64_t{offset} + length > flash.size()) {
        return false;
      }
      std::memcpy(buffer, flash.data() + offset, length);
      return true;
    };
    const sim::BootLook look =
        sim::LookAtBootFlash(read, static_cast<std::uint32_t>(flash.size()), layout);
    EXPECT_EQ(look.outcome, row.outcome) << look.reason;
    if (look.outcome != sim::BootOutcome::kNoSignOfLife) {
      EXPECT_EQ(look.bootloaderOffset, row.bootloaderAt);
    }
    // Images without a record report no version.
    EXPECT_FALSE(look.versionKnown);
  }
}

class BootVersionTest : public testing_support::ModuleTest {};

std::array<std::uint32_t, 3> ImageVersion(BOOL* answered) {
  std::array<std::uint32_t, 3> record{0xAA, 0xAA, 0xAA};
  *answered = KernelIoControl(kIoctlImageVersion, nullptr, 0, record.data(), 0, nullptr);
  return record;
}

// The running image reports the record built into the flashed image, from the next start on.
TEST_F(BootVersionTest, ReportsTheFlashedImagesRecord) {
  BOOL answered = FALSE;
  EXPECT_EQ(ImageVersion(&answered), (std::array<std::uint32_t, 3>{1, 2, 31}));
  EXPECT_TRUE(answered);

  const std::uint32_t record = Layout("osOffset") + sim::kImageVersionRecordOffset;
  Rewrite(record,
          {0x67, 0x45, 0x23, 0x01, 1, 0, 0, 0, 3, 0, 0, 0, 7, 0, 2, 0, 0xEF, 0xCD, 0xAB, 0x89});
  EXPECT_EQ(ImageVersion(&answered), (std::array<std::uint32_t, 3>{1, 2, 31}))
      << "the image that runs has not changed";
  sim::Detach();
  std::string error;
  ASSERT_TRUE(sim::ResetModule(ModuleDirectory(), &error)) << error;
  ASSERT_TRUE(sim::Attach(ModuleDirectory(), sim::AttachOptions{}, &error)) << error;
  EXPECT_EQ(ImageVersion(&answered), (std::array<std::uint32_t, 3>{1, 3, 0x00020007}));

  // An image without a record does not answer the control.
  Rewrite(record, std::vector<std::uint8_t>(20, 0));
  sim::Detach();
  ASSERT_TRUE(sim::ResetModule(ModuleDirectory(), &error)) << error;
  ASSERT_TRUE(sim::Attach(ModuleDirectory(), sim::AttachOptions{}, &error)) << error;
  ASSERT_TRUE(Machine().OsRunning());
  EXPECT_EQ(ImageVersion(&answered), (std::array<std::uint32_t, 3>{0xAA, 0xAA, 0xAA}));
  EXPECT_FALSE(answered);
}

// Without its OS the module answers nothing of the OS: no registry loaded, no flash disk.
TEST_F(BootVersionTest, WithoutOsNothingOfTheOsStarts) {
  EraseRange(Layout("osOffset"), Layout("osOffset") + 1);
  sim::Detach();
  std::string error;
  ASSERT_TRUE(sim::ResetModule(ModuleDirectory(), &error)) << error;
  ASSERT_TRUE(sim::Attach(ModuleDirectory(), sim::AttachOptions{}, &error)) << error;
  EXPECT_FALSE(Machine().OsRunning());
  EXPECT_EQ(GetFileAttributesW(u"\\Flash Disk"), INVALID_FILE_ATTRIBUTES);
  const std::string text = sim::BootOutcomeText(Machine().Started());
  EXPECT_NE(text.find("back in its bootloader"), std::string::npos) << text;
}

}  // namespace
