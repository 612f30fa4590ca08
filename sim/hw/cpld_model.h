// The module's CPLD: a CoolRunner-II class part (64 macrocells) behind four processor pads.
//
// JTAG port (IEEE 1149.1): TMS and TDI are sampled and the TAP controller moves on the rising
// edge of TCK; TDO changes on the falling edge and is driven only in Shift-DR and Shift-IR, so
// the processor samples it before the next rising edge. The 8-bit instruction register selects
// IDCODE (0x01), USERCODE (0xFD), BYPASS (0xFF and every unused code), the boundary register
// (EXTEST 0x00, INTEST 0x02, SAMPLE 0x03) and the in-system programming instructions.
//
// In-system programming (IEEE 1532 style): ISC_ENABLE (0xE8) enters ISC mode, ISC_DISABLE (0xC0)
// leaves it. In ISC mode ISC_ERASE (0xED), ISC_PROGRAM (0xEA) and ISC_READ (0xEE) use a 281-bit
// data register: cells 0 to 273 of a row (bit 0 nearest TDO) and a 7-bit row address above them,
// Gray-coded and shifted in least significant bit last. An operation is armed by Update-DR and
// runs while the TAP stays in Run-Test/Idle; leaving Run-Test/Idle before it had its time cuts
// it: a cut erase or program changes no cell and a cut read returns zeros. Programming only
// clears cells (1 = erased), as on the silicon. ISC_READ captures the row read last.
//
// The fuse array has 98 rows; cells 0 to 31 of row 97 hold the user code (cell n = bit n). The
// array is kept in the module directory (module.json "cpld.fuses", one text line of 274 cells
// per row), and module.json "cpld.userCode" follows the array.
//
// The part runs from its active configuration, a copy of the array taken at power-up. A newly
// programmed array takes effect only as the part requires: in ISC mode, ISC_INIT (0xF0) with at
// least 20 us in Run-Test/Idle discharges, then ISC_INIT through Update-DR with at least 800 us
// in Run-Test/Idle loads the array, and ISC_DISABLE makes what was loaded the active
// configuration. Until then (or a power cycle) the part runs its old design, and USERCODE
// reports the active configuration's user code; ISC_READ reads the array. The active
// configuration lives while the module has power (ram/cpld-active.fuses when it differs from
// the array).
//
// Fault plan kinds: "cpld.absent" (no chip answers), "cpld.idcode" with "value" (the part
// reports another IDCODE), "cpld.row-fail" with "row" (that row does not program),
// "cpld.stuck-tdo" with "level" (TDO stuck at 0 or 1).
#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/hw/gpio.h"
#include "sim/hw/jtag_trace.h"
#include "sim/module/machine.h"

namespace sim {

inline constexpr unsigned kCpldRows = 98;
inline constexpr unsigned kCpldRowCells = 274;
inline constexpr unsigned kCpldUserCodeRow = 97;
// IDCODE without its 4-bit revision field (bits 28 to 31).
inline constexpr std::uint32_t kCpldIdCodePart = 0x06E5D093;

using CpldRow = std::bitset<kCpldRowCells>;

// TAP controller states in the XSVF numbering.
enum CpldTapState : int {
  kTapTestLogicReset = 0,
  kTapRunTestIdle = 1,
  kTapSelectDr = 2,
  kTapCaptureDr = 3,
  kTapShiftDr = 4,
  kTapExit1Dr = 5,
  kTapPauseDr = 6,
  kTapExit2Dr = 7,
  kTapUpdateDr = 8,
  kTapSelectIr = 9,
  kTapCaptureIr = 10,
  kTapShiftIr = 11,
  kTapExit1Ir = 12,
  kTapPauseIr = 13,
  kTapExit2Ir = 14,
  kTapUpdateIr = 15,
};

class CpldModel final : public Component, public PadDevice {
 public:
  CpldModel();
  const char* ComponentName() const override { return "cpld"; }
  bool Create(const PresetSpec& presetSpec, const fs::path& directory, Json& config,
              std::string* error) override;
  void Validate(ConfigReader& reader) override;
  std::span<const FaultKind* const> FaultKinds() const override;
  bool Attach(Machine& machine, std::string* error) override;
  void Detach(Machine& machine) override;
  void Describe(Machine& machine, Json& info) override;

  void PadLevelsChanged(const int* levels) override;
  [[nodiscard]] int PadDrive(unsigned index) const override;

  // Reads and writes a fuse file; false with a message naming the file (and line).
  static bool ReadFuseFile(const fs::path& file, std::vector<CpldRow>* rows, std::string* error);
  static bool WriteFuseFile(const fs::path& file, const std::vector<CpldRow>& rows,
                            std::string* error);

  // Records the JTAG pins into a VCD file until StopTrace (or detach).
  bool StartTrace(const fs::path& file, std::string* error);
  bool StopTrace(std::string* error = nullptr);

  // --- testing calls ---
  // The module has the CPLD's pads wired (a PXA3xx processor).
  [[nodiscard]] bool Wired() const { return wired_; }
  // The array's rows and user code, as ISC_READ reads them.
  [[nodiscard]] const CpldRow& Row(unsigned row);
  void SetRow(unsigned row, const CpldRow& cells);
  [[nodiscard]] std::uint32_t ArrayUserCode();
  // The active configuration's rows and user code, as the part runs and USERCODE reports them.
  [[nodiscard]] const CpldRow& ActiveRow(unsigned row);
  [[nodiscard]] std::uint32_t UserCode();
  [[nodiscard]] std::uint32_t IdCode() const;
  [[nodiscard]] int TapState() const { return state_; }
  [[nodiscard]] std::uint8_t Instruction() const { return instruction_; }
  [[nodiscard]] bool IscEnabled() const { return isc_; }
  [[nodiscard]] std::uint64_t TckPulses() const { return pulses_; }
  // While recording: every state the TAP enters on a rising edge, and the data register (as
  // big-endian hex of its bytes) at every Update-DR.
  void Record(bool on);
  [[nodiscard]] const std::vector<int>& States() const { return states_; }
  [[nodiscard]] const std::vector<std::string>& Updates() const { return updates_; }
  void ClearRecord();

 private:
  enum class DataRegister { kBypass, kIdCode, kUserCode, kBoundary, kIsc };
  enum class Operation { kNone, kErase, kProgram, kRead, kDischarge, kInitialize };

  void RefreshFaults();
  // A scan's capture while a fault plan item holds TDO stuck: the item fires.
  void StuckTdoObserved(const char* scan);
  void Rising();
  void Falling();
  void ResetTap();
  void SelectRegister();
  void CaptureDr();
  void ShiftDr();
  void UpdateDr();
  void Arm(Operation operation, std::uint64_t duration);
  void FailPending();
  void LeaveRunTestIdle();
  void Settle();
  void Commit();
  [[nodiscard]] bool Responds() const { return present_ && !absent_; }
  [[nodiscard]] unsigned AddressedRow() const;
  [[nodiscard]] std::string DataRegisterHex() const;
  [[nodiscard]] std::uint32_t UserCodeOfArray() const;
  [[nodiscard]] std::uint32_t UserCodeOfActive() const;
  static std::uint32_t UserCodeOf(const std::vector<CpldRow>& rows);
  [[nodiscard]] std::uint64_t Now() const;
  void SaveState(Machine& machine);

  Machine* machine_ = nullptr;
  VirtualClock* clock_ = nullptr;
  GpioModel* gpio_ = nullptr;
  bool wired_ = false;
  bool present_ = false;
  bool absent_ = false;
  int stuckTdo_ = kPadUndriven;
  std::optional<std::uint32_t> idCodeFault_;
  std::uint32_t revision_ = 0;
  std::uint32_t attachedUserCode_ = 0;

  std::vector<CpldRow> rows_;
  fs::path fuseFile_;
  bool dirty_ = false;
  // The configuration the part runs, and what ISC_INIT loaded for ISC_DISABLE to make active.
  std::vector<CpldRow> active_;
  std::vector<CpldRow> loaded_;
  bool discharged_ = false;  // ISC_INIT's discharge done since the array last changed

  // Pins and TAP controller.
  int lastTck_ = -1;
  int tms_ = 1;
  int tdi_ = 1;
  int tdo_ = kPadUndriven;
  int state_ = kTapTestLogicReset;
  std::uint8_t irShift_ = 0;
  std::uint8_t instruction_ = 0x01;
  bool isc_ = false;
  DataRegister register_ = DataRegister::kIdCode;
  unsigned drLength_ = 32;
  std::array<std::uint64_t, 5> dr_{};  // bit 0 is next out on TDO

  // The ISC operation armed by the last Update-DR.
  Operation pending_ = Operation::kNone;
  unsigned pendingRow_ = 0;
  CpldRow pendingCells_;
  std::uint64_t pendingNeeds_ = 0;
  std::uint64_t pendingHad_ = 0;
  std::uint64_t idleSince_ = 0;
  int readRow_ = -1;  // row latched by the last completed read, -1 when none

  std::uint64_t pulses_ = 0;
  bool recording_ = false;
  std::vector<int> states_;
  std::vector<std::string> updates_;
  JtagTrace trace_;
  // What the module's RAM files hold as this process last read or wrote them: a detach that
  // changed nothing leaves them as they are.
  std::string stateOnFile_;
  std::vector<CpldRow> activeOnFile_;
};

}  // namespace sim
