#include "sim/hw/cpld_model.h"

#include <cstdio>
#include <random>
#include <string_view>

#include "sim/base/hex.h"
#include "sim/hw/cpu.h"

namespace sim {
namespace {

CpldModel instance;

// Instruction codes of the part (8-bit instruction register).
constexpr std::uint8_t kExtest = 0x00;
constexpr std::uint8_t kIdCodeInstruction = 0x01;
constexpr std::uint8_t kIntest = 0x02;
constexpr std::uint8_t kSample = 0x03;
constexpr std::uint8_t kIscDisable = 0xC0;
constexpr std::uint8_t kIscEnableOnTheFly = 0xE4;
constexpr std::uint8_t kIscEnable = 0xE8;
constexpr std::uint8_t kIscEnableClamp = 0xE9;
constexpr std::uint8_t kIscProgram = 0xEA;
constexpr std::uint8_t kIscErase = 0xED;
constexpr std::uint8_t kIscRead = 0xEE;
constexpr std::uint8_t kIscInit = 0xF0;
constexpr std::uint8_t kUserCodeInstruction = 0xFD;

constexpr unsigned kBoundaryLength = 192;           // boundary register of the 44-pin package
constexpr unsigned kIscLength = kCpldRowCells + 7;  // 274 cells and a 7-bit row address

// Times the array needs, from the part's programming data sheet.
constexpr std::uint64_t kEraseNanoseconds = 100 * kMillisecond;   // bulk erase
constexpr std::uint64_t kProgramNanoseconds = 10 * kMillisecond;  // one row
constexpr std::uint64_t kReadNanoseconds = 20 * kMicrosecond;     // row read into the latch
// ISC_INIT: the discharge before a load, and the load of the array into the configuration.
constexpr std::uint64_t kDischargeNanoseconds = 20 * kMicrosecond;
constexpr std::uint64_t kInitializeNanoseconds = 800 * kMicrosecond;

constexpr const char* kActiveFile = "cpld-active.fuses";  // in ram/: the running configuration

// Pads of the JTAG port (TCK, TMS, TDI, TDO), by processor identity.
bool JtagPads(std::uint32_t identity, std::vector<unsigned>* pads) {
  switch (identity) {
    case kProcessorPxa320:
      *pads = {83, 129, 86, 85};  // TMS on the second pad of GPIO1
      return true;
    case kProcessorPxa300:
    case kProcessorPxa310:
      *pads = {85, 84, 88, 87};
      return true;
    default:
      return false;
  }
}

// IEEE 1149.1 TAP controller: next state by current state and TMS.
constexpr int kNext[16][2] = {
    {kTapRunTestIdle, kTapTestLogicReset},
    {kTapRunTestIdle, kTapSelectDr},
    {kTapCaptureDr, kTapSelectIr},
    {kTapShiftDr, kTapExit1Dr},
    {kTapShiftDr, kTapExit1Dr},
    {kTapPauseDr, kTapUpdateDr},
    {kTapPauseDr, kTapExit2Dr},
    {kTapShiftDr, kTapUpdateDr},
    {kTapRunTestIdle, kTapSelectDr},
    {kTapCaptureIr, kTapTestLogicReset},
    {kTapShiftIr, kTapExit1Ir},
    {kTapShiftIr, kTapExit1Ir},
    {kTapPauseIr, kTapUpdateIr},
    {kTapPauseIr, kTapExit2Ir},
    {kTapShiftIr, kTapUpdateIr},
    {kTapRunTestIdle, kTapSelectDr},
};

const char* const kStateNames[16] = {
    "Test-Logic-Reset", "Run-Test/Idle",  "Select-DR-Scan", "Capture-DR",
    "Shift-DR",         "Exit1-DR",       "Pause-DR",       "Exit2-DR",
    "Update-DR",        "Select-IR-Scan", "Capture-IR",     "Shift-IR",
    "Exit1-IR",         "Pause-IR",       "Exit2-IR",       "Update-IR",
};

bool IsPlainFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of("/\\") == std::string::npos;
}

std::uint32_t DefaultUserCode() { return 0x00010003; }  // version 1.3 of the module's design

// ---------------------------------------------------------------------------------------------
// The fault plan kinds of the part
// ---------------------------------------------------------------------------------------------
constexpr FaultField kIdCodeFields[] = {
    {.name = "value", .required = true, .help = "the IDCODE the part reports", .hex = true}};
constexpr FaultField kRowFailFields[] = {
    {.name = "row", .required = true, .maximum = kCpldRows - 1, .help = "the fuse row"}};
constexpr FaultField kStuckTdoFields[] = {
    {.name = "level", .maximum = 1, .help = "the level TDO is stuck at (0 unless given)"}};
constexpr FaultKind kAbsent{.name = "cpld.absent", .help = "no part answers on the JTAG pins"};
constexpr FaultKind kIdCodeFault{
    .name = "cpld.idcode", .help = "the part reports another IDCODE", .fields = kIdCodeFields};
constexpr FaultKind kRowFail{.name = "cpld.row-fail",
                             .help = "programming the row leaves its cells as they were",
                             .fields = kRowFailFields,
                             .counted = true,
                             .defaultCount = -1};
constexpr FaultKind kStuckTdo{
    .name = "cpld.stuck-tdo", .help = "TDO is stuck at one level", .fields = kStuckTdoFields};
constexpr const FaultKind* kFaultKinds[] = {&kAbsent, &kIdCodeFault, &kRowFail, &kStuckTdo};

}  // namespace

std::span<const FaultKind* const> CpldModel::FaultKinds() const { return kFaultKinds; }

CpldModel::CpldModel() { RegisterComponent(this); }

// ---------------------------------------------------------------------------------------------
// Module creation and configuration
// ---------------------------------------------------------------------------------------------
bool CpldModel::Create(const PresetSpec& presetSpec, const fs::path& directory, Json& config,
                       std::string* error) {
  std::vector<unsigned> pads;
  if (!JtagPads(presetSpec.identity, &pads)) {
    return true;  // PXA27x modules carry no CPLD
  }
  // The design the module leaves the factory with: a fixed pseudo-random pattern of programmed
  // cells, the done cell of row 96 programmed and the user code in row 97.
  std::vector<CpldRow> rows(kCpldRows);
  std::mt19937 random(0xC0DE);
  for (unsigned row = 0; row < 96; ++row) {
    for (unsigned cell = 0; cell < kCpldRowCells; ++cell) {
      rows[row][cell] = (random() & 3) != 0;
    }
  }
  rows[96].set();
  rows[96][265] = false;
  rows[kCpldUserCodeRow].set();
  for (unsigned bit = 0; bit < 32; ++bit) {
    rows[kCpldUserCodeRow][bit] = ((DefaultUserCode() >> bit) & 1) != 0;
  }
  if (!WriteFuseFile(directory / "cpld.fuses", rows, error)) {
    return false;
  }
  config["cpld"] = {
      {"present", true},
      {"revision", 1},
      {"userCode", Hex(DefaultUserCode(), 8)},
      {"fuses", "cpld.fuses"},
  };
  return true;
}

void CpldModel::Validate(ConfigReader& reader) {
  if (const Json* cpld = reader.Find("cpld"); cpld != nullptr) {
    if (!cpld->is_object()) {
      reader.Error("cpld", "must be an object (present, revision, userCode, fuses)");
    } else {
      reader.Boolean("cpld.present", true);
      reader.UnsignedOr("cpld.revision", 15, 0);
      reader.UnsignedOr("cpld.userCode", 0xFFFFFFFF, 0);
      for (const char* field : {"cpld.fuses", "cpld.trace"}) {
        if (reader.Find(field) != nullptr) {
          const std::string name = reader.String(field);
          if (reader.Ok() && !IsPlainFileName(name)) {
            reader.Error(field, "must name a file in the module directory (no path)");
          }
        }
      }
    }
  }
}

bool CpldModel::ReadFuseFile(const fs::path& file, std::vector<CpldRow>* rows, std::string* error) {
  std::string text;
  if (!ReadWholeFile(file, &text)) {
    *error = file.string() + ": missing or unreadable (the CPLD's fuse array)";
    return false;
  }
  std::vector<CpldRow> result;
  result.reserve(kCpldRows);
  std::string_view rest(text);
  unsigned lineNumber = 0;
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') {
      line.remove_suffix(1);
    }
    if (line.empty() || line[0] == '#') {
      continue;
    }
    const auto where = [&] {
      return file.string() + ": line " + std::to_string(lineNumber) + ": ";
    };
    const std::size_t space = line.find(' ');
    std::uint64_t number = 0;
    if (space == std::string_view::npos ||
        !ParseUnsigned(Json(std::string(line.substr(0, space))), &number)) {
      *error = where() + "expected a row number, a space and " + std::to_string(kCpldRowCells) +
               " cells";
      return false;
    }
    if (number != result.size()) {
      *error = where() + "row " + std::to_string(number) + " where row " +
               std::to_string(result.size()) + " was expected";
      return false;
    }
    if (result.size() == kCpldRows) {
      *error = where() + "more than " + std::to_string(kCpldRows) + " rows";
      return false;
    }
    const std::string_view cells = line.substr(space + 1);
    CpldRow row;
    bool valid = cells.size() == kCpldRowCells;
    for (unsigned cell = 0; valid && cell < kCpldRowCells; ++cell) {
      valid = cells[cell] == '0' || cells[cell] == '1';
      row[cell] = cells[cell] == '1';
    }
    if (!valid) {
      *error = where() + "a row holds exactly " + std::to_string(kCpldRowCells) +
               " cells written as 0 or 1";
      return false;
    }
    result.push_back(row);
  }
  if (result.size() != kCpldRows) {
    *error = file.string() + ": " + std::to_string(result.size()) + " rows where " +
             std::to_string(kCpldRows) + " were expected";
    return false;
  }
  *rows = std::move(result);
  return true;
}

bool CpldModel::WriteFuseFile(const fs::path& file, const std::vector<CpldRow>& rows,
                              std::string* error) {
  std::string text =
      "# CPLD fuse array: 98 rows of 274 cells, cell 0 first; 1 = erased, 0 = programmed.\n"
      "# Cells 0 to 31 of row 97 hold the user code (cell n = bit n).\n";
  for (std::size_t row = 0; row < rows.size(); ++row) {
    char line[8 + kCpldRowCells];
    const int length = std::snprintf(line, 8, "%02u ", static_cast<unsigned>(row % 1000));
    char* cells = line + length;
    for (unsigned cell = 0; cell < kCpldRowCells; ++cell) {
      cells[cell] = rows[row][cell] ? '1' : '0';
    }
    cells[kCpldRowCells] = '\n';
    text.append(line, static_cast<std::size_t>(length) + kCpldRowCells + 1);
  }
  return WriteWholeFile(file, text, error);
}

// ---------------------------------------------------------------------------------------------
// Attach and detach
// ---------------------------------------------------------------------------------------------
bool CpldModel::Attach(Machine& machine, std::string* error) {
  machine_ = &machine;
  clock_ = &machine.Clock();
  gpio_ = nullptr;
  present_ = false;
  absent_ = false;
  stuckTdo_ = kPadUndriven;
  idCodeFault_.reset();
  rows_.assign(kCpldRows, CpldRow().set());
  fuseFile_.clear();
  dirty_ = false;
  active_ = rows_;
  loaded_.clear();
  discharged_ = false;
  lastTck_ = -1;
  tdo_ = kPadUndriven;
  pending_ = Operation::kNone;
  readRow_ = -1;
  pulses_ = 0;
  recording_ = false;
  states_.clear();
  updates_.clear();
  std::vector<unsigned> pads;
  wired_ = JtagPads(machine.Identity(), &pads);
  if (!wired_) {
    return true;
  }
  ConfigReader reader(machine.Config(), "module.json");
  const bool hasSection = reader.Find("cpld") != nullptr;
  present_ = hasSection && reader.Boolean("cpld.present", true);
  revision_ = static_cast<std::uint32_t>(reader.UnsignedOr("cpld.revision", 15, 0));
  if (const Json* fuses = reader.Find("cpld.fuses"); fuses != nullptr && fuses->is_string()) {
    fuseFile_ = machine.Directory() / fuses->get<std::string>();
    if (!ReadFuseFile(fuseFile_, &rows_, error)) {
      return false;
    }
  }
  // module.json names the user code the module was made with; it is held by the array.
  if (reader.Find("cpld.userCode") != nullptr) {
    const auto userCode =
        static_cast<std::uint32_t>(reader.UnsignedOr("cpld.userCode", 0xFFFFFFFF, 0));
    if (userCode != UserCodeOfArray()) {
      for (unsigned bit = 0; bit < 32; ++bit) {
        rows_[kCpldUserCodeRow][bit] = ((userCode >> bit) & 1) != 0;
      }
      dirty_ = true;
    }
  }
  attachedUserCode_ = UserCodeOfArray();

  // The TAP controller, the ISC mode and the active configuration keep their state while the
  // module has power; at power-up the part loads its configuration from the array.
  state_ = kTapTestLogicReset;
  instruction_ = kIdCodeInstruction;
  isc_ = false;
  active_ = rows_;
  std::string text;
  stateOnFile_.clear();
  activeOnFile_.clear();
  if (ReadWholeFile(machine.RamDirectory() / "cpld.json", &text)) {
    stateOnFile_ = text;
    const Json saved = Json::parse(text, nullptr, false);
    std::uint64_t state = 0;
    std::uint64_t instruction = 0;
    if (saved.is_object() && saved.contains("state") && ParseUnsigned(saved["state"], &state) &&
        state < 16 && saved.contains("instruction") &&
        ParseUnsigned(saved["instruction"], &instruction) && instruction <= 0xFF) {
      state_ = static_cast<int>(state);
      instruction_ = static_cast<std::uint8_t>(instruction);
      isc_ = saved.contains("isc") && saved["isc"].is_boolean() && saved["isc"].get<bool>();
      const fs::path activeFile = machine.RamDirectory() / kActiveFile;
      std::string ignored;
      std::vector<CpldRow> active;
      if (fs::exists(activeFile) && ReadFuseFile(activeFile, &active, &ignored)) {
        active_ = std::move(active);
        activeOnFile_ = active_;
      }
    }
  }
  SelectRegister();
  RefreshFaults();

  gpio_ = Machine::Get<GpioModel>("gpio");
  if (gpio_ == nullptr) {
    *error = "the CPLD model needs the GPIO model";
    return false;
  }
  if (const Json* trace = reader.Find("cpld.trace"); trace != nullptr && trace->is_string()) {
    if (!StartTrace(machine.Directory() / trace->get<std::string>(), error)) {
      return false;
    }
  }
  gpio_->Connect(this, pads, 3);  // TCK, TMS and TDI in; TDO out
  return true;
}

void CpldModel::SaveState(Machine& machine) {
  const Json state = {{"state", state_}, {"instruction", instruction_}, {"isc", isc_}};
  std::string ignored;
  const fs::path activeFile = machine.RamDirectory() / kActiveFile;
  if (active_ == rows_) {
    std::error_code gone;
    fs::remove(activeFile, gone);
    activeOnFile_.clear();
  } else if (active_ != activeOnFile_) {
    if (WriteFuseFile(activeFile, active_, &ignored)) {
      activeOnFile_ = active_;
    } else {
      machine.DebugLog("CPLD: " + ignored);
    }
  }
  std::string text = state.dump();
  if (text != stateOnFile_ &&
      WriteWholeFile(machine.RamDirectory() / "cpld.json", text, &ignored)) {
    stateOnFile_ = std::move(text);
  }
}

void CpldModel::Detach(Machine& machine) {
  if (!wired_) {
    machine_ = nullptr;
    return;
  }
  Settle();
  StopTrace();
  if (gpio_ != nullptr) {
    gpio_->Disconnect();
  }
  std::string error;
  if (dirty_ && !fuseFile_.empty() && !WriteFuseFile(fuseFile_, rows_, &error)) {
    machine.DebugLog("CPLD: " + error);
  }
  dirty_ = false;
  const std::uint32_t userCode = UserCodeOfArray();
  if (userCode != attachedUserCode_ && machine.Config().contains("cpld")) {
    machine.Config()["cpld"]["userCode"] = Hex(userCode, 8);
    if (!machine.SaveConfig(&error)) {
      machine.DebugLog("CPLD: " + error);
    }
  }
  SaveState(machine);
  machine_ = nullptr;
  gpio_ = nullptr;
}

void CpldModel::Describe(Machine& /*machine*/, Json& info) {
  if (!wired_) {
    info["cpld"] = "none (no CPLD on this processor's modules)";
    return;
  }
  Settle();
  info["cpld"] = {
      {"present", Responds()},
      {"idcode", Hex(IdCode(), 8)},
      {"userCode", Hex(UserCodeOfActive(), 8)},
      {"arrayUserCode", Hex(UserCodeOfArray(), 8)},
      {"runsTheArray", active_ == rows_},
      {"tapState", kStateNames[state_]},
      {"iscMode", isc_},
  };
}

bool CpldModel::StartTrace(const fs::path& file, std::string* error) {
  if (clock_ == nullptr) {
    *error = "no module is attached";
    return false;
  }
  if (!trace_.Open(file, Now(), error)) {
    return false;
  }
  if (lastTck_ >= 0) {
    trace_.Record(Now(), lastTck_, tms_, tdi_, PadDrive(3), state_);  // the pins as they are
  }
  return true;
}

bool CpldModel::StopTrace(std::string* error) { return trace_.Close(error); }

// ---------------------------------------------------------------------------------------------
// Pins and TAP controller
// ---------------------------------------------------------------------------------------------
void CpldModel::RefreshFaults() {
  FaultPlan& faults = machine_->Faults();
  absent_ = faults.Holds(kAbsent);
  stuckTdo_ = kPadUndriven;
  for (const FaultPlan::ItemRef& item : faults.Items(kStuckTdo)) {
    stuckTdo_ = item->Unsigned("level") != 0 ? 1 : 0;
  }
  idCodeFault_.reset();
  for (const FaultPlan::ItemRef& item : faults.Items(kIdCodeFault)) {
    idCodeFault_ = static_cast<std::uint32_t>(item->Unsigned("value"));
  }
}

void CpldModel::StuckTdoObserved(const char* scan) {
  if (stuckTdo_ != kPadUndriven) {
    (void)machine_->Faults().Fire(
        kStuckTdo, [](const FaultItem&) { return true; },
        [&] { return std::string(scan) + " with TDO stuck at " + std::to_string(stuckTdo_); });
  }
}

void CpldModel::PadLevelsChanged(const int* levels) {
  const int tck = levels[0];
  tms_ = levels[1];
  tdi_ = levels[2];
  if (lastTck_ < 0) {
    lastTck_ = tck;  // first look at the pins: no edge
  } else if (tck != lastTck_) {
    lastTck_ = tck;
    if (Responds()) {
      if (tck != 0) {
        Rising();
      } else {
        Falling();
      }
    } else if (tck != 0 && absent_) {
      RefreshFaults();  // the chip may come back when the fault is taken away
      if (absent_) {
        (void)machine_->Faults().Fire(
            kAbsent, [](const FaultItem&) { return true; },
            [] { return std::string("a TCK pulse that no part answers"); });
      }
    }
  }
  if (trace_.IsOpen()) {
    trace_.Record(Now(), tck, tms_, tdi_, PadDrive(3), state_);
  }
}

int CpldModel::PadDrive(unsigned index) const {
  if (index != 3) {
    return kPadUndriven;  // TCK, TMS and TDI are inputs of the part
  }
  if (stuckTdo_ != kPadUndriven) {
    return stuckTdo_;
  }
  return Responds() ? tdo_ : kPadUndriven;
}

void CpldModel::Rising() {
  ++pulses_;
  switch (state_) {
    case kTapCaptureDr:
      CaptureDr();
      break;
    case kTapShiftDr:
      ShiftDr();
      break;
    case kTapCaptureIr:
      RefreshFaults();
      StuckTdoObserved("instruction scan");
      FailPending();
      // The two low bits capture 01 as IEEE 1149.1 requires; bit 2 shows ISC mode.
      irShift_ = static_cast<std::uint8_t>(0x01 | (isc_ ? 0x04 : 0));
      break;
    case kTapShiftIr:
      irShift_ = static_cast<std::uint8_t>((irShift_ >> 1) | (tdi_ << 7));
      break;
    default:
      break;
  }
  const int next = kNext[state_][tms_ != 0 ? 1 : 0];
  if (state_ == kTapRunTestIdle && next != kTapRunTestIdle) {
    LeaveRunTestIdle();
  } else if (next == kTapRunTestIdle && state_ != kTapRunTestIdle) {
    idleSince_ = Now();
  }
  state_ = next;
  if (next == kTapTestLogicReset) {
    ResetTap();
  }
  if (recording_) {
    states_.push_back(next);
  }
}

void CpldModel::Falling() {
  if (state_ == kTapUpdateIr) {
    instruction_ = irShift_;
    FailPending();
    if (instruction_ == kIscEnable || instruction_ == kIscEnableOnTheFly ||
        instruction_ == kIscEnableClamp) {
      if (!isc_) {
        loaded_.clear();
        discharged_ = false;
      }
      isc_ = true;
    } else if (instruction_ == kIscDisable) {
      // Leaving ISC mode starts what ISC_INIT loaded; without a load the old design runs on.
      if (isc_ && !loaded_.empty()) {
        active_ = std::move(loaded_);
      }
      loaded_.clear();
      discharged_ = false;
      isc_ = false;
    }
    SelectRegister();
    if (isc_ && instruction_ == kIscInit) {
      Arm(Operation::kDischarge, kDischargeNanoseconds);  // runs in Run-Test/Idle
    }
  } else if (state_ == kTapUpdateDr) {
    UpdateDr();
  }
  if (state_ == kTapShiftDr) {
    tdo_ = static_cast<int>(dr_[0] & 1);
  } else if (state_ == kTapShiftIr) {
    tdo_ = irShift_ & 1;
  } else {
    tdo_ = kPadUndriven;
  }
}

void CpldModel::ResetTap() {
  RefreshFaults();
  FailPending();
  instruction_ = kIdCodeInstruction;
  SelectRegister();
}

void CpldModel::SelectRegister() {
  switch (instruction_) {
    case kIdCodeInstruction:
      register_ = DataRegister::kIdCode;
      drLength_ = 32;
      break;
    case kUserCodeInstruction:
      register_ = DataRegister::kUserCode;
      drLength_ = 32;
      break;
    case kExtest:
    case kIntest:
    case kSample:
      register_ = DataRegister::kBoundary;
      drLength_ = kBoundaryLength;
      break;
    case kIscProgram:
    case kIscErase:
    case kIscRead:
    case kIscInit:
      if (isc_) {
        register_ = DataRegister::kIsc;
        drLength_ = kIscLength;
        break;
      }
      [[fallthrough]];  // outside ISC mode these act as BYPASS
    default:
      register_ = DataRegister::kBypass;
      drLength_ = 1;
      break;
  }
  dr_ = {};
}

void CpldModel::CaptureDr() {
  RefreshFaults();
  StuckTdoObserved("data scan");
  FailPending();
  switch (register_) {
    case DataRegister::kBypass:
    case DataRegister::kBoundary:
      dr_ = {};
      break;
    case DataRegister::kIdCode:
      if (const FaultPlan::ItemRef item = machine_->Faults().Fire(
              kIdCodeFault, [](const FaultItem&) { return true; },
              [] { return std::string("IDCODE capture"); })) {
        dr_ = {item->Unsigned("value")};
      } else {
        dr_ = {IdCode()};
      }
      break;
    case DataRegister::kUserCode:
      dr_ = {UserCodeOfActive()};
      break;
    case DataRegister::kIsc:
      if (instruction_ == kIscRead) {
        const bool valid = readRow_ >= 0 && readRow_ < static_cast<int>(kCpldRows);
        for (unsigned cell = 0; cell < kCpldRowCells; ++cell) {
          const bool on = valid && rows_[static_cast<std::size_t>(readRow_)][cell];
          const std::uint64_t bit = std::uint64_t{1} << (cell & 63);
          dr_[cell >> 6] = on ? dr_[cell >> 6] | bit : dr_[cell >> 6] & ~bit;
        }
      }
      break;
  }
}

void CpldModel::ShiftDr() {
  const unsigned words = (drLength_ + 63) / 64;
  for (unsigned i = 0; i + 1 < words; ++i) {
    dr_[i] = (dr_[i] >> 1) | (dr_[i + 1] << 63);
  }
  dr_[words - 1] >>= 1;
  const unsigned top = drLength_ - 1;
  if (tdi_ != 0) {
    dr_[top >> 6] |= std::uint64_t{1} << (top & 63);
  }
}

void CpldModel::UpdateDr() {
  if (recording_) {
    updates_.push_back(DataRegisterHex());
  }
  if (register_ != DataRegister::kIsc) {
    return;
  }
  switch (instruction_) {
    case kIscErase:
      Arm(Operation::kErase, kEraseNanoseconds);
      break;
    case kIscProgram:
      Arm(Operation::kProgram, kProgramNanoseconds);
      break;
    case kIscRead:
      Arm(Operation::kRead, kReadNanoseconds);
      readRow_ = -1;
      break;
    case kIscInit:
      Arm(Operation::kInitialize, kInitializeNanoseconds);
      break;
    default:
      break;
  }
}

// ---------------------------------------------------------------------------------------------
// ISC operations
// ---------------------------------------------------------------------------------------------
unsigned CpldModel::AddressedRow() const {
  // The address sits in bits 274 to 280, its most significant bit shifted in first (bit 280 is
  // its least significant); rows follow each other in Gray code.
  unsigned gray = 0;
  for (unsigned i = 0; i < 7; ++i) {
    const unsigned bit = kIscLength - 1 - i;
    gray |= static_cast<unsigned>((dr_[bit >> 6] >> (bit & 63)) & 1) << i;
  }
  unsigned row = gray;
  row ^= row >> 1;
  row ^= row >> 2;
  row ^= row >> 4;
  return row;
}

void CpldModel::Arm(Operation operation, std::uint64_t duration) {
  FailPending();
  pending_ = operation;
  pendingNeeds_ = duration;
  pendingHad_ = 0;
  pendingRow_ = AddressedRow();
  if (operation == Operation::kProgram) {
    for (unsigned cell = 0; cell < kCpldRowCells; ++cell) {
      pendingCells_[cell] = ((dr_[cell >> 6] >> (cell & 63)) & 1) != 0;
    }
  }
}

void CpldModel::FailPending() {
  // An operation that never had its time in Run-Test/Idle does nothing.
  pending_ = Operation::kNone;
}

void CpldModel::LeaveRunTestIdle() {
  if (pending_ == Operation::kNone) {
    return;
  }
  pendingHad_ += Now() - idleSince_;
  if (pendingHad_ >= pendingNeeds_) {
    Commit();
  }
  pending_ = Operation::kNone;
}

void CpldModel::Settle() {
  if (pending_ == Operation::kNone || state_ != kTapRunTestIdle || clock_ == nullptr) {
    return;
  }
  if (pendingHad_ + (Now() - idleSince_) >= pendingNeeds_) {
    Commit();
    pending_ = Operation::kNone;
  }
}

void CpldModel::Commit() {
  switch (pending_) {
    case Operation::kErase:
      for (CpldRow& row : rows_) {
        row.set();
      }
      dirty_ = true;
      discharged_ = false;
      break;
    case Operation::kProgram: {
      if (pendingRow_ >= kCpldRows) {
        break;  // no such row
      }
      if (machine_->Faults().Fire(
              kRowFail, [&](const FaultItem& item) { return item.Unsigned("row") == pendingRow_; },
              [&] { return "program of row " + std::to_string(pendingRow_); }) != nullptr) {
        return;  // the row's cells do not take the charge
      }
      // Programming only ever clears cells.
      rows_[pendingRow_] &= pendingCells_;
      dirty_ = true;
      discharged_ = false;
      break;
    }
    case Operation::kRead:
      readRow_ = pendingRow_ < kCpldRows ? static_cast<int>(pendingRow_) : -1;
      break;
    case Operation::kDischarge:
      discharged_ = true;
      break;
    case Operation::kInitialize:
      if (discharged_) {
        loaded_ = rows_;
      } else if (machine_ != nullptr) {
        machine_->DebugLog("CPLD: ISC_INIT load without its discharge first: nothing loaded");
      }
      break;
    case Operation::kNone:
      break;
  }
}

// ---------------------------------------------------------------------------------------------
// Values
// ---------------------------------------------------------------------------------------------
std::uint64_t CpldModel::Now() const {
  // The GPIO block's view includes the bus time of the accesses that moved the pins.
  return gpio_ != nullptr ? gpio_->Now() : clock_->Now();
}

std::uint32_t CpldModel::IdCode() const {
  return idCodeFault_ ? *idCodeFault_ : (revision_ << 28) | kCpldIdCodePart;
}

std::uint32_t CpldModel::UserCodeOf(const std::vector<CpldRow>& rows) {
  std::uint32_t code = 0;
  for (unsigned bit = 0; bit < 32; ++bit) {
    code |= static_cast<std::uint32_t>(rows[kCpldUserCodeRow][bit]) << bit;
  }
  return code;
}

std::uint32_t CpldModel::UserCodeOfArray() const { return UserCodeOf(rows_); }

std::uint32_t CpldModel::UserCodeOfActive() const { return UserCodeOf(active_); }

std::string CpldModel::DataRegisterHex() const {
  const unsigned bytes = (drLength_ + 7) / 8;
  std::string text;
  for (unsigned i = bytes; i-- > 0;) {
    unsigned byte = 0;
    for (unsigned bit = 0; bit < 8; ++bit) {
      const unsigned index = 8 * i + bit;
      if (index < drLength_ && ((dr_[index >> 6] >> (index & 63)) & 1) != 0) {
        byte |= 1u << bit;
      }
    }
    char digits[3];
    std::snprintf(digits, sizeof(digits), "%02x", byte);
    text += digits;
  }
  return text;
}

// ---------------------------------------------------------------------------------------------
// Testing calls
// ---------------------------------------------------------------------------------------------
const CpldRow& CpldModel::Row(unsigned row) {
  Settle();
  return rows_.at(row);
}

void CpldModel::SetRow(unsigned row, const CpldRow& cells) {
  rows_.at(row) = cells;
  dirty_ = true;
}

std::uint32_t CpldModel::ArrayUserCode() {
  Settle();
  return UserCodeOfArray();
}

const CpldRow& CpldModel::ActiveRow(unsigned row) {
  Settle();
  return active_.at(row);
}

std::uint32_t CpldModel::UserCode() {
  Settle();
  return UserCodeOfActive();
}

void CpldModel::Record(bool on) { recording_ = on; }

void CpldModel::ClearRecord() {
  states_.clear();
  updates_.clear();
}

}  // namespace sim
