#include "FrameTemplate.h"

#include "ErrorReport.h"

namespace tamlix::config {

void TframTemplate::ChangeFailed() {
  if (FFilling) {
    // Only the first failure of one control's setting counts.
    if (!FFillError) FFillError = std::current_exception();
    return;
  }
  ShowError(this, CurrentErrorText());
}

}  // namespace tamlix::config
