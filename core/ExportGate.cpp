#include "ExportGate.h"

namespace tamlix::core {
namespace {

TExportGate g_gate;

}  // namespace

TExportGate& ExportGate() noexcept { return g_gate; }

bool TExportGate::Enter() noexcept {
  if (word_.fetch_add(1, std::memory_order_acq_rel) & kClosed) {
    word_.fetch_sub(1, std::memory_order_acq_rel);
    return false;
  }
  return true;
}

void TExportGate::Leave() noexcept { word_.fetch_sub(1, std::memory_order_acq_rel); }

void TExportGate::Reset(uint32_t inside) noexcept { word_.store(inside, std::memory_order_release); }

}  // namespace tamlix::core
