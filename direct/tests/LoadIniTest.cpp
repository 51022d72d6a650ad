// Loading "TamlixTCP.INI": the pair chosen by Use, the defaults, the limits of
// the record's fields, and the name formed from the directory text.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <cstring>
#include <fstream>
#include <string>

#include "RingRecords.h"
#include "UnitTamlixDirect.h"

namespace tamlix::direct {
namespace {

namespace fs = std::filesystem;

class LoadIniTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetDirectStateForTesting();
    char tmpl[] = "/tmp/direct-ini-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Dir() const { return dir_.string() + "/"; }
  void WriteIni(const std::string& body, const fs::path& file = {}) const {
    std::ofstream(file.empty() ? dir_ / "TamlixTCP.INI" : file, std::ios::binary)
        << "[Global TCP/IP Data]\r\n" << body;
  }

  fs::path dir_;
};

struct IniCase {
  const char* name;
  std::string body;
  int32_t result;
  int32_t port;
  std::string address;
  uint32_t timeOut;
  int32_t headerLength;
  int32_t defaultHeader;
};

class LoadIniCases : public LoadIniTest, public ::testing::WithParamInterface<IniCase> {};

TEST_P(LoadIniCases, FillsTcpSettings) {
  const IniCase& c = GetParam();
  if (c.body != "<no file>") WriteIni(c.body);
  EXPECT_EQ(Load_ini(Dir().c_str()), c.result);
  TTCPIPSettings s = TcpSettings();
  EXPECT_EQ(s.Port, c.port);
  EXPECT_EQ(ShortStringText(s.Address), c.address);
  EXPECT_EQ(s.TimeOut, c.timeOut);
  EXPECT_EQ(s.Headerlength, c.headerLength);
  EXPECT_EQ(s.DefaultHeader, c.defaultHeader);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LoadIniCases,
    ::testing::Values(
        IniCase{"NoFile", "<no file>", 0, 0, "", 1000, 0, 0},
        IniCase{"Primary", "Address=10.1.2.3\r\nPort=4000\r\nTimeOut=2500\r\nHeaderlength=1\r\nDefaultHeader=1\r\n"
                "SecAddress=10.9.9.9\r\nSecPort=5000\r\n",
                1, 4000, "10.1.2.3", 2500, 1, 1},
        IniCase{"SecondaryOnly", "Use=1\r\nSecAddress=*switch.example\r\nSecPort=5000\r\n", 1, 5000,
                "*switch.example", 1000, 0, 0},
        IniCase{"SecondaryWithoutSecPort", "Use=1\r\nAddress=10.1.2.3\r\nPort=4000\r\nSecAddress=10.9.9.9\r\n", 0, 0,
                "10.9.9.9", 1000, 0, 0},
        IniCase{"UseTwoReadsNothing", "Use=2\r\nAddress=10.1.2.3\r\nPort=4000\r\nTimeOut=2500\r\n", 0, 0, "", 0, 0, 0},
        IniCase{"UseMinusOneReadsNothing", "Use=-1\r\nAddress=10.1.2.3\r\nPort=4000\r\n", 0, 0, "", 0, 0, 0},
        IniCase{"HexPort", "Address=10.1.2.3\r\nPort=0x15\r\n", 1, 21, "10.1.2.3", 1000, 0, 0},
        IniCase{"PortBeyond16Bits", "Address=10.1.2.3\r\nPort=70000\r\n", 1, 70000, "10.1.2.3", 1000, 0, 0},
        IniCase{"PortNotANumber", "Address=10.1.2.3\r\nPort=forty\r\n", 0, 0, "10.1.2.3", 1000, 0, 0},
        IniCase{"AddressCutTo255", "Address=" + std::string(300, 'a') + "\r\nPort=1\r\n", 1, 1, std::string(255, 'a'),
                1000, 0, 0}),
    [](const ::testing::TestParamInfo<IniCase>& info) { return std::string(info.param.name); });

TEST_F(LoadIniTest, ReplacesTheWholeRecordAndRecordsThePrimaryPair) {
  WriteIni("Address=10.1.2.3\r\nPort=4000\r\n");
  const int mark = testing::LastSequence();
  ASSERT_EQ(Load_ini(Dir().c_str()), 1);
  auto records = testing::RecordsSince(mark);
  EXPECT_EQ(testing::MissingInOrder(records, {"Retrieving TCP/IP Settings: " + Dir(), "IP: 10.1.2.3 Port: 4000",
                                              "TCP INI Load Completed - Result 1"}),
            "")
      << testing::Messages(records);
  const testing::TRecord* done = testing::Find(records, "TCP INI Load Completed - Result 1");
  ASSERT_NE(done, nullptr);
  EXPECT_EQ(done->module, "TamlixDirect.DLL");
  EXPECT_EQ(done->procedure, "UnitTamlixDirect.Load_INI");

  // A later load that finds nothing leaves nothing of the first.
  WriteIni("Use=7\r\nAddress=10.1.2.3\r\nPort=4000\r\n");
  const int mark2 = testing::LastSequence();
  EXPECT_EQ(Load_ini(Dir().c_str()), 0);
  TTCPIPSettings s = TcpSettings();
  EXPECT_EQ(s.Port, 0);
  EXPECT_EQ(s.Address.Length, 0);
  EXPECT_EQ(s.TimeOut, 0u);
  auto after = testing::RecordsSince(mark2);
  for (const auto& r : after) EXPECT_NE(r.message.rfind("IP: ", 0), 0u) << r.message;
}

// The name is the directory text followed directly by the file name.
TEST_F(LoadIniTest, DirectoryWithoutSeparatorNamesAFileInTheParent) {
  fs::create_directory(dir_ / "App");
  WriteIni("Address=10.1.2.3\r\nPort=4000\r\n", dir_ / "App" / "TamlixTCP.INI");
  const std::string app = (dir_ / "App").string();
  EXPECT_EQ(Load_ini(app.c_str()), 0);
  WriteIni("Address=10.7.7.7\r\nPort=4100\r\n", dir_ / "AppTamlixTCP.INI");
  EXPECT_EQ(Load_ini(app.c_str()), 1);
  EXPECT_EQ(ShortStringText(TcpSettings().Address), "10.7.7.7");
}

TEST_F(LoadIniTest, EmptyOrNullDirectoryMeansTheCurrentDirectory) {
  WriteIni("Address=10.1.2.3\r\nPort=4000\r\n");
  const fs::path old = fs::current_path();
  fs::current_path(dir_);
  EXPECT_EQ(Load_ini(""), 1);
  ResetDirectStateForTesting();
  EXPECT_EQ(Load_ini(nullptr), 1);
  EXPECT_EQ(TcpSettings().Port, 4000);
  fs::current_path(old);
}

TEST_F(LoadIniTest, StdcallTwinGivesTheSameSettingsAndOneRecordMore) {
  WriteIni("Use=1\r\nSecAddress=10.2.2.2\r\nSecPort=4200\r\nTimeOut=3000\r\n");
  int mark = testing::LastSequence();
  const int32_t plain = Load_ini(Dir().c_str());
  const TTCPIPSettings first = TcpSettings();
  const auto plainRecords = testing::RecordsSince(mark);

  ResetDirectStateForTesting();
  mark = testing::LastSequence();
  EXPECT_EQ(Load_ini_S(Dir().c_str()), plain);
  const TTCPIPSettings second = TcpSettings();
  const auto stdcallRecords = testing::RecordsSince(mark);
  EXPECT_EQ(0, std::memcmp(&first, &second, sizeof first));
  ASSERT_EQ(stdcallRecords.size(), plainRecords.size() + 1);
  EXPECT_EQ(stdcallRecords[0].message, "StdCall interface load INI from " + Dir());
  EXPECT_EQ(stdcallRecords[0].procedure, "UnitTamlixDirect.Load_INI");
}

}  // namespace
}  // namespace tamlix::direct
