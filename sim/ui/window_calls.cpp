// The platform's window calls: dialogs from the program's templates, messages, window state,
// common controls, icons and message boxes.
#include <algorithm>

#include "platform/kernel.h"
#include "platform/window.h"
#include "sim/module/machine.h"
#include "sim/os/os_call.h"
#include "sim/ui/resources.h"
#include "sim/ui/window_manager.h"

using namespace sim::ui;
using namespace sim::ui::detail;

namespace {

// Records the call and asks the fault plan whether it fails (only with a module attached).
bool WindowCallFails(const char* name, std::initializer_list<std::uint64_t> args, DWORD* error,
                     const char16_t* text = nullptr) {
  return sim::IsAttached() && sim::CallFails(name, args, ERROR_NOT_ENOUGH_MEMORY, error, text);
}

WindowKind KindOf(const ControlTemplate& control) {
  switch (control.controlClass) {
    case ControlClass::kButton:
      return (control.style & BS_TYPEMASK) == BS_GROUPBOX ? WindowKind::kGroupBox
                                                          : WindowKind::kButton;
    case ControlClass::kListBox:
      return WindowKind::kListBox;
    case ControlClass::kProgressBar:
      return WindowKind::kProgressBar;
    case ControlClass::kStatic:
    default:
      return WindowKind::kStatic;
  }
}

// The top-level window a handle belongs to (lock held): an owner given as a control means its
// dialog.
std::shared_ptr<Window> TopLevelLocked(HWND handle) {
  std::shared_ptr<Window> window = FindLocked(handle);
  if (window && window->parent != nullptr) {
    window = FindLocked(window->parent);
  }
  return window;
}

// The first control that takes the focus when the dialog opens.
HWND FirstTabStop(HWND dialogHandle) {
  std::lock_guard<std::mutex> lock(State().mutex);
  std::shared_ptr<Window> dialog = FindLocked(dialogHandle);
  if (!dialog) {
    return nullptr;
  }
  for (HWND handle : dialog->children) {
    std::shared_ptr<Window> control = FindLocked(handle);
    if (control && control->visible && control->enabled && (control->style & WS_TABSTOP) != 0 &&
        (control->kind == WindowKind::kButton || control->kind == WindowKind::kListBox)) {
      return handle;
    }
  }
  return nullptr;
}

void SyncStyle(Window& window) {
  window.style = (window.style & ~(WS_DISABLED | WS_VISIBLE)) |
                 (window.enabled ? 0u : static_cast<DWORD>(WS_DISABLED)) |
                 (window.visible ? static_cast<DWORD>(WS_VISIBLE) : 0u);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Dialogs
// ---------------------------------------------------------------------------------------------
INT_PTR DialogBoxParamW(HINSTANCE instance, LPCWSTR templateName, HWND owner,
                        DLGPROC dialogProcedure, LPARAM initParam) {
  DWORD error = 0;
  const auto id = static_cast<int>(reinterpret_cast<ULONG_PTR>(templateName));
  if (WindowCallFails("DialogBoxParamW",
                      {sim::Word(instance), static_cast<std::uint64_t>(id), sim::Word(owner),
                       static_cast<std::uint64_t>(initParam)},
                      &error)) {
    SetLastError(error);
    return -1;
  }
  if (instance != ProgramInstance()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return -1;
  }
  // The program's templates are numbered; a named template does not exist.
  const DialogTemplate* dialogTemplate =
      IS_INTRESOURCE(templateName) ? ProgramResources().FindDialog(id) : nullptr;
  if (dialogTemplate == nullptr) {
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return -1;
  }
  if (dialogProcedure == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  std::shared_ptr<Window> dialog;
  {
    std::lock_guard<std::mutex> lock(State().mutex);
    const bool needsCommonControls = std::any_of(
        dialogTemplate->controls.begin(), dialogTemplate->controls.end(),
        [](const ControlTemplate& c) { return c.controlClass == ControlClass::kProgressBar; });
    if (needsCommonControls && !State().commonControls) {
      // The progress bar's class exists only once the common controls are initialised.
      SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
      return -1;
    }
    std::shared_ptr<Window> ownerWindow;
    if (owner != nullptr) {
      ownerWindow = TopLevelLocked(owner);
      if (!ownerWindow) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return -1;
      }
    }
    dialog = NewWindowLocked(WindowKind::kDialog);
    dialog->owner = ownerWindow ? ownerWindow->handle : nullptr;
    dialog->templateId = dialogTemplate->id;
    dialog->procedure = dialogProcedure;
    dialog->text = dialogTemplate->caption;
    dialog->rect = {dialogTemplate->x, dialogTemplate->y, dialogTemplate->width,
                    dialogTemplate->height};
    dialog->style = dialogTemplate->style;
    dialog->exStyle = dialogTemplate->exStyle;
    for (const ControlTemplate& controlTemplate : dialogTemplate->controls) {
      std::shared_ptr<Window> control = NewWindowLocked(KindOf(controlTemplate));
      control->parent = dialog->handle;
      control->id = controlTemplate.id;
      control->style = controlTemplate.style;
      control->exStyle = controlTemplate.exStyle;
      control->text = controlTemplate.text;
      control->rect = {controlTemplate.x, controlTemplate.y, controlTemplate.width,
                       controlTemplate.height};
      control->enabled = (controlTemplate.style & WS_DISABLED) == 0;
      control->visible = (controlTemplate.style & WS_VISIBLE) != 0;
      dialog->children.push_back(control->handle);
    }
  }
  const HWND handle = dialog->handle;
  RunModal(dialog, [handle, initParam] {
    const HWND first = FirstTabStop(handle);
    const LRESULT focusDefault =
        Dispatch(handle, WM_INITDIALOG, reinterpret_cast<WPARAM>(first), initParam);
    if (focusDefault != FALSE && first != nullptr) {
      SetDialogFocus(handle, first);
    }
  });
  return dialog->result;
}

BOOL EndDialog(HWND dialogHandle, INT_PTR result) {
  std::lock_guard<std::mutex> lock(State().mutex);
  std::shared_ptr<Window> dialog = FindLocked(dialogHandle);
  if (!dialog || dialog->kind != WindowKind::kDialog) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  EndLocked(*dialog, result);
  return TRUE;
}

HWND GetDlgItem(HWND dialogHandle, int controlId) {
  std::lock_guard<std::mutex> lock(State().mutex);
  std::shared_ptr<Window> dialog = FindLocked(dialogHandle);
  if (!dialog || dialog->kind != WindowKind::kDialog) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  for (HWND handle : dialog->children) {
    std::shared_ptr<Window> control = FindLocked(handle);
    if (control && control->id == controlId) {
      return handle;
    }
  }
  SetLastError(ERROR_CONTROL_ID_NOT_FOUND);
  return nullptr;
}

int GetDlgCtrlID(HWND control) {
  std::lock_guard<std::mutex> lock(State().mutex);
  std::shared_ptr<Window> window = FindLocked(control);
  if (!window) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  return window->parent != nullptr ? window->id : 0;
}

BOOL SetDlgItemTextW(HWND dialog, int controlId, LPCWSTR text) {
  HWND control = GetDlgItem(dialog, controlId);
  if (control == nullptr) {
    return FALSE;
  }
  return Send(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text)) != 0 ? TRUE : FALSE;
}

UINT GetDlgItemTextW(HWND dialog, int controlId, LPWSTR text, int maxCount) {
  HWND control = GetDlgItem(dialog, controlId);
  if (control == nullptr) {
    if (text != nullptr && maxCount > 0) {
      text[0] = 0;
    }
    return 0;
  }
  return static_cast<UINT>(Send(control, WM_GETTEXT, static_cast<WPARAM>(std::max(maxCount, 0)),
                                reinterpret_cast<LPARAM>(text)));
}

LRESULT SendDlgItemMessageW(HWND dialog, int controlId, UINT message, WPARAM wParam,
                            LPARAM lParam) {
  HWND control = GetDlgItem(dialog, controlId);
  if (control == nullptr) {
    return 0;
  }
  return Send(control, message, wParam, lParam);
}

// ---------------------------------------------------------------------------------------------
// Messages
// ---------------------------------------------------------------------------------------------
LRESULT SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return Send(window, message, wParam, lParam);
}

BOOL PostMessageW(HWND handle, UINT message, WPARAM wParam, LPARAM lParam) {
  std::lock_guard<std::mutex> lock(State().mutex);
  std::shared_ptr<Window> window = FindLocked(handle);
  if (!window) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  QueueItem item;
  item.kind = QueueItem::Kind::kPosted;
  item.window = handle;
  item.message = message;
  item.wParam = wParam;
  item.lParam = lParam;
  window->queue->posted.push_back(std::move(item));
  window->queue->wake.notify_all();
  Touch();
  return TRUE;
}

// ---------------------------------------------------------------------------------------------
// Window state
// ---------------------------------------------------------------------------------------------
BOOL SetWindowTextW(HWND window, LPCWSTR text) {
  if (!IsWindow(window)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  return Send(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text)) != 0 ? TRUE : FALSE;
}

int GetWindowTextW(HWND window, LPWSTR text, int maxCount) {
  if (!IsWindow(window)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    if (text != nullptr && maxCount > 0) {
      text[0] = 0;
    }
    return 0;
  }
  return static_cast<int>(Send(window, WM_GETTEXT, static_cast<WPARAM>(std::max(maxCount, 0)),
                               reinterpret_cast<LPARAM>(text)));
}

int GetWindowTextLengthW(HWND window) {
  if (!IsWindow(window)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  return static_cast<int>(Send(window, WM_GETTEXTLENGTH, 0, 0));
}

BOOL EnableWindow(HWND handle, BOOL enable) {
  std::lock_guard<std::mutex> lock(State().mutex);
  std::shared_ptr<Window> window = FindLocked(handle);
  if (!window) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  const BOOL wasDisabled = OwnEnabledLocked(*window) ? FALSE : TRUE;
  window->enabled = enable != FALSE;
  SyncStyle(*window);
  Touch();
  return wasDisabled;
}

BOOL IsWindowEnabled(HWND handle) {
  std::lock_guard<std::mutex> lock(State().mutex);
  std::shared_ptr<Window> window = FindLocked(handle);
  if (!window) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  return OwnEnabledLocked(*window) ? TRUE : FALSE;
}

BOOL ShowWindow(HWND handle, int command) {
  std::lock_guard<std::mutex> lock(State().mutex);
  std::shared_ptr<Window> window = FindLocked(handle);
  if (!window) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  const BOOL wasVisible = window->visible ? TRUE : FALSE;
  switch (command) {
    case SW_HIDE:
      window->visible = false;
      break;
    case SW_SHOWNORMAL:
    case SW_SHOWNOACTIVATE:
    case SW_SHOW:
    case SW_SHOWNA:
      window->visible = true;
      break;
    default:
      // The module knows no minimised or maximised windows.
      SetLastError(ERROR_INVALID_PARAMETER);
      return wasVisible;
  }
  SyncStyle(*window);
  Touch();
  return wasVisible;
}

BOOL IsWindowVisible(HWND handle) {
  std::lock_guard<std::mutex> lock(State().mutex);
  std::shared_ptr<Window> window = FindLocked(handle);
  while (window) {
    if (!window->visible) {
      return FALSE;
    }
    if (window->parent == nullptr) {
      return TRUE;
    }
    window = FindLocked(window->parent);
  }
  return FALSE;
}

BOOL IsWindow(HWND handle) { return Find(handle) ? TRUE : FALSE; }

HWND GetParent(HWND handle) {
  std::lock_guard<std::mutex> lock(State().mutex);
  std::shared_ptr<Window> window = FindLocked(handle);
  if (!window) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  // A control's parent is its dialog; a dialog's is its owner.
  return window->parent != nullptr ? window->parent : window->owner;
}

// ---------------------------------------------------------------------------------------------
// Common controls and icons
// ---------------------------------------------------------------------------------------------
void InitCommonControls() {
  std::lock_guard<std::mutex> lock(State().mutex);
  State().commonControls = true;
}

BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX* init) {
  if (init == nullptr || init->dwSize != sizeof(INITCOMMONCONTROLSEX)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard<std::mutex> lock(State().mutex);
  if ((init->dwICC & ICC_PROGRESS_CLASS) != 0) {
    State().commonControls = true;
  }
  return TRUE;
}

HICON LoadIconW(HINSTANCE instance, LPCWSTR iconName) {
  if (instance != ProgramInstance() || !IS_INTRESOURCE(iconName)) {
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
  }
  const auto id = static_cast<int>(reinterpret_cast<ULONG_PTR>(iconName));
  if (ProgramResources().FindIcon(id) == nullptr) {
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
  }
  // An icon handle names the resource; the module shares one icon per resource.
  return reinterpret_cast<HICON>(std::uintptr_t{0x00200000} + static_cast<std::uintptr_t>(id));
}

BOOL DestroyIcon(HICON icon) {
  const auto value = reinterpret_cast<std::uintptr_t>(icon);
  if (value <= 0x00200000 || value > 0x0020FFFF ||
      ProgramResources().FindIcon(static_cast<int>(value - 0x00200000)) == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

// ---------------------------------------------------------------------------------------------
// Message boxes
// ---------------------------------------------------------------------------------------------
int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
  DWORD error = 0;
  if (WindowCallFails("MessageBoxW", {sim::Word(owner), type}, &error, text)) {
    SetLastError(error);
    return 0;
  }
  static const std::vector<int> buttonSets[] = {
      {IDOK},        {IDOK, IDCANCEL},    {IDABORT, IDRETRY, IDIGNORE}, {IDYES, IDNO, IDCANCEL},
      {IDYES, IDNO}, {IDRETRY, IDCANCEL},
  };
  const UINT buttons = type & MB_TYPEMASK;
  const UINT icon = type & MB_ICONMASK;
  const UINT defaultIndex = (type & MB_DEFMASK) >> 8;
  const UINT known = MB_TYPEMASK | MB_ICONMASK | MB_DEFMASK | MB_SETFOREGROUND | MB_TOPMOST;
  if ((type & ~known) != 0 || buttons > MB_RETRYCANCEL || icon > MB_ICONASTERISK ||
      defaultIndex > 2) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  RequireFrontEnd("MessageBoxW");
  std::shared_ptr<Window> box;
  {
    std::lock_guard<std::mutex> lock(State().mutex);
    std::shared_ptr<Window> ownerWindow;
    if (owner != nullptr) {
      ownerWindow = TopLevelLocked(owner);
      if (!ownerWindow) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
      }
    }
    box = NewWindowLocked(WindowKind::kMessageBox);
    box->owner = ownerWindow ? ownerWindow->handle : nullptr;
    box->text = caption != nullptr ? std::u16string(caption) : std::u16string(u"Error");
    box->box.text = text != nullptr ? std::u16string(text) : std::u16string();
    box->box.type = type;
    box->box.icon = icon;
    box->box.buttons = buttonSets[buttons];
    // A default button beyond the set falls back to the first, as on the module.
    box->box.defaultButton = defaultIndex < box->box.buttons.size() ? box->box.buttons[defaultIndex]
                                                                    : box->box.buttons.front();
    box->box.focusedButton = box->box.defaultButton;
    box->box.cancellable =
        buttons == MB_OK || std::find(box->box.buttons.begin(), box->box.buttons.end(), IDCANCEL) !=
                                box->box.buttons.end();
  }
  RunModal(box, nullptr);
  return static_cast<int>(box->result);
}
