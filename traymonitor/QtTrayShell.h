// QtTrayShell: the production notification area, one QSystemTrayIcon per
// added icon id. Its activations come back to the icon manager as the mouse
// messages of the area (left press, left double click, right press).
// Window thread only.
#pragma once

#include <QObject>
#include <map>
#include <memory>

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
  std::map<uint32_t, std::unique_ptr<QSystemTrayIcon>> icons_;
};

}  // namespace tamlix::tray
