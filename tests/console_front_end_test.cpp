// The console front end: message boxes printed and answered from the given answers, file
// dialogs answered with paths, dialogs without a person closed, progress windows timed.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sstream>
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

// A worker drives a progress window as the program does: every step reaches the console, which
// prints a line for each phase and each tenth of its amount, with the module time, and no more.
TEST_F(ConsoleUi, ProgressWindowsPrintAPhaseAndEveryTenthWithTheModuleTime) {
  Start({});
  InitCommonControls();
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
  testing::internal::CaptureStdout();
  HWND upper = GetDlgItem(progress, IDC_PROGRESS_UPPER_BAR);
  HWND lower = GetDlgItem(progress, IDC_PROGRESS_LOWER_BAR);
  SetWindowTextW(progress, u"Image Update");
  SendMessageW(upper, PBM_SETRANGE32, 0, 200);
  SetDlgItemTextW(progress, IDC_PROGRESS_UPPER_TEXT, u"Erasing Flash (at 00000000)");
  for (int block = 0; block <= 200; ++block) {  // 201 steps of 1 ms each
    SendMessageW(upper, PBM_SETPOS, static_cast<WPARAM>(block), 0);
    Machine().Clock().Advance(sim::kMillisecond);
  }
  SetDlgItemTextW(progress, IDC_PROGRESS_UPPER_TEXT,
                  u"Preparing filesystem driver. Please wait...");
  SendMessageW(upper, PBM_SETRANGE32, 0, 2);
  for (int tick = 0; tick < 6; ++tick) {  // the busy animation: no amounts
    SendMessageW(upper, PBM_SETPOS, static_cast<WPARAM>(tick % 3), 0);
  }
  // Sections: each fills the upper bar anew, the lower one gives the amount of the whole.
  SendMessageW(lower, PBM_SETRANGE32, 0, 4);
  for (int section = 0; section < 4; ++section) {
    SetDlgItemTextW(progress, IDC_PROGRESS_UPPER_TEXT,
                    section % 2 == 0 ? u"Section Start: 00040000" : u"Section Start: 00080000");
    SendMessageW(upper, PBM_SETRANGE32, 0, 1);
    SendMessageW(upper, PBM_SETPOS, 1, 0);
    SendMessageW(lower, PBM_SETPOS, static_cast<WPARAM>(section + 1), 0);
  }
  EndDialog(progress, 0);
  window.join();
  const std::string printed = testing::internal::GetCapturedStdout();

  std::string lines;
  std::vector<double> times;
  const std::regex step(R"(^(.*) \(module time ([0-9.]+) s\)$)");
  std::istringstream in(printed);
  for (std::string line; std::getline(in, line);) {
    std::smatch match;
    if (std::regex_match(line, match, step)) {
      lines += match[1].str() + "\n";
      times.push_back(std::stod(match[2]));
    } else {
      lines += line + "\n";
    }
  }
  EXPECT_EQ(lines,
            "Image Update: Erasing Flash 0%\n"
            "Image Update: Erasing Flash 10%\n"
            "Image Update: Erasing Flash 20%\n"
            "Image Update: Erasing Flash 30%\n"
            "Image Update: Erasing Flash 40%\n"
            "Image Update: Erasing Flash 50%\n"
            "Image Update: Erasing Flash 60%\n"
            "Image Update: Erasing Flash 70%\n"
            "Image Update: Erasing Flash 80%\n"
            "Image Update: Erasing Flash 90%\n"
            "Image Update: Erasing Flash 100%\n"
            "Image Update: Preparing filesystem driver. Please wait...\n"
            "Image Update: Section Start 0%\n"
            "Image Update: Section Start 25%\n"
            "Image Update: Section Start 50%\n"
            "Image Update: Section Start 75%\n"
            "Image Update: Section Start 100%\n"
            "Image Update: 0.201 s of module time\n");
  // Each tenth of the erase is 20 blocks of 1 ms later than the one before.
  ASSERT_EQ(times.size(), 17u);
  for (std::size_t i = 1; i <= 10; ++i) {
    EXPECT_NEAR(times[i] - times[i - 1], 0.020, 1e-6) << i;
  }
}

}  // namespace
