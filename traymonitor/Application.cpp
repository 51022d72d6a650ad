#include "Application.h"

#include <QMessageBox>
#include <QString>
#include <utility>
#include <vector>

namespace tamlix::brindlemoss {

namespace {
std::vector<std::pair<int, TTerminateProc>>& TerminateProcs() {
  static std::vector<std::pair<int, TTerminateProc>> procs;
  return procs;
}
}  // namespace

int AddTerminateProc(TTerminateProc proc) {
  static int lastId = 0;
  TerminateProcs().emplace_back(++lastId, std::move(proc));
  return lastId;
}

void RemoveTerminateProc(int id) {
  std::erase_if(TerminateProcs(), [id](const auto& entry) { return entry.first == id; });
}

void Terminate() {
  // A copy: a procedure may remove itself or another.
  const auto procs = TerminateProcs();
  for (const auto& [id, proc] : procs) {
    if (!proc()) return;
  }
  QCoreApplication::exit(0);
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
