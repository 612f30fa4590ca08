// Files and folders of the module's OS (see file_system.h for the namespace's rules).
#include "sim/os/file_system.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "sim/base/file_lock.h"
#include "sim/base/file_stamp.h"
#include "sim/base/names.h"
#include "sim/os/os_call.h"
#include "sim/os/real_time_clock.h"

namespace sim {
namespace {

// ---------------------------------------------------------------------------------------------
// Constants
// ---------------------------------------------------------------------------------------------
constexpr std::u16string_view kUsbName = u"USB HD";
// The object store of a module with 128 MiB of RAM, as the image divides it.
constexpr std::uint64_t kDefaultObjectStoreBytes = 32ull << 20;
// Volumes and the USB drive show as folders marked temporary, as mount points do on the module.
constexpr DWORD kVolumeAttributes = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_TEMPORARY;
constexpr DWORD kSettableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                      FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;
// The longest name of one file or folder, in code units.
constexpr std::size_t kMaxName = 255;
// The module's files are at most 4 GiB - 1 bytes long (32-bit sizes on its file systems).
constexpr std::uint64_t kMaxFileSize = 0xFFFFFFFFull;
// FILETIME count of 1 January 1970.
constexpr std::int64_t kUnixEpoch = 116444736000000000ll;

std::recursive_mutex& FileSystemMutex() {
  static auto* mutex = new std::recursive_mutex();
  return *mutex;
}

// ---------------------------------------------------------------------------------------------
// Names
// ---------------------------------------------------------------------------------------------
// ERROR_SUCCESS when the module can hold the name; wildcards allows '*' and '?'.
DWORD CheckName(std::u16string_view name, bool wildcards) {
  if (name == u"." || name == u"..") {
    return ERROR_INVALID_NAME;
  }
  if (name.size() > kMaxName) {
    return ERROR_FILENAME_EXCED_RANGE;
  }
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char16_t unit = name[i];
    if (unit < 0x20 || unit == u':' || unit == u'"' || unit == u'<' || unit == u'>' ||
        unit == u'|') {
      return ERROR_INVALID_NAME;
    }
    if (!wildcards && (unit == u'*' || unit == u'?')) {
      return ERROR_INVALID_NAME;
    }
    // A lone surrogate has no host spelling.
    if (unit >= 0xD800 && unit < 0xDC00) {
      if (i + 1 >= name.size() || name[i + 1] < 0xDC00 || name[i + 1] >= 0xE000) {
        return ERROR_INVALID_NAME;
      }
      ++i;
    } else if (unit >= 0xDC00 && unit < 0xE000) {
      return ERROR_INVALID_NAME;
    }
  }
  // Trailing dots and blanks would make two spellings of one name.
  if (name.back() == u'.' || name.back() == u' ') {
    return ERROR_INVALID_NAME;
  }
  return ERROR_SUCCESS;
}

// The module name of a host entry; false when the module could not hold it.
bool ModuleNameOf(const std::string& hostName, std::u16string* name) {
  *name = FromUtf8(hostName);
  return ToUtf8(*name) == hostName && !name->empty() && CheckName(*name, false) == ERROR_SUCCESS;
}

bool WildcardMatch(std::u16string_view pattern, std::u16string_view name) {
  if (pattern == u"*.*") {
    pattern = u"*";  // every name, with or without a dot
  } else if (pattern.size() > 1 && pattern.back() == u'.') {
    // A pattern ending in a dot matches names without an extension ("*." : "README").
    if (name.find(u'.') != std::u16string_view::npos) {
      return false;
    }
    pattern.remove_suffix(1);
  }
  return MatchWildcard(pattern, name);
}

// ---------------------------------------------------------------------------------------------
// Host helpers
// ---------------------------------------------------------------------------------------------
DWORD ErrorFromErrno(int error) {
  switch (error) {
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EEXIST:
      return ERROR_ALREADY_EXISTS;
    case ENOTEMPTY:
      return ERROR_DIR_NOT_EMPTY;
    case EACCES:
    case EPERM:
    case EROFS:
    case ELOOP:
      return ERROR_ACCESS_DENIED;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return ERROR_DISK_FULL;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    default:
      return ERROR_GEN_FAILURE;
  }
}

std::uint64_t TicksOf(const struct timespec& time) {
  return static_cast<std::uint64_t>(kUnixEpoch + time.tv_sec * 10000000ll + time.tv_nsec / 100);
}

struct timespec TimespecOf(std::uint64_t ticks) {
  const std::int64_t sinceEpoch = static_cast<std::int64_t>(ticks) - kUnixEpoch;
  std::int64_t seconds = sinceEpoch / 10000000;
  std::int64_t rest = sinceEpoch % 10000000;
  if (rest < 0) {
    rest += 10000000;
    --seconds;
  }
  struct timespec time {};
  time.tv_sec = static_cast<time_t>(seconds);
  time.tv_nsec = static_cast<long>(rest * 100);
  return time;
}

struct HostInfo {
  bool exists = false;
  bool directory = false;
  bool symlink = false;
  dev_t device = 0;
  ino_t inode = 0;
  std::uint64_t size = 0;
  std::uint64_t modified = 0;  // FILETIME count
};

HostInfo Inspect(const fs::path& path, bool follow = false) {
  struct stat status {};
  HostInfo info;
  if ((follow ? ::stat(path.c_str(), &status) : ::lstat(path.c_str(), &status)) != 0) {
    return info;
  }
  info.exists = true;
  info.symlink = S_ISLNK(status.st_mode);
  info.directory = S_ISDIR(status.st_mode);
  info.device = status.st_dev;
  info.inode = status.st_ino;
  info.size = static_cast<std::uint64_t>(status.st_size);
  info.modified = TicksOf(status.st_mtim);
  return info;
}

// ---------------------------------------------------------------------------------------------
// State of this process's file system
// ---------------------------------------------------------------------------------------------
struct FileRecord {
  DWORD attributes = 0;
  std::uint64_t creation = 0;
  std::uint64_t access = 0;
  std::uint64_t write = 0;
  // What the record was written for: the host modification time of a file, the inode of a
  // folder.
  std::uint64_t stamp = 0;
  bool operator==(const FileRecord&) const = default;
};

struct FileSystemState {
  fs::path filesFolder;
  fs::path usbFolder;  // empty: files/USB HD
  fs::path metadataFile;
  std::uint64_t objectStoreBytes = kDefaultObjectStoreBytes;
  std::vector<VolumeMount> mounts;
  std::vector<NameHandler*> handlers;
  // files.meta as last read, and what it looked like then.
  std::map<std::u16string, FileRecord> records;
  FileStamp recordsStamp;
  bool recordsLoaded = false;
  // Bytes in use per volume, from the last walk; cleared whenever the namespace changes.
  std::map<std::u16string, std::uint64_t> usedBytes;
};

FileSystemState& State() {
  static auto* state = new FileSystemState();
  return *state;
}

// ---------------------------------------------------------------------------------------------
// files.meta
// ---------------------------------------------------------------------------------------------
constexpr const char* kMetadataHeader =
    "; attributes creation access write stamp path (times as FILETIME counts)\n";

bool ParseMetadata(const std::string& text, const std::string& fileName,
                   std::map<std::u16string, FileRecord>* records, std::string* error) {
  records->clear();
  std::size_t position = 0;
  std::size_t lineNumber = 0;
  while (position < text.size()) {
    const std::size_t end = text.find('\n', position);
    const std::string line =
        text.substr(position, end == std::string::npos ? std::string::npos : end - position);
    position = end == std::string::npos ? text.size() : end + 1;
    ++lineNumber;
    if (line.empty() || line[0] == ';') {
      continue;
    }
    unsigned attributes = 0;
    unsigned long long creation = 0;
    unsigned long long access = 0;
    unsigned long long write = 0;
    unsigned long long stamp = 0;
    int consumed = 0;
    if (std::sscanf(line.c_str(), "%8x %20llu %20llu %20llu %20llu %n", &attributes, &creation,
                    &access, &write, &stamp, &consumed) != 5 ||
        consumed <= 0 || static_cast<std::size_t>(consumed) >= line.size() ||
        line[static_cast<std::size_t>(consumed)] != '\\') {
      *error = fileName + ": line " + std::to_string(lineNumber) +
               ": expected attributes, three times, a stamp and a path starting with \\";
      return false;
    }
    (*records)[FromUtf8(line.substr(static_cast<std::size_t>(consumed)))] =
        FileRecord{attributes, creation, access, write, stamp};
  }
  return true;
}

void RefreshRecords() {
  FileSystemState& state = State();
  const FileStamp now = StampOf(state.metadataFile);
  if (state.recordsLoaded && now == state.recordsStamp) {
    return;
  }
  std::map<std::u16string, FileRecord> records;
  std::string text;
  std::string error;
  if (now.present && ReadWholeFile(state.metadataFile, &text) &&
      !ParseMetadata(text, state.metadataFile.string(), &records, &error)) {
    Fault("the module's file attributes are damaged: " + error);
  }
  state.records = std::move(records);
  state.recordsStamp = now;
  state.recordsLoaded = true;
}

void StoreRecords() {
  FileSystemState& state = State();
  std::string text = kMetadataHeader;
  for (const auto& [key, record] : state.records) {
    char fields[128];
    std::snprintf(fields, sizeof(fields), "%08x %llu %llu %llu %llu ",
                  static_cast<unsigned>(record.attributes),
                  static_cast<unsigned long long>(record.creation),
                  static_cast<unsigned long long>(record.access),
                  static_cast<unsigned long long>(record.write),
                  static_cast<unsigned long long>(record.stamp));
    text += fields + ToUtf8(key) + "\n";
  }
  std::string error;
  if (!WriteWholeFile(state.metadataFile, text, &error)) {
    Fault("cannot keep the module's file attributes: " + error);
  }
  state.recordsStamp = StampOf(state.metadataFile);
}

// Changes the records under the module-wide lock, so that two processes do not lose each
// other's changes.
template <typename Change>
void ChangeRecords(Change change) {
  const LockFileGuard lock(CurrentMachine().RamDirectory() / ".files.lock");
  RefreshRecords();
  if (change(State().records)) {
    StoreRecords();
  }
}

// ---------------------------------------------------------------------------------------------
// Paths
// ---------------------------------------------------------------------------------------------
struct ParsedPath {
  std::vector<std::u16string> names;
  bool trailingSeparator = false;
};

DWORD ParsePath(LPCWSTR path, bool wildcardsInLast, ParsedPath* parsed) {
  parsed->names.clear();
  if (path == nullptr) {
    return ERROR_INVALID_PARAMETER;
  }
  const std::size_t length = WideLengthBounded(path, MAX_PATH);
  if (length >= MAX_PATH) {
    return ERROR_FILENAME_EXCED_RANGE;  // MAX_PATH counts the terminator
  }
  if (length == 0) {
    return ERROR_PATH_NOT_FOUND;
  }
  const std::u16string_view text(path, length);
  parsed->trailingSeparator = text.back() == u'\\' || text.back() == u'/';
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t stop = text.find_first_of(u"\\/", start);
    if (stop == std::u16string_view::npos) {
      stop = text.size();
    }
    if (stop > start) {
      parsed->names.emplace_back(text.substr(start, stop - start));
    }
    start = stop + 1;
  }
  for (std::size_t i = 0; i < parsed->names.size(); ++i) {
    const bool last = i + 1 == parsed->names.size();
    const DWORD check = CheckName(parsed->names[i], wildcardsInLast && last);
    if (check != ERROR_SUCCESS) {
      return check;
    }
  }
  return ERROR_SUCCESS;
}

enum class VolumeKind { kObjectStore, kUsb, kMounted };

struct Location {
  fs::path host;
  std::u16string modulePath;  // "\Windows\x.txt" as spelled where it exists
  HostInfo info;
  VolumeKind volume = VolumeKind::kObjectStore;
  std::u16string volumeName;  // the mounted volume's name
  bool isRoot = false;
  bool isVolumeRoot = false;
  [[nodiscard]] std::u16string Key() const {
    return FoldCase(modulePath.empty() ? u"\\" : modulePath);
  }
  [[nodiscard]] std::u16string VolumeKey() const {
    return volume == VolumeKind::kObjectStore ? u""
           : volume == VolumeKind::kUsb       ? u"\\USB HD"
                                              : FoldCase(volumeName);
  }
};

const VolumeMount* FindMount(std::u16string_view name) {
  for (const VolumeMount& mount : State().mounts) {
    if (SameName(mount.name, name)) {
      return &mount;
    }
  }
  return nullptr;
}

fs::path UsbRoot() {
  const FileSystemState& state = State();
  return state.usbFolder.empty() ? state.filesFolder / ToUtf8(kUsbName) : state.usbFolder;
}

// The entry of a folder whose name matches (exact spelling first), with what it is; false when
// none.
bool FindEntry(const fs::path& folder, std::u16string_view name, std::string* hostName,
               std::u16string* spelled, HostInfo* info) {
  const std::string exact = ToUtf8(name);
  if (HostInfo found = Inspect(folder / exact); found.exists) {
    *hostName = exact;
    *spelled = std::u16string(name);
    *info = found;
    return true;
  }
  bool found = false;
  std::error_code code;
  for (const auto& entry : fs::directory_iterator(folder, code)) {
    const std::string candidate = entry.path().filename().string();
    std::u16string moduleName;
    if (!ModuleNameOf(candidate, &moduleName) || !SameName(moduleName, name)) {
      continue;
    }
    // Two host names that differ only in case: the module sees the first in host order.
    if (!found || candidate < *hostName) {
      *hostName = candidate;
      *spelled = moduleName;
      found = true;
    }
  }
  if (found) {
    *info = Inspect(folder / *hostName);
  }
  return found;
}

// Moves a location one name down: first for the first name of a path (the USB drive and the
// mounted volumes are found there), last for the final one, which need not exist; a name before
// it must be a folder.
DWORD ResolveName(const std::u16string& name, bool first, bool last, Location* location) {
  const FileSystemState& state = State();
  if (first && SameName(name, kUsbName)) {
    location->volume = VolumeKind::kUsb;
    location->isVolumeRoot = last;
    location->host = UsbRoot();
    // The folder given for the drive may itself be a link; only what is inside must not.
    location->info = Inspect(location->host, !state.usbFolder.empty());
    location->modulePath = u"\\" + std::u16string(kUsbName);
  } else {
    if (first) {
      if (const VolumeMount* mount = FindMount(name)) {
        location->volume = VolumeKind::kMounted;
        location->volumeName = mount->name;
        location->isVolumeRoot = last;
      }
    }
    std::string hostName;
    std::u16string spelled;
    HostInfo info;
    if (FindEntry(location->host, name, &hostName, &spelled, &info)) {
      location->host /= hostName;
      location->info = info;
    } else {
      location->host /= ToUtf8(name);
      location->info = HostInfo();
      spelled = name;
    }
    location->modulePath += u"\\" + spelled;
  }
  if (location->info.symlink) {
    return ERROR_ACCESS_DENIED;  // a link could lead out of the module's files
  }
  if (!last && (!location->info.exists || !location->info.directory)) {
    return ERROR_PATH_NOT_FOUND;
  }
  return ERROR_SUCCESS;
}

// Resolves parsed names (all of them) to a location. The last name need not exist; every name
// before it must be a folder.
DWORD Resolve(const ParsedPath& parsed, Location* location) {
  FileSystemState& state = State();
  *location = Location();
  location->host = state.filesFolder;
  if (parsed.names.empty()) {
    location->info = Inspect(state.filesFolder, true);
    location->isRoot = true;
    return ERROR_SUCCESS;
  }  // else the first name's look sets what the location is
  for (std::size_t i = 0; i < parsed.names.size(); ++i) {
    const DWORD error =
        ResolveName(parsed.names[i], i == 0, i + 1 == parsed.names.size(), location);
    if (error != ERROR_SUCCESS) {
      return error;
    }
  }
  return ERROR_SUCCESS;
}

// Parses and resolves in one step.
DWORD Locate(LPCWSTR path, Location* location, ParsedPath* parsed = nullptr) {
  ParsedPath local;
  ParsedPath& names = parsed != nullptr ? *parsed : local;
  const DWORD error = ParsePath(path, false, &names);
  if (error != ERROR_SUCCESS) {
    return error;
  }
  return Resolve(names, location);
}

// A missing entry: ERROR_PATH_NOT_FOUND when its folder is missing too, else the given code.
DWORD Missing(const Location& location, DWORD fileError) {
  return Inspect(location.host.parent_path(), true).exists ? fileError : ERROR_PATH_NOT_FOUND;
}

// ---------------------------------------------------------------------------------------------
// Open files of this process
// ---------------------------------------------------------------------------------------------
class FileObject;

struct OpenEntry {
  dev_t device;
  ino_t inode;
  DWORD access;
  DWORD share;
  std::u16string key;
  FileObject* file;
};

std::vector<OpenEntry>& OpenFiles() {
  static auto* entries = new std::vector<OpenEntry>();
  return *entries;
}

FileRecord FallbackRecord(const HostInfo& info) {
  return FileRecord{info.directory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE,
                    info.modified, info.modified, info.modified,
                    info.directory ? static_cast<std::uint64_t>(info.inode) : info.modified};
}

class FileObject final : public KernelObject {
 public:
  FileObject(int fd, DWORD access, Location location, FileRecord record)
      : fd_(fd), access_(access), location_(std::move(location)), record_(record) {}
  ~FileObject() override {
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }
  const char* KindName() const override { return "file"; }

  void OnClose() override {
    std::lock_guard guard(FileSystemMutex());
    std::erase_if(OpenFiles(), [this](const OpenEntry& entry) { return entry.file == this; });
    if (written_) {
      // Written files take the time of their last change, and the archive attribute.
      const std::uint64_t now = ModuleTimeNow();
      record_.attributes |= FILE_ATTRIBUTE_ARCHIVE;
      record_.access = now;
      record_.write = now;
      StoreTimes();
    }
    ::close(fd_);
    fd_ = -1;
  }

  [[nodiscard]] int Fd() const { return fd_; }
  [[nodiscard]] bool CanRead() const { return (access_ & GENERIC_READ) != 0; }
  [[nodiscard]] bool CanWrite() const { return (access_ & GENERIC_WRITE) != 0; }
  std::uint64_t& Position() { return position_; }
  [[nodiscard]] const Location& Where() const { return location_; }
  void MarkWritten() { written_ = true; }

  // The record as it stands for this open file (written files show the time of now).
  [[nodiscard]] FileRecord Current() const {
    FileRecord record = record_;
    if (written_) {
      const std::uint64_t now = ModuleTimeNow();
      record.attributes |= FILE_ATTRIBUTE_ARCHIVE;
      record.access = now;
      record.write = now;
    }
    return record;
  }

  // Sets times that are given; an explicit write time stands until the file is written again.
  void SetTimes(const FILETIME* creation, const FILETIME* access, const FILETIME* write) {
    record_ = Current();
    if (creation != nullptr) {
      record_.creation = FromFileTime(*creation);
    }
    if (access != nullptr) {
      record_.access = FromFileTime(*access);
    }
    if (write != nullptr) {
      record_.write = FromFileTime(*write);
      written_ = false;
    }
    StoreTimes();
  }

  void SetAttributes(DWORD attributes) { record_.attributes = attributes; }

 private:
  // Puts the write and access times on the host file and the rest in files.meta.
  void StoreTimes() {
    const struct timespec times[2] = {TimespecOf(record_.access), TimespecOf(record_.write)};
    ::futimens(fd_, times);
    struct stat status {};
    if (::fstat(fd_, &status) == 0) {
      record_.stamp = TicksOf(status.st_mtim);
    }
    HostInfo info;
    info.exists = true;
    info.modified = record_.stamp;
    const FileRecord fallback = FallbackRecord(info);
    const std::u16string key = location_.Key();
    ChangeRecords([&](std::map<std::u16string, FileRecord>& records) {
      if (record_ == fallback) {
        return records.erase(key) > 0;
      }
      records[key] = record_;
      return true;
    });
  }

  int fd_;
  DWORD access_;
  Location location_;
  FileRecord record_;
  std::uint64_t position_ = 0;
  bool written_ = false;
};

FileObject* OpenFileAt(const HostInfo& info) {
  for (const OpenEntry& entry : OpenFiles()) {
    if (entry.device == info.device && entry.inode == info.inode) {
      return entry.file;
    }
  }
  return nullptr;
}

bool IsOpenUnder(const std::u16string& folderKey) {
  const std::u16string prefix = folderKey + u"\\";
  return std::any_of(OpenFiles().begin(), OpenFiles().end(), [&](const OpenEntry& entry) {
    return entry.key == folderKey || entry.key.compare(0, prefix.size(), prefix) == 0;
  });
}

// Whether an open with this access and sharing fits the handles already open on the file.
bool SharingAllows(const HostInfo& info, DWORD access, DWORD share) {
  constexpr DWORD kDataAccess = GENERIC_READ | GENERIC_WRITE;
  // A handle without data access (one that only asks about the file) neither checks nor
  // restricts sharing.
  if ((access & kDataAccess) == 0) {
    return true;
  }
  for (const OpenEntry& entry : OpenFiles()) {
    if (entry.device != info.device || entry.inode != info.inode ||
        (entry.access & kDataAccess) == 0) {
      continue;
    }
    if (((access & GENERIC_READ) != 0 && (entry.share & FILE_SHARE_READ) == 0) ||
        ((access & GENERIC_WRITE) != 0 && (entry.share & FILE_SHARE_WRITE) == 0) ||
        ((entry.access & GENERIC_READ) != 0 && (share & FILE_SHARE_READ) == 0) ||
        ((entry.access & GENERIC_WRITE) != 0 && (share & FILE_SHARE_WRITE) == 0)) {
      return false;
    }
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// What an entry shows
// ---------------------------------------------------------------------------------------------
// refresh false: the caller has just brought the records up to date (one listing).
FileRecord RecordOf(const Location& location, bool refresh = true) {
  if (location.info.exists && !location.info.directory) {
    if (FileObject* open = OpenFileAt(location.info)) {
      return open->Current();
    }
  }
  const FileRecord fallback = FallbackRecord(location.info);
  if (refresh) {
    RefreshRecords();
  }
  const auto found = State().records.find(location.Key());
  FileRecord record = fallback;
  if (found != State().records.end() && found->second.stamp == fallback.stamp) {
    record = found->second;
  }
  if (location.isRoot) {
    record.attributes = FILE_ATTRIBUTE_DIRECTORY;
  } else if (location.isVolumeRoot) {
    record.attributes = kVolumeAttributes;
  } else if (location.info.directory) {
    record.attributes = (record.attributes & kSettableAttributes) | FILE_ATTRIBUTE_DIRECTORY;
  } else {
    record.attributes &= kSettableAttributes;
  }
  return record;
}

void StoreRecord(const Location& location, const FileRecord& record) {
  const FileRecord fallback = FallbackRecord(location.info);
  const std::u16string key = location.Key();
  ChangeRecords([&](std::map<std::u16string, FileRecord>& records) {
    if (record == fallback) {
      return records.erase(key) > 0;
    }
    records[key] = record;
    return true;
  });
}

void FillFindData(const Location& location, const std::u16string& name, WIN32_FIND_DATAW* data,
                  bool refresh = true) {
  const FileRecord record = RecordOf(location, refresh);
  *data = WIN32_FIND_DATAW{};
  data->dwFileAttributes = record.attributes;
  data->ftCreationTime = ToFileTime(record.creation);
  data->ftLastAccessTime = ToFileTime(record.access);
  data->ftLastWriteTime = ToFileTime(record.write);
  const std::uint64_t size = location.info.directory ? 0 : location.info.size;
  data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
  data->nFileSizeLow = static_cast<DWORD>(size);
  const std::size_t length = std::min<std::size_t>(name.size(), MAX_PATH - 1);
  std::copy_n(name.begin(), length, data->cFileName);
  data->cFileName[length] = 0;
}

// ---------------------------------------------------------------------------------------------
// Space
// ---------------------------------------------------------------------------------------------
std::uint64_t FolderBytes(const fs::path& folder, bool skipVolumes) {
  std::uint64_t total = 0;
  std::error_code code;
  for (auto it = fs::recursive_directory_iterator(
           folder, fs::directory_options::skip_permission_denied, code);
       it != fs::recursive_directory_iterator(); it.increment(code)) {
    if (code) {
      break;
    }
    const fs::path& path = it->path();
    if (skipVolumes && it.depth() == 0) {
      std::u16string name;
      if (ModuleNameOf(path.filename().string(), &name) &&
          (SameName(name, kUsbName) || FindMount(name) != nullptr)) {
        it.disable_recursion_pending();
        continue;
      }
    }
    const HostInfo info = Inspect(path);
    if (info.symlink) {
      it.disable_recursion_pending();
      continue;
    }
    if (info.exists && !info.directory) {
      total += info.size;
    }
  }
  return total;
}

std::uint64_t UsedBytes(const Location& location, const fs::path& folder, bool skipVolumes) {
  FileSystemState& state = State();
  const std::u16string key = location.VolumeKey();
  const auto cached = state.usedBytes.find(key);
  if (cached != state.usedBytes.end()) {
    return cached->second;
  }
  const std::uint64_t used = FolderBytes(folder, skipVolumes);
  state.usedBytes[key] = used;
  return used;
}

VolumeSpace SpaceOf(const Location& location) {
  FileSystemState& state = State();
  switch (location.volume) {
    case VolumeKind::kUsb: {
      // A drive on the host: what the host's file system has.
      struct statvfs status {};
      if (::statvfs(UsbRoot().c_str(), &status) != 0) {
        return {};
      }
      return {std::uint64_t{status.f_blocks} * status.f_frsize,
              std::uint64_t{status.f_bavail} * status.f_frsize};
    }
    case VolumeKind::kMounted: {
      const VolumeMount* mount = FindMount(location.volumeName);
      if (mount == nullptr) {
        return {};
      }
      if (mount->space) {
        return mount->space();
      }
      const std::uint64_t used =
          UsedBytes(location, state.filesFolder / ToUtf8(mount->name), false);
      return {mount->capacityBytes, mount->capacityBytes - std::min(used, mount->capacityBytes)};
    }
    case VolumeKind::kObjectStore:
    default: {
      const std::uint64_t used = UsedBytes(location, state.filesFolder, true);
      return {state.objectStoreBytes,
              state.objectStoreBytes - std::min(used, state.objectStoreBytes)};
    }
  }
}

bool HasRoom(const Location& location, std::uint64_t extraBytes) {
  return extraBytes == 0 || SpaceOf(location).freeBytes >= extraBytes;
}

void NoteGrowth(const Location& location, std::uint64_t bytes) {
  const auto cached = State().usedBytes.find(location.VolumeKey());
  if (cached != State().usedBytes.end()) {
    cached->second += bytes;
  }
}

void ForgetUsage() { State().usedBytes.clear(); }

// ---------------------------------------------------------------------------------------------
// Searches
// ---------------------------------------------------------------------------------------------
class DirectorySearch final : public FindSearch {
 public:
  explicit DirectorySearch(std::vector<WIN32_FIND_DATAW> entries) : entries_(std::move(entries)) {}
  bool Next(WIN32_FIND_DATAW* data) override {
    std::lock_guard guard(FileSystemMutex());
    if (next_ >= entries_.size()) {
      return false;
    }
    *data = entries_[next_++];
    return true;
  }

 private:
  std::vector<WIN32_FIND_DATAW> entries_;
  std::size_t next_ = 0;
};

// The visible entries of a folder matching a pattern, sorted by name ignoring case.
std::vector<WIN32_FIND_DATAW> ListFolder(const Location& folder, std::u16string_view pattern) {
  struct Found {
    std::u16string name;
    Location location;
  };
  std::vector<Found> found;
  std::error_code code;
  const bool usbMapped = folder.isRoot && !State().usbFolder.empty();
  for (const auto& entry : fs::directory_iterator(folder.host, code)) {
    std::u16string name;
    if (!ModuleNameOf(entry.path().filename().string(), &name) ||
        (usbMapped && SameName(name, kUsbName))) {
      continue;
    }
    ParsedPath path;
    const std::u16string modulePath = folder.modulePath + u"\\" + name;
    if (ParsePath(modulePath.c_str(), false, &path) != ERROR_SUCCESS) {
      continue;
    }
    // Below the root the folder is where the path's earlier names lead: only the entry's own
    // name is looked up, as a whole path's resolution would look it up last.
    Location location = folder;
    location.isVolumeRoot = false;
    const DWORD resolved = folder.isRoot ? Resolve(path, &location)
                                         : ResolveName(path.names.back(), false, true, &location);
    if (resolved != ERROR_SUCCESS || !location.info.exists) {
      continue;  // links, and names that another entry shadows
    }
    found.push_back({name, location});
  }
  if (usbMapped && Inspect(State().usbFolder, true).directory) {
    ParsedPath path;
    Location location;
    if (ParsePath(u"\\USB HD", false, &path) == ERROR_SUCCESS &&
        Resolve(path, &location) == ERROR_SUCCESS) {
      found.push_back({std::u16string(kUsbName), location});
    }
  }
  std::sort(found.begin(), found.end(),
            [](const Found& a, const Found& b) { return FoldCase(a.name) < FoldCase(b.name); });
  std::vector<WIN32_FIND_DATAW> entries;
  RefreshRecords();
  for (const Found& item : found) {
    if (WildcardMatch(pattern, item.name)) {
      entries.emplace_back();
      FillFindData(item.location, item.name, &entries.back(), false);
    }
  }
  return entries;
}

// ---------------------------------------------------------------------------------------------
// Handlers
// ---------------------------------------------------------------------------------------------
NameHandler* HandlerFor(LPCWSTR path) {
  if (path == nullptr) {
    return nullptr;
  }
  const std::u16string_view text(path, WideLengthBounded(path, MAX_PATH));
  for (NameHandler* handler : State().handlers) {
    if (handler->Claims(text)) {
      return handler;
    }
  }
  return nullptr;
}

// ---------------------------------------------------------------------------------------------
// The component
// ---------------------------------------------------------------------------------------------
class FilesComponent final : public Component {
 public:
  FilesComponent() { RegisterComponent(this); }
  const char* ComponentName() const override { return "files"; }

  void Validate(ConfigReader& reader) override {
    const std::uint64_t bytes =
        reader.UnsignedOr("os.objectStoreBytes", kMaxFileSize, kDefaultObjectStoreBytes);
    if (reader.Find("os.objectStoreBytes") != nullptr && bytes == 0 && reader.Ok()) {
      reader.Error("os.objectStoreBytes", "must be larger than 0");
    }
  }

  bool CheckFiles(const fs::path& directory, const Json& /*config*/, std::string* error) override {
    const fs::path file = directory / kFileRecordsFile;
    std::string text;
    if (!fs::exists(file)) {
      return true;
    }
    std::map<std::u16string, FileRecord> records;
    if (!ReadWholeFile(file, &text)) {
      *error = file.string() + ": cannot read";
      return false;
    }
    return ParseMetadata(text, file.string(), &records, error);
  }

  bool Attach(Machine& machine, std::string* error) override {
    std::lock_guard guard(FileSystemMutex());
    FileSystemState& state = State();
    state.filesFolder = machine.FilesDirectory();
    state.metadataFile = machine.Directory() / kFileRecordsFile;
    state.usbFolder.clear();
    if (!machine.Options().usbFolder.empty()) {
      std::error_code code;
      const fs::path usb = fs::absolute(machine.Options().usbFolder, code);
      if (code || !fs::is_directory(usb, code)) {
        *error =
            machine.Options().usbFolder.string() + ": not a folder (given to appear as \\USB HD)";
        return false;
      }
      state.usbFolder = usb;
    }
    ConfigReader reader(machine.Config(), "module.json");
    state.objectStoreBytes =
        reader.UnsignedOr("os.objectStoreBytes", kMaxFileSize, kDefaultObjectStoreBytes);
    state.records.clear();
    state.recordsLoaded = false;
    state.usedBytes.clear();
    return true;
  }

  void Detach(Machine& /*machine*/) override {
    std::lock_guard guard(FileSystemMutex());
    FileSystemState& state = State();
    state.mounts.clear();
    state.records.clear();
    state.recordsLoaded = false;
    state.usedBytes.clear();
  }

  void Describe(Machine& /*machine*/, Json& info) override {
    std::lock_guard guard(FileSystemMutex());
    Location root;
    Resolve(ParsedPath(), &root);
    const VolumeSpace space = SpaceOf(root);
    info["files"] = {{"objectStoreBytes", space.totalBytes},
                     {"objectStoreFreeBytes", space.freeBytes},
                     {"usbDrive", UsbRoot().string()}};
    Json volumes = Json::array();
    for (const VolumeMount& mount : State().mounts) {
      volumes.push_back(ToUtf8(mount.name));
    }
    info["files"]["volumes"] = volumes;
  }
};

FilesComponent filesComponent;

}  // namespace

// ---------------------------------------------------------------------------------------------
// Model interface
// ---------------------------------------------------------------------------------------------
bool MountVolume(const VolumeMount& volume, std::string* error) {
  std::lock_guard guard(FileSystemMutex());
  if (volume.name.empty() || CheckName(volume.name, false) != ERROR_SUCCESS ||
      SameName(volume.name, kUsbName)) {
    *error = "\"" + ToUtf8(volume.name) + "\" cannot be a volume's folder";
    return false;
  }
  if (FindMount(volume.name) != nullptr) {
    *error = "\"" + ToUtf8(volume.name) + "\" is already mounted";
    return false;
  }
  ParsedPath path;
  path.names = {volume.name};
  Location location;
  if (Resolve(path, &location) != ERROR_SUCCESS ||
      (location.info.exists && !location.info.directory)) {
    *error = "\\" + ToUtf8(volume.name) + " exists and is not a folder";
    return false;
  }
  std::error_code code;
  fs::create_directories(location.host, code);
  if (code) {
    *error = location.host.string() + ": cannot create: " + code.message();
    return false;
  }
  State().mounts.push_back(volume);
  State().mounts.back().name = location.modulePath.substr(1);  // as spelled on disk
  ForgetUsage();
  return true;
}

bool DismountVolume(std::u16string_view name) {
  std::lock_guard guard(FileSystemMutex());
  auto& mounts = State().mounts;
  const auto found = std::find_if(mounts.begin(), mounts.end(), [&](const VolumeMount& mount) {
    return SameName(mount.name, name);
  });
  if (found == mounts.end()) {
    return false;
  }
  mounts.erase(found);
  ForgetUsage();
  return true;
}

bool IsVolumeMounted(std::u16string_view name) {
  std::lock_guard guard(FileSystemMutex());
  return FindMount(name) != nullptr;
}

void RegisterNameHandler(NameHandler* handler) {
  std::lock_guard guard(FileSystemMutex());
  State().handlers.push_back(handler);
}

void UnregisterNameHandler(NameHandler* handler) {
  std::lock_guard guard(FileSystemMutex());
  std::erase(State().handlers, handler);
}

bool ResolveModulePath(std::u16string_view path, fs::path* host) {
  std::lock_guard guard(FileSystemMutex());
  const std::u16string text(path);
  Location location;
  if (Locate(text.c_str(), &location) != ERROR_SUCCESS) {
    return false;
  }
  *host = location.host;
  return true;
}

bool SetFolderTimes(std::u16string_view path, std::uint64_t creation, std::uint64_t access,
                    std::uint64_t write) {
  std::lock_guard guard(FileSystemMutex());
  const std::u16string text(path);
  Location location;
  if (Locate(text.c_str(), &location) != ERROR_SUCCESS || !location.info.exists ||
      !location.info.directory || location.isRoot) {
    return false;
  }
  FileRecord record = RecordOf(location);
  record.creation = creation;
  record.access = access;
  record.write = write;
  record.stamp = FallbackRecord(location.info).stamp;
  StoreRecord(location, record);
  return true;
}

}  // namespace sim

// ---------------------------------------------------------------------------------------------
// The platform's calls
// ---------------------------------------------------------------------------------------------
namespace {

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

HANDLE FailHandle(DWORD error) {
  SetLastError(error);
  return INVALID_HANDLE_VALUE;
}

std::shared_ptr<sim::FileObject> FileOf(HANDLE file) {
  return sim::LookupHandleAs<sim::FileObject>(file);
}

}  // namespace

HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                   LPSECURITY_ATTRIBUTES /*securityAttributes*/, DWORD creationDisposition,
                   DWORD flagsAndAttributes, HANDLE /*templateFile*/) {
  DWORD error = ERROR_GEN_FAILURE;
  if (sim::CallFails("CreateFileW",
                     {desiredAccess, shareMode, creationDisposition, flagsAndAttributes},
                     ERROR_GEN_FAILURE, &error, fileName)) {
    return FailHandle(error);
  }
  std::lock_guard guard(sim::FileSystemMutex());
  if (sim::NameHandler* handler = sim::HandlerFor(fileName)) {
    return handler->CreateFile(fileName, desiredAccess, shareMode, creationDisposition,
                               flagsAndAttributes);
  }
  if (creationDisposition < CREATE_NEW || creationDisposition > TRUNCATE_EXISTING ||
      (shareMode & ~(FILE_SHARE_READ | FILE_SHARE_WRITE)) != 0 ||
      (creationDisposition == TRUNCATE_EXISTING && (desiredAccess & GENERIC_WRITE) == 0)) {
    return FailHandle(ERROR_INVALID_PARAMETER);
  }
  sim::ParsedPath parsed;
  sim::Location location;
  if (const DWORD located = sim::Locate(fileName, &location, &parsed); located != ERROR_SUCCESS) {
    return FailHandle(located);
  }
  if (location.isRoot || location.isVolumeRoot || location.info.directory) {
    return FailHandle(ERROR_ACCESS_DENIED);  // folders are not opened as files
  }
  if (parsed.trailingSeparator) {
    return FailHandle(ERROR_INVALID_NAME);
  }
  const bool write = (desiredAccess & GENERIC_WRITE) != 0;
  const int openFlags = ((desiredAccess & GENERIC_READ) != 0 && write ? O_RDWR
                         : write                                      ? O_WRONLY
                                                                      : O_RDONLY) |
                        O_CLOEXEC | O_NOFOLLOW;
  const DWORD requested = flagsAndAttributes & sim::kSettableAttributes;
  const std::uint64_t now = sim::ModuleTimeNow();
  sim::ForgetUsage();
  if (location.info.exists) {
    if (creationDisposition == CREATE_NEW) {
      return FailHandle(ERROR_FILE_EXISTS);
    }
    sim::FileRecord record = sim::RecordOf(location);
    const bool truncate =
        creationDisposition == CREATE_ALWAYS || creationDisposition == TRUNCATE_EXISTING;
    if ((write || truncate) && (record.attributes & FILE_ATTRIBUTE_READONLY) != 0) {
      return FailHandle(ERROR_ACCESS_DENIED);
    }
    if (!sim::SharingAllows(location.info, desiredAccess, shareMode)) {
      return FailHandle(ERROR_SHARING_VIOLATION);
    }
    const int fd = ::open(location.host.c_str(), openFlags);
    if (fd < 0) {
      return FailHandle(sim::ErrorFromErrno(errno));
    }
    auto file = std::make_shared<sim::FileObject>(fd, desiredAccess, location, record);
    if (truncate) {
      if (::ftruncate(fd, 0) != 0) {
        return FailHandle(sim::ErrorFromErrno(errno));  // the object closes the descriptor
      }
      if (creationDisposition == CREATE_ALWAYS) {
        file->SetAttributes(requested | FILE_ATTRIBUTE_ARCHIVE);
      }
      file->MarkWritten();
    }
    sim::OpenFiles().push_back({location.info.device, location.info.inode, desiredAccess, shareMode,
                                location.Key(), file.get()});
    HANDLE handle = sim::AddHandle(file);
    SetLastError(creationDisposition == CREATE_ALWAYS || creationDisposition == OPEN_ALWAYS
                     ? ERROR_ALREADY_EXISTS
                     : ERROR_SUCCESS);
    return handle;
  }
  if (creationDisposition == OPEN_EXISTING || creationDisposition == TRUNCATE_EXISTING) {
    return FailHandle(sim::Missing(location, ERROR_FILE_NOT_FOUND));
  }
  const int fd = ::open(location.host.c_str(), openFlags | O_CREAT | O_EXCL, 0644);
  if (fd < 0) {
    return FailHandle(sim::ErrorFromErrno(errno));
  }
  // A new file starts with its three times at now.
  const struct timespec times[2] = {sim::TimespecOf(now), sim::TimespecOf(now)};
  ::futimens(fd, times);
  location.info = sim::Inspect(location.host);
  const sim::FileRecord record{requested | FILE_ATTRIBUTE_ARCHIVE, now, now, now,
                               location.info.modified};
  sim::StoreRecord(location, record);
  auto file = std::make_shared<sim::FileObject>(fd, desiredAccess, location, record);
  sim::OpenFiles().push_back({location.info.device, location.info.inode, desiredAccess, shareMode,
                              location.Key(), file.get()});
  HANDLE handle = sim::AddHandle(file);
  SetLastError(ERROR_SUCCESS);
  return handle;
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead, LPVOID overlapped) {
  DWORD error = ERROR_GEN_FAILURE;
  if (sim::CallFails("ReadFile", {sim::Word(file), bytesToRead}, ERROR_READ_FAULT, &error)) {
    if (bytesRead != nullptr) {
      *bytesRead = 0;
    }
    return Fail(error);
  }
  std::lock_guard guard(sim::FileSystemMutex());
  auto object = FileOf(file);
  if (!object) {
    return Fail(ERROR_INVALID_HANDLE);
  }
  // The module has no overlapped I/O, and the count of bytes read is not optional.
  if (overlapped != nullptr || bytesRead == nullptr || (buffer == nullptr && bytesToRead != 0)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  *bytesRead = 0;
  if (!object->CanRead()) {
    return Fail(ERROR_ACCESS_DENIED);
  }
  auto* bytes = static_cast<std::uint8_t*>(buffer);
  DWORD done = 0;
  while (done < bytesToRead) {
    const ssize_t got = ::pread(object->Fd(), bytes + done, bytesToRead - done,
                                static_cast<off_t>(object->Position() + done));
    if (got < 0) {
      if (errno == EINTR) {
        continue;
      }
      return Fail(ERROR_READ_FAULT);
    }
    if (got == 0) {
      break;  // end of file: a short read that succeeds
    }
    done += static_cast<DWORD>(got);
  }
  object->Position() += done;
  *bytesRead = done;
  return TRUE;
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
               LPVOID overlapped) {
  DWORD error = ERROR_GEN_FAILURE;
  if (sim::CallFails("WriteFile", {sim::Word(file), bytesToWrite}, ERROR_WRITE_FAULT, &error)) {
    if (bytesWritten != nullptr) {
      *bytesWritten = 0;
    }
    return Fail(error);
  }
  std::lock_guard guard(sim::FileSystemMutex());
  auto object = FileOf(file);
  if (!object) {
    return Fail(ERROR_INVALID_HANDLE);
  }
  if (overlapped != nullptr || bytesWritten == nullptr ||
      (buffer == nullptr && bytesToWrite != 0)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  *bytesWritten = 0;
  if (!object->CanWrite()) {
    return Fail(ERROR_ACCESS_DENIED);
  }
  if (bytesToWrite == 0) {
    return TRUE;
  }
  struct stat status {};
  if (::fstat(object->Fd(), &status) != 0) {
    return Fail(ERROR_WRITE_FAULT);
  }
  const auto size = static_cast<std::uint64_t>(status.st_size);
  const std::uint64_t end = object->Position() + bytesToWrite;
  const std::uint64_t growth = end > size ? end - size : 0;
  if (end > sim::kMaxFileSize || !sim::HasRoom(object->Where(), growth)) {
    return Fail(ERROR_DISK_FULL);
  }
  const auto* bytes = static_cast<const std::uint8_t*>(buffer);
  DWORD done = 0;
  while (done < bytesToWrite) {
    const ssize_t put = ::pwrite(object->Fd(), bytes + done, bytesToWrite - done,
                                 static_cast<off_t>(object->Position() + done));
    if (put < 0) {
      if (errno == EINTR) {
        continue;
      }
      const DWORD failure =
          errno == ENOSPC || errno == EDQUOT ? ERROR_DISK_FULL : ERROR_WRITE_FAULT;
      // Nothing of a failed write stays: the file gets its old length back.
      if (::ftruncate(object->Fd(), static_cast<off_t>(std::max(size, object->Position()))) != 0) {
        sim::ForgetUsage();
      }
      object->MarkWritten();
      return Fail(failure);
    }
    done += static_cast<DWORD>(put);
  }
  object->Position() += done;
  object->MarkWritten();
  sim::NoteGrowth(object->Where(), growth);
  *bytesWritten = done;
  return TRUE;
}

DWORD SetFilePointer(HANDLE file, LONG distanceToMove, LONG* distanceToMoveHigh, DWORD moveMethod) {
  DWORD error = ERROR_GEN_FAILURE;
  if (sim::CallFails("SetFilePointer",
                     {sim::Word(file), static_cast<std::uint32_t>(distanceToMove), moveMethod},
                     ERROR_GEN_FAILURE, &error)) {
    SetLastError(error);
    return INVALID_SET_FILE_POINTER;
  }
  std::lock_guard guard(sim::FileSystemMutex());
  auto object = FileOf(file);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return INVALID_SET_FILE_POINTER;
  }
  const std::int64_t distance =
      distanceToMoveHigh != nullptr
          ? static_cast<std::int64_t>(
                (static_cast<std::uint64_t>(static_cast<std::uint32_t>(*distanceToMoveHigh))
                 << 32) |
                static_cast<std::uint32_t>(distanceToMove))
          : distanceToMove;
  std::int64_t base = 0;
  switch (moveMethod) {
    case FILE_BEGIN:
      break;
    case FILE_CURRENT:
      base = static_cast<std::int64_t>(object->Position());
      break;
    case FILE_END: {
      struct stat status {};
      if (::fstat(object->Fd(), &status) != 0) {
        SetLastError(ERROR_GEN_FAILURE);
        return INVALID_SET_FILE_POINTER;
      }
      base = status.st_size;
      break;
    }
    default:
      SetLastError(ERROR_INVALID_PARAMETER);
      return INVALID_SET_FILE_POINTER;
  }
  const std::int64_t target = base + distance;
  if (target < 0) {
    SetLastError(ERROR_NEGATIVE_SEEK);  // the position stays where it was
    return INVALID_SET_FILE_POINTER;
  }
  object->Position() = static_cast<std::uint64_t>(target);
  if (distanceToMoveHigh != nullptr) {
    *distanceToMoveHigh = static_cast<LONG>(static_cast<std::uint64_t>(target) >> 32);
  }
  // A position whose low word is all ones is told apart from failure by the last error.
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(target);
}

DWORD GetFileSize(HANDLE file, LPDWORD fileSizeHigh) {
  DWORD error = ERROR_GEN_FAILURE;
  if (sim::CallFails("GetFileSize", {sim::Word(file)}, ERROR_GEN_FAILURE, &error)) {
    SetLastError(error);
    return INVALID_FILE_SIZE;
  }
  std::lock_guard guard(sim::FileSystemMutex());
  auto object = FileOf(file);
  struct stat status {};
  if (!object || ::fstat(object->Fd(), &status) != 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return INVALID_FILE_SIZE;
  }
  const auto size = static_cast<std::uint64_t>(status.st_size);
  if (fileSizeHigh != nullptr) {
    *fileSizeHigh = static_cast<DWORD>(size >> 32);
  }
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(size);
}

BOOL SetEndOfFile(HANDLE file) {
  DWORD error = ERROR_GEN_FAILURE;
  if (sim::CallFails("SetEndOfFile", {sim::Word(file)}, ERROR_WRITE_FAULT, &error)) {
    return Fail(error);
  }
  std::lock_guard guard(sim::FileSystemMutex());
  auto object = FileOf(file);
  if (!object) {
    return Fail(ERROR_INVALID_HANDLE);
  }
  if (!object->CanWrite()) {
    return Fail(ERROR_ACCESS_DENIED);
  }
  struct stat status {};
  if (::fstat(object->Fd(), &status) != 0) {
    return Fail(ERROR_WRITE_FAULT);
  }
  const auto size = static_cast<std::uint64_t>(status.st_size);
  const std::uint64_t end = object->Position();
  const std::uint64_t growth = end > size ? end - size : 0;
  if (end > sim::kMaxFileSize || !sim::HasRoom(object->Where(), growth)) {
    return Fail(ERROR_DISK_FULL);
  }
  if (::ftruncate(object->Fd(), static_cast<off_t>(end)) != 0) {
    return Fail(sim::ErrorFromErrno(errno));
  }
  object->MarkWritten();
  if (growth > 0) {
    sim::NoteGrowth(object->Where(), growth);
  } else {
    sim::ForgetUsage();
  }
  return TRUE;
}

BOOL FlushFileBuffers(HANDLE file) {
  DWORD error = ERROR_GEN_FAILURE;
  if (sim::CallFails("FlushFileBuffers", {sim::Word(file)}, ERROR_WRITE_FAULT, &error)) {
    return Fail(error);
  }
  std::lock_guard guard(sim::FileSystemMutex());
  auto object = FileOf(file);
  if (!object) {
    return Fail(ERROR_INVALID_HANDLE);
  }
  if (!object->CanWrite()) {
    return Fail(ERROR_ACCESS_DENIED);
  }
  // Every write already went to the host file; nothing is held back in this process.
  return TRUE;
}

BOOL GetFileTime(HANDLE file, LPFILETIME creationTime, LPFILETIME lastAccessTime,
                 LPFILETIME lastWriteTime) {
  DWORD error = ERROR_GEN_FAILURE;
  if (sim::CallFails("GetFileTime", {sim::Word(file)}, ERROR_GEN_FAILURE, &error)) {
    return Fail(error);
  }
  std::lock_guard guard(sim::FileSystemMutex());
  auto object = FileOf(file);
  if (!object) {
    return Fail(ERROR_INVALID_HANDLE);
  }
  const sim::FileRecord record = object->Current();
  if (creationTime != nullptr) {
    *creationTime = sim::ToFileTime(record.creation);
  }
  if (lastAccessTime != nullptr) {
    *lastAccessTime = sim::ToFileTime(record.access);
  }
  if (lastWriteTime != nullptr) {
    *lastWriteTime = sim::ToFileTime(record.write);
  }
  return TRUE;
}

BOOL SetFileTime(HANDLE file, const FILETIME* creationTime, const FILETIME* lastAccessTime,
                 const FILETIME* lastWriteTime) {
  DWORD error = ERROR_GEN_FAILURE;
  if (sim::CallFails("SetFileTime", {sim::Word(file)}, ERROR_GEN_FAILURE, &error)) {
    return Fail(error);
  }
  std::lock_guard guard(sim::FileSystemMutex());
  auto object = FileOf(file);
  if (!object) {
    return Fail(ERROR_INVALID_HANDLE);
  }
  if (!object->CanWrite()) {
    return Fail(ERROR_ACCESS_DENIED);
  }
  // Times past the platform's signed 64-bit range cannot be converted back.
  for (const FILETIME* time : {creationTime, lastAccessTime, lastWriteTime}) {
    if (time != nullptr && time->dwHighDateTime > 0x7FFFFFFF) {
      return Fail(ERROR_INVALID_PARAMETER);
    }
  }
  object->SetTimes(creationTime, lastAccessTime, lastWriteTime);
  return TRUE;
}

BOOL DeleteFileW(LPCWSTR fileName) {
  DWORD error = ERROR_GEN_FAILURE;
  if (sim::CallFails("DeleteFileW", {}, ERROR_GEN_FAILURE, &error, fileName)) {
    return Fail(error);
  }
  std::lock_guard guard(sim::FileSystemMutex());
  sim::Location location;
  if (const DWORD located = sim::Locate(fileName, &location); located != ERROR_SUCCESS) {
    return Fail(located);
  }
  if (!location.info.exists) {
    return Fail(sim::Missing(location, ERROR_FILE_NOT_FOUND));
  }
  if (location.isRoot || location.isVolumeRoot || location.info.directory) {
    return Fail(ERROR_ACCESS_DENIED);
  }
  if (sim::OpenFileAt(location.info) != nullptr) {
    return Fail(ERROR_SHARING_VIOLATION);
  }
  if ((sim::RecordOf(location).attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    return Fail(ERROR_ACCESS_DENIED);
  }
  if (::unlink(location.host.c_str()) != 0) {
    return Fail(sim::ErrorFromErrno(errno));
  }
  sim::ForgetUsage();
  const std::u16string key = location.Key();
  sim::ChangeRecords(
      [&](std::map<std::u16string, sim::FileRecord>& records) { return records.erase(key) > 0; });
  return TRUE;
}

BOOL MoveFileW(LPCWSTR existingFileName, LPCWSTR newFileName) {
  DWORD error = ERROR_GEN_FAILURE;
  if (sim::CallFails("MoveFileW", {}, ERROR_GEN_FAILURE, &error, existingFileName)) {
    return Fail(error);
  }
  std::lock_guard guard(sim::FileSystemMutex());
  sim::Location from;
  sim::Location to;
  sim::ParsedPath toNames;
  if (const DWORD located = sim::Locate(existingFileName, &from); located != ERROR_SUCCESS) {
    return Fail(located);
  }
  if (!from.info.exists) {
    return Fail(sim::Missing(from, ERROR_FILE_NOT_FOUND));
  }
  if (const DWORD located = sim::Locate(newFileName, &to, &toNames); located != ERROR_SUCCESS) {
    return Fail(located);
  }
  if (from.isRoot || from.isVolumeRoot || to.isRoot || to.isVolumeRoot) {
    return Fail(ERROR_ACCESS_DENIED);
  }
  const bool sameEntry =
      to.info.exists && to.info.device == from.info.device && to.info.inode == from.info.inode;
  if (to.info.exists && !sameEntry) {
    return Fail(ERROR_ALREADY_EXISTS);
  }
  if (!sim::Inspect(to.host.parent_path(), true).directory) {
    return Fail(ERROR_PATH_NOT_FOUND);
  }
  const std::u16string fromKey = from.Key();
  const std::u16string toKey = sim::FoldCase(to.modulePath);
  if (from.info.directory && toKey.compare(0, fromKey.size() + 1, fromKey + u"\\") == 0) {
    return Fail(ERROR_INVALID_PARAMETER);  // a folder cannot move into itself
  }
  if (from.info.directory ? sim::IsOpenUnder(fromKey) : sim::OpenFileAt(from.info) != nullptr) {
    return Fail(ERROR_SHARING_VIOLATION);
  }
  if (from.VolumeKey() != to.VolumeKey()) {
    const std::uint64_t bytes =
        from.info.directory ? sim::FolderBytes(from.host, false) : from.info.size;
    if (!sim::HasRoom(to, bytes)) {
      return Fail(ERROR_DISK_FULL);
    }
  }
  // The entry takes the new name as the caller spelled it (a rename may change only the case).
  const sim::fs::path target = to.host.parent_path() / sim::ToUtf8(toNames.names.back());
  if (::rename(from.host.c_str(), target.c_str()) != 0) {
    if (errno != EXDEV || from.info.directory) {
      return Fail(errno == EXDEV ? ERROR_ACCESS_DENIED : sim::ErrorFromErrno(errno));
    }
    // Another host file system (a mapped USB drive): copy, keep the times, then remove.
    std::error_code code;
    sim::fs::copy_file(from.host, target, code);
    if (code) {
      sim::fs::remove(target, code);
      return Fail(ERROR_DISK_FULL);
    }
    const struct timespec times[2] = {sim::TimespecOf(from.info.modified),
                                      sim::TimespecOf(from.info.modified)};
    ::utimensat(AT_FDCWD, target.c_str(), times, AT_SYMLINK_NOFOLLOW);
    ::unlink(from.host.c_str());
  }
  sim::ForgetUsage();
  // Attributes and times go with the entry (and with everything below a folder).
  sim::ChangeRecords([&](std::map<std::u16string, sim::FileRecord>& records) {
    std::map<std::u16string, sim::FileRecord> moved;
    for (auto it = records.begin(); it != records.end();) {
      if (it->first == fromKey || it->first.compare(0, fromKey.size() + 1, fromKey + u"\\") == 0) {
        moved[toKey + it->first.substr(fromKey.size())] = it->second;
        it = records.erase(it);
      } else {
        ++it;
      }
    }
    const bool changed = !moved.empty();
    records.merge(moved);
    return changed;
  });
  return TRUE;
}

BOOL CreateDirectoryW(LPCWSTR pathName, LPSECURITY_ATTRIBUTES /*securityAttributes*/) {
  DWORD error = ERROR_GEN_FAILURE;
  if (sim::CallFails("CreateDirectoryW", {}, ERROR_GEN_FAILURE, &error, pathName)) {
    return Fail(error);
  }
  std::lock_guard guard(sim::FileSystemMutex());
  sim::Location location;
  if (const DWORD located = sim::Locate(pathName, &location); located != ERROR_SUCCESS) {
    return Fail(located);
  }
  if (location.isRoot || location.info.exists) {
    return Fail(ERROR_ALREADY_EXISTS);
  }
  if (location.isVolumeRoot) {
    return Fail(ERROR_ACCESS_DENIED);  // the drive is not there; it cannot be made
  }
  if (!sim::Inspect(location.host.parent_path(), true).directory) {
    return Fail(ERROR_PATH_NOT_FOUND);
  }
  if (::mkdir(location.host.c_str(), 0755) != 0) {
    return Fail(sim::ErrorFromErrno(errno));
  }
  location.info = sim::Inspect(location.host);
  const std::uint64_t now = sim::ModuleTimeNow();
  sim::StoreRecord(location, sim::FileRecord{FILE_ATTRIBUTE_DIRECTORY, now, now, now,
                                             static_cast<std::uint64_t>(location.info.inode)});
  return TRUE;
}

BOOL RemoveDirectoryW(LPCWSTR pathName) {
  DWORD error = ERROR_GEN_FAILURE;
  if (sim::CallFails("RemoveDirectoryW", {}, ERROR_GEN_FAILURE, &error, pathName)) {
    return Fail(error);
  }
  std::lock_guard guard(sim::FileSystemMutex());
  sim::Location location;
  if (const DWORD located = sim::Locate(pathName, &location); located != ERROR_SUCCESS) {
    return Fail(located);
  }
  if (!location.info.exists) {
    return Fail(sim::Missing(location, ERROR_FILE_NOT_FOUND));
  }
  if (location.isRoot || location.isVolumeRoot) {
    return Fail(ERROR_ACCESS_DENIED);
  }
  if (!location.info.directory) {
    return Fail(ERROR_DIRECTORY);
  }
  if ((sim::RecordOf(location).attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    return Fail(ERROR_ACCESS_DENIED);
  }
  if (::rmdir(location.host.c_str()) != 0) {
    return Fail(errno == EEXIST ? ERROR_DIR_NOT_EMPTY : sim::ErrorFromErrno(errno));
  }
  sim::ForgetUsage();
  const std::u16string key = location.Key();
  sim::ChangeRecords(
      [&](std::map<std::u16string, sim::FileRecord>& records) { return records.erase(key) > 0; });
  return TRUE;
}

DWORD GetFileAttributesW(LPCWSTR fileName) {
  DWORD error = ERROR_GEN_FAILURE;
  if (sim::CallFails("GetFileAttributesW", {}, ERROR_GEN_FAILURE, &error, fileName)) {
    SetLastError(error);
    return INVALID_FILE_ATTRIBUTES;
  }
  std::lock_guard guard(sim::FileSystemMutex());
  if (sim::NameHandler* handler = sim::HandlerFor(fileName)) {
    return handler->Attributes(fileName);
  }
  sim::ParsedPath parsed;
  sim::Location location;
  if (const DWORD located = sim::Locate(fileName, &location, &parsed); located != ERROR_SUCCESS) {
    SetLastError(located);
    return INVALID_FILE_ATTRIBUTES;
  }
  if (!location.info.exists) {
    SetLastError(sim::Missing(location, ERROR_FILE_NOT_FOUND));
    return INVALID_FILE_ATTRIBUTES;
  }
  if (parsed.trailingSeparator && !location.info.directory) {
    SetLastError(ERROR_INVALID_NAME);
    return INVALID_FILE_ATTRIBUTES;
  }
  return sim::RecordOf(location).attributes;
}

BOOL SetFileAttributesW(LPCWSTR fileName, DWORD fileAttributes) {
  DWORD error = ERROR_GEN_FAILURE;
  if (sim::CallFails("SetFileAttributesW", {fileAttributes}, ERROR_GEN_FAILURE, &error, fileName)) {
    return Fail(error);
  }
  std::lock_guard guard(sim::FileSystemMutex());
  sim::Location location;
  if (const DWORD located = sim::Locate(fileName, &location); located != ERROR_SUCCESS) {
    return Fail(located);
  }
  if (!location.info.exists) {
    return Fail(sim::Missing(location, ERROR_FILE_NOT_FOUND));
  }
  if (location.isRoot || location.isVolumeRoot) {
    return Fail(ERROR_ACCESS_DENIED);
  }
  sim::FileRecord record = sim::RecordOf(location);
  // FILE_ATTRIBUTE_NORMAL alone clears them all; bits that cannot be set are ignored.
  const DWORD settable = fileAttributes & sim::kSettableAttributes;
  record.attributes = settable | (location.info.directory ? FILE_ATTRIBUTE_DIRECTORY : 0);
  if (sim::FileObject* open = sim::OpenFileAt(location.info)) {
    open->SetAttributes(record.attributes);
  }
  record.stamp = sim::FallbackRecord(location.info).stamp;
  sim::StoreRecord(location, record);
  return TRUE;
}

HANDLE FindFirstFileW(LPCWSTR fileName, LPWIN32_FIND_DATAW findFileData) {
  DWORD error = ERROR_GEN_FAILURE;
  if (sim::CallFails("FindFirstFileW", {}, ERROR_GEN_FAILURE, &error, fileName)) {
    return FailHandle(error);
  }
  std::lock_guard guard(sim::FileSystemMutex());
  if (findFileData == nullptr) {
    return FailHandle(ERROR_INVALID_PARAMETER);
  }
  if (sim::NameHandler* handler = sim::HandlerFor(fileName)) {
    return handler->FindFirst(fileName, findFileData);
  }
  sim::ParsedPath parsed;
  if (const DWORD checked = sim::ParsePath(fileName, true, &parsed); checked != ERROR_SUCCESS) {
    return FailHandle(checked);
  }
  if (parsed.names.empty() || parsed.trailingSeparator) {
    return FailHandle(ERROR_FILE_NOT_FOUND);  // a search needs a name or a pattern
  }
  const std::u16string pattern = parsed.names.back();
  parsed.names.pop_back();
  sim::Location folder;
  if (const DWORD located = sim::Resolve(parsed, &folder); located != ERROR_SUCCESS) {
    return FailHandle(located);
  }
  if (!folder.info.exists || !folder.info.directory) {
    return FailHandle(ERROR_PATH_NOT_FOUND);
  }
  std::vector<WIN32_FIND_DATAW> entries = sim::ListFolder(folder, pattern);
  if (entries.empty()) {
    return FailHandle(ERROR_FILE_NOT_FOUND);
  }
  *findFileData = entries.front();
  entries.erase(entries.begin());
  SetLastError(ERROR_SUCCESS);
  return sim::AddHandle(std::make_shared<sim::DirectorySearch>(std::move(entries)));
}

BOOL FindNextFileW(HANDLE findFile, LPWIN32_FIND_DATAW findFileData) {
  DWORD error = ERROR_GEN_FAILURE;
  if (sim::CallFails("FindNextFileW", {sim::Word(findFile)}, ERROR_GEN_FAILURE, &error)) {
    return Fail(error);
  }
  auto search = sim::LookupHandleAs<sim::FindSearch>(findFile);
  if (!search) {
    return Fail(ERROR_INVALID_HANDLE);
  }
  if (findFileData == nullptr) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (!search->Next(findFileData)) {
    return Fail(ERROR_NO_MORE_FILES);
  }
  return TRUE;
}

BOOL FindClose(HANDLE findFile) {
  DWORD error = ERROR_GEN_FAILURE;
  if (sim::CallFails("FindClose", {sim::Word(findFile)}, ERROR_GEN_FAILURE, &error)) {
    return Fail(error);
  }
  if (!sim::LookupHandleAs<sim::FindSearch>(findFile) || !sim::RemoveHandle(findFile)) {
    return Fail(ERROR_INVALID_HANDLE);
  }
  return TRUE;
}

BOOL GetDiskFreeSpaceExW(LPCWSTR directoryName, ULARGE_INTEGER* freeBytesAvailableToCaller,
                         ULARGE_INTEGER* totalNumberOfBytes,
                         ULARGE_INTEGER* totalNumberOfFreeBytes) {
  DWORD error = ERROR_GEN_FAILURE;
  if (sim::CallFails("GetDiskFreeSpaceExW", {}, ERROR_GEN_FAILURE, &error, directoryName)) {
    return Fail(error);
  }
  std::lock_guard guard(sim::FileSystemMutex());
  sim::Location location;
  if (directoryName == nullptr) {
    sim::Resolve(sim::ParsedPath(), &location);  // no name: the root's store
  } else if (const DWORD located = sim::Locate(directoryName, &location);
             located != ERROR_SUCCESS) {
    return Fail(located);
  }
  if (!location.info.exists) {
    return Fail(ERROR_PATH_NOT_FOUND);
  }
  const sim::VolumeSpace space = sim::SpaceOf(location);
  if (freeBytesAvailableToCaller != nullptr) {
    freeBytesAvailableToCaller->QuadPart = space.freeBytes;
  }
  if (totalNumberOfBytes != nullptr) {
    totalNumberOfBytes->QuadPart = space.totalBytes;
  }
  if (totalNumberOfFreeBytes != nullptr) {
    totalNumberOfFreeBytes->QuadPart = space.freeBytes;
  }
  return TRUE;
}
