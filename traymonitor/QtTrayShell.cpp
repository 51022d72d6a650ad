#include "QtTrayShell.h"

#include <QApplication>
#include <QCursor>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QGuiApplication>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QWidget>
#include <utility>

#include "SkipTaskbar.h"

namespace tamlix::tray {

namespace {

// The question Qt asks before it puts an icon on the session bus. Platforms
// without a desktop (offscreen, minimal) never use the bus for icons.
bool StatusNotifierHostRegistered() {
  const QString platform = QGuiApplication::platformName();
  if (platform == QLatin1String("offscreen") || platform == QLatin1String("minimal")) return false;
  const QString watcher = QStringLiteral("org.kde.StatusNotifierWatcher");
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected() || !bus.interface() || !bus.interface()->isServiceRegistered(watcher)) return false;
  QDBusMessage get = QDBusMessage::createMethodCall(watcher, QStringLiteral("/StatusNotifierWatcher"),
                                                    QStringLiteral("org.freedesktop.DBus.Properties"),
                                                    QStringLiteral("Get"));
  get << watcher << QStringLiteral("IsStatusNotifierHostRegistered");
  const QDBusMessage reply = bus.call(get, QDBus::Block, 5000);
  if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return false;
  return reply.arguments().first().value<QDBusVariant>().variant().toBool();
}

}  // namespace

QtTrayShell::QtTrayShell() = default;
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
      if (!trayKnown_) {
        trayKnown_ = true;
        dbusTray_ = StatusNotifierHostRegistered();
      }
      if (data.uFlags & NIF_ICON) icon->setIcon(data.hIcon);
      if (data.uFlags & NIF_TIP) icon->setToolTip(QString::fromLocal8Bit(data.szTip));
      if (data.uFlags & NIF_MESSAGE) {
        const uint32_t callback = data.uCallbackMessage;
        const bool dbus = dbusTray_;
        QObject::connect(icon, &QSystemTrayIcon::activated, icon,
                         [id, callback, dbus](QSystemTrayIcon::ActivationReason reason) {
                           auto send = [&](intptr_t mouse) { IconManager().TrayWndProc(callback, id, mouse); };
                           switch (reason) {
                             case QSystemTrayIcon::Trigger:
                               send(WM_LBUTTONDOWN);
                               if (dbus) send(WM_LBUTTONDBLCLK);
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
