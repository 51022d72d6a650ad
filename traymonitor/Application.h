// The program's application services: terminate procedures, the request to
// terminate, and the default error report (a message box titled with the
// application's title). TApplication routes every error that escapes an
// event handler to that report, so the program goes on running.
// Window thread only.
#pragma once

#include <QApplication>
#include <exception>
#include <functional>
#include <string>

namespace tamlix::brindlemoss {

// Runs on every request to terminate; false refuses the termination.
using TTerminateProc = std::function<bool()>;
// Registers `proc`; the returned id removes it again.
int AddTerminateProc(TTerminateProc proc);
void RemoveTerminateProc(int id);

// Runs every terminate procedure in order of registration; when all allow
// it, ends the event loop with exit code 0. No window is closed on the way
// (QCoreApplication::quit would close every visible one first, running its
// close query), so the request does exactly what its caller asked.
void Terminate();

// Shows `text` in a modal error message box titled with the application's
// name; a full stop is added when the text does not end in one.
void ShowException(const std::string& text);

// The text of the exception being handled; call only inside a catch.
std::string CurrentErrorText();

// Runs `body`; whatever it throws is shown by ShowException.
template <class F>
void Guarded(F&& body) {
  try {
    body();
  } catch (...) {
    ShowException(CurrentErrorText());
  }
}

class TApplication : public QApplication {
 public:
  TApplication(int& argc, char** argv);
  bool notify(QObject* receiver, QEvent* event) override;
};

}  // namespace tamlix::brindlemoss
