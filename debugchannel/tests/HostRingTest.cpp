// A real host (claimhost, over both libraries) started while another user's
// object, or one that cannot be used, holds the ring's real name, and with a
// /dev/shm too small for the ring: the host starts within the ring's bound,
// says once that it runs without records, writes nothing into the object,
// gets no signal, and its claim reaches the switch.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "TestSwitch.h"
#include "platform/tests/TestNamespaces.h"
#include "platform/tests/TestProcesses.h"
#include "tamlix/DebugRecord.h"

namespace {

namespace fs = std::filesystem;

constexpr uid_t kOtherUser = 4321;
const std::string kRingPath = std::string("/dev/shm") + TAMLIX_DEBUG_RING_NAME;

std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = 0; (at = text.find(part, at)) != std::string::npos; at += part.size()) ++n;
  return n;
}

// A process of `uid` that made the ring's name first (with records of its
// own in it), holds it with `lock` and keeps it until destroyed.
class RingMadeByAnother {
 public:
  RingMadeByAnother(uid_t uid, mode_t mode, off_t size, int lock) {
    int ready[2];
    if (::pipe(ready) != 0 || ::pipe(hold_) != 0) return;
    const std::string mine(TAMLIX_DEBUG_RING_SIZE, '\x5A');
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(ready[0]);
      ::close(hold_[1]);
      if (::setgroups(0, nullptr) != 0 || ::setresgid(uid, uid, uid) != 0 || ::setresuid(uid, uid, uid) != 0) {
        ::_exit(125);
      }
      int fd = ::shm_open(TAMLIX_DEBUG_RING_NAME, O_RDWR | O_CREAT | O_EXCL, mode);
      if (fd < 0 || ::fchmod(fd, mode) != 0 || ::posix_fallocate(fd, 0, TAMLIX_DEBUG_RING_SIZE) != 0) ::_exit(3);
      if (::pwrite(fd, mine.data(), mine.size(), 0) != static_cast<ssize_t>(mine.size())) ::_exit(4);
      if (::ftruncate(fd, size) != 0 || ::flock(fd, lock) != 0) ::_exit(5);
      if (::write(ready[1], "r", 1) != 1) ::_exit(6);
      char c;
      while (::read(hold_[0], &c, 1) > 0) {
      }
      ::_exit(0);
    }
    ::close(ready[1]);
    ::close(hold_[0]);
    char c = 0;
    made_ = ::read(ready[0], &c, 1) == 1;
    ::close(ready[0]);
  }
  ~RingMadeByAnother() {
    if (hold_[1] >= 0) ::close(hold_[1]);
    if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
    ::shm_unlink(TAMLIX_DEBUG_RING_NAME);
  }
  bool made() const { return made_; }

 private:
  pid_t pid_ = -1;
  int hold_[2] = {-1, -1};
  bool made_ = false;
};

struct HostRun {
  int code = -1;  // -1: ended by a signal
  std::string out, err;
  std::chrono::steady_clock::duration took{};
};

// claimhost by the synchronous road, as `uid` (through RunAsUser), or with
// a /dev/shm of `shm_bytes` of its own when that is not 0.
HostRun RunHost(const std::string& ini_dir, uid_t uid, unsigned long shm_bytes = 0) {
  HostRun run;
  int out[2], err[2];
  if (::pipe(out) != 0 || ::pipe(err) != 0) return run;
  auto exec = [&] {
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    const char* argv[] = {CLAIMHOST_PATH, "--ini-dir", ini_dir.c_str(), SAMPLE_CLAIM, nullptr};
    ::execv(argv[0], const_cast<char**>(argv));
    return 127;
  };
  auto begun = std::chrono::steady_clock::now();
  if (shm_bytes) {
    run.code = tamlix::testing::RunWithPrivateMounts([&] {
      return tamlix::testing::MountSmallTmpfs("/dev/shm", shm_bytes) ? exec() : 126;
    });
  } else {
    run.code = tamlix::testing::RunAsUser(uid, uid, exec);
  }
  run.took = std::chrono::steady_clock::now() - begun;
  ::close(out[1]);
  ::close(err[1]);
  for (auto [fd, text] : {std::pair{out[0], &run.out}, std::pair{err[0], &run.err}}) {
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) text->append(buf, static_cast<size_t>(n));
    ::close(fd);
  }
  return run;
}

class HostRingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::shm_unlink(TAMLIX_DEBUG_RING_NAME);
    char tmpl[] = "/tmp/tamlix-hostring-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    fs::permissions(dir_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
    std::ofstream(dir_ / "TamlixTCP.INI") << "[Global TCP/IP Data]\r\nAddress=127.0.0.1\r\nPort=" << switch_.port()
                                           << "\r\n";
  }
  void TearDown() override {
    fs::remove_all(dir_);
    ::shm_unlink(TAMLIX_DEBUG_RING_NAME);
  }
  // What every such run must show; `why` is the refusal's error number.
  void ExpectRunWithoutRecords(const HostRun& r, const std::string& why, int claims, const std::string& what) {
    EXPECT_EQ(r.code, 0) << what << " (-1: a signal)\n" << r.err;
    EXPECT_FALSE(r.out.empty()) << what << ": no reply printed";
    EXPECT_EQ(Count(r.err, "debug ring not available"), 1u) << what << ":\n" << r.err;
    EXPECT_NE(r.err.find("Error: " + why + ")"), std::string::npos) << what << ":\n" << r.err;
    EXPECT_LT(r.took, std::chrono::seconds(20)) << what;
    EXPECT_EQ(switch_.RequestCount(), claims) << what << ": the claim did not reach the switch";
  }

  tamlix::testing::TestSwitch switch_{{"--reply", "ACCEPTED"}};
  fs::path dir_;
};

TEST_F(HostRingTest, ARingThatIsNotThisUsersOwnIsNeverUsed) {
  const off_t kSize = TAMLIX_DEBUG_RING_SIZE;
  struct Case {
    const char* what;
    uid_t maker;
    mode_t mode;
    off_t size;
    int lock;
    uid_t host;
    const char* why;
  } cases[] = {
      {"another user's ring open to all", kOtherUser, 0666, kSize, LOCK_SH, 0, "13"},
      {"another user's ring, truncated", kOtherUser, 0666, 0, LOCK_SH, 0, "13"},
      {"another user's ring held with LOCK_EX", kOtherUser, 0666, kSize, LOCK_EX, 0, "13"},
      {"root's ring open to all, the host another user", 0, 0666, kSize, LOCK_SH, kOtherUser, "13"},
      {"this user's ring held with LOCK_EX", 0, 0600, kSize, LOCK_EX, 0, "110"},
  };
  int claims = 0;
  for (const Case& c : cases) {
    RingMadeByAnother ring(c.maker, c.mode, c.size, c.lock);
    ASSERT_TRUE(ring.made()) << c.what;
    struct stat before{};
    ASSERT_EQ(::stat(kRingPath.c_str(), &before), 0);
    std::string bytes = FileBytes(kRingPath);

    HostRun r = RunHost(dir_.string(), c.host);
    ExpectRunWithoutRecords(r, c.why, ++claims, c.what);
    struct stat after{};
    ASSERT_EQ(::stat(kRingPath.c_str(), &after), 0) << c.what;
    EXPECT_EQ(after.st_ino, before.st_ino) << c.what << ": replaced";
    EXPECT_EQ(after.st_size, before.st_size) << c.what;
    EXPECT_TRUE(FileBytes(kRingPath) == bytes) << c.what << ": written into";
  }
}

TEST_F(HostRingTest, AShmTooSmallForTheRingFailsItsOpeningWithError28AndTheHostRunsOn) {
  HostRun r = RunHost(dir_.string(), 0, 256 * 1024);
  ExpectRunWithoutRecords(r, "28", 1, "a small /dev/shm");
}

}  // namespace
