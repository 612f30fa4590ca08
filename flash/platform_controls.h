// HAL I/O controls of the module's OS image that the program sends with KernelIoControl.
//
// All are of device type 0x0101 (the HAL), method buffered, any access. Request blocks that
// carry an address use pointer-sized words on a development host (the module's words are 32
// bits); the field order is the module's.
#pragma once

#include <cstdint>

#include "platform/types.h"

constexpr DWORD HalControlCode(DWORD function) {
  return (0x0101u << 16) | (function << 2);  // device type 0x0101, buffered, any access
}

constexpr DWORD IOCTL_HAL_REBOOT = HalControlCode(15);                // 0x0101003C
constexpr DWORD IOCTL_HAL_GET_IMAGE_VERSION = HalControlCode(0x803);  // 0x0101200C
constexpr DWORD IOCTL_HAL_CLEAR_REGISTRY = HalControlCode(0x804);     // 0x01012010
constexpr DWORD IOCTL_HAL_PLATFORM_QUERY = HalControlCode(0x80A);     // 0x01012028
constexpr DWORD IOCTL_HAL_PLATFORM_STORE = HalControlCode(0x80B);     // 0x0101202C
constexpr DWORD IOCTL_OEM_KERNEL_SERVICE = HalControlCode(0x834);     // 0x010120D0
static_assert(IOCTL_HAL_REBOOT == 0x0101003C);
static_assert(IOCTL_HAL_GET_IMAGE_VERSION == 0x0101200C);
static_assert(IOCTL_HAL_CLEAR_REGISTRY == 0x01012010);
static_assert(IOCTL_HAL_PLATFORM_QUERY == 0x01012028);
static_assert(IOCTL_HAL_PLATFORM_STORE == 0x0101202C);
static_assert(IOCTL_OEM_KERNEL_SERVICE == 0x010120D0);

// Platform data items (IOCTL_HAL_PLATFORM_QUERY / _STORE sub-codes) and their sizes.
constexpr DWORD kPlatformItemBoardData = 0;    // 8 bytes, kept in the config block
constexpr DWORD kPlatformItemFlashLayout = 5;  // 24 bytes: OS offset, registry offset, half size
constexpr DWORD kPlatformItemHardwareVersion = 8;  // 8 bytes: major (16 bits), minor (16 bits)
constexpr DWORD kPlatformItemBoardExtra = 12;      // 4 bytes, kept in the config block

// Request block of the platform query and store: sub-code, item buffer, item size.
struct PlatformItemRequest {
  ULONG_PTR subCode;
  ULONG_PTR itemBuffer;  // an address: pointer-sized on the host
  ULONG_PTR itemSize;
};

// IOCTL_OEM_KERNEL_SERVICE sub-commands.
constexpr DWORD KernelServiceCall = 0;
constexpr DWORD KernelServiceVirtualCopy = 1;
constexpr DWORD KernelServiceQuery = 2;
constexpr DWORD kKernelServiceQueryReplySize = 200;

// Sub-command 0: {0, routine, argument}; the routine's 32-bit result comes back.
struct KernelCallRequest {
  ULONG_PTR selector;
  ULONG_PTR routine;
  ULONG_PTR argument;
};
// Sub-command 1: {1, destination, source, size, protection}; VirtualCopy's result comes back.
struct KernelVirtualCopyRequest {
  ULONG_PTR selector;
  ULONG_PTR destination;
  ULONG_PTR source;
  ULONG_PTR size;
  ULONG_PTR protection;
};
// Sub-command 2: {2}; a 200-byte reply that the program does not interpret.
struct KernelQueryRequest {
  ULONG_PTR selector;
};
