#include "host/run_events.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <fstream>
#include <vector>

#include "sim/base/utf.h"

namespace run_events {
namespace {

namespace fs = std::filesystem;
using sim::Json;
using sim::ui::WindowKind;
using sim::ui::WindowView;

const char* ButtonName(INT_PTR button) {
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

const char* IconName(UINT icon) {
  switch (icon) {
    case MB_ICONHAND:
      return "stop";
    case MB_ICONQUESTION:
      return "question";
    case MB_ICONEXCLAMATION:
      return "exclamation";
    case MB_ICONASTERISK:
      return "information";
    default:
      return "none";
  }
}

// A box's text on one line: its lines joined by blanks, empty ones left out.
std::string OneLine(const std::u16string& text) {
  std::string line;
  std::string current;
  auto flush = [&] {
    while (!current.empty() && current.back() == ' ') {
      current.pop_back();
    }
    const std::size_t first = current.find_first_not_of(' ');
    if (first != std::string::npos) {
      line.append(line.empty() ? "" : " ").append(current.substr(first));
    }
    current.clear();
  };
  for (char16_t c : text) {
    if (c == u'\r' || c == u'\n') {
      flush();
    } else {
      current += sim::ToUtf8(std::u16string(1, c == u'\t' ? u' ' : c));
    }
  }
  flush();
  return line;
}

bool IsPersonDialog(const WindowView& window) {
  return window.kind == WindowKind::kDialog && (window.style & WS_SYSMENU) != 0;
}

double Rounded(double seconds) { return std::round(seconds * 1e6) / 1e6; }

// One line of the event file; text that is not valid UTF-8 is replaced, never refused.
void WriteLine(std::FILE* out, const Json& event) {
  std::fprintf(out, "%s\n", event.dump(-1, ' ', false, Json::error_handler_t::replace).c_str());
  std::fflush(out);
}

}  // namespace

bool IsFaultLine(const std::string& line) {
  std::string lower = line;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower.find("fault") != std::string::npos || lower.find("power cut") != std::string::npos;
}

RunRecorder::~RunRecorder() {
  if (events_ != nullptr) {
    std::fclose(events_);
  }
}

bool RunRecorder::OpenEventFile(const fs::path& file, std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  events_ = std::fopen(file.c_str(), "w");
  if (events_ == nullptr) {
    *error = file.string() + ": cannot write the events there";
    return false;
  }
  watcher_ = std::make_unique<progress_watch::ProgressWatcher>(
      [this](const progress_watch::Step& step) { ProgressStep(step); });
  return true;
}

void RunRecorder::Start(Json fields) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (sim::IsAttached()) {
    debugLog_ = sim::CurrentMachine().RamDirectory() / "debug.log";
    std::error_code code;
    debugRead_ = fs::exists(debugLog_, code) ? fs::file_size(debugLog_, code) : 0;
    if (code) {
      debugRead_ = 0;
    }
  }
  fields["event"] = "start";
  Emit(std::move(fields));
}

void RunRecorder::End(Json fields) {
  std::lock_guard<std::mutex> lock(mutex_);
  fields["event"] = "end";
  Emit(std::move(fields));
}

void RunRecorder::Note(Json event) {
  std::lock_guard<std::mutex> lock(mutex_);
  Emit(std::move(event));
}

std::string RunRecorder::FailureMessage() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lastError_.empty() ? lastRefusal_ : lastError_;
}

void RunRecorder::WindowOpened(const WindowView& window) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (progress_watch::IsProgressWindow(window)) {
      operations_[window.handle] = Operation{progress_watch::ModuleTime(), false};
      if (watcher_ != nullptr) {
        watcher_->Follow(window.handle);
      }
    } else if (IsPersonDialog(window)) {
      Emit({{"event", "dialogOpened"}, {"caption", sim::ToUtf8(window.caption)}});
    }
  }
  if (inner_ != nullptr) {
    inner_->WindowOpened(window);
  }
}

void RunRecorder::WindowServed(HWND window) {
  if (watcher_ != nullptr) {
    watcher_->Served(window);
  }
  if (inner_ != nullptr) {
    inner_->WindowServed(window);
  }
}

void RunRecorder::WindowClosed(const WindowView& window) {
  if (watcher_ != nullptr) {
    watcher_->Closed(window);
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    switch (window.kind) {
      case WindowKind::kMessageBox: {
        Json buttons = Json::array();
        for (int button : window.box.buttons) {
          buttons.push_back(ButtonName(button));
        }
        const std::string text = OneLine(window.box.text);
        Emit({{"event", "messageBox"},
              {"caption", sim::ToUtf8(window.caption)},
              {"text", sim::ToUtf8(window.box.text)},
              {"icon", IconName(window.box.icon)},
              {"buttons", buttons},
              {"answer", ButtonName(window.result)}});
        if (window.box.icon == MB_ICONHAND) {
          lastError_ = text;
          lastRefusal_.clear();
        } else if ((window.result == IDNO || window.result == IDCANCEL) &&
                   window.box.buttons.size() > 1) {
          lastError_.clear();
          lastRefusal_ = std::string("answered ") + ButtonName(window.result) + " to \"" + text +
                         "\" (" + sim::ToUtf8(window.caption) + ")";
        }
        break;
      }
      case WindowKind::kFileDialog: {
        const bool chosen = window.result == IDOK;
        Emit({{"event", "fileDialog"},
              {"title", sim::ToUtf8(window.file.title)},
              {"folder", sim::ToUtf8(window.file.folder)},
              {"answer", chosen ? Json(sim::ToUtf8(window.chosenPath)) : Json(nullptr)}});
        if (!chosen) {
          lastError_.clear();
          lastRefusal_ = "no file was chosen in \"" + sim::ToUtf8(window.file.title) + "\"";
        }
        break;
      }
      case WindowKind::kDialog: {
        auto it = operations_.find(window.handle);
        if (it != operations_.end()) {
          Announce(window.handle, it->second);
          const double now = progress_watch::ModuleTime();
          Emit({{"event", "operationEnd"},
                {"operation", sim::ToUtf8(window.caption)},
                {"seconds", Rounded(now - it->second.opened)}});
          operations_.erase(it);
        } else if (IsPersonDialog(window)) {
          Emit({{"event", "dialogClosed"}, {"caption", sim::ToUtf8(window.caption)}});
        }
        break;
      }
      default:
        break;
    }
  }
  if (inner_ != nullptr) {
    inner_->WindowClosed(window);
  }
}

void RunRecorder::Finish() {
  if (inner_ != nullptr) {
    inner_->Finish();
  }
}

void RunRecorder::ProgressStep(const progress_watch::Step& step) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = operations_.find(step.window);
  if (it != operations_.end()) {
    Announce(step.window, it->second);
  }
  Emit({{"event", "progress"},
        {"operation", step.operation},
        {"phase", step.phase},
        {"percent", step.percent >= 0 ? Json(step.percent) : Json(nullptr)},
        {"moduleTime", Rounded(step.moduleTime)}});
}

// The title of a progress window is set just after it opens, so its start is written once it
// has one: at its first step, its end, or the next other event.
void RunRecorder::Announce(HWND window, Operation& operation) {
  if (operation.announced || events_ == nullptr) {
    return;
  }
  operation.announced = true;
  WindowView view;
  std::string title = "?";
  if (sim::ui::GetWindowView(window, &view)) {
    title = sim::ToUtf8(view.caption);
  }
  DrainDebugLog();
  WriteLine(events_, {{"event", "operationStart"},
                      {"operation", title},
                      {"moduleTime", Rounded(operation.opened)}});
}

void RunRecorder::AnnounceOperations() {
  for (auto& [window, operation] : operations_) {
    Announce(window, operation);
  }
}

void RunRecorder::Emit(Json event) {
  if (events_ == nullptr) {
    return;
  }
  DrainDebugLog();
  if (event.value("event", "") != "operationStart") {
    AnnounceOperations();
  }
  if (!event.contains("moduleTime")) {
    event["moduleTime"] = Rounded(progress_watch::ModuleTime());
  }
  WriteLine(events_, event);
}

// The lines the run added to the module's debug output since the last look. A module reset by
// another process starts the output afresh.
void RunRecorder::DrainDebugLog() {
  if (events_ == nullptr || debugLog_.empty()) {
    return;
  }
  std::ifstream in(debugLog_, std::ios::binary);
  if (!in) {
    return;
  }
  in.seekg(0, std::ios::end);
  const auto size = static_cast<std::uintmax_t>(in.tellg());
  if (size < debugRead_) {
    debugRead_ = 0;
    debugPartial_.clear();
  }
  if (size == debugRead_) {
    return;
  }
  in.seekg(static_cast<std::streamoff>(debugRead_));
  std::string added(static_cast<std::size_t>(size - debugRead_), '\0');
  in.read(added.data(), static_cast<std::streamsize>(added.size()));
  added.resize(static_cast<std::size_t>(in.gcount()));
  debugRead_ += added.size();
  debugPartial_ += added;
  std::size_t start = 0;
  for (std::size_t end = debugPartial_.find('\n'); end != std::string::npos;
       end = debugPartial_.find('\n', start)) {
    std::string line = debugPartial_.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    WriteLine(events_, {{"event", IsFaultLine(line) ? "fault" : "debug"},
                        {"line", line},
                        {"moduleTime", Rounded(progress_watch::ModuleTime())}});
  }
  debugPartial_.erase(0, start);
}

}  // namespace run_events
