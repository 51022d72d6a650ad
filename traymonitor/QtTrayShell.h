// QtTrayShell: the production notification area, one QSystemTrayIcon per
// added icon id. Its activations come back to the icon manager as the mouse
// messages of the area (left press, left double click, right press). A
// D-Bus notification area (a StatusNotifierItem host) reports activations
// only, never a double click: there an activation arrives as a whole double
// click (left press, then left double click), so the window can always be
// opened. On an X11 notification area a single click stays a single click.
// The taskbar button is hidden through SkipTaskbar. The icons are children
// of the application object: none outlives it.
// Window thread only.
#pragma once

#include <QObject>
#include <map>

#include "TrayIcon.h"

class QSystemTrayIcon;

namespace tamlix::tray {

class QtTrayShell : public TTrayShell {
 public:
  QtTrayShell();
  ~QtTrayShell() override;

  bool ShellNotifyIcon(uint32_t message, const TNotifyIconData& data) override;
  void HideTaskButton(QWidget* window, bool hide) override;
  void SetForegroundWindow(uintptr_t window) override;
  QPoint GetCursorPos() override;
  void Popup(QMenu* menu, QPoint at) override;
  int GetDoubleClickTime() override;

 private:
  void AskForStatusNotifierHost();
  // Whether Qt serves the icons through a D-Bus notification area (a
  // StatusNotifierWatcher on the session bus with a host registered), asked
  // as Qt asks it, once, when the first icon is made; the answer arrives
  // later through the event loop and never blocks the window's thread
  // (until then an activation is taken as an X11 tray's).
  bool dbusTray_ = false;
  bool asked_ = false;
  // Children of the application object; each leaves the table when destroyed.
  std::map<uint32_t, QSystemTrayIcon*> icons_;
};

}  // namespace tamlix::tray
