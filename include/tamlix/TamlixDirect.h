/* TamlixDirect: the direct claim interface (libTamlixDirect.so) for a host
 * pharmacy program. Two roads:
 *  - asynchronous, through TamlixCore: InitializeDirect once per session, then
 *    processData (claim sent as given) or processDataTest (claim framed) per
 *    claim; each reply arrives later through the host's callback, on the
 *    core's reply worker thread;
 *  - synchronous: Load_ini once (reads "TamlixTCP.INI" from a directory), then
 *    Process_claim per claim, which sends the claim unchanged over a
 *    connection of its own and returns with the reply.
 * Plain C; every record is packed. No export ever raises a signal or lets a
 * failure escape: failures show only as the results below. */
#ifndef TAMLIX_TAMLIXDIRECT_H
#define TAMLIX_TAMLIXDIRECT_H

#include <stdint.h>

#include "tamlix/TamlixCore.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Asynchronous road. */

/* Keeps the settings' Headerlength and DefaultHeader flags, sets Callback when
 * it is not null, and starts the session in TamlixCore. False when the core
 * refused the session (in use, or bad settings). Reserved is never read. */
TamlixBool InitializeDirect(const char* Session, const TTCPIPSettings* Settings, int32_t Reserved,
                            TReceiveCallback Callback);
/* Replaces the host's reply callback; null removes it. */
void SetReceiveCallback(TReceiveCallback Callback);
/* Hands Data to the host's callback on the calling thread (the core calls it
 * with each reply); without a callback the reply is dropped. */
void ReceiveData(const char* Data);
/* Sends the claim as given. False when the send failed; Status then holds why. */
TamlixBool processData(const char* Data, TCoreStatus* Status);
/* Frames the claim (STX, four length digits, optional default header, the
 * claim less its prefix, ETX) and sends it. False when the send failed, or
 * when the frame would exceed 4099 characters (nothing is sent then). */
TamlixBool processDataTest(const char* Data, TCoreStatus* Status);

/* Synchronous road. */

/* Reads Directory + "TamlixTCP.INI" (no separator inserted; null means the
 * bare name). 1 when the loaded port is not 0, else 0. Reserved is never read. */
int32_t Load_ini(const char* Directory, int32_t Reserved);
int32_t Load_ini_S(const char* Directory, int32_t Reserved);

/* One complete exchange: connect, TLS, write Claim unchanged, wait up to 8
 * seconds (a spell that may repeat), read the reply into Response (a buffer of
 * at least 4097 bytes) and close. 1 when the connection came up and the reply
 * channel became readable; *BytesReceived then holds the reply's length (0 or
 * less: the switch closed without a reply). 0 otherwise. BytesWritten is only
 * read. Calls from several threads run one after another. */
int32_t Process_claim(const char* Claim, const int32_t* BytesWritten, char* Response, int32_t* BytesReceived);
int32_t Process_claim_S(const char* Claim, const int32_t* BytesWritten, char* Response, int32_t* BytesReceived,
                        int32_t Reserved);

#ifdef __cplusplus
}
#endif

#endif
