#include "sim/hw/gpio.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "sim/base/hex.h"
#include "sim/hw/cpu.h"

namespace sim {
namespace {

GpioModel instance;

constexpr std::uint32_t kBlockSize = 0x1000;        // both register blocks span one 4 KiB page
constexpr std::uint32_t kPadWritableBits = 0xFFFF;  // bits 16 to 31 of a pad register are reserved
// Pad register value the boot loader leaves: a peripheral function (AF1), medium drive strength
// (DS bits 10 to 12 = 2) and the edge-clear bit 6 set. Pads without a GPIO keep AF0, their own
// function.
constexpr std::uint32_t kPadBootValue = 0x0841;
constexpr std::uint32_t kOtherPadBootValue = 0x0840;

// Byte offsets of bank 0 of each register kind; banks 1 and 2 follow word by word and bank 3
// sits 0x100 above bank 0.
struct BankedRegister {
  std::uint8_t kind;
  std::uint32_t offset;
  const char* name;
};

// A run of consecutive pad registers.
struct PadRange {
  unsigned firstGpio;
  unsigned lastGpio;
  bool secondPad;  // GPIOn_2 pads
  std::uint32_t offset;
};

struct NamedPad {
  const char* name;
  std::uint32_t offset;
};

// PXA300 pad register order (PXA310 overrides a few runs below).
constexpr PadRange kPxa300Ranges[] = {
    {0, 2, false, 0x0B4},    {3, 26, false, 0x27C}, {27, 98, false, 0x400},
    {99, 127, false, 0x600}, {0, 1, true, 0x674},   {2, 6, true, 0x2DC},
};
constexpr PadRange kPxa310Ranges[] = {
    {0, 2, false, 0x0B4},    {3, 26, false, 0x27C}, {27, 29, false, 0x400}, {30, 98, false, 0x418},
    {99, 127, false, 0x600}, {0, 1, true, 0x674},   {2, 6, true, 0x2DC},    {7, 12, true, 0x52C},
};
constexpr NamedPad kPxa300Others[] = {
    {"nBE0", 0x204},       {"nBE1", 0x208},       {"nLUA", 0x244},       {"nLLA", 0x254},
    {"DF_CLE_nOE", 0x240}, {"DF_nRE_nOE", 0x200}, {"DF_ALE_nWE", 0x20C}, {"DF_INT_RnB", 0x0C8},
    {"DF_nCS0", 0x248},    {"DF_nCS1", 0x278},    {"DF_nWE", 0x0CC},     {"DF_ADDR0", 0x210},
    {"DF_ADDR1", 0x214},   {"DF_ADDR2", 0x218},   {"DF_ADDR3", 0x21C},   {"DF_IO0", 0x220},
    {"DF_IO1", 0x228},     {"DF_IO2", 0x230},     {"DF_IO3", 0x238},     {"DF_IO4", 0x258},
    {"DF_IO5", 0x260},     {"DF_IO6", 0x268},     {"DF_IO7", 0x270},     {"DF_IO8", 0x224},
    {"DF_IO9", 0x22C},     {"DF_IO10", 0x234},    {"DF_IO11", 0x23C},    {"DF_IO12", 0x25C},
    {"DF_IO13", 0x264},    {"DF_IO14", 0x26C},    {"DF_IO15", 0x274},
};
constexpr NamedPad kPxa310Extra[] = {
    {"ULPI_STP", 0x40C},
    {"ULPI_NXT", 0x410},
    {"ULPI_DIR", 0x414},
};

// PXA320 pad register order.
constexpr PadRange kPxa320Ranges[] = {
    {0, 4, false, 0x124},    {5, 9, false, 0x28C},   {10, 10, false, 0x458}, {11, 26, false, 0x2A0},
    {27, 48, false, 0x400},  {49, 62, false, 0x45C}, {63, 73, false, 0x4B4}, {74, 98, false, 0x4F0},
    {99, 127, false, 0x600}, {0, 5, true, 0x674},    {6, 13, true, 0x494},   {14, 17, true, 0x4E0},
};
constexpr NamedPad kPxa320Others[] = {
    {"nXCVREN", 0x138},    {"DF_CLE_nOE", 0x204}, {"DF_nADV1_ALE", 0x208}, {"DF_SCLK_S", 0x20C},
    {"DF_SCLK_E", 0x210},  {"nBE0", 0x214},       {"nBE1", 0x218},         {"DF_nADV2_ALE", 0x21C},
    {"DF_INT_RnB", 0x220}, {"DF_nCS0", 0x224},    {"DF_nCS1", 0x228},      {"DF_nWE", 0x22C},
    {"DF_nRE_nOE", 0x230}, {"nLUA", 0x234},       {"nLLA", 0x238},         {"DF_ADDR0", 0x23C},
    {"DF_ADDR1", 0x240},   {"DF_ADDR2", 0x244},   {"DF_ADDR3", 0x248},     {"DF_IO0", 0x24C},
    {"DF_IO8", 0x250},     {"DF_IO1", 0x254},     {"DF_IO9", 0x258},       {"DF_IO2", 0x25C},
    {"DF_IO10", 0x260},    {"DF_IO3", 0x264},     {"DF_IO11", 0x268},      {"DF_IO4", 0x26C},
    {"DF_IO12", 0x270},    {"DF_IO5", 0x274},     {"DF_IO13", 0x278},      {"DF_IO6", 0x27C},
    {"DF_IO14", 0x280},    {"DF_IO7", 0x284},     {"DF_IO15", 0x288},
};

// On the PXA300 and PXA310 a few pads carry their GPIO in another function than AF0.
std::uint32_t Pxa30xGpioFunction(unsigned gpio, bool secondPad) {
  if (secondPad) {
    return 0;
  }
  switch (gpio) {
    case 46:
      return 1;
    case 49:
    case 51:
    case 52:
      return 3;
    case 50:
      return 2;
    default:
      return 0;
  }
}

const char* RegisterName(std::uint8_t kind) {
  static const char* const kNames[] = {"(none)", "GPLR",  "GPDR",  "GPSR",  "GPCR",
                                       "GRER",   "GFER",  "GEDR",  "GAFR",  "GSDR",
                                       "GCDR",   "GSRER", "GCRER", "GSFER", "GCFER"};
  return kind < sizeof(kNames) / sizeof(kNames[0]) ? kNames[kind] : "?";
}

}  // namespace

GpioModel::GpioModel() { RegisterComponent(this); }

// ---------------------------------------------------------------------------------------------
// Layout
// ---------------------------------------------------------------------------------------------
void GpioModel::Build(std::uint32_t identity) {
  const bool pxa3xx = IsPxa3xx(identity);
  layout_ = pxa3xx ? GpioLayout::kPxa3xx : GpioLayout::kPxa27x;
  // PXA27x: GPIO 0 to 120; PXA3xx: GPIO 0 to 127.
  gpioCount_ = pxa3xx ? 128 : 121;
  validBits_ = {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, pxa3xx ? 0xFFFFFFFFu : 0x01FFFFFFu};

  decode_.fill(kNone);
  static constexpr BankedRegister kBanked[] = {
      {kGplr, 0x00, "GPLR"}, {kGpdr, 0x0C, "GPDR"}, {kGpsr, 0x18, "GPSR"}, {kGpcr, 0x24, "GPCR"},
      {kGrer, 0x30, "GRER"}, {kGfer, 0x3C, "GFER"}, {kGedr, 0x48, "GEDR"},
  };
  for (const BankedRegister& reg : kBanked) {
    for (std::uint32_t bank = 0; bank < 4; ++bank) {
      const std::uint32_t offset = bank < 3 ? reg.offset + 4 * bank : reg.offset + 0x100;
      decode_[offset / 4] = static_cast<std::uint8_t>(reg.kind << 3 | bank);
    }
  }
  if (!pxa3xx) {
    // GAFR0_L at 0x54 to GAFR3_U at 0x70: 16 pins per word.
    for (std::uint32_t word = 0; word < 8; ++word) {
      decode_[(0x54 + 4 * word) / 4] = static_cast<std::uint8_t>(kGafr << 3 | word);
    }
  } else {
    static constexpr BankedRegister kSetClear[] = {
        {kGsdr, 0x400, "GSDR"},   {kGcdr, 0x420, "GCDR"},   {kGsrer, 0x440, "GSRER"},
        {kGcrer, 0x460, "GCRER"}, {kGsfer, 0x480, "GSFER"}, {kGcfer, 0x4A0, "GCFER"},
    };
    for (const BankedRegister& reg : kSetClear) {
      for (std::uint32_t bank = 0; bank < 4; ++bank) {
        decode_[(reg.offset + 4 * bank) / 4] = static_cast<std::uint8_t>(reg.kind << 3 | bank);
      }
    }
  }

  pads_.clear();
  padAtOffset_.assign(kBlockSize / 4, -1);
  padOfPin_.assign(256, -1);
  if (!pxa3xx) {
    padValues_.clear();
    return;
  }
  auto addRanges = [this, identity](const PadRange* ranges, std::size_t count) {
    for (std::size_t r = 0; r < count; ++r) {
      const PadRange& range = ranges[r];
      for (unsigned gpio = range.firstGpio; gpio <= range.lastGpio; ++gpio) {
        PadInfo pad;
        pad.name = "GPIO" + std::to_string(gpio) + (range.secondPad ? "_2" : "");
        pad.offset = range.offset + 4 * (gpio - range.firstGpio);
        pad.pin = static_cast<int>(range.secondPad ? 128 + gpio : gpio);
        pad.gpioFunction =
            identity == kProcessorPxa320 ? 0 : Pxa30xGpioFunction(gpio, range.secondPad);
        pads_.push_back(pad);
      }
    }
  };
  auto addOthers = [this](const NamedPad* others, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      PadInfo pad;
      pad.name = others[i].name;
      pad.offset = others[i].offset;
      pads_.push_back(pad);
    }
  };
  if (identity == kProcessorPxa320) {
    addRanges(kPxa320Ranges, std::size(kPxa320Ranges));
    addOthers(kPxa320Others, std::size(kPxa320Others));
  } else if (identity == kProcessorPxa300) {
    addRanges(kPxa300Ranges, std::size(kPxa300Ranges));
    addOthers(kPxa300Others, std::size(kPxa300Others));
  } else {
    addRanges(kPxa310Ranges, std::size(kPxa310Ranges));
    addOthers(kPxa300Others, std::size(kPxa300Others));
    addOthers(kPxa310Extra, std::size(kPxa310Extra));
  }
  for (std::size_t i = 0; i < pads_.size(); ++i) {
    const std::uint32_t slot = pads_[i].offset / 4;
    if (padAtOffset_[slot] >= 0) {
      Fault("pad table: " + pads_[i].name + " and " +
            pads_[static_cast<std::size_t>(padAtOffset_[slot])].name + " share offset " +
            Hex(pads_[i].offset, 8));
    }
    padAtOffset_[slot] = static_cast<std::int16_t>(i);
    if (pads_[i].pin >= 0) {
      padOfPin_[static_cast<std::size_t>(pads_[i].pin)] = static_cast<std::int16_t>(i);
    }
  }
  padValues_.assign(pads_.size(), 0);
}

void GpioModel::PowerOnState() {
  out_ = {};
  dir_ = {};
  risingEdge_ = {};
  fallingEdge_ = {};
  edgeDetected_ = {};
  gafr_ = {};
  for (std::size_t i = 0; i < pads_.size(); ++i) {
    padValues_[i] = pads_[i].pin >= 0 ? kPadBootValue : kOtherPadBootValue;
  }
  RecomputeFunctions();
}

// ---------------------------------------------------------------------------------------------
// Component
// ---------------------------------------------------------------------------------------------
bool GpioModel::Attach(Machine& machine, std::string* /*error*/) {
  machine_ = &machine;
  clock_ = &machine.Clock();
  accessCount_ = 0;
  unchargedNanoseconds_ = 0;
  Disconnect();
  Build(machine.Identity());
  PowerOnState();
  // Register contents survive between processes for as long as the module runs.
  std::string text;
  stateOnFile_.clear();
  if (ReadWholeFile(machine.RamDirectory() / "gpio.json", &text)) {
    const Json state = Json::parse(text, nullptr, false);
    if (state.is_object()) {
      Load(state);
    }
    stateOnFile_ = std::move(text);
  }
  machine.Bus().Attach(kGpioPhysicalBase, kBlockSize, &gpioBlock_);
  if (layout_ == GpioLayout::kPxa3xx) {
    machine.Bus().Attach(kPadPhysicalBase, kBlockSize, &padBlock_);
  }
  return true;
}

void GpioModel::Detach(Machine& machine) {
  ChargeTime();
  // Registers that this process left as it found them leave the file as it was.
  std::string text = Save().dump(1);
  std::string ignored;
  if (text != stateOnFile_ &&
      WriteWholeFile(machine.RamDirectory() / "gpio.json", text, &ignored)) {
    stateOnFile_ = std::move(text);
  }
  Disconnect();
  machine_ = nullptr;
  clock_ = nullptr;
}

void GpioModel::Describe(Machine& /*machine*/, Json& info) {
  info["gpio"] = {
      {"layout", layout_ == GpioLayout::kPxa3xx ? "PXA3xx (pad registers)" : "PXA27x (GAFR)"},
      {"gpios", gpioCount_},
      {"padRegisters", pads_.size()},
  };
}

Json GpioModel::Save() const {
  Json pads = Json::object();
  for (std::size_t i = 0; i < pads_.size(); ++i) {
    pads[pads_[i].name] = padValues_[i];
  }
  return {
      {"layout", layout_ == GpioLayout::kPxa3xx ? "pxa3xx" : "pxa27x"},
      {"out", out_},
      {"dir", dir_},
      {"rer", risingEdge_},
      {"fer", fallingEdge_},
      {"edr", edgeDetected_},
      {"gafr", gafr_},
      {"pads", pads},
  };
}

void GpioModel::Load(const Json& state) {
  const char* layout = layout_ == GpioLayout::kPxa3xx ? "pxa3xx" : "pxa27x";
  if (state.value("layout", "") != layout) {
    return;  // another processor: the boot state stands
  }
  auto words = [&state](const char* key, auto& target) {
    const auto it = state.find(key);
    if (it == state.end() || !it->is_array() || it->size() != target.size()) {
      return;
    }
    for (std::size_t i = 0; i < target.size(); ++i) {
      if ((*it)[i].is_number_unsigned()) {
        target[i] = (*it)[i].template get<std::uint32_t>();
      }
    }
  };
  words("out", out_);
  words("dir", dir_);
  words("rer", risingEdge_);
  words("fer", fallingEdge_);
  words("edr", edgeDetected_);
  words("gafr", gafr_);
  if (const auto pads = state.find("pads"); pads != state.end() && pads->is_object()) {
    for (std::size_t i = 0; i < pads_.size(); ++i) {
      const auto value = pads->find(pads_[i].name);
      if (value != pads->end() && value->is_number_unsigned()) {
        padValues_[i] = value->get<std::uint32_t>() & kPadWritableBits;
      }
    }
  }
  for (unsigned bank = 0; bank < 4; ++bank) {
    out_[bank] &= validBits_[bank];
    dir_[bank] &= validBits_[bank];
  }
  RecomputeFunctions();
}

// ---------------------------------------------------------------------------------------------
// Pads and wiring
// ---------------------------------------------------------------------------------------------
bool GpioModel::HasPad(unsigned pin) const {
  if (layout_ == GpioLayout::kPxa27x) {
    return pin < gpioCount_;
  }
  return PadIndexOfPin(pin) >= 0;
}

int GpioModel::PadIndexOfPin(unsigned pin) const {
  return pin < padOfPin_.size() ? padOfPin_[pin] : -1;
}

bool GpioModel::CarriesGpio(unsigned pin) const {
  if (layout_ == GpioLayout::kPxa27x) {
    return pin < gpioCount_ && ((gafr_[pin >> 4] >> (2 * (pin & 15))) & 3) == 0;
  }
  const int index = PadIndexOfPin(pin);
  if (index < 0) {
    return false;
  }
  const auto pad = static_cast<std::size_t>(index);
  return (padValues_[pad] & 7) == pads_[pad].gpioFunction;
}

bool GpioModel::ProcessorDrives(unsigned pin) const {
  const unsigned gpio = pin & 127;
  return CarriesGpio(pin) && ((dir_[gpio >> 5] >> (gpio & 31)) & 1) != 0;
}

int GpioModel::PadLevel(unsigned pin) const {
  if (ProcessorDrives(pin)) {
    const unsigned gpio = pin & 127;
    return static_cast<int>((out_[gpio >> 5] >> (gpio & 31)) & 1);
  }
  if (device_ != nullptr) {
    for (std::size_t i = 0; i < connections_.size(); ++i) {
      if (connections_[i].pin == pin) {
        const int drive = device_->PadDrive(static_cast<unsigned>(i));
        if (drive != kPadUndriven) {
          return drive;
        }
      }
    }
  }
  return 1;  // pulled up on the board
}

void GpioModel::Connect(PadDevice* device, const std::vector<unsigned>& pins,
                        std::size_t inputCount) {
  Disconnect();
  device_ = device;
  inputCount_ = std::min<std::size_t>({inputCount, pins.size(), 4});
  for (unsigned pin : pins) {
    Connection connection;
    connection.pin = pin;
    connection.bank = (pin & 127) >> 5;
    connection.bit = 1u << (pin & 31);
    connections_.push_back(connection);
  }
  for (std::size_t i = 0; i < inputCount_; ++i) {
    inputBits_[connections_[i].bank] |= connections_[i].bit;
  }
  RecomputeFunctions();
  int levels[4] = {1, 1, 1, 1};
  for (std::size_t i = 0; i < inputCount_; ++i) {
    connections_[i].level = PadLevel(connections_[i].pin);
    levels[i] = connections_[i].level;
  }
  device_->PadLevelsChanged(levels);
}

void GpioModel::Disconnect() {
  device_ = nullptr;
  connections_.clear();
  inputCount_ = 0;
  inputBits_ = {};
}

void GpioModel::RecomputeFunctions() {
  gpioSelected_ = {};
  if (layout_ == GpioLayout::kPxa27x) {
    for (unsigned gpio = 0; gpio < gpioCount_; ++gpio) {
      if (((gafr_[gpio >> 4] >> (2 * (gpio & 15))) & 3) == 0) {
        gpioSelected_[gpio >> 5] |= 1u << (gpio & 31);
      }
    }
  } else {
    for (std::size_t i = 0; i < pads_.size(); ++i) {
      if (pads_[i].pin >= 0 && (padValues_[i] & 7) == pads_[i].gpioFunction) {
        const unsigned gpio = static_cast<unsigned>(pads_[i].pin) & 127;
        gpioSelected_[gpio >> 5] |= 1u << (gpio & 31);
      }
    }
  }
  for (Connection& connection : connections_) {
    connection.carriesGpio = CarriesGpio(connection.pin);
  }
}

void GpioModel::Notify() {
  // Runs on every write that may move a pin the device watches: the levels come from the
  // cached wiring rather than the pad tables.
  if (device_ == nullptr) {
    return;
  }
  int levels[4] = {1, 1, 1, 1};
  bool changed = false;
  for (std::size_t i = 0; i < inputCount_; ++i) {
    Connection& connection = connections_[i];
    int level = 1;
    if (connection.carriesGpio && (dir_[connection.bank] & connection.bit) != 0) {
      level = (out_[connection.bank] & connection.bit) != 0 ? 1 : 0;
    } else if (const int drive = device_->PadDrive(static_cast<unsigned>(i));
               drive != kPadUndriven) {
      level = drive;
    }
    changed = changed || level != connection.level;
    connection.level = level;
    levels[i] = level;
  }
  if (changed) {
    device_->PadLevelsChanged(levels);
  }
}

std::uint32_t GpioModel::LevelWord(unsigned bank) const {
  // A GPIO reads its own output while a pad carries it as an output; anything else reads the
  // line, which the board pulls up unless a device drives it through a pad that carries the
  // GPIO.
  const std::uint32_t driven = dir_[bank] & gpioSelected_[bank];
  std::uint32_t word = (out_[bank] & driven) | ~driven;
  if (device_ != nullptr) {
    for (std::size_t i = 0; i < connections_.size(); ++i) {
      const Connection& connection = connections_[i];
      if (connection.bank != bank || !connection.carriesGpio || (driven & connection.bit) != 0) {
        continue;
      }
      if (device_->PadDrive(static_cast<unsigned>(i)) == 0) {
        word &= ~connection.bit;
      }
    }
  }
  return word & validBits_[bank];
}

// ---------------------------------------------------------------------------------------------
// Register accesses
// ---------------------------------------------------------------------------------------------
void GpioModel::Charge() {
  ++accessCount_;
  unchargedNanoseconds_ += kGpioAccessNanoseconds;
  if (unchargedNanoseconds_ >= kGpioTimeBatchNanoseconds) {
    ChargeTime();
  }
}

void GpioModel::ChargeTime() {
  if (unchargedNanoseconds_ != 0 && clock_ != nullptr) {
    clock_->Advance(unchargedNanoseconds_);
    unchargedNanoseconds_ = 0;
  }
}

void GpioModel::BadAccess(const char* what, std::uint32_t physical) const {
  Fault(std::string("GPIO: ") + what + " at physical " + Hex(physical, 8) + " (" +
        (layout_ == GpioLayout::kPxa3xx ? "PXA3xx" : "PXA27x") + " layout)");
}

std::uint32_t GpioModel::GpioRead(std::uint32_t offset) {
  Charge();
  const std::uint8_t code = offset < kBlockSize ? decode_[offset / 4] : std::uint8_t{kNone};
  const unsigned bank = code & 7;
  switch (code >> 3) {
    case kGplr:
      return LevelWord(bank);
    case kGpdr:
      return dir_[bank];
    case kGrer:
      return risingEdge_[bank];
    case kGfer:
      return fallingEdge_[bank];
    case kGedr:
      return edgeDetected_[bank];
    case kGafr:
      return gafr_[bank];
    case kNone:
      BadAccess("read of an offset that holds no register", kGpioPhysicalBase + offset);
    default:
      BadAccess((std::string("read of write-only register ") + RegisterName(code >> 3) +
                 std::to_string(bank))
                    .c_str(),
                kGpioPhysicalBase + offset);
  }
}

void GpioModel::GpioWrite(std::uint32_t offset, std::uint32_t value) {
  Charge();
  const std::uint8_t code = offset < kBlockSize ? decode_[offset / 4] : std::uint8_t{kNone};
  const unsigned bank = code & 7;
  const std::uint32_t bits = bank < 4 ? value & validBits_[bank & 3] : 0;
  switch (code >> 3) {
    case kGplr:
      BadAccess((std::string("write to read-only register GPLR") + std::to_string(bank)).c_str(),
                kGpioPhysicalBase + offset);
    case kGpdr:
      dir_[bank] = bits;
      Notify();
      return;
    case kGpsr:
      out_[bank] |= bits;
      if ((bits & inputBits_[bank]) != 0) {
        Notify();
      }
      return;
    case kGpcr:
      out_[bank] &= ~bits;
      if ((bits & inputBits_[bank]) != 0) {
        Notify();
      }
      return;
    case kGrer:
      risingEdge_[bank] = bits;
      return;
    case kGfer:
      fallingEdge_[bank] = bits;
      return;
    case kGedr:
      edgeDetected_[bank] &= ~value;  // write one to clear
      return;
    case kGafr: {
      // Two bits per pin; the word for pins 112 to 127 holds only pins 112 to 120.
      gafr_[bank] = bank == 7 ? value & 0x3FFFF : value;
      RecomputeFunctions();
      Notify();
      return;
    }
    case kGsdr:
      dir_[bank] |= bits;
      Notify();
      return;
    case kGcdr:
      dir_[bank] &= ~bits;
      Notify();
      return;
    case kGsrer:
      risingEdge_[bank] |= bits;
      return;
    case kGcrer:
      risingEdge_[bank] &= ~bits;
      return;
    case kGsfer:
      fallingEdge_[bank] |= bits;
      return;
    case kGcfer:
      fallingEdge_[bank] &= ~bits;
      return;
    default:
      BadAccess("write to an offset that holds no register", kGpioPhysicalBase + offset);
  }
}

std::uint32_t GpioModel::PadRead(std::uint32_t offset) {
  Charge();
  const int index = offset < kBlockSize ? padAtOffset_[offset / 4] : -1;
  if (index < 0) {
    BadAccess("read of an offset that holds no pad register", kPadPhysicalBase + offset);
  }
  return padValues_[static_cast<std::size_t>(index)];
}

void GpioModel::PadWrite(std::uint32_t offset, std::uint32_t value) {
  Charge();
  const int index = offset < kBlockSize ? padAtOffset_[offset / 4] : -1;
  if (index < 0) {
    BadAccess("write to an offset that holds no pad register", kPadPhysicalBase + offset);
  }
  padValues_[static_cast<std::size_t>(index)] = value & kPadWritableBits;
  RecomputeFunctions();
  Notify();
}

// ---------------------------------------------------------------------------------------------
// Testing calls
// ---------------------------------------------------------------------------------------------
bool GpioModel::IsOutput(unsigned gpio) const {
  return gpio < gpioCount_ && ((dir_[gpio >> 5] >> (gpio & 31)) & 1) != 0;
}

bool GpioModel::OutputLatch(unsigned gpio) const {
  return gpio < gpioCount_ && ((out_[gpio >> 5] >> (gpio & 31)) & 1) != 0;
}

std::uint32_t GpioModel::Function(unsigned pin) const {
  if (layout_ == GpioLayout::kPxa27x) {
    return pin < gpioCount_ ? (gafr_[pin >> 4] >> (2 * (pin & 15))) & 3 : 0;
  }
  const int index = PadIndexOfPin(pin);
  return index < 0 ? 0 : padValues_[static_cast<std::size_t>(index)] & 7;
}

std::uint32_t GpioModel::PadRegister(unsigned pin) const {
  const int index = PadIndexOfPin(pin);
  return index < 0 ? 0 : padValues_[static_cast<std::size_t>(index)];
}

std::vector<std::uint32_t> GpioModel::Snapshot() const {
  std::vector<std::uint32_t> values;
  for (const auto* words : {&out_, &dir_, &risingEdge_, &fallingEdge_, &edgeDetected_}) {
    values.insert(values.end(), words->begin(), words->end());
  }
  values.insert(values.end(), gafr_.begin(), gafr_.end());
  values.insert(values.end(), padValues_.begin(), padValues_.end());
  return values;
}

}  // namespace sim
