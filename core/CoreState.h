// The library-wide state of the core: the session, the callbacks, the one
// connection to the switch, the current reply worker and the reply buffers.
// One instance per loaded library (Core()); LibraryLoad resets it.
//
// Threads: the exports run one at a time under ExportLock (ExportLock.h),
// on host threads or inside the callbacks of the reply worker. The
// connection items are handed to a worker by its start, for its wait and
// read, and taken back once it has left the connection (SocketTimerThread.h:
// nothing is released under a worker that waits or reads); apart from that
// they are touched only under ExportLock. What both sides may touch at any
// time is atomic or names the mutex that guards it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "ExportLock.h"
#include "platform/TlsClient.h"
#include "tamlix/TamlixCore.h"

namespace tamlix::core {

class TdtmdlCore;
class TSocketTimerThread;

constexpr size_t kReplyBufferSize = 6145;  // one read of at most 6144 bytes and its NUL
constexpr int32_t kInUseCode = 101;
constexpr const char* kCoreModule = "TamlixCore.dll";

// The connection items (SocketHandle, ServerAddr, SSLMethod, SSLContext,
// SSLHandle, SSLBio, ConnectDeadline) come from TTlsConnection; see the
// header comment for who may touch them.
struct TCoreState : platform::TTlsConnection {
  TExportLock ExportLock;

  // --- session (under ExportLock; SessionName is also read by the worker)
  std::mutex SessionMutex;
  std::string SessionName;  // guarded by SessionMutex
  int32_t Port = 0;
  std::string Host;  // at most 255 characters
  bool SessionInUse = false;
  std::atomic<int32_t> SelectTimeoutSeconds{0};
  std::atomic<bool> ReadSocket{false};
  TCoreStatus LastSocketError{};

  // --- callbacks: set by the host at any time, called on the worker
  std::atomic<TReceiveCallback> ReadCallback{nullptr};
  std::atomic<TTimeNotifyEvent> TimerCallback{nullptr};
  std::atomic<TTimeNotifyEvent> TimeNotifyEvent{nullptr};

  // --- reply workers. A stopped worker moves to RetiredWorkers until it
  // has ended and another thread joins it.
  std::mutex WorkerMutex;
  std::condition_variable WorkerChanged;  // a worker left the connection or ended
  std::unique_ptr<TSocketTimerThread> CurrentWorker;             // guarded by WorkerMutex
  std::vector<std::unique_ptr<TSocketTimerThread>> RetiredWorkers;  // guarded by WorkerMutex

  // --- reply buffers: owned by whichever worker holds BuffersBusy.
  std::mutex BufferMutex;
  std::condition_variable BufferFree;
  bool BuffersBusy = false;  // guarded by BufferMutex
  char ReplyReadBuffer[kReplyBufferSize]{};
  char ReplyAccumulator[kReplyBufferSize]{};
  char ReceivedData[kReplyBufferSize]{};
  bool DataReceived = false;

  // --- the data module, from load to unload
  std::unique_ptr<TdtmdlCore> dtmdlCore;
};

TCoreState& Core();

// A copy of SessionName, for records written from any thread.
std::string CurrentSessionName();

// Writes one record with Module "TamlixCore.dll" unless told otherwise.
void Record(std::string_view procedure, std::string_view message, std::string_view session,
            std::string_view detail = {}, const char* data = nullptr) noexcept;

}  // namespace tamlix::core
