#include "CoreState.h"

#include "SocketTimerThread.h"
#include "UnitCoreDataModule.h"
#include "UnitDebugSys.h"

namespace tamlix::core {

TCoreState& Core() {
  // Built on first use, so the library's load object can rely on it.
  static TCoreState state;
  return state;
}

std::string CurrentSessionName() {
  TCoreState& g = Core();
  std::lock_guard<std::mutex> lock(g.SessionMutex);
  return g.SessionName;
}

void Record(std::string_view procedure, std::string_view message, std::string_view session,
            std::string_view detail, const char* data) noexcept {
  WriteDebugRecord(kCoreModule, message, procedure, session, detail, data);
}

}  // namespace tamlix::core
