// TamlixConfig: the configuration program. One window over the two settings
// files beside the executable; it reads no command line.
#include <QApplication>
#include <clocale>
#include <cstdio>
#include <exception>

#include "FormMain.h"
#include "platform/ExeDir.h"

int main(int argc, char** argv) {
  try {
    QApplication app(argc, argv);
    std::setlocale(LC_ALL, "");
    QApplication::setApplicationName("TamlixConfig");
    tamlix::config::TfrmMain frmMain(tamlix::platform::ExecutableDirectory());
    frmMain.show();
    return app.exec();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "TamlixConfig: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "TamlixConfig: unknown error\n");
  }
  return 1;
}
