// SwitchServer: the test switch's listener and connections. Owns the listening
// socket, the TLS context (key and certificate made in memory unless given as
// files) and one thread per connection. Every connection reads one request,
// logs it, then acts as the options say.
#pragma once

#include <memory>
#include <string>

#include "SwitchOptions.h"

namespace tamlix::testswitch {

class SwitchServer {
 public:
  // stopFd: the read end of a pipe that becomes readable when the process is to
  // stop (the signal handler writes to it; nobody reads from it).
  SwitchServer(SwitchOptions options, int stopFd);
  ~SwitchServer();
  SwitchServer(const SwitchServer&) = delete;
  SwitchServer& operator=(const SwitchServer&) = delete;

  // Sets up TLS and listens on 127.0.0.1. False with *error set on failure.
  bool Start(std::string* error);
  int port() const;

  // Accepts until stopped or --max-connections reached, then waits for every
  // connection thread to end. Returns the process's exit code.
  int Run();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tamlix::testswitch
