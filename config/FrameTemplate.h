// TframTemplate: the base of every frame and page that the configuration
// window shows in its host panel. It holds the INI-file object the frame
// reads and writes and the session whose section a session frame edits, and
// leaves LoadSettings to each descendant.
//
// It also carries the one rule for a change operation that fails: while
// LoadSettings fills the controls, the failure ends LoadSettings at that
// control (and the window's operation with it); afterwards it ends only that
// change operation, and the error is shown. Window thread only.
#pragma once

#include <QFrame>
#include <QString>
#include <exception>
#include <string>
#include <utility>

#include "settings/IniFile.h"

namespace tamlix::config {

// Texts cross between the widgets and the settings files as UTF-8. A file
// text that is no valid UTF-8 (8-bit text made on Windows) reads as Latin-1,
// so that no character turns into a replacement mark when written back.
QString ToQ(const std::string& text);
inline std::string FromQ(const QString& text) { return text.toStdString(); }

class TframTemplate : public QFrame {
  Q_OBJECT

 public:
  explicit TframTemplate(QWidget* parent = nullptr) : QFrame(parent) {}

  // Called once by the window, right after the frame went into its panel.
  // Ini: the window's product settings object for a session frame (borrowed),
  // null for a global page. Throws what a write set off by the filling threw.
  virtual void LoadSettings(TIniFile* Ini, const std::string& SessionName) = 0;

  TIniFile* IniFile() const { return FIniFile; }
  const std::string& SessionName() const { return FSessionName; }

 protected:
  // The body of every change operation: runs `write` under the rule above.
  template <class F>
  void RunChange(F&& write) {
    try {
      write();
    } catch (...) {
      ChangeFailed();
    }
  }

  // Sets one control inside LoadSettings; rethrows the failure of a change
  // operation that setting it ran.
  template <class F>
  void Fill(F&& set) {
    FFilling = true;
    try {
      set();
    } catch (...) {
      FFilling = false;
      FFillError = nullptr;
      throw;
    }
    FFilling = false;
    if (FFillError) std::rethrow_exception(std::exchange(FFillError, nullptr));
  }

  TIniFile* FIniFile = nullptr;
  std::string FSessionName;

 private:
  void ChangeFailed();

  bool FFilling = false;
  std::exception_ptr FFillError;
};

}  // namespace tamlix::config
