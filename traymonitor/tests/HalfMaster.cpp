// A master library that lacks Master_Initialize.
#include <cstdint>

extern "C" __attribute__((visibility("default"))) uint8_t Master_ProcessData(const char*, uintptr_t, int32_t,
                                                                             int32_t, void*) {
  return 1;
}
