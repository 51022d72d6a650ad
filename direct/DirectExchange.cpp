#include "DirectExchange.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include "UnitDebugSys.h"
#include "UnitTamlixDirect.h"
#include "platform/HostLookup.h"
#include "platform/SigPipeGuard.h"
#include "platform/Sys.h"
#include "platform/TimedConnect.h"

namespace tamlix::direct {
namespace {

constexpr const char* kSSLProc = "UnitCoreDataModule.Init_SSL_Connect";
constexpr const char* kExchangeProc = "ReadWriteSocket";
constexpr const char* kExchangeUnitProc = "UnitTamlixDirect.ReadWriteSocket";
constexpr const char* kClaimProc = "UnitTamlixDirect.Process_claim";

// The exchange's connection objects; one set per loaded library.
struct TDirectConnection {
  int SocketHandle = -1;
  sockaddr_in ServerAddr{};
  const SSL_METHOD* SSLMethod = nullptr;
  SSL_CTX* SSLContext = nullptr;
  SSL* SSLHandle = nullptr;
  BIO* SSLBio = nullptr;  // owned by SSLHandle once set on it
  char ReceiveBuffer[kReceiveBufferSize] = {};
  // Set when the connect starts; the handshake and the write end with it.
  platform::Deadline ConnectDeadline;
};

std::mutex g_exchangeMutex;
TDirectConnection g;  // GUARDED_BY(g_exchangeMutex)
std::atomic<long long> g_spellMs{kWaitSeconds * 1000};

void SocketRecord(const std::string& message) {
  WriteDebugRecord(kModuleDll, message, "SocketConnect", "", "");
}

void SSLRecord(const std::string& message) {
  WriteDebugRecord(kModuleCore, message, kSSLProc, SessionName(), "");
}

void ExchangeRecord(const char* procedure, const std::string& message, const std::string& data = {}) {
  WriteDebugRecord(kModuleDll, message, procedure, "", "", data);
}

using platform::SigPipeGuard;

// Failure path of the set-up: the socket goes, the objects made so far stay
// for the release at the end of the exchange.
bool SetupFailed(const char* text) {
  if (text) SSLRecord(text);
  if (g.SocketHandle >= 0) {
    sys::close(g.SocketHandle);
    g.SocketHandle = -1;
    // The BIO keeps the old number: it must never reach whatever file gets
    // that number next.
    if (g.SSLBio) BIO_set_fd(g.SSLBio, -1, BIO_NOCLOSE);
  }
  SSLRecord("SSL Initialization Failed");
  return false;
}

// The close sequence of an exchange.
void CloseSequence() {
  const std::string session = SessionName();
  WriteDebugRecord(kModuleCore, "Begin SSL Cleanup", "UnitCoreDataModule.InitializeCore", session, "");
  ERR_clear_error();
  WriteDebugRecord(kModuleCore, "SSL Close", "UnitCoreDataModule.InitializeCore", session, "");
  if (g.SSLHandle) {
    {
      // One try: close_notify goes out on a socket whose peer may be gone
      // or stalled, and must not hold the call.
      if (g.SocketHandle >= 0) platform::SetBlocking(g.SocketHandle, false);
      SigPipeGuard guard;
      SSL_shutdown(g.SSLHandle);
    }
    SSL_free(g.SSLHandle);
    g.SSLHandle = nullptr;
    g.SSLBio = nullptr;
  }
  if (g.SSLContext) {
    SSL_CTX_free(g.SSLContext);
    g.SSLContext = nullptr;
  }
  int r = -1;
  if (g.SocketHandle >= 0) {
    r = ::shutdown(g.SocketHandle, SHUT_WR);
    sys::close(g.SocketHandle);
    g.SocketHandle = -1;
  }
  WriteDebugRecord(kModuleCore, "Close Socket Resule code - " + std::to_string(r),
                   "UnitCoreDataModule.ResetConnection", session, "");
}

enum class ReadOutcome { Reply, NotYet };

// True when more bytes have already arrived on the socket; never waits.
bool ArrivedNow(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

// Reads what has arrived: the first read, then whatever TLS already holds
// decrypted (SSL_pending) or the socket already holds (a reply written in
// several records), appended, up to kMaxReply bytes in all; no further wait. NotYet
// when the bytes that woke the wait were TLS housekeeping (session tickets)
// and no reply data.
ReadOutcome ReadReply(int32_t& count) {
  // A read may write too (an alert, a key update answer) to a peer that has gone.
  SigPipeGuard guard;
  platform::SetBlocking(g.SocketHandle, false);
  ERR_clear_error();
  int n = SSL_read(g.SSLHandle, g.ReceiveBuffer, kMaxReply);
  if (n <= 0) {
    int e = SSL_get_error(g.SSLHandle, n);
    platform::SetBlocking(g.SocketHandle, true);
    if (e == SSL_ERROR_WANT_READ) return ReadOutcome::NotYet;
    count = n;
    return ReadOutcome::Reply;
  }
  int total = n;
  while (total < kMaxReply && (SSL_pending(g.SSLHandle) > 0 || ArrivedNow(g.SocketHandle))) {
    n = SSL_read(g.SSLHandle, g.ReceiveBuffer + total, kMaxReply - total);
    if (n <= 0) break;
    total += n;
  }
  platform::SetBlocking(g.SocketHandle, true);
  count = total;
  return ReadOutcome::Reply;
}

}  // namespace

void SetWaitSpellForTesting(std::chrono::milliseconds spell) noexcept {
  g_spellMs = spell.count() > 0 ? spell.count() : kWaitSeconds * 1000;
}

bool ExchangeObjectsHeldForTesting() {
  std::lock_guard<std::mutex> lock(g_exchangeMutex);
  return g.SocketHandle >= 0 || g.SSLHandle || g.SSLContext;
}

void ReleaseExchangeObjects() noexcept {
  if (g.SSLHandle) SSL_free(g.SSLHandle);
  if (g.SSLContext) SSL_CTX_free(g.SSLContext);
  g.SSLHandle = nullptr;
  g.SSLBio = nullptr;
  g.SSLContext = nullptr;
  if (g.SocketHandle >= 0) sys::close(g.SocketHandle);
  g.SocketHandle = -1;
}

uint32_t LookupName(const std::string& Name) {
  uint32_t address = platform::FirstIPv4Address(Name);
  if (address == 0) {
    WriteDebugRecord(kModuleCore, "Host Name Lookup Failed.  No DNS Entry Returned.", "UnitCoreDataModule.LookupName",
                     SessionName(), "");
  }
  return address;
}

void ssl_infocallback(const SSL* ssl, int, int) {
  WriteDebugRecord(kModuleCore, SSL_state_string_long(ssl), "UnitCoreDataModule.ssl_infocallback", SessionName(), "");
}

bool Init_SSL_Connect(const platform::Deadline& deadline) {
  SSLRecord("Begin SSL Initialization");
  bool result = true;
  try {
    ERR_clear_error();
    g.SSLMethod = TLS_client_method();
    if (!g.SSLMethod) return SetupFailed("Failure Setting SSL Method");
    if (OPENSSL_init_ssl(0, nullptr) <= 0) SSLRecord("Failure Adding SSL Algorithms");
    g.SSLContext = SSL_CTX_new(g.SSLMethod);
    if (!g.SSLContext) return SetupFailed("Failure creating SSL Context Reference");
    if (SSL_CTX_set_cipher_list(g.SSLContext, "ALL") <= 0) SSLRecord("Failure Setting Cipher List");
    if (SSL_CTX_set_options(g.SSLContext, 0x000FFFFF) == 0) SSLRecord("Failure Setting Context Options");
    SSL_CTX_set_info_callback(g.SSLContext, ssl_infocallback);
    g.SSLHandle = SSL_new(g.SSLContext);
    if (!g.SSLHandle) return SetupFailed("Failure Creating SSL Connection");
    g.SSLBio = BIO_new_socket(g.SocketHandle, BIO_NOCLOSE);
    if (!g.SSLBio) return SetupFailed("Failure Creating SSL BIO Socket");
    SSL_set_bio(g.SSLHandle, g.SSLBio, g.SSLBio);
    SSL_set_connect_state(g.SSLHandle);
    SSL* ssl = g.SSLHandle;
    bool timed_out = false;
    if (platform::RunTlsStep(ssl, g.SocketHandle, deadline, [ssl] { return SSL_connect(ssl); }, &timed_out) <= 0) {
      SSLRecord("Failure Connecting SSL Socket");
      // Past the deadline the connection is given up, as a refused one.
      if (timed_out) return SetupFailed(nullptr);
    }
    int handshake = platform::RunTlsStep(ssl, g.SocketHandle, deadline, [ssl] { return SSL_do_handshake(ssl); },
                                         &timed_out);
    if (timed_out) return SetupFailed(nullptr);
    int error = SSL_get_error(ssl, handshake);
    if (error == SSL_ERROR_NONE) {
      SSLRecord("SSL protocol Message 0");
    } else if (error == SSL_ERROR_SSL) {
      result = false;
      SSLRecord("SSL protocol Message 1");
    } else if (error == SSL_ERROR_ZERO_RETURN) {
      result = false;
      SSLRecord("SSL Connection Failed: Socket Closed");
    }
    SSLRecord("SSL Initialization Successful");
    return result;
  } catch (...) {
    return SetupFailed(nullptr);
  }
}

bool SocketConnect(int32_t Port, const std::string& Address) {
  const std::string port = std::to_string(Port);
  SocketRecord("Create/Connect to Socket: " + Address + " " + port);
  g.SocketHandle = sys::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (g.SocketHandle < 0) {
    int e = errno;
    g.SocketHandle = -1;
    SocketRecord("Socket Error:" + std::to_string(e));
    return false;
  }
  const bool named = !Address.empty() && Address[0] == '*';
  const std::string shown = named ? Address.substr(1) : Address;
  const uint32_t address = named ? LookupName(shown) : ::inet_addr(Address.c_str());
  g.ServerAddr = platform::ServerAddress(address, Port);
  SocketRecord("Attempting Socket Connection: " + shown + " " + port);

  g.ConnectDeadline = platform::Deadline::ForConnect();
  int rc = platform::ConnectTo(g.SocketHandle, g.ServerAddr, g.ConnectDeadline);
  if (rc != 0) {
    int e = errno;
    SocketRecord("Socket Error:" + std::to_string(e));
    sys::close(g.SocketHandle);
    g.SocketHandle = -1;
    return false;
  }
  SocketRecord("Socket Connection Successful");
  if (Init_SSL_Connect(g.ConnectDeadline)) {
    SocketRecord("Socket/SSL Connection Successful");
    return true;
  }
  SocketRecord("SSL Initialization Failed");
  return false;
}

int32_t ReadWriteSocket(const char* Claim, const int32_t* BytesWritten, char* Response, int32_t* BytesReceived) {
  const std::string claim = Claim ? std::string(Claim) : std::string();
  int32_t result = 1;
  ExchangeRecord(kExchangeProc, "Begin SSL Read/Write");

  const TTCPIPSettings settings = TcpSettings();
  if (!SocketConnect(settings.Port, ShortStringText(settings.Address))) {
    ReleaseExchangeObjects();
    ExchangeRecord(kExchangeProc, "Socket Connect Failed");
    return 0;
  }
  std::memset(g.ReceiveBuffer, 0, sizeof g.ReceiveBuffer);

  try {
    platform::SetBlocking(g.SocketHandle, true);
  } catch (...) {
    ExchangeRecord(kExchangeProc, "Can not set socket to blocking", claim);
    result = 0;
  }

  try {
    if (!g.SSLHandle) {
      // Nothing to wait or read on: end here, releasing what is held.
      ExchangeRecord(kExchangeProc, "Invalid SSL Context", claim);
      CloseSequence();
      ExchangeRecord(kExchangeProc, "SSL read/write finished");
      return 0;
    }
    // One write, within what is left of the connect's deadline.
    SSL* ssl = g.SSLHandle;
    const int length = static_cast<int>(std::min<std::size_t>(claim.size(), INT_MAX));
    bool timed_out = false;
    platform::RunTlsStep(ssl, g.SocketHandle, g.ConnectDeadline,
                         [ssl, &claim, length] { return SSL_write(ssl, claim.data(), length); }, &timed_out);
    ExchangeRecord(kExchangeUnitProc, "SSL_Write", claim);
  } catch (...) {
    result = 0;
    ExchangeRecord(kExchangeProc, "Error - " + std::to_string(BytesWritten ? *BytesWritten : 0) + " Bytes Written",
                   claim);
  }

  // Wait for the reply channel to become readable, one spell of
  // kWaitSeconds: a signal, or TLS housekeeping that carries no reply,
  // resumes the wait with what is left of it.
  ExchangeRecord(kExchangeUnitProc, "SSL_Read");
  const platform::Deadline spell{std::chrono::milliseconds(g_spellMs.load())};
  for (;;) {
    pollfd p{g.SocketHandle, POLLIN, 0};
    int rc = platform::PollUntil(&p, 1, spell);
    if (rc == 0) {
      result = 0;
      ExchangeRecord(kExchangeProc, "TimeOut");
      break;
    }
    if (rc < 0 || (p.revents & POLLNVAL)) {
      // A lasting error of the wait: it would never end by itself.
      int e = rc < 0 ? errno : EBADF;
      result = 0;
      ExchangeRecord(kExchangeProc, "Select Error:" + std::to_string(e));
      break;
    }
    int32_t count = 0;
    if (ReadReply(count) == ReadOutcome::NotYet) continue;
    if (BytesReceived) *BytesReceived = count;
    ExchangeRecord(kExchangeProc, std::to_string(count) + " Bytes Received", g.ReceiveBuffer);
    break;
  }

  CloseSequence();

  try {
    if (Response) std::memcpy(Response, g.ReceiveBuffer, std::strlen(g.ReceiveBuffer) + 1);
  } catch (const std::exception& e) {
    result = 0;
    WriteDebugRecord(kModuleDll, e.what(), "", "", "");
  }
  ExchangeRecord(kExchangeProc, "SSL read/write finished");
  return result;
}

int32_t Process_claim(const char* Claim, const int32_t* BytesWritten, char* Response, int32_t* BytesReceived) {
  std::lock_guard<std::mutex> lock(g_exchangeMutex);
  const std::string session = SessionName();
  WriteDebugRecord(kModuleDLL, "Begin Process Claim", kClaimProc, session, "");
  try {
    int32_t result = ReadWriteSocket(Claim, BytesWritten, Response, BytesReceived);
    WriteDebugRecord(kModuleShort, "Direct Claim Received", kClaimProc, session, "");
    return result;
  } catch (...) {
    ReleaseExchangeObjects();
    WriteDebugRecord(kModuleDLL, "Error processing claim", kClaimProc, session, "");
    return 0;
  }
}

int32_t Process_claim_S(const char* Claim, const int32_t* BytesWritten, char* Response, int32_t* BytesReceived) {
  WriteDebugRecord(kModuleDll, "Begin Process_claim_S", "UnitTamlixDirect.Process_claim_S", "", "",
                   Claim ? std::string_view(Claim) : std::string_view());
  return Process_claim(Claim, BytesWritten, Response, BytesReceived);
}

}  // namespace tamlix::direct
