#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "RingReader.h"
#include "UnitDebugSys.h"
#include "platform/tests/TestProcesses.h"

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

// A viewer that follows, read as it prints; Stop interrupts it.
class Viewer {
 public:
  explicit Viewer(std::vector<std::string> args) : program_(WithProgram(std::move(args))) {}
  bool WaitFor(const std::string& text) { return program_.WaitFor(text, std::chrono::seconds(30)); }
  std::string Stop(bool* clean) {
    program_.Signal(SIGTERM);
    auto result = program_.Finish();
    *clean = result.clean;
    return result.out;
  }

 private:
  static std::vector<std::string> WithProgram(std::vector<std::string> args) {
    args.insert(args.begin(), DEBUGVIEW_PATH);
    return args;
  }
  tamlix::testing::RunningProgram program_;
};

// The messages of the printed records, in the order printed.
std::vector<std::string> PrintedMessages(const std::string& out) {
  std::vector<std::string> messages;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    size_t at = line.find("]  ");
    if (at != std::string::npos) messages.push_back(line.substr(at + 3));
  }
  return messages;
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

// The follower's rule, look by look, on snapshots as a reader can meet
// them: each look changes some slots (Sequence, Time) and names the slots
// due then, in order.
TEST(FollowerTest, RecordsAreDueWholeOnceAndInOrder) {
  struct Change {
    int slot;
    int32_t seq;
    double time;
  };
  struct Look {
    std::vector<Change> changes;
    std::vector<int> due;
    bool final = false;
  };
  auto wait = [](int looks) { return std::vector<Look>(static_cast<size_t>(looks), Look{{}, {}}); };
  struct Case {
    const char* name;
    std::vector<Look> looks;
  } cases[] = {
      {"a new slot's record once its time is written",
       {{{{0, 1, 0.0}}, {}}, {{}, {}}, {{{0, 1, 5.0}}, {}}, {{}, {0}}, {{}, {}}}},
      {"a whole record waits for a lower one still being written",
       {{{{0, 1, 1.0}, {1, 2, 0.0}, {2, 3, 3.0}}, {}}, {{}, {0}}, {{{1, 2, 2.0}}, {}}, {{}, {1, 2}}}},
      {"an overwritten slot's record once its own time replaces the old",
       {{{{0, 5, 1.0}}, {}}, {{}, {0}}, {{{0, 105, 1.0}}, {}}, {{}, {}}, {{{0, 105, 2.0}}, {}}, {{}, {0}}}},
      {"equal numbers: the lower slot first", {{{{7, 42, 2.0}, {3, 42, 1.0}}, {}}, {{}, {3, 7}}}},
      {"final: all not printed yet, written or not", {{{{0, 1, 1.0}, {1, 2, 0.0}}, {0, 1}, true}, {{}, {}, true}}},
  };
  // A new time that really equals the old one (a whole round of the ring in
  // one millisecond) is let through after the patience runs out.
  Case patience{"a new time equal to the old one, after patience", {{{{0, 5, 1.0}}, {}}, {{}, {0}}}};
  patience.looks.push_back({{{0, 105, 1.0}}, {}});
  for (const Look& l : wait(Follower::kPatience - 1)) patience.looks.push_back(l);
  patience.looks.push_back({{}, {0}});

  std::vector<Case> all(std::begin(cases), std::end(cases));
  all.push_back(patience);
  for (const Case& c : all) {
    Follower follower;
    std::vector<TDebugRecord> slots(TAMLIX_DEBUG_SLOTS);
    for (size_t n = 0; n < c.looks.size(); ++n) {
      for (const Change& ch : c.looks[n].changes) {
        slots[ch.slot].Sequence = ch.seq;
        slots[ch.slot].Time = ch.time;
      }
      EXPECT_EQ(follower.TakeDue(slots, c.looks[n].final), c.looks[n].due) << c.name << ", look " << n + 1;
    }
  }
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

// A name left smaller than a ring (its maker stopped before sizing it) is
// not read, and no writer uses it; a follower waits until it makes way for
// a ring.
TEST_F(DebugViewTest, ANameSmallerThanARingIsNotReadUntilARingTakesItsPlace) {
  int fd = ::shm_open(name_.c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, 100), 0);
  ::close(fd);
  RunResult dump = RunViewer("--ring " + name_);
  EXPECT_EQ(dump.status, 1);
  EXPECT_NE(dump.out.find("smaller than a ring"), std::string::npos) << dump.out;

  Viewer viewer({"--follow", "--wait", "--interval-ms", "10", "--ring", name_});
  EXPECT_THROW(OpenDebugShared(), EDebugShared);
  ::shm_unlink(name_.c_str());
  OpenDebugShared();
  WriteDebugRecord("Mod", "sized", "P", "", "", "");
  EXPECT_TRUE(viewer.WaitFor("sized\n"));
  bool clean = false;
  std::string out = viewer.Stop(&clean);
  EXPECT_TRUE(clean) << out;
}

TEST_F(DebugViewTest, FollowWaitsForTheRingAndPrintsRecordsAsTheyArrive) {
  Viewer viewer({"--follow", "--wait", "--interval-ms", "10", "--ring", name_});
  OpenDebugShared();
  WriteDebugRecord("Mod", "first", "P", "", "", "");
  ASSERT_TRUE(viewer.WaitFor("first\n"));
  WriteDebugRecord("Mod", "second", "P", "", "", "");
  ASSERT_TRUE(viewer.WaitFor("second\n"));
  CloseDebugShared();  // the ring goes away; the viewer keeps what it printed
  bool clean = false;
  std::string out = viewer.Stop(&clean);
  EXPECT_TRUE(clean) << out;
  EXPECT_EQ(PrintedMessages(out), (std::vector<std::string>{"first", "second"})) << out;
}

// A short-lived writer: 250 records (round the ring twice and more) from a
// process that closes the ring and exits right after its last write. The
// writer keeps at most half a ring ahead of the viewer, so nothing is
// overwritten unseen; the last 50 are in the ring only when it is removed.
TEST_F(DebugViewTest, FollowPrintsEveryRecordOfAWriterThatExitsAtOnce) {
  constexpr int kRecords = 250, kBatch = 50;
  Viewer viewer({"--follow", "--wait", "--ring", name_});
  int go[2];
  ASSERT_EQ(::pipe(go), 0);
  pid_t writer = ::fork();
  ASSERT_GE(writer, 0);
  if (writer == 0) {
    ::close(go[1]);
    OpenDebugShared();
    for (int n = 1; n <= kRecords; ++n) {
      WriteDebugRecord("Mod", "rec " + std::to_string(n), "P", "", "", "");
      char c;
      if (n % kBatch == 0 && n < kRecords && ::read(go[0], &c, 1) != 1) ::_exit(3);
    }
    CloseDebugShared();
    ::_exit(0);
  }
  ::close(go[0]);
  for (int n = kBatch; n < kRecords; n += kBatch) {
    ASSERT_TRUE(viewer.WaitFor("rec " + std::to_string(n) + "\n")) << "batch ending " << n;
    ASSERT_EQ(::write(go[1], "g", 1), 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(writer, &status, 0), writer);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ::close(go[1]);
  EXPECT_TRUE(viewer.WaitFor("rec " + std::to_string(kRecords) + "\n"));

  // Then it waits for the next ring.
  OpenDebugShared();
  WriteDebugRecord("Mod", "next ring", "P", "", "", "");
  EXPECT_TRUE(viewer.WaitFor("next ring\n"));
  CloseDebugShared();

  bool clean = false;
  std::string out = viewer.Stop(&clean);
  EXPECT_TRUE(clean);
  std::vector<std::string> want;
  for (int n = 1; n <= kRecords; ++n) want.push_back("rec " + std::to_string(n));
  want.push_back("next ring");
  EXPECT_EQ(PrintedMessages(out), want) << out;
}

// The ring's last user closes it and a new ring takes the name at once:
// the old ring's last records come out, then the new ring's, whose
// numbers start again at 1.
TEST_F(DebugViewTest, FollowPrintsTheRestOfARingReplacedWhileFollowing) {
  OpenDebugShared();
  WriteDebugRecord("Mod", "a0", "P", "", "", "");
  Viewer viewer({"--follow", "--ring", name_});
  ASSERT_TRUE(viewer.WaitFor("a0\n"));
  for (const char* m : {"a1", "a2", "a3"}) WriteDebugRecord("Mod", m, "P", "", "", "");
  CloseDebugShared();
  OpenDebugShared();
  for (const char* m : {"b1", "b2", "b3"}) WriteDebugRecord("Mod", m, "P", "", "", "");
  EXPECT_TRUE(viewer.WaitFor("b3\n"));
  bool clean = false;
  std::string out = viewer.Stop(&clean);
  EXPECT_TRUE(clean);
  EXPECT_EQ(PrintedMessages(out), (std::vector<std::string>{"a0", "a1", "a2", "a3", "b1", "b2", "b3"})) << out;
  EXPECT_NE(out.find("     1  "), out.rfind("     1  ")) << "both rings' first records:\n" << out;
}

}  // namespace
}  // namespace tamlix::debugview
