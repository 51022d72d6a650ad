#include "TlsClient.h"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "HostLookup.h"
#include "SigPipeGuard.h"
#include "Sys.h"

namespace tamlix::platform {
namespace {

constexpr const char* kSSLProc = "UnitCoreDataModule.Init_SSL_Connect";

// OpenSSL's information callback: one record per state change, through the
// recorder of the library whose context this is.
void InfoCallback(const SSL* ssl, int, int) {
  const auto* how = static_cast<const TTlsSetUp*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
  if (!how) return;
  const char* state = SSL_state_string_long(ssl);
  how->Record("UnitCoreDataModule.ssl_infocallback", state ? state : "");
}

bool IsStopped(const TStopRequest& stop) {
  return stop.Stop && stop.Stop->load(std::memory_order_acquire);
}

}  // namespace

uint32_t LookupName(const std::string& name, TTlsRecord record) {
  uint32_t address = FirstIPv4Address(name);
  if (address == 0) record("UnitCoreDataModule.LookupName", "Host Name Lookup Failed.  No DNS Entry Returned.");
  return address;
}

uint32_t HostAddress(const std::string& host, TTlsRecord record) {
  if (!host.empty() && host[0] == '*') return LookupName(host.substr(1), record);
  return ::inet_addr(host.c_str());
}

bool OpenSocket(TTlsConnection& c) {
  c.SocketHandle = sys::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (c.SocketHandle >= 0) return true;
  c.SocketHandle = -1;
  return false;
}

int ConnectSocket(TTlsConnection& c, uint32_t address, int32_t port) {
  c.ServerAddr = ServerAddress(address, port);
  // A stalled switch must not hold the host's thread: the connect, the
  // handshake and the write give up at this deadline, as a refused
  // connection would.
  c.ConnectDeadline = Deadline::ForConnect();
  return ConnectTo(c.SocketHandle, c.ServerAddr, c.ConnectDeadline);
}

bool SetUpTls(TTlsConnection& c, const TTlsSetUp& how) {
  auto record = [&how](const char* text) { how.Record(kSSLProc, text); };
  // The failure path: the socket goes, the objects made so far stay for the
  // close sequence.
  auto fail = [&](const char* text) {
    if (text) record(text);
    if (c.SocketHandle >= 0) {
      sys::close(c.SocketHandle);
      c.SocketHandle = -1;
      // The BIO keeps the old number: it must never reach whatever file
      // gets that number next.
      if (c.SSLBio) BIO_set_fd(c.SSLBio, -1, BIO_NOCLOSE);
    }
    record("SSL Initialization Failed");
    return false;
  };
  // A step that reports a status failed: true when that ends the set-up.
  auto status_failed = [&](const char* text) {
    record(text);
    return how.StatusFailureEnds;
  };

  record("Begin SSL Initialization");
  OpenSslCall call;
  try {
    // SSL_get_error reads the queue: an old entry must not decide a verdict.
    ERR_clear_error();
    c.SSLMethod = TLS_client_method();
    if (!c.SSLMethod) return fail("Failure Setting SSL Method");
    if (OPENSSL_init_ssl(0, nullptr) <= 0 && status_failed("Failure Adding SSL Algorithms")) return fail(nullptr);
    c.SSLContext = SSL_CTX_new(c.SSLMethod);
    if (!c.SSLContext) return fail("Failure creating SSL Context Reference");
    if (SSL_CTX_set_cipher_list(c.SSLContext, "ALL") <= 0 && status_failed("Failure Setting Cipher List")) {
      return fail(nullptr);
    }
    if (SSL_CTX_set_options(c.SSLContext, 0x000FFFFF) == 0 && status_failed("Failure Setting Context Options")) {
      return fail(nullptr);
    }
    SSL_CTX_set_app_data(c.SSLContext, const_cast<TTlsSetUp*>(&how));
    SSL_CTX_set_info_callback(c.SSLContext, InfoCallback);
    // Every read returns after one record, so that a wait can look at its
    // bound between records that carry no reply.
    SSL_CTX_clear_mode(c.SSLContext, SSL_MODE_AUTO_RETRY);
    c.SSLHandle = SSL_new(c.SSLContext);
    if (!c.SSLHandle) return fail("Failure Creating SSL Connection");
    if (how.ClearAfterNew) SSL_clear(c.SSLHandle);
    c.SSLBio = BIO_new_socket(c.SocketHandle, BIO_NOCLOSE);
    if (!c.SSLBio) return fail("Failure Creating SSL BIO Socket");
    SSL_set_bio(c.SSLHandle, c.SSLBio, c.SSLBio);
    SSL_set_connect_state(c.SSLHandle);

    SSL* ssl = c.SSLHandle;
    bool timed_out = false;
    if (RunTlsStep(ssl, c.SocketHandle, c.ConnectDeadline, [ssl] { return SSL_connect(ssl); }, &timed_out) <= 0) {
      // Past the deadline the connection is given up, as a refused one.
      if (status_failed("Failure Connecting SSL Socket") || timed_out) return fail(nullptr);
    }
    int handshake =
        RunTlsStep(ssl, c.SocketHandle, c.ConnectDeadline, [ssl] { return SSL_do_handshake(ssl); }, &timed_out);
    if (timed_out) return fail(nullptr);
    bool result = true;
    switch (SSL_get_error(ssl, handshake)) {
      case SSL_ERROR_NONE:
        record("SSL protocol Message 0");
        break;
      case SSL_ERROR_SSL:
        result = false;
        record("SSL protocol Message 1");
        break;
      case SSL_ERROR_ZERO_RETURN:
        result = false;
        record("SSL Connection Failed: Socket Closed");
        break;
      default:
        break;
    }
    record("SSL Initialization Successful");
    return result;
  } catch (...) {
    // Any failure inside the steps takes the failure path.
    return fail(nullptr);
  }
}

int WriteRequest(TTlsConnection& c, std::string_view data) {
  SSL* ssl = c.SSLHandle;
  if (!ssl) return 0;
  OpenSslCall call;
  const int len = static_cast<int>(std::min<std::size_t>(data.size(), INT_MAX));
  return RunTlsStep(ssl, c.SocketHandle, c.ConnectDeadline, [ssl, data, len] { return SSL_write(ssl, data.data(), len); });
}

TReplyRead ReadReply(TTlsConnection& c, char* buf, int len, const Deadline& bound, TStopRequest stop) {
  SSL* ssl = c.SSLHandle;
  const int fd = c.SocketHandle;
  TReplyRead out;
  if (!ssl || fd < 0) return out;
  // A read may write too (an alert, the answer to a KeyUpdate) to a peer
  // that has gone. The read itself never waits: the wait is the poll's.
  SigPipeGuard guard;
  OpenSslCall call;
  SetBlocking(fd, false);
  short want = POLLIN;
  bool read_now = SSL_pending(ssl) > 0;
  for (;;) {
    if (!read_now) {
      pollfd fds[2] = {{fd, want, 0}, {stop.WakeFd, POLLIN, 0}};
      const nfds_t count = stop.WakeFd >= 0 ? 2 : 1;
      const bool look_often = stop.Stop && stop.WakeFd < 0;
      const Deadline spell = look_often ? Deadline::Sooner(bound, Deadline(StopCheckSpell)) : bound;
      int rc;
      {
        OpenSslCall::Pause pause;
        rc = PollUntil(fds, count, spell);
      }
      if (rc < 0) {
        out = {TReplyEnd::WaitFailed, -1, errno};
        break;
      }
      if (IsStopped(stop) || (count == 2 && fds[1].revents != 0)) {
        out.End = TReplyEnd::Stopped;
        break;
      }
      if (rc == 0) {
        if (!bound.Passed()) continue;  // a short spell ended
        out.End = TReplyEnd::TimedOut;
        break;
      }
      if (fds[0].revents & POLLNVAL) {
        out = {TReplyEnd::WaitFailed, -1, EBADF};
        break;
      }
    }
    ERR_clear_error();
    const int n = SSL_read(ssl, buf, len);
    if (n > 0) {
      out = {TReplyEnd::Data, n, 0};
      break;
    }
    const int error = SSL_get_error(ssl, n);
    if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
      out = {TReplyEnd::NoData, n, 0};
      break;
    }
    // A record without reply data (a ticket, a KeyUpdate), part of a
    // record, or an answer that waits for room on the socket.
    if (IsStopped(stop)) {
      out.End = TReplyEnd::Stopped;
      break;
    }
    if (bound.Passed()) {
      out.End = TReplyEnd::TimedOut;
      break;
    }
    want = error == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN;
    read_now = want == POLLIN && SSL_pending(ssl) > 0;
  }
  SetBlocking(fd, true);
  return out;
}

bool MoreArrived(const TTlsConnection& c) {
  if (!c.SSLHandle || c.SocketHandle < 0) return false;
  {
    OpenSslCall call;
    if (SSL_pending(c.SSLHandle) > 0) return true;
  }
  pollfd p{c.SocketHandle, POLLIN, 0};
  return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

int ReadArrived(TTlsConnection& c, char* buf, int len) {
  if (!c.SSLHandle || c.SocketHandle < 0) return -1;
  SigPipeGuard guard;
  OpenSslCall call;
  SetBlocking(c.SocketHandle, false);
  ERR_clear_error();
  const int n = SSL_read(c.SSLHandle, buf, len);
  SetBlocking(c.SocketHandle, true);
  return n;
}

void ShutdownTls(TTlsConnection& c) noexcept {
  if (!c.SSLHandle) return;
  // One try: a switch that reads nothing more must not hold the close.
  if (c.SocketHandle >= 0) SetBlocking(c.SocketHandle, false);
  {
    SigPipeGuard guard;
    OpenSslCall call;
    SSL_shutdown(c.SSLHandle);
  }
  if (c.SocketHandle >= 0) SetBlocking(c.SocketHandle, true);
}

void FreeTls(TTlsConnection& c) noexcept {
  if (c.SSLHandle) {
    OpenSslCall call;
    SSL_free(c.SSLHandle);
  }
  c.SSLHandle = nullptr;
  c.SSLBio = nullptr;
}

void FreeTlsContext(TTlsConnection& c) noexcept {
  if (c.SSLContext) {
    OpenSslCall call;
    SSL_CTX_free(c.SSLContext);
  }
  c.SSLContext = nullptr;
}

int CloseSocket(TTlsConnection& c) noexcept {
  if (c.SocketHandle < 0) return 0;
  const int r = sys::close(c.SocketHandle);
  c.SocketHandle = -1;
  return r;
}

void ReleaseQuietly(TTlsConnection& c) noexcept {
  FreeTls(c);
  FreeTlsContext(c);
  CloseSocket(c);
}

}  // namespace tamlix::platform
