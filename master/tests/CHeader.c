/* The master library's header compiled as real C. */
#include <stddef.h>

#include "tamlix/TamlixMaster.h"

int MasterErrorSizeFromC(void) { return (int)sizeof(TMasterError); }
int MasterErrorMsgOffsetFromC(void) { return (int)offsetof(TMasterError, Msg); }
int MasterEntryPointsFromC(void) {
  TMaster_Initialize initialize = &Master_Initialize;
  TMaster_ProcessData process = &Master_ProcessData;
  return initialize != NULL && process != NULL;
}
