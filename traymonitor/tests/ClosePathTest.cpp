// The program's ways out, with the real application object and its real
// event loop: each does exactly its own part, with the window shown or
// hidden, and never closes the window on the way. (Kept apart from the
// threaded tests: a shown window is painted through Qt's own thread pool.)
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <filesystem>

#include "FormTestSupport.h"
#include "SessionEnd.h"

namespace tamlix::brindlemoss::test {
namespace {

const char kDirect[] = "[700]\nSessionType=2\nSerial_Port=1\n";

bool Exists(const std::string& path) { return std::filesystem::exists(path); }

class ClosePathTest : public FormTest {
 protected:
  enum class Path { Terminate, CloseBox, SigTerm, SigHup, CommitData };
  struct Row {
    const char* name;
    Path path;
    std::vector<std::string> log;  // after "Session Started"
    bool lockKept;
  };
  static inline const Row kRows[] = {
      {"Terminate", Path::Terminate, {"Terminate button pressed"}, true},
      {"close box", Path::CloseBox, {"Session Terminated", "Normal Close Requested"}, false},
      {"SIGTERM", Path::SigTerm, {}, true},
      {"SIGHUP", Path::SigHup, {}, true},
      {"commit data", Path::CommitData, {"Session Terminated"}, false},
  };

  void SetUp() override {
    FormTest::SetUp();
    Product(kDirect);
  }
  // Starts the program's window as main() does.
  void StartProgram(std::vector<std::string> arguments, std::string library = "libTamlixMaster.so") {
    Start(std::move(arguments), std::move(library));
    ConnectSessionEnd(*form);
  }
  void MakeSessionFiles(const std::string& id) {
    WriteFile(File(id + ".lck"), "lock\r\n");
    WriteFile(File(id + "txt"), "session\r\n");
  }
  bool Lock(const std::string& id = "700") { return Exists(File(id + ".lck")); }
  bool Txt(const std::string& id = "700") { return Exists(File(id + "txt")); }
  // Takes `path` inside the running loop; returns the loop's exit code.
  int Leave(Path path) {
    return RunLoop([this, path] {
      switch (path) {
        case Path::Terminate: form->Button1->click(); break;
        case Path::CloseBox: form->close(); break;
        case Path::SigTerm: ::kill(::getpid(), SIGTERM); break;
        case Path::SigHup: ::kill(::getpid(), SIGHUP); break;
        case Path::CommitData: form->CommitDataRequest(); break;
      }
    });
  }
};

TEST_F(ClosePathTest, EachPathDoesExactlyItsOwnPartShownOrHidden) {
  for (const Row& row : kRows) {
    for (const bool shown : {false, true}) {
      SCOPED_TRACE(std::string(row.name) + (shown ? ", window shown" : ", window hidden"));
      std::filesystem::remove(File("Brindlemoss.LOG"));
      StartProgram({"700", "LOG"});
      MakeSessionFiles("700");
      if (shown) form->TrayNotifyIconDblClick();
      ASSERT_EQ(form->isVisible(), shown);

      EXPECT_EQ(Leave(row.path), 0);
      std::vector<std::string> log{"Session ID 700 Session Started"};
      for (const std::string& line : row.log) log.push_back("Session ID 700 " + line);
      EXPECT_EQ(LogMessages(), log);
      EXPECT_EQ(Lock(), row.lockKept);
      EXPECT_FALSE(Txt());
      // Leaving closes no window on the way.
      if (row.path != Path::CloseBox) {
        EXPECT_EQ(form->isVisible(), shown);
      }
    }
  }
}

// A second copy started for a session in use: whatever way it leaves, the
// running copy's lock file stays.
TEST_F(ClosePathTest, ALockThatAnotherCopyHoldsIsNeverRemoved) {
  master.initResult = 0;
  master.initFills = true;
  master.initCode = 101;
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.name);
    MakeSessionFiles("700");
    StartProgram({"700"});
    ASSERT_FALSE(form->OwnsLock());
    form->TrayNotifyIconDblClick();
    EXPECT_EQ(Leave(row.path), 0);
    EXPECT_TRUE(Lock());
    EXPECT_FALSE(Txt());
  }
}

TEST_F(ClosePathTest, EndSessionDeletesTxtOnlyWhenTheSessionEnds) {
  Start({"700"});
  MakeSessionFiles("700");
  form->WMEndSession(0);
  EXPECT_TRUE(Txt());
  form->WMEndSession(1);
  EXPECT_FALSE(Txt());
  EXPECT_TRUE(Lock());
  form->WMEndSession(1);  // nothing left to delete
}

TEST_F(ClosePathTest, WithoutSessionIdNothingIsDeleted) {
  // Files that an empty session ID would name.
  MakeSessionFiles("");
  for (const std::string& library : {std::string("libTamlixMaster.so"), std::string("libTamlixMasterAbsent.so")}) {
    for (const Row& row : kRows) {
      SCOPED_TRACE(library + ", " + row.name);
      StartProgram({}, library);
      EXPECT_EQ(Leave(row.path), 0);
      EXPECT_TRUE(Lock(""));
      EXPECT_TRUE(Txt(""));
    }
  }
}

TEST_F(ClosePathTest, MissingFilesAreNoObstacle) {
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.name);
    StartProgram({"700"});
    EXPECT_EQ(Leave(row.path), 0);
  }
}

}  // namespace
}  // namespace tamlix::brindlemoss::test
