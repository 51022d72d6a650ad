#include "HostLookup.h"

#include <netdb.h>
#include <netinet/in.h>
#include <arpa/inet.h>
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

sockaddr_in ServerAddress(uint32_t address, int32_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(static_cast<uint32_t>(port) & 0xFFFF));
  addr.sin_addr.s_addr = address;
  return addr;
}

}  // namespace tamlix::platform
