// The storage manager's calls as the program reaches them: the fifteen functions that a
// Windows CE 6 "coredll.dll" exports by name, the Windows CE 5 implicit system calls of API
// sets 7 (store and partition handles) and 8 (searches), "\StoreMgr" in the file system
// (CreateFileW gives a store handle, FindFirstFileW a store search that fills STOREINFO
// records), and DeviceIoControl on a store handle.
#include "sim/storage/storage_calls.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/storage.h"
#include "sim/base/names.h"
#include "sim/base/utf.h"
#include "sim/os/file_system.h"
#include "sim/os/loader.h"
#include "sim/os/os_call.h"
#include "sim/storage/storage_manager.h"
#include "sim/storage/volume.h"

namespace sim {
namespace {

// The most scatter/gather buffers one request may carry (MAX_SG_BUF of the block driver
// interface).
constexpr DWORD kMaxScatterGatherBuffers = 8;
constexpr const char16_t* kStoreManagerFolder = u"\\StoreMgr";

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// A function's address as the loader hands it out; void (*)() is the one pointer type every
// function pointer converts to and back without a warning.
template <typename Function>
FARPROC Address(Function* function) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

HANDLE FailHandle(DWORD error) {
  SetLastError(error);
  return INVALID_HANDLE_VALUE;
}

// What a storage function answers when its work succeeded: TRUE, or the value a
// "storage.result" item of the fault plan gives.
BOOL Succeeded(const char* call) {
  const FaultPlan::ItemRef item = CurrentMachine().Faults().Fire(
      kResultFault, [&](const FaultItem& candidate) { return candidate.String("call") == call; },
      [&] { return "call " + std::string(call); });
  return item != nullptr ? static_cast<BOOL>(item->Unsigned("value", TRUE)) : TRUE;
}

BOOL Answer(const char* call, DWORD error) {
  return error == ERROR_SUCCESS ? Succeeded(call) : Fail(error);
}

// Entry of every storage function: records it and asks the fault plan.
bool Refused(const char* call, std::initializer_list<std::uint64_t> args, DWORD* error,
             const char16_t* text = nullptr) {
  return CallFails(call, args, ERROR_GEN_FAILURE, error, text);
}

std::shared_ptr<StoreHandle> StoreOf(HANDLE handle) { return LookupHandleAs<StoreHandle>(handle); }

std::shared_ptr<PartitionHandle> PartitionOf(HANDLE handle) {
  return LookupHandleAs<PartitionHandle>(handle);
}

// ---------------------------------------------------------------------------------------------
// Searches
// ---------------------------------------------------------------------------------------------
// The storage manager's searches are search handles of the file system's kind, so that its
// continue and close calls (and FindNextFileW and FindClose) serve them.
class StoreSearch final : public FindSearch {
 public:
  explicit StoreSearch(std::vector<std::uint32_t> ids) : ids_(std::move(ids)) {}
  const char* KindName() const override { return "store search"; }
  bool Next(WIN32_FIND_DATAW* data) override {
    return Continue(reinterpret_cast<STOREINFO*>(data)) == ERROR_SUCCESS;
  }
  // Fills the next store's record; ERROR_NO_MORE_ITEMS at the end.
  DWORD Continue(STOREINFO* info) {
    if (info == nullptr || info->cbSize != sizeof(STOREINFO)) {
      return ERROR_INVALID_PARAMETER;
    }
    while (next_ < ids_.size()) {
      if (storage::StoreInfo(ids_[next_++], info) == ERROR_SUCCESS) {
        return ERROR_SUCCESS;
      }
    }
    return ERROR_NO_MORE_ITEMS;
  }

 private:
  std::vector<std::uint32_t> ids_;
  std::size_t next_ = 0;
};

class PartitionSearch final : public FindSearch {
 public:
  PartitionSearch(std::uint32_t storeId, std::vector<std::u16string> names)
      : storeId_(storeId), names_(std::move(names)) {}
  const char* KindName() const override { return "partition search"; }
  bool Next(WIN32_FIND_DATAW* data) override {
    return Continue(reinterpret_cast<PARTINFO*>(data)) == ERROR_SUCCESS;
  }
  DWORD Continue(PARTINFO* info) {
    if (info == nullptr || info->cbSize != sizeof(PARTINFO)) {
      return ERROR_INVALID_PARAMETER;
    }
    while (next_ < names_.size()) {
      if (storage::PartitionInfo(storeId_, names_[next_++], info) == ERROR_SUCCESS) {
        return ERROR_SUCCESS;
      }
    }
    return ERROR_NO_MORE_ITEMS;
  }

 private:
  std::uint32_t storeId_;
  std::vector<std::u16string> names_;
  std::size_t next_ = 0;
};

HANDLE FirstStore(STOREINFO* info) {
  if (info == nullptr || info->cbSize != sizeof(STOREINFO)) {
    return FailHandle(ERROR_INVALID_PARAMETER);
  }
  auto search = std::make_shared<StoreSearch>(storage::StoreIds());
  const DWORD error = search->Continue(info);
  if (error != ERROR_SUCCESS) {
    return FailHandle(error);
  }
  return AddHandle(search);
}

DWORD OpenStoreNamed(std::u16string_view name, HANDLE* handle) {
  std::uint32_t storeId = 0;
  const DWORD error = storage::OpenStoreByName(name, &storeId);
  if (error != ERROR_SUCCESS) {
    return error;
  }
  *handle = AddHandle(std::make_shared<StoreHandle>(storeId));
  return ERROR_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// The functions with the shapes the CE 6 exports have
// ---------------------------------------------------------------------------------------------
HANDLE ExportOpenStore(LPCWSTR deviceName) {
  DWORD error = ERROR_SUCCESS;
  if (Refused("OpenStore", {}, &error, deviceName)) {
    return FailHandle(error);
  }
  if (deviceName == nullptr) {
    return FailHandle(ERROR_INVALID_PARAMETER);
  }
  HANDLE handle = INVALID_HANDLE_VALUE;
  error = OpenStoreNamed(deviceName, &handle);
  return error == ERROR_SUCCESS ? handle : FailHandle(error);
}

BOOL ExportDismountStore(HANDLE store) {
  DWORD error = ERROR_SUCCESS;
  if (Refused("DismountStore", {Word(store)}, &error)) {
    return Fail(error);
  }
  const auto object = StoreOf(store);
  return Answer("DismountStore",
                object ? storage::DismountStore(object->StoreId()) : ERROR_INVALID_HANDLE);
}

BOOL ExportFormatStore(HANDLE store) {
  DWORD error = ERROR_SUCCESS;
  if (Refused("FormatStore", {Word(store)}, &error)) {
    return Fail(error);
  }
  const auto object = StoreOf(store);
  return Answer("FormatStore",
                object ? storage::FormatStore(object->StoreId()) : ERROR_INVALID_HANDLE);
}

HANDLE ExportFindFirstStore(PSTOREINFO info) {
  DWORD error = ERROR_SUCCESS;
  if (Refused("FindFirstStore", {Word(info)}, &error)) {
    return FailHandle(error);
  }
  return FirstStore(info);
}

BOOL ExportFindNextStore(HANDLE search, PSTOREINFO info) {
  DWORD error = ERROR_SUCCESS;
  if (Refused("FindNextStore", {Word(search)}, &error)) {
    return Fail(error);
  }
  const auto object = LookupHandleAs<StoreSearch>(search);
  return Answer("FindNextStore", object ? object->Continue(info) : ERROR_INVALID_HANDLE);
}

BOOL ExportFindCloseStore(HANDLE search) {
  DWORD error = ERROR_SUCCESS;
  if (Refused("FindCloseStore", {Word(search)}, &error)) {
    return Fail(error);
  }
  if (!LookupHandleAs<StoreSearch>(search) || !RemoveHandle(search)) {
    return Fail(ERROR_INVALID_HANDLE);
  }
  return Succeeded("FindCloseStore");
}

BOOL ExportGetStoreInfo(HANDLE store, PSTOREINFO info) {
  DWORD error = ERROR_SUCCESS;
  if (Refused("GetStoreInfo", {Word(store)}, &error)) {
    return Fail(error);
  }
  const auto object = StoreOf(store);
  if (!object) {
    return Fail(ERROR_INVALID_HANDLE);
  }
  if (info == nullptr || info->cbSize != sizeof(STOREINFO)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  StoreGeometry geometry;
  error = storage::StoreGeometryOf(object->StoreId(), &geometry);
  if (error == ERROR_SUCCESS) {
    error = storage::StoreInfo(object->StoreId(), info);
  }
  return Answer("GetStoreInfo", error);
}

BOOL CreatePartitionCommon(HANDLE store, LPCWSTR name, BYTE type, SECTORNUM sectors) {
  const auto object = StoreOf(store);
  if (!object) {
    return Fail(ERROR_INVALID_HANDLE);
  }
  if (name == nullptr) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  return Answer("CreatePartitionEx",
                storage::CreatePartition(object->StoreId(), name, type, sectors));
}

BOOL ExportCreatePartitionEx(HANDLE store, LPCWSTR name, BYTE type, SECTORNUM sectors) {
  DWORD error = ERROR_SUCCESS;
  if (Refused("CreatePartitionEx", {Word(store), type, sectors}, &error, name)) {
    return Fail(error);
  }
  return CreatePartitionCommon(store, name, type, sectors);
}

HANDLE ExportOpenPartition(HANDLE store, LPCWSTR name) {
  DWORD error = ERROR_SUCCESS;
  if (Refused("OpenPartition", {Word(store)}, &error, name)) {
    return FailHandle(error);
  }
  const auto object = StoreOf(store);
  if (!object) {
    return FailHandle(ERROR_INVALID_HANDLE);
  }
  if (name == nullptr) {
    return FailHandle(ERROR_INVALID_PARAMETER);
  }
  std::uint32_t generation = 0;
  std::u16string exact;
  error = storage::OpenPartition(object->StoreId(), name, &generation, &exact);
  if (error != ERROR_SUCCESS) {
    return FailHandle(error);
  }
  return AddHandle(std::make_shared<PartitionHandle>(object->StoreId(), generation, exact));
}

BOOL ExportMountPartition(HANDLE partition) {
  DWORD error = ERROR_SUCCESS;
  if (Refused("MountPartition", {Word(partition)}, &error)) {
    return Fail(error);
  }
  const auto object = PartitionOf(partition);
  return Answer(
      "MountPartition",
      object ? storage::MountPartition(object->StoreId(), object->Generation(), object->Name())
             : ERROR_INVALID_HANDLE);
}

BOOL ExportSetPartitionAttributes(HANDLE partition, DWORD attributes) {
  DWORD error = ERROR_SUCCESS;
  if (Refused("SetPartitionAttributes", {Word(partition), attributes}, &error)) {
    return Fail(error);
  }
  const auto object = PartitionOf(partition);
  return Answer("SetPartitionAttributes",
                object ? storage::SetPartitionAttributes(object->StoreId(), object->Generation(),
                                                         object->Name(), attributes)
                       : ERROR_INVALID_HANDLE);
}

BOOL FormatPartitionCommon(HANDLE partition, BYTE type) {
  const auto object = PartitionOf(partition);
  return Answer("FormatPartition",
                object ? storage::FormatPartition(object->StoreId(), object->Generation(),
                                                  object->Name(), type)
                       : ERROR_INVALID_HANDLE);
}

BOOL ExportFormatPartition(HANDLE partition) {
  DWORD error = ERROR_SUCCESS;
  if (Refused("FormatPartition", {Word(partition)}, &error)) {
    return Fail(error);
  }
  return FormatPartitionCommon(partition, 0);
}

HANDLE ExportFindFirstPartition(HANDLE store, PPARTINFO info) {
  DWORD error = ERROR_SUCCESS;
  if (Refused("FindFirstPartition", {Word(store), Word(info)}, &error)) {
    return FailHandle(error);
  }
  const auto object = StoreOf(store);
  if (!object) {
    return FailHandle(ERROR_INVALID_HANDLE);
  }
  if (info == nullptr || info->cbSize != sizeof(PARTINFO)) {
    return FailHandle(ERROR_INVALID_PARAMETER);
  }
  std::vector<std::u16string> names;
  error = storage::PartitionNames(object->StoreId(), &names);
  if (error != ERROR_SUCCESS) {
    return FailHandle(error);
  }
  auto search = std::make_shared<PartitionSearch>(object->StoreId(), std::move(names));
  error = search->Continue(info);
  if (error != ERROR_SUCCESS) {
    return FailHandle(error);
  }
  return AddHandle(search);
}

BOOL ExportFindNextPartition(HANDLE search, PPARTINFO info) {
  DWORD error = ERROR_SUCCESS;
  if (Refused("FindNextPartition", {Word(search)}, &error)) {
    return Fail(error);
  }
  const auto object = LookupHandleAs<PartitionSearch>(search);
  return Answer("FindNextPartition", object ? object->Continue(info) : ERROR_INVALID_HANDLE);
}

BOOL ExportFindClosePartition(HANDLE search) {
  DWORD error = ERROR_SUCCESS;
  if (Refused("FindClosePartition", {Word(search)}, &error)) {
    return Fail(error);
  }
  if (!LookupHandleAs<PartitionSearch>(search) || !RemoveHandle(search)) {
    return Fail(ERROR_INVALID_HANDLE);
  }
  return Succeeded("FindClosePartition");
}

// ---------------------------------------------------------------------------------------------
// The CE 5 system calls whose shapes differ
// ---------------------------------------------------------------------------------------------
BOOL Ce5CreatePartition(HANDLE store, LPCWSTR name, DWORD type, DWORD sectorsHigh, DWORD sectorsLow,
                        DWORD reserved) {
  const SECTORNUM sectors = (SECTORNUM{sectorsHigh} << 32) | sectorsLow;
  DWORD error = ERROR_SUCCESS;
  if (Refused("CreatePartitionEx", {Word(store), type, sectors, reserved}, &error, name)) {
    return Fail(error);
  }
  // The type travels in a register of its own; only its low byte is a partition type.
  if (type > 0xFF || reserved != 0) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  return CreatePartitionCommon(store, name, static_cast<BYTE>(type), sectors);
}

BOOL Ce5FormatPartition(HANDLE partition, DWORD type, DWORD flags) {
  DWORD error = ERROR_SUCCESS;
  if (Refused("FormatPartition", {Word(partition), type, flags}, &error)) {
    return Fail(error);
  }
  // type 0 keeps the partition's type; flags 1 lets the file system pick its layout.
  if (type > 0xFF || flags > 1) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  return FormatPartitionCommon(partition, static_cast<BYTE>(type));
}

// API set 8, method 2: continue a search of any kind.
BOOL Ce5ContinueSearch(HANDLE search, LPVOID record) {
  if (const auto stores = LookupHandleAs<StoreSearch>(search)) {
    DWORD error = ERROR_SUCCESS;
    if (Refused("FindNextStore", {Word(search)}, &error)) {
      return Fail(error);
    }
    return Answer("FindNextStore", stores->Continue(static_cast<STOREINFO*>(record)));
  }
  if (const auto partitions = LookupHandleAs<PartitionSearch>(search)) {
    DWORD error = ERROR_SUCCESS;
    if (Refused("FindNextPartition", {Word(search)}, &error)) {
      return Fail(error);
    }
    return Answer("FindNextPartition", partitions->Continue(static_cast<PARTINFO*>(record)));
  }
  return FindNextFileW(search, static_cast<LPWIN32_FIND_DATAW>(record));
}

// API set 8, method 0: close a search of any kind.
BOOL Ce5CloseSearch(HANDLE search) {
  if (LookupHandleAs<StoreSearch>(search)) {
    return ExportFindCloseStore(search);
  }
  if (LookupHandleAs<PartitionSearch>(search)) {
    return ExportFindClosePartition(search);
  }
  return FindClose(search);
}

// ---------------------------------------------------------------------------------------------
// "\StoreMgr" in the file system, and files that the fault plan keeps from being created
// ---------------------------------------------------------------------------------------------
bool IsStoreManagerPath(std::u16string_view path, std::u16string_view* rest) {
  const std::u16string_view folder = kStoreManagerFolder;
  if (path.size() < folder.size() || !SameName(path.substr(0, folder.size()), folder)) {
    return false;
  }
  if (path.size() == folder.size()) {
    *rest = {};
    return true;
  }
  if (path[folder.size()] != u'\\') {
    return false;
  }
  *rest = path.substr(folder.size() + 1);
  return true;
}

class StoreManagerNames final : public NameHandler {
 public:
  bool Claims(std::u16string_view path) const override {
    std::u16string_view rest;
    return IsStoreManagerPath(path, &rest);
  }
  // "\StoreMgr\<device>" opens the store of that device.
  HANDLE CreateFile(std::u16string_view path, DWORD /*desiredAccess*/, DWORD /*shareMode*/,
                    DWORD /*creationDisposition*/, DWORD /*flagsAndAttributes*/) override {
    std::u16string_view rest;
    if (!IsStoreManagerPath(path, &rest) || rest.empty()) {
      return FailHandle(ERROR_ACCESS_DENIED);
    }
    const std::u16string name(rest);
    DWORD error = ERROR_SUCCESS;
    if (Refused("OpenStore", {}, &error, name.c_str())) {
      return FailHandle(error);
    }
    HANDLE handle = INVALID_HANDLE_VALUE;
    error = OpenStoreNamed(name, &handle);
    return error == ERROR_SUCCESS ? handle : FailHandle(error);
  }
  // A search of "\StoreMgr" itself enumerates the stores, one STOREINFO per entry.
  HANDLE FindFirst(std::u16string_view path, WIN32_FIND_DATAW* data) override {
    std::u16string_view rest;
    if (!IsStoreManagerPath(path, &rest) || !rest.empty()) {
      return FailHandle(ERROR_FILE_NOT_FOUND);
    }
    DWORD error = ERROR_SUCCESS;
    if (Refused("FindFirstStore", {Word(data)}, &error)) {
      return FailHandle(error);
    }
    return FirstStore(reinterpret_cast<STOREINFO*>(data));
  }
};

thread_local bool passingThrough = false;

bool Creates(DWORD disposition) {
  return disposition == CREATE_NEW || disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS ||
         disposition == TRUNCATE_EXISTING;
}

bool FileFaultMatches(const FaultItem& item, std::u16string_view path) {
  return MatchVolumePattern(FromUtf8(std::string(item.String("path"))), path);
}

// Claims the paths of "storage.file" items; every call but a creation passes on to the file
// system as if nothing had claimed it.
class FileFaultNames final : public NameHandler {
 public:
  bool Claims(std::u16string_view path) const override {
    if (passingThrough || !IsAttached()) {
      return false;
    }
    for (const FaultPlan::ItemRef& item : CurrentMachine().Faults().Items(kFileFault)) {
      if (FileFaultMatches(*item, path)) {
        return true;
      }
    }
    return false;
  }
  HANDLE CreateFile(std::u16string_view path, DWORD desiredAccess, DWORD shareMode,
                    DWORD creationDisposition, DWORD flagsAndAttributes) override {
    const std::u16string text(path);
    if (Creates(creationDisposition)) {
      if (const FaultPlan::ItemRef item = CurrentMachine().Faults().Fire(
              kFileFault,
              [&](const FaultItem& candidate) { return FileFaultMatches(candidate, text); },
              [&] { return "creation of " + ToUtf8(text); })) {
        return FailHandle(storage::ItemError(*item, ERROR_ACCESS_DENIED));
      }
    }
    PassThrough pass;
    return CreateFileW(text.c_str(), desiredAccess, shareMode, nullptr, creationDisposition,
                       flagsAndAttributes, nullptr);
  }
  HANDLE FindFirst(std::u16string_view path, WIN32_FIND_DATAW* data) override {
    const std::u16string text(path);
    PassThrough pass;
    return FindFirstFileW(text.c_str(), data);
  }
  DWORD Attributes(std::u16string_view path) override {
    const std::u16string text(path);
    PassThrough pass;
    return GetFileAttributesW(text.c_str());
  }

 private:
  // The call again, unclaimed and unrecorded (it was recorded when it came in).
  class PassThrough {
   public:
    PassThrough() { passingThrough = true; }
    ~PassThrough() { passingThrough = false; }
    PassThrough(const PassThrough&) = delete;
    PassThrough& operator=(const PassThrough&) = delete;

   private:
    ModelCallScope scope_;
  };
};

StoreManagerNames storeManagerNames;
FileFaultNames fileFaultNames;

// ---------------------------------------------------------------------------------------------
// Sector requests
// ---------------------------------------------------------------------------------------------
BOOL SectorTransfer(const StoreHandle& store, bool write, LPVOID in, DWORD inSize) {
  constexpr std::size_t kHead = offsetof(SG_REQ, sr_sglist);
  if (in == nullptr || inSize < sizeof(SG_REQ)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  auto* request = static_cast<SG_REQ*>(in);
  StoreGeometry geometry;
  DWORD error = storage::StoreGeometryOf(store.StoreId(), &geometry);
  if (error != ERROR_SUCCESS) {
    request->sr_status = error;
    return Fail(error);
  }
  const DWORD buffers = request->sr_num_sg;
  if (buffers == 0 || buffers > kMaxScatterGatherBuffers ||
      inSize < kHead + std::size_t{buffers} * sizeof(SG_BUF)) {
    request->sr_status = ERROR_INVALID_PARAMETER;
    return Fail(ERROR_INVALID_PARAMETER);
  }
  const std::uint64_t bytes = std::uint64_t{request->sr_num_sec} * geometry.sectorSize;
  std::uint64_t given = 0;
  for (DWORD i = 0; i < buffers; ++i) {
    if (request->sr_sglist[i].sb_buf == nullptr) {
      request->sr_status = ERROR_INVALID_PARAMETER;
      return Fail(ERROR_INVALID_PARAMETER);
    }
    given += request->sr_sglist[i].sb_len;
  }
  // The buffers must hold exactly the sectors asked for.
  if (request->sr_num_sec == 0 || given != bytes ||
      std::uint64_t{request->sr_start} + request->sr_num_sec > geometry.Sectors()) {
    request->sr_status = ERROR_INVALID_PARAMETER;
    return Fail(ERROR_INVALID_PARAMETER);
  }
  // One buffer (the usual request) is used in place; several are gathered into one.
  if (buffers == 1) {
    auto* buffer = static_cast<std::uint8_t*>(request->sr_sglist[0].sb_buf);
    error =
        write
            ? storage::WriteSectors(store.StoreId(), request->sr_start, request->sr_num_sec, buffer)
            : storage::ReadSectors(store.StoreId(), request->sr_start, request->sr_num_sec, buffer);
    request->sr_status = error;
    return error == ERROR_SUCCESS ? TRUE : Fail(error);
  }
  std::vector<std::uint8_t> data(static_cast<std::size_t>(bytes));
  if (write) {
    std::size_t at = 0;
    for (DWORD i = 0; i < buffers; ++i) {
      std::memcpy(data.data() + at, request->sr_sglist[i].sb_buf, request->sr_sglist[i].sb_len);
      at += request->sr_sglist[i].sb_len;
    }
    error =
        storage::WriteSectors(store.StoreId(), request->sr_start, request->sr_num_sec, data.data());
  } else {
    error =
        storage::ReadSectors(store.StoreId(), request->sr_start, request->sr_num_sec, data.data());
    if (error == ERROR_SUCCESS) {
      std::size_t at = 0;
      for (DWORD i = 0; i < buffers; ++i) {
        std::memcpy(request->sr_sglist[i].sb_buf, data.data() + at, request->sr_sglist[i].sb_len);
        at += request->sr_sglist[i].sb_len;
      }
    }
  }
  request->sr_status = error;
  return error == ERROR_SUCCESS ? TRUE : Fail(error);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Registration
// ---------------------------------------------------------------------------------------------
void RegisterStorageCalls(bool exportByName) {
  RegisterNameHandler(&fileFaultNames);
  RegisterNameHandler(&storeManagerNames);
  if (!exportByName) {
    return;
  }
  ExportFunction("OpenStore", Address(&ExportOpenStore));
  ExportFunction("DismountStore", Address(&ExportDismountStore));
  ExportFunction("FormatStore", Address(&ExportFormatStore));
  ExportFunction("FindFirstStore", Address(&ExportFindFirstStore));
  ExportFunction("FindNextStore", Address(&ExportFindNextStore));
  ExportFunction("FindCloseStore", Address(&ExportFindCloseStore));
  ExportFunction("GetStoreInfo", Address(&ExportGetStoreInfo));
  ExportFunction("CreatePartitionEx", Address(&ExportCreatePartitionEx));
  ExportFunction("OpenPartition", Address(&ExportOpenPartition));
  ExportFunction("MountPartition", Address(&ExportMountPartition));
  ExportFunction("SetPartitionAttributes", Address(&ExportSetPartitionAttributes));
  ExportFunction("FormatPartition", Address(&ExportFormatPartition));
  ExportFunction("FindFirstPartition", Address(&ExportFindFirstPartition));
  ExportFunction("FindNextPartition", Address(&ExportFindNextPartition));
  ExportFunction("FindClosePartition", Address(&ExportFindClosePartition));
}

void WithdrawStorageCalls() {
  UnregisterNameHandler(&storeManagerNames);
  UnregisterNameHandler(&fileFaultNames);
  for (const char* name :
       {"OpenStore", "DismountStore", "FormatStore", "FindFirstStore", "FindNextStore",
        "FindCloseStore", "GetStoreInfo", "CreatePartitionEx", "OpenPartition", "MountPartition",
        "SetPartitionAttributes", "FormatPartition", "FindFirstPartition", "FindNextPartition",
        "FindClosePartition"}) {
    WithdrawFunction(name);
  }
}

}  // namespace sim

// ---------------------------------------------------------------------------------------------
// The platform's calls
// ---------------------------------------------------------------------------------------------
FARPROC ImplicitCallAddress(DWORD apiSet, DWORD method) {
  using sim::Address;
  if (apiSet == 7) {
    switch (method) {
      case 1:
        return Address(&sim::ExportGetStoreInfo);
      case 2:
        return Address(&sim::ExportDismountStore);
      case 3:
        return Address(&sim::ExportFormatStore);
      case 4:
        return Address(&sim::Ce5CreatePartition);
      case 6:
        return Address(&sim::ExportOpenPartition);
      case 7:
        return Address(&sim::ExportMountPartition);
      case 10:
        return Address(&sim::ExportSetPartitionAttributes);
      case 13:
        return Address(&sim::Ce5FormatPartition);
      case 14:
        return Address(&sim::ExportFindFirstPartition);
      default:
        break;
    }
  } else if (apiSet == 8) {
    switch (method) {
      case 0:
        return Address(&sim::Ce5CloseSearch);
      case 2:
        return Address(&sim::Ce5ContinueSearch);
      default:
        break;
    }
  }
  // A trap the image does not serve raises an exception on the module.
  sim::Fault("implicit system call of API set " + std::to_string(apiSet) + " method " +
             std::to_string(method) + " is not served by this image");
}

BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize,
                     LPVOID outBuffer, DWORD outBufferSize, LPDWORD bytesReturned,
                     LPVOID overlapped) {
  DWORD error = ERROR_GEN_FAILURE;
  if (sim::CallFails("DeviceIoControl",
                     {sim::Word(device), ioControlCode, inBufferSize, outBufferSize}, error,
                     &error)) {
    return sim::Fail(error);
  }
  const auto store = sim::StoreOf(device);
  if (!store) {
    return sim::Fail(sim::LookupHandle(device) ? ERROR_NOT_SUPPORTED : ERROR_INVALID_HANDLE);
  }
  if (overlapped != nullptr) {
    return sim::Fail(ERROR_INVALID_PARAMETER);  // no overlapped I/O on the module
  }
  switch (ioControlCode) {
    case IOCTL_DISK_GET_SECTOR_ADDR: {
      if (inBuffer == nullptr || outBuffer == nullptr || inBufferSize == 0 ||
          inBufferSize % 4 != 0 || outBufferSize != inBufferSize) {
        return sim::Fail(ERROR_INVALID_PARAMETER);
      }
      error = sim::storage::SectorAddresses(store->StoreId(), static_cast<const DWORD*>(inBuffer),
                                            inBufferSize / 4, static_cast<DWORD*>(outBuffer));
      if (error != ERROR_SUCCESS) {
        return sim::Fail(error);
      }
      if (bytesReturned != nullptr) {
        *bytesReturned = outBufferSize;
      }
      return TRUE;
    }
    case IOCTL_DISK_READ:
    case IOCTL_DISK_WRITE:
      if (bytesReturned != nullptr) {
        *bytesReturned = 0;
      }
      return sim::SectorTransfer(*store, ioControlCode == IOCTL_DISK_WRITE, inBuffer, inBufferSize);
    default:
      return sim::Fail(ERROR_NOT_SUPPORTED);
  }
}
