// Save and clear the flash registry, reset the module.
#include "flash/platform_controls.h"
#include "platform/registry.h"
#include "shell/shell.h"

DWORD SilentMode = 0;

int SaveRegistry(HWND owner) {
  const bool saved = RegFlushKey(HKEY_LOCAL_MACHINE) == ERROR_SUCCESS;
  if (SilentMode == 0) {
    (void)MessageBoxW(owner, saved ? u"Registry successfully saved" : u"Registry save FAILED!",
                      u"Registry", MB_OK | (saved ? 0 : MB_ICONSTOP));
  }
  return saved ? 1 : 0;
}

BOOL SendRegistryClear() {
  return KernelIoControl(IOCTL_HAL_CLEAR_REGISTRY, nullptr, 0, nullptr, 0, nullptr);
}

int ClearRegistry(HWND owner) {
  const bool cleared = SendRegistryClear() != FALSE;
  if (SilentMode == 0) {
    (void)MessageBoxW(owner, cleared ? u"Registry successfully cleared" : u"Registry clear FAILED!",
                      u"Registry", MB_OK | (cleared ? 0 : MB_ICONSTOP));
  }
  return cleared ? 1 : 0;
}

int ResetModule(int cold) {
  if (cold == 0) {
    (void)KernelIoControl(IOCTL_HAL_REBOOT, nullptr, 0, nullptr, 0, nullptr);
    return 0;
  }
  SetCleanRebootFlag();
  DWORD input = 0;
  (void)KernelIoControl(IOCTL_HAL_REBOOT, &input, sizeof(input), nullptr, 0, nullptr);
  return 0;
}

void ShowError(HWND owner, const WCHAR* text) {
  (void)MessageBoxW(owner, text, u"ERROR", MB_OK | MB_ICONSTOP);
}
