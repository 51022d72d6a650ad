#include "CurrentDesktop.h"

#include <QWidget>
#include <optional>

#include "X11Connection.h"

namespace tamlix::tray {

namespace {

using x11::Reply;

constexpr uint32_t kAllDesktops = 0xFFFFFFFF;

std::optional<uint32_t> Cardinal(xcb_connection_t* c, xcb_window_t window, xcb_atom_t name) {
  const Reply<xcb_get_property_reply_t> reply(
      xcb_get_property_reply(c, xcb_get_property(c, 0, window, name, XCB_ATOM_CARDINAL, 0, 1), nullptr));
  if (!reply || reply->format != 32 || xcb_get_property_value_length(reply.get()) < 4) return std::nullopt;
  return *static_cast<const uint32_t*>(xcb_get_property_value(reply.get()));
}

}  // namespace

void BringToCurrentDesktop(QWidget* widget) {
  xcb_connection_t* c = x11::Connection();
  if (!c || !widget || !widget->testAttribute(Qt::WA_WState_Created)) return;
  const auto window = static_cast<xcb_window_t>(widget->winId());
  const xcb_window_t root = x11::RootOf(c, window);
  const xcb_atom_t wmDesktop = x11::Atom(c, "_NET_WM_DESKTOP");
  if (root == XCB_NONE || wmDesktop == XCB_ATOM_NONE) return;
  const std::optional<uint32_t> current = Cardinal(c, root, x11::Atom(c, "_NET_CURRENT_DESKTOP"));
  if (!current) return;
  // The window manager keeps the desktop of each window it manages; a hidden
  // (withdrawn) window has none and is mapped on the current desktop.
  const std::optional<uint32_t> own = Cardinal(c, window, wmDesktop);
  if (!own || own == current || own == kAllDesktops) return;
  // The second word: on the user's behalf, as a pager asks.
  x11::AskWindowManager(c, root, window, wmDesktop, {*current, 2u});
  xcb_flush(c);
}

}  // namespace tamlix::tray
