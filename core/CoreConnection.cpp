#include "CoreConnection.h"

#include <openssl/err.h>

#include <cerrno>
#include <string>

#include "CoreState.h"
#include "SocketTimerThread.h"
#include "UnitCoreDataModule.h"
#include "UnitDebugSys.h"

namespace tamlix::core {
namespace {

constexpr const char* kInitProc = "UnitCoreDataModule.InitializeCore";
constexpr const char* kResetProc = "UnitCoreDataModule.ResetConnection";
constexpr const char* kCloseProc = "TdtmdlCore.CloseConnection";

void SocketRecord(const std::string& message) noexcept {
  WriteDebugRecord("TamlixDirect.dll", message, "SocketConnect", "", "", nullptr);
}

// The shared client's records: Module "TamlixCore.dll", the session's name.
void TlsRecord(const char* procedure, std::string_view message) noexcept {
  // Also called from inside OpenSSL: nothing may unwind through it.
  try {
    Record(procedure, message, CurrentSessionName());
  } catch (...) {
  }
}

constexpr platform::TTlsSetUp kSetUp{TlsRecord, /*ClearAfterNew=*/true, /*StatusFailureEnds=*/true};

}  // namespace

bool MakeSocketConnection(int32_t Port, const std::string& Host) {
  TCoreState& g = Core();
  SocketRecord("Create/Connect to Socket");
  if (!platform::OpenSocket(g)) {
    SocketRecord("Socket Error:" + std::to_string(errno));
    return false;
  }
  uint32_t address = platform::HostAddress(Host, TlsRecord);
  if (platform::ConnectSocket(g, address, Port) != 0) {
    SocketRecord("Socket Error:" + std::to_string(errno));
    return false;
  }
  SocketRecord("IP Socket Connection Successful");
  return true;
}

bool Init_SSL_Connect() { return platform::SetUpTls(Core(), kSetUp); }

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
    {
      platform::OpenSslCall call;
      ERR_clear_error();
    }
    Record(kInitProc, "Begin SSL Close", session);
    platform::ShutdownTls(g);
    Record(kInitProc, "SSL Free", session);
    platform::FreeTls(g);
    Record(kInitProc, "Free any SSL Contexts", session);
    platform::FreeTlsContext(g);
    if (close) Record(kCloseProc, "Terminate Thread", session);
    const char* proc = close ? kCloseProc : kResetProc;
    Record(proc, "Close Socket", session);
    if (g.SocketHandle >= 0) {
      int r = platform::CloseSocket(g);
      Record(proc, "Close Socket Resule code - " + std::to_string(r), session);
    }
  } catch (...) {
    Record(close ? kCloseProc : kInitProc, "Possible Timer and socket cleanup error", session);
  }
}

void ReleaseLeftoverSSL() noexcept {
  TCoreState& g = Core();
  platform::FreeTls(g);
  platform::FreeTlsContext(g);
}

void ReleaseConnectionQuietly() noexcept { platform::ReleaseQuietly(Core()); }

}  // namespace tamlix::core
