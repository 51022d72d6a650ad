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
#include <string_view>
#include <utility>

#include "settings/IniFile.h"

namespace tamlix::config {

// Texts cross between the widgets and the settings files in the files' 8-bit
// code page (settings/CodePage.h): each byte shows as one character, and
// text shown and written back unchanged keeps its bytes.
QString ToQ(std::string_view bytes);
// `text` in bytes to write into `ini`'s file. A character that the code page
// cannot hold is refused as the write would be: EIniFileError "Unable to
// write to" the file, so that nothing is written.
std::string EncodedFor(const TIniFile& ini, const QString& text);

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
