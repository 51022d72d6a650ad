#include "SkipTaskbar.h"

#include <QEvent>
#include <QPointer>
#include <QWidget>
#include <map>
#include <vector>

#include "X11Connection.h"

namespace tamlix::tray {

namespace {

using x11::Atom;
using x11::Connection;
using x11::Reply;

struct Atoms {
  xcb_atom_t state, skipTaskbar, skipPager;
};

Atoms StateAtoms(xcb_connection_t* c) {
  return {Atom(c, "_NET_WM_STATE"), Atom(c, "_NET_WM_STATE_SKIP_TASKBAR"), Atom(c, "_NET_WM_STATE_SKIP_PAGER")};
}

std::vector<xcb_atom_t> ReadState(xcb_connection_t* c, xcb_window_t window, xcb_atom_t state) {
  const Reply<xcb_get_property_reply_t> reply(
      xcb_get_property_reply(c, xcb_get_property(c, 0, window, state, XCB_ATOM_ATOM, 0, 1024), nullptr));
  if (!reply || reply->format != 32 || reply->type != XCB_ATOM_ATOM) return {};
  const auto* atoms = static_cast<const xcb_atom_t*>(xcb_get_property_value(reply.get()));
  return std::vector<xcb_atom_t>(atoms, atoms + xcb_get_property_value_length(reply.get()) / 4);
}

// Writes the states on the X11 window of `widget`: into the property while
// it is unmapped (read by the window manager when it maps the window; Qt
// keeps what it finds there), as a request to the window manager while it
// is mapped.
void Apply(const QWidget* widget, bool skip) {
  xcb_connection_t* c = Connection();
  if (!c || !widget->testAttribute(Qt::WA_WState_Created)) return;
  const auto window = static_cast<xcb_window_t>(widget->winId());
  const Atoms atoms = StateAtoms(c);
  if (atoms.state == XCB_ATOM_NONE) return;
  const Reply<xcb_get_window_attributes_reply_t> attributes(
      xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, window), nullptr));
  if (!attributes) return;
  if (attributes->map_state == XCB_MAP_STATE_UNMAPPED) {
    std::vector<xcb_atom_t> state = ReadState(c, window, atoms.state);
    std::erase_if(state, [&](xcb_atom_t a) { return a == atoms.skipTaskbar || a == atoms.skipPager; });
    if (skip) {
      state.push_back(atoms.skipTaskbar);
      state.push_back(atoms.skipPager);
    }
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, atoms.state, XCB_ATOM_ATOM, 32,
                        static_cast<uint32_t>(state.size()), state.data());
  } else {
    const xcb_window_t root = x11::RootOf(c, window);
    if (root == XCB_NONE) return;
    // _NET_WM_STATE_ADD (1) or _REMOVE (0); the last word: from a normal application.
    x11::AskWindowManager(c, root, window, atoms.state,
                          {skip ? 1u : 0u, atoms.skipTaskbar, atoms.skipPager, 1u});
  }
  xcb_flush(c);
}

// Watches every window given a state; the show event comes before Qt maps
// the window. Owned by the application object.
class TSkipTaskbarFilter : public QObject {
 public:
  using QObject::QObject;
  std::map<QObject*, bool> windows;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Show) {
      auto it = windows.find(watched);
      if (it != windows.end()) Apply(static_cast<QWidget*>(watched), it->second);
    }
    return false;
  }
};

TSkipTaskbarFilter* Filter() {
  static QPointer<TSkipTaskbarFilter> filter;
  if (!filter && qApp) filter = new TSkipTaskbarFilter(qApp);
  return filter;
}

}  // namespace

void SetSkipTaskbar(QWidget* window, bool skip) {
  TSkipTaskbarFilter* filter = Filter();
  if (!window || !filter) return;
  auto [it, added] = filter->windows.emplace(window, skip);
  it->second = skip;
  if (added) {
    window->installEventFilter(filter);
    QObject::connect(window, &QObject::destroyed, filter, [filter, window] { filter->windows.erase(window); });
  }
  Apply(window, skip);
}

}  // namespace tamlix::tray
