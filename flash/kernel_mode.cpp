#include "flash/kernel_mode.h"

#include <algorithm>

#include "flash/platform_controls.h"
#include "platform/kernel.h"

namespace {

constexpr DWORD kMappingProtection = PAGE_READWRITE | PAGE_NOCACHE | PAGE_PHYSICAL;  // 0x604
constexpr DWORD kRegisterWindowSize = 0x2000;
constexpr DWORD kLargestPiece = 0x2000000;  // one VirtualCopy maps at most 32 MiB

// Set once the process sent the kernel service query that precedes its first user-mode
// mapping. Set without a lock: a second concurrent query is harmless.
bool kernelQueryDone = false;

// Call record on the caller's stack: target(first, second) runs in kernel mode.
struct KernelThunkRecord {
  KernelTarget target;
  ULONG_PTR first;
  ULONG_PTR second;
};

DWORD KernelThunk(ULONG_PTR argument) {
  const auto* record = reinterpret_cast<const KernelThunkRecord*>(argument);
  return record->target(record->first, record->second);
}

DWORD ReadProductNumberTarget(ULONG_PTR /*first*/, ULONG_PTR /*second*/) {
  return ReadProductNumber();
}

void RunKernelQueryOnce() {
  if (kernelQueryDone) {
    return;
  }
  KernelQueryRequest request{KernelServiceQuery};
  BYTE reply[kKernelServiceQueryReplySize];
  DWORD returned = 0;
  // Neither the reply nor the result changes anything; the image expects the query first.
  (void)KernelIoControl(IOCTL_OEM_KERNEL_SERVICE, &request, sizeof(request), reply, sizeof(reply),
                        &returned);
  kernelQueryDone = true;
}

}  // namespace

DWORD IsPrivilegedMode() { return ReadCpsr() & 0xF; }

int RunInKernelMode(KernelRoutine routine, ULONG_PTR argument) {
  if (routine == nullptr) {
    return 0;
  }
  // Pointer-sized words on the host; three 32-bit words (12 bytes) on the module.
  KernelCallRequest request{KernelServiceCall, reinterpret_cast<ULONG_PTR>(routine), argument};
  DWORD result = 0;
  if (!KernelIoControl(IOCTL_OEM_KERNEL_SERVICE, &request, sizeof(request), &result, sizeof(result),
                       nullptr)) {
    return 0;
  }
  return static_cast<int>(result);
}

DWORD GetProcessorIdentity() {
  if (IsPrivilegedMode() != 0) {
    return ReadProductNumber();
  }
  KernelThunkRecord record{ReadProductNumberTarget, 0, 0};
  return static_cast<DWORD>(RunInKernelMode(KernelThunk, reinterpret_cast<ULONG_PTR>(&record)));
}

int CopyVirtual(LPVOID destination, LPVOID source, DWORD size, DWORD protection) {
  if (IsPrivilegedMode() != 0) {
    return VirtualCopy(destination, source, size, protection);
  }
  RunKernelQueryOnce();
  // Pointer-sized words on the host; five 32-bit words (20 bytes) on the module.
  KernelVirtualCopyRequest request{KernelServiceVirtualCopy,
                                   reinterpret_cast<ULONG_PTR>(destination),
                                   reinterpret_cast<ULONG_PTR>(source), size, protection};
  DWORD result = 0;
  if (!KernelIoControl(IOCTL_OEM_KERNEL_SERVICE, &request, sizeof(request), &result, sizeof(result),
                       nullptr)) {
    return 0;
  }
  return static_cast<int>(result);
}

IoPointer MapRegisters(DWORD physical) {
  LPVOID window = VirtualAlloc(nullptr, kRegisterWindowSize, MEM_RESERVE, PAGE_NOACCESS);
  if (window == nullptr) {
    return IoPointer();
  }
  // With PAGE_PHYSICAL the source is the physical address divided by 256.
  const ULONG_PTR source = (physical >> 8) & 0xFFFFF0;
  if (!CopyVirtual(window, reinterpret_cast<LPVOID>(source), kRegisterWindowSize,
                   kMappingProtection)) {
    (void)VirtualFree(window, 0, MEM_RELEASE);
    return IoPointer();
  }
  return IoPointer(window) + (physical & 0xFFC);
}

void UnmapRegisters(IoPointer pointer) {
  (void)VirtualFree(reinterpret_cast<LPVOID>(pointer.Address() & ~ULONG_PTR{0xFFF}), 0,
                    MEM_RELEASE);
}

IoPointer MapPhysicalRange(DWORD physical, DWORD size) {
  const std::uint64_t total = (std::uint64_t{size} + (physical & 0xFFF) + 0xFFF) & ~0xFFFull;
  if (total == 0 || total > 0xFFFFF000ull) {
    return IoPointer();
  }
  LPVOID base = VirtualAlloc(nullptr, static_cast<DWORD>(total), MEM_RESERVE, PAGE_NOACCESS);
  if (base == nullptr) {
    return IoPointer();
  }
  const DWORD firstPage = physical & 0xFFFFF000;
  for (std::uint64_t done = 0; done < total; done += kLargestPiece) {
    const DWORD piece =
        total <= 4096 ? 4096
                      : static_cast<DWORD>(std::min<std::uint64_t>(total - done, kLargestPiece));
    const ULONG_PTR source = (firstPage + done) >> 8;
    if (!CopyVirtual(static_cast<BYTE*>(base) + done, reinterpret_cast<LPVOID>(source), piece,
                     kMappingProtection)) {
      (void)VirtualFree(base, 0, MEM_RELEASE);
      return IoPointer();
    }
  }
  return IoPointer(base) + (physical & 0xFFC);
}

void ResetKernelModeStateForTesting() { kernelQueryDone = false; }
