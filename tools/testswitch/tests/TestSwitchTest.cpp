#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "BareTlsClient.h"
#include "TestSwitch.h"

namespace tamlix::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Status = BareTlsClient::ReadStatus;

const std::string kClaim = std::string("\x02") + "0004abc\x03";

long long MsSince(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// Connects, handshakes and writes; fails the test on the way when it cannot.
void Send(BareTlsClient& c, const TestSwitch& sw, std::string_view request) {
  ASSERT_TRUE(c.Connect(sw.port())) << c.lastError();
  ASSERT_TRUE(c.Handshake()) << c.lastError();
  ASSERT_TRUE(c.Write(request)) << c.lastError();
}

int RawConnect(std::uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

TEST(TestSwitchReply, EachReplySourceArrivesWholeAndTheRequestIsLoggedByteForByte) {
  std::string binary;
  for (int i = 0; i < 256; ++i) binary += static_cast<char>(i);
  binary += '\x03';
  std::string nulReply = std::string("\0ACK", 4) + "\x01\x02";
  std::string replyFile = std::string(::testing::TempDir()) + "testswitch-reply-" + std::to_string(::getpid());
  std::ofstream(replyFile, std::ios::binary) << nulReply;

  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string request;
    std::string expected;
  } cases[] = {
      {"reply text", {"--reply", "ACK 42"}, kClaim, "ACK 42"},
      {"echo by default", {}, binary, binary},
      {"echo", {"--echo"}, kClaim, kClaim},
      {"reply file starting with NUL", {"--reply-file", replyFile}, kClaim, nulReply},
      {"oversize", {"--oversize", "7000"}, kClaim, OversizePattern(7000)},
  };
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    TestSwitch sw(tc.args);
    BareTlsClient c;
    Send(c, sw, tc.request);
    EXPECT_EQ(c.ReadUpTo(tc.expected.size(), 3000), tc.expected);
    EXPECT_EQ(c.ReadOnce(100).status, Status::Timeout) << "nothing after the reply";
    EXPECT_EQ(sw.Request(1), tc.request);
    c.Close();
    EXPECT_EQ(sw.RequestCount(), 1);
  }
  std::remove(replyFile.c_str());
}

TEST(TestSwitchRequest, EndsAtATrailingEtxOrAfterAQuietSpell) {
  TestSwitch sw;
  {
    // Bytes after an ETX that ended a read belong to no request.
    BareTlsClient c;
    Send(c, sw, "ab\x03");
    std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(c.Write("zz"));
    EXPECT_EQ(c.ReadUpTo(3, 3000), "ab\x03");
    EXPECT_EQ(sw.Request(1), "ab\x03");
  }
  {
    // Two writes close together, the ETX in the second, make one request.
    BareTlsClient c;
    Send(c, sw, "ab");
    std::this_thread::sleep_for(30ms);
    ASSERT_TRUE(c.Write("cd\x03"));
    EXPECT_EQ(c.ReadUpTo(5, 3000), "abcd\x03");
    EXPECT_EQ(sw.Request(2), "abcd\x03");
  }
  {
    // Without an ETX the request ends after the quiet spell.
    BareTlsClient c;
    Send(c, sw, "no etx");
    auto start = Clock::now();
    EXPECT_EQ(c.ReadUpTo(6, 3000), "no etx");
    EXPECT_GE(MsSince(start), 140);
    EXPECT_EQ(sw.Request(3), "no etx");
  }
}

TEST(TestSwitchTiming, DelayHoldsTheReplyAndPiecesArriveAsSeparateReads) {
  {
    TestSwitch sw({"--delay-ms", "300", "--reply", "late"});
    BareTlsClient c;
    Send(c, sw, kClaim);
    auto start = Clock::now();
    EXPECT_EQ(c.ReadUpTo(4, 5000), "late");
    EXPECT_GE(MsSince(start), 290);
  }
  {
    TestSwitch sw({"--pieces", "3", "--pause-ms", "100", "--reply", "abcdefgh"});
    BareTlsClient c;
    Send(c, sw, kClaim);
    std::vector<std::string> reads;
    std::string all;
    Clock::time_point first;
    while (all.size() < 8) {
      BareTlsClient::ReadResult r = c.ReadOnce(3000);
      ASSERT_EQ(r.status, Status::Data) << "after " << all;
      if (reads.empty()) first = Clock::now();
      reads.push_back(r.data);
      all += r.data;
    }
    EXPECT_EQ(all, "abcdefgh");
    EXPECT_EQ(reads.size(), 3u);
    EXPECT_GE(MsSince(first), 190) << "two pauses between the three pieces";
  }
}

TEST(TestSwitchNoReply, CloseEndsTheConnectionAfterReadingTheRequest) {
  TestSwitch sw({"--close"});
  BareTlsClient c;
  Send(c, sw, kClaim);
  EXPECT_EQ(c.ReadOnce(3000).status, Status::Closed);
  EXPECT_EQ(sw.Request(1), kClaim);
}

TEST(TestSwitchNoReply, SilentKeepsTheConnectionOpenWithoutBlockingOthersAndStopsCleanly) {
  TestSwitch sw({"--silent"});
  BareTlsClient first;
  Send(first, sw, kClaim);
  EXPECT_EQ(first.ReadOnce(300).status, Status::Timeout);
  EXPECT_EQ(sw.Request(1), kClaim);

  BareTlsClient second;
  Send(second, sw, "second\x03");
  EXPECT_EQ(sw.Request(2), "second\x03");
  EXPECT_EQ(first.ReadOnce(100).status, Status::Timeout) << "still open, still silent";

  pid_t pid = sw.pid();
  EXPECT_EQ(sw.Stop(), 0) << "SIGTERM with connections open is a clean exit";
  EXPECT_EQ(::kill(pid, 0), -1) << "reaped";
  EXPECT_EQ(first.ReadOnce(3000).status, Status::Closed);
}

TEST(TestSwitchPlain, RefusesTheTlsHandshakeAndLogsTheRawBytes) {
  TestSwitch sw({"--plain", "--reply", "plain text"});
  BareTlsClient c;
  ASSERT_TRUE(c.Connect(sw.port()));
  EXPECT_FALSE(c.Handshake(3000));
  std::string raw = sw.Request(1);
  ASSERT_FALSE(raw.empty());
  EXPECT_EQ(raw[0], '\x16') << "the client's TLS hello, as it arrived";
  c.Close();

  int fd = RawConnect(sw.port());
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::send(fd, "raw\x03", 4, MSG_NOSIGNAL), 4);
  char buf[64];
  std::string got;
  while (got.size() < 10) {
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    got.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  EXPECT_EQ(got, "plain text");
  EXPECT_EQ(sw.Request(2), "raw\x03");
}

// Each handshake byte comes on its own, so the whole handshake takes at
// least (its size) times the pause; a client that waits gets served as usual.
TEST(TestSwitchMisbehaving, TrickledHandshakeArrivesAByteAtATimeAndThenServes) {
  TestSwitch sw({"--trickle-ms", "2", "--reply", "ok"});
  BareTlsClient c;
  ASSERT_TRUE(c.Connect(sw.port()));
  auto start = Clock::now();
  ASSERT_TRUE(c.Handshake(60000)) << c.lastError();
  EXPECT_GE(MsSince(start), 400) << "a server flight of several hundred bytes, 2 ms apart";
  ASSERT_TRUE(c.Write(kClaim));
  EXPECT_EQ(c.ReadUpTo(2, 5000), "ok");

  BareTlsClient impatient;
  ASSERT_TRUE(impatient.Connect(sw.port()));
  EXPECT_FALSE(impatient.Handshake(100)) << "still trickling after 100 ms";
}

// The accept queue is full from the start: a connect is never answered,
// and the switch still stops cleanly.
TEST(TestSwitchMisbehaving, FullBacklogLeavesConnectsUnanswered) {
  TestSwitch sw({"--full-backlog"});
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(sw.port());
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), -1);
  EXPECT_EQ(errno, EINPROGRESS);
  pollfd p{fd, POLLOUT, 0};
  EXPECT_EQ(::poll(&p, 1, 1500), 0) << "the SYN was answered";
  ::close(fd);
  EXPECT_EQ(sw.Stop(), 0);
}

TEST(TestSwitchLife, SurvivesClientsThatLeaveMidHandshake) {
  TestSwitch sw({"--reply", "ok"});
  for (std::string_view junk : {std::string_view(""), std::string_view("\x16\x03\x01\x02\x00", 5),
                                std::string_view("GET / HTTP/1.0\r\n\r\n")}) {
    int fd = RawConnect(sw.port());
    ASSERT_GE(fd, 0);
    if (!junk.empty()) ::send(fd, junk.data(), junk.size(), MSG_NOSIGNAL);
    ::close(fd);
  }
  BareTlsClient c;
  std::string reply;
  ASSERT_TRUE(c.Exchange(sw.port(), kClaim, &reply)) << c.lastError();
  EXPECT_EQ(reply, "ok");
  EXPECT_EQ(sw.Request(1), kClaim) << "connections without a handshake log nothing";
  EXPECT_EQ(sw.RequestCount(), 1);
  EXPECT_FALSE(sw.WaitForExit(0ms).has_value());
}

TEST(TestSwitchLife, MaxConnectionsExitsAfterServingThem) {
  TestSwitch sw({"--max-connections", "2", "--reply", "ok"});
  BareTlsClient c;
  for (int i = 0; i < 2; ++i) {
    std::string reply;
    ASSERT_TRUE(c.Exchange(sw.port(), kClaim, &reply)) << c.lastError();
    EXPECT_EQ(reply, "ok");
  }
  EXPECT_EQ(sw.WaitForExit(5s), std::optional<int>(0));
  EXPECT_FALSE(c.Connect(sw.port(), 1000));
}

// Writes a fresh EC key and a self-signed certificate for it, as PEM files.
void WriteKeyAndCert(const std::string& keyPath, const std::string& certPath, const char* cn) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 7);
  X509_gmtime_adj(X509_getm_notBefore(cert), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
  X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(cn), -1, -1, 0);
  X509_set_issuer_name(cert, X509_get_subject_name(cert));
  X509_set_pubkey(cert, key);
  X509_sign(cert, key, EVP_sha256());
  FILE* k = std::fopen(keyPath.c_str(), "w");
  FILE* c = std::fopen(certPath.c_str(), "w");
  PEM_write_PrivateKey(k, key, nullptr, nullptr, 0, nullptr, nullptr);
  PEM_write_X509(c, cert);
  std::fclose(k);
  std::fclose(c);
  X509_free(cert);
  EVP_PKEY_free(key);
}

TEST(TestSwitchLife, PresentsTheCertificateGivenAsFilesAndRefusesAMismatchedKey) {
  std::string base = std::string(::testing::TempDir()) + "testswitch-" + std::to_string(::getpid());
  WriteKeyAndCert(base + "-a.key", base + "-a.pem", "given switch");
  WriteKeyAndCert(base + "-b.key", base + "-b.pem", "other");
  {
    TestSwitch sw({"--cert", base + "-a.pem", "--key", base + "-a.key", "--reply", "ok"});
    BareTlsClient c;
    Send(c, sw, kClaim);
    X509* peer = SSL_get1_peer_certificate(c.ssl());
    ASSERT_NE(peer, nullptr);
    char cn[64] = {};
    X509_NAME_get_text_by_NID(X509_get_subject_name(peer), NID_commonName, cn, sizeof cn);
    X509_free(peer);
    EXPECT_STREQ(cn, "given switch");
    EXPECT_EQ(c.ReadUpTo(2, 3000), "ok");
  }
  EXPECT_THROW(TestSwitch({"--cert", base + "-a.pem", "--key", base + "-b.key"}), std::runtime_error);
  for (const char* suffix : {"-a.key", "-a.pem", "-b.key", "-b.pem"}) std::remove((base + suffix).c_str());
}

struct RunResult {
  int status;
  std::string out;
};

RunResult RunSwitch(const std::string& args) {
  std::string cmd = std::string(TestSwitch::ProgramPath()) + " " + args + " 2>/dev/null";
  FILE* p = ::popen(cmd.c_str(), "r");
  std::string out;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int st = ::pclose(p);
  return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, out};
}

TEST(TestSwitchUsage, BadArgumentsExitWithTwoBeforeListening) {
  const char* cases[] = {
      "--bogus", "extra", "--port", "--port 70000", "--port 12x", "--port -1", "--delay-ms -5",
      "--pieces 0", "--oversize 0", "--max-connections 0", "--reply a --echo", "--silent --close",
      "--cert only.pem", "--echo=1", "--log-dir /etc/passwd/x", "--reply-file /etc/passwd/x",
      "--trickle-ms 0", "--plain --trickle-ms 5", "--full-backlog=1",
      "--partial-record 0", "--split-record 5 --partial-record 3", "--split-record 5 --pieces 2",
      "--partial-record 3 --silent", "--plain --hello-requests", "--plain --key-updates 100",
      "--key-update-requested",
  };
  for (const char* args : cases) {
    RunResult r = RunSwitch(args);
    EXPECT_EQ(r.status, 2) << args;
    EXPECT_EQ(r.out, "") << args << ": nothing on stdout, no PORT line";
  }
  RunResult help = RunSwitch("--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("Usage: testswitch"), std::string::npos);
}

TEST(TestSwitchFixture, ThrowsWhenTheSwitchCannotStart) {
  EXPECT_THROW(TestSwitch({"--bogus"}), std::runtime_error);
  TestSwitch sw;
  EXPECT_THROW(sw.Request(1, 50ms), std::runtime_error);
}

TEST(TestSwitchFixture, WithoutLoggingServesButKeepsNoRequests) {
  TestSwitch sw({"--reply", "ok"}, 10s, /*logRequests=*/false);
  BareTlsClient c;
  std::string reply;
  ASSERT_TRUE(c.Exchange(sw.port(), kClaim, &reply)) << c.lastError();
  EXPECT_EQ(reply, "ok");
  EXPECT_EQ(sw.RequestCount(), 0);
  EXPECT_THROW(sw.Request(1, 50ms), std::runtime_error);
}

}  // namespace
}  // namespace tamlix::testing
