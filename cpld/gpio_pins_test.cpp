#include "cpld/gpio_pins.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "flash/kernel_mode.h"
#include "sim/hw/gpio.h"
#include "sim/module/machine.h"
#include "tests/support/faults.h"
#include "tests/support/module_fixture.h"
#include "tests/support/test_names.h"

namespace {

using testing_support::ModuleTest;

class GpioTestBase : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    ResetKernelModeStateForTesting();
    ResetGpioStateForTesting();
  }
  sim::GpioModel& Gpio() { return *sim::Machine::Get<sim::GpioModel>("gpio"); }
};

class GpioOnPreset : public GpioTestBase, public ::testing::WithParamInterface<std::string> {
 protected:
  std::string Preset() const override { return GetParam(); }
};

DWORD PinCountOf(const std::string& preset) {
  if (preset == "pxa320") {
    return 146;
  }
  if (preset == "pxa300") {
    return 135;
  }
  return preset == "pxa310" ? 139 : 121;
}

// ---------------------------------------------------------------------------------------------
// Pad register tables
// ---------------------------------------------------------------------------------------------
using PadTables = GpioOnPreset;

// Every pin's function lands in its own pad register, in the processor's pad order (the model
// holds the order independently), and no other register changes.
TEST_P(PadTables, EveryPin_SetsItsOwnPadRegisterOnly) {
  const DWORD pinCount = PinCountOf(GetParam());
  ASSERT_TRUE(GpioReady());
  for (DWORD pin = 0; pin < pinCount; ++pin) {
    ASSERT_TRUE(Gpio().HasPad(pin)) << "pin " << pin;
    const std::uint32_t padBefore = Gpio().PadRegister(pin);
    const std::vector<std::uint32_t> before = Gpio().Snapshot();
    GpioSetFunction(pin, 6, 0);
    const std::vector<std::uint32_t> after = Gpio().Snapshot();
    std::size_t changed = 0;
    for (std::size_t i = 0; i < before.size(); ++i) {
      changed += before[i] != after[i] ? 1 : 0;
    }
    EXPECT_EQ(changed, 1u) << "pin " << pin;
    // Only the function field changes; drive strength and edge bits stay.
    EXPECT_EQ(Gpio().PadRegister(pin), (padBefore & ~7u) | 6u) << "pin " << pin;
  }
}

INSTANTIATE_TEST_SUITE_P(Pxa3xx, PadTables, ::testing::Values("pxa320", "pxa300", "pxa310"),
                         testing_support::PresetName());

// ---------------------------------------------------------------------------------------------
// Levels and directions on both layouts
// ---------------------------------------------------------------------------------------------
using PinLevels = GpioOnPreset;

TEST_P(PinLevels, OutputDrivesAndReadsBack_InputReadsTheLine) {
  // One pin in each bank; bank 3 sits apart from the others in the register block.
  for (DWORD pin : {3u, 40u, 77u, 100u, 120u}) {
    GpioSetFunction(pin, 0, 1);
    EXPECT_EQ(Gpio().Function(pin), 0u) << pin;
    EXPECT_TRUE(Gpio().IsOutput(pin)) << pin;
    GpioSetLevel(pin, 1);
    EXPECT_TRUE(Gpio().OutputLatch(pin)) << pin;
    EXPECT_EQ(Gpio().PadLevel(pin), 1) << pin;
    EXPECT_EQ(GpioGetLevel(pin), 1u) << pin;
    GpioSetLevel(pin, 0);
    EXPECT_FALSE(Gpio().OutputLatch(pin)) << pin;
    EXPECT_EQ(Gpio().PadLevel(pin), 0) << pin;
    EXPECT_EQ(GpioGetLevel(pin), 0u) << pin;
    GpioSetDirection(pin, 0);
    EXPECT_FALSE(Gpio().IsOutput(pin)) << pin;
    EXPECT_EQ(GpioGetLevel(pin), 1u) << pin << ": an undriven line is pulled up";
    GpioSetDirection(pin, 1);
    EXPECT_TRUE(Gpio().IsOutput(pin)) << pin;
  }
}

INSTANTIATE_TEST_SUITE_P(BothLayouts, PinLevels,
                         ::testing::Values("pxa270-32m", "pxa320", "pxa300", "pxa310"),
                         testing_support::PresetName());

class Pxa27xPins : public GpioTestBase {
 protected:
  std::string Preset() const override { return "pxa270-32m"; }
};

TEST_F(Pxa27xPins, SetFunction_ReplacesTwoBitsAndAlwaysSetsDirection) {
  GpioSetFunction(16, 1, 0);
  GpioSetFunction(18, 3, 1);
  GpioSetFunction(17, 2, 1);
  EXPECT_EQ(Gpio().Function(16), 1u);
  EXPECT_EQ(Gpio().Function(17), 2u);
  EXPECT_EQ(Gpio().Function(18), 3u);
  EXPECT_TRUE(Gpio().IsOutput(17)) << "the direction follows on every function";
  EXPECT_FALSE(Gpio().IsOutput(16));
  GpioSetFunction(17, 0, 0);
  EXPECT_EQ(Gpio().Function(16), 1u);
  EXPECT_EQ(Gpio().Function(17), 0u);
  EXPECT_EQ(Gpio().Function(18), 3u);
  EXPECT_FALSE(Gpio().IsOutput(17));
}

// ---------------------------------------------------------------------------------------------
// Pins beyond the processor's count
// ---------------------------------------------------------------------------------------------
struct OutOfRangeCase {
  const char* preset;
  DWORD pin;
};

class OutOfRangePins : public GpioTestBase, public ::testing::WithParamInterface<OutOfRangeCase> {
 protected:
  std::string Preset() const override { return GetParam().preset; }
};

TEST_P(OutOfRangePins, ChangeNothingAndReadZero) {
  ASSERT_TRUE(GpioReady());
  const std::vector<std::uint32_t> before = Gpio().Snapshot();
  const std::uint64_t accesses = Gpio().AccessCount();
  const DWORD pin = GetParam().pin;
  GpioSetFunction(pin, 0, 1);
  GpioSetDirection(pin, 1);
  GpioSetLevel(pin, 0);
  EXPECT_EQ(GpioGetLevel(pin), 0u);
  EXPECT_EQ(Gpio().Snapshot(), before);
  EXPECT_EQ(Gpio().AccessCount(), accesses) << "no register was even read";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OutOfRangePins,
    ::testing::Values(OutOfRangeCase{"pxa270-32m", 121}, OutOfRangeCase{"pxa270-32m", 0xFFFFFFFF},
                      OutOfRangeCase{"pxa320", 146},
                      // Would be the second pad of GPIO 56, beyond the table of 146 pads.
                      OutOfRangeCase{"pxa320", 184}, OutOfRangeCase{"pxa300", 135},
                      OutOfRangeCase{"pxa310", 139}),
    [](const auto& info) {
      return testing_support::ParamName(info.param.preset) + "_pin" +
             std::to_string(info.param.pin);
    });

// ---------------------------------------------------------------------------------------------
// Which function numbers make a pin a GPIO
// ---------------------------------------------------------------------------------------------
struct DirectionCase {
  const char* preset;
  DWORD pin;
  DWORD function;
  unsigned gpio;
  bool becomesOutput;
};

class DirectionRules : public GpioTestBase, public ::testing::WithParamInterface<DirectionCase> {
 protected:
  std::string Preset() const override { return GetParam().preset; }
};

TEST_P(DirectionRules, DirectionFollowsOnlyForTheGpioFunction) {
  const DirectionCase& c = GetParam();
  GpioSetFunction(c.pin, c.function, 1);
  EXPECT_EQ(Gpio().Function(c.pin), c.function) << "the pad register is written in any case";
  EXPECT_EQ(Gpio().IsOutput(c.gpio), c.becomesOutput);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DirectionRules,
    ::testing::Values(
        // PXA320: function 0 is the GPIO, but GPIO 56 and 59 to 62 keep their direction.
        DirectionCase{"pxa320", 58, 0, 58, true}, DirectionCase{"pxa320", 56, 0, 56, false},
        DirectionCase{"pxa320", 59, 0, 59, false}, DirectionCase{"pxa320", 62, 0, 62, false},
        DirectionCase{"pxa320", 57, 3, 57, false},
        // The second pad of GPIO 1 sets GPIO 1's direction.
        DirectionCase{"pxa320", 129, 0, 1, true},
        // PXA300/PXA310: a few pads carry their GPIO in another function.
        DirectionCase{"pxa300", 50, 0, 50, false}, DirectionCase{"pxa300", 50, 2, 50, true},
        DirectionCase{"pxa300", 46, 0, 46, false}, DirectionCase{"pxa300", 46, 1, 46, true},
        DirectionCase{"pxa310", 52, 3, 52, true}, DirectionCase{"pxa310", 49, 0, 49, false},
        DirectionCase{"pxa310", 30, 0, 30, true}, DirectionCase{"pxa300", 130, 0, 2, true}),
    [](const auto& info) {
      return testing_support::ParamName(info.param.preset) + "_pin" +
             std::to_string(info.param.pin) + "_function" + std::to_string(info.param.function);
    });

// ---------------------------------------------------------------------------------------------
// Mapping failures
// ---------------------------------------------------------------------------------------------
struct MappingCase {
  const char* name;
  std::int64_t skip;  // mappings that succeed before the failing one
};

class MappingFailure : public GpioTestBase, public ::testing::WithParamInterface<MappingCase> {};

TEST_P(MappingFailure, NothingHappensNothingStaysReservedAndTheNextCallRetries) {
  Machine().Faults().Add(faults::Call{.name = "VirtualCopy", .skip = GetParam().skip, .count = 3});
  EXPECT_FALSE(GpioReady());
  EXPECT_EQ(Machine().VirtualMemory().ReservationCount(), 0u);
  GpioSetFunction(83, 0, 1);
  EXPECT_EQ(GpioGetLevel(83), 0u);
  EXPECT_EQ(Gpio().AccessCount(), 0u);
  EXPECT_EQ(Machine().VirtualMemory().ReservationCount(), 0u);
  EXPECT_TRUE(GpioReady()) << "the fourth attempt maps";
  GpioSetFunction(83, 0, 1);
  EXPECT_TRUE(Gpio().IsOutput(83));
}

INSTANTIATE_TEST_SUITE_P(Cases, MappingFailure,
                         ::testing::Values(MappingCase{"GpioBlock", 0}, MappingCase{"PadBlock", 1}),
                         testing_support::CaseName());

}  // namespace
