#include "FrameTemplate.h"

#include "ErrorReport.h"
#include "settings/CodePage.h"

namespace tamlix::config {

QString ToQ(std::string_view bytes) { return QString::fromStdU16String(DecodeCodePage(bytes)); }

std::optional<std::string> FromQ(const QString& text) { return EncodeCodePage(text.toStdU16String()); }

std::string EncodedFor(const TIniFile& ini, const QString& text) {
  std::optional<std::string> bytes = FromQ(text);
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
