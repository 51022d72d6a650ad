// BareTlsClient: the smallest OpenSSL client that talks to a switch the way the
// product's clients do (TLS_client_method, cipher list "ALL", options 0x000FFFFF,
// no certificate checked or presented). Tests use it to drive testswitch; the
// benchmarks use Exchange() as the baseline round trip. One connection at a time;
// not thread-safe. No call raises SIGPIPE or throws, except the constructor.
#pragma once

#include <openssl/ssl.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace tamlix::testing {

class BareTlsClient {
 public:
  // Makes the TLS context; throws std::runtime_error when OpenSSL cannot.
  BareTlsClient();
  ~BareTlsClient();  // Close()
  BareTlsClient(const BareTlsClient&) = delete;
  BareTlsClient& operator=(const BareTlsClient&) = delete;

  // A TCP connection to 127.0.0.1:port (closing any earlier one).
  bool Connect(std::uint16_t port, int timeoutMs = 5000);
  // The TLS client handshake on the connection; false when it fails.
  bool Handshake(int timeoutMs = 5000);
  // One SSL write of all of data.
  bool Write(std::string_view data, int timeoutMs = 5000);

  enum class ReadStatus { Data, Closed, Timeout, Error };
  struct ReadResult {
    ReadStatus status;
    std::string data;  // what one SSL read returned, when status is Data
  };
  // Waits up to timeoutMs for data, then one SSL read of at most maxBytes.
  ReadResult ReadOnce(int timeoutMs, std::size_t maxBytes = 16384);
  // Reads until `total` bytes arrived, the peer closed, or timeoutMs passed in all.
  std::string ReadUpTo(std::size_t total, int timeoutMs);

  // Sends close_notify (best effort) and closes the socket.
  void Close();

  int fd() const { return fd_; }
  // The TLS session after Handshake(), or null.
  SSL* ssl() const { return ssl_; }
  // Why the last call failed, for test messages.
  const std::string& lastError() const { return lastError_; }

  // One round trip as the benchmark baseline: new TCP connection, handshake,
  // one write, one read, close. False with lastError() set on any failure.
  bool Exchange(std::uint16_t port, std::string_view request, std::string* reply, int timeoutMs = 5000);

 private:
  bool Fail(std::string why);
  // Waits for what OpenSSL asked for; false on time-out or an error.
  bool WaitFor(int sslError, long long deadlineMs);

  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
  int fd_ = -1;
  std::string lastError_;
};

}  // namespace tamlix::testing
