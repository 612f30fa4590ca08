// The main dialog: registry, update, backup, versions and reset.
#include <initializer_list>
#include <iterator>

#include "cpld/cpld.h"
#include "flash/kernel_mode.h"
#include "library/version_records.h"
#include "resources/resource.h"
#include "shell/shell.h"

HWND MainDialogHandle = nullptr;

namespace {

constexpr size_t kVersionTextUnits = 256;

// The running update; only the dialog's own thread touches it.
HANDLE UpdateThread = nullptr;

// The update's windows keep the dialog from input for most of its run, but not in the moments
// between them: a press there must not start a second operation on the flash, open the region
// dialog (backup and erase), reset the module under the update or end the program.
bool UpdateRunning() {
  if (UpdateThread == nullptr) {
    return false;
  }
  if (WaitForSingleObject(UpdateThread, 0) == WAIT_TIMEOUT) {
    return true;
  }
  (void)CloseHandle(UpdateThread);
  UpdateThread = nullptr;
  return false;
}

void BetaText(DWORD minorAndBuild, WCHAR* text, size_t capacity) {
  text[0] = 0;
  if ((minorAndBuild >> 16) != 0) {
    (void)FormatText(text, capacity, u"BETA, Build %d", static_cast<int>(minorAndBuild >> 16));
  }
}

void ShowVersionBox(HWND dialog) {
  VersionInfo version{};
  WCHAR date[kDateTextUnits] = {};
  WCHAR text[kVersionTextUnits] = {};
  WCHAR beta[32];
  ReadBootloaderVersion(&version, date);
  BetaText(version.minorAndBuild, beta, std::size(beta));
  (void)FormatText(text, u"Bootloader (in Flash)\r\nID:\t%s\r\nVer:\t%d.%d %s\r\nBuilt:\t%s",
                   version.id == 1 ? u"KESTRIN" : u"UNKNOWN", static_cast<int>(version.major),
                   static_cast<int>(version.minorAndBuild & 0xFFFF), beta, date);
  // The running image's record is read into the same record: an image that does not answer
  // repeats what the bootloader's gave.
  ReadImageVersion(&version, date);
  BetaText(version.minorAndBuild, beta, std::size(beta));
  WCHAR image[kVersionTextUnits];
  (void)FormatText(image,
                   u"\r\n\r\nImage (current running)\r\nID:\t%s\r\nVer:\t%d.%d %s\r\nBuilt:\t%s",
                   version.id == 1 ? u"KESTRIN" : u"UNKNOWN", static_cast<int>(version.major),
                   static_cast<int>(version.minorAndBuild & 0xFFFF), beta, date);
  (void)WideAppend(text, kVersionTextUnits, image);
  (void)MessageBoxW(dialog, text, u"BSP Version", MB_OK);
}

void ShowCpldVersion(HWND dialog) {
  if (MessageBoxW(dialog,
                  u"To read the CPLD Version the SODIMM pins 88, 90 and 92 have to be unconnected "
                  u"(e.g. on the Velmora EvalBoard)\nDo you want to continue?",
                  u"WARNING", MB_YESNO | MB_ICONEXCLAMATION | MB_DEFBUTTON2) != IDYES) {
    return;
  }
  const int open = CpldOpen();
  if (open == 3 || open == 4) {
    ShowError(dialog, u"No CPLD found.");
    return;
  }
  if (open == 5) {
    ShowError(dialog, u"This CPLD version isn't supported.");
    return;
  }
  DWORD userCode = 0;
  if (CpldReadUserCode(&userCode) != 0) {
    ShowError(dialog, u"Could not read CPLD Version.");
    return;
  }
  WCHAR beta[32] = {};
  if (((userCode >> 8) & 0xFF) != 0) {
    (void)FormatText(beta, u"BETA, Build %d", static_cast<int>((userCode >> 8) & 0xF));
  }
  WCHAR text[96];
  (void)FormatText(text, u"CPLD Ver:\t%d.%d %s\r\n", static_cast<int>(userCode >> 16),
                   static_cast<int>(userCode & 0xFF), beta);
  (void)MessageBoxW(dialog, text, u"CPLD Version", MB_OK);
  (void)CpldClose();
}

void InitDialog(HWND dialog, FwlStatus status) {
  WCHAR title[32];
  (void)FormatText(title, u"Flashwick %d.%d.%d", kProgramMajor, kProgramMinor, kProgramRevision);
  (void)SetWindowTextW(dialog, title);
  if (status == FWL_ERR_FLASH_INIT) {
    ShowError(dialog, u"Could not initialize Flash.");
    for (int id : {IDC_MAIN_UPDATE, IDC_MAIN_BACKUP, IDC_MAIN_VERSION_INFO, IDC_MAIN_IMAGE_GROUP}) {
      (void)EnableWindow(GetDlgItem(dialog, id), FALSE);
    }
  } else if (status != FWL_OK) {
    WCHAR text[64];
    (void)FormatText(text, u"FWLInit: Unknown Error: %d", status);
    ShowError(dialog, text);
    return;
  }
  if (GetProcessorIdentity() == kProcessorPxa27x) {
    (void)ShowWindow(GetDlgItem(dialog, IDC_MAIN_CPLD_VERSION), SW_HIDE);
  }
  MainDialogHandle = dialog;
}

}  // namespace

INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    InitDialog(dialog, static_cast<FwlStatus>(lParam));
    return TRUE;
  }
  if (message != WM_COMMAND) {
    return FALSE;
  }
  const int id = LOWORD(wParam);
  if ((id == IDCANCEL || id == IDC_MAIN_UPDATE || id == IDC_MAIN_BACKUP ||
       id == IDC_MAIN_COLDBOOT || id == IDC_MAIN_WARMBOOT) &&
      UpdateRunning()) {
    return TRUE;
  }
  switch (id) {
    case IDCANCEL:
      (void)EndDialog(dialog, 0);
      break;
    case IDC_MAIN_CLEAR:
      (void)ClearRegistry(dialog);
      break;
    case IDC_MAIN_SAVE:
      (void)SaveRegistry(dialog);
      break;
    case IDC_MAIN_UPDATE:
      UpdateThread = CreateThread(nullptr, 0, RunImageUpdateThread, dialog, 0, nullptr);
      break;
    case IDC_MAIN_COLDBOOT:
      (void)ResetModule(1);
      break;
    case IDC_MAIN_WARMBOOT:
      (void)ResetModule(0);
      break;
    case IDC_MAIN_VERSION_INFO:
      ShowVersionBox(dialog);
      break;
    case IDC_MAIN_BACKUP:
      (void)DialogBoxParamW(ProgramInstance, MAKEINTRESOURCE(IDD_REGION), dialog, RegionDialogProc,
                            0);
      break;
    case IDC_MAIN_CPLD_VERSION:
      ShowCpldVersion(dialog);
      break;
    default:
      break;
  }
  return TRUE;
}

void ResetMainDialogForTesting() { UpdateThread = nullptr; }
