// CurrentDesktop: fetches a top-level window to the virtual desktop that the
// user is looking at (X11: _NET_CURRENT_DESKTOP). A window manager shows a
// window only on its own desktop and refuses to activate one on another, so
// a shown window left on another desktop is asked over (_NET_WM_DESKTOP, as
// a pager asks) before it is raised and activated. A hidden window (the
// window manager maps it on the current desktop), a window on every
// desktop, or a platform without desktops (offscreen, Wayland) is left alone.
// Window thread only.
#pragma once

class QWidget;

namespace tamlix::tray {

void BringToCurrentDesktop(QWidget* window);

}  // namespace tamlix::tray
