#include "sim/hw/jtag_trace.h"

#include <cerrno>
#include <cstring>
#include <ctime>

namespace sim {
namespace {

// VCD identifier codes of the five signals, in Record's argument order.
constexpr char kCodes[5] = {'!', '"', '#', '$', '%'};

}  // namespace

JtagTrace::~JtagTrace() { Close(); }

bool JtagTrace::Open(const std::filesystem::path& file, std::uint64_t now, std::string* error) {
  Close();
  file_ = std::fopen(file.c_str(), "w");
  if (file_ == nullptr) {
    if (error != nullptr) {
      *error = file.string() + ": cannot write: " + std::strerror(errno);
    }
    return false;
  }
  buffer_.resize(1 << 16);
  std::setvbuf(file_, buffer_.data(), _IOFBF, buffer_.size());
  start_ = now;
  lastTime_ = 0;
  timeWritten_ = false;
  for (int& value : last_) {
    value = -2;
  }
  const std::time_t wall = std::time(nullptr);
  char date[64] = "";
  std::strftime(date, sizeof(date), "%Y-%m-%d %H:%M:%S", std::localtime(&wall));
  std::fprintf(file_,
               "$date %s $end\n"
               "$version flashwick virtual module: CPLD JTAG pins $end\n"
               "$comment times are module time since the trace started $end\n"
               "$timescale 1ns $end\n"
               "$scope module cpld $end\n"
               "$var wire 1 ! TCK $end\n"
               "$var wire 1 \" TMS $end\n"
               "$var wire 1 # TDI $end\n"
               "$var wire 1 $ TDO $end\n"
               "$var reg 4 %% tap_state $end\n"
               "$upscope $end\n"
               "$enddefinitions $end\n",
               date);
  return true;
}

bool JtagTrace::Close(std::string* error) {
  if (file_ == nullptr) {
    return true;
  }
  const bool ok = std::ferror(file_) == 0;
  const bool closed = std::fclose(file_) == 0;
  file_ = nullptr;
  if ((!ok || !closed) && error != nullptr) {
    *error = "the JTAG trace could not be written completely";
  }
  return ok && closed;
}

void JtagTrace::Record(std::uint64_t now, int tck, int tms, int tdi, int tdo, int state) {
  if (file_ == nullptr) {
    return;
  }
  const int values[5] = {tck, tms, tdi, tdo, state};
  const std::uint64_t time = now >= start_ ? now - start_ : 0;
  for (int i = 0; i < 5; ++i) {
    if (values[i] == last_[i]) {
      continue;
    }
    if (!timeWritten_ || time != lastTime_) {
      std::fprintf(file_, "#%llu\n", static_cast<unsigned long long>(time));
      lastTime_ = time;
      timeWritten_ = true;
    }
    last_[i] = values[i];
    if (i == 4) {
      std::fprintf(file_, "b%d%d%d%d %c\n", (state >> 3) & 1, (state >> 2) & 1, (state >> 1) & 1,
                   state & 1, kCodes[i]);
    } else {
      std::fprintf(file_, "%c%c\n", values[i] < 0 ? 'z' : static_cast<char>('0' + values[i]),
                   kCodes[i]);
    }
  }
}

}  // namespace sim
