// The core's failure classes. They carry a message text only and never
// leave the library: every export catches them at its boundary.
#pragma once

#include <stdexcept>

namespace tamlix::core {

class ETamlixCore : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace tamlix::core
