// Follows the program's progress windows for front ends that report progress as text: the
// console's progress lines and the event log of a run.
//
// A progress window shows a line of text naming what is being done ("Erasing Flash (at
// 00040000)") over a bar, and a second bar for the whole operation. The worker changes them with
// messages that the window's thread serves; the watcher reads the window after each one (the
// front end's WindowServed), so it misses no step however fast the module works, and reports a
// step when the phase (the text without its numbers) changes and each time the amount passes
// another tenth, never once per percent.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "sim/ui/front_end.h"

namespace progress_watch {

struct Step {
  HWND window = nullptr;
  std::string operation;  // the window's title ("Image Update")
  std::string phase;      // its text without numbers ("Erasing Flash")
  int percent = -1;       // -1: the phase shows no amount (a busy animation)
  double moduleTime = 0;  // seconds of module time since this process attached
};

// A dialog that waits for nobody (no close command) and shows a progress bar.
bool IsProgressWindow(const sim::ui::WindowView& window);
// The step a progress window shows now; false when its text names no phase yet.
bool StepOf(const sim::ui::WindowView& window, Step* step);
// Seconds of module time since this process attached (0 when no module is attached).
double ModuleTime();

class ProgressWatcher {
 public:
  using Report = std::function<void(const Step&)>;
  // Steps are reported one at a time, on the thread that calls Served or Closed.
  explicit ProgressWatcher(Report report) : report_(std::move(report)) {}

  // Follows a progress window from now on (from the front end's WindowOpened).
  void Follow(HWND window);
  // A message to the window has been served (from the front end's WindowServed): looks at it.
  void Served(HWND window);
  // Takes a last look at a window as it closed (its final text and bars) and lets it go.
  void Closed(const sim::ui::WindowView& window);

 private:
  struct Followed {
    std::string phase;
    int tenth = -1;  // the last tenth of the amount reported in this phase
  };
  void Look(const sim::ui::WindowView& window, Followed& followed);

  Report report_;
  std::mutex mutex_;
  std::map<HWND, Followed> followed_;
};

}  // namespace progress_watch
