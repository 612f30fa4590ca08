// The console front end: for batch runs and scripts.
//
// Every message box is printed as its caption and text and answered from the answers given on
// the command line, in order (button names: ok, cancel, yes, no, abort, retry, ignore); when none
// is left, the box's default button answers it, as Enter would. File dialogs take the next
// answer as the path (a module path such as "\USB HD\IMAGES\x.bin"), and are cancelled when none
// is left or the path is refused. A dialog that waits for a person (one with a close command)
// is closed, since nobody is there to use it. A window without buttons (the progress window) is
// left to the program: what it is doing is printed as it goes, a line for each phase and for each
// tenth of the work, with the module time, and the module time it stayed open when it closes.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/progress_watcher.h"
#include "sim/base/utf.h"
#include "sim/module/machine.h"
#include "sim/ui/front_end.h"

namespace {

using sim::ui::FrontEnd;
using sim::ui::FrontEndOptions;
using sim::ui::WindowKind;
using sim::ui::WindowView;

struct ButtonName {
  int id;
  const char* name;
  const char* label;
};

constexpr ButtonName kButtonNames[] = {
    {IDOK, "ok", "OK"},
    {IDCANCEL, "cancel", "Cancel"},
    {IDYES, "yes", "Yes"},
    {IDNO, "no", "No"},
    {IDABORT, "abort", "Abort"},
    {IDRETRY, "retry", "Retry"},
    {IDIGNORE, "ignore", "Ignore"},
};

const char* Label(int button) {
  for (const ButtonName& name : kButtonNames) {
    if (name.id == button) {
      return name.label;
    }
  }
  return "?";
}

int ButtonByName(std::string text) {
  for (char& c : text) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  for (const ButtonName& name : kButtonNames) {
    if (text == name.name) {
      return name.id;
    }
  }
  return 0;
}

// The box's text as lines: the module's "\r\n" and "\n" both end a line.
std::vector<std::string> Lines(const std::u16string& text) {
  std::vector<std::string> lines(1);
  for (char16_t c : text) {
    if (c == u'\r') {
      continue;
    }
    if (c == u'\n') {
      lines.emplace_back();
      continue;
    }
    lines.back() += sim::ToUtf8(std::u16string(1, c));
  }
  return lines;
}

class ConsoleFrontEnd : public FrontEnd {
 public:
  ConsoleFrontEnd(const FrontEndOptions& options, std::FILE* out)
      : answers_(options.answers.begin(), options.answers.end()),
        out_(out),
        watcher_([this](const progress_watch::Step& step) { PrintStep(step); }) {}

  void WindowOpened(const WindowView& window) override {
    switch (window.kind) {
      case WindowKind::kMessageBox:
        AnswerBox(window);
        break;
      case WindowKind::kFileDialog:
        AnswerFileDialog(window);
        break;
      case WindowKind::kDialog:
        OpenDialog(window);
        break;
      default:
        break;
    }
  }

  void WindowServed(HWND window) override { watcher_.Served(window); }

  void WindowClosed(const WindowView& window) override {
    watcher_.Closed(window);  // its last step first, then how long it took
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = progressStart_.find(window.handle);
    if (it == progressStart_.end()) {
      return;
    }
    const std::uint64_t start = it->second;
    progressStart_.erase(it);
    if (!sim::IsAttached()) {
      return;
    }
    const double seconds = static_cast<double>(sim::CurrentMachine().Clock().Now() - start) / 1e9;
    std::fprintf(out_, "%s: %.3f s of module time\n", sim::ToUtf8(window.caption).c_str(), seconds);
    std::fflush(out_);
  }

 private:
  bool NextAnswer(std::string* answer) {
    if (answers_.empty()) {
      return false;
    }
    *answer = answers_.front();
    answers_.pop_front();
    return true;
  }

  void AnswerBox(const WindowView& window) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::vector<std::string> lines = Lines(window.box.text);
    const std::string caption = sim::ToUtf8(window.caption);
    std::fprintf(out_, "[%s] %s\n", caption.c_str(), lines.front().c_str());
    for (std::size_t i = 1; i < lines.size(); ++i) {
      std::fprintf(out_, "%*s%s\n", static_cast<int>(caption.size() + 3), "", lines[i].c_str());
    }
    int button = window.box.defaultButton;
    std::string answer;
    if (NextAnswer(&answer)) {
      const int named = ButtonByName(answer);
      if (named != 0 && std::find(window.box.buttons.begin(), window.box.buttons.end(), named) !=
                            window.box.buttons.end()) {
        button = named;
      } else {
        std::string offered;
        for (int id : window.box.buttons) {
          offered.append(offered.empty() ? "" : "/").append(Label(id));
        }
        std::fprintf(stderr,
                     "flashwick: answer \"%s\" does not fit a box with the buttons %s; taking "
                     "its default button\n",
                     answer.c_str(), offered.c_str());
      }
    }
    std::fprintf(out_, "  -> %s\n", Label(button));
    std::fflush(out_);
    sim::ui::AnswerMessageBox(window.handle, button);
  }

  void AnswerFileDialog(const WindowView& window) {
    std::lock_guard<std::mutex> lock(mutex_);
    const sim::ui::FileDialogView& file = window.file;
    std::string filter;
    if (file.filterIndex < file.filters.size()) {
      const sim::ui::FileFilter& chosen = file.filters[file.filterIndex];
      filter.append(" ").append(sim::ToUtf8(chosen.description));
      filter.append(" (").append(sim::ToUtf8(chosen.pattern)).append(")");
    }
    std::fprintf(out_, "[%s]%s in %s\n", sim::ToUtf8(file.title).c_str(), filter.c_str(),
                 sim::ToUtf8(file.folder).c_str());
    std::string path;
    if (!NextAnswer(&path)) {
      std::fprintf(out_, "  -> cancelled (no file given)\n");
      std::fflush(out_);
      sim::ui::CancelFileDialog(window.handle);
      return;
    }
    std::string why;
    if (sim::ui::AnswerFileDialog(window.handle, sim::FromUtf8(path), &why)) {
      std::fprintf(out_, "  -> %s\n", path.c_str());
    } else {
      std::fprintf(out_, "  -> %s: %s; cancelled\n", path.c_str(), why.c_str());
      sim::ui::CancelFileDialog(window.handle);
    }
    std::fflush(out_);
  }

  void OpenDialog(const WindowView& window) {
    if ((window.style & WS_SYSMENU) != 0) {
      std::lock_guard<std::mutex> lock(mutex_);
      std::fprintf(out_, "%s: this dialog needs a person (use --ui terminal); closing it\n",
                   sim::ToUtf8(window.caption).c_str());
      std::fflush(out_);
      sim::ui::CloseWindow(window.handle);
      return;
    }
    if (sim::IsAttached()) {
      std::lock_guard<std::mutex> lock(mutex_);
      progressStart_[window.handle] = sim::CurrentMachine().Clock().Now();
    }
    if (progress_watch::IsProgressWindow(window)) {
      watcher_.Follow(window.handle);
    }
  }

  // "Image Update: Erasing Flash 40% (module time 1.234 s)"
  void PrintStep(const progress_watch::Step& step) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string amount;
    if (step.percent >= 0) {
      amount = " " + std::to_string(step.percent) + "%";
    }
    std::fprintf(out_, "%s: %s%s (module time %.3f s)\n", step.operation.c_str(),
                 step.phase.c_str(), amount.c_str(), step.moduleTime);
    std::fflush(out_);
  }

  std::mutex mutex_;
  std::deque<std::string> answers_;
  std::FILE* out_;
  std::map<HWND, std::uint64_t> progressStart_;
  progress_watch::ProgressWatcher watcher_;
};

std::unique_ptr<FrontEnd> CreateConsole(const FrontEndOptions& options, std::string* /*error*/) {
  return std::make_unique<ConsoleFrontEnd>(options, stdout);
}

const sim::ui::FrontEndRegistrar kConsole("console", CreateConsole);

}  // namespace
