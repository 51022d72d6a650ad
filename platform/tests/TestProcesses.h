// Test helpers for real processes: a program run with its output read as it
// comes, and a group of forked processes that start at the same moment.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

extern char** environ;

namespace tamlix::testing {

// A program that runs while the test watches: its stdout is read as it
// comes, its stdin is the test's to write. Killed if still running at the
// end of the test.
class RunningProgram {
 public:
  explicit RunningProgram(const std::vector<std::string>& args) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) return;
    if (::pipe2(out, O_CLOEXEC) != 0) {
      ::close(in[0]);
      ::close(in[1]);
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    if (::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    in_ = in[1];
    out_ = out[0];
  }
  ~RunningProgram() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (in_ >= 0) ::close(in_);
    if (out_ >= 0) ::close(out_);
  }
  RunningProgram(const RunningProgram&) = delete;
  RunningProgram& operator=(const RunningProgram&) = delete;

  // Reads until `text` has been printed; false when the program ends or
  // `wait` passes first.
  bool WaitFor(const std::string& text, std::chrono::seconds wait = std::chrono::seconds(60)) {
    auto deadline = std::chrono::steady_clock::now() + wait;
    while (out_text_.find(text) == std::string::npos) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !ReadSome(static_cast<int>(left.count()))) return false;
    }
    return true;
  }
  void Write(const std::string& text) {
    [[maybe_unused]] ssize_t n = ::write(in_, text.data(), text.size());
  }
  void Signal(int sig) {
    if (pid_ > 0) ::kill(pid_, sig);
  }

  struct Result {
    bool clean = false;  // exited with status 0
    std::string out;
  };
  // Reads to the end of the output (up to 60 s) and reaps the program.
  Result Finish() {
    while (ReadSome(60000)) {
    }
    int status = 0;
    if (pid_ > 0) ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return {WIFEXITED(status) && WEXITSTATUS(status) == 0, out_text_};
  }

 private:
  bool ReadSome(int timeout_ms) {
    pollfd p{out_, POLLIN, 0};
    if (out_ < 0 || ::poll(&p, 1, timeout_ms) <= 0) return false;
    char buf[65536];
    ssize_t n = ::read(out_, buf, sizeof buf);
    if (n <= 0) return false;
    out_text_.append(buf, static_cast<size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  int in_ = -1, out_ = -1;
  std::string out_text_;
};

// Forks `count` processes that wait at one gate until all are made, then
// each runs body(index) and exits with its result. Their exit codes, in
// order (-1 for one that did not exit normally or could not be made).
inline std::vector<int> RunTogether(int count, const std::function<int(int index)>& body) {
  std::vector<int> codes(static_cast<size_t>(count), -1);
  int gate[2];
  if (::pipe(gate) != 0) return codes;
  std::vector<pid_t> children;
  for (int i = 0; i < count; ++i) {
    pid_t pid = ::fork();
    if (pid == 0) {
      ::close(gate[1]);
      char c;
      while (::read(gate[0], &c, 1) < 0 && errno == EINTR) {
      }
      ::_exit(body(i));
    }
    children.push_back(pid);
  }
  ::close(gate[0]);
  ::close(gate[1]);  // every child starts now
  for (size_t i = 0; i < children.size(); ++i) {
    int status = 0;
    if (children[i] > 0 && ::waitpid(children[i], &status, 0) == children[i] && WIFEXITED(status)) {
      codes[i] = WEXITSTATUS(status);
    }
  }
  return codes;
}

// Runs body() in a forked child that has dropped to `uid` and `gid` (real,
// effective and saved ids, no supplementary groups) and returns its exit
// code: -1 when it did not exit normally, 125 when the ids could not be set.
// No account is needed for the ids. The child ends with _exit: it runs none
// of the parent's exit code.
inline int RunAsUser(uid_t uid, gid_t gid, const std::function<int()>& body) {
  pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setresgid(gid, gid, gid) != 0 || ::setresuid(uid, uid, uid) != 0) {
      ::_exit(125);
    }
    ::_exit(body());
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The CPU time (user and system, all threads) this process has used so far,
// in seconds: for tests that a wait leaves the CPU idle.
inline double ProcessCpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace tamlix::testing
