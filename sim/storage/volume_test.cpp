// The volume image that a partition's sectors hold, and the partition table of sector 0.
#include "sim/storage/volume.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/storage.h"
#include "sim/base/crc32.h"
#include "sim/base/utf.h"
#include "sim/storage/store.h"

namespace {

using sim::Volume;

constexpr std::uint32_t kSector = 512;
constexpr std::uint64_t kSectors = 64;  // 32 KiB partition

struct Entry {
  std::u16string path;
  std::uint32_t attributes;
  std::uint64_t times[3];
  std::vector<std::uint8_t> content;
  bool operator==(const Entry&) const = default;
};

std::vector<Entry> Contents(const Volume& volume) {
  std::vector<Entry> entries;
  volume.Walk([&](const std::u16string& path, const sim::VolumeNode& node) {
    entries.push_back(
        {path, node.attributes, {node.created, node.accessed, node.written}, node.content});
  });
  return entries;
}

void WriteFile(Volume& volume, std::u16string_view path, std::size_t size, std::uint8_t seed,
               std::uint32_t attributes) {
  std::shared_ptr<sim::VolumeFile> file;
  bool existed = false;
  ASSERT_EQ(volume.Open(path, GENERIC_WRITE, 0, CREATE_NEW, attributes, &file, &existed),
            ERROR_SUCCESS);
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<std::uint8_t>(seed + i * 7);
  }
  std::uint32_t done = 0;
  ASSERT_EQ(file->Write(0, bytes.data(), static_cast<std::uint32_t>(size), &done), ERROR_SUCCESS);
  ASSERT_EQ(done, size);
}

// A tree with nested and empty folders, an empty file, sizes that are not multiples of four,
// attributes and distinct times.
std::shared_ptr<Volume> SampleVolume() {
  auto volume = std::make_shared<Volume>(kSector, kSectors);
  volume->Format(1000, true);
  EXPECT_EQ(volume->CreateDirectory(u"Config"), ERROR_SUCCESS);
  EXPECT_EQ(volume->CreateDirectory(u"Config\\Deep"), ERROR_SUCCESS);
  EXPECT_EQ(volume->CreateDirectory(u"Empty"), ERROR_SUCCESS);
  WriteFile(*volume, u"Config\\Deep\\odd.bin", 1001, 3, FILE_ATTRIBUTE_HIDDEN);
  WriteFile(*volume, u"empty.txt", 0, 0, 0);
  WriteFile(*volume, u"Readme.txt", 37, 9, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);
  EXPECT_EQ(volume->SetEntryTimes(u"Config\\Deep\\odd.bin", 11, 22, 33), ERROR_SUCCESS);
  EXPECT_EQ(volume->SetEntryTimes(u"Config", 44, 55, 66), ERROR_SUCCESS);
  EXPECT_EQ(volume->SetAttributes(u"Empty", FILE_ATTRIBUTE_SYSTEM), ERROR_SUCCESS);
  return volume;
}

TEST(VolumeImage, RoundTrip_KeepsTreeAttributesTimesAndContent) {
  const auto volume = SampleVolume();
  const std::vector<std::uint8_t> image = volume->Image();
  ASSERT_EQ(image.size(), volume->ImageBytes());
  Volume loaded(kSector, kSectors);
  std::string why;
  ASSERT_TRUE(loaded.Load(image, &why)) << why;
  EXPECT_EQ(Contents(loaded), Contents(*volume));
  EXPECT_EQ(loaded.Flags(), sim::kVolumeFlagTfat);
  EXPECT_EQ(loaded.Image(), image);
  EXPECT_EQ(loaded.UsedBytes(), (image.size() + kSector - 1) / kSector * kSector);
}

TEST(VolumeImage, DamagedImages_AreRefusedAndChangeNothing) {
  // Root, then one folder "x" holding one file "y": entries at fixed offsets.
  auto base = std::make_shared<Volume>(kSector, kSectors);
  base->Format(1, false);
  ASSERT_EQ(base->CreateDirectory(u"x"), ERROR_SUCCESS);
  WriteFile(*base, u"x\\y", 5, 1, 0);
  const std::vector<std::uint8_t> good = base->Image();
  const std::size_t folder = sim::kVolumeHeaderBytes + sim::kVolumeEntryBytes;
  const std::size_t file = folder + sim::kVolumeEntryBytes + 2;
  struct Case {
    const char* name;
    std::function<void(std::vector<std::uint8_t>&)> damage;
    bool keepChecksum;  // the checksum is made to match, so that the structure is what fails
  };
  const std::vector<Case> cases = {
      {"magic", [](auto& image) { image[0] ^= 1; }, false},
      {"content bit", [](auto& image) { image[image.size() - 1] ^= 0x80; }, false},
      {"cut short", [](auto& image) { image.resize(image.size() - 1); }, false},
      {"longer than said", [](auto& image) { image.push_back(0); }, false},
      {"other sector size", [](auto& image) { image[25] ^= 0x04; }, false},
      {"depth skips a level", [&](auto& image) { image[folder] = 2; }, true},
      {"name \".\"", [&](auto& image) { image[folder + sim::kVolumeEntryBytes] = '.'; }, true},
      {"file below a file", [&](auto& image) { image[folder + 4] = 0; }, true},
      {"directory with content", [&](auto& image) { image[file + 4] |= 0x10; }, true},
      {"entry count", [](auto& image) { image[12] = 9; }, false},
  };
  for (const Case& c : cases) {
    std::vector<std::uint8_t> image = good;
    c.damage(image);
    if (c.keepChecksum) {
      const std::uint32_t crc =
          sim::Crc32(std::span<const std::uint8_t>(image).subspan(sim::kVolumeHeaderBytes), 0);
      for (int i = 0; i < 4; ++i) {
        image[20 + i] = static_cast<std::uint8_t>(crc >> (8 * i));
      }
    }
    Volume volume(kSector, kSectors);
    volume.Format(5, false);
    const auto before = Contents(volume);
    std::string why;
    EXPECT_FALSE(volume.Load(image, &why)) << c.name;
    EXPECT_FALSE(why.empty()) << c.name;
    EXPECT_EQ(Contents(volume), before) << c.name;
  }
}

TEST(VolumeImage, GrowthPastThePartition_FailsWithDiskFullAndWritesNothing) {
  auto shared = std::make_shared<Volume>(kSector, 4);  // 2 KiB
  Volume& volume = *shared;
  volume.Format(0, false);
  std::shared_ptr<sim::VolumeFile> file;
  bool existed = false;
  ASSERT_EQ(volume.Open(u"big.bin", GENERIC_WRITE, 0, CREATE_NEW, 0, &file, &existed),
            ERROR_SUCCESS);
  const std::uint64_t room = volume.CapacityBytes() - volume.ImageBytes();
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(room) + 1, 0x5A);
  std::uint32_t done = 0;
  EXPECT_EQ(file->Write(0, bytes.data(), static_cast<std::uint32_t>(bytes.size()), &done),
            static_cast<DWORD>(ERROR_DISK_FULL));
  EXPECT_EQ(done, 0u);
  std::uint64_t size = 1;
  ASSERT_EQ(file->Size(&size), ERROR_SUCCESS);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(file->Write(0, bytes.data(), static_cast<std::uint32_t>(room), &done), ERROR_SUCCESS);
  EXPECT_EQ(volume.FreeBytes(), 0u);
  EXPECT_EQ(volume.CreateDirectory(u"more"), static_cast<DWORD>(ERROR_DISK_FULL));
}

TEST(VolumePattern, Matching) {
  struct Case {
    const char16_t* pattern;
    const char16_t* name;
    bool match;
  };
  const Case cases[] = {
      {u"*", u"a.txt", true},
      {u"*.*", u"noext", true},
      {u"*.TXT", u"a.txt", true},
      {u"?.txt", u"ab.txt", false},
      {u"a*b*c", u"axxbyyc", true},
      {u"a*b", u"ab.c", false},
      {u"Readme.txt", u"README.TXT", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(sim::MatchVolumePattern(c.pattern, c.name), c.match)
        << sim::ToUtf8(c.pattern) << " / " << sim::ToUtf8(c.name);
  }
}

TEST(PartitionTable, RoundTripAndDamage) {
  std::vector<sim::PartitionEntry> entries = {
      {u"Part00", 1, 100, 7, 8, PARTITION_ATTRIBUTE_ACTIVE, 0x0C},
      {u"Data", 101, 50, 9, 10, 0, 0x0B},
  };
  std::vector<std::uint8_t> sector = sim::BuildPartitionTable(entries, kSector);
  std::vector<sim::PartitionEntry> read;
  ASSERT_EQ(sim::ParsePartitionTable(sector, 200, &read), sim::PartitionTableState::kValid);
  ASSERT_EQ(read.size(), 2u);
  EXPECT_EQ(read[1].name, u"Data");
  EXPECT_EQ(read[1].first, 101u);
  EXPECT_EQ(read[0].attributes, PARTITION_ATTRIBUTE_ACTIVE);
  // An erased sector is an empty table; a store too small for the partitions is damage.
  EXPECT_EQ(sim::ParsePartitionTable(sim::BuildPartitionTable({}, kSector), 200, &read),
            sim::PartitionTableState::kEmpty);
  EXPECT_EQ(sim::ParsePartitionTable(sector, 150, &read), sim::PartitionTableState::kDamaged);
  // A well-formed table that lists no partitions reads as the empty table it writes back as.
  std::vector<std::uint8_t> none(kSector, 0);
  const std::uint8_t header[] = {'S', 'M', 'P', 'T', 1, 0, 0, 0};
  std::copy(std::begin(header), std::end(header), none.begin());
  EXPECT_EQ(sim::ParsePartitionTable(none, 200, &read), sim::PartitionTableState::kEmpty);
  EXPECT_TRUE(read.empty());
  sector[20] ^= 1;
  EXPECT_EQ(sim::ParsePartitionTable(sector, 200, &read), sim::PartitionTableState::kDamaged);
  EXPECT_TRUE(read.empty());
}

}  // namespace
