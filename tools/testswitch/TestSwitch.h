// TestSwitch: runs the testswitch program as a child process for a test. It
// passes the test's arguments plus --log-dir (a fresh temporary directory that it
// owns and removes), reads the port the switch listens on, reads back the requests
// the switch logged, and stops and reaps the child. Not thread-safe: use one
// object from one thread. The child gets SIGTERM if the thread that started it
// ends, so a crashed test leaves no switch running.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ReplyPattern.h"

namespace tamlix::testing {

class TestSwitch {
 public:
  // Starts the switch and waits (up to startTimeout) for its "PORT n" line.
  // Throws std::runtime_error when it cannot start or does not report a port.
  // Without logRequests the switch writes no files (for benchmarks: a file
  // per request costs more than a round trip), and no request can be read back.
  explicit TestSwitch(std::vector<std::string> args = {},
                      std::chrono::milliseconds startTimeout = std::chrono::seconds(10), bool logRequests = true);
  ~TestSwitch();  // Stop(), then removes the log directory
  TestSwitch(const TestSwitch&) = delete;
  TestSwitch& operator=(const TestSwitch&) = delete;

  std::uint16_t port() const { return port_; }
  pid_t pid() const { return pid_; }
  const std::string& logDir() const { return logDir_; }

  // The bytes of request k (1, 2, ... in connection order), waiting up to `wait`
  // for the switch to log it. Throws std::runtime_error when it does not appear
  // (or requests are not logged).
  std::string Request(int k, std::chrono::milliseconds wait = std::chrono::seconds(5)) const;
  // How many requests the switch has logged so far.
  int RequestCount() const;

  // Waits up to `wait` for the switch to end by itself (--max-connections);
  // its exit status (code, or 128 + signal), or nothing while it still runs.
  std::optional<int> WaitForExit(std::chrono::milliseconds wait);
  // SIGTERM, then reaps (SIGKILL if it does not end within a few seconds).
  // Returns the exit status as WaitForExit does; repeated calls return it again.
  int Stop();

  // The path of the testswitch program.
  static const char* ProgramPath();

 private:
  pid_t pid_ = -1;
  int stdoutFd_ = -1;
  std::uint16_t port_ = 0;
  std::string logDir_;
  std::optional<int> exitStatus_;
};

}  // namespace tamlix::testing
