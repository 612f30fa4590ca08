// The region dialog: choose regions, see their range and used bytes, back them up into a bin
// file; erase and back-up-all are revealed by a modified click.
#include <cstdint>
#include <iterator>

#include "resources/resource.h"
#include "shell/shell.h"

FlashRegion RegionSelection = {0, 0, 0, 0};
DWORD SelectedCount = 0;

namespace {

constexpr int kMaxListedKinds = 8;
constexpr int kMaxSelectedItems = 7;
constexpr const WCHAR kImageFilter[] = u"IMAGE files\0*.bin\0\0";

DWORD KindByIndex[kMaxListedKinds] = {};
// The running erase or backup; only the dialog's own thread touches it.
HANDLE WorkerThread = nullptr;

bool WorkerRunning() {
  if (WorkerThread == nullptr) {
    return false;
  }
  if (WaitForSingleObject(WorkerThread, 0) == WAIT_TIMEOUT) {
    return true;
  }
  (void)CloseHandle(WorkerThread);
  WorkerThread = nullptr;
  return false;
}

// One operation at a time: its windows keep the dialog from input for most of its run, but not
// in the moments between them, where a second press would start a second operation.
void StartWorker(LPTHREAD_START_ROUTINE routine, HWND dialog) {
  if (!WorkerRunning()) {
    WorkerThread = CreateThread(nullptr, 0, routine, dialog, 0, nullptr);
  }
}

void ShowValue(HWND dialog, int id, DWORD value) {
  WCHAR size[32];
  FormatSizeText(value, size, std::size(size));
  WCHAR text[64];
  (void)FormatText(text, u"0x%x (%s)", value, size);
  (void)SetDlgItemTextW(dialog, id, text);
}

// Whether a failed FWLBackupToFile had opened (and so emptied) the target. It creates the file
// as soon as it finds itself initialised; before that, or when the file cannot be created, the
// file on the medium (an older backup the user agreed to replace) is still as it was.
bool LibraryOpenedTarget(FwlStatus status) {
  return status != FWL_ERR_NOT_INITIALIZED && status != FWL_ERR_OPEN_FILE;
}

void BackupError(HWND dialog, FwlStatus status, const WCHAR* path) {
  WCHAR text[kPathUnits + 64];
  switch (status) {
    case FWL_OK:
      return;
    case FWL_ERR_ABORTED:
      (void)WideCopy(text, std::size(text), u"User Abort!");
      break;
    case FWL_ERR_OPEN_FILE:
      (void)FormatText(text, u"Cannot open image file\n%s", path);
      break;
    case FWL_ERR_WRITE_FILE:
      (void)FormatText(text, u"Cannot write file\n%s\nMaybe disk is full?", path);
      break;
    case FWL_ERR_NO_REGION:
      (void)WideCopy(text, std::size(text), u"Selected region not found or no region selected!");
      break;
    case FWL_ERR_INVALID_REGION:
      (void)WideCopy(text, std::size(text), u"One or more of the selected regions are not valid!");
      break;
    case FWL_ERR_FILE_SYSTEM:
      (void)WideCopy(text, std::size(text), u"Error during file system backup!");
      break;
    default:
      (void)FormatText(text, u"FWLBackupToFile: Unknown Error: %d", status);
      break;
  }
  ShowError(dialog, text);
}

}  // namespace

void FillBackupSaveRequest(OPENFILENAMEW* request, HWND owner, WCHAR* path) {
  *request = OPENFILENAMEW{};
  request->lStructSize = sizeof(*request);
  request->hwndOwner = owner;
  request->lpstrFilter = kImageFilter;
  request->nFilterIndex = 1;  // the first entry of the list: "IMAGE files"
  request->lpstrFile = path;
  request->nMaxFile = kPathUnits;
  request->lpstrTitle = u"Save Region As";
  request->lpstrDefExt = u"bin";
  request->Flags = OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;
}

void FormatSizeText(DWORD bytes, WCHAR* text, size_t capacity) {
  if (bytes < 1024) {
    (void)FormatText(text, capacity, u"%d B", static_cast<int>(bytes));
  } else if (bytes < 1048576) {
    (void)FormatText(text, capacity, u"%.2f KB", static_cast<double>(bytes) / 1024.0);
  } else {
    // Megabytes from whole kilobytes: the text drops the bytes below a kilobyte first.
    const DWORD kilobytes = bytes / 1024;
    (void)FormatText(text, capacity, u"%.2f MB", static_cast<double>(kilobytes) / 1024.0);
  }
}

void OnRegionSelectionChange(HWND dialog) {
  RegionSelection.flags = 0;
  int items[kMaxSelectedItems] = {};
  const LRESULT count = SendDlgItemMessageW(dialog, IDC_REGION_LIST, LB_GETSELITEMS,
                                            kMaxSelectedItems, reinterpret_cast<LPARAM>(items));
  SelectedCount = count > 0 ? static_cast<DWORD>(count) : 0;
  (void)EnableWindow(GetDlgItem(dialog, IDC_REGION_ERASE), SelectedCount > 0);
  (void)EnableWindow(GetDlgItem(dialog, IDC_REGION_BACKUP), SelectedCount > 0);
  if (SelectedCount > 0) {
    for (DWORD i = 0; i < SelectedCount; ++i) {
      if (items[i] >= 0 && items[i] < kMaxListedKinds) {
        RegionSelection.flags |= KindByIndex[items[i]];
      }
    }
    (void)FWLGetRegions(&RegionSelection, nullptr);
  }
  ShowValue(dialog, IDC_REGION_START, RegionSelection.start);
  ShowValue(dialog, IDC_REGION_LENGTH, RegionSelection.length);
  ShowValue(dialog, IDC_REGION_USED, RegionSelection.used);
}

DWORD EraseSelectedRegions(LPVOID parameter) {
  const auto dialog = static_cast<HWND>(parameter);
  if (SelectedCount == 0) {
    return 0;
  }
  if (MessageBoxW(dialog, u"Are you sure you want to erase the selected region(s)?", u"Flash Erase",
                  MB_YESNO | MB_ICONQUESTION) != IDYES) {
    return 0;
  }
  (void)OpenProgressDialog(dialog, u"Image Erase");
  const FwlStatus status = FWLEraseRegions(RegionSelection.flags, ProgressEraseCallback);
  switch (status) {
    case FWL_OK:
      (void)MessageBoxW(dialog, u"Region(s) successfully erased", u"Success", MB_OK);
      break;
    case FWL_ERR_NOT_INITIALIZED:
      ShowError(dialog, u"Internal Error");
      break;
    case FWL_ERR_NO_REGION:
      ShowError(dialog, u"Region(s) not found");
      break;
    case FWL_ERR_ERASE_FLASH:
      ShowError(dialog, u"Flash erase failed");
      break;
    case FWL_ERR_FS_DRIVER:
      ShowError(dialog, kFsDriverErrorText);
      break;
    default:
      break;
  }
  (void)CloseProgressDialog();
  return status == FWL_OK ? 1 : 0;
}

DWORD BackupSelectedRegions(LPVOID parameter) {
  const auto dialog = static_cast<HWND>(parameter);
  WCHAR path[kPathUnits] = {};
  (void)WideCopy(path, kPathUnits, u"FlashBackup");
  if (SelectedCount == 1) {
    if (const WCHAR* name = RegionName(RegionSelection.flags)) {
      (void)WideCopy(path, kPathUnits, name);
    }
  } else if (SelectedCount > 1) {
    DWORD kinds = RegionSelection.flags;
    const FwlStatus range =
        FWLGetRegionsInRange(&kinds, RegionSelection.start, RegionSelection.length);
    if (range == FWL_ERR_RANGE) {
      ShowError(dialog, u"Sections have to be contiguous!");
      return 0;
    }
    if (range != FWL_OK) {
      return 0;
    }
  }
  OPENFILENAMEW request;
  FillBackupSaveRequest(&request, dialog, path);
  if (!GetSaveFileNameW(&request)) {
    return 0;
  }
  RememberImageFolder(path);
  if (GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES &&
      MessageBoxW(dialog, u"Do you want to overwrite the file?", u"File Exists",
                  MB_YESNO | MB_ICONQUESTION) != IDYES) {
    return 0;
  }
  (void)OpenProgressDialog(dialog, u"Image Backup");
  const FwlStatus status = FWLBackupToFile(path, RegionSelection.flags, ProgressImageStart,
                                           ProgressSectionCallback, ProgressWriteCallback);
  if (status != FWL_OK && LibraryOpenedTarget(status)) {
    (void)DeleteFileW(path);  // a partial backup must not pass for a whole one
  }
  BackupError(dialog, status, path);
  (void)CloseProgressDialog();
  return status == FWL_OK ? 1 : 0;
}

INT_PTR CALLBACK RegionDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM /*lParam*/) {
  switch (message) {
    case WM_INITDIALOG: {
      (void)FWLScanRegions(REGION_ALL_TYPES);
      FlashRegion selection{REGION_ALL_TYPES, 0, 0, 0};
      FlashRegion list[kRegionCount + 1] = {};
      int index = 0;
      if (FWLGetRegions(&selection, list) == FWL_OK) {
        for (; index < kRegionCount && list[index].flags != 0; ++index) {
          KindByIndex[index] = list[index].flags;
          const WCHAR* name = RegionName(list[index].flags);
          (void)SendDlgItemMessageW(dialog, IDC_REGION_LIST, LB_ADDSTRING, 0,
                                    reinterpret_cast<LPARAM>(name != nullptr ? name : u""));
        }
      }
      return TRUE;
    }
    case WM_LBUTTONDOWN:
      if ((wParam & MK_RBUTTON) != 0 || ((wParam & MK_SHIFT) != 0 && (wParam & MK_CONTROL) != 0)) {
        (void)ShowWindow(GetDlgItem(dialog, IDC_REGION_BACKUP_ALL), SW_SHOW);
        (void)ShowWindow(GetDlgItem(dialog, IDC_REGION_ERASE), SW_SHOW);
      }
      return FALSE;
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDCANCEL:
          // The dialog owns the running operation's windows: it stays until that ends.
          if (!WorkerRunning()) {
            (void)EndDialog(dialog, 0);
          }
          break;
        case IDC_REGION_LIST:
          OnRegionSelectionChange(dialog);
          break;
        case IDC_REGION_ERASE:
          StartWorker(EraseSelectedRegions, dialog);
          break;
        case IDC_REGION_BACKUP:
          StartWorker(BackupSelectedRegions, dialog);
          break;
        case IDC_REGION_BACKUP_ALL:
          if (WorkerRunning()) {
            break;
          }
          (void)SendDlgItemMessageW(dialog, IDC_REGION_LIST, LB_SELITEMRANGE, TRUE,
                                    MAKELPARAM(0, 16));
          OnRegionSelectionChange(dialog);
          StartWorker(BackupSelectedRegions, dialog);
          break;
        default:
          break;
      }
      return TRUE;
    default:
      return FALSE;
  }
}

void ResetRegionDialogForTesting() { WorkerThread = nullptr; }
