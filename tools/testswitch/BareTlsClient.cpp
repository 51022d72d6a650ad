#include "BareTlsClient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

namespace tamlix::testing {
namespace {

long long NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int LeftMs(long long deadline) {
  long long left = deadline - NowMs();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Blocks SIGPIPE in this thread for its lifetime and drops one raised meanwhile,
// so a write to a closed peer reports an error instead of killing the process.
class NoSigPipe {
 public:
  NoSigPipe() {
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    sigpending(&pending_);
    wasPending_ = sigismember(&pending_, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe, &old_);
  }
  ~NoSigPipe() {
    sigset_t pipe, now;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    sigpending(&now);
    if (!wasPending_ && sigismember(&now, SIGPIPE) == 1) {
      timespec zero{0, 0};
      sigtimedwait(&pipe, nullptr, &zero);
    }
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }

 private:
  sigset_t old_, pending_;
  bool wasPending_;
};

}  // namespace

BareTlsClient::BareTlsClient() {
  ctx_ = SSL_CTX_new(TLS_client_method());
  if (!ctx_) throw std::runtime_error("BareTlsClient: SSL_CTX_new failed");
  SSL_CTX_set_cipher_list(ctx_, "ALL");
  SSL_CTX_set_options(ctx_, 0x000FFFFFUL);
  SSL_CTX_set_verify(ctx_, SSL_VERIFY_NONE, nullptr);
}

BareTlsClient::~BareTlsClient() {
  Close();
  SSL_CTX_free(ctx_);
}

bool BareTlsClient::Fail(std::string why) {
  char buf[256];
  while (unsigned long e = ERR_get_error()) {
    ERR_error_string_n(e, buf, sizeof buf);
    why += std::string("; ") + buf;
  }
  lastError_ = std::move(why);
  return false;
}

bool BareTlsClient::Connect(std::uint16_t port, int timeoutMs) {
  Close();
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return Fail(std::string("socket: ") + std::strerror(errno));
  int one = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return true;
  if (errno != EINPROGRESS) return Fail(std::string("connect: ") + std::strerror(errno));
  pollfd p{fd_, POLLOUT, 0};
  if (::poll(&p, 1, timeoutMs) <= 0) return Fail("connect: timed out");
  int err = 0;
  socklen_t len = sizeof err;
  ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len);
  if (err != 0) return Fail(std::string("connect: ") + std::strerror(err));
  return true;
}

bool BareTlsClient::WaitFor(int sslError, long long deadline) {
  short events;
  if (sslError == SSL_ERROR_WANT_READ) {
    events = POLLIN;
  } else if (sslError == SSL_ERROR_WANT_WRITE) {
    events = POLLOUT;
  } else {
    return Fail("TLS error " + std::to_string(sslError));
  }
  pollfd p{fd_, events, 0};
  int rc;
  do rc = ::poll(&p, 1, LeftMs(deadline));
  while (rc < 0 && errno == EINTR);
  if (rc == 0) return Fail("timed out");
  if (rc < 0) return Fail(std::string("poll: ") + std::strerror(errno));
  return true;
}

bool BareTlsClient::Handshake(int timeoutMs) {
  if (fd_ < 0) return Fail("not connected");
  ssl_ = SSL_new(ctx_);
  if (!ssl_ || SSL_set_fd(ssl_, fd_) != 1) return Fail("SSL_new failed");
  long long deadline = NowMs() + timeoutMs;
  NoSigPipe guard;
  for (;;) {
    ERR_clear_error();
    int rc = SSL_connect(ssl_);
    if (rc == 1) return true;
    if (!WaitFor(SSL_get_error(ssl_, rc), deadline)) return Fail("handshake failed: " + lastError_);
  }
}

bool BareTlsClient::Write(std::string_view data, int timeoutMs) {
  if (!ssl_) return Fail("no TLS session");
  long long deadline = NowMs() + timeoutMs;
  NoSigPipe guard;
  for (;;) {
    ERR_clear_error();
    std::size_t put = 0;
    if (SSL_write_ex(ssl_, data.data(), data.size(), &put) == 1) return true;
    if (!WaitFor(SSL_get_error(ssl_, 0), deadline)) return Fail("write failed: " + lastError_);
  }
}

BareTlsClient::ReadResult BareTlsClient::ReadOnce(int timeoutMs, std::size_t maxBytes) {
  if (!ssl_) {
    Fail("no TLS session");
    return {ReadStatus::Error, {}};
  }
  long long deadline = NowMs() + timeoutMs;
  std::string buf(maxBytes, '\0');
  NoSigPipe guard;  // reading can answer a renegotiation or a key update
  for (;;) {
    ERR_clear_error();
    std::size_t got = 0;
    if (SSL_read_ex(ssl_, buf.data(), buf.size(), &got) == 1) {
      buf.resize(got);
      return {ReadStatus::Data, std::move(buf)};
    }
    int err = SSL_get_error(ssl_, 0);
    if (err == SSL_ERROR_ZERO_RETURN) return {ReadStatus::Closed, {}};
    if (err == SSL_ERROR_SYSCALL || err == SSL_ERROR_SSL) {
      // An end of the stream without close_notify counts as a close too.
      Fail("read ended");
      return {ReadStatus::Closed, {}};
    }
    if (!WaitFor(err, deadline)) {
      return {lastError_ == "timed out" ? ReadStatus::Timeout : ReadStatus::Error, {}};
    }
  }
}

std::string BareTlsClient::ReadUpTo(std::size_t total, int timeoutMs) {
  long long deadline = NowMs() + timeoutMs;
  std::string all;
  while (all.size() < total) {
    ReadResult r = ReadOnce(LeftMs(deadline));
    if (r.status != ReadStatus::Data) break;
    all += r.data;
  }
  return all;
}

void BareTlsClient::Close() {
  if (ssl_) {
    NoSigPipe guard;
    ERR_clear_error();
    if (SSL_is_init_finished(ssl_)) SSL_shutdown(ssl_);
    SSL_free(ssl_);
    ssl_ = nullptr;
    ERR_clear_error();
  }
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool BareTlsClient::Exchange(std::uint16_t port, std::string_view request, std::string* reply, int timeoutMs) {
  bool ok = Connect(port, timeoutMs) && Handshake(timeoutMs) && Write(request, timeoutMs);
  if (ok) {
    ReadResult r = ReadOnce(timeoutMs, 6144);
    ok = r.status == ReadStatus::Data;
    if (ok) *reply = std::move(r.data);
    else Fail("no reply");
  }
  Close();
  return ok;
}

}  // namespace tamlix::testing
