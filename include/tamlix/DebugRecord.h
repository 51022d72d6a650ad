/* The shared debug ring "DebugShared": 100 slots of one packed 7437-byte
 * TDebugRecord each, slot n at byte (n - 1) * 7437. This layout binds every
 * reader of the ring, so its offsets never change. Plain C, for any reader. */
#ifndef TAMLIX_DEBUGRECORD_H
#define TAMLIX_DEBUGRECORD_H

#include <stddef.h>
#include <stdint.h>

#include "tamlix/ShortString.h"

#ifdef __cplusplus
extern "C" {
#endif

#define TAMLIX_DEBUG_SLOTS 100
#define TAMLIX_DEBUG_DATA_SIZE 6145
#define TAMLIX_DEBUG_RING_NAME "/DebugShared"

#pragma pack(push, 1)
typedef struct TDebugRecord {
  int32_t Sequence; /* write number; 0 in a slot never written */
  TShortString Procedure;
  TShortString Message;
  TShortString Session;
  char Data[TAMLIX_DEBUG_DATA_SIZE]; /* NUL-terminated, at most 6144 characters */
  TShortString Detail;
  TShortString Module;
  double Time; /* days since 1899-12-30 plus fraction of the day, local time */
} TDebugRecord;
#pragma pack(pop)

#define TAMLIX_DEBUG_RING_SIZE (TAMLIX_DEBUG_SLOTS * sizeof(TDebugRecord))

#ifdef __cplusplus
}
static_assert(sizeof(TDebugRecord) == 7437);
static_assert(offsetof(TDebugRecord, Sequence) == 0);
static_assert(offsetof(TDebugRecord, Procedure) == 4);
static_assert(offsetof(TDebugRecord, Message) == 260);
static_assert(offsetof(TDebugRecord, Session) == 516);
static_assert(offsetof(TDebugRecord, Data) == 772);
static_assert(offsetof(TDebugRecord, Detail) == 6917);
static_assert(offsetof(TDebugRecord, Module) == 7173);
static_assert(offsetof(TDebugRecord, Time) == 7429);
static_assert(TAMLIX_DEBUG_RING_SIZE == 743700);
#else
_Static_assert(sizeof(TDebugRecord) == 7437, "TDebugRecord is 7437 bytes");
_Static_assert(offsetof(TDebugRecord, Time) == 7429, "Time at 7429");
#endif

#endif
