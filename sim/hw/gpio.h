// The processor's GPIO block at 0x40E00000 and, on PXA3xx processors, the pad (multi-function
// pin) registers at 0x40E10000.
//
// Two register layouts exist. The PXA27x layout selects a pin's function in the GAFR registers
// (two bits per pin) and its direction in GPDR; the PXA3xx layout selects a pad's function in the
// pad's own register and sets directions through the GSDR/GCDR set and clear registers. Which one
// the module has follows from its processor identity (IsPxa3xx in sim/hw/cpu.h; others: PXA27x).
//
// Pads are numbered as the program numbers pins: n below 128 is the own pad of GPIO n, 128 + n the
// second pad of GPIO n (PXA3xx only). A pad carries its GPIO only while its function is the GPIO
// function; a pad the processor does not drive reads as high (the board pulls the lines up) or as
// what a device wired to it drives.
//
// Stricter than the silicon: an access to an offset that holds no register, a write to a
// read-only register and a read of a write-only one are faults.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/hw/bus.h"
#include "sim/module/machine.h"

namespace sim {

inline constexpr std::uint32_t kGpioPhysicalBase = 0x40E00000;
inline constexpr std::uint32_t kPadPhysicalBase = 0x40E10000;
// One GPIO or pad register access on the peripheral bus takes about 100 ns on these processors;
// it is what bounds the rate at which the program can toggle a pin.
inline constexpr std::uint64_t kGpioAccessNanoseconds = 100;
// Bus time goes onto the module clock in batches of this much (64 accesses): far below the
// millisecond tick the program can see, and it spares the shared clock an update per access.
inline constexpr std::uint64_t kGpioTimeBatchNanoseconds = 64 * kGpioAccessNanoseconds;
// Level of a pad that nobody drives, as reported by PadDevice::PadDrive.
inline constexpr int kPadUndriven = -1;

// Something on the board wired to processor pads.
class PadDevice {
 public:
  virtual ~PadDevice() = default;
  // The levels on the device's pads (in the order given to GpioModel::Connect) may have changed.
  virtual void PadLevelsChanged(const int* levels) = 0;
  // The level the device drives on its index-th pad, or kPadUndriven.
  [[nodiscard]] virtual int PadDrive(unsigned index) const = 0;
};

enum class GpioLayout { kPxa27x, kPxa3xx };

// One pad register of a PXA3xx processor.
struct PadInfo {
  std::string name;                // "GPIO83", "GPIO1_2", "DF_IO0"
  std::uint32_t offset = 0;        // byte offset from 0x40E10000
  int pin = -1;                    // pad number as above, -1 for pads without a GPIO
  std::uint32_t gpioFunction = 0;  // alternate function number that selects the GPIO
};

class GpioModel final : public Component {
 public:
  GpioModel();
  const char* ComponentName() const override { return "gpio"; }
  bool Attach(Machine& machine, std::string* error) override;
  void Detach(Machine& machine) override;
  void Describe(Machine& machine, Json& info) override;

  // Wiring for board devices.
  [[nodiscard]] bool HasPad(unsigned pin) const;
  // Connects device to pads (at most four). The first inputCount pads are the device's inputs:
  // it is told whenever their levels may have changed. The others are pads it may drive.
  void Connect(PadDevice* device, const std::vector<unsigned>& pins, std::size_t inputCount);
  void Disconnect();
  [[nodiscard]] int PadLevel(unsigned pin) const;
  // Module time including the bus time not yet put onto the clock: what devices on the pins see.
  [[nodiscard]] std::uint64_t Now() const { return clock_->Now() + unchargedNanoseconds_; }
  // Puts the outstanding bus time onto the module clock.
  void ChargeTime();

  // Register block accesses (the bus devices forward here).
  std::uint32_t GpioRead(std::uint32_t offset);
  void GpioWrite(std::uint32_t offset, std::uint32_t value);
  std::uint32_t PadRead(std::uint32_t offset);
  void PadWrite(std::uint32_t offset, std::uint32_t value);

  // --- testing calls ---
  [[nodiscard]] GpioLayout Layout() const { return layout_; }
  [[nodiscard]] unsigned GpioCount() const { return gpioCount_; }
  [[nodiscard]] bool IsOutput(unsigned gpio) const;
  [[nodiscard]] bool OutputLatch(unsigned gpio) const;
  // Alternate function selected for a pad (GAFR bits or the pad register's low three bits).
  [[nodiscard]] std::uint32_t Function(unsigned pin) const;
  // Whole pad register of a pad with a GPIO (PXA3xx); 0 when there is none.
  [[nodiscard]] std::uint32_t PadRegister(unsigned pin) const;
  [[nodiscard]] const std::vector<PadInfo>& Pads() const { return pads_; }
  // Every register value, GPIO block first, then every pad register in table order: a snapshot
  // that tests compare to see that nothing changed.
  [[nodiscard]] std::vector<std::uint32_t> Snapshot() const;
  [[nodiscard]] std::uint64_t AccessCount() const { return accessCount_; }

 private:
  enum Register : std::uint8_t {
    kNone,
    kGplr,
    kGpdr,
    kGpsr,
    kGpcr,
    kGrer,
    kGfer,
    kGedr,
    kGafr,
    kGsdr,
    kGcdr,
    kGsrer,
    kGcrer,
    kGsfer,
    kGcfer,
  };
  struct Connection {
    unsigned pin = 0;
    unsigned bank = 0;         // GPIO bank of the pad's GPIO
    std::uint32_t bit = 0;     // and its bit
    bool carriesGpio = false;  // the pad is in its GPIO function
    int level = 1;             // last level told to the device
  };

  void Build(std::uint32_t identity);
  void PowerOnState();
  void Load(const Json& state);
  [[nodiscard]] Json Save() const;
  void Charge();
  [[noreturn]] void BadAccess(const char* what, std::uint32_t physical) const;
  [[nodiscard]] int PadIndexOfPin(unsigned pin) const;
  [[nodiscard]] bool ProcessorDrives(unsigned pin) const;
  [[nodiscard]] bool CarriesGpio(unsigned pin) const;
  void RecomputeFunctions();
  void Notify();
  [[nodiscard]] std::uint32_t LevelWord(unsigned bank) const;

  class GpioBlock final : public BusDevice {
   public:
    explicit GpioBlock(GpioModel& model) : model_(model) {}
    const char* DeviceName() const override { return "GPIO"; }
    std::uint32_t Read32(std::uint32_t offset) override { return model_.GpioRead(offset); }
    void Write32(std::uint32_t offset, std::uint32_t value) override {
      model_.GpioWrite(offset, value);
    }

   private:
    GpioModel& model_;
  };
  class PadBlock final : public BusDevice {
   public:
    explicit PadBlock(GpioModel& model) : model_(model) {}
    const char* DeviceName() const override { return "pad registers"; }
    std::uint32_t Read32(std::uint32_t offset) override { return model_.PadRead(offset); }
    void Write32(std::uint32_t offset, std::uint32_t value) override {
      model_.PadWrite(offset, value);
    }

   private:
    GpioModel& model_;
  };

  GpioBlock gpioBlock_{*this};
  PadBlock padBlock_{*this};
  Machine* machine_ = nullptr;
  VirtualClock* clock_ = nullptr;
  GpioLayout layout_ = GpioLayout::kPxa27x;
  unsigned gpioCount_ = 0;
  std::array<std::uint32_t, 4> validBits_{};
  std::array<std::uint8_t, 1024> decode_{};  // register kind << 3 | bank (word index for GAFR)

  std::array<std::uint32_t, 4> out_{};
  std::array<std::uint32_t, 4> dir_{};
  std::array<std::uint32_t, 4> risingEdge_{};
  std::array<std::uint32_t, 4> fallingEdge_{};
  std::array<std::uint32_t, 4> edgeDetected_{};
  std::array<std::uint32_t, 8> gafr_{};

  std::vector<PadInfo> pads_;
  std::vector<std::uint32_t> padValues_;
  std::vector<std::int16_t> padAtOffset_;  // by offset / 4; -1 where no pad register is
  std::vector<std::int16_t> padOfPin_;     // by pin; -1 where the processor has no such pad
  // GPIOs that some pad currently carries in its GPIO function (bit per GPIO).
  std::array<std::uint32_t, 4> gpioSelected_{};

  PadDevice* device_ = nullptr;
  std::vector<Connection> connections_;
  std::size_t inputCount_ = 0;
  std::array<std::uint32_t, 4> inputBits_{};  // GPIOs of the device's input pads
  std::uint64_t accessCount_ = 0;
  std::uint64_t unchargedNanoseconds_ = 0;
  std::string stateOnFile_;  // gpio.json as this process last read or wrote it
};

}  // namespace sim
