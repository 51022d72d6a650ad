// The operator commands and the built-in test claim.
#include <unistd.h>

#include <QApplication>
#include <QTest>
#include <algorithm>
#include <filesystem>

#include "FormTestSupport.h"
#include "TrayIcon.h"

namespace tamlix::brindlemoss::test {
namespace {

TEST(TestClaimTest, LayoutOfTheFrame) {
  const std::string claim(TestClaim);
  ASSERT_EQ(claim.size(), 530u);
  EXPECT_EQ(claim.substr(0, 19), "\x02" "0525" "011Brindlemoss");
  EXPECT_EQ(claim.back(), '\x03');
  EXPECT_EQ(std::count(claim.begin(), claim.end(), '\x1C'), 67);
  EXPECT_EQ(std::count(claim.begin(), claim.end(), '-'), 13);
  EXPECT_EQ(claim.find('\0'), std::string::npos);
  EXPECT_EQ(claim.substr(19, 45), "20000251B1CERT V5 011070000240 20010401V5GIN ");

  const struct {
    size_t offset, length;
    const char* number;
    int fields;
  } segments[] = {{64, 134, "01", 15}, {198, 19, "04", 1},  {217, 112, "07", 18}, {329, 19, "02", 2},
                  {348, 77, "03", 9},  {425, 6, "05", 0},   {431, 6, "06", 0},    {437, 6, "08", 0},
                  {443, 62, "11", 9},  {505, 6, "09", 0},   {511, 6, "10", 0},    {517, 6, "12", 0},
                  {523, 6, "13", 0}};
  size_t next = 64;
  for (const auto& s : segments) {
    SCOPED_TRACE(s.number);
    EXPECT_EQ(s.offset, next);
    const std::string segment = claim.substr(s.offset, s.length);
    EXPECT_EQ(segment.substr(0, 6), std::string("-\x1C" "AM") + s.number);
    EXPECT_EQ(std::count(segment.begin(), segment.end(), '\x1C'), s.fields + 1);
    EXPECT_EQ(std::count(segment.begin(), segment.end(), '-'), 1);
    next = s.offset + s.length;
  }
  EXPECT_EQ(next, 529u);
  // Fixed values around the test values.
  EXPECT_EQ(claim.substr(217 + 6, 5), "\x1C" "EM1" "\x1C");
  EXPECT_NE(claim.find("\x1C" "D700006094268" "\x1C"), std::string::npos);
  EXPECT_EQ(claim.substr(443 + 6, 7), "\x1C" "D9557{");
  EXPECT_EQ(claim.substr(198 + 6, 13), "\x1C" "C2" "CARD12345 ");
}

class CommandsTest : public FormTest {
 protected:
  void StartSession(const std::string& section, std::vector<std::string> args = {"700", "LOG"}) {
    Product("[700]\n" + section);
    Start(std::move(args));
  }
  std::string LastLog() {
    const auto lines = LogMessages();
    return lines.empty() ? std::string() : lines.back();
  }
};

TEST_F(CommandsTest, SendTestClaimHandsTheClaimOverAndShowsIt) {
  StartSession("SessionType=2\n");
  form->MemoSend->setPlainText("earlier");
  form->btnTest->click();
  ASSERT_EQ(master.processCalls, 1);
  EXPECT_EQ(master.processTexts[0], std::string(TestClaim));
  EXPECT_EQ(master.processMsgIn[0], "test");
  EXPECT_EQ(master.processArgs, (std::vector<int32_t>{0, 0}));
  EXPECT_EQ(LastLog(), "Session ID 700 Send Test Claim");
  form->btnTest->click();
  const QString claim = QString::fromLatin1(TestClaim.data(), static_cast<qsizetype>(TestClaim.size()));
  EXPECT_EQ(Lines(form->MemoSend), (QStringList{"earlier", claim, claim}));
}

TEST_F(CommandsTest, SendTestClaimFailureLines) {
  StartSession("SessionType=2\n");
  master.processResult = 0;
  form->btnTest->click();
  master.processFills = true;
  master.processMsg = "no switch";
  form->btnTest->click();
  EXPECT_EQ(Lines(form->MemoSend), (QStringList{"Send Failedtest", "Send Failedno switch"}));
  EXPECT_EQ(boxes->count, 0);
}

TEST_F(CommandsTest, ClearEmptiesOnlySendAndReceive) {
  StartSession("SessionType=2\n");
  form->MemoSend->setPlainText("send");
  form->MemoReceive->setPlainText("receive");
  const QStringList messages = Lines(form->Memo);
  const QStringList settings = Lines(form->MemoSettings);
  form->Button4->click();
  EXPECT_TRUE(Lines(form->MemoSend).isEmpty());
  EXPECT_TRUE(Lines(form->MemoReceive).isEmpty());
  EXPECT_EQ(Lines(form->Memo), messages);
  EXPECT_EQ(Lines(form->MemoSettings), settings);
  EXPECT_EQ(LastLog(), "Session ID 700 Clear button pressed");
}

TEST_F(CommandsTest, MinimizeHidesAndTheTrayDoubleClickShows) {
  StartSession("SessionType=2\n");
  auto doubleClick = [this] {
    tray::IconManager().TrayWndProc(tray::TrayCallbackMessage(), form->TrayNotifyIcon->Id(),
                                    tray::WM_LBUTTONDBLCLK);
  };
  doubleClick();
  EXPECT_TRUE(form->isVisible());
  doubleClick();  // already shown: stays shown
  EXPECT_TRUE(form->isVisible());
  form->showMinimized();  // the window manager's minimise
  doubleClick();
  EXPECT_TRUE(form->isVisible());
  EXPECT_FALSE(form->isMinimized());
  form->Button2->click();
  EXPECT_FALSE(form->isVisible());
  EXPECT_EQ(LastLog(), "Session ID 700 Minimized pressed");
  doubleClick();
  EXPECT_TRUE(form->isVisible());
  EXPECT_EQ(LastLog(), "Session ID 700 Minimized pressed");  // the double click logs nothing
}

TEST_F(CommandsTest, CommandsWriteNoLogLinesWithLoggingOff) {
  StartSession("SessionType=4\nFile_Source=" + File("in") + "\n", {"700"});
  form->Button2->click();
  form->Button4->click();
  form->btnTest->click();
  form->btnFile->click();
  EXPECT_EQ(RunLoop([this] { form->Button1->click(); }), 0);
  EXPECT_FALSE(std::filesystem::exists(File("Brindlemoss.LOG")));
}

class TestFileTest : public CommandsTest {
 protected:
  void SetUp() override {
    CommandsTest::SetUp();
    previous_ = std::filesystem::current_path();
    std::filesystem::current_path(dir);  // the default names are relative
  }
  void TearDown() override {
    std::filesystem::current_path(previous_);
    CommandsTest::TearDown();
  }
  const std::string content = std::string(TestClaim) + "\r\n";

 private:
  std::filesystem::path previous_;
};

TEST_F(TestFileTest, WritesTheClaimWithCrLfIntoFileSource) {
  StartSession("SessionType=4\nFile_Source=" + File("in.txt") + "\nFile_Dest=" + File("out.txt") + "\n");
  WriteFile(File("in.txt"), "an older, longer claim file than the new one ........................");
  WriteFile(File("out.txt"), "reply");
  form->btnFile->click();
  EXPECT_EQ(ReadFile(File("in.txt")), content);
  EXPECT_EQ(content.size(), 532u);
  EXPECT_FALSE(std::filesystem::exists(File("out.txt")));
  EXPECT_EQ(LastLog(), "Session ID 700 Create test file");
}

TEST_F(TestFileTest, BothKeysAbsentUseTheDefaultNames) {
  StartSession("SessionType=4\n");
  WriteFile(File("c:\\out.txt"), "reply");
  form->btnFile->click();
  EXPECT_EQ(ReadFile(File("c:\\in.txt")), content);
  EXPECT_FALSE(std::filesystem::exists(File("c:\\out.txt")));
}

TEST_F(TestFileTest, OneFileForBothKeysIsDeletedThenWritten) {
  StartSession("SessionType=4\nFile_Source=same.txt\nFile_Dest=same.txt\n");
  WriteFile(File("same.txt"), "old");
  form->btnFile->click();
  EXPECT_EQ(ReadFile(File("same.txt")), content);
}

TEST_F(TestFileTest, TypeThatIsNoLongerANumberTouchesNoFile) {
  StartSession("SessionType=4\nFile_Source=in.txt\nFile_Dest=out.txt\n");
  WriteFile(File("out.txt"), "reply");
  Product("[701]\nSessionType=4\n");  // the section has gone since start-up
  form->btnFile->click();
  EXPECT_EQ(boxes->count, 1);
  EXPECT_EQ(boxes->title, "Brindlemoss");
  EXPECT_EQ(boxes->text, "'Error' is not a valid integer value.");
  EXPECT_FALSE(std::filesystem::exists(File("in.txt")));
  EXPECT_TRUE(std::filesystem::exists(File("out.txt")));
}

TEST_F(TestFileTest, UnwritableSourceIsReportedAndTheProgramGoesOn) {
  WriteFile(File("plain"), "a regular file");
  StartSession("SessionType=4\nFile_Source=" + File("plain/in.txt") + "\nFile_Dest=out.txt\n");
  WriteFile(File("out.txt"), "reply");
  form->btnFile->click();
  EXPECT_EQ(boxes->count, 1);
  EXPECT_TRUE(boxes->text.startsWith("I/O error")) << boxes->text.toStdString();
  EXPECT_FALSE(std::filesystem::exists(File("out.txt")));  // deleted before the failure
  form->Button4->click();                                   // still running
  EXPECT_EQ(LastLog(), "Session ID 700 Clear button pressed");
}

}  // namespace
}  // namespace tamlix::brindlemoss::test
