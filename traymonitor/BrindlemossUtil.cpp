// BrindlemossUtil: runs one session from the notification area.
// Command line: <session ID> [LOG]. The window starts hidden; a double click
// on the tray icon shows it. SIGTERM and SIGHUP (the desktop session or the
// system stopping the program) run the end-of-session path on the window's
// thread through a self-pipe.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QSessionManager>
#include <QSocketNotifier>
#include <clocale>
#include <cstdio>
#include <exception>

#include "Application.h"
#include "UnitDebugSys.h"
#include "UnitMain.h"
#include "platform/ExeDir.h"

namespace {

int signalPipe[2] = {-1, -1};

void OnStopSignal(int) {
  const char byte = 1;
  const int saved = errno;
  [[maybe_unused]] ssize_t n = ::write(signalPipe[1], &byte, 1);
  errno = saved;
}

void InstallStopSignals() {
  if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  struct sigaction action = {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGHUP, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tamlix::brindlemoss;
  try {
    try {
      tamlix::OpenDebugShared();
    } catch (const std::exception&) {
      // The program runs on without its debug records.
    }
    InstallStopSignals();
    TApplication app(argc, argv);
    std::setlocale(LC_ALL, "");
    QApplication::setApplicationName("Brindlemoss");
    // Only the close paths end the program, not a hidden main window.
    QApplication::setQuitOnLastWindowClosed(false);

    QStringList arguments = QCoreApplication::arguments();
    arguments.removeFirst();
    TFormMain form({tamlix::platform::ExecutableDirectory(), arguments});

    QObject::connect(&app, &QGuiApplication::commitDataRequest, &form,
                     [&form](QSessionManager&) { form.CommitDataRequest(); });
    std::unique_ptr<QSocketNotifier> stopNotifier;
    if (signalPipe[0] >= 0) {
      stopNotifier = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
      QObject::connect(stopNotifier.get(), &QSocketNotifier::activated, &form, [&form] {
        char buffer[16];
        while (::read(signalPipe[0], buffer, sizeof buffer) > 0) {
        }
        Guarded([&form] { form.WMEndSession(1); });
        QCoreApplication::quit();  // the session ends: so does the program
      });
    }
    const int rc = app.exec();
    tamlix::CloseDebugShared();
    return rc;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "BrindlemossUtil: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "BrindlemossUtil: unknown error\n");
  }
  tamlix::CloseDebugShared();
  return 1;
}
