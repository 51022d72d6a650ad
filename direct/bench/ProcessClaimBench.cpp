// Process_claim's round trip (connect, TLS handshake, write, wait, read,
// close) against the test switch, side by side with a bare OpenSSL client
// doing the same work (a new context, connection and handshake per round),
// interleaved in one run. Prints both medians and their
// ratio; the target is a ratio of at most 1.10.
//   direct_bench [rounds]   (default 300)
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "BareTlsClient.h"
#include "TestSwitch.h"
#include "tamlix/TamlixDirect.h"

namespace {

using Clock = std::chrono::steady_clock;

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(10, std::atoi(argv[1])) : 300;
  const std::string claim = std::string("\x02") + std::string(250, 'C') + "\x03";
  const std::string reply(120, 'R');

  tamlix::testing::TestSwitch sw({"--reply", reply});
  char tmpl[] = "/tmp/direct-bench-XXXXXX";
  if (!::mkdtemp(tmpl)) return 2;
  const std::filesystem::path dir = tmpl;
  std::ofstream(dir / "TamlixTCP.INI") << "[Global TCP/IP Data]\nAddress=127.0.0.1\nPort=" << sw.port() << "\n";
  if (Load_ini((dir.string() + "/").c_str(), 0) != 1) return 2;

  std::vector<double> direct, baseline;
  std::vector<char> response(4097);
  for (int i = 0; i < rounds + 10; ++i) {
    const int32_t written = 0;
    int32_t received = 0;
    auto t0 = Clock::now();
    const int32_t ok = Process_claim(claim.c_str(), &written, response.data(), &received);
    auto t1 = Clock::now();
    std::string got;
    // A fresh client each round: like every exchange, it makes its own TLS
    // context, connection and handshake.
    tamlix::testing::BareTlsClient bare;
    const bool bareOk = bare.Exchange(sw.port(), claim, &got);
    auto t2 = Clock::now();
    if (ok != 1 || received != static_cast<int32_t>(reply.size()) || !bareOk || got != reply) {
      std::fprintf(stderr, "round %d failed: direct %d/%d, bare %d (%s)\n", i, ok, received, bareOk,
                   bare.lastError().c_str());
      return 2;
    }
    if (i < 10) continue;  // warm-up
    direct.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    baseline.push_back(std::chrono::duration<double, std::micro>(t2 - t1).count());
  }
  std::filesystem::remove_all(dir);
  const double d = Median(direct), b = Median(baseline);
  const double ratio = d / b;
  std::printf("rounds: %d\nProcess_claim round trip median: %.1f us\nbare OpenSSL client median:      %.1f us\n"
              "ratio: %.3f (target <= 1.10: %s)\n",
              rounds, d, b, ratio, ratio <= 1.10 ? "met" : "missed");
  return 0;
}
