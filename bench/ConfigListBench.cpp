// The configuration window over a product settings file of 10,000 sessions:
// opening it (the list filled and typed from the file) and Delete Session
// (the section erased, the list filled again), against the toolkit's own cost
// of a sorted list of the same names, shown. Target: each under 1 s.
// Usage: config_list_bench [sessions]   (default 10000; offscreen platform)
#include <QApplication>
#include <QListWidget>
#include <QToolButton>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "FormMain.h"

namespace {

namespace fs = std::filesystem;

double Seconds(const std::function<void()>& op) {
  const auto start = std::chrono::steady_clock::now();
  op();
  QApplication::processEvents();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string Name(int i) { return "Pharmacy " + std::to_string(i); }

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const int count = argc > 1 ? std::atoi(argv[1]) : 10000;
  std::string tmpl = (fs::temp_directory_path() / "config-bench-XXXXXX").string();
  if (!::mkdtemp(tmpl.data())) return 1;
  const std::string dir = tmpl + "/";
  const std::string file = dir + "Brindlemoss.INI";
  auto writeFile = [&] {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    for (int i = 0; i < count; ++i)
      out << "[" << Name(i) << "]\r\nSessionType=" << 2 + i % 3 << "\r\nSerial_Baud=9600\r\nSerial_Port=1\r\n"
          << "File_Source=c:\\in" << i << ".txt\r\nFile_Dest=c:\\out" << i << ".txt\r\n";
  };

  double list = 1e9, open = 1e9, remove = 1e9;
  for (int run = 0; run < 3; ++run) {
    writeFile();
    list = std::min(list, Seconds([&] {
      QListWidget plain;
      plain.setSortingEnabled(true);
      for (int i = 0; i < count; ++i) plain.addItem(QString::fromStdString(Name(i)));
      plain.show();
      QApplication::processEvents();
    }));
    std::unique_ptr<tamlix::config::TfrmMain> window;
    open = std::min(open, Seconds([&] {
      window = std::make_unique<tamlix::config::TfrmMain>(dir);
      window->show();
    }));
    if (window->lstbxSessions->count() != count) return 1;
    window->lstbxSessions->setCurrentRow(count / 2);
    remove = std::min(remove, Seconds([&] { window->spdbtnDelete->click(); }));
    if (window->lstbxSessions->count() != count - 1) return 1;
  }
  std::printf("%d sessions (best of 3): sorted list of the names shown %.3f s; window opened %.3f s (ratio %.1f); "
              "Delete Session %.3f s (ratio %.1f); target under 1 s\n",
              count, list, open, open / list, remove, remove / list);
  fs::remove_all(tmpl);
  return 0;
}
