// Builds bin files for tests: the record format with its header and end record, file system
// sections and CPLD sections, byte by byte as the format lays them out.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace testing_support {

using Bytes = std::vector<std::uint8_t>;

void AppendWord(Bytes& bytes, std::uint32_t value);
std::uint32_t ByteSum(const Bytes& data);
// Fletcher-32 as the format computes it over one piece (whole words).
std::uint32_t Fletcher32(const Bytes& data);
// Deterministic filler.
Bytes Pattern(std::size_t length, std::uint32_t seed);

class BinBuilder {
 public:
  // The 15-byte header: "B000FF\n", image start, image length.
  BinBuilder& Header(std::uint32_t start, std::uint32_t length);
  // A record with its byte sum (or the checksum given).
  BinBuilder& Record(std::uint32_t address, const Bytes& data);
  BinBuilder& RecordWithChecksum(std::uint32_t address, const Bytes& data, std::uint32_t checksum);
  BinBuilder& End(std::uint32_t length = 0xBCA01000);
  // A CPLD section around data (header of 24 bytes unless headerSize says otherwise).
  BinBuilder& Cpld(const Bytes& data, std::uint32_t headerSize = 24, std::uint32_t version = 1);
  BinBuilder& Raw(const Bytes& bytes);
  [[nodiscard]] const Bytes& Data() const { return bytes_; }
  // Writes the file into the module's namespace under files/ (path relative to "\").
  void WriteTo(const std::filesystem::path& hostFile) const;

 private:
  Bytes bytes_;
};

// A file system section built field by field: header of headerSize bytes (348 normally) whose
// last word is its checksum, then the given payload.
Bytes FileSystemSection(std::uint32_t kind, const Bytes& payload, std::uint32_t headerSize = 348,
                        std::uint32_t memBase = 0xFFFFFFFF, std::uint32_t memLen = 0xFFFFFFFF,
                        std::uint32_t version = 1);
// A payload chunk: FsChunkHeader {first, size, Fletcher-32} and the bytes.
Bytes Chunk(std::uint32_t first, const Bytes& data);

}  // namespace testing_support
