#include "SocketTimerThread.h"

#include <openssl/crypto.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "CoreConnection.h"
#include "CoreState.h"
#include "UnitCoreDataModule.h"

namespace tamlix::core {
namespace {

constexpr const char* kReadProc = "UnitCoreDataModule.CallReadFromSocket";
constexpr const char* kExecuteProc = "TSocketTimer.execute";
constexpr const char* kTimerProc = "UnitCoreDataModule.InitializeTimerThread";

thread_local TSocketTimerThread* t_self = nullptr;

}  // namespace

TSocketTimerThread::TSocketTimerThread(int32_t frequency) : Frequency(frequency) {
  wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

TSocketTimerThread::~TSocketTimerThread() {
  if (thread_.joinable()) {
    Terminate();
    if (thread_.get_id() == std::this_thread::get_id()) {
      thread_.detach();
    } else {
      thread_.join();
    }
  }
  if (wake_fd_ >= 0) ::close(wake_fd_);
}

void TSocketTimerThread::Start() { thread_ = std::thread(&TSocketTimerThread::Run, this); }

void TSocketTimerThread::Terminate() noexcept {
  terminated_.store(true, std::memory_order_release);
  if (wake_fd_ >= 0) {
    uint64_t one = 1;
    ssize_t ignored = ::write(wake_fd_, &one, sizeof one);
    (void)ignored;
  }
  // A worker waiting for the buffers or the export lock must see the
  // request too.
  TCoreState& g = Core();
  { TMutexLock lock(g.BufferMutex); }
  g.BufferFree.NotifyAll();
  CoreExportLock.WakeWaiters();
}

void TSocketTimerThread::Join() noexcept {
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

unsigned long TSocketTimerThread::Handle() const noexcept {
  return static_cast<unsigned long>(const_cast<std::thread&>(thread_).native_handle());
}

TSocketTimerThread* TSocketTimerThread::Self() noexcept { return t_self; }

void TSocketTimerThread::LeaveConnection() noexcept {
  TCoreState& g = Core();
  {
    TMutexLock lock(g.WorkerMutex);
    if (off_connection_.load(std::memory_order_relaxed)) return;
    off_connection_.store(true, std::memory_order_release);
  }
  g.WorkerChanged.NotifyAll();
}

bool TSocketTimerThread::LockForClose() {
  // Stopped while waiting, or just before: the request was given up, and
  // whoever stopped us owns the connection.
  if (!CoreExportLock.LockUnlessStopped(terminated_)) return false;
  if (!Terminated()) return true;
  CoreExportLock.Unlock();
  return false;
}

void TSocketTimerThread::NotifyTimeOut() {
  LeaveConnection();
  // A stopped worker ends quietly.
  if (Terminated()) return;
  if (TTimeNotifyEvent cb = Core().TimeNotifyEvent.load()) cb();
}

bool TSocketTimerThread::AcquireBuffers() {
  TCoreState& g = Core();
  TMutexLock lock(g.BufferMutex);
  while (g.BuffersBusy && !Terminated()) g.BufferFree.Wait(g.BufferMutex);
  if (Terminated()) return false;
  g.BuffersBusy = true;
  return true;
}

void TSocketTimerThread::ReleaseBuffers() noexcept {
  TCoreState& g = Core();
  {
    TMutexLock lock(g.BufferMutex);
    g.BuffersBusy = false;
  }
  g.BufferFree.NotifyAll();
}

void TSocketTimerThread::Run() noexcept {
  t_self = this;
  try {
    // Two workers never share the buffers: a new one waits for the last.
    if (AcquireBuffers()) {
      try {
        Execute();
      } catch (...) {
      }
      ReleaseBuffers();
    }
  } catch (...) {
  }
  LeaveConnection();
  {
    // OpenSSL's own end of this thread, now rather than at the thread's
    // exit, where a fork could meet it holding OpenSSL's locks.
    platform::OpenSslCall call;
    OPENSSL_thread_stop();
  }
  t_self = nullptr;
  TCoreState& g = Core();
  {
    TMutexLock lock(g.WorkerMutex);
    done_.store(true, std::memory_order_release);
  }
  g.WorkerChanged.NotifyAll();
}

void TSocketTimerThread::Execute() {
  TCoreState& g = Core();
  const std::string R = g.ReadSocket ? "1" : "0";
  try {
    Record(kExecuteProc, "Preparing for IP Data Watch: ReadSocket Value: " + R, CurrentSessionName());
    const bool read_now = !g.DataReceived;
    if (read_now) CallReadFromSocket();
    // From here on the connection is touched only under the export lock.
    LeaveConnection();
    if (Terminated()) {
      // A reply read for a request that has been given up belongs to no
      // later request: it is not held over.
      if (read_now) g.DataReceived = false;
      return;
    }
    TReceiveCallback callback = g.ReadCallback.load();
    if (g.DataReceived && callback) {
      Record(kReadProc, "Callback Executed", CurrentSessionName());
      callback(g.ReceivedData);
      g.DataReceived = false;
      // Stopped during the callback, or while waiting for the lock: whoever
      // stopped us owns the connection now (it may already be a new one).
      if (!LockForClose()) return;
      g.dtmdlCore->CloseConnection();
      terminated_.store(true, std::memory_order_release);
      CoreExportLock.Unlock();
    }
  } catch (...) {
    Record(kExecuteProc, "IP Data Watch Failure: ReadSocket Value: " + R, CurrentSessionName());
  }
}

void TSocketTimerThread::CallReadFromSocket() {
  TCoreState& g = Core();
  const std::string session = CurrentSessionName();
  Record(kReadProc, "Entering Read From Socket.  Preparing IP Listen If Ready", session);
  std::memset(g.ReplyReadBuffer, 0, kReplyBufferSize);
  std::memset(g.ReplyAccumulator, 0, kReplyBufferSize);
  Record(kReadProc, "Listening for IP data", session);
  size_t total = 0;
  const int32_t seconds = g.SelectTimeoutSeconds.load();
  const std::string N = std::to_string(seconds);

  // One wait of the whole time-out, which no record without reply data (a
  // ticket, a KeyUpdate, part of a record) extends, and which a stop request
  // ends at once. Without a wake-up descriptor the stop request is looked at
  // between short spells, so that a close never waits out the time-out.
  const platform::Deadline deadline{std::chrono::seconds(seconds)};
  const platform::TReplyRead read = platform::ReadReply(g, g.ReplyReadBuffer, static_cast<int>(kReplyBufferSize - 1),
                                                        deadline, {wake_fd_, &terminated_});
  switch (read.End) {
    case platform::TReplyEnd::Stopped:
      return;
    case platform::TReplyEnd::WaitFailed:
      Record(kReadProc, "Select Failed: Error = " + std::to_string(read.Error), session);
      NotifyTimeOut();
      return;
    case platform::TReplyEnd::TimedOut:
      Record(kReadProc, "Select - No Inbound IP data after waiting " + N + " seconds", "");
      NotifyTimeOut();
      return;
    case platform::TReplyEnd::Data:
    case platform::TReplyEnd::NoData:
      break;
  }
  const int n = read.Result;
  LeaveConnection();
  Record("ReadSocket", "f_SSL_read", "");
  if (n > 0) {
    g.DataReceived = true;
    size_t have = std::strlen(g.ReplyAccumulator);
    size_t add = strnlen(g.ReplyReadBuffer, kReplyBufferSize - 1);
    if (add > kReplyBufferSize - 1 - have) add = kReplyBufferSize - 1 - have;
    std::memcpy(g.ReplyAccumulator + have, g.ReplyReadBuffer, add);
    total += static_cast<size_t>(n);
  } else {
    g.DataReceived = false;
    Record(kReadProc, "ssl_read - No Inbound IP data after waiting " + N + " seconds", "");
    NotifyTimeOut();
  }
  if (g.ReplyAccumulator[0] != '\0') {
    g.DataReceived = true;
    Record(kReadProc, "SSL IP Read Completed: size = " + std::to_string(total), session, {}, g.ReplyAccumulator);
    std::memcpy(g.ReceivedData, g.ReplyAccumulator, kReplyBufferSize);
    std::memset(g.ReplyAccumulator, 0, kReplyBufferSize);
  } else {
    Record(kReadProc, "SSL Read Unsuccessful... No IP data to read" + std::to_string(std::strlen(g.ReplyAccumulator)),
           session);
    g.DataReceived = false;
  }
}

TSocketTimerThread* InitializeTimerThread(int32_t Frequency) {
  TCoreState& g = Core();
  const std::string session = CurrentSessionName();
  const std::string detail = "Timer Frequency value is " + std::to_string(Frequency);
  Record(kTimerProc, "** Initializing Socket Timer - " + detail, session, detail);
  auto worker = std::make_unique<TSocketTimerThread>(Frequency);
  TSocketTimerThread* raw = worker.get();
  unsigned long handle;
  {
    // Stored before its body can run, so that the worker's own close path
    // finds itself as the current worker.
    TMutexLock lock(g.WorkerMutex);
    worker->Start();
    handle = worker->Handle();
    if (g.CurrentWorker) g.RetiredWorkers.push_back(std::move(g.CurrentWorker));
    g.CurrentWorker = std::move(worker);
  }
  Record(kTimerProc, "**Initialize SocketTimerThread (handle) - " + std::to_string(handle), session, detail);
  return raw;
}

void GiveUpCallingWorkerInChild() noexcept {
  if (t_self) t_self->GiveUpInChild();
}

void RequestAllWorkersStop() noexcept {
  TCoreState& g = Core();
  TMutexLock lock(g.WorkerMutex);
  if (g.CurrentWorker) g.CurrentWorker->Terminate();
  for (auto& w : g.RetiredWorkers) w->Terminate();
}

void RequestWorkerStop() noexcept {
  TCoreState& g = Core();
  TMutexLock lock(g.WorkerMutex);
  if (g.CurrentWorker && g.CurrentWorker.get() != t_self) g.CurrentWorker->Terminate();
}

namespace {

// Takes the retired workers out of the list, all of them or only those
// whose bodies have returned; never the calling thread's own.
std::vector<std::unique_ptr<TSocketTimerThread>> TakeRetired(TCoreState& g, bool ended_only) REQUIRES(g.WorkerMutex) {
  std::vector<std::unique_ptr<TSocketTimerThread>> taken;
  for (auto it = g.RetiredWorkers.begin(); it != g.RetiredWorkers.end();) {
    if (it->get() != t_self && (!ended_only || (*it)->Ended())) {
      taken.push_back(std::move(*it));
      it = g.RetiredWorkers.erase(it);
    } else {
      ++it;
    }
  }
  return taken;
}

}  // namespace

void StopWorkersForClose() {
  TCoreState& g = Core();
  std::vector<std::unique_ptr<TSocketTimerThread>> ended;
  {
    TMutexLock lock(g.WorkerMutex);
    if (g.CurrentWorker) g.RetiredWorkers.push_back(std::move(g.CurrentWorker));
    for (auto& w : g.RetiredWorkers) w->Terminate();
    // Our own thread is past its read (it runs a callback); the others get
    // there promptly once stopped. A worker inside a callback is not waited
    // for: it touches the connection again only under the export lock.
    auto on_connection = [&]() REQUIRES(g.WorkerMutex) {
      for (auto& w : g.RetiredWorkers)
        if (w.get() != t_self && !w->OffConnection()) return true;
      return false;
    };
    while (on_connection()) g.WorkerChanged.Wait(g.WorkerMutex);
    ended = TakeRetired(g, /*ended_only=*/true);
  }
  for (auto& w : ended) w->Join();  // their bodies have returned
}

void JoinWorkersForTesting() noexcept {
  TCoreState& g = Core();
  std::vector<std::unique_ptr<TSocketTimerThread>> all;
  {
    TMutexLock lock(g.WorkerMutex);
    if (g.CurrentWorker) all.push_back(std::move(g.CurrentWorker));
    for (auto& w : g.RetiredWorkers) all.push_back(std::move(w));
    g.RetiredWorkers.clear();
  }
  for (auto& w : all) w->Join();
}

void StopAndJoinAllWorkers() noexcept {
  TCoreState& g = Core();
  try {
    for (;;) {
      StopWorkersForClose();
      std::vector<std::unique_ptr<TSocketTimerThread>> rest;
      {
        TMutexLock lock(g.WorkerMutex);
        rest = TakeRetired(g, /*ended_only=*/false);
      }
      if (rest.empty()) break;
      for (auto& w : rest) w->Join();  // also waits for a callback in progress
    }
  } catch (...) {
  }
}

}  // namespace tamlix::core
