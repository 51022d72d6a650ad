// What the window's tests share: the program's application object, a fresh
// executable directory, the test master library's state, a run of the real
// event loop, and a hand that answers the error message boxes the window
// opens.
#pragma once

#include <gtest/gtest.h>

#include <QMessageBox>
#include <QPlainTextEdit>
#include <QStringList>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "TestFiles.h"
#include "TestMaster.h"
#include "UnitMain.h"

namespace tamlix::brindlemoss::test {

QStringList Lines(const QPlainTextEdit* pane);

// Closes every error message box that opens while it lives, keeping title and text.
class MessageBoxHand {
 public:
  MessageBoxHand();
  ~MessageBoxHand();
  int count = 0;
  QString title;
  QString text;

 private:
  QTimer timer_;
};

// A notification area that only keeps the icon's state.
class QuietShell : public tray::TTrayShell {
 public:
  bool ShellNotifyIcon(uint32_t message, const tray::TNotifyIconData& data) override {
    if (message == tray::NIM_ADD) ++adds;
    if (message == tray::NIM_DELETE) ++deletes;
    if (message != tray::NIM_DELETE && (data.uFlags & tray::NIF_ICON)) shownIcon = data.hIcon.cacheKey();
    return true;
  }
  void HideTaskButton(QWidget* window, bool hide) override {
    if (hide) taskButtonHidden.push_back(window);
  }
  void SetForegroundWindow(uintptr_t) override {}
  QPoint GetCursorPos() override { return {}; }
  void Popup(QMenu*, QPoint) override {}
  int GetDoubleClickTime() override { return 100; }
  int adds = 0;
  int deletes = 0;
  qint64 shownIcon = 0;
  std::vector<QWidget*> taskButtonHidden;
};

class FormTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite();
  void SetUp() override;
  void TearDown() override;

  // Builds the window over the exe directory; `library` is the master
  // library's name (default: the test master library).
  TFormMain& Start(std::vector<std::string> arguments, std::string library = "libTamlixMaster.so");
  // Runs the application's event loop with `action` as its first event
  // until something ends the loop; returns the loop's exit code. A loop
  // still running after a minute fails the test and is ended with -1.
  static int RunLoop(const std::function<void()>& action);
  std::string File(const std::string& name) const { return dir + name; }
  void Product(const std::string& text) { WriteFile(File("Brindlemoss.INI"), text); }
  void Tcp(const std::string& text) { WriteFile(File("TamlixTCP.INI"), text); }
  // The log file's lines without their time stamps.
  std::vector<std::string> LogMessages() const;

  QuietShell shell;
  std::string dir;  // ends with "/"; holds a single quote
  TestMasterState& master = *TestMaster_State();
  std::unique_ptr<MessageBoxHand> boxes;
  std::unique_ptr<TFormMain> form;
};

}  // namespace tamlix::brindlemoss::test
