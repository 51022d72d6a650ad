#include "QtTrayShell.h"

#include <QApplication>
#include <QCursor>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <QGuiApplication>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QWidget>
#include <utility>

#include "SkipTaskbar.h"

namespace tamlix::tray {

QtTrayShell::QtTrayShell() = default;

// The question Qt asks before it puts an icon on the session bus, asked
// without waiting: the answer comes through the event loop. Platforms
// without a desktop (offscreen, minimal) never use the bus for icons.
void QtTrayShell::AskForStatusNotifierHost() {
  const QString platform = QGuiApplication::platformName();
  if (platform == QLatin1String("offscreen") || platform == QLatin1String("minimal")) return;
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return;
  const QString watcher = QStringLiteral("org.kde.StatusNotifierWatcher");
  QDBusMessage get = QDBusMessage::createMethodCall(watcher, QStringLiteral("/StatusNotifierWatcher"),
                                                    QStringLiteral("org.freedesktop.DBus.Properties"),
                                                    QStringLiteral("Get"));
  get << watcher << QStringLiteral("IsStatusNotifierHostRegistered");
  auto* pending = new QDBusPendingCallWatcher(bus.asyncCall(get, 5000), qApp);
  QObject::connect(pending, &QDBusPendingCallWatcher::finished, pending, [this](QDBusPendingCallWatcher* call) {
    call->deleteLater();
    const QDBusMessage reply = call->reply();
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return;
    dbusTray_ = reply.arguments().first().value<QDBusVariant>().variant().toBool();
  });
}
QtTrayShell::~QtTrayShell() {
  for (auto& entry : std::exchange(icons_, {})) delete entry.second;
}

bool QtTrayShell::ShellNotifyIcon(uint32_t message, const TNotifyIconData& data) {
  const uint32_t id = data.uID;
  auto it = icons_.find(id);
  switch (message) {
    case NIM_ADD: {
      if (it != icons_.end()) return false;  // one add per id
      // Owned by the application object, so never destroyed after it.
      auto* icon = new QSystemTrayIcon(qApp);
      QObject::connect(icon, &QObject::destroyed, [this, id] { icons_.erase(id); });
      if (!asked_) {
        asked_ = true;
        AskForStatusNotifierHost();
      }
      if (data.uFlags & NIF_ICON) icon->setIcon(data.hIcon);
      if (data.uFlags & NIF_TIP) icon->setToolTip(QString::fromLocal8Bit(data.szTip));
      if (data.uFlags & NIF_MESSAGE) {
        const uint32_t callback = data.uCallbackMessage;
        QObject::connect(icon, &QSystemTrayIcon::activated, icon,
                         [this, id, callback](QSystemTrayIcon::ActivationReason reason) {
                           auto send = [&](intptr_t mouse) { IconManager().TrayWndProc(callback, id, mouse); };
                           switch (reason) {
                             case QSystemTrayIcon::Trigger:
                               send(WM_LBUTTONDOWN);
                               if (dbusTray_) send(WM_LBUTTONDBLCLK);
                               break;
                             case QSystemTrayIcon::DoubleClick: send(WM_LBUTTONDBLCLK); break;
                             case QSystemTrayIcon::Context: send(WM_RBUTTONDOWN); break;
                             default: break;
                           }
                         });
      }
      icon->show();
      icons_.emplace(id, icon);
      return true;
    }
    case NIM_MODIFY:
      if (it == icons_.end()) return false;
      if (data.uFlags & NIF_ICON) it->second->setIcon(data.hIcon);
      if (data.uFlags & NIF_TIP) it->second->setToolTip(QString::fromLocal8Bit(data.szTip));
      return true;
    case NIM_DELETE:
      if (it == icons_.end()) return false;
      delete it->second;  // takes itself out of icons_
      return true;
    default:
      return false;
  }
}

void QtTrayShell::HideTaskButton(QWidget* window, bool hide) { SetSkipTaskbar(window, hide); }

void QtTrayShell::SetForegroundWindow(uintptr_t) {}

QPoint QtTrayShell::GetCursorPos() { return QCursor::pos(); }

void QtTrayShell::Popup(QMenu* menu, QPoint at) { menu->exec(at); }

int QtTrayShell::GetDoubleClickTime() { return QApplication::doubleClickInterval(); }

}  // namespace tamlix::tray
