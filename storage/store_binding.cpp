// The program's binding of the platform's storage manager.
#include "storage/store_binding.h"

HMODULE CoreLibraryHandle = nullptr;

namespace {

constexpr DWORD kOsVersionInfoSize = 276;
constexpr DWORD kStorePathUnits = 260;
constexpr size_t kDeviceNameUnitsInPath = 245;  // "\StoreMgr\" + 245 units fits 260

// Method numbers of the CE 5 system calls.
enum StoreMethod : DWORD {
  kGetStoreInfoMethod = 1,
  kDismountStoreMethod = 2,
  kFormatStoreMethod = 3,
  kCreatePartitionMethod = 4,
  kOpenPartitionMethod = 6,
  kMountPartitionMethod = 7,
  kSetPartitionAttributesMethod = 10,
  kFormatPartitionMethod = 13,
  kFindFirstPartitionMethod = 14,
};
enum SearchMethod : DWORD {
  kCloseSearchMethod = 0,
  kContinueSearchMethod = 2,
};

BOOL NormaliseBool(BOOL result) { return result == 1 ? TRUE : FALSE; }

// Function addresses travel as FARPROC; the call casts them back to their own shape.
template <typename Function>
Function AsFunction(FARPROC address) {
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
}

template <typename Function>
Function Ce5Call(DWORD apiSet, DWORD method) {
  return AsFunction<Function>(ImplicitCallAddress(apiSet, method));
}

// One CE 6 call: resolve the name, call it, release the library. unresolved is the result for
// a name that cannot be resolved.
template <typename Function, typename Result, typename... Args>
Result Ce6Call(LPCWSTR name, Result unresolved, Args... args) {
  FARPROC address = ResolveStorageFunction(name);
  if (address == nullptr) {
    return unresolved;
  }
  const Result result = AsFunction<Function>(address)(args...);
  ReleaseStorageLibrary();
  return result;
}

}  // namespace

bool IsOsVersion6() {
  OSVERSIONINFOW version{};
  version.dwOSVersionInfoSize = kOsVersionInfoSize;
  if (!GetVersionExW(&version)) {
    return false;
  }
  return version.dwMajorVersion == 6;
}

FARPROC ResolveStorageFunction(LPCWSTR name) {
  if (CoreLibraryHandle != nullptr) {
    (void)FreeLibrary(CoreLibraryHandle);
    CoreLibraryHandle = nullptr;
  }
  CoreLibraryHandle = LoadLibraryW(u"coredll.dll");
  if (CoreLibraryHandle == nullptr) {
    return nullptr;
  }
  return GetProcAddressW(CoreLibraryHandle, name);
}

void ReleaseStorageLibrary() {
  if (CoreLibraryHandle != nullptr) {
    (void)FreeLibrary(CoreLibraryHandle);
    CoreLibraryHandle = nullptr;
  }
}

HANDLE OpenStore(LPCWSTR deviceName) {
  if (IsOsVersion6()) {
    return Ce6Call<OpenStoreFn>(u"OpenStore", INVALID_HANDLE_VALUE, deviceName);
  }
  WCHAR path[kStorePathUnits] = {};
  (void)WideCopy(path, kStorePathUnits, u"\\StoreMgr\\");
  const size_t used = WideLength(path);
  // A name longer than 245 units is cut so that the path always fits.
  size_t i = 0;
  for (; deviceName != nullptr && i < kDeviceNameUnitsInPath && deviceName[i] != 0; ++i) {
    path[used + i] = deviceName[i];
  }
  path[used + i] = 0;
  return CreateFileW(path, 0, 0, nullptr, 0, 0, nullptr);
}

BOOL DismountStore(HANDLE store) {
  if (IsOsVersion6()) {
    return Ce6Call<DismountStoreFn>(u"DismountStore", FALSE, store);
  }
  return NormaliseBool(Ce5Call<DismountStoreFn>(kApiSetStore, kDismountStoreMethod)(store));
}

BOOL FormatStore(HANDLE store) {
  if (IsOsVersion6()) {
    return Ce6Call<FormatStoreFn>(u"FormatStore", FALSE, store);
  }
  return NormaliseBool(Ce5Call<FormatStoreFn>(kApiSetStore, kFormatStoreMethod)(store));
}

HANDLE FindFirstStore(PSTOREINFO storeInfo) {
  if (IsOsVersion6()) {
    return Ce6Call<FindFirstStoreFn>(u"FindFirstStore", INVALID_HANDLE_VALUE, storeInfo);
  }
  // The storage manager answers a directory search of "\StoreMgr" with STOREINFO records.
  return FindFirstFileW(u"\\StoreMgr", reinterpret_cast<LPWIN32_FIND_DATAW>(storeInfo));
}

BOOL FindNextStore(HANDLE search, PSTOREINFO storeInfo) {
  if (IsOsVersion6()) {
    return Ce6Call<FindNextStoreFn>(u"FindNextStore", FALSE, search, storeInfo);
  }
  return NormaliseBool(
      Ce5Call<FindNextStoreFn>(kApiSetSearch, kContinueSearchMethod)(search, storeInfo));
}

BOOL FindCloseStore(HANDLE search) {
  if (IsOsVersion6()) {
    return Ce6Call<FindCloseStoreFn>(u"FindCloseStore", FALSE, search);
  }
  return NormaliseBool(Ce5Call<FindCloseStoreFn>(kApiSetSearch, kCloseSearchMethod)(search));
}

BOOL GetStoreInfo(HANDLE store, PSTOREINFO storeInfo) {
  if (IsOsVersion6()) {
    return Ce6Call<GetStoreInfoFn>(u"GetStoreInfo", FALSE, store, storeInfo);
  }
  return NormaliseBool(
      Ce5Call<GetStoreInfoFn>(kApiSetStore, kGetStoreInfoMethod)(store, storeInfo));
}

BOOL CreatePartitionEx(HANDLE store, LPCWSTR partitionName, BYTE partitionType,
                       SECTORNUM sectorCount) {
  if (IsOsVersion6()) {
    return Ce6Call<CreatePartitionExFn>(u"CreatePartitionEx", FALSE, store, partitionName,
                                        partitionType, sectorCount);
  }
  return NormaliseBool(Ce5Call<Ce5CreatePartitionFn>(kApiSetStore, kCreatePartitionMethod)(
      store, partitionName, partitionType & 0xFFu, static_cast<DWORD>(sectorCount >> 32),
      static_cast<DWORD>(sectorCount), 0));
}

HANDLE OpenPartition(HANDLE store, LPCWSTR partitionName) {
  if (IsOsVersion6()) {
    return Ce6Call<OpenPartitionFn>(u"OpenPartition", INVALID_HANDLE_VALUE, store, partitionName);
  }
  return Ce5Call<OpenPartitionFn>(kApiSetStore, kOpenPartitionMethod)(store, partitionName);
}

BOOL MountPartition(HANDLE partition) {
  if (IsOsVersion6()) {
    return Ce6Call<MountPartitionFn>(u"MountPartition", FALSE, partition);
  }
  return NormaliseBool(Ce5Call<MountPartitionFn>(kApiSetStore, kMountPartitionMethod)(partition));
}

BOOL SetPartitionAttributes(HANDLE partition, DWORD attributes) {
  if (IsOsVersion6()) {
    return Ce6Call<SetPartitionAttributesFn>(u"SetPartitionAttributes", FALSE, partition,
                                             attributes);
  }
  return NormaliseBool(Ce5Call<SetPartitionAttributesFn>(
      kApiSetStore, kSetPartitionAttributesMethod)(partition, attributes));
}

BOOL FormatPartition(HANDLE partition) {
  if (IsOsVersion6()) {
    return Ce6Call<FormatPartitionFn>(u"FormatPartition", FALSE, partition);
  }
  return NormaliseBool(
      Ce5Call<Ce5FormatPartitionFn>(kApiSetStore, kFormatPartitionMethod)(partition, 0, 1));
}

HANDLE FindFirstPartition(HANDLE store, PPARTINFO partitionInfo) {
  if (IsOsVersion6()) {
    return Ce6Call<FindFirstPartitionFn>(u"FindFirstPartition", INVALID_HANDLE_VALUE, store,
                                         partitionInfo);
  }
  return Ce5Call<FindFirstPartitionFn>(kApiSetStore, kFindFirstPartitionMethod)(store,
                                                                                partitionInfo);
}

BOOL FindNextPartition(HANDLE search, PPARTINFO partitionInfo) {
  if (IsOsVersion6()) {
    return Ce6Call<FindNextPartitionFn>(u"FindNextPartition", FALSE, search, partitionInfo);
  }
  return NormaliseBool(
      Ce5Call<FindNextPartitionFn>(kApiSetSearch, kContinueSearchMethod)(search, partitionInfo));
}

BOOL FindClosePartition(HANDLE search) {
  if (IsOsVersion6()) {
    return Ce6Call<FindClosePartitionFn>(u"FindClosePartition", FALSE, search);
  }
  return NormaliseBool(Ce5Call<FindClosePartitionFn>(kApiSetSearch, kCloseSearchMethod)(search));
}
