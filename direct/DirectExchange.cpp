#include "DirectExchange.h"

#include <openssl/err.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include "UnitDebugSys.h"
#include "UnitTamlixDirect.h"
#include "platform/TlsClient.h"

namespace tamlix::direct {
namespace {

constexpr const char* kExchangeProc = "ReadWriteSocket";
constexpr const char* kExchangeUnitProc = "UnitTamlixDirect.ReadWriteSocket";
constexpr const char* kClaimProc = "UnitTamlixDirect.Process_claim";

// The exchange's connection objects (TlsClient.h) and its receive buffer;
// one set per loaded library.
struct TDirectConnection : platform::TTlsConnection {
  char ReceiveBuffer[kReceiveBufferSize] = {};
};

std::mutex g_exchangeMutex;
TDirectConnection g;  // GUARDED_BY(g_exchangeMutex)
std::atomic<long long> g_spellMs{kWaitSeconds * 1000};

void SocketRecord(const std::string& message) {
  WriteDebugRecord(kModuleDll, message, "SocketConnect", "", "");
}

// The shared client's records: Module "TamlixCore.dll", the session's name.
void TlsRecord(const char* procedure, std::string_view message) noexcept {
  // Also called from inside OpenSSL: nothing may unwind through it.
  try {
    WriteDebugRecord(kModuleCore, message, procedure, SessionName(), "");
  } catch (...) {
  }
}

constexpr platform::TTlsSetUp kSetUp{TlsRecord, /*ClearAfterNew=*/false, /*StatusFailureEnds=*/false};

void ExchangeRecord(const char* procedure, const std::string& message, const std::string& data = {}) {
  WriteDebugRecord(kModuleDll, message, procedure, "", "", data);
}

// The close sequence of an exchange.
void CloseSequence() {
  const std::string session = SessionName();
  WriteDebugRecord(kModuleCore, "Begin SSL Cleanup", "UnitCoreDataModule.InitializeCore", session, "");
  {
    platform::OpenSslCall call;
    ERR_clear_error();
  }
  WriteDebugRecord(kModuleCore, "SSL Close", "UnitCoreDataModule.InitializeCore", session, "");
  platform::ShutdownTls(g);
  platform::FreeTls(g);
  platform::FreeTlsContext(g);
  int r = -1;
  if (g.SocketHandle >= 0) {
    r = ::shutdown(g.SocketHandle, SHUT_WR);
    platform::CloseSocket(g);
  }
  WriteDebugRecord(kModuleCore, "Close Socket Resule code - " + std::to_string(r),
                   "UnitCoreDataModule.ResetConnection", session, "");
}

// After the read that ended the wait: whatever else has already arrived
// (bytes that TLS holds decrypted, or more records on the socket, a reply
// written in several), appended, up to kMaxReply bytes in all; no further
// wait. The byte count in all.
int ReadRest(int total) {
  while (total < kMaxReply && platform::MoreArrived(g)) {
    int n = platform::ReadArrived(g, g.ReceiveBuffer + total, kMaxReply - total);
    if (n <= 0) break;  // a record without reply data, or part of one: the reading ends
    total += n;
  }
  return total;
}

}  // namespace

void SetWaitSpellForTesting(std::chrono::milliseconds spell) noexcept {
  g_spellMs = spell.count() > 0 ? spell.count() : kWaitSeconds * 1000;
}

bool ExchangeObjectsHeldForTesting() {
  std::lock_guard<std::mutex> lock(g_exchangeMutex);
  return g.SocketHandle >= 0 || g.SSLHandle || g.SSLContext;
}

void ReleaseExchangeObjects() noexcept { platform::ReleaseQuietly(g); }

bool Init_SSL_Connect() { return platform::SetUpTls(g, kSetUp); }

bool SocketConnect(int32_t Port, const std::string& Address) {
  const std::string port = std::to_string(Port);
  SocketRecord("Create/Connect to Socket: " + Address + " " + port);
  if (!platform::OpenSocket(g)) {
    SocketRecord("Socket Error:" + std::to_string(errno));
    return false;
  }
  const uint32_t address = platform::HostAddress(Address, TlsRecord);
  const bool named = !Address.empty() && Address[0] == '*';
  SocketRecord("Attempting Socket Connection: " + (named ? Address.substr(1) : Address) + " " + port);

  if (platform::ConnectSocket(g, address, Port) != 0) {
    SocketRecord("Socket Error:" + std::to_string(errno));
    platform::CloseSocket(g);
    return false;
  }
  SocketRecord("Socket Connection Successful");
  if (Init_SSL_Connect()) {
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

  if (!platform::SetBlocking(g.SocketHandle, true)) {
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
    platform::WriteRequest(g, claim);
    ExchangeRecord(kExchangeUnitProc, "SSL_Write", claim);
  } catch (...) {
    result = 0;
    ExchangeRecord(kExchangeProc, "Error - " + std::to_string(BytesWritten ? *BytesWritten : 0) + " Bytes Written",
                   claim);
  }

  // Wait for the reply, one spell of kWaitSeconds: a signal, or records
  // that bring no reply (tickets, KeyUpdates, part of a record), resume the
  // wait with what is left of it and never extend it.
  ExchangeRecord(kExchangeUnitProc, "SSL_Read");
  const platform::Deadline spell{std::chrono::milliseconds(g_spellMs.load())};
  const platform::TReplyRead read = platform::ReadReply(g, g.ReceiveBuffer, kMaxReply, spell);
  switch (read.End) {
    case platform::TReplyEnd::TimedOut:
    case platform::TReplyEnd::Stopped:  // not asked for: the wait has no stop request
      result = 0;
      ExchangeRecord(kExchangeProc, "TimeOut");
      break;
    case platform::TReplyEnd::WaitFailed:
      // A lasting error of the wait: it would never end by itself.
      result = 0;
      ExchangeRecord(kExchangeProc, "Select Error:" + std::to_string(read.Error));
      break;
    case platform::TReplyEnd::Data:
    case platform::TReplyEnd::NoData: {
      const int32_t count = read.End == platform::TReplyEnd::Data ? ReadRest(read.Result) : read.Result;
      if (BytesReceived) *BytesReceived = count;
      ExchangeRecord(kExchangeProc, std::to_string(count) + " Bytes Received", g.ReceiveBuffer);
      break;
    }
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
