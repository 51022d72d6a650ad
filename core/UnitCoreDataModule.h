// The core's data module TdtmdlCore and the operations behind the exports:
// loading and unloading the library, starting a session (InitializeCore),
// sending a request (SendData) and the timer path (ResetSerial).
//
// Exactly one TdtmdlCore lives from LibraryLoad to LibraryUnload. These
// operations may throw; the exports (CoreExports.cpp) catch everything.
// They run on the host's thread under the export lock (REQUIRES), except
// CloseConnection, which the reply worker also calls on its own.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "ExportLock.h"
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
  void WinSockPortError(TClientSocket* Sender, int Socket, int ErrorEvent, int& ErrorCode)
      REQUIRES(CoreExportLock);
  // Handler of Timer: a record, a reconnect without status, then the timer
  // callback and the time-notify event. Throws ETamlixCore when the SSL
  // set-up of the reconnect fails (the callbacks are then skipped).
  void TimerTimer(void* Sender) REQUIRES(CoreExportLock);
  // Closes whatever is open, connects and runs the SSL handshake. False
  // (Status filled when given) when no socket could be made; throws
  // ETamlixCore "Core Initialization Failure" when the SSL set-up failed.
  bool ResetConnection(TCoreStatus* Status) REQUIRES(CoreExportLock);
  void ThreadTimerTimer(void* Sender);
  // The close sequence alone; returns normally whatever fails inside.
  void CloseConnection() noexcept;
};

// Load: the ring opens, a fresh state is made (SessionInUse cleared, the
// data module present) and the export gate opens. A ring that cannot be
// opened is reported once on stderr and the library runs without records.
//
// Unload: closes the export gate (later calls fail at once), stops and
// joins every reply worker (waiting for a callback in progress, whose calls
// into the core now fail at once; when the unload runs inside an export on
// the same thread, a process ending from a callback, it only asks them to
// stop) and removes the session's lock file unless a start found one
// present. Then, when no thread is inside an
// export any more (at dlclose, the host's duty), it frees what the
// connection still holds (no close sequence: no records, no shutdown
// alert) and the state; with threads still inside (process exit) it frees
// nothing, since they go on using it until the process ends. The ring
// closes last.
//
// A forked child starts from a fresh state (see the fork handler in the
// .cpp): it never touches the parent's connection, workers or lock file,
// and its own unload removes a lock file only for a session that the child
// itself started.
void LibraryLoad() noexcept;
void LibraryUnload() noexcept;

// Starts a session: takes its lock file, keeps port, host and time-out, and
// dials when the connection state is a modem alone. InUse gets 101 only
// when the lock file was present. A failed start removes a lock file that
// it made itself.
bool InitializeCore(const char* Session, TReceiveCallback ReadCallback, const TTCPIPSettings* Settings,
                    TTimeNotifyEvent TimerCallback, int32_t* InUse) REQUIRES(CoreExportLock);
// Reconnects, writes Data in one SSL write and starts a reply worker. False
// with Status filled on failure; Status untouched on success.
bool SendData(const char* Data, TCoreStatus* Status) REQUIRES(CoreExportLock);
// Runs TimerTimer and swallows what it raises.
void ResetSerial() REQUIRES(CoreExportLock);
void SetTimeNotifyEvent(TTimeNotifyEvent Event) noexcept;

// Whole seconds from milliseconds, an exact half going to the even neighbour.
int32_t RoundTimeOutSeconds(uint32_t milliseconds) noexcept;

// The connection-state seam; null restores the system's. Set before use.
void SetNetStateForTesting(platform::NetState* state) noexcept;

}  // namespace tamlix::core
