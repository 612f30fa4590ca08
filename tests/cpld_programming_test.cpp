// The CPLD model as the program's JTAG port and XSVF player drive it: in-system programming
// timing, ISC mode, persistence and the pin trace.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "cpld/cpld_access.h"
#include "cpld/gpio_pins.h"
#include "flash/kernel_mode.h"
#include "host/sample_content.h"
#include "sim/base/files.h"
#include "sim/hw/cpld_model.h"
#include "sim/module/machine.h"
#include "tests/support/module_fixture.h"
#include "tests/support/test_names.h"
#include "tests/support/xsvf_test_stream.h"

namespace {

using sample_content::Bytes;
using sample_content::CpldCells;
using sample_content::XsvfStream;
using testing_support::ModuleTest;

class CpldProgrammingTest : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    Restart();
  }
  void Restart() {
    ResetKernelModeStateForTesting();
    ResetGpioStateForTesting();
    ResetCpldStateForTesting();
  }
  sim::CpldModel& Cpld() { return *sim::Machine::Get<sim::CpldModel>("cpld"); }
  int Play(const Bytes& stream) {
    EXPECT_EQ(CpldOpen(), kCpldOk);
    XsvfResult result{-1, 0};
    (void)CpldProgram(stream.data(), static_cast<DWORD>(stream.size()), &result);
    return result.errorCode;
  }
  static CpldCells Pattern() {
    CpldCells cells;
    for (unsigned cell = 0; cell < sample_content::kCpldRowCells; ++cell) {
      cells[cell] = cell % 3 != 0;
    }
    return cells;
  }
  static std::string Text(const sim::CpldRow& row) { return row.to_string(); }
};

struct WaitCase {
  const char* name;
  std::uint32_t eraseWait;
  std::uint32_t programWait;
  bool erased;      // the erase had its time
  bool programmed;  // the row had its time
};

class ProgrammingWaits : public CpldProgrammingTest,
                         public ::testing::WithParamInterface<WaitCase> {};

TEST_P(ProgrammingWaits, OperationsCutShortChangeNoCell) {
  const WaitCase& c = GetParam();
  const sim::CpldRow before = Cpld().Row(5);
  sample_content::ProgramOptions options;
  options.eraseWait = c.eraseWait;
  options.programWait = c.programWait;
  const int error = Play(sample_content::ProgramStream({{5, Pattern()}}, options));
  EXPECT_EQ(error, c.erased && c.programmed ? kXsvfErrorNone : kXsvfErrorTdoMismatch);
  sim::CpldRow expected = c.erased ? sim::CpldRow().set() : before;
  if (c.programmed) {
    expected &= sim::CpldRow(Text(Pattern()));
  }
  EXPECT_EQ(Text(Cpld().Row(5)), Text(expected));
  // The array is the module's: it is still there for the next process.
  Reattach();
  EXPECT_EQ(Text(Cpld().Row(5)), Text(expected));
}

INSTANTIATE_TEST_SUITE_P(Cases, ProgrammingWaits,
                         ::testing::Values(WaitCase{"Both", 100000, 10000, true, true},
                                           WaitCase{"NoProgramWait", 100000, 0, true, false},
                                           WaitCase{"NoEraseWait", 0, 10000, false, true},
                                           // 10 ms of erase where 100 ms are needed.
                                           WaitCase{"ShortErase", 10000, 10000, false, true}),
                         testing_support::CaseName());

// A newly programmed array runs only once the part has loaded it: ISC_INIT's discharge, ISC_INIT's
// load, then ISC_DISABLE. Until then the old design runs on, USERCODE included, also for the
// next process; a power cycle loads whatever the array holds.
struct LoadCase {
  const char* name;
  bool initialize;
  bool discharge;
  bool runsNewDesign;  // before a power cycle
};

class NewDesignTest : public CpldProgrammingTest, public ::testing::WithParamInterface<LoadCase> {};

TEST_P(NewDesignTest, RunsAfterTheLoadAndDisableOrAPowerCycle) {
  const LoadCase& c = GetParam();
  const std::uint32_t oldUserCode = Cpld().UserCode();
  const std::string oldRow = Text(Cpld().ActiveRow(5));
  constexpr std::uint32_t kNewUserCode = 0x00030007;
  sample_content::ProgramOptions options;
  options.initialize = c.initialize;
  options.discharge = c.discharge;
  EXPECT_EQ(
      Play(sample_content::ProgramStream(
          {{5, Pattern()}, {sim::kCpldUserCodeRow, sample_content::UserCodeRow(kNewUserCode)}},
          options)),
      kXsvfErrorNone);
  EXPECT_FALSE(Cpld().IscEnabled());
  EXPECT_EQ(Cpld().ArrayUserCode(), kNewUserCode) << "the array is programmed either way";
  const std::uint32_t running = c.runsNewDesign ? kNewUserCode : oldUserCode;
  DWORD userCode = 0;
  ASSERT_EQ(CpldReadUserCode(&userCode), kCpldOk);
  EXPECT_EQ(userCode, running);
  EXPECT_EQ(Text(Cpld().ActiveRow(5)), c.runsNewDesign ? Text(Pattern()) : oldRow);

  Reattach();
  Restart();
  ASSERT_EQ(CpldOpen(), kCpldOk);
  ASSERT_EQ(CpldReadUserCode(&userCode), kCpldOk);
  EXPECT_EQ(userCode, running) << "what runs lasts while the module has power";

  sim::Detach();
  std::string error;
  ASSERT_TRUE(sim::ResetModule(ModuleDirectory(), &error)) << error;
  ASSERT_TRUE(sim::Attach(ModuleDirectory(), sim::AttachOptions{}, &error)) << error;
  Restart();
  ASSERT_EQ(CpldOpen(), kCpldOk);
  ASSERT_EQ(CpldReadUserCode(&userCode), kCpldOk);
  EXPECT_EQ(userCode, kNewUserCode) << "a power cycle loads the array";
  EXPECT_EQ(Text(Cpld().ActiveRow(5)), Text(Pattern()));
}

INSTANTIATE_TEST_SUITE_P(Streams, NewDesignTest,
                         ::testing::Values(LoadCase{"LoadedThenDisabled", true, true, true},
                                           LoadCase{"DisabledWithoutALoad", false, true, false},
                                           LoadCase{"LoadWithoutDischarge", true, false, false}),
                         testing_support::CaseName());

TEST_F(CpldProgrammingTest, IscInstructionsOutsideIscMode_ActAsBypass) {
  const std::string before = Text(Cpld().Row(3));
  const Bytes stream = XsvfStream()
                           .Sir(8, {0xED})  // ISC_ERASE
                           .State(8)
                           .Wait(1, 1, 100000)
                           .Sir(8, {0xEA})  // ISC_PROGRAM
                           .SdrSize(281)
                           .SdrTdo(sample_content::ProgramVector(3, CpldCells()), Bytes(36, 0))
                           .Wait(1, 1, 10000)
                           .Complete()
                           .Data();
  EXPECT_EQ(Play(stream), kXsvfErrorNone);
  EXPECT_FALSE(Cpld().IscEnabled());
  EXPECT_EQ(Text(Cpld().Row(3)), before);
}

TEST_F(CpldProgrammingTest, IscMode_SurvivesAProcessButNotAReset) {
  EXPECT_EQ(Play(XsvfStream().Sir(8, {0xE8}).Complete().Data()), kXsvfErrorNone);
  EXPECT_TRUE(Cpld().IscEnabled());
  Reattach();
  EXPECT_TRUE(Cpld().IscEnabled());
  sim::Detach();
  std::string error;
  ASSERT_TRUE(sim::ResetModule(ModuleDirectory(), &error)) << error;
  ASSERT_TRUE(sim::Attach(ModuleDirectory(), sim::AttachOptions{}, &error)) << error;
  EXPECT_FALSE(Cpld().IscEnabled());
  EXPECT_EQ(Cpld().TapState(), sim::kTapTestLogicReset);
}

class CpldNotFitted : public CpldProgrammingTest {
 protected:
  void Configure(sim::Json& config) override { config["cpld"]["present"] = false; }
};

TEST_F(CpldNotFitted, OpenFindsNoIdCode) { EXPECT_EQ(CpldOpen(), kCpldIdCodeFailed); }

TEST_F(CpldProgrammingTest, Trace_RecordsEveryClockInTimeOrder) {
  const std::filesystem::path file = ModuleDirectory() / "jtag.vcd";
  std::string error;
  ASSERT_TRUE(Cpld().StartTrace(file, &error)) << error;
  ASSERT_EQ(CpldOpen(), kCpldOk);
  ASSERT_TRUE(Cpld().StopTrace(&error)) << error;
  std::string vcd;
  ASSERT_TRUE(sim::ReadWholeFile(file, &vcd));
  for (const char* declaration :
       {"$var wire 1 ! TCK $end", "$var wire 1 \" TMS $end", "$var wire 1 # TDI $end",
        "$var wire 1 $ TDO $end", "$var reg 4 % tap_state $end", "$enddefinitions $end"}) {
    EXPECT_NE(vcd.find(declaration), std::string::npos) << declaration;
  }
  std::istringstream lines(vcd.substr(vcd.find("$enddefinitions")));
  std::string line;
  long long lastTime = -1;
  std::uint64_t rising = 0;
  int tck = -1;
  bool tdoDriven = false;
  while (std::getline(lines, line)) {
    if (!line.empty() && line[0] == '#') {
      const long long time = std::stoll(line.substr(1));
      EXPECT_GT(time, lastTime);
      lastTime = time;
    }
    if (line == "0!" || line == "1!") {
      // The first value is the pin as the trace found it; each 0 to 1 after it is a clock.
      rising += line == "1!" && tck == 0 ? 1 : 0;
      tck = line[0] - '0';
    }
    tdoDriven = tdoDriven || line == "0$" || line == "1$";
  }
  EXPECT_EQ(rising, Cpld().TckPulses());
  EXPECT_TRUE(tdoDriven) << "the IDCODE went out on TDO";
}

}  // namespace
