#include "ErrorReport.h"

#include <QApplication>
#include <QMessageBox>
#include <QString>
#include <stdexcept>

namespace tamlix::config {

void ShowError(QWidget* parent, const std::string& text) {
  try {
    QMessageBox::critical(parent, QApplication::applicationName(), QString::fromStdString(text));
  } catch (...) {
    // Nothing more can be shown; the operation has already ended.
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

}  // namespace tamlix::config
