// The terminal front end in a real terminal: a small program of its own (terminal_demo), and
// flashwick itself, run in a detached tmux terminal, are driven by keys, and the screen is read
// back with capture-pane.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "sim/base/files.h"
#include "tests/support/module_fixture.h"

namespace {

using testing_support::Executable;
using testing_support::RunCommand;

// A detached tmux terminal of 100 x 32 cells running one command.
class Terminal : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string output;
    if (RunCommand("tmux -V", &output) != 0) {
      GTEST_SKIP() << "tmux is not installed";
    }
    socket_ = "flashwick-ui-" + std::to_string(::getpid());
  }

  void TearDown() override {
    if (!socket_.empty()) {
      Tmux("kill-server");
    }
  }

  void Start(const std::string& command) {
    ASSERT_EQ(Tmux("new -d -s demo -x 100 -y 32 \"" + command + "\""), 0);
  }

  int Tmux(const std::string& arguments, std::string* output = nullptr) {
    std::string ignored;
    return RunCommand("tmux -f /dev/null -L " + socket_ + " " + arguments,
                      output != nullptr ? output : &ignored);
  }

  std::string Screen(bool attributes = false) {
    std::string screen;
    Tmux(std::string("capture-pane -p ") + (attributes ? "-e " : "") + "-t demo", &screen);
    return screen;
  }

  // The screen without its last line, the hint line (which may name buttons that are hidden).
  std::string Windows() {
    std::string screen = Screen();
    while (!screen.empty() && screen.back() == '\n') {
      screen.pop_back();
    }
    return screen.substr(0, screen.rfind('\n') + 1);
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

  // The text of the focused button (drawn bold, underlined and reversed).
  std::string Focused() {
    const std::string screen = Screen(true);
    const std::string mark = "\x1b[1;4;7m";
    const std::size_t at = screen.find(mark);
    if (at == std::string::npos) {
      return "";
    }
    return screen.substr(at + mark.size(),
                         screen.find('\x1b', at + mark.size()) - at - mark.size());
  }

  // Tab until the button with this text has the focus.
  void FocusButton(const std::string& text) {
    for (int i = 0; i < 12 && Focused().find(text) == std::string::npos; ++i) {
      Keys("Tab");
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    ASSERT_NE(Focused().find(text), std::string::npos) << Screen();
  }

  // Waits until a text has left the screen (a window closed).
  bool WaitForScreenWithout(const char* text) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    while (std::chrono::steady_clock::now() < deadline) {
      if (Screen().find(text) == std::string::npos) {
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ADD_FAILURE() << "the screen kept showing \"" << text << "\":\n" << Screen();
    return false;
  }

  void Keys(const std::string& keys) { ASSERT_EQ(Tmux("send-keys -t demo " + keys), 0); }
  void Type(const std::string& text) { ASSERT_EQ(Tmux("send-keys -t demo -l '" + text + "'"), 0); }

  testing_support::TemporaryDirectory scratch_;
  std::string socket_;
};

class TerminalUi : public Terminal {
 protected:
  void SetUp() override {
    Terminal::SetUp();
    if (IsSkipped()) {
      return;
    }
    result_ = scratch_.Path() / "result.txt";
    const std::string demo = std::string(FLASHWICK_BINARY_DIR) + "/tests/terminal_demo";
    Start("'" + demo + "' '" + module_.Directory().string() + "' '" + result_.string() + "'");
  }

  std::string Result() {
    std::string text;  // none yet: empty
    (void)sim::ReadWholeFile(result_, &text);
    return text;
  }

  testing_support::TemporaryModule module_{"pxa320"};
  std::filesystem::path result_;
};

TEST_F(TerminalUi, KeysDriveTheRegionDialogSaveDialogProgressAndMessageBoxes) {
  ASSERT_TRUE(
      WaitForScreen({"BackUp", "Select Region(s)", "Bootloader", "0x00000000", "<Backup>"}));
  EXPECT_EQ(Windows().find("BackupAll"), std::string::npos) << Screen();
  // A label wider in cells than in the template keeps its colon and a blank before its value.
  EXPECT_NE(Screen().find("UsedBytes: 0x00000000"), std::string::npos) << Screen();
  // The hint line names the key that shows the hidden buttons.
  EXPECT_NE(Screen().find("^R: show BackupAll/Erase (right click)"), std::string::npos) << Screen();

  // Tab reaches the list; Space picks the first item, the arrows move, Space picks another.
  Keys("Tab Space");
  ASSERT_TRUE(WaitForScreen({"1 selected"}));
  Keys("Down Down Space");
  ASSERT_TRUE(WaitForScreen({"2 selected"}));

  // Ctrl+R is a right-button click on the dialog's surface: the hidden buttons appear.
  Keys("C-r");
  ASSERT_TRUE(WaitForScreen({"BackupAll", "Erase", "^R: right click"}));

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
  // Keys reach the dialog only once the box has gone.
  ASSERT_TRUE(WaitForScreenWithout("Saved to"));

  // Tab walks on to "Erase"; the erase shows a progress window drawn from another thread.
  FocusButton("Erase");
  Keys("Enter");
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

// flashwick as a person uses it: a module made by the module tool with its sample files, the
// program started without switches on the terminal, and an update of the OS image through the
// main dialog, the file dialog, the confirmation, the progress window and the closing questions.
class FlashwickInTerminal : public Terminal {
 protected:
  void SetUp() override {
    Terminal::SetUp();
    if (IsSkipped()) {
      return;
    }
    module_ = scratch_.Path() / "module";
    std::string output;
    ASSERT_EQ(RunCommand(Executable("flashwick-module") + " create '" + module_.string() +
                             "' --preset pxa320",
                         &output),
              0)
        << output;
    // The pane stays open with the program's last words and its exit code.
    Start("'" + Executable("flashwick") + "' --module '" + module_.string() +
          "'; echo EXIT=\\$?; sleep 600");
  }

  std::filesystem::path module_;
};

// The region dialog as the program draws it, its hidden buttons shown by the program itself on a
// right click, and Escape answering a Yes/No box with No.
TEST_F(FlashwickInTerminal, RegionDialogRevealsItsButtonsAndEscapeAnswersNo) {
  ASSERT_TRUE(WaitForScreen({"Flashwick 3.4.0", "Coldboot"}));
  FocusButton("Backup");
  Keys("Enter");
  ASSERT_TRUE(WaitForScreen({"BackUp", "Select Region(s)", "UsedBytes: 0x00000000",
                             "^R: show BackupAll/Erase (right click)"}));
  EXPECT_EQ(Windows().find("BackupAll"), std::string::npos) << Screen();
  Keys("C-r");
  ASSERT_TRUE(WaitForScreen({"BackupAll", "Erase", "^R: right click"}));
  // The first region selected: its used bytes show beside the whole label.
  Keys("Tab Space");
  ASSERT_TRUE(WaitForScreen({"UsedBytes: 0x"}));
  EXPECT_EQ(Screen().find("UsedBytes0x"), std::string::npos) << Screen();
  // Erase asks Yes/No; Escape answers No and nothing is erased.
  const std::uintmax_t before = std::filesystem::file_size(module_ / "flash.img");
  std::string flash;
  ASSERT_TRUE(sim::ReadWholeFile(module_ / "flash.img", &flash));
  FocusButton("Erase");
  Keys("Enter");
  ASSERT_TRUE(WaitForScreen(
      {"Flash Erase", "Are you sure you want to erase the selected region(s)?", "Esc: No"}));
  Keys("Escape");
  ASSERT_TRUE(WaitForScreenWithout("Are you sure"));
  EXPECT_EQ(Screen().find("Image Erase"), std::string::npos) << Screen();
  Keys("Escape");
  ASSERT_TRUE(WaitForScreenWithout("Select Region(s)"));
  Keys("Escape");
  ASSERT_TRUE(WaitForScreen({"flashwick: exit code 1 after", "OK", "EXIT=1"}));
  std::string after;
  ASSERT_TRUE(sim::ReadWholeFile(module_ / "flash.img", &after));
  EXPECT_EQ(std::filesystem::file_size(module_ / "flash.img"), before);
  EXPECT_TRUE(after == flash) << "the flash changed";
}

TEST_F(FlashwickInTerminal, UpdateThroughTheMainDialogEndsWithTheColdReset) {
  ASSERT_TRUE(
      WaitForScreen({"Flashwick 3.4.0", "Flash Registry", "Save", "Clear", "Bootloader / Image",
                     "Update", "Backup", "Version Info", "CPLDVersion", "Warmboot", "Coldboot"}));
  FocusButton("Update");
  Keys("Enter");
  ASSERT_TRUE(WaitForScreen({"Open", "Look in: \\USB HD\\IMAGES", "cpld-update.bin", "damaged.bin",
                             "full-backup.bin", "os-update.bin", "IMAGE files (*.bin)"}));
  Keys("Tab");
  Type("os-update.bin");
  Keys("Enter");
  ASSERT_TRUE(WaitForScreen({"Image Update", "WARNING",
                             "This Image will overwrite the following sections:", "- OS Image",
                             "Are you sure you want to continue?", "[ Yes ] [ No ]"}));
  // No is the default: Left reaches Yes.
  Keys("Left Enter");
  // The progress window stays behind the closing questions with the last section it wrote.
  ASSERT_TRUE(WaitForScreen({"Image Update", "Section Start:", "Clear Registry",
                             "You updated a new OS, do you want to clear the Registry?"}));
  Keys("Enter");
  ASSERT_TRUE(WaitForScreen({"RESET", "To finish the update reset the system.", "Reset now?"}));
  // Yes is the default: the module resets, which ends the program.
  Keys("Enter");
  ASSERT_TRUE(
      WaitForScreen({"flashwick: exit code 1 after", "the module resets (cold)", "EXIT=1"}));
  EXPECT_FALSE(std::filesystem::exists(module_ / "ram" / "booted"));
}

}  // namespace
