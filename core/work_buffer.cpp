// The work buffer: allocated for an operation, freed on every path out of it.
#include "core/work_buffer.h"

#include "platform/kernel.h"

BYTE* WorkBuffer = nullptr;
DWORD WorkBufferSize = 0;

namespace {
constexpr DWORD kWorkBufferLargest = 0x200000;  // 2 MiB
}  // namespace

FwlStatus AllocWorkBuffer() {
  if (WorkBuffer != nullptr) {
    return FWL_OK;
  }
  for (DWORD size = kWorkBufferLargest; size >= 1; size /= 2) {
    auto* buffer = static_cast<BYTE*>(LocalAlloc(LMEM_FIXED, size));
    if (buffer != nullptr) {
      WorkBuffer = buffer;
      WorkBufferSize = size;
      return FWL_OK;
    }
  }
  WorkBufferSize = 0;
  return FWL_ERR_NO_MEMORY;
}

void FreeWorkBuffer() {
  if (WorkBuffer != nullptr) {
    LocalFree(WorkBuffer);
    WorkBuffer = nullptr;
    WorkBufferSize = 0;
  }
}
