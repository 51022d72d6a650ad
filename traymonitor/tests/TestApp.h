// The one QApplication of a test binary, created on first use.
#pragma once

namespace tamlix::tray::test {
void EnsureApplication();
}
