// Process entry, command line and the batch.
#include <iterator>

#include "resources/resource.h"
#include "shell/shell.h"

CommandEntry CommandTable[kMaxCommands] = {};
DWORD CommandCount = 0;
HINSTANCE ProgramInstance = nullptr;

namespace {

constexpr size_t kNameUnits = kPathUnits - 1;       // 259 characters and the terminator
constexpr DWORD kLongestResetDelay = INFINITE - 1;  // milliseconds, about 49.7 days

bool IsEnd(size_t at, size_t length) { return at >= length; }

// Where the next switch is expected after an update's name, and the name stored.
size_t ParseUpdate(const WCHAR* text, size_t p, size_t length, CommandEntry& entry) {
  const size_t nameStart = p + 3;
  size_t end = nameStart;
  while (end < length && text[end] != u'/') {
    ++end;
  }
  size_t nameEnd = end;
  if (nameStart >= length) {
    nameEnd = nameStart;  // nothing after the letter and its separator
  } else if (end < length && end > nameStart && text[end - 1] == u' ') {
    nameEnd = end - 1;  // the one blank before the next switch is not part of the name
  }
  const size_t nameLength = nameEnd > nameStart ? nameEnd - nameStart : 0;
  entry.nameTooLong = nameLength > kNameUnits ? 1 : 0;
  const size_t kept = nameLength > kNameUnits ? kNameUnits : nameLength;
  for (size_t i = 0; i < kept; ++i) {
    entry.argument.fileName[i] = text[nameStart + i];
  }
  entry.argument.fileName[kept] = 0;
  entry.silent = 1;
  return end;
}

size_t ParseReset(const WCHAR* text, size_t p, size_t length, CommandEntry& entry) {
  if (IsEnd(p + 2, length) || text[p + 2] != u'c') {
    entry.argument.resetValue = 0;
    return p + 3;
  }
  entry.argument.resetValue = 1;
  const size_t digits = p + 3;
  if (IsEnd(digits, length) || text[digits] == u'/' || text[digits] == u' ') {
    return p + 4;
  }
  // Leading decimal digits. A delay too long for 32 bits is clamped rather than wrapped (a wrap
  // could turn it into a warm reset at once), and it stops short of INFINITE, which would make
  // the wait never end and the reset never come.
  unsigned long long value = 0;
  size_t at = digits;
  while (at < length && text[at] >= u'0' && text[at] <= u'9') {
    value = value * 10 + static_cast<unsigned>(text[at] - u'0');
    if (value > kLongestResetDelay) {
      value = kLongestResetDelay;
    }
    ++at;
  }
  entry.argument.resetValue = static_cast<DWORD>(value);
  while (at < length && text[at] != u' ' && text[at] != u'/') {
    ++at;
  }
  return at + 1;
}

int RunBatch() {
  int result = 0;
  for (DWORD i = 0; i < CommandCount; ++i) {
    const CommandEntry& entry = CommandTable[i];
    switch (entry.kind) {
      case kCommandUpdate:
        SilentMode = entry.silent;
        if (entry.nameTooLong != 0) {
          // A longer name cut to 259 characters could name another, existing file.
          WCHAR text[kPathUnits + 96];
          (void)FormatText(text, u"Image file name too long (more than %d characters):\n%s...",
                           static_cast<int>(kNameUnits), entry.argument.fileName);
          ShowError(nullptr, text);
          result = 0;
          break;
        }
        (void)WideCopy(ImageFileName, kPathUnits, entry.argument.fileName);
        result = RunImageUpdate(nullptr);
        break;
      case kCommandSaveRegistry:
        SilentMode = entry.silent;
        result = SaveRegistry(nullptr);
        break;
      case kCommandClearRegistry:
        SilentMode = entry.silent;
        result = ClearRegistry(nullptr);
        break;
      case kCommandReset:
        if (entry.argument.resetValue != 0) {
          Sleep(entry.argument.resetValue);
          (void)ResetModule(1);
        } else {
          (void)ResetModule(0);
        }
        result = 1;
        continue;
      default:
        NKDbgPrintfW(u"WARINING: Flashwick.exe: commandline command not supported\n\r");
        break;
    }
    if (result == 0) {
      return 0;
    }
  }
  return result;
}

}  // namespace

void ParseCommandLine(const WCHAR* text) {
  CommandCount = 0;
  const size_t length = text != nullptr ? WideLength(text) : 0;
  if (length == 0 || text[0] != u'/') {
    return;
  }
  size_t p = 0;
  while (CommandCount < kMaxCommands) {
    CommandEntry& entry = CommandTable[CommandCount];
    entry = CommandEntry{};
    size_t next = 0;
    const WCHAR letter = IsEnd(p + 1, length) ? 0 : text[p + 1];
    switch (letter) {
      case u'u':
        entry.kind = kCommandUpdate;
        next = ParseUpdate(text, p, length, entry);
        break;
      case u'f':
      case u'c': {
        entry.kind = letter == u'f' ? kCommandSaveRegistry : kCommandClearRegistry;
        const bool silent = !IsEnd(p + 2, length) && text[p + 2] == u'u';
        entry.silent = silent ? 1 : 0;
        next = silent ? p + 4 : p + 3;
        break;
      }
      case u'r':
        entry.kind = kCommandReset;
        next = ParseReset(text, p, length, entry);
        break;
      default:
        entry.kind = 0xFF;  // unsupported: reported on the debug output when dispatched
        next = p + 2;
        break;
    }
    ++CommandCount;
    if (IsEnd(next, length) || text[next] != u'/') {
      return;
    }
    p = next;
  }
}

int RunStartup(HINSTANCE instance) {
  const FwlStatus status = FWLInit();
  if (CommandCount == 0) {
    if (status == FWL_ERR_HW_VERSION) {
      ShowError(nullptr, u"Module HW version not supported");
      return 0;
    }
    (void)DialogBoxParamW(instance, MAKEINTRESOURCE(IDD_MAIN), nullptr, MainDialogProc,
                          static_cast<LPARAM>(status));
    return 1;
  }
  if (status != FWL_OK) {
    if (CommandTable[0].silent != 1) {
      ShowError(nullptr, u"Init FlashwickLib failed.");
    }
    return 0;
  }
  return RunBatch();
}

int WinMain(HINSTANCE instance, HINSTANCE /*previous*/, LPWSTR commandLine, int /*showCommand*/) {
  ProgramInstance = instance;
  InitCommonControls();
  ParseCommandLine(commandLine);
  return RunStartup(instance) != 0 ? 1 : 0;
}

void ResetShellStateForTesting() {
  CommandCount = 0;
  SilentMode = 0;
  MainDialogHandle = nullptr;
  ProgressDialogHandle = nullptr;
  BusyFlag = 0;
  ValidateThreshold = 0;
  EraseBase = 0;
  CurrentImage = ImageInfo{0, 0, 0, 0};
  ImageFileName[0] = 0;
  (void)WideCopy(LastImageFolder, kPathUnits, u"\\USB HD\\IMAGES");
  RegionSelection = FlashRegion{0, 0, 0, 0};
  SelectedCount = 0;
  ResetMainDialogForTesting();
  ResetRegionDialogForTesting();
}
