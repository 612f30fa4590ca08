// Room sim/hw/: the module's hardware. The physical bus and MMU (this header), the CPU with its
// coprocessor registers, the module clock, GPIO with the pad registers, the CPLD behind its JTAG
// pins (with a waveform trace), the NOR chips and the PXA3xx NAND controller with its chip. It
// answers platform/io.h: every register window access and processor accessor lands here.
//
// Physical bus and MMU of the virtual module.
//
// Device models sit at physical addresses (NOR at 0, the NAND controller at 0x43100000, GPIO at
// 0x40E00000, the pad registers at 0x40E10000). The MMU holds a real page table for the address
// ranges that VirtualAlloc reserves; VirtualCopy points their pages at physical pages. Every
// register access of the program is translated through it. Stricter than the silicon: an access
// to a page that is not mapped, to a physical page without a device, or that is not 32-bit
// aligned is a fault that ends the process with a message.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

// A device on the physical bus. Offsets are relative to the device's base and 32-bit aligned.
class BusDevice {
 public:
  virtual ~BusDevice() = default;
  virtual const char* DeviceName() const = 0;
  virtual std::uint32_t Read32(std::uint32_t offset) = 0;
  virtual void Write32(std::uint32_t offset, std::uint32_t value) = 0;
  // Copies bytes out of the device (a memcpy from the mapped window). The default reads words.
  virtual void ReadBlock(std::uint32_t offset, void* destination, std::size_t bytes);
};

// Ends the process as a data abort or undefined instruction would on the module, after writing
// the reason to standard error and the module's debug log.
[[noreturn]] void Fault(const std::string& what);

class PhysicalBus {
 public:
  // Places a device at [base, base + size). Ranges must not overlap.
  void Attach(std::uint32_t base, std::uint32_t size, BusDevice* device);
  void DetachAll();
  struct Hit {
    BusDevice* device;
    std::uint32_t base;
    std::uint32_t size;
  };
  // The device holding a physical address, or a hit with a null device.
  [[nodiscard]] Hit Find(std::uint32_t physical) const;

 private:
  std::vector<Hit> devices_;
};

class Mmu {
 public:
  static constexpr std::uintptr_t kBase = 0x0000'0100'0000'0000ull;  // far from host pointers
  static constexpr std::uintptr_t kSpan = 0x4000'0000ull;            // 1 GiB of reservations
  static constexpr std::uint32_t kPageSize = 4096;

  explicit Mmu(PhysicalBus& bus) : bus_(bus) {}

  // Reserves size bytes (rounded up to pages); returns 0 when the space is exhausted.
  std::uintptr_t Reserve(std::uint32_t size);
  // Releases a whole reservation by its base. Returns false when base is not one.
  bool Release(std::uintptr_t base);
  // Points the pages of [virtualAddress, +size) at physical pages from physical on. The range
  // must lie in one reservation and be page aligned. Returns false otherwise.
  bool Map(std::uintptr_t virtualAddress, std::uint32_t physical, std::uint32_t size);
  [[nodiscard]] bool IsReserved(std::uintptr_t address) const;
  [[nodiscard]] std::size_t ReservationCount() const;
  [[nodiscard]] bool Contains(std::uintptr_t address) const {
    return address >= kBase && address < kBase + kSpan;
  }

  std::uint32_t Read32(std::uintptr_t address) {
    const Page& page = Translate(address, 4);
    return page.device->Read32(page.deviceOffset + static_cast<std::uint32_t>(address & 0xFFF));
  }
  void Write32(std::uintptr_t address, std::uint32_t value) {
    const Page& page = Translate(address, 4);
    page.device->Write32(page.deviceOffset + static_cast<std::uint32_t>(address & 0xFFF), value);
  }
  void ReadBlock(std::uintptr_t address, void* destination, std::size_t bytes);

  // Physical address behind a virtual one (for tests and tools); false when unmapped.
  bool PhysicalOf(std::uintptr_t address, std::uint32_t* physical) const;

 private:
  struct Page {
    BusDevice* device = nullptr;
    std::uint32_t deviceOffset = 0;  // offset of the page within its device
    std::uint32_t physical = 0;
    bool reserved = false;
    bool mapped = false;
  };
  // The page table has two levels, so that a process that reserves a few windows pays for
  // those alone: chunks of kChunkPages entries are made when a reservation first reaches them
  // and kept until the module detaches (a lookup never races with a chunk going away).
  static constexpr std::size_t kPages = kSpan / kPageSize;
  static constexpr std::size_t kChunkPages = 256;
  static constexpr std::size_t kChunks = kPages / kChunkPages;
  [[nodiscard]] Page* PageAt(std::size_t index) const {
    Page* chunk = chunks_[index / kChunkPages].load(std::memory_order_acquire);
    return chunk == nullptr ? nullptr : chunk + index % kChunkPages;
  }
  Page& MakePage(std::size_t index);  // with mutex_ held
  const Page& Translate(std::uintptr_t address, std::uint32_t width) {
    const std::uintptr_t index = (address - kBase) >> 12;
    const Page* page = address < kBase || index >= kPages ? nullptr : PageAt(index);
    if (page == nullptr || !page->mapped || page->device == nullptr || (address & (width - 1)) != 0)
        [[unlikely]] {
      FaultAt(address, width);
    }
    return *page;
  }
  [[noreturn]] void FaultAt(std::uintptr_t address, std::uint32_t width) const;

  PhysicalBus& bus_;
  std::array<std::atomic<Page*>, kChunks> chunks_{};
  std::vector<std::unique_ptr<Page[]>> ownedChunks_;
  std::map<std::uintptr_t, std::uint32_t> reservations_;  // base -> pages
  mutable std::mutex mutex_;
};

}  // namespace sim
