#include "Icons.h"

#include <QPainter>
#include <QPixmap>

namespace tamlix::brindlemoss {

namespace {

// A round badge of `fill` with a white mark drawn by `mark`.
template <class Mark>
QIcon Badge(QColor fill, Mark mark) {
  QPixmap pixmap(32, 32);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(fill.darker(150), 2));
  p.setBrush(fill);
  p.drawEllipse(2, 2, 28, 28);
  p.setPen(QPen(Qt::white, 4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.setBrush(Qt::NoBrush);
  mark(p);
  p.end();
  return QIcon(pixmap);
}

}  // namespace

QIcon InitialIcon() {
  // A capsule on blue: the program, before a session is known.
  return Badge(QColor(40, 90, 170), [](QPainter& p) {
    p.drawRoundedRect(QRectF(8, 12, 16, 8), 4, 4);
    p.drawLine(QPointF(16, 12), QPointF(16, 20));
  });
}

QIcon OkIcon() {
  return Badge(QColor(30, 140, 60), [](QPainter& p) {
    const QPointF tick[] = {{9, 17}, {14, 22}, {23, 10}};
    p.drawPolyline(tick, 3);
  });
}

QIcon ErrorIcon() {
  return Badge(QColor(190, 30, 30), [](QPainter& p) {
    p.drawLine(QPointF(11, 11), QPointF(21, 21));
    p.drawLine(QPointF(21, 11), QPointF(11, 21));
  });
}

}  // namespace tamlix::brindlemoss
