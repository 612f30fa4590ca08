#include "tests/support/bin_builder.h"

#include <fstream>

namespace testing_support {

void AppendWord(Bytes& bytes, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
  }
}

std::uint32_t ByteSum(const Bytes& data) {
  std::uint32_t sum = 0;
  for (std::uint8_t byte : data) {
    sum += byte;
  }
  return sum;
}

std::uint32_t Fletcher32(const Bytes& data) {
  if (data.size() % 4 != 0) {
    return 0xFFFFFFFF;  // such a piece leaves the sums as they started
  }
  std::uint32_t a = 0xFFFF;
  std::uint32_t b = 0xFFFF;
  std::size_t sinceFold = 0;
  for (std::size_t i = 0; i < data.size(); i += 4) {
    const std::uint32_t word = data[i] | (data[i + 1] << 8) | (data[i + 2] << 16) |
                               (static_cast<std::uint32_t>(data[i + 3]) << 24);
    a += word & 0xFFFF;
    b += a;
    a += word >> 16;
    b += a;
    sinceFold += 4;
    if (sinceFold == 360) {
      a = (a >> 16) + (a & 0xFFFF);
      b = (b >> 16) + (b & 0xFFFF);
      sinceFold = 0;
    }
  }
  a = (a >> 16) + (a & 0xFFFF);
  b = (b >> 16) + (b & 0xFFFF);
  return a | (b << 16);
}

Bytes Pattern(std::size_t length, std::uint32_t seed) {
  Bytes bytes(length);
  std::uint32_t state = seed * 747796405u + 2891336453u;
  for (auto& byte : bytes) {
    state = state * 1664525u + 1013904223u;
    byte = static_cast<std::uint8_t>(state >> 24);
  }
  return bytes;
}

BinBuilder& BinBuilder::Header(std::uint32_t start, std::uint32_t length) {
  const char signature[] = "B000FF\n";
  bytes_.insert(bytes_.end(), signature, signature + 7);
  AppendWord(bytes_, start);
  AppendWord(bytes_, length);
  return *this;
}

BinBuilder& BinBuilder::Record(std::uint32_t address, const Bytes& data) {
  return RecordWithChecksum(address, data, ByteSum(data));
}

BinBuilder& BinBuilder::RecordWithChecksum(std::uint32_t address, const Bytes& data,
                                           std::uint32_t checksum) {
  AppendWord(bytes_, address);
  AppendWord(bytes_, static_cast<std::uint32_t>(data.size()));
  AppendWord(bytes_, checksum);
  bytes_.insert(bytes_.end(), data.begin(), data.end());
  return *this;
}

BinBuilder& BinBuilder::End(std::uint32_t length) {
  AppendWord(bytes_, 0);
  AppendWord(bytes_, length);
  AppendWord(bytes_, 0);
  return *this;
}

BinBuilder& BinBuilder::Cpld(const Bytes& data, std::uint32_t headerSize, std::uint32_t version) {
  AppendWord(bytes_, 0x54584358);  // "XCXT"
  AppendWord(bytes_, version);
  AppendWord(bytes_, headerSize);
  AppendWord(bytes_, static_cast<std::uint32_t>(data.size()));
  AppendWord(bytes_, 0);
  for (std::uint32_t at = 20; at + 4 < headerSize; at += 4) {
    AppendWord(bytes_, 0);
  }
  AppendWord(bytes_, Fletcher32(data));
  bytes_.insert(bytes_.end(), data.begin(), data.end());
  return *this;
}

BinBuilder& BinBuilder::Raw(const Bytes& bytes) {
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  return *this;
}

void BinBuilder::WriteTo(const std::filesystem::path& hostFile) const {
  std::filesystem::create_directories(hostFile.parent_path());
  std::ofstream out(hostFile, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes_.data()),
            static_cast<std::streamsize>(bytes_.size()));
}

Bytes Chunk(std::uint32_t first, const Bytes& data) {
  Bytes bytes;
  AppendWord(bytes, first);
  AppendWord(bytes, static_cast<std::uint32_t>(data.size()));
  AppendWord(bytes, Fletcher32(data));
  bytes.insert(bytes.end(), data.begin(), data.end());
  return bytes;
}

Bytes FileSystemSection(std::uint32_t kind, const Bytes& payload, std::uint32_t headerSize,
                        std::uint32_t memBase, std::uint32_t memLen, std::uint32_t version) {
  Bytes header;
  AppendWord(header, 0x54585348);  // "HSXT"
  AppendWord(header, version);
  AppendWord(header, headerSize);
  AppendWord(header, kind);
  AppendWord(header, memBase);
  AppendWord(header, memLen);
  AppendWord(header, static_cast<std::uint32_t>(payload.size()));
  AppendWord(header, 512);      // sectorSize
  AppendWord(header, 0x20000);  // blockSize
  AppendWord(header, 0);        // flags
  header.resize(headerSize - 4, 0);
  // storeInfo: cbSize 240, 512-byte sectors, one partition.
  header[104] = 240;
  header[288] = 0x00;
  header[289] = 0x02;
  header[332] = 1;
  AppendWord(header, Fletcher32(header));
  header.insert(header.end(), payload.begin(), payload.end());
  return header;
}

}  // namespace testing_support
