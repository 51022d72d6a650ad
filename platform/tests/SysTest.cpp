#include "platform/Sys.h"

#include "platform/tests/TestProcesses.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace tamlix::sys {
namespace {

class SysTest : public ::testing::Test {
 protected:
  void TearDown() override { ClearFaults(); }
};

TEST_F(SysTest, NthCallFailsWithChosenErrnoAndOthersPass) {
  FailNth(Call::Open, 2, ENOSPC);
  int a = open("/dev/null", O_RDONLY);
  ASSERT_GE(a, 0);
  errno = 0;
  EXPECT_EQ(open("/dev/null", O_RDONLY), -1);
  EXPECT_EQ(errno, ENOSPC);
  int c = open("/dev/null", O_RDONLY);
  EXPECT_GE(c, 0) << "a one-shot fault fires once";
  ::close(a);
  ::close(c);
}

TEST_F(SysTest, StickyFaultKeepsFailingUntilCleared) {
  FailNth(Call::Write, 1, EIO, true);
  int fd = ::open("/dev/null", O_WRONLY);
  ASSERT_GE(fd, 0);
  for (int i = 0; i < 3; ++i) {
    errno = 0;
    EXPECT_EQ(write(fd, "x", 1), -1);
    EXPECT_EQ(errno, EIO);
  }
  ClearFaults();
  EXPECT_EQ(write(fd, "x", 1), 1);
  ::close(fd);
}

TEST_F(SysTest, FailedCloseStillReleasesTheDescriptor) {
  int fd = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(fd, 0);
  FailNth(Call::Close, 1, EIO);
  EXPECT_EQ(close(fd), -1);
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1) << "descriptor leaked";
}

TEST_F(SysTest, FallocateFaultReturnsTheErrorNumberAndLeavesErrno) {
  char path[] = "/tmp/tamlix-sys-XXXXXX";
  int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  ::unlink(path);
  FailNth(Call::Fallocate, 1, ENOSPC);
  errno = 0;
  EXPECT_EQ(posix_fallocate(fd, 0, 4096), ENOSPC);
  EXPECT_EQ(errno, 0);
  EXPECT_EQ(posix_fallocate(fd, 0, 4096), 0);
  struct stat st {};
  ASSERT_EQ(::fstat(fd, &st), 0);
  EXPECT_EQ(st.st_size, 4096);
  ::close(fd);
}

TEST_F(SysTest, ChildRunsUnderTheGivenIds) {
  int code = tamlix::testing::RunAsUser(4242, 4343, [] {
    return ::getuid() == 4242 && ::geteuid() == 4242 && ::getgid() == 4343 && ::getegid() == 4343 ? 0 : 1;
  });
  EXPECT_EQ(code, 0);
}

}  // namespace
}  // namespace tamlix::sys
