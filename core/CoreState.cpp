#include "CoreState.h"

#include <new>

#include "SocketTimerThread.h"
#include "UnitDebugSys.h"

namespace tamlix::core {
namespace {

// Raw memory with no destructor of its own: nothing at process exit ends
// the state's life behind the back of a thread still using it.
alignas(TCoreState) unsigned char g_storage[sizeof(TCoreState)];
TCoreState* g_state = nullptr;

}  // namespace

TCoreState& Core() noexcept { return *g_state; }
bool CoreStateLive() noexcept { return g_state != nullptr; }

void MakeCoreState() noexcept {
  g_state = new (g_storage) TCoreState();
  g_state->dtmdlCore.emplace();
}

void FreeCoreState() noexcept {
  if (!g_state) return;
  g_state->~TCoreState();
  g_state = nullptr;
}

std::string CurrentSessionName() {
  TCoreState& g = Core();
  TMutexLock lock(g.SessionMutex);
  return g.SessionName;
}

void Record(std::string_view procedure, std::string_view message, std::string_view session,
            std::string_view detail, const char* data) noexcept {
  WriteDebugRecord(kCoreModule, message, procedure, session, detail, data);
}

}  // namespace tamlix::core
