// The progress window as the user sees it while the library reports: texts, bar ranges and
// positions for validation, erase, sections and writes, and the busy animation.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "library/library_internal.h"
#include "resources/resource.h"
#include "shell/shell.h"
#include "sim/base/utf.h"
#include "sim/ui/front_end.h"
#include "tests/support/faults.h"
#include "tests/support/module_fixture.h"
#include "tests/support/test_names.h"
#include "tests/support/ui_driver.h"

namespace {

using testing_support::UiDriver;

class ProgressTest : public testing_support::ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    ResetShellStateForTesting();
    ProgramInstance = sim::ui::ProgramInstance();
    InitCommonControls();  // the bars are common controls, as the process entry provides
  }
  void TearDown() override {
    (void)CloseProgressDialog();
    ModuleTest::TearDown();
  }

  HWND Open(const WCHAR* title = u"Image Update") {
    EXPECT_EQ(OpenProgressDialog(nullptr, title), 1);
    EXPECT_NE(ProgressDialogHandle, nullptr);
    return ProgressDialogHandle;
  }
  std::u16string Upper() { return ui.Text(ProgressDialogHandle, IDC_PROGRESS_UPPER_TEXT); }
  std::u16string Lower() { return ui.Text(ProgressDialogHandle, IDC_PROGRESS_LOWER_TEXT); }
  sim::ui::ControlView UpperBar() {
    return ui.Control(ProgressDialogHandle, IDC_PROGRESS_UPPER_BAR);
  }
  sim::ui::ControlView LowerBar() {
    return ui.Control(ProgressDialogHandle, IDC_PROGRESS_LOWER_BAR);
  }

  // Waits until the animation has shown every position of its 0..2 range.
  bool SeesAnimation() {
    std::set<int> seen;
    return ui.WaitFor(
        [&] {
          const sim::ui::ControlView bar = UpperBar();
          if (bar.rangeLow == 0 && bar.rangeHigh == 2) {
            seen.insert(bar.position);
          }
          return seen.size() == 3;
        },
        "the busy animation to cycle");
  }

  UiDriver ui;
};

// ---------------------------------------------------------------------------------------------
// The window
// ---------------------------------------------------------------------------------------------
TEST_F(ProgressTest, OpensWithTheTitleAndHidesAbort_ANewOneReplacesIt) {
  HWND first = Open(u"Image Erase");
  sim::ui::WindowView view;
  ASSERT_TRUE(sim::ui::GetWindowView(first, &view));
  EXPECT_EQ(view.templateId, IDD_PROGRESS);
  EXPECT_EQ(view.caption, u"Image Erase");
  EXPECT_FALSE(ui.Control(first, IDCANCEL).visible);
  EXPECT_EQ(ui.Control(first, IDCANCEL).text, u"Abort");
  // The window has no close command of its own.
  (void)sim::ui::CloseWindow(first);
  EXPECT_TRUE(ui.WaitIdle(first));
  EXPECT_TRUE(IsWindow(first));

  HWND second = Open(u"Image Backup");
  EXPECT_NE(second, first);
  EXPECT_FALSE(IsWindow(first));
  EXPECT_EQ(ui.Caption(second), u"Image Backup");
  EXPECT_EQ(CloseProgressDialog(), 1);
  EXPECT_EQ(ProgressDialogHandle, nullptr);
  EXPECT_FALSE(IsWindow(second));
}

TEST_F(ProgressTest, ADialogThatCannotBeMadeLeavesTheOperationWithoutAWindow) {
  Machine().Faults().Add(faults::Call{.name = "DialogBoxParamW", .count = -1});
  EXPECT_EQ(OpenProgressDialog(nullptr, u"Image Update"), 1);
  EXPECT_EQ(ProgressDialogHandle, nullptr);
  // Drawing into no window is harmless.
  EXPECT_EQ(ProgressValidateCallback(0, 4096), 1);
  EXPECT_EQ(ProgressEraseCallback(0, 4096), 1);
  EXPECT_EQ(CloseProgressDialog(), 1);
}

// ---------------------------------------------------------------------------------------------
// Validation
// ---------------------------------------------------------------------------------------------
struct ValidateStep {
  DWORD done;
  const char16_t* text;  // the upper text after the call
  int position;          // the upper bar's position after the call
};

struct ValidateCase {
  const char* name;
  DWORD total;
  int range;  // upper bar maximum
  std::vector<ValidateStep> steps;
};

const ValidateCase kValidateCases[] = {
    // Below 16 bytes the threshold stays 0: every call redraws.
    {"UnderSixteenBytes",
     10,
     1,
     {{0, u"Validating File 0%", 0},
      {1, u"Validating File 10%", 0},
      {2, u"Validating File 20%", 0},
      {9, u"Validating File 90%", 0},
      {10, u"Validating File 100%", 0}}},
    {"BelowOneUnit", 1023, 1, {{0, u"Validating File 0%", 0}, {1023, u"Validating File 100%", 0}}},
    // A sixteenth of the file between redraws; calls in between draw nothing.
    {"TwoKilobytes",
     2048,
     2,
     {{0, u"Validating File 0%", 0},
      {128, u"Validating File 0%", 0},
      {129, u"Validating File 6%", 0},
      {200, u"Validating File 6%", 0},
      {257, u"Validating File 12%", 0},
      {300, u"Validating File 12%", 0},
      {1100, u"Validating File 53%", 1},
      {2048, u"Validating File 100%", 2},
      {4096, u"Validating File 100%", 2}}},
    // 42949672 x 100 still fits in 32 bits: the direct formula (99%, not the 100% that the
    // divided counts would give).
    {"LargestDirectCount",
     42949673,
     41943,
     {{0, u"Validating File 0%", 0}, {42949672, u"Validating File 99%", 41943}}},
    // One more and both counts are divided by 128 first (the direct product would wrap to 0%).
    {"DividedCounts",
     42949674,
     41943,
     {{0, u"Validating File 0%", 0}, {42949673, u"Validating File 100%", 41943}}},
};

class ProgressValidation : public ProgressTest,
                           public ::testing::WithParamInterface<ValidateCase> {};

TEST_P(ProgressValidation, TextsRangeAndPositions) {
  const ValidateCase& c = GetParam();
  Open();
  for (const ValidateStep& step : c.steps) {
    EXPECT_EQ(ProgressValidateCallback(step.done, c.total), 1);
    EXPECT_EQ(Upper(), step.text) << "done " << step.done;
    EXPECT_EQ(UpperBar().position, step.position) << "done " << step.done;
    EXPECT_EQ(UpperBar().rangeHigh, c.range);
    EXPECT_EQ(UpperBar().rangeLow, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Files, ProgressValidation, ::testing::ValuesIn(kValidateCases),
                         testing_support::CaseName());

TEST_F(ProgressTest, AValidationAfterAnAbortedOneStillDrawsItsPercentages) {
  Open();
  // The first file stops at half (a damaged record): the threshold stays where it got to.
  ASSERT_EQ(ProgressValidateCallback(0, 1600), 1);
  ASSERT_EQ(ProgressValidateCallback(500, 1600), 1);
  ASSERT_EQ(ProgressValidateCallback(800, 1600), 1);
  EXPECT_EQ(Upper(), u"Validating File 50%");
  // The next file starts afresh.
  ASSERT_EQ(ProgressValidateCallback(0, 1600), 1);
  EXPECT_EQ(Upper(), u"Validating File 0%");
  ASSERT_EQ(ProgressValidateCallback(150, 1600), 1);
  EXPECT_EQ(Upper(), u"Validating File 9%");
  EXPECT_EQ(ValidateThreshold, 200u);
  ASSERT_EQ(ProgressValidateCallback(1600, 1600), 1);
  EXPECT_EQ(ValidateThreshold, 0u);
}

// ---------------------------------------------------------------------------------------------
// Erase and file system phases
// ---------------------------------------------------------------------------------------------
struct EraseCase {
  const char* name;
  DWORD base;
  const char16_t* start;
  const char16_t* middle;
  const char16_t* end;
};

const EraseCase kEraseCases[] = {
    {"PlainOffsets", 0, u"Erasing Flash (at 00000000)", u"Erasing Flash (at 00020000)",
     u"Erasing Flash (at 00080000) done"},
    {"AfterAnUpdateAtItsImageStart", 0x80000, u"Erasing Flash (at 00080000)",
     u"Erasing Flash (at 000a0000)", u"Erasing Flash (at 00100000) done"},
};

class ProgressErase : public ProgressTest, public ::testing::WithParamInterface<EraseCase> {};

TEST_P(ProgressErase, OffsetsFromTheBase) {
  const EraseCase& c = GetParam();
  EraseBase = c.base;
  Open(u"Image Erase");
  EXPECT_EQ(ProgressEraseCallback(0, 0x80000), 1);
  EXPECT_EQ(Upper(), c.start);
  EXPECT_EQ(UpperBar().rangeHigh, 512);
  EXPECT_EQ(UpperBar().position, 0);
  EXPECT_EQ(ProgressEraseCallback(0x20000, 0x80000), 1);
  EXPECT_EQ(Upper(), c.middle);
  EXPECT_EQ(UpperBar().position, 128);
  EXPECT_EQ(ProgressEraseCallback(0x80000, 0x80000), 1);
  EXPECT_EQ(Upper(), c.end);
  EXPECT_EQ(UpperBar().position, 512);
}

INSTANTIATE_TEST_SUITE_P(Bases, ProgressErase, ::testing::ValuesIn(kEraseCases),
                         testing_support::CaseName());

TEST_F(ProgressTest, FileSystemPhasesAnimateUntilTheStoreIsFormatted) {
  Open();
  ASSERT_EQ(ProgressEraseCallback(0, 0x100000), 1);
  ASSERT_EQ(ProgressEraseCallback(1, 0), 1);
  EXPECT_EQ(BusyFlag, 1u);
  EXPECT_EQ(Upper(), u"Preparing filesystem driver. Please wait...");
  EXPECT_TRUE(SeesAnimation());
  ASSERT_EQ(ProgressEraseCallback(2, 0), 1);
  EXPECT_EQ(Upper(), u"Formatting store. Please wait...");
  ASSERT_EQ(ProgressEraseCallback(3, 0), 1);
  EXPECT_EQ(BusyFlag, 0u);
  EXPECT_EQ(Upper(), u"Formatting store. Please wait...done.");
  EXPECT_TRUE(ui.WaitFor([&] { return UpperBar().position == 2; }, "the full bar"));
  // Codes without a meaning change nothing.
  ASSERT_EQ(ProgressEraseCallback(7, 0), 1);
  EXPECT_EQ(Upper(), u"Formatting store. Please wait...done.");
  EXPECT_EQ(BusyFlag, 0u);
}

// ---------------------------------------------------------------------------------------------
// Image, sections and writes
// ---------------------------------------------------------------------------------------------
TEST_F(ProgressTest, ImageAndSectionsDriveBothBars) {
  Open();
  const ImageInfo image{REGION_OS_IMAGE | REGION_CPLD_FIRMWARE, 0x80000, 0x300000, 0x2345};
  ASSERT_EQ(ProgressImageStart(&image), 1);
  EXPECT_EQ(Lower(), u"Image Start: 00080000\nImage Len: 00002345 (9029)");
  EXPECT_EQ(LowerBar().rangeHigh, 8);
  EXPECT_EQ(LowerBar().position, 0);
  // CPLD firmware together with other regions shows the ordinary section texts.
  ASSERT_EQ(ProgressSectionCallback(0x80000, 0x1800, 0xDEAD), 1);
  EXPECT_EQ(Upper(), u"Section Start: 00080000\nSection Len: 00001800 (6144)");
  EXPECT_EQ(UpperBar().rangeHigh, 6);
  EXPECT_EQ(UpperBar().position, 0);
  ASSERT_EQ(ProgressWriteCallback(0x1000, 0x1400), 1);
  EXPECT_EQ(UpperBar().position, 4);
  EXPECT_EQ(LowerBar().position, 5);
  // A small section still has a range of one unit.
  ASSERT_EQ(ProgressSectionCallback(0x81800, 100, 0), 1);
  EXPECT_EQ(UpperBar().rangeHigh, 1);
  EXPECT_EQ(BusyFlag, 0u);
}

TEST_F(ProgressTest, CpldOnlyImageAnimatesInsteadOfSectionData) {
  Open();
  ASSERT_EQ(ProgressEraseCallback(0, 0), 1);  // leaves the texts as they are
  const ImageInfo image{REGION_CPLD_FIRMWARE, 0xFFFFFFFF, 0, 0};
  ASSERT_EQ(ProgressImageStart(&image), 1);
  EXPECT_EQ(Lower(), u"");
  EXPECT_EQ(CurrentImage.types, REGION_CPLD_FIRMWARE);
  ASSERT_EQ(ProgressSectionCallback(0, 0x2000, 0), 1);
  EXPECT_EQ(Upper(), u"Updating CPLD. Please wait...");
  EXPECT_EQ(Lower(), u"");
  EXPECT_EQ(BusyFlag, 1u);
  EXPECT_TRUE(SeesAnimation());
  ASSERT_EQ(ProgressWriteCallback(0, 0), 1);  // the section begins: still busy
  EXPECT_EQ(BusyFlag, 1u);
  ASSERT_EQ(ProgressWriteCallback(0x2000, 0x2000), 1);
  EXPECT_EQ(BusyFlag, 0u);
  EXPECT_EQ(Upper(), u"Updating CPLD. Please wait...done.");
  EXPECT_TRUE(ui.WaitFor([&] { return UpperBar().position == 2; }, "the full bar"));
}

TEST_F(ProgressTest, ClosingStopsARunningAnimation) {
  Open();
  ASSERT_EQ(ProgressEraseCallback(1, 0), 1);
  EXPECT_TRUE(SeesAnimation());
  HWND dialog = ProgressDialogHandle;
  EXPECT_EQ(CloseProgressDialog(), 1);
  EXPECT_EQ(BusyFlag, 0u);
  EXPECT_FALSE(IsWindow(dialog));
  // A second animation in a new window starts afresh.
  Open();
  ASSERT_EQ(ProgressEraseCallback(1, 0), 1);
  EXPECT_TRUE(SeesAnimation());
}

}  // namespace
