#include "UnitCoreDataModule.h"

#include <openssl/crypto.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <iterator>
#include <string>

#include "CoreConnection.h"
#include "CoreState.h"
#include "ETamlixCore.h"
#include "ExportGate.h"
#include "SocketTimerThread.h"
#include "UnitCheckSessions.h"
#include "UnitDebugSys.h"
#include "platform/ProcessOwner.h"

namespace tamlix::core {
namespace {

constexpr const char* kInitProc = "UnitCoreDataModule.InitializeCore";
constexpr const char* kSendProc = "UnitCoreDataModule.function ssl_write";
constexpr const char* kSendFailedText = "SSL or Socket Exception - Possible network error";

std::atomic<platform::NetState*> g_net_state{nullptr};

platform::NetState& Net() {
  if (platform::NetState* state = g_net_state.load()) return *state;
  if (!Core().SystemNet) throw ETamlixCore("no connection state");
  return *Core().SystemNet;
}

void FillStatus(TCoreStatus* status, const char* text) noexcept {
  if (!status) return;
  status->ErrorCode = -1;
  status->ErrorFlag = 1;
  size_t n = std::strlen(text);
  if (n > sizeof status->ErrorText - 1) n = sizeof status->ErrorText - 1;
  std::memcpy(status->ErrorText, text, n);
  status->ErrorText[n] = '\0';
}

}  // namespace

// ---------------------------------------------------------------- data module

TdtmdlCore::TdtmdlCore() = default;
TdtmdlCore::~TdtmdlCore() = default;

void TdtmdlCore::WinSockPortError(TClientSocket*, int, int ErrorEvent, int& ErrorCode) {
  static const char* const kTexts[] = {
      "General Socket Error",
      "An error occurred when trying to write to the socket connection.",
      "An error occurred when trying to read from the socket connection.",
      "A connection request that was already accepted could not be completed.",
      "An error occurred when trying to close a connection.",
      "A problem occurred when trying to accept a client connection request.",
  };
  const char* text = ErrorEvent >= 0 && ErrorEvent <= 5 ? kTexts[ErrorEvent] : kTexts[0];
  TCoreStatus& last = Core().LastSocketError;
  last.ErrorCode = ErrorCode;
  last.ErrorFlag = 0;
  std::memset(last.ErrorText, 0, sizeof last.ErrorText);
  std::memcpy(last.ErrorText, text, std::strlen(text));
  ErrorCode = 0;
}

void TdtmdlCore::TimerTimer(void*) {
  TCoreState& g = Core();
  Record("UnitCoreDataModule.OnTimerEvent", "Timeout procedure executed", CurrentSessionName());
  ClearForRead();
  ResetConnection(nullptr);
  if (TTimeNotifyEvent cb = g.TimerCallback.load()) cb();
  if (TTimeNotifyEvent cb = g.TimeNotifyEvent.load()) cb();
}

bool TdtmdlCore::ResetConnection(TCoreStatus* Status) {
  TCoreState& g = Core();
  CloseSequence(TCloseCaller::ResetConnection);
  MakeSocketConnection(g.Port, g.Host);
  std::string session = CurrentSessionName();
  if (g.SocketHandle < 0) {
    Record(kInitProc, "Socket Connection Failed", session);
    const char* text = g.LastSocketError.ErrorText;
    Record(kInitProc, std::string(text, strnlen(text, sizeof g.LastSocketError.ErrorText)), session);
    FillStatus(Status, "Unable to open socket connection");
    return false;
  }
  if (!Init_SSL_Connect()) {
    Record("UnitCoreDataModule.Init_SSL_Connect", "SSL Initialization failure", session);
    throw ETamlixCore("Core Initialization Failure");
  }
  return true;
}

void TdtmdlCore::ThreadTimerTimer(void*) {}

void TdtmdlCore::CloseConnection() noexcept { CloseSequence(TCloseCaller::CloseConnection); }

// ---------------------------------------------------------------- load, unload

namespace {

// Set in a forked child until the next load: its unload leaves alone
// everything that it did not make itself.
std::atomic<bool> g_forked_child{false};

// The child of a fork starts from a fresh state, as a library just loaded
// that has not started a session: the parent's other threads (workers,
// holders and waiters of its locks) did not come along, so nothing of
// theirs may be waited for, stopped or freed here, and the parent's
// connection, wake-up descriptors and lock file stay the parent's. Runs in
// the child right after fork: it allocates nothing and takes no lock that
// a vanished thread might hold.
void ResetInForkedChild() noexcept {
  platform::ForkChildHandler handler;
  if (!CoreStateLive()) return;  // forked after the unload
  TCoreState& old = Core();
  // The child's copy of the parent's socket: letting go of it here sends
  // nothing and leaves the parent's connection as it is. The SSL objects
  // are the parent's session: forgotten, never shut down.
  if (old.SocketHandle >= 0) ::close(old.SocketHandle);
  std::unique_ptr<platform::NetState> net = std::move(old.SystemNet);
  MakeCoreState();
  Core().SystemNet = std::move(net);
  const int held = TExportLock::ResetInChild(CoreExportLock);
  GiveUpCallingWorkerInChild();
  ExportGate().Reset(static_cast<uint32_t>(held));
  g_forked_child = true;
}

std::atomic<bool> g_fork_handler_set{false};

}  // namespace

void LibraryLoad() noexcept {
  try {
    OpenDebugShared();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "TamlixCore: debug ring not available (%s); running without debug records\n",
                 e.what());
  } catch (...) {
    std::fprintf(stderr, "TamlixCore: debug ring not available; running without debug records\n");
  }
  MakeCoreState();
  g_forked_child = false;
  try {
    // OpenSSL must outlive this library's own clean-up at process exit, so
    // it gets no exit handler of its own.
    {
      platform::OpenSslCall call;
      OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
    }
    Core().SystemNet = platform::MakeSystemNetState({});
  } catch (...) {
    std::fprintf(stderr, "TamlixCore: start-up failed\n");
  }
  // Registered once per copy of the library in memory; dlclose takes it
  // away again.
  if (!g_fork_handler_set.exchange(true)) pthread_atfork(nullptr, nullptr, ResetInForkedChild);
  ExportGate().Reset();
}

void LibraryUnload() noexcept {
  TExportGate& gate = ExportGate();
  gate.Close();
  if (!CoreStateLive()) return;
  TCoreState& g = Core();
  // The process may end from a callback inside an export on this thread (a
  // timer callback that calls exit()): a worker may then be waiting for the
  // lock that this thread holds, so none is waited for. (This thread's own
  // pass keeps the state from being freed below.)
  if (CoreExportLock.HeldByCaller()) {
    RequestAllWorkersStop();
  } else {
    StopAndJoinAllWorkers();
  }
  // A forked child removes only the lock of a session that it started.
  if (!g.SessionInUse && (!g_forked_child || g.SessionStarted)) ClearSessionLock(CurrentSessionName());
  if (gate.Inside() == 0) {
    // Nobody inside, and nobody gets in: a worker that a call started on its
    // way out is the last one.
    StopAndJoinAllWorkers();
    ReleaseConnectionQuietly();
    FreeCoreState();
  }
  CloseDebugShared();
}

// ---------------------------------------------------------------- session start

int32_t RoundTimeOutSeconds(uint32_t milliseconds) noexcept {
  uint32_t whole = milliseconds / 1000;
  uint32_t rest = milliseconds % 1000;
  if (rest > 500 || (rest == 500 && (whole & 1))) ++whole;
  return static_cast<int32_t>(whole);
}

bool InitializeCore(const char* Session, TReceiveCallback ReadCallback, const TTCPIPSettings* Settings,
                    TTimeNotifyEvent TimerCallback, int32_t* InUse) {
  TCoreState& g = Core();
  if (!Session) {
    Record(kInitProc, "Core Initialization Failed", "");
    return false;
  }
  const std::string session = Session;
  Record(kInitProc, "Begin Core Initialization", session);
  g.TimerCallback = TimerCallback;

  bool created = false;
  try {
    if (CheckSessionInUse(session)) {
      g.SessionInUse = true;
      if (InUse) *InUse = kInUseCode;
      Record(kInitProc, "Session " + session + " is in use", session);
      throw ETamlixCore("in use");
    }
    created = true;
    Record(kInitProc, "Check Session In Use Passed", session);
    g.ReadSocket = false;
    if (!Settings) throw ETamlixCore("no settings");
    g.Port = Settings->Port;
    g.Host.assign(Settings->Address.Chars, Settings->Address.Length);
    g.SelectTimeoutSeconds = RoundTimeOutSeconds(Settings->TimeOut);
    {
      TMutexLock lock(g.SessionMutex);
      g.SessionName = session;
    }
    g.SessionStarted = true;
    created = false;  // the session owns its lock from here on
    g.ReadCallback = ReadCallback;

    if (Net().ConnectedState() == platform::INTERNET_CONNECTION_MODEM) {
      uint32_t result = Net().DialUnattended();
      Record(kInitProc, "Dialup Error = " + std::to_string(result), session);
    }
    Record(kInitProc, "End Socket Connection Attemp", session);
    Record(kInitProc, "Core Initialization Succeeded", session);
    return true;
  } catch (...) {
    // A lock file that this call made must not block the session.
    if (created) ClearSessionLock(session);
    Record(kInitProc, "Core Initialization Failed", session);
    return false;
  }
}

void SetTimeNotifyEvent(TTimeNotifyEvent Event) noexcept { Core().TimeNotifyEvent = Event; }

void SetNetStateForTesting(platform::NetState* state) noexcept { g_net_state = state; }

// ---------------------------------------------------------------- sending

bool SendData(const char* Data, TCoreStatus* Status) {
  TCoreState& g = Core();
  if (!g.dtmdlCore) return false;
  RequestWorkerStop();
  size_t size = Data ? std::strlen(Data) : 0;
  Record(kSendProc, "Preparing To Write Data: size = " + std::to_string(size), CurrentSessionName());
  try {
    if (!g.dtmdlCore->ResetConnection(Status)) return false;
    std::string session = CurrentSessionName();
    // One write, within what is left of the connect's deadline.
    const int written = Data && size > 0 ? platform::WriteRequest(g, std::string_view(Data, size)) : 0;
    Record(kSendProc, "SSL Sent Data: Size = " + std::to_string(written) + " bytes", session, {}, Data);
    if (written <= 0) {
      RequestWorkerStop();
      std::string head = Data ? std::string(Data, size < 255 ? size : 255) : std::string();
      Record(kSendProc, "SSL Send Data: write error", session, head);
      throw ETamlixCore("write error");
    }
    g.ReadSocket = true;
    InitializeTimerThread(1000);
    return true;
  } catch (...) {
    Record(kSendProc, "SSL Send Data error", CurrentSessionName(), {}, Data);
    FillStatus(Status, kSendFailedText);
    return false;
  }
}

void ResetSerial() {
  TCoreState& g = Core();
  if (!g.dtmdlCore) return;
  try {
    g.dtmdlCore->TimerTimer(&*g.dtmdlCore);
  } catch (...) {
  }
}

}  // namespace tamlix::core
