// The OS flash block driver's sectors: a store of the storage manager laid over one region of
// the module's flash, and the partition table that the storage manager keeps in its first
// sector.
//
// Sector s of a store is the flash bytes at MemBase + s × SectorSize. Reads and writes go
// through the OS's own view of the flash (sim::OsFlash) under "OnModuleFlash", as the OS
// driver's are, and cost the chips' busy time: a write programs erased sectors directly and
// otherwise reads the erase block, erases it and programs back every sector of it that holds
// data. A sector is in use when it holds anything but 0xFF; the driver's flash abstraction
// layer answers that from its map in RAM, so the question costs no flash time.
//
// Partition table, sector 0 of the store (little-endian). An erased sector 0 is an empty table:
//
//   offset  size  field
//   0       4     magic "SMPT" (0x54504D53)
//   4       4     version, 1
//   8       4     partition count (at most kMaxPartitions)
//   12      4     CRC-32 of the entries (count × 112 bytes from offset 16)
//   16      112×n entries, in creation order:
//                   0   64  name, 32 UTF-16 code units, NUL-padded
//                   64  8   first sector
//                   72  8   sector count
//                   80  8   creation time (FILETIME)
//                   88  8   last modification time
//                   96  4   attributes (PARTITION_ATTRIBUTE_*, without MOUNTED)
//                   100 1   partition type
//                   101 11  reserved, 0
//
// Partitions lie behind sector 0, in ascending order of first sector, without overlap.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/types.h"
#include "sim/base/files.h"
#include "sim/os/os_flash.h"

namespace sim {

inline constexpr std::uint32_t kPartitionTableMagic = 0x54504D53;  // "SMPT"
inline constexpr std::uint32_t kPartitionTableVersion = 1;
inline constexpr std::uint32_t kPartitionEntryBytes = 112;
inline constexpr std::uint32_t kPartitionTableHeaderBytes = 16;
inline constexpr std::size_t kMaxPartitions = 4;        // 16 + 4 × 112 fits a 512-byte sector
inline constexpr std::size_t kPartitionNameUnits = 31;  // PARTINFO name without its NUL

// Where a block driver instance keeps its store (the registry values of its key).
struct StoreGeometry {
  std::uint32_t memBase = 0;
  std::uint32_t memLen = 0;
  std::uint32_t blockSize = 0;
  std::uint32_t sectorSize = 0;
  [[nodiscard]] std::uint64_t Sectors() const { return sectorSize == 0 ? 0 : memLen / sectorSize; }
  // Overlap of the flash ranges of two stores.
  [[nodiscard]] bool Overlaps(const StoreGeometry& other) const {
    return std::uint64_t{memBase} < std::uint64_t{other.memBase} + other.memLen &&
           std::uint64_t{other.memBase} < std::uint64_t{memBase} + memLen;
  }
};

struct PartitionEntry {
  std::u16string name;
  std::uint64_t first = 0;
  std::uint64_t sectors = 0;
  std::uint64_t created = 0;
  std::uint64_t modified = 0;
  std::uint32_t attributes = 0;
  std::uint8_t type = 0;
};

enum class PartitionTableState { kEmpty, kValid, kDamaged };

// Reads a partition table sector; a damaged table gives no entries.
PartitionTableState ParsePartitionTable(std::span<const std::uint8_t> sector,
                                        std::uint64_t storeSectors,
                                        std::vector<PartitionEntry>* entries);
// The sector that holds a table (sectorSize bytes). An empty list gives an erased sector.
std::vector<std::uint8_t> BuildPartitionTable(const std::vector<PartitionEntry>& entries,
                                              std::uint32_t sectorSize);

// Checks a geometry against the flash the driver runs on. Empty when the driver can use it;
// else what is wrong, for the debug log.
std::string CheckStoreGeometry(const StoreGeometry& geometry);

class NandFlash;

// A scan of the flash for erased stretches, over many sectors at once: a stretch that lies
// wholly in a hole of the flash's file is erased without reading it, any other is read. Made
// once per scan (it notes which stretches of the file hold data and the NAND driver's block
// map); erasing during the scan only makes it read more than it needs to.
class FlashScan {
 public:
  FlashScan();
  // Whether every byte of the range reads 0xFF, as PeekFlash would read it. False when the
  // range lies outside the flash or cannot be read.
  [[nodiscard]] bool Erased(std::uint32_t offset, std::uint32_t length, bool* erased);
  // Whether the range lies in a block that an earlier look found to hold nothing (a quick
  // answer for scans of many sectors; false says only that Erased must look).
  [[nodiscard]] bool KnownErased(std::uint32_t offset, std::uint32_t length) const {
    return offset >= erasedBegin_ && std::uint64_t{offset} + length <= erasedEnd_;
  }

 private:
  [[nodiscard]] bool MayHoldData(std::uint64_t begin, std::uint64_t end);
  OsFlash* flash_ = nullptr;  // the flash when the scan began (a scan is one request)
  std::uint64_t flashSize_ = 0;
  NandFlash* nand_ = nullptr;
  bool mapValid_ = false;
  std::vector<std::uint16_t> map_;  // NAND: physical block of each logical block
  std::vector<FileExtent> extents_;
  std::size_t cursor_ = 0;  // where the last look-up ended in extents_
  std::vector<std::uint8_t> buffer_;
  // NAND: the physical page that buffer_ holds, so that the sectors of one page are read once,
  // and the last logical block found to hold nothing at all, [erasedBegin_, erasedEnd_).
  std::uint64_t pageInBuffer_ = ~std::uint64_t{0};
  std::uint32_t blocks_ = 0;
  std::uint32_t erasedBegin_ = 0;
  std::uint64_t erasedEnd_ = 0;
};

// One sector to write: data points at SectorSize bytes.
struct SectorWrite {
  std::uint64_t sector;
  const std::uint8_t* data;
};

// The sectors of one store.
class SectorDevice {
 public:
  explicit SectorDevice(const StoreGeometry& geometry)
      : geometry_(geometry), sectors_(geometry.Sectors()) {}
  [[nodiscard]] const StoreGeometry& Geometry() const { return geometry_; }
  [[nodiscard]] std::uint64_t Sectors() const { return sectors_; }
  [[nodiscard]] std::uint32_t SectorSize() const { return geometry_.sectorSize; }

  // Each returns ERROR_SUCCESS, ERROR_INVALID_PARAMETER for sectors outside the store, or
  // ERROR_READ_FAULT / ERROR_WRITE_FAULT when the flash fails.
  [[nodiscard]] DWORD Read(std::uint64_t first, std::uint64_t count, std::uint8_t* out) const;
  [[nodiscard]] DWORD Write(std::uint64_t first, std::uint64_t count, const std::uint8_t* data);
  // Sectors in any order, each at most once.
  [[nodiscard]] DWORD Write(std::vector<SectorWrite> writes);
  // In use: the sector holds anything but 0xFF.
  [[nodiscard]] DWORD InUse(std::uint64_t sector, bool* inUse) const;
  // The same within a scan of many sectors.
  [[nodiscard]] DWORD InUse(std::uint64_t sector, FlashScan& scan, bool* inUse) const {
    if (sector < sectors_ && scan.KnownErased(Offset(sector), geometry_.sectorSize)) {
      *inUse = false;
      return ERROR_SUCCESS;
    }
    return LookAt(sector, scan, inUse);
  }
  // Erases every block of the store that holds data.
  [[nodiscard]] DWORD EraseAll();
  // The physical sector number reported for a sector in use.
  [[nodiscard]] std::uint32_t PhysicalSector(std::uint64_t sector) const {
    return static_cast<std::uint32_t>(geometry_.memBase / geometry_.sectorSize + sector);
  }

 private:
  [[nodiscard]] DWORD LookAt(std::uint64_t sector, FlashScan& scan, bool* inUse) const;
  [[nodiscard]] std::uint32_t Offset(std::uint64_t sector) const {
    return static_cast<std::uint32_t>(geometry_.memBase + sector * geometry_.sectorSize);
  }
  StoreGeometry geometry_;
  std::uint64_t sectors_;  // asked once per sector in a scan: not divided out each time
};

// Reads flash bytes as they stand, without bus or chip time (for the flash abstraction layer's
// map and for tools). False when the range is outside the flash.
bool PeekFlash(std::uint32_t offset, void* destination, std::uint32_t length);

}  // namespace sim
