// Sector requests on a store handle.
#include "storage/store_sectors.h"

#include "core/work_buffer.h"
#include "platform/kernel.h"

namespace {

// One request for count sectors from first with a single buffer. Buffer addresses are
// pointer-sized in the request on the host; it is 28 bytes on the module.
FwlStatus TransferStoreSectors(HANDLE store, DWORD code, DWORD first, DWORD count, BYTE* buffer,
                               DWORD bytes) {
  SG_REQ request{};
  request.sr_start = first;
  request.sr_num_sec = count;
  request.sr_num_sg = 1;
  request.sr_sglist[0].sb_buf = buffer;
  request.sr_sglist[0].sb_len = bytes;
  return DeviceIoControl(store, code, &request, sizeof(request), nullptr, 0, nullptr, nullptr)
             ? FWL_OK
             : FWL_ERR_FILE_SYSTEM;
}

}  // namespace

FwlStatus ReadStoreSectors(HANDLE store, DWORD first, DWORD count, BYTE* buffer, DWORD bytes) {
  return TransferStoreSectors(store, IOCTL_DISK_READ, first, count, buffer, bytes);
}

FwlStatus WriteStoreSectors(HANDLE store, DWORD first, DWORD count, const BYTE* buffer,
                            DWORD bytes) {
  // The request's buffer field is not const; the store only reads from it for a write.
  return TransferStoreSectors(store, IOCTL_DISK_WRITE, first, count, const_cast<BYTE*>(buffer),
                              bytes);
}

bool IsSectorInUse(HANDLE store, DWORD sector) {
  DWORD address = 0;
  DWORD returned = 0;
  return DeviceIoControl(store, IOCTL_DISK_GET_SECTOR_ADDR, &sector, sizeof(sector), &address,
                         sizeof(address), &returned, nullptr) &&
         address != 0xFFFFFFFF;
}

bool CountSectorsInUse(HANDLE store, const STOREINFO* info, DWORD* inUse) {
  *inUse = 0;
  WorkBufferScope scope;
  if (AllocWorkBuffer() != FWL_OK) {
    return false;
  }
  // Sector numbers in the first half of the buffer, their addresses in the second: one
  // request per batch.
  const DWORD batch = WorkBufferSize / 8;
  if (batch == 0) {
    return false;
  }
  auto* numbers = reinterpret_cast<DWORD*>(WorkBuffer);
  DWORD* addresses = numbers + batch;
  for (ULONGLONG sector = 0; sector < info->snNumSectors;) {
    const ULONGLONG left = info->snNumSectors - sector;
    const DWORD count = left < batch ? static_cast<DWORD>(left) : batch;
    for (DWORD i = 0; i < count; ++i) {
      numbers[i] = static_cast<DWORD>(sector + i);
    }
    DWORD returned = 0;
    if (!DeviceIoControl(store, IOCTL_DISK_GET_SECTOR_ADDR, numbers, count * 4, addresses,
                         count * 4, &returned, nullptr)) {
      *inUse = 0;
      return false;
    }
    for (DWORD i = 0; i < count; ++i) {
      *inUse += addresses[i] != 0xFFFFFFFF ? 1 : 0;
    }
    sector += count;
  }
  return true;
}

DWORD GetStoreUsage(HANDLE store, const STOREINFO* info) {
  DWORD inUse = 0;
  return CountSectorsInUse(store, info, &inUse) ? inUse * info->dwBytesPerSector : 0;
}
