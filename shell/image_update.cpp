// The image update workflow: file choice, validation, confirmation of the regions the image
// overwrites, the update with its progress window, every message by status, and the closing
// questions about the registry and a reset.
#include <iterator>

#include "shell/shell.h"

WCHAR ImageFileName[kPathUnits] = {};
WCHAR LastImageFolder[kPathUnits] = u"\\USB HD\\IMAGES";

namespace {

constexpr const WCHAR kImageFilter[] = u"IMAGE files\0*.bin\0\0";

void SetBinFileError(HWND owner, FwlStatus status) {
  WCHAR text[kPathUnits + 64];
  switch (status) {
    case FWL_ERR_OPEN_FILE:
      (void)FormatText(text, u"Cannot open image file\n%s", ImageFileName);
      break;
    case FWL_ERR_BAD_FILE:
      (void)WideCopy(text, std::size(text), u"Not a valid WinCE binary image file!");
      break;
    case FWL_ERR_FILE_VERSION:
      (void)WideCopy(text, std::size(text),
                     u"This file was generated with an other Flashwick\nand is not supported with "
                     u"this Version of the Flashwick!");
      break;
    case FWL_ERR_CHECKSUM:
      (void)WideCopy(text, std::size(text), u"Bin file with corrupt CRC!");
      break;
    default:
      (void)FormatText(text, u"FWLSetBinFile: Unknown Error: %d", status);
      break;
  }
  ShowError(owner, text);
}

void UpdateError(HWND owner, FwlStatus status) {
  const WCHAR* message = nullptr;
  switch (status) {
    case FWL_ERR_BAD_FILE:
      message = u"Unexpected end of file!\nDon't reboot Now! Try updating with another file.";
      break;
    case FWL_ERR_FILE_VERSION:
      message =
          u"This file was generated with an other Flashwick\nand is not supported with this "
          u"Version of the Flashwick!";
      break;
    case FWL_ERR_READ_FLASH:
      message = u"Error reading Flash!";
      break;
    case FWL_ERR_WRITE_FLASH:
      message = u"Error writing to Flash!";
      break;
    case FWL_ERR_ERASE_FLASH:
      message = u"Error erasing Flash!";
      break;
    case FWL_ERR_CHECKSUM:
      message =
          u"BAD CRC, Image File seems to be corrupt.\nDon't reboot Now! Try updating with "
          u"another file.";
      break;
    case FWL_ERR_VERIFY_FLASH:
      message = u"Error veryfing Flash!";
      break;
    case FWL_ERR_FILE_SYSTEM:
      message = u"Error during Flash filesystem restore!";
      break;
    case FWL_ERR_FS_DRIVER:
      message = kFsDriverErrorText;
      break;
    case FWL_ERR_FORMAT_STORE:
      message = u"Could not format store or partitions!";
      break;
    case FWL_ERR_NO_CPLD:
      message = u"CPLD not found or CPLD version not supported!";
      break;
    case FWL_ERR_CPLD_UPDATE:
      message = u"Error during CPLD update.";
      break;
    default:
      break;
  }
  if (message != nullptr) {
    ShowError(owner, message);
    return;
  }
  WCHAR text[64];
  (void)FormatText(text, u"FWLDoUpdate: Unknown Error: %d", status);
  ShowError(owner, text);
}

// Validation to the end of the update; returns the workflow's result.
int ValidateAndUpdate(HWND owner) {
  ImageInfo info{};
  FwlStatus status = FWLSetBinFile(ImageFileName, &info, ProgressValidateCallback, 1);
  if (status != FWL_OK) {
    SetBinFileError(owner, status);
    return 0;
  }
  if (info.types == 0) {
    ShowError(owner,
              u"This bin file doesn't contain update data which is valid for this hardware.");
    return 0;
  }
  (void)FWLScanRegions(REGION_ALL_TYPES);
  DWORD overlap = REGION_ALL_TYPES;
  if (FWLGetRegionsInRange(&overlap, info.start, info.length) == FWL_ERR_RANGE) {
    return 0;
  }
  if ((info.types & REGION_CPLD_FIRMWARE) != 0) {
    overlap |= REGION_CPLD_FIRMWARE;
  }
  if (SilentMode == 0) {
    WCHAR text[256] = {};
    (void)WideCopy(text, std::size(text), u"This Image will overwrite the following sections:\n");
    static constexpr DWORD kOrder[] = {REGION_BOOTLOADER,  REGION_CONFIG_BLOCK,
                                       REGION_OS_IMAGE,    REGION_REGISTRY,
                                       REGION_FILE_SYSTEM, REGION_CPLD_FIRMWARE};
    for (DWORD kind : kOrder) {
      if ((overlap & kind) != 0) {
        WCHAR line[64];
        (void)FormatText(line, u"- %s\n", RegionName(kind));
        (void)WideAppend(text, std::size(text), line);
      }
    }
    if (overlap == 0) {
      (void)WideAppend(text, std::size(text),
                       u"- No Section (This might be an error, Abort the update procedure if you "
                       u"are not a 100% sure.)\n\n");
    }
    (void)WideAppend(text, std::size(text), u"\n\nAre you sure you want to continue?");
    if (MessageBoxW(owner, text, u"WARNING", MB_YESNO | MB_ICONEXCLAMATION | MB_DEFBUTTON2) !=
        IDYES) {
      return 0;
    }
  }
  (void)ProgressImageStart(&info);
  EraseBase = info.start;
  status = FWLDoUpdate(ProgressEraseCallback, ProgressSectionCallback, ProgressWriteCallback);
  BusyFlag = 0;
  if (status != FWL_OK) {
    UpdateError(owner, status);
    return 0;
  }
  if (SilentMode == 0) {
    if ((overlap & REGION_OS_IMAGE) != 0 && (overlap & REGION_REGISTRY) == 0 &&
        MessageBoxW(owner, u"You updated a new OS, do you want to clear the Registry?",
                    u"Clear Registry", MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) == IDYES) {
      (void)SendRegistryClear();
    }
    if (MessageBoxW(owner, u"To finish the update reset the system.\n Reset now?", u"RESET",
                    MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON1) == IDYES) {
      (void)ResetModule(1);
    }
  }
  return 1;
}

}  // namespace

const WCHAR* RegionName(DWORD kind) {
  switch (kind) {
    case REGION_NONE:
      return u"No Region";
    case REGION_BOOTLOADER:
      return u"Bootloader";
    case REGION_CONFIG_BLOCK:
      return u"Config Block";
    case REGION_OS_IMAGE:
      return u"OS Image";
    case REGION_REGISTRY:
      return u"Registry";
    case REGION_FILE_SYSTEM:
      return u"File System";
    case REGION_CPLD_FIRMWARE:
      return u"CPLD Firmware";
    default:
      return nullptr;
  }
}

void RememberImageFolder(const WCHAR* path) {
  (void)WideCopy(LastImageFolder, kPathUnits, path);
  const WCHAR* last = WideFindLast(LastImageFolder, u'\\');
  if (last != nullptr) {
    LastImageFolder[last - LastImageFolder + 1] = 0;
  }
}

void FillImageOpenRequest(OPENFILENAMEW* request) {
  *request = OPENFILENAMEW{};
  request->lStructSize = sizeof(*request);
  request->hwndOwner = MainDialogHandle;
  request->lpstrFilter = kImageFilter;
  request->nFilterIndex = 1;  // the first entry of the list: "IMAGE files"
  request->lpstrFile = ImageFileName;
  request->nMaxFile = kPathUnits;
  request->lpstrInitialDir = LastImageFolder;
  request->Flags = OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST;
}

int RunImageUpdate(HWND owner) {
  if (ImageFileName[0] == 0) {
    OPENFILENAMEW request;
    FillImageOpenRequest(&request);
    if (!GetOpenFileNameW(&request)) {
      ImageFileName[0] = 0;
      return 0;
    }
    RememberImageFolder(ImageFileName);
  }
  (void)OpenProgressDialog(owner, u"Image Update");
  const int result = ValidateAndUpdate(owner);
  (void)FWLCloseBinFile();
  // Emptied while the progress window still keeps the main dialog from input: an update started
  // the moment it closes asks for its file instead of taking this one again.
  ImageFileName[0] = 0;
  (void)CloseProgressDialog();
  return result;
}

DWORD RunImageUpdateThread(LPVOID owner) {
  return static_cast<DWORD>(RunImageUpdate(static_cast<HWND>(owner)));
}
