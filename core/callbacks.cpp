// Progress and abort callbacks: the slots and the counters they report.
#include "core/callbacks.h"

ProgressCallback ValidateProgressFn = nullptr;
ProgressCallback EraseProgressFn = nullptr;
SectionBeginCallback SectionBeginFn = nullptr;
DataProgressCallback DataProgressFn = nullptr;
BackupBeginCallback BackupBeginFn = nullptr;

namespace {
DWORD sectionBytes = 0;
DWORD allBytes = 0;
}  // namespace

int ProgressBeginOperation(const ImageInfo* info) {
  allBytes = 0;
  return BackupBeginFn != nullptr ? BackupBeginFn(info) : 1;
}

int ProgressBeginSection(DWORD start, DWORD length, DWORD checksum) {
  sectionBytes = 0;
  return SectionBeginFn != nullptr ? SectionBeginFn(start, length, checksum) : 1;
}

int ProgressAdd(DWORD bytes) {
  sectionBytes += bytes;
  allBytes += bytes;
  return DataProgressFn != nullptr ? DataProgressFn(sectionBytes, allBytes) : 1;
}
