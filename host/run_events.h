// What a run of the program did, for scripts: the events of the run as JSON lines, and the reason
// a failed run failed.
//
// The recorder sits between the window manager and the front end that shows the program (console
// or terminal), passes every window on to it, and notes what happened: every message box with
// its answer, file dialogs with the path given, progress windows with their phases and tenths,
// and the lines that the run added to the module's debug output (ram/debug.log), among them the
// faults of the module's fault plan that fired. With an event file, each of these is written at
// once as one JSON object on a line of its own, carrying the module time at which it happened.
#pragma once

#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "host/progress_watcher.h"
#include "sim/module/machine.h"
#include "sim/ui/front_end.h"

namespace run_events {

// A line of the module's debug output that reports a fault of the fault plan (or a fault of the
// module's hardware model) rather than the program's own debug text.
bool IsFaultLine(const std::string& line);

class RunRecorder : public sim::ui::FrontEnd {
 public:
  RunRecorder() = default;
  ~RunRecorder() override;
  RunRecorder(const RunRecorder&) = delete;
  RunRecorder& operator=(const RunRecorder&) = delete;

  // The front end that shows the windows; owned by the caller, which keeps it while the recorder
  // is installed.
  void SetInner(sim::ui::FrontEnd* inner) { inner_ = inner; }
  // Writes events to a file from now on (created or emptied). False with a message when it
  // cannot be opened.
  bool OpenEventFile(const std::filesystem::path& file, std::string* error);
  // The run begins on the attached module: a "start" event with these fields; the debug output
  // written from here on belongs to the run.
  void Start(sim::Json fields);
  // The run ended: the debug output left, then an "end" event with these fields.
  void End(sim::Json fields);
  // An event of the caller's ("hint"), written with the module time.
  void Note(sim::Json event);

  // Why the run failed, as far as the program said: the text of its last error box, or the
  // question that was answered No. Empty when it said nothing.
  [[nodiscard]] std::string FailureMessage() const;

  void WindowOpened(const sim::ui::WindowView& window) override;
  void WindowServed(HWND window) override;
  void WindowClosed(const sim::ui::WindowView& window) override;
  void Finish() override;

 private:
  struct Operation {
    double opened = 0;
    bool announced = false;
  };
  void Emit(sim::Json event);                        // with mutex_ held
  void DrainDebugLog();                              // with mutex_ held
  void AnnounceOperations();                         // with mutex_ held
  void Announce(HWND window, Operation& operation);  // with mutex_ held
  void ProgressStep(const progress_watch::Step& step);

  sim::ui::FrontEnd* inner_ = nullptr;
  mutable std::mutex mutex_;
  std::FILE* events_ = nullptr;
  std::filesystem::path debugLog_;
  std::uintmax_t debugRead_ = 0;  // bytes of the debug output already reported
  std::string debugPartial_;      // a line not yet ended
  std::map<HWND, Operation> operations_;
  std::string lastError_;
  std::string lastRefusal_;
  std::unique_ptr<progress_watch::ProgressWatcher> watcher_;  // only with an event file
};

}  // namespace run_events
