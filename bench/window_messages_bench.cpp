// Host cost of the window calls that the progress callbacks make from a worker thread: every
// message crosses to the progress window's own thread and back.
#include <benchmark/benchmark.h>

#include <thread>

#include "bench/bench_support.h"
#include "platform/window.h"
#include "resources/resource.h"
#include "sim/ui/front_end.h"

namespace {

INT_PTR CALLBACK ProgressProcedure(HWND, UINT message, WPARAM, LPARAM) {
  return message == WM_COMMAND ? TRUE : FALSE;
}

// The progress window, running modally on a thread of its own.
class ProgressWindow {
 public:
  ProgressWindow() {
    InitCommonControls();
    thread_ = std::thread([] {
      DialogBoxParamW(sim::ui::ProgramInstance(), MAKEINTRESOURCE(IDD_PROGRESS), nullptr,
                      ProgressProcedure, 0);
    });
    while (handle_ == nullptr) {
      for (const sim::ui::WindowView& view : sim::ui::OpenWindows()) {
        if (view.templateId == IDD_PROGRESS && view.visible) {
          handle_ = view.handle;
        }
      }
      std::this_thread::yield();
    }
  }
  ~ProgressWindow() {
    EndDialog(handle_, 0);
    thread_.join();
  }
  ProgressWindow(const ProgressWindow&) = delete;
  ProgressWindow& operator=(const ProgressWindow&) = delete;
  [[nodiscard]] HWND Handle() const { return handle_; }

 private:
  HWND handle_ = nullptr;
  std::thread thread_;
};

void BM_ProgressPositionFromWorker(benchmark::State& state) {
  bench_support::BenchModule module("pxa320");
  ProgressWindow window;
  HWND bar = GetDlgItem(window.Handle(), IDC_PROGRESS_UPPER_BAR);
  SendMessageW(bar, PBM_SETRANGE32, 0, 1 << 20);
  WPARAM position = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(SendMessageW(bar, PBM_SETPOS, position++ & 0xFFFFF, 0));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ProgressPositionFromWorker)->UseRealTime();

void BM_ProgressTextFromWorker(benchmark::State& state) {
  bench_support::BenchModule module("pxa320");
  ProgressWindow window;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        SetDlgItemTextW(window.Handle(), IDC_PROGRESS_UPPER_TEXT, u"Erasing Flash (at 00040000)"));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ProgressTextFromWorker)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
