// testswitch: a claims switch for tests and the demo. See SwitchUsage() for its options.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "SwitchOptions.h"
#include "SwitchServer.h"

namespace {

int g_stopWrite = -1;

void OnStopSignal(int) {
  int saved = errno;
  [[maybe_unused]] ssize_t n = ::write(g_stopWrite, "x", 1);
  errno = saved;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tamlix::testswitch;
  try {
    ParseResult parsed = ParseSwitchOptions(argc, argv);
    if (parsed.kind == ParseResult::Help) {
      std::fputs(SwitchUsage().c_str(), stdout);
      return 0;
    }
    if (parsed.kind == ParseResult::Error) {
      std::fprintf(stderr, "testswitch: %s\n%s", parsed.error.c_str(), SwitchUsage().c_str());
      return 2;
    }
    ::signal(SIGPIPE, SIG_IGN);
    int stopPipe[2];
    if (::pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
      std::perror("testswitch: pipe");
      return 1;
    }
    g_stopWrite = stopPipe[1];
    struct sigaction sa{};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);

    SwitchServer server(parsed.options, stopPipe[0]);
    std::string error;
    if (!server.Start(&error)) {
      std::fprintf(stderr, "testswitch: %s\n", error.c_str());
      return 1;
    }
    std::printf("PORT %d\n", server.port());
    std::fflush(stdout);
    return server.Run();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "testswitch: %s\n", e.what());
    return 1;
  }
}
