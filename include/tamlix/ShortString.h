/* A short string, as fixed records carry texts: one length byte (0 to 255),
 * then the characters. Bytes after the length mean nothing. */
#ifndef TAMLIX_SHORTSTRING_H
#define TAMLIX_SHORTSTRING_H

#include <stdint.h>

#pragma pack(push, 1)
typedef struct TShortString {
  uint8_t Length;
  char Chars[255];
} TShortString;
#pragma pack(pop)

#ifdef __cplusplus
static_assert(sizeof(TShortString) == 256);
#else
_Static_assert(sizeof(TShortString) == 256, "TShortString is 256 bytes");
#endif

#endif
