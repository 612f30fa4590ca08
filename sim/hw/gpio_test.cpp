#include "sim/hw/gpio.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "sim/base/files.h"
#include "sim/module/machine.h"
#include "tests/support/module_fixture.h"
#include "tests/support/test_names.h"

namespace {

using testing_support::ModuleTest;

class GpioModelTest : public ModuleTest, public ::testing::WithParamInterface<std::string> {
 protected:
  std::string Preset() const override { return GetParam(); }
  sim::GpioModel& Gpio() { return *sim::Machine::Get<sim::GpioModel>("gpio"); }
};

// ---------------------------------------------------------------------------------------------
// Stricter than the silicon
// ---------------------------------------------------------------------------------------------
struct BadAccessCase {
  const char* name;
  const char* preset;
  bool padBlock;
  std::uint32_t offset;
  bool write;
  const char* message;
};

class BadAccess : public ModuleTest, public ::testing::WithParamInterface<BadAccessCase> {
 protected:
  std::string Preset() const override { return GetParam().preset; }
  sim::GpioModel& Gpio() { return *sim::Machine::Get<sim::GpioModel>("gpio"); }
};

TEST_P(BadAccess, IsAFault) {
  const BadAccessCase& c = GetParam();
  EXPECT_DEATH(
      {
        if (c.padBlock) {
          c.write ? Gpio().PadWrite(c.offset, 0) : (void)Gpio().PadRead(c.offset);
        } else {
          c.write ? Gpio().GpioWrite(c.offset, 0) : (void)Gpio().GpioRead(c.offset);
        }
      },
      c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadAccess,
    ::testing::Values(
        BadAccessCase{"NoFunctionRegistersOnPxa3xx", "pxa320", false, 0x054, false,
                      "no register at physical 0x40E00054"},
        BadAccessCase{"NoSetDirectionOnPxa27x", "pxa270-32m", false, 0x400, true,
                      "no register at physical 0x40E00400"},
        BadAccessCase{"LevelIsReadOnly", "pxa300", false, 0x100, true, "read-only register GPLR3"},
        BadAccessCase{"SetIsWriteOnly", "pxa310", false, 0x018, false, "write-only register GPSR0"},
        BadAccessCase{"NoPadRegisterThere", "pxa300", true, 0x000, false,
                      "no pad register at physical 0x40E10000"},
        // The PXA320's first pad register is not one on the PXA310.
        BadAccessCase{"OtherProcessorsPad", "pxa310", true, 0x124, true,
                      "no pad register at physical 0x40E10124"}),
    testing_support::CaseName());

// ---------------------------------------------------------------------------------------------
// Pads
// ---------------------------------------------------------------------------------------------
class Pxa320Pads : public ModuleTest {
 protected:
  sim::GpioModel& Gpio() { return *sim::Machine::Get<sim::GpioModel>("gpio"); }
};

TEST_F(Pxa320Pads, SecondPad_CarriesItsGpioOnlyInTheGpioFunction) {
  Gpio().GpioWrite(0x400, 1u << 1);  // GSDR0: GPIO1 is an output
  Gpio().GpioWrite(0x024, 1u << 1);  // GPCR0: driven low
  EXPECT_EQ(Gpio().PadLevel(129), 1) << "pad GPIO1_2 boots in a peripheral function";
  const std::uint32_t pad = Gpio().PadRead(0x678);  // GPIO1_2
  Gpio().PadWrite(0x678, pad & ~7u);
  EXPECT_EQ(Gpio().PadLevel(129), 0);
  EXPECT_EQ(Gpio().GpioRead(0x000) & 2u, 0u) << "GPLR0 reads the low line";
}

// A process that leaves the registers as it found them leaves the state files alone: nothing
// is rewritten by a look, and what another process saved meanwhile is not undone.
TEST_F(Pxa320Pads, StateFiles_AreWrittenOnlyWhenTheStateChanged) {
  const std::filesystem::path ram = ModuleDirectory() / "ram";
  Reattach();  // the files exist from here
  const auto inode = [](const std::filesystem::path& file) {
    struct stat status {};
    return ::stat(file.c_str(), &status) == 0 ? status.st_ino : ino_t{0};
  };
  const ino_t gpio = inode(ram / "gpio.json");
  const ino_t cpld = inode(ram / "cpld.json");
  ASSERT_NE(gpio, ino_t{0});
  ASSERT_NE(cpld, ino_t{0});
  Reattach();
  EXPECT_EQ(inode(ram / "gpio.json"), gpio) << "rewritten by a process that changed nothing";
  EXPECT_EQ(inode(ram / "cpld.json"), cpld);

  // Another process's change, saved while this one is attached, survives this one's detach.
  std::string saved;
  ASSERT_TRUE(sim::ReadWholeFile(ram / "gpio.json", &saved));
  sim::Json other = sim::Json::parse(saved);
  other["marker"] = "saved by another process";
  std::string error;
  ASSERT_TRUE(sim::WriteWholeFile(ram / "gpio.json", other.dump(1), &error)) << error;
  Reattach();
  std::string after;
  ASSERT_TRUE(sim::ReadWholeFile(ram / "gpio.json", &after));
  EXPECT_NE(after.find("saved by another process"), std::string::npos);

  // A change is written.
  Gpio().GpioWrite(0x40C, 1u << 4);  // GSDR3: GPIO100 an output
  Reattach();
  EXPECT_TRUE(Gpio().IsOutput(100));
  ASSERT_TRUE(sim::ReadWholeFile(ram / "gpio.json", &after));
  EXPECT_EQ(after.find("saved by another process"), std::string::npos);
}

TEST_F(Pxa320Pads, RegisterState_SurvivesProcessesButNotAReset) {
  Gpio().GpioWrite(0x40C, 1u << 4);  // GSDR3: GPIO100 an output
  Gpio().GpioWrite(0x118, 1u << 4);  // GPSR3: high
  Gpio().PadWrite(0x600 + 4, 0x0840);
  Reattach();
  EXPECT_TRUE(Gpio().IsOutput(100));
  EXPECT_TRUE(Gpio().OutputLatch(100));
  EXPECT_EQ(Gpio().PadRegister(100), 0x0840u);
  sim::Detach();
  std::string error;
  ASSERT_TRUE(sim::ResetModule(ModuleDirectory(), &error)) << error;
  ASSERT_TRUE(sim::Attach(ModuleDirectory(), sim::AttachOptions{}, &error)) << error;
  EXPECT_FALSE(Gpio().IsOutput(100));
  EXPECT_EQ(Gpio().PadRegister(100), 0x0841u) << "the boot loader's pad setting";
}

TEST_P(GpioModelTest, EveryRegisterAccess_TakesBusTime) {
  const std::uint64_t before = Machine().Clock().Now();
  (void)Gpio().GpioRead(0x00C);
  Gpio().GpioWrite(0x018, 1);
  EXPECT_EQ(Gpio().Now() - before, 2 * sim::kGpioAccessNanoseconds);
  EXPECT_EQ(Gpio().AccessCount(), 2u);
  // The clock takes the bus time in batches, at the latest after a batch's worth of accesses.
  for (std::uint64_t i = 2; i < sim::kGpioTimeBatchNanoseconds / sim::kGpioAccessNanoseconds; ++i) {
    EXPECT_EQ(Machine().Clock().Now(), before);
    (void)Gpio().GpioRead(0x00C);
  }
  EXPECT_EQ(Machine().Clock().Now() - before, sim::kGpioTimeBatchNanoseconds);
}

INSTANTIATE_TEST_SUITE_P(Presets, GpioModelTest, ::testing::Values("pxa270-32m", "pxa320"),
                         testing_support::PresetName());

}  // namespace
