#include "FrameTemplate.h"

#include <QStringDecoder>

#include "ErrorReport.h"

namespace tamlix::config {

QString ToQ(const std::string& text) {
  QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  QString decoded = utf8(QByteArrayView(text.data(), static_cast<qsizetype>(text.size())));
  if (!utf8.hasError()) return decoded;
  return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

void TframTemplate::ChangeFailed() {
  if (FFilling) {
    // Only the first failure of one control's setting counts.
    if (!FFillError) FFillError = std::current_exception();
    return;
  }
  ShowError(this, CurrentErrorText());
}

}  // namespace tamlix::config
