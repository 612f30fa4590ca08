// The storage manager's calls: registered while a process is attached to a module.
#pragma once

namespace sim {

// Hooks "\StoreMgr" and the fault plan's refused files into the file system and, on an image
// that exports the storage functions by name (Windows CE 6), adds them to "coredll.dll".
void RegisterStorageCalls(bool exportByName);
void WithdrawStorageCalls();

}  // namespace sim
