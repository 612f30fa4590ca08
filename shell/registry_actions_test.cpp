// Saving and clearing the flash registry, and the warm and cold resets, against the module's
// registry store and its reboot control.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cpld/cpld.h"
#include "flash/flash_ops.h"
#include "flash/kernel_mode.h"
#include "flash/nand_driver.h"
#include "library/library_internal.h"
#include "platform/registry.h"
#include "shell/shell.h"
#include "tests/support/faults.h"
#include "tests/support/module_fixture.h"
#include "tests/support/program_state.h"
#include "tests/support/test_names.h"
#include "tests/support/ui_driver.h"

namespace {

using testing_support::ProgramThread;
using testing_support::ShownMessageBox;
using testing_support::UiDriver;

constexpr DWORD kRebootControl = 0x0101003C;
constexpr DWORD kRegistryClearControl = 0x01012010;

class RegistryActions : public testing_support::ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    ResetShellStateForTesting();
    testing_support::ForgetProgramState();
    ui.SetAutoAnswer([](const ShownMessageBox& box) { return box.buttons.front(); });
  }

  // Puts a value into the live registry that only a flush carries into the stored file.
  void MarkLiveRegistry() {
    HKEY key = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Software\\FlushProbe", 0, nullptr, 0, 0,
                              nullptr, &key, &disposition),
              ERROR_SUCCESS);
    const DWORD value = 0x5A5A;
    ASSERT_EQ(RegSetValueExW(key, u"Probe", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                             sizeof(value)),
              ERROR_SUCCESS);
    ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  }

  bool StoredRegistryHoldsMark() {
    std::string stored;
    return sim::ReadWholeFile(ModuleDirectory() / "registry.reg", &stored) &&
           stored.find("FlushProbe") != std::string::npos;
  }

  bool RegistryClearPending() {
    return std::filesystem::exists(ModuleDirectory() / sim::kRegistryClearedMarker);
  }

  void FailCall(const std::string& name) {
    Machine().Faults().Add(faults::Call{.name = name, .count = -1});
  }

  UiDriver ui;
};

// ---------------------------------------------------------------------------------------------
// Save and clear: result, message and what the module keeps, by outcome and silence
// ---------------------------------------------------------------------------------------------
enum class Action { kSave, kClear };

struct RegistryCase {
  const char* name;
  Action action;
  bool fails;
  DWORD silent;
  int result;
  const char16_t* text;  // null: no message box
  UINT icon;
};
void PrintTo(const RegistryCase& c, std::ostream* out) { *out << c.name; }

const RegistryCase kRegistryCases[] = {
    {"SaveShowsSuccess", Action::kSave, false, 0, 1, u"Registry successfully saved", 0},
    {"SaveFailureShowsStop", Action::kSave, true, 0, 0, u"Registry save FAILED!", MB_ICONSTOP},
    {"SilentSaveShowsNothing", Action::kSave, false, 1, 1, nullptr, 0},
    {"SilentFailingSaveShowsNothing", Action::kSave, true, 1, 0, nullptr, 0},
    {"ClearShowsSuccess", Action::kClear, false, 0, 1, u"Registry successfully cleared", 0},
    {"ClearFailureShowsStop", Action::kClear, true, 0, 0, u"Registry clear FAILED!", MB_ICONSTOP},
    {"SilentClearShowsNothing", Action::kClear, false, 1, 1, nullptr, 0},
    {"SilentFailingClearShowsNothing", Action::kClear, true, 1, 0, nullptr, 0},
};

class RegistryActionCases : public RegistryActions,
                            public ::testing::WithParamInterface<RegistryCase> {};

TEST_P(RegistryActionCases, ResultMessageAndStoredState) {
  const RegistryCase& c = GetParam();
  MarkLiveRegistry();
  if (c.fails) {
    FailCall(c.action == Action::kSave ? "RegFlushKey" : "KernelIoControl/0x01012010");
  }
  Machine().Calls().Enable(true);
  SilentMode = c.silent;
  ProgramThread program(
      [&c] { return c.action == Action::kSave ? SaveRegistry(nullptr) : ClearRegistry(nullptr); });
  EXPECT_EQ(program.Join(), c.result);

  const std::vector<ShownMessageBox> boxes = ui.MessageBoxes();
  if (c.text == nullptr) {
    EXPECT_TRUE(boxes.empty());
  } else {
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, u"Registry");
    EXPECT_EQ(boxes[0].text, c.text);
    EXPECT_EQ(boxes[0].icon, c.icon);
    EXPECT_EQ(boxes[0].buttons, std::vector<int>{IDOK});
    EXPECT_EQ(boxes[0].owner, nullptr);
  }
  if (c.action == Action::kSave) {
    EXPECT_EQ(StoredRegistryHoldsMark(), !c.fails);
    EXPECT_EQ(Machine().Calls().Entries("RegFlushKey").size(), 1u);
    EXPECT_FALSE(RegistryClearPending());
  } else {
    EXPECT_EQ(RegistryClearPending(), !c.fails);
    const auto controls = Machine().Calls().Entries("KernelIoControl");
    ASSERT_EQ(controls.size(), 1u);
    EXPECT_EQ(controls[0].args, (std::vector<std::uint64_t>{kRegistryClearControl, 0, 0}));
    EXPECT_FALSE(StoredRegistryHoldsMark());
  }
  EXPECT_EQ(Machine().PendingReset(), sim::ResetKind::kNone);
}

INSTANTIATE_TEST_SUITE_P(Outcomes, RegistryActionCases, ::testing::ValuesIn(kRegistryCases),
                         testing_support::CaseName());

// ---------------------------------------------------------------------------------------------
// Resets
// ---------------------------------------------------------------------------------------------
TEST_F(RegistryActions, WarmResetSendsRebootWithoutInputOrCleanBoot) {
  Machine().Calls().Enable(true);
  EXPECT_EQ(ResetModule(0), 0);
  EXPECT_TRUE(Machine().Calls().Entries("SetCleanRebootFlag").empty());
  const auto controls = Machine().Calls().Entries("KernelIoControl");
  ASSERT_EQ(controls.size(), 1u);
  EXPECT_EQ(controls[0].args, (std::vector<std::uint64_t>{kRebootControl, 0, 0}));
  EXPECT_EQ(Machine().PendingReset(), sim::ResetKind::kWarm);
}

TEST_F(RegistryActions, ColdResetRequestsCleanBootBeforeRebootWithZeroWord) {
  Machine().Calls().Enable(true);
  EXPECT_EQ(ResetModule(1), 0);
  std::vector<std::string> order;
  std::vector<std::uint8_t> input;
  for (const sim::CallEntry& entry : Machine().Calls().Entries()) {
    if (entry.name == "SetCleanRebootFlag") {
      order.push_back(entry.name);
    } else if (entry.name == "KernelIoControl" && entry.args[0] == kRebootControl) {
      order.push_back("reboot");
      input = entry.input;
      EXPECT_EQ(entry.args[1], 4u);
      EXPECT_EQ(entry.args[2], 0u);
    }
  }
  EXPECT_EQ(order, (std::vector<std::string>{"SetCleanRebootFlag", "reboot"}));
  EXPECT_EQ(input, (std::vector<std::uint8_t>{0, 0, 0, 0}));
  EXPECT_EQ(Machine().PendingReset(), sim::ResetKind::kCold);
}

TEST_F(RegistryActions, RefusedRebootReturnsAndShowsNothing) {
  FailCall("KernelIoControl/0x0101003C");
  ProgramThread program([] { return ResetModule(1); });
  EXPECT_EQ(program.Join(), 0);
  EXPECT_TRUE(ui.MessageBoxes().empty());
  EXPECT_EQ(Machine().PendingReset(), sim::ResetKind::kNone);
}

}  // namespace
