#include "TrayIcon.h"

#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QMenu>
#include <QStyle>
#include <QWidget>
#include <cstring>
#include <string>

#include "QtTrayShell.h"

namespace tamlix::tray {

namespace {

TTrayShell* testShell = nullptr;

// A message posted to the manager's window.
class TPostedMessage : public QEvent {
 public:
  static QEvent::Type Kind() {
    static const auto kind = static_cast<QEvent::Type>(QEvent::registerEventType());
    return kind;
  }
  TPostedMessage(uint32_t m, uintptr_t w, intptr_t l) : QEvent(Kind()), message(m), wParam(w), lParam(l) {}
  uint32_t message;
  uintptr_t wParam;
  intptr_t lParam;
};

}  // namespace

uint32_t RegisterWindowMessage(const char* name) {
  static std::map<std::string, uint32_t> registry;
  auto [it, added] = registry.emplace(name ? name : "", 0);
  if (added) it->second = 0xC000 + static_cast<uint32_t>(registry.size()) - 1;
  return it->second;
}

// The production shell and the manager are left to the process's end: an
// exit() from inside Qt (the X server gone) must not run their destructors
// after Qt's own state is gone. The icons end with the application object.
TTrayShell& Shell() {
  if (testShell) return *testShell;
  static QtTrayShell* const production = new QtTrayShell;
  return *production;
}

void SetShellForTesting(TTrayShell* shell) { testShell = shell; }

uint32_t TrayCallbackMessage() {
  static const uint32_t number = RegisterWindowMessage("Qzt.TrayNotifyIconMsg");
  return number;
}

TIconManager& IconManager() {
  static TIconManager* const manager = new TIconManager;
  return *manager;
}

// ---- TIconManager ----

TIconManager::TIconManager() : windowHandle_(reinterpret_cast<uintptr_t>(this)) {
  TrayCallbackMessage();
}

TIconManager::~TIconManager() = default;

uint32_t TIconManager::Register(TTrayNotifyIcon* icon) {
  const uint32_t id = nextId_++;
  icons_[id] = icon;
  return id;
}

void TIconManager::Unregister(uint32_t id) { icons_.erase(id); }

intptr_t TIconManager::TrayWndProc(uint32_t message, uintptr_t wParam, intptr_t lParam) {
  if (message != TrayCallbackMessage()) {
    ++defaultHandled_;
    return 0;
  }
  // An id that no longer names an icon (removed meanwhile) is dropped.
  auto it = icons_.find(static_cast<uint32_t>(wParam));
  if (it != icons_.end()) it->second->HandleMouseMessage(lParam);
  return 0;
}

void TIconManager::PostMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) {
  QCoreApplication::postEvent(this, new TPostedMessage(message, wParam, lParam));
}

bool TIconManager::event(QEvent* e) {
  if (e->type() == TPostedMessage::Kind()) {
    auto* posted = static_cast<TPostedMessage*>(e);
    TrayWndProc(posted->message, posted->wParam, posted->lParam);
    return true;
  }
  return QObject::event(e);
}

// ---- TTrayNotifyIcon ----

TTrayNotifyIcon::TTrayNotifyIcon(QWidget* owner)
    : QObject(owner), owner_(owner), id_(IconManager().Register(this)) {
  clickTimer_.setSingleShot(false);
  clickTimer_.stop();
  clickTimer_.setInterval(Shell().GetDoubleClickTime());
  connect(&clickTimer_, &QTimer::timeout, this, &TTrayNotifyIcon::ClickTimerTick);
}

TTrayNotifyIcon::~TTrayNotifyIcon() {
  if (iconVisible_) SetIconVisible(false);
  IconManager().Unregister(id_);
}

void TTrayNotifyIcon::LoadDefaultIcon() {
  defaultIcon_ = QApplication::style()->standardIcon(QStyle::SP_DesktopIcon);
}

const QIcon& TTrayNotifyIcon::DefaultIconHandle() {
  if (!defaultLoaded_) {
    defaultLoaded_ = true;
    LoadDefaultIcon();
  }
  return defaultIcon_;
}

QIcon TTrayNotifyIcon::GetActiveIcon() {
  if (!icon_.isNull()) return icon_;
  return DefaultIconHandle();
}

void TTrayNotifyIcon::SendTrayMessage(uint32_t message, uint32_t flags) {
  TNotifyIconData data;
  data.hWnd = IconManager().WindowHandle();
  data.uID = id_;
  data.uFlags = flags;
  data.uCallbackMessage = TrayCallbackMessage();
  data.hIcon = GetActiveIcon();
  // Up to the first NUL, cut to 63 characters.
  const QByteArray tip = hint_.toLocal8Bit();
  const size_t n = std::min<size_t>(std::strlen(tip.constData()), sizeof(data.szTip) - 1);
  std::memcpy(data.szTip, tip.constData(), n);
  data.szTip[n] = '\0';
  Shell().ShellNotifyIcon(message, data);
}

void TTrayNotifyIcon::SetIcon(const QIcon& icon) {
  icon_ = icon;
  if (iconVisible_) SendTrayMessage(NIM_MODIFY, NIF_ICON);
}

void TTrayNotifyIcon::SetHideTask(bool value) {
  if (hideTask_ == value) return;
  hideTask_ = value;
  if (!designing_ && owner_) Shell().HideTaskButton(owner_, value);
}

void TTrayNotifyIcon::SetHint(const QString& value) {
  if (hint_ == value) return;
  hint_ = value;
  if (iconVisible_) SendTrayMessage(NIM_MODIFY, NIF_TIP);
}

void TTrayNotifyIcon::SetIconVisible(bool value) {
  if (iconVisible_ == value) return;
  iconVisible_ = value;
  SendTrayMessage(value ? NIM_ADD : NIM_DELETE, NIF_MESSAGE | NIF_ICON | NIF_TIP);
}

void TTrayNotifyIcon::SetPopupMenu(QMenu* menu) {
  QObject::disconnect(menuGone_);
  popupMenu_ = menu;
  if (menu) {
    menuGone_ = connect(menu, &QObject::destroyed, this, [this] { popupMenu_ = nullptr; });
  }
}

void TTrayNotifyIcon::Loaded() {
  if (iconVisible_) SendTrayMessage(NIM_ADD, NIF_MESSAGE | NIF_ICON | NIF_TIP);
}

void TTrayNotifyIcon::HandleMouseMessage(intptr_t mouseMessage) {
  switch (mouseMessage) {
    case WM_LBUTTONDOWN:
      // A running timer keeps its time: the click counts from the first press.
      if (!clickTimer_.isActive()) clickTimer_.start();
      break;
    case WM_LBUTTONDBLCLK:
      doubleClickSeen_ = true;
      if (OnDblClick) OnDblClick(this);
      break;
    case WM_RBUTTONDOWN:
      if (popupMenu_) {
        auto& manager = IconManager();
        Shell().SetForegroundWindow(manager.WindowHandle());
        Shell().Popup(popupMenu_, Shell().GetCursorPos());
        // Lets the menu's window close properly before the next message.
        manager.PostMessage(WM_USER, 0, 0);
      }
      break;
    default:
      break;
  }
}

void TTrayNotifyIcon::ClickTimerTick() {
  clickTimer_.stop();
  if (!doubleClickSeen_ && OnClick) OnClick(this);
  doubleClickSeen_ = false;
}

}  // namespace tamlix::tray
