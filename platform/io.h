// Register windows and processor accessors.
//
// On the module a mapped register window is a `volatile DWORD*` into uncached memory. The
// program uses IoPointer for it: 32-bit reads and writes at byte offsets and a bulk copy out.
// On a development host every access goes through the virtual module's page table to the device
// model at that physical address; an access outside a mapped window, or one that is not 32-bit
// aligned, is a fault as it would be on the chip.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/types.h"

// Host side of a register access (implemented by the virtual module).
DWORD PlatformRead32(std::uintptr_t address);
void PlatformWrite32(std::uintptr_t address, DWORD value);
void PlatformReadBlock(std::uintptr_t address, void* destination, size_t bytes);

class IoPointer {
 public:
  constexpr IoPointer() = default;
  explicit IoPointer(LPVOID address) : address_(reinterpret_cast<std::uintptr_t>(address)) {}
  explicit constexpr IoPointer(std::uintptr_t address) : address_(address) {}

  [[nodiscard]] constexpr std::uintptr_t Address() const { return address_; }
  [[nodiscard]] LPVOID AsVoid() const { return reinterpret_cast<LPVOID>(address_); }
  explicit constexpr operator bool() const { return address_ != 0; }
  constexpr IoPointer operator+(std::uintptr_t bytes) const { return IoPointer(address_ + bytes); }
  constexpr bool operator==(const IoPointer&) const = default;

  // 32-bit read at byteOffset from this pointer.
  [[nodiscard]] DWORD Read32(std::uintptr_t byteOffset = 0) const {
    return PlatformRead32(address_ + byteOffset);
  }
  void Write32(std::uintptr_t byteOffset, DWORD value) const {
    PlatformWrite32(address_ + byteOffset, value);
  }
  // Copies bytes out of the window (memcpy from uncached memory on the module).
  void ReadBlock(std::uintptr_t byteOffset, void* destination, size_t bytes) const {
    PlatformReadBlock(address_ + byteOffset, destination, bytes);
  }

 private:
  std::uintptr_t address_ = 0;
};

// ---------------------------------------------------------------------------------------------
// Processor register accessors (one instruction each on the module). All but ReadCpsr trap
// with an undefined-instruction exception in user mode: call them through the kernel-mode call.
// ---------------------------------------------------------------------------------------------
DWORD ReadCpsr();
DWORD ReadClockConfig();
void WriteClockConfig(DWORD value);
DWORD ReadPowerMode();
void WritePowerMode(DWORD value);
DWORD ReadPerfMonControl();
void WritePerfMonControl(DWORD value);
DWORD ReadCycleCounter();
DWORD ReadMainId();
DWORD ReadProductNumber();
DWORD IsL2CacheEnabled();
