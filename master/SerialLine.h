// SerialLine: one serial line opened from a session's settings, raw 8-bit,
// with the baud, data bits, parity and stop bits given as text. Reading waits
// with a time-out so that a reader thread can be stopped. Safe for one reader
// thread and one writer thread at a time.
#pragma once

#include <chrono>
#include <string>

namespace tamlix::master {

struct TSerialOptions {
  std::string Port;      // a device path, "COMn", or n alone (COMn = /dev/ttyS(n-1))
  std::string Baud;      // empty: 9600
  std::string DataBits;  // 5 to 8; empty: 8
  std::string Parity;    // N(one), E(ven), O(dd); empty: N
  std::string StopBits;  // 1 or 2; empty: 1
};

// The device path that `port` names.
std::string SerialDevicePath(const std::string& port);

class TSerialLine {
 public:
  // Opens and configures the line; throws std::runtime_error with a short
  // reason when the port cannot be opened or a setting is not valid.
  explicit TSerialLine(const TSerialOptions& options);
  ~TSerialLine();
  TSerialLine(const TSerialLine&) = delete;
  TSerialLine& operator=(const TSerialLine&) = delete;

  // Bytes that arrived within `wait` (possibly none). Throws when the line
  // fails or hangs up: the descriptor then stays dead, the line must be
  // opened anew.
  std::string Read(std::chrono::milliseconds wait);
  // Writes all of `bytes`; false when the line refused them.
  bool Write(const std::string& bytes);

 private:
  int fd_ = -1;
};

}  // namespace tamlix::master
