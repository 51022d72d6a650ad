// The one client connection to the claims switch: the socket connect with
// its host-name rule, the SSL client set-up and the close sequence. All of
// it works on the connection items of Core(); see CoreState.h for which
// thread may touch them when.
#pragma once

#include "platform/SigPipeGuard.h"
#include "platform/TimedConnect.h"

#include <openssl/ssl.h>
#include <signal.h>

#include <cstdint>
#include <string>

namespace tamlix::core {

// Makes a new TCP socket and connects it to Host:Port (the low 16 bits). A
// Host beginning with "*" is a name looked up by LookupName; anything else a
// dotted IPv4 address. The socket stays in SocketHandle even when the
// connect fails. Starts ConnectDeadline, which also ends the handshake and
// the request's write; the connect fails with ETIMEDOUT when it passes.
bool MakeSocketConnection(int32_t Port, const std::string& Host);

// The first IPv4 address of Name in network byte order; 0 when not found.
uint32_t LookupName(const std::string& Name);

// The SSL client set-up over SocketHandle: context, connection object,
// socket BIO and handshake, the handshake ending at `deadline`. False when a
// step failed (the socket is then closed) or the handshake was refused.
// Expects a closed SSL state.
bool Init_SSL_Connect(const platform::Deadline& deadline);

// OpenSSL's information callback: one record per state change.
void ssl_infocallback(const SSL* ssl, int where, int ret);

enum class TCloseCaller { ResetConnection, CloseConnection };

// The close sequence: stops the reply worker (joining it unless called on
// its own thread), shuts down and frees the SSL objects, closes the socket.
// Never throws.
void CloseSequence(TCloseCaller caller) noexcept;

// Frees SSL objects that a set-up left behind without a close sequence,
// quietly; for outside callers of the set-up.
void ReleaseLeftoverSSL() noexcept;

// At unload: frees what is still open, without records or shutdown alerts.
void ReleaseConnectionQuietly() noexcept;

using platform::SigPipeGuard;

}  // namespace tamlix::core
