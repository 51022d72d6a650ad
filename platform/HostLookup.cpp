#include "HostLookup.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace tamlix::platform {

uint32_t FirstIPv4Address(const std::string& name) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  uint32_t address = 0;
  if (::getaddrinfo(name.c_str(), nullptr, &hints, &found) == 0 && found) {
    address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
  }
  if (found) ::freeaddrinfo(found);
  return address;
}

}  // namespace tamlix::platform
