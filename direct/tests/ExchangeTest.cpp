// The synchronous exchange against the test switch over real TLS on
// loopback: the reply and its count, silence, a close without a reply, the
// failures before the connection is up, the claim on the wire, and the
// serialisation of calls from several threads.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "CoalescingRelay.h"
#include "DirectExchange.h"
#include "PeriodicAlarm.h"
#include "ReplyPattern.h"
#include "RingRecords.h"
#include "TestSwitch.h"
#include "UnitTamlixDirect.h"
#include "platform/tests/TestProcesses.h"
#include "platform/Sys.h"
#include "tamlix/TamlixDirect.h"

namespace tamlix::direct {
namespace {

namespace fs = std::filesystem;
using tamlix::testing::TestSwitch;
using Clock = std::chrono::steady_clock;
using tamlix::testing::ProcessCpuSeconds;

constexpr int32_t kUntouched = 12345;

// A caller's response buffer with guard bytes on both sides.
struct ResponseBuffer {
  ResponseBuffer() { bytes.fill('#'); }
  char* data() { return bytes.data() + 16; }
  std::string text() { return std::string(data()); }
  bool guardsIntact() const {
    for (int i = 0; i < 16; ++i)
      if (bytes[i] != '#' || bytes[16 + kReceiveBufferSize + i] != '#') return false;
    return true;
  }
  std::array<char, kReceiveBufferSize + 32> bytes;
};

struct Outcome {
  int32_t result = -1;
  int32_t received = kUntouched;
  std::string response;
  bool guardsIntact = false;
  std::vector<testing::TRecord> records;
  double seconds = 0;
};

class ExchangeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetDirectStateForTesting();
    platform::Deadline::SetConnectDeadlineForTesting(std::chrono::milliseconds(0));
    SetWaitSpellForTesting(std::chrono::milliseconds(0));
    char tmpl[] = "/tmp/direct-exchange-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    sys::ClearFaults();
    platform::Deadline::SetConnectDeadlineForTesting(std::chrono::milliseconds(0));
    SetWaitSpellForTesting(std::chrono::milliseconds(0));
    fs::remove_all(dir_);
  }

  // Points the synchronous road at address:port through the settings file.
  void LoadFor(const std::string& address, int64_t port) {
    std::ofstream(dir_ / "TamlixTCP.INI") << "[Global TCP/IP Data]\nAddress=" << address << "\nPort=" << port << "\n";
    ASSERT_EQ(Load_ini((dir_.string() + "/").c_str()), 1);
  }
  void LoadFor(const TestSwitch& sw) { LoadFor("127.0.0.1", sw.port()); }

  Outcome Exchange(const std::string& claim, bool stdcall = false) {
    Outcome o;
    ResponseBuffer response;
    std::strcpy(response.data(), "left from before");
    const int32_t written = 77;
    const int mark = testing::LastSequence();
    auto start = Clock::now();
    o.result = stdcall ? ::Process_claim_S(claim.c_str(), &written, response.data(), &o.received, 99)
                       : ::Process_claim(claim.c_str(), &written, response.data(), &o.received);
    o.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_EQ(written, 77) << "BytesWritten is never changed";
    o.response = response.text();
    o.guardsIntact = response.guardsIntact();
    o.records = testing::RecordsSince(mark);
    EXPECT_FALSE(ExchangeObjectsHeldForTesting()) << "an exchange object outlived the call";
    return o;
  }

  fs::path dir_;
};

TEST_F(ExchangeTest, ReplyComesBackWithItsCountAndTheClaimGoesOutUnchanged) {
  TestSwitch sw({"--reply", "REPLY\x1c" "OK"});
  LoadFor(sw);
  // Control characters, no ETX at the end, no framing: all of it goes as is.
  const std::string claim = "\x02" "0004ab\x1e" "cd";
  Outcome o = Exchange(claim);
  EXPECT_EQ(o.result, 1) << testing::Messages(o.records);
  EXPECT_EQ(o.response, "REPLY\x1c" "OK");
  EXPECT_EQ(o.received, 8);
  EXPECT_TRUE(o.guardsIntact);
  EXPECT_EQ(sw.Request(1), claim);

  const std::string port = std::to_string(sw.port());
  EXPECT_EQ(testing::MissingInOrder(
                o.records, {"Begin Process Claim", "Begin SSL Read/Write", "Create/Connect to Socket: 127.0.0.1 " + port,
                            "Attempting Socket Connection: 127.0.0.1 " + port, "Socket Connection Successful",
                            "Begin SSL Initialization", "SSL protocol Message 0", "SSL Initialization Successful",
                            "Socket/SSL Connection Successful", "SSL_Write", "SSL_Read", "8 Bytes Received",
                            "Begin SSL Cleanup", "SSL Close", "Close Socket Resule code - 0", "SSL read/write finished",
                            "Direct Claim Received"}),
            "")
      << testing::Messages(o.records);
  const testing::TRecord* received = testing::Find(o.records, "8 Bytes Received");
  ASSERT_NE(received, nullptr);
  EXPECT_EQ(received->data, "REPLY\x1c" "OK");
  EXPECT_EQ(testing::Find(o.records, "SSL_Write")->data, claim);
  // No InitializeDirect: the session is empty wherever it is written.
  for (const auto& r : o.records) EXPECT_EQ(r.session, "") << r.message;
  EXPECT_EQ(testing::Find(o.records, "Direct Claim Received")->module, "Direct.DLL");
  EXPECT_NE(testing::Find(o.records, "SSL_Read"), nullptr);
}

// A reply written as three TLS records that arrive together takes three
// reads; the host gets all of it, not the last piece.
TEST_F(ExchangeTest, ReplyInSeveralRecordsArrivesWhole) {
  const std::string reply = tamlix::testing::OversizePattern(3000);
  TestSwitch sw({"--reply", reply, "--pieces", "3", "--pause-ms", "20"});
  testing::CoalescingRelay relay(sw.port(), 400);
  LoadFor("127.0.0.1", relay.port());
  Outcome o = Exchange("claim\x03");
  EXPECT_EQ(o.result, 1) << testing::Messages(o.records);
  EXPECT_EQ(o.response, reply);
  EXPECT_EQ(o.received, 3000);
  EXPECT_NE(testing::Find(o.records, "3000 Bytes Received"), nullptr) << testing::Messages(o.records);
}

TEST_F(ExchangeTest, ReplyLongerThanTheBufferIsCutAt4096) {
  TestSwitch sw({"--oversize", "6000"});
  LoadFor(sw);
  Outcome o = Exchange("claim\x03");
  EXPECT_EQ(o.result, 1);
  EXPECT_EQ(o.received, 4096);
  EXPECT_EQ(o.response, tamlix::testing::OversizePattern(4096));
  EXPECT_TRUE(o.guardsIntact);
}

TEST_F(ExchangeTest, SilenceEndsAfterEightSecondsWithTheConnectionClosed) {
  TestSwitch sw({"--silent"});
  LoadFor(sw);
  Outcome o = Exchange("claim\x03");
  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(o.response, "");
  EXPECT_EQ(o.received, kUntouched);
  EXPECT_GE(o.seconds, 7.9);
  EXPECT_LT(o.seconds, 12.0);
  EXPECT_EQ(testing::MissingInOrder(o.records, {"SSL_Read", "TimeOut", "Begin SSL Cleanup",
                                                "Close Socket Resule code - 0", "SSL read/write finished",
                                                "Direct Claim Received"}),
            "")
      << testing::Messages(o.records);
}

TEST_F(ExchangeTest, CloseWithoutReplyGivesResultOneAndNoBytes) {
  TestSwitch sw({"--close"});
  LoadFor(sw);
  Outcome o = Exchange("claim\x03");
  EXPECT_EQ(o.result, 1) << testing::Messages(o.records);
  EXPECT_LE(o.received, 0);
  EXPECT_EQ(o.response, "");
  EXPECT_NE(testing::Find(o.records, std::to_string(o.received) + " Bytes Received"), nullptr)
      << testing::Messages(o.records);
}

// The connection never comes up: result 0, the caller's buffers untouched.
TEST_F(ExchangeTest, FailuresBeforeTheConnectionLeaveTheCallersBuffers) {
  struct Case {
    const char* name;
    std::string address;
    int64_t port;  // 0: no Load_ini at all
    std::vector<std::string> records;
  };
  const std::vector<Case> cases = {
      {"NoLoadIni", "", 0, {"Create/Connect to Socket:  0", "Socket Error:", "Socket Connect Failed"}},
      {"NoDnsEntry", "*no-such-host.invalid", 1, {"Host Name Lookup Failed.  No DNS Entry Returned.",
                                                  "Attempting Socket Connection: no-such-host.invalid 1",
                                                  "Socket Error:", "Socket Connect Failed"}},
      {"StarNotFirst", "127.0.0.*1", 1, {"Attempting Socket Connection: 127.0.0.*1 1", "Socket Error:",
                                         "Socket Connect Failed"}},
      {"Refused", "127.0.0.1", 1, {"Socket Error:111", "Socket Connect Failed"}},
  };
  for (const Case& c : cases) {
    ResetDirectStateForTesting();
    if (c.port) LoadFor(c.address, c.port);
    Outcome o = Exchange("claim");
    EXPECT_EQ(o.result, 0) << c.name;
    EXPECT_EQ(o.response, "left from before") << c.name;
    EXPECT_EQ(o.received, kUntouched) << c.name;
    // "Socket Error:" stands for any code: compare prefixes.
    std::size_t at = 0;
    for (const std::string& want : c.records) {
      while (at < o.records.size() && o.records[at].message.rfind(want, 0) != 0) ++at;
      EXPECT_LT(at, o.records.size()) << c.name << ": missing " << want << "\n" << testing::Messages(o.records);
      if (at < o.records.size()) ++at;
    }
    EXPECT_EQ(testing::Find(o.records, "SSL read/write finished"), nullptr) << c.name;
    EXPECT_NE(testing::Find(o.records, "Direct Claim Received"), nullptr) << c.name;
  }
}

TEST_F(ExchangeTest, SocketThatCannotBeMadeFailsTheExchange) {
  LoadFor("127.0.0.1", 1);
  sys::FailNth(sys::Call::Socket, 1, EMFILE);
  Outcome o = Exchange("claim");
  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(o.received, kUntouched);
  EXPECT_EQ(testing::MissingInOrder(o.records, {"Socket Error:24", "Socket Connect Failed"}), "")
      << testing::Messages(o.records);
}

TEST_F(ExchangeTest, OnlyTheLow16BitsOfThePortCount) {
  std::unique_ptr<TestSwitch> sw;
  try {
    sw = std::make_unique<TestSwitch>(std::vector<std::string>{"--port", "4464", "--reply", "ok"});
  } catch (const std::exception& e) {
    GTEST_SKIP() << "port 4464 is taken here: " << e.what();
  }
  LoadFor("127.0.0.1", 70000);
  Outcome o = Exchange("claim\x03");
  EXPECT_EQ(o.result, 1) << testing::Messages(o.records);
  EXPECT_EQ(o.response, "ok");
  EXPECT_EQ(testing::MissingInOrder(o.records, {"Create/Connect to Socket: 127.0.0.1 70000",
                                                "Attempting Socket Connection: 127.0.0.1 70000"}),
            "")
      << testing::Messages(o.records);
}

TEST_F(ExchangeTest, HostNameIsResolvedWithoutItsStar) {
  TestSwitch sw({"--reply", "named"});
  LoadFor("*localhost", sw.port());
  Outcome o = Exchange("claim\x03");
  EXPECT_EQ(o.result, 1) << testing::Messages(o.records);
  EXPECT_EQ(o.response, "named");
  EXPECT_NE(testing::Find(o.records, "Attempting Socket Connection: localhost " + std::to_string(sw.port())),
            nullptr);
}

// A peer that answers the handshake with something else: the verdict fails,
// after the set-up still recorded its end.
TEST_F(ExchangeTest, RefusedHandshakeFailsTheConnection) {
  TestSwitch sw({"--plain"});
  LoadFor(sw);
  Outcome o = Exchange("claim\x03");
  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(o.received, kUntouched);
  EXPECT_EQ(o.response, "left from before");
  EXPECT_EQ(testing::MissingInOrder(o.records, {"Begin SSL Initialization", "SSL protocol Message 1",
                                                "SSL Initialization Successful", "SSL Initialization Failed",
                                                "Socket Connect Failed"}),
            "")
      << testing::Messages(o.records);
  const testing::TRecord* failed = testing::Find(o.records, "SSL Initialization Failed");
  ASSERT_NE(failed, nullptr);
  EXPECT_EQ(failed->procedure, "SocketConnect");
}

// Switches that misbehave before the connection is up: the connect and the
// handshake share one deadline (shortened here), which no byte that trickles
// in, no stream of records and no signal the host takes extends; past it
// the exchange fails as a refused connection does, and the caller's buffers
// stay untouched.
TEST_F(ExchangeTest, MisbehavingSwitchEndsTheExchangeAtTheDeadline) {
  constexpr double kDeadline = 2.0;
  platform::Deadline::SetConnectDeadlineForTesting(std::chrono::milliseconds(2000));
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::vector<std::string> records;
  };
  const std::vector<Case> cases = {
      {"silent", {"--plain", "--silent"}, {"Socket Connection Successful", "Failure Connecting SSL Socket"}},
      {"trickle", {"--trickle-ms", "20"}, {"Socket Connection Successful", "Failure Connecting SSL Socket"}},
      {"synDropped", {"--full-backlog"}, {"Socket Error:" + std::to_string(ETIMEDOUT)}},
      {"helloRequests", {"--hello-requests"}, {"Socket Connection Successful", "Failure Connecting SSL Socket"}},
  };
  tamlix::testing::PeriodicAlarm alarm(std::chrono::milliseconds(200));
  for (const Case& c : cases) {
    TestSwitch sw(c.args);
    LoadFor(sw);
    Outcome o = Exchange("claim\x03");
    EXPECT_EQ(o.result, 0) << c.name;
    EXPECT_GE(o.seconds, kDeadline) << c.name;
    EXPECT_LT(o.seconds, kDeadline + 1.0) << c.name;
    EXPECT_EQ(o.response, "left from before") << c.name;
    EXPECT_EQ(o.received, kUntouched) << c.name;
    std::vector<std::string> want = c.records;
    want.push_back("Socket Connect Failed");
    EXPECT_EQ(testing::MissingInOrder(o.records, want), "") << c.name << "\n" << testing::Messages(o.records);
    EXPECT_EQ(testing::Find(o.records, "SSL_Write"), nullptr) << c.name;
  }
}

// A host that takes a SIGALRM every 200 ms: the reply wait is one spell
// (shortened here), resumed after each signal with what is left of it.
TEST_F(ExchangeTest, PeriodicSignalsNeitherRestartNorEndTheReplyWait) {
  TestSwitch sw({"--silent"});
  LoadFor(sw);
  SetWaitSpellForTesting(std::chrono::milliseconds(1500));
  const int alarmsBefore = tamlix::testing::PeriodicAlarm::Count();
  Outcome o;
  {
    tamlix::testing::PeriodicAlarm alarm(std::chrono::milliseconds(200));
    o = Exchange("claim\x03");
  }
  EXPECT_GE(tamlix::testing::PeriodicAlarm::Count() - alarmsBefore, 5);
  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(o.response, "");
  EXPECT_EQ(o.received, kUntouched);
  EXPECT_GE(o.seconds, 1.5);
  EXPECT_LT(o.seconds, 1.5 + 2.0);
  auto count = [&](const std::string& message) {
    return std::count_if(o.records.begin(), o.records.end(),
                         [&](const testing::TRecord& r) { return r.message == message; });
  };
  EXPECT_EQ(count("SSL_Read"), 1) << testing::Messages(o.records);
  EXPECT_EQ(count("TimeOut"), 1) << testing::Messages(o.records);
  EXPECT_EQ(testing::MissingInOrder(o.records, {"SSL_Write", "SSL_Read", "TimeOut", "Begin SSL Cleanup",
                                                "SSL read/write finished"}),
            "")
      << testing::Messages(o.records);
}

// Whatever the switch sends after the claim, the wait (its spell shortened
// here) ends on time: a record that comes in two parts is waited for in
// poll with the CPU idle, and one that never completes, or a stream of
// records without reply data (KeyUpdates, also ones that ask for an answer
// while the switch reads nothing), ends with "TimeOut" at the spell's end.
TEST_F(ExchangeTest, TheWaitEndsWithinItsSpellWhateverTheSwitchSends) {
  SetWaitSpellForTesting(std::chrono::milliseconds(2000));
  struct Case {
    const char* name;
    std::vector<std::string> args;
    int32_t result;
    std::string response;
    int32_t received;
    std::string record;
    double seconds;  // how long the call takes
    bool idle;       // the CPU stays idle meanwhile
  };
  const std::vector<Case> cases = {
      {"split record", {"--reply", "SPLIT REPLY", "--split-record", "1500"}, 1, "SPLIT REPLY", 11,
       "11 Bytes Received", 1.5, true},
      {"one header byte", {"--reply", "NEVER WHOLE", "--partial-record", "1"}, 0, "", kUntouched, "TimeOut", 2.0,
       true},
      {"key updates", {"--reply", "LATE", "--key-updates", "8000"}, 0, "", kUntouched, "TimeOut", 2.0, false},
      {"key updates asking for answers",
       {"--reply", "LATE", "--key-updates", "8000", "--key-update-requested"}, 0, "", kUntouched, "TimeOut", 2.0,
       false},
  };
  for (const Case& c : cases) {
    TestSwitch sw(c.args);
    LoadFor(sw);
    const double cpu = ProcessCpuSeconds();
    Outcome o = Exchange("claim\x03");
    const double used = ProcessCpuSeconds() - cpu;
    EXPECT_EQ(o.result, c.result) << c.name << "\n" << testing::Messages(o.records);
    EXPECT_EQ(o.response, c.response) << c.name;
    EXPECT_EQ(o.received, c.received) << c.name;
    EXPECT_NE(testing::Find(o.records, c.record), nullptr) << c.name << "\n" << testing::Messages(o.records);
    EXPECT_GE(o.seconds, c.seconds - 0.1) << c.name;
    EXPECT_LT(o.seconds, c.seconds + 1.0) << c.name;
    if (c.idle) {
      EXPECT_LT(used, o.seconds / 10) << c.name << ": " << used << " s of CPU in " << o.seconds << " s";
    }
  }
}

TEST_F(ExchangeTest, StdcallTwinBehavesLikeProcessClaim) {
  TestSwitch sw({"--echo"});
  LoadFor(sw);
  Outcome o = Exchange("twin\x03", /*stdcall=*/true);
  EXPECT_EQ(o.result, 1);
  EXPECT_EQ(o.response, "twin\x03");
  EXPECT_EQ(o.received, 5);
  ASSERT_FALSE(o.records.empty());
  EXPECT_EQ(o.records[0].message, "Begin Process_claim_S");
  EXPECT_EQ(o.records[0].procedure, "UnitTamlixDirect.Process_claim_S");
  EXPECT_EQ(o.records[0].data, "twin\x03");
  EXPECT_EQ(o.records[1].message, "Begin Process Claim");
}

TEST_F(ExchangeTest, EachCallHasAConnectionOfItsOwn) {
  TestSwitch sw({"--echo"});
  LoadFor(sw);
  EXPECT_EQ(Exchange("first\x03").response, "first\x03");
  EXPECT_EQ(Exchange("second\x03").response, "second\x03");
  EXPECT_EQ(sw.Request(1), "first\x03");
  EXPECT_EQ(sw.Request(2), "second\x03");
}

// Calls from several host threads run one at a time: each thread gets the
// echo of its own claim, whole.
TEST_F(ExchangeTest, OverlappingCallsAreSerialised) {
  TestSwitch sw({"--echo", "--delay-ms", "50"});
  LoadFor(sw);
  constexpr int kThreads = 4;
  std::array<std::string, kThreads> responses;
  std::array<int32_t, kThreads> results{};
  std::array<int32_t, kThreads> counts{};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      const std::string claim = "claim-from-thread-" + std::to_string(i) + "\x03";
      std::vector<char> response(kReceiveBufferSize, '#');
      const int32_t written = 0;
      results[i] = ::Process_claim(claim.c_str(), &written, response.data(), &counts[i]);
      responses[i] = response.data();
    });
  }
  for (auto& t : threads) t.join();
  for (int i = 0; i < kThreads; ++i) {
    const std::string claim = "claim-from-thread-" + std::to_string(i) + "\x03";
    EXPECT_EQ(results[i], 1) << i;
    EXPECT_EQ(responses[i], claim) << i;
    EXPECT_EQ(counts[i], static_cast<int32_t>(claim.size())) << i;
  }
  EXPECT_EQ(sw.RequestCount(), kThreads);
}

}  // namespace
}  // namespace tamlix::direct
