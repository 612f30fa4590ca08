// Room sim/ui/: the window manager: windows, per-thread message queues, modal loops, controls,
// message boxes, the file dialogs and the program's resources, drawn through a front end
// (terminal, console or test driver). It answers platform/window.h.
//
// The virtual module's screen and touch panel, as a front end sees them.
//
// The window manager keeps every window the program opens: dialogs built from the program's
// templates, message boxes and file dialogs. A front end (the terminal UI, the console, the
// tests' driver) reads them as views and acts as the person in front of the module: it clicks,
// presses keys, answers boxes and picks files. Input is queued to the thread that owns the
// window and carried out there, in order, as the module's input system would; a window that
// takes no input then (hidden, disabled, or waiting for a modal window of its own) drops it.
//
// Positions are dialog units of the dialog's client area. A click reaches the program in pixels:
// the module's "System" font has 8 x 16 pixel base units, so one horizontal dialog unit (a quarter
// of the base width) and one vertical dialog unit (an eighth of the base height) are 2 pixels
// each.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/window.h"

namespace sim::ui {

inline constexpr int kPixelsPerUnitX = 2;
inline constexpr int kPixelsPerUnitY = 2;
// Height of one list box line in dialog units (one line of the 16-pixel font).
inline constexpr int kListItemHeight = 8;

// The module instance handle of the program's process (what its entry point receives).
HINSTANCE ProgramInstance();

// ---------------------------------------------------------------------------------------------
// Views
// ---------------------------------------------------------------------------------------------
enum class WindowKind {
  kDialog,
  kMessageBox,
  kFileDialog,
  kButton,
  kGroupBox,
  kStatic,
  kProgressBar,
  kListBox,
};

struct Rect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  [[nodiscard]] bool Contains(int px, int py) const {
    return px >= x && py >= y && px < x + width && py < y + height;
  }
};

struct ListItemView {
  std::u16string text;
  bool selected = false;
};

struct ControlView {
  HWND handle = nullptr;
  WindowKind kind = WindowKind::kStatic;
  int id = 0;
  DWORD style = 0;
  std::u16string text;
  Rect rect;
  bool enabled = true;  // its own state (WS_DISABLED, EnableWindow)
  bool visible = true;  // its own state (WS_VISIBLE, ShowWindow)
  bool focused = false;
  bool isDefault = false;  // the dialog's default push button
  // Progress bars
  int rangeLow = 0;
  int rangeHigh = 0;
  int position = 0;
  // List boxes
  std::vector<ListItemView> items;
  int caret = 0;
  int topIndex = 0;
};

struct FileFilter {
  std::u16string description;
  std::u16string pattern;  // one or more patterns separated by ';'
};

struct FileDialogView {
  bool save = false;
  std::u16string title;  // the program's title, or "Open" / "Save As"
  std::vector<FileFilter> filters;
  std::size_t filterIndex = 0;  // 0-based
  std::u16string folder;        // where browsing starts (absolute, ends without '\')
  std::u16string fileName;      // the proposed name, without folder
  std::u16string defaultExtension;
  DWORD flags = 0;
  std::u16string problem;  // why the last answer was refused; empty when none was
};

struct MessageBoxView {
  std::u16string text;
  UINT type = 0;
  std::vector<int> buttons;  // IDOK ... IDNO, left to right
  int defaultButton = 0;
  int focusedButton = 0;
  UINT icon = 0;  // MB_ICONHAND ... or 0
  // Escape (and the close command) answer the box: it has a Cancel button, or only OK.
  bool cancellable = false;
};

// A top-level window: a dialog, a message box or a file dialog.
struct WindowView {
  HWND handle = nullptr;
  WindowKind kind = WindowKind::kDialog;
  HWND owner = nullptr;
  int templateId = 0;
  std::u16string caption;
  Rect rect;  // dialogs: the template's size
  DWORD style = 0;
  bool visible = false;
  bool takesInput = false;   // visible, enabled, and no modal window of its own open
  std::uint64_t serial = 0;  // opening order
  // Once the window has ended (as WindowClosed sees it): what it ended with (the button of a
  // message box, IDOK or IDCANCEL of a file dialog) and the path a file dialog gave.
  bool ended = false;
  INT_PTR result = 0;
  std::u16string chosenPath;
  std::vector<ControlView> controls;
  MessageBoxView box;
  FileDialogView file;
  [[nodiscard]] const ControlView* Control(int id) const;
};

// Every open top-level window, oldest first.
std::vector<WindowView> OpenWindows();
// One top-level window; false when it is not open.
[[nodiscard]] bool GetWindowView(HWND window, WindowView* view);
// The dialog and control view of a control; false when it is not open.
[[nodiscard]] bool GetControlView(HWND control, ControlView* view);

// ---------------------------------------------------------------------------------------------
// Input (any thread). False, with the reason in *why, when the input cannot be given now; a
// front end may drop such input as the module drops a tap on a disabled window.
// ---------------------------------------------------------------------------------------------
enum class Key {
  kTab,
  kBackTab,
  kEnter,
  kEscape,
  kSpace,
  kUp,
  kDown,
  kLeft,
  kRight,
  kHome,
  kEnd,
  kCharacter,
};

bool ClickButton(HWND button, std::string* why = nullptr);
// A left click at (x, y) dialog units of the dialog's client area, with MK_* key flags (MK_RBUTTON
// when the right button is held too). Lands on the control there or on the dialog's surface.
bool ClickAt(HWND dialog, int x, int y, DWORD keys, std::string* why = nullptr);
// A click on a list box item: alone, with MK_CONTROL (toggle) or MK_SHIFT (range).
bool ClickListItem(HWND list, int index, DWORD keys, std::string* why = nullptr);
bool DoubleClickListItem(HWND list, int index, std::string* why = nullptr);
// Moves the keyboard focus to a control, as a tap on it without selecting anything would.
bool FocusControl(HWND control, std::string* why = nullptr);
bool PressKey(HWND window, Key key, DWORD keys = 0, char16_t character = 0,
              std::string* why = nullptr);
// The close command of the title bar (dialogs with a system menu, message boxes that can be
// cancelled, file dialogs).
bool CloseWindow(HWND window, std::string* why = nullptr);
bool AnswerMessageBox(HWND box, int button, std::string* why = nullptr);
// Picks a file: path absolute ("\USB HD\x.bin") or relative to the dialog's folder. A path the
// dialog's flags refuse leaves it open with the reason in the view's problem and in *why.
bool AnswerFileDialog(HWND dialog, const std::u16string& path, std::string* why = nullptr);
bool CancelFileDialog(HWND dialog, std::string* why = nullptr);
// Chooses which of the dialog's filters (0-based) lists the files.
bool SelectFileFilter(HWND dialog, std::size_t index);
// A point of the dialog's own surface (not on any control that takes clicks).
[[nodiscard]] bool SurfacePoint(HWND dialog, int* x, int* y);

// ---------------------------------------------------------------------------------------------
// State
// ---------------------------------------------------------------------------------------------
// True when the thread that owns the window waits in a modal loop with nothing queued (or the
// window is gone).
bool IsIdle(HWND window);
// Counts every visible change; WaitForChange returns true once it differs from seen.
std::uint64_t ChangeCount();
bool WaitForChange(std::uint64_t seen, std::chrono::milliseconds limit);

// ---------------------------------------------------------------------------------------------
// The module's files, for file dialogs (through the module's own file calls)
// ---------------------------------------------------------------------------------------------
struct FolderEntry {
  std::u16string name;
  bool folder = false;
  std::uint64_t size = 0;
};
// Sub-folders and the files matching patterns ("*.bin;*.nb0"; empty: all), folders first, each
// group sorted by name. False when the folder cannot be read.
[[nodiscard]] bool ListFolder(const std::u16string& folder, const std::u16string& patterns,
                              std::vector<FolderEntry>* entries);
// name taken relative to folder (unless it starts with '\'), with "." and ".." resolved and '/'
// read as '\'. The root is "\".
std::u16string ResolvePath(const std::u16string& folder, const std::u16string& name);
// Case-insensitive match of a file name against '*' and '?' patterns separated by ';'.
bool MatchesPatterns(const std::u16string& name, const std::u16string& patterns);

// ---------------------------------------------------------------------------------------------
// Front ends
// ---------------------------------------------------------------------------------------------
class FrontEnd {
 public:
  virtual ~FrontEnd() = default;
  // A dialog, message box or file dialog has opened and is about to wait for input. Called on
  // the thread that opened it, which waits for the call to return.
  virtual void WindowOpened(const WindowView& /*window*/) {}
  // A message that another thread sent or posted to a top-level window or one of its controls
  // has been served. Called on the window's thread, before a sender goes on, so that a front end
  // that reads the window here sees each change a worker makes (the progress window's steps).
  virtual void WindowServed(HWND /*window*/) {}
  // A top-level window has closed; the view shows it as it was last.
  virtual void WindowClosed(const WindowView& /*window*/) {}
  // The program has ended: put the terminal back, print what is left.
  virtual void Finish() {}
};

// Installs the front end for this process (null: none). Without one, a message box or file
// dialog has nobody to answer it and stops the process.
void InstallFrontEnd(FrontEnd* frontEnd);
FrontEnd* InstalledFrontEnd();

struct FrontEndOptions {
  // Answers for message boxes (button names) and file dialogs (paths), in order.
  std::vector<std::string> answers;
};
using FrontEndFactory = std::unique_ptr<FrontEnd> (*)(const FrontEndOptions& options,
                                                      std::string* error);
// Registers a front end by name for the life of the process (from a static initialiser).
struct FrontEndRegistrar {
  FrontEndRegistrar(const char* name, FrontEndFactory factory);
};
// Creates the named front end; null with the reason when there is none or it cannot start.
std::unique_ptr<FrontEnd> CreateFrontEnd(const std::string& name, const FrontEndOptions& options,
                                         std::string* error);
std::vector<std::string> FrontEndNames();
// "terminal" when standard input and output are a terminal, else "console".
std::string DefaultFrontEndName();

}  // namespace sim::ui
