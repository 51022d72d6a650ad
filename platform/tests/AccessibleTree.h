// Test helper for the Qt windows: what a screen reader finds in a window's
// accessibility tree.
#pragma once

#include <QAccessible>
#include <QString>
#include <QWidget>
#include <functional>
#include <map>

namespace tamlix::testing {

// Every shown widget of the window's accessibility tree that takes focus,
// with the name the tree gives it.
inline std::map<QWidget*, QString> FocusableNames(QWidget* window) {
  std::map<QWidget*, QString> names;
  std::function<void(QAccessibleInterface*)> walk = [&](QAccessibleInterface* node) {
    const QAccessible::State state = node->state();
    if (auto* w = qobject_cast<QWidget*>(node->object()); w && state.focusable && !state.invisible)
      names[w] = node->text(QAccessible::Name);
    for (int i = 0; i < node->childCount(); ++i)
      if (QAccessibleInterface* child = node->child(i)) walk(child);
  };
  walk(QAccessible::queryAccessibleInterface(window));
  return names;
}

}  // namespace tamlix::testing
