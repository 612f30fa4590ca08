// The running OS's own flash driver view of the module's flash.
//
// The OS image drives the same chips as the program: its flash media driver and the storage
// manager's store, preset content written at module creation, and the OS-side checks of tests
// all go through this interface. It offers the flat logical byte space that the program's
// flash operations also present (for NAND: logical blocks mapped through the bad block table
// shared in "NAND_FLASH_BBMT", with the boot-area page layout), so what one side writes the
// other reads at the same offset. Each access takes the chips' busy time on the virtual clock.
// Callers hold "OnModuleFlash" around groups of accesses, as the OS driver does.
#pragma once

#include <cstdint>

namespace sim {

class OsFlash {
 public:
  virtual ~OsFlash() = default;
  // Usable bytes of the logical space.
  virtual std::uint32_t Size() = 0;
  // Erase-block size at a logical offset.
  virtual std::uint32_t BlockSize(std::uint32_t offset) = 0;
  virtual bool Read(std::uint32_t offset, void* buffer, std::uint32_t length) = 0;
  // Programs into erased flash (bits only go from 1 to 0).
  virtual bool Program(std::uint32_t offset, const void* buffer, std::uint32_t length) = 0;
  // Erases the block holding offset.
  virtual bool EraseBlock(std::uint32_t offset) = 0;
};

// The attached module's flash as the OS sees it; null when the module has no flash model.
OsFlash* CurrentOsFlash();
// Called by the flash model that serves the attached module (null to withdraw).
void SetCurrentOsFlash(OsFlash* flash);

// The OS driver's hold on "OnModuleFlash" for one group of flash accesses, the mutex the
// program's flash layer takes too, so that the two never drive the chips at once. It waits
// without a time limit, as the OS driver does. The caller's last error is kept.
class ModuleFlashLock {
 public:
  ModuleFlashLock();
  ~ModuleFlashLock();
  ModuleFlashLock(const ModuleFlashLock&) = delete;
  ModuleFlashLock& operator=(const ModuleFlashLock&) = delete;
  [[nodiscard]] bool Held() const { return held_; }
  // Drops the cached mutex handle (the process detaches from the module).
  static void Forget();

 private:
  bool held_ = false;
};

}  // namespace sim
