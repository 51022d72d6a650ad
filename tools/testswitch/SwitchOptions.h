// SwitchOptions: the test switch's command line, parsed and checked. Parsing never
// exits or throws; the caller turns a failure into the usage error (exit 2).
#pragma once

#include <cstdint>
#include <string>

namespace tamlix::testswitch {

enum class ReplySource { Echo, Text, File, Oversize };
enum class Action { Reply, Silent, Close };

struct SwitchOptions {
  std::uint16_t port = 0;            // 0: the kernel picks a free port
  ReplySource source = ReplySource::Echo;
  std::string replyText;             // --reply text, or the --reply-file's bytes once loaded
  std::string replyFile;
  std::size_t oversize = 0;          // --oversize byte count
  int delayMs = 0;                   // before the reply (or the close)
  Action action = Action::Reply;
  int pieces = 1;
  int pauseMs = 0;                   // between pieces
  bool plain = false;                // plain TCP, no TLS
  int trickleMs = 0;                 // >0: the handshake goes out a byte at a time, this far apart
  bool fullBacklog = false;          // accept queue filled at start, nothing accepted
  int splitRecordMs = -1;            // >=0: the reply's record in two TCP writes, this far apart
  int partialRecord = 0;             // >0: only the first N bytes of the reply's record, then silence
  int keyUpdatesMs = 0;              // >0: TLS 1.3 KeyUpdates for this long before the reply
  bool keyUpdateRequested = false;   // the KeyUpdates ask the client for one back
  bool helloRequests = false;        // the ClientHello answered by HelloRequests until the client goes
  std::string logDir;                // empty: requests are not logged
  long maxConnections = 0;           // 0: serve until stopped
  std::string certFile, keyFile;     // both or neither
};

struct ParseResult {
  enum Kind { Run, Help, Error } kind = Run;
  SwitchOptions options;
  std::string error;                 // set when kind == Error
};

// Parses argv[1..argc-1]. Accepts "--opt value" and "--opt=value". Loads the
// --reply-file (a file that cannot be read is a usage error).
ParseResult ParseSwitchOptions(int argc, char** argv);

std::string SwitchUsage();

}  // namespace tamlix::testswitch
