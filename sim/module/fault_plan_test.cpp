// The fault plan: what the components declare is what module.json may hold (checked when the
// module is loaded, with messages that name the item and the field), and the one engine that
// counts every item and logs every firing.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/kernel.h"
#include "sim/hw/nand_flash.h"
#include "sim/os/os_flash.h"
#include "tests/support/faults.h"
#include "tests/support/module_fixture.h"

namespace {

// ---------------------------------------------------------------------------------------------
// Every declared kind through LoadModuleConfig
// ---------------------------------------------------------------------------------------------
// A value of another type than the field takes.
sim::Json WrongType(const sim::FaultField& field) {
  switch (field.type) {
    case sim::FaultFieldType::kText:
    case sim::FaultFieldType::kChoice:
      return 5;
    case sim::FaultFieldType::kBitList:
      return "0, 1";
    default:
      return "many";
  }
}

class FaultKindTable : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(sim::LoadModuleConfig(module_.Directory(), &original_, &error)) << error;
  }
  void TearDown() override {
    std::string error;
    EXPECT_TRUE(sim::WriteWholeFile(File(), original_.dump(2), &error)) << error;
  }
  [[nodiscard]] std::filesystem::path File() const { return module_.Directory() / "module.json"; }

  // Loads the module with a plan of a harmless first item and then item; the error, or "".
  std::string Load(const sim::Json& item) {
    sim::Json config = original_;
    config["faults"]["items"] = sim::Json::array({faults::Call{.name = "Sleep", .count = 0}, item});
    std::string error;
    EXPECT_TRUE(sim::WriteWholeFile(File(), config.dump(2), &error)) << error;
    sim::Json loaded;
    return sim::LoadModuleConfig(module_.Directory(), &loaded, &error) ? "" : error;
  }
  static void ExpectNames(const std::string& error, const std::string& kind,
                          const std::string& field) {
    EXPECT_NE(error.find("module.json: field \"faults.items[1]." + field + "\""), std::string::npos)
        << error;
    EXPECT_NE(error.find("fault item 1 (" + kind + ")"), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
  }

  testing_support::TemporaryModule module_{"pxa320"};
  sim::Json original_;
};

TEST_F(FaultKindTable, EveryKind_ValidItemLoads_MisspeltMissingWrongOrUnknownFieldRefused) {
  const std::vector<sim::Json> items = faults::OneItemOfEachKind();
  // The table holds every declared kind once: a new kind needs its row.
  std::vector<std::string> kinds;
  for (const sim::Json& item : items) {
    kinds.push_back(item["kind"].get<std::string>());
  }
  std::vector<std::string> declared;
  for (const sim::FaultKind* kind : sim::FaultPlan::Kinds()) {
    declared.emplace_back(kind->name);
  }
  std::sort(kinds.begin(), kinds.end());
  EXPECT_EQ(kinds, declared);

  for (const sim::Json& item : items) {
    const std::string kind = item["kind"].get<std::string>();
    SCOPED_TRACE(item.dump());
    const sim::FaultKind* declaration = sim::FaultPlan::FindKind(kind);
    ASSERT_NE(declaration, nullptr);
    EXPECT_EQ(Load(item), "");

    // A misspelt kind ("nand.badblock", "calls") is named, with the kinds there are.
    sim::Json misspelt = item;
    std::string wrongName = kind;
    if (const auto dash = wrongName.find('-'); dash != std::string::npos) {
      wrongName.erase(dash, 1);
    } else {
      wrongName += "s";
    }
    misspelt["kind"] = wrongName;
    const std::string unknown = Load(misspelt);
    ExpectNames(unknown, wrongName, "kind");
    EXPECT_NE(unknown.find("unknown kind"), std::string::npos) << unknown;
    EXPECT_NE(unknown.find("nand.bad-block, nand.bit-flip"), std::string::npos) << unknown;

    // A field the kind does not know.
    sim::Json extra = item;
    extra["colour"] = "red";
    ExpectNames(Load(extra), kind, "colour");

    for (const sim::FaultField& field : sim::FaultKindFields(*declaration)) {
      const std::string name(field.name);
      SCOPED_TRACE(name);
      if (field.required) {
        sim::Json missing = item;
        missing.erase(name);
        const std::string error = Load(missing);
        ExpectNames(error, kind, name);
        EXPECT_NE(error.find("is missing"), std::string::npos) << error;
      }
      sim::Json wrong = item;
      wrong[name] = WrongType(field);
      ExpectNames(Load(wrong), kind, name);
      if ((field.type == sim::FaultFieldType::kUnsigned ||
           field.type == sim::FaultFieldType::kCount) &&
          field.maximum < 0xFFFFFFFF) {
        sim::Json beyond = item;
        beyond[name] = field.maximum + 1;
        ExpectNames(Load(beyond), kind, name);
      }
    }
  }
}

TEST_F(FaultKindTable, BlocksAndPagesBeyondTheChip_Refused) {
  const sim::Json cases[] = {
      faults::NandBadBlock{.block = 1024},    faults::NandWornBlock{.block = 1024, .erases = 1},
      faults::NandEraseFail{.block = 1024},   faults::NandProgramFail{.page = 64 * 1024},
      faults::NandBitFlip{.page = 64 * 1024},
  };
  for (const sim::Json& item : cases) {
    SCOPED_TRACE(item.dump());
    const std::string field = item.contains("block") ? "block" : "page";
    const std::string error = Load(item);
    ExpectNames(error, item["kind"].get<std::string>(), field);
    EXPECT_NE(error.find("is not below"), std::string::npos) << error;
  }
}

TEST_F(FaultKindTable, PlanThatIsNotAnArrayOfObjects_Refused) {
  const std::pair<sim::Json, const char*> cases[] = {
      {sim::Json{{"items", "none"}}, "faults.items"},
      {sim::Json{{"items", sim::Json::array({5})}}, "faults.items[0]"},
      {sim::Json{{"items", sim::Json::array({sim::Json::object({{"block", 5}})})}},
       "faults.items[0].kind"},
      {sim::Json{{"items", sim::Json::array({sim::Json::object({{"kind", 512}})})}},
       "faults.items[0].kind"},
      {sim::Json{{"seed", "random"}}, "faults.seed"},
      {sim::Json("none"), "faults"},
  };
  for (const auto& [faultsValue, field] : cases) {
    SCOPED_TRACE(faultsValue.dump());
    sim::Json config = original_;
    config["faults"] = faultsValue;
    std::string error;
    ASSERT_TRUE(sim::WriteWholeFile(File(), config.dump(2), &error)) << error;
    sim::Json loaded;
    EXPECT_FALSE(sim::LoadModuleConfig(module_.Directory(), &loaded, &error));
    EXPECT_NE(error.find(std::string("field \"") + field + "\""), std::string::npos) << error;
  }
}

// ---------------------------------------------------------------------------------------------
// The engine's counting (a plan of its own, not bound to a module: nothing is logged)
// ---------------------------------------------------------------------------------------------
// Which of the next n events an item fires at.
std::string Firings(sim::FaultPlan& plan, const sim::FaultKind& kind, int events) {
  std::string pattern;
  for (int i = 0; i < events; ++i) {
    pattern += plan.Fire(
                   kind, [](const sim::FaultItem&) { return true; },
                   [] { return std::string("event"); }) != nullptr
                   ? 'F'
                   : '.';
  }
  return pattern;
}

TEST(FaultEngine, SkipThenCount_WithTheKindsDefaultCount) {
  struct Case {
    sim::Json item;
    const char* pattern;
  };
  const Case cases[] = {
      {faults::Call{.name = "A"}, "F......."},  // count 1 unless given
      {faults::Call{.name = "A", .skip = 2, .count = 3}, "..FFF..."},
      {faults::Call{.name = "A", .skip = 1, .count = -1}, ".FFFFFFF"},
      {faults::Call{.name = "A", .count = 0}, "........"},
      {faults::NorEraseFail{.block = 0}, "FFFFFFFF"},  // every time unless given
      {faults::NorEraseFail{.block = 0, .skip = 3, .count = 1}, "...F...."},
      {faults::NandBadBlock{.block = 1}, "FFFFFFFF"},  // a lasting condition
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.item.dump());
    sim::FaultPlan plan;
    plan.Add(c.item);
    const sim::FaultKind& kind = *sim::FaultPlan::FindKind(c.item["kind"].get<std::string>());
    EXPECT_EQ(Firings(plan, kind, 8), c.pattern);
    const std::size_t fired = std::count(c.pattern, c.pattern + 8, 'F');
    EXPECT_EQ(plan.State().at(0).fired, fired);
  }
}

TEST(FaultEngine, OneEventSeenByTwoPartsCountsOnce) {
  sim::FaultPlan plan;
  plan.Add(faults::NorEraseFail{.block = 0, .skip = 1, .count = 1});
  const sim::FaultKind& kind = *sim::FaultPlan::FindKind("nor.erase-fail");
  auto fire = [&](std::uint64_t event) {
    return plan.Fire(
               kind, [](const sim::FaultItem&) { return true; }, [] { return std::string(); },
               event) != nullptr;
  };
  // Event 7 skips for both chips, event 8 fails for both; then the item is used up.
  EXPECT_FALSE(fire(7));
  EXPECT_FALSE(fire(7));
  EXPECT_TRUE(fire(8));
  EXPECT_TRUE(fire(8));
  EXPECT_FALSE(fire(9));
  EXPECT_EQ(plan.State().at(0).fired, 1u);
}

TEST(FaultEngine, PowerCutFailsOneOperationAndStaysOffUntilAReset) {
  using Power = sim::FaultPlan::Power;
  sim::FaultPlan plan;
  auto next = [&] { return plan.FlashOperation([] { return std::string("operation"); }); };
  EXPECT_EQ(next(), Power::kOn);  // no cut planned
  plan.Add(faults::PowerCut{.after = 3});
  EXPECT_EQ(next(), Power::kOn);  // the second operation of the process
  EXPECT_EQ(next(), Power::kOn);
  EXPECT_EQ(next(), Power::kFailing);
  EXPECT_EQ(next(), Power::kOff);
  plan.Clear();  // taking the item away does not bring the power back
  EXPECT_EQ(next(), Power::kOff);
  sim::FaultPlan fresh;  // a new process after a module reset
  fresh.Add(faults::PowerCut{.after = 0});
  EXPECT_EQ(fresh.FlashOperation([] { return std::string(); }), Power::kFailing);
}

// A tool that maps an update's operations sees each one, numbered as "after" counts them, up to
// and with the one the power cut hits; none once the power is off, and none after it lets go.
TEST(FaultEngine, OperationHandler_SeesEveryOperationUpToTheCut) {
  using Power = sim::FaultPlan::Power;
  std::vector<std::pair<std::uint64_t, std::string>> seen;
  sim::FaultPlan::SetOperationHandler(
      [&](std::uint64_t index, const std::string& target) { seen.emplace_back(index, target); });
  sim::FaultPlan plan;
  plan.Add(faults::PowerCut{.after = 2});
  int counter = 0;
  auto next = [&] {
    return plan.FlashOperation([&] { return "operation " + std::to_string(counter++); });
  };
  EXPECT_EQ(next(), Power::kOn);
  EXPECT_EQ(next(), Power::kOn);
  EXPECT_EQ(next(), Power::kFailing);
  EXPECT_EQ(next(), Power::kOff);
  sim::FaultPlan::SetOperationHandler(nullptr);
  sim::FaultPlan other;
  EXPECT_EQ(other.FlashOperation([] { return std::string("unseen"); }), Power::kOn);
  ASSERT_EQ(seen.size(), 3u);
  for (std::uint64_t i = 0; i < seen.size(); ++i) {
    EXPECT_EQ(seen[i].first, i);
    EXPECT_EQ(seen[i].second, "operation " + std::to_string(i));
  }
}

TEST(FaultEngine, CheckedAddRefusesAndKeepsThePlan) {
  sim::FaultPlan plan;
  plan.Add(faults::Call{.name = "A"});
  std::string error;
  EXPECT_FALSE(plan.Add(sim::Json{{"kind", "nand.badblock"}, {"block", 5}}, &error));
  EXPECT_NE(error.find("fault item 1 (nand.badblock)"), std::string::npos) << error;
  EXPECT_NE(error.find("unknown kind"), std::string::npos) << error;
  EXPECT_FALSE(plan.Add(faults::NandProgramFail{.page = 1, .count = -2}, &error));
  EXPECT_NE(error.find("field \"count\""), std::string::npos) << error;
  EXPECT_EQ(plan.State().size(), 1u);
}

// ---------------------------------------------------------------------------------------------
// Every firing leaves its line in ram/debug.log
// ---------------------------------------------------------------------------------------------
constexpr std::uint32_t kNorScratch = 0x1F00000;  // far above a NOR preset's content

// An offset of the NAND OS view far above the preset's content, erased.
std::uint32_t NandScratch() {
  sim::OsFlash* flash = sim::CurrentOsFlash();
  const std::uint32_t offset = flash->Size() - 4 * flash->BlockSize(0);
  EXPECT_TRUE(flash->EraseBlock(offset));
  return offset;
}

std::uint32_t PhysicalPage(std::uint32_t offset) {
  const std::vector<std::uint16_t> map = sim::NandFlash::Current()->OsBlockMap();
  return map.at(offset / sim::kNandBlockBytes) * sim::kNandPagesPerBlock;
}

struct LogCase {
  const char* name;
  const char* preset;
  // Adds the item and provokes it; false when the provoked operation did not fail as planned.
  std::function<bool(sim::FaultPlan&)> provoke;
  const char* line;  // what the debug log says
};

void PrintTo(const LogCase& c, std::ostream* out) { *out << c.name; }

class FiringLog : public testing_support::ModuleTest,
                  public ::testing::WithParamInterface<LogCase> {
 protected:
  std::string Preset() const override { return GetParam().preset; }
};

TEST_P(FiringLog, OneLineWithKindItemTargetAndTime) {
  std::string before;
  (void)sim::ReadWholeFile(Machine().RamDirectory() / "debug.log", &before);
  Machine().Faults().Add(faults::Call{.name = "Sleep", .count = 0});  // item 0 never fires
  EXPECT_TRUE(GetParam().provoke(Machine().Faults()));
  std::string log;
  ASSERT_TRUE(sim::ReadWholeFile(Machine().RamDirectory() / "debug.log", &log));
  const std::string added = log.substr(before.size());
  const std::size_t at = added.find(GetParam().line);
  ASSERT_NE(at, std::string::npos) << added;
  const std::string line = added.substr(at, added.find('\n', at) - at);
  EXPECT_NE(line.find(", module time "), std::string::npos) << line;
  EXPECT_EQ(Machine().Faults().State().at(1).fired, 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Families, FiringLog,
    ::testing::Values(
        LogCase{"Call", "pxa320",
                [](sim::FaultPlan& plan) {
                  plan.Add(faults::Call{.name = "LocalAlloc"});
                  return LocalAlloc(0, 16) == nullptr;
                },
                "fault call (item 1) fired: call LocalAlloc"},
        LogCase{"NandProgramFail", "pxa320",
                [](sim::FaultPlan& plan) {
                  const std::uint32_t offset = NandScratch();
                  plan.Add(faults::NandProgramFail{.page = PhysicalPage(offset)});
                  const std::vector<std::uint8_t> data(sim::kNandPageBytes, 0x5A);
                  return !sim::CurrentOsFlash()->Program(offset, data.data(), sim::kNandPageBytes);
                },
                "fault nand.program-fail (item 1) fired: program of page "},
        LogCase{"NorEraseFail", "pxa270-32m",
                [](sim::FaultPlan& plan) {
                  plan.Add(faults::NorEraseFail{.block = kNorScratch});
                  return !sim::CurrentOsFlash()->EraseBlock(kNorScratch);
                },
                "fault nor.erase-fail (item 1) fired: block 0x01F00000"},
        LogCase{"NorPowerCut", "pxa270-32m",
                [](sim::FaultPlan& plan) {
                  plan.Add(faults::PowerCut{.after = 0});
                  return sim::CurrentOsFlash()->EraseBlock(kNorScratch);  // answers as if it worked
                },
                "fault power-cut (item 1) fired: OS driver block erase at 0x01F00000"},
        LogCase{"NandPowerCut", "pxa320",
                [](sim::FaultPlan& plan) {
                  const std::uint32_t offset = NandScratch();
                  plan.Add(faults::PowerCut{.after = 0});
                  const std::vector<std::uint8_t> data(sim::kNandPageBytes, 0x5A);
                  return sim::CurrentOsFlash()->Program(offset, data.data(), sim::kNandPageBytes);
                },
                "fault power-cut (item 1) fired: program of page "}),
    [](const ::testing::TestParamInfo<LogCase>& info) { return std::string(info.param.name); });

TEST(FaultEngineLog, ManyFiringsOfOneItem_LoggedUpToALimitAndAllCounted) {
  testing_support::TemporaryModule module("pxa320");
  std::string error;
  ASSERT_TRUE(sim::Attach(module.Directory(), sim::AttachOptions{}, &error)) << error;
  sim::Machine& machine = sim::CurrentMachine();
  machine.Faults().Add(faults::Call{.name = "LocalAlloc", .count = -1});
  const std::uint64_t calls = sim::FaultPlan::kLoggedFirings + 10;
  for (std::uint64_t i = 0; i < calls; ++i) {
    EXPECT_EQ(LocalAlloc(0, 16), nullptr);
  }
  std::string log;
  ASSERT_TRUE(sim::ReadWholeFile(machine.RamDirectory() / "debug.log", &log));
  std::size_t lines = 0;
  for (std::size_t at = log.find("fault call (item 0) fired"); at != std::string::npos;
       at = log.find("fault call (item 0) fired", at + 1)) {
    ++lines;
  }
  EXPECT_EQ(lines, sim::FaultPlan::kLoggedFirings);
  EXPECT_NE(log.find("fault call (item 0): further firings are counted, not logged"),
            std::string::npos);
  EXPECT_EQ(machine.Faults().State().at(0).fired, calls);
  sim::Detach();
}

// An item that fires at every event is on record, all but its last interval's firings, while
// the process runs: a process killed after thousands of firings does not leave 21 behind.
TEST(FaultEngineRecord, BulkFiringsReachTheRecordOnceAnIntervalHasPassed) {
  testing_support::TemporaryModule module("pxa320");
  std::string error;
  ASSERT_TRUE(sim::Attach(module.Directory(), sim::AttachOptions{}, &error)) << error;
  sim::Machine& machine = sim::CurrentMachine();
  const sim::Json sleep = faults::Call{.name = "Sleep", .count = -1};
  ASSERT_TRUE(machine.Faults().Add(sleep, &error)) << error;
  const sim::Json items = sim::Json::array({sleep});
  const std::uint64_t many = sim::FaultPlan::kLoggedFirings + 500;
  for (std::uint64_t i = 0; i < many; ++i) {
    EXPECT_TRUE(sim::FailCall("Sleep"));
  }
  std::this_thread::sleep_for(sim::FaultPlan::kRecordInterval);
  EXPECT_TRUE(sim::FailCall("Sleep"));
  // Read as another process would while this one still runs (or after it was killed).
  EXPECT_EQ(sim::FaultPlan::FiredCounts(module.Directory(), items),
            std::vector<std::uint64_t>{many + 1});
  sim::Detach();
  EXPECT_EQ(sim::FaultPlan::FiredCounts(module.Directory(), items),
            std::vector<std::uint64_t>{many + 1});
}

// The fired record outlives the process and the module's RAM: the first firings are written as
// they happen (a killed process keeps them), the rest when the module is detached; a second
// process adds to it; an entry counts only while the plan holds the same item at its index.
TEST(FaultEngineRecord, FiringsAddUpOverProcessesAndFollowTheirItem) {
  testing_support::TemporaryModule module("pxa320");
  const std::filesystem::path file = module.Directory() / "module.json";
  sim::Json config;
  std::string error;
  ASSERT_TRUE(sim::LoadModuleConfig(module.Directory(), &config, &error)) << error;
  const sim::Json sleep = faults::Call{.name = "Sleep", .count = -1};
  const sim::Json tick = faults::Call{.name = "GetTickCount", .count = 1};
  config["faults"]["items"] = sim::Json::array({sleep, tick});
  ASSERT_TRUE(sim::WriteWholeFile(file, config.dump(2), &error)) << error;
  const sim::Json items = config["faults"]["items"];
  using Counts = std::vector<std::uint64_t>;

  const std::uint64_t many = sim::FaultPlan::kLoggedFirings + 9;
  ASSERT_TRUE(sim::Attach(module.Directory(), sim::AttachOptions{}, &error)) << error;
  for (std::uint64_t i = 0; i < many; ++i) {
    EXPECT_TRUE(sim::FailCall("Sleep"));
  }
  EXPECT_TRUE(sim::FailCall("GetTickCount"));
  EXPECT_FALSE(sim::FailCall("GetTickCount"));
  // Before the detach: what was logged is on record already (the rest follows within the
  // record's interval, see below).
  const Counts attached = sim::FaultPlan::FiredCounts(module.Directory(), items);
  EXPECT_GE(attached.at(0), sim::FaultPlan::kLoggedFirings + 1);
  EXPECT_LE(attached.at(0), many);
  EXPECT_EQ(attached.at(1), 1u);
  sim::Detach();
  EXPECT_EQ(sim::FaultPlan::FiredCounts(module.Directory(), items), (Counts{many, 1}));
  ASSERT_TRUE(sim::ResetModule(module.Directory(), &error)) << error;

  ASSERT_TRUE(sim::Attach(module.Directory(), sim::AttachOptions{}, &error)) << error;
  EXPECT_TRUE(sim::FailCall("Sleep"));
  EXPECT_TRUE(sim::FailCall("GetTickCount"));  // the counters start again in a new process
  sim::Detach();
  EXPECT_EQ(sim::FaultPlan::FiredCounts(module.Directory(), items), (Counts{many + 1, 2}));

  // Another item at an index counts nothing of the one before it.
  EXPECT_EQ(sim::FaultPlan::FiredCounts(module.Directory(), sim::Json::array({tick, sleep})),
            (Counts{0, 0}));
  // Item 0 removed: item 1 moves down with its count.
  ASSERT_TRUE(sim::FaultPlan::ForgetFired(module.Directory(), 0, true, &error)) << error;
  EXPECT_EQ(sim::FaultPlan::FiredCounts(module.Directory(), sim::Json::array({tick})), (Counts{2}));
  // Before an item is added at index 0, whatever was recorded there is forgotten.
  ASSERT_TRUE(sim::FaultPlan::ForgetFired(module.Directory(), 0, false, &error)) << error;
  EXPECT_EQ(sim::FaultPlan::FiredCounts(module.Directory(), sim::Json::array({tick})), (Counts{0}));
  EXPECT_FALSE(std::filesystem::exists(module.Directory() / sim::FaultPlan::kFiredRecordFile));
}

}  // namespace
