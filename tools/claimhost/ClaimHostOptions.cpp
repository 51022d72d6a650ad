#include "ClaimHostOptions.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iterator>
#include <set>

namespace tamlix::claimhost {
namespace {

bool WholeNumber(const std::string& text, long long lo, long long hi, long long& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
  out = v;
  return true;
}

}  // namespace

std::string ClaimHostUsage() {
  return "Usage: claimhost [options] [CLAIM-FILE]\n"
         "Sends one claim to the claims switch through libTamlixDirect, as a host pharmacy\n"
         "program does, and prints the reply. The claim is read from CLAIM-FILE, or from\n"
         "standard input when it is absent or \"-\"; one line end at its very end is dropped.\n"
         "\n"
         "Road:\n"
         "  --road sync|async      sync (default): Load_ini, then Process_claim\n"
         "                         async: InitializeDirect, then processData/processDataTest\n"
         "Synchronous road:\n"
         "  --ini-dir DIR          directory holding \"TamlixTCP.INI\" (required)\n"
         "Asynchronous road:\n"
         "  --host ADDR            switch address: dotted IPv4, or \"*\" + host name\n"
         "                         (default 127.0.0.1)\n"
         "  --port N               switch port, 1 to 65535 (required)\n"
         "  --timeout MS           reply time-out in milliseconds (default 5000)\n"
         "  --session ID           session ID (default claimhost); its lock file\n"
         "                         ID.lck lies beside this program while it runs\n"
         "  --frame                frame the claim (processDataTest) instead of sending\n"
         "                         it as given (processData)\n"
         "  --headerlength 0|1     1: the claim begins with STX and four length digits\n"
         "  --default-header 0|1   1: the default header goes into the frame\n"
         "  --wait MS              how long to wait for the reply (default: time-out + 5000)\n"
         "Output:\n"
         "  --show-control         print control characters as \\xNN\n"
         "  --keep-newline         send a line end at the end of the claim too\n"
         "  --help                 show this text\n"
         "\n"
         "Exit status: 0 a reply came, 1 no reply came, 2 usage or set-up error, or a claim\n"
         "refused before sending (too long for the claim frame).\n";
}

ParseResult ParseClaimHostOptions(int argc, char** argv) {
  ParseResult r;
  ClaimHostOptions& o = r.options;
  auto fail = [&](std::string why) {
    r.kind = ParseResult::Error;
    r.error = std::move(why);
    return r;
  };
  static const std::set<std::string> withValue = {"--road", "--ini-dir", "--host", "--port", "--timeout",
                                                  "--session", "--headerlength", "--default-header", "--wait"};
  static const std::set<std::string> flags = {"--frame", "--show-control", "--keep-newline", "--help"};
  bool sawPort = false, sawIni = false, sawFile = false;
  bool asyncOnly = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string value;
    bool inlineValue = false;
    if (auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg = arg.substr(0, eq);
      inlineValue = true;
    }
    if (withValue.count(arg)) {
      if (!inlineValue) {
        if (i + 1 >= argc) return fail("option " + arg + " needs a value");
        value = argv[++i];
      }
    } else if (flags.count(arg)) {
      if (inlineValue) return fail("option " + arg + " takes no value");
    } else if (arg.rfind("--", 0) == 0) {
      return fail("unknown option '" + arg + "'");
    } else {
      if (sawFile) return fail("give one claim file, not '" + o.claimFile + "' and '" + arg + "'");
      o.claimFile = arg;
      sawFile = true;
      continue;
    }
    long long n = 0;
    auto number = [&](long long lo, long long hi) {
      if (!WholeNumber(value, lo, hi, n)) {
        fail("option " + arg + ": '" + value + "' is not a whole number from " + std::to_string(lo) + " to " +
             std::to_string(hi));
        return false;
      }
      return true;
    };
    if (arg == "--help") {
      r.kind = ParseResult::Help;
      return r;
    } else if (arg == "--road") {
      if (value == "sync") o.road = Road::Sync;
      else if (value == "async") o.road = Road::Async;
      else return fail("option --road: '" + value + "' is neither sync nor async");
    } else if (arg == "--ini-dir") {
      if (value.empty()) return fail("option --ini-dir needs a directory");
      o.iniDir = value;
      sawIni = true;
    } else if (arg == "--host") {
      if (value.empty() || value.size() > 255) return fail("option --host needs an address of 1 to 255 characters");
      o.host = value;
      asyncOnly = true;
    } else if (arg == "--port") {
      if (!number(1, 65535)) return r;
      o.port = static_cast<int32_t>(n);
      sawPort = true;
    } else if (arg == "--timeout") {
      if (!number(0, 4294967295LL)) return r;
      o.timeoutMs = static_cast<uint32_t>(n);
      asyncOnly = true;
    } else if (arg == "--session") {
      if (value.empty() || value.size() > 255 || value.find('/') != std::string::npos)
        return fail("option --session needs an ID of 1 to 255 characters without '/'");
      o.session = value;
      asyncOnly = true;
    } else if (arg == "--headerlength" || arg == "--default-header") {
      if (!number(0, 1)) return r;
      (arg == "--headerlength" ? o.headerLength : o.defaultHeader) = static_cast<int32_t>(n);
      asyncOnly = true;
    } else if (arg == "--wait") {
      if (!number(0, 3600000)) return r;
      o.waitMs = static_cast<int>(n);
      asyncOnly = true;
    } else if (arg == "--frame") {
      o.frame = true;
      asyncOnly = true;
    } else if (arg == "--show-control") {
      o.showControl = true;
    } else if (arg == "--keep-newline") {
      o.keepNewline = true;
    }
  }
  if (o.road == Road::Sync) {
    if (!sawIni) return fail("the sync road needs --ini-dir DIR (the directory of TamlixTCP.INI)");
    if (sawPort || asyncOnly) return fail("--host, --port, --timeout, --session, --frame, --headerlength, "
                                          "--default-header and --wait belong to --road async");
  } else {
    if (!sawPort) return fail("the async road needs --port N");
    if (sawIni) return fail("--ini-dir belongs to --road sync");
  }
  if (o.claimFile == "-") o.claimFile.clear();
  return r;
}

bool ReadClaim(std::istream& in, bool keepNewline, std::string& claim, std::string& error) {
  errno = 0;
  try {
    claim.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  } catch (const std::exception& e) {
    // The file stream reports a failed read (a directory, an I/O error) by
    // throwing from inside the iterator.
    error = std::string("cannot read the claim: ") + (errno != 0 ? std::strerror(errno) : e.what());
    return false;
  }
  if (in.bad()) {
    error = "cannot read the claim";
    return false;
  }
  if (!keepNewline && !claim.empty() && claim.back() == '\n') {
    claim.pop_back();
    if (!claim.empty() && claim.back() == '\r') claim.pop_back();
  }
  if (claim.find('\0') != std::string::npos) {
    error = "the claim holds a NUL byte at offset " + std::to_string(claim.find('\0'));
    return false;
  }
  return true;
}

std::string ShowControl(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c < 0x20 || c > 0x7E) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace tamlix::claimhost
