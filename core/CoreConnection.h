// The one client connection to the switch: the socket connect with its
// host-name rule, the SSL client set-up and the close sequence, as the core
// runs them over the shared client (platform/TlsClient.h) with its own
// records. All of it works on the connection items of Core(); see
// CoreState.h for which thread may touch them when.
#pragma once

#include "platform/SigPipeGuard.h"
#include "platform/TlsClient.h"

#include <cstdint>
#include <string>

namespace tamlix::core {

// Makes a new TCP socket and connects it to Host:Port (the low 16 bits). A
// Host beginning with "*" is a name that is looked up; anything else a
// dotted IPv4 address. The socket stays in SocketHandle even when the
// connect fails. Starts ConnectDeadline, which also ends the handshake and
// the request's write; the connect fails with ETIMEDOUT when it passes.
bool MakeSocketConnection(int32_t Port, const std::string& Host);

// The SSL client set-up over SocketHandle: context, connection object,
// socket BIO and handshake, the handshake ending at ConnectDeadline. False
// when a step failed (the socket is then closed) or the handshake was
// refused. Expects a closed SSL state.
bool Init_SSL_Connect();

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
