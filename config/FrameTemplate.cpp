#include "FrameTemplate.h"

#include "ErrorReport.h"
#include "settings/CodePage.h"

namespace tamlix::config {

QString ToQ(std::string_view bytes) { return QString::fromStdU16String(DecodeCodePage(bytes)); }

std::string EncodedFor(const TIniFile& ini, const QString& text) {
  std::optional<std::string> bytes = EncodeCodePage(text.toStdU16String());
  if (!bytes) throw EIniFileError("Unable to write to " + ini.FileName());
  return std::move(*bytes);
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
