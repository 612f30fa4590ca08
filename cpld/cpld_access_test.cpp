#include "cpld/cpld_access.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "cpld/gpio_pins.h"
#include "flash/kernel_mode.h"
#include "host/sample_content.h"
#include "sim/hw/cpld_model.h"
#include "sim/hw/gpio.h"
#include "sim/module/machine.h"
#include "tests/support/faults.h"
#include "tests/support/module_fixture.h"
#include "tests/support/test_names.h"
#include "tests/support/xsvf_test_stream.h"

namespace {

using sample_content::Bytes;
using testing_support::ModuleTest;

std::string Hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08X", value);
  return text;
}

class CpldTestBase : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    ResetKernelModeStateForTesting();
    ResetGpioStateForTesting();
    ResetCpldStateForTesting();
  }
  sim::GpioModel& Gpio() { return *sim::Machine::Get<sim::GpioModel>("gpio"); }
  sim::CpldModel& Cpld() { return *sim::Machine::Get<sim::CpldModel>("cpld"); }
  // The program's view starts afresh after a reattach, as in a new process.
  void Restart() {
    Reattach();
    ResetKernelModeStateForTesting();
    ResetGpioStateForTesting();
    ResetCpldStateForTesting();
  }
};

class CpldOnPreset : public CpldTestBase, public ::testing::WithParamInterface<std::string> {
 protected:
  std::string Preset() const override { return GetParam(); }
};

// ---------------------------------------------------------------------------------------------
// Modules without a CPLD, and the closed state
// ---------------------------------------------------------------------------------------------
class CpldOnPxa27x : public CpldTestBase {
 protected:
  std::string Preset() const override { return "pxa270-64m"; }
};

TEST_F(CpldOnPxa27x, Open_ReturnsNoCpldWithoutTouchingAPin) {
  Machine().Calls().Enable(true);
  EXPECT_EQ(CpldOpen(), kCpldNoCpld);
  DWORD code = 0;
  EXPECT_EQ(CpldReadIdCode(&code), kCpldNoCpld);
  EXPECT_EQ(CpldReadUserCode(&code), kCpldNotOpen);
  EXPECT_EQ(Gpio().AccessCount(), 0u);
  EXPECT_TRUE(Machine().Calls().Entries("VirtualAlloc").empty()) << "no register was mapped";
}

TEST_F(CpldTestBase, BeforeOpen_ReadAndProgramReturnNotOpenWithoutTouchingAPin) {
  DWORD code = 0x12345678;
  EXPECT_EQ(CpldReadUserCode(&code), kCpldNotOpen);
  EXPECT_EQ(code, 0x12345678u);
  const Bytes stream = sample_content::XsvfStream().Complete().Data();
  EXPECT_EQ(CpldProgram(stream.data(), static_cast<DWORD>(stream.size())), kCpldNotOpen);
  EXPECT_EQ(Gpio().AccessCount(), 0u);
  EXPECT_EQ(Cpld().TckPulses(), 0u);
}

TEST_F(CpldTestBase, CloseThenRead_NotOpenAgain) {
  ASSERT_EQ(CpldOpen(), kCpldOk);
  EXPECT_EQ(CpldClose(), kCpldOk);
  DWORD code = 0;
  EXPECT_EQ(CpldReadUserCode(&code), kCpldNotOpen);
}

// ---------------------------------------------------------------------------------------------
// Identification and user code on every processor with a CPLD
// ---------------------------------------------------------------------------------------------
using CpldIdentification = CpldOnPreset;

TEST_P(CpldIdentification, OpenReadsIdCodeAndUserCode_ThenReleasesThePort) {
  DWORD idCode = 0;
  ASSERT_EQ(CpldReadIdCode(&idCode), kCpldOk);
  EXPECT_EQ(idCode, Cpld().IdCode());
  ASSERT_EQ(CpldOpen(), kCpldOk);
  DWORD userCode = 0;
  ASSERT_EQ(CpldReadUserCode(&userCode), kCpldOk);
  EXPECT_EQ(userCode, 0x00010003u) << "the module's design";
  // Released: TCK, TDI and TDO are inputs, TMS stays an output driven high.
  const bool pxa320 = GetParam() == "pxa320";
  const unsigned tck = pxa320 ? 83 : 85;
  const unsigned tdi = pxa320 ? 86 : 88;
  const unsigned tdo = pxa320 ? 85 : 87;
  const unsigned tmsGpio = pxa320 ? 1 : 84;
  EXPECT_FALSE(Gpio().IsOutput(tck));
  EXPECT_FALSE(Gpio().IsOutput(tdi));
  EXPECT_FALSE(Gpio().IsOutput(tdo));
  EXPECT_TRUE(Gpio().IsOutput(tmsGpio));
  EXPECT_TRUE(Gpio().OutputLatch(tmsGpio));
}

TEST_P(CpldIdentification, SecondOpen_DoesNotReadTheIdCodeAgain) {
  ASSERT_EQ(CpldOpen(), kCpldOk);
  const std::uint64_t pulses = Cpld().TckPulses();
  EXPECT_GT(pulses, 0u);
  EXPECT_EQ(CpldOpen(), kCpldOk);
  EXPECT_EQ(Cpld().TckPulses(), pulses);
}

INSTANTIATE_TEST_SUITE_P(Pxa3xx, CpldIdentification,
                         ::testing::Values("pxa320", "pxa300", "pxa310"),
                         testing_support::PresetName());

struct IdCodeCase {
  std::uint32_t idCode;
  DWORD status;
};

class IdCodeCheck : public CpldTestBase, public ::testing::WithParamInterface<IdCodeCase> {};

TEST_P(IdCodeCheck, RevisionBitsIgnored_AnyOtherDifferenceRefused) {
  Machine().Faults().Add(faults::CpldIdCode{.value = GetParam().idCode});
  EXPECT_EQ(CpldOpen(), GetParam().status);
  DWORD userCode = 0;
  EXPECT_EQ(CpldReadUserCode(&userCode), GetParam().status == kCpldOk ? kCpldOk : kCpldNotOpen);
}

INSTANTIATE_TEST_SUITE_P(Cases, IdCodeCheck,
                         ::testing::Values(IdCodeCase{0x06E5D093, kCpldOk},
                                           IdCodeCase{0xF6E5D093, kCpldOk},
                                           IdCodeCase{0x96E5D093, kCpldOk},
                                           IdCodeCase{0x06E5D095, kCpldWrongIdCode},
                                           IdCodeCase{0x06E5C093, kCpldWrongIdCode},
                                           IdCodeCase{0x06E7D093, kCpldWrongIdCode},
                                           IdCodeCase{0x16D5D093, kCpldWrongIdCode},
                                           // Bit 0 clear is a difference like any other;
                                           // all ones is no part at all.
                                           IdCodeCase{0x06E5D092, kCpldWrongIdCode},
                                           IdCodeCase{0xFFFFFFFF, kCpldIdCodeFailed}),
                         [](const auto& info) { return "IdCode_" + Hex(info.param.idCode); });

struct NoAnswerCase {
  const char* name;
  sim::Json fault;
};

class NoAnswer : public CpldTestBase, public ::testing::WithParamInterface<NoAnswerCase> {};

TEST_P(NoAnswer, OpenReportsThatNoIdCodeCouldBeRead) {
  Machine().Faults().Add(GetParam().fault);
  EXPECT_EQ(CpldOpen(), kCpldIdCodeFailed);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NoAnswer,
    ::testing::Values(NoAnswerCase{"Absent", faults::CpldAbsent{}},
                      NoAnswerCase{"TdoStuckLow", faults::CpldStuckTdo{.level = 0}},
                      NoAnswerCase{"TdoStuckHigh", faults::CpldStuckTdo{.level = 1}}),
    testing_support::CaseName());

TEST_F(CpldTestBase, MappingFails_OpenFailsThenSucceedsOnRetry) {
  Machine().Faults().Add(faults::Call{.name = "VirtualCopy", .count = 1});
  EXPECT_EQ(CpldOpen(), kCpldIdCodeFailed);
  EXPECT_EQ(Cpld().TckPulses(), 0u);
  EXPECT_EQ(CpldOpen(), kCpldOk);
}

// ---------------------------------------------------------------------------------------------
// Programming
// ---------------------------------------------------------------------------------------------
class CpldProgramming : public CpldTestBase {
 protected:
  void Configure(sim::Json& config) override { config["cpld"]["userCode"] = "0x00020001"; }
  DWORD Program(const Bytes& stream, XsvfResult* result = nullptr) {
    return CpldProgram(stream.data(), static_cast<DWORD>(stream.size()), result);
  }
};

TEST_F(CpldProgramming, EraseProgramVerify_ChangesTheUserCodeForGood) {
  ASSERT_EQ(CpldOpen(), kCpldOk);
  DWORD userCode = 0;
  ASSERT_EQ(CpldReadUserCode(&userCode), kCpldOk);
  EXPECT_EQ(userCode, 0x00020001u) << "module.json names the user code";
  const Bytes stream = sample_content::ProgramStream(
      {{sim::kCpldUserCodeRow, sample_content::UserCodeRow(0x00010504)}}, {});
  XsvfResult result{};
  ASSERT_EQ(Program(stream, &result), kCpldOk) << "player error " << result.errorCode;
  ASSERT_EQ(CpldReadUserCode(&userCode), kCpldOk);
  EXPECT_EQ(userCode, 0x00010504u);
  Restart();
  EXPECT_EQ(Machine().Config()["cpld"]["userCode"], "0x00010504");
  ASSERT_EQ(CpldOpen(), kCpldOk);
  ASSERT_EQ(CpldReadUserCode(&userCode), kCpldOk);
  EXPECT_EQ(userCode, 0x00010504u);
}

TEST_F(CpldProgramming, FailedVerify_ReturnsProgramFailedAndReleasesThePort) {
  ASSERT_EQ(CpldOpen(), kCpldOk);
  Machine().Faults().Add(faults::CpldRowFail{.row = sim::kCpldUserCodeRow});
  const Bytes stream = sample_content::ProgramStream(
      {{sim::kCpldUserCodeRow, sample_content::UserCodeRow(0x00010504)}}, {});
  XsvfResult result{};
  EXPECT_EQ(Program(stream, &result), kCpldProgramFailed);
  EXPECT_EQ(result.errorCode, kXsvfErrorTdoMismatch);
  EXPECT_FALSE(Gpio().IsOutput(83));
  // The stream stopped before it loaded the array into the part's configuration: the old design
  // runs on until the module's power is cycled, and the array is erased without the new code.
  DWORD userCode = 0;
  ASSERT_EQ(CpldReadUserCode(&userCode), kCpldOk);
  EXPECT_EQ(userCode, 0x00020001u);
  EXPECT_EQ(Cpld().ArrayUserCode(), 0xFFFFFFFFu) << "erased, and the row did not take the new code";
}

// ---------------------------------------------------------------------------------------------
// Version display
// ---------------------------------------------------------------------------------------------
struct VersionCase {
  DWORD userCode;
  DWORD major;
  DWORD minor;
  BOOL isBeta;
  DWORD beta;
};

class CpldVersions : public ::testing::TestWithParam<VersionCase> {};

TEST_P(CpldVersions, MajorMinorAndBetaFromTheUserCode) {
  const CpldVersion version = CpldVersionOf(GetParam().userCode);
  EXPECT_EQ(version.major, GetParam().major);
  EXPECT_EQ(version.minor, GetParam().minor);
  EXPECT_EQ(version.isBeta, GetParam().isBeta);
  if (version.isBeta) {
    EXPECT_EQ(version.beta, GetParam().beta);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, CpldVersions,
                         ::testing::Values(VersionCase{0x00010003, 1, 3, FALSE, 0},
                                           VersionCase{0x00010503, 1, 3, TRUE, 5},
                                           VersionCase{0x0001F003, 1, 3, TRUE, 0},
                                           VersionCase{0xFFFF00FF, 0xFFFF, 0xFF, FALSE, 0}),
                         [](const auto& info) { return "UserCode_" + Hex(info.param.userCode); });

}  // namespace
