// BrindlemossUtil: runs one session from the notification area.
// Command line: <session ID> [LOG], read as bytes from the raw argv; Qt sees
// only the program's name, so no argument is ever taken as one of its
// options. The window starts hidden; a double click on the tray icon shows
// it. The end of the desktop session reaches the window through SessionEnd.
// Without a display it says so in one line and exits with code 1.
#include <QApplication>
#include <clocale>
#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "Application.h"
#include "SessionEnd.h"
#include "UnitDebugSys.h"
#include "UnitMain.h"
#include "platform/DisplayStart.h"
#include "platform/ExeDir.h"

int main(int argc, char** argv) {
  using namespace tamlix::brindlemoss;
  try {
    std::vector<std::string> arguments;
    for (int i = 1; i < argc && argv[i]; ++i) arguments.emplace_back(argv[i]);
    static char defaultName[] = "BrindlemossUtil";
    int qtArgc = 1;
    char* qtArgv[] = {argc > 0 && argv[0] ? argv[0] : defaultName, nullptr};

    InstallStopSignals();
    std::optional<TApplication> app;
    {
      tamlix::platform::TDisplayStart start("BrindlemossUtil");
      app.emplace(qtArgc, qtArgv);
    }
    // Opened once the display is there, so a start without one leaves no
    // ring behind for other programs.
    try {
      tamlix::OpenDebugShared();
    } catch (const std::exception&) {
      // The program runs on without its debug records.
    }
    std::setlocale(LC_ALL, "");
    QApplication::setApplicationName("Brindlemoss");
    // Only the close paths end the program, not a hidden main window.
    QApplication::setQuitOnLastWindowClosed(false);

    TFormMain form({tamlix::platform::ExecutableDirectory(), std::move(arguments)});
    ConnectSessionEnd(form);
    const int rc = app->exec();
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
