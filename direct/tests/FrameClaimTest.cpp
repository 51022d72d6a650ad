// The claim frame: every rule of processDataTest's framing, and the refusal
// of a claim whose frame does not fit the send buffer.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "RingRecords.h"
#include "UnitTamlixDirect.h"
#include "tamlix/TamlixDirect.h"

namespace tamlix::direct {
namespace {

const std::string STX = "\x02";
const std::string ETX = "\x03";

struct FrameCase {
  const char* name;
  std::string claim;
  int32_t headerLength;
  int32_t defaultHeader;
  std::string frame;
};

class FrameClaimTest : public ::testing::TestWithParam<FrameCase> {};

TEST_P(FrameClaimTest, BuildsTheFrame) {
  const FrameCase& c = GetParam();
  EXPECT_EQ(FrameClaim(c.claim, c.headerLength, c.defaultHeader), c.frame) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Rules, FrameClaimTest,
    ::testing::Values(
        // The four worked examples with the claim text abc.
        FrameCase{"Example1_StxClaim", STX + "abc", 0, 0, STX + "0004abc" + ETX},
        FrameCase{"Example2_HeaderInserted", STX + "abc" + ETX, 0, 1, STX + "0018011brindlemossabc" + ETX},
        FrameCase{"Example3_LengthPrefixDropped", STX + "0004abc" + ETX, 1, 1, STX + "0018011brindlemossabc" + ETX},
        FrameCase{"Example4_LengthPrefixNoEtx", STX + "0004abc", 1, 0, STX + "0004abc" + ETX},
        // The first character goes whatever it is.
        FrameCase{"NoLeadingStx", "abc", 0, 0, STX + "0003bc" + ETX},
        FrameCase{"EtxInsideNotAtEnd", STX + "a" + ETX + "bc", 0, 0, STX + "0005a" + ETX + "bc" + ETX},
        FrameCase{"EndsInEtxGetsNoSecond", STX + "abc" + ETX, 0, 0, STX + "0004abc" + ETX},
        // Everything dropped by the prefix rule, the ETX included.
        FrameCase{"FiveOrFewerWithHeaderlength", "abcd", 1, 0, STX + "0000"},
        FrameCase{"FiveOrFewerWithBothFlags", STX + "00", 1, 1, STX + "0014011brindlemoss"},
        FrameCase{"EmptyClaim", "", 0, 0, STX + "0000"},
        FrameCase{"EmptyClaimHeaderlength", "", 1, 0, STX + "0000"},
        FrameCase{"EmptyClaimBothFlags", "", 1, 1, STX + "0014011brindlemoss"},
        // Only exactly 1 switches a rule on.
        FrameCase{"FlagsTwoActAsZero", STX + "0004abc", 2, 2, STX + "00080004abc" + ETX},
        FrameCase{"FlagsMinusOneActAsZero", STX + "0004abc", -1, -1, STX + "00080004abc" + ETX},
        // The digits count the header and the ETX.
        FrameCase{"LengthCountsHeaderAndEtx", "xabc", 0, 1, STX + "0018011brindlemossabc" + ETX}),
    [](const ::testing::TestParamInfo<FrameCase>& info) { return std::string(info.param.name); });

class ProcessDataTestLimit : public ::testing::Test {
 protected:
  void SetUp() override { ResetDirectStateForTesting(); }
};

// A frame of 4099 characters still goes to the core (whose send fails here,
// as nothing was initialised); one character more is refused before sending.
TEST_F(ProcessDataTestLimit, RefusesAFrameLongerThanTheSendBuffer) {
  // Flags 0: frame = STX + 4 digits + (claim less 1) + ETX = claim length + 5.
  std::string fits(4094, 'c');
  std::string tooLong(4095, 'c');
  ASSERT_EQ(FrameClaim(fits, 0, 0).size(), 4099u);
  ASSERT_EQ(FrameClaim(tooLong, 0, 0).size(), 4100u);

  TCoreStatus status{};
  EXPECT_EQ(::processDataTest(fits.c_str(), &status), 0);
  EXPECT_STREQ(status.ErrorText, "SSL or Socket Exception - Possible network error");

  const int mark = testing::LastSequence();
  status = TCoreStatus{};
  EXPECT_EQ(::processDataTest(tooLong.c_str(), &status), 0);
  EXPECT_EQ(status.ErrorCode, -1);
  EXPECT_EQ(status.ErrorFlag, 1);
  EXPECT_STREQ(status.ErrorText, "Claim too long for the claim frame");
  auto records = testing::RecordsSince(mark);
  const testing::TRecord* r = testing::Find(records, "Claim Too Long - Framed Size = 4100");
  ASSERT_NE(r, nullptr) << testing::Messages(records);
  EXPECT_EQ(r->detail, std::string(255, 'c'));

  // A claim far beyond four digits of length is refused the same way.
  std::string huge(20000, 'c');
  EXPECT_EQ(::processDataTest(huge.c_str(), nullptr), 0);
}

}  // namespace
}  // namespace tamlix::direct
