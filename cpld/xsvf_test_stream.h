// Test helpers: building XSVF streams command by command, the stored sample streams, and the
// CPLD's in-system programming vectors. Used by tests only.
#pragma once

#include <gtest/gtest.h>

#include <bitset>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace xsvf_test {

using Bytes = std::vector<std::uint8_t>;

// "12ab00" -> {0x12, 0xab, 0x00}
inline Bytes Hex(const std::string& text) {
  Bytes bytes;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
    bytes.push_back(static_cast<std::uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

class Stream {
 public:
  Stream& Raw(std::initializer_list<std::uint8_t> bytes) {
    bytes_.insert(bytes_.end(), bytes);
    return *this;
  }
  Stream& Complete() { return Raw({0}); }
  Stream& TdoMask(const Bytes& mask) { return Command(1, mask); }
  Stream& Sir(std::uint8_t bits, const Bytes& tdi) {
    bytes_.push_back(2);
    bytes_.push_back(bits);
    return Append(tdi);
  }
  Stream& Sdr(const Bytes& tdi) { return Command(3, tdi); }
  Stream& RunTest(std::uint32_t microseconds) {
    bytes_.push_back(4);
    return Number(microseconds, 4);
  }
  Stream& Repeat(std::uint8_t times) { return Raw({7, times}); }
  Stream& SdrSize(std::uint32_t bits) {
    bytes_.push_back(8);
    return Number(bits, 4);
  }
  Stream& SdrTdo(const Bytes& tdi, const Bytes& expected) {
    return Command(9, tdi).Append(expected);
  }
  Stream& SetSdrMasks(const Bytes& address, const Bytes& data) {
    return Command(10, address).Append(data);
  }
  Stream& SdrInc(const Bytes& tdi, const std::vector<Bytes>& nextData) {
    Command(11, tdi);
    bytes_.push_back(static_cast<std::uint8_t>(nextData.size()));
    for (const Bytes& data : nextData) {
      Append(data);
    }
    return *this;
  }
  Stream& SdrB(const Bytes& tdi) { return Command(12, tdi); }
  Stream& SdrC(const Bytes& tdi) { return Command(13, tdi); }
  Stream& SdrE(const Bytes& tdi) { return Command(14, tdi); }
  Stream& SdrTdoB(const Bytes& tdi, const Bytes& expected) {
    return Command(15, tdi).Append(expected);
  }
  Stream& SdrTdoC(const Bytes& tdi, const Bytes& expected) {
    return Command(16, tdi).Append(expected);
  }
  Stream& SdrTdoE(const Bytes& tdi, const Bytes& expected) {
    return Command(17, tdi).Append(expected);
  }
  Stream& State(std::uint8_t state) { return Raw({18, state}); }
  Stream& EndIr(std::uint8_t operand) { return Raw({19, operand}); }
  Stream& EndDr(std::uint8_t operand) { return Raw({20, operand}); }
  Stream& Sir2(std::uint16_t bits, const Bytes& tdi) {
    bytes_.push_back(21);
    Number(bits, 2);
    return Append(tdi);
  }
  Stream& Comment(const std::string& text) {
    bytes_.push_back(22);
    bytes_.insert(bytes_.end(), text.begin(), text.end());
    bytes_.push_back(0);
    return *this;
  }
  Stream& Wait(std::uint8_t waitState, std::uint8_t endState, std::uint32_t microseconds) {
    Raw({23, waitState, endState});
    return Number(microseconds, 4);
  }
  [[nodiscard]] const Bytes& Data() const { return bytes_; }

 private:
  Stream& Command(std::uint8_t code, const Bytes& operand) {
    bytes_.push_back(code);
    return Append(operand);
  }
  Stream& Append(const Bytes& operand) {
    bytes_.insert(bytes_.end(), operand.begin(), operand.end());
    return *this;
  }
  Stream& Number(std::uint32_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) {
      bytes_.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
    return *this;
  }
  Bytes bytes_;
};

// The stored sample streams (made by the part vendor's tool for the 64-macrocell part), kept in
// the tree under testdata/xsvf with their licence.
inline std::filesystem::path SampleStreamDirectory() {
  return std::filesystem::path(FLASHWICK_SOURCE_DIR) / "testdata" / "xsvf";
}

// The path of one sample stream, for tests that hand the file to an executable. A missing or
// empty file fails the calling test with the file's name and gives an empty path.
inline std::filesystem::path SampleStreamPath(const std::string& name) {
  const std::filesystem::path path = SampleStreamDirectory() / name;
  std::error_code error;
  if (std::filesystem::file_size(path, error) == 0 || error) {
    ADD_FAILURE() << "sample stream " << path.string() << " is missing or empty";
    return {};
  }
  return path;
}

// The bytes of one sample stream. A missing or empty file fails the calling test with the file's
// name and gives an empty stream; callers stop there (ASSERT_FALSE(stream.empty())), so one lost
// file costs exactly the tests that read it.
inline Bytes SampleStream(const std::string& name) {
  const std::filesystem::path path = SampleStreamDirectory() / name;
  std::ifstream in(path, std::ios::binary);
  Bytes bytes(std::istreambuf_iterator<char>(in), (std::istreambuf_iterator<char>()));
  if (bytes.empty()) {
    ADD_FAILURE() << "sample stream " << path.string() << " is missing or empty";
  }
  return bytes;
}

// ---------------------------------------------------------------------------------------------
// In-system programming of the CPLD
// ---------------------------------------------------------------------------------------------
constexpr unsigned kRowCells = 274;
constexpr unsigned kRows = 98;
using Cells = std::bitset<kRowCells>;

// Rows are addressed in Gray code, the address's least significant bit shifted in last (it ends
// up in bit 280 of the 281-bit register, above the 274 cells).
inline unsigned GrayOf(unsigned row) { return row ^ (row >> 1); }

inline Bytes BitsToBytes(const std::vector<bool>& bits) {
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

// The 281-bit program vector of a row.
inline Bytes ProgramVector(unsigned row, const Cells& cells) {
  std::vector<bool> bits(kRowCells + 7);
  for (unsigned cell = 0; cell < kRowCells; ++cell) {
    bits[cell] = cells[cell];
  }
  for (unsigned i = 0; i < 7; ++i) {
    bits[kRowCells + 6 - i] = ((GrayOf(row) >> i) & 1) != 0;
  }
  return BitsToBytes(bits);
}

// The 7-bit address shifted before a row is read.
inline Bytes ReadAddress(unsigned row) {
  std::vector<bool> bits(7);
  for (unsigned i = 0; i < 7; ++i) {
    bits[6 - i] = ((GrayOf(row) >> i) & 1) != 0;
  }
  return BitsToBytes(bits);
}

inline Bytes CellBytes(const Cells& cells) {
  std::vector<bool> bits(kRowCells);
  for (unsigned cell = 0; cell < kRowCells; ++cell) {
    bits[cell] = cells[cell];
  }
  return BitsToBytes(bits);
}

// Row 97's cells for a user code (cells 0 to 31 hold it, the rest erased).
inline Cells UserCodeRow(std::uint32_t userCode) {
  Cells cells;
  cells.set();
  for (unsigned bit = 0; bit < 32; ++bit) {
    cells[bit] = ((userCode >> bit) & 1) != 0;
  }
  return cells;
}

struct ProgramOptions {
  bool erase = true;
  std::uint32_t eraseWait = 100000;   // microseconds in Run-Test/Idle after the erase
  std::uint32_t programWait = 10000;  // after each row
  std::uint32_t readWait = 100;       // after each read address
  bool verify = true;
  bool initialize = true;  // ISC_INIT's discharge and load before ISC_DISABLE
  bool discharge = true;   // the discharge step of that
};

// A complete programming stream: identify, enter ISC mode, erase, program the given rows,
// read every given row back against its cells, load the array into the part's configuration
// and leave ISC mode (which starts the new design).
inline Bytes ProgramStream(const std::map<unsigned, Cells>& rows, const ProgramOptions& options) {
  Stream stream;
  stream.Repeat(0).EndIr(0).EndDr(0).State(0).State(1);
  stream.Sir(8, {0x01})
      .SdrSize(32)
      .TdoMask(Hex("0fffffff"))
      .SdrTdo(Hex("00000000"), Hex("06e5d093"));
  stream.Sir(8, {0xE8});  // ISC_ENABLE
  if (options.erase) {
    // ISC_ERASE, then a pass through Update-DR arms the erase, which runs in Run-Test/Idle.
    stream.Sir(8, {0xED}).State(8).State(1);
    if (options.eraseWait != 0) {
      stream.Wait(1, 1, options.eraseWait);
    }
  }
  stream.Sir(8, {0xEA}).SdrSize(kRowCells + 7).TdoMask(Bytes(36, 0));
  for (const auto& [row, cells] : rows) {
    stream.SdrTdo(ProgramVector(row, cells), Bytes(36, 0));
    if (options.programWait != 0) {
      stream.Wait(1, 1, options.programWait);
    }
  }
  if (options.verify) {
    stream.Sir(8, {0xEE});  // ISC_READ
    for (const auto& [row, cells] : rows) {
      stream.SdrSize(7).TdoMask({0}).SdrTdo(ReadAddress(row), {0});
      if (options.readWait != 0) {
        stream.Wait(1, 1, options.readWait);
      }
      Bytes all(35, 0xFF);
      all[0] = 0x03;  // 274 bits in 35 bytes
      stream.SdrSize(kRowCells).TdoMask(all).SdrTdo(all, CellBytes(cells));
    }
  }
  if (options.initialize) {
    if (options.discharge) {
      stream.Sir(8, {0xF0}).Wait(1, 1, 20);  // ISC_INIT: 20 us in Run-Test/Idle discharge
    }
    // ISC_INIT through Update-DR, then 800 us in Run-Test/Idle: the array is loaded.
    stream.Sir(8, {0xF0}).State(2).State(3).State(5).State(8).State(1).Wait(1, 1, 800);
  }
  stream.Sir(8, {0xC0}).Wait(1, 1, 100);  // ISC_DISABLE
  stream.Sir(8, {0xFF}).Complete();
  return stream.Data();
}

// The cells each row holds after a stream has programmed it (programming only clears cells),
// found by walking the stream's XSDRTDO vectors under ISC_PROGRAM. Understands the commands the
// sample streams use; returns false on any other.
inline bool ProgrammedRows(const Bytes& stream, std::map<unsigned, Cells>* rows) {
  std::size_t at = 0;
  std::uint32_t bits = 0;
  std::uint8_t instruction = 0;
  auto number = [&](int count) {
    std::uint32_t value = 0;
    for (int i = 0; i < count; ++i) {
      value = (value << 8) | stream.at(at++);
    }
    return value;
  };
  while (at < stream.size()) {
    const std::uint8_t command = stream[at++];
    const std::size_t bytes = (bits + 7) / 8;
    switch (command) {
      case 0:
        return true;
      case 1:
        at += bytes;
        break;
      case 2: {
        const std::uint32_t length = number(1);
        instruction = stream.at(at);
        at += (length + 7) / 8;
        break;
      }
      case 4:
        at += 4;
        break;
      case 7:
      case 18:
      case 19:
      case 20:
        at += 1;
        break;
      case 8:
        bits = number(4);
        break;
      case 9: {
        if (instruction == 0xEA && bits == kRowCells + 7) {
          unsigned gray = 0;
          Cells cells;
          for (unsigned bit = 0; bit < kRowCells + 7; ++bit) {
            const bool on = ((stream.at(at + bytes - 1 - bit / 8) >> (bit % 8)) & 1) != 0;
            if (bit < kRowCells) {
              cells[bit] = on;
            } else if (on) {
              gray |= 1u << (kRowCells + 6 - bit);
            }
          }
          unsigned row = gray;
          for (unsigned shift = 1; shift < 8; shift <<= 1) {
            row ^= row >> shift;
          }
          auto [it, inserted] = rows->try_emplace(row, Cells().set());
          it->second &= cells;
        }
        at += 2 * bytes;
        break;
      }
      case 23:
        at += 6;
        break;
      default:
        return false;
    }
  }
  return false;
}

}  // namespace xsvf_test
