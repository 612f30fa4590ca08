// Forgets the program's process-wide state below the shell, as a new process on the module
// starts with it: library, CPLD and GPIO, flash operations, NAND driver, kernel-mode mapping.
#pragma once

#include "cpld/cpld_access.h"
#include "cpld/gpio_pins.h"
#include "flash/flash_ops.h"
#include "flash/kernel_mode.h"
#include "flash/nand_driver.h"
#include "library/library_internal.h"

namespace testing_support {

inline void ForgetProgramState() {
  ResetLibraryStateForTesting();
  ResetCpldStateForTesting();
  ResetGpioStateForTesting();
  FlashResetForTesting();
  NandResetForTesting();
  ResetKernelModeStateForTesting();
}

}  // namespace testing_support
