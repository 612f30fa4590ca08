// The console front end: message boxes printed and answered from the given answers, file
// dialogs answered with paths, dialogs without a person closed, progress windows timed.
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "platform/kernel.h"
#include "platform/window.h"
#include "resources/resource.h"
#include "sim/ui/front_end.h"
#include "tests/support/module_fixture.h"

namespace {

class ConsoleUi : public testing_support::ModuleTest {
 protected:
  void Start(std::vector<std::string> answers) {
    std::string error;
    console_ = sim::ui::CreateFrontEnd("console", {std::move(answers)}, &error);
    ASSERT_NE(console_, nullptr) << error;
    sim::ui::InstallFrontEnd(console_.get());
  }
  void TearDown() override {
    sim::ui::InstallFrontEnd(nullptr);
    ModuleTest::TearDown();
  }

  BOOL OpenImage(WCHAR (&path)[MAX_PATH]) {
    OPENFILENAMEW request{};
    request.lStructSize = sizeof(request);
    request.lpstrFilter = u"IMAGE files\0*.bin\0";
    request.nFilterIndex = 1;
    request.lpstrFile = path;
    request.nMaxFile = MAX_PATH;
    request.lpstrInitialDir = u"\\USB HD\\IMAGES";
    request.Flags = OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST;
    return GetOpenFileNameW(&request);
  }

  std::unique_ptr<sim::ui::FrontEnd> console_;
};

TEST_F(ConsoleUi, AnswersInOrderThenTheDefaultButton) {
  std::filesystem::create_directories(Machine().FilesDirectory() / "USB HD");
  CreateDirectoryW(u"\\USB HD\\IMAGES", nullptr);
  HANDLE file = CreateFileW(u"\\USB HD\\IMAGES\\os.bin", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  CloseHandle(file);
  Start({"\\USB HD\\IMAGES\\os.bin", "YES", "maybe", "\\USB HD\\IMAGES\\absent.bin"});

  testing::internal::CaptureStdout();
  WCHAR path[MAX_PATH] = {};
  EXPECT_TRUE(OpenImage(path));
  EXPECT_EQ(std::u16string(path), u"\\USB HD\\IMAGES\\os.bin");
  const char16_t* question =
      u"This Image will overwrite the following sections:\n- OS Image\n\n\nAre you sure you "
      u"want to continue?";
  const UINT yesNo = MB_YESNO | MB_ICONEXCLAMATION | MB_DEFBUTTON2;
  EXPECT_EQ(MessageBoxW(nullptr, question, u"WARNING", yesNo), IDYES);
  EXPECT_EQ(MessageBoxW(nullptr, u"Reset now?", u"RESET", yesNo), IDNO);  // "maybe": default
  WCHAR missing[MAX_PATH] = {};
  EXPECT_FALSE(OpenImage(missing));  // refused path: cancelled
  EXPECT_EQ(MessageBoxW(nullptr, u"Error writing to Flash!", u"ERROR", MB_OK | MB_ICONSTOP), IDOK);
  EXPECT_FALSE(OpenImage(missing));  // no answers left
  const std::string printed = testing::internal::GetCapturedStdout();

  EXPECT_EQ(printed,
            "[Open] IMAGE files (*.bin) in \\USB HD\\IMAGES\n"
            "  -> \\USB HD\\IMAGES\\os.bin\n"
            "[WARNING] This Image will overwrite the following sections:\n"
            "          - OS Image\n"
            "          \n"
            "          \n"
            "          Are you sure you want to continue?\n"
            "  -> Yes\n"
            "[RESET] Reset now?\n"
            "  -> No\n"
            "[Open] IMAGE files (*.bin) in \\USB HD\\IMAGES\n"
            "  -> \\USB HD\\IMAGES\\absent.bin: The file \"\\USB HD\\IMAGES\\absent.bin\" cannot "
            "be found.; cancelled\n"
            "[ERROR] Error writing to Flash!\n"
            "  -> OK\n"
            "[Open] IMAGE files (*.bin) in \\USB HD\\IMAGES\n"
            "  -> cancelled (no file given)\n");
}

INT_PTR CALLBACK CloseOnCancel(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_COMMAND && LOWORD(wParam) == IDCANCEL) {
    EndDialog(dialog, 9);
  }
  if (message == WM_INITDIALOG) {
    SetWindowTextW(dialog, u"Flashwick 3.4.0");
  }
  return message == WM_COMMAND || message == WM_INITDIALOG ? TRUE : FALSE;
}

INT_PTR CALLBACK Silent(HWND, UINT message, WPARAM, LPARAM) {
  return message == WM_COMMAND ? TRUE : FALSE;
}

TEST_F(ConsoleUi, DialogsWaitingForAPersonCloseAndProgressWindowsTellTheirModuleTime) {
  Start({});
  InitCommonControls();
  testing::internal::CaptureStdout();
  EXPECT_EQ(DialogBoxParamW(sim::ui::ProgramInstance(), MAKEINTRESOURCE(IDD_MAIN), nullptr,
                            CloseOnCancel, 0),
            9);

  HWND progress = nullptr;
  std::thread window([&progress] {
    DialogBoxParamW(sim::ui::ProgramInstance(), MAKEINTRESOURCE(IDD_PROGRESS), nullptr, Silent, 0);
  });
  while (progress == nullptr) {
    for (const sim::ui::WindowView& view : sim::ui::OpenWindows()) {
      if (view.templateId == IDD_PROGRESS && view.visible) {
        progress = view.handle;
      }
    }
    std::this_thread::yield();
  }
  SetWindowTextW(progress, u"Image Update");
  Machine().Clock().Advance(2'500 * sim::kMillisecond);  // the flash works for 2.5 s
  EndDialog(progress, 0);
  window.join();
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Flashwick 3.4.0: this dialog needs a person (use --ui terminal); closing it\n"
            "Image Update: 2.500 s of module time\n");
}

}  // namespace
