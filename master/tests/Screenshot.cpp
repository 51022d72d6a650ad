// Makes the README's picture: the window with a running direct session
// against the test switch, after a test claim and its reply. Run under Xvfb;
// writes the PNG named by its first argument. Built on demand only.
#include <QApplication>
#include <QElapsedTimer>
#include <QPixmap>
#include <QScreen>
#include <QTest>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "Application.h"
#include "TestSwitch.h"
#include "UnitMain.h"
#include "platform/ExeDir.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s out.png\n", argv[0]);
    return 2;
  }
  const std::string out = argv[1];
  QApplication app(argc, argv);
  QApplication::setApplicationName("Brindlemoss");
  tamlix::testing::TestSwitch sw({"--reply", "\x02" "0060" "011Brindlemoss" "51B1A1" "\x1C" "AM20" "\x1C"
                                  "F4CLAIM ACCEPTED" "\x1C" "ANP" "\x1C" "F3PA0001" "\x03"});
  const std::string dir = tamlix::platform::ExecutableDirectory();
  std::ofstream(dir + "Brindlemoss.INI") << "[700]\r\nSessionType=2\r\n";
  std::ofstream(dir + "TamlixTCP.INI") << "[Global TCP/IP Data]\r\nAddress=127.0.0.1\r\nPort=" << sw.port()
                                      << "\r\nTimeOut=5000\r\nSecAddress=http://\r\nSecPort=21\r\nUse=0\r\n"
                                         "Headerlength=1\r\nDefaultHeader=1\r\n";
  int rc = 1;
  {
    tamlix::brindlemoss::TFormMain form({dir, {"700"}});
    form.TrayNotifyIconDblClick();
    form.btnTest->click();
    QElapsedTimer waited;
    waited.start();
    while (form.MemoReceive->toPlainText().isEmpty() && waited.elapsed() < 10000) QTest::qWait(50);
    QTest::qWait(300);
    if (form.grab().save(QString::fromStdString(out))) rc = 0;
  }
  std::filesystem::remove(dir + "Brindlemoss.INI");
  std::filesystem::remove(dir + "TamlixTCP.INI");
  std::filesystem::remove(dir + "700.lck");
  return rc;
}
