// The file-open and file-save dialogs over the module's files.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "platform/kernel.h"
#include "platform/window.h"
#include "resources/resource.h"
#include "sim/ui/front_end.h"
#include "tests/support/module_fixture.h"
#include "tests/support/ui_driver.h"

namespace {

using testing_support::ProgramThread;
using testing_support::ShownFileDialog;
using testing_support::UiDriver;

constexpr WCHAR kImageFilter[] = u"IMAGE files\0*.bin\0";

void MakeFolder(const char16_t* path) {
  if (!CreateDirectoryW(path, nullptr)) {
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  }
}

void MakeFile(const char16_t* path) {
  HANDLE file =
      CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(file, "image", 5, &written, nullptr));
  CloseHandle(file);
}

class FileDialogTest : public testing_support::ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    // The USB drive is plugged in: its folder exists on the host.
    std::filesystem::create_directories(Machine().FilesDirectory() / "USB HD");
    MakeFolder(u"\\USB HD\\IMAGES");
    MakeFolder(u"\\USB HD\\IMAGES\\old");
    MakeFile(u"\\USB HD\\IMAGES\\os.bin");
    MakeFile(u"\\USB HD\\IMAGES\\Full.BIN");
    MakeFile(u"\\USB HD\\IMAGES\\notes.txt");
  }

  // The request of an image update's file-open dialog.
  OPENFILENAMEW OpenRequest() {
    OPENFILENAMEW request{};
    request.lStructSize = sizeof(request);
    request.lpstrFilter = kImageFilter;
    request.nFilterIndex = 1;
    request.lpstrFile = file_;
    request.nMaxFile = MAX_PATH;
    request.lpstrInitialDir = u"\\USB HD\\IMAGES";
    request.Flags = OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST;
    return request;
  }

  WCHAR file_[MAX_PATH] = {};
  UiDriver ui;
};

TEST_F(FileDialogTest, OpenDialog_BrowsesTheFilterAndReturnsTheChosenPath) {
  OPENFILENAMEW request = OpenRequest();
  ProgramThread thread([&request] { return GetOpenFileNameW(&request); });
  const ShownFileDialog dialog = ui.WaitForFileDialog();
  EXPECT_FALSE(dialog.request.save);
  EXPECT_EQ(dialog.request.title, u"Open");
  ASSERT_EQ(dialog.request.filters.size(), 1u);
  EXPECT_EQ(dialog.request.filters[0].description, u"IMAGE files");
  EXPECT_EQ(dialog.request.filters[0].pattern, u"*.bin");
  EXPECT_EQ(dialog.request.folder, u"\\USB HD\\IMAGES");
  EXPECT_EQ(dialog.request.fileName, u"");
  EXPECT_EQ(dialog.request.flags, 0x1800u);

  std::vector<sim::ui::FolderEntry> entries;
  ASSERT_TRUE(sim::ui::ListFolder(dialog.request.folder, u"*.bin", &entries));
  std::vector<std::u16string> names;
  for (const sim::ui::FolderEntry& entry : entries) {
    names.push_back(entry.name + (entry.folder ? u"\\" : u""));
  }
  EXPECT_EQ(names, (std::vector<std::u16string>{u"old\\", u"Full.BIN", u"os.bin"}));

  ASSERT_TRUE(ui.ChooseFile(dialog.handle, u"os.bin"));
  EXPECT_EQ(thread.Join(), TRUE);
  EXPECT_EQ(std::u16string(file_), u"\\USB HD\\IMAGES\\os.bin");
  EXPECT_EQ(request.nFileOffset, 15);
  EXPECT_EQ(request.nFileExtension, 18);
  EXPECT_EQ(CommDlgExtendedError(), 0u);
}

TEST_F(FileDialogTest, OpenDialog_RefusesWhatTheFlagsForbidAndStaysOpen) {
  OPENFILENAMEW request = OpenRequest();
  ProgramThread thread([&request] {
    const BOOL chosen = GetOpenFileNameW(&request);
    return chosen != FALSE ? -1 : static_cast<std::intptr_t>(CommDlgExtendedError());
  });
  const ShownFileDialog dialog = ui.WaitForFileDialog();
  struct Refusal {
    const char16_t* answer;
    const char* reason;
  };
  for (const Refusal& refusal :
       {Refusal{u"missing.bin", "cannot be found"}, Refusal{u"old", "is a folder"},
        Refusal{u"..\\..\\Nowhere\\x.bin", "does not exist"}, Refusal{u"a|b.bin", "is not valid"},
        Refusal{u"", "Give a file name"}}) {
    std::string why;
    EXPECT_FALSE(ui.ChooseFile(dialog.handle, refusal.answer, &why));
    EXPECT_NE(why.find(refusal.reason), std::string::npos) << why;
    sim::ui::WindowView view;
    ASSERT_TRUE(sim::ui::GetWindowView(dialog.handle, &view));
    EXPECT_FALSE(view.file.problem.empty());
  }
  ASSERT_TRUE(ui.CancelFile(dialog.handle));
  EXPECT_EQ(thread.Join(), 0);  // cancelled: FALSE with no error
  EXPECT_EQ(std::u16string(file_), u"");
}

TEST_F(FileDialogTest, SaveDialog_ProposesTheNameAndAddsTheDefaultExtension) {
  WCHAR name[MAX_PATH] = u"OS Image";
  OPENFILENAMEW request{};
  request.lStructSize = sizeof(request);
  request.lpstrFilter = kImageFilter;
  request.nFilterIndex = 1;
  request.lpstrFile = name;
  request.nMaxFile = MAX_PATH;
  request.lpstrTitle = u"Save Region As";
  request.lpstrDefExt = u"bin";
  request.Flags = OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;
  ProgramThread thread([&request] { return GetSaveFileNameW(&request); });
  const ShownFileDialog dialog = ui.WaitForFileDialog();
  EXPECT_TRUE(dialog.request.save);
  EXPECT_EQ(dialog.request.title, u"Save Region As");
  EXPECT_EQ(dialog.request.fileName, u"OS Image");
  EXPECT_EQ(dialog.request.folder, u"\\");
  EXPECT_EQ(dialog.request.defaultExtension, u"bin");
  std::string why;
  EXPECT_FALSE(ui.ChooseFile(dialog.handle, u"\\Nowhere\\OS Image", &why));
  EXPECT_NE(why.find("does not exist"), std::string::npos) << why;
  // A file that need not exist yet, in a folder that does.
  ASSERT_TRUE(ui.ChooseFile(dialog.handle, u"/usb hd/IMAGES/./OS Image"));
  EXPECT_EQ(thread.Join(), TRUE);
  EXPECT_EQ(std::u16string(name), u"\\usb hd\\IMAGES\\OS Image.bin");
  EXPECT_EQ(request.Flags & OFN_EXTENSIONDIFFERENT, 0u);
}

TEST_F(FileDialogTest, Requests_ThatCannotBeServedFailWithoutADialog) {
  struct Case {
    const char* name;
    std::function<void(OPENFILENAMEW&)> change;
    DWORD error;
  };
  const Case cases[] = {
      {"record size", [](OPENFILENAMEW& r) { r.lStructSize = 76; }, CDERR_STRUCTSIZE},
      {"several files", [](OPENFILENAMEW& r) { r.Flags |= OFN_ALLOWMULTISELECT; },
       CDERR_INITIALIZATION},
      {"overwrite question", [](OPENFILENAMEW& r) { r.Flags |= OFN_OVERWRITEPROMPT; },
       CDERR_INITIALIZATION},
      {"no buffer", [](OPENFILENAMEW& r) { r.lpstrFile = nullptr; }, CDERR_INITIALIZATION},
      {"filter without pattern", [](OPENFILENAMEW& r) { r.lpstrFilter = u"IMAGE files\0\0"; },
       CDERR_INITIALIZATION},
      {"unterminated name",
       [](OPENFILENAMEW& r) {
         std::fill_n(r.lpstrFile, 4, u'x');
         r.nMaxFile = 4;
       },
       FNERR_BUFFERTOOSMALL},
      {"stale owner", [](OPENFILENAMEW& r) { r.hwndOwner = reinterpret_cast<HWND>(0x99); },
       CDERR_DIALOGFAILURE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::fill(std::begin(file_), std::end(file_), 0);
    OPENFILENAMEW request = OpenRequest();
    c.change(request);
    EXPECT_FALSE(GetOpenFileNameW(&request));
    EXPECT_EQ(CommDlgExtendedError(), c.error);
  }
  EXPECT_TRUE(sim::ui::OpenWindows().empty());
}

TEST_F(FileDialogTest, ChosenPathLongerThanTheBuffer_FailsAndTellsTheSizeNeeded) {
  WCHAR small[12] = {};
  OPENFILENAMEW request = OpenRequest();
  request.lpstrFile = small;
  request.nMaxFile = 12;
  ProgramThread thread([&request] { return GetOpenFileNameW(&request); });
  const ShownFileDialog dialog = ui.WaitForFileDialog();
  ASSERT_TRUE(ui.ChooseFile(dialog.handle, u"os.bin"));
  EXPECT_EQ(thread.Join(), FALSE);
  EXPECT_EQ(small[0], 22);  // "\USB HD\IMAGES\os.bin" and its terminator
}

INT_PTR CALLBACK OpenFromDialog(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_COMMAND && LOWORD(wParam) == IDC_MAIN_UPDATE) {
    WCHAR path[MAX_PATH] = {};
    OPENFILENAMEW request{};
    request.lStructSize = sizeof(request);
    request.hwndOwner = dialog;
    request.lpstrFile = path;
    request.nMaxFile = MAX_PATH;
    request.lpstrInitialDir = u"\\USB HD\\IMAGES";
    request.Flags = OFN_FILEMUSTEXIST;
    if (GetOpenFileNameW(&request)) {
      SetWindowTextW(dialog, path);
    }
    return TRUE;
  }
  if (message == WM_COMMAND && LOWORD(wParam) == IDCANCEL) {
    EndDialog(dialog, 0);
  }
  return message == WM_INITDIALOG ? TRUE : FALSE;
}

TEST_F(FileDialogTest, DialogsOwner_TakesNoInputWhileTheFileDialogIsOpen) {
  ProgramThread thread([] {
    return DialogBoxParamW(sim::ui::ProgramInstance(), MAKEINTRESOURCE(IDD_MAIN), nullptr,
                           OpenFromDialog, 0);
  });
  HWND main = ui.WaitForDialog(IDD_MAIN);
  ASSERT_TRUE(ui.Press(main, IDC_MAIN_UPDATE));
  const ShownFileDialog dialog = ui.WaitForFileDialog();
  EXPECT_EQ(dialog.owner, main);
  EXPECT_TRUE(dialog.request.filters.empty());
  EXPECT_FALSE(ui.TakesInput(main));
  ASSERT_TRUE(ui.ChooseFile(dialog.handle, u"notes.txt"));
  ui.WaitFor([&] { return ui.Caption(main) == u"\\USB HD\\IMAGES\\notes.txt"; }, "the caption");
  EXPECT_TRUE(ui.TakesInput(main));
  ASSERT_TRUE(ui.Close(main));
  EXPECT_EQ(thread.Join(), 0);
}

TEST(FilePaths, ResolveAndMatch) {
  struct PathCase {
    const char16_t* folder;
    const char16_t* name;
    const char16_t* resolved;
  };
  for (const PathCase& c :
       {PathCase{u"\\USB HD\\IMAGES", u"x.bin", u"\\USB HD\\IMAGES\\x.bin"},
        PathCase{u"\\USB HD\\IMAGES", u"..\\x.bin", u"\\USB HD\\x.bin"},
        PathCase{u"\\USB HD", u"\\Windows\\a", u"\\Windows\\a"},
        PathCase{u"\\", u"../../a/./b//c", u"\\a\\b\\c"}, PathCase{u"\\a", u"..", u"\\"}}) {
    EXPECT_EQ(sim::ui::ResolvePath(c.folder, c.name), c.resolved);
  }
  struct MatchCase {
    const char16_t* name;
    const char16_t* patterns;
    bool matches;
  };
  for (const MatchCase& c :
       {MatchCase{u"OS.BIN", u"*.bin", true}, MatchCase{u"os.bin.txt", u"*.bin", false},
        MatchCase{u"readme", u"*.*", true}, MatchCase{u"a.nb0", u"*.bin; *.nb0", true},
        MatchCase{u"ab.bin", u"?.bin", false}, MatchCase{u"anything", u"", true}}) {
    EXPECT_EQ(sim::ui::MatchesPatterns(c.name, c.patterns), c.matches)
        << std::string(c.name, c.name + std::char_traits<char16_t>::length(c.name));
  }
}

}  // namespace
