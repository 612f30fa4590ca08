// The terminal front end: the module's screen in a full-screen terminal (ncurses).
//
// Dialogs are drawn at their template positions, a dialog unit being a quarter of a column and
// an eighth of a row, each dialog centred on the screen; message boxes and file dialogs are drawn
// over their owners. Keys: Tab and Shift+Tab (or the arrows) move between buttons and lists,
// Enter presses, in a list the arrows move and Space picks or drops an item (Shift+arrows
// select a range), Escape cancels. The mouse clicks
// buttons, list items (with Shift and Ctrl) and the dialog's surface. A right click on a dialog,
// or Ctrl+R, is a click on its surface with the right button held, as the module's touch driver
// reports a press with the hardware button; Shift+Ctrl+click reaches the surface with both keys.
// File dialogs browse the module's files through its own file calls.
//
// ncurses is not thread-safe: everything that draws or reads keys runs on the front end's own
// thread, which acts on the program only through the window manager's input calls.
#define NCURSES_NOMACROS
#include <curses.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <clocale>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/kernel.h"
#include "resources/resource.h"
#include "sim/base/utf.h"
#include "sim/module/machine.h"
#include "sim/ui/front_end.h"

namespace {

using sim::ui::ControlView;
using sim::ui::FolderEntry;
using sim::ui::FrontEnd;
using sim::ui::FrontEndOptions;
using sim::ui::Key;
using sim::ui::WindowKind;
using sim::ui::WindowView;

constexpr int kCtrlR = 18;
constexpr int kCtrlT = 20;
constexpr int kEscape = 27;

// ---------------------------------------------------------------------------------------------
// Geometry: a dialog unit is a quarter of a column and an eighth of a row
// ---------------------------------------------------------------------------------------------
int CellX(int units) { return (units + 2) / 4; }
int CellY(int units) { return (units + 4) / 8; }

struct Cells {
  int top = 0;
  int left = 0;
  int rows = 0;
  int cols = 0;
  [[nodiscard]] bool Contains(int y, int x) const {
    return y >= top && y < top + rows && x >= left && x < left + cols;
  }
};

Cells ToCells(const sim::ui::Rect& rect) {
  const int top = CellY(rect.y);
  const int left = CellX(rect.x);
  return {top, left, std::max(1, CellY(rect.y + rect.height) - top),
          std::max(1, CellX(rect.x + rect.width) - left)};
}

std::string Utf8(const std::u16string& text) { return sim::ToUtf8(text); }

// Text as shown: '&' marks a mnemonic and is not drawn ("&&" draws one), tabs become blanks.
std::u16string Displayed(const std::u16string& text, bool prefix) {
  std::u16string shown;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (prefix && text[i] == u'&') {
      if (i + 1 < text.size() && text[i + 1] == u'&') {
        shown += u'&';
        ++i;
      }
      continue;
    }
    shown += text[i];
  }
  return shown;
}

// Lines of text wrapped at width columns: "\r\n" and "\n" end lines, tabs advance to the next
// multiple of eight, long lines break at blanks where they can.
std::vector<std::u16string> Wrap(const std::u16string& text, int width, bool wrap = true) {
  std::vector<std::u16string> lines(1);
  for (char16_t c : text) {
    if (c == u'\r') {
      continue;
    }
    if (c == u'\n') {
      lines.emplace_back();
      continue;
    }
    if (c == u'\t') {
      lines.back().append(8 - lines.back().size() % 8, u' ');
      continue;
    }
    lines.back() += c;
  }
  if (!wrap || width <= 0) {
    return lines;
  }
  std::vector<std::u16string> wrapped;
  for (std::u16string line : lines) {
    while (static_cast<int>(line.size()) > width) {
      std::size_t cut = line.rfind(u' ', static_cast<std::size_t>(width));
      if (cut == std::u16string::npos || cut == 0) {
        cut = static_cast<std::size_t>(width);
      }
      wrapped.push_back(line.substr(0, cut));
      line.erase(0, cut);
      while (!line.empty() && line.front() == u' ') {
        line.erase(line.begin());
      }
    }
    wrapped.push_back(line);
  }
  return wrapped;
}

// ---------------------------------------------------------------------------------------------
// Layout of a dialog: the template's places, widened where a label needs more cells
// ---------------------------------------------------------------------------------------------
// The module's font is proportional: a label fits the template's width because its narrow
// letters ("i", ":") take less than the average width that a dialog unit is a quarter of. In
// terminal cells every letter takes a whole cell, so a one-line label can run into the control
// to its right, which is drawn over it ("UsedBytes:" under a value at x 40 shows as
// "UsedBytes0x3008"). The layout moves every control from that control's column on to the right
// until the label has its cells and a blank before the next control; the dialog grows by as much.
class Layout {
 public:
  Layout() = default;
  explicit Layout(const WindowView& dialog) {
    struct Need {
      int label;  // x of the label, in dialog units
      int cells;  // cells the label needs, with a blank after it
      int next;   // x of the nearest control to its right on its rows
    };
    std::vector<Need> needs;
    for (const ControlView& label : dialog.controls) {
      const Cells cells = ToCells(label.rect);
      if (!label.visible || label.kind != WindowKind::kStatic || cells.rows != 1) {
        continue;
      }
      const int length =
          static_cast<int>(Displayed(label.text, (label.style & SS_NOPREFIX) == 0).size());
      const ControlView* next = nullptr;
      for (const ControlView& other : dialog.controls) {
        const Cells otherCells = ToCells(other.rect);
        const bool sameRows =
            otherCells.top < cells.top + cells.rows && cells.top < otherCells.top + otherCells.rows;
        if (other.visible && other.kind != WindowKind::kGroupBox && sameRows &&
            other.rect.x > label.rect.x && (next == nullptr || other.rect.x < next->rect.x)) {
          next = &other;
        }
      }
      if (length > 0 && next != nullptr) {
        needs.push_back({label.rect.x, length + 1, next->rect.x});
      }
    }
    std::sort(needs.begin(), needs.end(),
              [](const Need& a, const Need& b) { return a.next < b.next; });
    for (const Need& need : needs) {
      const int extra = Column(need.label) + need.cells - Column(need.next);
      if (extra > 0) {
        shifts_.push_back({need.next, extra});
      }
    }
    columns_ = Column(dialog.rect.width);
  }

  // The cells of a rectangle of dialog units, relative to the client area.
  [[nodiscard]] Cells Of(const sim::ui::Rect& rect) const {
    Cells cells = ToCells(rect);
    const int left = Column(rect.x);
    cells.cols = std::max(1, Column(rect.x + rect.width) - left);
    cells.left = left;
    return cells;
  }
  [[nodiscard]] int Columns() const { return columns_; }
  // A horizontal dialog unit inside a column of the client area, for a click there; a column
  // that the layout inserted lands just left of the control it moved.
  [[nodiscard]] int UnitsX(int column) const {
    int shift = 0;
    int from = std::numeric_limits<int>::min();
    for (std::size_t i = 0; i <= shifts_.size(); ++i) {
      const int to = i < shifts_.size() ? shifts_[i].first : std::numeric_limits<int>::max();
      const int x = (column - shift) * 4 + 2;
      if (x >= from && x < to) {
        return x;
      }
      if (x < from) {
        return from - 1;
      }
      if (i < shifts_.size()) {
        shift += shifts_[i].second;
        from = to;
      }
    }
    return column * 4 + 2;
  }

 private:
  // The column of a horizontal position, after the shifts at or left of it.
  [[nodiscard]] int Column(int x) const {
    int column = CellX(x);
    for (const auto& [at, extra] : shifts_) {
      if (x >= at) {
        column += extra;
      }
    }
    return column;
  }

  std::vector<std::pair<int, int>> shifts_;  // from this x on, so many more columns
  int columns_ = 0;
};

const char* ButtonLabel(int button) {
  switch (button) {
    case IDOK:
      return "OK";
    case IDCANCEL:
      return "Cancel";
    case IDYES:
      return "Yes";
    case IDNO:
      return "No";
    case IDABORT:
      return "Abort";
    case IDRETRY:
      return "Retry";
    case IDIGNORE:
      return "Ignore";
    default:
      return "?";
  }
}

// The answer that Escape gives a message box: Cancel, or else No, as the hint line says; a box
// with only OK is answered OK (and Abort/Retry/Ignore with Abort).
int EscapeAnswer(const sim::ui::MessageBoxView& box) {
  for (int answer : {IDCANCEL, IDNO, IDABORT}) {
    if (std::find(box.buttons.begin(), box.buttons.end(), answer) != box.buttons.end()) {
      return answer;
    }
  }
  return box.buttons.empty() ? IDCANCEL : box.buttons.front();
}

// What a right click does in a dialog. The region dialog shows its hidden buttons when its
// surface is clicked with the right button (or with Shift and Ctrl), so the hint names them while
// they are hidden.
std::string RightClickHint(const WindowView& dialog) {
  std::string hidden;
  if (dialog.templateId == IDD_REGION) {
    for (const ControlView& control : dialog.controls) {
      if (control.kind == WindowKind::kButton && !control.visible) {
        hidden.append(hidden.empty() ? "" : "/").append(Utf8(Displayed(control.text, true)));
      }
    }
  }
  return hidden.empty() ? "^R: right click" : "^R: show " + hidden + " (right click)";
}

const char* IconMark(UINT icon) {
  switch (icon) {
    case MB_ICONHAND:
      return "(X)";
    case MB_ICONQUESTION:
      return "(?)";
    case MB_ICONEXCLAMATION:
      return "(!)";
    case MB_ICONASTERISK:
      return "(i)";
    default:
      return nullptr;
  }
}

// ---------------------------------------------------------------------------------------------
// The front end
// ---------------------------------------------------------------------------------------------
class TerminalFrontEnd : public FrontEnd {
 public:
  static std::unique_ptr<FrontEnd> Create(const FrontEndOptions& /*options*/, std::string* error) {
    if (isatty(STDIN_FILENO) == 0 || isatty(STDOUT_FILENO) == 0) {
      *error = "the terminal user interface needs an interactive terminal (use --ui console)";
      return nullptr;
    }
    std::setlocale(LC_ALL, "");
    SCREEN* screen = newterm(nullptr, stdout, stdin);
    if (screen == nullptr) {
      *error = "cannot use this terminal (is TERM set?)";
      return nullptr;
    }
    set_term(screen);
    cbreak();
    noecho();
    nonl();
    keypad(stdscr, TRUE);
    curs_set(0);
    set_escdelay(25);
    mousemask(BUTTON1_PRESSED | BUTTON3_PRESSED | BUTTON_SHIFT | BUTTON_CTRL, nullptr);
    mouseinterval(0);
    return std::unique_ptr<FrontEnd>(new TerminalFrontEnd(screen));
  }

  ~TerminalFrontEnd() override { Finish(); }

  void Finish() override {
    if (!thread_.joinable()) {
      return;
    }
    stop_.store(true);
    thread_.join();
    endwin();
    delscreen(screen_);
  }

 private:
  explicit TerminalFrontEnd(SCREEN* screen) : screen_(screen), thread_([this] { Loop(); }) {}

  // Where a top-level window was drawn, for the mouse.
  struct Placement {
    HWND handle = nullptr;
    WindowKind kind = WindowKind::kDialog;
    Cells frame;
    Cells client;
    Layout layout;  // dialogs
  };
  struct Spot {
    HWND window = nullptr;
    int y = 0;
    int x = 0;
    int width = 0;
    int value = 0;  // message box: the button; file dialog: an action or entry index
  };
  enum FileAction { kFileOk = -1, kFileCancel = -2, kFileName = -3 };

  struct Browser {
    HWND handle = nullptr;
    std::u16string folder;
    std::vector<FolderEntry> entries;
    int selected = 0;
    int top = 0;
    std::u16string name;
    bool onName = false;
    std::string message;
    std::size_t filterIndex = 0;
  };

  // --- the loop ---
  void Loop() {
    std::uint64_t drawn = ~std::uint64_t{0};
    while (!stop_.load()) {
      const std::uint64_t now = sim::ui::ChangeCount();
      if (now != drawn || dirty_) {
        drawn = now;
        dirty_ = false;
        Draw();
      }
      timeout(40);
      const int key = getch();
      if (key == ERR) {
        continue;
      }
      if (key == KEY_RESIZE) {
        dirty_ = true;
        continue;
      }
      if (key == KEY_MOUSE) {
        MEVENT event{};
        if (getmouse(&event) == OK) {
          Mouse(event);
        }
      } else {
        Keyboard(key);
      }
      dirty_ = true;
    }
  }

  // The window that takes the keys: the newest shown window that takes input.
  const WindowView* Active(const std::vector<WindowView>& windows) const {
    for (auto it = windows.rbegin(); it != windows.rend(); ++it) {
      if (it->visible && it->takesInput) {
        return &*it;
      }
    }
    return nullptr;
  }

  // --- drawing ---
  void Put(int y, int x, const std::string& text, attr_t attributes = A_NORMAL, int limit = -1) {
    if (y < 0 || y >= LINES || x >= COLS) {
      return;
    }
    std::u16string wide = sim::FromUtf8(text);
    int room = COLS - x;
    if (limit >= 0) {
      room = std::min(room, limit);
    }
    if (x < 0) {
      wide.erase(0, static_cast<std::size_t>(std::min<int>(-x, static_cast<int>(wide.size()))));
      room += x;
      x = 0;
    }
    if (room <= 0) {
      return;
    }
    if (static_cast<int>(wide.size()) > room) {
      wide.resize(static_cast<std::size_t>(room));
    }
    attron(attributes);
    mvaddstr(y, x, Utf8(wide).c_str());
    attroff(attributes);
  }

  void Fill(const Cells& area, attr_t attributes = A_NORMAL) {
    for (int row = 0; row < area.rows; ++row) {
      Put(area.top + row, area.left, std::string(static_cast<std::size_t>(area.cols), ' '),
          attributes);
    }
  }

  void Frame(const Cells& area, attr_t attributes = A_NORMAL) {
    if (area.rows < 2 || area.cols < 2) {
      return;
    }
    attron(attributes);
    const int bottom = area.top + area.rows - 1;
    const int right = area.left + area.cols - 1;
    mvaddch(area.top, area.left, ACS_ULCORNER);
    mvaddch(area.top, right, ACS_URCORNER);
    mvaddch(bottom, area.left, ACS_LLCORNER);
    mvaddch(bottom, right, ACS_LRCORNER);
    mvhline(area.top, area.left + 1, ACS_HLINE, area.cols - 2);
    mvhline(bottom, area.left + 1, ACS_HLINE, area.cols - 2);
    mvvline(area.top + 1, area.left, ACS_VLINE, area.rows - 2);
    mvvline(area.top + 1, right, ACS_VLINE, area.rows - 2);
    attroff(attributes);
  }

  // A window frame centred on the screen around a client area of rows x cols.
  Cells CentredFrame(int rows, int cols) const {
    const int height = rows + 2;
    const int width = cols + 2;
    return {std::max(1, (LINES - height) / 2), std::max(0, (COLS - width) / 2), height, width};
  }

  void Draw() {
    erase();
    placements_.clear();
    spots_.clear();
    const std::vector<WindowView> windows = sim::ui::OpenWindows();
    const WindowView* active = Active(windows);
    std::string title = " Flashwick - virtual module";
    if (sim::IsAttached()) {
      title += " " + sim::CurrentMachine().Directory().filename().string();
    }
    Put(0, 0, title + std::string(static_cast<std::size_t>(std::max(0, COLS)), ' '), A_REVERSE);
    for (const WindowView& window : windows) {
      if (!window.visible) {
        continue;
      }
      const bool isActive = active != nullptr && active->handle == window.handle;
      switch (window.kind) {
        case WindowKind::kDialog:
          DrawDialog(window, isActive);
          break;
        case WindowKind::kMessageBox:
          DrawMessageBox(window, isActive);
          break;
        case WindowKind::kFileDialog:
          DrawFileDialog(window, isActive);
          break;
        default:
          break;
      }
    }
    std::string help = "  (waiting for the program)";
    if (active != nullptr && active->kind == WindowKind::kDialog) {
      help = " Tab: next  Enter: press  Space: select  Esc: cancel  " + RightClickHint(*active);
    } else if (active != nullptr && active->kind == WindowKind::kMessageBox) {
      help = std::string(" Left/Right: choose  Enter: answer  Esc: ") +
             ButtonLabel(EscapeAnswer(active->box));
    } else if (active != nullptr && active->kind == WindowKind::kFileDialog) {
      help = " Up/Down: choose  Enter: open  Backspace: up  Tab: name  ^T: type  Esc: cancel";
    }
    Put(LINES - 1, 0, help, A_DIM);
    refresh();
  }

  void DrawDialog(const WindowView& window, bool active) {
    const Layout layout(window);
    const Cells client{0, 0, CellY(window.rect.height), layout.Columns()};
    Cells frame = CentredFrame(client.rows, client.cols);
    const Cells inside{frame.top + 1, frame.left + 1, client.rows, client.cols};
    placements_.push_back({window.handle, window.kind, frame, inside, layout});
    Fill(frame);
    Frame(frame, active ? A_BOLD : A_DIM);
    Put(frame.top, frame.left + 2, " " + Utf8(window.caption) + " ", active ? A_BOLD : A_NORMAL,
        frame.cols - 4);
    if ((window.style & WS_SYSMENU) != 0) {
      Put(frame.top, frame.left + frame.cols - 4, "[x]", A_NORMAL);
    }
    // Frames first, so that they never cover what lies inside them.
    for (const ControlView& control : window.controls) {
      if (control.visible && control.kind == WindowKind::kGroupBox) {
        DrawControl(control, layout, inside, active);
      }
    }
    for (const ControlView& control : window.controls) {
      if (control.visible && control.kind != WindowKind::kGroupBox) {
        DrawControl(control, layout, inside, active);
      }
    }
  }

  void DrawControl(const ControlView& control, const Layout& layout, const Cells& client,
                   bool active) {
    Cells cells = layout.Of(control.rect);
    cells.top += client.top;
    cells.left += client.left;
    const attr_t dim = control.enabled ? A_NORMAL : A_DIM;
    switch (control.kind) {
      case WindowKind::kGroupBox: {
        Cells box = cells;
        box.rows = std::max(box.rows, 2);
        Frame(box, dim);
        Put(box.top, box.left + 1, Utf8(Displayed(control.text, true)), dim, box.cols - 2);
        break;
      }
      case WindowKind::kButton: {
        const bool focused = control.focused && active;
        attr_t attributes = A_REVERSE;
        if (!control.enabled) {
          attributes = A_DIM;
        } else if (focused) {
          attributes = A_REVERSE | A_BOLD | A_UNDERLINE;
        }
        Fill(cells, attributes);
        std::u16string label = Displayed(control.text, true);
        if (control.isDefault) {
          label = u"<" + label + u">";
        }
        label.resize(std::min<std::size_t>(label.size(), static_cast<std::size_t>(cells.cols)));
        const int x = cells.left + (cells.cols - static_cast<int>(label.size())) / 2;
        Put(cells.top + (cells.rows - 1) / 2, x, Utf8(label), attributes);
        break;
      }
      case WindowKind::kStatic: {
        // Terminal cells are wider than the module's proportional font, so a one-line label
        // runs on to the dialog's edge rather than wrap into a row it does not have; controls
        // drawn later still cover what lies under them.
        const bool oneLine = cells.rows == 1;
        const int width = oneLine ? client.left + client.cols - cells.left : cells.cols;
        const bool wrap = !oneLine && (control.style & SS_LEFTNOWORDWRAP) != SS_LEFTNOWORDWRAP;
        const std::vector<std::u16string> lines =
            Wrap(Displayed(control.text, (control.style & SS_NOPREFIX) == 0), width, wrap);
        for (int row = 0; row < cells.rows && row < static_cast<int>(lines.size()); ++row) {
          const auto& line = lines[static_cast<std::size_t>(row)];
          int x = cells.left;
          const int free = cells.cols - static_cast<int>(line.size());
          if ((control.style & 0x3u) == SS_CENTER) {
            x += std::max(0, free / 2);
          } else if ((control.style & 0x3u) == SS_RIGHT) {
            x += std::max(0, free);
          }
          Put(cells.top + row, x, Utf8(line), dim, client.left + client.cols - x);
        }
        break;
      }
      case WindowKind::kProgressBar: {
        const long long span = static_cast<long long>(control.rangeHigh) - control.rangeLow;
        const long long done = static_cast<long long>(control.position) - control.rangeLow;
        int inner = cells.cols - 2;
        int filled = span > 0 ? static_cast<int>(done * inner / span) : 0;
        filled = std::clamp(filled, 0, inner);
        const std::string bar = "[" + std::string(static_cast<std::size_t>(filled), '#') +
                                std::string(static_cast<std::size_t>(inner - filled), '.') + "]";
        Put(cells.top + (cells.rows - 1) / 2, cells.left, bar, dim);
        break;
      }
      case WindowKind::kListBox:
        DrawList(control, cells, active);
        break;
      default:
        break;
    }
  }

  // The rows a list box shows its items in, inside its border.
  static Cells ListRows(const ControlView& control, const Cells& cells) {
    const int border = (control.style & WS_BORDER) != 0 ? 1 : 0;
    return {cells.top + border, cells.left + border, std::max(1, cells.rows - 2 * border),
            std::max(1, cells.cols - 2 * border)};
  }

  int& ListTop(const ControlView& control, int lines) {
    int& top = listTops_[control.handle];
    const int count = static_cast<int>(control.items.size());
    if (control.caret < top) {
      top = control.caret;
    } else if (control.caret >= top + lines) {
      top = control.caret - lines + 1;
    }
    top = std::clamp(top, 0, std::max(0, count - lines));
    return top;
  }

  void DrawList(const ControlView& control, const Cells& cells, bool active) {
    if ((control.style & WS_BORDER) != 0) {
      Frame(cells, control.focused && active ? A_BOLD : A_NORMAL);
    }
    const Cells rows = ListRows(control, cells);
    const int top = ListTop(control, rows.rows);
    for (int row = 0; row < rows.rows; ++row) {
      const int index = top + row;
      if (index >= static_cast<int>(control.items.size())) {
        break;
      }
      const auto& item = control.items[static_cast<std::size_t>(index)];
      attr_t attributes = item.selected ? A_REVERSE : A_NORMAL;
      if (!control.enabled) {
        attributes |= A_DIM;
      }
      // '>' marks the caret and '*' a selected item, for terminals that show no reverse video.
      const bool caret = control.focused && active && index == control.caret;
      std::string text =
          std::string(caret ? ">" : " ") + (item.selected ? "*" : " ") + Utf8(item.text);
      text.resize(static_cast<std::size_t>(rows.cols), ' ');
      Put(rows.top + row, rows.left, text, attributes, rows.cols);
    }
    if ((control.style & WS_BORDER) != 0 && cells.cols >= 2) {
      const int right = cells.left + cells.cols - 1;
      if (top > 0) {
        Put(cells.top, right, "^");
      }
      if (top + rows.rows < static_cast<int>(control.items.size())) {
        Put(cells.top + cells.rows - 1, right, "v");
      }
    }
  }

  void DrawMessageBox(const WindowView& window, bool active) {
    const int maxWidth = std::max(20, std::min(COLS - 8, 64));
    const char* icon = IconMark(window.box.icon);
    const int indent = icon != nullptr ? 4 : 0;
    const std::vector<std::u16string> lines = Wrap(window.box.text, maxWidth - indent);
    int width = static_cast<int>(window.caption.size()) + 4;
    for (const auto& line : lines) {
      width = std::max(width, static_cast<int>(line.size()) + indent);
    }
    int buttonsWidth = 0;
    for (int button : window.box.buttons) {
      buttonsWidth += static_cast<int>(std::string(ButtonLabel(button)).size()) + 5;
    }
    width = std::max(width, buttonsWidth) + 2;
    const int height = static_cast<int>(lines.size()) + 3;
    Cells frame = CentredFrame(height, width);
    placements_.push_back(
        {window.handle, window.kind, frame, {frame.top + 1, frame.left + 1, height, width}});
    Fill(frame);
    Frame(frame, active ? A_BOLD : A_DIM);
    Put(frame.top, frame.left + 2, " " + Utf8(window.caption) + " ", A_BOLD, frame.cols - 4);
    if (icon != nullptr) {
      Put(frame.top + 2, frame.left + 2, icon, A_BOLD);
    }
    for (std::size_t i = 0; i < lines.size(); ++i) {
      Put(frame.top + 2 + static_cast<int>(i), frame.left + 2 + indent, Utf8(lines[i]));
    }
    int x = frame.left + 1 + (width - buttonsWidth) / 2 + 1;
    const int y = frame.top + frame.rows - 2;
    for (int button : window.box.buttons) {
      const std::string label = std::string("[ ") + ButtonLabel(button) + " ]";
      const bool focused = button == window.box.focusedButton;
      Put(y, x, label, focused && active ? A_REVERSE | A_BOLD : A_NORMAL);
      spots_.push_back({window.handle, y, x, static_cast<int>(label.size()), button});
      x += static_cast<int>(label.size()) + 1;
    }
  }

  // --- file dialogs ---
  void Relist(Browser& browser, const WindowView& window) {
    std::u16string patterns;
    if (browser.filterIndex < window.file.filters.size()) {
      patterns = window.file.filters[browser.filterIndex].pattern;
    }
    browser.entries.clear();
    if (browser.folder != u"\\") {
      browser.entries.push_back({u"..", true, 0});
    }
    std::vector<FolderEntry> entries;
    if (!sim::ui::ListFolder(browser.folder, patterns, &entries)) {
      browser.message = "cannot read " + Utf8(browser.folder);
    }
    browser.entries.insert(browser.entries.end(), entries.begin(), entries.end());
    browser.selected =
        std::min(browser.selected, std::max(0, static_cast<int>(browser.entries.size()) - 1));
  }

  Browser& BrowserFor(const WindowView& window) {
    if (browser_.handle != window.handle) {
      browser_ = Browser();
      browser_.handle = window.handle;
      browser_.folder = window.file.folder;
      browser_.name = window.file.fileName;
      browser_.onName = window.file.save;
      browser_.filterIndex = window.file.filterIndex;
      Relist(browser_, window);
    }
    return browser_;
  }

  void DrawFileDialog(const WindowView& window, bool active) {
    Browser& browser = BrowserFor(window);
    const int width = std::min(COLS - 4, 70);
    const int height = std::min(LINES - 4, 18);
    Cells frame = CentredFrame(height, width);
    placements_.push_back(
        {window.handle, window.kind, frame, {frame.top + 1, frame.left + 1, height, width}});
    Fill(frame);
    Frame(frame, active ? A_BOLD : A_DIM);
    Put(frame.top, frame.left + 2, " " + Utf8(window.file.title) + " ", A_BOLD, frame.cols - 4);
    const int left = frame.left + 2;
    const int inner = width - 2;
    Put(frame.top + 1, left, "Look in: " + Utf8(browser.folder), A_NORMAL, inner);
    Cells list{frame.top + 2, left, height - 7, inner};
    Frame(list, !browser.onName && active ? A_BOLD : A_NORMAL);
    const int lines = list.rows - 2;
    if (browser.selected < browser.top) {
      browser.top = browser.selected;
    } else if (browser.selected >= browser.top + lines) {
      browser.top = browser.selected - lines + 1;
    }
    for (int row = 0; row < lines; ++row) {
      const int index = browser.top + row;
      if (index >= static_cast<int>(browser.entries.size())) {
        break;
      }
      const FolderEntry& entry = browser.entries[static_cast<std::size_t>(index)];
      std::string text(" ");
      text.append(Utf8(entry.name)).append(entry.folder ? "\\" : "");
      if (!entry.folder) {
        const std::string size = std::to_string(entry.size) + " bytes ";
        const int pad =
            list.cols - 2 - static_cast<int>(text.size()) - static_cast<int>(size.size());
        text += std::string(static_cast<std::size_t>(std::max(1, pad)), ' ') + size;
      }
      text.resize(static_cast<std::size_t>(list.cols - 2), ' ');
      const bool selected = index == browser.selected;
      Put(list.top + 1 + row, list.left + 1, text,
          selected ? (browser.onName ? A_UNDERLINE : A_REVERSE) : A_NORMAL, list.cols - 2);
      spots_.push_back({window.handle, list.top + 1 + row, list.left + 1, list.cols - 2, index});
    }
    if (browser.entries.empty()) {
      Put(list.top + 1, list.left + 2, "(empty)", A_DIM);
    }
    const int nameRow = list.top + list.rows;
    std::string field = Utf8(browser.name);
    const int fieldWidth = inner - 12;
    if (static_cast<int>(field.size()) >= fieldWidth) {
      field = field.substr(field.size() - static_cast<std::size_t>(fieldWidth - 1));
    }
    Put(nameRow, left, "File name:");
    Put(nameRow, left + 11,
        field + (browser.onName && active ? "_" : "") +
            std::string(static_cast<std::size_t>(fieldWidth), ' '),
        A_UNDERLINE, fieldWidth);
    spots_.push_back({window.handle, nameRow, left, inner, kFileName});
    std::string type = "(all files)";
    if (browser.filterIndex < window.file.filters.size()) {
      const auto& filter = window.file.filters[browser.filterIndex];
      type = Utf8(filter.description) + " (" + Utf8(filter.pattern) + ")";
    }
    Put(nameRow + 1, left, "Type:      " + type, A_NORMAL, inner);
    std::string message = browser.message;
    if (message.empty() && !window.file.problem.empty()) {
      message = Utf8(window.file.problem);
    }
    Put(nameRow + 2, left, message, A_BOLD, inner);
    const int buttonRow = frame.top + frame.rows - 2;
    const int okX = frame.left + frame.cols - 21;
    Put(buttonRow, okX, "[ OK ]", A_REVERSE);
    spots_.push_back({window.handle, buttonRow, okX, 6, kFileOk});
    Put(buttonRow, okX + 8, "[ Cancel ]", A_REVERSE);
    spots_.push_back({window.handle, buttonRow, okX + 8, 10, kFileCancel});
  }

  void FileAnswer(const WindowView& window, const std::u16string& name) {
    std::string why;
    const std::u16string path = sim::ui::ResolvePath(browser_.folder, name);
    if (!sim::ui::AnswerFileDialog(window.handle, path, &why)) {
      browser_.message = why;
    }
  }

  void FileEnter(const WindowView& window) {
    Browser& browser = BrowserFor(window);
    browser.message.clear();
    if (browser.onName && !browser.name.empty()) {
      const std::u16string path = sim::ui::ResolvePath(browser.folder, browser.name);
      // A folder typed as the name is opened, as in the module's own dialog.
      const DWORD attributes =
          path == u"\\" ? FILE_ATTRIBUTE_DIRECTORY : GetFileAttributesW(path.c_str());
      if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        OpenFolder(window, path);
        browser.name.clear();
        return;
      }
      FileAnswer(window, browser.name);
      return;
    }
    if (browser.selected < 0 || browser.selected >= static_cast<int>(browser.entries.size())) {
      return;
    }
    const FolderEntry& entry = browser.entries[static_cast<std::size_t>(browser.selected)];
    if (entry.folder) {
      OpenFolder(window, sim::ui::ResolvePath(browser.folder, entry.name));
    } else {
      browser.name = entry.name;
      FileAnswer(window, entry.name);
    }
  }

  void OpenFolder(const WindowView& window, const std::u16string& folder) {
    browser_.folder = folder;
    browser_.selected = 0;
    browser_.top = 0;
    Relist(browser_, window);
  }

  void FileKey(const WindowView& window, int key) {
    Browser& browser = BrowserFor(window);
    const int count = static_cast<int>(browser.entries.size());
    switch (key) {
      case kEscape:
        sim::ui::CancelFileDialog(window.handle);
        return;
      case '\t':
      case KEY_BTAB:
        browser.onName = !browser.onName;
        return;
      case KEY_UP:
      case KEY_DOWN:
      case KEY_PPAGE:
      case KEY_NPAGE:
      case KEY_HOME:
      case KEY_END: {
        browser.onName = false;
        int selected = browser.selected;
        if (key == KEY_UP) {
          --selected;
        } else if (key == KEY_DOWN) {
          ++selected;
        } else if (key == KEY_PPAGE) {
          selected -= 8;
        } else if (key == KEY_NPAGE) {
          selected += 8;
        } else if (key == KEY_HOME) {
          selected = 0;
        } else {
          selected = count - 1;
        }
        browser.selected = std::clamp(selected, 0, std::max(0, count - 1));
        return;
      }
      case '\n':
      case '\r':
      case KEY_ENTER:
        FileEnter(window);
        return;
      case KEY_BACKSPACE:
      case 127:
      case 8:
        if (browser.onName) {
          if (!browser.name.empty()) {
            browser.name.pop_back();
          }
        } else if (browser.folder != u"\\") {
          OpenFolder(window, sim::ui::ResolvePath(browser.folder, u".."));
        }
        return;
      case kCtrlT:
        if (!window.file.filters.empty()) {
          browser.filterIndex = (browser.filterIndex + 1) % window.file.filters.size();
          sim::ui::SelectFileFilter(window.handle, browser.filterIndex);
          Relist(browser, window);
        }
        return;
      default:
        if (key >= 32 && key < 127) {
          browser.onName = true;
          browser.name += static_cast<char16_t>(key);
        }
        return;
    }
  }

  // --- keys ---
  // Buttons and lists that a key can move to, in template order.
  static std::vector<const ControlView*> Reachable(const WindowView& dialog) {
    std::vector<const ControlView*> reachable;
    for (const ControlView& control : dialog.controls) {
      if (control.visible && control.enabled &&
          (control.kind == WindowKind::kButton || control.kind == WindowKind::kListBox)) {
        reachable.push_back(&control);
      }
    }
    return reachable;
  }

  void MoveFocus(const WindowView& dialog, bool forward) {
    const std::vector<const ControlView*> reachable = Reachable(dialog);
    if (reachable.empty()) {
      return;
    }
    int current = -1;
    for (std::size_t i = 0; i < reachable.size(); ++i) {
      if (reachable[i]->focused) {
        current = static_cast<int>(i);
      }
    }
    const int count = static_cast<int>(reachable.size());
    int next = 0;
    if (current < 0) {
      next = forward ? 0 : count - 1;
    } else {
      next = (current + (forward ? 1 : count - 1)) % count;
    }
    sim::ui::FocusControl(reachable[static_cast<std::size_t>(next)]->handle);
  }

  void RightClick(HWND dialog, DWORD keys) {
    int x = 0;
    int y = 0;
    if (sim::ui::SurfacePoint(dialog, &x, &y)) {
      sim::ui::ClickAt(dialog, x, y, keys | MK_RBUTTON);
    }
  }

  void Keyboard(int key) {
    const std::vector<WindowView> windows = sim::ui::OpenWindows();
    const WindowView* active = Active(windows);
    if (active == nullptr) {
      beep();
      return;
    }
    if (active->kind == WindowKind::kFileDialog) {
      FileKey(*active, key);
      return;
    }
    const HWND handle = active->handle;
    if (active->kind == WindowKind::kMessageBox) {
      switch (key) {
        case KEY_LEFT:
        case KEY_UP:
        case KEY_BTAB:
          sim::ui::PressKey(handle, Key::kLeft);
          break;
        case KEY_RIGHT:
        case KEY_DOWN:
        case '\t':
          sim::ui::PressKey(handle, Key::kRight);
          break;
        case '\n':
        case '\r':
        case KEY_ENTER:
        case ' ':
          sim::ui::PressKey(handle, Key::kEnter);
          break;
        case kEscape:
          // The module lets Escape answer only a box with Cancel (or only OK); here it answers
          // every box, with the answer the hint line names.
          sim::ui::AnswerMessageBox(handle, EscapeAnswer(active->box));
          break;
        default:
          if (key >= 32 && key < 127) {
            sim::ui::PressKey(handle, Key::kCharacter, 0, static_cast<char16_t>(key));
          }
          break;
      }
      return;
    }
    const ControlView* focus = nullptr;
    for (const ControlView& control : active->controls) {
      if (control.focused && control.visible && control.enabled) {
        focus = &control;
      }
    }
    const bool onList = focus != nullptr && focus->kind == WindowKind::kListBox;
    switch (key) {
      case '\t':
        MoveFocus(*active, true);
        break;
      case KEY_BTAB:
        MoveFocus(*active, false);
        break;
      case KEY_UP:
      case KEY_DOWN:
      case KEY_HOME:
      case KEY_END:
        if (onList) {
          // The arrows move the caret alone and Space picks items, so that a keyboard builds
          // a selection of several items as a Ctrl+click does.
          const Key move = key == KEY_UP     ? Key::kUp
                           : key == KEY_DOWN ? Key::kDown
                           : key == KEY_HOME ? Key::kHome
                                             : Key::kEnd;
          sim::ui::PressKey(handle, move, MK_CONTROL);
        } else if (key == KEY_UP || key == KEY_DOWN) {
          MoveFocus(*active, key == KEY_DOWN);
        }
        break;
      case KEY_SR:  // Shift+Up
      case KEY_SF:  // Shift+Down
        if (onList) {
          sim::ui::PressKey(handle, key == KEY_SR ? Key::kUp : Key::kDown, MK_SHIFT);
        }
        break;
      case KEY_LEFT:
      case KEY_RIGHT:
        if (!onList) {
          MoveFocus(*active, key == KEY_RIGHT);
        }
        break;
      case ' ':
        // In a list, Space adds or removes the item, as a Ctrl+click does.
        sim::ui::PressKey(handle, Key::kSpace, onList ? MK_CONTROL : 0);
        break;
      case '\n':
      case '\r':
      case KEY_ENTER:
        sim::ui::PressKey(handle, Key::kEnter);
        break;
      case kEscape:
        sim::ui::PressKey(handle, Key::kEscape);
        break;
      case kCtrlR:
        RightClick(handle, 0);
        break;
      default:
        break;
    }
  }

  // --- mouse ---
  void Mouse(const MEVENT& event) {
    const std::vector<WindowView> windows = sim::ui::OpenWindows();
    const WindowView* active = Active(windows);
    const Placement* hit = nullptr;
    for (auto it = placements_.rbegin(); it != placements_.rend(); ++it) {
      if (it->frame.Contains(event.y, event.x)) {
        hit = &*it;
        break;
      }
    }
    if (hit == nullptr) {
      return;
    }
    if (active == nullptr || active->handle != hit->handle) {
      beep();  // a window that waits for another takes no input
      return;
    }
    const WindowView& window = *active;
    const bool right = (event.bstate & BUTTON3_PRESSED) != 0;
    DWORD keys = 0;
    if ((event.bstate & BUTTON_SHIFT) != 0) {
      keys |= MK_SHIFT;
    }
    if ((event.bstate & BUTTON_CTRL) != 0) {
      keys |= MK_CONTROL;
    }
    if (window.kind == WindowKind::kMessageBox || window.kind == WindowKind::kFileDialog) {
      for (const Spot& spot : spots_) {
        if (spot.window == window.handle && spot.y == event.y && event.x >= spot.x &&
            event.x < spot.x + spot.width) {
          SpotClicked(window, spot);
          return;
        }
      }
      return;
    }
    if (right) {
      RightClick(window.handle, keys);
      return;
    }
    if (event.y == hit->frame.top && (window.style & WS_SYSMENU) != 0 &&
        event.x >= hit->frame.left + hit->frame.cols - 4) {
      sim::ui::CloseWindow(window.handle);
      return;
    }
    if (!hit->client.Contains(event.y, event.x)) {
      return;
    }
    const int row = event.y - hit->client.top;
    const int col = event.x - hit->client.left;
    for (const ControlView& control : window.controls) {
      if (control.kind != WindowKind::kListBox || !control.visible) {
        continue;
      }
      const Cells cells = hit->layout.Of(control.rect);
      if (!cells.Contains(row, col)) {
        continue;
      }
      const Cells rows = ListRows(control, cells);
      if (rows.Contains(row, col)) {
        const int index = listTops_[control.handle] + (row - rows.top);
        if (index < static_cast<int>(control.items.size())) {
          sim::ui::ClickListItem(control.handle, index, keys);
          return;
        }
      }
      sim::ui::FocusControl(control.handle);
      return;
    }
    // Anything else: the window manager finds the button or the surface under the point.
    sim::ui::ClickAt(window.handle, hit->layout.UnitsX(col), row * 8 + 4, keys);
  }

  void SpotClicked(const WindowView& window, const Spot& spot) {
    if (window.kind == WindowKind::kMessageBox) {
      sim::ui::AnswerMessageBox(window.handle, spot.value);
      return;
    }
    Browser& browser = BrowserFor(window);
    switch (spot.value) {
      case kFileOk:
        FileEnter(window);
        break;
      case kFileCancel:
        sim::ui::CancelFileDialog(window.handle);
        break;
      case kFileName:
        browser.onName = true;
        break;
      default:
        if (browser.selected == spot.value && !browser.onName) {
          FileEnter(window);  // a second click on the same entry opens it
        } else {
          browser.selected = spot.value;
          browser.onName = false;
        }
        break;
    }
  }

  SCREEN* screen_;
  std::atomic<bool> stop_{false};
  bool dirty_ = true;
  std::vector<Placement> placements_;
  std::vector<Spot> spots_;
  std::map<HWND, int> listTops_;
  Browser browser_;
  std::thread thread_;  // last: starts once everything above exists
};

const sim::ui::FrontEndRegistrar kTerminal("terminal", TerminalFrontEnd::Create);

}  // namespace
