// The library's failure class: a message text and an error code. Raised
// inside the library only; every export catches it at its boundary.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace tamlix::direct {

class EUnitErrorProcess : public std::runtime_error {
 public:
  EUnitErrorProcess(const std::string& message, int32_t code) : std::runtime_error(message), Code(code) {}
  int32_t Code;
};

}  // namespace tamlix::direct
