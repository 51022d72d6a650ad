// The TLS client that both libraries run to the claims switch, written once:
// the connection's items, the host-name rule, the set-up with its handshake
// and information callback, the one write of a request, the wait for the
// reply and the steps of the close. Each library writes the records of these
// steps through its own TTlsRecord, which adds its module and session, and
// composes the steps in the order its own road gives.
//
// The waits, here and in TimedConnect.h:
// - every wait is a poll on the socket (with the caller's wake-up
//   descriptor), never a loop that burns CPU. Part of a TLS record waits
//   there for the rest: only bytes that TLS has already decrypted
//   (SSL_pending) are read without a wait;
// - a read comes back after every record (SSL_MODE_AUTO_RETRY is off), and
//   after every read that brought no reply data the wait looks at its bound
//   and its stop request again, however fast records keep arriving;
// - when TLS must write before it can read on (the answer to a KeyUpdate),
//   the wait is for the socket to take it, not for more input;
// - past the connect's deadline a step fails for good.
// Nothing here throws or raises SIGPIPE. One thread at a time per connection.
#pragma once

#include <netinet/in.h>
#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "TimedConnect.h"

namespace tamlix::platform {

// Writes one record of a shared step (its procedure and message); the
// library adds its module and session. Runs on whichever thread runs the
// step, also from inside OpenSSL, so it must not throw.
using TTlsRecord = void (*)(const char* procedure, std::string_view message) noexcept;

// One connection to the switch. An item is released only when present and
// marked absent once released.
struct TTlsConnection {
  int SocketHandle = -1;
  sockaddr_in ServerAddr{};
  const SSL_METHOD* SSLMethod = nullptr;  // OpenSSL's, never released
  SSL_CTX* SSLContext = nullptr;
  SSL* SSLHandle = nullptr;
  BIO* SSLBio = nullptr;  // owned by SSLHandle once set on it
  // Set when the connect starts; the handshake and the request's write end
  // with it.
  Deadline ConnectDeadline;
};

// The address rule: "*" and a name is the name's first IPv4 address
// (LookupName); any other text a dotted IPv4 address (inet_addr: the
// all-ones address when it is none). Network byte order.
uint32_t HostAddress(const std::string& host, TTlsRecord record);
// The first IPv4 address of `name`; 0 after the record "Host Name Lookup
// Failed.  No DNS Entry Returned." when it has none. Bounded only by the
// system resolver's own time-outs.
uint32_t LookupName(const std::string& name, TTlsRecord record);

// A new TCP socket (close-on-exec) into SocketHandle; false, with errno and
// SocketHandle absent, when none can be made.
bool OpenSocket(TTlsConnection& c);
// Fills ServerAddr (the low 16 bits of `port`), starts ConnectDeadline and
// connects within it (ConnectTo). 0, or -1 with errno; the socket stays.
int ConnectSocket(TTlsConnection& c, uint32_t address, int32_t port);

// How a library runs the set-up.
struct TTlsSetUp {
  TTlsRecord Record;
  // SSL_clear on the new connection object.
  bool ClearAfterNew;
  // A failed step that reports a status (algorithms, cipher list, options,
  // connect) ends the set-up; otherwise it is recorded and the set-up goes on.
  bool StatusFailureEnds;
};

// The set-up over SocketHandle: method, algorithms, context (cipher list
// "ALL", options 0x000FFFFF, the information callback), connection object,
// socket BIO without close, client role, then the handshake within
// ConnectDeadline and its verdict. Records each step's failure text and
// "SSL Initialization Successful" after a verdict. The failure path (a step
// that makes no object, a failure that `how` says ends it, the deadline, an
// exception) closes the socket, records "SSL Initialization Failed" and
// returns false; the objects made stay for the close. Otherwise the verdict
// decides. `how` must outlive the context (a static). Expects no SSL objects.
bool SetUpTls(TTlsConnection& c, const TTlsSetUp& how);

// One SSL write of all of `data`, within what is left of ConnectDeadline;
// the write's result (0 or less when it failed, or the deadline passed).
int WriteRequest(TTlsConnection& c, std::string_view data);

// What ended the wait for the reply.
enum class TReplyEnd {
  Data,        // Result: the bytes one read brought (> 0)
  NoData,      // the read failed or the peer ended the session; Result: the read's result
  TimedOut,    // the bound passed
  Stopped,     // the stop request came
  WaitFailed,  // poll failed for good; Error: its errno
};
struct TReplyRead {
  TReplyEnd End = TReplyEnd::NoData;
  int Result = -1;
  int Error = 0;
};

// The caller's stop request: a descriptor that becomes readable, a flag, or
// both. With a flag but no descriptor the wait looks at the flag between
// short spells (StopCheckSpell).
struct TStopRequest {
  int WakeFd = -1;
  const std::atomic<bool>* Stop = nullptr;
};
inline constexpr std::chrono::milliseconds StopCheckSpell{100};

// Waits for the socket until one SSL read of at most `len` bytes into `buf`
// brings reply data, the read fails, the bound passes or the stop request
// comes; the rules at the top apply. A connection without a socket or SSL
// object gives NoData at once.
TReplyRead ReadReply(TTlsConnection& c, char* buf, int len, const Deadline& bound, TStopRequest stop = {});
// True when a read could go on without a wait: bytes decrypted and waiting,
// or bytes on the socket.
bool MoreArrived(const TTlsConnection& c);
// One SSL read of what has arrived, never waiting: its result, 0 or less
// when no whole record of reply data was there.
int ReadArrived(TTlsConnection& c, char* buf, int len);

// The close, step by step.
// One try at close_notify that never waits and never raises SIGPIPE.
void ShutdownTls(TTlsConnection& c) noexcept;
// Frees the SSL object (its BIO goes with it).
void FreeTls(TTlsConnection& c) noexcept;
void FreeTlsContext(TTlsConnection& c) noexcept;
// Closes the socket once, whatever close returns (the number may be reused
// at once); close's result, or 0 when there was none.
int CloseSocket(TTlsConnection& c) noexcept;
// All of it, with no records and no alerts.
void ReleaseQuietly(TTlsConnection& c) noexcept;

}  // namespace tamlix::platform
