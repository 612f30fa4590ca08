// File mappings of the module's OS: named shared memory across the module's processes (the
// file ram/mappings/<name>), unnamed mappings within the process, and views of both.
#include "sim/os/shared_memory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/kernel.h"
#include "sim/base/file_lock.h"
#include "sim/os/objects.h"
#include "sim/os/os_call.h"

namespace sim {
namespace {

// Views start at offsets that are multiples of the module's allocation granularity (64 KiB).
constexpr std::uint64_t kAllocationGranularity = 0x10000;
// The largest section this image hands out; larger requests fail as if memory ran out.
constexpr std::uint64_t kMaxSectionBytes = 64ull << 20;
// Section flags that may accompany the page protection (SEC_COMMIT; SEC_RESERVE).
constexpr DWORD kSectionFlags = 0x08000000u | 0x04000000u;

class MappingObject final : public KernelObject {
 public:
  MappingObject(int fd, std::uint64_t size, bool writable, std::u16string name)
      : fd_(fd), size_(size), writable_(writable), name_(std::move(name)) {}
  ~MappingObject() override { ::close(fd_); }
  const char* KindName() const override { return "file mapping"; }
  void OnClose() override {
    if (!name_.empty()) {
      RemoveNamedObject(name_, this);
    }
  }
  [[nodiscard]] int Fd() const { return fd_; }
  [[nodiscard]] std::uint64_t Size() const { return size_; }
  [[nodiscard]] bool Writable() const { return writable_; }

 private:
  int fd_;
  std::uint64_t size_;
  bool writable_;
  std::u16string name_;
};

struct View {
  std::size_t length;
  // A view keeps its section alive after the mapping handle is closed, as on the module.
  std::shared_ptr<MappingObject> section;
};

struct MappedMemory {
  std::mutex mutex;
  std::map<std::uintptr_t, View> views;
  // Models' mappings from OpenNamedMemory: name to address and length.
  std::map<std::string, std::pair<void*, std::size_t>> named;
};

MappedMemory& Mapped() {
  static MappedMemory* memory = new MappedMemory();
  return *memory;
}

fs::path MappingFolder() { return CurrentMachine().RamDirectory() / "mappings"; }

// Serialises creating and growing the files of named sections between processes.
fs::path MappingLockFile() {
  std::error_code code;
  fs::create_directories(MappingFolder(), code);
  return MappingFolder() / ".create.lock";
}

// Opens (creating when missing) the file of a named section under the guard. *existed tells
// whether it was there; a new file, or one shorter than minimumSize when grow is set, is
// extended with zeros. Returns the descriptor, or -1.
int OpenSectionFile(std::string_view utf8Name, std::uint64_t minimumSize, bool grow, bool* existed,
                    std::uint64_t* size) {
  LockFileGuard guard(MappingLockFile());
  if (!guard.Held()) {
    return -1;
  }
  const fs::path file = NamedMemoryFile(utf8Name);
  int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  *existed = fd < 0 && errno == EEXIST;
  if (*existed) {
    fd = ::open(file.c_str(), O_RDWR | O_CLOEXEC);
  }
  if (fd < 0) {
    return -1;
  }
  struct stat status {};
  if (::fstat(fd, &status) != 0) {
    ::close(fd);
    return -1;
  }
  *size = static_cast<std::uint64_t>(status.st_size);
  if ((!*existed || grow) && *size < minimumSize) {
    if (::ftruncate(fd, static_cast<off_t>(minimumSize)) != 0) {
      ::close(fd);
      return -1;
    }
    *size = minimumSize;
  }
  return fd;
}

class SharedMemoryComponent final : public Component {
 public:
  SharedMemoryComponent() { RegisterComponent(this); }
  const char* ComponentName() const override { return "shared-memory"; }
  void Detach(Machine& /*machine*/) override {
    MappedMemory& memory = Mapped();
    std::lock_guard guard(memory.mutex);
    for (const auto& [address, view] : memory.views) {
      ::munmap(reinterpret_cast<void*>(address), view.length);
    }
    memory.views.clear();
    for (const auto& [name, mapping] : memory.named) {
      ::munmap(mapping.first, mapping.second);
    }
    memory.named.clear();
  }
};

SharedMemoryComponent sharedMemoryComponent;

}  // namespace

fs::path NamedMemoryFile(std::string_view name) { return MappingFolder() / EncodeObjectName(name); }

void* OpenNamedMemory(std::string_view name, std::size_t size) {
  if (!IsAttached() || name.empty() || size == 0) {
    return nullptr;
  }
  MappedMemory& memory = Mapped();
  std::lock_guard guard(memory.mutex);
  const std::string key(name);
  if (const auto found = memory.named.find(key); found != memory.named.end()) {
    if (found->second.second >= size) {
      return found->second.first;
    }
    ::munmap(found->second.first, found->second.second);
    memory.named.erase(found);
  }
  bool existed = false;
  std::uint64_t fileSize = 0;
  const int fd = OpenSectionFile(name, size, true, &existed, &fileSize);
  if (fd < 0) {
    return nullptr;
  }
  void* address = ::mmap(nullptr, fileSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  ::close(fd);
  if (address == MAP_FAILED) {
    return nullptr;
  }
  memory.named[key] = {address, fileSize};
  return address;
}

}  // namespace sim

HANDLE CreateFileMappingW(HANDLE file, LPSECURITY_ATTRIBUTES /*attributes*/, DWORD protect,
                          DWORD maximumSizeHigh, DWORD maximumSizeLow, LPCWSTR name) {
  DWORD error = ERROR_GEN_FAILURE;
  if (sim::CallFails("CreateFileMappingW",
                     {sim::Word(file), protect, maximumSizeHigh, maximumSizeLow},
                     ERROR_NOT_ENOUGH_MEMORY, &error, name)) {
    SetLastError(error);
    return nullptr;
  }
  if (file != INVALID_HANDLE_VALUE) {
    // Mappings of files are not offered by this image; only sections backed by memory are.
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  const DWORD access = protect & ~sim::kSectionFlags;
  if (access != PAGE_READONLY && access != PAGE_READWRITE) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const bool writable = access == PAGE_READWRITE;
  const std::uint64_t size = (std::uint64_t{maximumSizeHigh} << 32) | maximumSizeLow;
  std::u16string objectName;
  if (name != nullptr) {
    const std::size_t length = WideLengthBounded(name, MAX_PATH + 1);
    if (length > MAX_PATH) {
      SetLastError(ERROR_FILENAME_EXCED_RANGE);
      return nullptr;
    }
    objectName.assign(name, length);
  }
  if (!objectName.empty()) {
    bool otherKind = false;
    if (auto existing = sim::FindNamedObject(objectName, sim::NamedKind::kMapping, &otherKind)) {
      HANDLE handle = sim::AddHandle(existing);
      SetLastError(ERROR_ALREADY_EXISTS);
      return handle;
    }
    if (otherKind) {
      SetLastError(ERROR_INVALID_HANDLE);
      return nullptr;
    }
  }
  if (size > sim::kMaxSectionBytes) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (objectName.empty()) {
    if (size == 0) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    const int fd = ::memfd_create("section", MFD_CLOEXEC);
    if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(size)) != 0) {
      if (fd >= 0) {
        ::close(fd);
      }
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return sim::AddHandle(std::make_shared<sim::MappingObject>(fd, size, writable, u""));
  }
  // A section of that name in another process (or filled by a model at boot) is the file.
  const std::string utf8Name = sim::ToUtf8(objectName);
  bool existed = std::filesystem::exists(sim::NamedMemoryFile(utf8Name));
  if (!existed && size == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);  // a new section needs a size
    return nullptr;
  }
  std::uint64_t actualSize = 0;
  const int fd = sim::OpenSectionFile(utf8Name, size, false, &existed, &actualSize);
  if (fd < 0) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  // An existing section keeps its size, whatever this caller asked for.
  auto section = std::make_shared<sim::MappingObject>(fd, actualSize, writable, objectName);
  sim::AddNamedObject(objectName, sim::NamedKind::kMapping, section);
  HANDLE handle = sim::AddHandle(section);
  SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

LPVOID MapViewOfFile(HANDLE fileMappingObject, DWORD desiredAccess, DWORD fileOffsetHigh,
                     DWORD fileOffsetLow, DWORD numberOfBytesToMap) {
  DWORD error = ERROR_GEN_FAILURE;
  if (sim::CallFails("MapViewOfFile",
                     {sim::Word(fileMappingObject), desiredAccess, fileOffsetHigh, fileOffsetLow,
                      numberOfBytesToMap},
                     ERROR_NOT_ENOUGH_MEMORY, &error)) {
    SetLastError(error);
    return nullptr;
  }
  auto section = sim::LookupHandleAs<sim::MappingObject>(fileMappingObject);
  if (!section) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  const bool write = (desiredAccess & FILE_MAP_WRITE) != 0;
  if ((desiredAccess & (FILE_MAP_WRITE | FILE_MAP_READ)) == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (write && !section->Writable()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  const std::uint64_t offset = (std::uint64_t{fileOffsetHigh} << 32) | fileOffsetLow;
  if (offset % sim::kAllocationGranularity != 0 || offset >= section->Size()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const std::uint64_t length =
      numberOfBytesToMap == 0 ? section->Size() - offset : numberOfBytesToMap;
  if (offset + length > section->Size()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  // A read-only view is mapped read-only: a write through it faults, as on the module.
  void* address = ::mmap(nullptr, length, write ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED,
                         section->Fd(), static_cast<off_t>(offset));
  if (address == MAP_FAILED) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  sim::MappedMemory& memory = sim::Mapped();
  std::lock_guard guard(memory.mutex);
  memory.views[reinterpret_cast<std::uintptr_t>(address)] =
      sim::View{static_cast<std::size_t>(length), section};
  return address;
}

BOOL UnmapViewOfFile(LPCVOID baseAddress) {
  DWORD error = ERROR_GEN_FAILURE;
  if (sim::CallFails("UnmapViewOfFile", {sim::Word(baseAddress)}, ERROR_GEN_FAILURE, &error)) {
    SetLastError(error);
    return FALSE;
  }
  sim::MappedMemory& memory = sim::Mapped();
  std::lock_guard guard(memory.mutex);
  const auto found = memory.views.find(reinterpret_cast<std::uintptr_t>(baseAddress));
  if (found == memory.views.end()) {
    SetLastError(ERROR_INVALID_ADDRESS);
    return FALSE;
  }
  ::munmap(const_cast<void*>(baseAddress), found->second.length);
  memory.views.erase(found);
  return TRUE;
}
