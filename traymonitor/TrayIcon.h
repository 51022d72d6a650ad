// TrayIcon: TTrayNotifyIcon puts one icon into the desktop's notification
// area, keeps its image and tip current, turns the area's mouse messages into
// OnClick, OnDblClick and a popup menu, and can hide the taskbar button of
// its owner window. The one TIconManager of the process receives the mouse
// messages of every icon and finds each icon through a small id table (the
// shell's 32-bit uID cannot hold an address).
//
// Everything speaks to the notification area through TTrayShell, set once
// for the process (production: QtTrayShell over QSystemTrayIcon; tests: a
// recording fake). Window thread only; nothing is locked.
#pragma once

#include <QIcon>
#include <QObject>
#include <QPoint>
#include <QString>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>

class QMenu;
class QWidget;

namespace tamlix::tray {

// Shell messages and flags of the notification area.
inline constexpr uint32_t NIM_ADD = 0;
inline constexpr uint32_t NIM_MODIFY = 1;
inline constexpr uint32_t NIM_DELETE = 2;
inline constexpr uint32_t NIF_MESSAGE = 1;
inline constexpr uint32_t NIF_ICON = 2;
inline constexpr uint32_t NIF_TIP = 4;

// Mouse messages that the area reports for an icon.
inline constexpr uint32_t WM_USER = 0x0400;
inline constexpr uint32_t WM_LBUTTONDOWN = 0x0201;
inline constexpr uint32_t WM_LBUTTONDBLCLK = 0x0203;
inline constexpr uint32_t WM_RBUTTONDOWN = 0x0204;

// The number registered for `name` in the process's registry of message
// numbers: the same name always gets the same number, from 0xC000 up.
uint32_t RegisterWindowMessage(const char* name);

// What each call to the area carries.
struct TNotifyIconData {
  uint32_t cbSize = 88;
  uintptr_t hWnd = 0;  // the manager's window
  uint32_t uID = 0;    // the icon's id in the manager's table
  uint32_t uFlags = 0;
  uint32_t uCallbackMessage = 0;
  QIcon hIcon;
  char szTip[64] = {};  // at most 63 characters and a NUL
};

// The notification area and the few window services the component uses.
class TTrayShell {
 public:
  virtual ~TTrayShell() = default;
  // Add, modify or delete the icon; false when refused (never examined).
  virtual bool ShellNotifyIcon(uint32_t message, const TNotifyIconData& data) = 0;
  // Shows (false) or hides (true) the taskbar button of `window`.
  virtual void HideTaskButton(QWidget* window, bool hide) = 0;
  virtual void SetForegroundWindow(uintptr_t window) = 0;
  virtual QPoint GetCursorPos() = 0;
  // Shows `menu` at screen position `at`; returns when it closes.
  virtual void Popup(QMenu* menu, QPoint at) = 0;
  // The desktop's double-click interval in milliseconds.
  virtual int GetDoubleClickTime() = 0;
};

// The process's shell: production QtTrayShell unless a test set another one
// (before any component is created). The shell is not owned.
TTrayShell& Shell();
void SetShellForTesting(TTrayShell* shell);

class TTrayNotifyIcon;

// The hidden window that receives the area's messages for every icon.
class TIconManager : public QObject {
  Q_OBJECT

 public:
  TIconManager();
  ~TIconManager() override;

  uintptr_t WindowHandle() const { return windowHandle_; }
  // The window procedure: the callback message goes to the icon that wParam
  // names; every other message gets the default handling (result 0).
  intptr_t TrayWndProc(uint32_t message, uintptr_t wParam, intptr_t lParam);
  // Delivers the message to TrayWndProc later, from the event loop.
  void PostMessage(uint32_t message, uintptr_t wParam, intptr_t lParam);
  // How many messages went to the default handling (for tests).
  int DefaultHandled() const { return defaultHandled_; }

  uint32_t Register(TTrayNotifyIcon* icon);
  void Unregister(uint32_t id);

 protected:
  bool event(QEvent* e) override;

 private:
  uintptr_t windowHandle_;
  uint32_t nextId_ = 1;
  std::map<uint32_t, TTrayNotifyIcon*> icons_;
  int defaultHandled_ = 0;
};

// The process's manager, created on first use on the window thread.
TIconManager& IconManager();
// The number registered for "Qzt.TrayNotifyIconMsg".
uint32_t TrayCallbackMessage();

class TTrayNotifyIcon : public QObject {
  Q_OBJECT

 public:
  using TNotifyEvent = std::function<void(QObject* sender)>;

  // Owner: the window whose taskbar button HideTask hides (may be null).
  explicit TTrayNotifyIcon(QWidget* owner);
  ~TTrayNotifyIcon() override;
  TTrayNotifyIcon(const TTrayNotifyIcon&) = delete;
  TTrayNotifyIcon& operator=(const TTrayNotifyIcon&) = delete;

  const QIcon& Icon() const { return icon_; }
  void SetIcon(const QIcon& icon);
  bool HideTask() const { return hideTask_; }
  void SetHideTask(bool value);
  const QString& Hint() const { return hint_; }
  void SetHint(const QString& value);
  bool IconVisible() const { return iconVisible_; }
  void SetIconVisible(bool value);
  QMenu* PopupMenu() const { return popupMenu_; }
  // Not owned; forgotten when the menu is destroyed.
  void SetPopupMenu(QMenu* menu);
  TNotifyEvent OnClick;
  TNotifyEvent OnDblClick;

  // After the stored properties are set: adds the icon when IconVisible.
  void Loaded();
  // Design mode: HideTask only stores.
  void SetDesigning(bool designing) { designing_ = designing; }

  uint32_t Id() const { return id_; }
  // The icon to show: Icon when it holds an image, else the default icon.
  QIcon GetActiveIcon();
  const QIcon& DefaultIconHandle();
  bool DoubleClickSeen() const { return doubleClickSeen_; }
  QTimer& ClickTimer() { return clickTimer_; }

  // The mouse message that the manager routed to this icon.
  void HandleMouseMessage(intptr_t mouseMessage);

 protected:
  // Sets defaultIcon_, the icon shown while Icon is empty; a descendant may
  // supply another. Called once, before the first image is needed.
  virtual void LoadDefaultIcon();
  QIcon defaultIcon_;

 private:
  void ClickTimerTick();
  void SendTrayMessage(uint32_t message, uint32_t flags);

  QWidget* owner_;
  uint32_t id_;
  bool defaultLoaded_ = false;
  bool designing_ = false;
  QIcon icon_;
  bool hideTask_ = false;
  QString hint_;
  bool iconVisible_ = false;
  QMenu* popupMenu_ = nullptr;
  QMetaObject::Connection menuGone_;
  bool doubleClickSeen_ = false;
  QTimer clickTimer_;
};

}  // namespace tamlix::tray
