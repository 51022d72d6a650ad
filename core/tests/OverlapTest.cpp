// Several host threads in the core at once, and exports called from inside
// the callbacks that the core runs on its reply worker, against a real TLS
// switch on loopback.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "SendTestSupport.h"
#include "SwitchSupport.h"

namespace tamlix::core::testing {
namespace {

using OverlapTest = SendTest;

// Waits for `done` for a long while; a deadlock is a fault no later check can
// report, so it ends the test binary.
void ExpectNoDeadlock(std::future<void>& done, const char* what) {
  if (done.wait_for(std::chrono::seconds(120)) == std::future_status::ready) return;
  std::fprintf(stderr, "deadlock: %s\n", what);
  std::fflush(stderr);
  std::abort();
}

// One claim in flight at a time, as the calling order asks: a host thread
// takes the turn before it sends, and the reply's callback gives it back
// (before the worker's close after the reply, which the next send then meets).
struct ClaimTurn {
  static inline std::mutex mutex;
  static inline std::condition_variable free;
  static inline bool busy = false;

  // False when the turn did not come back within the wait (a lost reply);
  // the turn is taken anyway.
  static bool Take() {
    std::unique_lock<std::mutex> lock(mutex);
    bool came = free.wait_for(lock, std::chrono::seconds(20), [] { return !busy; });
    busy = true;
    return came;
  }
  static void Give() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      busy = false;
    }
    free.notify_all();
  }
  static void OnRead(const char* text) {
    CallbackLog::OnRead(text);
    Give();
  }
};

// Two host threads, each sending, resetting and starting sessions in a
// loop; the sends and resets take turns with the claim in flight, the starts
// come at any moment. Nothing crashes, every send succeeds, and every claim's
// reply reaches the read callback exactly once, whole.
TEST_F(OverlapTest, TwoHostThreadsSendResetAndStartInALoop) {
  SwitchProcess sw(Echo());
  Start(sw.port(), 10000, "127.0.0.1", ClaimTurn::OnRead, "overlap");
  constexpr int kThreads = 2;
  constexpr int kRounds = 40;
  std::vector<std::vector<std::string>> sessions(kThreads);
  for (int t = 0; t < kThreads; ++t)
    for (int i = 0; i < kRounds; ++i) sessions[t].push_back(Session("o" + std::to_string(t) + "_" + std::to_string(i)));
  const TTCPIPSettings settings = MakeSettings(sw.port(), "127.0.0.1", 10000);

  std::atomic<int> failed_sends{0}, failed_starts{0}, lost_turns{0};
  std::multiset<std::string> sent;
  for (int t = 0; t < kThreads; ++t)
    for (int i = 0; i < kRounds; ++i) sent.insert("claim " + std::to_string(t) + "/" + std::to_string(i) + "\x03");
  auto host = [&](int t) {
    for (int i = 0; i < kRounds; ++i) {
      const std::string claim = "claim " + std::to_string(t) + "/" + std::to_string(i) + "\x03";
      if (!ClaimTurn::Take()) ++lost_turns;
      if (::SendData(claim.c_str(), nullptr) != 1) {
        ++failed_sends;
        ClaimTurn::Give();
      }
      if (i % 4 == 1) {
        if (!ClaimTurn::Take()) ++lost_turns;
        ::ResetSerial();
        ClaimTurn::Give();
      }
      if (i % 8 == 3) {
        int32_t in_use = 0;
        if (::InitializeCore(sessions[t][i].c_str(), ClaimTurn::OnRead, &settings, CallbackLog::OnTimer, &in_use) !=
            1)
          ++failed_starts;
      }
    }
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(host, t);
  for (std::thread& th : threads) th.join();
  if (!ClaimTurn::Take()) ++lost_turns;  // the last reply
  ClaimTurn::Give();
  JoinWorkersForTesting();

  EXPECT_EQ(failed_sends, 0);
  EXPECT_EQ(failed_starts, 0);
  EXPECT_EQ(lost_turns, 0);
  std::multiset<std::string> replies;
  for (const std::string& what : CallbackLog::Get().Whats())
    if (what.rfind("read:", 0) == 0) replies.insert(what.substr(5));
  EXPECT_EQ(replies, sent);
}

// A callback that the core runs on its worker starts a host thread that
// calls SendData and waits for that call to return (as a host that hands
// work to its window's thread and waits may), then calls SendData itself:
// neither waits for the other, and both sends go out, the host's first.
struct CallbackWaitsForHost {
  static inline std::atomic<bool> started{false};
  static inline std::thread host;
  static inline std::promise<void> host_done;
  static inline std::promise<void> callback_done;
  static inline std::atomic<int> host_result{-1};
  static inline std::atomic<int> nested_result{-1};

  static void Reset() {
    started = false;
    host_done = std::promise<void>();
    callback_done = std::promise<void>();
    host_result = -1;
    nested_result = -1;
  }
  static void Act() {
    if (started.exchange(true)) return;
    std::future<void> done = host_done.get_future();
    host = std::thread([] {
      host_result = ::SendData("from the host\x03", nullptr);
      host_done.set_value();
    });
    ExpectNoDeadlock(done, "the host thread's SendData waits for the callback");
    nested_result = ::SendData("from the callback\x03", nullptr);
    callback_done.set_value();
  }
  static void OnRead(const char* text) {
    CallbackLog::OnRead(text);
    Act();
  }
  static void OnNotify() {
    CallbackLog::OnNotify();
    Act();
  }
};

TEST_F(OverlapTest, CallbackThatWaitsForAHostThreadInsideTheCore) {
  struct Case {
    const char* name;
    SwitchSpec spec;
    bool from_notify;
  } cases[] = {
      {"read callback", Echo(), false},
      {"time-notify event", NeverReply(), true},
  };
  for (const Case& c : cases) {
    SwitchProcess sw(c.spec);
    CallbackWaitsForHost::Reset();
    CallbackLog::Get().Clear();
    Start(sw.port(), 1000, "127.0.0.1", c.from_notify ? CallbackLog::OnRead : CallbackWaitsForHost::OnRead, c.name);
    ::SetTimeNotifyEvent(c.from_notify ? CallbackWaitsForHost::OnNotify : CallbackLog::OnNotify);
    ASSERT_EQ(::SendData("first\x03", nullptr), 1) << c.name;

    std::future<void> done = CallbackWaitsForHost::callback_done.get_future();
    ExpectNoDeadlock(done, c.name);
    CallbackWaitsForHost::host.join();
    EXPECT_EQ(CallbackWaitsForHost::host_result, 1) << c.name;
    EXPECT_EQ(CallbackWaitsForHost::nested_result, 1) << c.name;
    EXPECT_EQ(sw.Request(1), "from the host\x03") << c.name;
    EXPECT_EQ(sw.Request(2), "from the callback\x03") << c.name;
    ::SetTimeNotifyEvent(nullptr);
    StopAndJoinAllWorkers();
  }
}

}  // namespace
}  // namespace tamlix::core::testing
