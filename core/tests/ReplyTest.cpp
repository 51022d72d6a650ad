// SendData and the reply worker against a real TLS switch on loopback.
#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <future>
#include <string>
#include <thread>

#include "SendTestSupport.h"
#include "SwitchSupport.h"
#include "platform/tests/TestProcesses.h"

namespace tamlix::core::testing {
namespace {

using Clock = std::chrono::steady_clock;
using ReplyTest = SendTest;
using tamlix::testing::ProcessCpuSeconds;

const std::string kClaim = "\x02" "0012claim text\x03";

// The read callback, noting whether the connection was still open.
std::atomic<bool> g_open_in_callback{false};
void OnReadCheckingOpen(const char* text) {
  g_open_in_callback = Core().SSLHandle != nullptr && Core().SocketHandle >= 0;
  CallbackLog::OnRead(text);
}

std::vector<Rec> RecordsSince(int mark) {
  std::vector<Rec> out;
  for (const Rec& r : ReadRing())
    if (r.Sequence > mark) out.push_back(r);
  return out;
}

TEST_F(ReplyTest, ReplyReachesTheReadCallbackOnceOnTheWorkerBeforeTheClose) {
  SwitchProcess sw(ReplyWith("ACCEPTED 0001"));
  Start(sw.port(), 5000, "127.0.0.1", OnReadCheckingOpen);
  int mark = Mark();
  TCoreStatus status = Untouched();
  TCoreStatus before = status;
  ASSERT_EQ(::SendData(kClaim.c_str(), &status), 1);
  EXPECT_EQ(std::memcmp(&status, &before, sizeof status), 0);  // success leaves it alone
  ASSERT_TRUE(CallbackLog::Get().WaitFor(1));
  JoinWorkersForTesting();

  std::vector<CallbackLog::Event> events = CallbackLog::Get().Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].what, "read:ACCEPTED 0001");
  EXPECT_NE(events[0].thread, std::this_thread::get_id());
  EXPECT_TRUE(g_open_in_callback);
  EXPECT_EQ(Core().SocketHandle, -1);
  EXPECT_STREQ(Core().ReceivedData, "ACCEPTED 0001");
  EXPECT_EQ(sw.Request(0), kClaim);

  std::vector<Rec> recs = RecordsSince(mark);
  std::vector<std::string> msgs = Messages(recs);
  EXPECT_TRUE(InOrder(msgs, {"Preparing To Write Data: size = " + std::to_string(kClaim.size()),
                             "IP Socket Connection Successful", "Begin SSL Initialization", "SSL protocol Message 0",
                             "SSL Initialization Successful",
                             "SSL Sent Data: Size = " + std::to_string(kClaim.size()) + " bytes",
                             "Listening for IP data", "f_SSL_read", "SSL IP Read Completed: size = 13",
                             "Callback Executed", "Terminate Thread", "Close Socket Resule code - 0"}))
      << ::testing::PrintToString(msgs);
  EXPECT_TRUE(Contains(msgs, "** Initializing Socket Timer - Timer Frequency value is 1000"));
  for (const Rec& r : recs) {
    if (r.Message.rfind("SSL Sent Data: Size", 0) == 0) {
      EXPECT_EQ(r.Data, kClaim);
    }
    if (r.Message.rfind("SSL IP Read Completed", 0) == 0) {
      EXPECT_EQ(r.Data, "ACCEPTED 0001");
    }
    if (r.Procedure == "UnitCoreDataModule.ssl_infocallback") {
      EXPECT_FALSE(r.Message.empty());
    }
  }
}

TEST_F(ReplyTest, SilenceNotifiesAfterTheTimeOutAndLeavesTheConnectionOpen) {
  SwitchProcess sw(NeverReply());
  Start(sw.port(), 1000);
  int mark = Mark();
  auto begun = Clock::now();
  ASSERT_EQ(::SendData(kClaim.c_str(), nullptr), 1);
  ASSERT_TRUE(CallbackLog::Get().WaitFor(1));
  EXPECT_GE(Clock::now() - begun, std::chrono::milliseconds(900));
  JoinWorkersForTesting();
  EXPECT_EQ(CallbackLog::Get().Whats(), std::vector<std::string>{"notify"});
  EXPECT_GE(Core().SocketHandle, 0);
  EXPECT_TRUE(Contains(MessagesSince(mark), "Select - No Inbound IP data after waiting 1 seconds"));

  // The next request closes what the silent one left.
  mark = Mark();
  ASSERT_EQ(::SendData(kClaim.c_str(), nullptr), 1);
  StopAndJoinAllWorkers();  // the ring is read only while no worker writes
  std::vector<Rec> recs = RecordsSince(mark);
  bool closed = false;
  for (const Rec& r : recs)
    closed |= r.Message == "Close Socket Resule code - 0" && r.Procedure == "UnitCoreDataModule.ResetConnection";
  EXPECT_TRUE(closed);
}

TEST_F(ReplyTest, ZeroTimeOutOnlyPolls) {
  SwitchProcess sw(ReplyAfter("late", 1500));
  Start(sw.port(), 400);  // rounds to 0 seconds
  auto begun = Clock::now();
  ASSERT_EQ(::SendData(kClaim.c_str(), nullptr), 1);
  ASSERT_TRUE(CallbackLog::Get().WaitFor(1));
  EXPECT_LT(Clock::now() - begun, std::chrono::milliseconds(1200));
  JoinWorkersForTesting();
  EXPECT_EQ(CallbackLog::Get().Whats(), std::vector<std::string>{"notify"});
}

TEST_F(ReplyTest, WithoutATimeNotifyEventATimeOutOnlyRecords) {
  SwitchProcess sw(NeverReply());
  Start(sw.port(), 0);
  ::SetTimeNotifyEvent(nullptr);
  ASSERT_EQ(::SendData(kClaim.c_str(), nullptr), 1);
  JoinWorkersForTesting();
  EXPECT_TRUE(CallbackLog::Get().Whats().empty());
  EXPECT_TRUE(Contains(Messages(ReadRing()), "Select - No Inbound IP data after waiting 0 seconds"));
}

TEST_F(ReplyTest, CloseWithoutReplyNotifiesAndTheNextSendSurvives) {
  SwitchProcess sw(CloseWithoutReply());
  Start(sw.port(), 3000);
  ASSERT_EQ(::SendData(kClaim.c_str(), nullptr), 1);
  JoinWorkersForTesting();
  EXPECT_EQ(CallbackLog::Get().Whats(), std::vector<std::string>{"notify"});
  std::vector<std::string> msgs = Messages(ReadRing());
  EXPECT_TRUE(InOrder(msgs, {"f_SSL_read", "ssl_read - No Inbound IP data after waiting 3 seconds",
                             "SSL Read Unsuccessful... No IP data to read0"}));
  // Shutting down a connection whose peer has gone must not raise SIGPIPE.
  ASSERT_EQ(::SendData(kClaim.c_str(), nullptr), 1);
  JoinWorkersForTesting();
}

TEST_F(ReplyTest, ReplyShapesHandOverOnlyTheFirstReadsText) {
  struct Case {
    const char* name;
    SwitchSpec spec;
    std::vector<std::string> events;
  } cases[] = {
      {"leading NUL", ReplyWithFile(std::string("\0rest", 5)), {}},
      {"oversize", Oversize(7000), {"read:" + tamlix::testing::OversizePattern(6144)}},
      {"pieces", ReplyInPieces("first-second-third", 3, 300), {"read:first-"}},
  };
  for (const Case& c : cases) {
    SwitchProcess sw(c.spec);
    CallbackLog::Get().Clear();
    Start(sw.port(), 3000, "127.0.0.1", CallbackLog::OnRead, std::string("shape") + std::to_string(&c - cases));
    ASSERT_EQ(::SendData(kClaim.c_str(), nullptr), 1) << c.name;
    JoinWorkersForTesting();
    EXPECT_EQ(CallbackLog::Get().Whats(), c.events) << c.name;
  }
}

double SecondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// Part of a TLS record on the socket is no reason to read again at once: the
// worker waits in poll for the rest with the CPU idle, a record that never
// completes ends at the time-out, and a stop request ends the wait at once.
TEST_F(ReplyTest, PartOfARecordWaitsInPollWithTheCpuIdle) {
  const struct Case {
    const char* name;
    SwitchSpec spec;
    std::vector<std::string> events;
    double after;  // seconds from the send to the event
  } cases[] = {
      {"split record", {{"--reply", "SPLIT REPLY", "--split-record", "1500"}}, {"read:SPLIT REPLY"}, 1.5},
      {"one header byte", {{"--reply", "NEVER WHOLE", "--partial-record", "1"}}, {"notify"}, 2.0},
  };
  for (const Case& c : cases) {
    SwitchProcess sw(c.spec);
    CallbackLog::Get().Clear();
    Start(sw.port(), 2000, "127.0.0.1", CallbackLog::OnRead, std::string("part") + std::to_string(&c - cases));
    ASSERT_EQ(::SendData(kClaim.c_str(), nullptr), 1) << c.name;
    const auto begun = Clock::now();
    const double cpu = ProcessCpuSeconds();
    ASSERT_TRUE(CallbackLog::Get().WaitFor(1, 10)) << c.name;
    const double waited = SecondsSince(begun);
    const double used = ProcessCpuSeconds() - cpu;
    EXPECT_EQ(CallbackLog::Get().Whats(), c.events) << c.name;
    EXPECT_GE(waited, c.after - 0.1) << c.name;
    EXPECT_LT(waited, c.after + 1.0) << c.name;
    EXPECT_LT(used, waited / 10) << c.name << ": " << used << " s of CPU in " << waited << " s";

    // A worker waiting on part of a record stops when the next send asks.
    ASSERT_EQ(::SendData(kClaim.c_str(), nullptr), 1) << c.name;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the part has come
    const auto again = Clock::now();
    ASSERT_EQ(::SendData(kClaim.c_str(), nullptr), 1) << c.name;
    EXPECT_LT(SecondsSince(again), 2.0) << c.name;
    StopAndJoinAllWorkers();
    EXPECT_EQ(CallbackLog::Get().Whats(), c.events) << c.name << ": a stopped worker calls nothing";
  }
}

// A switch that keeps sending records without reply data (TLS 1.3
// KeyUpdates, also ones that ask for an answer while the switch reads
// nothing) for longer than the time-out: the time-notify comes at the
// time-out, and neither the next send nor a stop waits for the stream. Once
// the answers find no room the worker waits for room, the CPU idle.
TEST_F(ReplyTest, RecordsWithoutReplyDataEndAtTheTimeOut) {
  const struct Case {
    const char* name;
    SwitchSpec spec;
    bool answers;
  } cases[] = {
      {"key updates", {{"--reply", "LATE", "--key-updates", "10000"}}, false},
      {"key updates asking for answers",
       {{"--reply", "LATE", "--key-updates", "10000", "--key-update-requested"}},
       true},
  };
  for (const Case& c : cases) {
    SwitchProcess sw(c.spec);
    CallbackLog::Get().Clear();
    Start(sw.port(), 3000, "127.0.0.1", CallbackLog::OnRead, std::string("flood") + std::to_string(&c - cases));
    int mark = Mark();
    ASSERT_EQ(::SendData(kClaim.c_str(), nullptr), 1) << c.name;
    const auto begun = Clock::now();
    double cpu = 0;
    Clock::time_point idle_from;
    if (c.answers) {
      // A small send buffer: the answers fill the way back after a few
      // hundred updates (well within the first second), not after megabytes.
      int small = 4096;
      ASSERT_EQ(::setsockopt(Core().SocketHandle, SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
      std::this_thread::sleep_for(std::chrono::seconds(1));
      idle_from = Clock::now();
      cpu = ProcessCpuSeconds();
    }
    ASSERT_TRUE(CallbackLog::Get().WaitFor(1, 10)) << c.name;
    const double waited = SecondsSince(begun);
    EXPECT_GE(waited, 3.0 - 0.1) << c.name;  // the worker starts its wait before the send returns
    EXPECT_LT(waited, 3.0 + 1.0) << c.name;
    if (c.answers) {
      const double idle = SecondsSince(idle_from);
      const double used = ProcessCpuSeconds() - cpu;
      EXPECT_LT(used, idle / 10) << c.name << ": " << used << " s of CPU in " << idle << " s";
    }
    EXPECT_EQ(CallbackLog::Get().Whats(), std::vector<std::string>{"notify"}) << c.name;
    EXPECT_TRUE(Contains(MessagesSince(mark), "Select - No Inbound IP data after waiting 3 seconds")) << c.name;

    auto again = Clock::now();
    ASSERT_EQ(::SendData(kClaim.c_str(), nullptr), 1) << c.name;
    EXPECT_LT(SecondsSince(again), 2.0) << c.name;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the new worker is inside the stream
    again = Clock::now();
    StopAndJoinAllWorkers();
    EXPECT_LT(SecondsSince(again), 2.0) << c.name;
    EXPECT_EQ(CallbackLog::Get().Whats(), std::vector<std::string>{"notify"}) << c.name;
  }
}

TEST_F(ReplyTest, ReplyWithoutAReadCallbackIsHeldForTheNextWorker) {
  SwitchProcess sw(Echo());
  Start(sw.port(), 3000, "127.0.0.1", nullptr, "held");
  ASSERT_EQ(::SendData("one", nullptr), 1);
  JoinWorkersForTesting();
  EXPECT_TRUE(CallbackLog::Get().Whats().empty());
  EXPECT_TRUE(Core().DataReceived);
  EXPECT_GE(Core().SocketHandle, 0);  // not closed: nothing was handed over

  Start(sw.port(), 3000, "127.0.0.1", CallbackLog::OnRead, "taker");
  int mark = Mark();
  ASSERT_EQ(::SendData("two", nullptr), 1);
  JoinWorkersForTesting();
  EXPECT_EQ(CallbackLog::Get().Whats(), std::vector<std::string>{"read:one"});
  EXPECT_FALSE(Contains(MessagesSince(mark), "Listening for IP data"));
  EXPECT_FALSE(Core().DataReceived);
}

TEST_F(ReplyTest, RefusedTLSFailsTheSend) {
  SwitchProcess sw(PlainTcp());
  Start(sw.port());
  int mark = Mark();
  TCoreStatus status = Untouched();
  EXPECT_EQ(::SendData(kClaim.c_str(), &status), 0);
  EXPECT_EQ(status.ErrorCode, -1);
  EXPECT_EQ(status.ErrorFlag, 1);
  EXPECT_STREQ(status.ErrorText, "SSL or Socket Exception - Possible network error");
  EXPECT_TRUE(InOrder(MessagesSince(mark), {"IP Socket Connection Successful", "Failure Connecting SSL Socket",
                                            "SSL Initialization Failed", "SSL Initialization failure",
                                            "SSL Send Data error"}));
  TMutexLock lock(Core().WorkerMutex);
  EXPECT_EQ(Core().CurrentWorker, nullptr);
}

TEST_F(ReplyTest, SocketNumberBeyondAnFdSetStillGetsItsReply) {
  SwitchProcess sw(ReplyWith("high"));
  Start(sw.port(), 5000);
  std::vector<int> filler;  // takes every number below 1100
  for (int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC); fd >= 0 && fd < 1100;
       fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC))
    filler.push_back(fd);
  ASSERT_EQ(::SendData(kClaim.c_str(), nullptr), 1);
  EXPECT_GE(Core().SocketHandle, 1024);
  ASSERT_TRUE(CallbackLog::Get().WaitFor(1));
  JoinWorkersForTesting();
  for (int fd : filler) ::close(fd);
  EXPECT_EQ(CallbackLog::Get().Whats(), std::vector<std::string>{"read:high"});
}

// --- threads

void SendAgainFromTheCallback(const char* text) {
  CallbackLog::OnRead(text);
  if (std::string(text) == "one") ::SendData("two", nullptr);
}

TEST_F(ReplyTest, SendFromInsideTheReadCallbackStartsTheNextRequest) {
  SwitchProcess sw(Echo());
  Start(sw.port(), 5000, "127.0.0.1", SendAgainFromTheCallback);
  ASSERT_EQ(::SendData("one", nullptr), 1);
  ASSERT_TRUE(CallbackLog::Get().WaitFor(2));
  JoinWorkersForTesting();
  EXPECT_EQ(CallbackLog::Get().Whats(), (std::vector<std::string>{"read:one", "read:two"}));
  EXPECT_EQ(sw.Request(1), "two");
  EXPECT_EQ(Core().SocketHandle, -1);  // the second worker closed its own connection
}

TEST_F(ReplyTest, SecondSendWhileTheFirstWorkerWaitsStopsItQuietly) {
  SwitchProcess sw(NeverReply());
  Start(sw.port(), 30000);
  ASSERT_EQ(::SendData("first", nullptr), 1);
  auto begun = Clock::now();
  ASSERT_EQ(::SendData("second", nullptr), 1);
  EXPECT_LT(Clock::now() - begun, std::chrono::seconds(10));
  ASSERT_EQ(::SendData("third", nullptr), 1);
  Unload();
  EXPECT_TRUE(CallbackLog::Get().Whats().empty());
}

TEST_F(ReplyTest, UnloadWhileAWorkerWaitsStopsAndJoinsIt) {
  SwitchProcess sw(NeverReply());
  Start(sw.port(), 60000);
  ASSERT_EQ(::SendData(kClaim.c_str(), nullptr), 1);
  auto begun = Clock::now();
  Unload();
  EXPECT_LT(Clock::now() - begun, std::chrono::seconds(10));
  EXPECT_TRUE(CallbackLog::Get().Whats().empty());
}

void IgnoreSignal(int) {}

// The wait itself fails: with the open-file limit below the two descriptors
// the worker watches, its next poll is refused (EINVAL); a signal makes a
// worker already waiting poll again. One record, one time-notify, no read,
// and the attempt ends instead of spinning.
TEST_F(ReplyTest, FailedWaitEndsTheAttemptWithOneRecord) {
  SwitchProcess sw(NeverReply());
  Start(sw.port(), 60000);
  int mark = Mark();
  struct sigaction wake {}, old {};
  wake.sa_handler = IgnoreSignal;
  sigemptyset(&wake.sa_mask);
  ASSERT_EQ(::sigaction(SIGUSR1, &wake, &old), 0);
  ASSERT_EQ(::SendData(kClaim.c_str(), nullptr), 1);
  pthread_t worker;
  {
    TMutexLock lock(Core().WorkerMutex);
    ASSERT_NE(Core().CurrentWorker, nullptr);
    worker = static_cast<pthread_t>(Core().CurrentWorker->Handle());
  }
  rlimit files{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &files), 0);
  rlimit low = files;
  low.rlim_cur = 1;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  ::pthread_kill(worker, SIGUSR1);
  bool notified = CallbackLog::Get().WaitFor(1, 10);
  ::setrlimit(RLIMIT_NOFILE, &files);
  JoinWorkersForTesting();
  ::sigaction(SIGUSR1, &old, nullptr);
  ASSERT_TRUE(notified);

  EXPECT_EQ(CallbackLog::Get().Whats(), std::vector<std::string>{"notify"});
  std::vector<std::string> msgs = MessagesSince(mark);
  EXPECT_EQ(std::count(msgs.begin(), msgs.end(), "Select Failed: Error = " + std::to_string(EINVAL)), 1)
      << ::testing::PrintToString(msgs);
  EXPECT_FALSE(Contains(msgs, "f_SSL_read"));
  EXPECT_GE(Core().SocketHandle, 0);  // left to the next request, as after a time-out
}

// Takes every free descriptor but `spare`, under a lowered open-file limit;
// gives them back when it goes.
class DescriptorsTaken {
 public:
  explicit DescriptorsTaken(int spare) {
    ::getrlimit(RLIMIT_NOFILE, &saved_);
    rlimit low = saved_;
    low.rlim_cur = std::min<rlim_t>(saved_.rlim_cur, 256);
    ::setrlimit(RLIMIT_NOFILE, &low);
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) fds_.push_back(fd);
    for (int i = 0; i < spare && !fds_.empty(); ++i) {
      ::close(fds_.back());
      fds_.pop_back();
    }
  }
  ~DescriptorsTaken() {
    for (int fd : fds_) ::close(fd);
    ::setrlimit(RLIMIT_NOFILE, &saved_);
  }
  bool any() const { return !fds_.empty(); }

 private:
  rlimit saved_{};
  std::vector<int> fds_;
};

// A worker that got no descriptor for its wake-up (the socket took the last
// one) must still end promptly when stopped, not at the end of its time-out.
TEST_F(ReplyTest, WorkerWithoutAWakeUpDescriptorStillStopsPromptly) {
  SwitchProcess sw(NeverReply());
  Start(sw.port(), 60000);
  ASSERT_EQ(::SendData("warm-up", nullptr), 1);  // OpenSSL has all it loads once
  Core().dtmdlCore->CloseConnection();
  std::chrono::steady_clock::duration second_send;
  {
    DescriptorsTaken taken(1);
    ASSERT_TRUE(taken.any());
    ASSERT_EQ(::SendData("first", nullptr), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // past the session tickets
    auto begun = Clock::now();
    ASSERT_EQ(::SendData("second", nullptr), 1);  // stops and joins the first worker
    second_send = Clock::now() - begun;
  }
  EXPECT_LT(second_send, std::chrono::seconds(10));
  auto begun = Clock::now();
  Unload();  // the second worker has no wake-up either
  EXPECT_LT(Clock::now() - begun, std::chrono::seconds(10));
  EXPECT_TRUE(CallbackLog::Get().Whats().empty());
}

// The first read callback holds on until the test lets it go.
std::atomic<int> g_held_calls{0};
std::promise<void> g_let_go;
std::atomic<bool> g_let_go_in_time{false};
void HeldRead(const char* text) {
  CallbackLog::OnRead(text);
  if (g_held_calls++ == 0)
    g_let_go_in_time = g_let_go.get_future().wait_for(std::chrono::seconds(60)) == std::future_status::ready;
}

// A send while the last reply's callback still runs neither waits for the
// callback nor hands its own reply over before the callback has ended.
TEST_F(ReplyTest, SendDuringAReadCallbackNeitherWaitsForItNorOvertakesIt) {
  SwitchProcess sw(Echo());
  g_held_calls = 0;
  g_let_go = std::promise<void>();
  Start(sw.port(), 5000, "127.0.0.1", HeldRead);
  ASSERT_EQ(::SendData("one", nullptr), 1);
  ASSERT_TRUE(CallbackLog::Get().WaitFor(1));
  ASSERT_EQ(::SendData("two", nullptr), 1);  // the callback of "one" still runs
  g_let_go.set_value();
  ASSERT_TRUE(CallbackLog::Get().WaitFor(2));
  JoinWorkersForTesting();
  EXPECT_TRUE(g_let_go_in_time) << "the send waited for the callback";
  EXPECT_EQ(CallbackLog::Get().Whats(), (std::vector<std::string>{"read:one", "read:two"}));
}

}  // namespace
}  // namespace tamlix::core::testing
