// The library-wide state of the core: the session, the callbacks, the one
// connection to the switch, the current reply worker and the reply buffers.
//
// Lifetime: LibraryLoad makes it (MakeCoreState) in memory of the library
// that no static destructor touches, so it stays whole while the library is
// mapped, also at process exit with host threads still inside; only the
// unload frees it (FreeCoreState), once no thread can use it any more. A
// forked child makes a fresh one over it (its other threads did not come
// along, and what they held must not be waited for).
//
// Threads: the exports run one at a time under CoreExportLock (ExportLock.h),
// on host threads or inside the callbacks of the reply worker. The
// connection items are handed to a worker by its start, for its wait and
// read, and taken back once it has left the connection (SocketTimerThread.h:
// nothing is released under a worker that waits or reads); apart from that
// they are touched only under CoreExportLock. What both sides may touch at any
// time is atomic or names the mutex that guards it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "CoreMutex.h"
#include "ExportLock.h"
#include "UnitCoreDataModule.h"
#include "platform/NetState.h"
#include "platform/TlsClient.h"
#include "tamlix/TamlixCore.h"

namespace tamlix::core {

class TSocketTimerThread;

constexpr size_t kReplyBufferSize = 6145;  // one read of at most 6144 bytes and its NUL
constexpr int32_t kInUseCode = 101;
constexpr const char* kCoreModule = "TamlixCore.dll";

// The connection items (SocketHandle, ServerAddr, SSLMethod, SSLContext,
// SSLHandle, SSLBio, ConnectDeadline) come from TTlsConnection; see the
// header comment for who may touch them.
struct TCoreState : platform::TTlsConnection {
  // --- session
  TMutex SessionMutex;
  std::string SessionName GUARDED_BY(SessionMutex);  // also read by the worker and the unload
  int32_t Port GUARDED_BY(CoreExportLock) = 0;
  std::string Host GUARDED_BY(CoreExportLock);  // at most 255 characters
  TCoreStatus LastSocketError GUARDED_BY(CoreExportLock){};
  // Read by the unload, which cannot wait for the export lock.
  std::atomic<bool> SessionInUse{false};
  std::atomic<bool> SessionStarted{false};  // an InitializeCore of this state succeeded
  std::atomic<int32_t> SelectTimeoutSeconds{0};
  std::atomic<bool> ReadSocket{false};

  // --- callbacks: set by the host at any time, called on the worker
  std::atomic<TReceiveCallback> ReadCallback{nullptr};
  std::atomic<TTimeNotifyEvent> TimerCallback{nullptr};
  std::atomic<TTimeNotifyEvent> TimeNotifyEvent{nullptr};

  // --- reply workers. A stopped worker moves to RetiredWorkers until it
  // has ended and another thread joins it.
  TMutex WorkerMutex;
  TCondVar WorkerChanged;  // a worker left the connection or ended
  std::unique_ptr<TSocketTimerThread> CurrentWorker GUARDED_BY(WorkerMutex);
  std::vector<std::unique_ptr<TSocketTimerThread>> RetiredWorkers GUARDED_BY(WorkerMutex);

  // --- reply buffers: owned by whichever worker holds BuffersBusy.
  TMutex BufferMutex;
  TCondVar BufferFree;
  bool BuffersBusy GUARDED_BY(BufferMutex) = false;
  char ReplyReadBuffer[kReplyBufferSize]{};
  char ReplyAccumulator[kReplyBufferSize]{};
  char ReceivedData[kReplyBufferSize]{};
  bool DataReceived = false;

  // --- the data module, from load to unload
  std::optional<TdtmdlCore> dtmdlCore;
  // The system's connection state, made at load.
  std::unique_ptr<platform::NetState> SystemNet;
};

// The live state. Only between MakeCoreState and FreeCoreState.
TCoreState& Core() noexcept;
bool CoreStateLive() noexcept;

// A fresh state in place of whatever was there, which is dropped without
// being destroyed (in a forked child its locks may be held by threads that
// did not come along). Allocates nothing.
void MakeCoreState() noexcept;
// Destroys the state. Only when no other thread can reach it.
void FreeCoreState() noexcept;

// A copy of SessionName, for records written from any thread.
std::string CurrentSessionName();

// Writes one record with Module "TamlixCore.dll" unless told otherwise.
void Record(std::string_view procedure, std::string_view message, std::string_view session,
            std::string_view detail = {}, const char* data = nullptr) noexcept;

}  // namespace tamlix::core
