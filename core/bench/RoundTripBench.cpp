// A claim round trip through the real libTamlixCore.so (SendData to the read
// callback) against the test switch, side by side in one run with two bare
// OpenSSL clients doing the same work: new TCP connection, handshake, one
// write, one read, close. The first reuses one TLS context for every claim,
// which the core may not (for reference: the context alone costs a few
// hundred microseconds a claim); the second does what the core must do for
// every claim, a new context with cipher list "ALL" and a new SSL object
// each time (target: at most 1.05). Prints the medians and both ratios, then
// the resident-memory growth over 10,000 claims in a row (target: under
// 1 MiB).
//
// Usage: core_roundtrip_bench [rounds] [claims]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "BareTlsClient.h"
#include "TestSwitch.h"
#include "tamlix/TamlixCore.h"

namespace {

using Clock = std::chrono::steady_clock;

const char kClaim[] =
    "\x02" "0120011brindlemoss"
    "999999D0B1          1011234567890     20261210          "
    "AM01C419700101C51AM07D11D70000000000001\x03";

std::mutex g_mutex;
std::condition_variable g_replied;
int g_replies = 0;  // guarded by g_mutex
size_t g_reply_size = 0;

void OnReply(const char* text) {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    ++g_replies;
    g_reply_size = std::strlen(text);
  }
  g_replied.notify_all();
}

bool CoreRoundTrip() {
  int before;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    before = g_replies;
  }
  TCoreStatus status{};
  if (!SendData(kClaim, &status)) return false;
  std::unique_lock<std::mutex> lock(g_mutex);
  return g_replied.wait_for(lock, std::chrono::seconds(10), [&] { return g_replies > before; });
}

bool BareRoundTrip(tamlix::testing::BareTlsClient& client, uint16_t port) {
  std::string reply;
  return client.Exchange(port, std::string_view(kClaim, sizeof kClaim - 1), &reply) && !reply.empty();
}

// The per-claim baseline: a client of its own, with a new context.
bool FreshRoundTrip(uint16_t port) {
  tamlix::testing::BareTlsClient client;
  return BareRoundTrip(client, port);
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

long ResidentKiB() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 300;
  const int claims = argc > 2 ? std::atoi(argv[2]) : 10000;
  std::signal(SIGPIPE, SIG_IGN);

  // A switch that logs nothing: a file per request would cost more than the
  // round trip itself and blur every ratio.
  tamlix::testing::TestSwitch sw({"--reply", "\x02" "0060ACCEPTED 999999 B1 RESPONSE STATUS A PAID 000012345\x03"},
                                 std::chrono::seconds(10), /*logRequests=*/false);
  const uint16_t port = sw.port();

  TTCPIPSettings settings{};
  settings.Port = port;
  settings.Address.Length = 9;
  std::memcpy(settings.Address.Chars, "127.0.0.1", 9);
  settings.TimeOut = 10000;
  std::string session = "bench-" + std::to_string(::getpid());
  int32_t in_use = 0;
  if (!InitializeCore(session.c_str(), OnReply, &settings, nullptr, &in_use)) {
    std::fprintf(stderr, "InitializeCore failed\n");
    return 1;
  }

  tamlix::testing::BareTlsClient bare;
  for (int i = 0; i < 20; ++i) {
    if (!CoreRoundTrip() || !BareRoundTrip(bare, port) || !FreshRoundTrip(port)) {
      std::fprintf(stderr, "warm-up round trip failed\n");
      return 1;
    }
  }

  // Interleaved, so that all three see the same machine load, and in turns
  // that rotate, so that none always runs in the wake of the same other
  // (the core's worker still closes its connection after the callback).
  std::vector<double> core_us, bare_us, fresh_us;
  for (int i = 0; i < rounds; ++i) {
    for (int k = 0; k < 3; ++k) {
      const int which = (i + k) % 3;
      auto t0 = Clock::now();
      const bool ok = which == 0 ? CoreRoundTrip() : which == 1 ? BareRoundTrip(bare, port) : FreshRoundTrip(port);
      const double us = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
      if (!ok) {
        static const char* const kNames[] = {"core", "bare", "per-claim"};
        std::fprintf(stderr, "round trip %d failed (%s)\n", i, kNames[which]);
        return 1;
      }
      (which == 0 ? core_us : which == 1 ? bare_us : fresh_us).push_back(us);
    }
  }
  const double core_median = Median(core_us);
  std::printf("round trip, %d rounds: core median %.1f us\n", rounds, core_median);
  auto report = [&](const char* name, const std::vector<double>& base_us, const char* target) {
    std::vector<double> pair_ratios;
    for (size_t i = 0; i < core_us.size(); ++i) pair_ratios.push_back(core_us[i] / base_us[i]);
    const double base_median = Median(base_us);
    std::printf("  against %s: median %.1f us, ratio of medians %.3f, median of paired ratios %.3f (%s)\n", name,
                base_median, core_median / base_median, Median(pair_ratios), target);
  };
  report("a bare client reusing one context", bare_us, "for reference");
  report("a bare client with a new context per claim", fresh_us, "target <= 1.05");

  long rss_before = ResidentKiB();
  for (int i = 0; i < claims; ++i) {
    if (!CoreRoundTrip()) {
      std::fprintf(stderr, "claim %d failed\n", i);
      return 1;
    }
  }
  long rss_after = ResidentKiB();
  std::printf("%d claims in a row: resident %ld KiB -> %ld KiB, growth %ld KiB (target < 1024)\n", claims,
              rss_before, rss_after, rss_after - rss_before);
  return 0;
}
