#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "RingReader.h"
#include "UnitDebugSys.h"
#include "platform/tests/TestProcesses.h"

extern char** environ;

namespace tamlix::debugview {
namespace {

struct RunResult {
  int status;
  std::string out;
};

// The viewer as another user (no account needed), who may not read a ring
// of this user's.
const std::vector<std::string> kAsAnotherUser = {"/usr/bin/setpriv", "--reuid=4321", "--regid=4321",
                                                 "--clear-groups"};

std::string Joined(const std::vector<std::string>& words) {
  std::string line;
  for (const std::string& w : words) line += w + " ";
  return line;
}

RunResult RunViewer(const std::string& args, const std::vector<std::string>& as = {}) {
  std::string cmd = Joined(as) + DEBUGVIEW_PATH + " " + args + " 2>&1";
  FILE* p = ::popen(cmd.c_str(), "r");
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int st = ::pclose(p);
  return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, out};
}

// A viewer that follows, read as it prints (its messages too); Stop
// interrupts it.
class Viewer {
 public:
  explicit Viewer(std::vector<std::string> args, const std::vector<std::string>& as = {})
      : program_(WithProgram(std::move(args), as)) {}
  bool WaitFor(const std::string& text) { return program_.WaitFor(text, std::chrono::seconds(30)); }
  void Signal(int sig) { program_.Signal(sig); }
  std::string Stop(bool* clean, int sig = SIGTERM) {
    program_.Signal(sig);
    auto result = program_.Finish();
    *clean = result.clean;
    return result.out;
  }

 private:
  // Through a shell that gives the viewer its stderr on the same pipe and
  // then becomes the viewer, so that a signal reaches the viewer itself.
  static std::vector<std::string> WithProgram(std::vector<std::string> args, const std::vector<std::string>& as) {
    args.insert(args.begin(), DEBUGVIEW_PATH);
    args.insert(args.begin(), as.begin(), as.end());
    args.insert(args.begin(), {"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>&1"});
    return args;
  }
  tamlix::testing::RunningProgram program_;
};

size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = 0; (at = text.find(part, at)) != std::string::npos; at += part.size()) ++n;
  return n;
}

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
// them: each look changes some slots (Sequence, Time) and names the records
// due then, in order, as slot:number.
TEST(FollowerTest, RecordsAreDueOnceWholeInOrderAndACutOneHoldsBackOneLookOnly) {
  struct Change {
    int slot;
    int32_t seq;
    double time;
  };
  struct Look {
    std::vector<Change> changes;
    std::vector<std::string> due;
    bool final = false;
  };
  auto wait = [](int looks) { return std::vector<Look>(static_cast<size_t>(looks), Look{{}, {}}); };
  struct Case {
    const char* name;
    std::vector<Look> looks;
  } cases[] = {
      {"a new slot's record as soon as its time is written",
       {{{{0, 1, 0.0}}, {}}, {{}, {}}, {{{0, 1, 5.0}}, {"0:1"}}, {{}, {}}}},
      {"a whole record waits for a lower one still being written",
       {{{{0, 1, 1.0}, {1, 2, 0.0}, {2, 3, 3.0}}, {"0:1"}}, {{{1, 2, 2.0}}, {"1:2", "2:3"}}}},
      {"a record that stays cut holds back the later ones for one look, then comes out once whole",
       {{{{0, 1, 0.0}, {1, 2, 2.0}}, {}},
        {{{2, 3, 3.0}}, {"1:2", "2:3"}},
        {{{3, 4, 4.0}}, {"3:4"}},
        {{{0, 1, 1.0}}, {"0:1"}}}},
      {"a held-back record comes out as it was seen, also when overwritten since",
       {{{{0, 1, 0.0}, {1, 2, 2.0}}, {}}, {{{1, 102, 9.0}}, {"1:2", "1:102"}}}},
      {"an overwritten slot's record once its own time replaces the old",
       {{{{0, 5, 1.0}}, {"0:5"}}, {{{0, 105, 1.0}}, {}}, {{}, {}}, {{{0, 105, 2.0}}, {"0:105"}}}},
      {"equal numbers: the lower slot first", {{{{7, 42, 2.0}, {3, 42, 1.0}}, {"3:42", "7:42"}}}},
      {"final: all not printed yet, written or not",
       {{{{0, 1, 1.0}, {1, 2, 0.0}}, {"0:1", "1:2"}, true}, {{}, {}, true}}},
  };
  // A new time that really equals the old one (a whole round of the ring in
  // one millisecond) is let through after the patience runs out.
  Case patience{"a new time equal to the old one, after patience", {{{{0, 5, 1.0}}, {"0:5"}}}};
  patience.looks.push_back({{{0, 105, 1.0}}, {}});
  for (const Look& l : wait(Follower::kPatience - 1)) patience.looks.push_back(l);
  patience.looks.push_back({{}, {"0:105"}});

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
      std::vector<std::string> due;
      for (const Follower::Due& d : follower.TakeDue(slots, c.looks[n].final)) {
        due.push_back(std::to_string(d.slot) + ":" + std::to_string(+d.record.Sequence));
      }
      EXPECT_EQ(due, c.looks[n].due) << c.name << ", look " << n + 1;
    }
  }
}

// Every byte in every mode: only printable text comes out. Outside UTF-8,
// printable ASCII only; in UTF-8, valid sequences of no control character
// (C0, DEL, C1) at all.
TEST(VisibleTextTest, EveryByteComesOutPrintable) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  for (unsigned char c : VisibleText(all, false)) ASSERT_TRUE(c >= 0x20 && c < 0x7F) << int(c);
  std::string utf8 = VisibleText(all, true);
  for (size_t i = 0; i < utf8.size();) {
    unsigned char c = static_cast<unsigned char>(utf8[i]);
    uint32_t cp = c;
    size_t len = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : 0;
    ASSERT_NE(len, 0u) << "a lead byte " << int(c) << " at " << i;
    ASSERT_LE(i + len, utf8.size());
    if (len > 1) cp = c & (len == 2 ? 0x1F : 0x0F);
    for (size_t k = 1; k < len; ++k) {
      unsigned char t = static_cast<unsigned char>(utf8[i + k]);
      ASSERT_EQ(t & 0xC0, 0x80) << "at " << i;
      cp = cp << 6 | (t & 0x3F);
    }
    ASSERT_FALSE(cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) << "U+" << std::hex << cp;
    i += len;
  }
}

TEST(VisibleTextTest, ControlsAreEscapedAndTheCodePageShowsInUtf8) {
  struct Case {
    const char* what;
    std::string bytes, utf8, ascii;
  } cases[] = {
      {"C0 and an escape sequence", "a\x1b]0;t\x07", "a\\x1B]0;t\\x07", "a\\x1B]0;t\\x07"},
      {"DEL and the backslash", "\x7f\\", "\\x7F\\x5C", "\\x7F\\x5C"},
      {"C1 raw: the code page's unassigned bytes", "\x81\x8d\x8f\x90\x9d", "\\x81\\x8D\\x8F\\x90\\x9D",
       "\\x81\\x8D\\x8F\\x90\\x9D"},
      {"C1 raw: the code page's characters", "\x80\x9b", "\xE2\x82\xAC\xE2\x80\xBA", "\\x80\\x9B"},
      {"C1 encoded in UTF-8", "\xC2\x9D" "0;t\xC2\x9C", "\xC3\x82\\x9D" "0;t\xC3\x82\xC5\x93",
       "\\xC2\\x9D0;t\\xC2\\x9C"},
      {"Latin-1", "caf\xE9", "caf\xC3\xA9", "caf\\xE9"},
      {"invalid UTF-8", "\xFF\xFE\xC3", "\xC3\xBF\xC3\xBE\xC3\x83", "\\xFF\\xFE\\xC3"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(VisibleText(c.bytes, true), c.utf8) << c.what;
    EXPECT_EQ(VisibleText(c.bytes, false), c.ascii) << c.what;
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
  EXPECT_EQ(RingReader(name_).Open(), RingReader::Failure::Absent) << "the viewer must not create the ring";

  for (const char* bad : {"--bogus", "--interval-ms", "--interval-ms 0", "--interval-ms x", "--wait",
                          "--ring noslash"}) {
    EXPECT_EQ(RunViewer(bad).status, 2) << bad;
  }
  EXPECT_EQ(RunViewer("--help").status, 0);
}

// Objects at the name that are no ring, or a ring that the viewer's user
// may not read: --data says why at once, without blocking; --follow --wait
// says it once, waits on (and follows a ring that takes its place) and ends
// on Ctrl-C.
TEST_F(DebugViewTest, WhatIsNoRingOrMayNotBeReadIsSaidOnceAndWaitedOn) {
  struct Case {
    const char* what;
    std::function<void()> leave;
    std::vector<std::string> as;
    std::string said;
    bool ring_follows;  // then a ring takes the name
  } cases[] = {
      {"an object too small",
       [&] {
         int fd = ::shm_open(name_.c_str(), O_RDWR | O_CREAT, 0600);
         ASSERT_GE(fd, 0);
         ASSERT_EQ(::ftruncate(fd, 100), 0);
         ::close(fd);
       },
       {}, "not a debug ring (" + name_ + ": not the size of a ring)", true},
      {"a FIFO", [&] { ASSERT_EQ(::mkfifo(("/dev/shm" + name_).c_str(), 0600), 0); }, {},
       "not a debug ring (" + name_ + ": not a regular object)", true},
      {"another user's ring", [&] { OpenDebugShared(); }, kAsAnotherUser,
       "the debug ring may not be read (" + name_ + ": Permission denied)", false},
  };
  for (const Case& c : cases) {
    c.leave();
    auto begun = std::chrono::steady_clock::now();
    RunResult dump = RunViewer("--ring " + name_, c.as);
    EXPECT_EQ(dump.status, 1) << c.what;
    EXPECT_EQ(dump.out, "debugview: " + c.said + "\n") << c.what;
    EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(10)) << c.what;

    Viewer viewer({"--follow", "--wait", "--interval-ms", "10", "--ring", name_}, c.as);
    EXPECT_TRUE(viewer.WaitFor(c.said)) << c.what;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // some 30 looks
    if (c.ring_follows) {
      ::shm_unlink(name_.c_str());
      OpenDebugShared();
      WriteDebugRecord("Mod", "a ring at last", "P", "", "", "");
      EXPECT_TRUE(viewer.WaitFor("a ring at last\n")) << c.what;
    }
    bool clean = false;
    std::string out = viewer.Stop(&clean, SIGINT);
    EXPECT_TRUE(clean) << c.what << ":\n" << out;
    EXPECT_EQ(Count(out, c.said), 1u) << c.what << ":\n" << out;
    CloseDebugShared();
    ::shm_unlink(name_.c_str());
  }
}

// Ctrl-C ends each of the viewer's waits at once: for a ring to appear,
// between two looks, and on output that nobody reads (a stopped terminal,
// a full pipe).
TEST_F(DebugViewTest, CtrlCEndsEveryWait) {
  struct Case {
    const char* what;
    std::vector<std::string> args;
    int records;  // written before the viewer starts
  } cases[] = {
      {"waiting for the ring", {"--follow", "--wait"}, 0},
      {"between two looks", {"--follow", "--interval-ms", "60000"}, 1},
      {"on output that nobody reads", {"--follow", "--data"}, 100},
  };
  const std::string data(6000, 'd');  // a hundred records fill any pipe
  for (const Case& c : cases) {
    if (c.records) OpenDebugShared();
    for (int n = 0; n < c.records; ++n) WriteDebugRecord("Mod", "rec", "P", "", "", data);
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--ring", name_});
    args.insert(args.begin(), DEBUGVIEW_PATH);
    // Its output goes into a pipe that is never read, as to a stopped terminal.
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    ASSERT_EQ(::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ::kill(pid, SIGINT);
    int status = 0;
    pid_t ended = 0;
    for (int i = 0; i < 1000 && ended == 0; ++i) {
      ended = ::waitpid(pid, &status, WNOHANG);
      if (ended == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(ended, pid) << c.what << ": still running 10 s after Ctrl-C";
    if (ended != pid) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << c.what;
    ::close(out[0]);
    CloseDebugShared();
  }
}

// Records that hold what a switch's reply may hold, through the program in
// a UTF-8 locale and in the C locale: no control byte but the line ends.
TEST_F(DebugViewTest, OutputHoldsNoControlByteWhateverTheRecordsHold) {
  OpenDebugShared();
  const char* texts[] = {"C0 \x1b]0;owned-by-switch\x07", "C1 \x9d" "0;owned-by-switch\x9c \x9b" "2J",
                         "C1 in UTF-8 \xC2\x9D" "0;t\xC2\x9C", "DEL \x7f", "Latin-1 caf\xE9",
                         "invalid UTF-8 \xFF\xFE\xC3"};
  for (const char* t : texts) WriteDebugRecord(t, t, t, t, t, t);
  for (const char* locale : {"C.UTF-8", "C"}) {
    RunResult r = RunViewer("--data --ring " + name_, {"/usr/bin/env", std::string("LC_ALL=") + locale});
    ASSERT_EQ(r.status, 0) << locale << ": " << r.out;
    EXPECT_EQ(Count(r.out, "\n"), 12u) << locale;
    for (unsigned char c : r.out) {
      ASSERT_TRUE(c == '\n' || (c >= 0x20 && c != 0x7F)) << locale << ": byte " << int(c);
      if (std::string(locale) == "C") {
        ASSERT_LT(c, 0x80) << locale;
      }
    }
    EXPECT_NE(r.out.find(std::string(locale) == "C" ? "caf\\xE9" : "caf\xC3\xA9"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("\xC2\x9D"), std::string::npos) << locale << ": a C1 control in UTF-8";
    EXPECT_EQ(r.out.find("\xC2\x9C"), std::string::npos) << locale << ": a C1 control in UTF-8";
  }
}

// The ring's last user killed: the dump says so and marks the records as
// left behind; once a writer opens it again (from zeros), it is a live ring.
TEST_F(DebugViewTest, ARingLeftByAKilledProcessIsShownAsSuch) {
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    OpenDebugShared();
    WriteDebugRecord("Mod", "last words", "P", "", "", "");
    ::raise(SIGKILL);
  }
  ASSERT_EQ(::waitpid(pid, nullptr, 0), pid);
  RunResult dead = RunViewer("--ring " + name_);
  EXPECT_EQ(dead.status, 1);
  EXPECT_EQ(dead.out.find("-- left by a process that ended: no process has the debug ring open --\n"), 0u)
      << dead.out;
  EXPECT_NE(dead.out.find("last words"), std::string::npos) << dead.out;

  OpenDebugShared();
  WriteDebugRecord("Mod", "fresh", "P", "", "", "");
  RunResult live = RunViewer("--ring " + name_);
  EXPECT_EQ(live.status, 0);
  EXPECT_EQ(PrintedMessages(live.out), std::vector<std::string>{"fresh"}) << live.out;
  EXPECT_EQ(live.out.find("left by"), std::string::npos) << live.out;
  EXPECT_EQ(live.out.find("     1  "), 0u) << "numbered from 1:\n" << live.out;
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

// A writer that died in the middle of a record (its number written, its
// time never): every record after it comes out, in order, although each
// stays in the ring for a second only.
TEST_F(DebugViewTest, FollowPrintsEveryRecordAfterOneThatStaysCut) {
  constexpr int kRecords = 150;
  OpenDebugShared();
  WriteDebugRecord("Mod", "first", "P", "", "", "");
  Viewer viewer({"--follow", "--ring", name_});
  ASSERT_TRUE(viewer.WaitFor("first\n"));
  const int32_t cut = 2;
  std::memcpy(&DebugSharedView()[1].Sequence, &cut, sizeof cut);
  auto next = std::chrono::steady_clock::now();
  for (int n = 1; n <= kRecords; ++n) {
    std::this_thread::sleep_until(next);
    next += std::chrono::milliseconds(10);
    WriteDebugRecord("Mod", "rec " + std::to_string(n), "P", "", "", "");
  }
  EXPECT_TRUE(viewer.WaitFor("rec " + std::to_string(kRecords) + "\n"));
  bool clean = false;
  std::string out = viewer.Stop(&clean);
  EXPECT_TRUE(clean);
  std::vector<std::string> want{"first"};
  for (int n = 1; n <= kRecords; ++n) want.push_back("rec " + std::to_string(n));
  EXPECT_EQ(PrintedMessages(out), want) << out;
}

// Two writers that take turns, 640 records a second between them: each
// record is in the ring for some 160 ms, a little more than one look of the
// viewer (100 ms). Nearly all of them come out.
TEST_F(DebugViewTest, FollowKeepsUpWithWritersTakingTurnsAt640ASecond) {
  constexpr int kRecords = 1280;
  constexpr auto kPeriod = std::chrono::nanoseconds(1000000000 / 640);
  OpenDebugShared();  // holds the ring between the writers' turns
  WriteDebugRecord("Mod", "start", "P", "", "", "");
  Viewer viewer({"--follow", "--ring", name_});
  ASSERT_TRUE(viewer.WaitFor("start\n"));
  int turn[2][2];  // turn[k]: writer k waits on [0]; the other passes the turn on [1]
  ASSERT_EQ(::pipe(turn[0]), 0);
  ASSERT_EQ(::pipe(turn[1]), 0);
  const auto start = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
  pid_t writers[2];
  for (int k = 0; k < 2; ++k) {
    writers[k] = ::fork();
    ASSERT_GE(writers[k], 0);
    if (writers[k] == 0) {
      char c;
      for (int n = k; n < kRecords; n += 2) {
        if (n > 0 && ::read(turn[k][0], &c, 1) != 1) ::_exit(3);
        std::this_thread::sleep_until(start + n * kPeriod);
        WriteDebugRecord("Mod", "rec " + std::to_string(n), "P", "", "", "");
        if (::write(turn[1 - k][1], "t", 1) != 1 && n + 1 < kRecords) ::_exit(4);
      }
      ::_exit(0);
    }
  }
  for (pid_t w : writers) {
    int status = 0;
    ASSERT_EQ(::waitpid(w, &status, 0), w);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  for (auto& p : turn) {
    ::close(p[0]);
    ::close(p[1]);
  }
  WriteDebugRecord("Mod", "end", "P", "", "", "");
  EXPECT_TRUE(viewer.WaitFor("end\n"));
  bool clean = false;
  std::string out = viewer.Stop(&clean);
  EXPECT_TRUE(clean);
  std::set<std::string> printed;
  for (const std::string& m : PrintedMessages(out)) {
    if (m.rfind("rec ", 0) == 0) printed.insert(m);
  }
  EXPECT_GE(printed.size(), kRecords * 95 / 100) << "of " << kRecords;
}

}  // namespace
}  // namespace tamlix::debugview
