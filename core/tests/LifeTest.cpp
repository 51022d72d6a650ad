// The real libTamlixCore.so through a host's whole life, driven by a host
// written in C (core_life_host.c) against switches on loopback: ending while
// claims are in flight, forked children that exit or start sessions of their
// own, cancelled threads, repeated connects, and load cycles. Each case runs
// at least 20 rounds, several processes at a time, to meet the races.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TestSwitch.h"

extern char** environ;

namespace fs = std::filesystem;
using tamlix::testing::TestSwitch;

namespace {

constexpr int kRounds = 20;
constexpr int kAtOnce = 8;
// Far below the connect deadline (30 s) that a stalled thread sits in: a
// host that ends must never wait for it.
constexpr auto kBound = std::chrono::seconds(10);

struct Outcome {
  int status = -1;
  std::string out;
  std::chrono::milliseconds took{0};
  bool hung = false;
};

bool ExitedCleanly(const Outcome& o) { return !o.hung && WIFEXITED(o.status) && WEXITSTATUS(o.status) == 0; }
bool Says(const Outcome& o, const std::string& line) { return ("\n" + o.out).find("\n" + line + "\n") != std::string::npos; }

// One line "key a b c ..." of the output, split after the key.
std::vector<std::string> Fields(const Outcome& o, const std::string& key) {
  std::istringstream lines(o.out);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string first;
    if (!(words >> first) || first != key) continue;
    std::vector<std::string> rest;
    for (std::string w; words >> w;) rest.push_back(w);
    return rest;
  }
  return {};
}

// A running host whose stdout is read into `out`.
struct Running {
  pid_t pid = -1;
  int out_fd = -1;
  int in_fd = -1;
  std::chrono::steady_clock::time_point begun;
  Outcome outcome;
  bool done = false;
};

Running Spawn(const std::vector<std::string>& args) {
  Running r;
  int out[2], in[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(in, O_CLOEXEC) != 0) return r;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  // A group of its own, so that a host's hung child goes with it.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attr, 0);
  r.begun = std::chrono::steady_clock::now();
  if (::posix_spawn(&r.pid, argv[0], &actions, &attr, argv.data(), environ) != 0) r.pid = -1;
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  ::close(in[0]);
  r.out_fd = out[0];
  r.in_fd = in[1];
  return r;
}

// Runs the hosts that `args` gives for rounds 0..n-1, kAtOnce at a time;
// each is killed when it runs past kBound (then `hung`). With `kill_when`,
// a host is sent SIGKILL as soon as it has printed that line.
std::vector<Outcome> RunRounds(int n, const std::function<std::vector<std::string>(int)>& args,
                               const std::string& kill_when = {}) {
  std::vector<Outcome> outcomes(static_cast<size_t>(n));
  std::map<int, Running> running;
  int next = 0;
  while (next < n || !running.empty()) {
    while (next < n && static_cast<int>(running.size()) < kAtOnce) {
      running[next] = Spawn(args(next));
      ++next;
    }
    std::vector<pollfd> fds;
    for (auto& [i, r] : running) fds.push_back({r.out_fd, POLLIN, 0});
    ::poll(fds.data(), fds.size(), 20);
    for (auto it = running.begin(); it != running.end();) {
      Running& r = it->second;
      // What the pipe holds now, without waiting: a child of a host that
      // hung may still hold its end.
      auto drain = [&r] {
        char buf[4096];
        pollfd p{r.out_fd, POLLIN, 0};
        while (::poll(&p, 1, 0) == 1) {
          ssize_t got = ::read(r.out_fd, buf, sizeof buf);
          if (got <= 0) break;
          r.outcome.out.append(buf, static_cast<size_t>(got));
        }
      };
      drain();
      if (!kill_when.empty() && Says(r.outcome, kill_when)) ::kill(r.pid, SIGKILL);
      auto took = std::chrono::steady_clock::now() - r.begun;
      int status = 0;
      pid_t w = r.pid > 0 ? ::waitpid(r.pid, &status, WNOHANG) : -1;
      if (w == 0 && took > kBound) {
        ::kill(-r.pid, SIGKILL);
        ::waitpid(r.pid, &status, 0);
        r.outcome.hung = true;
        w = r.pid;
      }
      if (w != 0) {
        if (r.pid > 0) ::kill(-r.pid, SIGKILL);  // whatever the host left running
        drain();  // what is left
        r.outcome.status = status;
        r.outcome.took = std::chrono::duration_cast<std::chrono::milliseconds>(took);
        ::close(r.out_fd);
        ::close(r.in_fd);
        outcomes[static_cast<size_t>(it->first)] = r.outcome;
        it = running.erase(it);
      } else {
        ++it;
      }
    }
  }
  return outcomes;
}

std::string Describe(const Outcome& o) {
  std::ostringstream s;
  s << (o.hung ? "hung, " : "") << "status " << o.status << " after " << o.took.count() << " ms:\n" << o.out;
  return s.str();
}

class LifeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("corelife." + std::to_string(::getpid()));
    fs::remove_all(root_);
    fs::create_directories(root_ / "host");
    fs::create_directories(root_ / "lib");
    host_ = root_ / "host" / "core_life_host";
    lib_ = root_ / "lib" / "libTamlixCore.so";
    fs::copy_file(CORE_LIFE_HOST_PATH, host_);
    fs::copy_file(CORE_LIBRARY_PATH, lib_);
  }
  void TearDown() override { fs::remove_all(root_); }

  std::vector<std::string> Host(const std::string& library, const std::string& scenario,
                                std::vector<std::string> options) {
    options.insert(options.begin(), {host_.string(), library, scenario});
    return options;
  }
  bool LockExists(const std::string& session) const { return fs::exists(root_ / "host" / (session + ".lck")); }
  static std::string Session(const std::string& name, int round) { return name + "-" + std::to_string(round); }

  fs::path root_, host_, lib_;
};

std::string Port(const char* key, const TestSwitch& sw) { return std::string(key) + "=" + std::to_string(sw.port()); }

// The host ends (exit(), a return from main or from inside the timer
// callback of a ResetSerial, _exit(), SIGKILL) while a thread sends claims
// without pause, or while each reply's callback sends the next one, or while
// a thread sits in a handshake that never completes:
// no crash, no wait for that thread, and the lock file as the end says: an
// exit removes it, _exit and SIGKILL leave it.
TEST_F(LifeTest, EndingWithClaimsInFlight) {
  TestSwitch echo({"--echo"});
  TestSwitch stall({"--plain", "--silent"});
  struct Case {
    const char* scenario;
    const TestSwitch* target;
    const char* end;
    bool lock_stays;
  } cases[] = {
      {"send-loop", &echo, "exit", false},  {"send-loop", &echo, "return", false},
      {"send-loop", &stall, "exit", false}, {"chain", &echo, "exit", false},
      {"chain", &echo, "return", false},    {"chain", &echo, "timer", false},
      {"send-loop", &echo, "_exit", true},
      {"chain", &echo, "_exit", true},      {"send-loop", &echo, "wait", true},
  };
  for (const Case& c : cases) {
    const std::string name = std::string(c.scenario) + "." + (c.target == &stall ? "stall" : "echo") + "." + c.end;
    const bool killed = std::string(c.end) == "wait";
    auto outcomes = RunRounds(
        kRounds,
        [&](int i) {
          return Host(lib_.string(), c.scenario,
                      {"session=" + Session(name, i), Port(c.target == &stall ? "stall" : "reply", *c.target),
                       "delay=" + std::to_string((i * 7) % 40), std::string("end=") + c.end});
        },
        killed ? "waiting" : "");
    for (int i = 0; i < kRounds; ++i) {
      const Outcome& o = outcomes[static_cast<size_t>(i)];
      const std::string what = name + " round " + std::to_string(i) + ": " + Describe(o);
      if (killed) {
        EXPECT_TRUE(!o.hung && WIFSIGNALED(o.status) && WTERMSIG(o.status) == SIGKILL) << what;
      } else {
        EXPECT_TRUE(ExitedCleanly(o)) << what;
      }
      EXPECT_TRUE(Says(o, "start 1") && Says(o, killed ? "waiting" : "ending")) << what;
      EXPECT_EQ(LockExists(Session(name, i)), c.lock_stays) << what;
    }
  }
}

// A forked child calls exit() while, in the parent, one thread holds the
// export lock in a stalled handshake and another waits for it: the child
// ends at once and leaves the parent's lock file, which the parent's own
// exit (with both threads still inside) then removes.
TEST_F(LifeTest, ForkedChildThatExitsEndsAtOnce) {
  TestSwitch stall({"--plain", "--silent"});
  auto outcomes = RunRounds(kRounds, [&](int i) {
    return Host(lib_.string(), "fork-exit",
                {"session=" + Session("forkexit", i), Port("stall", stall), "delay=" + std::to_string(20 + i % 5 * 10)});
  });
  for (int i = 0; i < kRounds; ++i) {
    const Outcome& o = outcomes[static_cast<size_t>(i)];
    const std::string what = "round " + std::to_string(i) + ": " + Describe(o);
    EXPECT_TRUE(ExitedCleanly(o)) << what;
    EXPECT_TRUE(Says(o, "child 0")) << what;
    EXPECT_TRUE(Says(o, "lock 1")) << what;
    EXPECT_FALSE(LockExists(Session("forkexit", i))) << what;
  }
}

// A forked child starts a session of its own and gets its reply while the
// parent's worker waits for a slow reply, or while a parent thread holds
// the export lock: the child never waits for what stayed behind, its exit
// removes its own lock file only, and the parent's worker sleeps through
// the child's life (under a tenth of the wall time in CPU) and gets its
// reply.
TEST_F(LifeTest, ForkedChildCallsTheExports) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the thread sanitizer cannot run threads that a child starts after a fork of many threads";
#endif
  TestSwitch slow({"--delay-ms", "1500", "--reply", "slow"});
  TestSwitch stall({"--plain", "--silent"});
  TestSwitch echo({"--echo"});
  struct Case {
    const char* name;
    std::string parent;
  } cases[] = {
      {"worker waits", Port("reply", slow)},
      {"export lock held", Port("stall", stall)},
  };
#if defined(__SANITIZE_ADDRESS__)
  // The sanitizer's own allocator does not survive a fork while another
  // thread allocates: the child forks only once the parent's threads wait.
  constexpr int kQuiet = 30;
#else
  constexpr int kQuiet = 0;
#endif
  for (const Case& c : cases) {
    const bool waits = c.parent.rfind("reply", 0) == 0;
    auto outcomes = RunRounds(kRounds, [&](int i) {
      return Host(lib_.string(), "fork-calls",
                  {"session=" + Session("forkcalls", i), c.parent, Port("child", echo),
                   "delay=" + std::to_string(kQuiet + i % 4 * 10)});
    });
    for (int i = 0; i < kRounds; ++i) {
      const Outcome& o = outcomes[static_cast<size_t>(i)];
      const std::string what = std::string(c.name) + " round " + std::to_string(i) + ": " + Describe(o);
      EXPECT_TRUE(ExitedCleanly(o)) << what;
      EXPECT_TRUE(Says(o, "child 0")) << what;
      if (waits) {
        EXPECT_TRUE(Says(o, "parent-reply 1")) << what;
        std::vector<std::string> f = Fields(o, "cpu-ms");
        ASSERT_EQ(f.size(), 3u) << what;
        EXPECT_LT(std::stol(f[0]) * 10, std::stol(f[2])) << what;
      }
      EXPECT_FALSE(LockExists(Session("forkcalls", i))) << what;
      EXPECT_FALSE(LockExists(Session("forkcalls", i) + "-child")) << what;
    }
  }
}

// A thread cancelled (deferred or asynchronous) while it calls SendData, or
// the direct library's Process_claim, in a loop: the request takes effect
// outside the library, the process goes on, and the next call gets its
// reply (nothing was left locked).
TEST_F(LifeTest, CancelledThreadsEndOutsideTheLibrary) {
  TestSwitch echo({"--echo"});
  std::ofstream(root_ / "host" / "TamlixTCP.INI")
      << "[Global TCP/IP Data]\r\nAddress=127.0.0.1\r\nPort=" << echo.port() << "\r\nUse=0\r\n";
  struct Case {
    std::string library;
    const char* type;
  } cases[] = {
      {lib_.string(), "deferred"},
      {lib_.string(), "async"},
      {DIRECT_LIBRARY_PATH, "deferred"},
      {DIRECT_LIBRARY_PATH, "async"},
  };
  for (const Case& c : cases) {
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizer cannot follow the unwinding of an asynchronous
    // cancellation (the frames it leaves stay poisoned, and the thread's end
    // then reports them): that mode is checked in the other builds.
    if (std::string(c.type) == "async") continue;
#endif
    const std::string name = fs::path(c.library).filename().string() + " " + c.type;
    auto outcomes = RunRounds(kRounds, [&](int i) {
      return Host(c.library, "cancel",
                  {"session=" + Session("cancel", i), Port("reply", echo), "delay=" + std::to_string(1 + i * 3 % 30),
                   std::string("type=") + c.type});
    });
    for (int i = 0; i < kRounds; ++i) {
      const Outcome& o = outcomes[static_cast<size_t>(i)];
      const std::string what = name + " round " + std::to_string(i) + ": " + Describe(o);
      EXPECT_TRUE(ExitedCleanly(o)) << what;
      EXPECT_TRUE(Says(o, "cancelled 1")) << what;
      EXPECT_TRUE(Says(o, "after 1")) << what;
    }
  }
}

// MakeSocketConnection called again and again, with a set-up now and then,
// keeps one socket open at a time; an unload leaves none (20 loads of 30
// calls).
TEST_F(LifeTest, RepeatedConnectsKeepOneSocket) {
  TestSwitch echo({"--echo"});
  auto outcomes = RunRounds(1, [&](int) { return Host(lib_.string(), "make-socket", {Port("reply", echo)}); });
  EXPECT_TRUE(ExitedCleanly(outcomes[0])) << Describe(outcomes[0]);
  EXPECT_TRUE(Says(outcomes[0], "flat 1")) << Describe(outcomes[0]);
}

// 300 loads and unloads, a claim answered in each: threads, descriptors,
// mappings and resident memory stay where they were after the first few.
// (Under a sanitizer the host checks for leaks instead of the last two: the
// sanitizer's own allocator and shadow grow with every load.)
TEST_F(LifeTest, LoadCyclesStayFlat) {
  TestSwitch echo({"--echo"}, std::chrono::seconds(10), /*logRequests=*/false);
  auto outcomes = RunRounds(1, [&](int) { return Host(lib_.string(), "cycles", {Port("reply", echo), "rounds=300"}); });
  const Outcome& o = outcomes[0];
  ASSERT_TRUE(ExitedCleanly(o)) << Describe(o);
  EXPECT_TRUE(Says(o, "claims 1")) << Describe(o);
  std::vector<std::string> warm = Fields(o, "warm"), end = Fields(o, "end");
  ASSERT_EQ(warm.size(), 8u) << Describe(o);
  ASSERT_EQ(end.size(), 8u) << Describe(o);
  EXPECT_EQ(warm[1], end[1]) << "threads\n" << Describe(o);
  EXPECT_EQ(warm[3], end[3]) << "descriptors\n" << Describe(o);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  EXPECT_EQ(warm[5], end[5]) << "mappings\n" << Describe(o);
  EXPECT_LT(std::stol(end[7]) - std::stol(warm[7]), 4096) << "resident kB\n" << Describe(o);
#endif
}

}  // namespace
