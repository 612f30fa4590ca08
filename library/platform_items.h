// The platform's data items (IOCTL_HAL_PLATFORM_QUERY and IOCTL_HAL_PLATFORM_STORE): the flash
// layout, the board data of the config block, the hardware version.
#pragma once

#include "platform/types.h"

// Reads platform data item subCode into item (size bytes). Returns the bytes answered (0: the
// platform did not answer).
[[nodiscard]] DWORD QueryPlatform(DWORD subCode, void* item, DWORD size);
// Writes platform data item subCode back; returns the bytes stored (0: not stored).
[[nodiscard]] DWORD StorePlatform(DWORD subCode, const void* item, DWORD size);
