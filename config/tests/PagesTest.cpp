// The TCP/IP and header pages inside the window: what opening a page writes
// into "TamlixTCP.INI" for the stored values, and what each change writes.
// Every file is checked as its whole text.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTextDocument>
#include <QToolButton>

#include "ConfigTestSupport.h"
#include "FrameHeader.h"
#include "FrameTCPIP.h"
#include "RadioGroup.h"
#include "platform/Sys.h"

namespace tamlix::config::test {
namespace {

const std::string kHead = "[Global TCP/IP Data]\n";
// A file that the page creates has CR LF line endings.
const std::string kNewHead = "[Global TCP/IP Data]\r\n";
const std::string kFiveDefaults =
    "Address=000.000.000.000\r\nPort=21\r\nTimeOut=10000\r\nSecAddress=http://\r\nSecPort=21\r\n";
const std::string kFiveStored = "Address=10.0.0.1\nPort=443\nTimeOut=8000\nSecAddress=*switch\nSecPort=444\n";

class PagesTest : public ConfigWindowTest {
 protected:
  TframTCPIP* OpenTcp() {
    window->spdbtnTCPIP->click();
    return qobject_cast<TframTCPIP*>(window->CurrentFrame());
  }
  TframHeader* OpenHeader() {
    window->SpeedButton1->click();
    return qobject_cast<TframHeader*>(window->CurrentFrame());
  }
  static void Pick(TRadioGroup* group, int index) {
    QRadioButton* button = group->Button(index);
    QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(4, button->height() / 2));
  }
};

TEST_F(PagesTest, TcpPageOnAbsentFileWritesFiveDefaultsInOrder) {
  Open();
  TframTCPIP* page = OpenTcp();
  ASSERT_NE(page, nullptr);
  EXPECT_EQ(page->edtAddress->text(), "000.000.000.000");
  EXPECT_EQ(page->edtSecAddress->text(), "http://");
  EXPECT_EQ(page->rgUse->ItemIndex(), 0);
  EXPECT_TRUE(page->rgUse->Button(0)->isChecked());
  EXPECT_EQ(ReadText(TcpFile()), kNewHead + kFiveDefaults);
  EXPECT_EQ(ReadText(ProductFile()), std::nullopt);

  // Opening again reads and writes the same values: nothing changes.
  ASSERT_NE(OpenTcp(), nullptr);
  EXPECT_EQ(ReadText(TcpFile()), kNewHead + kFiveDefaults);
}

struct UseCase {
  const char* name;
  const char* stored;  // the Use line, or "" for none
  int checked;
  const char* after;  // the Use line afterwards
};

class TcpUseTest : public PagesTest, public ::testing::WithParamInterface<UseCase> {};

TEST_P(TcpUseTest, UseIsPulledIntoRangeAndWrittenOnlyForAnItemChange) {
  const UseCase& c = GetParam();
  WriteText(TcpFile(), kHead + c.stored + kFiveStored);
  Open();
  TframTCPIP* page = OpenTcp();
  ASSERT_NE(page, nullptr);
  EXPECT_EQ(page->rgUse->ItemIndex(), c.checked);
  for (int i = 0; i < 2; ++i) EXPECT_EQ(page->rgUse->Button(i)->isChecked(), i == c.checked);
  EXPECT_EQ(ReadText(TcpFile()), kHead + c.after + kFiveStored);
}

INSTANTIATE_TEST_SUITE_P(
    Values, TcpUseTest,
    ::testing::Values(UseCase{"Absent", "", 0, ""}, UseCase{"Zero", "Use=0\n", 0, "Use=0\n"},
                      UseCase{"One", "Use=1\n", 1, "Use=1\n"}, UseCase{"Seven", "Use=7\n", 1, "Use=1\n"},
                      UseCase{"Hex", "Use=0x2\n", 1, "Use=1\n"},
                      UseCase{"MinusOne", "Use=-1\n", -1, "Use=-1\n"},
                      UseCase{"Word", "Use=two\n", 0, "Use=two\n"}),
    [](const ::testing::TestParamInfo<UseCase>& info) { return std::string(info.param.name); });

TEST_F(PagesTest, TcpPageWritesEachChangeAndKeepsEmptiedValues) {
  WriteText(TcpFile(), kHead + "Use=-1\n" + kFiveStored);
  Open();
  TframTCPIP* page = OpenTcp();
  ASSERT_NE(page, nullptr);
  // With no item checked, a pick writes its index; picking it again nothing.
  Pick(page->rgUse, 1);
  EXPECT_EQ(ReadText(TcpFile()), kHead + "Use=1\n" + kFiveStored);
  Pick(page->rgUse, 1);
  Pick(page->rgUse, 0);
  EXPECT_EQ(ReadText(TcpFile()), kHead + "Use=0\n" + kFiveStored);

  // Nothing is checked on the way: letters are written as letters.
  page->edtPort->selectAll();
  QTest::keyClicks(page->edtPort, "ab");
  page->edtAddress->clear();
  const std::string changed =
      kHead + "Use=0\nAddress=\nPort=ab\nTimeOut=8000\nSecAddress=*switch\nSecPort=444\n";
  EXPECT_EQ(ReadText(TcpFile()), changed);

  // An emptied address stays empty on the next opening.
  page = OpenTcp();
  ASSERT_NE(page, nullptr);
  EXPECT_EQ(page->edtAddress->text(), "");
  EXPECT_EQ(ReadText(TcpFile()), changed);
}

TEST_F(PagesTest, SettingAControlToWhatItHoldsWritesNothing) {
  // Every write would be refused, so any write would show a message box.
  const std::string text =
      kHead + "Address=\nPort=\nTimeOut=\nSecAddress=\nSecPort=\nUse=0\nHeaderlength=1\nDefaultHeader=0\n";
  WriteText(TcpFile(), text);
  Open();
  tamlix::sys::FailNth(tamlix::sys::Call::Write, 1, EIO, true);
  MessageBoxCatcher box;
  TframTCPIP* tcp = OpenTcp();
  ASSERT_NE(tcp, nullptr);
  EXPECT_EQ(tcp->edtPort->text(), "");
  EXPECT_EQ(tcp->rgUse->ItemIndex(), 0);
  TframHeader* header = OpenHeader();
  ASSERT_NE(header, nullptr);
  EXPECT_EQ(header->rgHeader->ItemIndex(), 0);
  EXPECT_FALSE(box.Shown());
  EXPECT_EQ(ReadText(TcpFile()), text);
}

TEST_F(PagesTest, TcpPageKeepsLongText) {
  Open();
  TframTCPIP* page = OpenTcp();
  ASSERT_NE(page, nullptr);
  const std::string longHost = "*" + std::string(40000, 'h');
  page->edtSecAddress->setText(QString::fromStdString(longHost));
  EXPECT_EQ(page->edtSecAddress->text().size(), static_cast<qsizetype>(longHost.size()));
}

TEST_F(PagesTest, HeaderPageOnAbsentFileWritesOnlyDefaultHeader) {
  Open();
  TframHeader* page = OpenHeader();
  ASSERT_NE(page, nullptr);
  EXPECT_EQ(page->rgLengthHeader->ItemIndex(), 1);
  EXPECT_EQ(page->rgHeader->ItemIndex(), 1);
  EXPECT_EQ(page->rgLengthHeader->title(), "4 byte packet length");
  EXPECT_EQ(page->rgHeader->Button(0)->text(), "Do not Insert");
  EXPECT_EQ(ReadText(TcpFile()), kNewHead + "DefaultHeader=1\r\n");
}

struct HeaderCase {
  const char* name;
  const char* stored;
  int lengthChecked;
  int headerChecked;
  const char* after;
};

class HeaderValuesTest : public PagesTest, public ::testing::WithParamInterface<HeaderCase> {};

TEST_P(HeaderValuesTest, FlagsArePulledIntoRangeAndWrittenOnlyForAnItemChange) {
  const HeaderCase& c = GetParam();
  WriteText(TcpFile(), kHead + c.stored);
  Open();
  TframHeader* page = OpenHeader();
  ASSERT_NE(page, nullptr);
  EXPECT_EQ(page->rgLengthHeader->ItemIndex(), c.lengthChecked);
  EXPECT_EQ(page->rgHeader->ItemIndex(), c.headerChecked);
  EXPECT_EQ(ReadText(TcpFile()), kHead + c.after);
}

INSTANTIATE_TEST_SUITE_P(Values, HeaderValuesTest,
                         ::testing::Values(HeaderCase{"Five", "Headerlength=5\nDefaultHeader=5\n", 1, 1,
                                                      "Headerlength=5\nDefaultHeader=1\n"},
                                           HeaderCase{"Zeros", "Headerlength=0\nDefaultHeader=0\n", 0, 0,
                                                      "Headerlength=0\nDefaultHeader=0\n"},
                                           HeaderCase{"Negative", "Headerlength=-1\nDefaultHeader=-4\n", -1,
                                                      -1, "Headerlength=-1\nDefaultHeader=-4\n"},
                                           HeaderCase{"Words", "Headerlength=yes\nDefaultHeader=no\n", 1, 1,
                                                      "Headerlength=yes\nDefaultHeader=1\n"}),
                         [](const ::testing::TestParamInfo<HeaderCase>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(PagesTest, HeaderPagePicksWriteTheirIndex) {
  WriteText(TcpFile(), kHead + "Headerlength=5\nDefaultHeader=0\n");
  Open();
  TframHeader* page = OpenHeader();
  ASSERT_NE(page, nullptr);
  Pick(page->rgLengthHeader, 1);  // already checked: nothing
  EXPECT_EQ(ReadText(TcpFile()), kHead + "Headerlength=5\nDefaultHeader=0\n");
  Pick(page->rgLengthHeader, 0);
  Pick(page->rgHeader, 1);
  EXPECT_EQ(ReadText(TcpFile()), kHead + "Headerlength=0\nDefaultHeader=1\n");
}

TEST_F(PagesTest, HeaderHelpTextIsTwelveLinesExactly) {
  Open();
  TframHeader* page = OpenHeader();
  ASSERT_NE(page, nullptr);
  const QString expected =
      "Applies to Serial Only\n"
      "\n"
      "4 Byte Pack Length\n"
      "If the pharmacy system includes the 4 byte \n"
      "length header in the data packet then choose \n"
      "'Included'. \n"
      "\n"
      "Default Header \n"
      "To Add the 'Brindlemoss' header to the data \n"
      "packet choose  'Insert'. The header will be \n"
      "added to the data packet before it is sent to the \n"
      "server and removed from the return data";
  EXPECT_EQ(page->Memo1->toPlainText(), expected);
  EXPECT_EQ(page->Memo1->document()->blockCount(), 12);
  EXPECT_TRUE(page->Memo1->isReadOnly());
}

TEST_F(PagesTest, RefusedWriteWhileFillingEndsThePageThere) {
  Open();
  // Address and Port go in; the TimeOut write is refused, and every one after.
  tamlix::sys::FailNth(tamlix::sys::Call::Linkat, 3, EIO, true);
  MessageBoxCatcher box;
  TframTCPIP* page = OpenTcp();
  ASSERT_TRUE(box.Shown());
  EXPECT_EQ(box.Text(), "Unable to write to " + TcpFile());
  ASSERT_NE(page, nullptr);
  EXPECT_EQ(page->edtSecAddress->text(), "");
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(ReadText(TcpFile()), kNewHead + "Address=000.000.000.000\r\nPort=21\r\n");

  // After the filling a refusal ends just that change.
  MessageBoxCatcher second;
  QTest::keyClicks(page->edtPort, "0");
  ASSERT_TRUE(second.Shown());
  EXPECT_EQ(page->edtPort->text(), "210");
  tamlix::sys::ClearFaults();
  QTest::keyClicks(page->edtPort, "1");
  EXPECT_EQ(ReadText(TcpFile()), kNewHead + "Address=000.000.000.000\r\nPort=2101\r\n");
}

}  // namespace
}  // namespace tamlix::config::test
