// The main dialog as a person uses it: the controls it offers after each start-up status on each
// processor, every button, the version box and the CPLD version.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "cpld/cpld.h"
#include "flash/flash_ops.h"
#include "flash/kernel_mode.h"
#include "flash/nand_driver.h"
#include "library/library_internal.h"
#include "platform/registry.h"
#include "resources/resource.h"
#include "shell/shell.h"
#include "sim/base/utf.h"
#include "sim/os/os_flash.h"
#include "sim/ui/front_end.h"
#include "tests/support/faults.h"
#include "tests/support/module_fixture.h"
#include "tests/support/program_state.h"
#include "tests/support/test_names.h"
#include "tests/support/ui_driver.h"

namespace {

using testing_support::ProgramThread;
using testing_support::ShownMessageBox;
using testing_support::UiDriver;

constexpr int kAllButtons[] = {IDC_MAIN_SAVE,     IDC_MAIN_CLEAR,        IDC_MAIN_UPDATE,
                               IDC_MAIN_BACKUP,   IDC_MAIN_VERSION_INFO, IDC_MAIN_CPLD_VERSION,
                               IDC_MAIN_WARMBOOT, IDC_MAIN_COLDBOOT,     IDC_MAIN_IMAGE_GROUP};
constexpr DWORD kRebootControl = 0x0101003C;

// The program's process-wide state as a new process starts with it.
void ForgetProgramState() {
  ResetShellStateForTesting();
  testing_support::ForgetProgramState();
}

// The program started without switches; returns its exit code.
std::intptr_t RunWithoutSwitches() {
  WCHAR commandLine[1] = {0};
  return WinMain(sim::ui::ProgramInstance(), nullptr, commandLine, 0);
}

class MainDialogTest : public testing_support::ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    ForgetProgramState();
  }

  // Starts the program and waits for its main dialog.
  HWND Start() {
    program_.emplace(RunWithoutSwitches);
    return ui.WaitForDialog(IDD_MAIN);
  }

  // Closes the main dialog and returns the program's exit code. The dialog stays until an
  // update it started has ended, which may be a moment after its last window closed.
  std::intptr_t Finish(HWND dialog) {
    EXPECT_TRUE(ui.WaitFor([&] { return ui.TakesInput(dialog); }, "the main dialog to take input"));
    EXPECT_TRUE(ui.WaitFor(
        [&] {
          if (IsWindow(dialog) == FALSE) {
            return true;
          }
          (void)sim::ui::CloseWindow(dialog);
          return false;
        },
        "the main dialog to close"));
    return program_->Join();
  }

  void FailCall(const std::string& name) {
    Machine().Faults().Add(faults::Call{.name = name, .count = -1});
  }

  UiDriver ui;
  std::optional<ProgramThread> program_;
};

// ---------------------------------------------------------------------------------------------
// Controls by start-up status and processor
// ---------------------------------------------------------------------------------------------
enum class StartUp { kOk, kNoFlash, kUnknownStatus };

struct ControlsCase {
  const char* name;
  const char* preset;
  StartUp startUp;
  const char16_t* initMessage;  // null: none
  std::vector<int> disabled;
  bool cpldVisible;
  bool handleStored;
};
void PrintTo(const ControlsCase& c, std::ostream* out) { *out << c.name; }

const ControlsCase kControlsCases[] = {
    {"Pxa320Ready", "pxa320", StartUp::kOk, nullptr, {}, true, true},
    {"Pxa310Ready", "pxa310", StartUp::kOk, nullptr, {}, true, true},
    {"Pxa270Ready", "pxa270-32m", StartUp::kOk, nullptr, {}, false, true},
    {"Pxa320NoFlash",
     "pxa320",
     StartUp::kNoFlash,
     u"Could not initialize Flash.",
     {IDC_MAIN_UPDATE, IDC_MAIN_BACKUP, IDC_MAIN_VERSION_INFO, IDC_MAIN_IMAGE_GROUP},
     true,
     true},
    {"Pxa270NoFlash",
     "pxa270-64m",
     StartUp::kNoFlash,
     u"Could not initialize Flash.",
     {IDC_MAIN_UPDATE, IDC_MAIN_BACKUP, IDC_MAIN_VERSION_INFO, IDC_MAIN_IMAGE_GROUP},
     false,
     true},
    {"Pxa320UnknownStatus",
     "pxa320",
     StartUp::kUnknownStatus,
     u"FWLInit: Unknown Error: 11",
     {},
     true,
     false},
    {"Pxa270UnknownStatusKeepsCpldButton",
     "pxa270-32m",
     StartUp::kUnknownStatus,
     u"FWLInit: Unknown Error: 11",
     {},
     true,
     false},
};

class MainDialogControls : public MainDialogTest,
                           public ::testing::WithParamInterface<ControlsCase> {
 protected:
  std::string Preset() const override { return GetParam().preset; }
};

TEST_P(MainDialogControls, EnabledAndVisibleByStatus) {
  const ControlsCase& c = GetParam();
  if (c.startUp == StartUp::kNoFlash) {
    FailCall("CreateMutexW");  // the flash lock cannot be made: the flash layer does not start
  }
  if (c.startUp == StartUp::kUnknownStatus) {
    // The library reports no such status today; the dialog shows any it is given.
    program_.emplace([] {
      return DialogBoxParamW(sim::ui::ProgramInstance(), MAKEINTRESOURCE(IDD_MAIN), nullptr,
                             MainDialogProc, FWL_ERR_NO_REGION);
    });
  } else {
    program_.emplace(RunWithoutSwitches);
  }
  if (c.initMessage != nullptr) {
    const ShownMessageBox box = ui.AnswerNext(IDOK);
    EXPECT_EQ(box.caption, u"ERROR");
    EXPECT_EQ(box.text, c.initMessage);
    EXPECT_EQ(box.icon, MB_ICONSTOP);
  }
  HWND dialog = ui.WaitForDialog(IDD_MAIN);
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(ui.Caption(dialog), u"Flashwick 3.4.0");
  for (int id : kAllButtons) {
    const sim::ui::ControlView control = ui.Control(dialog, id);
    const bool disabled = std::find(c.disabled.begin(), c.disabled.end(), id) != c.disabled.end();
    EXPECT_EQ(control.enabled, !disabled) << "control " << id;
    EXPECT_EQ(control.visible, id != IDC_MAIN_CPLD_VERSION || c.cpldVisible) << "control " << id;
  }
  EXPECT_EQ(MainDialogHandle, c.handleStored ? dialog : nullptr);
  EXPECT_EQ(ui.MessageBoxes().size(), c.initMessage != nullptr ? 1u : 0u);
  EXPECT_TRUE(ui.Close(dialog));
  EXPECT_EQ(program_->Join(), c.startUp == StartUp::kUnknownStatus ? 0 : 1);
}

INSTANTIATE_TEST_SUITE_P(Start, MainDialogControls, ::testing::ValuesIn(kControlsCases),
                         testing_support::CaseName());

// ---------------------------------------------------------------------------------------------
// Registry and reset buttons
// ---------------------------------------------------------------------------------------------
struct ButtonCase {
  const char* name;
  int id;
  const char16_t* text;  // the one message box; null: none
  bool savesRegistry;
  bool clearsRegistry;
  sim::ResetKind reset;
};
void PrintTo(const ButtonCase& c, std::ostream* out) { *out << c.name; }

const ButtonCase kButtonCases[] = {
    {"Save", IDC_MAIN_SAVE, u"Registry successfully saved", true, false, sim::ResetKind::kNone},
    {"Clear", IDC_MAIN_CLEAR, u"Registry successfully cleared", false, true, sim::ResetKind::kNone},
    {"Warmboot", IDC_MAIN_WARMBOOT, nullptr, false, false, sim::ResetKind::kWarm},
    {"Coldboot", IDC_MAIN_COLDBOOT, nullptr, false, false, sim::ResetKind::kCold},
};

class MainDialogButtons : public MainDialogTest,
                          public ::testing::WithParamInterface<ButtonCase> {};

TEST_P(MainDialogButtons, ActAtOnceAndReportToTheDialog) {
  const ButtonCase& c = GetParam();
  Machine().Calls().Enable(true);
  HWND dialog = Start();
  ASSERT_NE(dialog, nullptr);
  // A value that only a flush carries into the stored registry.
  HKEY key = nullptr;
  DWORD disposition = 0;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Software\\ButtonProbe", 0, nullptr, 0, 0, nullptr,
                            &key, &disposition),
            ERROR_SUCCESS);
  ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);

  ASSERT_TRUE(ui.Press(dialog, c.id));
  if (c.text != nullptr) {
    const ShownMessageBox box = ui.AnswerNext(IDOK);
    EXPECT_EQ(box.caption, u"Registry");
    EXPECT_EQ(box.text, c.text);
    EXPECT_EQ(box.icon, 0u);
    EXPECT_EQ(box.owner, dialog);
  }
  ASSERT_TRUE(ui.WaitIdle(dialog));
  EXPECT_TRUE(ui.TakesInput(dialog));
  EXPECT_EQ(ui.MessageBoxes().size(), c.text != nullptr ? 1u : 0u);

  std::string stored;
  ASSERT_TRUE(sim::ReadWholeFile(ModuleDirectory() / "registry.reg", &stored));
  EXPECT_EQ(stored.find("ButtonProbe") != std::string::npos, c.savesRegistry);
  EXPECT_EQ(std::filesystem::exists(ModuleDirectory() / sim::kRegistryClearedMarker),
            c.clearsRegistry);
  EXPECT_EQ(Machine().PendingReset(), c.reset);
  std::size_t reboots = 0;
  for (const sim::CallEntry& entry : Machine().Calls().Entries("KernelIoControl")) {
    reboots += entry.args[0] == kRebootControl ? 1 : 0;
  }
  EXPECT_EQ(reboots, c.reset == sim::ResetKind::kNone ? 0u : 1u);
  EXPECT_EQ(Finish(dialog), 1);
}

INSTANTIATE_TEST_SUITE_P(Press, MainDialogButtons, ::testing::ValuesIn(kButtonCases),
                         testing_support::CaseName());

TEST_F(MainDialogTest, UpdateAsksForTheFileOnAThreadOfItsOwnOverTheDialog) {
  std::filesystem::create_directories(Machine().FilesDirectory() / "USB HD" / "IMAGES");
  HWND dialog = Start();
  ASSERT_NE(dialog, nullptr);
  ASSERT_TRUE(ui.Press(dialog, IDC_MAIN_UPDATE));
  const testing_support::ShownFileDialog open = ui.WaitForFileDialog();
  EXPECT_EQ(open.owner, dialog);
  EXPECT_FALSE(open.request.save);
  EXPECT_EQ(open.request.folder, u"\\USB HD\\IMAGES");
  ASSERT_EQ(open.request.filters.size(), 1u);
  EXPECT_EQ(open.request.filters[0].description, u"IMAGE files");
  EXPECT_EQ(open.request.filters[0].pattern, u"*.bin");
  // The owner is disabled while the file dialog is open.
  EXPECT_FALSE(ui.TakesInput(dialog));
  ASSERT_TRUE(ui.CancelFile(open.handle));
  EXPECT_TRUE(ui.WaitFor([&] { return ui.TakesInput(dialog); }, "the main dialog to take input"));
  EXPECT_TRUE(ui.MessageBoxes().empty());
  EXPECT_EQ(Finish(dialog), 1);
}

// The update's windows keep the dialog from input while they are open; a press that lands
// between them (a command posted to the dialog here) starts nothing while the update runs.
TEST_F(MainDialogTest, WhileAnUpdateRunsNoSecondUpdateBackupResetOrClose) {
  std::filesystem::create_directories(Machine().FilesDirectory() / "USB HD" / "IMAGES");
  HWND dialog = Start();
  ASSERT_NE(dialog, nullptr);
  Machine().Calls().Enable(true);
  ASSERT_TRUE(ui.Press(dialog, IDC_MAIN_UPDATE));
  const testing_support::ShownFileDialog open = ui.WaitForFileDialog();
  ASSERT_EQ(Machine().Calls().Entries("CreateThread").size(), 1u);
  for (int id : {IDC_MAIN_UPDATE, IDC_MAIN_BACKUP, IDC_MAIN_COLDBOOT, IDC_MAIN_WARMBOOT,
                 static_cast<int>(IDCANCEL)}) {
    ASSERT_TRUE(PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0));
  }
  ASSERT_TRUE(ui.WaitIdle(dialog));
  EXPECT_EQ(Machine().Calls().Entries("CreateThread").size(), 1u) << "a second update started";
  for (const sim::ui::WindowView& window : sim::ui::OpenWindows()) {
    EXPECT_NE(window.templateId, IDD_REGION) << "the region dialog opened";
  }
  EXPECT_TRUE(IsWindow(dialog));
  EXPECT_EQ(Machine().PendingReset(), sim::ResetKind::kNone);
  ASSERT_TRUE(ui.CancelFile(open.handle));

  // Once the update has ended, Update and Backup work again.
  EXPECT_TRUE(ui.WaitFor(
      [&] {
        (void)PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDC_MAIN_UPDATE, BN_CLICKED), 0);
        return ui.WaitIdle(dialog) && Machine().Calls().Entries("CreateThread").size() == 2;
      },
      "a new update to start"));
  ASSERT_TRUE(ui.CancelFile(ui.WaitForFileDialog().handle));
  EXPECT_TRUE(ui.WaitFor([&] { return ui.TakesInput(dialog); }, "the main dialog to take input"));
  EXPECT_EQ(Finish(dialog), 1);
}

TEST_F(MainDialogTest, BackupOpensTheRegionDialogOverTheMainDialog) {
  HWND dialog = Start();
  ASSERT_NE(dialog, nullptr);
  ASSERT_TRUE(ui.Press(dialog, IDC_MAIN_BACKUP));
  HWND region = ui.WaitForDialog(IDD_REGION);
  ASSERT_NE(region, nullptr);
  sim::ui::WindowView view;
  ASSERT_TRUE(sim::ui::GetWindowView(region, &view));
  EXPECT_EQ(view.owner, dialog);
  EXPECT_EQ(view.caption, u"BackUp");
  EXPECT_FALSE(ui.TakesInput(dialog));
  ASSERT_TRUE(ui.Close(region));
  ASSERT_TRUE(ui.WaitUntilClosed(region));
  EXPECT_TRUE(ui.WaitFor([&] { return ui.TakesInput(dialog); }, "the main dialog to take input"));
  EXPECT_EQ(Finish(dialog), 1);
}

// ---------------------------------------------------------------------------------------------
// Version box
// ---------------------------------------------------------------------------------------------
enum class RecordPatch {
  kNone,
  kBetaBuild,  // the record's build field set to 5
  kBanner,     // the record gone; the older bootloaders' text banner in its place
  kRemoved,    // neither record nor banner
};

struct VersionCase {
  std::string name;
  const char* preset;
  RecordPatch record;
  const char* imageVersion;  // module.json "imageVersion" as JSON; null: the image does not answer
  bool romFilePresent;
  std::u16string text;
};
void PrintTo(const VersionCase& c, std::ostream* out) { *out << c.name; }

std::vector<VersionCase> VersionCases() {
  // The presets' bootloader build time and the creation time of their ROM files.
  const std::u16string built = u"13 Mar 2009 10:05:09 (GMT)";
  const std::u16string bootloader = u"Bootloader (in Flash)\r\nID:\t";
  const std::u16string image = u"\r\n\r\nImage (current running)\r\nID:\t";
  const char* release = R"({"id": 1, "major": 2, "minor": 31, "beta": 0})";
  return {
      {"RecordAndImage", "pxa320", RecordPatch::kNone, release, true,
       bootloader + u"KESTRIN\r\nVer:\t1.4 \r\nBuilt:\t" + built + image +
           u"KESTRIN\r\nVer:\t2.31 \r\nBuilt:\t" + built},
      {"BannerOfAnOlderBootloader", "pxa270-32m", RecordPatch::kBanner, release, true,
       bootloader + u"KESTRIN\r\nVer:\t1.4 \r\nBuilt:\t01 Mar 2009 00:00:00 (GMT)" + image +
           u"KESTRIN\r\nVer:\t2.31 \r\nBuilt:\t" + built},
      {"BetaBuilds", "pxa270-32m", RecordPatch::kBetaBuild,
       R"({"id": 1, "major": 2, "minor": 31, "beta": 7})", true,
       bootloader + u"KESTRIN\r\nVer:\t1.4 BETA, Build 5\r\nBuilt:\t" + built + image +
           u"KESTRIN\r\nVer:\t2.31 BETA, Build 7\r\nBuilt:\t" + built},
      {"ForeignImage", "pxa320", RecordPatch::kNone,
       R"({"id": 3, "major": 2, "minor": 31, "beta": 0})", true,
       bootloader + u"KESTRIN\r\nVer:\t1.4 \r\nBuilt:\t" + built + image +
           u"UNKNOWN\r\nVer:\t2.31 \r\nBuilt:\t" + built},
      {"SilentImageRepeatsTheBootloader", "pxa320", RecordPatch::kNone, nullptr, true,
       bootloader + u"KESTRIN\r\nVer:\t1.4 \r\nBuilt:\t" + built + image +
           u"KESTRIN\r\nVer:\t1.4 \r\nBuilt:\t" + built},
      {"NothingKnown", "pxa270-32m", RecordPatch::kRemoved, nullptr, false,
       bootloader + u"UNKNOWN\r\nVer:\t0.0 \r\nBuilt:\tUnknown Date" + image +
           u"UNKNOWN\r\nVer:\t0.0 \r\nBuilt:\tUnknown Date"},
  };
}

class MainDialogVersions : public MainDialogTest,
                           public ::testing::WithParamInterface<VersionCase> {
 protected:
  std::string Preset() const override { return GetParam().preset; }
  void Configure(sim::Json& config) override {
    config["imageVersion"] = GetParam().imageVersion != nullptr
                                 ? sim::Json::parse(GetParam().imageVersion)
                                 : sim::Json(nullptr);
  }

  // Rewrites flash bytes as the OS driver would: each block touched is read, patched, erased and
  // programmed again.
  void RewriteFlash(std::uint32_t offset, const std::vector<std::uint8_t>& bytes) {
    sim::OsFlash* flash = sim::CurrentOsFlash();
    ASSERT_NE(flash, nullptr);
    std::uint32_t at = offset;
    while (at < offset + bytes.size()) {
      const std::uint32_t blockSize = flash->BlockSize(at);
      const std::uint32_t blockStart = at - at % blockSize;
      std::vector<std::uint8_t> block(blockSize);
      ASSERT_TRUE(flash->Read(blockStart, block.data(), blockSize));
      for (std::uint32_t i = 0; i < bytes.size(); ++i) {
        if (offset + i >= blockStart && offset + i < blockStart + blockSize) {
          block[offset + i - blockStart] = bytes[i];
        }
      }
      ASSERT_TRUE(flash->EraseBlock(blockStart));
      ASSERT_TRUE(flash->Program(blockStart, block.data(), blockSize));
      at = blockStart + blockSize;
    }
  }
};

TEST_P(MainDialogVersions, VersionInfoShowsBootloaderAndRunningImage) {
  const VersionCase& c = GetParam();
  constexpr std::uint32_t kRecordAt = 0x100;  // where the NOR presets' bootloader keeps its record
  if (c.record == RecordPatch::kBetaBuild) {
    RewriteFlash(kRecordAt + 12, {0x04, 0x00, 0x05, 0x00});  // minor 4, beta build 5
  } else if (c.record != RecordPatch::kNone) {
    RewriteFlash(kRecordAt, {0x00, 0x00, 0x00, 0x00});
  }
  if (c.record == RecordPatch::kBanner) {
    const std::string banner =
        "Microsoft Windows CE Ethernet Bootloader 1.4 for Velmora Kestrin Built Mar  1 2009\r\n";
    RewriteFlash(0x9000, std::vector<std::uint8_t>(banner.begin(), banner.end()));
  }
  if (!c.romFilePresent) {
    ASSERT_TRUE(DeleteFileW(u"\\Windows\\wince.nls"));
  }
  HWND dialog = Start();
  ASSERT_NE(dialog, nullptr);
  ASSERT_TRUE(ui.Press(dialog, IDC_MAIN_VERSION_INFO));
  const ShownMessageBox box = ui.AnswerNext(IDOK);
  EXPECT_EQ(box.caption, u"BSP Version");
  EXPECT_EQ(box.text, c.text);
  EXPECT_EQ(box.icon, 0u);
  EXPECT_EQ(box.buttons, std::vector<int>{IDOK});
  EXPECT_EQ(box.owner, dialog);
  EXPECT_EQ(Finish(dialog), 1);
}

INSTANTIATE_TEST_SUITE_P(Texts, MainDialogVersions, ::testing::ValuesIn(VersionCases()),
                         testing_support::CaseName());

// ---------------------------------------------------------------------------------------------
// CPLD version
// ---------------------------------------------------------------------------------------------
constexpr const char16_t* kCpldQuestion =
    u"To read the CPLD Version the SODIMM pins 88, 90 and 92 have to be unconnected (e.g. on the "
    u"Velmora EvalBoard)\nDo you want to continue?";

enum class CpldFault { kNone, kAbsent, kForeignPart };

struct CpldCase {
  const char* name;
  CpldFault fault;
  std::uint32_t userCode;
  int answer;               // to the question
  const char16_t* caption;  // of the box that follows; null: none
  const char16_t* text;
  UINT icon;
};
void PrintTo(const CpldCase& c, std::ostream* out) { *out << c.name; }

const CpldCase kCpldCases[] = {
    {"Declined", CpldFault::kNone, 0x00010003, IDNO, nullptr, nullptr, 0},
    {"Release", CpldFault::kNone, 0x00010003, IDYES, u"CPLD Version", u"CPLD Ver:\t1.3 \r\n", 0},
    {"BetaBuild", CpldFault::kNone, 0x00010203, IDYES, u"CPLD Version",
     u"CPLD Ver:\t1.3 BETA, Build 2\r\n", 0},
    {"BetaMarkAboveTheBuildBits", CpldFault::kNone, 0x00021007, IDYES, u"CPLD Version",
     u"CPLD Ver:\t2.7 BETA, Build 0\r\n", 0},
    {"NoCpld", CpldFault::kAbsent, 0x00010003, IDYES, u"ERROR", u"No CPLD found.", MB_ICONSTOP},
    {"ForeignPart", CpldFault::kForeignPart, 0x00010003, IDYES, u"ERROR",
     u"This CPLD version isn't supported.", MB_ICONSTOP},
};

class MainDialogCpld : public MainDialogTest, public ::testing::WithParamInterface<CpldCase> {
 protected:
  void Configure(sim::Json& config) override {
    char code[16];
    std::snprintf(code, sizeof(code), "0x%08X", GetParam().userCode);
    config["cpld"]["userCode"] = code;
  }
};

TEST_P(MainDialogCpld, QuestionThenVersionOrError) {
  const CpldCase& c = GetParam();
  if (c.fault == CpldFault::kAbsent) {
    Machine().Faults().Add(faults::CpldAbsent{});
  } else if (c.fault == CpldFault::kForeignPart) {
    Machine().Faults().Add(faults::CpldIdCode{.value = 0x06E5E093});
  }
  HWND dialog = Start();
  ASSERT_NE(dialog, nullptr);
  ASSERT_TRUE(ui.Press(dialog, IDC_MAIN_CPLD_VERSION));
  const ShownMessageBox question = ui.AnswerNext(c.answer);
  EXPECT_EQ(question.caption, u"WARNING");
  EXPECT_EQ(question.text, kCpldQuestion);
  EXPECT_EQ(question.icon, MB_ICONEXCLAMATION);
  EXPECT_EQ(question.buttons, (std::vector<int>{IDYES, IDNO}));
  EXPECT_EQ(question.defaultButton, IDNO);
  EXPECT_EQ(question.owner, dialog);
  if (c.caption != nullptr) {
    const ShownMessageBox box = ui.AnswerNext(IDOK);
    EXPECT_EQ(box.caption, c.caption);
    EXPECT_EQ(box.text, c.text);
    EXPECT_EQ(box.icon, c.icon);
    EXPECT_EQ(box.owner, dialog);
  }
  ASSERT_TRUE(ui.WaitIdle(dialog));
  EXPECT_EQ(ui.MessageBoxes().size(), c.caption != nullptr ? 2u : 1u);
  EXPECT_EQ(Finish(dialog), 1);
}

INSTANTIATE_TEST_SUITE_P(Outcomes, MainDialogCpld, ::testing::ValuesIn(kCpldCases),
                         testing_support::CaseName());

TEST_F(MainDialogTest, FailedUserCodeReadLeavesTheCpldOpenForTheNextTry) {
  HWND dialog = Start();
  ASSERT_NE(dialog, nullptr);
  // The part answered once; then its pins can no longer be reached (no register window can be
  // mapped), so only the user-code read fails. (Within one press both reads share the pins'
  // mapping, so the part is identified here, through the program's own open.)
  ASSERT_EQ(CpldOpen(), kCpldOk);
  ResetGpioStateForTesting();
  FailCall("VirtualAlloc");
  auto press = [&] {
    EXPECT_TRUE(ui.Press(dialog, IDC_MAIN_CPLD_VERSION));
    EXPECT_EQ(ui.AnswerNext(IDYES).caption, u"WARNING");
    const ShownMessageBox box = ui.AnswerNext(IDOK);
    EXPECT_TRUE(ui.WaitIdle(dialog));
    return box;
  };
  const ShownMessageBox failed = press();
  EXPECT_EQ(failed.caption, u"ERROR");
  EXPECT_EQ(failed.text, u"Could not read CPLD Version.");
  EXPECT_EQ(failed.icon, MB_ICONSTOP);

  // From now on the part would not be accepted: only a CPLD left open shows its version.
  Machine().Faults().Clear();
  Machine().Faults().Add(faults::CpldIdCode{.value = 0x06E5E093});
  const ShownMessageBox shown = press();
  EXPECT_EQ(shown.caption, u"CPLD Version");
  EXPECT_EQ(shown.text, u"CPLD Ver:\t1.3 \r\n");
  // A version shown closes the CPLD: the next try identifies the part again.
  EXPECT_EQ(press().text, u"This CPLD version isn't supported.");
  EXPECT_EQ(Finish(dialog), 1);
}

class MainDialogOnPxa270 : public MainDialogTest {
 protected:
  std::string Preset() const override { return "pxa270-32m"; }
};

TEST_F(MainDialogOnPxa270, CpldButtonLeftVisibleByAnUnknownStatusFindsNoCpld) {
  program_.emplace([] {
    return DialogBoxParamW(sim::ui::ProgramInstance(), MAKEINTRESOURCE(IDD_MAIN), nullptr,
                           MainDialogProc, FWL_ERR_NO_MEMORY);
  });
  EXPECT_EQ(ui.AnswerNext(IDOK).text, u"FWLInit: Unknown Error: 9");
  HWND dialog = ui.WaitForDialog(IDD_MAIN);
  ASSERT_NE(dialog, nullptr);
  ASSERT_TRUE(ui.Press(dialog, IDC_MAIN_CPLD_VERSION));
  EXPECT_EQ(ui.AnswerNext(IDYES).caption, u"WARNING");
  const ShownMessageBox box = ui.AnswerNext(IDOK);
  EXPECT_EQ(box.text, u"No CPLD found.");
  EXPECT_EQ(Finish(dialog), 0);
}

}  // namespace
