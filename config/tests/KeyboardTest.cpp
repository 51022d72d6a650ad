// The window from the keyboard: where Tab goes (the list, the panel's
// controls, then the buttons), radio groups entered at their checked item,
// and every frame and page within the window's first size. Keys are pressed
// into the active window, as a keyboard does.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QToolButton>
#include <functional>

#include "ConfigTestSupport.h"
#include "FrameFile.h"
#include "FrameHeader.h"
#include "FrameSerial.h"
#include "FrameTCPIP.h"
#include "RadioGroup.h"

namespace tamlix::config::test {
namespace {

std::string NameOf(const QWidget* w) {
  if (!w) return "(none)";
  if (auto* radio = qobject_cast<const QRadioButton*>(w)) return "radio '" + radio->text().toStdString() + "'";
  return w->objectName().toStdString();
}

std::vector<std::string> Names(const QList<QWidget*>& widgets) {
  std::vector<std::string> names;
  for (const QWidget* w : widgets) names.push_back(NameOf(w));
  return names;
}

class TabChainTest;

struct ChainCase {
  const char* name;
  const char* product;  // null: no file
  const char* tcp;      // null: no file
  // Brings up the frame or page (by mouse, as a user would).
  std::function<void(TabChainTest&)> open;
  // The Tab stops after the list, in order, up to the buttons.
  std::function<QList<QWidget*>(TfrmMain&)> panel;
};

class TabChainTest : public ConfigWindowTest, public ::testing::WithParamInterface<ChainCase> {
 public:
  using ConfigWindowTest::Select;
  TfrmMain& Window() { return *window; }
};

TEST_P(TabChainTest, FollowsTheLayoutBothWays) {
  const ChainCase& c = GetParam();
  if (c.product) WriteText(ProductFile(), c.product);
  if (c.tcp) WriteText(TcpFile(), c.tcp);
  Open();
  Activate();
  // The window opens on the list, never on a button that acts on Space.
  EXPECT_EQ(NameOf(QApplication::focusWidget()), "lstbxSessions");
  if (c.open) c.open(*this);
  window->lstbxSessions->setFocus();

  QList<QWidget*> chain = c.panel ? c.panel(*window) : QList<QWidget*>{};
  chain << window->spdbtnTCPIP << window->SpeedButton1 << window->spdbtnNew << window->spdbtnDelete
        << window->BitBtn1 << window->lstbxSessions;
  QList<QWidget*> forward;
  for (qsizetype i = 0; i < chain.size(); ++i) forward << Press(Qt::Key_Tab);
  EXPECT_EQ(Names(forward), Names(chain));

  QList<QWidget*> backward, reversed;
  for (qsizetype i = chain.size() - 2; i >= 0; --i) reversed << chain[i];
  reversed << window->lstbxSessions;
  for (qsizetype i = 0; i < reversed.size(); ++i) backward << Press(Qt::Key_Backtab, Qt::ShiftModifier);
  EXPECT_EQ(Names(backward), Names(reversed));
}

ChainCase Session(const char* name, const char* product, std::function<QList<QWidget*>(TfrmMain&)> panel) {
  return ChainCase{name, product, nullptr, [](TabChainTest& t) { t.Select("S"); }, std::move(panel)};
}

ChainCase Page(const char* name, const char* tcp, bool header, std::function<QList<QWidget*>(TfrmMain&)> panel) {
  return ChainCase{name, nullptr, tcp,
                   [header](TabChainTest& t) { (header ? t.Window().SpeedButton1 : t.Window().spdbtnTCPIP)->click(); },
                   std::move(panel)};
}

template <class Frame>
Frame* Shown(TfrmMain& w) {
  auto* frame = qobject_cast<Frame*>(w.CurrentFrame());
  EXPECT_NE(frame, nullptr);
  return frame;
}

INSTANTIATE_TEST_SUITE_P(
    Panels, TabChainTest,
    ::testing::Values(
        ChainCase{"Empty", nullptr, nullptr, nullptr, nullptr},
        Session("Serial", "[S]\nSessionType=3\n",
                [](TfrmMain& w) -> QList<QWidget*> {
                  TframSerial* f = Shown<TframSerial>(w);
                  if (!f) return {};
                  return {w.rdgrpType->Button(1), f->edtPort,    f->edtBaud,    f->edtDataBits,
                          f->edtParity,           f->edtStopBits, f->edtConnectTrigger};
                }),
        Session("File", "[S]\nSessionType=4\n",
                [](TfrmMain& w) -> QList<QWidget*> {
                  TframFile* f = Shown<TframFile>(w);
                  if (!f) return {};
                  return {w.rdgrpType->Button(2), f->edtSourceFile, f->edtDestFile};
                }),
        Page("TcpPage", "[Global TCP/IP Data]\nUse=1\n", false,
             [](TfrmMain& w) -> QList<QWidget*> {
               TframTCPIP* p = Shown<TframTCPIP>(w);
               if (!p) return {};
               return {p->edtAddress, p->edtPort, p->edtTimeOut, p->edtSecAddress, p->edtSecPort, p->rgUse->Button(1)};
             }),
        Page("HeaderPage", "[Global TCP/IP Data]\nHeaderlength=0\nDefaultHeader=1\n", true,
             [](TfrmMain& w) -> QList<QWidget*> {
               TframHeader* p = Shown<TframHeader>(w);
               if (!p) return {};
               return {p->rgLengthHeader->Button(0), p->rgHeader->Button(1), p->Memo1};
             })),
    [](const ::testing::TestParamInfo<ChainCase>& info) { return std::string(info.param.name); });

// Space on the item Tab lands on changes nothing; an arrow key moves the
// check (and writes it), and Tab then enters the group at the new item.
TEST_F(TabChainTest, RadioGroupIsEnteredAtItsCheckedItem) {
  Open();
  Activate();
  window->SpeedButton1->click();
  auto* page = qobject_cast<TframHeader*>(window->CurrentFrame());
  ASSERT_NE(page, nullptr);
  const std::string stored = "[Global TCP/IP Data]\r\nDefaultHeader=1\r\n";
  ASSERT_EQ(ReadText(TcpFile()), stored);
  window->lstbxSessions->setFocus();
  EXPECT_EQ(Press(Qt::Key_Tab), page->rgLengthHeader->Button(1));
  EXPECT_EQ(Press(Qt::Key_Tab), page->rgHeader->Button(1));
  Press(Qt::Key_Space);
  EXPECT_EQ(page->rgHeader->ItemIndex(), 1);
  EXPECT_EQ(ReadText(TcpFile()), stored);

  EXPECT_EQ(Press(Qt::Key_Up), page->rgHeader->Button(0));
  EXPECT_EQ(page->rgHeader->ItemIndex(), 0);
  EXPECT_EQ(ReadText(TcpFile()), "[Global TCP/IP Data]\r\nDefaultHeader=0\r\n");
  EXPECT_EQ(Press(Qt::Key_Tab), page->Memo1);
  EXPECT_EQ(Press(Qt::Key_Backtab, Qt::ShiftModifier), page->rgHeader->Button(0));
  EXPECT_EQ(Press(Qt::Key_Backtab, Qt::ShiftModifier), page->rgLengthHeader->Button(1));
}

TEST_F(TabChainTest, EveryFrameAndPageFitsTheWindowsFirstSize) {
  WriteText(ProductFile(), "[D]\nSessionType=2\n[F]\nSessionType=4\n[S]\nSessionType=3\n");
  Open();
  QApplication::processEvents();
  const QSize first(693, 425);
  ASSERT_EQ(window->size(), first);
  const std::function<void()> shows[] = {
      [&] { Select("D"); }, [&] { Select("S"); }, [&] { Select("F"); }, [&] { window->spdbtnTCPIP->click(); },
      [&] { window->SpeedButton1->click(); },
  };
  for (const auto& show : shows) {
    show();
    QApplication::processEvents();
    QWidget* frame = window->CurrentFrame();
    ASSERT_NE(frame, nullptr);
    SCOPED_TRACE(frame->metaObject()->className());
    EXPECT_EQ(window->width(), first.width());
    EXPECT_EQ(window->height(), first.height());
    EXPECT_GE(frame->height(), frame->minimumSizeHint().height());
    EXPECT_GE(frame->width(), frame->minimumSizeHint().width());
  }
}

}  // namespace
}  // namespace tamlix::config::test
