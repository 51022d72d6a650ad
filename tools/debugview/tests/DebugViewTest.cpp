#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "RingReader.h"
#include "UnitDebugSys.h"

namespace tamlix::debugview {
namespace {

struct RunResult {
  int status;
  std::string out;
};

RunResult RunViewer(const std::string& args) {
  std::string cmd = std::string(DEBUGVIEW_PATH) + " " + args + " 2>&1";
  FILE* p = ::popen(cmd.c_str(), "r");
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int st = ::pclose(p);
  return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, out};
}

class DebugViewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    name_ = "/TamlixViewTest." + std::to_string(::getpid());
    ::shm_unlink(name_.c_str());
    SetDebugSharedNameForTesting(name_.c_str());
  }
  void TearDown() override {
    CloseDebugShared();
    ::shm_unlink(name_.c_str());
  }
  std::string name_;
};

TEST_F(DebugViewTest, DumpsInSequenceOrderAcrossTheWrapAndKeepsDuplicates) {
  OpenDebugShared();
  TDebugRecord* ring = DebugSharedView();
  for (int i = 0; i < 3; ++i) WriteDebugRecord("Mod", "msg" + std::to_string(i), "Proc", "700", "", "");
  // Slot 1 rewritten after a wrap, and slot 3 torn into a duplicate of 2.
  ring[0].Sequence = 101;
  ring[2].Sequence = 2;
  RunResult r = RunViewer("--ring " + name_);
  ASSERT_EQ(r.status, 0) << r.out;
  size_t p2 = r.out.find("msg1"), p3 = r.out.find("msg2"), p1 = r.out.find("msg0");
  ASSERT_NE(p1, std::string::npos) << r.out;
  EXPECT_LT(p2, p3) << "equal numbers: lower slot first";
  EXPECT_LT(p3, p1) << "101 after 2";
  EXPECT_NE(r.out.find("   101  "), std::string::npos);
  EXPECT_NE(r.out.find("Mod  Proc  [700]  msg0"), std::string::npos) << r.out;
}

TEST_F(DebugViewTest, DataIsShownOnRequestWithControlCharactersVisible) {
  OpenDebugShared();
  WriteDebugRecord("Mod", "sent", "Proc", "", "det", "\x02" "0012claim\x03");
  EXPECT_EQ(RunViewer("--ring " + name_).out.find("claim"), std::string::npos);
  RunResult r = RunViewer("--data --ring " + name_);
  EXPECT_NE(r.out.find("(det)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("data: \\x020012claim\\x03"), std::string::npos) << r.out;
}

TEST(FormatRecordTest, TornRecordWithoutNulOrWithGarbageTimeIsPrintedSafely) {
  TDebugRecord rec{};
  rec.Sequence = 5;
  std::memset(rec.Data, 'x', sizeof rec.Data);  // no NUL anywhere
  rec.Time = -1e300;
  rec.Message.Length = 255;
  std::memset(rec.Message.Chars, 'm', sizeof rec.Message.Chars);
  std::string line = FormatRecord(rec, FormatOptions{true});
  EXPECT_NE(line.find(std::string(6145, 'x')), std::string::npos);
  EXPECT_EQ(line.find(std::string(6146, 'x')), std::string::npos);
  EXPECT_NE(line.find(std::string(255, 'm')), std::string::npos);
}

TEST_F(DebugViewTest, AbsentRingAndBadOptionsAreReportedClearly) {
  RunResult absent = RunViewer("--ring " + name_);
  EXPECT_EQ(absent.status, 1);
  EXPECT_NE(absent.out.find("no process has the debug ring open"), std::string::npos) << absent.out;
  EXPECT_FALSE(RingReader(name_).Open()) << "the viewer must not create the ring";

  for (const char* bad : {"--bogus", "--interval-ms", "--interval-ms 0", "--interval-ms x", "--wait",
                          "--ring noslash"}) {
    EXPECT_EQ(RunViewer(bad).status, 2) << bad;
  }
  EXPECT_EQ(RunViewer("--help").status, 0);
}

TEST_F(DebugViewTest, FollowWaitsForTheRingAndPrintsRecordsAsTheyArrive) {
  std::string out_path = "/tmp/debugview-follow." + std::to_string(::getpid());
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    FILE* f = std::freopen(out_path.c_str(), "w", stdout);
    (void)f;
    ::execl(DEBUGVIEW_PATH, DEBUGVIEW_PATH, "--follow", "--wait", "--interval-ms", "10", "--ring", name_.c_str(),
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  OpenDebugShared();
  WriteDebugRecord("Mod", "first", "P", "", "", "");
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  WriteDebugRecord("Mod", "second", "P", "", "", "");
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  CloseDebugShared();  // the ring goes away; the viewer keeps what it printed
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ::kill(pid, SIGTERM);
  int st = 0;
  ::waitpid(pid, &st, 0);
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);

  FILE* f = std::fopen(out_path.c_str(), "r");
  ASSERT_NE(f, nullptr);
  std::string out(8192, '\0');
  out.resize(std::fread(out.data(), 1, out.size(), f));
  std::fclose(f);
  ::unlink(out_path.c_str());
  size_t a = out.find("first"), b = out.find("second");
  ASSERT_NE(a, std::string::npos) << out;
  ASSERT_NE(b, std::string::npos) << out;
  EXPECT_LT(a, b);
  EXPECT_EQ(out.find("first", a + 1), std::string::npos) << "printed twice:\n" << out;
}

}  // namespace
}  // namespace tamlix::debugview
