// The core's failure classes. They carry a message text only and never
// leave the library: every export catches them at its boundary.
#pragma once

#include <stdexcept>

namespace tamlix::core {

class ETamlixCore : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A failed step of the SSL client set-up; caught inside Init_SSL_Connect.
class ETamlixCoreSSL : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace tamlix::core
