#include "SerialLine.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "settings/IniFile.h"

namespace tamlix::master {

namespace {

speed_t BaudConstant(const std::string& text) {
  if (text.empty()) return B9600;
  int32_t value = 0;
  if (!TryStrToInt(text, value)) throw std::runtime_error("Serial_Baud '" + text + "' is not a number");
  switch (value) {
    case 300: return B300;
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    default: throw std::runtime_error("Serial_Baud " + text + " is not supported");
  }
}

}  // namespace

std::string SerialDevicePath(const std::string& port) {
  std::string number = port;
  if (port.size() > 3 && (port.compare(0, 3, "COM") == 0 || port.compare(0, 3, "com") == 0)) number = port.substr(3);
  int32_t n = 0;
  if (TryStrToInt(number, n) && n >= 1) return "/dev/ttyS" + std::to_string(n - 1);
  return port;
}

TSerialLine::TSerialLine(const TSerialOptions& options) {
  const std::string path = SerialDevicePath(options.Port);
  if (path.empty()) throw std::runtime_error("Serial_Port is not set");
  const speed_t baud = BaudConstant(options.Baud);

  tcflag_t size = CS8;
  if (!options.DataBits.empty()) {
    int32_t bits = 0;
    TryStrToInt(options.DataBits, bits);
    switch (bits) {
      case 5: size = CS5; break;
      case 6: size = CS6; break;
      case 7: size = CS7; break;
      case 8: size = CS8; break;
      default: throw std::runtime_error("Serial_DataBits '" + options.DataBits + "' is not 5 to 8");
    }
  }
  const char parity = options.Parity.empty() ? 'N' : static_cast<char>(std::toupper(options.Parity[0]));
  if (parity != 'N' && parity != 'E' && parity != 'O') {
    throw std::runtime_error("Serial_Parity '" + options.Parity + "' is not N, E or O");
  }
  const std::string& stop = options.StopBits;
  if (!stop.empty() && stop != "1" && stop != "2") {
    throw std::runtime_error("Serial_StopBits '" + stop + "' is not 1 or 2");
  }

  fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (fd_ < 0) throw std::runtime_error("Cannot open " + path + ": " + std::strerror(errno));
  termios tio{};
  if (::tcgetattr(fd_, &tio) != 0) {
    const int err = errno;
    ::close(fd_);
    throw std::runtime_error(path + " is not a serial line: " + std::strerror(err));
  }
  ::cfmakeraw(&tio);
  tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB);
  tio.c_cflag |= size | CLOCAL | CREAD;
  if (parity != 'N') tio.c_cflag |= PARENB | (parity == 'O' ? PARODD : 0);
  if (stop == "2") tio.c_cflag |= CSTOPB;
  ::cfsetispeed(&tio, baud);
  ::cfsetospeed(&tio, baud);
  if (::tcsetattr(fd_, TCSANOW, &tio) != 0) {
    const int err = errno;
    ::close(fd_);
    throw std::runtime_error("Cannot configure " + path + ": " + std::strerror(err));
  }
}

TSerialLine::~TSerialLine() {
  if (fd_ >= 0) ::close(fd_);
}

std::string TSerialLine::Read(std::chrono::milliseconds wait) {
  pollfd p{fd_, POLLIN, 0};
  const int ready = ::poll(&p, 1, static_cast<int>(wait.count()));
  if (ready < 0) {
    if (errno == EINTR) return {};
    throw std::runtime_error(std::string("serial poll: ") + std::strerror(errno));
  }
  if (ready == 0) return {};
  if (p.revents & POLLIN) {
    char buffer[4096];
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n > 0) return std::string(buffer, static_cast<size_t>(n));
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return {};
    if (n < 0) throw std::runtime_error(std::string("serial read: ") + std::strerror(errno));
  }
  // End of file, or the device reports the hang-up: this descriptor is done.
  throw std::runtime_error("serial line hung up");
}

bool TSerialLine::Write(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) {
        pollfd p{fd_, POLLOUT, 0};
        if (::poll(&p, 1, 1000) <= 0) return false;
        continue;
      }
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace tamlix::master
