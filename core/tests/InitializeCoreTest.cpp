#include <sys/stat.h>

#include <cerrno>

#include "CoreTestSupport.h"
#include "UnitCheckSessions.h"

namespace tamlix::core::testing {
namespace {

constexpr const char* kInitProc = "UnitCoreDataModule.InitializeCore";

void ReplyA(const char*) {}
void ReplyB(const char*) {}
void TimerA() {}
void TimerB() {}

using InitializeCoreTest = CoreTest;

TEST_F(InitializeCoreTest, SuccessfulStartKeepsSettingsAndRecordsEachStep) {
  std::string s = Session("ok");
  TTCPIPSettings settings = MakeSettings(4711, "*switch.example", 2500);
  int32_t in_use = 7;
  ASSERT_EQ(::InitializeCore(s.c_str(), ReplyA, &settings, TimerA, &in_use), 1);
  EXPECT_EQ(in_use, 7);
  EXPECT_TRUE(FileExists(LockPath(s)));

  TCoreState& g = Core();
  EXPECT_EQ(CurrentSessionName(), s);
  EXPECT_EQ(g.Port, 4711);
  EXPECT_EQ(g.Host, "*switch.example");
  EXPECT_EQ(g.SelectTimeoutSeconds.load(), 2);
  EXPECT_EQ(g.ReadCallback.load(), &ReplyA);
  EXPECT_EQ(g.TimerCallback.load(), &TimerA);
  EXPECT_EQ(net_.dials, 0);

  std::vector<Rec> recs = ReadRing();
  EXPECT_EQ(Messages(recs), (std::vector<std::string>{"Begin Core Initialization", "Check Session In Use Passed",
                                                       "End Socket Connection Attemp",
                                                       "Core Initialization Succeeded"}));
  for (const Rec& r : recs) {
    EXPECT_EQ(r.Module, "TamlixCore.dll");
    EXPECT_EQ(r.Procedure, kInitProc);
    EXPECT_EQ(r.Session, s);
    EXPECT_EQ(r.Detail, "");
    EXPECT_EQ(r.Data, "");
  }
}

TEST_F(InitializeCoreTest, RefusedStartReports101AndChangesOnlyTheTimerCallback) {
  std::string a = Session("first");
  std::string b = Session("taken");
  TTCPIPSettings first = MakeSettings(1, "10.0.0.1", 1000);
  TTCPIPSettings second = MakeSettings(2, "10.0.0.2", 9000);
  int32_t in_use = 0;
  ASSERT_EQ(::InitializeCore(a.c_str(), ReplyA, &first, TimerA, &in_use), 1);
  WriteFile(LockPath(b), "someone else\r\n");
  int mark = ReadRing().back().Sequence;

  EXPECT_EQ(::InitializeCore(b.c_str(), ReplyB, &second, TimerB, &in_use), 0);
  EXPECT_EQ(in_use, 101);
  EXPECT_EQ(ReadFile(LockPath(b)), "someone else\r\n");

  TCoreState& g = Core();
  EXPECT_TRUE(g.SessionInUse);
  EXPECT_EQ(CurrentSessionName(), a);
  EXPECT_EQ(g.Port, 1);
  EXPECT_EQ(g.Host, "10.0.0.1");
  EXPECT_EQ(g.SelectTimeoutSeconds.load(), 1);
  EXPECT_EQ(g.ReadCallback.load(), &ReplyA);
  EXPECT_EQ(g.TimerCallback.load(), &TimerB);

  std::vector<Rec> recs;
  for (const Rec& r : ReadRing())
    if (r.Sequence > mark) recs.push_back(r);
  EXPECT_EQ(Messages(recs), (std::vector<std::string>{"Begin Core Initialization", "Session " + b + " is in use",
                                                       "Core Initialization Failed"}));
  for (const Rec& r : recs) EXPECT_EQ(r.Session, b);
}

TEST_F(InitializeCoreTest, LongSessionIdIsCutInRecordsButNotInTheLockName) {
  std::string s = Session(std::string(200, 'x'));
  WriteFile(LockPath(s), "");
  int32_t in_use = 0;
  EXPECT_EQ(::InitializeCore(s.c_str(), nullptr, nullptr, nullptr, &in_use), 0);
  EXPECT_EQ(in_use, 101);
  std::vector<Rec> recs = ReadRing();
  ASSERT_EQ(recs.size(), 3u);
  EXPECT_EQ(recs[1].Message, ("Session " + s + " is in use").substr(0, 255));
  EXPECT_EQ(recs[1].Session, s.substr(0, 255));
}

TEST(RoundTimeOutSecondsTest, HalfGoesToEvenAndTheCountIsUnsigned) {
  struct Case {
    uint32_t ms;
    int32_t seconds;
  } cases[] = {{0, 0},       {499, 0},      {500, 0},           {501, 1},          {1499, 1},
               {1500, 2},    {2500, 2},     {3500, 4},          {999999, 1000},    {0x80000000u, 2147484},
               {0xFFFFFFFFu, 4294967}};
  for (const Case& c : cases) EXPECT_EQ(RoundTimeOutSeconds(c.ms), c.seconds) << c.ms << " ms";
}

TEST_F(InitializeCoreTest, TimeOutWithTopBitSetIsAHugeWait) {
  std::string s = Session("huge");
  TTCPIPSettings settings = MakeSettings(1, "127.0.0.1", 0x80000000u);
  int32_t in_use = 0;
  ASSERT_EQ(::InitializeCore(s.c_str(), nullptr, &settings, nullptr, &in_use), 1);
  EXPECT_EQ(Core().SelectTimeoutSeconds.load(), 2147484);
}

TEST_F(InitializeCoreTest, DialsOnlyWhenTheStateIsModemAlone) {
  struct Case {
    uint32_t flags;
    uint32_t result;
    bool dials;
  } cases[] = {{0x01, 0, true}, {0x01, 633, true}, {0x11, 0, false}, {0x03, 0, false},
               {0x00, 0, false}, {0x02, 0, false}, {0x10, 0, false}};
  int n = 0;
  for (const Case& c : cases) {
    std::string s = Session("dial" + std::to_string(n++));
    net_.flags = c.flags;
    net_.dial_result = c.result;
    net_.dials = 0;
    TTCPIPSettings settings = MakeSettings(1, "127.0.0.1", 1000);
    int32_t in_use = 0;
    int mark = ReadRing().empty() ? 0 : ReadRing().back().Sequence;
    ASSERT_EQ(::InitializeCore(s.c_str(), nullptr, &settings, nullptr, &in_use), 1);
    EXPECT_EQ(net_.dials, c.dials ? 1 : 0) << "flags " << c.flags;
    std::vector<std::string> msgs;
    for (const Rec& r : ReadRing())
      if (r.Sequence > mark) msgs.push_back(r.Message);
    std::vector<std::string> want{"Begin Core Initialization", "Check Session In Use Passed"};
    if (c.dials) want.push_back("Dialup Error = " + std::to_string(c.result));
    want.push_back("End Socket Connection Attemp");
    want.push_back("Core Initialization Succeeded");
    EXPECT_EQ(msgs, want) << "flags " << c.flags;
  }
}

TEST_F(InitializeCoreTest, BadInputFailsWithoutTouchingInUseOrLeavingALock) {
  TTCPIPSettings settings = MakeSettings(1, "127.0.0.1", 1000);
  const std::vector<std::string> refused{"Begin Core Initialization", "Core Initialization Failed"};
  struct Case {
    const char* name;
    bool null_settings;
    const char* suffix;  // appended to the session ID
    bool fail_create;
    bool directory;  // a directory lies where the lock file would go
    std::vector<std::string> records;
  } cases[] = {{"settings absent", true, "", false, false,
                {"Begin Core Initialization", "Check Session In Use Passed", "Core Initialization Failed"}},
               {"id is a path", false, "/sub", false, false, refused},
               {"lock cannot be made", false, "", true, false, refused},
               {"lock name is a directory", false, "", false, true, refused}};
  for (const Case& c : cases) {
    std::string s = Session(std::string("bad_") + std::to_string(&c - cases)) + c.suffix;
    if (c.fail_create) sys::FailNth(sys::Call::Open, 1, EROFS);
    if (c.directory) {
      ASSERT_EQ(::mkdir(LockPath(s).c_str(), 0755), 0);
    }
    int32_t in_use = 7;
    int mark = ReadRing().empty() ? 0 : ReadRing().back().Sequence;
    EXPECT_EQ(::InitializeCore(s.c_str(), ReplyA, c.null_settings ? nullptr : &settings, TimerA, &in_use), 0)
        << c.name;
    sys::ClearFaults();
    EXPECT_EQ(in_use, 7) << c.name;
    EXPECT_EQ(FileExists(LockPath(s)), c.directory) << c.name;
    EXPECT_EQ(CurrentSessionName(), "") << c.name;
    EXPECT_FALSE(Core().SessionInUse) << c.name;
    std::vector<std::string> records;
    for (const Rec& r : ReadRing())
      if (r.Sequence > mark) records.push_back(r.Message);
    EXPECT_EQ(records, c.records) << c.name;
    if (c.directory) ::rmdir(LockPath(s).c_str());
  }
}

TEST_F(InitializeCoreTest, AbsentSessionWritesOneRecordAndNothingElse) {
  int32_t in_use = 7;
  EXPECT_EQ(::InitializeCore(nullptr, ReplyA, nullptr, TimerA, &in_use), 0);
  EXPECT_EQ(in_use, 7);
  EXPECT_EQ(Core().TimerCallback.load(), nullptr);
  std::vector<Rec> recs = ReadRing();
  ASSERT_EQ(recs.size(), 1u);
  EXPECT_EQ(recs[0].Message, "Core Initialization Failed");
  EXPECT_EQ(recs[0].Session, "");
}

TEST_F(InitializeCoreTest, AbsentInUseIsNeverWritten) {
  std::string s = Session("noinuse");
  TTCPIPSettings settings = MakeSettings(1, "127.0.0.1", 1000);
  EXPECT_EQ(::InitializeCore(s.c_str(), nullptr, &settings, nullptr, nullptr), 1);
  EXPECT_EQ(::InitializeCore(s.c_str(), nullptr, &settings, nullptr, nullptr), 0);
  EXPECT_TRUE(Core().SessionInUse);
}

TEST_F(InitializeCoreTest, OnceALockWasFoundUnloadRemovesNone) {
  std::string a = Session("mine");
  std::string b = Session("later");
  TTCPIPSettings settings = MakeSettings(1, "127.0.0.1", 1000);
  int32_t in_use = 0;
  ASSERT_EQ(::InitializeCore(a.c_str(), nullptr, &settings, nullptr, &in_use), 1);
  ASSERT_EQ(::InitializeCore(a.c_str(), nullptr, &settings, nullptr, &in_use), 0);
  ASSERT_EQ(::InitializeCore(b.c_str(), nullptr, &settings, nullptr, &in_use), 1);
  Unload();
  EXPECT_TRUE(FileExists(LockPath(a)));
  EXPECT_TRUE(FileExists(LockPath(b)));
}

TEST_F(InitializeCoreTest, RingThatCannotOpenIsReportedOnceAndTheCoreStillWorks) {
  Unload();
  ::shm_unlink(ring_.c_str());
  sys::FailNth(sys::Call::ShmOpen, 1, EACCES);
  ::testing::internal::CaptureStderr();
  LibraryLoad();
  loaded_ = true;
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("debug ring not available"), std::string::npos) << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  EXPECT_EQ(DebugSharedView(), nullptr);

  std::string s = Session("noring");
  TTCPIPSettings settings = MakeSettings(1, "127.0.0.1", 1000);
  int32_t in_use = 0;
  EXPECT_EQ(::InitializeCore(s.c_str(), nullptr, &settings, nullptr, &in_use), 1);
}

TEST_F(InitializeCoreTest, WinSockPortErrorStoresTheEventsText) {
  const char* texts[] = {"General Socket Error",
                         "An error occurred when trying to write to the socket connection.",
                         "An error occurred when trying to read from the socket connection.",
                         "A connection request that was already accepted could not be completed.",
                         "An error occurred when trying to close a connection.",
                         "A problem occurred when trying to accept a client connection request."};
  TdtmdlCore& module = *Core().dtmdlCore;
  EXPECT_EQ(Core().LastSocketError.ErrorText[0], '\0');  // never opened: zeros
  for (int kind = 0; kind < 6; ++kind) {
    int code = 10050 + kind;
    module.WinSockPortError(&module.WinSockPort, -1, kind, code);
    EXPECT_EQ(code, 0);
    int32_t stored_code = Core().LastSocketError.ErrorCode;
    int32_t stored_flag = Core().LastSocketError.ErrorFlag;
    EXPECT_EQ(stored_code, 10050 + kind);
    EXPECT_EQ(stored_flag, 0);
    EXPECT_STREQ(Core().LastSocketError.ErrorText, texts[kind]);
  }
}

}  // namespace
}  // namespace tamlix::core::testing
