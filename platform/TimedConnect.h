// Reaching the claims switch within one deadline, for both libraries: the
// TCP connect, the TLS client handshake and the request's write share
// ConnectDeadline() (30 s) from the start of the connect, whatever the
// switch sends or withholds. Every wait here is a poll against the
// deadline, and one that a signal interrupts resumes with the time left.
//
// Sockets are blocking before and after each call; a call makes its socket
// non-blocking only while it runs. No call raises SIGPIPE in the host.
#pragma once

#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>

#include <chrono>
#include <functional>

namespace tamlix::platform {

// A point in time on the monotonic clock. A default one has passed.
class Deadline {
 public:
  using Clock = std::chrono::steady_clock;
  Deadline() = default;
  explicit Deadline(Clock::duration from_now) : at_(Clock::now() + from_now) {}
  // ConnectDeadline() from now.
  static Deadline ForConnect() { return Deadline(ConnectDeadline()); }

  // The earlier of the two.
  static Deadline Sooner(const Deadline& a, const Deadline& b) { return a.at_ < b.at_ ? a : b; }

  bool Passed() const { return Clock::now() >= at_; }
  // What is left in whole milliseconds, rounded up; 0 once passed.
  int PollMs() const;

  // 30 s, unless a test shortened it.
  static std::chrono::milliseconds ConnectDeadline();
  // Shortens (or, with 0, restores) ConnectDeadline for the whole process.
  static void SetConnectDeadlineForTesting(std::chrono::milliseconds bound);

 private:
  Clock::time_point at_{};
};

// poll() until one of `fds` is ready or the deadline passes; a signal
// resumes the wait with the time left. poll's result: > 0 ready, 0 the
// deadline passed, -1 a lasting error (errno set).
int PollUntil(pollfd* fds, nfds_t count, const Deadline& deadline);

// False when the socket's mode could not be read or changed.
bool SetBlocking(int fd, bool blocking) noexcept;

// connect() through the fault-injection seam, given up at the deadline. 0 on
// success; -1 with errno on failure: the connect's own error, or ETIMEDOUT
// when the deadline came first (the attempt then stays half-open in the
// socket until it is closed). Address 0 (0.0.0.0) fails with EADDRNOTAVAIL:
// Linux takes it for this host, and a failed lookup must not reach a local
// service.
int ConnectTo(int fd, const sockaddr_in& addr, const Deadline& deadline);

// OpenSSL has no fork handlers of its own: a child forked while another
// thread is inside OpenSSL (holding one of its internal locks, as it does
// when a thread makes its first call or ends) would block on that lock at
// its own first call. So every call into OpenSSL made by this code runs in
// an OpenSslCall scope, and a fork (through a pthread_atfork handler) waits
// until no such scope is open, while new ones wait for the fork. Scopes
// never nest on one thread and never hold a wait for the socket: a wait
// inside a call (a TLS step's socket wait) runs in an OpenSslCall::Pause.
class OpenSslCall {
 public:
  OpenSslCall() noexcept;
  ~OpenSslCall();
  OpenSslCall(const OpenSslCall&) = delete;
  OpenSslCall& operator=(const OpenSslCall&) = delete;

  // Lets a fork through for its lifetime, inside an open scope.
  class Pause {
   public:
    Pause() noexcept;
    ~Pause();
    Pause(const Pause&) = delete;
    Pause& operator=(const Pause&) = delete;
  };
};

// Runs one OpenSSL call on `ssl` over socket `fd` (SSL_connect,
// SSL_do_handshake, SSL_write, ...) to its end: repeats it as long as it
// asks to wait for the socket, waiting no longer than the deadline. Once the
// deadline has passed every read and write of the step fails, however many
// bytes keep arriving. Returns the call's last result, for SSL_get_error;
// *timed_out, when given, tells whether the wait ended it (the deadline
// passed, or the wait itself failed).
// Runs inside the caller's OpenSslCall scope; its waits pause it.
int RunTlsStep(SSL* ssl, int fd, const Deadline& deadline, const std::function<int()>& step,
               bool* timed_out = nullptr);

}  // namespace tamlix::platform
