// Time, version, debug output and module loading of the module's OS.
#include "sim/os/real_time_clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/kernel.h"
#include "sim/base/utf.h"
#include "sim/os/loader.h"
#include "tests/support/faults.h"
#include "tests/support/module_fixture.h"

namespace {

using TimeTest = testing_support::ModuleTest;

// 12 March 2009 was a Thursday.
constexpr SYSTEMTIME kSample{2009, 3, 4, 12, 14, 5, 9, 250};

struct PictureCase {
  const char16_t* picture;  // null: the locale's default
  DWORD flags;
  const char16_t* expected;
};

TEST_F(TimeTest, DatePictures_FormatAsTheModulesEnglishLocale) {
  const PictureCase cases[] = {
      {u"dd MMM yyyy", 0, u"12 Mar 2009"},
      {u"d/M/yy", 0, u"12/3/09"},
      {u"ddd, MMMM d, y", 0, u"Thu, March 12, 9"},
      {u"dddd dd MM yyyy", 0, u"Thursday 12 03 2009"},
      {u"'Day' d 'of' MMM", 0, u"Day 12 of Mar"},
      {u"yyyy''MM", 0, u"2009'03"},
      {u"d-hh:mm", 0, u"12-hh:mm"},  // time letters are plain text in a date
      {nullptr, DATE_SHORTDATE, u"12/03/2009"},
      {nullptr, DATE_LONGDATE, u"12 March 2009"},
  };
  for (const PictureCase& c : cases) {
    SCOPED_TRACE(c.picture != nullptr ? sim::ToUtf8(c.picture) : "default");
    WCHAR text[64];
    const int length =
        GetDateFormatW(LOCALE_SYSTEM_DEFAULT, c.flags, &kSample, c.picture, text, 64);
    EXPECT_EQ(std::u16string(text), c.expected);
    EXPECT_EQ(length, static_cast<int>(std::u16string_view(c.expected).size()) + 1);
  }
}

TEST_F(TimeTest, TimePictures_FormatTwentyFourAndTwelveHourClocks) {
  const PictureCase cases[] = {
      {nullptr, LOCALE_NOUSEROVERRIDE | TIME_FORCE24HOURFORMAT, u"14:05:09"},
      {nullptr, 0, u"14:05:09"},
      {nullptr, TIME_NOSECONDS, u"14:05"},
      {u"HH:mm:ss", 0, u"14:05:09"},
      {u"h:mm tt", 0, u"2:05 PM"},
      {u"hh t", 0, u"02 P"},
      {u"h:m:s", TIME_FORCE24HOURFORMAT, u"14:5:9"},
      {u"hh:mm tt", TIME_NOTIMEMARKER, u"02:05"},
      {u"H:mm 'h'", TIME_NOMINUTESORSECONDS, u"14 h"},
  };
  for (const PictureCase& c : cases) {
    SCOPED_TRACE(c.picture != nullptr ? sim::ToUtf8(c.picture) : "default");
    WCHAR text[64];
    const int length =
        GetTimeFormatW(LOCALE_SYSTEM_DEFAULT, c.flags, &kSample, c.picture, text, 64);
    EXPECT_EQ(std::u16string(text), c.expected);
    EXPECT_EQ(length, static_cast<int>(std::u16string_view(c.expected).size()) + 1);
  }
  SYSTEMTIME midnight = kSample;
  midnight.wHour = 0;
  WCHAR text[16];
  GetTimeFormatW(LOCALE_SYSTEM_DEFAULT, 0, &midnight, u"h tt", text, 16);
  EXPECT_EQ(std::u16string(text), u"12 AM");
}

TEST_F(TimeTest, Formatting_RefusesBadDatesFlagsAndBuffers) {
  WCHAR text[64];
  SYSTEMTIME noMonth = kSample;
  noMonth.wMonth = 0;
  EXPECT_EQ(GetDateFormatW(LOCALE_SYSTEM_DEFAULT, 0, &noMonth, u"dd MMM yyyy", text, 64), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  SYSTEMTIME february30 = kSample;
  february30.wMonth = 2;
  february30.wDay = 30;
  EXPECT_EQ(GetDateFormatW(LOCALE_SYSTEM_DEFAULT, 0, &february30, u"d", text, 64), 0);
  SYSTEMTIME late = kSample;
  late.wHour = 24;
  EXPECT_EQ(GetTimeFormatW(LOCALE_SYSTEM_DEFAULT, 0, &late, nullptr, text, 64), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  // Length 0 asks for the size; a short buffer is refused whole.
  EXPECT_EQ(GetDateFormatW(LOCALE_SYSTEM_DEFAULT, 0, &kSample, u"dd MMM yyyy", nullptr, 0), 12);
  EXPECT_EQ(GetDateFormatW(LOCALE_SYSTEM_DEFAULT, 0, &kSample, u"dd MMM yyyy", text, 11), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(GetDateFormatW(LOCALE_SYSTEM_DEFAULT, DATE_LONGDATE, &kSample, u"d", text, 64), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
  EXPECT_EQ(GetTimeFormatW(LOCALE_SYSTEM_DEFAULT, LOCALE_NOUSEROVERRIDE, &kSample, u"HH", text, 64),
            0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
}

TEST_F(TimeTest, CalendarConversions_RoundTripAndFindTheDayOfTheWeek) {
  FILETIME fileTime{};
  ASSERT_TRUE(SystemTimeToFileTime(&kSample, &fileTime));
  SYSTEMTIME back{};
  ASSERT_TRUE(FileTimeToSystemTime(&fileTime, &back));
  EXPECT_EQ(back.wYear, 2009);
  EXPECT_EQ(back.wMonth, 3);
  EXPECT_EQ(back.wDay, 12);
  EXPECT_EQ(back.wDayOfWeek, 4);
  EXPECT_EQ(back.wHour, 14);
  EXPECT_EQ(back.wMinute, 5);
  EXPECT_EQ(back.wSecond, 9);
  EXPECT_EQ(back.wMilliseconds, 250);
  // The epoch of FILETIME, and the platform's largest convertible value.
  const FILETIME epoch{0, 0};
  ASSERT_TRUE(FileTimeToSystemTime(&epoch, &back));
  EXPECT_EQ(back.wYear, 1601);
  EXPECT_EQ(back.wDayOfWeek, 1);  // a Monday
  const FILETIME tooLarge{0, 0x80000000};
  EXPECT_FALSE(FileTimeToSystemTime(&tooLarge, &back));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  SYSTEMTIME leap{2008, 2, 0, 29, 0, 0, 0, 0};
  EXPECT_TRUE(SystemTimeToFileTime(&leap, &fileTime));
  leap.wYear = 2009;
  EXPECT_FALSE(SystemTimeToFileTime(&leap, &fileTime));
  FILETIME local{};
  ASSERT_TRUE(FileTimeToLocalFileTime(&fileTime, &local));
}

TEST_F(TimeTest, FastPace_SleepMovesTheClockWithoutWaiting) {
  const DWORD before = GetTickCount();
  SYSTEMTIME start{};
  GetSystemTime(&start);
  const auto wallBefore = std::chrono::steady_clock::now();
  Sleep(2 * 3600 * 1000);  // two hours of module time
  EXPECT_LT(std::chrono::steady_clock::now() - wallBefore, std::chrono::seconds(10));
  EXPECT_EQ(GetTickCount() - before, 2u * 3600 * 1000);
  SYSTEMTIME end{};
  GetLocalTime(&end);
  FILETIME startTime{};
  FILETIME endTime{};
  SystemTimeToFileTime(&start, &startTime);
  SystemTimeToFileTime(&end, &endTime);
  const std::uint64_t passed = sim::FromFileTime(endTime) - sim::FromFileTime(startTime);
  EXPECT_GE(passed, 2ull * 3600 * 10000000);
  EXPECT_LT(passed, 2ull * 3600 * 10000000 + 60ull * 10000000);
}

TEST_F(TimeTest, RealPace_VirtualTimeNeverRunsAheadOfWallTime) {
  sim::Detach();
  sim::AttachOptions options;
  options.pace = sim::Pace::kReal;
  const auto wallStart = std::chrono::steady_clock::now();
  std::string error;
  ASSERT_TRUE(sim::Attach(ModuleDirectory(), options, &error)) << error;
  sim::VirtualClock& clock = Machine().Clock();
  const std::uint64_t startVirtual = clock.SinceAttach();
  for (int step = 0; step < 12; ++step) {
    if (step % 3 == 0) {
      Sleep(25);
    } else {
      clock.Advance(7 * sim::kMillisecond);  // a device's busy time
    }
    const auto wall = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::steady_clock::now() - wallStart);
    ASSERT_LE(clock.SinceAttach(), static_cast<std::uint64_t>(wall.count())) << "step " << step;
  }
  EXPECT_EQ(clock.SinceAttach() - startVirtual, (4 * 25 + 8 * 7) * sim::kMillisecond);
  // Real pace waited for it.
  EXPECT_GE(std::chrono::steady_clock::now() - wallStart, std::chrono::milliseconds(156));
}

// Wall time in which nothing advanced the clock (a user reading a dialog) is not saved up: the
// next operation still takes its own duration.
TEST_F(TimeTest, RealPace_IdleWallTimeIsNotSavedUpForTheNextOperation) {
  sim::Detach();
  sim::AttachOptions options;
  options.pace = sim::Pace::kReal;
  std::string error;
  ASSERT_TRUE(sim::Attach(ModuleDirectory(), options, &error)) << error;
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const auto start = std::chrono::steady_clock::now();
  Machine().Clock().Advance(200 * sim::kMillisecond);  // a chip's erase
  EXPECT_GE(std::chrono::steady_clock::now() - start,
            std::chrono::nanoseconds(200 * sim::kMillisecond - sim::kRealPaceSlack));
}

// While no process is attached the module's time goes on with the wall, so that whatever its
// devices started has ended when the next process comes.
TEST_F(TimeTest, ModuleTimeFollowsTheWallWhileNoProcessIsAttached) {
  const std::uint64_t before = Machine().Clock().Now();
  sim::Detach();
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  std::string error;
  ASSERT_TRUE(sim::Attach(ModuleDirectory(), sim::AttachOptions{}, &error)) << error;
  EXPECT_GE(Machine().Clock().Now() - before, 150 * sim::kMillisecond);
  EXPECT_LT(Machine().Clock().Now() - before, 60'000 * sim::kMillisecond);
  EXPECT_TRUE(Machine().FirstProcess());
}

TEST_F(TimeTest, Version_ComesFromTheModulesOsVersion) {
  OSVERSIONINFOW version{};
  version.dwOSVersionInfoSize = sizeof(version);
  ASSERT_TRUE(GetVersionExW(&version));
  EXPECT_EQ(version.dwMajorVersion, 6u);
  EXPECT_EQ(version.dwPlatformId, 3u);
  // A CE 5 image.
  sim::Detach();
  sim::Json config;
  std::string error;
  ASSERT_TRUE(sim::LoadModuleConfig(ModuleDirectory(), &config, &error)) << error;
  config["os"]["version"] = 5;
  ASSERT_TRUE(sim::WriteWholeFile(ModuleDirectory() / "module.json", config.dump(2), &error));
  ASSERT_TRUE(sim::Attach(ModuleDirectory(), sim::AttachOptions{}, &error)) << error;
  ASSERT_TRUE(GetVersionExW(&version));
  EXPECT_EQ(version.dwMajorVersion, 5u);
  version.dwOSVersionInfoSize = 20;
  EXPECT_FALSE(GetVersionExW(&version));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(TimeTest, DebugOutput_IsOneLineOfTheModulesDebugLog) {
  OutputDebugStringW(u"first line\r\n");
  NKDbgPrintfW(u"value %d of %s\n", 3, u"three");
  OutputDebugStringW(u"two\nparts");
  std::string log;
  ASSERT_TRUE(sim::ReadWholeFile(Machine().RamDirectory() / "debug.log", &log));
  EXPECT_NE(log.find("first line\nvalue 3 of three\ntwo parts\n"), std::string::npos) << log;
}

std::intptr_t ExportedProbe() { return 77; }

TEST_F(TimeTest, CoreLibrary_ResolvesExportedNamesUntilFreed) {
  sim::ExportFunction("ProbeFunction", &ExportedProbe);
  EXPECT_EQ(LoadLibraryW(u"other.dll"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  HMODULE library = LoadLibraryW(u"CoreDll.dll");
  ASSERT_NE(library, nullptr);
  FARPROC probe = GetProcAddressW(library, u"ProbeFunction");
  ASSERT_NE(probe, nullptr);
  EXPECT_EQ(probe(), 77);
  EXPECT_EQ(GetProcAddressW(library, u"probefunction"), nullptr);  // names match exactly
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
  // The fault plan can make one name unresolvable.
  Machine().Faults().Add(faults::Call{.name = "GetProcAddressW/ProbeFunction", .count = 1});
  EXPECT_EQ(GetProcAddressW(library, u"ProbeFunction"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
  EXPECT_NE(GetProcAddressW(library, u"ProbeFunction"), nullptr);
  ASSERT_TRUE(FreeLibrary(library));
  EXPECT_EQ(GetProcAddressW(library, u"ProbeFunction"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(FreeLibrary(library));
  sim::WithdrawFunction("ProbeFunction");
}

}  // namespace
