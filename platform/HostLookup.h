// Host-name lookup as the libraries need it: the first IPv4 address of a
// name, in network byte order, or 0 when the name has none.
#pragma once

#include <cstdint>
#include <string>

namespace tamlix::platform {

uint32_t FirstIPv4Address(const std::string& name);

}  // namespace tamlix::platform
