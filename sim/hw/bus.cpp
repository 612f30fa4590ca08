#include "sim/hw/bus.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/module/machine.h"

namespace sim {

void BusDevice::ReadBlock(std::uint32_t offset, void* destination, std::size_t bytes) {
  auto* out = static_cast<std::uint8_t*>(destination);
  while (bytes > 0) {
    const std::uint32_t word = Read32(offset & ~3u);
    const std::uint32_t skip = offset & 3u;
    const std::size_t take = std::min<std::size_t>(4 - skip, bytes);
    for (std::size_t i = 0; i < take; ++i) {
      out[i] = static_cast<std::uint8_t>(word >> (8 * (skip + i)));
    }
    out += take;
    offset += static_cast<std::uint32_t>(take);
    bytes -= take;
  }
}

void Fault(const std::string& what) {
  std::fprintf(stderr, "virtual module fault: %s\n", what.c_str());
  std::fflush(stderr);
  if (IsAttached()) {
    CurrentMachine().DebugLog("FAULT: " + what);
  }
  std::abort();
}

void PhysicalBus::Attach(std::uint32_t base, std::uint32_t size, BusDevice* device) {
  for (const Hit& hit : devices_) {
    if (base < hit.base + hit.size && hit.base < base + size) {
      Fault("physical range of " + std::string(device->DeviceName()) + " overlaps " +
            hit.device->DeviceName());
    }
  }
  devices_.push_back({device, base, size});
}

void PhysicalBus::DetachAll() { devices_.clear(); }

PhysicalBus::Hit PhysicalBus::Find(std::uint32_t physical) const {
  for (const Hit& hit : devices_) {
    if (physical >= hit.base && physical - hit.base < hit.size) {
      return hit;
    }
  }
  return {nullptr, 0, 0};
}

Mmu::Page& Mmu::MakePage(std::size_t index) {
  std::atomic<Page*>& slot = chunks_[index / kChunkPages];
  Page* chunk = slot.load(std::memory_order_relaxed);
  if (chunk == nullptr) {
    ownedChunks_.push_back(std::make_unique<Page[]>(kChunkPages));
    chunk = ownedChunks_.back().get();
    slot.store(chunk, std::memory_order_release);
  }
  return chunk[index % kChunkPages];
}

std::uintptr_t Mmu::Reserve(std::uint32_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::uint32_t count = (size + kPageSize - 1) / kPageSize;
  if (count == 0) {
    return 0;
  }
  // First fit over the gaps between reservations; one guard page separates neighbours.
  std::uintptr_t candidate = kBase;
  for (const auto& [base, pages] : reservations_) {
    if (candidate + std::uintptr_t{count} * kPageSize <= base) {
      break;
    }
    candidate = base + std::uintptr_t{pages + 1} * kPageSize;
  }
  if (candidate + std::uintptr_t{count} * kPageSize > kBase + kSpan) {
    return 0;
  }
  reservations_[candidate] = count;
  const std::size_t first = (candidate - kBase) / kPageSize;
  for (std::size_t i = 0; i < count; ++i) {
    MakePage(first + i) = Page{nullptr, 0, 0, true, false};
  }
  return candidate;
}

bool Mmu::Release(std::uintptr_t base) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = reservations_.find(base);
  if (it == reservations_.end()) {
    return false;
  }
  const std::size_t first = (base - kBase) / kPageSize;
  for (std::size_t i = 0; i < it->second; ++i) {
    *PageAt(first + i) = Page{};
  }
  reservations_.erase(it);
  return true;
}

bool Mmu::Map(std::uintptr_t virtualAddress, std::uint32_t physical, std::uint32_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!Contains(virtualAddress) || (virtualAddress & 0xFFF) != 0 || (physical & 0xFFF) != 0 ||
      size == 0 || (size & 0xFFF) != 0) {
    return false;
  }
  // The whole range must lie inside one reservation.
  auto it = reservations_.upper_bound(virtualAddress);
  if (it == reservations_.begin()) {
    return false;
  }
  --it;
  const std::uintptr_t end = it->first + std::uintptr_t{it->second} * kPageSize;
  if (virtualAddress + size > end) {
    return false;
  }
  const std::size_t first = (virtualAddress - kBase) / kPageSize;
  for (std::uint32_t i = 0; i < size / kPageSize; ++i) {
    const std::uint32_t pagePhysical = physical + i * kPageSize;
    const PhysicalBus::Hit hit = bus_.Find(pagePhysical);
    Page& page = *PageAt(first + i);
    page.device = hit.device;
    page.deviceOffset = pagePhysical - hit.base;
    page.physical = pagePhysical;
    page.mapped = true;
  }
  return true;
}

bool Mmu::IsReserved(std::uintptr_t address) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::uintptr_t index = (address - kBase) >> 12;
  const Page* page = Contains(address) ? PageAt(index) : nullptr;
  return page != nullptr && page->reserved;
}

std::size_t Mmu::ReservationCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return reservations_.size();
}

bool Mmu::PhysicalOf(std::uintptr_t address, std::uint32_t* physical) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::uintptr_t index = (address - kBase) >> 12;
  const Page* page = Contains(address) ? PageAt(index) : nullptr;
  if (page == nullptr || !page->mapped) {
    return false;
  }
  *physical = page->physical + static_cast<std::uint32_t>(address & 0xFFF);
  return true;
}

void Mmu::ReadBlock(std::uintptr_t address, void* destination, std::size_t bytes) {
  auto* out = static_cast<std::uint8_t*>(destination);
  while (bytes > 0) {
    const Page& page = Translate(address & ~std::uintptr_t{3}, 4);
    const std::uint32_t inPage = static_cast<std::uint32_t>(address & 0xFFF);
    const std::size_t take = std::min<std::size_t>(kPageSize - inPage, bytes);
    page.device->ReadBlock(page.deviceOffset + inPage, out, take);
    out += take;
    address += take;
    bytes -= take;
  }
}

void Mmu::FaultAt(std::uintptr_t address, std::uint32_t width) const {
  char text[160];
  std::snprintf(text, sizeof(text),
                "%u-byte access at virtual 0x%" PRIxPTR
                " is misaligned, unmapped or reaches no device (data abort)",
                width, address);
  Fault(text);
}

}  // namespace sim
