// TamlixConfig: the configuration program. One window over the two settings
// files beside the executable; it reads no command line. Without a display
// it says so in one line and exits with code 1.
#include <QApplication>
#include <clocale>
#include <cstdio>
#include <exception>
#include <optional>

#include "FormMain.h"
#include "platform/DisplayStart.h"
#include "platform/ExeDir.h"

int main(int argc, char** argv) {
  try {
    std::optional<QApplication> app;
    {
      tamlix::platform::TDisplayStart start("TamlixConfig");
      app.emplace(argc, argv);
    }
    std::setlocale(LC_ALL, "");
    QApplication::setApplicationName("TamlixConfig");
    tamlix::config::TfrmMain frmMain(tamlix::platform::ExecutableDirectory());
    frmMain.show();
    return app->exec();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "TamlixConfig: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "TamlixConfig: unknown error\n");
  }
  return 1;
}
