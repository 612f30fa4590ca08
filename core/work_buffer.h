// The one large buffer through which the library and the storage layer move data.
#pragma once

#include "core/fwl_types.h"

// 2 MiB when memory allows, always a power of two; every user moves data through it in chunks
// of at most WorkBufferSize bytes.
extern BYTE* WorkBuffer;
extern DWORD WorkBufferSize;

// Allocates the buffer, halving the size until the allocation succeeds. FWL_OK (also when it
// exists already) or FWL_ERR_NO_MEMORY.
[[nodiscard]] FwlStatus AllocWorkBuffer();
void FreeWorkBuffer();

// Frees the work buffer when it leaves scope, unless it existed when the guard was made.
class WorkBufferScope {
 public:
  WorkBufferScope() : owned_(WorkBuffer == nullptr) {}
  ~WorkBufferScope() {
    if (owned_) {
      FreeWorkBuffer();
    }
  }
  WorkBufferScope(const WorkBufferScope&) = delete;
  WorkBufferScope& operator=(const WorkBufferScope&) = delete;

 private:
  bool owned_;
};
