// The configuration window over real files: the session list, selecting,
// typing, creating and deleting sessions, the page buttons, and refused
// writes. Every file is checked as its whole text.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFontMetrics>
#include <QInputDialog>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QStyleOptionTitleBar>
#include <QTest>
#include <QToolButton>

#include "ConfigTestSupport.h"
#include "FrameDirect.h"
#include "FrameFile.h"
#include "FrameHeader.h"
#include "FrameSerial.h"
#include "FrameTCPIP.h"
#include "RadioGroup.h"
#include "platform/Sys.h"

namespace tamlix::config::test {
namespace {

using ::testing::Test;

class FormMainTest : public ConfigWindowTest {};

TEST_F(FormMainTest, WithoutProductFileShowsNothingAndWritesNothing) {
  Open();
  EXPECT_EQ(window->windowTitle(), "Config Program");
  EXPECT_EQ(window->size(), QSize(693, 425));
  EXPECT_EQ(window->lstbxSessions->count(), 0);
  EXPECT_FALSE(window->rdgrpType->isEnabled());
  EXPECT_EQ(window->rdgrpType->ItemIndex(), -1);
  EXPECT_EQ(window->CurrentFrame(), nullptr);
  EXPECT_TRUE(window->pnlSwitchCaption->isVisible());
  EXPECT_EQ(window->pnlSwitchCaption->text(), "No Type Selected");

  window->BitBtn1->click();
  EXPECT_FALSE(window->isVisible());
  EXPECT_EQ(ReadText(ProductFile()), std::nullopt);
  EXPECT_EQ(ReadText(TcpFile()), std::nullopt);
}

TEST_F(FormMainTest, LayoutGrowsWithTheWindow) {
  Open();
  QApplication::processEvents();
  const QSize list = window->lstbxSessions->size();
  const QSize selector = window->rdgrpType->size();
  const QSize panel = window->pnlSwitch->size();
  window->resize(900, 600);
  QApplication::processEvents();
  EXPECT_EQ(window->lstbxSessions->width(), list.width());
  EXPECT_GT(window->lstbxSessions->height(), list.height());
  EXPECT_GT(window->rdgrpType->width(), selector.width());
  EXPECT_EQ(window->rdgrpType->height(), selector.height());
  EXPECT_GT(window->pnlSwitch->width(), panel.width());
  EXPECT_GT(window->pnlSwitch->height(), panel.height());
  // The session buttons and "&Close" stay at the bottom edge.
  for (QWidget* w : std::initializer_list<QWidget*>{window->spdbtnNew, window->spdbtnDelete, window->BitBtn1})
    EXPECT_GT(w->mapTo(window.get(), QPoint(0, w->height())).y(), 600 - 20) << w->objectName().toStdString();
  EXPECT_LT(window->spdbtnTCPIP->mapTo(window.get(), QPoint(0, 0)).y(),
            window->SpeedButton1->mapTo(window.get(), QPoint(0, 0)).y());
}

TEST_F(FormMainTest, ListIsSortedWithoutRegardToCaseAndTypedFromEachSection) {
  // A type that is no whole number must not stop the entries after it, and
  // a section named "" is typed from its own keys.
  const std::string text =
      "[]\nSessionType=3\n"
      "[delta]\nSessionType=4\n"
      "[Bravo]\nSessionType=x\n"
      "[alpha]\nSessionType=2\n"
      "[Charlie]\nSerial_Baud=9600\n"
      "[echo]\nSessionType=3\n";
  WriteText(ProductFile(), text);
  Open();
  EXPECT_EQ(Entries(), QStringList({"", "alpha", "Bravo", "Charlie", "delta", "echo"}));
  const int types[] = {3, 2, 1, 1, 4, 3};
  for (int i = 0; i < 6; ++i)
    EXPECT_EQ(TfrmMain::RecordedType(window->lstbxSessions->item(i)), types[i]) << "entry " << i;
  EXPECT_TRUE(window->lstbxSessions->selectedItems().isEmpty());
  EXPECT_EQ(ReadText(ProductFile()), text);
}

struct SelectCase {
  const char* name;
  const char* section;       // the session's section as stored
  int checked;               // the selector's index afterwards
  const char* frameClass;    // null: no frame
  const char* sectionAfter;  // the section's whole text afterwards
};

class SelectSessionTest : public ConfigWindowTest, public ::testing::WithParamInterface<SelectCase> {};

TEST_P(SelectSessionTest, ChecksTypeShowsFrameAndWritesTypeBack) {
  const SelectCase& c = GetParam();
  const std::string other = "[other]\nSessionType=2\n";
  WriteText(ProductFile(), std::string(c.section) + other);
  Open();
  Select("S");
  EXPECT_TRUE(window->rdgrpType->isEnabled());
  EXPECT_EQ(window->rdgrpType->ItemIndex(), c.checked);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(window->rdgrpType->Button(i)->isChecked(), i == c.checked);
  if (c.frameClass) {
    ASSERT_NE(window->CurrentFrame(), nullptr);
    EXPECT_STREQ(window->CurrentFrame()->metaObject()->className(), c.frameClass);
    EXPECT_TRUE(window->CurrentFrame()->isVisible());
    EXPECT_FALSE(window->pnlSwitchCaption->isVisible());
  } else {
    EXPECT_EQ(window->CurrentFrame(), nullptr);
    EXPECT_TRUE(window->pnlSwitchCaption->isVisible());
  }
  EXPECT_EQ(ReadText(ProductFile()), std::string(c.sectionAfter) + other);
}

INSTANTIATE_TEST_SUITE_P(
    Types, SelectSessionTest,
    ::testing::Values(
        SelectCase{"Seven", "[S]\nSessionType=7\n", 2, "tamlix::config::TframFile", "[S]\nSessionType=4\n"},
        SelectCase{"Zero", "[S]\nSessionType=0\n", -1, nullptr, "[S]\nSessionType=1\n"},
        SelectCase{"MinusThree", "[S]\nSessionType=-3\n", -1, nullptr, "[S]\nSessionType=1\n"},
        SelectCase{"Direct", "[S]\nSessionType=2\n", 0, "tamlix::config::TframDirect",
                   "[S]\nSessionType=2\n"},
        // Reads as 3 already, so it keeps its quotes.
        SelectCase{"Serial", "[S]\nSessionType=\"3\"\nSerial_Baud=9600\n", 1, "tamlix::config::TframSerial",
                   "[S]\nSessionType=\"3\"\nSerial_Baud=9600\n"},
        SelectCase{"NoType", "[S]\nFile_Source=a.txt\n", -1, nullptr,
                   "[S]\nFile_Source=a.txt\nSessionType=1\n"},
        SelectCase{"NotANumber", "[S]\nSessionType=two\n", -1, nullptr, "[S]\nSessionType=1\n"}),
    [](const ::testing::TestParamInfo<SelectCase>& info) { return std::string(info.param.name); });

TEST_F(FormMainTest, PickingATypeWritesItAndReplacesTheFrame) {
  WriteText(ProductFile(), "[S]\nSessionType=2\nSerial_Port=4\n");
  Open();
  Select("S");
  PickType(1);
  auto* serial = qobject_cast<TframSerial*>(window->CurrentFrame());
  ASSERT_NE(serial, nullptr);
  EXPECT_EQ(serial->edtPort->text(), "4");
  EXPECT_EQ(TfrmMain::RecordedType(window->lstbxSessions->item(0)), 3);
  EXPECT_EQ(ReadText(ProductFile()), "[S]\nSessionType=3\nSerial_Port=4\n");

  // Picking the checked button again changes nothing.
  PickType(1);
  EXPECT_EQ(window->CurrentFrame(), serial);

  PickType(2);
  EXPECT_NE(qobject_cast<TframFile*>(window->CurrentFrame()), nullptr);
  EXPECT_EQ(ReadText(ProductFile()), "[S]\nSessionType=4\nSerial_Port=4\n");
  // Selecting takes the type recorded with the entry.
  Select("S");
  EXPECT_EQ(window->rdgrpType->ItemIndex(), 2);
}

TEST_F(FormMainTest, NewSessionCancelledWritesNothing) {
  WriteText(ProductFile(), "[b]\nSessionType=2\n");
  Open();
  {
    InputAnswer cancel(std::nullopt, [](QWidget* w) {
      auto* dialog = static_cast<QInputDialog*>(w);
      EXPECT_EQ(dialog->windowTitle(), "Please Enter a Session ID");
      EXPECT_EQ(dialog->labelText(), "ID:");
      EXPECT_EQ(dialog->textValue(), "");
      auto* edit = dialog->findChild<QLineEdit*>();
      ASSERT_NE(edit, nullptr);
      EXPECT_EQ(edit->maxLength(), 255);
      // A title bar as wide as the dialog leaves its label room for the
      // whole title, even in a bold font.
      QStyleOptionTitleBar bar;
      bar.initFrom(dialog);
      bar.text = dialog->windowTitle();
      bar.titleBarFlags = dialog->windowFlags();
      bar.subControls = QStyle::SC_All;
      bar.rect = QRect(0, 0, dialog->width(), dialog->style()->pixelMetric(QStyle::PM_TitleBarHeight, &bar, dialog));
      const QRect label = dialog->style()->subControlRect(QStyle::CC_TitleBar, &bar, QStyle::SC_TitleBarLabel, dialog);
      QFont bold = dialog->font();
      bold.setBold(true);
      EXPECT_GE(label.width(), QFontMetrics(bold).horizontalAdvance(dialog->windowTitle()))
          << "dialog " << dialog->width() << " px wide";
    });
    window->spdbtnNew->click();
    EXPECT_TRUE(cancel.Shown());
  }
  EXPECT_EQ(Entries(), QStringList({"b"}));
  EXPECT_EQ(ReadText(ProductFile()), "[b]\nSessionType=2\n");
}

TEST_F(FormMainTest, NewSessionIsPlacedSelectedAndTypedOne) {
  WriteText(ProductFile(), "[c]\nSessionType=2\n[A]\nSessionType=3\n");
  Open();
  {
    InputAnswer ok(std::string("b"));
    window->spdbtnNew->click();
    EXPECT_TRUE(ok.Shown());
  }
  EXPECT_EQ(Entries(), QStringList({"A", "b", "c"}));
  ASSERT_EQ(window->lstbxSessions->selectedItems().size(), 1);
  EXPECT_EQ(window->lstbxSessions->selectedItems().first()->text(), "b");
  EXPECT_TRUE(window->rdgrpType->isEnabled());
  EXPECT_EQ(window->rdgrpType->ItemIndex(), -1);
  EXPECT_EQ(window->CurrentFrame(), nullptr);
  EXPECT_TRUE(window->pnlSwitchCaption->isVisible());
  EXPECT_EQ(ReadText(ProductFile()), "[c]\nSessionType=2\n[A]\nSessionType=3\n[b]\nSessionType=1\n");

  PickType(1);
  auto* serial = qobject_cast<TframSerial*>(window->CurrentFrame());
  ASSERT_NE(serial, nullptr);
  for (QLineEdit* edit : {serial->edtBaud, serial->edtPort, serial->edtDataBits, serial->edtParity,
                          serial->edtStopBits, serial->edtConnectTrigger})
    EXPECT_EQ(edit->text(), "") << edit->objectName().toStdString();
  EXPECT_EQ(ReadText(ProductFile()), "[c]\nSessionType=2\n[A]\nSessionType=3\n[b]\nSessionType=3\n");
}

TEST_F(FormMainTest, NewSessionOnAbsentFileCreatesIt) {
  Open();
  InputAnswer ok(std::string("700"));
  window->spdbtnNew->click();
  EXPECT_EQ(Entries(), QStringList({"700"}));
  EXPECT_EQ(ReadText(ProductFile()), "[700]\r\nSessionType=1\r\n");
}

TEST_F(FormMainTest, NewSessionRefusesIdsThatCannotNameASession) {
  const std::string text = "[Alpha]\nSessionType=2\n";
  const struct {
    const char* id;
    const char* says;
  } cases[] = {
      {"", "Please enter a session ID."},
      {"alpha", "Session ID 'alpha' already exists."},
      {"ALPHA", "Session ID 'ALPHA' already exists."},
      {"a]b", "cannot hold ']'"},
      {" lead", "begin or end with a blank"},
      {"trail ", "begin or end with a blank"},
      {"\t", "begin or end with a blank"},
      {"two\nlines", "line break"},
  };
  WriteText(ProductFile(), text);
  Open();
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("ID '") + c.id + "'");
    MessageBoxCatcher box;
    {
      InputAnswer ok(std::string(c.id));
      window->spdbtnNew->click();
      EXPECT_TRUE(ok.Shown());
    }
    ASSERT_TRUE(box.Shown());
    EXPECT_NE(box.Text().find(c.says), std::string::npos) << box.Text();
    EXPECT_EQ(Entries(), QStringList({"Alpha"}));
    EXPECT_EQ(ReadText(ProductFile()), text);
  }
}

TEST_F(FormMainTest, DeleteSessionErasesSectionAndItsFrame) {
  WriteText(ProductFile(), "[a]\nSessionType=2\n[b]\nSessionType=3\nSerial_Baud=9600\n[c]\nSessionType=4\n");
  Open();
  Select("b");
  ASSERT_NE(qobject_cast<TframSerial*>(window->CurrentFrame()), nullptr);
  window->spdbtnDelete->click();
  EXPECT_EQ(ReadText(ProductFile()), "[a]\nSessionType=2\n[c]\nSessionType=4\n");
  EXPECT_EQ(Entries(), QStringList({"a", "c"}));
  EXPECT_TRUE(window->lstbxSessions->selectedItems().isEmpty());
  // No frame is left whose keystrokes would write the erased section again.
  EXPECT_EQ(window->CurrentFrame(), nullptr);
  EXPECT_EQ(window->findChild<TframSerial*>(), nullptr);
  EXPECT_TRUE(window->pnlSwitchCaption->isVisible());
  EXPECT_EQ(window->rdgrpType->ItemIndex(), -1);

  // With nothing selected, neither a delete nor a type pick touches the file.
  window->spdbtnDelete->click();
  PickType(0);
  EXPECT_EQ(window->rdgrpType->ItemIndex(), -1);
  EXPECT_EQ(window->CurrentFrame(), nullptr);
  EXPECT_EQ(ReadText(ProductFile()), "[a]\nSessionType=2\n[c]\nSessionType=4\n");
}

TEST_F(FormMainTest, PageButtonsClearSelectionAndTypePicksThenWriteNothing) {
  const std::string product = "[a]\nSessionType=3\n";
  WriteText(ProductFile(), product);
  Open();
  Select("a");
  window->spdbtnTCPIP->click();
  EXPECT_TRUE(window->lstbxSessions->selectedItems().isEmpty());
  ASSERT_NE(qobject_cast<TframTCPIP*>(window->CurrentFrame()), nullptr);
  EXPECT_EQ(window->findChild<TframSerial*>(), nullptr);

  // The selector stays enabled; a pick with no session is taken back.
  EXPECT_TRUE(window->rdgrpType->isEnabled());
  PickType(2);
  EXPECT_EQ(window->rdgrpType->ItemIndex(), 1);
  EXPECT_NE(qobject_cast<TframTCPIP*>(window->CurrentFrame()), nullptr);
  EXPECT_EQ(TfrmMain::RecordedType(window->lstbxSessions->item(0)), 3);
  EXPECT_EQ(ReadText(ProductFile()), product);

  window->SpeedButton1->click();
  auto* header = qobject_cast<TframHeader*>(window->CurrentFrame());
  ASSERT_NE(header, nullptr);
  EXPECT_EQ(header->size(), QSize(448, 261));
  EXPECT_EQ(header->pos(), window->pnlSwitch->layout()->contentsRect().topLeft());
  EXPECT_EQ(window->findChild<TframTCPIP*>(), nullptr);

  Select("a");
  EXPECT_NE(qobject_cast<TframSerial*>(window->CurrentFrame()), nullptr);
  EXPECT_EQ(window->findChild<TframHeader*>(), nullptr);
  EXPECT_EQ(ReadText(ProductFile()), product);
}

TEST_F(FormMainTest, RefusedWriteIsShownAndNothingIsListed) {
  // A directory below a regular file cannot exist: every write is refused.
  WriteText(dir.File("plain"), "");
  window = std::make_unique<TfrmMain>(dir.File("plain") + "/");
  window->show();
  MessageBoxCatcher box;
  {
    InputAnswer ok(std::string("700"));
    window->spdbtnNew->click();
  }
  ASSERT_TRUE(box.Shown());
  EXPECT_EQ(box.Text(), "Unable to write to " + dir.File("plain") + "/Brindlemoss.INI");
  EXPECT_EQ(window->lstbxSessions->count(), 0);
  EXPECT_TRUE(window->isVisible());
}

TEST_F(FormMainTest, RefusedTypeWriteEndsTheSelectionThere) {
  const std::string text = "[S]\nSessionType=9\nSerial_Baud=9600\n[T]\nSessionType=3\n";
  WriteText(ProductFile(), text);
  Open();
  tamlix::sys::FailNth(tamlix::sys::Call::Write, 1, EIO, true);
  {
    MessageBoxCatcher box;
    Select("S");
    ASSERT_TRUE(box.Shown());
    EXPECT_EQ(box.Text(), "Unable to write to " + ProductFile());
  }
  // The frame was never filled, so it writes nothing; the window goes on.
  EXPECT_TRUE(window->pnlSwitch->isVisible());
  EXPECT_EQ(ReadText(ProductFile()), text);
  tamlix::sys::ClearFaults();
  Select("T");
  auto* serial = qobject_cast<TframSerial*>(window->CurrentFrame());
  ASSERT_NE(serial, nullptr);
  QTest::keyClicks(serial->edtDataBits, "8");
  EXPECT_EQ(ReadText(ProductFile()), text + "Serial_DataBits=8\n");
}

}  // namespace
}  // namespace tamlix::config::test
