// The asynchronous road end to end, as a host meets it: the real
// libTamlixDirect.so over the real libTamlixCore.so, against the test switch
// over TLS on loopback, with the records read back from the live ring.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "RingRecords.h"
#include "TestSwitch.h"
#include "UnitDebugSys.h"
#include "platform/ExeDir.h"
#include "tamlix/TamlixDirect.h"

namespace {

using tamlix::testing::TestSwitch;
namespace rr = tamlix::direct::testing;

// What a host's callback saw: each reply and the thread it came on.
struct Inbox {
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<std::string> replies;
  std::thread::id thread;

  void Take(const char* data) {
    std::lock_guard<std::mutex> lock(mutex);
    replies.emplace_back(data ? data : "");
    thread = std::this_thread::get_id();
    arrived.notify_all();
  }
  bool WaitFor(std::size_t n, std::chrono::milliseconds wait = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(mutex);
    return arrived.wait_for(lock, wait, [&] { return replies.size() >= n; });
  }
};

Inbox g_first;
Inbox g_second;
void FirstCallback(const char* data) { g_first.Take(data); }
void SecondCallback(const char* data) { g_second.Take(data); }

class DirectLibraryTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { tamlix::OpenDebugShared(); }

  void SetUp() override {
    static int n = 0;
    session_ = "direct-lib-" + std::to_string(::getpid()) + "-" + std::to_string(++n);
  }
  void TearDown() override {
    for (const auto& s : sessions_) std::filesystem::remove(tamlix::platform::ExecutableDirectory() + s + ".lck");
  }

  TTCPIPSettings SettingsFor(const TestSwitch& sw, int32_t headerLength = 0, int32_t defaultHeader = 0) {
    TTCPIPSettings s{};
    s.Port = sw.port();
    std::memcpy(s.Address.Chars, "127.0.0.1", 9);
    s.Address.Length = 9;
    s.TimeOut = 5000;
    s.Headerlength = headerLength;
    s.DefaultHeader = defaultHeader;
    return s;
  }
  std::string NewSession() {
    sessions_.push_back(session_ + "-" + std::to_string(sessions_.size()));
    return sessions_.back();
  }

  std::string session_;
  std::vector<std::string> sessions_;
};

TEST_F(DirectLibraryTest, FramedClaimGoesOutAndTheReplyReachesTheHostOnTheWorkerThread) {
  TestSwitch sw({"--reply", "ACCEPTED"});
  TTCPIPSettings settings = SettingsFor(sw, 1, 1);
  const std::string session = NewSession();
  const int mark = rr::LastSequence();
  ASSERT_EQ(InitializeDirect(session.c_str(), &settings, 0, FirstCallback), 1);
  const std::size_t before = g_first.replies.size();

  TCoreStatus status{};
  status.ErrorCode = 42;
  ASSERT_EQ(processDataTest("\x02" "0004abc\x03", &status), 1);
  ASSERT_TRUE(g_first.WaitFor(before + 1));
  EXPECT_EQ(g_first.replies.back(), "ACCEPTED");
  EXPECT_NE(g_first.thread, std::this_thread::get_id());
  EXPECT_EQ(status.ErrorCode, 42) << "a successful send leaves the status as it was";
  EXPECT_EQ(sw.Request(1), "\x02" "0018011brindlemossabc\x03");

  auto records = rr::RecordsSince(mark);
  EXPECT_EQ(rr::MissingInOrder(records, {"Begin Direct Initialization", "Set Data Receive Callback Procedure",
                                         "Attempting to Initialize Core dll", "Direct initialization succeeded ",
                                         "Callback Executed"}),
            "")
      << rr::Messages(records);
  const rr::TRecord* executed = nullptr;
  for (const auto& r : records)
    if (r.message == "Callback Executed" && r.module == "TamlixDirect.dll") executed = &r;
  ASSERT_NE(executed, nullptr) << rr::Messages(records);
  EXPECT_EQ(executed->procedure, session);
  EXPECT_EQ(executed->session, "");
  EXPECT_EQ(executed->detail, "ACCEPTED");
}

TEST_F(DirectLibraryTest, ProcessDataSendsTheClaimUnchanged) {
  TestSwitch sw({"--echo"});
  TTCPIPSettings settings = SettingsFor(sw, 1, 1);
  ASSERT_EQ(InitializeDirect(NewSession().c_str(), &settings, 0, FirstCallback), 1);
  const std::size_t before = g_first.replies.size();
  TCoreStatus status{};
  ASSERT_EQ(processData("as-is\x03", &status), 1);
  ASSERT_TRUE(g_first.WaitFor(before + 1));
  EXPECT_EQ(sw.Request(1), "as-is\x03");
  EXPECT_EQ(g_first.replies.back(), "as-is\x03");
}

TEST_F(DirectLibraryTest, SessionInUseGivesFalse) {
  TestSwitch sw;
  TTCPIPSettings settings = SettingsFor(sw);
  const std::string session = NewSession();
  ASSERT_EQ(InitializeDirect(session.c_str(), &settings, 0, FirstCallback), 1);
  const int mark = rr::LastSequence();
  EXPECT_EQ(InitializeDirect(session.c_str(), &settings, 0, FirstCallback), 0);
  auto records = rr::RecordsSince(mark);
  EXPECT_EQ(rr::MissingInOrder(records, {"Failure to Initialize Core", "Direct initialization failed "}), "")
      << rr::Messages(records);
  EXPECT_EQ(rr::Find(records, "Failure to Initialize Core")->procedure, "Initialize Serial");
}

TEST_F(DirectLibraryTest, NilCallbackKeepsTheOneSetBefore) {
  TestSwitch sw({"--reply", "to-second"});
  TTCPIPSettings settings = SettingsFor(sw);
  SetReceiveCallback(SecondCallback);
  ASSERT_EQ(InitializeDirect(NewSession().c_str(), &settings, 0, nullptr), 1);
  const std::size_t first = g_first.replies.size();
  const std::size_t second = g_second.replies.size();
  ASSERT_EQ(processData("claim\x03", nullptr), 1);
  ASSERT_TRUE(g_second.WaitFor(second + 1));
  EXPECT_EQ(g_second.replies.back(), "to-second");
  EXPECT_EQ(g_first.replies.size(), first);
}

TEST_F(DirectLibraryTest, WithoutCallbackTheReplyIsOnlyRecorded) {
  TestSwitch sw({"--reply", "nobody-listens"});
  TTCPIPSettings settings = SettingsFor(sw);
  ASSERT_EQ(InitializeDirect(NewSession().c_str(), &settings, 0, FirstCallback), 1);
  SetReceiveCallback(nullptr);
  const std::size_t first = g_first.replies.size();
  const int mark = rr::LastSequence();
  ASSERT_EQ(processData("claim\x03", nullptr), 1);
  EXPECT_TRUE(rr::WaitForRecord(mark, "Warning:Receive Data Callback not Set"));
  EXPECT_EQ(g_first.replies.size(), first);
}

TEST_F(DirectLibraryTest, SendFailureComesBackInTheStatus) {
  TTCPIPSettings settings{};
  settings.Port = 1;  // nothing listens there
  std::memcpy(settings.Address.Chars, "127.0.0.1", 9);
  settings.Address.Length = 9;
  settings.TimeOut = 1000;
  ASSERT_EQ(InitializeDirect(NewSession().c_str(), &settings, 0, FirstCallback), 1);
  TCoreStatus status{};
  EXPECT_EQ(processDataTest("claim", &status), 0);
  EXPECT_EQ(status.ErrorCode, -1);
  EXPECT_EQ(status.ErrorFlag, 1);
}

TEST_F(DirectLibraryTest, ExportsExactlyTheInterface) {
  void* self = ::dlopen("libTamlixDirect.so.1", RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(self, nullptr) << ::dlerror();
  for (const char* name : {"InitializeDirect", "SetReceiveCallback", "ReceiveData", "processData", "processDataTest",
                           "Load_ini", "Load_ini_S", "Process_claim", "Process_claim_S"})
    EXPECT_NE(::dlsym(self, name), nullptr) << name;
  for (const char* name : {"_ZN6tamlix6direct14FrameClaimDataESt17basic_string_viewIcSt11char_traitsIcEEii",
                           "_ZN6tamlix6direct15ReadWriteSocketEPKcPKiPcPi", "WriteDebugRecord"})
    EXPECT_EQ(::dlsym(self, name), nullptr) << name;
  ::dlclose(self);
}

}  // namespace
