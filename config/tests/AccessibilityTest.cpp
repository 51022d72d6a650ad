// The window as a screen reader and a large font meet it, in every state of
// the host panel: each control that takes focus has a name in the
// accessibility tree, and each caption fits its widget at any font size.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QToolButton>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "ConfigTestSupport.h"
#include "FrameHeader.h"
#include "FrameTemplate.h"
#include "platform/tests/AccessibleTree.h"

namespace tamlix::config::test {
namespace {

const char kSessions[] = "[D]\nSessionType=2\n[F]\nSessionType=4\n[S]\nSessionType=3\n";

std::string Describe(const QWidget* w) {
  std::string text = w->metaObject()->className();
  if (!w->objectName().isEmpty()) text += " " + w->objectName().toStdString();
  if (auto* button = qobject_cast<const QAbstractButton*>(w)) text += " '" + button->text().toStdString() + "'";
  if (auto* label = qobject_cast<const QLabel*>(w)) text += " '" + label->text().toStdString() + "'";
  if (auto* group = qobject_cast<const QGroupBox*>(w)) text += " '" + group->title().toStdString() + "'";
  return text;
}

// The shown controls that Tab reaches; a control's inner parts are its own.
QList<QWidget*> TabStops(QWidget* window) {
  QList<QWidget*> stops;
  for (QWidget* w : window->findChildren<QWidget*>()) {
    if (!w->isVisible() || !(w->focusPolicy() & Qt::TabFocus)) continue;
    bool inner = false;
    for (QWidget* up = w->parentWidget(); up != window && !inner; up = up->parentWidget())
      inner = up->focusPolicy() != Qt::NoFocus;
    if (!inner) stops << w;
  }
  return stops;
}

class ReadableWindowTest : public ConfigWindowTest {
 protected:
  struct Panel {
    const char* name;
    std::function<void(ReadableWindowTest&)> open;
  };
  // Every state of the host panel, each brought up as a user would.
  static const std::vector<Panel>& Panels() {
    static const std::vector<Panel> panels = {
        {"nothing", [](ReadableWindowTest&) {}},
        {"direct", [](ReadableWindowTest& t) { t.Select("D"); }},
        {"serial", [](ReadableWindowTest& t) { t.Select("S"); }},
        {"file", [](ReadableWindowTest& t) { t.Select("F"); }},
        {"TCP/IP page", [](ReadableWindowTest& t) { t.window->spdbtnTCPIP->click(); }},
        {"header page", [](ReadableWindowTest& t) { t.window->SpeedButton1->click(); }},
    };
    return panels;
  }
};

TEST_F(ReadableWindowTest, EveryControlThatTakesFocusIsNamedForAScreenReader) {
  WriteText(ProductFile(), kSessions);
  Open();
  for (const Panel& panel : Panels()) {
    SCOPED_TRACE(panel.name);
    panel.open(*this);
    QApplication::processEvents();
    const std::map<QWidget*, QString> names = tamlix::testing::FocusableNames(window.get());
    for (QWidget* stop : TabStops(window.get())) EXPECT_EQ(names.count(stop), 1u) << "not in the tree: " << Describe(stop);
    for (const auto& [w, name] : names) EXPECT_FALSE(name.trimmed().isEmpty()) << "no name: " << Describe(w);
    ASSERT_EQ(names.count(window->lstbxSessions), 1u);
    EXPECT_EQ(names.at(window->lstbxSessions).toStdString(), "Sessions");
  }
}

// The application font at a scale, for one test.
class LargeFontTest : public ReadableWindowTest, public ::testing::WithParamInterface<double> {
 protected:
  void SetUp() override {
    QFont font = saved_;
    font.setPointSizeF(saved_.pointSizeF() * GetParam());
    QApplication::setFont(font);
  }
  void TearDown() override {
    ConfigWindowTest::TearDown();
    QApplication::setFont(saved_);
  }

 private:
  const QFont saved_ = QApplication::font();
};

// Where the caption of a shown button, label or group title in `root` is
// cut: a button narrower than its style asks for its caption or lower than a
// line; a label whose text, wrapped where it wraps, leaves its contents; a
// group title wider than its group.
std::vector<std::string> CutCaptions(QWidget* root) {
  std::vector<std::string> cut;
  for (QWidget* w : root->findChildren<QWidget*>()) {
    if (!w->isVisible()) continue;
    const QFontMetrics metrics = w->fontMetrics();
    bool fits = true;
    if (auto* button = qobject_cast<QAbstractButton*>(w)) {
      fits = button->width() >= button->sizeHint().width() && button->height() >= metrics.height();
    } else if (auto* label = qobject_cast<QLabel*>(w)) {
      if (label->text().isEmpty()) continue;
      const QRect room = label->contentsRect();
      const int flags = label->wordWrap() ? int(Qt::TextWordWrap) : 0;
      const QSize need = metrics.boundingRect(QRect(0, 0, room.width(), 100000), flags, label->text()).size();
      fits = need.width() <= room.width() && need.height() <= room.height();
    } else if (auto* group = qobject_cast<QGroupBox*>(w)) {
      fits = metrics.horizontalAdvance(group->title()) <= group->width();
    }
    if (!fits) cut.push_back(Describe(w));
  }
  return cut;
}

TEST_P(LargeFontTest, EveryCaptionFitsItsWidgetInEveryPanel) {
  WriteText(ProductFile(), kSessions);
  Open();
  QApplication::processEvents();
  if (GetParam() == 1.0) {
    EXPECT_EQ(window->size(), QSize(693, 425));
  }
  for (const Panel& panel : Panels()) {
    SCOPED_TRACE(panel.name);
    panel.open(*this);
    QApplication::processEvents();
    EXPECT_EQ(CutCaptions(window.get()), std::vector<std::string>{});
    // The session buttons stay side by side under the list.
    EXPECT_EQ(window->spdbtnNew->y(), window->spdbtnDelete->y());
    EXPECT_GT(window->spdbtnNew->y(), window->lstbxSessions->geometry().bottom());
  }
}

// The header page keeps its own size; its help text shows whole at the usual
// font size and scrolls where a large font leaves the page too small.
TEST_P(LargeFontTest, HeaderHelpTextShowsWholeOrScrolls) {
  Open();
  window->SpeedButton1->click();
  QApplication::processEvents();
  auto* page = qobject_cast<TframHeader*>(window->CurrentFrame());
  ASSERT_NE(page, nullptr);
  EXPECT_EQ(page->size(), QSize(448, 261));
  QPlainTextEdit* help = page->Memo1;
  const QSizeF text = help->document()->size();
  const QFontMetricsF metrics(help->font());
  const bool fitsAcross = text.width() <= help->viewport()->width();
  const bool fitsDown = text.height() * metrics.lineSpacing() <= help->viewport()->height();
  if (GetParam() == 1.0) {
    EXPECT_TRUE(fitsAcross && fitsDown);
  }
  EXPECT_EQ(help->horizontalScrollBar()->isVisible(), !fitsAcross);
  EXPECT_EQ(help->verticalScrollBar()->isVisible(), !fitsDown);
}

INSTANTIATE_TEST_SUITE_P(Scales, LargeFontTest, ::testing::Values(1.0, 1.5, 2.0),
                         [](const ::testing::TestParamInfo<double>& info) {
                           return "x" + std::to_string(static_cast<int>(info.param * 10));
                         });

}  // namespace
}  // namespace tamlix::config::test
