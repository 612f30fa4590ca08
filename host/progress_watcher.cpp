#include "host/progress_watcher.h"

#include <algorithm>
#include <vector>

#include "sim/base/utf.h"
#include "sim/module/machine.h"

namespace progress_watch {
namespace {

using sim::ui::ControlView;
using sim::ui::WindowKind;
using sim::ui::WindowView;

// The first line of a text without what varies within a phase: from the first digit or
// parenthesis on ("Erasing Flash (at 00040000)", "Validating File 30%"), and trailing blanks and
// colons ("Section Start: 00040000").
std::string PhaseOf(const std::u16string& text) {
  std::u16string phase = text.substr(0, text.find_first_of(u"\r\n"));
  const std::size_t cut = phase.find_first_of(u"0123456789(");
  if (cut != std::u16string::npos) {
    phase.resize(cut);
  }
  while (!phase.empty() && (phase.back() == u' ' || phase.back() == u':')) {
    phase.pop_back();
  }
  return sim::ToUtf8(phase);
}

int Percent(const ControlView& bar) {
  const long long span = static_cast<long long>(bar.rangeHigh) - bar.rangeLow;
  if (span <= 0) {
    return 0;
  }
  const long long done = static_cast<long long>(bar.position) - bar.rangeLow;
  return static_cast<int>(std::clamp(done * 100 / span, 0LL, 100LL));
}

}  // namespace

bool IsProgressWindow(const WindowView& window) {
  if (window.kind != WindowKind::kDialog || (window.style & WS_SYSMENU) != 0) {
    return false;
  }
  return std::any_of(window.controls.begin(), window.controls.end(),
                     [](const ControlView& c) { return c.kind == WindowKind::kProgressBar; });
}

bool StepOf(const WindowView& window, Step* step) {
  const ControlView* text = nullptr;
  std::vector<const ControlView*> bars;
  for (const ControlView& control : window.controls) {
    if (control.kind == WindowKind::kStatic && text == nullptr) {
      text = &control;
    } else if (control.kind == WindowKind::kProgressBar) {
      bars.push_back(&control);
    }
  }
  if (text == nullptr || bars.empty()) {
    return false;
  }
  step->window = window.handle;
  step->operation = sim::ToUtf8(window.caption);
  step->phase = PhaseOf(text->text);
  if (step->phase.empty()) {
    return false;
  }
  const ControlView& upper = *bars.front();
  if (step->phase.rfind("Section", 0) == 0 && bars.size() > 1) {
    // Each section fills the upper bar anew; the lower one is the whole operation.
    step->percent = Percent(*bars[1]);
  } else if (step->phase.find("...") != std::string::npos) {
    step->percent = -1;  // "Please wait...": a busy animation cycles the bar
  } else {
    step->percent = Percent(upper);
  }
  step->moduleTime = ModuleTime();
  return true;
}

double ModuleTime() {
  if (!sim::IsAttached()) {
    return 0;
  }
  return static_cast<double>(sim::CurrentMachine().Clock().SinceAttach()) / 1e9;
}

void ProgressWatcher::Follow(HWND window) {
  std::lock_guard<std::mutex> lock(mutex_);
  followed_.try_emplace(window);
}

void ProgressWatcher::Served(HWND window) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = followed_.find(window);
  if (it == followed_.end()) {
    return;
  }
  WindowView view;
  if (sim::ui::GetWindowView(window, &view)) {
    Look(view, it->second);
  }
}

void ProgressWatcher::Closed(const WindowView& window) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = followed_.find(window.handle);
  if (it == followed_.end()) {
    return;
  }
  Look(window, it->second);
  followed_.erase(it);
}

void ProgressWatcher::Look(const WindowView& window, Followed& followed) {
  Step step;
  if (!StepOf(window, &step)) {
    return;
  }
  const int tenth = step.percent < 0 ? -1 : step.percent / 10;
  if (step.phase == followed.phase && tenth <= followed.tenth) {
    return;
  }
  followed.phase = step.phase;
  followed.tenth = tenth;
  report_(step);
}

}  // namespace progress_watch
