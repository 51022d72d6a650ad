// The program's three 32 by 32 icons, drawn in code: the tray icon's initial
// image, the image for a running session and the one for an error.
#pragma once

#include <QIcon>

namespace tamlix::brindlemoss {

QIcon InitialIcon();
QIcon OkIcon();
QIcon ErrorIcon();

}  // namespace tamlix::brindlemoss
