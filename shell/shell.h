// The application shell: process entry and command line, the main dialog, the progress dialog,
// the update and region workflows with every message to the user, the registry and reset
// actions.
#pragma once

#include "library/flashwick_lib.h"
#include "platform/kernel.h"
#include "platform/window.h"

// ---------------------------------------------------------------------------------------------
// Process entry and command line
// ---------------------------------------------------------------------------------------------
constexpr int kMaxCommands = 20;
constexpr size_t kPathUnits = 260;

enum CommandKind : BYTE {
  kCommandUpdate = 0,
  kCommandSaveRegistry = 1,
  kCommandClearRegistry = 2,
  kCommandReset = 3,
};

struct CommandEntry {
  union {
    WCHAR fileName[kPathUnits];  // update: the bin file
    DWORD resetValue;            // reset: 0 warm, else cold after that many milliseconds
  } argument;
  BYTE kind;
  DWORD silent;
  // Set when the command line gave a file name longer than the entry holds: the update is
  // refused rather than run on a cut, different path.
  DWORD nameTooLong;
};

extern CommandEntry CommandTable[kMaxCommands];
extern DWORD CommandCount;
extern HINSTANCE ProgramInstance;

void ParseCommandLine(const WCHAR* commandLine);
// Initialises the library and runs the main dialog or the batch; 1 for success, 0 for failure.
[[nodiscard]] int RunStartup(HINSTANCE instance);
// The process entry: returns the process exit code (1 success, 0 failure).
int WinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int showCommand);

// ---------------------------------------------------------------------------------------------
// Registry and reset actions
// ---------------------------------------------------------------------------------------------
extern DWORD SilentMode;
[[nodiscard]] int SaveRegistry(HWND owner);
[[nodiscard]] int ClearRegistry(HWND owner);
// Warm (cold 0) or cold reset. Returns 0 when the call comes back.
int ResetModule(int cold);
// The registry clear control alone, without a message.
BOOL SendRegistryClear();

// ---------------------------------------------------------------------------------------------
// Main dialog
// ---------------------------------------------------------------------------------------------
extern HWND MainDialogHandle;
INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
constexpr int kProgramMajor = 3;
constexpr int kProgramMinor = 4;
constexpr int kProgramRevision = 0;

// ---------------------------------------------------------------------------------------------
// Progress dialog and the callbacks handed to the library
// ---------------------------------------------------------------------------------------------
extern HWND ProgressDialogHandle;
extern volatile DWORD BusyFlag;
extern DWORD ValidateThreshold;
extern DWORD EraseBase;
extern ImageInfo CurrentImage;

int OpenProgressDialog(HWND owner, const WCHAR* title);
int CloseProgressDialog();
INT_PTR CALLBACK ProgressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
int ProgressValidateCallback(DWORD done, DWORD total);
int ProgressEraseCallback(DWORD done, DWORD total);
int ProgressSectionCallback(DWORD start, DWORD length, DWORD checksum);
int ProgressWriteCallback(DWORD sectionDone, DWORD imageDone);
int ProgressImageStart(const ImageInfo* info);
DWORD BusyAnimationThread(LPVOID parameter);

// ---------------------------------------------------------------------------------------------
// Image update workflow
// ---------------------------------------------------------------------------------------------
extern WCHAR ImageFileName[kPathUnits];
extern WCHAR LastImageFolder[kPathUnits];
// 1 when the update was done, 0 otherwise.
int RunImageUpdate(HWND owner);
DWORD RunImageUpdateThread(LPVOID owner);
// Display name of a region kind, or null for a code without one.
const WCHAR* RegionName(DWORD kind);
// Keeps the folder of path (cut after its last backslash) as the next file dialog's folder.
void RememberImageFolder(const WCHAR* path);
// The file-open request for the image file: "IMAGE files" (*.bin) chosen, ImageFileName as the
// buffer, LastImageFolder to start in, owned by the main dialog.
void FillImageOpenRequest(OPENFILENAMEW* request);

// ---------------------------------------------------------------------------------------------
// Region dialog
// ---------------------------------------------------------------------------------------------
extern FlashRegion RegionSelection;
extern DWORD SelectedCount;
INT_PTR CALLBACK RegionDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
void OnRegionSelectionChange(HWND dialog);
DWORD EraseSelectedRegions(LPVOID dialog);
DWORD BackupSelectedRegions(LPVOID dialog);
// The file-save request for a backup: "IMAGE files" (*.bin) chosen, path (kPathUnits
// characters, holding the proposed name) as the buffer.
void FillBackupSaveRequest(OPENFILENAMEW* request, HWND owner, WCHAR* path);
// "%d B", "%.2f KB" or "%.2f MB" for a byte count.
void FormatSizeText(DWORD bytes, WCHAR* text, size_t capacity);

// Shows a stop-icon box with caption "ERROR".
void ShowError(HWND owner, const WCHAR* text);
// What ShowError says when the file system driver could not be unloaded or loaded again around
// an update or an erase.
constexpr const WCHAR kFsDriverErrorText[] = u"Could not load/unload Flash filesystem driver!";

// --- testing calls ---
void ResetShellStateForTesting();
// Forget the operation each dialog last started (a new process knows none).
void ResetMainDialogForTesting();
void ResetRegionDialogForTesting();
