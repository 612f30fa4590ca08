// A small program over the terminal front end, for its test under tmux: the region template with
// a dialog procedure of its own (not the program's), a save dialog, a progress window on a
// thread of its own and message boxes. What the user did is written to a result file.
//
//   terminal_demo MODULE_DIR RESULT_FILE   (a missing MODULE_DIR is created from the default
//   preset)
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "platform/kernel.h"
#include "platform/text.h"
#include "platform/window.h"
#include "resources/resource.h"
#include "sim/base/utf.h"
#include "sim/module/machine.h"
#include "sim/ui/front_end.h"

namespace {

std::ofstream result;
std::thread eraser;

void Note(const std::string& line) {
  result << line << "\n";
  result.flush();
}

INT_PTR CALLBACK ProgressProcedure(HWND, UINT message, WPARAM, LPARAM) {
  return message == WM_COMMAND ? TRUE : FALSE;
}

// Erase: a progress window on its own thread, drawn into from this worker, then the answer.
DWORD EraseWorker(HWND owner) {
  HWND progress = nullptr;
  std::thread window([owner] {
    DialogBoxParamW(sim::ui::ProgramInstance(), MAKEINTRESOURCE(IDD_PROGRESS), owner,
                    ProgressProcedure, 0);
  });
  while (progress == nullptr) {
    for (const sim::ui::WindowView& view : sim::ui::OpenWindows()) {
      if (view.templateId == IDD_PROGRESS && view.visible) {
        progress = view.handle;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  SetWindowTextW(progress, u"Image Erase");
  HWND bar = GetDlgItem(progress, IDC_PROGRESS_UPPER_BAR);
  SendMessageW(bar, PBM_SETRANGE32, 0, 64);
  for (int block = 0; block <= 64; block += 16) {
    WCHAR text[64];
    FormatText(text, u"Erasing Flash (at %.8x)", static_cast<unsigned>(block * 0x10000));
    SetDlgItemTextW(progress, IDC_PROGRESS_UPPER_TEXT, text);
    SendMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(block), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
  }
  EndDialog(progress, 0);
  window.join();
  MessageBoxW(owner, u"Region(s) successfully erased", u"Success", MB_OK);
  Note("erased");
  return 0;
}

void ShowSelection(HWND dialog) {
  int indices[8] = {};
  const LRESULT count = SendDlgItemMessageW(dialog, IDC_REGION_LIST, LB_GETSELITEMS, 8,
                                            reinterpret_cast<LPARAM>(indices));
  WCHAR text[32];
  FormatText(text, u"%d selected", static_cast<int>(count));
  SetDlgItemTextW(dialog, IDC_REGION_START, text);
  EnableWindow(GetDlgItem(dialog, IDC_REGION_BACKUP), count > 0);
  EnableWindow(GetDlgItem(dialog, IDC_REGION_ERASE), count > 0);
  std::string picked;
  for (LRESULT i = 0; i < count; ++i) {
    picked += (i == 0 ? "" : ",") + std::to_string(indices[i]);
  }
  Note("selected " + picked);
}

void Backup(HWND dialog) {
  WCHAR file[MAX_PATH] = u"FlashBackup";
  OPENFILENAMEW request{};
  request.lStructSize = sizeof(request);
  request.hwndOwner = dialog;
  request.lpstrFilter = u"IMAGE files\0*.bin\0";
  request.nFilterIndex = 1;
  request.lpstrFile = file;
  request.nMaxFile = MAX_PATH;
  request.lpstrTitle = u"Save Region As";
  request.lpstrDefExt = u"bin";
  request.Flags = OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;
  if (!GetSaveFileNameW(&request)) {
    Note("backup cancelled");
    return;
  }
  WCHAR text[300];
  FormatText(text, u"Saved to %s", file);
  MessageBoxW(dialog, text, u"Backup", MB_OK);
  Note("saved " + sim::ToUtf8(file));
}

INT_PTR CALLBACK RegionProcedure(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      for (const char16_t* name :
           {u"Bootloader", u"Config Block", u"OS Image", u"Registry", u"File System"}) {
        SendDlgItemMessageW(dialog, IDC_REGION_LIST, LB_ADDSTRING, 0,
                            reinterpret_cast<LPARAM>(name));
      }
      return TRUE;
    case WM_LBUTTONDOWN:
      if ((wParam & MK_RBUTTON) != 0 ||
          (wParam & (MK_SHIFT | MK_CONTROL)) == (MK_SHIFT | MK_CONTROL)) {
        ShowWindow(GetDlgItem(dialog, IDC_REGION_BACKUP_ALL), SW_SHOW);
        ShowWindow(GetDlgItem(dialog, IDC_REGION_ERASE), SW_SHOW);
        Note("revealed");
      }
      return TRUE;
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDCANCEL:
          EndDialog(dialog, 0);
          break;
        case IDC_REGION_LIST:
          if (HIWORD(wParam) == LBN_SELCHANGE) {
            ShowSelection(dialog);
          }
          break;
        case IDC_REGION_BACKUP:
          Backup(dialog);
          break;
        case IDC_REGION_ERASE:
          if (!eraser.joinable()) {
            eraser = std::thread([dialog] { EraseWorker(dialog); });
          }
          break;
        default:
          break;
      }
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: terminal_demo MODULE_DIR RESULT_FILE\n");
    return 2;
  }
  result.open(argv[2]);
  std::string error;
  if (!std::filesystem::exists(argv[1])) {
    // A module of the default kind, for runs by hand.
    sim::PresetSpec presetSpec;
    if (!sim::FindPreset(sim::kDefaultPreset, 0, &presetSpec, &error) ||
        !sim::CreateModule(argv[1], presetSpec, &error)) {
      std::fprintf(stderr, "terminal_demo: %s\n", error.c_str());
      return 2;
    }
  }
  if (!sim::Attach(argv[1], sim::AttachOptions{}, &error)) {
    std::fprintf(stderr, "terminal_demo: %s\n", error.c_str());
    return 2;
  }
  std::error_code ignored;
  std::filesystem::create_directories(sim::CurrentMachine().FilesDirectory() / "USB HD", ignored);
  CreateDirectoryW(u"\\USB HD\\IMAGES", nullptr);
  std::unique_ptr<sim::ui::FrontEnd> frontEnd = sim::ui::CreateFrontEnd("terminal", {}, &error);
  if (!frontEnd) {
    std::fprintf(stderr, "terminal_demo: %s\n", error.c_str());
    sim::Detach();
    return 2;
  }
  sim::ui::InstallFrontEnd(frontEnd.get());
  InitCommonControls();
  const INT_PTR ended = DialogBoxParamW(sim::ui::ProgramInstance(), MAKEINTRESOURCE(IDD_REGION),
                                        nullptr, RegionProcedure, 0);
  if (eraser.joinable()) {
    eraser.join();
  }
  Note("ended " + std::to_string(ended));
  frontEnd->Finish();
  sim::ui::InstallFrontEnd(nullptr);
  sim::Detach();
  return 0;
}
