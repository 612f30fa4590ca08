// The terminal front end in a real terminal: a small program of its own (terminal_demo) runs in
// a detached tmux terminal, is driven by keys, and the screen is read back with capture-pane.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/support/module_fixture.h"

namespace {

using testing_support::RunCommand;

class TerminalUi : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string output;
    if (RunCommand("tmux -V", &output) != 0) {
      GTEST_SKIP() << "tmux is not installed";
    }
    socket_ = "flashwick-ui-" + std::to_string(::getpid());
    result_ = scratch_.Path() / "result.txt";
    const std::string demo = std::string(FLASHWICK_BINARY_DIR) + "/tests/terminal_demo";
    const std::string command =
        "'" + demo + "' '" + module_.Directory().string() + "' '" + result_.string() + "'";
    ASSERT_EQ(Tmux("new -d -s demo -x 100 -y 32 \"" + command + "\""), 0);
  }

  void TearDown() override {
    if (!socket_.empty()) {
      Tmux("kill-server");
    }
  }

  int Tmux(const std::string& arguments, std::string* output = nullptr) {
    std::string ignored;
    return RunCommand("tmux -f /dev/null -L " + socket_ + " " + arguments,
                      output != nullptr ? output : &ignored);
  }

  std::string Screen() {
    std::string screen;
    Tmux("capture-pane -p -t demo", &screen);
    return screen;
  }

  // Waits until every text shows on the screen (or gives up after a generous wall-clock limit,
  // which only guards against a hang).
  bool WaitForScreen(std::initializer_list<const char*> texts) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    std::string screen;
    while (std::chrono::steady_clock::now() < deadline) {
      screen = Screen();
      bool all = true;
      for (const char* text : texts) {
        all = all && screen.find(text) != std::string::npos;
      }
      if (all) {
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ADD_FAILURE() << "the screen never showed what was expected:\n" << screen;
    return false;
  }

  void Keys(const std::string& keys) { ASSERT_EQ(Tmux("send-keys -t demo " + keys), 0); }
  void Type(const std::string& text) { ASSERT_EQ(Tmux("send-keys -t demo -l '" + text + "'"), 0); }

  std::string Result() {
    std::ifstream in(result_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  testing_support::TemporaryModule module_{"pxa320"};
  testing_support::TemporaryDirectory scratch_;
  std::filesystem::path result_;
  std::string socket_;
};

TEST_F(TerminalUi, KeysDriveTheRegionDialogSaveDialogProgressAndMessageBoxes) {
  ASSERT_TRUE(
      WaitForScreen({"BackUp", "Select Region(s)", "Bootloader", "0x00000000", "<Backup>"}));
  EXPECT_EQ(Screen().find("BackupAll"), std::string::npos);

  // Tab reaches the list; Space picks the first item, the arrows move, Space picks another.
  Keys("Tab Space");
  ASSERT_TRUE(WaitForScreen({"1 selected"}));
  Keys("Down Down Space");
  ASSERT_TRUE(WaitForScreen({"2 selected"}));

  // Ctrl+R is a right-button click on the dialog's surface: the hidden buttons appear.
  Keys("C-r");
  ASSERT_TRUE(WaitForScreen({"BackupAll", "Erase"}));

  // Enter presses the default button: the save dialog opens with the proposed name.
  Keys("Enter");
  ASSERT_TRUE(
      WaitForScreen({"Save Region As", "Look in: \\", "FlashBackup", "IMAGE files (*.bin)"}));
  Keys("Tab");
  ASSERT_TRUE(WaitForScreen({"USB HD\\"}));
  Keys("Tab");
  for (int i = 0; i < 11; ++i) {
    Keys("BSpace");
  }
  Type("\\USB HD\\IMAGES\\demo");
  Keys("Enter");
  ASSERT_TRUE(WaitForScreen({"Saved to \\USB HD\\IMAGES\\demo.bin", "[ OK ]"}));
  Keys("Enter");

  // Tab walks on to "Erase"; the erase shows a progress window drawn from another thread.
  Keys("Tab Tab Enter");
  ASSERT_TRUE(WaitForScreen({"Image Erase", "Erasing Flash (at", "[#"}));
  ASSERT_TRUE(WaitForScreen({"Success", "Region(s) successfully erased"}));
  Keys("Enter");

  Keys("Escape");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
  while (Result().find("ended") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(Result(),
            "selected 0\nselected 0,2\nrevealed\nsaved \\USB HD\\IMAGES\\demo.bin\nerased\n"
            "ended 0\n");
}

}  // namespace
