#include "SwitchOptions.h"

#include <sys/stat.h>

#include <charconv>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string_view>

namespace tamlix::testswitch {
namespace {

// Whole decimal text within [lo, hi]; no sign, blanks or trailing characters.
bool ParseNumber(std::string_view text, long lo, long hi, long* out) {
  if (text.empty() || text.front() < '0' || text.front() > '9') return false;
  long v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() || v < lo || v > hi) return false;
  *out = v;
  return true;
}

constexpr long kMaxMs = 3600L * 1000;
constexpr long kMaxOversize = 64L * 1024 * 1024;
constexpr long kMaxPieces = 100000;

}  // namespace

std::string SwitchUsage() {
  return "Usage: testswitch [options]\n"
         "A claims switch for tests: a TLS server on 127.0.0.1 that reads one request per\n"
         "connection and acts as told. Prints \"PORT <n>\" once listening.\n"
         "  --port N              port to listen on (default 0: a free port)\n"
         "  --reply TEXT          reply with TEXT\n"
         "  --reply-file FILE     reply with the bytes of FILE\n"
         "  --echo                reply with the request (default)\n"
         "  --oversize N          reply with N bytes of a recognisable pattern\n"
         "  --delay-ms N          wait N ms before replying\n"
         "  --silent              never reply; keep the connection open\n"
         "  --close               close without replying, after reading the request\n"
         "  --pieces N            send the reply in N pieces\n"
         "  --pause-ms M          pause M ms between pieces\n"
         "  --plain               plain TCP, no TLS\n"
         "  --trickle-ms N        send the TLS handshake one byte at a time, N ms apart\n"
         "  --full-backlog        fill the accept queue at start and accept nothing: later\n"
         "                        connects get no answer at all (their SYNs are dropped)\n"
         "  --split-record MS     send the reply's TLS record in two TCP writes, MS ms apart\n"
         "  --partial-record N    send only the first N bytes of the reply's TLS record, then\n"
         "                        nothing more (the connection stays open)\n"
         "  --key-updates MS      before the reply, send TLS 1.3 KeyUpdates for MS ms, as fast\n"
         "                        as the client takes them\n"
         "  --key-update-requested  the KeyUpdates ask for one back; the switch reads nothing\n"
         "                        while it sends them, and its receive buffer is small\n"
         "  --hello-requests      answer the client's hello with TLS 1.2 HelloRequest records,\n"
         "                        as fast as the client takes them, until it goes\n"
         "  --log-dir DIR         write request k as DIR/request-<k>.bin\n"
         "  --max-connections N   exit after serving N connections\n"
         "  --cert FILE --key FILE  PEM certificate and key (default: made at start)\n"
         "  --help                show this text\n";
}

ParseResult ParseSwitchOptions(int argc, char** argv) {
  ParseResult r;
  SwitchOptions& o = r.options;
  int sources = 0, actions = 0;
  auto fail = [&r](std::string msg) {
    r.kind = ParseResult::Error;
    r.error = std::move(msg);
    return r;
  };
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string value;
    bool inlineValue = false;
    if (auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg.resize(eq);
      inlineValue = true;
    }
    static const std::string_view kWithValue[] = {
        "--port", "--reply", "--reply-file", "--oversize", "--delay-ms", "--pieces",
        "--pause-ms", "--log-dir", "--max-connections", "--cert", "--key", "--trickle-ms",
        "--split-record", "--partial-record", "--key-updates"};
    bool wantsValue = false;
    for (auto w : kWithValue) wantsValue = wantsValue || arg == w;
    if (wantsValue && !inlineValue) {
      if (i + 1 >= argc) return fail("option " + arg + " needs a value");
      value = argv[++i];
    } else if (!wantsValue && inlineValue) {
      return fail("option " + arg + " takes no value");
    }
    long n = 0;
    auto number = [&](long lo, long hi) {
      if (ParseNumber(value, lo, hi, &n)) return true;
      fail("option " + arg + ": '" + value + "' is not a whole number from " + std::to_string(lo) +
           " to " + std::to_string(hi));
      return false;
    };
    if (arg == "--help") {
      r.kind = ParseResult::Help;
      return r;
    } else if (arg == "--port") {
      if (!number(0, 65535)) return r;
      o.port = static_cast<std::uint16_t>(n);
    } else if (arg == "--reply") {
      o.source = ReplySource::Text;
      o.replyText = value;
      ++sources;
    } else if (arg == "--reply-file") {
      o.source = ReplySource::File;
      o.replyFile = value;
      ++sources;
    } else if (arg == "--echo") {
      o.source = ReplySource::Echo;
      ++sources;
    } else if (arg == "--oversize") {
      if (!number(1, kMaxOversize)) return r;
      o.source = ReplySource::Oversize;
      o.oversize = static_cast<std::size_t>(n);
      ++sources;
    } else if (arg == "--delay-ms") {
      if (!number(0, kMaxMs)) return r;
      o.delayMs = static_cast<int>(n);
    } else if (arg == "--silent") {
      o.action = Action::Silent;
      ++actions;
    } else if (arg == "--close") {
      o.action = Action::Close;
      ++actions;
    } else if (arg == "--pieces") {
      if (!number(1, kMaxPieces)) return r;
      o.pieces = static_cast<int>(n);
    } else if (arg == "--pause-ms") {
      if (!number(0, kMaxMs)) return r;
      o.pauseMs = static_cast<int>(n);
    } else if (arg == "--plain") {
      o.plain = true;
    } else if (arg == "--trickle-ms") {
      if (!number(1, kMaxMs)) return r;
      o.trickleMs = static_cast<int>(n);
    } else if (arg == "--full-backlog") {
      o.fullBacklog = true;
    } else if (arg == "--split-record") {
      if (!number(0, kMaxMs)) return r;
      o.splitRecordMs = static_cast<int>(n);
    } else if (arg == "--partial-record") {
      if (!number(1, 16384)) return r;
      o.partialRecord = static_cast<int>(n);
    } else if (arg == "--key-updates") {
      if (!number(1, kMaxMs)) return r;
      o.keyUpdatesMs = static_cast<int>(n);
    } else if (arg == "--key-update-requested") {
      o.keyUpdateRequested = true;
    } else if (arg == "--hello-requests") {
      o.helloRequests = true;
    } else if (arg == "--log-dir") {
      if (value.empty()) return fail("option --log-dir needs a directory");
      o.logDir = value;
    } else if (arg == "--max-connections") {
      if (!number(1, 1000000000L)) return r;
      o.maxConnections = n;
    } else if (arg == "--cert") {
      o.certFile = value;
    } else if (arg == "--key") {
      o.keyFile = value;
    } else {
      return fail("unknown argument '" + std::string(argv[i]) + "'");
    }
  }
  if (sources > 1) return fail("give at most one of --reply, --reply-file, --echo, --oversize");
  if (actions > 1) return fail("give at most one of --silent, --close");
  if (o.certFile.empty() != o.keyFile.empty()) return fail("--cert and --key go together");
  if (o.plain && !o.certFile.empty()) return fail("--plain takes no --cert or --key");
  if (o.plain && o.trickleMs > 0) return fail("--trickle-ms needs TLS: not with --plain");
  const bool record = o.splitRecordMs >= 0 || o.partialRecord > 0;
  if (o.plain && (record || o.keyUpdatesMs > 0 || o.helloRequests)) {
    return fail("--split-record, --partial-record, --key-updates and --hello-requests need TLS: not with --plain");
  }
  if (o.splitRecordMs >= 0 && o.partialRecord > 0) return fail("give at most one of --split-record, --partial-record");
  if (record && (o.pieces > 1 || o.action != Action::Reply)) {
    return fail("--split-record and --partial-record shape a reply: not with --pieces, --silent or --close");
  }
  if (o.keyUpdateRequested && o.keyUpdatesMs == 0) return fail("--key-update-requested needs --key-updates");
  struct stat st {};
  if (!o.logDir.empty() && (::stat(o.logDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))) {
    return fail("log directory '" + o.logDir + "' is not a directory");
  }
  if (o.source == ReplySource::File) {
    std::ifstream in(o.replyFile, std::ios::binary);
    std::ostringstream bytes;
    if (in) bytes << in.rdbuf();
    if (!in || in.bad()) return fail("cannot read reply file '" + o.replyFile + "'");
    o.replyText = bytes.str();
  }
  return r;
}

}  // namespace tamlix::testswitch
