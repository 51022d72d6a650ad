// debugview: prints the records of the shared debug ring in sequence order,
// once or as they arrive (--follow). Reads only; never creates the ring,
// never blocks on an object that is not one, and writes only printable text.
// Every wait ends on SIGINT or SIGTERM.
#include <fcntl.h>
#include <langinfo.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "RingReader.h"

namespace {

// A stop signal sets g_stop and wakes every wait through the pipe, so that
// one arriving just before a wait still ends it at once.
volatile std::sig_atomic_t g_stop = 0;
int g_wake[2] = {-1, -1};

void OnSignal(int) {
  int saved = errno;
  g_stop = 1;
  [[maybe_unused]] ssize_t n = ::write(g_wake[1], "x", 1);
  errno = saved;
}

// No SA_RESTART: a write blocked on a stopped terminal or a full pipe ends
// with EINTR on Ctrl-C too.
bool InstallStopSignals() {
  if (::pipe2(g_wake, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  struct sigaction sa{};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;
  return ::sigaction(SIGINT, &sa, nullptr) == 0 && ::sigaction(SIGTERM, &sa, nullptr) == 0;
}

// Ends at once after a stop signal: output that a stopped terminal or a full
// pipe holds back is dropped, not waited for.
[[noreturn]] void Stopped() { ::_exit(0); }

// Waits `ms`, or until a stop signal.
void WaitMs(long ms) {
  pollfd p{g_wake[0], POLLIN, 0};
  ::poll(&p, 1, static_cast<int>(ms));
}

const char kUsage[] =
    "usage: debugview [--data] [--follow [--wait] [--interval-ms N]] [--ring NAME]\n"
    "  Prints the records of the shared debug ring, oldest first: sequence, local date and\n"
    "  time, module, procedure, [session], message and (detail). Control characters show as\n"
    "  \\xNN; other bytes above 0x7F as the settings files' code page's characters when the\n"
    "  locale's encoding is UTF-8, else as \\xNN too.\n"
    "  --data         also print each record's data text\n"
    "  --follow       keep printing new records as they arrive, until interrupted; when the\n"
    "                 ring's last user removes it, print its last records and follow the next\n"
    "  --wait         with --follow: wait for the ring to appear instead of failing\n"
    "  --interval-ms  how often --follow looks for new records (default 100)\n"
    "  --ring NAME    the shared-memory name (default " TAMLIX_DEBUG_RING_NAME ")\n"
    "A ring that no process has open any more (its last user was killed) is printed under a\n"
    "line that says so.\n"
    "Exit status: 0 done, 1 no process has the ring open or it cannot be read, 2 usage error.\n";

int Usage(const char* problem) {
  if (problem) std::fprintf(stderr, "debugview: %s\n", problem);
  std::fputs(kUsage, problem ? stderr : stdout);
  return problem ? 2 : 0;
}

// Why the ring cannot be read, as one line.
std::string OpenProblem(tamlix::debugview::RingReader::Failure f, const std::string& ring,
                        const std::string& reason) {
  using F = tamlix::debugview::RingReader::Failure;
  std::string where = "(" + ring + ": " + reason + ")";
  switch (f) {
    case F::Absent:
      return "no process has the debug ring open " + where;
    case F::Unreadable:
      return "the debug ring may not be read " + where;
    default:
      return "not a debug ring " + where;
  }
}

const char kLeftBehind[] = "-- left by a process that ended: no process has the debug ring open --";

}  // namespace

int main(int argc, char** argv) {
  using namespace tamlix::debugview;
  FormatOptions options;
  bool follow = false, wait = false;
  long interval = 100;
  std::string ring = TAMLIX_DEBUG_RING_NAME;
  setlocale(LC_ALL, "");
  options.utf8 = std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
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
      return Usage(("unknown option " + VisibleText(a, options.utf8)).c_str());
    }
  }
  if (wait && !follow) return Usage("--wait needs --follow");
  const std::string shown_ring = VisibleText(ring, options.utf8);
  setvbuf(stdout, nullptr, _IOLBF, 0);
  if (!InstallStopSignals()) {
    std::perror("debugview");
    return 1;
  }
  std::signal(SIGPIPE, SIG_DFL);

  RingReader reader(ring);
  std::string reason;
  RingReader::Failure failure = reader.Open(&reason);
  if (failure != RingReader::Failure::None) {
    if (!wait) {
      std::fprintf(stderr, "debugview: %s\n", OpenProblem(failure, shown_ring, reason).c_str());
      return 1;
    }
    // An absent ring is what --wait is for; anything else is said once,
    // and again only when it changes.
    std::string said = failure == RingReader::Failure::Absent ? reason : "";
    while (!g_stop && failure != RingReader::Failure::None) {
      if (reason != said) {
        std::fprintf(stderr, "debugview: waiting: %s\n", OpenProblem(failure, shown_ring, reason).c_str());
        said = reason;
      }
      WaitMs(interval);
      if (!g_stop) failure = reader.Open(&reason);
    }
    if (g_stop) Stopped();
  }
  const bool held = reader.Held();
  if (!held) std::printf("%s\n", kLeftBehind);

  if (!follow) {
    auto slots = reader.Snapshot();
    for (const auto* rec : InSequenceOrder(slots)) {
      if (g_stop) break;
      std::printf("%s\n", FormatRecord(*rec, options).c_str());
    }
    if (g_stop) Stopped();
    return held ? 0 : 1;
  }

  // Follow: print what is due at each look (see Follower).
  Follower follower;
  auto show = [&](const std::vector<TDebugRecord>& slots, bool final) {
    for (const Follower::Due& d : follower.TakeDue(slots, final)) {
      if (g_stop) return;
      std::printf("%s\n", FormatRecord(d.record, options).c_str());
    }
  };
  while (!g_stop) {
    if (reader.IsOpen()) show(reader.Snapshot(), false);
    WaitMs(interval);
    if (reader.IsOpen()) {
      if (!reader.Replaced()) continue;
      // The ring's last user has removed it, so no writer is left: what the
      // old object holds now is all it will ever hold. Print the rest of it
      // before letting it go, then follow the next ring.
      show(reader.Snapshot(), true);
      reader.Close();
      follower = Follower();
    }
    if (reader.Open() == RingReader::Failure::None && !reader.Held()) std::printf("%s\n", kLeftBehind);
  }
  Stopped();
}
