// The progress and abort callbacks: the five slots an entry fills and the three operations
// through which the library and the storage layer feed them.
#pragma once

#include "core/fwl_types.h"

extern ProgressCallback ValidateProgressFn;
extern ProgressCallback EraseProgressFn;
extern SectionBeginCallback SectionBeginFn;
extern DataProgressCallback DataProgressFn;
extern BackupBeginCallback BackupBeginFn;

// all bytes = 0, then BackupBeginFn(info); 1 for an empty slot.
[[nodiscard]] int ProgressBeginOperation(const ImageInfo* info);
// section bytes = 0, then SectionBeginFn(start, length, checksum); 1 for an empty slot.
[[nodiscard]] int ProgressBeginSection(DWORD start, DWORD length, DWORD checksum);
// both counters grow by n, then DataProgressFn(section bytes, all bytes); 1 for an empty slot.
[[nodiscard]] int ProgressAdd(DWORD bytes);
