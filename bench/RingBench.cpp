// WriteDebugRecord against its floor: one memcpy of a whole slot into the
// mapped ring. Prints both figures and their ratio (target: at most 3).
#include <benchmark/benchmark.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "UnitDebugSys.h"

namespace {

const std::string kClaim(530, 'c');

void BM_MemcpySlot(benchmark::State& state) {
  TDebugRecord* ring = tamlix::DebugSharedView();
  TDebugRecord source{};
  std::memset(&source, 'x', sizeof source);
  int slot = 0;
  for (auto _ : state) {
    std::memcpy(&ring[slot], &source, sizeof source);
    benchmark::ClobberMemory();
    slot = (slot + 1) % TAMLIX_DEBUG_SLOTS;
  }
}
BENCHMARK(BM_MemcpySlot);

void BM_WriteDebugRecord(benchmark::State& state) {
  for (auto _ : state) {
    tamlix::WriteDebugRecord("TamlixCore.dll", "Data Sent", "UnitCoreDataModule.SendData", "700",
                             "first part of the request", kClaim);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_WriteDebugRecord);

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& r : runs) times_[r.benchmark_name()] = r.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  std::string name = "/TamlixBenchRing." + std::to_string(::getpid());
  tamlix::SetDebugSharedNameForTesting(name.c_str());
  tamlix::OpenDebugShared();
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  tamlix::CloseDebugShared();
  double base = reporter.times_["BM_MemcpySlot"], write = reporter.times_["BM_WriteDebugRecord"];
  if (base > 0 && write > 0) {
    std::printf("WriteDebugRecord %.1f ns, memcpy of one slot %.1f ns, ratio %.2f (target <= 3)\n", write, base,
                write / base);
  }
  return 0;
}
