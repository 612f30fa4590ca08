#include "sim/base/files.h"

#include <gtest/gtest.h>

#include "tests/support/module_fixture.h"

namespace {

TEST(Files, WholeFile_RoundTripsTextAndBytes) {
  testing_support::TemporaryDirectory folder;
  const sim::fs::path file = folder.Path() / "state.json";
  std::string error;
  ASSERT_TRUE(sim::WriteWholeFile(file, std::string("a\0b\n", 4), &error)) << error;
  std::string text;
  ASSERT_TRUE(sim::ReadWholeFile(file, &text));
  EXPECT_EQ(text, std::string("a\0b\n", 4));

  std::vector<std::uint8_t> bytes(200000);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<std::uint8_t>(i * 7);
  }
  ASSERT_TRUE(sim::WriteWholeFile(file, bytes, &error)) << error;
  std::vector<std::uint8_t> read;
  ASSERT_TRUE(sim::ReadWholeFile(file, &read));
  EXPECT_EQ(read, bytes);
  ASSERT_TRUE(sim::WriteWholeFile(file, "", &error)) << error;
  ASSERT_TRUE(sim::ReadWholeFile(file, &read));
  EXPECT_TRUE(read.empty());
}

TEST(Files, ReadWholeFile_MissingOrFolder_FailsAndLeavesTheContent) {
  testing_support::TemporaryDirectory folder;
  std::string text = "kept";
  EXPECT_FALSE(sim::ReadWholeFile(folder.Path() / "missing", &text));
  EXPECT_FALSE(sim::ReadWholeFile(folder.Path(), &text));
  EXPECT_EQ(text, "kept");
}

TEST(Files, WriteWholeFile_Failure_NamesTheFileAndLeavesNoTemporary) {
  testing_support::TemporaryDirectory folder;
  std::string error;
  EXPECT_FALSE(sim::WriteWholeFile(folder.Path() / "no folder" / "x.json", "x", &error));
  EXPECT_NE(error.find("x.json"), std::string::npos) << error;

  // A folder of that name cannot be replaced by a file: the rename fails.
  const sim::fs::path taken = folder.Path() / "taken";
  sim::fs::create_directories(taken / "inside");
  error.clear();
  EXPECT_FALSE(sim::WriteWholeFile(taken, "x", &error));
  EXPECT_NE(error.find("taken"), std::string::npos) << error;
  EXPECT_TRUE(sim::fs::is_directory(taken / "inside"));
  EXPECT_FALSE(sim::fs::exists(folder.Path() / "taken.tmp"));
}

}  // namespace
