// The image update as the user meets it: the confirmation list, every error message by what
// went wrong, the closing questions, the progress window along the way, and the file dialog that
// remembers the folder of the last image.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "cpld/cpld.h"
#include "flash/flash_ops.h"
#include "flash/kernel_mode.h"
#include "flash/nand_driver.h"
#include "host/sample_content.h"
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
#include "tests/support/test_pattern.h"
#include "tests/support/ui_driver.h"
#include "tests/support/xsvf_test_stream.h"

namespace {

namespace fs = std::filesystem;
using sample_content::BinBuilder;
using sample_content::Bytes;
using testing_support::Pattern;
using testing_support::ProgramThread;
using testing_support::ShownMessageBox;
using testing_support::UiDriver;

constexpr DWORD kOsStart = 0x80000;          // the presets' OS image region
constexpr DWORD kRegistryStart = 0x1400000;  // and their registry region
constexpr DWORD kEraseUnit = 0x40000;        // a whole block on every preset's flash

constexpr const char16_t* kQuestionHead = u"This Image will overwrite the following sections:\n";
constexpr const char16_t* kQuestionTail = u"\n\nAre you sure you want to continue?";
constexpr const char16_t* kNoSectionLine =
    u"- No Section (This might be an error, Abort the update procedure if you are not a 100% "
    u"sure.)\n\n";
constexpr const char16_t* kClearQuestion =
    u"You updated a new OS, do you want to clear the Registry?";
constexpr const char16_t* kResetQuestion = u"To finish the update reset the system.\n Reset now?";

// The program's process-wide state as a new process starts with it.
void ForgetProgramState() {
  ResetShellStateForTesting();
  testing_support::ForgetProgramState();
}

// ---------------------------------------------------------------------------------------------
// Files to update from
// ---------------------------------------------------------------------------------------------
enum class Content { kOsImage, kOsAndRegistry, kBootloader, kNoSection, kFileSystem, kCpld };

const Bytes& OsData() {
  static const Bytes data = Pattern(0x1000, 7);
  return data;
}

Bytes CpldStream() {
  sample_content::CpldCells cells;
  for (unsigned cell = 0; cell < sample_content::kCpldRowCells; ++cell) {
    cells[cell] = cell % 5 == 0;
  }
  return sample_content::ProgramStream({{5, cells}}, sample_content::ProgramOptions{});
}

class ImageUpdateTest : public testing_support::ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    ForgetProgramState();
    ProgramInstance = sim::ui::ProgramInstance();
    InitCommonControls();
    ASSERT_EQ(FWLInit(), FWL_OK);
  }
  void TearDown() override {
    program_.reset();
    ModuleTest::TearDown();
  }

  fs::path ImagesFolder() {
    const fs::path folder = Machine().FilesDirectory() / "USB HD" / "IMAGES";
    fs::create_directories(folder);
    return folder;
  }

  // Stores a file under "\USB HD\IMAGES" and gives its module path.
  std::u16string Put(const std::string& name, const Bytes& bytes) {
    std::string error;
    EXPECT_TRUE(sim::WriteWholeFile(ImagesFolder() / name, bytes, &error)) << error;
    return u"\\USB HD\\IMAGES\\" + sim::FromUtf8(name);
  }

  std::u16string Make(Content content) {
    switch (content) {
      case Content::kOsImage:
        return Put(
            "os.bin",
            BinBuilder().Header(kOsStart, kEraseUnit).Record(kOsStart, OsData()).End().Data());
      case Content::kOsAndRegistry:
        return Put("os_registry.bin", BinBuilder()
                                          .Header(kOsStart, kRegistryStart + kEraseUnit - kOsStart)
                                          .Record(kOsStart, OsData())
                                          .Record(kRegistryStart, Pattern(0x800, 9))
                                          .End()
                                          .Data());
      case Content::kBootloader:
        return Put("boot.bin",
                   BinBuilder().Header(0, kEraseUnit).Record(0, Pattern(0x1000, 3)).End().Data());
      case Content::kNoSection:
        return Put("empty_range.bin", BinBuilder().Header(kOsStart, 0).End().Data());
      case Content::kFileSystem: {
        const std::u16string path = u"\\USB HD\\IMAGES\\fs.bin";
        ImagesFolder();
        EXPECT_EQ(FWLBackupToFile(path.c_str(), REGION_FILE_SYSTEM, nullptr, nullptr, nullptr),
                  FWL_OK);
        return path;
      }
      case Content::kCpld:
        return Put("cpld.bin", BinBuilder().Cpld(CpldStream()).Data());
    }
    return {};
  }

  // Runs the workflow for the file on a thread of its own, as the command line does.
  void Start(const std::u16string& path, DWORD silent = 0) {
    ASSERT_TRUE(WideCopy(ImageFileName, kPathUnits, path.c_str()));
    SilentMode = silent;
    program_.emplace([] { return static_cast<std::intptr_t>(RunImageUpdate(nullptr)); });
  }

  // The workflow's result; every path leaves the file closed, the window gone, the name empty.
  std::intptr_t Finish() {
    const std::intptr_t result = program_->Join();
    EXPECT_EQ(ProgressDialogHandle, nullptr);
    EXPECT_EQ(ImageFileName[0], 0);
    EXPECT_EQ(BinFileHandle, INVALID_HANDLE_VALUE);
    return result;
  }

  Bytes FlashBytes(DWORD offset, DWORD length) {
    Bytes bytes(length);
    EXPECT_TRUE(sim::CurrentOsFlash()->Read(offset, bytes.data(), length));
    return bytes;
  }

  // Waits for the confirmation and checks its shape; returns its text.
  std::u16string Confirm(int answer) {
    const ShownMessageBox box = ui.AnswerNext(answer);
    EXPECT_EQ(box.caption, u"WARNING");
    EXPECT_EQ(box.icon, MB_ICONEXCLAMATION);
    EXPECT_EQ(box.buttons, (std::vector<int>{IDYES, IDNO}));
    EXPECT_EQ(box.defaultButton, IDNO);
    return box.text;
  }

  void Fault(sim::Json item) { Machine().Faults().Add(std::move(item)); }

  UiDriver ui;
  std::optional<ProgramThread> program_;
};

// ---------------------------------------------------------------------------------------------
// Confirmation lists and closing questions
// ---------------------------------------------------------------------------------------------
struct ListCase {
  const char* name;
  Content content;
  const char16_t* lines;
};

const ListCase kListCases[] = {
    {"NoSection", Content::kNoSection, kNoSectionLine},
    {"CpldOnly", Content::kCpld, u"- CPLD Firmware\n"},
    {"OsImage", Content::kOsImage, u"- OS Image\n"},
    {"OsImageAndRegistry", Content::kOsAndRegistry, u"- OS Image\n- Registry\n"},
    {"FileSystem", Content::kFileSystem, u"- File System\n"},
};

class UpdateConfirmation : public ImageUpdateTest,
                           public ::testing::WithParamInterface<ListCase> {};

TEST_P(UpdateConfirmation, ListsTheRegionsAndDecliningWritesNothing) {
  const ListCase& c = GetParam();
  const Bytes before = FlashBytes(kOsStart, 0x1000);
  Start(Make(c.content));
  EXPECT_EQ(Confirm(IDNO), std::u16string(kQuestionHead) + c.lines + kQuestionTail);
  EXPECT_EQ(Finish(), 0);
  EXPECT_EQ(ui.MessageBoxes().size(), 1u);
  EXPECT_EQ(FlashBytes(kOsStart, 0x1000), before);
}

INSTANTIATE_TEST_SUITE_P(Contents, UpdateConfirmation, ::testing::ValuesIn(kListCases),
                         testing_support::CaseName());

struct ClosingCase {
  const char* name;
  Content content;
  int clearAnswer;  // 0: the question is not asked
  int resetAnswer;
};

const ClosingCase kClosingCases[] = {
    {"NewOsClearAndReset", Content::kOsImage, IDYES, IDYES},
    {"NewOsKeepEverything", Content::kOsImage, IDNO, IDNO},
    {"OsWithRegistryOnlyAsksToReset", Content::kOsAndRegistry, 0, IDYES},
};

class UpdateClosing : public ImageUpdateTest, public ::testing::WithParamInterface<ClosingCase> {};

TEST_P(UpdateClosing, QuestionsAfterASuccessfulUpdate) {
  const ClosingCase& c = GetParam();
  Start(Make(c.content));
  Confirm(IDYES);
  if (c.clearAnswer != 0) {
    const ShownMessageBox clear = ui.AnswerNext(c.clearAnswer);
    EXPECT_EQ(clear.caption, u"Clear Registry");
    EXPECT_EQ(clear.text, kClearQuestion);
    EXPECT_EQ(clear.icon, MB_ICONQUESTION);
    EXPECT_EQ(clear.defaultButton, IDNO);
  }
  const ShownMessageBox reset = ui.WaitForMessageBox();
  EXPECT_EQ(reset.caption, u"RESET");
  EXPECT_EQ(reset.text, kResetQuestion);
  EXPECT_EQ(reset.icon, MB_ICONQUESTION);
  EXPECT_EQ(reset.buttons, (std::vector<int>{IDYES, IDNO}));
  EXPECT_EQ(reset.defaultButton, IDYES);
  // The progress window is still up, showing the whole image written.
  HWND progress = ui.WaitForDialog(IDD_PROGRESS);
  EXPECT_EQ(ui.Caption(progress), u"Image Update");
  EXPECT_EQ(ui.Text(progress, IDC_PROGRESS_LOWER_TEXT),
            c.content == Content::kOsImage ? u"Image Start: 00080000\nImage Len: 00001000 (4096)"
                                           : u"Image Start: 00080000\nImage Len: 00001800 (6144)");
  EXPECT_EQ(ui.Control(progress, IDC_PROGRESS_LOWER_BAR).position,
            c.content == Content::kOsImage ? 4 : 6);
  ASSERT_TRUE(ui.Answer(reset.handle, c.resetAnswer));
  EXPECT_EQ(Finish(), 1);

  EXPECT_EQ(FlashBytes(kOsStart, 0x1000), OsData());
  EXPECT_EQ(EraseBase, kOsStart);
  EXPECT_EQ(fs::exists(ModuleDirectory() / sim::kRegistryClearedMarker), c.clearAnswer == IDYES);
  EXPECT_EQ(Machine().PendingReset(),
            c.resetAnswer == IDYES ? sim::ResetKind::kCold : sim::ResetKind::kNone);
  EXPECT_EQ(Machine().CleanBootRequested(), c.resetAnswer == IDYES);
}

INSTANTIATE_TEST_SUITE_P(Answers, UpdateClosing, ::testing::ValuesIn(kClosingCases),
                         testing_support::CaseName());

struct SilentCase {
  const char* name;
  Content content;
};

const SilentCase kSilentCases[] = {
    {"OsImage", Content::kOsImage},
    {"NoSectionIsWrittenWithoutAsking", Content::kNoSection},
};

class UpdateSilently : public ImageUpdateTest, public ::testing::WithParamInterface<SilentCase> {};

TEST_P(UpdateSilently, AsksNothingAndDoesNotReset) {
  Start(Make(GetParam().content), 1);
  EXPECT_EQ(Finish(), 1);
  EXPECT_TRUE(ui.MessageBoxes().empty());
  EXPECT_EQ(Machine().PendingReset(), sim::ResetKind::kNone);
  EXPECT_FALSE(fs::exists(ModuleDirectory() / sim::kRegistryClearedMarker));
  if (GetParam().content == Content::kOsImage) {
    EXPECT_EQ(FlashBytes(kOsStart, 0x1000), OsData());
  }
}

INSTANTIATE_TEST_SUITE_P(Batch, UpdateSilently, ::testing::ValuesIn(kSilentCases),
                         testing_support::CaseName());

TEST_F(ImageUpdateTest, CpldOnlyFileAnimatesAndProgramsTheCpld) {
  Start(Make(Content::kCpld));
  Confirm(IDYES);
  const ShownMessageBox reset = ui.WaitForMessageBox();
  EXPECT_EQ(reset.caption, u"RESET");
  HWND progress = ui.WaitForDialog(IDD_PROGRESS);
  EXPECT_EQ(ui.Text(progress, IDC_PROGRESS_UPPER_TEXT), u"Updating CPLD. Please wait...done.");
  EXPECT_EQ(ui.Text(progress, IDC_PROGRESS_LOWER_TEXT), u"");
  EXPECT_TRUE(ui.WaitFor(
      [&] {
        const sim::ui::ControlView bar = ui.Control(progress, IDC_PROGRESS_UPPER_BAR);
        return bar.rangeHigh == 2 && bar.position == 2;
      },
      "the animation to end on a full bar"));
  EXPECT_EQ(BusyFlag, 0u);
  ASSERT_TRUE(ui.Answer(reset.handle, IDNO));
  EXPECT_EQ(Finish(), 1);
  // No clear-registry question for firmware alone.
  EXPECT_EQ(ui.MessageBoxes().size(), 2u);
}

// ---------------------------------------------------------------------------------------------
// Error messages
// ---------------------------------------------------------------------------------------------
// What goes wrong, and when: before the workflow starts (the file is checked then) or once the
// file has been checked and the user is asked to confirm.
enum class When { kBefore, kAtConfirmation };
enum class Tamper { kNone, kFlipDataByte, kSectionVersion };

struct ErrorCase {
  const char* name;
  const char* preset;
  Content content;
  When when;
  std::vector<sim::Json> faults;
  Tamper tamper;
  const char16_t* text;
};

sim::Json CallFault(const char* name) { return faults::Call{.name = name, .count = -1}; }

const ErrorCase kUpdateErrors[] = {
    {"UnexpectedEndOfFile",
     "pxa320",
     Content::kOsImage,
     When::kAtConfirmation,
     {CallFault("ReadFile")},
     Tamper::kNone,
     u"Unexpected end of file!\nDon't reboot Now! Try updating with another file."},
    {"SectionOfAnotherVersion",
     "pxa320",
     Content::kFileSystem,
     When::kAtConfirmation,
     {},
     Tamper::kSectionVersion,
     u"This file was generated with an other Flashwick\nand is not supported with this Version "
     u"of the Flashwick!"},
    {"ReadingFlash",
     "pxa320",
     Content::kBootloader,
     When::kAtConfirmation,
     {faults::NandBitFlip{.page = 0, .bits = 3}},
     Tamper::kNone,
     u"Error reading Flash!"},
    {"WritingFlash",
     "pxa270-32m",
     Content::kOsImage,
     When::kBefore,
     {faults::NorProgramFail{.offset = kOsStart + 0x100}},
     Tamper::kNone,
     u"Error writing to Flash!"},
    {"ErasingFlash",
     "pxa270-32m",
     Content::kOsImage,
     When::kBefore,
     {faults::NorEraseFail{.block = kOsStart}},
     Tamper::kNone,
     u"Error erasing Flash!"},
    {"RecordChangedSinceChecked",
     "pxa270-32m",
     Content::kOsImage,
     When::kAtConfirmation,
     {},
     Tamper::kFlipDataByte,
     u"BAD CRC, Image File seems to be corrupt.\nDon't reboot Now! Try updating with another "
     u"file."},
    // The power fails as the boot area's first block is erased: the block keeps the old
    // bootloader and nothing later reaches the chip, which goes on answering. The boot area's
    // read-back finds the old bootloader where the new one was written.
    {"VerifyingBootArea",
     "pxa320",
     Content::kBootloader,
     When::kAtConfirmation,
     {faults::PowerCut{.after = 0}},
     Tamper::kNone,
     u"Error veryfing Flash!"},
    {"FileSystemRestore",
     "pxa320",
     Content::kFileSystem,
     When::kAtConfirmation,
     {faults::StorageSector{.operation = "write", .count = -1}},
     Tamper::kNone,
     u"Error during Flash filesystem restore!"},
    {"FileSystemDriver",
     "pxa320",
     Content::kFileSystem,
     When::kAtConfirmation,
     {CallFault("DeactivateDevice")},
     Tamper::kNone,
     u"Could not load/unload Flash filesystem driver!"},
    {"FormattingStore",
     "pxa320",
     Content::kFileSystem,
     When::kAtConfirmation,
     {faults::StorageStore{.fail = "format"}},
     Tamper::kNone,
     u"Could not format store or partitions!"},
    {"NoCpld",
     "pxa320",
     Content::kCpld,
     When::kAtConfirmation,
     {faults::CpldAbsent{}},
     Tamper::kNone,
     u"CPLD not found or CPLD version not supported!"},
    {"CpldProgramming",
     "pxa320",
     Content::kCpld,
     When::kAtConfirmation,
     {faults::CpldRowFail{.row = 5}},
     Tamper::kNone,
     u"Error during CPLD update."},
    {"OutOfMemory",
     "pxa320",
     Content::kOsImage,
     When::kAtConfirmation,
     {CallFault("LocalAlloc")},
     Tamper::kNone,
     u"FWLDoUpdate: Unknown Error: 9"},
};

class UpdateErrors : public ImageUpdateTest, public ::testing::WithParamInterface<ErrorCase> {
 protected:
  std::string Preset() const override { return GetParam().preset; }
};

TEST_P(UpdateErrors, ShowTheirMessageAndEndTheWorkflow) {
  const ErrorCase& c = GetParam();
  const std::u16string path = Make(c.content);
  const fs::path hostFile = ImagesFolder() / sim::ToUtf8(path.substr(path.rfind(u'\\') + 1));
  if (c.when == When::kBefore) {
    for (const sim::Json& item : c.faults) {
      Fault(item);
    }
  }
  Start(path);
  const ShownMessageBox question = ui.WaitForMessageBox();
  ASSERT_EQ(question.caption, u"WARNING");
  if (c.when == When::kAtConfirmation) {
    for (const sim::Json& item : c.faults) {
      Fault(item);
    }
  }
  if (c.tamper != Tamper::kNone) {
    // The file changes on its medium after it was checked.
    std::fstream file(hostFile, std::ios::in | std::ios::out | std::ios::binary);
    const std::streamoff at = c.tamper == Tamper::kSectionVersion ? 4 : 15 + 12 + 100;
    file.seekp(at);
    file.put(c.tamper == Tamper::kSectionVersion ? 2 : 0x5A);
    file.close();
  }
  ASSERT_TRUE(ui.Answer(question.handle, IDYES));
  const ShownMessageBox error = ui.AnswerNext(IDOK);
  EXPECT_EQ(error.caption, u"ERROR");
  EXPECT_EQ(error.text, c.text);
  EXPECT_EQ(error.icon, MB_ICONSTOP);
  EXPECT_EQ(error.buttons, std::vector<int>{IDOK});
  EXPECT_EQ(error.owner, nullptr);
  EXPECT_EQ(Finish(), 0);
  // Neither closing question follows a failure.
  EXPECT_EQ(ui.MessageBoxes().size(), 2u);
  EXPECT_EQ(Machine().PendingReset(), sim::ResetKind::kNone);
}

INSTANTIATE_TEST_SUITE_P(ByStatus, UpdateErrors, ::testing::ValuesIn(kUpdateErrors),
                         testing_support::CaseName());

// Files the check refuses: the message comes before any question, in batch mode too.
struct FileCase {
  const char* name;
  const char* preset;
  std::string file;  // empty: the file does not exist
  Bytes bytes;
  std::vector<sim::Json> faults;
  const char16_t* text;
};

Bytes CorruptRecordFile() {
  return BinBuilder()
      .Header(kOsStart, kEraseUnit)
      .RecordWithChecksum(kOsStart, OsData(), 1)
      .End()
      .Data();
}

Bytes OtherVersionSection() {
  return sample_content::FileSystemSection(3, {}, 348, 0xFFFFFFFF, 0xFFFFFFFF, 2);
}

const FileCase kFileErrors[] = {
    {"Missing", "pxa320", "", {}, {}, u"Cannot open image file\n\\USB HD\\IMAGES\\missing.bin"},
    {"NotABinFile",
     "pxa320",
     "start.bin",
     BinBuilder().Header(0x50000000, 16).End().Data(),
     {},
     u"Not a valid WinCE binary image file!"},
    {"SectionOfAnotherVersion",
     "pxa320",
     "version.bin",
     OtherVersionSection(),
     {},
     u"This file was generated with an other Flashwick\nand is not supported with this Version "
     u"of the Flashwick!"},
    {"CorruptRecord", "pxa320", "crc.bin", CorruptRecordFile(), {}, u"Bin file with corrupt CRC!"},
    {"OutOfMemory",
     "pxa320",
     "os.bin",
     BinBuilder().Header(kOsStart, kEraseUnit).Record(kOsStart, OsData()).End().Data(),
     {faults::Call{.name = "LocalAlloc", .count = -1}},
     u"FWLSetBinFile: Unknown Error: 9"},
    {"NothingForThisHardware",
     "pxa320",
     "short.bin",
     Bytes(14, 0x42),
     {},
     u"This bin file doesn't contain update data which is valid for this hardware."},
    {"CpldOnNorModule",
     "pxa270-32m",
     "cpld.bin",
     BinBuilder().Cpld(CpldStream()).Data(),
     {},
     u"This bin file doesn't contain update data which is valid for this hardware."},
};

class UpdateFileErrors : public ImageUpdateTest, public ::testing::WithParamInterface<FileCase> {
 protected:
  std::string Preset() const override { return GetParam().preset; }
};

TEST_P(UpdateFileErrors, ShownInBatchModeTooBeforeAnyQuestion) {
  const FileCase& c = GetParam();
  const std::u16string path =
      c.file.empty() ? u"\\USB HD\\IMAGES\\missing.bin" : Put(c.file, c.bytes);
  for (const sim::Json& item : c.faults) {
    Fault(item);
  }
  const Bytes before = FlashBytes(kOsStart, 0x1000);
  Start(path, 1);
  const ShownMessageBox error = ui.AnswerNext(IDOK);
  EXPECT_EQ(error.caption, u"ERROR");
  EXPECT_EQ(error.text, c.text);
  EXPECT_EQ(error.icon, MB_ICONSTOP);
  EXPECT_EQ(Finish(), 0);
  EXPECT_EQ(ui.MessageBoxes().size(), 1u);
  Machine().Faults().Clear();
  EXPECT_EQ(FlashBytes(kOsStart, 0x1000), before);
}

INSTANTIATE_TEST_SUITE_P(ByStatus, UpdateFileErrors, ::testing::ValuesIn(kFileErrors),
                         testing_support::CaseName());

// ---------------------------------------------------------------------------------------------
// From the main dialog
// ---------------------------------------------------------------------------------------------
// Both file dialogs open on the one filter of their list: index 1 (0 would name a custom filter,
// which the program does not give). The dialog shows only the list, so the requests are read
// as the program hands them over.
TEST(FileDialogRequests, OpenOnTheImageFilesFilter) {
  OPENFILENAMEW open;
  FillImageOpenRequest(&open);
  WCHAR path[kPathUnits] = u"FlashBackup";
  OPENFILENAMEW save;
  FillBackupSaveRequest(&save, nullptr, path);
  for (const OPENFILENAMEW* request : {&open, &save}) {
    EXPECT_EQ(request->nFilterIndex, 1u);
    ASSERT_NE(request->lpstrFilter, nullptr);
    const WCHAR* entry = request->lpstrFilter;
    EXPECT_EQ(std::u16string(entry), u"IMAGE files");
    entry += std::char_traits<WCHAR>::length(entry) + 1;
    EXPECT_EQ(std::u16string(entry), u"*.bin");
    entry += std::char_traits<WCHAR>::length(entry) + 1;
    EXPECT_EQ(entry[0], 0) << "a second filter";
  }
}

TEST_F(ImageUpdateTest, SecondUpdateOpensInTheFolderOfTheFirst) {
  fs::create_directories(ImagesFolder() / "release");
  (void)Put("release/os.bin",
            BinBuilder().Header(kOsStart, kEraseUnit).Record(kOsStart, OsData()).End().Data());
  // An empty name: the workflow asks for the file.
  Start(u"");
  testing_support::ShownFileDialog open = ui.WaitForFileDialog();
  EXPECT_FALSE(open.request.save);
  EXPECT_EQ(open.request.folder, u"\\USB HD\\IMAGES");
  EXPECT_EQ(open.request.flags & (OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST),
            static_cast<DWORD>(OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST));
  ASSERT_EQ(open.request.filters.size(), 1u);
  EXPECT_EQ(open.request.filters[0].pattern, u"*.bin");
  ASSERT_TRUE(ui.ChooseFile(open.handle, u"\\USB HD\\IMAGES\\release\\os.bin"));
  HWND progress = ui.WaitForDialog(IDD_PROGRESS);
  Confirm(IDNO);
  EXPECT_EQ(Finish(), 0);
  EXPECT_FALSE(IsWindow(progress));
  ASSERT_EQ(ui.ClosedDialogs().size(), 1u);
  const sim::ui::WindowView shown = ui.ClosedDialogs()[0];
  EXPECT_EQ(shown.caption, u"Image Update");
  ASSERT_NE(shown.Control(IDC_PROGRESS_UPPER_TEXT), nullptr);
  EXPECT_EQ(shown.Control(IDC_PROGRESS_UPPER_TEXT)->text, u"Validating File 100%");
  EXPECT_EQ(std::u16string(LastImageFolder), u"\\USB HD\\IMAGES\\release\\");

  Start(u"");
  open = ui.WaitForFileDialog();
  EXPECT_EQ(open.request.folder, u"\\USB HD\\IMAGES\\release");
  ASSERT_TRUE(ui.CancelFile(open.handle));
  // A cancelled choice is quiet: no window, no message.
  EXPECT_EQ(Finish(), 0);
  EXPECT_EQ(ui.MessageBoxes().size(), 1u);
  EXPECT_EQ(ui.ClosedDialogs().size(), 1u);
}

}  // namespace
