// Texts of settings files made on Windows: 8-bit bytes, shown one character
// each and written back as themselves; typed text written in the same code
// page, a character it cannot hold refused; a NUL ending what a value shows.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QListWidget>
#include <QTest>
#include <QToolButton>

#include "ConfigTestSupport.h"
#include "FrameFile.h"
#include "FrameHeader.h"
#include "FrameSerial.h"
#include "FrameTCPIP.h"
#include "RadioGroup.h"

namespace tamlix::config::test {
namespace {

// Types `text` into the focus of `w` one character at a time, each as a key
// carrying its character, as a keyboard layout or input method delivers it.
void Type(QWidget* w, const QString& text) {
  for (QChar c : text) QTest::sendKeyEvent(QTest::Click, w, Qt::Key_unknown, QString(c), Qt::NoModifier);
}

class TextTest : public ConfigWindowTest {};

// Every byte but NUL, CR and LF, inside each text value of both files: the
// windows show them and leave both files as they were, byte for byte.
TEST_F(TextTest, EveryByteSurvivesSelectingEachTypeAndOpeningBothPages) {
  std::string bytes;
  for (int b = 1; b < 256; ++b)
    if (b != '\r' && b != '\n') bytes.push_back(static_cast<char>(b));
  const std::string v = "<" + bytes + ">";
  std::string product = "[Sessi\xF3n D]\r\nSessionType=2\r\n[Sessi\xF3n S]\r\nSessionType=3\r\n";
  for (const char* key : {"Baud", "Port", "DataBits", "Parity", "StopBits", "ConnectTrigger"})
    product += std::string("Serial_") + key + "=" + v + "\r\n";
  product += "[Sessi\xF3n F]\r\nSessionType=4\r\nFile_Source=" + v + "\r\nFile_Dest=" + v +
             "\r\nFile_Auto=1\r\nFile_Freq=" + v + "\r\n";
  std::string tcp = "[Global TCP/IP Data]\r\n";
  for (const char* key : {"Address", "Port", "TimeOut", "SecAddress", "SecPort"})
    tcp += std::string(key) + "=" + v + "\r\n";
  tcp += "Use=1\r\nHeaderlength=0\r\nDefaultHeader=1\r\n";
  WriteText(ProductFile(), product);
  WriteText(TcpFile(), tcp);

  // One character per byte; the euro sign, a Latin-1 letter and an
  // unassigned byte each at their own byte's place.
  auto checkShown = [&](const QLineEdit* edit) {
    const QString shown = edit->text();
    SCOPED_TRACE(edit->objectName().toStdString());
    ASSERT_EQ(shown.size(), static_cast<qsizetype>(v.size()));
    EXPECT_EQ(shown.at(static_cast<qsizetype>(v.find('\x80'))), QChar(0x20AC));
    EXPECT_EQ(shown.at(static_cast<qsizetype>(v.find('\xE9'))), QChar(0xE9));
    EXPECT_EQ(shown.at(static_cast<qsizetype>(v.find('\x81'))), QChar(0x81));
  };

  Open();
  const QString prefix = QString::fromUtf8("Sessi\xC3\xB3n ");
  EXPECT_EQ(Entries(), QStringList({prefix + "D", prefix + "F", prefix + "S"}));
  Select(prefix + "D");
  Select(prefix + "S");
  auto* serial = qobject_cast<TframSerial*>(window->CurrentFrame());
  ASSERT_NE(serial, nullptr);
  for (const QLineEdit* edit : {serial->edtBaud, serial->edtPort, serial->edtDataBits, serial->edtParity,
                                serial->edtStopBits, serial->edtConnectTrigger})
    checkShown(edit);
  Select(prefix + "F");
  auto* file = qobject_cast<TframFile*>(window->CurrentFrame());
  ASSERT_NE(file, nullptr);
  for (const QLineEdit* edit : {file->edtSourceFile, file->edtDestFile, file->edtFrequency}) checkShown(edit);
  window->spdbtnTCPIP->click();
  auto* page = qobject_cast<TframTCPIP*>(window->CurrentFrame());
  ASSERT_NE(page, nullptr);
  for (const QLineEdit* edit :
       {page->edtAddress, page->edtPort, page->edtTimeOut, page->edtSecAddress, page->edtSecPort})
    checkShown(edit);
  window->SpeedButton1->click();
  ASSERT_NE(qobject_cast<TframHeader*>(window->CurrentFrame()), nullptr);

  EXPECT_EQ(ReadText(ProductFile()), product);
  EXPECT_EQ(ReadText(TcpFile()), tcp);
}

TEST_F(TextTest, TypedTextIsWrittenInTheCodePageOrRefused) {
  WriteText(ProductFile(), "[S]\r\nSessionType=3\r\n");
  Open();
  Select("S");
  auto* serial = qobject_cast<TframSerial*>(window->CurrentFrame());
  ASSERT_NE(serial, nullptr);
  Type(serial->edtParity, QString::fromUtf8("\xC3\xA9"));  // e acute
  EXPECT_EQ(ReadText(ProductFile()), "[S]\r\nSessionType=3\r\nSerial_Parity=\xE9\r\n");
  Type(serial->edtParity, QString::fromUtf8("\xE2\x82\xAC"));  // euro sign
  const std::string typed = "[S]\r\nSessionType=3\r\nSerial_Parity=\xE9\x80\r\n";
  EXPECT_EQ(ReadText(ProductFile()), typed);
  {
    MessageBoxCatcher box;
    Type(serial->edtParity, QString::fromUtf8("\xE2\x86\x92"));  // rightwards arrow
    ASSERT_TRUE(box.Shown());
    EXPECT_EQ(box.Text(), "Unable to write to " + ProductFile());
  }
  EXPECT_EQ(ReadText(ProductFile()), typed);
  EXPECT_EQ(serial->edtParity->text(), QString::fromUtf8("\xC3\xA9\xE2\x82\xAC\xE2\x86\x92"));

  window->spdbtnTCPIP->click();
  auto* page = qobject_cast<TframTCPIP*>(window->CurrentFrame());
  ASSERT_NE(page, nullptr);
  page->edtSecAddress->selectAll();
  Type(page->edtSecAddress, QString::fromUtf8("*h\xC3\xB4te"));
  const std::string tcp =
      "[Global TCP/IP Data]\r\nAddress=000.000.000.000\r\nPort=21\r\nTimeOut=10000\r\nSecAddress=*h\xF4te\r\nSecPort=21\r\n";
  EXPECT_EQ(ReadText(TcpFile()), tcp);
  {
    MessageBoxCatcher box;
    Type(page->edtSecAddress, QString::fromUtf8("\xC4\x80"));  // A with macron
    ASSERT_TRUE(box.Shown());
    EXPECT_EQ(box.Text(), "Unable to write to " + TcpFile());
  }
  EXPECT_EQ(ReadText(TcpFile()), tcp);
}

TEST_F(TextTest, SessionIdsAreWrittenInTheCodePageOrRefused) {
  Open();
  {
    InputAnswer ok(std::string("Sessi\xC3\xB3n"));
    window->spdbtnNew->click();
  }
  EXPECT_EQ(Entries(), QStringList({QString::fromUtf8("Sessi\xC3\xB3n")}));
  EXPECT_EQ(ReadText(ProductFile()), "[Sessi\xF3n]\r\nSessionType=1\r\n");
  {
    MessageBoxCatcher box;
    InputAnswer ok(std::string("\xCE\xA9mega"));  // Greek capital omega
    window->spdbtnNew->click();
    ASSERT_TRUE(box.Shown());
    EXPECT_EQ(box.Text(), "Unable to write to " + ProductFile());
  }
  EXPECT_EQ(Entries().size(), 1);
  EXPECT_EQ(ReadText(ProductFile()), "[Sessi\xF3n]\r\nSessionType=1\r\n");

  // The longest ID: 255 characters, each one byte.
  std::string longId;
  for (int i = 0; i < 255; ++i) longId += "\xC3\xA9";
  {
    InputAnswer ok(longId);
    window->spdbtnNew->click();
  }
  EXPECT_EQ(Entries().size(), 2);
  EXPECT_EQ(ReadText(ProductFile()),
            "[Sessi\xF3n]\r\nSessionType=1\r\n[" + std::string(255, '\xE9') + "]\r\nSessionType=1\r\n");
}

// Values are read up to a NUL, as the Windows functions hand them over; the
// page fills every control and the stored bytes stay.
TEST_F(TextTest, ValueWithNulShowsUpToItAndThePageFillsWhole) {
  const std::string nul(1, '\0');
  const std::string tcp = "[Global TCP/IP Data]\r\nAddress=10.0.0.1" + nul + "junk\r\nPort=443" + nul +
                          "\r\nTimeOut=8000\r\nSecAddress=*b\r\nSecPort=444\r\nUse=1\r\n";
  WriteText(TcpFile(), tcp);
  Open();
  MessageBoxCatcher box;
  window->spdbtnTCPIP->click();
  auto* page = qobject_cast<TframTCPIP*>(window->CurrentFrame());
  ASSERT_NE(page, nullptr);
  EXPECT_FALSE(box.Shown()) << box.Text();
  EXPECT_EQ(page->edtAddress->text(), "10.0.0.1");
  EXPECT_EQ(page->edtPort->text(), "443");
  EXPECT_EQ(page->edtTimeOut->text(), "8000");
  EXPECT_EQ(page->edtSecAddress->text(), "*b");
  EXPECT_EQ(page->edtSecPort->text(), "444");
  EXPECT_EQ(page->rgUse->ItemIndex(), 1);
  EXPECT_EQ(ReadText(TcpFile()), tcp);
}

}  // namespace
}  // namespace tamlix::config::test
