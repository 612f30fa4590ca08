#include "tests/support/ui_driver.h"

#include "sim/base/utf.h"
#include "sim/ui/window_manager.h"

namespace testing_support {

using sim::ui::ControlView;
using sim::ui::WindowKind;
using sim::ui::WindowView;

void CloseAllWindows() {
  for (const WindowView& window : sim::ui::OpenWindows()) {
    switch (window.kind) {
      case WindowKind::kDialog:
        EndDialog(window.handle, -2);
        break;
      case WindowKind::kMessageBox:
        if (!window.box.buttons.empty()) {
          sim::ui::AnswerMessageBox(window.handle, window.box.buttons.front());
        }
        break;
      case WindowKind::kFileDialog:
        sim::ui::CancelFileDialog(window.handle);
        break;
      default:
        break;
    }
  }
}

ProgramThread::ProgramThread(std::function<std::intptr_t()> body)
    : thread_([this, body = std::move(body)] {
        result_ = body();
        done_.store(true);
        sim::ui::detail::Touch();
      }) {
  id_ = thread_.get_id();
}

ProgramThread::~ProgramThread() { Join(); }

std::intptr_t ProgramThread::Join() {
  if (!thread_.joinable()) {
    return result_;
  }
  const auto deadline = std::chrono::steady_clock::now() + UiDriver::kPatience;
  while (!done_.load()) {
    const std::uint64_t seen = sim::ui::ChangeCount();
    if (done_.load()) {
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      ADD_FAILURE() << "the program thread did not end; closing its windows";
      while (!done_.load()) {
        CloseAllWindows();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      break;
    }
    sim::ui::WaitForChange(seen, std::chrono::milliseconds(50));
  }
  thread_.join();
  return result_;
}

UiDriver::UiDriver() { sim::ui::InstallFrontEnd(this); }

UiDriver::~UiDriver() {
  if (sim::ui::InstalledFrontEnd() == this) {
    sim::ui::InstallFrontEnd(nullptr);
  }
}

bool UiDriver::Report(bool ok, const std::string& action, const std::string& why) {
  if (!ok) {
    ADD_FAILURE() << action << ": " << why;
  }
  return ok;
}

// ---------------------------------------------------------------------------------------------
// Waiting
// ---------------------------------------------------------------------------------------------
bool UiDriver::WaitFor(const std::function<bool()>& condition, const char* what) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (true) {
    const std::uint64_t seen = sim::ui::ChangeCount();
    if (condition()) {
      return true;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) {
      ADD_FAILURE() << "gave up waiting for " << what;
      return false;
    }
    // Changes wake the wait; the bound also covers conditions outside the window manager.
    sim::ui::WaitForChange(
        seen, std::min<std::chrono::milliseconds>(
                  std::chrono::milliseconds(50),
                  std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now)));
  }
}

HWND UiDriver::WaitForDialog(int templateId) {
  HWND found = nullptr;
  const std::string what = "dialog " + std::to_string(templateId);
  WaitFor(
      [&] {
        for (const WindowView& window : sim::ui::OpenWindows()) {
          if (window.kind == WindowKind::kDialog && window.templateId == templateId &&
              window.visible) {
            found = window.handle;
          }
        }
        return found != nullptr;
      },
      what.c_str());
  return found;
}

ShownMessageBox UiDriver::WaitForMessageBox() {
  ShownMessageBox found;
  WaitFor(
      [&] {
        for (const WindowView& window : sim::ui::OpenWindows()) {
          if (window.kind != WindowKind::kMessageBox || !window.takesInput) {
            continue;
          }
          std::lock_guard<std::mutex> lock(mutex_);
          if (answered_.count(window.handle) != 0) {
            continue;
          }
          found.handle = window.handle;
          found.owner = window.owner;
          found.caption = window.caption;
          found.text = window.box.text;
          found.type = window.box.type;
          found.icon = window.box.icon;
          found.buttons = window.box.buttons;
          found.defaultButton = window.box.defaultButton;
          return true;
        }
        return false;
      },
      "a message box");
  return found;
}

ShownFileDialog UiDriver::WaitForFileDialog() {
  ShownFileDialog found;
  WaitFor(
      [&] {
        for (const WindowView& window : sim::ui::OpenWindows()) {
          if (window.kind != WindowKind::kFileDialog || !window.takesInput) {
            continue;
          }
          std::lock_guard<std::mutex> lock(mutex_);
          if (answered_.count(window.handle) != 0) {
            continue;
          }
          found.handle = window.handle;
          found.owner = window.owner;
          found.request = window.file;
          return true;
        }
        return false;
      },
      "a file dialog");
  return found;
}

bool UiDriver::WaitUntilClosed(HWND window) {
  return WaitFor([window] { return IsWindow(window) == FALSE; }, "a window to close");
}

bool UiDriver::WaitIdle(HWND window) {
  return WaitFor([window] { return sim::ui::IsIdle(window); }, "the window's thread to settle");
}

// ---------------------------------------------------------------------------------------------
// Acting
// ---------------------------------------------------------------------------------------------
bool UiDriver::Press(HWND dialog, int controlId) {
  HWND control = GetDlgItem(dialog, controlId);
  if (control == nullptr) {
    return Report(false, "press " + std::to_string(controlId), "the dialog has no such control");
  }
  std::string why;
  const bool ok = sim::ui::ClickButton(control, &why);
  return Report(ok, "press " + std::to_string(controlId), why);
}

bool UiDriver::Click(HWND dialog, int x, int y, DWORD keys) {
  std::string why;
  return Report(sim::ui::ClickAt(dialog, x, y, keys, &why), "click", why);
}

bool UiDriver::ClickSurface(HWND dialog, DWORD keys) {
  int x = 0;
  int y = 0;
  if (!sim::ui::SurfacePoint(dialog, &x, &y)) {
    return Report(false, "click the surface", "the dialog has no free surface");
  }
  return Click(dialog, x, y, keys);
}

bool UiDriver::ClickItem(HWND dialog, int listId, int index, DWORD keys) {
  HWND list = GetDlgItem(dialog, listId);
  std::string why = "the dialog has no such list";
  const bool ok = list != nullptr && sim::ui::ClickListItem(list, index, keys, &why);
  return Report(ok, "click item " + std::to_string(index), why);
}

bool UiDriver::SelectItems(HWND dialog, int listId, const std::vector<int>& indices) {
  bool ok = true;
  for (std::size_t i = 0; i < indices.size(); ++i) {
    ok = ClickItem(dialog, listId, indices[i], i == 0 ? 0 : MK_CONTROL) && ok;
  }
  return ok;
}

bool UiDriver::Key(HWND window, sim::ui::Key key, DWORD keys, char16_t character) {
  std::string why;
  return Report(sim::ui::PressKey(window, key, keys, character, &why), "key", why);
}

bool UiDriver::Close(HWND window) {
  std::string why;
  return Report(sim::ui::CloseWindow(window, &why), "close", why);
}

bool UiDriver::Answer(HWND box, int button) {
  std::string why;
  const bool ok = sim::ui::AnswerMessageBox(box, button, &why);
  if (ok) {
    std::lock_guard<std::mutex> lock(mutex_);
    answered_.insert(box);
    for (ShownMessageBox& shown : boxes_) {
      if (shown.handle == box) {
        shown.answer = button;
      }
    }
  }
  return Report(ok, "answer " + std::to_string(button), why);
}

ShownMessageBox UiDriver::AnswerNext(int button) {
  ShownMessageBox box = WaitForMessageBox();
  if (box.handle != nullptr) {
    Answer(box.handle, button);
    box.answer = button;
  }
  return box;
}

bool UiDriver::ChooseFile(HWND dialog, const std::u16string& path, std::string* why) {
  std::string reason;
  const bool ok = sim::ui::AnswerFileDialog(dialog, path, &reason);
  if (ok) {
    std::lock_guard<std::mutex> lock(mutex_);
    answered_.insert(dialog);
  }
  if (why != nullptr) {
    *why = reason;
    return ok;  // the caller expects a refusal and checks it
  }
  return Report(ok, "choose " + sim::ToUtf8(path), reason);
}

bool UiDriver::CancelFile(HWND dialog) {
  std::string why;
  const bool ok = sim::ui::CancelFileDialog(dialog, &why);
  if (ok) {
    std::lock_guard<std::mutex> lock(mutex_);
    answered_.insert(dialog);
  }
  return Report(ok, "cancel the file dialog", why);
}

// ---------------------------------------------------------------------------------------------
// Reading
// ---------------------------------------------------------------------------------------------
ControlView UiDriver::Control(HWND dialog, int controlId) {
  WindowView view;
  if (!sim::ui::GetWindowView(dialog, &view)) {
    ADD_FAILURE() << "control " << controlId << ": the dialog is not open";
    return {};
  }
  if (const ControlView* control = view.Control(controlId)) {
    return *control;
  }
  ADD_FAILURE() << "the dialog has no control " << controlId;
  return {};
}

std::u16string UiDriver::Caption(HWND window) {
  WindowView view;
  return sim::ui::GetWindowView(window, &view) ? view.caption : std::u16string();
}

bool UiDriver::TakesInput(HWND window) {
  WindowView view;
  return sim::ui::GetWindowView(window, &view) && view.takesInput;
}

std::vector<ShownMessageBox> UiDriver::MessageBoxes() {
  std::lock_guard<std::mutex> lock(mutex_);
  return boxes_;
}

std::vector<WindowView> UiDriver::ClosedDialogs() {
  std::lock_guard<std::mutex> lock(mutex_);
  return closedDialogs_;
}

bool UiDriver::WaitForClosedDialogs(int templateId, std::size_t count) {
  const std::string what = std::to_string(count) + " closed dialogs " + std::to_string(templateId);
  return WaitFor(
      [&] {
        std::size_t closed = 0;
        for (const WindowView& window : ClosedDialogs()) {
          closed += window.templateId == templateId ? 1 : 0;
        }
        return closed >= count;
      },
      what.c_str());
}

void UiDriver::WindowClosed(const WindowView& window) {
  if (window.kind == WindowKind::kDialog) {
    std::lock_guard<std::mutex> lock(mutex_);
    closedDialogs_.push_back(window);
  }
}

void UiDriver::SetAutoAnswer(std::function<int(const ShownMessageBox&)> policy) {
  std::lock_guard<std::mutex> lock(mutex_);
  policy_ = std::move(policy);
}

void UiDriver::WindowOpened(const WindowView& window) {
  if (window.kind != WindowKind::kMessageBox) {
    return;
  }
  ShownMessageBox shown;
  shown.handle = window.handle;
  shown.owner = window.owner;
  shown.caption = window.caption;
  shown.text = window.box.text;
  shown.type = window.box.type;
  shown.icon = window.box.icon;
  shown.buttons = window.box.buttons;
  shown.defaultButton = window.box.defaultButton;
  std::function<int(const ShownMessageBox&)> policy;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    boxes_.push_back(shown);
    policy = policy_;
  }
  if (policy) {
    if (const int button = policy(shown); button != 0) {
      Answer(window.handle, button);
    }
  }
}

}  // namespace testing_support
