// Connection set-up failures, the address rule and the close sequence,
// against loopback ports that refuse, stall or merely accept.
#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <chrono>

#include "PeriodicAlarm.h"
#include "SendTestSupport.h"
#include "TestSwitch.h"

namespace tamlix::core::testing {
namespace {

using ConnectionTest = SendTest;
using Clock = std::chrono::steady_clock;

const std::string kSendFailed = "SSL or Socket Exception - Possible network error";

TEST_F(ConnectionTest, SendBeforeAnyStartFailsInTheSSLSetUp) {
  TCoreStatus status = Untouched();
  EXPECT_EQ(::SendData("claim", &status), 0);
  EXPECT_EQ(status.ErrorCode, -1);
  EXPECT_EQ(status.ErrorFlag, 1);
  EXPECT_EQ(status.ErrorText, kSendFailed);
  EXPECT_EQ(Core().SocketHandle, -1);

  std::vector<Rec> recs = ReadRing();
  std::vector<std::string> msgs = Messages(recs);
  // The first close after load finds nothing: no socket result record.
  EXPECT_EQ(std::vector<std::string>(msgs.begin(), msgs.begin() + 7),
            (std::vector<std::string>{"Preparing To Write Data: size = 5", "Reset Connection", "Begin SSL Close",
                                      "SSL Free", "Free any SSL Contexts", "Close Socket",
                                      "Create/Connect to Socket"}));
  EXPECT_EQ(recs[6].Module, "TamlixDirect.dll");
  EXPECT_EQ(recs[6].Procedure, "SocketConnect");
  EXPECT_EQ(recs[7].Message.rfind("Socket Error:", 0), 0u) << recs[7].Message;
  EXPECT_TRUE(InOrder(msgs, {"Begin SSL Initialization", "Failure Connecting SSL Socket",
                             "SSL Initialization Failed", "SSL Initialization failure", "SSL Send Data error"}));
  for (const std::string& m : msgs) EXPECT_EQ(m.find("Close Socket Resule code"), std::string::npos);
  TMutexLock lock(Core().WorkerMutex);
  EXPECT_EQ(Core().CurrentWorker, nullptr);
}

TEST_F(ConnectionTest, RefusedConnectionRecordsTheCodeAndFailsTheSetUp) {
  Start(RefusingPort());
  int mark = Mark();
  TCoreStatus status = Untouched();
  EXPECT_EQ(::SendData("claim", &status), 0);
  EXPECT_EQ(status.ErrorText, kSendFailed);
  EXPECT_TRUE(InOrder(MessagesSince(mark),
                      {"Create/Connect to Socket", "Socket Error:" + std::to_string(ECONNREFUSED),
                       "Begin SSL Initialization", "Failure Connecting SSL Socket", "SSL Initialization Failed",
                       "SSL Initialization failure", "SSL Send Data error"}));
  EXPECT_EQ(Core().SocketHandle, -1);  // closed by the set-up's failure path
}

TEST_F(ConnectionTest, NoSocketMeansUnableToOpenAndNoWorker) {
  Start(RefusingPort());
  int mark = Mark();
  sys::FailNth(sys::Call::Socket, 1, EMFILE);
  TCoreStatus status = Untouched();
  EXPECT_EQ(::SendData("claim", &status), 0);
  EXPECT_EQ(status.ErrorCode, -1);
  EXPECT_EQ(status.ErrorFlag, 1);
  EXPECT_STREQ(status.ErrorText, "Unable to open socket connection");
  std::vector<std::string> msgs = MessagesSince(mark);
  EXPECT_TRUE(InOrder(msgs, {"Socket Error:" + std::to_string(EMFILE), "Socket Connection Failed", ""}));
  EXPECT_FALSE(Contains(msgs, "SSL Send Data error"));
  EXPECT_FALSE(Contains(msgs, "Begin SSL Initialization"));
}

TEST_F(ConnectionTest, NameWithoutDnsEntryNeverReachesALocalService) {
  SilentListener listener;  // would answer if 0.0.0.0 were connected
  Start(listener.port(), 2000, "*nosuchhost.invalid");
  int mark = Mark();
  TCoreStatus status = Untouched();
  EXPECT_EQ(::SendData("claim", &status), 0);
  EXPECT_EQ(status.ErrorText, kSendFailed);
  EXPECT_TRUE(InOrder(MessagesSince(mark), {"Host Name Lookup Failed.  No DNS Entry Returned.",
                                            "Socket Error:" + std::to_string(EADDRNOTAVAIL),
                                            "Failure Connecting SSL Socket"}));
}

TEST_F(ConnectionTest, AddressRuleAndPortBits) {
  SilentListener listener;
  struct Case {
    const char* host;
    int32_t port;
    bool connects;
  } cases[] = {
      {"127.0.0.1", listener.port(), true},
      {"*localhost", listener.port(), true},
      {"127.0.0.1", listener.port() + 65536, true},  // only the low 16 bits count
      {"127.0.0.1", 65536, false},                   // port 0
      {"1*27.0.0.1", listener.port(), false},        // "*" not in front: no dotted address
      {"", listener.port(), false},
      {"0.0.0.0", listener.port(), false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(::MakeSocketConnection(c.port, c.host), c.connects ? 1 : 0) << c.host << ":" << c.port;
    EXPECT_EQ(ntohs(Core().ServerAddr.sin_port), static_cast<uint16_t>(c.port & 0xFFFF)) << c.host;
    Core().dtmdlCore->CloseConnection();
  }
}

// Switches that misbehave before the connection is up: the connect and the
// handshake share one deadline (shortened here), which no byte that trickles
// in, no stream of records and no signal the host takes extends; past it
// the send fails as a refused connection does, and no worker starts.
TEST_F(ConnectionTest, MisbehavingSwitchEndsTheSendAtTheDeadline) {
  constexpr auto kDeadline = std::chrono::seconds(2);
  platform::Deadline::SetConnectDeadlineForTesting(kDeadline);
  SilentListener silent;  // accepts into the backlog, never speaks TLS
  tamlix::testing::TestSwitch trickle({"--trickle-ms", "20"});  // far beyond the deadline in all
  tamlix::testing::TestSwitch full({"--full-backlog"});
  tamlix::testing::TestSwitch hello({"--hello-requests"});  // records the handshake skips, without end
  const struct Case {
    const char* name;
    int port;
    std::vector<std::string> records;
  } cases[] = {
      {"silent", silent.port(), {"IP Socket Connection Successful", "Failure Connecting SSL Socket"}},
      {"trickle", trickle.port(), {"IP Socket Connection Successful", "Failure Connecting SSL Socket"}},
      {"synDropped", full.port(), {"Socket Error:" + std::to_string(ETIMEDOUT), "Failure Connecting SSL Socket"}},
      {"helloRequests", hello.port(), {"IP Socket Connection Successful", "Failure Connecting SSL Socket"}},
  };
  tamlix::testing::PeriodicAlarm alarm(std::chrono::milliseconds(200));
  for (const Case& c : cases) {
    Start(c.port, 2000, "127.0.0.1", CallbackLog::OnRead, c.name);
    int mark = Mark();
    TCoreStatus status = Untouched();
    auto begun = Clock::now();
    EXPECT_EQ(::SendData("claim", &status), 0) << c.name;
    auto took = Clock::now() - begun;
    EXPECT_GE(took, kDeadline) << c.name;
    EXPECT_LT(took, kDeadline + std::chrono::seconds(1)) << c.name;
    EXPECT_EQ(status.ErrorCode, -1) << c.name;
    EXPECT_EQ(status.ErrorText, kSendFailed) << c.name;
    std::vector<std::string> want = c.records;
    want.insert(want.end(), {"SSL Initialization Failed", "SSL Initialization failure", "SSL Send Data error"});
    std::vector<std::string> msgs = MessagesSince(mark);
    EXPECT_TRUE(InOrder(msgs, want)) << c.name << ::testing::PrintToString(msgs);
    EXPECT_EQ(Core().SocketHandle, -1) << c.name;
    TMutexLock lock(Core().WorkerMutex);
    EXPECT_EQ(Core().CurrentWorker, nullptr) << c.name;
  }
}

TEST_F(ConnectionTest, CloseRecordsAFailedSocketCloseOnce) {
  SilentListener listener;
  ASSERT_EQ(::MakeSocketConnection(listener.port(), "127.0.0.1"), 1);
  int mark = Mark();
  sys::FailNth(sys::Call::Close, 1, EIO);
  Core().dtmdlCore->CloseConnection();
  EXPECT_EQ(Core().SocketHandle, -1);
  EXPECT_EQ(MessagesSince(mark),
            (std::vector<std::string>{"Reset Connection", "Begin SSL Close", "SSL Free", "Free any SSL Contexts",
                                      "Terminate Thread", "Close Socket", "Close Socket Resule code - -1"}));
}

TEST_F(ConnectionTest, SetUpWithoutASocketFailsAtTheHandshake) {
  int mark = Mark();
  EXPECT_EQ(::Init_SSL_Connect(), 0);
  EXPECT_TRUE(InOrder(MessagesSince(mark), {"Begin SSL Initialization", "Failure Connecting SSL Socket",
                                            "SSL Initialization Failed"}));
}

TEST_F(ConnectionTest, ResetSerialCallsNeitherCallbackWhenTheSSLSetUpFails) {
  Start(RefusingPort());
  ::ResetSerial();
  EXPECT_TRUE(CallbackLog::Get().Whats().empty());
  EXPECT_EQ(ReadRing().back().Message, "SSL Initialization failure");
}

TEST_F(ConnectionTest, ResetSerialWithoutASocketCallsTimerThenNotify) {
  Start(RefusingPort());
  int mark = Mark();
  sys::FailNth(sys::Call::Socket, 1, ENFILE);
  ::ResetSerial();
  EXPECT_EQ(CallbackLog::Get().Whats(), (std::vector<std::string>{"timer", "notify"}));
  std::vector<std::string> msgs = MessagesSince(mark);
  ASSERT_FALSE(msgs.empty());
  EXPECT_EQ(msgs.front(), "Timeout procedure executed");
}

TEST(SigPipeGuardTest, WriteToAGonePeerNeverRaisesSigpipe) {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  ::close(pair[1]);
  {
    SigPipeGuard guard;
    EXPECT_EQ(::write(pair[0], "x", 1), -1);  // would end the process with SIGPIPE
    EXPECT_EQ(errno, EPIPE);
  }
  sigset_t pending;
  sigemptyset(&pending);
  sigpending(&pending);
  EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
  sigset_t mask;
  pthread_sigmask(SIG_SETMASK, nullptr, &mask);
  EXPECT_EQ(sigismember(&mask, SIGPIPE), 0);  // the thread's mask is restored
  ::close(pair[0]);
}

}  // namespace
}  // namespace tamlix::core::testing
