#include "CoreConnection.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <pthread.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <ctime>
#include <string>

#include "CoreState.h"
#include "ETamlixCore.h"
#include "SocketTimerThread.h"
#include "UnitCoreDataModule.h"
#include "UnitDebugSys.h"
#include "platform/HostLookup.h"
#include "platform/Sys.h"
#include "platform/TimedConnect.h"

namespace tamlix::core {
namespace {

constexpr const char* kSSLProc = "UnitCoreDataModule.Init_SSL_Connect";
constexpr const char* kInitProc = "UnitCoreDataModule.InitializeCore";
constexpr const char* kResetProc = "UnitCoreDataModule.ResetConnection";
constexpr const char* kCloseProc = "TdtmdlCore.CloseConnection";

void SocketRecord(const std::string& message) noexcept {
  WriteDebugRecord("TamlixDirect.dll", message, "SocketConnect", "", "", nullptr);
}

[[noreturn]] void FailStep(const char* text) {
  Record(kSSLProc, text, CurrentSessionName());
  throw ETamlixCoreSSL(std::string("SSL Error - ") + text);
}

}  // namespace

uint32_t LookupName(const std::string& Name) {
  uint32_t address = platform::FirstIPv4Address(Name);
  if (address == 0) {
    Record("UnitCoreDataModule.LookupName", "Host Name Lookup Failed.  No DNS Entry Returned.",
           CurrentSessionName());
  }
  return address;
}

bool MakeSocketConnection(int32_t Port, const std::string& Host) {
  TCoreState& g = Core();
  SocketRecord("Create/Connect to Socket");
  g.SocketHandle = sys::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (g.SocketHandle < 0) {
    g.SocketHandle = -1;
    SocketRecord("Socket Error:" + std::to_string(errno));
    return false;
  }
  uint32_t address = !Host.empty() && Host[0] == '*' ? LookupName(Host.substr(1)) : ::inet_addr(Host.c_str());
  g.ServerAddr = platform::ServerAddress(address, Port);

  // A stalled switch must not hold the host's thread: the connect, the
  // handshake and the write give up at this deadline, as a refused
  // connection would.
  g.ConnectDeadline = platform::Deadline::ForConnect();
  int rc = platform::ConnectTo(g.SocketHandle, g.ServerAddr, g.ConnectDeadline);
  if (rc != 0) {
    SocketRecord("Socket Error:" + std::to_string(errno));
    return false;
  }
  SocketRecord("IP Socket Connection Successful");
  return true;
}

void ssl_infocallback(const SSL* ssl, int, int) {
  // Called from inside OpenSSL: nothing may unwind through it.
  try {
    const char* state = SSL_state_string_long(ssl);
    Record("UnitCoreDataModule.ssl_infocallback", state ? state : "", CurrentSessionName());
  } catch (...) {
  }
}

bool Init_SSL_Connect(const platform::Deadline& deadline) {
  TCoreState& g = Core();
  Record(kSSLProc, "Begin SSL Initialization", CurrentSessionName());
  bool result = true;
  try {
    g.SSLMethod = TLS_client_method();
    if (!g.SSLMethod) FailStep("Failure Setting SSL Method");
    if (OPENSSL_init_ssl(0, nullptr) <= 0) FailStep("Failure Adding SSL Algorithms");
    g.SSLContext = SSL_CTX_new(g.SSLMethod);
    if (!g.SSLContext) FailStep("Failure creating SSL Context Reference");
    if (SSL_CTX_set_cipher_list(g.SSLContext, "ALL") <= 0) FailStep("Failure Setting Cipher List");
    if (SSL_CTX_set_options(g.SSLContext, 0x000FFFFF) == 0) FailStep("Failure Setting Context Options");
    SSL_CTX_set_info_callback(g.SSLContext, ssl_infocallback);
    g.SSLHandle = SSL_new(g.SSLContext);
    if (!g.SSLHandle) FailStep("Failure Creating SSL Connection");
    SSL_clear(g.SSLHandle);
    g.SSLBio = BIO_new_socket(g.SocketHandle, BIO_NOCLOSE);
    if (!g.SSLBio) FailStep("Failure Creating SSL BIO Socket");
    SSL_set_bio(g.SSLHandle, g.SSLBio, g.SSLBio);
    SSL_set_connect_state(g.SSLHandle);
    SSL* ssl = g.SSLHandle;
    bool timed_out = false;
    if (platform::RunTlsStep(ssl, g.SocketHandle, deadline, [ssl] { return SSL_connect(ssl); }, &timed_out) <= 0) {
      FailStep("Failure Connecting SSL Socket");
    }
    int handshake = platform::RunTlsStep(ssl, g.SocketHandle, deadline, [ssl] { return SSL_do_handshake(ssl); },
                                         &timed_out);
    int error = SSL_get_error(ssl, handshake);
    std::string session = CurrentSessionName();
    if (error == SSL_ERROR_NONE) {
      Record(kSSLProc, "SSL protocol Message 0", session);
    } else if (error == SSL_ERROR_SSL) {
      result = false;
      Record(kSSLProc, "SSL protocol Message 1", session);
    } else if (error == SSL_ERROR_ZERO_RETURN) {
      result = false;
      Record(kSSLProc, "SSL Connection Failed: Socket Closed", session);
    }
    Record(kSSLProc, "SSL Initialization Successful", session);
    return result;
  } catch (...) {
    if (g.SocketHandle >= 0) {
      sys::close(g.SocketHandle);
      g.SocketHandle = -1;
      // The BIO keeps the old number: it must never reach whatever file
      // gets that number next.
      if (g.SSLBio) BIO_set_fd(g.SSLBio, -1, BIO_NOCLOSE);
    }
    Record(kSSLProc, "SSL Initialization Failed", CurrentSessionName());
    return false;
  }
}

void CloseSequence(TCloseCaller caller) noexcept {
  TCoreState& g = Core();
  const bool close = caller == TCloseCaller::CloseConnection;
  std::string session;
  try {
    session = CurrentSessionName();
  } catch (...) {
  }
  Record(kResetProc, "Reset Connection", session);
  if (g.dtmdlCore) g.dtmdlCore->Timer.Enabled = false;
  g.ReadSocket = false;
  try {
    StopWorkersForClose();
    ERR_clear_error();
    Record(kInitProc, "Begin SSL Close", session);
    if (g.SSLHandle) {
      // One try: a switch that reads nothing more must not hold the close.
      if (g.SocketHandle >= 0) platform::SetBlocking(g.SocketHandle, false);
      SigPipeGuard guard;
      SSL_shutdown(g.SSLHandle);
    }
    Record(kInitProc, "SSL Free", session);
    if (g.SSLHandle) {
      SSL_free(g.SSLHandle);
      g.SSLHandle = nullptr;
      g.SSLBio = nullptr;
    }
    Record(kInitProc, "Free any SSL Contexts", session);
    if (g.SSLContext) {
      SSL_CTX_free(g.SSLContext);
      g.SSLContext = nullptr;
    }
    if (close) Record(kCloseProc, "Terminate Thread", session);
    const char* proc = close ? kCloseProc : kResetProc;
    Record(proc, "Close Socket", session);
    if (g.SocketHandle >= 0) {
      // The descriptor is gone after close() whatever it returns, so it is
      // never closed a second time (the number may already be reused).
      int r = sys::close(g.SocketHandle);
      g.SocketHandle = -1;
      Record(proc, "Close Socket Resule code - " + std::to_string(r), session);
    }
  } catch (...) {
    Record(close ? kCloseProc : kInitProc, "Possible Timer and socket cleanup error", session);
  }
}

void ReleaseLeftoverSSL() noexcept {
  TCoreState& g = Core();
  if (g.SSLHandle) SSL_free(g.SSLHandle);
  if (g.SSLContext) SSL_CTX_free(g.SSLContext);
  g.SSLHandle = nullptr;
  g.SSLBio = nullptr;
  g.SSLContext = nullptr;
}

void ReleaseConnectionQuietly() noexcept {
  TCoreState& g = Core();
  ReleaseLeftoverSSL();
  if (g.SocketHandle >= 0) ::close(g.SocketHandle);
  g.SocketHandle = -1;
}

}  // namespace tamlix::core
