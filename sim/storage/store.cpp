// Sectors of a store over the module's flash, and the storage manager's partition table.
#include "sim/storage/store.h"

#include <algorithm>
#include <cstring>

#include "platform/kernel.h"
#include "sim/base/bytes.h"
#include "sim/base/crc32.h"
#include "sim/hw/nand_flash.h"
#include "sim/hw/nor_flash.h"
#include "sim/os/os_call.h"
#include "sim/os/shared_memory.h"
#include "sim/storage/volume.h"

namespace sim {
namespace {

bool AllErased(const std::uint8_t* bytes, std::size_t length) {
  std::uint64_t all = ~std::uint64_t{0};
  std::size_t i = 0;
  for (; i + 8 <= length; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, bytes + i, 8);
    all &= word;
  }
  for (; i < length; ++i) {
    all &= 0xFFFFFFFFFFFFFF00ull | bytes[i];
  }
  return all == ~std::uint64_t{0};
}

// The NAND OS driver's logical page to physical page, through the bad block table the program
// shares: block b of the logical space lies in physical block map[b]; logical pages 63 to 126
// sit one page further so that the table page (physical page 63) holds no data, and logical
// page 127 has no physical page.
bool NandPhysicalPage(const std::uint16_t* map, std::uint32_t blocks, std::uint32_t logicalPage,
                      std::uint32_t* physicalPage) {
  const std::uint32_t shift = 6;  // 64 pages per block
  if (logicalPage == 2 * kNandPagesPerBlock - 1) {
    return false;
  }
  const std::uint32_t block = logicalPage >> shift;
  if (block >= blocks || map[block] >= blocks) {
    return false;
  }
  const std::uint32_t page = logicalPage >= kNandTablePage && logicalPage < 2 * kNandPagesPerBlock
                                 ? logicalPage + 1
                                 : logicalPage;
  *physicalPage = page + ((std::uint32_t{map[block]} - block) << shift);
  return true;
}

// The block map the OS driver works from: the shared table when it holds its magic, else the
// table page, which OsBlockMap reads for us. False when neither gives one.
bool NandDriverMap(NandFlash& nand, std::vector<std::uint16_t>* map) {
  const std::uint32_t blocks = nand.BlockCount();
  auto* shared =
      static_cast<std::uint8_t*>(OpenNamedMemory(kNandSharedTableName, kNandSharedTableBytes));
  if (shared != nullptr && Get32(shared) == kNandSharedTableMagic &&
      blocks <= (kNandSharedTableBytes - 4) / 2) {
    map->resize(blocks);
    std::memcpy(map->data(), shared + 4, std::size_t{blocks} * 2);
    return true;
  }
  *map = nand.OsBlockMap();
  return map->size() >= blocks;
}

bool PeekNand(NandFlash& nand, std::uint32_t offset, std::uint8_t* out, std::uint32_t length) {
  const std::uint32_t blocks = nand.BlockCount();
  std::vector<std::uint16_t> copied;
  if (!NandDriverMap(nand, &copied)) {
    return false;
  }
  const std::uint16_t* map = copied.data();
  std::vector<std::uint8_t> page(kNandPageBytes);
  while (length > 0) {
    const std::uint32_t logical = offset / kNandPageBytes;
    const std::uint32_t within = offset % kNandPageBytes;
    const std::uint32_t take = std::min(length, kNandPageBytes - within);
    std::uint32_t physical = 0;
    if (!NandPhysicalPage(map, blocks, logical, &physical)) {
      std::memset(page.data(), 0xFF, page.size());
    } else if (!nand.ReadRawPage(physical, page.data(), nullptr)) {
      return false;
    }
    std::memcpy(out, page.data() + within, take);
    out += take;
    offset += take;
    length -= take;
  }
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Partition table
// ---------------------------------------------------------------------------------------------
PartitionTableState ParsePartitionTable(std::span<const std::uint8_t> sector,
                                        std::uint64_t storeSectors,
                                        std::vector<PartitionEntry>* entries) {
  entries->clear();
  if (AllErased(sector.data(), sector.size())) {
    return PartitionTableState::kEmpty;
  }
  if (sector.size() < kPartitionTableHeaderBytes || Get32(sector.data()) != kPartitionTableMagic ||
      Get32(sector.data() + 4) != kPartitionTableVersion) {
    return PartitionTableState::kDamaged;
  }
  const std::uint32_t count = Get32(sector.data() + 8);
  if (count > kMaxPartitions ||
      kPartitionTableHeaderBytes + std::size_t{count} * kPartitionEntryBytes > sector.size()) {
    return PartitionTableState::kDamaged;
  }
  const auto body =
      sector.subspan(kPartitionTableHeaderBytes, std::size_t{count} * kPartitionEntryBytes);
  if (Crc32(body, 0) != Get32(sector.data() + 12)) {
    return PartitionTableState::kDamaged;
  }
  if (count == 0) {
    // A table without partitions is what an erased sector means, and it is written as one.
    return PartitionTableState::kEmpty;
  }
  std::uint64_t nextFree = 1;  // sector 0 holds this table
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint8_t* raw = body.data() + std::size_t{i} * kPartitionEntryBytes;
    PartitionEntry entry;
    for (std::size_t unit = 0; unit < kPartitionNameUnits + 1; ++unit) {
      const auto c = static_cast<char16_t>(raw[2 * unit] | (raw[2 * unit + 1] << 8));
      if (c == 0) {
        break;
      }
      entry.name.push_back(c);
    }
    entry.first = Get64(raw + 64);
    entry.sectors = Get64(raw + 72);
    entry.created = Get64(raw + 80);
    entry.modified = Get64(raw + 88);
    entry.attributes = Get32(raw + 96);
    entry.type = raw[100];
    if (entry.name.empty() || entry.name.size() > kPartitionNameUnits || entry.sectors == 0 ||
        entry.first < nextFree || entry.first > storeSectors ||
        entry.sectors > storeSectors - entry.first) {
      entries->clear();
      return PartitionTableState::kDamaged;
    }
    for (const PartitionEntry& earlier : *entries) {
      if (earlier.name == entry.name) {
        entries->clear();
        return PartitionTableState::kDamaged;
      }
    }
    nextFree = entry.first + entry.sectors;
    entries->push_back(std::move(entry));
  }
  return PartitionTableState::kValid;
}

std::vector<std::uint8_t> BuildPartitionTable(const std::vector<PartitionEntry>& entries,
                                              std::uint32_t sectorSize) {
  std::vector<std::uint8_t> sector(sectorSize, 0xFF);
  if (entries.empty()) {
    return sector;
  }
  std::fill(sector.begin(), sector.end(), 0);
  Put32(sector.data(), kPartitionTableMagic);
  Put32(sector.data() + 4, kPartitionTableVersion);
  Put32(sector.data() + 8, static_cast<std::uint32_t>(entries.size()));
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const PartitionEntry& entry = entries[i];
    std::uint8_t* raw = sector.data() + kPartitionTableHeaderBytes + i * kPartitionEntryBytes;
    for (std::size_t unit = 0; unit < entry.name.size() && unit < kPartitionNameUnits; ++unit) {
      raw[2 * unit] = static_cast<std::uint8_t>(entry.name[unit]);
      raw[2 * unit + 1] = static_cast<std::uint8_t>(entry.name[unit] >> 8);
    }
    Put64(raw + 64, entry.first);
    Put64(raw + 72, entry.sectors);
    Put64(raw + 80, entry.created);
    Put64(raw + 88, entry.modified);
    Put32(raw + 96, entry.attributes);
    raw[100] = entry.type;
  }
  Put32(sector.data() + 12,
        Crc32(std::span<const std::uint8_t>(sector).subspan(kPartitionTableHeaderBytes,
                                                            entries.size() * kPartitionEntryBytes),
              0));
  return sector;
}

// ---------------------------------------------------------------------------------------------
// Geometry and the flash underneath
// ---------------------------------------------------------------------------------------------
std::string CheckStoreGeometry(const StoreGeometry& geometry) {
  OsFlash* flash = CurrentOsFlash();
  if (flash == nullptr) {
    return "the module has no flash";
  }
  const std::uint32_t size = flash->Size();
  if (geometry.memLen == 0 || std::uint64_t{geometry.memBase} + geometry.memLen > size) {
    return "MemBase/MemLen lie outside the flash";
  }
  const std::uint32_t block = flash->BlockSize(geometry.memBase);
  if (geometry.blockSize != block) {
    return "BlockSize does not match the flash's erase block";
  }
  if (geometry.memBase % block != 0 || geometry.memLen % block != 0) {
    return "MemBase/MemLen are not whole erase blocks";
  }
  for (std::uint64_t at = geometry.memBase; at < std::uint64_t{geometry.memBase} + geometry.memLen;
       at += block) {
    if (flash->BlockSize(static_cast<std::uint32_t>(at)) != block) {
      return "the region mixes erase block sizes";
    }
  }
  const std::uint32_t sector = geometry.sectorSize;
  if (sector < 512 || (sector & (sector - 1)) != 0 || block % sector != 0) {
    return "SectorSize is not a power of two from 512 up to the block size";
  }
  if (NandFlash::Current() != nullptr && sector != kNandPageBytes) {
    // A NAND page is programmed once per erase: a sector is one page.
    return "SectorSize is not the NAND page size";
  }
  if (geometry.Sectors() < 2) {
    return "the region holds fewer than two sectors";
  }
  return {};
}

bool PeekFlash(std::uint32_t offset, void* destination, std::uint32_t length) {
  if (NandFlash* nand = NandFlash::Current(); nand != nullptr) {
    OsFlash* flash = CurrentOsFlash();
    if (flash == nullptr || std::uint64_t{offset} + length > flash->Size()) {
      return false;
    }
    return PeekNand(*nand, offset, static_cast<std::uint8_t*>(destination), length);
  }
  if (CurrentOsFlash() == nullptr) {
    return false;
  }
  return NorBackdoorRead(offset, destination, length);
}

// ---------------------------------------------------------------------------------------------
// Sector device
// ---------------------------------------------------------------------------------------------
DWORD SectorDevice::Read(std::uint64_t first, std::uint64_t count, std::uint8_t* out) const {
  if (first > Sectors() || count > Sectors() - first) {
    return ERROR_INVALID_PARAMETER;
  }
  OsFlash* flash = CurrentOsFlash();
  if (flash == nullptr) {
    return ERROR_DEVICE_NOT_AVAILABLE;
  }
  ModuleFlashLock lock;
  if (!lock.Held()) {
    return ERROR_GEN_FAILURE;
  }
  const std::uint64_t bytes = count * geometry_.sectorSize;
  // One request per erase block at most, as the driver copies block by block.
  for (std::uint64_t done = 0; done < bytes;) {
    const std::uint32_t offset = Offset(first) + static_cast<std::uint32_t>(done);
    const std::uint32_t inBlock = geometry_.blockSize - offset % geometry_.blockSize;
    const auto take = static_cast<std::uint32_t>(std::min<std::uint64_t>(inBlock, bytes - done));
    if (!flash->Read(offset, out + done, take)) {
      return ERROR_READ_FAULT;
    }
    done += take;
  }
  return ERROR_SUCCESS;
}

DWORD SectorDevice::Write(std::uint64_t first, std::uint64_t count, const std::uint8_t* data) {
  if (first > Sectors() || count > Sectors() - first) {
    return ERROR_INVALID_PARAMETER;
  }
  std::vector<SectorWrite> writes;
  writes.reserve(static_cast<std::size_t>(count));
  for (std::uint64_t i = 0; i < count; ++i) {
    writes.push_back(SectorWrite{first + i, data + i * geometry_.sectorSize});
  }
  return Write(std::move(writes));
}

DWORD SectorDevice::Write(std::vector<SectorWrite> writes) {
  for (const SectorWrite& write : writes) {
    if (write.sector >= Sectors()) {
      return ERROR_INVALID_PARAMETER;
    }
  }
  if (writes.empty()) {
    return ERROR_SUCCESS;
  }
  OsFlash* flash = CurrentOsFlash();
  if (flash == nullptr) {
    return ERROR_DEVICE_NOT_AVAILABLE;
  }
  std::sort(writes.begin(), writes.end(),
            [](const SectorWrite& a, const SectorWrite& b) { return a.sector < b.sector; });
  ModuleFlashLock lock;
  if (!lock.Held()) {
    return ERROR_GEN_FAILURE;
  }
  const std::uint32_t sectorSize = geometry_.sectorSize;
  const std::uint32_t perBlock = geometry_.blockSize / sectorSize;
  std::vector<std::uint8_t> old(sectorSize);
  std::vector<std::uint8_t> block;
  std::size_t next = 0;
  while (next < writes.size()) {
    // The writes that fall into one erase block.
    const std::uint64_t blockIndex = writes[next].sector / perBlock;
    std::size_t end = next;
    while (end < writes.size() && writes[end].sector / perBlock == blockIndex) {
      ++end;
    }
    std::vector<const SectorWrite*> direct;
    bool needsErase = false;
    for (std::size_t i = next; i < end; ++i) {
      if (!flash->Read(Offset(writes[i].sector), old.data(), sectorSize)) {
        return ERROR_READ_FAULT;
      }
      if (std::memcmp(old.data(), writes[i].data, sectorSize) == 0) {
        continue;
      }
      if (AllErased(old.data(), sectorSize)) {
        direct.push_back(&writes[i]);
      } else {
        needsErase = true;
      }
    }
    if (!needsErase) {
      for (const SectorWrite* write : direct) {
        if (!flash->Program(Offset(write->sector), write->data, sectorSize)) {
          return ERROR_WRITE_FAULT;
        }
      }
    } else {
      // Read the whole block, put the new sectors in, erase it and program back every sector
      // that holds data.
      const std::uint32_t blockOffset =
          geometry_.memBase + static_cast<std::uint32_t>(blockIndex * geometry_.blockSize);
      block.resize(geometry_.blockSize);
      if (!flash->Read(blockOffset, block.data(), geometry_.blockSize)) {
        return ERROR_READ_FAULT;
      }
      for (std::size_t i = next; i < end; ++i) {
        std::memcpy(block.data() + (writes[i].sector % perBlock) * sectorSize, writes[i].data,
                    sectorSize);
      }
      if (!flash->EraseBlock(blockOffset)) {
        return ERROR_WRITE_FAULT;
      }
      for (std::uint32_t s = 0; s < perBlock; ++s) {
        const std::uint8_t* sector = block.data() + std::size_t{s} * sectorSize;
        if (!AllErased(sector, sectorSize) &&
            !flash->Program(blockOffset + s * sectorSize, sector, sectorSize)) {
          return ERROR_WRITE_FAULT;
        }
      }
    }
    next = end;
  }
  return ERROR_SUCCESS;
}

DWORD SectorDevice::InUse(std::uint64_t sector, bool* inUse) const {
  FlashScan scan;
  return InUse(sector, scan, inUse);
}

DWORD SectorDevice::LookAt(std::uint64_t sector, FlashScan& scan, bool* inUse) const {
  if (sector >= Sectors()) {
    return ERROR_INVALID_PARAMETER;
  }
  bool erased = false;
  if (!scan.Erased(Offset(sector), geometry_.sectorSize, &erased)) {
    return ERROR_READ_FAULT;
  }
  *inUse = !erased;
  return ERROR_SUCCESS;
}

DWORD SectorDevice::EraseAll() {
  OsFlash* flash = CurrentOsFlash();
  if (flash == nullptr) {
    return ERROR_DEVICE_NOT_AVAILABLE;
  }
  ModuleFlashLock lock;
  if (!lock.Held()) {
    return ERROR_GEN_FAILURE;
  }
  FlashScan scan;
  for (std::uint64_t at = geometry_.memBase;
       at < std::uint64_t{geometry_.memBase} + geometry_.memLen; at += geometry_.blockSize) {
    const auto offset = static_cast<std::uint32_t>(at);
    // The flash abstraction layer knows which blocks hold nothing and leaves them alone.
    bool erased = false;
    if (scan.Erased(offset, geometry_.blockSize, &erased) && erased) {
      continue;
    }
    if (!flash->EraseBlock(offset)) {
      return ERROR_WRITE_FAULT;
    }
  }
  return ERROR_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Scans for erased stretches
// ---------------------------------------------------------------------------------------------
FlashScan::FlashScan() {
  flash_ = CurrentOsFlash();
  if (flash_ == nullptr) {
    return;
  }
  flashSize_ = flash_->Size();
  nand_ = NandFlash::Current();
  if (nand_ != nullptr) {
    mapValid_ = NandDriverMap(*nand_, &map_);
    blocks_ = nand_->BlockCount();
    extents_ = nand_->DataExtents();
    buffer_.resize(kNandPageBytes);
  } else {
    extents_ = NorDataExtents();
  }
}

bool FlashScan::MayHoldData(std::uint64_t begin, std::uint64_t end) {
  // The first stretch that ends after begin. Scans mostly go forward, so the search starts
  // where the last one ended and looks back only when a scan goes back.
  if (cursor_ > extents_.size() || (cursor_ > 0 && extents_[cursor_ - 1].end > begin)) {
    cursor_ =
        static_cast<std::size_t>(std::upper_bound(extents_.begin(), extents_.end(), begin,
                                                  [](std::uint64_t at, const FileExtent& extent) {
                                                    return at < extent.end;
                                                  }) -
                                 extents_.begin());
  }
  while (cursor_ < extents_.size() && extents_[cursor_].end <= begin) {
    ++cursor_;
  }
  return cursor_ < extents_.size() && extents_[cursor_].begin < end;
}

bool FlashScan::Erased(std::uint32_t offset, std::uint32_t length, bool* erased) {
  if (flash_ == nullptr || std::uint64_t{offset} + length > flashSize_) {
    return false;
  }
  *erased = true;
  if (nand_ == nullptr) {
    if (!MayHoldData(offset, std::uint64_t{offset} + length)) {
      return true;
    }
    buffer_.resize(length);
    if (!NorBackdoorRead(offset, buffer_.data(), length)) {
      return false;
    }
    *erased = AllErased(buffer_.data(), length);
    return true;
  }
  if (!mapValid_) {
    return false;
  }
  if (KnownErased(offset, length)) {
    return true;
  }
  while (length > 0) {
    const std::uint32_t within = offset % kNandPageBytes;
    const std::uint32_t take = std::min(length, kNandPageBytes - within);
    std::uint32_t physical = 0;
    // A logical page without a physical one reads erased.
    if (NandPhysicalPage(map_.data(), blocks_, offset / kNandPageBytes, &physical)) {
      const std::uint64_t at = std::uint64_t{physical} * kNandPageBytes + within;
      // Past the first two blocks a logical block is one physical block, page for page: when
      // nothing of that block lies in the file, its other sectors read erased without a look.
      const std::uint64_t blockAt = std::uint64_t{physical / kNandPagesPerBlock} * kNandBlockBytes;
      if (offset >= 2 * kNandBlockBytes && !MayHoldData(blockAt, blockAt + kNandBlockBytes)) {
        erasedBegin_ = offset / kNandBlockBytes * kNandBlockBytes;
        erasedEnd_ = std::uint64_t{erasedBegin_} + kNandBlockBytes;
      } else if (MayHoldData(at, at + take)) {
        if (physical != pageInBuffer_) {
          pageInBuffer_ = ~std::uint64_t{0};
          if (!nand_->ReadRawPage(physical, buffer_.data(), nullptr)) {
            return false;
          }
          pageInBuffer_ = physical;
        }
        if (!AllErased(buffer_.data() + within, take)) {
          *erased = false;
          return true;
        }
      }
    }
    offset += take;
    length -= take;
  }
  return true;
}

}  // namespace sim
