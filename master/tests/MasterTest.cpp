// The stand-in end to end: real TLS to the test switch over loopback, real
// files, a serial line over a pseudo-terminal, and the real window for the
// direct session. The settings files lie beside this test binary, as beside
// the program; each test writes its own and removes them.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <algorithm>
#include <QTest>
#include <filesystem>
#include <functional>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "RingRecords.h"
#include "tamlix/TamlixMaster.h"
#include "TestApp.h"
#include "TestSwitch.h"
#include "TrayIcon.h"
#include "UnitMain.h"
#include "platform/ExeDir.h"

extern "C" int MasterErrorSizeFromC(void);
extern "C" int MasterErrorMsgOffsetFromC(void);
extern "C" int MasterEntryPointsFromC(void);

namespace {

using tamlix::testing::TestSwitch;
namespace ring = tamlix::direct::testing;
namespace fs = std::filesystem;

TEST(MasterHeaderTest, CSeesTheSameRecordAndEntryPoints) {
  EXPECT_EQ(MasterErrorSizeFromC(), 261);
  EXPECT_EQ(MasterErrorMsgOffsetFromC(), 5);
  EXPECT_EQ(MasterEntryPointsFromC(), 1);
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void Put(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// Collects what the stand-in reports, from any thread.
struct Reports {
  std::mutex mutex;
  std::vector<std::string> items;
  void Add(std::string s) {
    std::lock_guard<std::mutex> lock(mutex);
    items.push_back(std::move(s));
  }
  std::vector<std::string> Get() {
    std::lock_guard<std::mutex> lock(mutex);
    return items;
  }
};
Reports reports;

void OnFileEvent(int32_t event) { reports.Add("event " + std::to_string(event)); }
void OnSent(const char* const* data, int32_t* handled) {
  reports.Add(std::string("sent ") + *data);
  *handled = 1;
}
void OnReceived(const char* const* data, int32_t* handled) {
  reports.Add(std::string("received ") + *data);
  *handled = 1;
}

class MasterTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    tamlix::tray::test::EnsureApplication();
    QApplication::setApplicationName("Brindlemoss");
    tamlix::OpenDebugShared();  // to read the stand-in's records
  }
  void SetUp() override {
    reports.items.clear();
    dir = tamlix::platform::ExecutableDirectory();
    char pattern[] = "/tmp/master-e2e-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    work = std::string(pattern) + "/";
  }
  void TearDown() override {
    std::filesystem::remove(dir + "Brindlemoss.INI");
    std::filesystem::remove(dir + "TamlixTCP.INI");
    for (const auto& s : sessions) std::filesystem::remove(dir + s + ".lck");
    std::filesystem::remove_all(work);
  }
  // Writes both settings files for one session against `port`.
  void Settings(const std::string& session, const std::string& options, int port, int timeOut = 5000) {
    sessions.push_back(session);
    Put(dir + "Brindlemoss.INI", "[" + session + "]\r\n" + options);
    Put(dir + "TamlixTCP.INI", "[Global TCP/IP Data]\r\nAddress=127.0.0.1\r\nPort=" + std::to_string(port) +
                                   "\r\nTimeOut=" + std::to_string(timeOut) + "\r\nUse=0\r\n");
  }
  // A file session over work/in.txt and `dest`, its automatic processing started.
  void StartFileSession(const std::string& session, int port, const std::string& dest, int freq = 50,
                        int timeOut = 5000) {
    Settings(session,
             "SessionType=4\r\nFile_Source=" + work + "in.txt\r\nFile_Dest=" + dest +
                 "\r\nFile_Freq=" + std::to_string(freq) + "\r\n",
             port, timeOut);
    TMasterError err;
    ASSERT_TRUE(Initialize(session.c_str(), reinterpret_cast<void*>(&OnFileEvent), nullptr, err)) << Msg(err);
    ASSERT_TRUE(Master_ProcessData(session.c_str(), 1, 0, 0, &err)) << Msg(err);
  }
  // Ends the running session (its file thread included) by starting another.
  void EndSession(int port) {
    static int ended = 0;
    const std::string session = "e2eend" + std::to_string(++ended);
    Settings(session, "SessionType=2\r\n", port);
    TMasterError err;
    EXPECT_TRUE(Initialize(session.c_str(), reinterpret_cast<void*>(+[](const char*) {}), nullptr, err)) << Msg(err);
  }
  static bool WaitUntil(const std::function<bool()>& condition, int ms = 10000) {
    for (int i = 0; i < ms / 10; ++i) {
      if (condition()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
  }
  // The files of the work folder, by name.
  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(work)) {
      if (entry.is_regular_file()) names.push_back(fs::relative(entry.path(), work).string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  bool Initialize(const char* session, void* cb1, void* cb2, TMasterError& err) {
    err = TMasterError{};
    return Master_Initialize(session, cb1, cb2, 0, &err) != 0;
  }
  static std::string Msg(const TMasterError& err) { return std::string(err.Msg.Chars, err.Msg.Length); }

  std::string dir;
  std::string work;
  std::vector<std::string> sessions;
};

TEST_F(MasterTest, DirectSessionShowsTheTestClaimInSendAndTheReplyInReceive) {
  TestSwitch sw({"--reply", "B1 ACCEPTED"});
  Settings("e2edirect", "SessionType=2\r\n", sw.port());
  tamlix::tray::test::EnsureApplication();
  tamlix::brindlemoss::TFormMain form({dir, {"e2edirect"}});
  ASSERT_TRUE(form.Memo->toPlainText().endsWith("Brindlemoss Initialization Successful"))
      << form.Memo->toPlainText().toStdString();
  ASSERT_FALSE(form.btnTest->isHidden());
  form.btnTest->click();
  const QString claim = QString::fromLatin1(tamlix::brindlemoss::TestClaim.data(),
                                            static_cast<qsizetype>(tamlix::brindlemoss::TestClaim.size()));
  EXPECT_EQ(form.MemoSend->toPlainText(), claim);
  QTRY_COMPARE_WITH_TIMEOUT(form.MemoReceive->toPlainText(), QString("B1 ACCEPTED"), 10000);
  EXPECT_EQ(sw.Request(1), std::string(tamlix::brindlemoss::TestClaim));
}

TEST_F(MasterTest, FileSessionTurnsTheSourceIntoTheDestination) {
  TestSwitch sw({"--reply", "FILE REPLY"});
  Settings("e2efile",
           "SessionType=4\r\nFile_Source=" + work + "in.txt\r\nFile_Dest=" + work + "out.txt\r\nFile_Freq=50\r\n",
           sw.port());
  TMasterError err;
  ASSERT_TRUE(Initialize("e2efile", reinterpret_cast<void*>(&OnFileEvent), nullptr, err)) << Msg(err);
  ASSERT_TRUE(Master_ProcessData("e2efile", 1, 0, 0, &err)) << Msg(err);
  Put(work + "in.txt", "CLAIM FROM A FILE\r\n");
  ASSERT_TRUE(WaitUntil([&] { return fs::exists(work + "out.txt"); }));
  ASSERT_TRUE(WaitUntil([&] { return reports.Get().size() == 2; }));
  EXPECT_EQ(Files(), std::vector<std::string>{"out.txt"});
  EXPECT_EQ(Slurp(work + "out.txt"), "FILE REPLY");
  EXPECT_EQ(sw.Request(1), "CLAIM FROM A FILE");
  EXPECT_EQ(reports.Get(), (std::vector<std::string>{"event 0", "event 1"}));
}

// A claim reaches the switch once, whatever becomes of its reply: one that
// cannot be stored is dropped, and one that never comes (the switch answers
// after the time-out, or closes without answering) leaves the claim set
// aside under a name that says so, never sent again by the session. A second
// such claim does not replace the first one set aside.
TEST_F(MasterTest, FileSessionSendsEachClaimOnce) {
  const struct Case {
    const char* name;
    std::vector<std::string> switchArgs;
    int timeOut;
    const char* dest;  // under the work folder
    const char* record;
    std::vector<std::string> files;  // the work folder's files afterwards
  } cases[] = {
      {"File_Dest's folder missing", {"--reply", "STORED NOWHERE"}, 5000, "missing/out.txt",
       "Reply not stored in File_Dest", {}},
      {"answers after the time-out", {"--reply", "LATE", "--delay-ms", "2500"}, 1000, "out.txt",
       "Claim without a reply set aside, not sent again", {"in.txt.unanswered", "in.txt.unanswered.2"}},
      {"answers after a time-out below a second", {"--reply", "LATE", "--delay-ms", "300"}, 300, "out.txt",
       "Claim without a reply set aside, not sent again", {"in.txt.unanswered", "in.txt.unanswered.2"}},
      {"closes without answering", {"--close"}, 5000, "out.txt",
       "Claim without a reply set aside, not sent again", {"in.txt.unanswered", "in.txt.unanswered.2"}},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string session = "e2eonce" + std::to_string(++n);
    fs::remove_all(work);
    fs::create_directories(work);
    reports.items.clear();
    const int mark = ring::LastSequence();
    TestSwitch sw(c.switchArgs);
    StartFileSession(session, sw.port(), work + c.dest, 50, c.timeOut);
    for (const std::string claim : {"FIRST CLAIM", "SECOND CLAIM"}) {
      const int before = sw.RequestCount();
      Put(work + "in.txt", claim + "\r\n");
      ASSERT_TRUE(WaitUntil([&] { return !fs::exists(work + "in.txt") && !fs::exists(work + "in.txt.sending"); }))
          << ::testing::PrintToString(Files());
      // Many more turns of the session: nothing goes out again.
      std::this_thread::sleep_for(std::chrono::milliseconds(1000));
      ASSERT_EQ(sw.RequestCount(), before + 1);
      EXPECT_EQ(sw.Request(before + 1), claim);
    }
    EXPECT_EQ(Files(), c.files);
    if (c.files.size() == 2) {
      EXPECT_EQ(Slurp(work + c.files[0]), "FIRST CLAIM\r\n");
      EXPECT_EQ(Slurp(work + c.files[1]), "SECOND CLAIM\r\n");
    }
    EXPECT_EQ(reports.Get(), (std::vector<std::string>{"event 0", "event 0"})) << "no file received";
    const auto records = ring::RecordsSince(mark);
    const ring::TRecord* record = ring::Find(records, c.record);
    ASSERT_NE(record, nullptr) << ring::Messages(records);
    EXPECT_EQ(record->module, "TamlixMaster");
    EXPECT_EQ(record->session, session);
    EndSession(sw.port());
  }
}

// A work copy left behind (the program ended while its claim was out) is
// set aside at the next start, not sent; the claim waiting in File_Source
// goes as usual.
TEST_F(MasterTest, FileSessionSetsAsideAWorkCopyLeftBehind) {
  TestSwitch sw({"--reply", "ANSWER"});
  Put(work + "in.txt.sending", "CLAIM OF AN EARLIER RUN\r\n");
  Put(work + "in.txt", "NEW CLAIM\r\n");
  StartFileSession("e2eleft", sw.port(), work + "out.txt");
  ASSERT_TRUE(WaitUntil([&] { return fs::exists(work + "out.txt"); }));
  EndSession(sw.port());
  EXPECT_EQ(sw.RequestCount(), 1);
  EXPECT_EQ(sw.Request(1), "NEW CLAIM");
  EXPECT_EQ(Files(), (std::vector<std::string>{"in.txt.unanswered", "out.txt"}));
  EXPECT_EQ(Slurp(work + "in.txt.unanswered"), "CLAIM OF AN EARLIER RUN\r\n");
}

// A switch that cannot be reached: the claim has not gone out, so it waits
// in its work copy and goes, once, when the switch is back.
TEST_F(MasterTest, FileSessionSendsAClaimOnceTheSwitchIsBack) {
  std::optional<TestSwitch> sw(std::in_place);
  const int port = sw->port();
  sw.reset();
  StartFileSession("e2eback", port, work + "out.txt");
  Put(work + "in.txt", "WAITING CLAIM\r\n");
  ASSERT_TRUE(WaitUntil([&] { return fs::exists(work + "in.txt.sending"); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(Files(), std::vector<std::string>{"in.txt.sending"});
  sw.emplace(std::vector<std::string>{"--port", std::to_string(port), "--reply", "AT LAST"});
  ASSERT_TRUE(WaitUntil([&] { return fs::exists(work + "out.txt"); }));
  EndSession(port);
  EXPECT_EQ(sw->RequestCount(), 1);
  EXPECT_EQ(Files(), std::vector<std::string>{"out.txt"});
  EXPECT_EQ(Slurp(work + "out.txt"), "AT LAST");
  EXPECT_EQ(reports.Get(), (std::vector<std::string>{"event 0", "event 1"})) << "sent once, received once";
}

// A pharmacy program that writes its next claim the moment the reply
// appears (woken by inotify; plain writes, no rename): every claim reaches
// the switch exactly once and gets its own reply.
TEST_F(MasterTest, FileSessionWithAWriterThatFollowsEachReply) {
  TestSwitch sw({"--echo"});
  const int watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  ASSERT_GE(watch, 0);
  ASSERT_GE(::inotify_add_watch(watch, work.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE), 0);
  // Waits for out.txt to appear (at most 10 s).
  auto replyAppears = [&] {
    for (int i = 0; i < 1000 && !fs::exists(work + "out.txt"); ++i) {
      pollfd p{watch, POLLIN, 0};
      if (::poll(&p, 1, 10) > 0) {
        alignas(inotify_event) char events[4096];
        while (::read(watch, events, sizeof events) > 0) {
        }
      }
    }
    return fs::exists(work + "out.txt");
  };
  StartFileSession("e2ewriter", sw.port(), work + "out.txt", 1);
  constexpr int kClaims = 300;
  std::vector<std::string> wrong;
  for (int i = 0; i < kClaims && wrong.size() < 5; ++i) {
    const std::string claim = "CLAIM " + std::to_string(i) + "\x03";  // ETX: the switch answers at once
    std::ofstream(work + "in.txt", std::ios::binary) << claim << "\r\n";
    if (!replyAppears()) {
      wrong.push_back(claim + ": no reply");
      continue;
    }
    const std::string reply = Slurp(work + "out.txt");
    fs::remove(work + "out.txt");
    if (reply != claim) wrong.push_back(claim + " -> " + reply);
  }
  EndSession(sw.port());
  ::close(watch);
  EXPECT_TRUE(wrong.empty()) << ::testing::PrintToString(wrong);
  ASSERT_EQ(sw.RequestCount(), kClaims);
  for (int i = 0; i < kClaims; ++i) ASSERT_EQ(sw.Request(i + 1), "CLAIM " + std::to_string(i) + "\x03") << i;
  EXPECT_TRUE(Files().empty()) << ::testing::PrintToString(Files());
}

// A file session that looks at its source every millisecond while another
// thread hands claims in: the claims take turns through the core, each
// file's reply lands in its destination, and each handed-in claim's reply
// reaches the session's callback (event 1); none is lost, none crosses over.
TEST_F(MasterTest, FileSessionAndHandedInClaimsTakeTurnsThroughTheCore) {
  TestSwitch sw({"--echo"});
  Settings("e2eturns",
           "SessionType=4\r\nFile_Source=" + work + "in.txt\r\nFile_Dest=" + work + "out.txt\r\nFile_Freq=1\r\n",
           sw.port());
  TMasterError err;
  ASSERT_TRUE(Initialize("e2eturns", reinterpret_cast<void*>(&OnFileEvent), nullptr, err)) << Msg(err);
  ASSERT_TRUE(Master_ProcessData("e2eturns", 1, 0, 0, &err)) << Msg(err);
  constexpr int kFiles = 20;
  constexpr int kHandedIn = 200;

  std::vector<std::string> fileMismatches;
  std::thread files([&] {
    for (int f = 0; f < kFiles; ++f) {
      const std::string claim = "FILE CLAIM " + std::to_string(f) + "\x03";  // ETX: the switch answers at once
      Put(work + "in.tmp", claim + "\r\n");
      std::filesystem::rename(work + "in.tmp", work + "in.txt");
      WaitUntil([&] { return fs::exists(work + "out.txt"); }, 60000);
      if (Slurp(work + "out.txt") != claim) fileMismatches.push_back(claim + " -> " + Slurp(work + "out.txt"));
      fs::remove(work + "out.txt");
    }
  });
  int refused = 0;
  for (int i = 0; i < kHandedIn; ++i) {
    const std::string claim = "HANDED IN " + std::to_string(i) + "\x03";
    TMasterError handErr{};
    if (!Master_ProcessData("e2eturns", reinterpret_cast<uintptr_t>(claim.c_str()), 0, 0, &handErr)) ++refused;
  }
  files.join();
  auto count = [](const std::string& what) {
    const std::vector<std::string> all = reports.Get();
    return std::count(all.begin(), all.end(), what);
  };
  for (int i = 0; i < 1000 && count("event 1") < kFiles + kHandedIn; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));

  EXPECT_EQ(refused, 0);
  EXPECT_TRUE(fileMismatches.empty()) << ::testing::PrintToString(fileMismatches);
  EXPECT_EQ(count("event 0"), kFiles);
  EXPECT_EQ(count("event 1"), kFiles + kHandedIn);
  EXPECT_EQ(sw.RequestCount(), kFiles + kHandedIn) << "each claim sent once";
  Settings("e2eturnsdone", "SessionType=2\r\n", sw.port());
  EXPECT_TRUE(Initialize("e2eturnsdone", reinterpret_cast<void*>(+[](const char*) {}), nullptr, err)) << Msg(err);
}

// What the line's far end reads up to an ETX, within 10 s.
std::string ReadFrame(int fd) {
  std::string line;
  for (int i = 0; i < 100 && line.find('\x03') == std::string::npos; ++i) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) > 0) {
      char buffer[256];
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n > 0) line.append(buffer, static_cast<size_t>(n));
    }
  }
  return line;
}

double Seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; }
double ProcessCpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
}

TEST_F(MasterTest, SerialSessionOverAPseudoTerminal) {
  TestSwitch sw({"--reply", "\x02" "SERIAL REPLY" "\x03"});
  int masterFd = -1, slaveFd = -1;
  char name[256] = {};
  ASSERT_EQ(::openpty(&masterFd, &slaveFd, name, nullptr, nullptr), 0);
  Settings("e2eserial",
           std::string("SessionType=3\r\nSerial_Port=") + name +
               "\r\nSerial_Baud=19200\r\nSerial_DataBits=8\r\nSerial_Parity=N\r\nSerial_StopBits=1\r\n",
           sw.port());
  TMasterError err;
  ASSERT_TRUE(Initialize("e2eserial", reinterpret_cast<void*>(&OnSent), reinterpret_cast<void*>(&OnReceived), err))
      << Msg(err);
  // Noise before the frame and a frame in two pieces.
  const std::string first = "noise\x02" "CLAIM";
  const std::string second = " ON THE LINE\x03";
  ASSERT_EQ(::write(masterFd, first.data(), first.size()), static_cast<ssize_t>(first.size()));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_EQ(::write(masterFd, second.data(), second.size()), static_cast<ssize_t>(second.size()));

  EXPECT_EQ(ReadFrame(masterFd), "\x02" "SERIAL REPLY" "\x03");
  EXPECT_EQ(sw.Request(1), "\x02" "CLAIM ON THE LINE" "\x03");
  // The reply reaches the line first, then the callback.
  for (int i = 0; i < 100 && reports.Get().size() < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(reports.Get(), (std::vector<std::string>{"sent \x02" "CLAIM ON THE LINE\x03",
                                                     "received \x02" "SERIAL REPLY\x03"}));
  // The next start closes the line.
  Settings("e2edone", "SessionType=2\r\n", sw.port());
  EXPECT_TRUE(Initialize("e2edone", reinterpret_cast<void*>(+[](const char*) {}), nullptr, err)) << Msg(err);
  ::close(masterFd);
  ::close(slaveFd);
}

// A line that hangs up (the device goes: its pseudo-terminal's far end
// closes) and comes back under the same name: the session waits calmly,
// opens it again and answers the next claim on it.
TEST_F(MasterTest, SerialSessionComesBackAfterAHangUp) {
  TestSwitch sw({"--echo"});
  const std::string port = work + "tty";
  // A pseudo-terminal behind `port`; returns its far end.
  auto plugIn = [&] {
    int far = -1, near = -1;
    char name[256] = {};
    EXPECT_EQ(::openpty(&far, &near, name, nullptr, nullptr), 0);
    ::close(near);
    fs::create_symlink(name, port + ".new");
    fs::rename(port + ".new", port);
    return far;
  };
  int far = plugIn();
  Settings("e2ehangup", "SessionType=3\r\nSerial_Port=" + port + "\r\n", sw.port());
  TMasterError err;
  ASSERT_TRUE(Initialize("e2ehangup", reinterpret_cast<void*>(&OnSent), reinterpret_cast<void*>(&OnReceived), err))
      << Msg(err);
  const std::string first = "\x02" "FIRST CLAIM" "\x03";
  ASSERT_EQ(::write(far, first.data(), first.size()), static_cast<ssize_t>(first.size()));
  EXPECT_EQ(ReadFrame(far), first);

  const int mark = ring::LastSequence();
  // The name goes with the line: a pseudo-terminal number freed by the
  // hang-up may be reused by another process's terminal at any moment.
  fs::remove(port);
  ::close(far);
  ASSERT_TRUE(ring::WaitForRecord(mark, "Serial line lost, reopened once a second")) << ring::Messages(ring::RecordsSince(mark));
  const auto wallStart = std::chrono::steady_clock::now();
  const double cpuStart = ProcessCpuSeconds();
  std::this_thread::sleep_for(std::chrono::seconds(5));
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
  EXPECT_LT(ProcessCpuSeconds() - cpuStart, wall / 10) << "the line's absence is waited for calmly";

  far = plugIn();
  ASSERT_TRUE(ring::WaitForRecord(mark, "Serial line open again")) << ring::Messages(ring::RecordsSince(mark));
  const std::string second = "\x02" "SECOND CLAIM" "\x03";
  ASSERT_EQ(::write(far, second.data(), second.size()), static_cast<ssize_t>(second.size()));
  EXPECT_EQ(ReadFrame(far), second);
  EXPECT_EQ(sw.RequestCount(), 2);
  EXPECT_EQ(sw.Request(2), second);
  EndSession(sw.port());
  ::close(far);
}

TEST_F(MasterTest, FailuresComeBackAsFalseWithCodeAndMsg) {
  TestSwitch sw;
  Settings("e2efail", "SessionType=3\r\nSerial_Port=" + work + "no-such-tty\r\n", sw.port());
  TMasterError err;
  EXPECT_FALSE(Initialize("e2efail", reinterpret_cast<void*>(&OnSent), reinterpret_cast<void*>(&OnReceived), err));
  EXPECT_EQ(err.Code, -1);
  EXPECT_NE(Msg(err).find("no-such-tty"), std::string::npos) << Msg(err);

  EXPECT_FALSE(Initialize("absent", reinterpret_cast<void*>(&OnFileEvent), nullptr, err));
  EXPECT_EQ(Msg(err), "Session absent not found");
  EXPECT_FALSE(Initialize(nullptr, nullptr, nullptr, err));

  Settings("e2elocked", "SessionType=2\r\n", sw.port());
  Put(dir + "e2elocked.lck", "in use\r\n");
  EXPECT_FALSE(Initialize("e2elocked", reinterpret_cast<void*>(+[](const char*) {}), nullptr, err));
  EXPECT_EQ(err.Code, 101);
  EXPECT_EQ(Msg(err), "Session e2elocked is in use");
  EXPECT_TRUE(std::filesystem::exists(dir + "e2elocked.lck"));  // someone else's lock stays

  // A reply written where claims are taken from would go out as a claim.
  fs::create_directories(work + "sub");
  fs::create_directory_symlink(work, work + "link");
  for (const std::string& dest : {work + "in.txt", work + "sub/../in.txt", work + "link/in.txt"}) {
    Settings("e2esame", "SessionType=4\r\nFile_Source=" + work + "in.txt\r\nFile_Dest=" + dest + "\r\n", sw.port());
    EXPECT_FALSE(Initialize("e2esame", reinterpret_cast<void*>(&OnFileEvent), nullptr, err)) << dest;
    EXPECT_EQ(Msg(err), "File_Source and File_Dest must name different files");
  }

  Settings("e2ewrongtype", "SessionType=1\r\n", sw.port());
  EXPECT_FALSE(Initialize("e2ewrongtype", reinterpret_cast<void*>(&OnFileEvent), nullptr, err));

  // Automatic processing is only for file sessions; a null claim is refused.
  Settings("e2edirect2", "SessionType=2\r\n", sw.port());
  ASSERT_TRUE(Initialize("e2edirect2", reinterpret_cast<void*>(+[](const char*) {}), nullptr, err)) << Msg(err);
  EXPECT_FALSE(Master_ProcessData("e2edirect2", 1, 0, 0, &err));
  EXPECT_FALSE(Master_ProcessData("e2edirect2", 0, 0, 0, &err));
  EXPECT_FALSE(Master_ProcessData("e2edirect2", 0, 0, 0, nullptr));  // no record: still no crash
}

// The program itself, from a directory of its own: it starts hidden with its
// session, and SIGTERM (the session or the system stopping it) removes the
// session's "txt" file and ends it with exit code 0.
class ProgramTest : public ::testing::TestWithParam<const char*> {};

TEST_P(ProgramTest, StopSignalEndsTheSessionAndRemovesTheTxtFile) {
  char pattern[] = "/tmp/brindlemoss-program-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const std::string bin = std::string(pattern) + "/";
  namespace fs = std::filesystem;
  for (const char* file : {BRINDLEMOSS_PROGRAM, MASTER_LIBRARY_FILE, CORE_LIBRARY_FILE})
    fs::copy_file(file, bin + fs::path(file).filename().string());
  Put(bin + "Brindlemoss.INI", std::string("[700]\r\n") + GetParam());
  Put(bin + "700txt", "session file\r\n");

  const std::string program = bin + "BrindlemossUtil";
  char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>("700"), const_cast<char*>("LOG"), nullptr};
  std::vector<std::string> envText = {"QT_QPA_PLATFORM=offscreen"};
  for (char** e = environ; *e; ++e)
    if (std::string(*e).rfind("QT_QPA_PLATFORM=", 0) != 0) envText.emplace_back(*e);
  std::vector<char*> env;
  for (auto& e : envText) env.push_back(e.data());
  env.push_back(nullptr);
  pid_t pid = -1;
  ASSERT_EQ(::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, env.data()), 0);

  // The session has started once the log holds its first line.
  for (int i = 0; i < 200 && Slurp(bin + "Brindlemoss.LOG").empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(Slurp(bin + "Brindlemoss.LOG").rfind("Session ID 700 Session Started  -  ", 0), 0u);
  EXPECT_TRUE(fs::exists(bin + "700txt"));
  ::kill(pid, SIGTERM);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_FALSE(fs::exists(bin + "700txt"));
  fs::remove_all(bin);
}

// A direct session, and a file session whose thread runs when the signal comes.
INSTANTIATE_TEST_SUITE_P(Types, ProgramTest,
                         ::testing::Values("SessionType=2\r\n",
                                           "SessionType=4\r\nFile_Source=/nonexistent/in\r\n"
                                           "File_Dest=/nonexistent/out\r\nFile_Freq=20\r\n"));

}  // namespace
