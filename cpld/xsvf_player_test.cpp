#include "cpld/xsvf_player.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "cpld/cpld_access.h"
#include "cpld/gpio_pins.h"
#include "flash/kernel_mode.h"
#include "host/sample_content.h"
#include "sim/hw/cpld_model.h"
#include "sim/module/machine.h"
#include "tests/support/module_fixture.h"
#include "tests/support/test_names.h"
#include "tests/support/xsvf_test_stream.h"

namespace {

using sample_content::Bytes;
using sample_content::XsvfStream;
using testing_support::ModuleTest;
using xsvf_test::Hex;

// The stream plays through the program's CPLD port on a PXA320 module against the CPLD model,
// which records every TAP state it enters and every data register update.
class PlayerTest : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    ResetKernelModeStateForTesting();
    ResetGpioStateForTesting();
    ResetCpldStateForTesting();
    ASSERT_EQ(CpldOpen(), kCpldOk);
    Cpld().Record(true);
    Machine().Calls().Enable(true);
  }
  sim::CpldModel& Cpld() { return *sim::Machine::Get<sim::CpldModel>("cpld"); }

  XsvfResult Play(const Bytes& stream) { return Play(stream, stream.size()); }
  XsvfResult Play(const Bytes& stream, std::size_t size) {
    XsvfResult result{-1, 0};
    (void)CpldProgram(stream.data(), static_cast<DWORD>(size), &result);
    return result;
  }
  // States the TAP entered after the player's opening reset: six clocks with TMS high, which
  // end in Test-Logic-Reset wherever the TAP was.
  std::vector<int> StatesAfterReset() {
    const std::vector<int>& states = Cpld().States();
    if (states.size() < 6) {
      ADD_FAILURE() << "no reset sequence";
      return {};
    }
    EXPECT_EQ(states[5], sim::kTapTestLogicReset);
    return std::vector<int>(states.begin() + 6, states.end());
  }
  std::vector<std::uint64_t> Sleeps() {
    std::vector<std::uint64_t> result;
    for (const sim::CallEntry& call : Machine().Calls().Entries("Sleep")) {
      result.push_back(call.args.at(0));
    }
    return result;
  }
  static std::size_t Count(const std::vector<int>& states, int state) {
    return static_cast<std::size_t>(std::count(states.begin(), states.end(), state));
  }
};

// ---------------------------------------------------------------------------------------------
// The sample streams
// ---------------------------------------------------------------------------------------------
class SampleStreams : public PlayerTest,
                      public ::testing::WithParamInterface<std::vector<std::string>> {};

TEST_P(SampleStreams, PlayToErrorZero) {
  for (const std::string& name : GetParam()) {
    const Bytes stream = xsvf_test::SampleStream(name);
    ASSERT_FALSE(stream.empty());
    const XsvfResult result = Play(stream);
    EXPECT_EQ(result.errorCode, kXsvfErrorNone) << name << " at command " << result.commandCount;
  }
}

INSTANTIATE_TEST_SUITE_P(Files, SampleStreams,
                         ::testing::Values(std::vector<std::string>{"xc2c64a_idcode.xsvf"},
                                           std::vector<std::string>{"xc2c64a_erase.xsvf",
                                                                    "xc2c64a_blank_check.xsvf"},
                                           std::vector<std::string>{"xc2c64a_light_LED.xsvf"}),
                         [](const auto& info) {
                           // The files' names without their extension: "xc2c64a_idcode".
                           std::string name;
                           for (const std::string& file : info.param) {
                             name += (name.empty() ? "" : "_") + file.substr(0, file.rfind('.'));
                           }
                           return testing_support::ParamName(name);
                         });

TEST_F(PlayerTest, ProgramStream_LeavesItsRowsInTheArrayAndItsVerifyPasses) {
  const Bytes stream = xsvf_test::SampleStream("xc2c64a_light_LED.xsvf");
  ASSERT_FALSE(stream.empty());
  std::map<unsigned, sample_content::CpldCells> rows;
  ASSERT_TRUE(xsvf_test::ProgrammedRows(stream, &rows));
  ASSERT_EQ(rows.size(), sim::kCpldRows);
  const XsvfResult result = Play(stream);
  ASSERT_EQ(result.errorCode, kXsvfErrorNone) << "at command " << result.commandCount;
  EXPECT_EQ(result.commandCount, 1417u) << "every command of the stream";
  for (const auto& [row, cells] : rows) {
    EXPECT_EQ(Cpld().Row(row).to_string(), cells.to_string()) << "row " << row;
  }
  // The array is no longer blank, and the blank check says so.
  const Bytes blankCheck = xsvf_test::SampleStream("xc2c64a_blank_check.xsvf");
  ASSERT_FALSE(blankCheck.empty());
  EXPECT_EQ(Play(blankCheck).errorCode, kXsvfErrorTdoMismatch);
}

TEST_F(PlayerTest, ProgramStreamWithAFlippedDataBit_FailsItsVerify) {
  Bytes stream = xsvf_test::SampleStream("xc2c64a_light_LED.xsvf");
  ASSERT_FALSE(stream.empty());
  // The first row vector: XSDRSIZE 281, XTDOMASK (36 bytes), then XSDRTDO.
  const Bytes size281 = {8, 0, 0, 1, 0x19};
  const auto sizeAt = std::search(stream.begin(), stream.end(), size281.begin(), size281.end());
  ASSERT_NE(sizeAt, stream.end());
  const std::size_t command = static_cast<std::size_t>(sizeAt - stream.begin()) + 5 + 37;
  ASSERT_EQ(stream.at(command), 9) << "XSDRTDO";
  const std::size_t lastTdiByte = command + 36;  // holds cells 0 to 7 of row 0
  stream[lastTdiByte] ^= 0x01;
  const XsvfResult result = Play(stream);
  EXPECT_TRUE(result.errorCode == kXsvfErrorTdoMismatch ||
              result.errorCode == kXsvfErrorTooManyRetries)
      << result.errorCode;
  EXPECT_LT(result.commandCount, 1417u) << "the run stopped at the failing verify";
}

// ---------------------------------------------------------------------------------------------
// Streams that end early: the run stops at the end of the data and reports it
// ---------------------------------------------------------------------------------------------
class TruncatedStreams : public PlayerTest, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(TruncatedStreams, EndOfStreamError_NothingBeyondTheEndIsRead) {
  const Bytes full = xsvf_test::SampleStream("xc2c64a_light_LED.xsvf");
  ASSERT_FALSE(full.empty());
  const std::size_t size = std::min(GetParam(), full.size() - 1);
  // Behind the given size lies a well-formed ending that a player reading too far would take.
  Bytes stream(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(size));
  stream.insert(stream.end(), {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  const XsvfResult result = Play(stream, size);
  EXPECT_EQ(result.errorCode, kXsvfErrorEndOfStream) << "cut at " << size;
}

INSTANTIATE_TEST_SUITE_P(CutPoints, TruncatedStreams,
                         // Empty; inside XREPEAT; between commands; inside XSDRSIZE; inside a
                         // program vector; inside an XWAIT; just before the final XCOMPLETE.
                         ::testing::Values(0, 1, 2, 15, 250, 312, 22845), [](const auto& info) {
                           return testing_support::NumberName("Cut", info.param);
                         });

TEST_F(PlayerTest, CommentWithoutItsEnd_EndOfStreamError) {
  const Bytes stream = {22, 'n', 'o', ' ', 'e', 'n', 'd'};
  EXPECT_EQ(Play(stream).errorCode, kXsvfErrorEndOfStream);
}

// ---------------------------------------------------------------------------------------------
// Commands
// ---------------------------------------------------------------------------------------------
TEST_F(PlayerTest, CompleteFirst_OnlyTheResetSequence) {
  const XsvfResult result = Play({0});
  EXPECT_EQ(result.errorCode, kXsvfErrorNone);
  EXPECT_EQ(result.commandCount, 1u);
  EXPECT_EQ(Cpld().States().size(), 6u);
  EXPECT_TRUE(StatesAfterReset().empty());
  EXPECT_EQ(Cpld().TapState(), sim::kTapTestLogicReset);
}

struct ErrorCase {
  const char* name;
  Bytes stream;
  int error;
};

class CommandErrors : public PlayerTest, public ::testing::WithParamInterface<ErrorCase> {};

TEST_P(CommandErrors, EndTheRunWithTheirCode) {
  const XsvfResult result = Play(GetParam().stream);
  EXPECT_EQ(result.errorCode, GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CommandErrors,
    ::testing::Values(
        ErrorCase{"Command5", {5}, kXsvfErrorIllegalCommand},
        ErrorCase{"Command6", {6}, kXsvfErrorIllegalCommand},
        ErrorCase{"Command24", {24}, kXsvfErrorIllegalCommand},
        ErrorCase{"Command255", {255}, kXsvfErrorIllegalCommand},
        ErrorCase{"EndDr2", XsvfStream().EndDr(2).Complete().Data(), kXsvfErrorIllegalState},
        ErrorCase{"EndIr2", XsvfStream().EndIr(2).Complete().Data(), kXsvfErrorIllegalState},
        ErrorCase{"Exit2DrFromIdle", XsvfStream().State(1).State(7).Complete().Data(),
                  kXsvfErrorIllegalState},
        ErrorCase{"Exit2IrFromIdle", XsvfStream().State(1).State(14).Complete().Data(),
                  kXsvfErrorIllegalState},
        ErrorCase{"NoSuchState", XsvfStream().State(1).State(16).Complete().Data(),
                  kXsvfErrorIllegalState},
        ErrorCase{"SdrSize7000Bytes", XsvfStream().SdrSize(56000).Complete().Data(),
                  kXsvfErrorNone},
        ErrorCase{"SdrSize7001Bytes", XsvfStream().SdrSize(56001).Complete().Data(),
                  kXsvfErrorDataOverflow},
        ErrorCase{"SdrSizeNear4G", XsvfStream().SdrSize(0xFFFFFFFF).Complete().Data(),
                  kXsvfErrorDataOverflow},
        // Refused before its (missing) operand is read.
        ErrorCase{"Sir2Of7001Bytes", {21, 0xDA, 0xC8}, kXsvfErrorDataOverflow},
        ErrorCase{"CommentSkipped", XsvfStream().Comment("made by hand").Complete().Data(),
                  kXsvfErrorNone}),
    testing_support::CaseName());

TEST_F(PlayerTest, InstructionOfNoBits_WaitsInIdleOnlyWithARunTestTime) {
  EXPECT_EQ(Play(XsvfStream().RunTest(5000).Sir(0, {}).Complete().Data()).errorCode, 0);
  EXPECT_EQ(Cpld().TapState(), sim::kTapRunTestIdle);
  EXPECT_EQ(Sleeps(), std::vector<std::uint64_t>{5});
  Machine().Calls().Clear();
  EXPECT_EQ(Play(XsvfStream().RunTest(0).Sir(0, {}).Complete().Data()).errorCode, 0);
  EXPECT_EQ(Cpld().TapState(), sim::kTapTestLogicReset) << "nothing moved";
  EXPECT_TRUE(Sleeps().empty());
}

TEST_F(PlayerTest, IdCodeCheck_UnderMaskPasses_WithoutMaskFailsOnTheRevision) {
  // The module's part has revision 1: IDCODE 0x16E5D093.
  const Bytes passes = XsvfStream()
                           .Sir(8, {0x01})
                           .SdrSize(32)
                           .TdoMask(Hex("0fffffff"))
                           .SdrTdo(Hex("00000000"), Hex("06e5d093"))
                           // XSDR compares against the expected value and mask set above.
                           .Sdr(Hex("00000000"))
                           .Complete()
                           .Data();
  EXPECT_EQ(Play(passes).errorCode, kXsvfErrorNone);
  const Bytes strict = XsvfStream()
                           .Sir2(8, {0x01})
                           .SdrSize(32)
                           .TdoMask(Hex("ffffffff"))
                           .SdrTdo(Hex("00000000"), Hex("06e5d093"))
                           .Complete()
                           .Data();
  EXPECT_EQ(Play(strict).errorCode, kXsvfErrorTdoMismatch);
  Bytes retried = XsvfStream().Repeat(3).Data();
  retried.insert(retried.end(), strict.begin(), strict.end());
  EXPECT_EQ(Play(retried).errorCode, kXsvfErrorTooManyRetries);
}

TEST_F(PlayerTest, MismatchWithWait_RetriesThroughPauseWithAQuarterMoreEachTime) {
  // BYPASS captures 0, so expecting 0x55 fails every time.
  const Bytes stream = XsvfStream()
                           .Sir(8, {0xFF})
                           .Repeat(2)
                           .RunTest(8000)
                           .SdrSize(8)
                           .TdoMask({0xFF})
                           .SdrTdo({0x00}, {0x55})
                           .Complete()
                           .Data();
  EXPECT_EQ(Play(stream).errorCode, kXsvfErrorTooManyRetries);
  // The wait grows before each retry's wait: 10000, 12500, then 12500 us after the last try.
  EXPECT_EQ(Sleeps(), (std::vector<std::uint64_t>{10, 12, 12}));
  const std::vector<int> states = StatesAfterReset();
  const std::vector<int> retry = {sim::kTapExit1Dr,    sim::kTapPauseDr, sim::kTapExit2Dr,
                                  sim::kTapShiftDr,    sim::kTapExit1Dr, sim::kTapUpdateDr,
                                  sim::kTapRunTestIdle};
  std::size_t retries = 0;
  for (auto at = states.begin();
       (at = std::search(at, states.end(), retry.begin(), retry.end())) != states.end(); ++at) {
    ++retries;
  }
  EXPECT_EQ(retries, 2u) << "two retries, then the last attempt goes straight to its end";
  EXPECT_EQ(Count(states, sim::kTapPauseDr), 2u);
  EXPECT_EQ(Count(states, sim::kTapCaptureDr), 3u) << "three attempts";
}

TEST_F(PlayerTest, MismatchWithoutWait_RepeatsWithoutPause) {
  const Bytes stream = XsvfStream()
                           .Sir(8, {0xFF})
                           .Repeat(2)
                           .SdrSize(8)
                           .TdoMask({0xFF})
                           .SdrTdo({0x00}, {0x55})
                           .Complete()
                           .Data();
  EXPECT_EQ(Play(stream).errorCode, kXsvfErrorTooManyRetries);
  const std::vector<int> states = StatesAfterReset();
  EXPECT_EQ(Count(states, sim::kTapPauseDr), 0u);
  EXPECT_EQ(Count(states, sim::kTapCaptureDr), 3u);
  EXPECT_TRUE(Sleeps().empty());
}

TEST_F(PlayerTest, SdrInc_AddsTheAddressMaskAndFillsTheDataMaskFromItsLowestBit) {
  // IDCODE is a 32-bit register: at each Update-DR it holds exactly the 32 bits shifted in.
  const Bytes stream = XsvfStream()
                           .Sir(8, {0x01})
                           .SdrSize(32)
                           .TdoMask(Hex("00000000"))
                           .SetSdrMasks(Hex("00000100"), Hex("0000f00f"))
                           .SdrInc(Hex("123400ff"), {{0xA5}, {0x5A}})
                           .SetSdrMasks(Hex("00000001"), Hex("00000000"))
                           .SdrInc(Hex("00ffffff"), {{}})
                           .Complete()
                           .Data();
  EXPECT_EQ(Play(stream).errorCode, kXsvfErrorNone);
  EXPECT_EQ(Cpld().Updates(),
            (std::vector<std::string>{"123400ff", "1234a1f5", "123452fa", "00ffffff", "01000000"}));
}

TEST_F(PlayerTest, SdrPieces_ShiftOneRegisterInPartsWithoutLeavingShift) {
  const Bytes stream = XsvfStream()
                           .Sir(8, {0x01})
                           .SdrSize(8)
                           .SdrB({0x11})
                           .SdrC({0x22})
                           .SdrC({0x33})
                           .SdrE({0x44})
                           .Complete()
                           .Data();
  EXPECT_EQ(Play(stream).errorCode, kXsvfErrorNone);
  EXPECT_EQ(Cpld().Updates(), std::vector<std::string>{"44332211"});
  EXPECT_EQ(Count(StatesAfterReset(), sim::kTapCaptureDr), 1u);
  EXPECT_EQ(Cpld().TapState(), sim::kTapRunTestIdle) << "XSDRE ends in the XENDDR state";
}

TEST_F(PlayerTest, SdrTdoPieces_CompareEveryBitWhateverTheMask) {
  auto stream = [](std::uint8_t lastExpected) {
    return XsvfStream()
        .Sir(8, {0x01})
        .SdrSize(8)
        .TdoMask({0x00})
        .SdrTdoB({0}, {0x93})
        .SdrTdoC({0}, {0xD0})
        .SdrTdoC({0}, {0xE5})
        .SdrTdoE({0}, {lastExpected})
        .Complete()
        .Data();
  };
  EXPECT_EQ(Play(stream(0x16)).errorCode, kXsvfErrorNone);  // IDCODE 0x16E5D093
  EXPECT_EQ(Play(stream(0x06)).errorCode, kXsvfErrorTdoMismatch);
}

TEST_F(PlayerTest, Wait_VisitsItsStateSleepsAndEndsInItsEndState) {
  EXPECT_EQ(Play(XsvfStream().State(1).Wait(6, 1, 2500).Complete().Data()).errorCode, 0);
  EXPECT_EQ(StatesAfterReset(),
            (std::vector<int>{sim::kTapRunTestIdle, sim::kTapSelectDr, sim::kTapCaptureDr,
                              sim::kTapExit1Dr, sim::kTapPauseDr, sim::kTapExit2Dr,
                              sim::kTapUpdateDr, sim::kTapRunTestIdle}));
  EXPECT_EQ(Sleeps(), std::vector<std::uint64_t>{2});
}

// ---------------------------------------------------------------------------------------------
// TAP state walks
// ---------------------------------------------------------------------------------------------
struct WalkCase {
  const char* name;
  std::vector<std::uint8_t> xstates;
  std::vector<int> entered;  // after the opening reset
};

class StateWalks : public PlayerTest, public ::testing::WithParamInterface<WalkCase> {};

TEST_P(StateWalks, FollowTheStateDiagram) {
  XsvfStream stream;
  for (std::uint8_t state : GetParam().xstates) {
    stream.State(state);
  }
  ASSERT_EQ(Play(stream.Complete().Data()).errorCode, kXsvfErrorNone);
  EXPECT_EQ(StatesAfterReset(), GetParam().entered);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StateWalks,
    ::testing::Values(WalkCase{"ResetToIdle", {1}, {1}},
                      WalkCase{"IdleToPauseIr", {1, 13}, {1, 2, 9, 10, 12, 13}},
                      // Staying in a pause state walks the whole column back to it.
                      WalkCase{"PauseDrToPauseDr", {6, 6}, {1, 2, 3, 5, 6, 7, 8, 2, 3, 5, 6}},
                      WalkCase{"PauseDrToShiftDr", {6, 4}, {1, 2, 3, 5, 6, 7, 4}},
                      WalkCase{"PauseIrToExit2Ir", {13, 14}, {1, 2, 9, 10, 12, 13, 14}},
                      WalkCase{"ShiftIrToPauseDr", {11, 6}, {1, 2, 9, 10, 11, 12, 15, 2, 3, 5, 6}},
                      WalkCase{"UpdateDrToIdle", {8, 1}, {1, 2, 3, 5, 8, 1}},
                      WalkCase{"UpdateIrToSelectIr", {15, 9}, {1, 2, 9, 10, 12, 15, 2, 9}},
                      // Six clocks with TMS high reach Test-Logic-Reset from Capture-DR in four.
                      WalkCase{"ResetAgain", {3, 0}, {1, 2, 3, 5, 8, 2, 9, 0, 0}}),
    testing_support::CaseName());

// ---------------------------------------------------------------------------------------------
// Waits
// ---------------------------------------------------------------------------------------------
struct WaitCase {
  DWORD microseconds;
  std::uint64_t milliseconds;
};

class Waits : public PlayerTest, public ::testing::WithParamInterface<WaitCase> {};

TEST_P(Waits, RoundDownToMillisecondsButNeverBelowOne) {
  const std::uint64_t before = Machine().Clock().Now();
  JtagWaitMicroseconds(GetParam().microseconds);
  EXPECT_EQ(Sleeps(), std::vector<std::uint64_t>{GetParam().milliseconds});
  EXPECT_EQ(Machine().Clock().Now() - before, GetParam().milliseconds * sim::kMillisecond);
}

INSTANTIATE_TEST_SUITE_P(Cases, Waits,
                         ::testing::Values(WaitCase{0, 1}, WaitCase{1, 1}, WaitCase{999, 1},
                                           WaitCase{1000, 1}, WaitCase{1999, 1}, WaitCase{2500, 2},
                                           WaitCase{100000, 100}),
                         [](const auto& info) {
                           return std::to_string(info.param.microseconds) + "us";
                         });

}  // namespace
