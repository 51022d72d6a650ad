#include "UnitCheckSessions.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <functional>

#include "CoreTestSupport.h"
#include "platform/DateTime.h"
#include "platform/tests/TestProcesses.h"

namespace tamlix::core::testing {
namespace {

using LockTest = CoreTest;

TEST_F(LockTest, CreatesOneDateLineInTheExecutablesDirectory) {
  std::string s = Session("create");
  ASSERT_FALSE(CheckSessionInUse(s));
  std::string text = ReadFile(LockPath(s));
  ASSERT_GE(text.size(), 4u);
  EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
  EXPECT_EQ(text.find('\n'), text.size() - 1) << "one line only: " << text;
  platform::LocalTime now = platform::NowLocal();
  EXPECT_EQ(text.find(platform::ShortDateText(now) + " "), 0u) << text;
}

// What may already lie at the lock file's path: a file (or a link to one)
// means in use and is left as it is; a directory, or a link to nowhere, is
// no lock, and no lock can be made there.
TEST_F(LockTest, WhatLiesAtThePathDecidesInUseOrFailure) {
  namespace fs = std::filesystem;
  struct Case {
    const char* name;
    std::function<void(const std::string& path)> place;
    int error;  // 0: in use
  } cases[] = {
      {"file", [](const std::string& p) { WriteFile(p, "from elsewhere"); }, 0},
      {"link to a file",
       [](const std::string& p) {
         WriteFile(p + ".target", "from elsewhere");
         fs::create_symlink(p + ".target", p);
       },
       0},
      {"directory", [](const std::string& p) { fs::create_directory(p); }, EISDIR},
      {"link to nowhere", [](const std::string& p) { fs::create_symlink(p + ".nowhere", p); }, EEXIST},
  };
  for (const Case& c : cases) {
    std::string session = Session(std::string("present_") + c.name);
    std::string path = LockPath(session);
    c.place(path);
    auto before = fs::symlink_status(path).type();
    if (c.error == 0) {
      EXPECT_TRUE(CheckSessionInUse(session)) << c.name;
      EXPECT_EQ(ReadFile(path), "from elsewhere") << c.name;
    } else {
      try {
        CheckSessionInUse(session);
        ADD_FAILURE() << c.name << ": no error";
      } catch (const ESessionLockError& e) {
        EXPECT_EQ(e.Error(), c.error) << c.name;
      }
    }
    EXPECT_EQ(fs::symlink_status(path).type(), before) << c.name << ": changed";
    fs::remove(path + ".target");
    fs::remove(path);
  }
}

TEST_F(LockTest, ProcessesRacingForOneSessionHaveOneWinner) {
  for (int round = 0; round < 10; ++round) {
    std::string s = Session("race" + std::to_string(round));
    std::vector<int> codes = tamlix::testing::RunTogether(8, [&](int) {
      try {
        return CheckSessionInUse(s) ? 1 : 0;
      } catch (...) {
        return 2;
      }
    });
    EXPECT_EQ(std::count(codes.begin(), codes.end(), 0), 1) << "round " << round << ": winners";
    EXPECT_EQ(std::count(codes.begin(), codes.end(), 1), 7) << "round " << round << ": the others find it in use";
  }
}

TEST_F(LockTest, FailuresRaiseAndLeaveNoFile) {
  struct Case {
    const char* name;
    sys::Call call;
  } cases[] = {{"create", sys::Call::Open}, {"write", sys::Call::Write}, {"close", sys::Call::Close}};
  for (const Case& c : cases) {
    std::string s = Session(std::string("fail_") + c.name);
    sys::FailNth(c.call, 1, ENOSPC);
    EXPECT_THROW(CheckSessionInUse(s), ESessionLockError) << c.name;
    sys::ClearFaults();
    EXPECT_FALSE(FileExists(LockPath(s))) << c.name;
  }
}

TEST_F(LockTest, SessionIdThatIsAPathIsRefused) {
  std::string s = Session("dir");
  EXPECT_THROW(CheckSessionInUse(s + "/../escape"), ESessionLockError);
  EXPECT_FALSE(FileExists(platform::ExecutableDirectory() + "escape.lck"));
}

TEST_F(LockTest, ClearRemovesPresentFileAndIgnoresFailures) {
  std::string s = Session("clear");
  ClearSessionLock(s);  // absent: nothing happens
  WriteFile(LockPath(s), "x");
  sys::FailNth(sys::Call::Unlink, 1, EBUSY);
  ClearSessionLock(s);
  EXPECT_TRUE(FileExists(LockPath(s)));
  ClearSessionLock(s);
  EXPECT_FALSE(FileExists(LockPath(s)));
}

}  // namespace
}  // namespace tamlix::core::testing
