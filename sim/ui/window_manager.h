// Inside the window manager: windows, per-thread message queues and modal loops.
//
// One lock guards every window and queue. The program's dialog procedures and the controls'
// own procedures run on the thread that owns the window, never under the lock. A message sent
// to a window of another thread waits in that thread's queue until its modal loop serves it; the
// sender meanwhile serves what is sent to its own windows, so two threads sending to each other
// cannot deadlock.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/ui/front_end.h"

namespace sim::ui::detail {

struct ThreadQueue;

// The answer slot of a message sent across threads.
struct Reply {
  bool done = false;
  LRESULT result = 0;
  std::shared_ptr<ThreadQueue> waiter;
};

struct QueueItem {
  enum class Kind { kSent, kPosted, kInput };
  Kind kind = Kind::kPosted;
  HWND window = nullptr;
  UINT message = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
  std::shared_ptr<Reply> reply;  // kSent
  std::function<void()> input;   // kInput: carried out on the owning thread
};

struct ThreadQueue {
  std::thread::id thread;
  std::deque<QueueItem> sent;
  std::deque<QueueItem> posted;
  std::condition_variable wake;
  int modalDepth = 0;    // modal loops running on the thread
  bool waiting = false;  // its innermost modal loop waits for work
};

struct ListItem {
  std::u16string text;
  bool selected = false;
  LPARAM data = 0;
};

struct Window {
  HWND handle = nullptr;
  WindowKind kind = WindowKind::kDialog;
  std::shared_ptr<ThreadQueue> queue;  // of the thread that owns the window
  HWND parent = nullptr;               // controls: their dialog
  HWND owner = nullptr;                // top-level windows: the top-level owner, or null
  bool holdsOwner = false;             // keeps the owner from input until it ends
  int id = 0;
  DWORD style = 0;
  DWORD exStyle = 0;
  std::u16string text;
  Rect rect;
  bool enabled = true;
  bool visible = true;
  int modalChildren = 0;  // open modal windows this one owns
  std::uint64_t serial = 0;

  // Dialogs
  int templateId = 0;
  DLGPROC procedure = nullptr;
  bool ended = false;
  INT_PTR result = 0;
  HWND focus = nullptr;
  std::vector<HWND> children;  // in template (tab and z) order
  HICON icons[2] = {nullptr, nullptr};

  // Progress bars
  int low = 0;
  int high = 100;
  int position = 0;
  int step = 10;

  // List boxes
  std::vector<ListItem> items;
  int caret = 0;
  int anchor = 0;
  int top = 0;

  // Buttons
  bool pushed = false;

  // Message boxes and file dialogs
  MessageBoxView box;
  FileDialogView file;
  std::u16string chosenPath;
};

struct Manager {
  std::mutex mutex;
  std::map<HWND, std::shared_ptr<Window>> windows;
  std::uintptr_t nextHandle = 0x10000;
  std::uint64_t nextSerial = 1;
  bool commonControls = false;
};

Manager& State();

// Calling thread's queue (created on first use).
std::shared_ptr<ThreadQueue> CurrentQueue();

// With the lock held: the window behind a handle, or null.
std::shared_ptr<Window> FindLocked(HWND handle);
// Takes the lock.
std::shared_ptr<Window> Find(HWND handle);

// With the lock held: a new window registered under a fresh handle.
std::shared_ptr<Window> NewWindowLocked(WindowKind kind);

// True (lock held) when the window and the windows it sits in take input now.
bool TakesInputLocked(const Window& window);
bool OwnEnabledLocked(const Window& window);

// Calls the window's procedure on the calling thread, which must own it. No lock held.
LRESULT Dispatch(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// SendMessageW without the argument checks of the platform call.
LRESULT Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// Queues input for the thread that owns window; false when the window is gone.
bool QueueInput(HWND window, std::function<void()> input);

// Opens a modal top-level window owned by the calling thread: holds the owner, shows the window,
// tells the front end, runs the modal loop until the window ends, then closes it. For dialogs,
// initialise runs first (WM_INITDIALOG) and may end it before it shows.
void RunModal(const std::shared_ptr<Window>& window, const std::function<void()>& initialise);
// Ends a modal top-level window from any thread (lock held).
void EndLocked(Window& window, INT_PTR result);

// The text procedures every window shares (WM_SETTEXT, WM_GETTEXT, WM_GETTEXTLENGTH).
bool TextMessage(Window& window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result);

// The built-in controls' procedure (buttons, statics, progress bars, list boxes).
LRESULT ControlProcedure(const std::shared_ptr<Window>& control, UINT message, WPARAM wParam,
                         LPARAM lParam);
// A user's click or key on a list box (on the owning thread): selection and notifications.
void ListUserSelect(const std::shared_ptr<Window>& list, int index, DWORD keys);
void ListUserKey(const std::shared_ptr<Window>& list, Key key, DWORD keys);
// Sends WM_COMMAND with the control's id and code to its dialog.
void NotifyParent(HWND control, int code);
// Moves a dialog's focus, with the list boxes' focus notifications.
void SetDialogFocus(HWND dialog, HWND control);

// Bumps the change count and wakes whoever waits for a change.
void Touch();

// The front end, or a fault naming what needed one.
FrontEnd& RequireFrontEnd(const char* what);

// Copies a window into its view (lock held).
WindowView ViewLocked(const Window& window);

// The last common dialog error of the calling thread.
void SetDialogError(DWORD code);

}  // namespace sim::ui::detail
