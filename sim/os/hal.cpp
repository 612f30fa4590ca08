// The OS image's HAL I/O controls, as the module's image answers KernelIoControl.
//
// Request blocks that carry an address (platform query and store, kernel service) hold
// pointer-sized words on the host, in the module's field order; every other layout is the
// module's own.
#include <cstdio>
#include <cstring>

#include "platform/kernel.h"
#include "sim/hw/cpu.h"
#include "sim/module/machine.h"
#include "sim/module/preset_content.h"

namespace sim {
namespace {

constexpr DWORD kIoctlHalReboot = 0x0101003C;
constexpr DWORD kIoctlImageVersion = 0x0101200C;
constexpr DWORD kIoctlRegistryClear = 0x01012010;
constexpr DWORD kIoctlPlatformQuery = 0x01012028;
constexpr DWORD kIoctlPlatformStore = 0x0101202C;
constexpr DWORD kIoctlKernelService = 0x010120D0;

constexpr std::size_t kWord = sizeof(std::uintptr_t);

std::string CodeName(DWORD code) {
  char text[40];
  std::snprintf(text, sizeof(text), "KernelIoControl/0x%08X", code);
  return text;
}

std::uintptr_t WordAt(const void* buffer, std::size_t index) {
  std::uintptr_t word = 0;
  std::memcpy(&word, static_cast<const std::uint8_t*>(buffer) + index * kWord, kWord);
  return word;
}

// The image discards the persistent registry: the next boot erases the copy stored in flash and
// starts from default.reg.
bool ClearPersistentRegistry(Machine& machine) {
  std::string error;
  return WriteWholeFile(machine.Directory() / kRegistryClearedMarker, "cleared\n", &error);
}

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

BOOL PlatformItem(Machine& machine, bool store, LPVOID in, DWORD inSize, LPDWORD returned) {
  if (in == nullptr || inSize != 3 * kWord) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  const std::uintptr_t subCode = WordAt(in, 0);
  auto* item = reinterpret_cast<std::uint8_t*>(WordAt(in, 1));
  const std::uintptr_t size = WordAt(in, 2);
  if (item == nullptr || size == 0 || size > 4096) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  Json& items = machine.Config()["platformItems"];
  if (!items.is_object()) {
    items = Json::object();
  }
  const std::string key = std::to_string(subCode);
  // Board data and the hardware version live in the config block in flash, unless module.json
  // gives the item explicitly.
  if (IsConfigBlockItem(static_cast<std::uint32_t>(subCode)) && !items.contains(key)) {
    const bool done = store ? WriteConfigBlockItem(static_cast<std::uint32_t>(subCode), item,
                                                   static_cast<std::uint32_t>(size))
                            : ReadConfigBlockItem(static_cast<std::uint32_t>(subCode), item,
                                                  static_cast<std::uint32_t>(size));
    if (!done) {
      return Fail(ERROR_NOT_SUPPORTED);
    }
    if (returned != nullptr) {
      *returned = static_cast<DWORD>(size);
    }
    return TRUE;
  }
  if (!store) {
    if (!items.contains(key)) {
      return Fail(ERROR_NOT_SUPPORTED);
    }
    ConfigReader reader(machine.Config(), "module.json");
    bool present = false;
    std::vector<std::uint8_t> bytes = reader.HexBytes("platformItems." + key, &present);
    if (!present || bytes.size() != size) {
      return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(item, bytes.data(), bytes.size());
    if (returned != nullptr) {
      *returned = static_cast<DWORD>(bytes.size());
    }
    return TRUE;
  }
  // The store writes the item back to the configuration block (module.json here).
  if (items.contains(key)) {
    ConfigReader reader(machine.Config(), "module.json");
    bool present = false;
    if (reader.HexBytes("platformItems." + key, &present).size() != size) {
      return Fail(ERROR_INVALID_PARAMETER);
    }
  }
  std::string hex;
  for (std::uintptr_t i = 0; i < size; ++i) {
    char digits[3];
    std::snprintf(digits, sizeof(digits), "%02x", item[i]);
    hex += digits;
  }
  items[key] = hex;
  if (!machine.SaveConfig()) {
    return Fail(ERROR_WRITE_FAULT);
  }
  if (returned != nullptr) {
    *returned = static_cast<DWORD>(size);
  }
  return TRUE;
}

BOOL KernelService(Machine& machine, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                   LPDWORD returned) {
  if (in == nullptr || inSize < kWord) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  switch (WordAt(in, 0)) {
    case 0: {  // run routine(argument) in kernel mode
      if (inSize != 3 * kWord || out == nullptr || outSize != 4) {
        return Fail(ERROR_INVALID_PARAMETER);
      }
      auto routine = reinterpret_cast<std::uint32_t (*)(std::uintptr_t)>(WordAt(in, 1));
      if (routine == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
      }
      const std::uint32_t result = CallPrivileged(routine, WordAt(in, 2));
      std::memcpy(out, &result, 4);
      if (returned != nullptr) {
        *returned = 4;
      }
      return TRUE;
    }
    case 1: {  // VirtualCopy for the caller
      if (inSize != 5 * kWord || out == nullptr || outSize != 4) {
        return Fail(ERROR_INVALID_PARAMETER);
      }
      struct Request {
        std::uintptr_t destination, source, size, protect;
      } request{WordAt(in, 1), WordAt(in, 2), WordAt(in, 3), WordAt(in, 4)};
      auto copy = [](std::uintptr_t argument) -> std::uint32_t {
        const auto* r = reinterpret_cast<const Request*>(argument);
        return static_cast<std::uint32_t>(VirtualCopy(
            reinterpret_cast<LPVOID>(r->destination), reinterpret_cast<LPVOID>(r->source),
            static_cast<DWORD>(r->size), static_cast<DWORD>(r->protect)));
      };
      const std::uint32_t result = CallPrivileged(copy, reinterpret_cast<std::uintptr_t>(&request));
      std::memcpy(out, &result, 4);
      if (returned != nullptr) {
        *returned = 4;
      }
      return TRUE;
    }
    case 2: {  // platform query for mappings: a 200-byte block the caller does not interpret
      if (inSize != kWord || out == nullptr || outSize < 200) {
        return Fail(ERROR_INVALID_PARAMETER);
      }
      std::uint8_t reply[200] = {};
      const std::uint32_t words[] = {200, machine.MainId(), machine.Identity(),
                                     machine.OsVersion()};
      std::memcpy(reply, words, sizeof(words));
      std::memcpy(out, reply, sizeof(reply));
      if (returned != nullptr) {
        *returned = 200;
      }
      return TRUE;
    }
    default:
      return Fail(ERROR_INVALID_PARAMETER);
  }
}

}  // namespace
}  // namespace sim

BOOL KernelIoControl(DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                     LPDWORD returned) {
  sim::Machine& machine = sim::CurrentMachine();
  machine.Calls().Add("KernelIoControl", {code, inSize, outSize}, in, inSize);
  std::uint32_t error = ERROR_GEN_FAILURE;
  if (machine.Faults().FailCall("KernelIoControl", &error) ||
      machine.Faults().FailCall(sim::CodeName(code), &error)) {
    SetLastError(error);
    return FALSE;
  }
  switch (code) {
    case sim::kIoctlHalReboot:
      // A warm reset, or a cold one after SetCleanRebootFlag (input: 4 bytes of 0). On the
      // module the call does not come back; here the reset takes effect when the process ends.
      machine.RequestReset(machine.CleanBootRequested() ? sim::ResetKind::kCold
                                                        : sim::ResetKind::kWarm);
      machine.DebugLog(machine.CleanBootRequested() ? "HAL: cold reset" : "HAL: warm reset");
      return TRUE;
    case sim::kIoctlImageVersion: {
      // The running image reports the version record built into it. module.json may give
      // "imageVersion" in its place (an image built to report that), or null (an image without
      // the control).
      const sim::Json& config = machine.Config();
      const auto given = config.find("imageVersion");
      std::uint32_t record[3] = {};
      if (given != config.end()) {
        if (!given->is_object() || out == nullptr) {
          SetLastError(ERROR_NOT_SUPPORTED);
          return FALSE;
        }
        sim::ConfigReader reader(machine.Config(), "module.json");
        record[0] = static_cast<std::uint32_t>(reader.Unsigned("imageVersion.id", 0xFFFFFFFF));
        record[1] = static_cast<std::uint32_t>(reader.Unsigned("imageVersion.major", 0xFFFFFFFF));
        record[2] =
            static_cast<std::uint32_t>(reader.Unsigned("imageVersion.minor", 0xFFFF) |
                                       (reader.UnsignedOr("imageVersion.beta", 0xFFFF, 0) << 16));
      } else {
        const sim::BootLook& started = machine.Started();
        if (!started.versionKnown || out == nullptr) {
          SetLastError(ERROR_NOT_SUPPORTED);
          return FALSE;
        }
        record[0] = started.version.id;
        record[1] = started.version.major;
        record[2] = (started.version.minor & 0xFFFF) | (started.version.beta << 16);
      }
      // The image fills the 12-byte record whatever output size the caller gives.
      std::memcpy(out, record, sizeof(record));
      return TRUE;
    }
    case sim::kIoctlRegistryClear:
      machine.DebugLog("HAL: persistent registry cleared");
      return sim::ClearPersistentRegistry(machine) ? TRUE : FALSE;
    case sim::kIoctlPlatformQuery:
      return sim::PlatformItem(machine, false, in, inSize, returned);
    case sim::kIoctlPlatformStore:
      return sim::PlatformItem(machine, true, in, inSize, returned);
    case sim::kIoctlKernelService:
      return sim::KernelService(machine, in, inSize, out, outSize, returned);
    default:
      SetLastError(ERROR_NOT_SUPPORTED);
      return FALSE;
  }
}

void SetCleanRebootFlag() {
  sim::CurrentMachine().Calls().Add("SetCleanRebootFlag", {});
  sim::CurrentMachine().SetCleanBoot();
}
