// Functions that the module's "coredll.dll" exports by name.
//
// LoadLibraryW("coredll.dll") and GetProcAddressW reach what is registered here. OS and device
// models add the entries that the image offers (the storage manager adds its store and
// partition functions); a name nobody registered cannot be resolved, as on an image built
// without it. The fault plan can make one name unresolvable: a call fault named
// "GetProcAddressW/<Name>".
#pragma once

#include <string_view>

#include "platform/types.h"

namespace sim {

// Adds (or replaces) an exported function for the life of the process. Call it from a static
// initialiser or a component's Attach.
void ExportFunction(std::string_view name, FARPROC address);
// Removes an export (a model that detaches).
void WithdrawFunction(std::string_view name);

// The exported function's address with the platform's calling shape, for models that register
// functions of other signatures. The cast goes through void (*)(), the one function type that
// compilers accept as a stand-in for any other without a cast-function-type warning; the caller
// casts back to the real signature, as GetProcAddress's callers do.
template <typename Function>
FARPROC AsExport(Function* function) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

}  // namespace sim
