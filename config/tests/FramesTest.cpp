// The connection-type frames inside the window: what filling them shows and
// leaves in the file, and what each keystroke writes. Every file is checked
// as its whole text.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>
#include <QTest>
#include <cstring>

#include "ConfigTestSupport.h"
#include "FrameDirect.h"
#include "FrameFile.h"
#include "FrameSerial.h"

namespace tamlix::config::test {
namespace {

// The widget that Tab moves to from `w`.
QWidget* NextTabStop(QWidget* w) {
  for (QWidget* next = w->nextInFocusChain(); next != w; next = next->nextInFocusChain())
    if ((next->focusPolicy() & Qt::TabFocus) && next->isVisible() && next->isEnabled()) return next;
  return nullptr;
}

class FramesTest : public ConfigWindowTest {
 protected:
  template <class Frame>
  Frame* OpenSession(const std::string& text) {
    WriteText(ProductFile(), text);
    Open();
    Select("S");
    return qobject_cast<Frame*>(window->CurrentFrame());
  }
};

// Filling writes each value back as shown; since it reads so already, the
// file keeps every byte, however the value was quoted, padded or cut.
TEST_F(FramesTest, SerialFillingLeavesStoredValuesAsTheyAre) {
  const std::string text = "[S]\nSessionType=3\nSerial_Baud=\"9600\"\nSerial_Port=\nSerial_Parity= 'N' \n"
                           "Serial_StopBits=" + std::string(2100, '1') + "\n[T]\nSerial_Baud=1\n";
  auto* serial = OpenSession<TframSerial>(text);
  ASSERT_NE(serial, nullptr);
  EXPECT_EQ(serial->edtBaud->text(), "9600");
  EXPECT_EQ(serial->edtPort->text(), "");
  EXPECT_EQ(serial->edtParity->text(), "N");
  EXPECT_EQ(serial->edtDataBits->text(), "");
  EXPECT_EQ(serial->edtStopBits->text(), QString(2047, '1'));
  EXPECT_EQ(ReadText(ProductFile()), text);
}

TEST_F(FramesTest, SerialEditsShowLabelsInTabOrder) {
  auto* serial = OpenSession<TframSerial>("[S]\nSessionType=3\n");
  ASSERT_NE(serial, nullptr);
  const struct {
    const char* label;
    QLineEdit* edit;
  } rows[] = {{"Baud:", serial->edtBaud},          {"COM #", serial->edtPort},
              {"Data Bits:", serial->edtDataBits}, {"Parity:", serial->edtParity},
              {"Stop Bits:", serial->edtStopBits}, {"Connect Trigger", serial->edtConnectTrigger}};
  for (const auto& row : rows) {
    bool found = false;
    for (QLabel* label : serial->findChildren<QLabel*>())
      if (label->text() == row.label) found = label->buddy() == row.edit;
    EXPECT_TRUE(found) << row.label;
  }
  EXPECT_EQ(NextTabStop(serial->edtPort), serial->edtBaud);
  EXPECT_EQ(NextTabStop(serial->edtBaud), serial->edtDataBits);
  EXPECT_EQ(NextTabStop(serial->edtStopBits), serial->edtConnectTrigger);
  EXPECT_EQ(ReadText(ProductFile()), "[S]\nSessionType=3\n");
}

TEST_F(FramesTest, SerialKeystrokeWritesWholeTextUnderKeyFromEditName) {
  auto* serial = OpenSession<TframSerial>("[S]\nSessionType=3\n");
  ASSERT_NE(serial, nullptr);
  const char* typed[] = {"1", "19", "192", "1920"};
  for (const char* soFar : typed) {
    QTest::keyClick(serial->edtBaud, soFar[std::strlen(soFar) - 1]);
    EXPECT_EQ(ReadText(ProductFile()), std::string("[S]\nSessionType=3\nSerial_Baud=") + soFar + "\n");
  }
  serial->edtBaud->selectAll();
  QTest::keyClick(serial->edtBaud, Qt::Key_Delete);
  EXPECT_EQ(ReadText(ProductFile()), "[S]\nSessionType=3\nSerial_Baud=\n");

  // The "COM #" edit writes Serial_Port, and so on for each edit's name.
  QTest::keyClicks(serial->edtPort, "2");
  QTest::keyClicks(serial->edtConnectTrigger, "AT");
  QTest::keyClicks(serial->edtStopBits, "1");
  EXPECT_EQ(ReadText(ProductFile()),
            "[S]\nSessionType=3\nSerial_Baud=\nSerial_Port=2\nSerial_ConnectTrigger=AT\nSerial_StopBits=1\n");
}

TEST_F(FramesTest, FileFillingWritesNothing) {
  const std::string text = "[S]\nSessionType=4\nFile_Source=\"c:\\in.txt\"\nFile_Dest='out'\nFile_Auto=1\n";
  auto* file = OpenSession<TframFile>(text);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->edtSourceFile->text(), "c:\\in.txt");
  EXPECT_EQ(file->edtDestFile->text(), "out");
  EXPECT_TRUE(file->chkbxAutoCheck->isChecked());
  // An absent File_Freq empties the edit, and that is not written either.
  EXPECT_EQ(file->edtFrequency->text(), "");
  EXPECT_EQ(file->UpDown1->minimum(), 0);
  EXPECT_EQ(file->UpDown1->maximum(), 30000);
  EXPECT_FALSE(file->Panel1->isVisible());
  EXPECT_TRUE(file->edtSourceFile->isVisible());
  EXPECT_EQ(ReadText(ProductFile()), text);
}

TEST_F(FramesTest, FileKeystrokeWritesOnlyItsKey) {
  auto* file = OpenSession<TframFile>("[S]\nSessionType=4\nFile_Dest=d\n");
  ASSERT_NE(file, nullptr);
  QTest::keyClicks(file->edtSourceFile, "in");
  EXPECT_EQ(ReadText(ProductFile()), "[S]\nSessionType=4\nFile_Dest=d\nFile_Source=in\n");
  QTest::keyClick(file->edtDestFile, Qt::Key_Backspace);
  EXPECT_EQ(ReadText(ProductFile()), "[S]\nSessionType=4\nFile_Dest=\nFile_Source=in\n");
  // The hidden controls are bound like the visible ones.
  file->edtFrequency->setText("500");
  file->chkbxAutoCheck->click();
  EXPECT_EQ(ReadText(ProductFile()),
            "[S]\nSessionType=4\nFile_Dest=\nFile_Source=in\nFile_Freq=500\nFile_Auto=1\n");
}

TEST_F(FramesTest, DirectFrameShowsItsLabelOnly) {
  auto* direct = OpenSession<TframDirect>("[S]\nSessionType=2\n");
  ASSERT_NE(direct, nullptr);
  EXPECT_EQ(direct->Label1->text(), "No parameters for the direct link");
  EXPECT_TRUE(direct->Label1->wordWrap());
  EXPECT_EQ(ReadText(ProductFile()), "[S]\nSessionType=2\n");
}

}  // namespace
}  // namespace tamlix::config::test
