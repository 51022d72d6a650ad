// The synchronous road: one complete claim exchange on the caller's thread
// over a TCP connection and TLS client session of its own (separate from
// TamlixCore's), made afresh for every claim and released before the call
// returns, whichever way it ends. Exchanges are serialised: a call that
// arrives while another runs waits for it, so the shared receive buffer and
// connection objects have one user at a time.
//
// Bounds: the connect, the TLS handshake and the write share one deadline
// (platform/TimedConnect.h, 30 s), so a stalled switch cannot hold the
// host's thread; the wait for the reply is one spell of 8 seconds, which
// neither a signal nor records without reply data restart or extend
// (platform/TlsClient.h). No call raises SIGPIPE in the host.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/TlsClient.h"

namespace tamlix::direct {

inline constexpr int kWaitSeconds = 8;
inline constexpr std::size_t kReceiveBufferSize = 4097;
inline constexpr int kMaxReply = 4096;

// Process_claim: records around ReadWriteSocket, run under the exchange lock;
// 0 when an exception left the exchange (everything it held released).
// Response must hold kReceiveBufferSize bytes; a null pointer is skipped.
int32_t Process_claim(const char* Claim, const int32_t* BytesWritten, char* Response, int32_t* BytesReceived);
// The same, after one record of its own.
int32_t Process_claim_S(const char* Claim, const int32_t* BytesWritten, char* Response, int32_t* BytesReceived);

// One exchange with the destination of TcpSettings; the caller holds the
// exchange lock. May throw; what it made is then still held, and
// ReleaseExchangeObjects frees it.
int32_t ReadWriteSocket(const char* Claim, const int32_t* BytesWritten, char* Response, int32_t* BytesReceived);
// Socket, address, connect and TLS set-up. False with nothing connected
// (leftover TLS objects are freed by ReleaseExchangeObjects). Starts the
// connect's deadline.
bool SocketConnect(int32_t Port, const std::string& Address);
// The TLS client set-up over the exchange's socket: every step that reports a
// status only records its failure; a step that makes no object ends it
// (socket closed), and so does a handshake still unfinished at the
// connect's deadline. Otherwise the handshake's verdict decides the result.
bool Init_SSL_Connect();
// Frees the exchange's TLS objects and closes its socket, without records.
void ReleaseExchangeObjects() noexcept;

// The length of the reply wait (kWaitSeconds); 0 restores it.
void SetWaitSpellForTesting(std::chrono::milliseconds spell) noexcept;
// True while the exchange holds a socket, a TLS object or a TLS context.
bool ExchangeObjectsHeldForTesting();

}  // namespace tamlix::direct
