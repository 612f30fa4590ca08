// The built-in controls' procedures: push buttons and group boxes, statics, progress bars and
// list boxes, with what a user's clicks and keys do to a list box.
#include <algorithm>

#include "platform/text.h"
#include "sim/base/names.h"
#include "sim/ui/window_manager.h"

namespace sim::ui::detail {
namespace {

int AsInt(WPARAM value) { return static_cast<int>(static_cast<std::int32_t>(value)); }
int AsInt(LPARAM value) { return static_cast<int>(static_cast<std::int32_t>(value)); }

// ---------------------------------------------------------------------------------------------
// Buttons
// ---------------------------------------------------------------------------------------------
LRESULT ButtonProcedure(const std::shared_ptr<Window>& button, UINT message, WPARAM wParam) {
  switch (message) {
    case BM_CLICK: {
      // As a click would: only an enabled, visible push button in a dialog that takes input.
      {
        std::lock_guard<std::mutex> lock(State().mutex);
        if (button->kind != WindowKind::kButton || !TakesInputLocked(*button)) {
          return 0;
        }
      }
      NotifyParent(button->handle, BN_CLICKED);
      return 0;
    }
    case BM_GETCHECK:
    case BM_SETCHECK:
      return BST_UNCHECKED;  // push buttons carry no check mark
    case BM_GETSTATE: {
      std::lock_guard<std::mutex> lock(State().mutex);
      std::shared_ptr<Window> dialog = FindLocked(button->parent);
      LRESULT state = button->pushed ? BST_PUSHED : 0;
      if (dialog && dialog->focus == button->handle) {
        state |= BST_FOCUS;
      }
      return state;
    }
    case BM_SETSTATE: {
      std::lock_guard<std::mutex> lock(State().mutex);
      button->pushed = wParam != 0;
      Touch();
      return 0;
    }
    case BM_SETSTYLE: {
      std::lock_guard<std::mutex> lock(State().mutex);
      const DWORD type = static_cast<DWORD>(wParam) & BS_TYPEMASK;
      if (button->kind == WindowKind::kButton &&
          (type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON)) {
        button->style = (button->style & ~BS_TYPEMASK) | type;
        Touch();
      }
      return 0;
    }
    default:
      return 0;
  }
}

// ---------------------------------------------------------------------------------------------
// Progress bars
// ---------------------------------------------------------------------------------------------
void ClampPosition(Window& bar) {
  if (bar.position < bar.low) {
    bar.position = bar.low;
  }
  if (bar.position > bar.high) {
    bar.position = bar.high;
  }
}

LRESULT PackedRange(const Window& bar) {
  // The previous range comes back as two 16-bit halves, as the control reports it.
  return static_cast<LRESULT>(static_cast<DWORD>(MAKELONG(bar.low, bar.high)));
}

LRESULT ProgressProcedure(const std::shared_ptr<Window>& bar, UINT message, WPARAM wParam,
                          LPARAM lParam) {
  std::lock_guard<std::mutex> lock(State().mutex);
  LRESULT result = 0;
  switch (message) {
    case PBM_SETRANGE:
      result = PackedRange(*bar);
      bar->low = LOWORD(lParam);
      bar->high = HIWORD(lParam);
      ClampPosition(*bar);
      break;
    case PBM_SETRANGE32:
      result = PackedRange(*bar);
      bar->low = AsInt(wParam);
      bar->high = AsInt(lParam);
      ClampPosition(*bar);
      break;
    case PBM_SETPOS:
      result = bar->position;
      bar->position = AsInt(wParam);
      ClampPosition(*bar);
      break;
    case PBM_DELTAPOS:
      result = bar->position;
      bar->position += AsInt(wParam);
      ClampPosition(*bar);
      break;
    case PBM_SETSTEP:
      result = bar->step;
      bar->step = AsInt(wParam);
      break;
    case PBM_STEPIT:
      result = bar->position;
      bar->position += bar->step;
      if (bar->position > bar->high) {
        bar->position = bar->low;  // the bar starts over
      }
      ClampPosition(*bar);
      break;
    case PBM_GETRANGE:
      if (lParam != 0) {
        auto* range = reinterpret_cast<PBRANGE*>(lParam);
        range->iLow = bar->low;
        range->iHigh = bar->high;
      }
      return wParam != 0 ? bar->low : bar->high;
    case PBM_GETPOS:
      return bar->position;
    default:
      return 0;
  }
  Touch();
  return result;
}

// ---------------------------------------------------------------------------------------------
// List boxes
// ---------------------------------------------------------------------------------------------
bool MultipleSelection(const Window& list) {
  return (list.style & (LBS_EXTENDEDSEL | LBS_MULTIPLESEL)) != 0;
}

int Count(const Window& list) { return static_cast<int>(list.items.size()); }

// Lines the list shows at once: its height less the border, in lines of the font.
int VisibleLines(const Window& list) {
  const int border = (list.style & WS_BORDER) != 0 ? 2 : 0;
  return std::max(1, (list.rect.height - border) / kListItemHeight);
}

void KeepCaretVisible(Window& list) {
  const int lines = VisibleLines(list);
  if (list.caret < list.top) {
    list.top = list.caret;
  } else if (list.caret >= list.top + lines) {
    list.top = list.caret - lines + 1;
  }
}

// After items were removed or added: keep caret, anchor and top inside the list.
void FitIndices(Window& list) {
  const int last = std::max(0, Count(list) - 1);
  list.caret = std::clamp(list.caret, 0, last);
  list.anchor = std::clamp(list.anchor, 0, last);
  list.top = std::clamp(list.top, 0, last);
}

int SortedPosition(const Window& list, const std::u16string& text) {
  const std::u16string key = FoldCase(text);
  int index = 0;
  while (index < Count(list) && FoldCase(list.items[static_cast<std::size_t>(index)].text) <= key) {
    ++index;
  }
  return index;
}

std::vector<bool> Selection(const Window& list) {
  std::vector<bool> selection;
  for (const ListItem& item : list.items) {
    selection.push_back(item.selected);
  }
  return selection;
}

void SelectOnly(Window& list, int index) {
  for (ListItem& item : list.items) {
    item.selected = false;
  }
  list.items[static_cast<std::size_t>(index)].selected = true;
}

void SelectRange(Window& list, int from, int to, bool keepOthers) {
  if (!keepOthers) {
    for (ListItem& item : list.items) {
      item.selected = false;
    }
  }
  for (int i = std::min(from, to); i <= std::max(from, to); ++i) {
    list.items[static_cast<std::size_t>(i)].selected = true;
  }
}

LRESULT ListProcedure(const std::shared_ptr<Window>& list, UINT message, WPARAM wParam,
                      LPARAM lParam) {
  std::lock_guard<std::mutex> lock(State().mutex);
  Window& box = *list;
  const int count = Count(box);
  const bool multiple = MultipleSelection(box);
  auto valid = [count](int index) { return index >= 0 && index < count; };
  switch (message) {
    case LB_ADDSTRING:
    case LB_INSERTSTRING: {
      const auto* text = reinterpret_cast<const WCHAR*>(lParam);
      if (text == nullptr) {
        return LB_ERR;
      }
      int index = count;
      if (message == LB_INSERTSTRING) {
        index = AsInt(wParam);
        if (index == -1) {
          index = count;
        } else if (index < 0 || index > count) {
          return LB_ERR;
        }
      } else if ((box.style & LBS_SORT) != 0) {
        index = SortedPosition(box, text);
      }
      box.items.insert(box.items.begin() + index, ListItem{text, false, 0});
      if (count > 0 && index <= box.caret) {
        ++box.caret;
      }
      FitIndices(box);
      Touch();
      return index;
    }
    case LB_DELETESTRING: {
      const int index = AsInt(wParam);
      if (!valid(index)) {
        return LB_ERR;
      }
      box.items.erase(box.items.begin() + index);
      if (index < box.caret) {
        --box.caret;
      }
      FitIndices(box);
      Touch();
      return Count(box);
    }
    case LB_RESETCONTENT:
      box.items.clear();
      box.caret = 0;
      box.anchor = 0;
      box.top = 0;
      Touch();
      return 0;
    case LB_GETCOUNT:
      return count;
    case LB_GETTEXT: {
      const int index = AsInt(wParam);
      auto* buffer = reinterpret_cast<WCHAR*>(lParam);
      if (!valid(index) || buffer == nullptr) {
        return LB_ERR;
      }
      const std::u16string& text = box.items[static_cast<std::size_t>(index)].text;
      std::copy(text.begin(), text.end(), buffer);
      buffer[text.size()] = 0;
      return static_cast<LRESULT>(text.size());
    }
    case LB_GETTEXTLEN: {
      const int index = AsInt(wParam);
      return valid(index)
                 ? static_cast<LRESULT>(box.items[static_cast<std::size_t>(index)].text.size())
                 : LB_ERR;
    }
    case LB_GETITEMDATA: {
      const int index = AsInt(wParam);
      return valid(index) ? box.items[static_cast<std::size_t>(index)].data : LB_ERR;
    }
    case LB_SETITEMDATA: {
      const int index = AsInt(wParam);
      if (!valid(index)) {
        return LB_ERR;
      }
      box.items[static_cast<std::size_t>(index)].data = lParam;
      return 0;
    }
    case LB_SETSEL: {
      // Multiple-selection lists only; index -1 selects or clears every item.
      const int index = AsInt(lParam);
      if (!multiple || (index != -1 && !valid(index))) {
        return LB_ERR;
      }
      for (int i = 0; i < count; ++i) {
        if (index == -1 || i == index) {
          box.items[static_cast<std::size_t>(i)].selected = wParam != 0;
        }
      }
      Touch();
      return 0;
    }
    case LB_GETSEL: {
      const int index = AsInt(wParam);
      return valid(index) ? (box.items[static_cast<std::size_t>(index)].selected ? 1 : 0) : LB_ERR;
    }
    case LB_GETSELCOUNT: {
      if (!multiple) {
        return LB_ERR;
      }
      return std::count_if(box.items.begin(), box.items.end(),
                           [](const ListItem& item) { return item.selected; });
    }
    case LB_GETSELITEMS: {
      // Up to wParam indices of selected items, ascending, into the caller's int array.
      auto* indices = reinterpret_cast<int*>(lParam);
      if (!multiple || (indices == nullptr && wParam != 0)) {
        return LB_ERR;
      }
      int written = 0;
      for (int i = 0; i < count && static_cast<WPARAM>(written) < wParam; ++i) {
        if (box.items[static_cast<std::size_t>(i)].selected) {
          indices[written++] = i;
        }
      }
      return written;
    }
    case LB_SELITEMRANGE:
    case LB_SELITEMRANGEEX: {
      // LB_SELITEMRANGE: select flag in wParam, first and last item in lParam's 16-bit halves.
      // LB_SELITEMRANGEEX: first in wParam and last in lParam; last below first clears.
      if (!multiple) {
        return LB_ERR;
      }
      int first = 0;
      int last = 0;
      bool select = true;
      if (message == LB_SELITEMRANGE) {
        first = LOWORD(lParam);
        last = HIWORD(lParam);
        select = wParam != 0;
      } else {
        first = AsInt(wParam);
        last = AsInt(lParam);
        if (last < first) {
          std::swap(first, last);
          select = false;
        }
      }
      if (first > last) {
        std::swap(first, last);
      }
      // A range that runs past the last item ends at the last item.
      last = std::min(last, count - 1);
      for (int i = std::max(first, 0); i <= last; ++i) {
        box.items[static_cast<std::size_t>(i)].selected = select;
      }
      Touch();
      return 0;
    }
    case LB_SETCURSEL: {
      // Single-selection lists only; -1 clears the selection (and reports LB_ERR).
      if (multiple) {
        return LB_ERR;
      }
      const int index = AsInt(wParam);
      for (ListItem& item : box.items) {
        item.selected = false;
      }
      Touch();
      if (!valid(index)) {
        return LB_ERR;
      }
      box.items[static_cast<std::size_t>(index)].selected = true;
      box.caret = index;
      box.anchor = index;
      KeepCaretVisible(box);
      return index;
    }
    case LB_GETCURSEL: {
      if (multiple) {
        return count == 0 ? LB_ERR : box.caret;  // the item with the focus rectangle
      }
      for (int i = 0; i < count; ++i) {
        if (box.items[static_cast<std::size_t>(i)].selected) {
          return i;
        }
      }
      return LB_ERR;
    }
    case LB_GETCARETINDEX:
      return count == 0 ? LB_ERR : box.caret;
    case LB_SETCARETINDEX: {
      const int index = AsInt(wParam);
      if (!valid(index)) {
        return LB_ERR;
      }
      box.caret = index;
      KeepCaretVisible(box);
      Touch();
      return 0;
    }
    case LB_GETTOPINDEX:
      return box.top;
    case LB_SETTOPINDEX: {
      const int index = AsInt(wParam);
      if (!valid(index) && !(index == 0 && count == 0)) {
        return LB_ERR;
      }
      box.top = index;
      Touch();
      return 0;
    }
    default:
      return 0;
  }
}

}  // namespace

LRESULT ControlProcedure(const std::shared_ptr<Window>& control, UINT message, WPARAM wParam,
                         LPARAM lParam) {
  LRESULT result = 0;
  if (TextMessage(*control, message, wParam, lParam, &result)) {
    return result;
  }
  switch (control->kind) {
    case WindowKind::kButton:
    case WindowKind::kGroupBox:
      return ButtonProcedure(control, message, wParam);
    case WindowKind::kProgressBar:
      return ProgressProcedure(control, message, wParam, lParam);
    case WindowKind::kListBox:
      return ListProcedure(control, message, wParam, lParam);
    default:
      return 0;
  }
}

void ListUserSelect(const std::shared_ptr<Window>& list, int index, DWORD keys) {
  if (!list) {
    return;
  }
  SetDialogFocus(list->parent, list->handle);
  bool notify = false;
  {
    std::lock_guard<std::mutex> lock(State().mutex);
    Window& box = *list;
    if (!TakesInputLocked(box) || index < 0 || index >= Count(box)) {
      return;
    }
    if ((box.style & LBS_EXTENDEDSEL) != 0) {
      if ((keys & MK_SHIFT) != 0) {
        SelectRange(box, box.anchor, index, (keys & MK_CONTROL) != 0);
      } else if ((keys & MK_CONTROL) != 0) {
        box.items[static_cast<std::size_t>(index)].selected =
            !box.items[static_cast<std::size_t>(index)].selected;
        box.anchor = index;
      } else {
        SelectOnly(box, index);
        box.anchor = index;
      }
    } else if ((box.style & LBS_MULTIPLESEL) != 0) {
      box.items[static_cast<std::size_t>(index)].selected =
          !box.items[static_cast<std::size_t>(index)].selected;
      box.anchor = index;
    } else {
      SelectOnly(box, index);
      box.anchor = index;
    }
    box.caret = index;
    KeepCaretVisible(box);
    notify = (box.style & LBS_NOTIFY) != 0;
    Touch();
  }
  // Every selecting click is reported, even one that leaves the selection as it was.
  if (notify) {
    NotifyParent(list->handle, LBN_SELCHANGE);
  }
}

void ListUserKey(const std::shared_ptr<Window>& list, Key key, DWORD keys) {
  if (!list) {
    return;
  }
  bool notify = false;
  {
    std::lock_guard<std::mutex> lock(State().mutex);
    Window& box = *list;
    const int count = Count(box);
    if (!TakesInputLocked(box) || count == 0) {
      return;
    }
    const std::vector<bool> before = Selection(box);
    const bool extended = (box.style & LBS_EXTENDEDSEL) != 0;
    const bool multiple = (box.style & LBS_MULTIPLESEL) != 0;
    if (key == Key::kSpace) {
      const auto caret = static_cast<std::size_t>(box.caret);
      if (multiple || (extended && (keys & MK_CONTROL) != 0)) {
        box.items[caret].selected = !box.items[caret].selected;
      } else {
        SelectOnly(box, box.caret);
      }
      box.anchor = box.caret;
    } else {
      int caret = box.caret;
      if (key == Key::kUp) {
        caret = std::max(0, caret - 1);
      } else if (key == Key::kDown) {
        caret = std::min(count - 1, caret + 1);
      } else if (key == Key::kHome) {
        caret = 0;
      } else if (key == Key::kEnd) {
        caret = count - 1;
      }
      box.caret = caret;
      if (extended && (keys & MK_SHIFT) != 0) {
        SelectRange(box, box.anchor, caret, (keys & MK_CONTROL) != 0);
      } else if ((extended && (keys & MK_CONTROL) != 0) || multiple) {
        // The caret moves alone.
      } else {
        SelectOnly(box, caret);
        box.anchor = caret;
      }
    }
    KeepCaretVisible(box);
    notify = (box.style & LBS_NOTIFY) != 0 && Selection(box) != before;
    Touch();
  }
  if (notify) {
    NotifyParent(list->handle, LBN_SELCHANGE);
  }
}

}  // namespace sim::ui::detail
