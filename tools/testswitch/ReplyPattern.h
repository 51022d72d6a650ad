// ReplyPattern: the recognisable bytes of the switch's --oversize reply, shared by
// the switch and the tests that check what arrived.
#pragma once

#include <cstddef>
#include <string>

namespace tamlix::testing {

// Byte i is "0123456789" cycling, with a '|' every 100th byte, so a cut or a
// shifted piece shows where it happened.
inline std::string OversizePattern(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = (i % 100 == 99) ? '|' : static_cast<char>('0' + i % 10);
  return s;
}

}  // namespace tamlix::testing
