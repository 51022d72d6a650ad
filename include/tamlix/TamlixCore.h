/* TamlixCore: the core transmission library (libTamlixCore.so).
 * A host starts a session with InitializeCore, then sends one request at a
 * time with SendData; each reply arrives through the read callback on the
 * library's reply worker thread. Plain C; every record is packed. */
#ifndef TAMLIX_TAMLIXCORE_H
#define TAMLIX_TAMLIXCORE_H

#include <stddef.h>
#include <stdint.h>

#include "tamlix/ShortString.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A Boolean result: 1 True, 0 False; only this byte is significant. */
typedef uint8_t TamlixBool;

#pragma pack(push, 1)
/* The TCP settings of a session, passed by address; the callee copies what it
 * keeps. */
typedef struct TTCPIPSettings {
  int32_t Port;          /* TCP port of the claims switch */
  TShortString Address;  /* dotted IPv4 address, or "*" + host name */
  uint32_t TimeOut;      /* reply time-out in milliseconds */
  int32_t Headerlength;  /* 1: the host's claim begins with STX and four length digits */
  int32_t DefaultHeader; /* 1: the default header goes into the claim frame */
} TTCPIPSettings;

/* Caller-owned status of SendData: written only when a send fails, never
 * cleared on success. The library writes these 263 bytes and nothing more. */
typedef struct TCoreStatus {
  int32_t ErrorCode;   /* -1 after a failure */
  int32_t ErrorFlag;   /* 1 after a failure */
  char ErrorText[255]; /* NUL-terminated failure text */
} TCoreStatus;
#pragma pack(pop)

/* Receives each reply as NUL-terminated text, valid only during the call. */
typedef void (*TReceiveCallback)(const char* Data);
typedef void (*TTimeNotifyEvent)(void);

/* The export table. */
void ResetSerial(void);
void ClearForRead(void);
TamlixBool SendData(const char* Data, TCoreStatus* Status);
void SetTimeNotifyEvent(TTimeNotifyEvent Event);
TamlixBool MakeSocketConnection(int32_t Port, const char* Host);
void TimeTest(void);
TamlixBool Init_SSL_Connect(void);
TamlixBool InitializeCore(const char* Session, TReceiveCallback ReadCallback,
                          const TTCPIPSettings* Settings, TTimeNotifyEvent TimerCallback,
                          int32_t* InUse);

#ifdef __cplusplus
}
static_assert(sizeof(TTCPIPSettings) == 272);
static_assert(offsetof(TTCPIPSettings, Port) == 0);
static_assert(offsetof(TTCPIPSettings, Address) == 4);
static_assert(offsetof(TTCPIPSettings, TimeOut) == 260);
static_assert(offsetof(TTCPIPSettings, Headerlength) == 264);
static_assert(offsetof(TTCPIPSettings, DefaultHeader) == 268);
static_assert(sizeof(TCoreStatus) == 263);
static_assert(offsetof(TCoreStatus, ErrorFlag) == 4);
static_assert(offsetof(TCoreStatus, ErrorText) == 8);
#else
_Static_assert(sizeof(TTCPIPSettings) == 272, "TTCPIPSettings is 272 bytes");
_Static_assert(sizeof(TCoreStatus) == 263, "TCoreStatus is 263 bytes");
#endif

#endif
