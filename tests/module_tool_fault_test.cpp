// flashwick-module fault add|list|clear as a user runs it: an item added by kind and fields fires
// during an update run by flashwick, the console says so, and the plan shows how often it fired;
// items that the module would refuse are refused before module.json changes.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "sim/base/files.h"
#include "sim/base/hex.h"
#include "sim/module/fault_plan.h"
#include "sim/module/machine.h"
#include "tests/support/module_fixture.h"
#include "tests/support/tool_module.h"

namespace {

namespace fs = std::filesystem;
using sim::Json;
using testing_support::Executable;
using testing_support::RunCommand;
using testing_support::ToolModule;

// The plan as list --json shows it.
Json ListJson(const ToolModule& module) {
  int status = 0;
  Json plan = module.ToolJson("fault list", "", &status);
  EXPECT_EQ(status, 0);
  return plan;
}

Json InfoJson(const ToolModule& module) {
  int status = 0;
  Json info = module.ToolJson("info", "", &status);
  EXPECT_EQ(status, 0);
  return info;
}

// The items of the module's fault plan.
Json Items(const ToolModule& module) {
  const Json config = Json::parse(module.Config());
  return config.contains("faults") ? config["faults"].value("items", Json::array()) : Json::array();
}

// The whole road: add an erase failure where the OS image goes, run the update, read the fault's
// line on stderr, and find it counted by list and info, also after the module's RAM (and its
// debug log) went with a reset; clear takes the item and its record.
TEST(ModuleToolFault, AddedItemFiresDuringTheUpdateAndListShowsItFired) {
  const ToolModule module("pxa270-32m");
  const std::string block = sim::Hex(module.OsOffset(), 8);
  std::string output;
  ASSERT_EQ(module.Tool("fault add", "nor.erase-fail block=" + block + " count=1", &output), 0)
      << output;
  EXPECT_NE(output.find("added fault item 0: nor.erase-fail"), std::string::npos) << output;
  ASSERT_EQ(Items(module).size(), 1u);
  EXPECT_EQ(Items(module)[0]["block"], module.OsOffset());  // hex given, number kept
  EXPECT_EQ(Items(module)[0]["count"], 1);

  Json plan = ListJson(module);
  ASSERT_EQ(plan["items"].size(), 1u);
  EXPECT_EQ(plan["items"][0]["fired"], 0);

  module.Program(R"(/u '\USB HD\IMAGES\os-update.bin' /r)", &output);
  EXPECT_NE(output.find("flashwick: fault nor.erase-fail (item 0) fired: "), std::string::npos)
      << output;
  ASSERT_EQ(module.Tool("reset", "", &output), 0) << output;

  plan = ListJson(module);
  ASSERT_EQ(plan["items"].size(), 1u);
  EXPECT_EQ(plan["items"][0]["kind"], "nor.erase-fail");
  EXPECT_EQ(plan["items"][0]["fired"], 1);
  ASSERT_EQ(module.Tool("fault list", "", &output), 0) << output;
  EXPECT_NE(output.find("nor.erase-fail"), std::string::npos) << output;
  const Json info = InfoJson(module);
  EXPECT_EQ(info["faults"]["items"][0]["fired"], 1) << info["faults"].dump();
  ASSERT_EQ(module.Tool("info", "", &output), 0) << output;
  EXPECT_NE(output.find("fault plan: 1 item"), std::string::npos) << output;

  ASSERT_EQ(module.Tool("fault clear", "", &output), 0) << output;
  EXPECT_NE(output.find("cleared 1 fault item"), std::string::npos) << output;
  EXPECT_TRUE(Items(module).empty());
  EXPECT_FALSE(fs::exists(module.Directory() / sim::FaultPlan::kFiredRecordFile));
  // Without the fault the same update completes.
  EXPECT_EQ(module.Program(R"(/u '\USB HD\IMAGES\os-update.bin' /r)", &output), 0) << output;
}

// Numbers in decimal or 0x hex, lists of bits, -1 for counts; clearing one item moves the later
// ones down with their record.
TEST(ModuleToolFault, ValuesAreTypedByTheirFieldAndClearOneKeepsTheRest) {
  const ToolModule module("pxa320");
  std::string output;
  ASSERT_EQ(module.Tool("fault add", "nand.bit-flip page=0x40 positions=1,0x10 count=-1", &output),
            0)
      << output;
  int status = 0;
  const Json added = module.ToolJson("fault add", "nand.no-request request=data skip=3", &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(added["index"], 1);
  EXPECT_EQ(added["item"]["kind"], "nand.no-request");
  EXPECT_EQ(Items(module), Json::parse(R"([
      {"kind": "nand.bit-flip", "page": 64, "positions": [1, 16], "count": -1},
      {"kind": "nand.no-request", "request": "data", "skip": 3}])"));

  ASSERT_EQ(module.Tool("fault clear", "0", &output), 0) << output;
  EXPECT_NE(output.find("cleared fault item 0: nand.bit-flip"), std::string::npos) << output;
  const Json plan = ListJson(module);
  ASSERT_EQ(plan["items"].size(), 1u);
  EXPECT_EQ(plan["items"][0]["index"], 0);
  EXPECT_EQ(plan["items"][0]["kind"], "nand.no-request");
  EXPECT_NE(module.Tool("fault clear", "1", &output), 0);
  EXPECT_NE(output.find("no fault item 1 (the plan has 1)"), std::string::npos) << output;

  // The module's program, writing its own fields meanwhile, keeps the plan the tool wrote.
  std::string error;
  ASSERT_TRUE(sim::Attach(module.Directory(), sim::AttachOptions{}, &error)) << error;
  ASSERT_EQ(module.Tool("fault add", "power-cut after=7", &output), 0) << output;
  EXPECT_TRUE(sim::CurrentMachine().SaveConfig(&error)) << error;
  sim::Detach();
  ASSERT_EQ(Items(module).size(), 2u);
  EXPECT_EQ(Items(module)[1]["kind"], "power-cut");
}

struct RefusedAdd {
  const char* name;
  const char* arguments;  // after "fault add DIR"
  std::vector<const char*> shows;
};

void PrintTo(const RefusedAdd& c, std::ostream* out) { *out << c.name; }

class RefusedAdds : public ::testing::TestWithParam<RefusedAdd> {};

TEST_P(RefusedAdds, NamesTheReasonAndLeavesModuleJsonAsItWas) {
  const ToolModule module("pxa320");
  const std::string before = module.Config();
  std::string output;
  EXPECT_EQ(module.Tool("fault add", GetParam().arguments, &output), 2) << output;
  for (const char* shown : GetParam().shows) {
    EXPECT_NE(output.find(shown), std::string::npos) << shown << " in:\n" << output;
  }
  EXPECT_EQ(module.Config(), before);
  EXPECT_FALSE(fs::exists(module.Directory() / sim::FaultPlan::kFiredRecordFile));
}

INSTANTIATE_TEST_SUITE_P(
    Table, RefusedAdds,
    ::testing::Values(
        RefusedAdd{"UnknownKind",
                   "nand.badblock block=5",
                   {"unknown kind \"nand.badblock\"", "nand.bad-block ",
                    "a bad block: every erase and program of it fails", "power-cut "}},
        RefusedAdd{"NoKind", "block=5", {"KIND is missing", "nand.program-fail "}},
        RefusedAdd{"UnknownField",
                   "nand.program-fail pages=5",
                   {"faults.items[0].pages", "\"pages\" is not a field of nand.program-fail",
                    "fields of nand.program-fail:", "page "}},
        RefusedAdd{"MissingField",
                   "nand.program-fail count=2",
                   {"faults.items[0].page", "\"page\" is missing"}},
        RefusedAdd{"NotANumber", "nand.program-fail page=first", {"faults.items[0].page", "first"}},
        RefusedAdd{"OutOfRange", "nand.id id=0x10000", {"faults.items[0].id", "65535"}},
        RefusedAdd{"BeyondTheChip",
                   "nand.bad-block block=100000",
                   {"faults.items[0].block", "is not below"}},
        RefusedAdd{"BadChoice", "nand.no-request request=status", {"faults.items[0].request"}},
        RefusedAdd{"NotFieldValue", "nand.program-fail page", {"\"page\" is not field=value"}},
        RefusedAdd{"FieldTwice", "nand.program-fail page=1 page=2", {"given twice"}}),
    [](const ::testing::TestParamInfo<RefusedAdd>& info) { return std::string(info.param.name); });

// The kinds a user can add are named with a line each, from the components' declarations.
TEST(ModuleToolFault, HelpNamesEveryKindWithItsLine) {
  std::string overview;
  ASSERT_EQ(RunCommand(Executable("flashwick-module") + " --help", &overview), 0) << overview;
  std::string fault;
  ASSERT_EQ(RunCommand(Executable("flashwick-module") + " fault --help", &fault), 0) << fault;
  ASSERT_FALSE(sim::FaultPlan::Kinds().empty());
  for (const sim::FaultKind* kind : sim::FaultPlan::Kinds()) {
    SCOPED_TRACE(kind->name);
    EXPECT_FALSE(kind->help.empty());
    for (const std::string* text : {&overview, &fault}) {
      const std::size_t at = text->find("\n  " + std::string(kind->name) + " ");
      ASSERT_NE(at, std::string::npos) << *text;
      const std::size_t end = text->find('\n', at + 1);
      EXPECT_NE(text->substr(at, end - at).find(kind->help), std::string::npos) << *text;
    }
  }
  EXPECT_NE(fault.find("the page whose program fails"), std::string::npos) << fault;
}

}  // namespace
