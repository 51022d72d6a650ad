#include "QtTrayShell.h"

#include <QApplication>
#include <QCursor>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QWidget>

namespace tamlix::tray {

QtTrayShell::QtTrayShell() = default;
QtTrayShell::~QtTrayShell() = default;

bool QtTrayShell::ShellNotifyIcon(uint32_t message, const TNotifyIconData& data) {
  const uint32_t id = data.uID;
  auto it = icons_.find(id);
  switch (message) {
    case NIM_ADD: {
      if (it != icons_.end()) return false;  // one add per id
      auto icon = std::make_unique<QSystemTrayIcon>();
      if (data.uFlags & NIF_ICON) icon->setIcon(data.hIcon);
      if (data.uFlags & NIF_TIP) icon->setToolTip(QString::fromLocal8Bit(data.szTip));
      if (data.uFlags & NIF_MESSAGE) {
        const uint32_t callback = data.uCallbackMessage;
        QObject::connect(icon.get(), &QSystemTrayIcon::activated, icon.get(),
                         [id, callback](QSystemTrayIcon::ActivationReason reason) {
                           intptr_t mouse = 0;
                           switch (reason) {
                             case QSystemTrayIcon::Trigger: mouse = WM_LBUTTONDOWN; break;
                             case QSystemTrayIcon::DoubleClick: mouse = WM_LBUTTONDBLCLK; break;
                             case QSystemTrayIcon::Context: mouse = WM_RBUTTONDOWN; break;
                             default: return;
                           }
                           IconManager().TrayWndProc(callback, id, mouse);
                         });
      }
      icon->show();
      icons_.emplace(id, std::move(icon));
      return true;
    }
    case NIM_MODIFY:
      if (it == icons_.end()) return false;
      if (data.uFlags & NIF_ICON) it->second->setIcon(data.hIcon);
      if (data.uFlags & NIF_TIP) it->second->setToolTip(QString::fromLocal8Bit(data.szTip));
      return true;
    case NIM_DELETE:
      if (it == icons_.end()) return false;
      icons_.erase(it);
      return true;
    default:
      return false;
  }
}

void QtTrayShell::HideTaskButton(QWidget* window, bool hide) {
  // A tool window has no taskbar button; changing the flag hides a shown window.
  const bool shown = window->isVisible();
  window->setWindowFlag(Qt::Tool, hide);
  if (shown) window->show();
}

void QtTrayShell::SetForegroundWindow(uintptr_t) {}

QPoint QtTrayShell::GetCursorPos() { return QCursor::pos(); }

void QtTrayShell::Popup(QMenu* menu, QPoint at) { menu->exec(at); }

int QtTrayShell::GetDoubleClickTime() { return QApplication::doubleClickInterval(); }

}  // namespace tamlix::tray
