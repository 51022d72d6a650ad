// The serial line's port names and settings, over a pseudo-terminal.
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <fstream>
#include <stdexcept>

#include "SerialLine.h"

namespace tamlix::master {
namespace {

TEST(SerialLineTest, PortNames) {
  const struct {
    const char* port;
    const char* path;
  } cases[] = {{"COM1", "/dev/ttyS0"}, {"com3", "/dev/ttyS2"}, {"2", "/dev/ttyS1"},
               {"/dev/pts/7", "/dev/pts/7"}, {"COM0", "COM0"}, {"", ""}};
  for (const auto& c : cases) EXPECT_EQ(SerialDevicePath(c.port), c.path) << c.port;
}

class PtyTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0); }
  void TearDown() override {
    ::close(master);
    ::close(slave);
  }
  int master = -1, slave = -1;
  char name[256] = {};
};

TEST_F(PtyTest, RefusedSettingsNameTheKey) {
  const struct {
    TSerialOptions options;
    const char* word;
  } cases[] = {
      {{"", "", "", "", ""}, "Serial_Port"},
      {{name, "fast", "", "", ""}, "Serial_Baud"},
      {{name, "12345", "", "", ""}, "Serial_Baud"},
      {{name, "9600", "9", "", ""}, "Serial_DataBits"},
      {{name, "9600", "8", "X", ""}, "Serial_Parity"},
      {{name, "9600", "8", "N", "3"}, "Serial_StopBits"},
  };
  for (const auto& c : cases) {
    try {
      TSerialLine line(c.options);
      ADD_FAILURE() << "accepted " << c.word;
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(c.word), std::string::npos) << e.what();
    }
  }
}

TEST_F(PtyTest, ARegularFileIsNoSerialLine) {
  char path[] = "/tmp/serial-XXXXXX";
  const int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  ::close(fd);
  EXPECT_THROW(TSerialLine({path, "", "", "", ""}), std::runtime_error);
  ::unlink(path);
}

TEST_F(PtyTest, ReadsAndWritesWithEverySetting) {
  for (const TSerialOptions& o : {TSerialOptions{name, "", "", "", ""}, TSerialOptions{name, "115200", "7", "e", "2"},
                                  TSerialOptions{name, "300", "8", "Odd", "1"}}) {
    TSerialLine line(o);
    EXPECT_EQ(line.Read(std::chrono::milliseconds(10)), "");  // nothing yet: returns after the wait
    ASSERT_EQ(::write(master, "ab", 2), 2);
    std::string got;
    for (int i = 0; i < 50 && got.size() < 2; ++i) got += line.Read(std::chrono::milliseconds(20));
    EXPECT_EQ(got, "ab");
    EXPECT_TRUE(line.Write("xyz"));
    char buffer[8] = {};
    ASSERT_EQ(::read(master, buffer, sizeof buffer), 3);
    EXPECT_EQ(std::string(buffer, 3), "xyz");
  }
}

}  // namespace
}  // namespace tamlix::master
