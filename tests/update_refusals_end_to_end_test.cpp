// flashwick as a user runs it on files that the update refuses: a second file system section
// with a bad checksum or of an unknown kind, an image range past the end of the flash. The
// program shows the refusal, ends the batch with exit code 0, and the module's flash and spare
// areas are byte for byte as they were.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "host/sample_content.h"
#include "tests/support/module_fixture.h"

namespace {

namespace fs = std::filesystem;
using sample_content::Bytes;
using testing_support::Executable;
using testing_support::RunCommand;

std::uint32_t Word(const Bytes& bytes, std::size_t at) {
  return static_cast<std::uint32_t>(bytes.at(at)) |
         (static_cast<std::uint32_t>(bytes.at(at + 1)) << 8) |
         (static_cast<std::uint32_t>(bytes.at(at + 2)) << 16) |
         (static_cast<std::uint32_t>(bytes.at(at + 3)) << 24);
}

void PutWord(Bytes& bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    bytes.at(at + i) = static_cast<std::uint8_t>(value >> (8 * i));
  }
}

Bytes ReadFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const fs::path& file, const Bytes& bytes) {
  std::ofstream out(file, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

// FNV-1a of a file's bytes (the flash images are too large to keep two copies of).
std::uint64_t Digest(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::vector<char> buffer(1 << 20);
  std::uint64_t hash = 0xcbf29ce484222325ull;
  while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0) {
    for (std::streamsize i = 0; i < in.gcount(); ++i) {
      hash = (hash ^ static_cast<std::uint8_t>(buffer[static_cast<std::size_t>(i)])) *
             0x100000001b3ull;
    }
  }
  return hash;
}

// Where the image part of a bin file ends: just behind its end record.
std::size_t ImagePartEnd(const Bytes& file) {
  std::size_t at = 15;
  while (true) {
    const std::uint32_t address = Word(file, at);
    const std::uint32_t length = Word(file, at + 4);
    const std::uint32_t checksum = Word(file, at + 8);
    at += 12;
    if (address == 0 && checksum == 0) {
      return at;
    }
    at += length;
  }
}

// The module's full backup (records and one file system section) and its OS update.
struct Samples {
  Bytes fullBackup;
  std::size_t sectionStart;
  Bytes osUpdate;
};

struct RefusalCase {
  const char* name;
  Bytes (*build)(const Samples& samples);
  const char* shows;
};

class RefusedFiles : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(RefusedFiles, ShowTheRefusalAndLeaveTheFlashByteForByte) {
  testing_support::TemporaryDirectory scratch;
  const fs::path module = scratch.Path() / "module";
  std::string output;
  ASSERT_EQ(RunCommand(Executable("flashwick-module") + " create '" + module.string() +
                           "' --preset pxa320",
                       &output),
            0)
      << output;
  const fs::path images = module / "files" / "USB HD" / "IMAGES";
  Samples samples;
  samples.fullBackup = ReadFile(images / "full-backup.bin");
  samples.sectionStart = ImagePartEnd(samples.fullBackup);
  ASSERT_LT(samples.sectionStart + 348, samples.fullBackup.size()) << "no file system section";
  ASSERT_EQ(Word(samples.fullBackup, samples.sectionStart), 0x54585348u);  // "HSXT"
  samples.osUpdate = ReadFile(images / "os-update.bin");
  WriteFile(images / "refused.bin", GetParam().build(samples));
  const std::uint64_t flash = Digest(module / "flash.img");
  const std::uint64_t spare = Digest(module / "nand.oob");

  EXPECT_EQ(RunCommand(Executable("flashwick") + " --ui console --module '" + module.string() +
                           R"(' /u '\USB HD\IMAGES\refused.bin' /rc2000)",
                       &output),
            0)
      << output;
  EXPECT_NE(output.find(std::string("[ERROR] ") + GetParam().shows), std::string::npos) << output;
  EXPECT_EQ(output.find("resets"), std::string::npos) << output;
  EXPECT_EQ(Digest(module / "flash.img"), flash);
  EXPECT_EQ(Digest(module / "nand.oob"), spare);
}

// The full backup with a copy of its own section behind it, changed by change.
template <typename Change>
Bytes WithSecondSection(const Samples& samples, Change change) {
  Bytes file = samples.fullBackup;
  Bytes second(samples.fullBackup.begin() + static_cast<std::ptrdiff_t>(samples.sectionStart),
               samples.fullBackup.end());
  change(second);
  file.insert(file.end(), second.begin(), second.end());
  return file;
}

INSTANTIATE_TEST_SUITE_P(
    Files, RefusedFiles,
    ::testing::Values(RefusalCase{"SecondSectionWithABadChecksum",
                                  [](const Samples& samples) {
                                    return WithSecondSection(samples, [](Bytes& section) {
                                      section[348 + 12 + 64] ^= 1;
                                    });
                                  },
                                  "Bin file with corrupt CRC!"},
                      RefusalCase{"SecondSectionOfAnUnknownKind",
                                  [](const Samples& samples) {
                                    return WithSecondSection(samples, [](Bytes& section) {
                                      PutWord(section, 12, 4);
                                      PutWord(section, 344,
                                              sample_content::Fletcher32(
                                                  Bytes(section.begin(), section.begin() + 344)));
                                    });
                                  },
                                  "This file was generated with an other Flashwick"},
                      RefusalCase{"ImageRangePastTheFlashEnd",
                                  [](const Samples& samples) {
                                    Bytes file = samples.osUpdate;
                                    PutWord(file, 11,
                                            0x7FF00000);  // the image's length in the header
                                    return file;
                                  },
                                  "Not a valid WinCE binary image file!"}),
    [](const ::testing::TestParamInfo<RefusalCase>& info) { return info.param.name; });

}  // namespace
