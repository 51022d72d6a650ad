// What the connection and sending tests share: a recorder for the three
// callbacks (they arrive on the worker's thread), a plain TCP listener on
// loopback for connect-level cases, and the fixture that starts a session.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CoreConnection.h"
#include "CoreTestSupport.h"
#include "SocketTimerThread.h"

namespace tamlix::core::testing {

// Every callback the core made, in order, with the thread it came on.
class CallbackLog {
 public:
  struct Event {
    std::string what;  // "read:<text>", "timer" or "notify"
    std::thread::id thread;
  };
  static CallbackLog& Get() {
    static CallbackLog log;
    return log;
  }
  void Add(std::string what) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      events_.push_back({std::move(what), std::this_thread::get_id()});
    }
    changed_.notify_all();
  }
  std::vector<Event> Events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  std::vector<std::string> Whats() {
    std::vector<std::string> out;
    for (const Event& e : Events()) out.push_back(e.what);
    return out;
  }
  // Waits until `count` events arrived; false after `seconds`.
  bool WaitFor(size_t count, double seconds = 10) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return events_.size() >= count; });
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.clear();
  }

  static void OnRead(const char* text) { Get().Add(std::string("read:") + text); }
  static void OnTimer() { Get().Add("timer"); }
  static void OnNotify() { Get().Add("notify"); }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Event> events_;
};

// A plain TCP listener on 127.0.0.1 that accepts nothing itself: the kernel
// completes connects into its backlog, and nobody ever speaks.
class SilentListener {
 public:
  SilentListener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd_, 16);
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~SilentListener() { ::close(fd_); }
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// A loopback port that nothing listens on.
inline int RefusingPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

inline bool Contains(const std::vector<std::string>& all, const std::string& one) {
  for (const std::string& s : all)
    if (s == one) return true;
  return false;
}

// True when `want` appears in `all` in this order (other items between).
inline bool InOrder(const std::vector<std::string>& all, const std::vector<std::string>& want) {
  size_t i = 0;
  for (const std::string& s : all)
    if (i < want.size() && s == want[i]) ++i;
  return i == want.size();
}

class SendTest : public CoreTest {
 protected:
  void SetUp() override {
    CoreTest::SetUp();
    CallbackLog::Get().Clear();
  }
  void TearDown() override {
    platform::Deadline::SetConnectDeadlineForTesting(std::chrono::milliseconds(0));
    CoreTest::TearDown();
  }
  // Starts a session against 127.0.0.1:port (or `address`).
  void Start(int port, uint32_t timeout_ms = 2000, std::string address = "127.0.0.1",
             TReceiveCallback read = CallbackLog::OnRead, const std::string& name = "send") {
    std::string s = Session(name);
    TTCPIPSettings settings = MakeSettings(port, address, timeout_ms);
    int32_t in_use = 0;
    ASSERT_EQ(::InitializeCore(s.c_str(), read, &settings, CallbackLog::OnTimer, &in_use), 1);
    ::SetTimeNotifyEvent(CallbackLog::OnNotify);
  }
  // Messages of the records written after `mark` (a Sequence).
  static std::vector<std::string> MessagesSince(int mark) {
    std::vector<std::string> out;
    for (const Rec& r : ReadRing())
      if (r.Sequence > mark) out.push_back(r.Message);
    return out;
  }
  static int Mark() {
    std::vector<Rec> recs = ReadRing();
    return recs.empty() ? 0 : recs.back().Sequence;
  }
  static TCoreStatus Untouched() {
    TCoreStatus s;
    std::memset(&s, 0x5A, sizeof s);
    return s;
  }
};

}  // namespace tamlix::core::testing
