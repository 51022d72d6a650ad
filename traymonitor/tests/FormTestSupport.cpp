#include "FormTestSupport.h"

#include <stdlib.h>

#include <QApplication>
#include <filesystem>

#include "Application.h"
#include "TestApp.h"

namespace tamlix::brindlemoss::test {

QStringList Lines(const QPlainTextEdit* pane) {
  const QString text = pane->toPlainText();
  return text.isEmpty() ? QStringList() : text.split('\n');
}

MessageBoxHand::MessageBoxHand() {
  timer_.setInterval(20);
  QObject::connect(&timer_, &QTimer::timeout, [this] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      ++count;
      title = box->windowTitle();
      text = box->text();
      box->done(QMessageBox::Ok);
    }
  });
  timer_.start();
}

MessageBoxHand::~MessageBoxHand() = default;

void FormTest::SetUpTestSuite() {
  if (!QApplication::instance()) {
    static int argc = 1;
    static char name[] = "brindlemoss_tests";
    static char* argv[] = {name, nullptr};
    new TApplication(argc, argv);  // deleted with the binary's other Qt state
  }
  tray::test::EnsureApplication();
  QApplication::setApplicationName("Brindlemoss");
  QApplication::setQuitOnLastWindowClosed(false);
}

void FormTest::SetUp() {
  master = TestMasterState();
  tray::SetShellForTesting(&shell);
  char pattern[] = "/tmp/brindlemoss-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  dir = std::string(pattern) + "/it's/";
  std::filesystem::create_directories(dir);
  boxes = std::make_unique<MessageBoxHand>();
}

void FormTest::TearDown() {
  form.reset();
  boxes.reset();
  tray::SetShellForTesting(nullptr);
  std::filesystem::remove_all(std::filesystem::path(dir).parent_path().parent_path());
}

TFormMain& FormTest::Start(std::vector<std::string> arguments, std::string library) {
  form = std::make_unique<TFormMain>(TFormMainOptions{dir, std::move(arguments), std::move(library)});
  return *form;
}

int FormTest::RunLoop(const std::function<void()>& action) {
  QTimer first;
  first.setSingleShot(true);
  QObject::connect(&first, &QTimer::timeout, action);
  first.start(0);
  QTimer stuck;
  stuck.setSingleShot(true);
  QObject::connect(&stuck, &QTimer::timeout, [] {
    ADD_FAILURE() << "the event loop was never ended";
    QCoreApplication::exit(-1);
  });
  stuck.start(60000);
  return QApplication::exec();
}

std::vector<std::string> FormTest::LogMessages() const { return test::LogMessages(File("Brindlemoss.LOG")); }

}  // namespace tamlix::brindlemoss::test
