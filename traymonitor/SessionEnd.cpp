#include "SessionEnd.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QGuiApplication>
#include <QSessionManager>
#include <QSocketNotifier>
#include <cerrno>

#include "Application.h"
#include "UnitMain.h"

namespace tamlix::brindlemoss {

namespace {

int stopPipe[2] = {-1, -1};

void OnStopSignal(int) {
  const int saved = errno;
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = ::write(stopPipe[1], &byte, 1);
  errno = saved;
}

// False when no pipe could be made: the signals then keep their defaults.
bool StopSignalsInstalled() {
  static const bool installed = [] {
    if (::pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    struct sigaction action = {};
    action.sa_handler = OnStopSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGHUP, &action, nullptr);
    return true;
  }();
  return installed;
}

}  // namespace

void InstallStopSignals() { StopSignalsInstalled(); }

void ConnectSessionEnd(TFormMain& form) {
  QObject::connect(
      qGuiApp, &QGuiApplication::commitDataRequest, &form,
      [&form](QSessionManager&) { form.CommitDataRequest(); }, Qt::DirectConnection);
  if (!StopSignalsInstalled()) return;
  auto* notifier = new QSocketNotifier(stopPipe[0], QSocketNotifier::Read, &form);
  QObject::connect(notifier, &QSocketNotifier::activated, &form, [&form] {
    char buffer[16];
    while (::read(stopPipe[0], buffer, sizeof buffer) > 0) {
    }
    Guarded([&form] { form.WMEndSession(1); });
    // The session ends, and the program with it.
    QCoreApplication::exit(0);
  });
}

}  // namespace tamlix::brindlemoss
