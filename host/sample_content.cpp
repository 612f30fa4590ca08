#include "host/sample_content.h"

#include <algorithm>

#include "sim/base/files.h"

namespace sample_content {

// ---------------------------------------------------------------------------------------------
// Words and checksums
// ---------------------------------------------------------------------------------------------
void AppendWord(Bytes& bytes, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
  }
}

void SetWord(Bytes& bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    bytes.at(at + i) = static_cast<std::uint8_t>(value >> (8 * i));
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
    return 0xFFFFFFFF;
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
    // Folded often enough that the 32-bit sums cannot overflow.
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

// ---------------------------------------------------------------------------------------------
// Bin files
// ---------------------------------------------------------------------------------------------
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

BinBuilder& BinBuilder::Records(std::uint32_t start, const Bytes& image,
                                std::uint32_t recordBytes) {
  for (std::size_t at = 0; at < image.size(); at += recordBytes) {
    const std::size_t length = std::min<std::size_t>(recordBytes, image.size() - at);
    Record(start + static_cast<std::uint32_t>(at),
           Bytes(image.begin() + static_cast<std::ptrdiff_t>(at),
                 image.begin() + static_cast<std::ptrdiff_t>(at + length)));
  }
  return *this;
}

BinBuilder& BinBuilder::End(std::uint32_t entryPoint) {
  AppendWord(bytes_, 0);
  AppendWord(bytes_, entryPoint);
  AppendWord(bytes_, 0);
  return *this;
}

BinBuilder& BinBuilder::Cpld(const Bytes& stream, std::uint32_t headerBytes,
                             std::uint32_t version) {
  AppendWord(bytes_, kCpldSectionMagic);
  AppendWord(bytes_, version);
  AppendWord(bytes_, headerBytes);
  AppendWord(bytes_, static_cast<std::uint32_t>(stream.size()));
  AppendWord(bytes_, 0);
  for (std::uint32_t at = 20; at + 4 < headerBytes; at += 4) {
    AppendWord(bytes_, 0);
  }
  AppendWord(bytes_, Fletcher32(stream));
  bytes_.insert(bytes_.end(), stream.begin(), stream.end());
  return *this;
}

BinBuilder& BinBuilder::Raw(const Bytes& bytes) {
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  return *this;
}

bool BinBuilder::WriteTo(const std::filesystem::path& hostFile) const {
  std::error_code code;
  std::filesystem::create_directories(hostFile.parent_path(), code);
  return sim::WriteWholeFile(hostFile, bytes_, nullptr);
}

Bytes Chunk(std::uint32_t first, const Bytes& data) {
  Bytes bytes;
  AppendWord(bytes, first);
  AppendWord(bytes, static_cast<std::uint32_t>(data.size()));
  AppendWord(bytes, Fletcher32(data));
  bytes.insert(bytes.end(), data.begin(), data.end());
  return bytes;
}

Bytes FileSystemSection(std::uint32_t kind, const Bytes& payload, std::uint32_t headerBytes,
                        std::uint32_t memBase, std::uint32_t memLen, std::uint32_t version) {
  Bytes header;
  AppendWord(header, 0x54585348);  // "HSXT"
  AppendWord(header, version);
  AppendWord(header, headerBytes);
  AppendWord(header, kind);
  AppendWord(header, memBase);
  AppendWord(header, memLen);
  AppendWord(header, static_cast<std::uint32_t>(payload.size()));
  AppendWord(header, 512);      // sectorSize
  AppendWord(header, 0x20000);  // blockSize
  AppendWord(header, 0);        // flags
  header.resize(headerBytes - 4, 0);
  // storeInfo: cbSize 240, 512-byte sectors, one partition.
  header[104] = 240;
  header[288] = 0x00;
  header[289] = 0x02;
  header[332] = 1;
  AppendWord(header, Fletcher32(header));
  header.insert(header.end(), payload.begin(), payload.end());
  return header;
}

// ---------------------------------------------------------------------------------------------
// XSVF streams
// ---------------------------------------------------------------------------------------------
XsvfStream& XsvfStream::Raw(std::initializer_list<std::uint8_t> bytes) {
  bytes_.insert(bytes_.end(), bytes);
  return *this;
}

XsvfStream& XsvfStream::Complete() { return Raw({0}); }

XsvfStream& XsvfStream::TdoMask(const Bytes& mask) { return Command(1, mask); }

XsvfStream& XsvfStream::Sir(std::uint8_t bits, const Bytes& tdi) {
  bytes_.push_back(2);
  bytes_.push_back(bits);
  return Append(tdi);
}

XsvfStream& XsvfStream::Sdr(const Bytes& tdi) { return Command(3, tdi); }

XsvfStream& XsvfStream::RunTest(std::uint32_t microseconds) {
  bytes_.push_back(4);
  return Number(microseconds, 4);
}

XsvfStream& XsvfStream::Repeat(std::uint8_t times) { return Raw({7, times}); }

XsvfStream& XsvfStream::SdrSize(std::uint32_t bits) {
  bytes_.push_back(8);
  return Number(bits, 4);
}

XsvfStream& XsvfStream::SdrTdo(const Bytes& tdi, const Bytes& expected) {
  return Command(9, tdi).Append(expected);
}

XsvfStream& XsvfStream::SetSdrMasks(const Bytes& address, const Bytes& data) {
  return Command(10, address).Append(data);
}

XsvfStream& XsvfStream::SdrInc(const Bytes& tdi, const std::vector<Bytes>& nextData) {
  Command(11, tdi);
  bytes_.push_back(static_cast<std::uint8_t>(nextData.size()));
  for (const Bytes& data : nextData) {
    Append(data);
  }
  return *this;
}

XsvfStream& XsvfStream::SdrB(const Bytes& tdi) { return Command(12, tdi); }
XsvfStream& XsvfStream::SdrC(const Bytes& tdi) { return Command(13, tdi); }
XsvfStream& XsvfStream::SdrE(const Bytes& tdi) { return Command(14, tdi); }

XsvfStream& XsvfStream::SdrTdoB(const Bytes& tdi, const Bytes& expected) {
  return Command(15, tdi).Append(expected);
}

XsvfStream& XsvfStream::SdrTdoC(const Bytes& tdi, const Bytes& expected) {
  return Command(16, tdi).Append(expected);
}

XsvfStream& XsvfStream::SdrTdoE(const Bytes& tdi, const Bytes& expected) {
  return Command(17, tdi).Append(expected);
}

XsvfStream& XsvfStream::State(std::uint8_t state) { return Raw({18, state}); }
XsvfStream& XsvfStream::EndIr(std::uint8_t operand) { return Raw({19, operand}); }
XsvfStream& XsvfStream::EndDr(std::uint8_t operand) { return Raw({20, operand}); }

XsvfStream& XsvfStream::Sir2(std::uint16_t bits, const Bytes& tdi) {
  bytes_.push_back(21);
  Number(bits, 2);
  return Append(tdi);
}

XsvfStream& XsvfStream::Comment(const std::string& text) {
  bytes_.push_back(22);
  bytes_.insert(bytes_.end(), text.begin(), text.end());
  bytes_.push_back(0);
  return *this;
}

XsvfStream& XsvfStream::Wait(std::uint8_t waitState, std::uint8_t endState,
                             std::uint32_t microseconds) {
  Raw({23, waitState, endState});
  return Number(microseconds, 4);
}

XsvfStream& XsvfStream::Command(std::uint8_t code, const Bytes& operand) {
  bytes_.push_back(code);
  return Append(operand);
}

XsvfStream& XsvfStream::Append(const Bytes& operand) {
  bytes_.insert(bytes_.end(), operand.begin(), operand.end());
  return *this;
}

XsvfStream& XsvfStream::Number(std::uint32_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) {
    bytes_.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
  }
  return *this;
}

// ---------------------------------------------------------------------------------------------
// In-system programming of the CPLD
// ---------------------------------------------------------------------------------------------
unsigned GrayOf(unsigned row) { return row ^ (row >> 1); }

Bytes BitsToBytes(const std::vector<bool>& bits) {
  const std::size_t count = (bits.size() + 7) / 8;
  Bytes bytes(count, 0);
  for (std::size_t bit = 0; bit < bits.size(); ++bit) {
    if (bits[bit]) {
      bytes[count - 1 - bit / 8] =
          static_cast<std::uint8_t>(bytes[count - 1 - bit / 8] | (1u << (bit % 8)));
    }
  }
  return bytes;
}

Bytes ProgramVector(unsigned row, const CpldCells& cells) {
  std::vector<bool> bits(kCpldRowCells + 7);
  for (unsigned cell = 0; cell < kCpldRowCells; ++cell) {
    bits[cell] = cells[cell];
  }
  for (unsigned i = 0; i < 7; ++i) {
    bits[kCpldRowCells + 6 - i] = ((GrayOf(row) >> i) & 1) != 0;
  }
  return BitsToBytes(bits);
}

Bytes ReadAddress(unsigned row) {
  std::vector<bool> bits(7);
  for (unsigned i = 0; i < 7; ++i) {
    bits[6 - i] = ((GrayOf(row) >> i) & 1) != 0;
  }
  return BitsToBytes(bits);
}

Bytes CellBytes(const CpldCells& cells) {
  std::vector<bool> bits(kCpldRowCells);
  for (unsigned cell = 0; cell < kCpldRowCells; ++cell) {
    bits[cell] = cells[cell];
  }
  return BitsToBytes(bits);
}

CpldCells UserCodeRow(std::uint32_t userCode) {
  CpldCells cells;
  cells.set();
  for (unsigned bit = 0; bit < 32; ++bit) {
    cells[bit] = ((userCode >> bit) & 1) != 0;
  }
  return cells;
}

Bytes ProgramStream(const std::map<unsigned, CpldCells>& rows, const ProgramOptions& options) {
  constexpr std::uint8_t kIdCode = 0x01;
  constexpr std::uint8_t kIscEnable = 0xE8;
  constexpr std::uint8_t kIscErase = 0xED;
  constexpr std::uint8_t kIscProgram = 0xEA;
  constexpr std::uint8_t kIscRead = 0xEE;
  constexpr std::uint8_t kIscInit = 0xF0;
  constexpr std::uint8_t kIscDisable = 0xC0;
  constexpr std::uint8_t kBypass = 0xFF;
  XsvfStream stream;
  stream.Repeat(0).EndIr(0).EndDr(0).State(kTapReset).State(kTapIdle);
  // The part must be the module's 64-macrocell CPLD; the revision nibble is masked off.
  stream.Sir(8, {kIdCode})
      .SdrSize(32)
      .TdoMask({0x0F, 0xFF, 0xFF, 0xFF})
      .SdrTdo({0x00, 0x00, 0x00, 0x00}, {0x06, 0xE5, 0xD0, 0x93});
  stream.Sir(8, {kIscEnable});
  if (options.erase) {
    // A pass through Update-DR arms the erase, which runs in Run-Test/Idle.
    stream.Sir(8, {kIscErase}).State(kTapUpdateDr).State(kTapIdle);
    if (options.eraseWait != 0) {
      stream.Wait(kTapIdle, kTapIdle, options.eraseWait);
    }
  }
  stream.Sir(8, {kIscProgram}).SdrSize(kCpldRowCells + 7).TdoMask(Bytes(36, 0));
  for (const auto& [row, cells] : rows) {
    stream.SdrTdo(ProgramVector(row, cells), Bytes(36, 0));
    if (options.programWait != 0) {
      stream.Wait(kTapIdle, kTapIdle, options.programWait);
    }
  }
  if (options.verify) {
    stream.Sir(8, {kIscRead});
    Bytes all(35, 0xFF);
    all[0] = 0x03;  // 274 bits in 35 bytes
    for (const auto& [row, cells] : rows) {
      stream.SdrSize(7).TdoMask({0}).SdrTdo(ReadAddress(row), {0});
      if (options.readWait != 0) {
        stream.Wait(kTapIdle, kTapIdle, options.readWait);
      }
      stream.SdrSize(kCpldRowCells).TdoMask(all).SdrTdo(all, CellBytes(cells));
    }
  }
  if (options.initialize) {
    if (options.discharge) {
      stream.Sir(8, {kIscInit}).Wait(kTapIdle, kTapIdle, 20);  // 20 us discharge in Run-Test/Idle
    }
    // ISC_INIT through Update-DR, then 800 us in Run-Test/Idle: the array is loaded.
    stream.Sir(8, {kIscInit})
        .State(kTapSelectDr)
        .State(kTapCaptureDr)
        .State(kTapExit1Dr)
        .State(kTapUpdateDr)
        .State(kTapIdle)
        .Wait(kTapIdle, kTapIdle, 800);
  }
  stream.Sir(8, {kIscDisable}).Wait(kTapIdle, kTapIdle, 100);
  stream.Sir(8, {kBypass}).Complete();
  return stream.Data();
}

}  // namespace sample_content
