#include "UnitCoreDataModule.h"

#include <openssl/crypto.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <iterator>
#include <string>

#include "CoreConnection.h"
#include "CoreState.h"
#include "ETamlixCore.h"
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
  platform::NetState* state = g_net_state.load();
  return state ? *state : platform::SystemNetState();
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

// The process that loaded the library: the only one whose unload releases
// anything (see LibraryUnload).
platform::ProcessOwner g_loader;

// In a forked child: the reply workers' threads did not come along, and a
// stop request to their copies would reach the parent's worker through the
// wake-up descriptor they share. So they are set aside: never stopped,
// joined or freed, not even by the state's destructor at the child's exit.
// No lock: its holder may be a thread that did not come along either.
void SetWorkersAside(TCoreState& g) noexcept {
  // A plain array outlives every destructor, so the workers stay reachable
  // (no leak report) until the child's memory goes with it.
  static TSocketTimerThread* aside[64];
  static size_t count = 0;
  auto keep = [](std::unique_ptr<TSocketTimerThread>& worker) {
    TSocketTimerThread* w = worker.release();
    if (w && count < std::size(aside)) aside[count++] = w;
  };
  keep(g.CurrentWorker);
  for (auto& worker : g.RetiredWorkers) keep(worker);
  g.RetiredWorkers.clear();
}

}  // namespace

void LibraryLoad() noexcept {
  TCoreState& g = Core();
  g_loader.Claim();
  try {
    OpenDebugShared();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "TamlixCore: debug ring not available (%s); running without debug records\n",
                 e.what());
  } catch (...) {
    std::fprintf(stderr, "TamlixCore: debug ring not available; running without debug records\n");
  }
  g.SessionInUse = false;
  try {
    // OpenSSL must outlive this library's own clean-up at process exit, so
    // it gets no exit handler of its own.
    OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
    {
      std::lock_guard<std::mutex> lock(g.SessionMutex);
      g.SessionName.clear();
    }
    g.Port = 0;
    g.Host.clear();
    g.SelectTimeoutSeconds = 0;
    g.ReadSocket = false;
    g.LastSocketError = TCoreStatus{};
    g.ReadCallback = nullptr;
    g.TimerCallback = nullptr;
    g.TimeNotifyEvent = nullptr;
    g.DataReceived = false;
    g.dtmdlCore = std::make_unique<TdtmdlCore>();
  } catch (...) {
    std::fprintf(stderr, "TamlixCore: start-up failed\n");
  }
}

void LibraryUnload() noexcept {
  TCoreState& g = Core();
  if (!g_loader.IsCurrent()) {
    // A forked child of the loading process that unloads or exits (a host
    // that forks to run a helper): the lock file, the ring and the worker
    // are the parent's, and stay as they are.
    SetWorkersAside(g);
    return;
  }
  StopAndJoinAllWorkers();
  if (!g.SessionInUse) ClearSessionLock(CurrentSessionName());
  ReleaseConnectionQuietly();
  g.dtmdlCore.reset();
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
      std::lock_guard<std::mutex> lock(g.SessionMutex);
      g.SessionName = session;
    }
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
    g.dtmdlCore->TimerTimer(g.dtmdlCore.get());
  } catch (...) {
  }
}

}  // namespace tamlix::core
