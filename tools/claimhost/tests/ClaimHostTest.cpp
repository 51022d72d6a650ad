// claimhost: its command line (a table of good and bad options), and the
// program itself run against the test switch by both roads, with the exit
// status for a reply, for none, and for a set-up error.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ClaimHostOptions.h"
#include "TestSwitch.h"

namespace tamlix::claimhost {
namespace {

namespace fs = std::filesystem;
using tamlix::testing::TestSwitch;

ParseResult Parse(std::vector<std::string> args) {
  args.insert(args.begin(), "claimhost");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  return ParseClaimHostOptions(static_cast<int>(argv.size()), argv.data());
}

struct BadCase {
  std::vector<std::string> args;
  std::string error;  // a part of the message
};

TEST(ClaimHostOptionsTest, RefusesBadCommandLinesWithAClearMessage) {
  const std::vector<BadCase> cases = {
      {{}, "needs --ini-dir"},
      {{"--road", "fast"}, "neither sync nor async"},
      {{"--road", "async"}, "needs --port"},
      {{"--road", "async", "--port", "0"}, "from 1 to 65535"},
      {{"--road", "async", "--port", "80x"}, "'80x' is not a whole number"},
      {{"--road", "async", "--port"}, "--port needs a value"},
      {{"--road", "async", "--port", "9", "--headerlength", "2"}, "from 0 to 1"},
      {{"--road", "async", "--port", "9", "--ini-dir", "/tmp"}, "--ini-dir belongs to --road sync"},
      {{"--ini-dir", "/tmp", "--port", "9"}, "belong to --road async"},
      {{"--ini-dir", "/tmp", "--frame=yes"}, "takes no value"},
      {{"--ini-dir", "/tmp", "--colour"}, "unknown option '--colour'"},
      {{"--ini-dir", "/tmp", "a.txt", "b.txt"}, "give one claim file"},
      {{"--road=async", "--port=9", "--session", "a/b"}, "without '/'"},
  };
  for (const BadCase& c : cases) {
    ParseResult r = Parse(c.args);
    std::string joined;
    for (auto& a : c.args) joined += a + " ";
    EXPECT_EQ(r.kind, ParseResult::Error) << joined;
    EXPECT_NE(r.error.find(c.error), std::string::npos) << joined << "-> " << r.error;
  }
}

TEST(ClaimHostOptionsTest, TakesBothRoadsOptions) {
  ParseResult r = Parse({"--road=async", "--port", "4000", "--host", "*switch.example", "--timeout", "2500",
                         "--frame", "--headerlength", "1", "--default-header=1", "--session", "S1", "-"});
  ASSERT_EQ(r.kind, ParseResult::Run) << r.error;
  EXPECT_EQ(r.options.road, Road::Async);
  EXPECT_EQ(r.options.port, 4000);
  EXPECT_EQ(r.options.host, "*switch.example");
  EXPECT_EQ(r.options.timeoutMs, 2500u);
  EXPECT_TRUE(r.options.frame);
  EXPECT_EQ(r.options.headerLength, 1);
  EXPECT_EQ(r.options.defaultHeader, 1);
  EXPECT_EQ(r.options.session, "S1");
  EXPECT_EQ(r.options.claimFile, "");

  r = Parse({"--ini-dir", "/etc/x", "--show-control", "claim.txt"});
  ASSERT_EQ(r.kind, ParseResult::Run) << r.error;
  EXPECT_EQ(r.options.iniDir, "/etc/x");
  EXPECT_EQ(r.options.claimFile, "claim.txt");
  EXPECT_EQ(Parse({"--road", "async", "--help"}).kind, ParseResult::Help);
}

TEST(ClaimHostOptionsTest, ReadsTheClaimLessOneLineEnd) {
  struct Case {
    std::string input;
    bool keep;
    std::string claim;
  };
  for (const Case& c : std::vector<Case>{{"abc\n", false, "abc"},
                                         {"abc\r\n", false, "abc"},
                                         {"abc\n\n", false, "abc\n"},
                                         {"abc\n", true, "abc\n"},
                                         {"\x02" "a\x1c" "b\x03", false, "\x02" "a\x1c" "b\x03"}}) {
    std::istringstream in(c.input);
    std::string claim, error;
    EXPECT_TRUE(ReadClaim(in, c.keep, claim, error)) << error;
    EXPECT_EQ(claim, c.claim);
  }
  std::istringstream nul(std::string("ab\0cd", 5));
  std::string claim, error;
  EXPECT_FALSE(ReadClaim(nul, false, claim, error));
  EXPECT_NE(error.find("NUL byte at offset 2"), std::string::npos) << error;
  EXPECT_EQ(ShowControl("\x02" "ab\x1c\x03"), "\\x02ab\\x1C\\x03");
}

struct RunResult {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs claimhost with `args` and `input` on standard input.
RunResult RunClaimHost(const std::vector<std::string>& args, const std::string& input = {}) {
  char tmpl[] = "/tmp/claimhost-run-XXXXXX";
  EXPECT_NE(::mkdtemp(tmpl), nullptr);
  fs::path dir = tmpl;
  std::ofstream(dir / "in", std::ios::binary) << input;
  std::string cmd = CLAIMHOST_PATH;
  for (const auto& a : args) cmd += " '" + a + "'";
  cmd += " <" + (dir / "in").string() + " >" + (dir / "out").string() + " 2>" + (dir / "err").string();
  RunResult r;
  int raw = std::system(cmd.c_str());
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  auto slurp = [](const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  };
  r.out = slurp(dir / "out");
  r.err = slurp(dir / "err");
  fs::remove_all(dir);
  return r;
}

class ClaimHostRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/claimhost-ini-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }
  void WriteIni(int port) {
    std::ofstream(dir_ / "TamlixTCP.INI") << "[Global TCP/IP Data]\r\nAddress=127.0.0.1\r\nPort=" << port << "\r\n";
  }
  fs::path dir_;
};

TEST_F(ClaimHostRunTest, SyncRoadPrintsTheReplyOfTheSampleClaim) {
  TestSwitch sw({"--reply", "\x02" "ACCEPTED\x03"});
  WriteIni(sw.port());
  RunResult r = RunClaimHost({"--ini-dir", dir_.string(), "--show-control", SAMPLE_CLAIM});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "\\x02ACCEPTED\\x03\n");
  // The sample goes out as the file holds it, less its line end.
  std::ifstream in(SAMPLE_CLAIM, std::ios::binary);
  std::string sample(std::istreambuf_iterator<char>(in), {});
  sample.pop_back();
  EXPECT_EQ(sw.Request(1), sample);
}

TEST_F(ClaimHostRunTest, AsyncRoadFramesTheClaimAndPrintsTheReply) {
  TestSwitch sw({"--echo"});
  const std::string session = "claimhost-test-" + std::to_string(::getpid());
  RunResult r = RunClaimHost({"--road", "async", "--port", std::to_string(sw.port()), "--frame", "--default-header", "1",
                        "--session", session, "--show-control"},
                       "\x02" "abc\x03\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "\\x020018011brindlemossabc\\x03\n");
  EXPECT_EQ(sw.Request(1), "\x02" "0018011brindlemossabc\x03");
}

TEST_F(ClaimHostRunTest, NoReplyAndSetUpErrorsHaveTheirExitStatus) {
  TestSwitch closing({"--close"});
  WriteIni(closing.port());
  RunResult r = RunClaimHost({"--ini-dir", dir_.string()}, "claim\x03");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("closed the connection"), std::string::npos) << r.err;

  // The async road learns of the silence through the time-notify event.
  TestSwitch silent({"--silent"});
  r = RunClaimHost({"--road", "async", "--port", std::to_string(silent.port()), "--timeout", "1000", "--session",
                    "claimhost-silent-" + std::to_string(::getpid())},
                   "claim\x03");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("no reply within the time-out"), std::string::npos) << r.err;

  // The same event comes when the switch closes without a reply; the long
  // time-out shows that this is no time-out.
  r = RunClaimHost({"--road", "async", "--port", std::to_string(closing.port()), "--timeout", "60000", "--frame",
                    "--session", "claimhost-closed-" + std::to_string(::getpid())},
                   "\x02" "claim\x03");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("the switch closed the connection without one"), std::string::npos) << r.err;
  EXPECT_EQ(closing.Request(2), "\x02" "0006claim\x03");

  // A claim too long for the frame never leaves: a set-up error, not "no reply".
  TestSwitch unused;
  r = RunClaimHost({"--road", "async", "--port", std::to_string(unused.port()), "--frame", "--session",
                    "claimhost-long-" + std::to_string(::getpid())},
                   std::string(5000, 'C'));
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("refused before sending"), std::string::npos) << r.err;
  EXPECT_EQ(unused.RequestCount(), 0);

  r = RunClaimHost({"--ini-dir", dir_.string(), "/nonexistent/claim.txt"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("cannot open claim file '/nonexistent/claim.txt'"), std::string::npos) << r.err;

  // A claim "file" that opens but cannot be read is a set-up error, not a crash.
  r = RunClaimHost({"--ini-dir", dir_.string(), dir_.string()});
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_NE(r.err.find("cannot read the claim"), std::string::npos) << r.err;

  r = RunClaimHost({"--ini-dir", (dir_ / "nowhere").string()}, "claim");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("TamlixTCP.INI"), std::string::npos) << r.err;

  r = RunClaimHost({"--road", "async"}, "claim");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("needs --port"), std::string::npos) << r.err;

  // A session whose lock file is present is refused.
  const std::string session = "claimhost-busy-" + std::to_string(::getpid());
  const fs::path lock = fs::path(CLAIMHOST_PATH).parent_path() / (session + ".lck");
  std::ofstream(lock) << "held\n";
  r = RunClaimHost({"--road", "async", "--port", std::to_string(closing.port()), "--session", session}, "claim");
  fs::remove(lock);
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("is in use"), std::string::npos) << r.err;

  r = RunClaimHost({"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("Exit status"), std::string::npos);
}

}  // namespace
}  // namespace tamlix::claimhost
