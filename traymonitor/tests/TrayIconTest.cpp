// TTrayNotifyIcon against a recording notification area.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMenu>
#include <QTest>
#include <QWidget>
#include <memory>
#include <string>
#include <vector>

#include "TrayIcon.h"
#include "TestApp.h"

namespace tamlix::tray {
namespace {

struct ShellCall {
  uint32_t message;
  uint32_t id;
  uint32_t flags;
  uint32_t callback;
  qint64 iconKey;
  std::string tip;
};

class RecordingShell : public TTrayShell {
 public:
  bool ShellNotifyIcon(uint32_t message, const TNotifyIconData& d) override {
    EXPECT_EQ(d.cbSize, 88u);
    EXPECT_EQ(d.hWnd, IconManager().WindowHandle());
    calls.push_back({message, d.uID, d.uFlags, d.uCallbackMessage, d.hIcon.cacheKey(), d.szTip});
    return true;
  }
  void HideTaskButton(QWidget* window, bool hide) override { hides.emplace_back(window, hide); }
  void SetForegroundWindow(uintptr_t window) override { foreground.push_back(window); }
  QPoint GetCursorPos() override { return {120, 340}; }
  void Popup(QMenu* menu, QPoint at) override { popups.emplace_back(menu, at); }
  int GetDoubleClickTime() override { return 150; }

  std::vector<ShellCall> calls;
  std::vector<std::pair<QWidget*, bool>> hides;
  std::vector<uintptr_t> foreground;
  std::vector<std::pair<QMenu*, QPoint>> popups;
};

QIcon SolidIcon(Qt::GlobalColor color) {
  QPixmap pixmap(32, 32);
  pixmap.fill(color);
  return QIcon(pixmap);
}

class TrayIconTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { test::EnsureApplication(); }
  void SetUp() override {
    SetShellForTesting(&shell);
    icon = std::make_unique<TTrayNotifyIcon>(&owner);
  }
  void TearDown() override {
    icon.reset();
    SetShellForTesting(nullptr);
  }

  void Mouse(intptr_t message) { IconManager().TrayWndProc(TrayCallbackMessage(), icon->Id(), message); }

  RecordingShell shell;
  QWidget owner;
  std::unique_ptr<TTrayNotifyIcon> icon;
  int clicks = 0;
  int doubleClicks = 0;
};

TEST_F(TrayIconTest, StartsHiddenWithTheDocumentedDefaults) {
  EXPECT_FALSE(icon->IconVisible());
  EXPECT_FALSE(icon->HideTask());
  EXPECT_TRUE(icon->Hint().isEmpty());
  EXPECT_TRUE(icon->Icon().isNull());
  EXPECT_EQ(icon->PopupMenu(), nullptr);
  EXPECT_FALSE(icon->ClickTimer().isActive());
  EXPECT_EQ(icon->ClickTimer().interval(), 150);
  EXPECT_TRUE(shell.calls.empty());
}

TEST_F(TrayIconTest, UnchangedValuesSendNothing) {
  icon->SetIconVisible(false);
  icon->SetHint("");
  EXPECT_TRUE(shell.calls.empty());

  icon->SetIconVisible(true);
  icon->SetHint("tip");
  ASSERT_EQ(shell.calls.size(), 2u);
  icon->SetIconVisible(true);
  icon->SetHint("tip");
  EXPECT_EQ(shell.calls.size(), 2u);
  // Hint compares exactly.
  icon->SetHint("Tip");
  EXPECT_EQ(shell.calls.size(), 3u);
}

TEST_F(TrayIconTest, AddModifyAndDeleteCarryTheirFlags) {
  const QIcon red = SolidIcon(Qt::red);
  icon->SetIconVisible(true);
  icon->SetIcon(red);
  icon->SetIcon(red);  // an icon write is never compared
  icon->SetHint("hello");
  icon->SetIconVisible(false);

  ASSERT_EQ(shell.calls.size(), 5u);
  const uint32_t expected[][2] = {{NIM_ADD, 7}, {NIM_MODIFY, NIF_ICON}, {NIM_MODIFY, NIF_ICON},
                                  {NIM_MODIFY, NIF_TIP}, {NIM_DELETE, 7}};
  for (size_t i = 0; i < shell.calls.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(shell.calls[i].message, expected[i][0]);
    EXPECT_EQ(shell.calls[i].flags, expected[i][1]);
    EXPECT_EQ(shell.calls[i].id, icon->Id());
    EXPECT_EQ(shell.calls[i].callback, TrayCallbackMessage());
  }
  EXPECT_EQ(shell.calls[1].iconKey, red.cacheKey());
  EXPECT_EQ(shell.calls[3].tip, "hello");
}

TEST_F(TrayIconTest, HintAndIconWrittenWhileHiddenArriveWithTheNextAdd) {
  const QIcon blue = SolidIcon(Qt::blue);
  icon->SetHint("waiting");
  icon->SetIcon(blue);
  EXPECT_TRUE(shell.calls.empty());
  icon->SetIconVisible(true);
  ASSERT_EQ(shell.calls.size(), 1u);
  EXPECT_EQ(shell.calls[0].message, NIM_ADD);
  EXPECT_EQ(shell.calls[0].tip, "waiting");
  EXPECT_EQ(shell.calls[0].iconKey, blue.cacheKey());
}

TEST_F(TrayIconTest, EmptyIconShowsTheDefaultIcon) {
  icon->SetIconVisible(true);
  ASSERT_EQ(shell.calls.size(), 1u);
  EXPECT_FALSE(icon->DefaultIconHandle().isNull());
  EXPECT_EQ(shell.calls[0].iconKey, icon->DefaultIconHandle().cacheKey());
}

TEST_F(TrayIconTest, TipIsCutAt63Characters) {
  icon->SetHint(QString(100, 'x'));
  icon->SetIconVisible(true);
  ASSERT_EQ(shell.calls.size(), 1u);
  EXPECT_EQ(shell.calls[0].tip, std::string(63, 'x'));
  // The tip ends at the hint's first NUL.
  icon->SetHint(QString::fromLatin1("ab\0cd", 5));
  EXPECT_EQ(shell.calls.back().tip, "ab");
}

TEST_F(TrayIconTest, LoadedAddsOnlyAVisibleIcon) {
  icon->Loaded();
  EXPECT_TRUE(shell.calls.empty());
  icon->SetIconVisible(true);
  icon->Loaded();
  ASSERT_EQ(shell.calls.size(), 2u);
  EXPECT_EQ(shell.calls[1].message, NIM_ADD);
  EXPECT_EQ(shell.calls[1].flags, 7u);
}

TEST_F(TrayIconTest, DestroyingAVisibleIconRemovesIt) {
  icon->SetIconVisible(true);
  const uint32_t id = icon->Id();
  icon.reset();
  ASSERT_EQ(shell.calls.size(), 2u);
  EXPECT_EQ(shell.calls[1].message, NIM_DELETE);
  EXPECT_EQ(shell.calls[1].id, id);
  // Its id no longer reaches anything.
  EXPECT_EQ(IconManager().TrayWndProc(TrayCallbackMessage(), id, WM_LBUTTONDBLCLK), 0);
}

TEST_F(TrayIconTest, DestroyingAHiddenIconSendsNothing) {
  icon.reset();
  EXPECT_TRUE(shell.calls.empty());
}

TEST_F(TrayIconTest, HideTaskChangesTheOwnerWindowOnlyOnAChangeOutsideDesignMode) {
  icon->SetHideTask(true);
  icon->SetHideTask(true);
  icon->SetHideTask(false);
  ASSERT_EQ(shell.hides.size(), 2u);
  EXPECT_EQ(shell.hides[0], std::make_pair(&owner, true));
  EXPECT_EQ(shell.hides[1], std::make_pair(&owner, false));

  icon->SetDesigning(true);
  icon->SetHideTask(true);
  EXPECT_TRUE(icon->HideTask());
  EXPECT_EQ(shell.hides.size(), 2u);
}

class ClickTest : public TrayIconTest {
 protected:
  void SetUp() override {
    TrayIconTest::SetUp();
    icon->OnClick = [this](QObject*) { ++clicks; };
    icon->OnDblClick = [this](QObject*) { ++doubleClicks; };
  }
  void WaitForIdle() { QTRY_VERIFY_WITH_TIMEOUT(!icon->ClickTimer().isActive(), 5000); }
};

TEST_F(ClickTest, SingleClickFiresOnClickAfterTheDoubleClickTime) {
  Mouse(WM_LBUTTONDOWN);
  EXPECT_TRUE(icon->ClickTimer().isActive());
  EXPECT_EQ(clicks, 0);
  WaitForIdle();
  EXPECT_EQ(clicks, 1);
  EXPECT_EQ(doubleClicks, 0);
}

TEST_F(ClickTest, DoubleClickFiresOnDblClickAndNoOnClick) {
  Mouse(WM_LBUTTONDOWN);
  Mouse(WM_LBUTTONDBLCLK);
  EXPECT_EQ(doubleClicks, 1);
  EXPECT_TRUE(icon->DoubleClickSeen());
  WaitForIdle();
  EXPECT_EQ(clicks, 0);
  EXPECT_FALSE(icon->DoubleClickSeen());
}

TEST_F(ClickTest, LateSecondPressGivesOnClickThenOnDblClickAndSwallowsTheNextClick) {
  Mouse(WM_LBUTTONDOWN);
  WaitForIdle();
  EXPECT_EQ(clicks, 1);
  Mouse(WM_LBUTTONDBLCLK);
  EXPECT_EQ(doubleClicks, 1);
  EXPECT_TRUE(icon->DoubleClickSeen());
  // The next single click finds the flag still set: no OnClick, flag cleared.
  Mouse(WM_LBUTTONDOWN);
  WaitForIdle();
  EXPECT_EQ(clicks, 1);
  EXPECT_FALSE(icon->DoubleClickSeen());
}

TEST_F(ClickTest, SecondPressWhileTheTimerRunsDoesNotRestartIt) {
  Mouse(WM_LBUTTONDOWN);
  QTest::qWait(100);
  const int left = icon->ClickTimer().remainingTime();
  Mouse(WM_LBUTTONDOWN);
  EXPECT_LE(icon->ClickTimer().remainingTime(), left);
  WaitForIdle();
  EXPECT_EQ(clicks, 1);
}

TEST_F(ClickTest, OtherMouseMessagesAndMissingHandlersDoNothing) {
  for (intptr_t m : {0x0200, 0x0202, 0x0205, 0x0207}) Mouse(m);
  EXPECT_FALSE(icon->ClickTimer().isActive());
  icon->OnClick = nullptr;
  icon->OnDblClick = nullptr;
  Mouse(WM_LBUTTONDOWN);
  Mouse(WM_LBUTTONDBLCLK);
  WaitForIdle();
  EXPECT_EQ(clicks + doubleClicks, 0);
}

TEST_F(TrayIconTest, RightClickWithoutMenuDoesNothing) {
  Mouse(WM_RBUTTONDOWN);
  EXPECT_TRUE(shell.popups.empty());
  EXPECT_TRUE(shell.foreground.empty());
}

TEST_F(TrayIconTest, RightClickShowsTheMenuAtTheCursorThenPostsWmUser) {
  QMenu menu;
  icon->SetPopupMenu(&menu);
  const int before = IconManager().DefaultHandled();
  Mouse(WM_RBUTTONDOWN);
  ASSERT_EQ(shell.popups.size(), 1u);
  EXPECT_EQ(shell.popups[0].first, &menu);
  EXPECT_EQ(shell.popups[0].second, QPoint(120, 340));
  ASSERT_EQ(shell.foreground.size(), 1u);
  EXPECT_EQ(shell.foreground[0], IconManager().WindowHandle());
  // The WM_USER arrives later through the event loop, with default handling.
  EXPECT_EQ(IconManager().DefaultHandled(), before);
  QTRY_COMPARE(IconManager().DefaultHandled(), before + 1);
}

TEST_F(TrayIconTest, DestroyedMenuIsForgotten) {
  auto menu = std::make_unique<QMenu>();
  icon->SetPopupMenu(menu.get());
  menu.reset();
  EXPECT_EQ(icon->PopupMenu(), nullptr);
  Mouse(WM_RBUTTONDOWN);
  EXPECT_TRUE(shell.popups.empty());
}

TEST(TrayMessageTest, RegistryGivesOneNumberPerName) {
  const uint32_t tray = RegisterWindowMessage("Qzt.TrayNotifyIconMsg");
  EXPECT_GE(tray, 0xC000u);
  EXPECT_EQ(tray, TrayCallbackMessage());
  const uint32_t other = RegisterWindowMessage("Another.Message");
  EXPECT_NE(other, tray);
  EXPECT_EQ(RegisterWindowMessage("Another.Message"), other);
}

TEST_F(TrayIconTest, OtherMessagesGetTheDefaultHandling) {
  const int before = IconManager().DefaultHandled();
  EXPECT_EQ(IconManager().TrayWndProc(0x0010, icon->Id(), WM_LBUTTONDOWN), 0);
  EXPECT_EQ(IconManager().DefaultHandled(), before + 1);
  EXPECT_FALSE(icon->ClickTimer().isActive());
}

}  // namespace
}  // namespace tamlix::tray
