// Memory calls: the local heap (with the fault plan's cap on free heap) and virtual memory over
// the module's page table. Register accesses translate through the same page table.
#include <sys/mman.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "platform/io.h"
#include "platform/kernel.h"
#include "sim/hw/cpu.h"
#include "sim/module/machine.h"

namespace {

constexpr DWORD kLargestVirtualCopy = 0x2000000;  // 32 MiB

// Blocks of a large page or more (the library's work buffer) are placed on large page
// boundaries and offered to the host's large pages: one fault commits the block instead of one
// per small page, which on a virtual machine costs more than reading the block's data.
constexpr std::size_t kLargePage = 0x200000;

std::size_t Rounded(std::size_t bytes) { return (bytes + kLargePage - 1) & ~(kLargePage - 1); }

// The last large block freed, kept for the next allocation of its size: the library frees its
// work buffer after the start's region scan and allocates it again for the file that follows,
// and a fresh host block costs a fault and the zeroing of its 2 MiB. Under the address
// sanitizer every block goes back, so that a use after the free is still found.
#if defined(FLASHWICK_ADDRESS_SANITIZER)
constexpr bool kKeepFreedBlock = false;
#else
constexpr bool kKeepFreedBlock = true;
#endif
void* keptBlock = nullptr;
std::size_t keptBytes = 0;  // rounded

void* HostBlock(std::size_t bytes) {
  if (bytes < kLargePage) {
    return std::malloc(bytes == 0 ? 1 : bytes);
  }
  const std::size_t rounded = Rounded(bytes);
  if (keptBlock != nullptr && keptBytes == rounded) {
    void* block = keptBlock;
    keptBlock = nullptr;
    return block;
  }
  void* block = std::aligned_alloc(kLargePage, rounded);
  if (block != nullptr) {
    (void)::madvise(block, rounded, MADV_HUGEPAGE);  // a hint: small pages if refused
  }
  return block;
}

void FreeHostBlock(void* block, std::size_t bytes) {
  if (kKeepFreedBlock && bytes >= kLargePage) {
    std::free(keptBlock);
    keptBlock = block;
    keptBytes = Rounded(bytes);
    return;
  }
  std::free(block);
}

std::mutex heapMutex;
std::unordered_map<void*, UINT>& HeapBlocks() {
  static std::unordered_map<void*, UINT> blocks;
  return blocks;
}

}  // namespace

HLOCAL LocalAlloc(UINT flags, UINT bytes) {
  sim::Machine& machine = sim::CurrentMachine();
  std::uint32_t error = ERROR_NOT_ENOUGH_MEMORY;
  if (machine.Faults().FailCall("LocalAlloc", &error)) {
    SetLastError(error);
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(heapMutex);
  const std::uint64_t limit = machine.Faults().HeapLimit();
  if (limit != 0 && machine.HeapInUse() + bytes > limit) {
    machine.Faults().HeapLimitReached(bytes);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  void* block = HostBlock(bytes);
  if (block == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if ((flags & LMEM_ZEROINIT) != 0) {
    std::memset(block, 0, bytes);
  }
  HeapBlocks()[block] = bytes;
  machine.HeapInUse() += bytes;
  return block;
}

HLOCAL LocalFree(HLOCAL memory) {
  if (memory == nullptr) {
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(heapMutex);
  auto it = HeapBlocks().find(memory);
  if (it == HeapBlocks().end()) {
    sim::Fault("LocalFree of a block that LocalAlloc did not return");
  }
  if (sim::IsAttached()) {
    sim::CurrentMachine().HeapInUse() -= it->second;
  }
  const UINT bytes = it->second;
  HeapBlocks().erase(it);
  FreeHostBlock(memory, bytes);
  return nullptr;
}

LPVOID VirtualAlloc(LPVOID address, DWORD size, DWORD allocationType, DWORD protect) {
  sim::Machine& machine = sim::CurrentMachine();
  machine.Calls().Add("VirtualAlloc",
                      {reinterpret_cast<std::uintptr_t>(address), size, allocationType, protect});
  std::uint32_t error = ERROR_NOT_ENOUGH_MEMORY;
  if (machine.Faults().FailCall("VirtualAlloc", &error)) {
    SetLastError(error);
    return nullptr;
  }
  // The program reserves address space for mappings; committing memory of its own is not
  // something this module's image offers the program.
  if (address != nullptr || (allocationType & MEM_RESERVE) == 0 ||
      (allocationType & MEM_COMMIT) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const std::uintptr_t base = machine.VirtualMemory().Reserve(size);
  if (base == 0) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return reinterpret_cast<LPVOID>(base);
}

BOOL VirtualFree(LPVOID address, DWORD size, DWORD freeType) {
  sim::Machine& machine = sim::CurrentMachine();
  machine.Calls().Add("VirtualFree", {reinterpret_cast<std::uintptr_t>(address), size, freeType});
  if (freeType != MEM_RELEASE || size != 0 ||
      !machine.VirtualMemory().Release(reinterpret_cast<std::uintptr_t>(address))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return TRUE;
}

BOOL VirtualCopy(LPVOID destination, LPVOID source, DWORD size, DWORD protect) {
  sim::Machine& machine = sim::CurrentMachine();
  machine.Calls().Add(
      "VirtualCopy", {reinterpret_cast<std::uintptr_t>(destination),
                      reinterpret_cast<std::uintptr_t>(source), size, protect, sim::CurrentMode()});
  std::uint32_t error = ERROR_INVALID_PARAMETER;
  if (machine.Faults().FailCall("VirtualCopy", &error)) {
    SetLastError(error);
    return FALSE;
  }
  if (sim::CurrentMode() == sim::kModeUser) {
    SetLastError(ERROR_ACCESS_DENIED);  // a kernel-only call on the module
    return FALSE;
  }
  // The kernel maps at most one 32 MiB section of the address space per call; larger ranges
  // are mapped piece by piece.
  if (size > kLargestVirtualCopy) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::uintptr_t sourceWord = reinterpret_cast<std::uintptr_t>(source);
  const std::uint64_t physical =
      (protect & PAGE_PHYSICAL) != 0 ? std::uint64_t{sourceWord} << 8 : sourceWord;
  if (physical > 0xFFFFFFFFull || (protect & PAGE_NOCACHE) == 0) {
    // Device memory is only ever mapped uncached.
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!machine.VirtualMemory().Map(reinterpret_cast<std::uintptr_t>(destination),
                                   static_cast<std::uint32_t>(physical), size)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return TRUE;
}

DWORD PlatformRead32(std::uintptr_t address) {
  return sim::CurrentMachine().VirtualMemory().Read32(address);
}

void PlatformWrite32(std::uintptr_t address, DWORD value) {
  sim::CurrentMachine().VirtualMemory().Write32(address, value);
}

void PlatformReadBlock(std::uintptr_t address, void* destination, size_t bytes) {
  sim::CurrentMachine().VirtualMemory().ReadBlock(address, destination, bytes);
}
