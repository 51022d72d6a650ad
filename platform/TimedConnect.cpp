#include "TimedConnect.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <pthread.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>

#include "ProcessOwner.h"
#include "SigPipeGuard.h"
#include "Sys.h"

namespace tamlix::platform {
namespace {

constexpr std::chrono::milliseconds kConnectDeadline{30000};
std::atomic<long long> g_deadline_ms{kConnectDeadline.count()};

// Readers: threads inside OpenSSL; the writer: a fork. Writers go first, so
// that a fork is not held off by a stream of calls.
pthread_rwlock_t g_openssl_turn = PTHREAD_RWLOCK_WRITER_NONRECURSIVE_INITIALIZER_NP;
pthread_once_t g_openssl_turn_handlers = PTHREAD_ONCE_INIT;

void TurnBeforeFork() { pthread_rwlock_wrlock(&g_openssl_turn); }
void TurnInParent() { pthread_rwlock_unlock(&g_openssl_turn); }
void TurnInChild() {
  // Made afresh: the child is the writer's only thread.
  ForkChildHandler handler;
  pthread_rwlockattr_t attr;
  pthread_rwlockattr_init(&attr);
  pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
  pthread_rwlock_init(&g_openssl_turn, &attr);
  pthread_rwlockattr_destroy(&attr);
}
void SetTurnHandlers() { pthread_atfork(TurnBeforeFork, TurnInParent, TurnInChild); }

// What a TLS step's socket waits for.
struct TStepWait {
  const Deadline* deadline;
  int fd;
  bool timed_out = false;
};

// Runs before and after every operation of the step's socket BIO: before a
// read or a write it waits for the socket, within the deadline, so that
// OpenSSL itself never waits (and runs each step once, as on a blocking
// socket, however the bytes trickle in). Past the deadline the operation
// fails for good, also while bytes keep coming (records that OpenSSL skips
// would otherwise keep it reading): no retry.
long WaitBeforeIo(BIO* bio, int oper, const char*, size_t, int, long, int ret, size_t*) {
  auto* wait = reinterpret_cast<TStepWait*>(BIO_get_callback_arg(bio));
  const short events = oper == BIO_CB_READ ? POLLIN : oper == BIO_CB_WRITE ? POLLOUT : 0;
  if (!wait || events == 0 || wait->fd < 0) return ret;
  pollfd p{wait->fd, events, 0};
  bool ready;
  {
    OpenSslCall::Pause pause;
    ready = !wait->deadline->Passed() && PollUntil(&p, 1, *wait->deadline) > 0;
  }
  if (ready) return ret;
  wait->timed_out = true;
  BIO_clear_retry_flags(bio);
  return -1;
}

}  // namespace

OpenSslCall::OpenSslCall() noexcept {
  pthread_once(&g_openssl_turn_handlers, SetTurnHandlers);
  pthread_rwlock_rdlock(&g_openssl_turn);
}
OpenSslCall::~OpenSslCall() { pthread_rwlock_unlock(&g_openssl_turn); }
OpenSslCall::Pause::Pause() noexcept { pthread_rwlock_unlock(&g_openssl_turn); }
OpenSslCall::Pause::~Pause() { pthread_rwlock_rdlock(&g_openssl_turn); }

std::chrono::milliseconds Deadline::ConnectDeadline() { return std::chrono::milliseconds(g_deadline_ms.load()); }

void Deadline::SetConnectDeadlineForTesting(std::chrono::milliseconds bound) {
  g_deadline_ms = bound.count() > 0 ? bound.count() : kConnectDeadline.count();
}

int Deadline::PollMs() const {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(at_ - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
}

int PollUntil(pollfd* fds, nfds_t count, const Deadline& deadline) {
  for (;;) {
    int rc = ::poll(fds, count, deadline.PollMs());
    if (rc >= 0 || errno != EINTR) return rc;
  }
}

bool SetBlocking(int fd, bool blocking) noexcept {
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return false;
  int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
  return wanted == flags || ::fcntl(fd, F_SETFL, wanted) == 0;
}

int ConnectTo(int fd, const sockaddr_in& addr, const Deadline& deadline) {
  if (addr.sin_addr.s_addr == INADDR_ANY) {
    errno = EADDRNOTAVAIL;
    return -1;
  }
  SetBlocking(fd, false);
  int rc = sys::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  int error = rc == 0 ? 0 : errno;
  if (rc != 0 && error == EINPROGRESS) {
    pollfd p{fd, POLLOUT, 0};
    rc = PollUntil(&p, 1, deadline);
    if (rc == 0) {
      error = ETIMEDOUT;
    } else if (rc < 0) {
      error = errno;
    } else {
      socklen_t len = sizeof error;
      if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0) error = errno;
    }
  }
  SetBlocking(fd, true);
  if (error == 0) return 0;
  errno = error;
  return -1;
}

int RunTlsStep(SSL* ssl, int fd, const Deadline& deadline, const std::function<int()>& step, bool* timed_out) {
  TStepWait wait{&deadline, fd};
  BIO* bios[2] = {SSL_get_rbio(ssl), SSL_get_wbio(ssl)};
  for (BIO* bio : bios) {
    if (!bio) continue;
    BIO_set_callback_arg(bio, reinterpret_cast<char*>(&wait));
    BIO_set_callback_ex(bio, WaitBeforeIo);
  }
  int rc;
  {
    SigPipeGuard guard;
    SetBlocking(fd, false);
    for (;;) {
      // The error queue is left as the caller had it: SSL_get_error after a
      // step that follows a failed one must still see that failure.
      rc = step();
      if (rc > 0 || wait.timed_out) break;
      // Only when a socket call found nothing to do after all: the step
      // waits at its start again, and OpenSSL records its state again.
      int error = SSL_get_error(ssl, rc);
      short events = error == SSL_ERROR_WANT_READ ? POLLIN : error == SSL_ERROR_WANT_WRITE ? POLLOUT : 0;
      if (events == 0 || fd < 0) break;
      pollfd p{fd, events, 0};
      OpenSslCall::Pause pause;
      if (deadline.Passed() || PollUntil(&p, 1, deadline) <= 0) {
        wait.timed_out = true;
        break;
      }
    }
    SetBlocking(fd, true);
  }
  for (BIO* bio : bios) {
    if (!bio) continue;
    BIO_set_callback_ex(bio, nullptr);
    BIO_set_callback_arg(bio, nullptr);
  }
  if (timed_out) *timed_out = wait.timed_out;
  return rc;
}

}  // namespace tamlix::platform
