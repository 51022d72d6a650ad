#include "ExportGate.h"

namespace tamlix::core {
namespace {

TExportGate g_gate;
// The calling thread's passes that have not left yet.
thread_local uint32_t t_passes = 0;

}  // namespace

TExportGate& ExportGate() noexcept { return g_gate; }

bool TExportGate::Enter() noexcept {
  if (word_.fetch_add(1, std::memory_order_acq_rel) & kClosed) {
    word_.fetch_sub(1, std::memory_order_acq_rel);
    return false;
  }
  ++t_passes;
  return true;
}

void TExportGate::Leave() noexcept {
  --t_passes;
  word_.fetch_sub(1, std::memory_order_acq_rel);
}

void TExportGate::Reset() noexcept { word_.store(t_passes, std::memory_order_release); }

}  // namespace tamlix::core
