// X11Connection: what the units that speak to the X11 window manager share:
// the application's xcb connection, replies freed on scope exit and atoms
// by name. Window thread only.
#pragma once

#include <xcb/xcb.h>

#include <QGuiApplication>
#include <QtGui/qguiapplication_platform.h>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>

namespace tamlix::tray::x11 {

// The application's connection; null on a platform other than X11.
inline xcb_connection_t* Connection() {
  auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  return x11 ? x11->connection() : nullptr;
}

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
template <class T>
using Reply = std::unique_ptr<T, FreeDeleter>;

inline xcb_atom_t Atom(xcb_connection_t* c, const char* name) {
  const Reply<xcb_intern_atom_reply_t> reply(
      xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr));
  return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
}

// The root window of the screen that `window` is on; XCB_NONE when unknown.
inline xcb_window_t RootOf(xcb_connection_t* c, xcb_window_t window) {
  const Reply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(c, xcb_get_geometry(c, window), nullptr));
  return geometry ? geometry->root : xcb_window_t{XCB_NONE};
}

// Asks the window manager to change `window`: a client message of `type`
// with up to five words of `data`, sent to the root window `root`.
inline void AskWindowManager(xcb_connection_t* c, xcb_window_t root, xcb_window_t window, xcb_atom_t type,
                             std::initializer_list<uint32_t> data) {
  xcb_client_message_event_t message = {};
  message.response_type = XCB_CLIENT_MESSAGE;
  message.format = 32;
  message.window = window;
  message.type = type;
  int i = 0;
  for (uint32_t word : data) {
    if (i == 5) break;
    message.data.data32[i++] = word;
  }
  xcb_send_event(c, 0, root, XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT,
                 reinterpret_cast<const char*>(&message));
}

}  // namespace tamlix::tray::x11
