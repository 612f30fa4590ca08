// Flash faults during an update: NAND blocks that go bad during the erase and the writes, NOR
// erase and program failures with the status and the message the user sees, and a power cut
// after some flash operations.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "host/sample_content.h"
#include "sim/hw/nand_flash.h"
#include "sim/hw/nor_flash.h"
#include "sim/module/preset_content.h"
#include "tests/support/faults.h"
#include "tests/support/test_names.h"
#include "tests/support/test_pattern.h"
#include "tests/update_test_support.h"

namespace {

using sample_content::BinBuilder;
using testing_support::Pattern;
using update_test::Bytes;
using update_test::LibraryTest;
using update_test::ModuleCase;

constexpr std::uint32_t kImageStart = 0x80000;
constexpr std::uint32_t kImageBytes = 0x100000;  // eight 128 KiB blocks

// The relocations the on-flash table page lists: logical block -> replacement.
std::vector<std::pair<std::uint16_t, std::uint16_t>> OnFlashRelocations() {
  Bytes page(sim::kNandPageBytes);
  EXPECT_TRUE(sim::NandFlash::Current()->ReadRawPage(sim::kNandTablePage, page.data(), nullptr));
  auto half = [&](std::size_t at) {
    return static_cast<std::uint16_t>(page[at] | (page[at + 1] << 8));
  };
  std::vector<std::pair<std::uint16_t, std::uint16_t>> entries;
  EXPECT_EQ(half(0), sim::kNandTableMagic) << "no table on flash";
  for (std::uint32_t i = 0; i < sim::kNandTableMaxEntries && half(4 + 4 * i) != 0xFFFF; ++i) {
    entries.emplace_back(half(4 + 4 * i), half(6 + 4 * i));
  }
  return entries;
}

// ---------------------------------------------------------------------------------------------
// NAND: blocks that go bad under the update
// ---------------------------------------------------------------------------------------------
class NandBadBlocks : public LibraryTest, public ::testing::WithParamInterface<ModuleCase> {
 protected:
  std::string Preset() const override { return GetParam().preset; }
  std::uint32_t NandChip() const override { return GetParam().nandChip; }
};

TEST_P(NandBadBlocks, AreRelocatedWithTheDataIntactAndBothTablesAgree) {
  const Bytes image = Pattern(kImageBytes, 21);
  BinBuilder()
      .Header(kImageStart, kImageBytes)
      .Record(kImageStart, Bytes(image.begin(), image.begin() + kImageBytes / 2))
      .Record(kImageStart + kImageBytes / 2, Bytes(image.begin() + kImageBytes / 2, image.end()))
      .End()
      .WriteTo(HostPath("image.bin"));
  sim::NandFlash& nand = *sim::NandFlash::Current();
  const std::vector<std::uint16_t> before = nand.OsBlockMap();
  const std::uint32_t erasing = kImageStart / sim::kNandBlockBytes + 1;  // fails its erase
  const std::uint32_t writing = kImageStart / sim::kNandBlockBytes + 5;  // fails a program
  Machine().Faults().Add(faults::NandEraseFail{.block = before[erasing]});
  Machine().Faults().Add(
      faults::NandProgramFail{.page = before[writing] * sim::kNandPagesPerBlock + 10});

  ASSERT_EQ(Update(ModulePath("image.bin")), FWL_OK);

  const std::vector<std::uint16_t> after = nand.OsBlockMap();
  EXPECT_NE(after[erasing], before[erasing]);
  EXPECT_NE(after[writing], before[writing]);
  EXPECT_TRUE(Flash(kImageStart, kImageBytes) == image);
  // The table page on flash says what the shared table says.
  const auto relocations = OnFlashRelocations();
  for (std::uint32_t block : {erasing, writing}) {
    const auto entry = std::find_if(relocations.begin(), relocations.end(),
                                    [&](const auto& e) { return e.first == block; });
    ASSERT_NE(entry, relocations.end()) << "block " << block << " missing on flash";
    EXPECT_EQ(entry->second, after[block]);
  }
  // A new boot builds the shared table from the flash: the image is still where it was.
  Machine().Faults().Clear();
  PowerCycle();
  EXPECT_TRUE(sim::NandFlash::Current()->OsBlockMap() == after);
  EXPECT_TRUE(Flash(kImageStart, kImageBytes) == image);
}

// A program the chip reports as failed although the page holds all but one bit of it (it would
// read back corrected): the block moves all the same, with the pages written before it in the
// same block and the page itself, and nothing of the image is lost.
class NandCorrectableProgramFailure : public LibraryTest {
 protected:
  std::string Preset() const override { return "pxa320"; }
};

TEST_F(NandCorrectableProgramFailure, IsRelocatedWithEveryByteOfTheBlock) {
  const Bytes image = Pattern(kImageBytes, 22);
  BinBuilder()
      .Header(kImageStart, kImageBytes)
      .Record(kImageStart, image)
      .End()
      .WriteTo(HostPath("image.bin"));
  sim::NandFlash& nand = *sim::NandFlash::Current();
  const std::vector<std::uint16_t> before = nand.OsBlockMap();
  const std::uint32_t writing = kImageStart / sim::kNandBlockBytes + 3;
  const std::uint32_t failing = before[writing] * sim::kNandPagesPerBlock + 37;
  Machine().Faults().Add(faults::NandProgramFail{.page = failing, .leaves = "one-stuck-bit"});

  ASSERT_EQ(Update(ModulePath("image.bin")), FWL_OK);

  const std::vector<std::uint16_t> after = nand.OsBlockMap();
  EXPECT_NE(after[writing], before[writing]);
  EXPECT_TRUE(Flash(kImageStart, kImageBytes) == image);
  // The old page was left readable with one corrected bit: only the chip's report moved it.
  Bytes data(sim::kNandPageBytes);
  Bytes spare(sim::kNandSpareBytes);
  ASSERT_TRUE(nand.ReadRawPage(failing, data.data(), spare.data()));
  EXPECT_EQ(sim::NandEccDecode(data.data(), spare.data()), sim::NandEccResult::kCorrected);
  Machine().Faults().Clear();
  PowerCycle();
  EXPECT_TRUE(sim::NandFlash::Current()->OsBlockMap() == after);
  EXPECT_TRUE(Flash(kImageStart, kImageBytes) == image);
}

INSTANTIATE_TEST_SUITE_P(Modules, NandBadBlocks, ::testing::ValuesIn(update_test::kNandModules),
                         [](const ::testing::TestParamInfo<ModuleCase>& info) {
                           return update_test::ModuleCaseName(info.param);
                         });

// ---------------------------------------------------------------------------------------------
// NOR: erase and program failures
// ---------------------------------------------------------------------------------------------
struct NorFaultCase {
  const char* name;
  sim::Json item;
  FwlStatus status;
  const char* message;
};

class NorFaults : public LibraryTest, public ::testing::WithParamInterface<NorFaultCase> {
 protected:
  std::string Preset() const override { return "pxa270-32m"; }
  void Configure(sim::Json& config) override {
    const NorFaultCase& c = GetParam();
    config["faults"] = {{"seed", 1}, {"items", sim::Json::array({c.item})}};
  }
};

TEST_P(NorFaults, GiveTheirStatusAndTheUsersMessage) {
  const NorFaultCase& c = GetParam();
  const Bytes image = Pattern(kImageBytes, 22);
  BinBuilder()
      .Header(kImageStart, kImageBytes)
      .Record(kImageStart, image)
      .End()
      .WriteTo(HostPath("image.bin"));
  EXPECT_EQ(Update(ModulePath("image.bin")), c.status);
  // What the user sees: the update as the program runs it in batch mode.
  update_test::ResetProgramState();
  sim::Detach();
  std::string output;
  const int code = testing_support::RunCommand(
      testing_support::Executable("flashwick") + " --ui console --module '" +
          ModuleDirectory().string() + R"(' /u '\USB HD\image.bin')",
      &output);
  std::string error;
  ASSERT_TRUE(sim::Attach(ModuleDirectory(), sim::AttachOptions{}, &error)) << error;
  EXPECT_EQ(code, 0) << output;
  EXPECT_NE(output.find(c.message), std::string::npos) << output;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NorFaults,
    ::testing::Values(NorFaultCase{"EraseFails",
                                   faults::NorEraseFail{.block = kImageStart + 0x40000},
                                   FWL_ERR_ERASE_FLASH, "Error erasing Flash!"},
                      NorFaultCase{"ProgramFails",
                                   faults::NorProgramFail{.offset = kImageStart + 0x30002},
                                   FWL_ERR_WRITE_FLASH, "Error writing to Flash!"}),
    testing_support::CaseName());

// ---------------------------------------------------------------------------------------------
// Power cut
// ---------------------------------------------------------------------------------------------
enum class PowerCutTarget { kOsImage, kBootloader };

struct PowerCutCase {
  ModuleCase module;
  std::uint32_t after;  // flash operations that complete
  PowerCutTarget target = PowerCutTarget::kOsImage;
};

class PowerCut : public LibraryTest, public ::testing::WithParamInterface<PowerCutCase> {
 protected:
  std::string Preset() const override { return GetParam().module.preset; }
  std::uint32_t NandChip() const override { return GetParam().module.nandChip; }
};

TEST_P(PowerCut, LeavesAModuleThatStillStarts) {
  // A new OS image over the whole OS image region, or a new bootloader over the boot blocks
  // (on NAND block 0 also keeps the bad block table, and the boot area is written after the
  // other records), cut short.
  const bool bootloader = GetParam().target == PowerCutTarget::kBootloader;
  const FlashRegion os = Region(REGION_OS_IMAGE);
  const FlashRegion loader = Region(REGION_BOOTLOADER);
  const FlashRegion registry = Region(REGION_REGISTRY);
  const FlashRegion kept = bootloader ? os : loader;
  const std::uint32_t start = bootloader ? loader.start : os.start;
  const std::uint32_t length = bootloader ? 0x23000 : 0x180000;
  const Bytes old = Flash(start, length);
  const Bytes image = bootloader
                          ? sim::BuildRomImage(0x80000000, length, 0x01C9A0B0C0D0E0F0ull, 24)
                          : sim::BuildRomImage(0x80000000, length, 0x01C9A0B0C0D0E0F0ull, 23);
  BinBuilder()
      .Header(start, bootloader ? loader.length : os.length)
      .Record(start, image)
      .End()
      .WriteTo(HostPath("update.bin"));
  Machine().Faults().Add(faults::PowerCut{.after = GetParam().after});
  (void)Update(ModulePath("update.bin"));
  // The module starts again: the bad block table and the region scan load (PowerCycle checks
  // FWLInit), the regions outside the image are where they were. A bootloader cut short is
  // not there for the next start: the region scan finds none, unless the cut came before
  // anything reached the boot blocks and left the old one whole.
  PowerCycle();
  EXPECT_EQ(Region(kept.flags & REGION_ALL_TYPES).flags & REGION_NOT_PRESENT, 0u);
  EXPECT_EQ(Region(kept.flags & REGION_ALL_TYPES).used, kept.used);
  EXPECT_EQ(Region(REGION_REGISTRY).start, registry.start);
  EXPECT_EQ(Region(REGION_REGISTRY).used, registry.used);
  if (bootloader && (Region(REGION_BOOTLOADER).flags & REGION_NOT_PRESENT) == 0) {
    EXPECT_TRUE(Flash(start, length) == old) << "a bootloader found that is neither old nor new";
  }
  if (sim::NandFlash::Current() != nullptr) {
    EXPECT_TRUE(OnFlashRelocations().empty());
  }
  // What was not written is simply not there: every byte is the old one, erased, or the new;
  // only the one NAND page whose program the cut interrupted fails its error correction.
  std::size_t written = 0;
  int unreadable = 0;
  constexpr std::uint32_t kPage = 2048;
  for (std::uint32_t at = 0; at < image.size(); at += kPage) {
    Bytes now(kPage);
    if (!sim::CurrentOsFlash()->Read(start + at, now.data(), kPage)) {
      ++unreadable;
      continue;
    }
    for (std::uint32_t i = 0; i < kPage; ++i) {
      const std::size_t k = at + i;
      ASSERT_TRUE(now[i] == old[k] || now[i] == 0xFF || now[i] == image[k]) << "byte " << k;
      written += now[i] == image[k] && image[k] != old[k] ? 1 : 0;
    }
  }
  EXPECT_LE(unreadable, sim::NandFlash::Current() != nullptr ? 1 : 0);
  EXPECT_LT(written, image.size() / 2) << "the cut came too late to show anything";
  // With the power back the same file updates the module completely.
  ASSERT_EQ(Update(ModulePath("update.bin")), FWL_OK);
  ASSERT_EQ(FWLScanRegions(REGION_ALL_TYPES), FWL_OK);
  const DWORD kind = bootloader ? REGION_BOOTLOADER : REGION_OS_IMAGE;
  EXPECT_EQ(Region(kind).flags & REGION_NOT_PRESENT, 0u);
  EXPECT_TRUE(Flash(start, length) == image);
}

INSTANTIATE_TEST_SUITE_P(
    Modules, PowerCut,
    ::testing::Values(PowerCutCase{{"pxa270-32m", 0}, 3}, PowerCutCase{{"pxa270-32m", 0}, 500},
                      PowerCutCase{{"pxa320", 0}, 3}, PowerCutCase{{"pxa320", 0}, 400},
                      PowerCutCase{{"pxa310", 0}, 200},
                      // A new bootloader on NAND: block 0's erase, its table page, block 1's
                      // erase, then the boot area pages. Cut during each of the first four
                      // operations (during the table page after 1), and after 27 boot area
                      // pages of 127.
                      PowerCutCase{{"pxa320", 0}, 0, PowerCutTarget::kBootloader},
                      PowerCutCase{{"pxa320", 0}, 1, PowerCutTarget::kBootloader},
                      PowerCutCase{{"pxa320", 0}, 2, PowerCutTarget::kBootloader},
                      PowerCutCase{{"pxa320", 0}, 3, PowerCutTarget::kBootloader},
                      PowerCutCase{{"pxa320", 0}, 30, PowerCutTarget::kBootloader}),
    [](const ::testing::TestParamInfo<PowerCutCase>& info) {
      return update_test::ModuleCaseName(info.param.module) + "_After" +
             std::to_string(info.param.after) +
             (info.param.target == PowerCutTarget::kBootloader ? "_Bootloader" : "");
    });

}  // namespace
