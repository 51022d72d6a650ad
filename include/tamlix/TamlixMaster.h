/* TamlixMaster: the interface of the outside master library that runs
 * BrindlemossUtil's session of any type. The program loads libTamlixMaster.so
 * by name and takes the two entry points by name; this header is the
 * contract between them, and the stand-in in master/ is one implementation.
 * Plain C; the error record is packed. */
#ifndef TAMLIX_TAMLIXMASTER_H
#define TAMLIX_TAMLIXMASTER_H

#include <stdint.h>

#include "tamlix/ShortString.h"
#include "tamlix/TamlixCore.h"

#ifdef __cplusplus
extern "C" {
#endif

#pragma pack(push, 1)
/* Caller-owned error record that the master library fills on failure. */
typedef struct TMasterError {
  int32_t Code;     /* 101: the session's lock file is present */
  uint8_t Flag;     /* reserved */
  TShortString Msg; /* error text */
} TMasterError;
#pragma pack(pop)

enum { MASTER_CODE_IN_USE = 101 };

/* File sessions: 0 a file was sent, 1 a file was received. */
typedef void (*TFileEventCallback)(int32_t Event);
/* Serial sessions: *Data is the text sent or received; the callee stores 1
 * through Handled before it returns. */
typedef void (*TDataNotifyCallback)(const char* const* Data, int32_t* Handled);

/* Starts the session. Callback1 and Callback2 are the callbacks of the
 * session's type (direct: a TReceiveCallback and null; serial: two
 * TDataNotifyCallbacks; file: a TFileEventCallback and null). They may be
 * called from any thread, from now on for the life of the process. False
 * fills Err. Session stays valid for the life of the process. */
TamlixBool Master_Initialize(const char* Session, void* Callback1, void* Callback2, int32_t Reserved,
                             TMasterError* Err);
/* Data is 1 (start automatic file processing) or the address of a
 * NUL-terminated claim text. False fills Err. */
TamlixBool Master_ProcessData(const char* Session, uintptr_t Data, int32_t Arg3, int32_t Arg4,
                              TMasterError* Err);

typedef TamlixBool (*TMaster_Initialize)(const char*, void*, void*, int32_t, TMasterError*);
typedef TamlixBool (*TMaster_ProcessData)(const char*, uintptr_t, int32_t, int32_t, TMasterError*);

#ifdef __cplusplus
}
static_assert(sizeof(TMasterError) == 261);
static_assert(offsetof(TMasterError, Flag) == 4);
static_assert(offsetof(TMasterError, Msg) == 5);
#else
_Static_assert(sizeof(TMasterError) == 261, "TMasterError is 261 bytes");
#endif

#endif
