// SkipTaskbar: keeps a top-level widget out of the taskbar and the pager
// through the window manager's _NET_WM_STATE_SKIP_TASKBAR and
// _NET_WM_STATE_SKIP_PAGER states (X11). The window manager drops a window's
// _NET_WM_STATE when the window is withdrawn (hidden), so the states are
// written again each time the window is about to be mapped; on a mapped
// window the window manager is asked to change them. On a platform without
// such states (offscreen, Wayland) nothing happens.
// Window thread only.
#pragma once

class QWidget;

namespace tamlix::tray {

// Gives `window` the two states (`skip`) or takes them away, now and at
// every later show. The window need not have a native window yet.
void SetSkipTaskbar(QWidget* window, bool skip);

}  // namespace tamlix::tray
