#include "DisplayStart.h"

#include <unistd.h>

#include <QString>
#include <QtGlobal>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace tamlix::platform {

namespace {

struct THeld {
  QtMsgType type;
  std::string category;
  QString text;
};

std::string program;
QtMessageHandler previous = nullptr;
std::vector<THeld> held;

std::string Trimmed(const QString& text) { return text.section('\n', 0, 0).trimmed().toStdString(); }

void Hold(QtMsgType type, const QMessageLogContext& context, const QString& text) {
  if (type != QtFatalMsg) {
    held.push_back({type, context.category ? context.category : "", text});
    return;
  }
  // The platform's own complaint says why; Qt's closing words only that it gave up.
  std::string reason = Trimmed(text);
  for (const THeld& h : held) {
    if (h.category.rfind("qt.qpa", 0) == 0) {
      reason = Trimmed(h.text);
      break;
    }
  }
  const char* display = std::getenv("DISPLAY");
  if ((!display || !*display) && reason.ends_with("display")) reason += " (DISPLAY is not set)";
  std::fprintf(stderr, "%s: cannot open a display: %s\n", program.c_str(), reason.c_str());
  std::fflush(stderr);
  ::_exit(1);
}

}  // namespace

TDisplayStart::TDisplayStart(std::string name) {
  program = std::move(name);
  held.clear();
  previous = qInstallMessageHandler(Hold);
}

TDisplayStart::~TDisplayStart() {
  qInstallMessageHandler(previous);
  for (const THeld& h : held) {
    const QByteArray category = QByteArray::fromStdString(h.category);
    const QMessageLogContext context(nullptr, 0, nullptr, category.isEmpty() ? nullptr : category.constData());
    qt_message_output(h.type, context, h.text);
  }
  held.clear();
}

}  // namespace tamlix::platform
