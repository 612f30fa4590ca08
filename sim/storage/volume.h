// A mounted partition's file system: the directory tree that the module's FAT driver serves at
// a volume folder such as "\Flash Disk", and the form in which it lives in the partition's
// sectors.
//
// While a partition is mounted its tree is held in memory and changed by the file calls; the
// storage manager writes it back into the partition's sectors whenever anyone may look at the
// sectors (a sector I/O control on the store, a dismount, a deactivation, the process leaving
// the module) and reads it from them at mount. So the sectors alone always hold the files: a
// sector-level backup and restore of the store brings them back, formatting the store loses
// them.
//
// Volume image, written from the partition's first sector on (all integers little-endian):
//
//   offset  size  field
//   0       4     magic "FVOL" (0x4C4F5646)
//   4       4     format version, 1
//   8       4     image bytes, header included
//   12      4     entry count, root included
//   16      4     flags: bit 0 the volume was formatted as transaction-safe FAT
//   20      4     CRC-32 (IEEE) of the image bytes from offset 64 to the end
//   24      4     bytes per sector when formatted
//   28      4     reserved, 0
//   32      8     sectors of the partition when formatted
//   40      24    reserved, 0
//   64      ...   entries, depth-first pre-order, the root first; every directory's children
//                 in the order the directory search returns them (creation order):
//                   0   2  depth: 0 for the root, parent's depth + 1 otherwise
//                   2   2  name length in code units (0 for the root)
//                   4   4  attributes (FILE_ATTRIBUTE_DIRECTORY marks a directory)
//                   8   8  creation time (FILETIME)
//                   16  8  last access time
//                   24  8  last write time
//                   32  4  content bytes (0 for a directory)
//                   36  2n name, UTF-16LE without terminator
//                   ..  content bytes
//
// The image's sectors follow one another from the partition's first sector; sectors behind the
// image are erased (0xFF) so that the sectors in use follow the bytes the files take. A volume
// uses the whole image rounded up to sectors; a change that would make it larger than the
// partition fails with ERROR_DISK_FULL and changes nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/kernel.h"

namespace sim {

inline constexpr std::uint32_t kVolumeMagic = 0x4C4F5646;  // "FVOL"
inline constexpr std::uint32_t kVolumeVersion = 1;
inline constexpr std::uint32_t kVolumeHeaderBytes = 64;
inline constexpr std::uint32_t kVolumeEntryBytes = 36;  // fixed part of an entry
inline constexpr std::uint32_t kVolumeFlagTfat = 0x1;
// The FAT driver's longest name and path (code units, terminator not counted in the name).
inline constexpr std::size_t kVolumeMaxName = 255;
// Attributes a caller may set; FILE_ATTRIBUTE_DIRECTORY is the volume's own.
inline constexpr std::uint32_t kVolumeSettableAttributes =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
    FILE_ATTRIBUTE_ARCHIVE;
// A mount folder answers with these attributes, as the module's mount points do.
inline constexpr std::uint32_t kVolumeRootAttributes =
    FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_TEMPORARY;

struct VolumeNode {
  std::u16string name;  // empty for the root
  std::uint32_t attributes = 0;
  std::uint64_t created = 0;
  std::uint64_t accessed = 0;
  std::uint64_t written = 0;
  std::vector<std::uint8_t> content;
  std::vector<std::shared_ptr<VolumeNode>> children;
  VolumeNode* parent = nullptr;
  // Opens of this node, for the sharing rules.
  std::uint32_t readers = 0;
  std::uint32_t writers = 0;
  std::uint32_t denyRead = 0;
  std::uint32_t denyWrite = 0;
  std::uint32_t opens = 0;

  [[nodiscard]] bool IsDirectory() const { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
  // Attributes as a directory search reports them (FILE_ATTRIBUTE_NORMAL for a file with none).
  [[nodiscard]] std::uint32_t ReportedAttributes() const;
};

// What a directory search reports for one entry.
struct VolumeEntryInfo {
  std::u16string name;
  std::uint32_t attributes = 0;
  std::uint64_t created = 0;
  std::uint64_t accessed = 0;
  std::uint64_t written = 0;
  std::uint64_t size = 0;
};

class Volume;

// An open file of a volume. Holds its node; every call fails with ERROR_DEVICE_NOT_AVAILABLE
// once the volume has been dismounted.
class VolumeFile {
 public:
  VolumeFile(std::shared_ptr<Volume> volume, std::shared_ptr<VolumeNode> node, DWORD access,
             DWORD share);
  ~VolumeFile();
  VolumeFile(const VolumeFile&) = delete;
  VolumeFile& operator=(const VolumeFile&) = delete;

  // Each returns ERROR_SUCCESS or the error code that the file call reports.
  [[nodiscard]] DWORD Read(std::uint64_t position, void* buffer, std::uint32_t bytes,
                           std::uint32_t* done);
  [[nodiscard]] DWORD Write(std::uint64_t position, const void* buffer, std::uint32_t bytes,
                            std::uint32_t* done);
  [[nodiscard]] DWORD SetSize(std::uint64_t size);
  [[nodiscard]] DWORD Size(std::uint64_t* size) const;
  [[nodiscard]] DWORD GetTimes(std::uint64_t* created, std::uint64_t* accessed,
                               std::uint64_t* written) const;
  // Null pointers leave a time unchanged.
  [[nodiscard]] DWORD SetTimes(const std::uint64_t* created, const std::uint64_t* accessed,
                               const std::uint64_t* written);
  [[nodiscard]] DWORD Flush();
  [[nodiscard]] const std::shared_ptr<Volume>& Owner() const { return volume_; }

 private:
  [[nodiscard]] DWORD Usable() const;
  std::shared_ptr<Volume> volume_;
  std::shared_ptr<VolumeNode> node_;
  DWORD access_;
  DWORD share_;
};

// Held by shared pointer (its open files keep it alive).
class Volume : public std::enable_shared_from_this<Volume> {
 public:
  // A volume over a partition of sectors × sectorSize bytes.
  Volume(std::uint32_t sectorSize, std::uint64_t sectors);

  // An empty volume (what formatting the partition writes), with the root's times = now.
  void Format(std::uint64_t now, bool transactionSafe);
  // Reads an image. False (and the volume unchanged) when the bytes are not a whole, valid
  // volume for this partition; *why then says what is wrong.
  bool Load(std::span<const std::uint8_t> image, std::string* why);
  // The image as it goes into the sectors.
  [[nodiscard]] std::vector<std::uint8_t> Image() const;
  // Bytes in front of and including the header that Load needs to learn the image size.
  [[nodiscard]] static bool ImageBytesFromHeader(std::span<const std::uint8_t> header,
                                                 std::uint32_t* bytes);

  [[nodiscard]] std::uint32_t SectorSize() const { return sectorSize_; }
  [[nodiscard]] std::uint64_t Sectors() const { return sectors_; }
  [[nodiscard]] std::uint64_t CapacityBytes() const {
    return sectors_ * std::uint64_t{sectorSize_};
  }
  [[nodiscard]] std::uint64_t ImageBytes() const { return imageBytes_; }
  [[nodiscard]] std::uint64_t UsedBytes() const;
  [[nodiscard]] std::uint64_t FreeBytes() const { return CapacityBytes() - UsedBytes(); }
  [[nodiscard]] std::uint32_t Flags() const { return flags_; }
  [[nodiscard]] std::size_t EntryCount() const { return entries_; }
  [[nodiscard]] std::uint64_t ContentBytes() const { return contentBytes_; }

  // Changed since the last MarkClean (by a file call).
  [[nodiscard]] bool Dirty() const { return dirty_; }
  void MarkClean() { dirty_ = false; }
  void MarkDirty() { dirty_ = true; }
  // A dismounted volume refuses every call of its open files.
  void Retire() { retired_ = true; }
  [[nodiscard]] bool Retired() const { return retired_; }
  // Mounted read-only: every change fails with ERROR_ACCESS_DENIED.
  void SetReadOnly(bool readOnly) { readOnly_ = readOnly; }
  [[nodiscard]] bool ReadOnly() const { return readOnly_; }
  // Source of "now" for the times the file calls stamp (FILETIME units).
  void SetClock(std::uint64_t (*now)()) { now_ = now; }

  // ---- the file calls; paths are relative to the volume folder ("" is its root), components
  // separated by '\' or '/'. Each returns ERROR_SUCCESS or the code the call reports. ----
  [[nodiscard]] DWORD GetAttributes(std::u16string_view path, std::uint32_t* attributes) const;
  [[nodiscard]] DWORD SetAttributes(std::u16string_view path, std::uint32_t attributes);
  [[nodiscard]] DWORD CreateDirectory(std::u16string_view path);
  [[nodiscard]] DWORD RemoveDirectory(std::u16string_view path);
  [[nodiscard]] DWORD DeleteFile(std::u16string_view path);
  [[nodiscard]] DWORD Move(std::u16string_view from, std::u16string_view to);
  // CreateFileW. *existed tells whether the file was there before (the caller reports
  // ERROR_ALREADY_EXISTS as the last error for CREATE_ALWAYS and OPEN_ALWAYS then).
  [[nodiscard]] DWORD Open(std::u16string_view path, DWORD access, DWORD share, DWORD disposition,
                           DWORD flagsAndAttributes, std::shared_ptr<VolumeFile>* file,
                           bool* existed);
  // A directory search: the last component is a pattern (* and ?); entries in directory
  // order, never "." or "..". ERROR_PATH_NOT_FOUND when the folder is missing,
  // ERROR_FILE_NOT_FOUND when nothing matches.
  [[nodiscard]] DWORD Find(std::u16string_view pattern, std::vector<VolumeEntryInfo>* found) const;
  // The root's own entry, named name (the volume folder's name).
  [[nodiscard]] VolumeEntryInfo RootEntry(std::u16string_view name) const;
  // Sets the three times of any entry, the root ("") and directories included (the storage
  // manager takes them from the folder it writes back).
  [[nodiscard]] DWORD SetEntryTimes(std::u16string_view path, std::uint64_t created,
                                    std::uint64_t accessed, std::uint64_t written);

  // Walks every node depth-first, pre-order (root first) with its path relative to the root.
  void Walk(
      const std::function<void(const std::u16string& path, const VolumeNode& node)>& visit) const;

 private:
  friend class VolumeFile;
  [[nodiscard]] std::uint64_t Now() const;
  [[nodiscard]] DWORD Resolve(std::u16string_view path, std::shared_ptr<VolumeNode>* node) const;
  [[nodiscard]] DWORD ResolveParent(std::u16string_view path, std::shared_ptr<VolumeNode>* parent,
                                    std::u16string* name) const;
  [[nodiscard]] bool Fits(std::uint64_t imageBytes) const;
  static std::uint64_t EntryBytes(const VolumeNode& node);
  void Changed() { dirty_ = true; }

  std::uint32_t sectorSize_;
  std::uint64_t sectors_;
  std::shared_ptr<VolumeNode> root_;
  std::uint64_t imageBytes_ = 0;
  std::uint64_t contentBytes_ = 0;
  std::size_t entries_ = 0;
  std::uint32_t flags_ = 0;
  bool dirty_ = false;
  bool retired_ = false;
  bool readOnly_ = false;
  std::uint64_t (*now_)() = nullptr;
};

// True when a name may be a file or directory name on the volume.
bool IsValidVolumeName(std::u16string_view name);
// Splits a relative path into its components; false when a component is empty, "." or "..",
// or not a valid name.
bool SplitVolumePath(std::u16string_view path, std::vector<std::u16string>* components);
// Case-insensitive match of a name against a pattern of * and ? ("*.*" matches every name).
bool MatchVolumePattern(std::u16string_view pattern, std::u16string_view name);

}  // namespace sim
