// flashwick-module backup, erase, read and verify: the region dialog's operations from the
// command line, through the same library calls, and the module's flash as the program reads it.
//
// Every command starts the library in this process as the program does (FWLInit), after it
// made sure that no other process of the module holds "OnModuleFlash" (the OS's flash driver
// at work, another tool): a command that would wait for it refuses instead.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "core/bin_format.h"
#include "flash/flash_ops.h"
#include "host/module_tool.h"
#include "library/flashwick_lib.h"
#include "library/library_internal.h"
#include "platform/kernel.h"
#include "shell/shell.h"
#include "sim/base/files.h"
#include "sim/base/hex.h"
#include "sim/base/utf.h"
#include "sim/hw/clock.h"
#include "sim/module/boot_flash.h"
#include "sim/module/fault_plan.h"
#include "sim/module/machine.h"

namespace module_tool {
namespace {

namespace fs = std::filesystem;
using sim::Json;

constexpr int kUncorrectableError = 4;
constexpr DWORD kReadChunk = 0x10000;
constexpr std::size_t kImageHeaderSize = 15;
constexpr std::size_t kRecordHeaderSize = 12;

const char* StatusText(FwlStatus status) {
  const char* name = FwlStatusName(status);
  return name != nullptr ? name : "unknown status";
}

std::string RegionNameOf(DWORD kind) {
  const WCHAR* name = RegionName(kind & REGION_ALL_TYPES);
  return name != nullptr ? sim::ToUtf8(name) : sim::Hex(kind, 8);
}

// Region names compare without case, spaces, '-' or '_': "OS Image", "os-image", "osimage".
std::string NameKey(const std::string& name) {
  std::string key;
  for (const char c : name) {
    if (c != ' ' && c != '-' && c != '_') {
      key.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
  }
  return key;
}

std::string NameList() {
  std::string names;
  for (int i = 0; i < kRegionCount && RegionTable[i].flags != 0; ++i) {
    names += (names.empty() ? "\"" : ", \"") + RegionNameOf(RegionTable[i].flags) + "\"";
  }
  return names;
}

const FlashRegion* FindRegion(const std::string& name) {
  for (int i = 0; i < kRegionCount && RegionTable[i].flags != 0; ++i) {
    if (NameKey(RegionNameOf(RegionTable[i].flags)) == NameKey(name)) {
      return &RegionTable[i];
    }
  }
  return nullptr;
}

double Seconds(std::uint64_t nanoseconds) {
  return static_cast<double>(nanoseconds) / static_cast<double>(1000 * sim::kMillisecond);
}

// What a power cut leaves to tidy up: the module's directory and a file not yet complete.
fs::path PoweredModule;
fs::path PendingOutput;

// Progress of a long command on standard error (standard output keeps the result), a line at
// each tenth: "flashwick-module: erase: 40% of 0x00F40000 bytes (module time 1.234 s)". The
// library's callbacks carry no context, hence the one instance.
struct ProgressLines {
  const char* what = nullptr;
  std::uint64_t total = 0;
  std::uint64_t last = 0;
  int shown = -1;

  void Start(const char* name, std::uint64_t bytes) {
    what = name;
    total = bytes;
    last = 0;
    shown = -1;
  }
  void Show(std::uint64_t done) {
    last = done;
    if (what == nullptr || total == 0) {
      return;
    }
    const int tenth = static_cast<int>(std::min<std::uint64_t>(done * 10 / total, 10));
    if (tenth <= shown) {
      return;
    }
    shown = tenth;
    std::fprintf(stderr, "flashwick-module: %s: %d%% of 0x%08llX bytes (module time %.3f s)\n",
                 what, tenth * 10, static_cast<unsigned long long>(total),
                 static_cast<double>(sim::CurrentMachine().Clock().Now()) / 1e9);
    std::fflush(stderr);
  }
};
ProgressLines Progress;

// The erase of each region reports its own bytes; phase codes come with a total of 0.
int OnEraseProgress(DWORD done, DWORD total) {
  if (total != 0) {
    if (total != Progress.total || done < Progress.last) {
      Progress.Start("erase", total);
    }
    Progress.Show(done);
  }
  return 1;
}

int OnBackupBegin(const ImageInfo* info) {
  Progress.Start("backup", info->dataBytes);
  return 1;
}

int OnBackupData(DWORD /*sectionDone*/, DWORD allDone) {
  Progress.Show(allDone);
  return 1;
}

// A power cut stops the module's processor, and this command with it: the file it was making is
// removed, the module starts again (its RAM lost, as flashwick leaves it), and the command fails.
[[noreturn]] void OnPowerLost(const std::string& what) {
  std::error_code code;
  if (!PendingOutput.empty()) {
    fs::remove(PendingOutput, code);
  }
  Fail("power cut during the " + what +
       ": the command stopped with the module; the flash holds what the cut left");
  std::fflush(nullptr);
  std::string error;
  if (!sim::ResetModuleAfterPowerCut(PoweredModule, &error)) {
    Fail(error);
  }
  PrintFailureJson(1);
  std::fflush(nullptr);
  std::_Exit(1);
}

// The module attached and the library started in this process; detached at the end.
class AttachedModule {
 public:
  AttachedModule() = default;
  ~AttachedModule() { Close(); }
  AttachedModule(const AttachedModule&) = delete;
  AttachedModule& operator=(const AttachedModule&) = delete;

  // Attaches the module (a host folder as "\USB HD" when given) and starts the library. On
  // failure the reason is printed and the exit code returned (0 when open).
  int Open(const fs::path& module, const fs::path& usbFolder) {
    sim::AttachOptions options;
    options.usbFolder = usbFolder;
    PoweredModule = module;
    sim::FaultPlan::SetPowerLostHandler(OnPowerLost);
    // Faults that fire are said on standard error, as flashwick says them.
    sim::FaultPlan::SetFiredHandler([](const std::string& line) {
      std::fprintf(stderr, "flashwick-module: %s\n", line.c_str());
    });
    std::string error;
    if (!sim::Attach(module, options, &error)) {
      return Fail(error);
    }
    attached_ = true;
    if (!sim::CurrentMachine().OsRunning()) {
      // These commands run the program's library, which needs the module's OS.
      return Fail("the module's OS is not running: " +
                  sim::BootOutcomeText(sim::CurrentMachine().Started()));
    }
    // FWLInit and every flash access wait for the lock without a time limit: look first.
    if (const int refused = FailUnlessFlashFree(); refused != 0) {
      return refused;
    }
    const FwlStatus init = FWLInit();
    if (init != FWL_OK) {
      return Fail(std::string("the library did not start on this module: ") + StatusText(init));
    }
    (void)FWLScanRegions(REGION_ALL_TYPES);
    return 0;
  }
  std::uint64_t Now() { return sim::CurrentMachine().Clock().Now(); }
  void Close() {
    if (attached_) {
      (void)FWLCloseBinFile();
      FreeWorkBuffer();
      sim::Detach();
      attached_ = false;
    }
  }

 private:
  bool attached_ = false;
};

// The kinds named by LIST ("all": every region the module lists). Prints why and returns false
// for an unknown or repeated name or one whose region is not present.
bool ParseRegionList(const std::string& list, DWORD* kinds, std::vector<std::string>* names) {
  *kinds = 0;
  std::size_t from = 0;
  while (from <= list.size()) {
    const std::size_t comma = std::min(list.find(',', from), list.size());
    std::string name = list.substr(from, comma - from);
    while (!name.empty() && name.front() == ' ') {
      name.erase(name.begin());
    }
    while (!name.empty() && name.back() == ' ') {
      name.pop_back();
    }
    from = comma + 1;
    if (name.empty()) {
      Fail("--regions: an empty name in \"" + list + "\"; names: " + NameList());
      return false;
    }
    if (NameKey(name) == "all") {
      for (int i = 0; i < kRegionCount && RegionTable[i].flags != 0; ++i) {
        if ((RegionTable[i].flags & REGION_NOT_PRESENT) == 0) {
          *kinds |= RegionTable[i].flags & REGION_ALL_TYPES;
        }
      }
      continue;
    }
    const FlashRegion* region = FindRegion(name);
    if (region == nullptr) {
      Fail("--regions: no region \"" + name + "\" on this module; names: " + NameList() +
           " (or all)");
      return false;
    }
    if ((region->flags & REGION_NOT_PRESENT) != 0) {
      Fail("--regions: the region \"" + RegionNameOf(region->flags) +
           "\" is not present on this module");
      return false;
    }
    if ((*kinds & region->flags & REGION_ALL_TYPES) != 0) {
      Fail("--regions: \"" + name + "\" is named twice");
      return false;
    }
    *kinds |= region->flags & REGION_ALL_TYPES;
  }
  if (*kinds == 0) {
    Fail("--regions: no region is present on this module");
    return false;
  }
  for (int i = 0; i < kRegionCount && RegionTable[i].flags != 0; ++i) {
    if ((RegionTable[i].flags & *kinds) != 0) {
      names->push_back(RegionNameOf(RegionTable[i].flags));
    }
  }
  return true;
}

// An output file on the host: refused when it exists (unless replacing is allowed) or its folder
// does not; written under a temporary name beside it and renamed over it only when complete.
struct OutputFile {
  fs::path target;
  fs::path temporary;
};

bool PrepareOutput(const std::string& given, bool replace, OutputFile* out) {
  std::error_code code;
  out->target = fs::absolute(given, code);
  if (code || given.empty() || out->target.filename().empty()) {
    Fail("\"" + given + "\" is not a file name");
    return false;
  }
  if (!fs::is_directory(out->target.parent_path(), code)) {
    Fail(out->target.parent_path().string() + ": no such folder");
    return false;
  }
  if (fs::exists(out->target, code)) {
    if (fs::is_directory(out->target, code)) {
      Fail(out->target.string() + " is a folder");
      return false;
    }
    if (!replace) {
      Fail(out->target.string() + " exists (--force replaces it)");
      return false;
    }
  }
  out->temporary = out->target.parent_path() / ("." + out->target.filename().string() + "." +
                                                std::to_string(::getpid()) + ".part");
  return true;
}

bool FinishOutput(const OutputFile& out) {
  std::error_code code;
  fs::rename(out.temporary, out.target, code);
  if (code) {
    fs::remove(out.temporary, code);
    Fail(out.target.string() + ": cannot write: " + code.message());
    return false;
  }
  return true;
}

// Reads flash as the program does: under the flash lock, NAND with error correction on. A page
// that cannot be corrected is taken only when it is erased (its raw read is all 0xFF). On
// failure *bad is the address of the page that could not be read.
bool ReadFlash(BYTE* buffer, DWORD offset, DWORD length, DWORD* bad) {
  FlashLockGuard lock;
  if (!lock.Locked()) {
    *bad = offset;
    return false;
  }
  const bool nand = FlashKind == kFlashKindNand;
  const int previousEcc = nand ? FlashOps.SetEcc(1) : 0;
  bool ok = FlashOps.Read(buffer, offset, length) != 0;
  if (!ok && nand && FlashLastError == kUncorrectableError) {
    const DWORD pageSize = FlashOps.PageSize();
    ok = pageSize != 0;
    for (DWORD done = 0; ok && done < length;) {
      const DWORD inPage = (offset + done) % pageSize;
      const DWORD piece = std::min(length - done, pageSize - inPage);
      if (FlashOps.Read(buffer + done, offset + done, piece) == 0) {
        (void)FlashOps.SetEcc(0);
        const bool raw = FlashOps.Read(buffer + done, offset + done, piece) != 0;
        (void)FlashOps.SetEcc(1);
        ok = raw &&
             std::all_of(buffer + done, buffer + done + piece, [](BYTE b) { return b == 0xFF; });
        if (!ok) {
          *bad = offset + done - inPage;
        }
      }
      done += piece;
    }
  } else if (!ok) {
    *bad = offset;
  }
  if (nand) {
    (void)FlashOps.SetEcc(previousEcc);
  }
  return ok;
}

int Report(const Arguments& arguments, const Json& result, const std::string& line, int code) {
  if (arguments.Has("json")) {
    PrintJson(result);
  } else if (code == 0) {
    std::printf("%s\n", line.c_str());
  } else {
    std::fprintf(stderr, "flashwick-module: %s\n", line.c_str());
  }
  return code;
}

// ---------------------------------------------------------------------------------------------
// backup
// ---------------------------------------------------------------------------------------------
const char* BackupErrorText(FwlStatus status) {
  switch (status) {
    case FWL_ERR_OPEN_FILE:
      return "cannot create the file";
    case FWL_ERR_WRITE_FILE:
      return "cannot write the file (is the disk full?)";
    case FWL_ERR_READ_FLASH:
      return "the flash could not be read";
    case FWL_ERR_NO_REGION:
      return "region not found";
    case FWL_ERR_INVALID_REGION:
      return "one or more of the regions are not valid";
    case FWL_ERR_FILE_SYSTEM:
      return "the file system could not be backed up";
    case FWL_ERR_NO_MEMORY:
      return "not enough memory on the module";
    default:
      return "the backup failed";
  }
}

int Backup(const Arguments& arguments) {
  const std::size_t count = arguments.positional.size();
  if (!arguments.Has("regions")) {
    return Fail("backup: --regions LIST is required");
  }
  OutputFile out;
  if (!PrepareOutput(arguments.positional[count - 1], arguments.Has("force"), &out)) {
    return kUsageError;
  }
  const fs::path module =
      count == 2 ? fs::path(arguments.positional[0]) : ModuleDirectoryArgument(Arguments{});
  AttachedModule attached;
  if (const int code = attached.Open(module, out.target.parent_path()); code != 0) {
    return code;
  }
  DWORD kinds = 0;
  std::vector<std::string> names;
  if (!ParseRegionList(arguments.Get("regions"), &kinds, &names)) {
    return kUsageError;
  }
  // As the dialog: regions backed up together lie next to each other.
  if (names.size() > 1) {
    FlashRegion selection{kinds, 0, 0, 0};
    DWORD overlap = kinds;
    if (FWLGetRegions(&selection, nullptr) != FWL_OK ||
        FWLGetRegionsInRange(&overlap, selection.start, selection.length) == FWL_ERR_RANGE) {
      return Fail(
          "backup: the regions have to be contiguous (a region between them is not "
          "named)");
    }
  }
  const std::u16string path = u"\\USB HD\\" + sim::FromUtf8(out.temporary.filename().string());
  PendingOutput = out.temporary;
  const FwlStatus status =
      FWLBackupToFile(path.c_str(), kinds, OnBackupBegin, nullptr, OnBackupData);
  const DWORD milliseconds = FWLGetOperationTime();
  attached.Close();
  Json result = {{"command", "backup"},
                 {"module", module.string()},
                 {"regions", names},
                 {"file", out.target.string()},
                 {"status", StatusText(status)},
                 {"moduleSeconds", milliseconds / 1000.0}};
  if (status != FWL_OK) {
    std::error_code code;
    fs::remove(out.temporary, code);  // a partial backup must not pass for a whole one
    result["error"] = BackupErrorText(status);
    return Report(arguments, result,
                  "backup: " + std::string(BackupErrorText(status)) + " (" + StatusText(status) +
                      "); " + out.target.string() + " was not written",
                  1);
  }
  std::error_code code;
  const std::uintmax_t bytes = fs::file_size(out.temporary, code);
  if (!FinishOutput(out)) {
    return kUsageError;
  }
  result["bytes"] = bytes;
  char line[512];
  std::snprintf(line, sizeof(line), "wrote %ju bytes in %.3f s (module time) to %s",
                static_cast<std::uintmax_t>(bytes), milliseconds / 1000.0,
                out.target.string().c_str());
  return Report(arguments, result, line, 0);
}

void BackupHelp(std::FILE* out) {
  std::fprintf(out,
               "LIST names regions as info shows them, separated by commas, in any case, with\n"
               "or without spaces (\"OS Image,registry\", \"os-image\"), or \"all\". Regions\n"
               "backed up together must lie next to each other, as in the program's dialog.\n"
               "The file is made by the library's own backup (FWLBackupToFile) on the module,\n"
               "which sees FILE's folder as \"\\USB HD\"; it is written under a temporary name\n"
               "and appears only when the backup is complete. An existing FILE is kept unless\n"
               "--force is given. Exit status: 0 written, 1 the backup failed, 2 not run.\n");
}

// ---------------------------------------------------------------------------------------------
// erase
// ---------------------------------------------------------------------------------------------
int Erase(const Arguments& arguments) {
  if (!arguments.Has("regions")) {
    return Fail("erase: --regions LIST is required");
  }
  const fs::path module = ModuleDirectoryArgument(arguments);
  AttachedModule attached;
  if (const int code = attached.Open(module, {}); code != 0) {
    return code;
  }
  DWORD kinds = 0;
  std::vector<std::string> names;
  if (!ParseRegionList(arguments.Get("regions"), &kinds, &names)) {
    return kUsageError;
  }
  FlashRegion selection{kinds, 0, 0, 0};
  FlashRegion list[kRegionCount + 1] = {};
  std::uint64_t bytes = 0;
  if (FWLGetRegions(&selection, list) == FWL_OK) {
    for (int i = 0; list[i].flags != 0; ++i) {
      bytes += list[i].length;
    }
  }
  const FwlStatus status = FWLEraseRegions(kinds, OnEraseProgress);
  const DWORD milliseconds = FWLGetOperationTime();
  attached.Close();
  Json result = {{"command", "erase"},
                 {"module", module.string()},
                 {"regions", names},
                 {"status", StatusText(status)},
                 {"moduleSeconds", milliseconds / 1000.0}};
  if (status != FWL_OK) {
    const char* why = status == FWL_ERR_FS_DRIVER     ? "the file system driver did not let go"
                      : status == FWL_ERR_ERASE_FLASH ? "the flash erase failed"
                      : status == FWL_ERR_NO_REGION   ? "region not found"
                                                      : "the erase failed";
    result["error"] = why;
    return Report(arguments, result, "erase: " + std::string(why) + " (" + StatusText(status) + ")",
                  1);
  }
  result["bytes"] = bytes;
  char line[256];
  std::snprintf(line, sizeof(line), "erased %llu bytes in %.3f s (module time)",
                static_cast<unsigned long long>(bytes), milliseconds / 1000.0);
  return Report(arguments, result, line, 0);
}

void EraseHelp(std::FILE* out) {
  std::fprintf(out,
               "LIST as for backup. The regions are erased by the library's own erase\n"
               "(FWLEraseRegions), the file system after its driver let go of the store. It\n"
               "does not ask. Exit status: 0 erased, 1 the erase failed, 2 not run.\n");
}

// ---------------------------------------------------------------------------------------------
// read
// ---------------------------------------------------------------------------------------------
int Read(const Arguments& arguments) {
  if (!arguments.Has("region") || !arguments.Has("out")) {
    return Fail("read: --region NAME and --out FILE are required");
  }
  OutputFile out;
  if (!PrepareOutput(arguments.Get("out"), arguments.Has("force"), &out)) {
    return kUsageError;
  }
  const fs::path module = ModuleDirectoryArgument(arguments);
  AttachedModule attached;
  if (const int code = attached.Open(module, {}); code != 0) {
    return code;
  }
  const FlashRegion* found = FindRegion(arguments.Get("region"));
  if (found == nullptr) {
    return Fail("read: no region \"" + arguments.Get("region") +
                "\" on this module; names: " + NameList());
  }
  const FlashRegion region = *found;
  const std::string name = RegionNameOf(region.flags);
  // A region whose content the scan did not find (an erased image) is still read: its place
  // in the flash is fixed.
  if (region.length == 0) {
    return Fail("read: the region \"" + name + "\" has no place on this module");
  }
  std::FILE* file = std::fopen(out.temporary.c_str(), "wb");
  if (file == nullptr) {
    return Fail(out.target.string() + ": cannot write");
  }
  PendingOutput = out.temporary;
  std::vector<BYTE> buffer(kReadChunk);
  const std::uint64_t started = attached.Now();
  DWORD bad = 0;
  bool readOk = true;
  bool written = true;
  Progress.Start("read", region.length);
  for (DWORD done = 0; done < region.length && readOk && written;) {
    const DWORD piece = std::min(region.length - done, kReadChunk);
    readOk = ReadFlash(buffer.data(), region.start + done, piece, &bad);
    written = readOk && std::fwrite(buffer.data(), 1, piece, file) == piece;
    done += piece;
    Progress.Show(done);
  }
  const std::uint64_t elapsed = attached.Now() - started;
  written = std::fclose(file) == 0 && written;
  attached.Close();
  Json result = {{"command", "read"},
                 {"module", module.string()},
                 {"region", name},
                 {"start", region.start},
                 {"length", region.length},
                 {"present", (region.flags & REGION_NOT_PRESENT) == 0},
                 {"file", out.target.string()},
                 {"moduleSeconds", Seconds(elapsed)}};
  if (!readOk || !written) {
    std::error_code code;
    fs::remove(out.temporary, code);
    if (!readOk) {
      result["error"] = "unreadable page";
      result["address"] = bad;
      return Report(arguments, result,
                    "read: the page at " + sim::Hex(bad, 8) + " in " + name +
                        " cannot be read (uncorrectable); " + out.target.string() +
                        " was not written",
                    1);
    }
    return Fail(out.target.string() + ": cannot write");
  }
  if (!FinishOutput(out)) {
    return kUsageError;
  }
  result["bytes"] = region.length;
  char line[512];
  std::snprintf(line, sizeof(line), "read %u bytes of %s (%s..%s) in %.3f s (module time) to %s",
                region.length, name.c_str(), sim::Hex(region.start, 8).c_str(),
                sim::Hex(region.start + region.length, 8).c_str(), Seconds(elapsed),
                out.target.string().c_str());
  return Report(arguments, result, line, 0);
}

void ReadHelp(std::FILE* out) {
  std::fprintf(out,
               "Writes the whole region (its length, not only its used bytes) as the program\n"
               "reads it through its flash driver: NAND with error correction on, an erased\n"
               "page as 0xFF; a page that cannot be corrected fails the read with its address.\n"
               "An existing FILE is kept unless --force is given. Exit status: 0 written, 1 the\n"
               "flash could not be read, 2 not run.\n");
}

// ---------------------------------------------------------------------------------------------
// verify
// ---------------------------------------------------------------------------------------------
struct Record {
  std::size_t index;
  std::size_t fileOffset;  // of its data
  DWORD flashOffset;
  DWORD length;
};

// The records of an accepted file's image part, with the flash offsets the update writes them to.
std::vector<Record> ImageRecords(const std::vector<std::uint8_t>& bytes) {
  std::vector<Record> records;
  if (bytes.size() < kImageHeaderSize || std::memcmp(bytes.data(), "B000FF\n", 7) != 0) {
    return records;
  }
  std::size_t at = kImageHeaderSize;
  while (at + kRecordHeaderSize <= bytes.size()) {
    const DWORD address = LoadWord(bytes.data() + at);
    const DWORD length = LoadWord(bytes.data() + at + 4);
    const DWORD checksum = LoadWord(bytes.data() + at + 8);
    at += kRecordHeaderSize;
    if (address == 0 && checksum == 0) {
      break;
    }
    if (length > bytes.size() - at) {
      break;  // the library accepted the file; cannot happen
    }
    records.push_back({records.size(), at, address + AddressOffset, length});
    at += length;
  }
  return records;
}

// Bytes of the image's range [start, start + length) that no record covers: the update erases
// them with the rest of the range and writes nothing there.
std::uint64_t BytesNoRecordWrites(const AddressRange& range, const std::vector<Record>& records) {
  const std::uint64_t begin = range.start;
  const std::uint64_t end = begin + range.length;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> pieces;
  for (const Record& record : records) {
    const std::uint64_t from = std::max<std::uint64_t>(record.flashOffset, begin);
    const std::uint64_t to =
        std::min<std::uint64_t>(std::uint64_t{record.flashOffset} + record.length, end);
    if (from < to) {
      pieces.emplace_back(from, to);
    }
  }
  std::sort(pieces.begin(), pieces.end());
  std::uint64_t covered = 0;
  std::uint64_t reached = begin;
  for (const auto& [from, to] : pieces) {
    const std::uint64_t start = std::max(from, reached);
    if (to > start) {
      covered += to - start;
      reached = to;
    }
  }
  return range.length - covered;
}

std::string RegionAt(DWORD address) {
  for (int i = 0; i < kRegionCount && RegionTable[i].flags != 0; ++i) {
    if (address >= RegionTable[i].start && address - RegionTable[i].start < RegionTable[i].length) {
      return RegionNameOf(RegionTable[i].flags);
    }
  }
  return "no region";
}

int Verify(const Arguments& arguments) {
  const std::size_t count = arguments.positional.size();
  std::error_code code;
  const fs::path file = fs::absolute(arguments.positional[count - 1], code);
  if (code || !fs::is_regular_file(file, code)) {
    return Fail(arguments.positional[count - 1] + ": no such file");
  }
  std::vector<std::uint8_t> bytes;
  if (!sim::ReadWholeFile(file, &bytes)) {
    return Fail(file.string() + ": cannot read");
  }
  const fs::path module =
      count == 2 ? fs::path(arguments.positional[0]) : ModuleDirectoryArgument(Arguments{});
  AttachedModule attached;
  if (const int opened = attached.Open(module, file.parent_path()); opened != 0) {
    return opened;
  }
  const std::u16string path = u"\\USB HD\\" + sim::FromUtf8(file.filename().string());
  ImageInfo info{};
  const FwlStatus status = FWLSetBinFile(path.c_str(), &info, nullptr, 1);
  if (status != FWL_OK) {
    return Fail("verify: " + file.string() + " is refused by the update (" + StatusText(status) +
                "; flashwick-module bin says why)");
  }
  const AddressRange range = CurrentImageRange;
  (void)FWLCloseBinFile();
  const std::vector<Record> records = ImageRecords(bytes);
  if (records.empty()) {
    return Fail("verify: " + file.string() +
                " holds no image records to compare (a file system or CPLD section only)");
  }
  const std::uint64_t started = attached.Now();
  std::vector<BYTE> flash(kReadChunk);
  std::uint64_t compared = 0;
  Json difference;
  for (std::size_t r = 0; r < records.size() && difference.is_null(); ++r) {
    const Record& record = records[r];
    for (DWORD done = 0; done < record.length && difference.is_null();) {
      const DWORD piece = std::min(record.length - done, kReadChunk);
      DWORD bad = 0;
      if (!ReadFlash(flash.data(), record.flashOffset + done, piece, &bad)) {
        difference = {{"address", bad},
                      {"region", RegionAt(bad)},
                      {"record", record.index},
                      {"unreadable", true}};
        break;
      }
      const BYTE* expected = bytes.data() + record.fileOffset + done;
      for (DWORD i = 0; i < piece; ++i) {
        if (flash[i] == expected[i]) {
          continue;
        }
        // A later record that writes the same byte decides what it holds.
        const DWORD address = record.flashOffset + done + i;
        const bool overwritten = std::any_of(records.begin() + static_cast<std::ptrdiff_t>(r) + 1,
                                             records.end(), [address](const Record& later) {
                                               return address >= later.flashOffset &&
                                                      address - later.flashOffset < later.length;
                                             });
        if (!overwritten) {
          difference = {{"address", address},      {"region", RegionAt(address)},
                        {"record", record.index},  {"fileOffset", record.fileOffset + done + i},
                        {"expected", expected[i]}, {"found", flash[i]}};
          break;
        }
      }
      compared += piece;
      done += piece;
    }
  }
  const std::uint64_t elapsed = attached.Now() - started;
  attached.Close();
  Json notCompared = Json::array();
  if ((info.types & REGION_FILE_SYSTEM) != 0) {
    notCompared.push_back("file system section");
  }
  if ((info.types & REGION_CPLD_FIRMWARE) != 0) {
    notCompared.push_back("CPLD section");
  }
  if (const std::uint64_t unwritten = BytesNoRecordWrites(range, records); unwritten != 0) {
    notCompared.push_back(std::to_string(unwritten) +
                          " bytes of the image's range that no record writes (the update "
                          "erases them; the OS may write there after it)");
  }
  Json result = {{"command", "verify"},        {"module", module.string()},
                 {"file", file.string()},      {"records", records.size()},
                 {"notCompared", notCompared}, {"moduleSeconds", Seconds(elapsed)}};
  if (!difference.is_null()) {
    result["matches"] = false;
    result["difference"] = difference;
    const DWORD address = difference["address"].get<DWORD>();
    std::string line = "verify: differs in " + difference["region"].get<std::string>() + " at " +
                       sim::Hex(address, 8) + " (record " +
                       std::to_string(difference["record"].get<std::size_t>());
    if (difference.contains("unreadable")) {
      line += "): the page cannot be read (uncorrectable)";
    } else {
      line += ", file offset " + sim::Hex(difference["fileOffset"].get<std::size_t>(), 8) +
              "): expected " + sim::Hex(difference["expected"].get<unsigned>(), 2) + ", found " +
              sim::Hex(difference["found"].get<unsigned>(), 2);
    }
    return Report(arguments, result, line, 1);
  }
  result["matches"] = true;
  result["bytes"] = compared;
  char line[512];
  std::snprintf(line, sizeof(line),
                "the flash holds the %zu record(s) of %s: compared %llu bytes in %.3f s (module "
                "time)",
                records.size(), file.filename().string().c_str(),
                static_cast<unsigned long long>(compared), Seconds(elapsed));
  std::string text = line;
  for (const Json& section : notCompared) {
    text += "\nnot compared: the " + section.get<std::string>();
  }
  return Report(arguments, result, text, 0);
}

void VerifyHelp(std::FILE* out) {
  std::fprintf(out,
               "FILE is first checked by the update's own reader (as bin does). Each record of\n"
               "its image part is then compared with the flash at the offset the update would\n"
               "write it to, through the program's flash read; where records overlap, the later\n"
               "one counts. A file system or CPLD section is not compared (it is named), nor\n"
               "are the bytes of the image's range that no record writes (their count is given:\n"
               "the update erases them, and the OS may write there after it).\n"
               "Exit status: 0 the flash holds every record, 1 the first difference is printed\n"
               "(region, address, record, file offset, expected and found byte), 2 not run.\n");
}

const ModuleCommandRegistrar kBackup({"backup",
                                      "backup [DIR] --regions LIST FILE [--force] [--json]",
                                      "back regions up into a bin file, as the region dialog does",
                                      {"regions"},
                                      Backup,
                                      BackupHelp});
const ModuleCommandRegistrar kErase({"erase",
                                     "erase [DIR] --regions LIST [--json]",
                                     "erase regions, as the region dialog does",
                                     {"regions"},
                                     Erase,
                                     EraseHelp});
const ModuleCommandRegistrar kRead({"read",
                                    "read [DIR] --region NAME --out FILE [--force] [--json]",
                                    "write a region's bytes as the program reads them to FILE",
                                    {"region", "out"},
                                    Read,
                                    ReadHelp});
const ModuleCommandRegistrar kVerify({"verify",
                                      "verify [DIR] FILE [--json]",
                                      "check that the flash holds what FILE's records would write",
                                      {},
                                      Verify,
                                      VerifyHelp});

}  // namespace
}  // namespace module_tool
