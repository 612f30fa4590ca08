#include "sim/hw/cpld_model.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/module/machine.h"
#include "tests/support/faults.h"
#include "tests/support/module_fixture.h"
#include "tests/support/test_names.h"

namespace {

using testing_support::ModuleTest;
using testing_support::TemporaryModule;

sim::CpldModel& Cpld() { return *sim::Machine::Get<sim::CpldModel>("cpld"); }

// ---------------------------------------------------------------------------------------------
// Modules as created
// ---------------------------------------------------------------------------------------------
TEST_F(ModuleTest, NewPxa3xxModule_HasTheCpldWithItsDesignAndUserCode) {
  ASSERT_TRUE(Cpld().Wired());
  EXPECT_EQ(Machine().Config()["cpld"]["fuses"], "cpld.fuses");
  std::vector<sim::CpldRow> rows;
  std::string error;
  ASSERT_TRUE(sim::CpldModel::ReadFuseFile(ModuleDirectory() / "cpld.fuses", &rows, &error))
      << error;
  EXPECT_EQ(rows.size(), sim::kCpldRows);
  EXPECT_EQ(Cpld().UserCode(), 0x00010003u);
  EXPECT_EQ(Cpld().IdCode(), 0x16E5D093u);
  EXPECT_EQ(Cpld().TapState(), sim::kTapTestLogicReset);
  EXPECT_FALSE(rows[0].all()) << "a programmed design, not a blank part";
}

class Pxa27xModule : public ModuleTest {
 protected:
  std::string Preset() const override { return "pxa270-32m"; }
};

TEST_F(Pxa27xModule, HasNoCpld) {
  EXPECT_FALSE(Cpld().Wired());
  EXPECT_FALSE(Machine().Config().contains("cpld"));
  EXPECT_FALSE(std::filesystem::exists(ModuleDirectory() / "cpld.fuses"));
}

class ConfiguredUserCode : public ModuleTest {
 protected:
  void Configure(sim::Json& config) override {
    config["cpld"]["userCode"] = "0x00020005";
    config["cpld"]["revision"] = 3;
  }
};

TEST_F(ConfiguredUserCode, ModuleJsonNamesTheUserCodeAndRevision) {
  EXPECT_EQ(Cpld().UserCode(), 0x00020005u);
  EXPECT_EQ(Cpld().IdCode(), 0x36E5D093u);
  sim::Json info;
  Cpld().Describe(Machine(), info);
  EXPECT_EQ(info["cpld"]["userCode"], "0x00020005");
  EXPECT_EQ(info["cpld"]["idcode"], "0x36E5D093");
}

// ---------------------------------------------------------------------------------------------
// module.json checks
// ---------------------------------------------------------------------------------------------
struct ConfigCase {
  const char* name;
  sim::Json patch;  // merged into module.json
  const char* field;
};

class CpldConfig : public ::testing::TestWithParam<ConfigCase> {};

TEST_P(CpldConfig, BadFieldsAreRefusedByName) {
  TemporaryModule module("pxa300");
  sim::Json config;
  std::string error;
  ASSERT_TRUE(sim::LoadModuleConfig(module.Directory(), &config, &error)) << error;
  config.merge_patch(GetParam().patch);
  ASSERT_TRUE(sim::WriteWholeFile(module.Directory() / "module.json", config.dump(), &error));
  EXPECT_FALSE(sim::LoadModuleConfig(module.Directory(), &config, &error));
  EXPECT_NE(error.find(std::string("field \"") + GetParam().field + "\""), std::string::npos)
      << error;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CpldConfig,
    ::testing::Values(
        ConfigCase{"Revision16", {{"cpld", {{"revision", 16}}}}, "cpld.revision"},
        ConfigCase{"UserCodeTooWide", {{"cpld", {{"userCode", "0x100000000"}}}}, "cpld.userCode"},
        ConfigCase{"PresentNotBoolean", {{"cpld", {{"present", "yes"}}}}, "cpld.present"},
        ConfigCase{"FusesOutsideModule", {{"cpld", {{"fuses", "../cpld.fuses"}}}}, "cpld.fuses"},
        ConfigCase{"RowFailBeyondArray",
                   {{"faults", {{"items", {faults::CpldRowFail{.row = 98}}}}}},
                   "faults.items[0].row"},
        ConfigCase{"StuckTdoLevel2",
                   {{"faults", {{"items", {faults::CpldStuckTdo{.level = 2}}}}}},
                   "faults.items[0].level"},
        ConfigCase{"IdCodeWithoutValue",
                   // a required field left out: beyond what the typed items can say
                   {{"faults", {{"items", {{{"kind", "cpld.idcode"}}}}}}},
                   "faults.items[0].value"},
        ConfigCase{"UnknownCpldFault",
                   {{"faults", {{"items", {{{"kind", "cpld.melted"}}}}}}},
                   "faults.items[0].kind"}),
    testing_support::CaseName());

// ---------------------------------------------------------------------------------------------
// The fuse file
// ---------------------------------------------------------------------------------------------
struct FuseFileCase {
  const char* name;
  int rows;            // rows written
  int badRow;          // row whose line is damaged, -1 for none
  std::string damage;  // replacement line for badRow
  const char* message;
};

class FuseFile : public ::testing::TestWithParam<FuseFileCase> {};

TEST_P(FuseFile, DamagedFile_AttachFailsNamingFileAndLine) {
  TemporaryModule module("pxa310");
  const FuseFileCase& c = GetParam();
  std::string text = "# fuse array\n";
  for (int row = 0; row < c.rows; ++row) {
    text += row == c.badRow ? c.damage : std::to_string(row) + " " + std::string(274, '1');
    text += "\n";
  }
  std::string error;
  ASSERT_TRUE(sim::WriteWholeFile(module.Directory() / "cpld.fuses", text, &error));
  EXPECT_FALSE(sim::Attach(module.Directory(), sim::AttachOptions{}, &error));
  EXPECT_NE(error.find("cpld.fuses"), std::string::npos) << error;
  EXPECT_NE(error.find(c.message), std::string::npos) << error;
  EXPECT_FALSE(sim::IsAttached());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FuseFile,
    ::testing::Values(FuseFileCase{"TooFewRows", 97, -1, "", "97 rows where 98"},
                      FuseFileCase{"TooManyRows", 99, -1, "", "line 100: more than 98 rows"},
                      FuseFileCase{"ShortRow", 98, 5, "5 " + std::string(273, '1'),
                                   "line 7: a row holds exactly 274"},
                      FuseFileCase{"NotACell", 98, 9, "9 " + std::string(273, '1') + "x",
                                   "line 11: a row holds exactly 274"},
                      FuseFileCase{"RowOutOfOrder", 98, 3, "4 " + std::string(274, '0'),
                                   "line 5: row 4 where row 3"}),
    testing_support::CaseName());

}  // namespace
