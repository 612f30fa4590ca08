// The person at the module's screen, for tests: presses buttons, clicks list items and the
// dialog's surface, types keys, answers message boxes and file dialogs, and reads every control's
// text, range, position, enabled and visible state.
//
// The program's dialogs run modally on the program's own threads; a test runs the program code
// on a thread of its own and drives it from the test's thread. Actions are queued to the thread
// that owns the window (as a tap would be) and return at once; waits give up after kPatience of
// wall time and fail the test, so a dialog that never appears cannot hang the suite.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "sim/ui/front_end.h"

namespace testing_support {

struct ShownMessageBox {
  HWND handle = nullptr;
  HWND owner = nullptr;
  std::u16string caption;
  std::u16string text;
  UINT type = 0;
  UINT icon = 0;
  std::vector<int> buttons;
  int defaultButton = 0;
  int answer = 0;  // the button the driver pressed (0: not answered by the driver)
};

struct ShownFileDialog {
  HWND handle = nullptr;
  HWND owner = nullptr;
  sim::ui::FileDialogView request;
};

// Ends every window still open (dialogs with -2, message boxes with their first button, file
// dialogs cancelled), so that the threads waiting in them go on.
void CloseAllWindows();

// Program code on a thread of its own, as the program's UI threads run. Join waits for it; when
// it does not end within UiDriver::kPatience the test fails and the windows still open are
// closed. The destructor joins the same way.
class ProgramThread {
 public:
  explicit ProgramThread(std::function<std::intptr_t()> body);
  ~ProgramThread();
  ProgramThread(const ProgramThread&) = delete;
  ProgramThread& operator=(const ProgramThread&) = delete;
  std::intptr_t Join();
  [[nodiscard]] bool Done() const { return done_.load(); }
  [[nodiscard]] std::thread::id Id() const { return id_; }

 private:
  std::atomic<bool> done_{false};
  std::intptr_t result_ = 0;
  std::thread::id id_;
  std::thread thread_;
};

class UiDriver : public sim::ui::FrontEnd {
 public:
  static constexpr std::chrono::seconds kPatience{20};

  // Installs itself as the process's front end; the destructor removes it.
  UiDriver();
  ~UiDriver() override;
  UiDriver(const UiDriver&) = delete;
  UiDriver& operator=(const UiDriver&) = delete;

  // --- waiting (each fails the test when kPatience passes) ---
  // The newest open dialog made from the template.
  HWND WaitForDialog(int templateId);
  // The oldest open message box that the driver has not answered yet.
  ShownMessageBox WaitForMessageBox();
  ShownFileDialog WaitForFileDialog();
  bool WaitUntilClosed(HWND window);
  // Until the thread owning the window has carried out everything queued and waits for input.
  bool WaitIdle(HWND window);
  bool WaitFor(const std::function<bool()>& condition, const char* what);

  // --- acting (false, with the reason added to the test's output, when not possible now) ---
  bool Press(HWND dialog, int controlId);
  bool Click(HWND dialog, int x, int y, DWORD keys = 0);
  // A click on a free spot of the dialog's surface.
  bool ClickSurface(HWND dialog, DWORD keys = 0);
  bool ClickItem(HWND dialog, int listId, int index, DWORD keys = 0);
  // Clicks the first item alone and the others with Ctrl held.
  bool SelectItems(HWND dialog, int listId, const std::vector<int>& indices);
  bool Key(HWND window, sim::ui::Key key, DWORD keys = 0, char16_t character = 0);
  bool Close(HWND window);
  bool Answer(HWND box, int button);
  // Waits for the next message box, answers it with button and returns what it showed.
  ShownMessageBox AnswerNext(int button);
  bool ChooseFile(HWND dialog, const std::u16string& path, std::string* why = nullptr);
  bool CancelFile(HWND dialog);

  // --- reading ---
  // The control's state; fails the test (and gives an empty view) when the dialog has no such
  // control.
  sim::ui::ControlView Control(HWND dialog, int controlId);
  std::u16string Text(HWND dialog, int controlId) { return Control(dialog, controlId).text; }
  std::u16string Caption(HWND window);
  // The window is open, shown, enabled and has no modal window of its own open.
  bool TakesInput(HWND window);
  // Every message box shown since the driver was installed, oldest first.
  std::vector<ShownMessageBox> MessageBoxes();
  // Every dialog closed since the driver was installed, as it was last, oldest first.
  std::vector<sim::ui::WindowView> ClosedDialogs();
  // Until count dialogs made from the template have closed (an operation's progress window
  // closes as the operation ends).
  bool WaitForClosedDialogs(int templateId, std::size_t count);

  // Answers message boxes as they open: the policy returns a button, or 0 to leave the box to
  // the test.
  void SetAutoAnswer(std::function<int(const ShownMessageBox&)> policy);

  // --- front end ---
  void WindowOpened(const sim::ui::WindowView& window) override;
  void WindowClosed(const sim::ui::WindowView& window) override;

 private:
  bool Report(bool ok, const std::string& action, const std::string& why);

  std::mutex mutex_;
  std::vector<ShownMessageBox> boxes_;
  std::vector<sim::ui::WindowView> closedDialogs_;
  std::set<HWND> answered_;
  std::function<int(const ShownMessageBox&)> policy_;
};

}  // namespace testing_support
