// What the configuration program's tests share: the application object, a
// fresh temporary directory with whole-file helpers, and a hand for the
// modal dialogs (input dialog, message box) that the window opens.
#pragma once

#include <gtest/gtest.h>

#include <QStringList>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "FormMain.h"

class QWidget;
class QListWidget;

namespace tamlix::config::test {

// A fresh directory, removed with everything in it at the end of the test.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // Ends with "/".
  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + name; }

 private:
  std::string path_;
};

// The whole text of a file, or nullopt when it does not exist.
std::optional<std::string> ReadText(const std::string& path);
void WriteText(const std::string& path, const std::string& text);

// Runs `act` once on the next modal dialog of class T that opens while it
// lives; dialogs of other classes are left to other handlers.
class OnModal {
 public:
  OnModal(const char* className, std::function<void(QWidget*)> act);
  ~OnModal();
  OnModal(const OnModal&) = delete;
  OnModal& operator=(const OnModal&) = delete;

  bool Fired() const { return fired_; }

 private:
  QTimer timer_;
  const char* className_;
  std::function<void(QWidget*)> act_;
  bool fired_ = false;
};

// Answers the next message box with OK and keeps its text.
class MessageBoxCatcher {
 public:
  MessageBoxCatcher();
  bool Shown() const { return modal_.Fired(); }
  const std::string& Text() const { return text_; }

 private:
  std::string text_;
  OnModal modal_;
};

// Answers the next input dialog: OK with `text`, or Cancel when nullopt.
// `check` sees the dialog first.
class InputAnswer {
 public:
  explicit InputAnswer(std::optional<std::string> text, std::function<void(QWidget*)> check = {});
  bool Shown() const { return modal_.Fired(); }

 private:
  OnModal modal_;
};

// Clicks list entry `row` with the mouse, as a user selects a session.
void ClickEntry(QListWidget* list, int row);

// A window over the settings files of a fresh directory, shown offscreen.
class ConfigWindowTest : public ::testing::Test {
 protected:
  void TearDown() override;

  std::string ProductFile() const { return dir.File("Brindlemoss.INI"); }
  std::string TcpFile() const { return dir.File("TamlixTCP.INI"); }

  // Creates and shows the window (its creation fills the session list).
  void Open();
  // The list's entries, top to bottom.
  QStringList Entries() const;
  // Selects the entry `id` with a mouse click.
  void Select(const QString& id);
  // Checks the type selector's button `index` with a mouse click.
  void PickType(int index);
  // Makes the window the active one, so that keys reach its focus widget.
  void Activate();
  // Presses and releases `key` as the keyboard does: into the focus window,
  // to its focus widget. Returns the focus widget afterwards.
  QWidget* Press(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier);

  TempDir dir;
  std::unique_ptr<TfrmMain> window;
};

}  // namespace tamlix::config::test
