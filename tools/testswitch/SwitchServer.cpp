#include "SwitchServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

#include "ReplyPattern.h"

namespace tamlix::testswitch {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRequestIdleMs = 150;                    // a request ends after this much quiet
constexpr std::size_t kMaxRequest = 16 * 1024 * 1024;  // a longer one is cut here
constexpr unsigned char kETX = 0x03;

std::string OpenSslErrors() {
  std::string text;
  char buf[256];
  while (unsigned long e = ERR_get_error()) {
    ERR_error_string_n(e, buf, sizeof buf);
    if (!text.empty()) text += "; ";
    text += buf;
  }
  return text.empty() ? "no OpenSSL error recorded" : text;
}

bool MakeSelfSigned(SSL_CTX* ctx, std::string* error) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  bool ok = key && cert;
  if (ok) {
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), static_cast<long>(::time(nullptr)));
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 365L * 24 * 3600);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
    ok = X509_set_issuer_name(cert, name) == 1 && X509_set_pubkey(cert, key) == 1 &&
         X509_sign(cert, key, EVP_sha256()) > 0 && SSL_CTX_use_certificate(ctx, cert) == 1 &&
         SSL_CTX_use_PrivateKey(ctx, key) == 1;
  }
  if (!ok) *error = "cannot make the certificate: " + OpenSslErrors();
  X509_free(cert);
  EVP_PKEY_free(key);
  return ok;
}

void SleepFor(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// One accepted connection: non-blocking socket, TLS or plain, every wait also
// watching the stop pipe so that a stop never waits on a client.
class Connection {
 public:
  enum class Io { Ok, Closed, Timeout, Stopped };

  Connection(int fd, SSL* ssl, int stopFd) : fd_(fd), ssl_(ssl), stopFd_(stopFd) {}
  ~Connection() {
    if (ssl_) SSL_free(ssl_);
    ::close(fd_);
  }

  // trickleMs > 0: what the handshake writes goes out one byte at a time,
  // trickleMs apart (collected in memory first, then sent by hand).
  Io Handshake(int trickleMs) {
    if (!ssl_) return Io::Ok;
    BIO* held = nullptr;
    if (trickleMs > 0) {
      held = BIO_new(BIO_s_mem());
      if (!held) return Io::Closed;
      SSL_set0_wbio(ssl_, held);
    }
    for (;;) {
      ERR_clear_error();
      int rc = SSL_accept(ssl_);
      int error = SSL_get_error(ssl_, rc);
      if (held) {
        Io t = Trickle(held, trickleMs);
        if (t != Io::Ok) return t;
      }
      if (rc == 1) break;
      Io w = WaitFor(error, -1);
      if (w != Io::Ok) return w;
    }
    if (held) {
      BIO* socket = BIO_new_socket(fd_, BIO_NOCLOSE);
      if (!socket) return Io::Closed;
      SSL_set0_wbio(ssl_, socket);
    }
    return Io::Ok;
  }

  // Reads what is there, waiting up to timeoutMs (-1: no limit) for the first byte.
  Io ReadSome(std::string* into, int timeoutMs) {
    char buf[16384];
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      int left = -1;
      if (timeoutMs >= 0) {
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        left = ms > 0 ? static_cast<int>(ms) : 0;
      }
      if (!ssl_) {
        ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n > 0) {
          into->append(buf, static_cast<std::size_t>(n));
          return Io::Ok;
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) return Io::Closed;
        Io w = Poll(POLLIN, left);
        if (w != Io::Ok) return w;
        continue;
      }
      ERR_clear_error();
      std::size_t got = 0;
      if (SSL_read_ex(ssl_, buf, sizeof buf, &got) == 1) {
        into->append(buf, got);
        return Io::Ok;
      }
      Io w = WaitFor(SSL_get_error(ssl_, 0), left);
      if (w != Io::Ok) return w;
    }
  }

  Io WriteAll(std::string_view data) {
    if (!ssl_) return SendRaw(data);
    while (!data.empty()) {
      ERR_clear_error();
      std::size_t put = 0;
      if (SSL_write_ex(ssl_, data.data(), data.size(), &put) == 1) {
        data.remove_prefix(put);
        continue;
      }
      Io w = WaitFor(SSL_get_error(ssl_, 0), -1);
      if (w != Io::Ok) return w;
    }
    return Io::Ok;
  }

  // Sends what `held` collected, a byte at a time, pausing before each.
  Io Trickle(BIO* held, int pauseMs) {
    char byte;
    while (BIO_read(held, &byte, 1) == 1) {
      if (Pause(pauseMs) == Io::Stopped) return Io::Stopped;
      Io w = SendRaw(std::string_view(&byte, 1));
      if (w != Io::Ok) return w;
    }
    return Io::Ok;
  }

  // Bytes straight to the socket, past TLS.
  Io SendRaw(std::string_view data) {
    while (!data.empty()) {
      ssize_t n = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
      if (n > 0) {
        data.remove_prefix(static_cast<std::size_t>(n));
        continue;
      }
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        Io w = Poll(POLLOUT, -1);
        if (w != Io::Ok) return w;
        continue;
      }
      return Io::Closed;
    }
    return Io::Ok;
  }

  // The TLS records that one write of `data` makes, as bytes, for sending
  // by hand (SendRaw); TLS counts them as sent.
  Io SealRecords(std::string_view data, std::string* records) {
    BIO* held = BIO_new(BIO_s_mem());
    if (!held) return Io::Closed;
    SSL_set0_wbio(ssl_, held);
    ERR_clear_error();
    std::size_t put = 0;
    bool ok = SSL_write_ex(ssl_, data.data(), data.size(), &put) == 1 && put == data.size();
    char* bytes = nullptr;
    long n = BIO_get_mem_data(held, &bytes);
    if (ok && n > 0) records->assign(bytes, static_cast<std::size_t>(n));
    BIO* socket = BIO_new_socket(fd_, BIO_NOCLOSE);
    if (!socket) return Io::Closed;
    SSL_set0_wbio(ssl_, socket);
    return ok ? Io::Ok : Io::Closed;
  }

  // TLS 1.3 KeyUpdates, one after the other, for `ms`: each goes out as soon
  // as the socket takes it. Reads nothing, so a client that must answer
  // (requested) fills the way back. Ok when the time is up.
  Io KeyUpdates(int ms, bool requested) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    const int type = requested ? SSL_KEY_UPDATE_REQUESTED : SSL_KEY_UPDATE_NOT_REQUESTED;
    while (Clock::now() < end) {
      if (StopRequested()) return Io::Stopped;
      ERR_clear_error();
      if (SSL_key_update(ssl_, type) != 1) return Io::Closed;  // not TLS 1.3
      for (;;) {
        int rc = SSL_do_handshake(ssl_);
        if (rc == 1) break;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        Io w = WaitFor(SSL_get_error(ssl_, rc), left > 0 ? static_cast<int>(left) : 0);
        if (w == Io::Timeout) return Io::Ok;
        if (w != Io::Ok) return w;
      }
    }
    return Io::Ok;
  }

  // Sleeps, unless a stop comes first.
  Io Pause(int ms) { return ms > 0 ? (Poll(0, ms) == Io::Stopped ? Io::Stopped : Io::Ok) : Io::Ok; }

  // For loops that may never wait: has the stop come?
  bool StopRequested() { return Poll(0, 0) == Io::Stopped; }

  // Best effort: a close_notify when TLS is up, never waiting for the peer's.
  void Shutdown() {
    if (!ssl_) return;
    ERR_clear_error();
    if (SSL_shutdown(ssl_) < 0) ERR_clear_error();
  }

 private:
  Io WaitFor(int sslError, int timeoutMs) {
    switch (sslError) {
      case SSL_ERROR_WANT_READ: return Poll(POLLIN, timeoutMs);
      case SSL_ERROR_WANT_WRITE: return Poll(POLLOUT, timeoutMs);
      default:
        // A peer that closes, resets or speaks something else: this connection is over.
        ERR_clear_error();
        return Io::Closed;
    }
  }

  // events 0: wait for nothing but the stop pipe or the time-out.
  Io Poll(short events, int timeoutMs) {
    pollfd fds[2] = {{stopFd_, POLLIN, 0}, {fd_, events, 0}};
    for (;;) {
      int rc = ::poll(fds, events ? 2 : 1, timeoutMs);
      if (rc < 0 && errno == EINTR) continue;
      if (rc < 0) return Io::Closed;
      if (fds[0].revents) return Io::Stopped;
      if (rc == 0) return Io::Timeout;
      return Io::Ok;  // readable, writable or an error that the next call reports
    }
  }

  int fd_;
  SSL* ssl_;
  int stopFd_;
};

}  // namespace

struct SwitchServer::Impl {
  struct Worker {
    std::thread thread;
    std::atomic<bool> done{false};
  };

  SwitchOptions options;
  int stopFd;
  int listenFd = -1;
  int port = 0;
  SSL_CTX* ctx = nullptr;
  std::atomic<int> nextRequest{0};
  std::list<Worker> workers;  // main thread only
  std::vector<int> fillers;   // --full-backlog: our own connects that fill the queue
  std::mutex stderrMutex;

  void Complain(const std::string& what) {
    std::lock_guard<std::mutex> lock(stderrMutex);
    std::fprintf(stderr, "testswitch: %s\n", what.c_str());
  }

  bool SetUpTls(std::string* error) {
    ctx = SSL_CTX_new(TLS_server_method());
    if (!ctx) {
      *error = "cannot make the TLS context: " + OpenSslErrors();
      return false;
    }
    // Any protocol version and cipher that this OpenSSL still has: the clients
    // under test offer cipher list "ALL" and switch many options off.
    SSL_CTX_set_security_level(ctx, 0);
    SSL_CTX_set_min_proto_version(ctx, 0);
    SSL_CTX_set_max_proto_version(ctx, 0);
    SSL_CTX_set_cipher_list(ctx, "ALL:@SECLEVEL=0");
    SSL_CTX_set_options(ctx, SSL_OP_ALLOW_CLIENT_RENEGOTIATION);
    SSL_CTX_set_mode(ctx, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    if (options.certFile.empty()) return MakeSelfSigned(ctx, error);
    if (SSL_CTX_use_certificate_chain_file(ctx, options.certFile.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx, options.keyFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(ctx) != 1) {
      *error = "cannot use certificate '" + options.certFile + "' with key '" + options.keyFile +
               "': " + OpenSslErrors();
      return false;
    }
    return true;
  }

  // Writes under a temporary name and renames, so a reader never sees half a request.
  void LogRequest(int k, const std::string& request) {
    if (options.logDir.empty()) return;
    std::string final = options.logDir + "/request-" + std::to_string(k) + ".bin";
    std::string temp = options.logDir + "/.request-" + std::to_string(k) + ".tmp";
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    bool ok = fd >= 0;
    std::size_t off = 0;
    while (ok && off < request.size()) {
      ssize_t n = ::write(fd, request.data() + off, request.size() - off);
      if (n < 0 && errno == EINTR) continue;
      ok = n > 0;
      if (ok) off += static_cast<std::size_t>(n);
    }
    if (fd >= 0 && ::close(fd) != 0) ok = false;
    if (ok && ::rename(temp.c_str(), final.c_str()) != 0) ok = false;
    if (!ok) {
      Complain("cannot write " + final + ": " + std::strerror(errno));
      ::unlink(temp.c_str());
    }
  }

  std::string Reply(const std::string& request) const {
    switch (options.source) {
      case ReplySource::Echo: return request;
      case ReplySource::Oversize: return tamlix::testing::OversizePattern(options.oversize);
      default: return options.replyText;
    }
  }

  // Reads one request: done at an ETX that ends what was read, after a quiet
  // spell following the first byte, or when the client closes.
  Connection::Io ReadRequest(Connection& c, std::string* request) {
    Connection::Io io = c.ReadSome(request, -1);
    while (io == Connection::Io::Ok && request->size() < kMaxRequest &&
           static_cast<unsigned char>(request->back()) != kETX) {
      io = c.ReadSome(request, kRequestIdleMs);
    }
    if (io == Connection::Io::Timeout) io = Connection::Io::Ok;
    return io;
  }

  // Reads the client's hello and answers with plaintext HelloRequests (a
  // client ignores them while it negotiates) until the client goes.
  void StreamHelloRequests(int fd) {
    static constexpr char kHelloRequest[] = {0x16, 0x03, 0x03, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00};
    Connection c(fd, nullptr, stopFd);
    std::string hello;
    if (c.ReadSome(&hello, -1) != Connection::Io::Ok) return;
    std::string burst;
    for (int i = 0; i < 256; ++i) burst.append(kHelloRequest, sizeof kHelloRequest);
    while (!c.StopRequested() && c.SendRaw(burst) == Connection::Io::Ok) {
    }
  }

  // The reply's records by hand: split in two writes, or cut short and
  // followed by silence until the client goes.
  Connection::Io SendShapedReply(Connection& c, const std::string& reply) {
    using Io = Connection::Io;
    std::string records;
    Io io = c.SealRecords(reply, &records);
    if (io != Io::Ok) return io;
    if (options.partialRecord > 0) {
      io = c.SendRaw(std::string_view(records).substr(0, static_cast<std::size_t>(options.partialRecord)));
      std::string discard;
      while (io == Io::Ok && (io = c.ReadSome(&discard, -1)) == Io::Ok) discard.clear();
      return Io::Closed;
    }
    const std::size_t half = records.size() / 2;
    io = c.SendRaw(std::string_view(records).substr(0, half));
    if (io == Io::Ok) io = c.Pause(options.splitRecordMs);
    if (io == Io::Ok) io = c.SendRaw(std::string_view(records).substr(half));
    return io;
  }

  void Serve(int fd) {
    if (options.helloRequests) {
      StreamHelloRequests(fd);
      return;
    }
    SSL* ssl = nullptr;
    if (ctx) {
      ssl = SSL_new(ctx);
      if (!ssl || SSL_set_fd(ssl, fd) != 1) {
        if (ssl) SSL_free(ssl);
        ::close(fd);
        Complain("cannot set up TLS on a connection: " + OpenSslErrors());
        return;
      }
    }
    Connection c(fd, ssl, stopFd);
    using Io = Connection::Io;
    if (c.Handshake(options.trickleMs) != Io::Ok) return;
    int k = ++nextRequest;
    std::string request;
    Io io = ReadRequest(c, &request);
    if (io == Io::Stopped) return;
    LogRequest(k, request);
    bool peerOpen = io == Io::Ok;
    if (options.action == Action::Silent) {
      // Hold the connection until the client goes or the switch stops.
      std::string discard;
      while (peerOpen && c.ReadSome(&discard, -1) == Io::Ok) discard.clear();
      c.Shutdown();
      return;
    }
    if (c.Pause(options.delayMs) == Io::Stopped) return;
    if (options.keyUpdatesMs > 0 && c.KeyUpdates(options.keyUpdatesMs, options.keyUpdateRequested) != Io::Ok) return;
    if (options.action == Action::Reply && (options.splitRecordMs >= 0 || options.partialRecord > 0)) {
      if (SendShapedReply(c, Reply(request)) != Io::Ok) return;
      std::string discard;
      while (peerOpen && c.ReadSome(&discard, -1) == Io::Ok) discard.clear();
    } else if (options.action == Action::Reply) {
      std::string reply = Reply(request);
      std::size_t pieces = std::min<std::size_t>(static_cast<std::size_t>(options.pieces),
                                                 std::max<std::size_t>(reply.size(), 1));
      std::size_t off = 0;
      for (std::size_t i = 0; i < pieces && !reply.empty(); ++i) {
        std::size_t len = (reply.size() - off) / (pieces - i);
        if (i > 0 && c.Pause(options.pauseMs) == Io::Stopped) return;
        if (c.WriteAll(std::string_view(reply).substr(off, len)) != Io::Ok) return;
        off += len;
      }
      // Let the client close first: closing with its bytes unread would reset the
      // connection and could throw away the reply before the client reads it.
      std::string discard;
      while (peerOpen && c.ReadSome(&discard, -1) == Io::Ok) discard.clear();
    }
    c.Shutdown();
  }

  // Connects to our own listener until a connect gets no answer: the accept
  // queue is then full, and the kernel drops every further SYN.
  bool FillBacklog(std::string* error) {
    constexpr int kMaxFillers = 256;
    sockaddr_in self{};
    self.sin_family = AF_INET;
    self.sin_port = htons(static_cast<std::uint16_t>(port));
    self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    while (static_cast<int>(fillers.size()) < kMaxFillers) {
      int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      if (fd < 0) break;
      fillers.push_back(fd);
      if (::connect(fd, reinterpret_cast<sockaddr*>(&self), sizeof self) == 0) continue;
      if (errno != EINPROGRESS) break;
      pollfd p{fd, POLLOUT, 0};
      if (::poll(&p, 1, 300) == 0) return true;  // unanswered: full
    }
    *error = "cannot fill the accept queue";
    return false;
  }

  void ReapWorkers(bool all) {
    for (auto it = workers.begin(); it != workers.end();) {
      if (all || it->done) {
        it->thread.join();
        it = workers.erase(it);
      } else {
        ++it;
      }
    }
  }
};

SwitchServer::SwitchServer(SwitchOptions options, int stopFd) : impl_(std::make_unique<Impl>()) {
  impl_->options = std::move(options);
  impl_->stopFd = stopFd;
}

SwitchServer::~SwitchServer() {
  impl_->ReapWorkers(true);
  for (int fd : impl_->fillers) ::close(fd);
  if (impl_->listenFd >= 0) ::close(impl_->listenFd);
  SSL_CTX_free(impl_->ctx);
}

int SwitchServer::port() const { return impl_->port; }

bool SwitchServer::Start(std::string* error) {
  if (!impl_->options.plain && !impl_->SetUpTls(error)) return false;
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = std::string("cannot make a socket: ") + std::strerror(errno);
    return false;
  }
  impl_->listenFd = fd;
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (impl_->options.keyUpdateRequested) {
    // Accepted sockets take it over: the client's answers soon find no room.
    int small = 1024;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(impl_->options.port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int backlog = impl_->options.fullBacklog ? 0 : 128;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, backlog) != 0) {
    *error = "cannot listen on 127.0.0.1:" + std::to_string(impl_->options.port) + ": " +
             std::strerror(errno);
    return false;
  }
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  impl_->port = ntohs(addr.sin_port);
  return !impl_->options.fullBacklog || impl_->FillBacklog(error);
}

int SwitchServer::Run() {
  Impl& s = *impl_;
  long accepted = 0;
  if (s.options.fullBacklog) {
    // Nothing is ever accepted: wait for the stop alone.
    pollfd stop{s.stopFd, POLLIN, 0};
    while (::poll(&stop, 1, -1) < 0 && errno == EINTR) {
    }
    return 0;
  }
  pollfd fds[2] = {{s.stopFd, POLLIN, 0}, {s.listenFd, POLLIN, 0}};
  while (s.options.maxConnections == 0 || accepted < s.options.maxConnections) {
    int rc = ::poll(fds, 2, 500);
    s.ReapWorkers(false);
    if (rc < 0 && errno != EINTR) {
      s.Complain(std::string("poll failed: ") + std::strerror(errno));
      break;
    }
    if (rc <= 0) continue;
    if (fds[0].revents) break;
    if (!fds[1].revents) continue;
    int fd = ::accept4(s.listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EMFILE || errno == ENFILE) SleepFor(50);  // the pending one stays queued
      continue;
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ++accepted;
    Impl::Worker& w = s.workers.emplace_back();
    try {
      w.thread = std::thread([&s, &w, fd] {
        s.Serve(fd);
        w.done = true;
      });
    } catch (const std::system_error& e) {
      s.workers.pop_back();
      ::close(fd);
      s.Complain(std::string("cannot start a connection thread: ") + e.what());
    }
  }
  ::close(s.listenFd);  // later clients are refused rather than left waiting
  s.listenFd = -1;
  s.ReapWorkers(true);
  return 0;
}

}  // namespace tamlix::testswitch
