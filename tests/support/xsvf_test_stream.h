// Test helpers for XSVF: the sample streams stored under testdata/xsvf, and the rows a
// programming stream programs. Streams themselves are written with host/sample_content.h.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "host/sample_content.h"
#include "sim/base/files.h"
#include "sim/base/hex.h"

namespace xsvf_test {

using sample_content::Bytes;
using sample_content::CpldCells;
using sample_content::kCpldRowCells;

// "12ab00" -> {0x12, 0xab, 0x00}; text that is not pairs of hex digits fails the calling test.
inline Bytes Hex(const std::string& text) {
  Bytes bytes;
  EXPECT_TRUE(sim::ParseHexBytes(text, &bytes)) << text;
  return bytes;
}

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
  Bytes bytes;
  if (!sim::ReadWholeFile(path, &bytes) || bytes.empty()) {
    ADD_FAILURE() << "sample stream " << path.string() << " is missing or empty";
  }
  return bytes;
}

// The cells each row holds after a stream has programmed it (programming only clears cells),
// found by walking the stream's XSDRTDO vectors under ISC_PROGRAM. Understands the commands the
// sample streams use; returns false on any other.
inline bool ProgrammedRows(const Bytes& stream, std::map<unsigned, CpldCells>* rows) {
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
        if (instruction == 0xEA && bits == kCpldRowCells + 7) {
          unsigned gray = 0;
          CpldCells cells;
          for (unsigned bit = 0; bit < kCpldRowCells + 7; ++bit) {
            const bool on = ((stream.at(at + bytes - 1 - bit / 8) >> (bit % 8)) & 1) != 0;
            if (bit < kCpldRowCells) {
              cells[bit] = on;
            } else if (on) {
              gray |= 1u << (kCpldRowCells + 6 - bit);
            }
          }
          unsigned row = gray;
          for (unsigned shift = 1; shift < 8; shift <<= 1) {
            row ^= row >> shift;
          }
          auto [it, inserted] = rows->try_emplace(row, CpldCells().set());
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
