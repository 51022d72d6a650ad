// debugview: prints the records of the shared debug ring in sequence order,
// once or as they arrive (--follow). Reads only; never creates the ring.
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "RingReader.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

const char kUsage[] =
    "usage: debugview [--data] [--follow [--wait] [--interval-ms N]] [--ring NAME]\n"
    "  Prints the records of the shared debug ring, oldest first: sequence, local date and\n"
    "  time, module, procedure, [session], message and (detail).\n"
    "  --data         also print each record's data text (control characters as \\xNN)\n"
    "  --follow       keep printing new records as they arrive, until interrupted; when the\n"
    "                 ring's last user removes it, print its last records and follow the next\n"
    "  --wait         with --follow: wait for the ring to appear instead of failing\n"
    "  --interval-ms  how often --follow looks for new records (default 100)\n"
    "  --ring NAME    the shared-memory name (default " TAMLIX_DEBUG_RING_NAME ")\n"
    "Exit status: 0 done, 1 no process has the ring open, 2 usage error.\n";

int Usage(const char* problem) {
  if (problem) std::fprintf(stderr, "debugview: %s\n", problem);
  std::fputs(kUsage, problem ? stderr : stdout);
  return problem ? 2 : 0;
}

void SleepMs(long ms) {
  timespec ts{ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&ts, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tamlix::debugview;
  FormatOptions options;
  bool follow = false, wait = false;
  long interval = 100;
  std::string ring = TAMLIX_DEBUG_RING_NAME;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") return Usage(nullptr);
    if (a == "--data") {
      options.data = true;
    } else if (a == "--follow") {
      follow = true;
    } else if (a == "--wait") {
      wait = true;
    } else if (a == "--interval-ms" || a == "--ring") {
      if (i + 1 >= argc) return Usage((a + " needs a value").c_str());
      std::string v = argv[++i];
      if (a == "--ring") {
        if (v.empty() || v[0] != '/') return Usage("--ring needs a name beginning with '/'");
        ring = v;
      } else {
        char* end = nullptr;
        errno = 0;
        interval = std::strtol(v.c_str(), &end, 10);
        if (errno || *end || v.empty() || interval < 1 || interval > 60000) {
          return Usage("--interval-ms needs a whole number from 1 to 60000");
        }
      }
    } else {
      return Usage(("unknown option " + a).c_str());
    }
  }
  if (wait && !follow) return Usage("--wait needs --follow");
  setvbuf(stdout, nullptr, _IOLBF, 0);
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  std::signal(SIGPIPE, SIG_DFL);

  RingReader reader(ring);
  if (!reader.Open()) {
    if (!wait) {
      std::fprintf(stderr, "debugview: no process has the debug ring open (%s: %s)\n", ring.c_str(),
                   errno == ENOENT ? "not found"
                   : errno == EAGAIN ? "smaller than a ring; no writer has opened it"
                                     : std::strerror(errno));
      return 1;
    }
    while (!g_stop && !reader.Open()) SleepMs(interval);
    if (g_stop) return 0;
  }

  if (!follow) {
    auto slots = reader.Snapshot();
    for (const auto* rec : InSequenceOrder(slots)) std::printf("%s\n", FormatRecord(*rec, options).c_str());
    return 0;
  }

  // Follow: print what is due at each look (see Follower).
  Follower follower;
  auto show = [&](const std::vector<TDebugRecord>& slots, bool final) {
    for (int i : follower.TakeDue(slots, final)) std::printf("%s\n", FormatRecord(slots[i], options).c_str());
  };
  while (!g_stop) {
    if (reader.IsOpen()) show(reader.Snapshot(), false);
    SleepMs(interval);
    if (reader.IsOpen()) {
      if (!reader.Replaced()) continue;
      // The ring's last user has removed it, so no writer is left: what the
      // old mapping holds now is all it will ever hold. Print the rest of it
      // before letting it go, then follow the next ring.
      show(reader.Snapshot(), true);
      reader.Close();
      follower = Follower();
    }
    reader.Open();
  }
  return 0;
}
