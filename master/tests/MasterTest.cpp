// The stand-in end to end: real TLS to the test switch over loopback, real
// files, a serial line over a pseudo-terminal, and the real window for the
// direct session. The settings files lie beside this test binary, as beside
// the program; each test writes its own and removes them.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <algorithm>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "TamlixMaster.h"
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
  void Settings(const std::string& session, const std::string& options, int port) {
    sessions.push_back(session);
    Put(dir + "Brindlemoss.INI", "[" + session + "]\r\n" + options);
    Put(dir + "TamlixTCP.INI", "[Global TCP/IP Data]\r\nAddress=127.0.0.1\r\nPort=" + std::to_string(port) +
                                   "\r\nTimeOut=5000\r\nUse=0\r\n");
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
  for (int i = 0; i < 200 && std::filesystem::exists(work + "in.txt"); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(std::filesystem::exists(work + "in.txt"));
  EXPECT_EQ(Slurp(work + "out.txt"), "FILE REPLY");
  EXPECT_EQ(sw.Request(1), "CLAIM FROM A FILE");
  EXPECT_EQ(reports.Get(), (std::vector<std::string>{"event 0", "event 1"}));
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
      for (int i = 0; i < 6000 && std::filesystem::exists(work + "in.txt"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      if (Slurp(work + "out.txt") != claim) fileMismatches.push_back(claim + " -> " + Slurp(work + "out.txt"));
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

  std::string line;
  for (int i = 0; i < 100 && line.find('\x03') == std::string::npos; ++i) {
    pollfd p{masterFd, POLLIN, 0};
    if (::poll(&p, 1, 100) > 0) {
      char buffer[256];
      const ssize_t n = ::read(masterFd, buffer, sizeof buffer);
      if (n > 0) line.append(buffer, static_cast<size_t>(n));
    }
  }
  EXPECT_EQ(line, "\x02" "SERIAL REPLY" "\x03");
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
