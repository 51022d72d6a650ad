// The core's data module TdtmdlCore and the operations behind the exports:
// loading and unloading the library, starting a session (InitializeCore),
// sending a request (SendData) and the timer path (ResetSerial).
//
// Exactly one TdtmdlCore lives from LibraryLoad to LibraryUnload. The
// operations here never throw out of the export-facing functions' callers'
// reach: the exports (CoreExports.cpp) guard them.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/NetState.h"
#include "tamlix/TamlixCore.h"

namespace tamlix::core {

// The socket component. It is never opened on this platform, where the
// socket layer needs no start-up; what it keeps is its error handler.
class TClientSocket {
 public:
  enum TErrorEvent { eeGeneral, eeSend, eeReceive, eeConnect, eeDisconnect, eeAccept };
  bool Active = false;
};

// A timer component: nothing enables the core's timers; their handlers run
// only when called.
struct TTimer {
  std::atomic<bool> Enabled{false};
};

class TdtmdlCore {
 public:
  TdtmdlCore();
  ~TdtmdlCore();
  TdtmdlCore(const TdtmdlCore&) = delete;
  TdtmdlCore& operator=(const TdtmdlCore&) = delete;

  TClientSocket WinSockPort;
  TTimer Timer;
  TTimer ThreadTimer;

  // Error handler of WinSockPort: stores the event's text and code in
  // LastSocketError and clears the code. ErrorEvent outside 0..5 keeps the
  // general text.
  void WinSockPortError(TClientSocket* Sender, int Socket, int ErrorEvent, int& ErrorCode);
  // Handler of Timer: a record, a reconnect without status, then the timer
  // callback and the time-notify event. Throws ETamlixCore when the SSL
  // set-up of the reconnect fails (the callbacks are then skipped).
  void TimerTimer(void* Sender);
  // Closes whatever is open, connects and runs the SSL handshake. False
  // (Status filled when given) when no socket could be made; throws
  // ETamlixCore "Core Initialization Failure" when the SSL set-up failed.
  bool ResetConnection(TCoreStatus* Status);
  void ThreadTimerTimer(void* Sender);
  // The close sequence alone; returns normally whatever fails inside.
  void CloseConnection() noexcept;
};

// Load and unload, in the order the library's lifecycle fixes. LibraryLoad
// never throws: a debug ring that cannot be opened is reported once on
// stderr and the library runs without records.
void LibraryLoad() noexcept;
void LibraryUnload() noexcept;

bool InitializeCore(const char* Session, TReceiveCallback ReadCallback, const TTCPIPSettings* Settings,
                    TTimeNotifyEvent TimerCallback, int32_t* InUse);
bool SendData(const char* Data, TCoreStatus* Status);
void ResetSerial();
void SetTimeNotifyEvent(TTimeNotifyEvent Event) noexcept;

// Whole seconds from milliseconds, an exact half going to the even neighbour.
int32_t RoundTimeOutSeconds(uint32_t milliseconds) noexcept;

// The connection-state seam; null restores the system's. Set before use.
void SetNetStateForTesting(platform::NetState* state) noexcept;

}  // namespace tamlix::core
