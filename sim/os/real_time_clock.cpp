// Time services of the module's OS: tick count and Sleep on the virtual clock, the real-time
// clock, calendar conversions, and date and time formatting for the module's locale.
//
// The image's system locale is English with a day-month-year calendar and a 24-hour clock:
// short date "dd/MM/yyyy", long date "dd MMMM yyyy", time "HH:mm:ss", English month and day
// names, time markers "AM" and "PM".
#include "sim/os/real_time_clock.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/kernel.h"
#include "sim/os/os_call.h"

namespace sim {
namespace {

// FILETIME counts of 1 January 1970, and of one day.
constexpr std::uint64_t kUnixEpoch = 116444736000000000ull;
constexpr std::uint64_t kTicksPerMillisecond = 10000;
constexpr std::uint64_t kTicksPerDay = 86400ull * 1000 * kTicksPerMillisecond;
// The largest FILETIME the platform converts (its signed 64-bit range).
constexpr std::uint64_t kLargestFileTime = 0x7FFFFFFFFFFFFFFFull;
// Days from 1 January 1601 to 1 January 1970.
constexpr std::int64_t kDaysBefore1970 = 134774;

std::uint64_t HostTimeNow() {
  const auto sinceEpoch = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::system_clock::now().time_since_epoch());
  return kUnixEpoch + static_cast<std::uint64_t>(sinceEpoch.count() / 100);
}

// ---------------------------------------------------------------------------------------------
// Real-time clock
// ---------------------------------------------------------------------------------------------
struct RealTimeClock {
  std::mutex mutex;
  bool loaded = false;
  // The time of day when the virtual clock read zero.
  std::uint64_t origin = 0;
};

RealTimeClock& Rtc() {
  static RealTimeClock* rtc = new RealTimeClock();
  return *rtc;
}

fs::path RtcFile(Machine& machine) { return machine.RamDirectory() / "rtc"; }

class RtcComponent final : public Component {
 public:
  RtcComponent() { RegisterComponent(this); }
  const char* ComponentName() const override { return "rtc"; }
  bool Attach(Machine& /*machine*/, std::string* /*error*/) override {
    std::lock_guard guard(Rtc().mutex);
    Rtc().loaded = false;
    return true;
  }
  void Boot(Machine& machine) override {
    const std::uint64_t sinceReset = machine.Clock().Now() / 100;
    const std::uint64_t origin = HostTimeNow() - sinceReset;
    std::string error;
    if (!WriteWholeFile(RtcFile(machine), std::to_string(origin) + "\n", &error)) {
      machine.DebugLog("rtc: " + error);
    }
    std::lock_guard guard(Rtc().mutex);
    Rtc().loaded = false;
  }
  void Describe(Machine& /*machine*/, Json& info) override {
    SYSTEMTIME now{};
    FileTimeToCalendar(ModuleTimeNow(), &now);
    char text[64];
    std::snprintf(text, sizeof(text), "%04u-%02u-%02u %02u:%02u:%02u UTC", now.wYear, now.wMonth,
                  now.wDay, now.wHour, now.wMinute, now.wSecond);
    info["clock"]["timeOfDay"] = text;
  }
};

RtcComponent rtcComponent;

// ---------------------------------------------------------------------------------------------
// Calendar
// ---------------------------------------------------------------------------------------------
bool IsLeapYear(std::int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(std::int64_t year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Days since 1 January 1970 of a proleptic Gregorian date.
std::int64_t DaysFromCivil(std::int64_t year, int month, int day) {
  year -= month <= 2 ? 1 : 0;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const std::int64_t yearOfEra = year - era * 400;
  const std::int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

void CivilFromDays(std::int64_t days, std::int64_t* year, int* month, int* day) {
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const std::int64_t dayOfEra = days - era * 146097;
  const std::int64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const std::int64_t shifted = (5 * dayOfYear + 2) / 153;
  *day = static_cast<int>(dayOfYear - (153 * shifted + 2) / 5 + 1);
  *month = static_cast<int>(shifted < 10 ? shifted + 3 : shifted - 9);
  *year = yearOfEra + era * 400 + (*month <= 2 ? 1 : 0);
}

// 0 = Sunday; 1 January 1970 was a Thursday.
int DayOfWeek(std::int64_t daysSince1970) {
  return static_cast<int>(((daysSince1970 % 7) + 7 + 4) % 7);
}

bool ValidDate(const SYSTEMTIME& date) {
  return date.wYear >= 1601 && date.wYear <= 30827 && date.wMonth >= 1 && date.wMonth <= 12 &&
         date.wDay >= 1 && date.wDay <= DaysInMonth(date.wYear, date.wMonth);
}

bool ValidTime(const SYSTEMTIME& time) {
  return time.wHour < 24 && time.wMinute < 60 && time.wSecond < 60 && time.wMilliseconds < 1000;
}

// ---------------------------------------------------------------------------------------------
// Pictures
// ---------------------------------------------------------------------------------------------
constexpr const char16_t* kMonthNames[] = {u"January",   u"February", u"March",    u"April",
                                           u"May",       u"June",     u"July",     u"August",
                                           u"September", u"October",  u"November", u"December"};
constexpr const char16_t* kMonthAbbreviations[] = {u"Jan", u"Feb", u"Mar", u"Apr", u"May", u"Jun",
                                                   u"Jul", u"Aug", u"Sep", u"Oct", u"Nov", u"Dec"};
constexpr const char16_t* kDayNames[] = {u"Sunday",   u"Monday", u"Tuesday", u"Wednesday",
                                         u"Thursday", u"Friday", u"Saturday"};
constexpr const char16_t* kDayAbbreviations[] = {u"Sun", u"Mon", u"Tue", u"Wed",
                                                 u"Thu", u"Fri", u"Sat"};
constexpr const char16_t* kShortDatePicture = u"dd/MM/yyyy";
constexpr const char16_t* kLongDatePicture = u"dd MMMM yyyy";
constexpr const char16_t* kTimePicture = u"HH:mm:ss";

std::u16string Number(unsigned value, int width) {
  std::u16string digits;
  do {
    digits.insert(digits.begin(), static_cast<char16_t>(u'0' + value % 10));
    value /= 10;
  } while (value != 0);
  while (static_cast<int>(digits.size()) < width) {
    digits.insert(digits.begin(), u'0');
  }
  return digits;
}

struct Token {
  char16_t letter;  // 0 for literal text
  int count;
  std::u16string text;
};

// Splits a picture into runs of picture letters (those in `letters`) and literal text; quoted
// text is literal and '' is one quote.
std::vector<Token> Tokenize(std::u16string_view picture, std::u16string_view letters) {
  std::vector<Token> tokens;
  auto literal = [&](char16_t unit) {
    if (tokens.empty() || tokens.back().letter != 0) {
      tokens.push_back({0, 0, {}});
    }
    tokens.back().text.push_back(unit);
  };
  for (std::size_t i = 0; i < picture.size();) {
    const char16_t unit = picture[i];
    if (unit == u'\'') {
      if (i + 1 < picture.size() && picture[i + 1] == u'\'') {
        literal(u'\'');
        i += 2;
        continue;
      }
      ++i;
      while (i < picture.size()) {
        if (picture[i] == u'\'') {
          if (i + 1 < picture.size() && picture[i + 1] == u'\'') {
            literal(u'\'');
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        literal(picture[i++]);
      }
      continue;
    }
    if (letters.find(unit) != std::u16string_view::npos) {
      std::size_t run = 1;
      while (i + run < picture.size() && picture[i + run] == unit) {
        ++run;
      }
      tokens.push_back({unit, static_cast<int>(run), {}});
      i += run;
      continue;
    }
    literal(unit);
    ++i;
  }
  return tokens;
}

std::u16string FormatDate(const SYSTEMTIME& date, std::u16string_view picture) {
  const int dayOfWeek = DayOfWeek(DaysFromCivil(date.wYear, date.wMonth, date.wDay));
  std::u16string out;
  for (const Token& token : Tokenize(picture, u"dMyg")) {
    switch (token.letter) {
      case u'd':
        out += token.count == 1   ? Number(date.wDay, 1)
               : token.count == 2 ? Number(date.wDay, 2)
               : token.count == 3 ? kDayAbbreviations[dayOfWeek]
                                  : kDayNames[dayOfWeek];
        break;
      case u'M':
        out += token.count == 1   ? Number(date.wMonth, 1)
               : token.count == 2 ? Number(date.wMonth, 2)
               : token.count == 3 ? kMonthAbbreviations[date.wMonth - 1]
                                  : kMonthNames[date.wMonth - 1];
        break;
      case u'y':
        out += token.count == 1   ? Number(date.wYear % 100, 1)
               : token.count == 2 ? Number(date.wYear % 100, 2)
                                  : Number(date.wYear, 4);
        break;
      case u'g':
        out += u"A.D.";
        break;
      default:
        out += token.text;
        break;
    }
  }
  return out;
}

std::u16string FormatTime(const SYSTEMTIME& time, std::u16string_view picture, DWORD flags) {
  std::vector<Token> tokens = Tokenize(picture, u"hHmst");
  // Dropped elements take the separator in front of them along ("HH:mm:ss" without seconds is
  // "HH:mm").
  auto dropped = [&](const Token& token) {
    return (token.letter == u's' && (flags & (TIME_NOSECONDS | TIME_NOMINUTESORSECONDS)) != 0) ||
           (token.letter == u'm' && (flags & TIME_NOMINUTESORSECONDS) != 0) ||
           (token.letter == u't' && (flags & TIME_NOTIMEMARKER) != 0);
  };
  std::vector<Token> kept;
  for (const Token& token : tokens) {
    if (dropped(token)) {
      if (!kept.empty() && kept.back().letter == 0) {
        kept.pop_back();
      }
      continue;
    }
    kept.push_back(token);
  }
  const bool force24 = (flags & TIME_FORCE24HOURFORMAT) != 0;
  std::u16string out;
  for (const Token& token : kept) {
    const int width = token.count >= 2 ? 2 : 1;
    switch (token.letter) {
      case u'h':
        if (force24) {
          out += Number(time.wHour, width);
        } else {
          out += Number(time.wHour % 12 == 0 ? 12 : time.wHour % 12, width);
        }
        break;
      case u'H':
        out += Number(time.wHour, width);
        break;
      case u'm':
        out += Number(time.wMinute, width);
        break;
      case u's':
        out += Number(time.wSecond, width);
        break;
      case u't':
        out += token.count == 1 ? std::u16string(time.wHour < 12 ? u"A" : u"P")
                                : std::u16string(time.wHour < 12 ? u"AM" : u"PM");
        break;
      default:
        out += token.text;
        break;
    }
  }
  return out;
}

bool KnownLocale(LCID locale) {
  // The defaults, the neutral locale and the English locales the image carries.
  return locale == LOCALE_SYSTEM_DEFAULT || locale == LOCALE_USER_DEFAULT || locale == 0 ||
         locale == 0x0409 || locale == 0x0809;
}

// Hands a formatted text to the caller as the platform does: a length of 0 asks for the size.
int Deliver(const std::u16string& text, LPWSTR buffer, int length) {
  const int needed = static_cast<int>(text.size()) + 1;
  if (length == 0) {
    return needed;
  }
  if (needed > length) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::copy(text.begin(), text.end(), buffer);
  buffer[text.size()] = 0;
  return needed;
}

}  // namespace

std::uint64_t ModuleTimeNow() {
  Machine& machine = CurrentMachine();
  RealTimeClock& rtc = Rtc();
  std::lock_guard guard(rtc.mutex);
  if (!rtc.loaded) {
    std::string text;
    if (ReadWholeFile(RtcFile(machine), &text) && !text.empty()) {
      rtc.origin = std::strtoull(text.c_str(), nullptr, 10);
      rtc.loaded = true;
    } else {
      // Not booted yet: the module's clock reads the host's time.
      return HostTimeNow();
    }
  }
  return rtc.origin + machine.Clock().Now() / 100;
}

bool FileTimeToCalendar(std::uint64_t fileTime, SYSTEMTIME* calendar) {
  if (fileTime > kLargestFileTime) {
    return false;
  }
  const auto days = static_cast<std::int64_t>(fileTime / kTicksPerDay) - kDaysBefore1970;
  std::uint64_t rest = fileTime % kTicksPerDay;
  std::int64_t year = 0;
  int month = 0;
  int day = 0;
  CivilFromDays(days, &year, &month, &day);
  calendar->wYear = static_cast<WORD>(year);
  calendar->wMonth = static_cast<WORD>(month);
  calendar->wDay = static_cast<WORD>(day);
  calendar->wDayOfWeek = static_cast<WORD>(DayOfWeek(days));
  calendar->wMilliseconds = static_cast<WORD>((rest / kTicksPerMillisecond) % 1000);
  rest /= kTicksPerMillisecond * 1000;
  calendar->wSecond = static_cast<WORD>(rest % 60);
  calendar->wMinute = static_cast<WORD>((rest / 60) % 60);
  calendar->wHour = static_cast<WORD>(rest / 3600);
  return true;
}

bool CalendarToFileTime(const SYSTEMTIME& calendar, std::uint64_t* fileTime) {
  if (!ValidDate(calendar) || !ValidTime(calendar)) {
    return false;
  }
  const std::int64_t days =
      DaysFromCivil(calendar.wYear, calendar.wMonth, calendar.wDay) + kDaysBefore1970;
  const std::uint64_t milliseconds =
      ((std::uint64_t{calendar.wHour} * 60 + calendar.wMinute) * 60 + calendar.wSecond) * 1000 +
      calendar.wMilliseconds;
  *fileTime = static_cast<std::uint64_t>(days) * kTicksPerDay + milliseconds * kTicksPerMillisecond;
  return true;
}

}  // namespace sim

// ---------------------------------------------------------------------------------------------
// The platform's calls
// ---------------------------------------------------------------------------------------------
DWORD GetTickCount() {
  sim::Machine& machine = sim::CurrentMachine();
  machine.Calls().Add("GetTickCount", {});
  // The count wraps after 49.7 days, as a 32-bit millisecond counter does.
  return static_cast<DWORD>(machine.Clock().Now() / sim::kMillisecond);
}

namespace sim {
namespace {

std::atomic<int> programThreads{0};

// Wake times of the threads of this process that sleep beside other threads.
struct Sleepers {
  std::mutex mutex;
  std::multiset<std::uint64_t> wakeTimes;
};
Sleepers& AllSleepers() {
  static Sleepers sleepers;
  return sleepers;
}

// How long a sleeper watches module time stand still before it looks whether anything else is
// going on.
constexpr auto kWatch = std::chrono::microseconds(200);
constexpr auto kLook = std::chrono::microseconds(50);
// Looks in a row that must find the other threads idle before the clock moves on.
constexpr int kIdleLooks = 2;

// True when another thread of this process is running, waits for the processor or for the disk:
// work is going on that may move module time.
bool OthersAtWork() {
  const std::string self = std::to_string(::gettid());
  std::error_code code;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task", code)) {
    if (entry.path().filename() == self) {
      continue;
    }
    std::ifstream in(entry.path() / "stat");
    std::string stat;
    std::getline(in, stat);
    const std::size_t close = stat.rfind(')');
    if (close != std::string::npos && close + 2 < stat.size() &&
        (stat[close + 2] == 'R' || stat[close + 2] == 'D')) {
      return true;
    }
  }
  return false;
}

// A sleep beside other threads overlaps their work: module time goes on while any of them works
// (device busy time) or sleeps, and the sleeper wakes when it reaches its wake time. When the
// clock stands still and no other thread of the process is at work (every thread idle or
// asleep), it moves on to the earliest wake time of the sleepers, as the module's scheduler
// would run the next timer. So a thread that ticks while another one works does not add its own
// sleeps on top of the work's time.
void SleepBesideOthers(Machine& machine, std::uint64_t nanoseconds) {
  VirtualClock& clock = machine.Clock();
  const std::uint64_t wake = clock.Now() + nanoseconds;
  Sleepers& sleepers = AllSleepers();
  std::multiset<std::uint64_t>::iterator mine;
  {
    std::lock_guard<std::mutex> lock(sleepers.mutex);
    mine = sleepers.wakeTimes.insert(wake);
  }
  std::uint64_t seen = clock.Now();
  auto stillSince = std::chrono::steady_clock::now();
  // Looks in a row that found every other thread idle. A thread between two steps of its work
  // can be blocked for a moment (a lock, a pipe write) and look idle once; the clock moves on
  // only when the others stay idle over two looks with module time standing still.
  int idleLooks = 0;
  while (true) {
    // A module detached meanwhile ends the sleep (the process ends around the thread).
    if (!IsAttached() || &CurrentMachine() != &machine) {
      break;
    }
    const std::uint64_t now = clock.Now();
    if (now >= wake) {
      break;
    }
    const auto wall = std::chrono::steady_clock::now();
    if (now != seen) {
      seen = now;
      stillSince = wall;
      idleLooks = 0;
    } else if (wall - stillSince >= kWatch) {
      stillSince = wall;
      idleLooks = OthersAtWork() ? 0 : idleLooks + 1;
      if (idleLooks >= kIdleLooks) {
        idleLooks = 0;
        std::uint64_t earliest = wake;
        {
          std::lock_guard<std::mutex> lock(sleepers.mutex);
          earliest = *sleepers.wakeTimes.begin();
        }
        clock.AdvanceTo(earliest);
        continue;
      }
    }
    std::this_thread::sleep_for(kLook);
  }
  std::lock_guard<std::mutex> lock(sleepers.mutex);
  sleepers.wakeTimes.erase(mine);
}

}  // namespace

void ProgramThreadStarted() { programThreads.fetch_add(1); }
void ProgramThreadEnded() { programThreads.fetch_sub(1); }
int ProgramThreadCount() { return programThreads.load(); }

}  // namespace sim

void Sleep(DWORD milliseconds) {
  sim::Machine& machine = sim::CurrentMachine();
  machine.Calls().Add("Sleep", {milliseconds});
  if (milliseconds == INFINITE) {
    // The thread never runs again; the process may still end around it.
    while (true) {
      std::this_thread::sleep_for(std::chrono::hours(1));
    }
  }
  if (milliseconds == 0) {
    std::this_thread::yield();  // gives up the rest of the time slice only
    return;
  }
  if (sim::programThreads.load() > 0) {
    sim::SleepBesideOthers(machine, std::uint64_t{milliseconds} * sim::kMillisecond);
    return;
  }
  machine.Clock().Advance(std::uint64_t{milliseconds} * sim::kMillisecond);
}

void GetSystemTime(LPSYSTEMTIME systemTime) {
  sim::CurrentMachine().Calls().Add("GetSystemTime", {sim::Word(systemTime)});
  if (systemTime == nullptr || !sim::FileTimeToCalendar(sim::ModuleTimeNow(), systemTime)) {
    sim::Fault("GetSystemTime: no SYSTEMTIME to fill");
  }
}

void GetLocalTime(LPSYSTEMTIME systemTime) {
  sim::CurrentMachine().Calls().Add("GetLocalTime", {sim::Word(systemTime)});
  if (systemTime == nullptr || !sim::FileTimeToCalendar(sim::ModuleTimeNow(), systemTime)) {
    sim::Fault("GetLocalTime: no SYSTEMTIME to fill");
  }
}

BOOL FileTimeToSystemTime(const FILETIME* fileTime, LPSYSTEMTIME systemTime) {
  DWORD error = ERROR_GEN_FAILURE;
  if (sim::CallFails("FileTimeToSystemTime",
                     {fileTime != nullptr ? sim::FromFileTime(*fileTime) : 0},
                     ERROR_INVALID_PARAMETER, &error)) {
    SetLastError(error);
    return FALSE;
  }
  if (fileTime == nullptr || systemTime == nullptr ||
      !sim::FileTimeToCalendar(sim::FromFileTime(*fileTime), systemTime)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return TRUE;
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* systemTime, LPFILETIME fileTime) {
  DWORD error = ERROR_GEN_FAILURE;
  if (sim::CallFails("SystemTimeToFileTime", {}, ERROR_INVALID_PARAMETER, &error)) {
    SetLastError(error);
    return FALSE;
  }
  std::uint64_t ticks = 0;
  if (systemTime == nullptr || fileTime == nullptr ||
      !sim::CalendarToFileTime(*systemTime, &ticks)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *fileTime = sim::ToFileTime(ticks);
  return TRUE;
}

BOOL FileTimeToLocalFileTime(const FILETIME* fileTime, LPFILETIME localFileTime) {
  DWORD error = ERROR_GEN_FAILURE;
  if (sim::CallFails("FileTimeToLocalFileTime", {}, ERROR_INVALID_PARAMETER, &error)) {
    SetLastError(error);
    return FALSE;
  }
  if (fileTime == nullptr || localFileTime == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *localFileTime = *fileTime;  // the module keeps UTC
  return TRUE;
}

int GetDateFormatW(LCID locale, DWORD flags, const SYSTEMTIME* date, LPCWSTR format,
                   LPWSTR dateText, int dateTextLength) {
  DWORD error = ERROR_GEN_FAILURE;
  if (sim::CallFails("GetDateFormatW",
                     {locale, flags, sim::Word(date), static_cast<std::uint64_t>(dateTextLength)},
                     ERROR_INVALID_PARAMETER, &error, format)) {
    SetLastError(error);
    return 0;
  }
  constexpr DWORD kAllowed =
      DATE_SHORTDATE | DATE_LONGDATE | LOCALE_NOUSEROVERRIDE | LOCALE_USE_CP_ACP;
  if ((flags & ~kAllowed) != 0 ||
      (flags & (DATE_SHORTDATE | DATE_LONGDATE)) == (DATE_SHORTDATE | DATE_LONGDATE) ||
      (format != nullptr && (flags & (DATE_SHORTDATE | DATE_LONGDATE | LOCALE_NOUSEROVERRIDE)))) {
    SetLastError(ERROR_INVALID_FLAGS);
    return 0;
  }
  if (!sim::KnownLocale(locale) || dateTextLength < 0 ||
      (dateTextLength > 0 && dateText == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  SYSTEMTIME when{};
  if (date != nullptr) {
    when = *date;
  } else {
    sim::FileTimeToCalendar(sim::ModuleTimeNow(), &when);
  }
  if (!sim::ValidDate(when)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const std::u16string_view picture =
      format != nullptr
          ? std::u16string_view(format)
          : ((flags & DATE_LONGDATE) != 0 ? sim::kLongDatePicture : sim::kShortDatePicture);
  return sim::Deliver(sim::FormatDate(when, picture), dateText, dateTextLength);
}

int GetTimeFormatW(LCID locale, DWORD flags, const SYSTEMTIME* time, LPCWSTR format,
                   LPWSTR timeText, int timeTextLength) {
  DWORD error = ERROR_GEN_FAILURE;
  if (sim::CallFails("GetTimeFormatW",
                     {locale, flags, sim::Word(time), static_cast<std::uint64_t>(timeTextLength)},
                     ERROR_INVALID_PARAMETER, &error, format)) {
    SetLastError(error);
    return 0;
  }
  constexpr DWORD kAllowed = TIME_NOMINUTESORSECONDS | TIME_NOSECONDS | TIME_NOTIMEMARKER |
                             TIME_FORCE24HOURFORMAT | LOCALE_NOUSEROVERRIDE | LOCALE_USE_CP_ACP;
  if ((flags & ~kAllowed) != 0 || (format != nullptr && (flags & LOCALE_NOUSEROVERRIDE) != 0)) {
    SetLastError(ERROR_INVALID_FLAGS);
    return 0;
  }
  if (!sim::KnownLocale(locale) || timeTextLength < 0 ||
      (timeTextLength > 0 && timeText == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  SYSTEMTIME when{};
  if (time != nullptr) {
    when = *time;
  } else {
    sim::FileTimeToCalendar(sim::ModuleTimeNow(), &when);
  }
  if (!sim::ValidTime(when)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const std::u16string_view picture =
      format != nullptr ? std::u16string_view(format) : std::u16string_view(sim::kTimePicture);
  return sim::Deliver(sim::FormatTime(when, picture, flags), timeText, timeTextLength);
}
