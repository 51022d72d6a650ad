#include "platform/NetState.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace tamlix::platform {
namespace {

// Runs the system dial with PATH pointing at a directory of our own.
class DialTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("netstate." + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
    const char* path = std::getenv("PATH");
    old_path_ = path ? path : "";
    ::setenv("PATH", dir_.c_str(), 1);
  }
  void TearDown() override {
    ::setenv("PATH", old_path_.c_str(), 1);
    std::filesystem::remove_all(dir_);
  }
  void FakeDialer(const std::string& body) {
    std::string file = (dir_ / "pon").string();
    std::ofstream(file) << "#!/bin/sh\n" << body << "\n";
    ::chmod(file.c_str(), 0755);
  }
  std::filesystem::path dir_;
  std::string old_path_;
};

TEST_F(DialTest, ResultIsTheDialersExitStatus) {
  FakeDialer("exit 0");
  EXPECT_EQ(SystemNetState().DialUnattended(), 0u);
  FakeDialer("exit 7");
  EXPECT_EQ(SystemNetState().DialUnattended(), 7u);
}

TEST_F(DialTest, NoDialerInstalledIsAnError) { EXPECT_NE(SystemNetState().DialUnattended(), 0u); }

TEST(NetStateTest, FlagsAreOnlyTheKnownOnes) {
  uint32_t flags = SystemNetState().ConnectedState();
  EXPECT_EQ(flags & ~(INTERNET_CONNECTION_MODEM | INTERNET_CONNECTION_LAN | INTERNET_RAS_INSTALLED), 0u);
  EXPECT_EQ((flags & INTERNET_RAS_INSTALLED) != 0, ::access("/usr/sbin/pppd", X_OK) == 0);
}

}  // namespace
}  // namespace tamlix::platform
