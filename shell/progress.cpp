// The progress window of long operations and the callbacks that draw it. The window runs as a
// modal dialog on a thread of its own; the worker changes its controls with synchronous window
// calls that the dialog's thread serves.
#include <iterator>

#include "resources/resource.h"
#include "shell/shell.h"

HWND ProgressDialogHandle = nullptr;
volatile DWORD BusyFlag = 0;
DWORD ValidateThreshold = 0;
DWORD EraseBase = 0;
ImageInfo CurrentImage = {0, 0, 0, 0};

namespace {

constexpr DWORD kLargestDirectPercent = 42949672;  // done * 100 still fits in 32 bits
constexpr DWORD kBusyTick = 500;
constexpr DWORD kDoneLinger = 150;

// The thread that runs the open progress dialog, and the running busy animation. Both are kept
// so that closing the window waits for them: no thread of an operation outlives it, and an
// animation never draws into a closed window or the next operation's.
HANDLE ProgressThreadHandle = nullptr;
HANDLE BusyThreadHandle = nullptr;

// Runs the progress dialog modally; the parameter is its owner window.
DWORD ProgressThread(LPVOID parameter) {
  const auto owner = static_cast<HWND>(parameter);
  (void)DialogBoxParamW(ProgramInstance, MAKEINTRESOURCE(IDD_PROGRESS), owner, ProgressDialogProc,
                        0);
  return 0;
}

// Waits for a thread to end and closes its handle; the handle becomes null.
void JoinThread(HANDLE& thread) {
  if (thread != nullptr) {
    (void)WaitForSingleObject(thread, INFINITE);
    (void)CloseHandle(thread);
    thread = nullptr;
  }
}

void SetText(int id, const WCHAR* text) { (void)SetDlgItemTextW(ProgressDialogHandle, id, text); }

void SetRange(int id, DWORD bytes) {
  const DWORD units = bytes / 1024;
  (void)SendMessageW(GetDlgItem(ProgressDialogHandle, id), PBM_SETRANGE32, 0,
                     static_cast<LPARAM>(units > 1 ? units : 1));
}

void SetPosition(int id, DWORD bytes) {
  (void)SendMessageW(GetDlgItem(ProgressDialogHandle, id), PBM_SETPOS, bytes / 1024, 0);
}

// Ends a running animation: it notices the cleared flag after its current tick.
void StopBusyAnimation() {
  if (BusyThreadHandle != nullptr) {
    BusyFlag = 0;
    JoinThread(BusyThreadHandle);
  }
}

// One animation at a time: one still finishing its last tick is waited for first, so that it
// cannot miss the flag set for the new one.
void StartBusyAnimation() {
  StopBusyAnimation();
  BusyFlag = 1;
  BusyThreadHandle = CreateThread(nullptr, 0, BusyAnimationThread, nullptr, 0, nullptr);
}

}  // namespace

INT_PTR CALLBACK ProgressDialogProc(HWND dialog, UINT message, WPARAM /*wParam*/,
                                    LPARAM /*lParam*/) {
  switch (message) {
    case WM_INITDIALOG:
      ProgressDialogHandle = dialog;
      return FALSE;
    case WM_COMMAND:
      return TRUE;  // the window offers no way to stop an operation
    default:
      return FALSE;
  }
}

int OpenProgressDialog(HWND owner, const WCHAR* title) {
  (void)CloseProgressDialog();
  ProgressThreadHandle = CreateThread(nullptr, 0, ProgressThread, owner, 0, nullptr);
  // A dialog that cannot be made ends its thread without ever storing a handle: the operation
  // then runs without a window (drawing into none is ignored) instead of waiting for ever.
  while (ProgressThreadHandle != nullptr && ProgressDialogHandle == nullptr &&
         WaitForSingleObject(ProgressThreadHandle, 0) == WAIT_TIMEOUT) {
    Sleep(1);
  }
  (void)SetWindowTextW(ProgressDialogHandle, title);
  return 1;
}

int CloseProgressDialog() {
  StopBusyAnimation();
  // The state is cleared before the window goes: its owner takes input again at once and may
  // start the next operation while this thread still waits for the window's thread.
  HWND dialog = ProgressDialogHandle;
  HANDLE thread = ProgressThreadHandle;
  ProgressDialogHandle = nullptr;
  ProgressThreadHandle = nullptr;
  if (dialog != nullptr) {
    (void)EndDialog(dialog, 0);
  }
  JoinThread(thread);
  return 1;
}

int ProgressValidateCallback(DWORD done, DWORD total) {
  WCHAR text[64];
  if (done == 0) {
    SetRange(IDC_PROGRESS_UPPER_BAR, total);
    SetText(IDC_PROGRESS_UPPER_TEXT, u"Validating File 0%");
    // Set, not added to: a validation after an aborted one draws its percentages too.
    ValidateThreshold = total / 16;
  } else if (done < total) {
    if (done <= ValidateThreshold) {
      return 1;
    }
    const DWORD percent =
        done <= kLargestDirectPercent ? done * 100 / total : (done / 128) * 100 / (total / 128);
    (void)FormatText(text, u"Validating File %d%%", static_cast<int>(percent));
    SetText(IDC_PROGRESS_UPPER_TEXT, text);
    ValidateThreshold += total / 16;
  } else if (done == total) {
    SetText(IDC_PROGRESS_UPPER_TEXT, u"Validating File 100%");
    ValidateThreshold = 0;
  } else {
    return 1;
  }
  SetPosition(IDC_PROGRESS_UPPER_BAR, done);
  return 1;
}

int ProgressEraseCallback(DWORD done, DWORD total) {
  if (total != 0) {
    if (done == 0) {
      SetRange(IDC_PROGRESS_UPPER_BAR, total);
      SetText(IDC_PROGRESS_UPPER_TEXT, u"Erasing Flash (at 00000000)");
    }
    WCHAR text[64];
    (void)FormatText(text,
                     done < total ? u"Erasing Flash (at %.8x)" : u"Erasing Flash (at %.8x) done",
                     EraseBase + done);
    SetText(IDC_PROGRESS_UPPER_TEXT, text);
    SetPosition(IDC_PROGRESS_UPPER_BAR, done);
    return 1;
  }
  switch (done) {
    case 1:
      SetText(IDC_PROGRESS_UPPER_TEXT, u"Preparing filesystem driver. Please wait...");
      StartBusyAnimation();
      break;
    case 2:
      SetText(IDC_PROGRESS_UPPER_TEXT, u"Formatting store. Please wait...");
      break;
    case 3:
      BusyFlag = 0;
      SetText(IDC_PROGRESS_UPPER_TEXT, u"Formatting store. Please wait...done.");
      Sleep(kDoneLinger);
      break;
    default:
      break;
  }
  return 1;
}

int ProgressImageStart(const ImageInfo* info) {
  CurrentImage = *info;
  if (CurrentImage.types == REGION_CPLD_FIRMWARE) {
    return 1;
  }
  WCHAR text[96];
  (void)FormatText(text, u"Image Start: %.8x\nImage Len: %.8x (%d)", CurrentImage.start,
                   CurrentImage.dataBytes, static_cast<int>(CurrentImage.dataBytes));
  SetText(IDC_PROGRESS_LOWER_TEXT, text);
  SetRange(IDC_PROGRESS_LOWER_BAR, CurrentImage.dataBytes);
  SetPosition(IDC_PROGRESS_LOWER_BAR, 0);
  return 1;
}

int ProgressSectionCallback(DWORD start, DWORD length, DWORD /*checksum*/) {
  if (CurrentImage.types == REGION_CPLD_FIRMWARE) {
    SetText(IDC_PROGRESS_UPPER_TEXT, u"Updating CPLD. Please wait...");
    StartBusyAnimation();
    SetText(IDC_PROGRESS_LOWER_TEXT, u"");
    return 1;
  }
  WCHAR text[96];
  (void)FormatText(text, u"Section Start: %.8x\nSection Len: %.8x (%d)", start, length,
                   static_cast<int>(length));
  SetText(IDC_PROGRESS_UPPER_TEXT, text);
  SetRange(IDC_PROGRESS_UPPER_BAR, length);
  SetPosition(IDC_PROGRESS_UPPER_BAR, 0);
  return 1;
}

int ProgressWriteCallback(DWORD sectionDone, DWORD imageDone) {
  if (CurrentImage.types == REGION_CPLD_FIRMWARE && imageDone != 0) {
    BusyFlag = 0;
    SetText(IDC_PROGRESS_UPPER_TEXT, u"Updating CPLD. Please wait...done.");
    Sleep(kDoneLinger);
    return 1;
  }
  SetPosition(IDC_PROGRESS_UPPER_BAR, sectionDone);
  SetPosition(IDC_PROGRESS_LOWER_BAR, imageDone);
  return 1;
}

DWORD BusyAnimationThread(LPVOID /*parameter*/) {
  HWND bar = GetDlgItem(ProgressDialogHandle, IDC_PROGRESS_UPPER_BAR);
  (void)SendMessageW(bar, PBM_SETRANGE32, 0, 2);
  WPARAM position = 0;
  while (BusyFlag == 1) {
    (void)SendMessageW(bar, PBM_SETPOS, position, 0);
    Sleep(kBusyTick);
    if (++position > 2) {
      position = 0;
    }
  }
  (void)SendMessageW(bar, PBM_SETPOS, 2, 0);
  return 0;
}
