#include "Application.h"

#include <QMessageBox>
#include <QString>
#include <vector>

namespace tamlix::brindlemoss {

namespace {
std::vector<TTerminateProc>& TerminateProcs() {
  static std::vector<TTerminateProc> procs;
  return procs;
}
std::function<void()>& QuitHook() {
  static std::function<void()> hook;
  return hook;
}
}  // namespace

void AddTerminateProc(TTerminateProc proc) { TerminateProcs().push_back(std::move(proc)); }

void Terminate() {
  for (auto& proc : TerminateProcs()) {
    if (!proc()) return;
  }
  if (QuitHook()) {
    QuitHook()();
  } else {
    QCoreApplication::quit();
  }
}

void SetQuitForTesting(std::function<void()> quit, bool reset) {
  QuitHook() = std::move(quit);
  if (reset) TerminateProcs().clear();
}

void ShowException(const std::string& text) {
  try {
    QString message = QString::fromStdString(text);
    if (!message.endsWith('.')) message += '.';
    QMessageBox::critical(QApplication::activeWindow(), QApplication::applicationName(), message);
  } catch (...) {
    // Nothing more can be shown.
  }
}

std::string CurrentErrorText() {
  try {
    throw;
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "Unknown error";
  }
}

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (...) {
    ShowException(CurrentErrorText());
    return false;
  }
}

}  // namespace tamlix::brindlemoss
