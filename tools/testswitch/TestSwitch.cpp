#include "TestSwitch.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace tamlix::testing {
namespace {

using Clock = std::chrono::steady_clock;

int DecodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

std::string MakeTempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/tamlix-testswitch-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (!::mkdtemp(buf.data())) throw std::runtime_error("TestSwitch: mkdtemp failed: " + std::string(std::strerror(errno)));
  return buf.data();
}

}  // namespace

const char* TestSwitch::ProgramPath() { return TAMLIX_TESTSWITCH_PATH; }

TestSwitch::TestSwitch(std::vector<std::string> args, std::chrono::milliseconds startTimeout, bool logRequests) {
  if (logRequests) {
    logDir_ = MakeTempDir();
    args.insert(args.begin(), {"--log-dir", logDir_});
  }
  args.insert(args.begin(), ProgramPath());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) {
    if (!logDir_.empty()) std::filesystem::remove_all(logDir_);
    throw std::runtime_error("TestSwitch: pipe failed");
  }
  pid_t parent = ::getpid();
  pid_ = ::fork();
  if (pid_ == 0) {
    // Only async-signal-safe calls between fork and exec.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(127);
    ::dup2(out[1], STDOUT_FILENO);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  stdoutFd_ = out[0];
  std::string failure;
  if (pid_ < 0) {
    failure = std::string("fork failed: ") + std::strerror(errno);
  } else {
    std::string line;
    auto deadline = Clock::now() + startTimeout;
    while (line.find('\n') == std::string::npos) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      pollfd p{stdoutFd_, POLLIN, 0};
      int rc = left > 0 ? ::poll(&p, 1, static_cast<int>(left)) : 0;
      if (rc < 0 && errno == EINTR) continue;
      if (rc <= 0) {
        failure = "no \"PORT n\" line within the time";
        break;
      }
      char buf[256];
      ssize_t n = ::read(stdoutFd_, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        failure = "the switch ended before it reported a port";
        break;
      }
      line.append(buf, static_cast<std::size_t>(n));
    }
    unsigned port = 0;
    char nl = 0;
    if (failure.empty() && (std::sscanf(line.c_str(), "PORT %u%c", &port, &nl) != 2 || nl != '\n' ||
                            port == 0 || port > 65535)) {
      failure = "unexpected first line from the switch: " + line;
    }
    port_ = static_cast<std::uint16_t>(port);
  }
  if (!failure.empty()) {
    int status = pid_ > 0 ? Stop() : -1;
    ::close(stdoutFd_);
    std::error_code ec;
    std::filesystem::remove_all(logDir_, ec);
    std::string what = "TestSwitch: " + failure;
    if (pid_ > 0) what += " (exit status " + std::to_string(status) + ")";
    throw std::runtime_error(what);
  }
}

TestSwitch::~TestSwitch() {
  Stop();
  if (stdoutFd_ >= 0) ::close(stdoutFd_);
  std::error_code ec;
  std::filesystem::remove_all(logDir_, ec);
}

std::optional<int> TestSwitch::WaitForExit(std::chrono::milliseconds wait) {
  if (exitStatus_ || pid_ <= 0) return exitStatus_;
  auto deadline = Clock::now() + wait;
  for (;;) {
    int status = 0;
    pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_ || (r < 0 && errno != EINTR)) {
      exitStatus_ = r == pid_ ? DecodeStatus(status) : -1;
      return exitStatus_;
    }
    if (Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

int TestSwitch::Stop() {
  if (pid_ <= 0) return -1;
  if (!exitStatus_) {
    ::kill(pid_, SIGTERM);
    if (!WaitForExit(std::chrono::seconds(5))) {
      ::kill(pid_, SIGKILL);
      WaitForExit(std::chrono::seconds(60));
    }
  }
  return exitStatus_.value_or(-1);
}

std::string TestSwitch::Request(int k, std::chrono::milliseconds wait) const {
  if (logDir_.empty()) throw std::runtime_error("TestSwitch: requests are not logged");
  std::string path = logDir_ + "/request-" + std::to_string(k) + ".bin";
  auto deadline = Clock::now() + wait;
  for (;;) {
    // The switch renames a complete file into place, so once it opens it is whole.
    std::ifstream in(path, std::ios::binary);
    if (in) {
      std::ostringstream bytes;
      bytes << in.rdbuf();
      return bytes.str();
    }
    if (Clock::now() >= deadline) throw std::runtime_error("TestSwitch: request " + std::to_string(k) + " was not logged");
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

int TestSwitch::RequestCount() const {
  int count = 0;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(logDir_, ec)) {
    std::string name = e.path().filename().string();
    if (name.rfind("request-", 0) == 0 && name.size() > 12 && name.compare(name.size() - 4, 4, ".bin") == 0) ++count;
  }
  return count;
}

}  // namespace tamlix::testing
