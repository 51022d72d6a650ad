// ClaimHostOptions: claimhost's command line, parsed and checked, and the
// claim text read from a file or standard input. Parsing never exits or
// throws; the caller turns a failure into the usage error (exit 2).
#pragma once

#include <cstdint>
#include <istream>
#include <string>

namespace tamlix::claimhost {

enum class Road { Sync, Async };

struct ClaimHostOptions {
  Road road = Road::Sync;
  std::string claimFile;          // empty or "-": standard input
  // Synchronous road.
  std::string iniDir;             // directory holding "TamlixTCP.INI"
  // Asynchronous road.
  std::string session = "claimhost";
  std::string host = "127.0.0.1"; // dotted address, or "*" + host name
  int32_t port = 0;
  uint32_t timeoutMs = 5000;
  int32_t headerLength = 0;
  int32_t defaultHeader = 0;
  bool frame = false;             // processDataTest instead of processData
  int waitMs = -1;                // -1: the time-out plus 5 seconds
  // Output.
  bool showControl = false;
  bool keepNewline = false;
};

struct ParseResult {
  enum Kind { Run, Help, Error } kind = Run;
  ClaimHostOptions options;
  std::string error;              // set when kind == Error
};

// Parses argv[1..argc-1]. Accepts "--opt value" and "--opt=value".
ParseResult ParseClaimHostOptions(int argc, char** argv);
std::string ClaimHostUsage();

// Reads the whole claim. Unless keepNewline, one line end at the very end
// ("\n" or "\r\n", as a text editor leaves it) is dropped. False with `error`
// set when the input cannot be read or holds a NUL byte (the libraries take
// NUL-terminated text).
bool ReadClaim(std::istream& in, bool keepNewline, std::string& claim, std::string& error);

// Control characters (and bytes above 0x7E) as \xNN; the rest unchanged.
std::string ShowControl(const std::string& text);

}  // namespace tamlix::claimhost
