// A value change dump (VCD) of the CPLD's JTAG pins, for a waveform viewer.
//
// Four one-bit wires (TCK, TMS, TDI, TDO; TDO is "z" while the CPLD does not drive it) and the
// TAP controller state as a 4-bit vector in the XSVF numbering (0 Test-Logic-Reset ... 15
// Update-IR). Times are module time in nanoseconds from the start of the trace.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace sim {

class JtagTrace {
 public:
  JtagTrace() = default;
  ~JtagTrace();
  JtagTrace(const JtagTrace&) = delete;
  JtagTrace& operator=(const JtagTrace&) = delete;

  // Starts a new dump in file at module time now. False with a message when it cannot be written.
  bool Open(const std::filesystem::path& file, std::uint64_t now, std::string* error);
  // Ends the dump; false when writing it failed.
  bool Close(std::string* error = nullptr);
  [[nodiscard]] bool IsOpen() const { return file_ != nullptr; }

  // Records the pins at module time now; only changes are written. tdo is 0, 1 or -1 (undriven).
  void Record(std::uint64_t now, int tck, int tms, int tdi, int tdo, int state);

 private:
  std::FILE* file_ = nullptr;
  std::vector<char> buffer_;
  std::uint64_t start_ = 0;
  std::uint64_t lastTime_ = 0;
  bool timeWritten_ = false;
  int last_[5] = {-2, -2, -2, -2, -2};
};

}  // namespace sim
