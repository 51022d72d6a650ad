#include "platform/Sys.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>

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

}  // namespace
}  // namespace tamlix::sys
