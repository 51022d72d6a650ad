// The real libTamlixCore.so, loaded by a host program in a directory of its
// own while the library lies in another: lock files follow the host, and
// the load and unload rules hold across dlopen and dlclose.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "TestSwitch.h"
#include "platform/tests/TestProcesses.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

struct ProcessRun {
  int status = -1;
  std::string out;
};

ProcessRun Spawn(const std::vector<std::string>& args) {
  int out[2];
  EXPECT_EQ(::pipe(out), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  ProcessRun run;
  int err = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  if (err == 0) {
    char buf[4096];
    ssize_t n;
    while ((n = ::read(out[0], buf, sizeof buf)) > 0) run.out.append(buf, static_cast<size_t>(n));
    ::waitpid(pid, &run.status, 0);
  }
  ::close(out[0]);
  return run;
}

class LibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("coreso." + std::to_string(::getpid()));
    fs::remove_all(root_);
    fs::create_directories(root_ / "host");
    fs::create_directories(root_ / "lib");
    host_ = root_ / "host" / "core_host";
    lib_ = root_ / "lib" / "libTamlixCore.so";
    fs::copy_file(CORE_HOST_PATH, host_);
    fs::copy_file(CORE_LIBRARY_PATH, lib_);
  }
  void TearDown() override { fs::remove_all(root_); }

  ProcessRun Host(std::vector<std::string> commands) {
    commands.insert(commands.begin(), {host_.string(), lib_.string()});
    return Spawn(commands);
  }
  static bool Clean(const ProcessRun& r) { return WIFEXITED(r.status) && WEXITSTATUS(r.status) == 0; }
  std::set<std::string> LockFiles(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir))
      if (e.path().extension() == ".lck" || e.path().filename() == ".lck") names.insert(e.path().filename());
    return names;
  }

  fs::path root_, host_, lib_;
};

TEST_F(LibraryTest, TwoSessionsLeaveTwoLocksAndUnloadRemovesOnlyTheLast) {
  ProcessRun r = Host({"init:A", "init:B", "exists:A.lck", "exists:B.lck", "unload"});
  ASSERT_TRUE(Clean(r)) << r.out;
  EXPECT_EQ(r.out, "init A 1 -1\ninit B 1 -1\nexists A.lck 1\nexists B.lck 1\nunloaded\n");
  EXPECT_EQ(LockFiles(root_ / "host"), std::set<std::string>{"A.lck"});
  EXPECT_TRUE(LockFiles(root_ / "lib").empty());
}

TEST_F(LibraryTest, SecondStartOfOneSessionGets101AndUnloadKeepsItsLock) {
  ProcessRun r = Host({"init:A", "init:A", "unload"});
  ASSERT_TRUE(Clean(r)) << r.out;
  EXPECT_EQ(r.out, "init A 1 -1\ninit A 0 101\nunloaded\n");
  EXPECT_EQ(LockFiles(root_ / "host"), std::set<std::string>{"A.lck"});
}

TEST_F(LibraryTest, UnloadWithoutAStartRemovesTheEmptyNamedLockOnly) {
  std::ofstream(root_ / "host" / ".lck") << "x";
  std::ofstream(root_ / "host" / "X.lck") << "x";
  ProcessRun r = Host({"unload"});
  ASSERT_TRUE(Clean(r)) << r.out;
  EXPECT_EQ(LockFiles(root_ / "host"), std::set<std::string>{"X.lck"});
}

TEST_F(LibraryTest, ExitWithoutUnloadStillRunsTheUnloadRules) {
  ProcessRun r = Host({"init:A", "init:B"});
  ASSERT_TRUE(Clean(r)) << r.out;
  EXPECT_EQ(LockFiles(root_ / "host"), std::set<std::string>{"A.lck"});
}

// A host that unloads, or simply ends, while a reply worker still waits on
// a silent switch: the worker is stopped and joined, the host exits cleanly.
TEST_F(LibraryTest, UnloadOrExitWhileAWorkerWaitsEndsCleanly) {
  tamlix::testing::TestSwitch sw({"--silent"});
  std::string port = "port:" + std::to_string(sw.port());
  for (bool unload : {true, false}) {
    std::vector<std::string> cmds{port, "timeout:60000", "init:W", "send:claim"};
    if (unload) cmds.push_back("unload");
    auto begun = std::chrono::steady_clock::now();
    ProcessRun r = Host(cmds);
    EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(20));
    ASSERT_TRUE(Clean(r)) << "unload " << unload << ": status " << r.status << "\n" << r.out;
    EXPECT_EQ(r.out, "init W 1 -1\nsend 1\n" + std::string(unload ? "unloaded\n" : ""));
    EXPECT_TRUE(LockFiles(root_ / "host").empty());
  }
}

// A host that forks to run a helper, and whose child ends through exit()
// (as after a failed exec) while the parent's session runs and its reply
// worker waits: the child's exit runs the library's unload code. The lock
// file, the ring and the worker stay the parent's; the parent's later
// records reach a viewer, and its own unload still removes its lock. Nothing
// the library opened would pass to the helper's program.
TEST_F(LibraryTest, ForkedChildThatExitsLeavesTheParentsSessionAlone) {
  tamlix::testing::TestSwitch sw({"--delay-ms", "2000", "--reply", "pong"});
  tamlix::testing::RunningProgram host({host_.string(), lib_.string(), "port:" + std::to_string(sw.port()),
                                        "timeout:30000", "init:A", "send:first", "inherited", "fork-exit",
                                        "exists:A.lck", "await:1", "send:second", "await:2", "pause", "unload",
                                        "exists:A.lck"});
  ASSERT_TRUE(host.WaitFor("paused\n"));
  ProcessRun view = Spawn({DEBUGVIEW_PATH, "--data"});
  host.Write("\n");
  auto r = host.Finish();
  ASSERT_TRUE(r.clean) << r.out;
  EXPECT_EQ(r.out,
            "init A 1 -1\nsend 1\ninherited 0\nfork-exit 0\nexists A.lck 1\nreply pong\nawait 1 1\nsend 1\n"
            "reply pong\nawait 2 1\npaused\nunloaded\nexists A.lck 0\n");
  EXPECT_TRUE(Clean(view)) << view.out;
  EXPECT_NE(view.out.find("data: second"), std::string::npos) << view.out;
  size_t callbacks = 0;
  for (size_t at = 0; (at = view.out.find("[A]  Callback Executed", at)) != std::string::npos; ++at) ++callbacks;
  EXPECT_EQ(callbacks, 2u) << "both replies, before and after the fork:\n" << view.out;
}

TEST_F(LibraryTest, ExportsExactlyTheEightNames) {
  ProcessRun r = Spawn({"/usr/bin/nm", "-D", "--defined-only", lib_.string()});
  ASSERT_TRUE(Clean(r)) << r.out;
  std::set<std::string> names;
  std::istringstream lines(r.out);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string address, type, name;
    if (fields >> address >> type >> name) names.insert(name);
  }
  EXPECT_EQ(names, (std::set<std::string>{"ResetSerial", "ClearForRead", "SendData", "SetTimeNotifyEvent",
                                          "MakeSocketConnection", "TimeTest", "Init_SSL_Connect",
                                          "InitializeCore"}));
}

}  // namespace
