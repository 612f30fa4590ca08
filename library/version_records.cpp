#include "library/version_records.h"

#include <cstring>

#include "flash/flash_ops.h"
#include "flash/platform_controls.h"
#include "library/library_internal.h"
#include "platform/kernel.h"

namespace {

constexpr DWORD kVersionMagicFirst = 0x01234567;
constexpr DWORD kVersionMagicSecond = 0x89ABCDEF;
constexpr DWORD kVersionSearchEnd = 0x40000;  // records lie below the config block
constexpr DWORD kScanBlock = 4096;
constexpr DWORD kRomSignature = 0x43454345;     // "ECEC" at image + 0x40
constexpr DWORD kCompressedMagic = 0x504D4F43;  // "COMP"
constexpr DWORD kCompressedHeader = 20;
constexpr DWORD kTextSearchStart = 0x8000;
constexpr DWORD kTextSearchLength = 0x20000;
constexpr DWORD kTextSearchPiece = 2048;  // the NAND chips' page
constexpr DWORD kTocEntrySize = 32;
constexpr const WCHAR* kUnknownDate = u"Unknown Date";
constexpr const char* kBannerText = "Microsoft Windows CE Ethernet Bootloader ";

bool LockedRead(void* buffer, DWORD offset, DWORD length) {
  FlashLockGuard lock;
  return lock.Locked() && FlashOps.Read != nullptr && FlashOps.Read(buffer, offset, length) != 0;
}

// "dd MMM yyyy HH:mm:ss (GMT)", or "Unknown Date" when the platform refuses the date.
void FormatDate(const SYSTEMTIME& date, WCHAR* dateText) {
  constexpr int kPart = 64;
  const int dateLength =
      GetDateFormatW(LOCALE_SYSTEM_DEFAULT, 0, &date, u"dd MMM yyyy", dateText, kPart);
  if (dateLength <= 0) {
    (void)WideCopy(dateText, kDateTextUnits, kUnknownDate);
    return;
  }
  // The length counts the terminator: put a blank in its place and append the time.
  dateText[dateLength - 1] = u' ';
  constexpr DWORD kNoUserOverride = 0x80000000u;
  const int timeLength =
      GetTimeFormatW(LOCALE_SYSTEM_DEFAULT, kNoUserOverride | TIME_FORCE24HOURFORMAT, &date,
                     nullptr, dateText + dateLength, kPart);
  if (timeLength <= 0) {
    dateText[dateLength] = 0;
  }
  (void)WideAppend(dateText, kDateTextUnits, u" (GMT)");
}

// Reads a decimal number (sscanf's %d) from [p, end); false when none.
bool ScanNumber(const BYTE*& p, const BYTE* end, int* value) {
  while (p < end && (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r')) {
    ++p;
  }
  bool negative = false;
  if (p < end && (*p == '-' || *p == '+')) {
    negative = *p == '-';
    ++p;
  }
  if (p >= end || *p < '0' || *p > '9') {
    return false;
  }
  long long number = 0;
  while (p < end && *p >= '0' && *p <= '9') {
    if (number < 0x7FFFFFFF) {
      number = number * 10 + (*p - '0');
    }
    ++p;
  }
  *value = static_cast<int>(negative ? -number : number);
  return true;
}

bool ScanLiteral(const BYTE*& p, const BYTE* end, const char* literal) {
  for (; *literal != 0; ++literal) {
    if (*literal == ' ') {
      while (p < end && (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r')) {
        ++p;
      }
      continue;
    }
    if (p >= end || *p != static_cast<BYTE>(*literal)) {
      return false;
    }
    ++p;
  }
  return true;
}

// %s: a run of non-blank bytes, at most capacity - 1 kept.
bool ScanWord(const BYTE*& p, const BYTE* end, char* word, size_t capacity) {
  while (p < end && (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r')) {
    ++p;
  }
  size_t n = 0;
  while (p < end && *p != ' ' && *p != '\t' && *p != '\n' && *p != '\r' && *p != 0) {
    if (n + 1 < capacity) {
      word[n++] = static_cast<char>(*p);
    }
    ++p;
  }
  word[n] = 0;
  return n > 0;
}

}  // namespace

int FindBootloaderVersionRecord(VersionInfo* version) {
  FlashLockGuard lock;
  if (!lock.Locked() || FlashOps.Read == nullptr) {
    return 0;
  }
  BYTE block[kScanBlock];
  for (DWORD offset = 0; offset < kVersionSearchEnd; offset += kScanBlock) {
    if (!FlashOps.Read(block, offset, kScanBlock)) {
      continue;  // an unreadable block holds no match
    }
    for (DWORD i = 0; i < kScanBlock; i += 4) {
      if (LoadWord(block + i) != kVersionMagicFirst) {
        continue;
      }
      // The record may run past the block (and past 0x40000): read it from flash.
      BYTE record[20];
      if (FlashOps.Read(record, offset + i, sizeof(record)) &&
          LoadWord(record + 16) == kVersionMagicSecond) {
        version->id = LoadWord(record + 4);
        version->major = LoadWord(record + 8);
        version->minorAndBuild = LoadWord(record + 12);
        return 1;
      }
    }
  }
  return 0;
}

const BYTE* FindFlashText(const char* pattern, BYTE** copy, const BYTE** copyEnd) {
  *copy = nullptr;
  *copyEnd = nullptr;
  const size_t patternLength = std::strlen(pattern);
  if (patternLength == 0) {
    return nullptr;
  }
  auto* buffer = static_cast<BYTE*>(LocalAlloc(LMEM_FIXED, kTextSearchLength));
  if (buffer == nullptr) {
    return nullptr;
  }
  {
    // Read page by page: on NAND an erased page behind a short bootloader reads as an ECC error,
    // and such a page only holds no match; it must not cost the text in the pages around it.
    FlashLockGuard lock;
    if (!lock.Locked() || FlashOps.Read == nullptr) {
      LocalFree(buffer);
      return nullptr;
    }
    for (DWORD at = 0; at < kTextSearchLength; at += kTextSearchPiece) {
      if (!FlashOps.Read(buffer + at, kTextSearchStart + at, kTextSearchPiece)) {
        std::memset(buffer + at, 0, kTextSearchPiece);
      }
    }
  }
  size_t matched = 0;
  for (DWORD i = 0; i < kTextSearchLength; ++i) {
    const BYTE byte = buffer[i];
    if (byte == static_cast<BYTE>(pattern[matched])) {
      ++matched;
    } else {
      matched = byte == static_cast<BYTE>(pattern[0]) ? 1 : 0;
    }
    if (matched == patternLength) {
      *copy = buffer;
      *copyEnd = buffer + kTextSearchLength;
      return buffer + i + 1;
    }
  }
  LocalFree(buffer);
  return nullptr;
}

int CheckRomHeader(DWORD imageOffset, ROMHDR* header, DWORD* headerOffset) {
  FlashLockGuard lock;
  if (!lock.Locked() || FlashOps.Read == nullptr) {
    return 0;
  }
  BYTE words[12];
  if (imageOffset > 0xFFFFFFFFu - 0x40 || !FlashOps.Read(words, imageOffset + 0x40, 12) ||
      LoadWord(words) != kRomSignature) {
    return 0;
  }
  const DWORD headerAddress = LoadWord(words + 4);
  const DWORD headerFromImage = LoadWord(words + 8);
  const DWORD offset = imageOffset + headerFromImage;
  if (offset < imageOffset || !FlashOps.Read(header, offset, sizeof(ROMHDR))) {
    return 0;
  }
  if (headerOffset != nullptr) {
    *headerOffset = offset;
  }
  return headerAddress - headerFromImage == header->physfirst ? 1 : 0;
}

DWORD StoredImageLength(DWORD imageOffset) {
  ROMHDR header{};
  if (CheckRomHeader(imageOffset, &header, nullptr)) {
    return header.physlast - header.physfirst;
  }
  BYTE compressed[kCompressedHeader];
  if (LockedRead(compressed, imageOffset, sizeof(compressed)) &&
      LoadWord(compressed) == kCompressedMagic) {
    return LoadWord(compressed + 8) + kCompressedHeader;
  }
  return 0;
}

int MonthFromName(const char* name) {
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  for (int i = 0; i < 12; ++i) {
    if (std::strcmp(name, kMonths[i]) == 0) {
      return i + 1;
    }
  }
  return 0;
}

void ReadBootloaderVersion(VersionInfo* version, WCHAR* dateText) {
  SYSTEMTIME date{};
  if (FindBootloaderVersionRecord(version)) {
    ROMHDR header{};
    DWORD headerOffset = 0;
    if (!CheckRomHeader(0, &header, &headerOffset) &&
        !CheckRomHeader(0x8000, &header, &headerOffset)) {
      (void)WideCopy(dateText, kDateTextUnits, kUnknownDate);
      return;
    }
    BYTE toc[kTocEntrySize];
    if (!LockedRead(toc, headerOffset + sizeof(ROMHDR), sizeof(toc))) {
      (void)WideCopy(dateText, kDateTextUnits, kUnknownDate);
      return;
    }
    const FILETIME fileTime{LoadWord(toc + 4), LoadWord(toc + 8)};
    if (!FileTimeToSystemTime(&fileTime, &date)) {
      (void)WideCopy(dateText, kDateTextUnits, kUnknownDate);
      return;
    }
  } else {
    BYTE* copy = nullptr;
    const BYTE* end = nullptr;
    const BYTE* text = FindFlashText(kBannerText, &copy, &end);
    if (text == nullptr) {
      (void)WideCopy(dateText, kDateTextUnits, kUnknownDate);
      return;
    }
    version->id = 1;
    // "%d.%d for Velmora Kestrin Built %s %d %d", parsed inside the copy only: a banner at the
    // very end of it, or text without these fields, leaves the date unknown.
    int major = 0;
    int minor = 0;
    int day = 0;
    int year = 0;
    char month[16] = {};
    const BYTE* p = text;
    const bool parsed = ScanNumber(p, end, &major) && ScanLiteral(p, end, ".") &&
                        ScanNumber(p, end, &minor) &&
                        ScanLiteral(p, end, " for Velmora Kestrin Built ") &&
                        ScanWord(p, end, month, sizeof(month)) && ScanNumber(p, end, &day) &&
                        ScanNumber(p, end, &year);
    LocalFree(copy);
    if (!parsed) {
      version->major = static_cast<DWORD>(major);
      version->minorAndBuild = static_cast<DWORD>(minor);
      (void)WideCopy(dateText, kDateTextUnits, kUnknownDate);
      return;
    }
    version->major = static_cast<DWORD>(major);
    version->minorAndBuild = static_cast<DWORD>(minor);  // the whole field: build 0
    date.wYear = static_cast<WORD>(year);
    date.wMonth = static_cast<WORD>(MonthFromName(month));
    date.wDay = static_cast<WORD>(day);
  }
  FormatDate(date, dateText);
}

void ReadImageVersion(VersionInfo* version, WCHAR* dateText) {
  // The image fills the 12-byte record; the output size of 0 is how its control is called.
  (void)KernelIoControl(IOCTL_HAL_GET_IMAGE_VERSION, nullptr, 0, version, 0, nullptr);
  static constexpr const WCHAR* kRomFiles[] = {u"\\windows\\wince.nls", u"\\windows\\default.fdf",
                                               u"\\windows\\default.hv", u"\\windows\\initobj.dat"};
  HANDLE file = INVALID_HANDLE_VALUE;
  for (const WCHAR* name : kRomFiles) {
    file = CreateFileW(name, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      break;
    }
  }
  if (file == INVALID_HANDLE_VALUE) {
    (void)WideCopy(dateText, kDateTextUnits, kUnknownDate);
    return;
  }
  FILETIME created{};
  const BOOL haveTime = GetFileTime(file, &created, nullptr, nullptr);
  (void)CloseHandle(file);
  SYSTEMTIME date{};
  if (!haveTime || !FileTimeToSystemTime(&created, &date)) {
    (void)WideCopy(dateText, kDateTextUnits, kUnknownDate);
    return;
  }
  FormatDate(date, dateText);
}
