// claimhost: a host pharmacy program on the command line. It reads one claim
// and sends it through libTamlixDirect by the road chosen, then prints the
// reply. See ClaimHostUsage() for the options and exit status.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <clocale>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

#include "ClaimHostOptions.h"
#include "platform/ExeDir.h"
#include "tamlix/TamlixCore.h"
#include "tamlix/TamlixDirect.h"

namespace {

using namespace tamlix::claimhost;

constexpr int kReply = 0;
constexpr int kNoReply = 1;
constexpr int kSetupError = 2;

// The reply as the callback hands it over (on the core's worker thread).
std::mutex g_mutex;
std::condition_variable g_done;
bool g_replied = false;   // GUARDED_BY(g_mutex)
bool g_notified = false;  // GUARDED_BY(g_mutex): the time-notify event came
std::chrono::steady_clock::time_point g_notifiedAt;  // GUARDED_BY(g_mutex)
std::string g_reply;      // GUARDED_BY(g_mutex)

// processDataTest's status text for a claim that it refused unsent.
constexpr const char* kTooLongText = "Claim too long for the claim frame";

void OnReply(const char* data) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_reply = data ? data : "";
  g_replied = true;
  g_done.notify_all();
}

void OnTimeNotify() {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (!g_notified) g_notifiedAt = std::chrono::steady_clock::now();
  g_notified = true;
  g_done.notify_all();
}

int Fail(const std::string& message, int code) {
  std::fprintf(stderr, "claimhost: %s\n", message.c_str());
  return code;
}

void PrintReply(const std::string& reply, const ClaimHostOptions& o) {
  const std::string shown = o.showControl ? ShowControl(reply) : reply;
  std::fwrite(shown.data(), 1, shown.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

int RunSync(const std::string& claim, const ClaimHostOptions& o) {
  std::string dir = o.iniDir;
  if (dir.back() != '/') dir += '/';  // the library joins the name on directly
  if (access((dir + "TamlixTCP.INI").c_str(), R_OK) != 0)
    return Fail("cannot read " + dir + "TamlixTCP.INI: " + std::strerror(errno), kSetupError);
  if (Load_ini(dir.c_str(), 0) != 1)
    return Fail(dir + "TamlixTCP.INI gives no switch port (section \"Global TCP/IP Data\", Use, Port or SecPort)",
                kSetupError);
  std::vector<char> response(4097, '\0');
  const int32_t written = 0;
  int32_t received = 0;
  const int32_t result = Process_claim(claim.c_str(), &written, response.data(), &received);
  if (result == 1 && received > 0) {
    PrintReply(std::string(response.data()), o);
    return kReply;
  }
  if (result == 1) return Fail("no reply: the switch closed the connection without one", kNoReply);
  return Fail("no reply: the connection failed or the switch stayed silent for 8 seconds "
              "(the debug ring has the details)",
              kNoReply);
}

int RunAsync(const std::string& claim, const ClaimHostOptions& o) {
  TTCPIPSettings settings{};
  settings.Port = o.port;
  settings.Address.Length = static_cast<uint8_t>(o.host.size());
  std::memcpy(settings.Address.Chars, o.host.data(), o.host.size());
  settings.TimeOut = o.timeoutMs;
  settings.Headerlength = o.headerLength;
  settings.DefaultHeader = o.defaultHeader;

  const std::string lock = tamlix::platform::ExecutableDirectory() + o.session + ".lck";
  const bool lockWasThere = access(lock.c_str(), F_OK) == 0;
  if (!InitializeDirect(o.session.c_str(), &settings, 0, OnReply)) {
    if (lockWasThere)
      return Fail("session '" + o.session + "' is in use (its lock file " + lock +
                      " exists; remove it if no other program runs the session)",
                  kSetupError);
    return Fail("session '" + o.session + "' was refused (cannot create " + lock + "?)", kSetupError);
  }
  SetTimeNotifyEvent(OnTimeNotify);

  TCoreStatus status{};
  const auto sendStart = std::chrono::steady_clock::now();
  const bool sent = o.frame ? processDataTest(claim.c_str(), &status) : processData(claim.c_str(), &status);
  if (!sent) {
    status.ErrorText[sizeof status.ErrorText - 1] = '\0';
    // Nothing left this machine: the claim itself is at fault, not the switch.
    if (o.frame && std::strcmp(status.ErrorText, kTooLongText) == 0)
      return Fail("the claim was refused before sending: framed, it is longer than the claim frame's 4099 "
                  "characters",
                  kSetupError);
    return Fail(std::string("the claim was not sent: ") + status.ErrorText, kNoReply);
  }
  const int waitMs = o.waitMs >= 0 ? o.waitMs : static_cast<int>(std::min<uint32_t>(o.timeoutMs, 3600000u)) + 5000;
  std::unique_lock<std::mutex> guard(g_mutex);
  g_done.wait_for(guard, std::chrono::milliseconds(waitMs), [] { return g_replied || g_notified; });
  if (g_replied) {
    std::string reply = g_reply;
    guard.unlock();
    PrintReply(reply, o);
    return kReply;
  }
  const bool notified = g_notified;
  const auto notifiedAfter = g_notifiedAt - sendStart;
  guard.unlock();
  SetTimeNotifyEvent(nullptr);
  if (!notified) return Fail("no reply within " + std::to_string(waitMs) + " ms", kNoReply);
  // The core raises the same event when its read comes back empty (the
  // switch closed the connection). Its wait is the time-out rounded to whole
  // seconds, never less than the whole seconds in it, and starts after the
  // send began: an event before then cannot be the time-out.
  if (notifiedAfter < std::chrono::seconds(o.timeoutMs / 1000))
    return Fail("no reply: the switch closed the connection without one", kNoReply);
  return Fail("no reply within the time-out", kNoReply);
}

}  // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  ParseResult parsed = ParseClaimHostOptions(argc, argv);
  if (parsed.kind == ParseResult::Help) {
    std::fputs(ClaimHostUsage().c_str(), stdout);
    return 0;
  }
  if (parsed.kind == ParseResult::Error)
    return Fail(parsed.error + " (see claimhost --help)", kSetupError);
  const ClaimHostOptions& o = parsed.options;

  std::string claim, error;
  if (o.claimFile.empty()) {
    if (!ReadClaim(std::cin, o.keepNewline, claim, error)) return Fail(error, kSetupError);
  } else {
    std::ifstream in(o.claimFile, std::ios::binary);
    if (!in) return Fail("cannot open claim file '" + o.claimFile + "': " + std::strerror(errno), kSetupError);
    if (!ReadClaim(in, o.keepNewline, claim, error)) return Fail(error + " in '" + o.claimFile + "'", kSetupError);
  }
  if (claim.empty()) return Fail("the claim is empty", kSetupError);
  return o.road == Road::Sync ? RunSync(claim, o) : RunAsync(claim, o);
}
