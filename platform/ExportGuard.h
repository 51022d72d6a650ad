// The boundary of every exported function: its body runs inside Guard, which
// turns any exception into the export's failure result, so nothing but the
// result ever reaches the host program.
#pragma once

#include <cstdint>

namespace tamlix::platform {

template <class Result, class Body>
Result Guard(Result failure, Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return failure;
  }
}

// A Boolean export result: one byte, 1 for True and 0 for False.
inline uint8_t AsBool(bool value) { return value ? 1 : 0; }

}  // namespace tamlix::platform
