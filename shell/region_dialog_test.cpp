// The region dialog as the user meets it: the list of regions, the range and size texts of a
// selection, the hidden buttons, backups with their save dialog and overwrite question, and the
// erase, with every message and what each failure leaves behind.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "cpld/cpld.h"
#include "flash/flash_ops.h"
#include "flash/kernel_mode.h"
#include "flash/nand_driver.h"
#include "library/library_internal.h"
#include "resources/resource.h"
#include "shell/shell.h"
#include "sim/base/files.h"
#include "sim/base/utf.h"
#include "sim/os/os_flash.h"
#include "sim/ui/front_end.h"
#include "tests/support/faults.h"
#include "tests/support/module_fixture.h"
#include "tests/support/program_state.h"
#include "tests/support/test_names.h"
#include "tests/support/ui_driver.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ProgramThread;
using testing_support::ShownFileDialog;
using testing_support::ShownMessageBox;
using testing_support::UiDriver;

enum Item { kBootloader, kConfigBlock, kOsImage, kRegistry, kFileSystem };

constexpr const char16_t* kFolder = u"\\USB HD\\backup\\";

void ForgetProgramState() {
  ResetShellStateForTesting();
  testing_support::ForgetProgramState();
}

// ---------------------------------------------------------------------------------------------
// Size texts
// ---------------------------------------------------------------------------------------------
struct SizeCase {
  DWORD bytes;
  const char16_t* text;
};

const SizeCase kSizeCases[] = {
    {0, u"0 B"},
    {512, u"512 B"},
    {1023, u"1023 B"},
    {1024, u"1.00 KB"},
    {262144, u"256.00 KB"},
    {1048575, u"1024.00 KB"},
    {1048576, u"1.00 MB"},
    // Whole kilobytes only count: 1048576 + 1023 bytes is still 1.00 MB.
    {1049599, u"1.00 MB"},
    {33554432, u"32.00 MB"},
    {0xFFFFFFFF, u"4096.00 MB"},
};

class SizeText : public ::testing::TestWithParam<SizeCase> {};

TEST_P(SizeText, BytesKilobytesOrMegabytes) {
  WCHAR text[32];
  FormatSizeText(GetParam().bytes, text, 32);
  EXPECT_EQ(std::u16string(text), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Counts, SizeText, ::testing::ValuesIn(kSizeCases), [](const auto& info) {
  return testing_support::NumberName("Bytes", info.param.bytes);
});

// ---------------------------------------------------------------------------------------------
// The dialog
// ---------------------------------------------------------------------------------------------
class RegionDialogTest : public testing_support::ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    ForgetProgramState();
    ProgramInstance = sim::ui::ProgramInstance();
    InitCommonControls();
    ASSERT_EQ(FWLInit(), FWL_OK);
    fs::create_directories(Machine().FilesDirectory() / "USB HD" / "backup");
  }
  void TearDown() override {
    if (program_ && dialog_ != nullptr) {
      // The dialog closes once the operation it started has ended.
      EXPECT_TRUE(ui.WaitFor(
          [&] {
            if (IsWindow(dialog_) == FALSE) {
              return true;
            }
            (void)sim::ui::CloseWindow(dialog_);
            return false;
          },
          "the region dialog to close"));
    }
    program_.reset();
    ModuleTest::TearDown();
  }

  // Opens the dialog as the main dialog's "Backup" button does.
  HWND Open() {
    program_.emplace([] {
      return DialogBoxParamW(sim::ui::ProgramInstance(), MAKEINTRESOURCE(IDD_REGION), nullptr,
                             RegionDialogProc, 0);
    });
    dialog_ = ui.WaitForDialog(IDD_REGION);
    return dialog_;
  }

  void Select(const std::vector<int>& items) {
    ASSERT_TRUE(ui.SelectItems(dialog_, IDC_REGION_LIST, items));
    ASSERT_TRUE(ui.WaitIdle(dialog_));
  }
  void Reveal() {
    ASSERT_TRUE(ui.ClickSurface(dialog_, MK_RBUTTON));
    ASSERT_TRUE(ui.WaitIdle(dialog_));
  }
  void Press(int id) { ASSERT_TRUE(ui.Press(dialog_, id)); }

  fs::path HostPath(const std::u16string& name) {
    return Machine().FilesDirectory() / "USB HD" / "backup" / sim::ToUtf8(name);
  }
  std::u16string ModulePath(const std::u16string& name) { return kFolder + name; }

  // Waits for the operation's progress window to have closed: the worker's last act.
  void Finished() {
    EXPECT_TRUE(ui.WaitForClosedDialogs(IDD_PROGRESS, 1));
    Settle();
  }

  // Waits for the dialog to take input again.
  void Settle() {
    EXPECT_TRUE(ui.WaitFor([&] { return ui.TakesInput(dialog_) && ui.WaitIdle(dialog_); },
                           "the region dialog to take input"));
  }

  std::vector<std::uint8_t> FlashBytes(DWORD offset, DWORD length) {
    std::vector<std::uint8_t> bytes(length);
    EXPECT_TRUE(sim::CurrentOsFlash()->Read(offset, bytes.data(), length));
    return bytes;
  }

  int ItemOf(DWORD kind) {
    for (int i = 0; i < kRegionCount; ++i) {
      if ((RegionTable[i].flags & REGION_ALL_TYPES) == kind) {
        return i;
      }
    }
    ADD_FAILURE() << "no region of kind " << kind;
    return 0;
  }

  UiDriver ui;
  std::optional<ProgramThread> program_;
  HWND dialog_ = nullptr;
};

TEST_F(RegionDialogTest, ListsThePresentRegionsWithNothingSelected) {
  ASSERT_NE(Open(), nullptr);
  EXPECT_EQ(ui.Caption(dialog_), u"BackUp");
  const sim::ui::ControlView list = ui.Control(dialog_, IDC_REGION_LIST);
  std::vector<std::u16string> names;
  for (const sim::ui::ListItemView& item : list.items) {
    names.push_back(item.text);
    EXPECT_FALSE(item.selected);
  }
  EXPECT_EQ(names, (std::vector<std::u16string>{u"Bootloader", u"Config Block", u"OS Image",
                                                u"Registry", u"File System"}));
  for (int id : {IDC_REGION_START, IDC_REGION_LENGTH, IDC_REGION_USED}) {
    EXPECT_EQ(ui.Text(dialog_, id), u"0x00000000");
  }
  const sim::ui::ControlView backup = ui.Control(dialog_, IDC_REGION_BACKUP);
  EXPECT_TRUE(backup.visible);
  EXPECT_FALSE(backup.enabled);
  EXPECT_TRUE(backup.isDefault);
  EXPECT_FALSE(ui.Control(dialog_, IDC_REGION_BACKUP_ALL).visible);
  EXPECT_TRUE(ui.Control(dialog_, IDC_REGION_BACKUP_ALL).enabled);
  EXPECT_FALSE(ui.Control(dialog_, IDC_REGION_ERASE).visible);
  EXPECT_FALSE(ui.Control(dialog_, IDC_REGION_ERASE).enabled);
}

struct SelectionCase {
  const char* name;
  std::vector<int> items;
  const char16_t* start;
  const char16_t* length;
  const char16_t* used;
};

const SelectionCase kSelectionCases[] = {
    {"Bootloader", {kBootloader}, u"0x0 (0 B)", u"0x40000 (256.00 KB)", u"0x23000 (140.00 KB)"},
    {"ConfigBlock",
     {kConfigBlock},
     u"0x40000 (256.00 KB)",
     u"0x40000 (256.00 KB)",
     u"0x400 (1.00 KB)"},
    {"OsImage", {kOsImage}, u"0x80000 (512.00 KB)", u"0x1380000 (19.50 MB)", u"0x180210 (1.50 MB)"},
    // The span from the lowest start to the highest end; used bytes summed.
    {"ConfigBlockAndOsImage",
     {kOsImage, kConfigBlock},
     u"0x40000 (256.00 KB)",
     u"0x13c0000 (19.75 MB)",
     u"0x180610 (1.50 MB)"},
    {"BootloaderAndOsImageWithTheGapBetween",
     {kBootloader, kOsImage},
     u"0x0 (0 B)",
     u"0x1400000 (20.00 MB)",
     u"0x1a3210 (1.64 MB)"},
};

class RegionSelectionTexts : public RegionDialogTest,
                             public ::testing::WithParamInterface<SelectionCase> {};

TEST_P(RegionSelectionTexts, ShowsStartLengthAndUsedBytes) {
  const SelectionCase& c = GetParam();
  ASSERT_NE(Open(), nullptr);
  Select(c.items);
  EXPECT_EQ(ui.Text(dialog_, IDC_REGION_START), c.start);
  EXPECT_EQ(ui.Text(dialog_, IDC_REGION_LENGTH), c.length);
  EXPECT_EQ(ui.Text(dialog_, IDC_REGION_USED), c.used);
  EXPECT_EQ(SelectedCount, c.items.size());
  EXPECT_TRUE(ui.Control(dialog_, IDC_REGION_BACKUP).enabled);
  EXPECT_TRUE(ui.Control(dialog_, IDC_REGION_ERASE).enabled);
  EXPECT_FALSE(ui.Control(dialog_, IDC_REGION_ERASE).visible);  // enabled, still hidden
}

INSTANTIATE_TEST_SUITE_P(Items, RegionSelectionTexts, ::testing::ValuesIn(kSelectionCases),
                         testing_support::CaseName());

TEST_F(RegionDialogTest, DeselectingAllDisablesTheButtonsAndKeepsTheValues) {
  ASSERT_NE(Open(), nullptr);
  Reveal();
  Select({kConfigBlock});
  ASSERT_TRUE(ui.ClickItem(dialog_, IDC_REGION_LIST, kConfigBlock, MK_CONTROL));
  ASSERT_TRUE(ui.WaitIdle(dialog_));
  EXPECT_EQ(SelectedCount, 0u);
  EXPECT_FALSE(ui.Control(dialog_, IDC_REGION_BACKUP).enabled);
  EXPECT_FALSE(ui.Control(dialog_, IDC_REGION_ERASE).enabled);
  EXPECT_TRUE(ui.Control(dialog_, IDC_REGION_ERASE).visible);
  EXPECT_EQ(ui.Text(dialog_, IDC_REGION_USED), u"0x400 (1.00 KB)");
}

struct RevealCase {
  const char* name;
  DWORD keys;
  bool reveals;
};

const RevealCase kRevealCases[] = {
    {"RightButtonHeld", MK_RBUTTON, true},
    {"ShiftAndCtrl", MK_SHIFT | MK_CONTROL, true},
    {"ShiftAlone", MK_SHIFT, false},
    {"CtrlAlone", MK_CONTROL, false},
    {"PlainClick", 0, false},
};

class RegionReveal : public RegionDialogTest, public ::testing::WithParamInterface<RevealCase> {};

TEST_P(RegionReveal, ModifiedClickShowsBackupAllAndErase) {
  ASSERT_NE(Open(), nullptr);
  ASSERT_TRUE(ui.ClickSurface(dialog_, GetParam().keys));
  ASSERT_TRUE(ui.WaitIdle(dialog_));
  EXPECT_EQ(ui.Control(dialog_, IDC_REGION_BACKUP_ALL).visible, GetParam().reveals);
  EXPECT_EQ(ui.Control(dialog_, IDC_REGION_ERASE).visible, GetParam().reveals);
  EXPECT_FALSE(ui.Control(dialog_, IDC_REGION_ERASE).enabled);
  EXPECT_FALSE(ui.Control(dialog_, IDC_REGION_BACKUP).enabled);
}

INSTANTIATE_TEST_SUITE_P(Clicks, RegionReveal, ::testing::ValuesIn(kRevealCases),
                         testing_support::CaseName());

// ---------------------------------------------------------------------------------------------
// Backup
// ---------------------------------------------------------------------------------------------
TEST_F(RegionDialogTest, RegionsWithAGapBetweenAreRefused) {
  ASSERT_NE(Open(), nullptr);
  Select({kBootloader, kOsImage});
  Press(IDC_REGION_BACKUP);
  const ShownMessageBox box = ui.AnswerNext(IDOK);
  EXPECT_EQ(box.caption, u"ERROR");
  EXPECT_EQ(box.text, u"Sections have to be contiguous!");
  EXPECT_EQ(box.icon, MB_ICONSTOP);
  EXPECT_EQ(box.owner, dialog_);
  Settle();
  EXPECT_EQ(ui.MessageBoxes().size(), 1u);
  EXPECT_EQ(std::u16string(LastImageFolder), u"\\USB HD\\IMAGES");
}

struct ProposalCase {
  const char* name;
  std::vector<int> items;  // empty: "BackupAll"
  const char16_t* proposed;
};

const ProposalCase kProposalCases[] = {
    {"OneRegionByItsName", {kOsImage}, u"OS Image"},
    {"AdjacentRegions", {kConfigBlock, kOsImage, kRegistry}, u"FlashBackup"},
    {"BackupAllSelectsEverything", {}, u"FlashBackup"},
};

class RegionBackupProposal : public RegionDialogTest,
                             public ::testing::WithParamInterface<ProposalCase> {};

TEST_P(RegionBackupProposal, SaveDialogProposesAName_CancelWritesNothing) {
  const ProposalCase& c = GetParam();
  ASSERT_NE(Open(), nullptr);
  if (c.items.empty()) {
    Reveal();
    Press(IDC_REGION_BACKUP_ALL);
  } else {
    Select(c.items);
    Press(IDC_REGION_BACKUP);
  }
  const ShownFileDialog save = ui.WaitForFileDialog();
  EXPECT_TRUE(save.request.save);
  EXPECT_EQ(save.owner, dialog_);
  EXPECT_EQ(save.request.title, u"Save Region As");
  EXPECT_EQ(save.request.fileName, c.proposed);
  EXPECT_EQ(save.request.defaultExtension, u"bin");
  EXPECT_EQ(save.request.flags & (OFN_PATHMUSTEXIST | OFN_HIDEREADONLY),
            static_cast<DWORD>(OFN_PATHMUSTEXIST | OFN_HIDEREADONLY));
  ASSERT_EQ(save.request.filters.size(), 1u);
  EXPECT_EQ(save.request.filters[0].description, u"IMAGE files");
  EXPECT_EQ(save.request.filters[0].pattern, u"*.bin");
  EXPECT_FALSE(ui.TakesInput(dialog_));
  if (c.items.empty()) {
    for (const sim::ui::ListItemView& item : ui.Control(dialog_, IDC_REGION_LIST).items) {
      EXPECT_TRUE(item.selected);
    }
    EXPECT_EQ(ui.Text(dialog_, IDC_REGION_LENGTH).substr(0, 10), u"0x7d80000 ");
  }
  ASSERT_TRUE(ui.CancelFile(save.handle));
  Settle();
  EXPECT_TRUE(ui.MessageBoxes().empty());
  EXPECT_TRUE(fs::is_empty(HostPath(u"")));
}

INSTANTIATE_TEST_SUITE_P(Names, RegionBackupProposal, ::testing::ValuesIn(kProposalCases),
                         testing_support::CaseName());

TEST_F(RegionDialogTest, BackupWritesTheFileAndRemembersItsFolder) {
  ASSERT_NE(Open(), nullptr);
  Select({kBootloader});
  Press(IDC_REGION_BACKUP);
  const ShownFileDialog save = ui.WaitForFileDialog();
  ASSERT_TRUE(ui.ChooseFile(save.handle, ModulePath(u"boot")));
  Finished();
  ASSERT_EQ(ui.ClosedDialogs().size(), 1u);
  EXPECT_EQ(ui.ClosedDialogs()[0].caption, u"Image Backup");
  EXPECT_TRUE(ui.MessageBoxes().empty());
  // Header, one record of the used bytes, end record.
  EXPECT_EQ(fs::file_size(HostPath(u"boot.bin")), 15u + 12 + 0x23000 + 12);
  EXPECT_EQ(std::u16string(LastImageFolder), kFolder);
}

struct OverwriteCase {
  const char* name;
  int answer;
  bool replaced;
};

const OverwriteCase kOverwriteCases[] = {
    {"Declined", IDNO, false},
    {"Agreed", IDYES, true},
};

class RegionOverwrite : public RegionDialogTest,
                        public ::testing::WithParamInterface<OverwriteCase> {};

TEST_P(RegionOverwrite, AnExistingFileIsReplacedOnlyWhenTheUserAgrees) {
  const fs::path existing = HostPath(u"Config Block.bin");
  ASSERT_TRUE(sim::WriteWholeFile(existing, "older backup", nullptr));
  ASSERT_NE(Open(), nullptr);
  Select({kConfigBlock});
  Press(IDC_REGION_BACKUP);
  const ShownFileDialog save = ui.WaitForFileDialog();
  ASSERT_TRUE(ui.ChooseFile(save.handle, ModulePath(u"Config Block.bin")));
  const ShownMessageBox question = ui.AnswerNext(GetParam().answer);
  EXPECT_EQ(question.caption, u"File Exists");
  EXPECT_EQ(question.text, u"Do you want to overwrite the file?");
  EXPECT_EQ(question.icon, MB_ICONQUESTION);
  EXPECT_EQ(question.buttons, (std::vector<int>{IDYES, IDNO}));
  EXPECT_EQ(question.owner, dialog_);
  if (GetParam().replaced) {
    Finished();
  }
  Settle();
  EXPECT_EQ(ui.MessageBoxes().size(), 1u);
  EXPECT_EQ(fs::file_size(existing), GetParam().replaced ? 15u + 12 + 0x400 + 12 : 12u);
}

INSTANTIATE_TEST_SUITE_P(Answers, RegionOverwrite, ::testing::ValuesIn(kOverwriteCases),
                         testing_support::CaseName());

// A failed backup leaves no file that it wrote, also when it was to replace one the user agreed
// to overwrite; when the library never opened the target, an older file there is kept.
enum class Vanish { kNone, kSelected, kSecondSelected };

struct BackupFailureCase {
  const char* name;
  std::vector<int> items;
  std::vector<sim::Json> faults;
  Vanish vanish;  // a selected region no longer in the table when the backup runs
  bool existing;
  const char16_t* text;  // %s: the path
  bool opened = true;    // the library opened (and so emptied) the target
};

sim::Json CallFault(const char* name) { return faults::Call{.name = name, .count = -1}; }

const BackupFailureCase kBackupFailures[] = {
    {"CannotCreate",
     {kConfigBlock},
     {CallFault("CreateFileW")},
     Vanish::kNone,
     false,
     u"Cannot open image file\n%s",
     false},
    {"CannotCreateOverExisting_KeepsTheOlderFile",
     {kConfigBlock},
     {CallFault("CreateFileW")},
     Vanish::kNone,
     true,
     u"Cannot open image file\n%s",
     false},
    {"CannotWrite",
     {kConfigBlock},
     {CallFault("WriteFile")},
     Vanish::kNone,
     false,
     u"Cannot write file\n%s\nMaybe disk is full?"},
    {"CannotWriteOverExisting",
     {kConfigBlock},
     {CallFault("WriteFile")},
     Vanish::kNone,
     true,
     u"Cannot write file\n%s\nMaybe disk is full?"},
    {"RegionGone",
     {kConfigBlock},
     {},
     Vanish::kSelected,
     true,
     u"Selected region not found or no region selected!"},
    {"OneOfTheRegionsGone",
     {kBootloader, kConfigBlock},
     {},
     Vanish::kSecondSelected,
     true,
     u"One or more of the selected regions are not valid!"},
    {"FileSystemUnreadable",
     {kFileSystem},
     {faults::StorageSector{.operation = "read", .count = -1}},
     Vanish::kNone,
     true,
     u"Error during file system backup!"},
    {"OutOfMemory",
     {kConfigBlock},
     {CallFault("LocalAlloc")},
     Vanish::kNone,
     true,
     u"FWLBackupToFile: Unknown Error: 9"},
};

class RegionBackupFailure : public RegionDialogTest,
                            public ::testing::WithParamInterface<BackupFailureCase> {};

TEST_P(RegionBackupFailure, ShowsItsMessageAndLeavesNoFileItWrote) {
  const BackupFailureCase& c = GetParam();
  const std::u16string name = u"target.bin";
  if (c.existing) {
    ASSERT_TRUE(sim::WriteWholeFile(HostPath(name), "older backup", nullptr));
  }
  ASSERT_NE(Open(), nullptr);
  Select(c.items);
  Press(IDC_REGION_BACKUP);
  const ShownFileDialog save = ui.WaitForFileDialog();
  if (c.vanish != Vanish::kNone) {
    // The table no longer holds the region by the time the backup runs.
    const DWORD kinds[] = {REGION_BOOTLOADER, REGION_CONFIG_BLOCK, REGION_OS_IMAGE, REGION_REGISTRY,
                           REGION_FILE_SYSTEM};
    const int item = c.vanish == Vanish::kSelected ? c.items[0] : c.items[1];
    RegionTable[ItemOf(kinds[item])].flags |= REGION_NOT_PRESENT;
  }
  for (const sim::Json& item : c.faults) {
    Machine().Faults().Add(item);
  }
  ASSERT_TRUE(ui.ChooseFile(save.handle, ModulePath(name)));
  if (c.existing) {
    EXPECT_EQ(ui.AnswerNext(IDYES).caption, u"File Exists");
  }
  const ShownMessageBox error = ui.AnswerNext(IDOK);
  EXPECT_EQ(error.caption, u"ERROR");
  std::u16string expected = c.text;
  if (const std::size_t at = expected.find(u"%s"); at != std::u16string::npos) {
    expected.replace(at, 2, ModulePath(name));
  }
  EXPECT_EQ(error.text, expected);
  EXPECT_EQ(error.icon, MB_ICONSTOP);
  EXPECT_EQ(error.owner, dialog_);
  Finished();
  Machine().Faults().Clear();
  if (c.existing && !c.opened) {
    std::ifstream kept(HostPath(name));
    const std::string content((std::istreambuf_iterator<char>(kept)),
                              std::istreambuf_iterator<char>());
    EXPECT_EQ(content, "older backup");
  } else {
    EXPECT_FALSE(fs::exists(HostPath(name)));
  }
}

INSTANTIATE_TEST_SUITE_P(ByStatus, RegionBackupFailure, ::testing::ValuesIn(kBackupFailures),
                         testing_support::CaseName());

// ---------------------------------------------------------------------------------------------
// Erase
// ---------------------------------------------------------------------------------------------
enum class EraseTrouble {
  kNone,
  kDeclined,
  kNotInitialised,
  kRegionGone,
  kEraseFails,
  kDriverStays,  // the file system region, whose driver cannot be unloaded
};

struct EraseCase {
  const char* name;
  const char* preset;
  EraseTrouble trouble;
  const char16_t* caption;  // of the message after the erase; null: none
  const char16_t* text;
  UINT icon;
  // The progress text the erase leaves (its last block's offset, from the start of the
  // regions erased, plus the image start of an update run before); null: not looked at.
  const char16_t* eraseText = nullptr;
  DWORD eraseBase = 0;  // what an update run before left as the erase text's base
};

const EraseCase kEraseCases[] = {
    // The config block is two 128 KiB blocks on NAND, one 256 KiB block on NOR.
    {"Erased", "pxa320", EraseTrouble::kNone, u"Success", u"Region(s) successfully erased", 0,
     u"Erasing Flash (at 00020000)"},
    {"ErasedAfterAnUpdate", "pxa320", EraseTrouble::kNone, u"Success",
     u"Region(s) successfully erased", 0, u"Erasing Flash (at 000a0000)", 0x80000},
    {"ErasedOnNor", "pxa270-32m", EraseTrouble::kNone, u"Success", u"Region(s) successfully erased",
     0, u"Erasing Flash (at 00000000)"},
    {"Declined", "pxa320", EraseTrouble::kDeclined, nullptr, nullptr, 0},
    {"LibraryNotStarted", "pxa320", EraseTrouble::kNotInitialised, u"ERROR", u"Internal Error",
     MB_ICONSTOP},
    {"RegionGone", "pxa320", EraseTrouble::kRegionGone, u"ERROR", u"Region(s) not found",
     MB_ICONSTOP},
    {"FlashFails", "pxa270-32m", EraseTrouble::kEraseFails, u"ERROR", u"Flash erase failed",
     MB_ICONSTOP},
    {"FileSystemDriverStays", "pxa320", EraseTrouble::kDriverStays, u"ERROR",
     u"Could not load/unload Flash filesystem driver!", MB_ICONSTOP},
};

class RegionErase : public RegionDialogTest, public ::testing::WithParamInterface<EraseCase> {
 protected:
  std::string Preset() const override { return GetParam().preset; }
};

TEST_P(RegionErase, AsksThenReportsByStatus) {
  const EraseCase& c = GetParam();
  constexpr DWORD kConfigStart = 0x40000;
  const int item = c.trouble == EraseTrouble::kDriverStays ? kFileSystem : kConfigBlock;
  const DWORD start = RegionTable[item].start;
  ASSERT_EQ(item == kConfigBlock, start == kConfigStart);
  const std::vector<std::uint8_t> before = FlashBytes(start, 0x400);
  ASSERT_NE(before, std::vector<std::uint8_t>(0x400, 0xFF)) << "nothing there to erase";
  EraseBase = c.eraseBase;
  ASSERT_NE(Open(), nullptr);
  Reveal();
  Select({item});
  switch (c.trouble) {
    case EraseTrouble::kNotInitialised:
      ResetLibraryStateForTesting();
      break;
    case EraseTrouble::kRegionGone:
      RegionTable[ItemOf(REGION_CONFIG_BLOCK)].flags |= REGION_NOT_PRESENT;
      break;
    case EraseTrouble::kEraseFails:
      Machine().Faults().Add(faults::NorEraseFail{.block = kConfigStart});
      break;
    case EraseTrouble::kDriverStays:
      Machine().Faults().Add(faults::Call{.name = "DeactivateDevice", .count = -1});
      break;
    default:
      break;
  }
  Press(IDC_REGION_ERASE);
  const ShownMessageBox question =
      ui.AnswerNext(c.trouble == EraseTrouble::kDeclined ? IDNO : IDYES);
  EXPECT_EQ(question.caption, u"Flash Erase");
  EXPECT_EQ(question.text, u"Are you sure you want to erase the selected region(s)?");
  EXPECT_EQ(question.icon, MB_ICONQUESTION);
  EXPECT_EQ(question.buttons, (std::vector<int>{IDYES, IDNO}));
  EXPECT_EQ(question.owner, dialog_);
  if (c.caption != nullptr) {
    const ShownMessageBox result = ui.WaitForMessageBox();
    EXPECT_EQ(result.caption, c.caption);
    EXPECT_EQ(result.text, c.text);
    EXPECT_EQ(result.icon, c.icon);
    EXPECT_EQ(result.owner, dialog_);
    HWND progress = ui.WaitForDialog(IDD_PROGRESS);
    EXPECT_EQ(ui.Caption(progress), u"Image Erase");
    if (c.eraseText != nullptr) {
      EXPECT_EQ(ui.Text(progress, IDC_PROGRESS_UPPER_TEXT), c.eraseText);
    }
    ASSERT_TRUE(ui.Answer(result.handle, IDOK));
    Finished();
  }
  Settle();
  EXPECT_EQ(ui.MessageBoxes().size(), c.caption != nullptr ? 2u : 1u);
  EXPECT_EQ(ProgressDialogHandle, nullptr);
  Machine().Faults().Clear();
  const std::vector<std::uint8_t> after = FlashBytes(start, 0x400);
  if (c.trouble == EraseTrouble::kNone) {
    EXPECT_EQ(after, std::vector<std::uint8_t>(0x400, 0xFF));
  } else {
    EXPECT_EQ(after, before);
  }
}

INSTANTIATE_TEST_SUITE_P(ByStatus, RegionErase, ::testing::ValuesIn(kEraseCases),
                         testing_support::CaseName());

}  // namespace
