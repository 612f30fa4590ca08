// A NAND rehearsal run as a technician runs it: blocks that fail their erase during an update
// make the program program the bad block table page over in place, `flashwick-module info`
// shows that page past the chip's partial-program limit, and with a disturb fault on it the
// next relocation fails plainly instead of writing back a table that names the wrong block.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <string>

#include "sim/base/files.h"
#include "sim/module/machine.h"
#include "tests/support/tool_module.h"

namespace {

using testing_support::ToolModule;

constexpr std::uint32_t kBlockBytes = 0x20000;
constexpr const char* kUpdate = R"(/u '\USB HD\IMAGES\os-update.bin')";

sim::Json ProgramCounts(const ToolModule& module) {
  int status = -1;
  const sim::Json info = module.ToolJson("info", "", &status);
  EXPECT_EQ(status, 0);
  return info["flash"]["programsSinceErase"];
}

void FailErase(const ToolModule& module, std::uint32_t block) {
  std::string output;
  ASSERT_EQ(module.Tool("fault add", "nand.erase-fail block=" + std::to_string(block), &output), 0)
      << output;
}

TEST(NandProgramCounts, TablePagePastTheLimitIsShownAndADisturbedOneIsNotWrittenBack) {
  const ToolModule module("pxa320");
  const sim::Json fresh = ProgramCounts(module);
  EXPECT_EQ(fresh["partialProgramLimit"], 4);
  EXPECT_EQ(fresh["tablePagePrograms"], 1);  // its program at the factory
  EXPECT_EQ(fresh["pagesPastLimit"], 0);

  // Four blocks of the OS image fail their erase: four relocations, four programs over the
  // table page.
  const std::uint32_t first = module.OsOffset() / kBlockBytes + 1;
  for (std::uint32_t block = first; block < first + 4; ++block) {
    FailErase(module, block);
  }
  std::string output;
  ASSERT_EQ(module.Program(kUpdate, &output), 0) << output;
  const sim::Json counts = ProgramCounts(module);
  EXPECT_EQ(counts["tablePagePrograms"], 5);
  EXPECT_GE(counts["pagesPastLimit"].get<int>(), 1);
  EXPECT_NE(counts["pagesPastLimitFirst"].dump().find(R"({"page":63,"programs":5})"),
            std::string::npos)
      << counts.dump();
  ASSERT_EQ(module.Tool("info", "", &output), 0) << output;
  EXPECT_NE(output.find("pagesPastLimit"), std::string::npos) << output;
  std::string log;
  ASSERT_TRUE(sim::ReadWholeFile(module.Directory() / "ram" / "debug.log", &log));
  EXPECT_NE(log.find("page 63 programmed 5 times since its erase; the chip allows 4"),
            std::string::npos);

  // The page now reads its first entry's logical block with its lowest 1 bit lost (another
  // block's number); a fifth block fails its erase.
  const int lowestBit = std::countr_zero(first);
  ASSERT_EQ(
      module.Tool("fault add",
                  "nand.disturb page=63 positions=" + std::to_string(4 * 8 + lowestBit), &output),
      0)
      << output;
  FailErase(module, first + 4);
  int status = -1;
  const sim::Json relocationsBefore = module.ToolJson("info", "", &status)["flash"]["relocations"];
  EXPECT_EQ(relocationsBefore.size(), 4u);
  EXPECT_EQ(module.Program(kUpdate, &output), 1) << output;
  const sim::Json after = module.ToolJson("info", "", &status)["flash"];
  EXPECT_EQ(after["tablePage"], "valid");
  EXPECT_EQ(after["relocations"], relocationsBefore);
  EXPECT_EQ(after["programsSinceErase"]["tablePagePrograms"], 5);
}

}  // namespace
