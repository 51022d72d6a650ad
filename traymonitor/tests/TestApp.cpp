#include "TestApp.h"

#include <gtest/gtest.h>

#include <QApplication>

namespace tamlix::tray::test {

namespace {

// Deletes the binary's QApplication after the last test, so that Qt
// releases what it holds before the leak check runs.
class QtEnvironment : public ::testing::Environment {
 public:
  void TearDown() override { delete QApplication::instance(); }
};

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

}  // namespace

void EnsureApplication() {
  if (QApplication::instance()) return;
  static int argc = 1;
  static char name[] = "traymonitor_tests";
  static char* argv[] = {name, nullptr};
  new QApplication(argc, argv);  // deleted by QtEnvironment
}

}  // namespace tamlix::tray::test
