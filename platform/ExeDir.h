// The directory of the running process's main executable (not of a library
// that the process loaded), ending with "/". Empty when it cannot be read.
#pragma once

#include <string>

namespace tamlix::platform {

std::string ExecutableDirectory();

}  // namespace tamlix::platform
