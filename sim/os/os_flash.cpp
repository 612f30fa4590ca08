#include "sim/os/os_flash.h"

namespace sim {
namespace {
OsFlash* currentOsFlash = nullptr;
}

OsFlash* CurrentOsFlash() { return currentOsFlash; }
void SetCurrentOsFlash(OsFlash* flash) { currentOsFlash = flash; }

}  // namespace sim
