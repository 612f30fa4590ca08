// The window manager under dialog procedures written here, over the program's own templates.
#include "sim/ui/window_manager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/kernel.h"
#include "platform/window.h"
#include "resources/resource.h"
#include "sim/ui/front_end.h"
#include "tests/support/faults.h"
#include "tests/support/module_fixture.h"
#include "tests/support/ui_driver.h"

namespace {

using sim::ui::ControlView;
using sim::ui::Key;
using sim::ui::WindowKind;
using testing_support::ProgramThread;
using testing_support::ShownMessageBox;
using testing_support::UiDriver;

// ---------------------------------------------------------------------------------------------
// What the test dialog procedures saw
// ---------------------------------------------------------------------------------------------
struct Event {
  std::thread::id thread;
  UINT message = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
};

std::mutex eventMutex;
std::vector<Event> events;

void Record(UINT message, WPARAM wParam, LPARAM lParam) {
  std::lock_guard<std::mutex> lock(eventMutex);
  events.push_back({std::this_thread::get_id(), message, wParam, lParam});
}

std::vector<Event> EventsOf(UINT message) {
  std::lock_guard<std::mutex> lock(eventMutex);
  std::vector<Event> found;
  for (const Event& event : events) {
    if (event.message == message) {
      found.push_back(event);
    }
  }
  return found;
}

// Commands (id, code) the dialog heard.
std::vector<std::pair<int, int>> Commands() {
  std::vector<std::pair<int, int>> commands;
  for (const Event& event : EventsOf(WM_COMMAND)) {
    commands.emplace_back(LOWORD(event.wParam), HIWORD(event.wParam));
  }
  return commands;
}

bool HeardCommand(int id, int code) {
  for (const auto& [heardId, heardCode] : Commands()) {
    if (heardId == id && heardCode == code) {
      return true;
    }
  }
  return false;
}

INT_PTR RunDialog(int templateId, DLGPROC procedure, HWND owner = nullptr, LPARAM parameter = 0) {
  return DialogBoxParamW(sim::ui::ProgramInstance(), MAKEINTRESOURCE(templateId), owner, procedure,
                         parameter);
}

// Records everything and ends on the close command.
INT_PTR CALLBACK RecordingProcedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  Record(message, wParam, lParam);
  if (message == WM_COMMAND && LOWORD(wParam) == IDCANCEL) {
    EndDialog(dialog, IDCANCEL);
    return TRUE;
  }
  return message == WM_INITDIALOG ? TRUE : FALSE;
}

// The region dialog: five items; a right-button or Shift+Ctrl click on the surface reveals the
// two hidden buttons.
INT_PTR CALLBACK RegionProcedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  Record(message, wParam, lParam);
  switch (message) {
    case WM_INITDIALOG:
      for (const char16_t* name :
           {u"Bootloader", u"Config Block", u"OS Image", u"Registry", u"File System"}) {
        SendDlgItemMessageW(dialog, IDC_REGION_LIST, LB_ADDSTRING, 0,
                            reinterpret_cast<LPARAM>(name));
      }
      return TRUE;
    case WM_LBUTTONDOWN:
      if ((wParam & MK_RBUTTON) != 0 ||
          (wParam & (MK_SHIFT | MK_CONTROL)) == (MK_SHIFT | MK_CONTROL)) {
        ShowWindow(GetDlgItem(dialog, IDC_REGION_BACKUP_ALL), SW_SHOW);
        ShowWindow(GetDlgItem(dialog, IDC_REGION_ERASE), SW_SHOW);
      }
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wParam) == IDCANCEL) {
        EndDialog(dialog, 0);
      }
      return TRUE;
    default:
      return FALSE;
  }
}

// The main dialog: "Version Info" shows a message box owned by the dialog; the answer ends up in
// the dialog's caption.
INT_PTR CALLBACK MainProcedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  Record(message, wParam, lParam);
  if (message == WM_INITDIALOG) {
    return TRUE;
  }
  if (message != WM_COMMAND) {
    return FALSE;
  }
  switch (LOWORD(wParam)) {
    case IDCANCEL:
      EndDialog(dialog, 7);
      break;
    case IDC_MAIN_VERSION_INFO: {
      const int answer = MessageBoxW(dialog, u"Bootloader (in Flash)", u"BSP Version", MB_OK);
      SetWindowTextW(dialog, answer == IDOK ? u"answered OK" : u"not answered");
      break;
    }
    default:
      break;
  }
  return TRUE;
}

class WindowTest : public testing_support::ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    {
      // Every test is a program of its own: it has not registered the common controls yet
      // (a test run of the whole group in one process would otherwise find them registered).
      std::lock_guard<std::mutex> lock(sim::ui::detail::State().mutex);
      sim::ui::detail::State().commonControls = false;
    }
    std::lock_guard<std::mutex> lock(eventMutex);
    events.clear();
  }

  UiDriver ui;
};

// ---------------------------------------------------------------------------------------------
// Templates
// ---------------------------------------------------------------------------------------------
struct ControlCase {
  int dialog;
  int id;
  WindowKind kind;
  const char16_t* text;
  sim::ui::Rect rect;
  bool visible;
  bool enabled;
};

const ControlCase kControls[] = {
    {IDD_MAIN, IDC_MAIN_SAVE, WindowKind::kButton, u"Save", {7, 13, 49, 12}, true, true},
    {IDD_MAIN, IDC_MAIN_CLEAR, WindowKind::kButton, u"Clear", {62, 13, 49, 12}, true, true},
    {IDD_MAIN,
     IDC_MAIN_IMAGE_GROUP,
     WindowKind::kGroupBox,
     u"Bootloader / Image",
     {3, 33, 112, 44},
     true,
     true},
    {IDD_MAIN, IDC_MAIN_UPDATE, WindowKind::kButton, u"Update", {7, 44, 49, 12}, true, true},
    {IDD_MAIN, IDC_MAIN_BACKUP, WindowKind::kButton, u"Backup", {62, 44, 49, 12}, true, true},
    {IDD_MAIN,
     IDC_MAIN_VERSION_INFO,
     WindowKind::kButton,
     u"Version Info",
     {7, 61, 49, 12},
     true,
     true},
    {IDD_MAIN,
     IDC_MAIN_CPLD_VERSION,
     WindowKind::kButton,
     u"CPLDVersion",
     {62, 61, 49, 12},
     true,
     true},
    {IDD_MAIN, IDC_MAIN_WARMBOOT, WindowKind::kButton, u"Warmboot", {5, 82, 49, 19}, true, true},
    {IDD_MAIN, IDC_MAIN_COLDBOOT, WindowKind::kButton, u"Coldboot", {64, 82, 49, 19}, true, true},
    {IDD_PROGRESS, IDC_PROGRESS_UPPER_TEXT, WindowKind::kStatic, u"", {4, 4, 126, 17}, true, true},
    {IDD_PROGRESS,
     IDC_PROGRESS_UPPER_BAR,
     WindowKind::kProgressBar,
     u"",
     {4, 23, 126, 13},
     true,
     true},
    {IDD_PROGRESS, IDC_PROGRESS_LOWER_TEXT, WindowKind::kStatic, u"", {4, 43, 126, 17}, true, true},
    {IDD_PROGRESS,
     IDC_PROGRESS_LOWER_BAR,
     WindowKind::kProgressBar,
     u"",
     {4, 62, 126, 13},
     true,
     true},
    {IDD_PROGRESS, IDCANCEL, WindowKind::kButton, u"Abort", {38, 80, 58, 11}, false, true},
    {IDD_REGION, IDC_REGION_LIST, WindowKind::kListBox, u"", {3, 13, 75, 50}, true, true},
    {IDD_REGION, IDC_REGION_START, WindowKind::kStatic, u"0x00000000", {40, 66, 88, 8}, true, true},
    {IDD_REGION,
     IDC_REGION_LENGTH,
     WindowKind::kStatic,
     u"0x00000000",
     {40, 76, 88, 8},
     true,
     true},
    {IDD_REGION, IDC_REGION_USED, WindowKind::kStatic, u"0x00000000", {40, 86, 88, 8}, true, true},
    {IDD_REGION, IDC_REGION_BACKUP, WindowKind::kButton, u"Backup", {85, 13, 38, 13}, true, false},
    {IDD_REGION,
     IDC_REGION_BACKUP_ALL,
     WindowKind::kButton,
     u"BackupAll",
     {85, 30, 38, 13},
     false,
     true},
    {IDD_REGION, IDC_REGION_ERASE, WindowKind::kButton, u"Erase", {85, 47, 38, 13}, false, false},
};

TEST_F(WindowTest, Templates_GiveEveryControlItsIdTextPlaceAndState) {
  InitCommonControls();
  struct DialogCase {
    int id;
    const char16_t* caption;
    int width;
    int height;
    std::size_t controls;
  };
  for (const DialogCase& dialogCase : {DialogCase{IDD_MAIN, u"Flashwick", 118, 106, 10},
                                       DialogCase{IDD_PROGRESS, u"Progress", 134, 98, 5},
                                       DialogCase{IDD_REGION, u"BackUp", 128, 103, 11}}) {
    SCOPED_TRACE(dialogCase.id);
    ProgramThread thread([&] { return RunDialog(dialogCase.id, RecordingProcedure); });
    HWND dialog = ui.WaitForDialog(dialogCase.id);
    ASSERT_NE(dialog, nullptr);
    sim::ui::WindowView view;
    ASSERT_TRUE(sim::ui::GetWindowView(dialog, &view));
    EXPECT_EQ(view.caption, dialogCase.caption);
    EXPECT_EQ(view.rect.width, dialogCase.width);
    EXPECT_EQ(view.rect.height, dialogCase.height);
    EXPECT_EQ(view.controls.size(), dialogCase.controls);
    for (const ControlCase& expected : kControls) {
      if (expected.dialog != dialogCase.id) {
        continue;
      }
      SCOPED_TRACE(expected.id);
      const ControlView control = ui.Control(dialog, expected.id);
      EXPECT_EQ(control.kind, expected.kind);
      EXPECT_EQ(control.text, expected.text);
      EXPECT_EQ(control.rect.x, expected.rect.x);
      EXPECT_EQ(control.rect.y, expected.rect.y);
      EXPECT_EQ(control.rect.width, expected.rect.width);
      EXPECT_EQ(control.rect.height, expected.rect.height);
      EXPECT_EQ(control.visible, expected.visible);
      EXPECT_EQ(control.enabled, expected.enabled);
    }
    EXPECT_TRUE(EndDialog(dialog, 5));
    EXPECT_EQ(thread.Join(), 5);
  }
}

TEST_F(WindowTest, RegionTemplate_ListIsExtendedNotifyingAndBackupIsTheDefaultButton) {
  ProgramThread thread([] { return RunDialog(IDD_REGION, RegionProcedure); });
  HWND dialog = ui.WaitForDialog(IDD_REGION);
  const ControlView list = ui.Control(dialog, IDC_REGION_LIST);
  EXPECT_EQ(list.style & (LBS_EXTENDEDSEL | LBS_NOTIFY | WS_VSCROLL | WS_BORDER),
            LBS_EXTENDEDSEL | LBS_NOTIFY | WS_VSCROLL | WS_BORDER);
  EXPECT_TRUE(ui.Control(dialog, IDC_REGION_BACKUP).isDefault);
  EXPECT_FALSE(ui.Control(dialog, IDC_REGION_BACKUP_ALL).isDefault);
  // Nothing takes the focus when the dialog opens: the only tab stop is disabled.
  for (const ControlView& control : std::vector<ControlView>{
           list, ui.Control(dialog, IDC_REGION_BACKUP), ui.Control(dialog, IDC_REGION_ERASE)}) {
    EXPECT_FALSE(control.focused);
  }
  EXPECT_TRUE(EventsOf(WM_COMMAND).empty());
  EXPECT_TRUE(ui.Close(dialog));
  EXPECT_EQ(thread.Join(), 0);
}

// ---------------------------------------------------------------------------------------------
// Creating dialogs
// ---------------------------------------------------------------------------------------------
TEST_F(WindowTest, DialogBoxParam_RefusesWhatItCannotCreate) {
  struct Case {
    const char* name;
    HINSTANCE instance;
    int templateId;
    HWND owner;
    DLGPROC procedure;
    DWORD error;
  };
  const Case cases[] = {
      {"unknown template", sim::ui::ProgramInstance(), 105, nullptr, RecordingProcedure,
       ERROR_RESOURCE_NAME_NOT_FOUND},
      {"icon, not a dialog", sim::ui::ProgramInstance(), IDI_FLASHWICK, nullptr, RecordingProcedure,
       ERROR_RESOURCE_NAME_NOT_FOUND},
      {"no instance", nullptr, IDD_MAIN, nullptr, RecordingProcedure, ERROR_INVALID_HANDLE},
      {"stale owner", sim::ui::ProgramInstance(), IDD_MAIN, reinterpret_cast<HWND>(0x1234),
       RecordingProcedure, ERROR_INVALID_WINDOW_HANDLE},
      {"no procedure", sim::ui::ProgramInstance(), IDD_MAIN, nullptr, nullptr,
       ERROR_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetLastError(0);
    EXPECT_EQ(DialogBoxParamW(c.instance, MAKEINTRESOURCE(c.templateId), c.owner, c.procedure, 0),
              -1);
    EXPECT_EQ(GetLastError(), c.error);
  }
  EXPECT_TRUE(EventsOf(WM_INITDIALOG).empty());
  EXPECT_TRUE(sim::ui::OpenWindows().empty());
}

TEST_F(WindowTest, ProgressTemplate_NeedsTheCommonControls) {
  EXPECT_EQ(RunDialog(IDD_PROGRESS, RecordingProcedure), -1);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANNOT_FIND_WND_CLASS));
  INITCOMMONCONTROLSEX wrongSize{sizeof(INITCOMMONCONTROLSEX) + 4, ICC_PROGRESS_CLASS};
  EXPECT_FALSE(InitCommonControlsEx(&wrongSize));
  INITCOMMONCONTROLSEX otherClasses{sizeof(INITCOMMONCONTROLSEX), ICC_LISTVIEW_CLASSES};
  EXPECT_TRUE(InitCommonControlsEx(&otherClasses));
  EXPECT_EQ(RunDialog(IDD_PROGRESS, RecordingProcedure), -1);

  INITCOMMONCONTROLSEX progress{sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS};
  ASSERT_TRUE(InitCommonControlsEx(&progress));
  ProgramThread thread([] { return RunDialog(IDD_PROGRESS, RecordingProcedure); });
  HWND dialog = ui.WaitForDialog(IDD_PROGRESS);
  ASSERT_NE(dialog, nullptr);
  EndDialog(dialog, 1);
  EXPECT_EQ(thread.Join(), 1);
}

TEST_F(WindowTest, DialogEndedDuringInitialisation_NeverShowsAndReturnsItsResult) {
  auto procedure = [](HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) -> INT_PTR {
    Record(message, wParam, lParam);
    if (message == WM_INITDIALOG) {
      EndDialog(dialog, lParam);
      return TRUE;
    }
    return FALSE;
  };
  EXPECT_EQ(RunDialog(IDD_MAIN, procedure, nullptr, 99), 99);
  EXPECT_EQ(EventsOf(WM_INITDIALOG).size(), 1u);
  EXPECT_EQ(EventsOf(WM_DESTROY).size(), 1u);
  EXPECT_TRUE(sim::ui::OpenWindows().empty());
}

// ---------------------------------------------------------------------------------------------
// Threads: modal loops, messages sent across threads, EndDialog from anywhere
// ---------------------------------------------------------------------------------------------
TEST_F(WindowTest, OtherThreadsDrawIntoADialog_ServedOnTheDialogsThread) {
  InitCommonControls();
  ProgramThread dialogThread([] { return RunDialog(IDD_PROGRESS, RecordingProcedure); });
  HWND dialog = ui.WaitForDialog(IDD_PROGRESS);
  ASSERT_NE(dialog, nullptr);
  HWND bar = GetDlgItem(dialog, IDC_PROGRESS_UPPER_BAR);
  ASSERT_NE(bar, nullptr);

  // A worker (this thread) sets texts and bars as the progress callbacks do.
  EXPECT_TRUE(SetWindowTextW(dialog, u"Image Update"));
  EXPECT_TRUE(SetDlgItemTextW(dialog, IDC_PROGRESS_UPPER_TEXT, u"Validating File 0%"));
  EXPECT_EQ(SendMessageW(bar, PBM_SETRANGE32, 0, 2048), MAKELONG(0, 100));
  EXPECT_EQ(SendMessageW(bar, PBM_SETPOS, 1024, 0), 0);
  EXPECT_EQ(SendMessageW(bar, PBM_SETPOS, 5000, 0), 1024);  // clamped to the range
  EXPECT_EQ(SendMessageW(bar, PBM_GETPOS, 0, 0), 2048);
  PBRANGE range{};
  EXPECT_EQ(SendMessageW(bar, PBM_GETRANGE, TRUE, reinterpret_cast<LPARAM>(&range)), 0);
  EXPECT_EQ(range.iHigh, 2048);
  // Messages to the dialog itself reach its procedure on its own thread.
  SendMessageW(dialog, WM_USER + 5, 11, 22);

  EXPECT_EQ(ui.Caption(dialog), u"Image Update");
  EXPECT_EQ(ui.Text(dialog, IDC_PROGRESS_UPPER_TEXT), u"Validating File 0%");
  const ControlView upper = ui.Control(dialog, IDC_PROGRESS_UPPER_BAR);
  EXPECT_EQ(upper.rangeLow, 0);
  EXPECT_EQ(upper.rangeHigh, 2048);
  EXPECT_EQ(upper.position, 2048);
  const ControlView lower = ui.Control(dialog, IDC_PROGRESS_LOWER_BAR);
  EXPECT_EQ(lower.rangeHigh, 100);  // untouched bars keep the control's default range
  EXPECT_EQ(lower.position, 0);

  WCHAR text[8];
  EXPECT_EQ(GetDlgItemTextW(dialog, IDC_PROGRESS_UPPER_TEXT, text, 8), 7u);  // cut to fit
  EXPECT_EQ(std::u16string(text), u"Validat");
  EXPECT_EQ(GetWindowTextLengthW(dialog), 12);

  // The worker ends the dialog; its own thread returns the result.
  EXPECT_TRUE(EndDialog(dialog, 42));
  EXPECT_EQ(dialogThread.Join(), 42);
  for (const Event& event : events) {
    EXPECT_EQ(event.thread, dialogThread.Id()) << "message " << event.message;
  }
  ASSERT_EQ(EventsOf(WM_USER + 5).size(), 1u);
  EXPECT_EQ(EventsOf(WM_USER + 5)[0].lParam, 22);
  EXPECT_EQ(EventsOf(WM_DESTROY).size(), 1u);
  // The handles are stale now.
  EXPECT_FALSE(IsWindow(dialog));
  EXPECT_FALSE(SetWindowTextW(dialog, u"late"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
  EXPECT_EQ(GetDlgItem(dialog, IDC_PROGRESS_UPPER_BAR), nullptr);
}

// Two dialogs on two threads whose procedures send to each other while a third thread waits.
HWND firstDialog = nullptr;
HWND secondDialog = nullptr;

INT_PTR CALLBACK PingProcedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  Record(message, wParam, lParam);
  switch (message) {
    case WM_INITDIALOG:
      return TRUE;
    case WM_USER + 1:  // first dialog: ask the second, which asks back
      SetWindowTextW(dialog, u"asked");
      SendMessageW(secondDialog, WM_USER + 2, 0, 0);
      return TRUE;
    case WM_USER + 2:  // second dialog: ask the first while it waits for us
      SendMessageW(firstDialog, WM_USER + 3, 0, 0);
      SetWindowTextW(dialog, u"answered");
      return TRUE;
    case WM_USER + 3:
      SetWindowTextW(dialog, u"served while waiting");
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wParam) == IDCANCEL) {
        EndDialog(dialog, 0);
      }
      return TRUE;
    default:
      return FALSE;
  }
}

TEST_F(WindowTest, ThreadsSendingToEachOther_ServeWhileTheyWait) {
  ProgramThread first([] { return RunDialog(IDD_MAIN, PingProcedure); });
  firstDialog = ui.WaitForDialog(IDD_MAIN);
  ProgramThread second([] { return RunDialog(IDD_REGION, PingProcedure); });
  secondDialog = ui.WaitForDialog(IDD_REGION);
  ASSERT_NE(firstDialog, nullptr);
  ASSERT_NE(secondDialog, nullptr);

  SendMessageW(firstDialog, WM_USER + 1, 0, 0);

  EXPECT_EQ(ui.Caption(firstDialog), u"served while waiting");
  EXPECT_EQ(ui.Caption(secondDialog), u"answered");
  ASSERT_EQ(EventsOf(WM_USER + 3).size(), 1u);
  EXPECT_EQ(EventsOf(WM_USER + 3)[0].thread, first.Id());
  EXPECT_EQ(EventsOf(WM_USER + 2)[0].thread, second.Id());
  EndDialog(firstDialog, 0);
  EndDialog(secondDialog, 0);
}

TEST_F(WindowTest, PostedMessages_ArriveInOrderOnTheDialogsThread) {
  ProgramThread thread([] { return RunDialog(IDD_MAIN, RecordingProcedure); });
  HWND dialog = ui.WaitForDialog(IDD_MAIN);
  for (WPARAM i = 0; i < 5; ++i) {
    EXPECT_TRUE(PostMessageW(dialog, WM_USER + 9, i, 0));
  }
  ui.WaitIdle(dialog);
  const std::vector<Event> posted = EventsOf(WM_USER + 9);
  ASSERT_EQ(posted.size(), 5u);
  for (std::size_t i = 0; i < posted.size(); ++i) {
    EXPECT_EQ(posted[i].wParam, i);
    EXPECT_EQ(posted[i].thread, thread.Id());
  }
  EXPECT_FALSE(PostMessageW(reinterpret_cast<HWND>(0x4321), WM_USER, 0, 0));
  EndDialog(dialog, 0);
}

// ---------------------------------------------------------------------------------------------
// Owners wait for their modal windows
// ---------------------------------------------------------------------------------------------
TEST_F(WindowTest, MessageBoxOfADialog_KeepsTheDialogFromInputUntilAnswered) {
  ProgramThread thread([] { return RunDialog(IDD_MAIN, MainProcedure); });
  HWND dialog = ui.WaitForDialog(IDD_MAIN);
  ASSERT_TRUE(ui.Press(dialog, IDC_MAIN_VERSION_INFO));
  const ShownMessageBox box = ui.WaitForMessageBox();
  EXPECT_EQ(box.owner, dialog);
  EXPECT_EQ(box.caption, u"BSP Version");
  EXPECT_EQ(box.text, u"Bootloader (in Flash)");

  EXPECT_FALSE(IsWindowEnabled(dialog));
  EXPECT_FALSE(ui.TakesInput(dialog));
  std::string why;
  EXPECT_FALSE(sim::ui::ClickButton(GetDlgItem(dialog, IDC_MAIN_SAVE), &why));
  EXPECT_NE(why.find("modal"), std::string::npos) << why;
  EXPECT_FALSE(sim::ui::PressKey(dialog, Key::kEscape, 0, 0, &why));

  ASSERT_TRUE(ui.Answer(box.handle, IDOK));
  ui.WaitFor([&] { return ui.Caption(dialog) == u"answered OK"; }, "the caption");
  EXPECT_TRUE(IsWindowEnabled(dialog));
  EXPECT_TRUE(ui.Press(dialog, IDC_MAIN_SAVE));
  ui.WaitIdle(dialog);
  EXPECT_TRUE(HeardCommand(IDC_MAIN_SAVE, BN_CLICKED));
  EXPECT_TRUE(ui.Close(dialog));
  EXPECT_EQ(thread.Join(), 7);
}

TEST_F(WindowTest, DialogOfAnotherThread_HoldsItsOwnerUntilEndedFromAThirdThread) {
  InitCommonControls();
  ProgramThread mainThread([] { return RunDialog(IDD_MAIN, MainProcedure); });
  HWND mainDialog = ui.WaitForDialog(IDD_MAIN);
  ASSERT_NE(mainDialog, nullptr);
  // The progress window runs on a thread of its own, owned by the main dialog.
  ProgramThread progressThread(
      [mainDialog] { return RunDialog(IDD_PROGRESS, RecordingProcedure, mainDialog); });
  HWND progress = ui.WaitForDialog(IDD_PROGRESS);
  ASSERT_NE(progress, nullptr);
  EXPECT_EQ(GetParent(progress), mainDialog);
  EXPECT_FALSE(IsWindowEnabled(mainDialog));
  std::string why;
  EXPECT_FALSE(sim::ui::ClickButton(GetDlgItem(mainDialog, IDC_MAIN_UPDATE), &why));

  // A worker (this thread) ends it; the owner takes input again at once.
  ASSERT_TRUE(EndDialog(progress, 0));
  EXPECT_TRUE(IsWindowEnabled(mainDialog));
  EXPECT_EQ(progressThread.Join(), 0);
  EXPECT_TRUE(ui.Press(mainDialog, IDC_MAIN_UPDATE));
  ui.WaitIdle(mainDialog);
  EXPECT_TRUE(HeardCommand(IDC_MAIN_UPDATE, BN_CLICKED));

  // A program that disables the dialog itself keeps it disabled after its children close.
  EXPECT_FALSE(EnableWindow(mainDialog, FALSE));
  EXPECT_TRUE(EnableWindow(mainDialog, FALSE));
  EXPECT_FALSE(ui.TakesInput(mainDialog));
  EnableWindow(mainDialog, TRUE);
  EXPECT_TRUE(ui.Close(mainDialog));
  EXPECT_EQ(mainThread.Join(), 7);
}

// ---------------------------------------------------------------------------------------------
// Buttons, keys and the close command
// ---------------------------------------------------------------------------------------------
TEST_F(WindowTest, HiddenAndDisabledButtons_CannotBePressed) {
  ProgramThread thread([] { return RunDialog(IDD_REGION, RegionProcedure); });
  HWND dialog = ui.WaitForDialog(IDD_REGION);
  std::string why;
  EXPECT_FALSE(sim::ui::ClickButton(GetDlgItem(dialog, IDC_REGION_BACKUP), &why));
  EXPECT_EQ(why, "the control is disabled");
  EXPECT_FALSE(sim::ui::ClickButton(GetDlgItem(dialog, IDC_REGION_BACKUP_ALL), &why));
  EXPECT_EQ(why, "the control is hidden");
  // A program's BM_CLICK on a disabled button does nothing either.
  SendDlgItemMessageW(dialog, IDC_REGION_BACKUP, BM_CLICK, 0, 0);
  EXPECT_FALSE(HeardCommand(IDC_REGION_BACKUP, BN_CLICKED));

  EXPECT_FALSE(EnableWindow(GetDlgItem(dialog, IDC_REGION_BACKUP), TRUE) == FALSE);
  EXPECT_TRUE(ui.Press(dialog, IDC_REGION_BACKUP));
  ui.WaitIdle(dialog);
  EXPECT_TRUE(HeardCommand(IDC_REGION_BACKUP, BN_CLICKED));
  EXPECT_TRUE(IsWindowVisible(GetDlgItem(dialog, IDC_REGION_BACKUP)));
  EXPECT_FALSE(IsWindowVisible(GetDlgItem(dialog, IDC_REGION_ERASE)));
  EndDialog(dialog, 0);
}

TEST_F(WindowTest, Keys_EnterPressesTheDefaultOrFocusedButtonEscapeCancels) {
  ProgramThread region([] { return RunDialog(IDD_REGION, RegionProcedure); });
  HWND dialog = ui.WaitForDialog(IDD_REGION);
  // Enter with the default button disabled does nothing.
  ASSERT_TRUE(ui.Key(dialog, Key::kEnter));
  ui.WaitIdle(dialog);
  EXPECT_TRUE(Commands().empty());
  EnableWindow(GetDlgItem(dialog, IDC_REGION_BACKUP), TRUE);
  ASSERT_TRUE(ui.Key(dialog, Key::kEnter));
  ui.WaitIdle(dialog);
  EXPECT_TRUE(HeardCommand(IDC_REGION_BACKUP, BN_CLICKED));
  ASSERT_TRUE(ui.Key(dialog, Key::kEscape));
  EXPECT_EQ(region.Join(), 0);
  EXPECT_TRUE(HeardCommand(IDCANCEL, BN_CLICKED));

  // The main dialog has no default button: Tab walks the buttons, Enter presses the focused one.
  ProgramThread main([] { return RunDialog(IDD_MAIN, RecordingProcedure); });
  HWND mainDialog = ui.WaitForDialog(IDD_MAIN);
  EXPECT_TRUE(ui.Control(mainDialog, IDC_MAIN_SAVE).focused);
  ShowWindow(GetDlgItem(mainDialog, IDC_MAIN_CLEAR), SW_HIDE);
  ASSERT_TRUE(ui.Key(mainDialog, Key::kTab));
  ui.WaitIdle(mainDialog);
  EXPECT_TRUE(ui.Control(mainDialog, IDC_MAIN_UPDATE).focused);  // the hidden one is skipped
  ASSERT_TRUE(ui.Key(mainDialog, Key::kBackTab));
  ASSERT_TRUE(ui.Key(mainDialog, Key::kBackTab));
  ui.WaitIdle(mainDialog);
  EXPECT_TRUE(ui.Control(mainDialog, IDC_MAIN_COLDBOOT).focused);  // wraps around
  ASSERT_TRUE(ui.Key(mainDialog, Key::kEnter));
  ui.WaitIdle(mainDialog);
  EXPECT_TRUE(HeardCommand(IDC_MAIN_COLDBOOT, BN_CLICKED));
  // The title bar's close command arrives as WM_CLOSE and becomes IDCANCEL.
  ASSERT_TRUE(ui.Close(mainDialog));
  EXPECT_EQ(main.Join(), IDCANCEL);
  EXPECT_EQ(EventsOf(WM_CLOSE).size(), 1u);
}

TEST_F(WindowTest, ProgressDialog_HasNoCloseCommandAndIgnoresEscape) {
  InitCommonControls();
  auto procedure = [](HWND, UINT message, WPARAM wParam, LPARAM lParam) -> INT_PTR {
    Record(message, wParam, lParam);
    return message == WM_COMMAND ? TRUE : FALSE;  // as the program's progress window does
  };
  ProgramThread thread([procedure] { return RunDialog(IDD_PROGRESS, procedure); });
  HWND dialog = ui.WaitForDialog(IDD_PROGRESS);
  std::string why;
  EXPECT_FALSE(sim::ui::CloseWindow(dialog, &why));
  EXPECT_EQ(why, "the dialog has no close command");
  ASSERT_TRUE(ui.Key(dialog, Key::kEscape));
  ui.WaitIdle(dialog);
  EXPECT_TRUE(HeardCommand(IDCANCEL, BN_CLICKED));
  EXPECT_TRUE(IsWindow(dialog));
  EndDialog(dialog, 3);
  EXPECT_EQ(thread.Join(), 3);
}

// ---------------------------------------------------------------------------------------------
// The dialog's surface
// ---------------------------------------------------------------------------------------------
TEST_F(WindowTest, SurfaceClick_ReachesTheDialogWithKeyFlagsAndPixels) {
  struct Case {
    DWORD keys;
    bool reveals;
  };
  for (const Case& c : {Case{0, false}, Case{MK_SHIFT, false}, Case{MK_CONTROL, false},
                        Case{MK_SHIFT | MK_CONTROL, true}, Case{MK_RBUTTON, true}}) {
    SCOPED_TRACE(c.keys);
    {
      std::lock_guard<std::mutex> lock(eventMutex);
      events.clear();
    }
    ProgramThread thread([] { return RunDialog(IDD_REGION, RegionProcedure); });
    HWND dialog = ui.WaitForDialog(IDD_REGION);
    // (100, 35) lies on the hidden "BackupAll": the click passes to the surface.
    ASSERT_TRUE(ui.Click(dialog, 100, 35, c.keys));
    ui.WaitIdle(dialog);
    const std::vector<Event> down = EventsOf(WM_LBUTTONDOWN);
    ASSERT_EQ(down.size(), 1u);
    EXPECT_EQ(down[0].wParam, c.keys | MK_LBUTTON);
    EXPECT_EQ(GET_X_LPARAM(down[0].lParam), 200);
    EXPECT_EQ(GET_Y_LPARAM(down[0].lParam), 70);
    EXPECT_EQ(EventsOf(WM_LBUTTONUP).size(), 1u);
    EXPECT_EQ(ui.Control(dialog, IDC_REGION_BACKUP_ALL).visible, c.reveals);
    EXPECT_EQ(ui.Control(dialog, IDC_REGION_ERASE).visible, c.reveals);
    EXPECT_TRUE(Commands().empty());
    EndDialog(dialog, 0);
    thread.Join();
  }
}

TEST_F(WindowTest, ClicksOnControls_DisabledPassThroughEnabledTakeThem) {
  ProgramThread thread([] { return RunDialog(IDD_REGION, RegionProcedure); });
  HWND dialog = ui.WaitForDialog(IDD_REGION);
  ASSERT_TRUE(ui.Click(dialog, 90, 15, 0));  // the disabled "Backup"
  ASSERT_TRUE(ui.Click(dialog, 10, 4, 0));   // the label "Select Region(s)"
  ui.WaitIdle(dialog);
  EXPECT_EQ(EventsOf(WM_LBUTTONDOWN).size(), 2u);
  EXPECT_TRUE(Commands().empty());
  EnableWindow(GetDlgItem(dialog, IDC_REGION_BACKUP), TRUE);
  ASSERT_TRUE(ui.Click(dialog, 90, 15, 0));
  ASSERT_TRUE(ui.Click(dialog, 10, 14 + 2 * sim::ui::kListItemHeight, 0));  // third line
  ui.WaitIdle(dialog);
  EXPECT_EQ(EventsOf(WM_LBUTTONDOWN).size(), 2u);
  EXPECT_TRUE(HeardCommand(IDC_REGION_BACKUP, BN_CLICKED));
  EXPECT_TRUE(ui.Control(dialog, IDC_REGION_LIST).items[2].selected);
  std::string why;
  EXPECT_FALSE(sim::ui::ClickAt(dialog, 128, 10, 0, &why));
  EXPECT_EQ(why, "the point lies outside the dialog");
  EndDialog(dialog, 0);
}

// ---------------------------------------------------------------------------------------------
// The extended multiple-selection list box
// ---------------------------------------------------------------------------------------------
std::vector<int> SelectedItems(HWND dialog) {
  int indices[16] = {};
  const LRESULT count = SendDlgItemMessageW(dialog, IDC_REGION_LIST, LB_GETSELITEMS, 16,
                                            reinterpret_cast<LPARAM>(indices));
  if (count < 0) {
    return {-99};
  }
  return std::vector<int>(indices, indices + count);
}

TEST_F(WindowTest, ListBoxClicks_SelectAsTheUserMeantAndNotifyEachTime) {
  struct Click {
    int index;
    DWORD keys;
  };
  struct Case {
    const char* name;
    std::vector<Click> clicks;
    std::vector<int> selected;
  };
  const Case cases[] = {
      {"single click", {{2, 0}}, {2}},
      {"a new click replaces", {{1, 0}, {3, 0}}, {3}},
      {"ctrl adds", {{1, 0}, {3, MK_CONTROL}}, {1, 3}},
      {"ctrl toggles off", {{1, 0}, {3, MK_CONTROL}, {1, MK_CONTROL}}, {3}},
      {"shift selects from the anchor", {{1, 0}, {3, MK_SHIFT}}, {1, 2, 3}},
      {"shift upwards", {{4, 0}, {2, MK_SHIFT}}, {2, 3, 4}},
      {"shift alone drops the others", {{0, 0}, {2, MK_CONTROL}, {4, MK_SHIFT}}, {2, 3, 4}},
      {"ctrl+shift adds a range", {{0, 0}, {3, MK_CONTROL}, {4, MK_CONTROL | MK_SHIFT}}, {0, 3, 4}},
      {"clicking a selected item again", {{2, 0}, {2, 0}}, {2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    {
      std::lock_guard<std::mutex> lock(eventMutex);
      events.clear();
    }
    ProgramThread thread([] { return RunDialog(IDD_REGION, RegionProcedure); });
    HWND dialog = ui.WaitForDialog(IDD_REGION);
    for (const Click& click : c.clicks) {
      ASSERT_TRUE(ui.ClickItem(dialog, IDC_REGION_LIST, click.index, click.keys));
    }
    ui.WaitIdle(dialog);
    EXPECT_EQ(SelectedItems(dialog), c.selected);
    EXPECT_EQ(SendDlgItemMessageW(dialog, IDC_REGION_LIST, LB_GETSELCOUNT, 0, 0),
              static_cast<LRESULT>(c.selected.size()));
    int selectionChanges = 0;
    int focusChanges = 0;
    for (const auto& [id, code] : Commands()) {
      EXPECT_EQ(id, IDC_REGION_LIST);
      selectionChanges += code == LBN_SELCHANGE ? 1 : 0;
      focusChanges += code == LBN_SETFOCUS ? 1 : 0;
    }
    EXPECT_EQ(selectionChanges, static_cast<int>(c.clicks.size()));
    EXPECT_EQ(focusChanges, 1);  // the first click gave the list the focus
    EndDialog(dialog, 0);
    thread.Join();
  }
}

TEST_F(WindowTest, ListBoxMessages_SelectRangesReadSelectionsAndRefuseSingleSelectionCalls) {
  ProgramThread thread([] { return RunDialog(IDD_REGION, RegionProcedure); });
  HWND dialog = ui.WaitForDialog(IDD_REGION);
  auto list = [dialog](UINT message, WPARAM wParam, LPARAM lParam) {
    return SendDlgItemMessageW(dialog, IDC_REGION_LIST, message, wParam, lParam);
  };
  EXPECT_EQ(list(LB_GETCOUNT, 0, 0), 5);
  // Items 0 to 16 of five: the range ends at the last item. The program's own selection is not
  // reported back to it.
  EXPECT_EQ(list(LB_SELITEMRANGE, TRUE, MAKELPARAM(0, 16)), 0);
  EXPECT_EQ(SelectedItems(dialog), (std::vector<int>{0, 1, 2, 3, 4}));
  int two[2] = {};
  EXPECT_EQ(list(LB_GETSELITEMS, 2, reinterpret_cast<LPARAM>(two)), 2);
  EXPECT_EQ(two[1], 1);
  EXPECT_EQ(list(LB_SELITEMRANGE, FALSE, MAKELPARAM(1, 3)), 0);
  EXPECT_EQ(SelectedItems(dialog), (std::vector<int>{0, 4}));
  EXPECT_EQ(list(LB_SETSEL, FALSE, -1), 0);
  EXPECT_EQ(SelectedItems(dialog), std::vector<int>{});
  EXPECT_EQ(list(LB_SETSEL, TRUE, 5), LB_ERR);
  EXPECT_EQ(list(LB_SETCURSEL, 1, 0), LB_ERR);  // single-selection only
  WCHAR text[32];
  EXPECT_EQ(list(LB_GETTEXT, 2, reinterpret_cast<LPARAM>(text)), 8);
  EXPECT_EQ(std::u16string(text), u"OS Image");
  EXPECT_EQ(list(LB_GETTEXT, 5, reinterpret_cast<LPARAM>(text)), LB_ERR);
  EXPECT_EQ(list(LB_GETSELITEMS, 4, 0), LB_ERR);
  ui.WaitIdle(dialog);
  EXPECT_TRUE(Commands().empty());

  EXPECT_EQ(list(LB_RESETCONTENT, 0, 0), 0);
  EXPECT_EQ(list(LB_GETCOUNT, 0, 0), 0);
  EXPECT_EQ(list(LB_ADDSTRING, 0, 0), LB_ERR);
  EXPECT_EQ(list(LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(u"Registry")), 0);
  EXPECT_TRUE(ui.Control(dialog, IDC_REGION_LIST).items.at(0).text == u"Registry");
  EndDialog(dialog, 0);
}

TEST_F(WindowTest, ListBoxKeys_MoveTheCaretAndExtendWithShift) {
  ProgramThread thread([] { return RunDialog(IDD_REGION, RegionProcedure); });
  HWND dialog = ui.WaitForDialog(IDD_REGION);
  std::string why;
  ASSERT_TRUE(sim::ui::FocusControl(GetDlgItem(dialog, IDC_REGION_LIST), &why)) << why;
  ASSERT_TRUE(ui.Key(dialog, Key::kDown));  // caret 0 -> 1, selects it alone
  ASSERT_TRUE(ui.Key(dialog, Key::kDown, MK_SHIFT));
  ASSERT_TRUE(ui.Key(dialog, Key::kDown, MK_SHIFT));
  ui.WaitIdle(dialog);
  EXPECT_EQ(SelectedItems(dialog), (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(ui.Control(dialog, IDC_REGION_LIST).caret, 3);
  ASSERT_TRUE(ui.Key(dialog, Key::kUp, MK_CONTROL));  // the caret moves alone
  ASSERT_TRUE(ui.Key(dialog, Key::kSpace, MK_CONTROL));
  ASSERT_TRUE(ui.Key(dialog, Key::kEnd));
  ui.WaitIdle(dialog);
  EXPECT_EQ(SelectedItems(dialog), (std::vector<int>{4}));
  int changes = 0;
  for (const auto& [id, code] : Commands()) {
    changes += code == LBN_SELCHANGE ? 1 : 0;
  }
  EXPECT_EQ(changes, 5);  // every key that changed the selection
  EndDialog(dialog, 0);
}

// ---------------------------------------------------------------------------------------------
// Message boxes
// ---------------------------------------------------------------------------------------------
TEST_F(WindowTest, MessageBoxes_OfferTheirButtonsAndReturnTheAnswer) {
  struct Case {
    UINT type;
    std::vector<int> buttons;
    int defaultButton;
    bool escapeAnswers;
  };
  const Case cases[] = {
      {MB_OK, {IDOK}, IDOK, true},
      {MB_OKCANCEL | MB_DEFBUTTON2, {IDOK, IDCANCEL}, IDCANCEL, true},
      {MB_YESNO | MB_ICONEXCLAMATION | MB_DEFBUTTON2, {IDYES, IDNO}, IDNO, false},
      {MB_YESNO | MB_ICONQUESTION, {IDYES, IDNO}, IDYES, false},
      {MB_YESNOCANCEL | MB_DEFBUTTON3, {IDYES, IDNO, IDCANCEL}, IDCANCEL, true},
      {MB_ABORTRETRYIGNORE | MB_DEFBUTTON2, {IDABORT, IDRETRY, IDIGNORE}, IDRETRY, false},
      {MB_RETRYCANCEL, {IDRETRY, IDCANCEL}, IDRETRY, true},
      {MB_OK | MB_ICONHAND | MB_DEFBUTTON3, {IDOK}, IDOK, true},  // beyond the set: the first
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    // Every button answers with its own id.
    for (int button : c.buttons) {
      ProgramThread thread([&c] { return MessageBoxW(nullptr, u"text", u"caption", c.type); });
      const ShownMessageBox box = ui.AnswerNext(button);
      EXPECT_EQ(box.buttons, c.buttons);
      EXPECT_EQ(box.defaultButton, c.defaultButton);
      EXPECT_EQ(box.icon, c.type & MB_ICONMASK);
      EXPECT_EQ(thread.Join(), button);
    }
    // Enter takes the default button; Escape answers only boxes that can be cancelled.
    ProgramThread thread([&c] { return MessageBoxW(nullptr, u"text", nullptr, c.type); });
    ShownMessageBox box = ui.WaitForMessageBox();
    EXPECT_EQ(box.caption, u"Error");
    std::string why;
    EXPECT_EQ(sim::ui::CloseWindow(box.handle, &why), c.escapeAnswers) << why;
    if (c.escapeAnswers) {
      const int cancelled =
          std::find(c.buttons.begin(), c.buttons.end(), IDCANCEL) != c.buttons.end() ? IDCANCEL
                                                                                     : IDOK;
      EXPECT_EQ(thread.Join(), cancelled);
    } else {
      ASSERT_TRUE(ui.Key(box.handle, Key::kEnter));
      EXPECT_EQ(thread.Join(), c.defaultButton);
    }
  }
}

TEST_F(WindowTest, MessageBoxKeys_MoveBetweenButtonsAndTakeAccelerators) {
  ProgramThread first([] { return MessageBoxW(nullptr, u"Reset now?", u"RESET", MB_YESNO); });
  ShownMessageBox box = ui.WaitForMessageBox();
  ASSERT_TRUE(ui.Key(box.handle, Key::kRight));
  ASSERT_TRUE(ui.Key(box.handle, Key::kEnter));
  EXPECT_EQ(first.Join(), IDNO);
  ProgramThread second([] { return MessageBoxW(nullptr, u"Reset now?", u"RESET", MB_YESNO); });
  box = ui.WaitForMessageBox();
  ASSERT_TRUE(ui.Key(box.handle, Key::kCharacter, 0, u'c'));  // no Cancel: ignored
  ASSERT_TRUE(ui.Key(box.handle, Key::kCharacter, 0, u'Y'));
  EXPECT_EQ(second.Join(), IDYES);
  std::string why;
  EXPECT_FALSE(sim::ui::AnswerMessageBox(box.handle, IDYES, &why));
}

TEST_F(WindowTest, MessageBoxWithAnUnknownType_ShowsNothingAndFails) {
  for (UINT type :
       {6u, 0x50u, static_cast<UINT>(MB_OK | 0x300u), static_cast<UINT>(MB_OK | 0x1000u)}) {
    SCOPED_TRACE(type);
    SetLastError(0);
    EXPECT_EQ(MessageBoxW(nullptr, u"text", u"caption", type), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  }
  EXPECT_EQ(MessageBoxW(reinterpret_cast<HWND>(0x777), u"text", u"caption", MB_OK), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
  EXPECT_TRUE(ui.MessageBoxes().empty());
}

TEST_F(WindowTest, MessageBoxThatThePlanFails_ReturnsZero) {
  Machine().Faults().Add(faults::Call{.name = "MessageBoxW", .count = 1, .error = 8});
  EXPECT_EQ(MessageBoxW(nullptr, u"text", u"caption", MB_OK), 0);
  EXPECT_EQ(GetLastError(), 8u);
  EXPECT_TRUE(ui.MessageBoxes().empty());
}

TEST_F(WindowTest, AutoAnswer_AnswersBoxesAsTheyOpen) {
  ui.SetAutoAnswer([](const ShownMessageBox& box) { return box.caption == u"ERROR" ? IDOK : 0; });
  EXPECT_EQ(MessageBoxW(nullptr, u"Error writing to Flash!", u"ERROR", MB_OK | MB_ICONSTOP), IDOK);
  ASSERT_EQ(ui.MessageBoxes().size(), 1u);
  EXPECT_EQ(ui.MessageBoxes()[0].answer, IDOK);
  EXPECT_EQ(ui.MessageBoxes()[0].icon, static_cast<UINT>(MB_ICONSTOP));
}

using WindowDeathTest = WindowTest;

TEST_F(WindowDeathTest, MessageBoxWithoutFrontEnd_StopsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  sim::ui::InstallFrontEnd(nullptr);
  EXPECT_DEATH(MessageBoxW(nullptr, u"text", u"caption", MB_OK), "no front end");
}

// ---------------------------------------------------------------------------------------------
// Icons and front ends
// ---------------------------------------------------------------------------------------------
TEST_F(WindowTest, Icon_LoadsFromTheProgramsResources) {
  HICON icon = LoadIconW(sim::ui::ProgramInstance(), MAKEINTRESOURCE(IDI_FLASHWICK));
  ASSERT_NE(icon, nullptr);
  EXPECT_TRUE(DestroyIcon(icon));
  EXPECT_EQ(LoadIconW(sim::ui::ProgramInstance(), MAKEINTRESOURCE(IDD_MAIN)), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
  EXPECT_EQ(LoadIconW(nullptr, MAKEINTRESOURCE(IDI_FLASHWICK)), nullptr);
}

TEST_F(WindowTest, UnknownFrontEnd_IsRefusedWithTheNamesThereAre) {
  std::string error;
  EXPECT_EQ(sim::ui::CreateFrontEnd("teletype", {}, &error), nullptr);
  EXPECT_NE(error.find("unknown user interface \"teletype\""), std::string::npos) << error;
}

}  // namespace
