// The system's connection state and dial: the mapping from interfaces and
// the dialer's default peer to the flags, through the core's start down to
// the dial, with the sources pointed at the test's own.
#include "platform/NetState.h"

#include <net/if.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "CoreTestSupport.h"

namespace tamlix::core::testing {
namespace {

namespace fs = std::filesystem;
using platform::NetInterface;

constexpr unsigned kRunning = IFF_UP | IFF_RUNNING;

fs::path FreshDirectory(const std::string& name) {
  fs::path dir = fs::temp_directory_path() / (name + "." + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

void WriteScript(const fs::path& file, const std::string& body) {
  std::ofstream(file) << "#!/bin/sh\n" << body << "\n";
  ::chmod(file.c_str(), 0755);
}

// The core's start on the system's NetState, whose interface list, default
// peer and dialer are the test's.
class ConnectionStateTest : public CoreTest {
 protected:
  void SetUp() override {
    CoreTest::SetUp();
    dir_ = FreshDirectory("netstate");
    WriteScript(dir_ / "dialer", "echo dialed >> '" + (dir_ / "dials").string() + "'");
  }
  void TearDown() override {
    CoreTest::TearDown();
    fs::remove_all(dir_);
  }
  int Dials() {
    std::ifstream in(dir_ / "dials");
    int n = 0;
    for (std::string line; std::getline(in, line);) ++n;
    return n;
  }
  fs::path dir_;
};

TEST_F(ConnectionStateTest, InterfacesAndDefaultPeerMapToTheFlagsAndTheDial) {
  const NetInterface lo{"lo", kRunning | IFF_LOOPBACK};
  const NetInterface ppp0{"ppp0", kRunning | IFF_POINTOPOINT};
  const NetInterface eth0{"eth0", kRunning};
  enum Peer { None, File, Directory };
  struct Case {
    const char* what;
    std::vector<NetInterface> interfaces;
    Peer peer;
    uint32_t flags;
  } cases[] = {
      {"nothing", {}, None, 0},
      {"loopback alone", {lo}, None, 0},
      {"ppp link up alone", {lo, ppp0}, None, platform::INTERNET_CONNECTION_MODEM},
      {"default peer, nothing up", {lo}, File, platform::INTERNET_CONNECTION_MODEM},
      {"default peer and ppp link up", {lo, ppp0}, File, platform::INTERNET_CONNECTION_MODEM},
      {"default peer, ethernet up", {lo, eth0}, File, platform::INTERNET_CONNECTION_LAN},
      {"ppp link and wireless up", {lo, ppp0, {"wlan0", kRunning}}, None, platform::INTERNET_CONNECTION_LAN},
      {"ethernet up, no peer", {lo, eth0}, None, platform::INTERNET_CONNECTION_LAN},
      {"default peer, ethernet without carrier", {lo, {"eth0", IFF_UP}}, File,
       platform::INTERNET_CONNECTION_MODEM},
      {"default peer, ethernet down", {lo, {"eth0", 0}}, File, platform::INTERNET_CONNECTION_MODEM},
      {"ppp interface down", {lo, {"ppp0", IFF_POINTOPOINT}}, None, 0},
      {"a directory for the peer", {lo}, Directory, 0},
  };
  int n = 0;
  for (const Case& c : cases) {
    platform::NetSources sources;
    sources.interfaces = [&c] { return c.interfaces; };
    sources.default_peer = (dir_ / ("provider" + std::to_string(n))).string();
    if (c.peer == File) std::ofstream(sources.default_peer) << "/dev/ttyS0\n";
    if (c.peer == Directory) fs::create_directory(sources.default_peer);
    sources.dialer = (dir_ / "dialer").string();
    auto state = platform::MakeSystemNetState(sources);
    EXPECT_EQ(state->ConnectedState(), c.flags) << c.what;

    SetNetStateForTesting(state.get());
    std::string s = Session("state" + std::to_string(n++));
    TTCPIPSettings settings = MakeSettings(1, "127.0.0.1", 1000);
    int32_t in_use = 0;
    int mark = ReadRing().empty() ? 0 : ReadRing().back().Sequence;
    int dials = Dials();
    ASSERT_EQ(::InitializeCore(s.c_str(), nullptr, &settings, nullptr, &in_use), 1) << c.what;
    SetNetStateForTesting(&net_);

    bool dial = c.flags == platform::INTERNET_CONNECTION_MODEM;
    EXPECT_EQ(Dials() - dials, dial ? 1 : 0) << c.what;
    std::vector<std::string> dial_records;
    for (const Rec& r : ReadRing())
      if (r.Sequence > mark && r.Message.rfind("Dialup Error", 0) == 0) dial_records.push_back(r.Message);
    EXPECT_EQ(dial_records, dial ? std::vector<std::string>{"Dialup Error = 0"} : std::vector<std::string>{})
        << c.what;
  }
}

// The system's own sources: the default dialer is "pon", found through PATH.
class DialTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = FreshDirectory("dial");
    const char* path = std::getenv("PATH");
    old_path_ = path ? path : "";
    ::setenv("PATH", dir_.c_str(), 1);
  }
  void TearDown() override {
    ::setenv("PATH", old_path_.c_str(), 1);
    fs::remove_all(dir_);
  }
  fs::path dir_;
  std::string old_path_;
};

TEST_F(DialTest, ResultIsTheDialersExitStatus) {
  WriteScript(dir_ / "pon", "exit 0");
  EXPECT_EQ(platform::SystemNetState().DialUnattended(), 0u);
  WriteScript(dir_ / "pon", "exit 7");
  EXPECT_EQ(platform::SystemNetState().DialUnattended(), 7u);
  WriteScript(dir_ / "pon", "kill -9 $$");
  EXPECT_EQ(platform::SystemNetState().DialUnattended(), 128u + 9u);
}

TEST_F(DialTest, NoDialerInstalledIsAnError) { EXPECT_NE(platform::SystemNetState().DialUnattended(), 0u); }

TEST(SystemNetStateTest, FollowsTheKernelsInterfacesAndNeverReportsRas) {
  std::vector<NetInterface> interfaces = platform::SystemInterfaces();
  bool lo = false;
  for (const NetInterface& i : interfaces) lo = lo || (i.name == "lo" && (i.flags & IFF_LOOPBACK));
  EXPECT_TRUE(lo) << "every network namespace has its loopback";
  struct stat st{};
  bool peer = ::stat("/etc/ppp/peers/provider", &st) == 0 && !S_ISDIR(st.st_mode);
  EXPECT_EQ(platform::SystemNetState().ConnectedState(), platform::ConnectionStateOf(interfaces, peer));
  EXPECT_EQ(platform::SystemNetState().ConnectedState() & platform::INTERNET_RAS_INSTALLED, 0u);
}

}  // namespace
}  // namespace tamlix::core::testing
