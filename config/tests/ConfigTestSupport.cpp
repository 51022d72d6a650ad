#include "ConfigTestSupport.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QInputDialog>
#include <QListWidget>
#include <QMessageBox>
#include <QRadioButton>
#include <QTest>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "RadioGroup.h"
#include "platform/Sys.h"

namespace tamlix::config::test {

namespace {

// One QApplication for the whole test binary, on the offscreen platform.
class QtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "config_tests";
    static char* argv[] = {name, nullptr};
    app_ = new QApplication(argc, argv);
    QApplication::setApplicationName("TamlixConfig");
  }
  void TearDown() override {
    delete app_;
    app_ = nullptr;
  }

 private:
  QApplication* app_ = nullptr;
};

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

}  // namespace

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tamlixconfig-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern + "/";
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::optional<std::string> ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out) throw std::runtime_error("cannot write " + path);
}

OnModal::OnModal(const char* className, std::function<void(QWidget*)> act)
    : className_(className), act_(std::move(act)) {
  timer_.setInterval(5);
  QObject::connect(&timer_, &QTimer::timeout, [this] {
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal || fired_ || !modal->inherits(className_)) return;
    fired_ = true;
    timer_.stop();
    act_(modal);
  });
  timer_.start();
}

OnModal::~OnModal() { timer_.stop(); }

MessageBoxCatcher::MessageBoxCatcher()
    : modal_("QMessageBox", [this](QWidget* w) {
        auto* box = static_cast<QMessageBox*>(w);
        text_ = box->text().toStdString();
        box->accept();
      }) {}

InputAnswer::InputAnswer(std::optional<std::string> text, std::function<void(QWidget*)> check)
    : modal_("QInputDialog", [text, check](QWidget* w) {
        auto* dialog = static_cast<QInputDialog*>(w);
        if (check) check(dialog);
        if (!text) {
          dialog->reject();
          return;
        }
        dialog->setTextValue(QString::fromStdString(*text));
        dialog->accept();
      }) {}

void ClickEntry(QListWidget* list, int row) {
  QListWidgetItem* item = list->item(row);
  ASSERT_NE(item, nullptr) << "no entry " << row;
  list->scrollToItem(item);
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(item).center());
}

void ConfigWindowTest::TearDown() {
  window.reset();
  tamlix::sys::ClearFaults();
}

void ConfigWindowTest::Open() {
  window = std::make_unique<TfrmMain>(dir.Path());
  window->show();
}

QStringList ConfigWindowTest::Entries() const {
  QStringList ids;
  for (int i = 0; i < window->lstbxSessions->count(); ++i) ids << window->lstbxSessions->item(i)->text();
  return ids;
}

void ConfigWindowTest::Select(const QString& id) {
  const int row = static_cast<int>(Entries().indexOf(id));
  ASSERT_GE(row, 0) << "no entry " << id.toStdString();
  ClickEntry(window->lstbxSessions, row);
}

void ConfigWindowTest::Activate() {
  window->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
}

QWidget* ConfigWindowTest::Press(Qt::Key key, Qt::KeyboardModifiers modifiers) {
  QTest::keyClick(static_cast<QWidget*>(nullptr), key, modifiers);
  return QApplication::focusWidget();
}

void ConfigWindowTest::PickType(int index) {
  QRadioButton* button = window->rdgrpType->Button(index);
  QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(4, button->height() / 2));
}

}  // namespace tamlix::config::test
