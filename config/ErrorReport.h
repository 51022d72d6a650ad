// How the configuration program reports a failed operation: an error message
// box with the error's text, titled with the application's name. The window
// stays open and the program goes on. Window thread only.
#pragma once

#include <exception>
#include <string>

class QString;
class QWidget;

namespace tamlix::config {

// Shows `text` in a modal error message box over `parent` (may be null).
void ShowError(QWidget* parent, const QString& text);
// The same for an error's text (a path in it is taken as UTF-8).
void ShowError(QWidget* parent, const std::string& text);

// The text of the exception now being handled; call only inside a catch.
std::string CurrentErrorText();

// Runs `body`; whatever it throws ends it and is shown by ShowError. The
// boundary of every handler, so that nothing escapes into Qt's event loop.
template <class F>
void Guarded(QWidget* parent, F&& body) {
  try {
    body();
  } catch (...) {
    ShowError(parent, CurrentErrorText());
  }
}

}  // namespace tamlix::config
