// libFuzzer: arbitrary bytes read as what a flash disk's sectors hold: the partition table of
// a store's first sector and the volume image at the start of a partition. A reader must refuse
// the bytes or accept them whole, and what it accepts must write back to the same bytes.
//
// The image's geometry fields and checksum are set to match before it is read, so that the
// fuzzer spends its time in the entries.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "sim/base/crc32.h"
#include "sim/storage/store.h"
#include "sim/storage/volume.h"

namespace {

constexpr std::uint32_t kSectorSize = 512;
constexpr std::uint64_t kPartitionSectors = 4096;  // 2 MiB

void Put32(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
}

[[noreturn]] void Stop(const char* what) {
  std::fprintf(stderr, "%s\n", what);
  std::abort();
}

void PartitionTable(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> sector(kSectorSize, 0xFF);
  std::memcpy(sector.data(), data, size < kSectorSize ? size : kSectorSize);
  std::vector<sim::PartitionEntry> entries;
  if (sim::ParsePartitionTable(sector, kPartitionSectors, &entries) !=
      sim::PartitionTableState::kValid) {
    return;
  }
  std::vector<sim::PartitionEntry> again;
  if (sim::ParsePartitionTable(sim::BuildPartitionTable(entries, kSectorSize), kPartitionSectors,
                               &again) != sim::PartitionTableState::kValid ||
      again.size() != entries.size()) {
    Stop("an accepted partition table does not read back");
  }
}

void VolumeImage(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> image(data, data + size);
  if (image.size() >= sim::kVolumeHeaderBytes) {
    Put32(image, 0, sim::kVolumeMagic);
    Put32(image, 4, sim::kVolumeVersion);
    Put32(image, 8, static_cast<std::uint32_t>(image.size()));
    Put32(image, 24, kSectorSize);
    Put32(image, 32, static_cast<std::uint32_t>(kPartitionSectors));
    Put32(image, 36, 0);
    Put32(image, 20,
          sim::Crc32(std::span<const std::uint8_t>(image).subspan(sim::kVolumeHeaderBytes), 0));
  }
  auto volume = std::make_shared<sim::Volume>(kSectorSize, kPartitionSectors);
  std::string why;
  if (!volume->Load(image, &why)) {
    if (why.empty()) {
      Stop("a refused image gives no reason");
    }
    return;
  }
  const std::vector<std::uint8_t> written = volume->Image();
  auto again = std::make_shared<sim::Volume>(kSectorSize, kPartitionSectors);
  if (!again->Load(written, &why) || again->Image() != written) {
    Stop("an accepted volume does not read back the same");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  PartitionTable(data, size);
  VolumeImage(data, size);
  return 0;
}
