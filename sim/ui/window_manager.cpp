// The window manager's core: the window table, per-thread queues, modal loops, sending and
// posting, dialog focus and keyboard handling, user input from the front ends, and views.
#include "sim/ui/window_manager.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>

#include "platform/kernel.h"
#include "sim/hw/bus.h"

namespace sim::ui {
namespace detail {
namespace {

std::atomic<std::uint64_t> changeCount{0};
std::mutex changeMutex;
std::condition_variable changeSignal;
std::atomic<FrontEnd*> installedFrontEnd{nullptr};
thread_local std::shared_ptr<ThreadQueue> threadQueue;
thread_local DWORD dialogError = 0;

bool IsTopLevel(const Window& window) {
  return window.kind == WindowKind::kDialog || window.kind == WindowKind::kMessageBox ||
         window.kind == WindowKind::kFileDialog;
}

// Statics and group boxes let clicks through to the dialog (they answer the hit test with
// "transparent"); a static with SS_NOTIFY takes them.
bool IsTransparent(const Window& control) {
  return control.kind == WindowKind::kGroupBox ||
         (control.kind == WindowKind::kStatic && (control.style & SS_NOTIFY) == 0);
}

bool CanFocus(const Window& control) {
  return control.kind == WindowKind::kButton || control.kind == WindowKind::kListBox;
}

void Set(std::string* why, const std::string& text) {
  if (why != nullptr) {
    *why = text;
  }
}

// Why a window takes no input now (lock held); empty when it does.
std::string WhyNoInputLocked(const Window& window) {
  if (window.ended) {
    return "the window is closing";
  }
  if (!window.visible) {
    return IsTopLevel(window) ? "the window is not shown yet" : "the control is hidden";
  }
  if (!window.enabled) {
    return IsTopLevel(window) ? "the window is disabled" : "the control is disabled";
  }
  if (IsTopLevel(window)) {
    if (window.modalChildren > 0) {
      return "the window waits for a modal window it owns";
    }
    return "";
  }
  std::shared_ptr<Window> parent = FindLocked(window.parent);
  if (!parent) {
    return "the control's dialog is gone";
  }
  return WhyNoInputLocked(*parent);
}

// Shows the front end the top-level window that a served message went to (lock not held), so
// that it can follow what the message changed before the sender goes on.
void ShowServed(HWND handle) {
  FrontEnd* frontEnd = installedFrontEnd.load();
  if (frontEnd == nullptr) {
    return;
  }
  HWND topLevel = handle;
  {
    std::lock_guard<std::mutex> lock(State().mutex);
    std::shared_ptr<Window> window = FindLocked(handle);
    if (!window) {
      return;
    }
    if (window->parent != nullptr) {
      topLevel = window->parent;
    }
  }
  frontEnd->WindowServed(topLevel);
}

void Serve(QueueItem& item) {
  switch (item.kind) {
    case QueueItem::Kind::kSent: {
      const LRESULT result = Dispatch(item.window, item.message, item.wParam, item.lParam);
      ShowServed(item.window);
      std::lock_guard<std::mutex> lock(State().mutex);
      item.reply->done = true;
      item.reply->result = result;
      item.reply->waiter->wake.notify_all();
      break;
    }
    case QueueItem::Kind::kPosted:
      Dispatch(item.window, item.message, item.wParam, item.lParam);
      ShowServed(item.window);
      break;
    case QueueItem::Kind::kInput:
      item.input();
      break;
    default:
      break;
  }
}

// Serves one queued item of the calling thread if there is one (lock held on entry and exit).
bool ServeOne(std::unique_lock<std::mutex>& lock, ThreadQueue& queue) {
  std::deque<QueueItem>* source = nullptr;
  if (!queue.sent.empty()) {
    source = &queue.sent;
  } else if (!queue.posted.empty()) {
    source = &queue.posted;
  } else {
    return false;
  }
  QueueItem item = std::move(source->front());
  source->pop_front();
  Touch();
  lock.unlock();
  Serve(item);
  lock.lock();
  return true;
}

// Removes a closed window and its controls (lock held); messages still waiting for them are
// answered with 0 so that their senders go on.
void RemoveLocked(const std::shared_ptr<Window>& window) {
  Manager& manager = State();
  std::vector<HWND> handles = window->children;
  handles.push_back(window->handle);
  auto gone = [&handles](HWND handle) {
    return std::find(handles.begin(), handles.end(), handle) != handles.end();
  };
  ThreadQueue& queue = *window->queue;
  for (auto it = queue.sent.begin(); it != queue.sent.end();) {
    if (gone(it->window)) {
      it->reply->done = true;
      it->reply->result = 0;
      it->reply->waiter->wake.notify_all();
      it = queue.sent.erase(it);
    } else {
      ++it;
    }
  }
  for (auto it = queue.posted.begin(); it != queue.posted.end();) {
    it = gone(it->window) ? queue.posted.erase(it) : std::next(it);
  }
  if (window->holdsOwner) {
    if (std::shared_ptr<Window> owner = FindLocked(window->owner)) {
      --owner->modalChildren;
    }
    window->holdsOwner = false;
  }
  for (HWND handle : handles) {
    manager.windows.erase(handle);
  }
}

ControlView ControlViewLocked(const Window& control, HWND focus) {
  ControlView view;
  view.handle = control.handle;
  view.kind = control.kind;
  view.id = control.id;
  view.style = control.style;
  view.text = control.text;
  view.rect = control.rect;
  view.enabled = control.enabled;
  view.visible = control.visible;
  view.focused = focus == control.handle;
  view.isDefault =
      control.kind == WindowKind::kButton && (control.style & BS_TYPEMASK) == BS_DEFPUSHBUTTON;
  view.rangeLow = control.low;
  view.rangeHigh = control.high;
  view.position = control.position;
  for (const ListItem& item : control.items) {
    view.items.push_back({item.text, item.selected});
  }
  view.caret = control.caret;
  view.topIndex = control.top;
  return view;
}

// The control under a point of the dialog (lock held); null for the dialog's own surface.
// Controls are searched in template order, which is their z-order, top first. A disabled
// control passes its clicks to the dialog.
std::shared_ptr<Window> HitTestLocked(const Window& dialog, int x, int y) {
  for (HWND handle : dialog.children) {
    std::shared_ptr<Window> control = FindLocked(handle);
    if (!control || !control->visible || !control->rect.Contains(x, y) || IsTransparent(*control)) {
      continue;
    }
    return control->enabled ? control : nullptr;
  }
  return nullptr;
}

// The next control that Tab reaches from 'from' (lock held): visible, enabled, WS_TABSTOP.
HWND NextTabStopLocked(const Window& dialog, HWND from, bool forward) {
  const std::vector<HWND>& children = dialog.children;
  const std::size_t count = children.size();
  if (count == 0) {
    return nullptr;
  }
  std::size_t start = count;  // before the first (forward) or after the last (backward)
  for (std::size_t i = 0; i < count; ++i) {
    if (children[i] == from) {
      start = i;
    }
  }
  for (std::size_t step = 1; step <= count; ++step) {
    std::size_t index = 0;
    if (forward) {
      index = start == count ? step - 1 : (start + step) % count;
    } else {
      index = start == count ? count - step : (start + count - step) % count;
    }
    std::shared_ptr<Window> control = FindLocked(children[index]);
    if (control && control->visible && control->enabled && (control->style & WS_TABSTOP) != 0 &&
        CanFocus(*control)) {
      return control->handle;
    }
  }
  return nullptr;
}

HWND ChildByIdLocked(const Window& dialog, int id) {
  for (HWND handle : dialog.children) {
    std::shared_ptr<Window> control = FindLocked(handle);
    if (control && control->id == id) {
      return handle;
    }
  }
  return nullptr;
}

// A click on a push button (on the owning thread): the button takes the focus, then its dialog
// hears BN_CLICKED.
void ButtonClick(HWND button) {
  HWND dialog = nullptr;
  {
    std::lock_guard<std::mutex> lock(State().mutex);
    std::shared_ptr<Window> control = FindLocked(button);
    if (!control || !TakesInputLocked(*control)) {
      return;
    }
    dialog = control->parent;
  }
  SetDialogFocus(dialog, button);
  {
    std::lock_guard<std::mutex> lock(State().mutex);
    std::shared_ptr<Window> control = FindLocked(button);
    if (!control || !TakesInputLocked(*control)) {
      return;
    }
  }
  NotifyParent(button, BN_CLICKED);
}

// Keys on a dialog (on the owning thread), as the dialog manager reads them.
void DialogKey(HWND dialogHandle, Key key, DWORD keys) {
  HWND focus = nullptr;
  WindowKind focusKind = WindowKind::kStatic;
  HWND defaultButton = nullptr;
  bool defaultUsable = false;
  HWND okButton = nullptr;
  HWND cancelButton = nullptr;
  HWND next = nullptr;
  {
    std::lock_guard<std::mutex> lock(State().mutex);
    std::shared_ptr<Window> dialog = FindLocked(dialogHandle);
    if (!dialog || !TakesInputLocked(*dialog)) {
      return;
    }
    if (std::shared_ptr<Window> control = FindLocked(dialog->focus);
        control && TakesInputLocked(*control)) {
      focus = control->handle;
      focusKind = control->kind;
    }
    for (HWND handle : dialog->children) {
      std::shared_ptr<Window> control = FindLocked(handle);
      if (control && control->kind == WindowKind::kButton &&
          (control->style & BS_TYPEMASK) == BS_DEFPUSHBUTTON && defaultButton == nullptr) {
        defaultButton = handle;
        defaultUsable = TakesInputLocked(*control);
      }
    }
    okButton = ChildByIdLocked(*dialog, IDOK);
    cancelButton = ChildByIdLocked(*dialog, IDCANCEL);
    const bool forward = key == Key::kTab || key == Key::kDown || key == Key::kRight;
    next = NextTabStopLocked(*dialog, focus, forward);
  }
  switch (key) {
    case Key::kTab:
    case Key::kBackTab:
      if (next != nullptr) {
        SetDialogFocus(dialogHandle, next);
      }
      break;
    case Key::kEnter:
      if (focus != nullptr && focusKind == WindowKind::kButton) {
        ButtonClick(focus);
      } else if (defaultButton != nullptr) {
        if (defaultUsable) {
          ButtonClick(defaultButton);
        }
      } else {
        Send(dialogHandle, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
             reinterpret_cast<LPARAM>(okButton));
      }
      break;
    case Key::kEscape:
      Send(dialogHandle, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
           reinterpret_cast<LPARAM>(cancelButton));
      break;
    case Key::kSpace:
      if (focus != nullptr && focusKind == WindowKind::kButton) {
        ButtonClick(focus);
      } else if (focus != nullptr && focusKind == WindowKind::kListBox) {
        ListUserKey(Find(focus), key, keys);
      }
      break;
    case Key::kUp:
    case Key::kDown:
    case Key::kLeft:
    case Key::kRight:
    case Key::kHome:
    case Key::kEnd:
      if (focus != nullptr && focusKind == WindowKind::kListBox) {
        if (key != Key::kLeft && key != Key::kRight) {
          ListUserKey(Find(focus), key, keys);
        }
      } else if (next != nullptr && key != Key::kHome && key != Key::kEnd) {
        SetDialogFocus(dialogHandle, next);
      }
      break;
    default:
      break;
  }
}

int MessageBoxCancelResult(const MessageBoxView& box) {
  for (int button : box.buttons) {
    if (button == IDCANCEL) {
      return IDCANCEL;
    }
  }
  return IDOK;
}

// Keys on a message box (on the owning thread).
void MessageBoxKey(HWND boxHandle, Key key, char16_t character) {
  std::lock_guard<std::mutex> lock(State().mutex);
  std::shared_ptr<Window> box = FindLocked(boxHandle);
  if (!box || !TakesInputLocked(*box)) {
    return;
  }
  MessageBoxView& view = box->box;
  const auto count = static_cast<int>(view.buttons.size());
  int focused = 0;
  for (int i = 0; i < count; ++i) {
    if (view.buttons[static_cast<std::size_t>(i)] == view.focusedButton) {
      focused = i;
    }
  }
  switch (key) {
    case Key::kLeft:
    case Key::kUp:
    case Key::kBackTab:
      view.focusedButton = view.buttons[static_cast<std::size_t>((focused + count - 1) % count)];
      Touch();
      break;
    case Key::kRight:
    case Key::kDown:
    case Key::kTab:
      view.focusedButton = view.buttons[static_cast<std::size_t>((focused + 1) % count)];
      Touch();
      break;
    case Key::kEnter:
    case Key::kSpace:
      EndLocked(*box, view.focusedButton);
      break;
    case Key::kEscape:
      if (view.cancellable) {
        EndLocked(*box, MessageBoxCancelResult(view));
      }
      break;
    case Key::kCharacter: {
      static const std::map<char16_t, int> accelerators = {
          {u'o', IDOK},    {u'c', IDCANCEL}, {u'y', IDYES},    {u'n', IDNO},
          {u'a', IDABORT}, {u'r', IDRETRY},  {u'i', IDIGNORE},
      };
      const char16_t lower = character >= u'A' && character <= u'Z'
                                 ? static_cast<char16_t>(character + 32)
                                 : character;
      auto it = accelerators.find(lower);
      if (it != accelerators.end() &&
          std::find(view.buttons.begin(), view.buttons.end(), it->second) != view.buttons.end()) {
        EndLocked(*box, it->second);
      }
      break;
    }
    default:
      break;
  }
}

std::map<std::string, FrontEndFactory>& FrontEndFactories() {
  static std::map<std::string, FrontEndFactory> factories;
  return factories;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Table and queues
// ---------------------------------------------------------------------------------------------
Manager& State() {
  static Manager manager;
  return manager;
}

std::shared_ptr<ThreadQueue> CurrentQueue() {
  if (!threadQueue) {
    threadQueue = std::make_shared<ThreadQueue>();
    threadQueue->thread = std::this_thread::get_id();
  }
  return threadQueue;
}

std::shared_ptr<Window> FindLocked(HWND handle) {
  if (handle == nullptr) {
    return nullptr;
  }
  Manager& manager = State();
  auto it = manager.windows.find(handle);
  return it == manager.windows.end() ? nullptr : it->second;
}

std::shared_ptr<Window> Find(HWND handle) {
  std::lock_guard<std::mutex> lock(State().mutex);
  return FindLocked(handle);
}

std::shared_ptr<Window> NewWindowLocked(WindowKind kind) {
  Manager& manager = State();
  auto window = std::make_shared<Window>();
  window->kind = kind;
  // Handles are never reused, so a handle kept past its window's end is recognised as stale.
  window->handle = reinterpret_cast<HWND>(manager.nextHandle);
  manager.nextHandle += 4;
  window->serial = manager.nextSerial++;
  window->queue = CurrentQueue();
  // A dialog, message box or file dialog is shown by its modal loop once it is initialised;
  // until then nobody can answer it.
  if (IsTopLevel(*window)) {
    window->visible = false;
  }
  manager.windows[window->handle] = window;
  return window;
}

bool TakesInputLocked(const Window& window) { return WhyNoInputLocked(window).empty(); }

bool OwnEnabledLocked(const Window& window) { return window.enabled && window.modalChildren == 0; }

void Touch() {
  {
    std::lock_guard<std::mutex> lock(changeMutex);
    changeCount.fetch_add(1);
  }
  changeSignal.notify_all();
}

FrontEnd& RequireFrontEnd(const char* what) {
  FrontEnd* frontEnd = installedFrontEnd.load();
  if (frontEnd == nullptr) {
    Fault(std::string(what) + ": no front end is installed to show it and answer it");
  }
  return *frontEnd;
}

void SetDialogError(DWORD code) { dialogError = code; }

// ---------------------------------------------------------------------------------------------
// Messages
// ---------------------------------------------------------------------------------------------
bool TextMessage(Window& window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
  std::lock_guard<std::mutex> lock(State().mutex);
  switch (message) {
    case WM_SETTEXT: {
      const auto* text = reinterpret_cast<const WCHAR*>(lParam);
      window.text = text == nullptr ? std::u16string() : std::u16string(text);
      *result = TRUE;
      Touch();
      return true;
    }
    case WM_GETTEXT: {
      auto* buffer = reinterpret_cast<WCHAR*>(lParam);
      if (buffer == nullptr || wParam == 0) {
        *result = 0;
        return true;
      }
      const std::size_t count = std::min<std::size_t>(window.text.size(), wParam - 1);
      std::copy_n(window.text.begin(), count, buffer);
      buffer[count] = 0;
      *result = static_cast<LRESULT>(count);
      return true;
    }
    case WM_GETTEXTLENGTH:
      *result = static_cast<LRESULT>(window.text.size());
      return true;
    default:
      return false;
  }
}

namespace {

// What a dialog does with a message its procedure leaves alone.
LRESULT DefaultDialogProcedure(const std::shared_ptr<Window>& dialog, UINT message, WPARAM wParam,
                               LPARAM lParam) {
  LRESULT result = 0;
  if (TextMessage(*dialog, message, wParam, lParam, &result)) {
    return result;
  }
  switch (message) {
    case WM_CLOSE: {
      // The close command becomes IDCANCEL, unless a Cancel button exists and is disabled.
      HWND cancel = nullptr;
      {
        std::lock_guard<std::mutex> lock(State().mutex);
        cancel = ChildByIdLocked(*dialog, IDCANCEL);
        if (std::shared_ptr<Window> control = FindLocked(cancel); control && !control->enabled) {
          return 0;
        }
      }
      PostMessageW(dialog->handle, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                   reinterpret_cast<LPARAM>(cancel));
      return 0;
    }
    case WM_SETICON: {
      std::lock_guard<std::mutex> lock(State().mutex);
      const std::size_t which = wParam == ICON_BIG ? 1 : 0;
      HICON previous = dialog->icons[which];
      dialog->icons[which] = reinterpret_cast<HICON>(lParam);
      return reinterpret_cast<LRESULT>(previous);
    }
    default:
      return 0;
  }
}

// Message boxes and file dialogs answer only the text messages and the close command.
LRESULT StandardWindowProcedure(const std::shared_ptr<Window>& window, UINT message, WPARAM wParam,
                                LPARAM lParam) {
  LRESULT result = 0;
  if (TextMessage(*window, message, wParam, lParam, &result)) {
    return result;
  }
  if (message == WM_CLOSE) {
    std::lock_guard<std::mutex> lock(State().mutex);
    if (window->kind == WindowKind::kFileDialog) {
      EndLocked(*window, IDCANCEL);
    } else if (window->box.cancellable) {
      EndLocked(*window, MessageBoxCancelResult(window->box));
    }
  }
  return 0;
}

}  // namespace

LRESULT Dispatch(HWND handle, UINT message, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<Window> window;
  DLGPROC procedure = nullptr;
  {
    std::lock_guard<std::mutex> lock(State().mutex);
    window = FindLocked(handle);
    if (!window) {
      return 0;
    }
    procedure = window->procedure;
  }
  switch (window->kind) {
    case WindowKind::kDialog: {
      const INT_PTR handled = procedure(handle, message, wParam, lParam);
      if (message == WM_INITDIALOG) {
        return handled;
      }
      // A handled message's result would come from the dialog's message-result slot, which the
      // program never sets.
      return handled != FALSE ? 0 : DefaultDialogProcedure(window, message, wParam, lParam);
    }
    case WindowKind::kMessageBox:
    case WindowKind::kFileDialog:
      return StandardWindowProcedure(window, message, wParam, lParam);
    default:
      return ControlProcedure(window, message, wParam, lParam);
  }
}

LRESULT Send(HWND handle, UINT message, WPARAM wParam, LPARAM lParam) {
  Manager& manager = State();
  std::shared_ptr<ThreadQueue> me = CurrentQueue();
  std::unique_lock<std::mutex> lock(manager.mutex);
  std::shared_ptr<Window> window = FindLocked(handle);
  if (!window) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (window->queue == me) {
    lock.unlock();
    return Dispatch(handle, message, wParam, lParam);
  }
  // Another thread's window: its thread serves the message; this one waits, serving what is
  // sent to its own windows meanwhile.
  auto reply = std::make_shared<Reply>();
  reply->waiter = me;
  QueueItem item;
  item.kind = QueueItem::Kind::kSent;
  item.window = handle;
  item.message = message;
  item.wParam = wParam;
  item.lParam = lParam;
  item.reply = reply;
  window->queue->sent.push_back(std::move(item));
  window->queue->wake.notify_all();
  Touch();
  while (!reply->done) {
    if (!me->sent.empty()) {
      QueueItem incoming = std::move(me->sent.front());
      me->sent.pop_front();
      lock.unlock();
      Serve(incoming);
      lock.lock();
      continue;
    }
    me->wake.wait(lock);
  }
  return reply->result;
}

bool QueueInput(HWND handle, std::function<void()> input) {
  std::lock_guard<std::mutex> lock(State().mutex);
  std::shared_ptr<Window> window = FindLocked(handle);
  if (!window) {
    return false;
  }
  QueueItem item;
  item.kind = QueueItem::Kind::kInput;
  item.window = handle;
  item.input = std::move(input);
  window->queue->posted.push_back(std::move(item));
  window->queue->wake.notify_all();
  Touch();
  return true;
}

void NotifyParent(HWND control, int code) {
  HWND parent = nullptr;
  int id = 0;
  {
    std::lock_guard<std::mutex> lock(State().mutex);
    std::shared_ptr<Window> window = FindLocked(control);
    if (!window) {
      return;
    }
    parent = window->parent;
    id = window->id;
  }
  Send(parent, WM_COMMAND, MAKEWPARAM(id, code), reinterpret_cast<LPARAM>(control));
}

void SetDialogFocus(HWND dialogHandle, HWND control) {
  HWND previous = nullptr;
  bool previousIsList = false;
  bool nextIsList = false;
  {
    std::lock_guard<std::mutex> lock(State().mutex);
    std::shared_ptr<Window> dialog = FindLocked(dialogHandle);
    if (!dialog || dialog->focus == control) {
      return;
    }
    previous = dialog->focus;
    if (std::shared_ptr<Window> old = FindLocked(previous)) {
      previousIsList = old->kind == WindowKind::kListBox;
    }
    if (std::shared_ptr<Window> next = FindLocked(control)) {
      nextIsList = next->kind == WindowKind::kListBox;
    }
    dialog->focus = control;
    Touch();
  }
  // A list box tells its dialog when it loses and gains the focus, whatever its LBS_NOTIFY.
  if (previousIsList) {
    NotifyParent(previous, LBN_KILLFOCUS);
  }
  if (nextIsList) {
    NotifyParent(control, LBN_SETFOCUS);
  }
}

// ---------------------------------------------------------------------------------------------
// Modal loops
// ---------------------------------------------------------------------------------------------
void EndLocked(Window& window, INT_PTR result) {
  window.result = result;
  window.ended = true;
  window.visible = false;
  // The owner takes input again at once, as when the module re-enables it in EndDialog.
  if (window.holdsOwner) {
    if (std::shared_ptr<Window> owner = FindLocked(window.owner)) {
      --owner->modalChildren;
    }
    window.holdsOwner = false;
  }
  window.queue->wake.notify_all();
  Touch();
}

void RunModal(const std::shared_ptr<Window>& window, const std::function<void()>& initialise) {
  Manager& manager = State();
  std::shared_ptr<ThreadQueue> queue = window->queue;
  {
    std::lock_guard<std::mutex> lock(manager.mutex);
    if (std::shared_ptr<Window> owner = FindLocked(window->owner)) {
      ++owner->modalChildren;
      window->holdsOwner = true;
    }
    window->visible = false;
    Touch();
  }
  if (initialise) {
    initialise();
  }
  WindowView view;
  bool ended = false;
  {
    std::lock_guard<std::mutex> lock(manager.mutex);
    ended = window->ended;
    if (!ended) {
      window->visible = true;
      view = ViewLocked(*window);
    }
    Touch();
  }
  FrontEnd* frontEnd = installedFrontEnd.load();
  if (!ended && frontEnd != nullptr) {
    frontEnd->WindowOpened(view);
  }
  {
    std::unique_lock<std::mutex> lock(manager.mutex);
    ++queue->modalDepth;
    while (!window->ended) {
      if (ServeOne(lock, *queue)) {
        continue;
      }
      queue->waiting = true;
      Touch();
      queue->wake.wait(lock);
      queue->waiting = false;
    }
    --queue->modalDepth;
  }
  if (window->kind == WindowKind::kDialog) {
    Dispatch(window->handle, WM_DESTROY, 0, 0);
  }
  WindowView last;
  {
    std::lock_guard<std::mutex> lock(manager.mutex);
    last = ViewLocked(*window);
    RemoveLocked(window);
    Touch();
  }
  frontEnd = installedFrontEnd.load();
  if (frontEnd != nullptr) {
    frontEnd->WindowClosed(last);
  }
}

// ---------------------------------------------------------------------------------------------
// Views
// ---------------------------------------------------------------------------------------------
WindowView ViewLocked(const Window& window) {
  WindowView view;
  view.handle = window.handle;
  view.kind = window.kind;
  view.owner = window.owner;
  view.templateId = window.templateId;
  view.caption = window.text;
  view.rect = window.rect;
  view.style = window.style;
  view.visible = window.visible;
  view.takesInput = TakesInputLocked(window);
  view.serial = window.serial;
  view.ended = window.ended;
  view.result = window.result;
  view.chosenPath = window.chosenPath;
  for (HWND handle : window.children) {
    if (std::shared_ptr<Window> control = FindLocked(handle)) {
      view.controls.push_back(ControlViewLocked(*control, window.focus));
    }
  }
  view.box = window.box;
  view.file = window.file;
  return view;
}

}  // namespace detail

using namespace detail;

HINSTANCE ProgramInstance() {
  // Where the module's loader places a program's image.
  return reinterpret_cast<HINSTANCE>(std::uintptr_t{0x00010000});
}

const ControlView* WindowView::Control(int id) const {
  for (const ControlView& control : controls) {
    if (control.id == id) {
      return &control;
    }
  }
  return nullptr;
}

std::vector<WindowView> OpenWindows() {
  std::lock_guard<std::mutex> lock(State().mutex);
  std::vector<WindowView> views;
  for (const auto& [handle, window] : State().windows) {
    if (IsTopLevel(*window)) {
      views.push_back(ViewLocked(*window));
    }
  }
  std::sort(views.begin(), views.end(),
            [](const WindowView& a, const WindowView& b) { return a.serial < b.serial; });
  return views;
}

bool GetWindowView(HWND handle, WindowView* view) {
  std::lock_guard<std::mutex> lock(State().mutex);
  std::shared_ptr<Window> window = FindLocked(handle);
  if (!window || !IsTopLevel(*window)) {
    return false;
  }
  *view = ViewLocked(*window);
  return true;
}

bool GetControlView(HWND handle, ControlView* view) {
  std::lock_guard<std::mutex> lock(State().mutex);
  std::shared_ptr<Window> control = FindLocked(handle);
  if (!control || IsTopLevel(*control)) {
    return false;
  }
  std::shared_ptr<Window> dialog = FindLocked(control->parent);
  *view = ControlViewLocked(*control, dialog ? dialog->focus : nullptr);
  return true;
}

// ---------------------------------------------------------------------------------------------
// Input
// ---------------------------------------------------------------------------------------------
namespace {

// Checks under the lock that the window exists, is of an accepted kind and takes input, then
// queues the action to its thread.
bool Give(HWND handle, std::initializer_list<WindowKind> kinds, std::string* why,
          const std::function<bool(Window&, std::string*)>& check, std::function<void()> action) {
  std::lock_guard<std::mutex> lock(State().mutex);
  std::shared_ptr<Window> window = FindLocked(handle);
  if (!window) {
    Set(why, "the window is not open");
    return false;
  }
  if (std::find(kinds.begin(), kinds.end(), window->kind) == kinds.end()) {
    Set(why, "the window cannot take this input");
    return false;
  }
  const std::string reason = WhyNoInputLocked(*window);
  if (!reason.empty()) {
    Set(why, reason);
    return false;
  }
  if (check && !check(*window, why)) {
    return false;
  }
  QueueItem item;
  item.kind = QueueItem::Kind::kInput;
  item.window = handle;
  item.input = std::move(action);
  window->queue->posted.push_back(std::move(item));
  window->queue->wake.notify_all();
  Touch();
  return true;
}

}  // namespace

bool ClickButton(HWND button, std::string* why) {
  return Give(button, {WindowKind::kButton}, why, nullptr, [button] { ButtonClick(button); });
}

bool ClickAt(HWND dialogHandle, int x, int y, DWORD keys, std::string* why) {
  auto inside = [x, y](Window& dialog, std::string* reason) {
    if (!Rect{0, 0, dialog.rect.width, dialog.rect.height}.Contains(x, y)) {
      Set(reason, "the point lies outside the dialog");
      return false;
    }
    return true;
  };
  return Give(dialogHandle, {WindowKind::kDialog}, why, inside, [dialogHandle, x, y, keys] {
    std::shared_ptr<Window> target;
    {
      std::lock_guard<std::mutex> lock(State().mutex);
      std::shared_ptr<Window> dialog = FindLocked(dialogHandle);
      if (!dialog || !TakesInputLocked(*dialog)) {
        return;
      }
      target = HitTestLocked(*dialog, x, y);
    }
    if (target && target->kind == WindowKind::kButton) {
      ButtonClick(target->handle);
      return;
    }
    if (target && target->kind == WindowKind::kListBox) {
      int index = -1;
      {
        std::lock_guard<std::mutex> lock(State().mutex);
        const int border = (target->style & WS_BORDER) != 0 ? 1 : 0;
        const int line = (y - target->rect.y - border) / kListItemHeight;
        if (line >= 0 && target->top + line < static_cast<int>(target->items.size())) {
          index = target->top + line;
        }
      }
      if (index >= 0) {
        ListUserSelect(target, index, keys);
      } else {
        SetDialogFocus(dialogHandle, target->handle);
      }
      return;
    }
    // The dialog's own surface hears the button go down and up, in client pixels.
    const LPARAM point = MAKELPARAM(x * kPixelsPerUnitX, y * kPixelsPerUnitY);
    Send(dialogHandle, WM_LBUTTONDOWN, keys | MK_LBUTTON, point);
    Send(dialogHandle, WM_LBUTTONUP, keys & ~static_cast<DWORD>(MK_LBUTTON), point);
  });
}

bool ClickListItem(HWND list, int index, DWORD keys, std::string* why) {
  auto inRange = [index](Window& window, std::string* reason) {
    if (index < 0 || index >= static_cast<int>(window.items.size())) {
      Set(reason, "the list box has no item " + std::to_string(index));
      return false;
    }
    return true;
  };
  return Give(list, {WindowKind::kListBox}, why, inRange,
              [list, index, keys] { ListUserSelect(Find(list), index, keys); });
}

bool DoubleClickListItem(HWND list, int index, std::string* why) {
  auto inRange = [index](Window& window, std::string* reason) {
    if (index < 0 || index >= static_cast<int>(window.items.size())) {
      Set(reason, "the list box has no item " + std::to_string(index));
      return false;
    }
    return true;
  };
  return Give(list, {WindowKind::kListBox}, why, inRange, [list, index] {
    std::shared_ptr<Window> window = Find(list);
    ListUserSelect(window, index, 0);
    if (window && (window->style & LBS_NOTIFY) != 0) {
      NotifyParent(list, LBN_DBLCLK);
    }
  });
}

bool FocusControl(HWND control, std::string* why) {
  return Give(control, {WindowKind::kButton, WindowKind::kListBox}, why, nullptr, [control] {
    HWND dialog = nullptr;
    {
      std::lock_guard<std::mutex> lock(State().mutex);
      std::shared_ptr<Window> window = FindLocked(control);
      if (!window || !TakesInputLocked(*window)) {
        return;
      }
      dialog = window->parent;
    }
    SetDialogFocus(dialog, control);
  });
}

bool PressKey(HWND handle, Key key, DWORD keys, char16_t character, std::string* why) {
  auto fileDialogKeys = [key](Window& window, std::string* reason) {
    if (window.kind == WindowKind::kFileDialog && key != Key::kEscape) {
      Set(reason, "a file dialog takes only Escape; browsing is the front end's");
      return false;
    }
    return true;
  };
  return Give(handle, {WindowKind::kDialog, WindowKind::kMessageBox, WindowKind::kFileDialog}, why,
              fileDialogKeys, [handle, key, keys, character] {
                std::shared_ptr<Window> window = Find(handle);
                if (!window) {
                  return;
                }
                if (window->kind == WindowKind::kDialog) {
                  DialogKey(handle, key, keys);
                } else if (window->kind == WindowKind::kMessageBox) {
                  MessageBoxKey(handle, key, character);
                } else {
                  std::lock_guard<std::mutex> lock(State().mutex);
                  if (!window->ended) {
                    EndLocked(*window, IDCANCEL);
                  }
                }
              });
}

bool CloseWindow(HWND handle, std::string* why) {
  auto closable = [](Window& window, std::string* reason) {
    if (window.kind == WindowKind::kDialog && (window.style & WS_SYSMENU) == 0) {
      Set(reason, "the dialog has no close command");
      return false;
    }
    if (window.kind == WindowKind::kMessageBox && !window.box.cancellable) {
      Set(reason, "the message box must be answered with one of its buttons");
      return false;
    }
    return true;
  };
  return Give(handle, {WindowKind::kDialog, WindowKind::kMessageBox, WindowKind::kFileDialog}, why,
              closable, [handle] { Dispatch(handle, WM_CLOSE, 0, 0); });
}

bool AnswerMessageBox(HWND boxHandle, int button, std::string* why) {
  auto offered = [button](Window& box, std::string* reason) {
    if (std::find(box.box.buttons.begin(), box.box.buttons.end(), button) ==
        box.box.buttons.end()) {
      Set(reason, "the message box has no button " + std::to_string(button));
      return false;
    }
    return true;
  };
  return Give(boxHandle, {WindowKind::kMessageBox}, why, offered, [boxHandle, button] {
    std::lock_guard<std::mutex> lock(State().mutex);
    std::shared_ptr<Window> box = FindLocked(boxHandle);
    if (box && TakesInputLocked(*box)) {
      EndLocked(*box, button);
    }
  });
}

bool SurfacePoint(HWND dialogHandle, int* x, int* y) {
  std::lock_guard<std::mutex> lock(State().mutex);
  std::shared_ptr<Window> dialog = FindLocked(dialogHandle);
  if (!dialog || dialog->kind != WindowKind::kDialog) {
    return false;
  }
  for (int py = 0; py < dialog->rect.height; ++py) {
    for (int px = 0; px < dialog->rect.width; ++px) {
      bool covered = false;
      for (HWND handle : dialog->children) {
        std::shared_ptr<Window> control = FindLocked(handle);
        if (control && control->visible && control->rect.Contains(px, py) &&
            !IsTransparent(*control)) {
          covered = true;
          break;
        }
      }
      if (!covered) {
        *x = px;
        *y = py;
        return true;
      }
    }
  }
  return false;
}

// ---------------------------------------------------------------------------------------------
// State
// ---------------------------------------------------------------------------------------------
bool IsIdle(HWND handle) {
  std::lock_guard<std::mutex> lock(State().mutex);
  std::shared_ptr<Window> window = FindLocked(handle);
  if (!window) {
    return true;
  }
  const ThreadQueue& queue = *window->queue;
  return queue.modalDepth > 0 && queue.waiting && queue.sent.empty() && queue.posted.empty();
}

std::uint64_t ChangeCount() { return changeCount.load(); }

bool WaitForChange(std::uint64_t seen, std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(changeMutex);
  return changeSignal.wait_for(lock, limit, [seen] { return changeCount.load() != seen; });
}

// ---------------------------------------------------------------------------------------------
// Front ends
// ---------------------------------------------------------------------------------------------
void InstallFrontEnd(FrontEnd* frontEnd) { installedFrontEnd.store(frontEnd); }

FrontEnd* InstalledFrontEnd() { return installedFrontEnd.load(); }

FrontEndRegistrar::FrontEndRegistrar(const char* name, FrontEndFactory factory) {
  FrontEndFactories()[name] = factory;
}

std::unique_ptr<FrontEnd> CreateFrontEnd(const std::string& name, const FrontEndOptions& options,
                                         std::string* error) {
  auto it = FrontEndFactories().find(name);
  if (it == FrontEndFactories().end()) {
    std::string known;
    for (const std::string& candidate : FrontEndNames()) {
      known += (known.empty() ? "" : ", ") + candidate;
    }
    *error = "unknown user interface \"" + name + "\" (known: " + known + ")";
    return nullptr;
  }
  return it->second(options, error);
}

std::string DefaultFrontEndName() {
  return ::isatty(STDIN_FILENO) != 0 && ::isatty(STDOUT_FILENO) != 0 ? "terminal" : "console";
}

std::vector<std::string> FrontEndNames() {
  std::vector<std::string> names;
  for (const auto& [name, factory] : FrontEndFactories()) {
    names.push_back(name);
  }
  return names;
}

}  // namespace sim::ui

DWORD CommDlgExtendedError() { return sim::ui::detail::dialogError; }
