#include "ErrorReport.h"

#include <QApplication>
#include <QMessageBox>
#include <QString>
#include <stdexcept>

namespace tamlix::config {

void ShowError(QWidget* parent, const QString& text) {
  try {
    QMessageBox::critical(parent, QApplication::applicationName(), text);
  } catch (...) {
    // Nothing more can be shown; the operation has already ended.
  }
}

void ShowError(QWidget* parent, const std::string& text) { ShowError(parent, QString::fromStdString(text)); }

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
