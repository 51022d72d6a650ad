// One read of a 20 MB settings file against reading its bytes, in time and in
// peak memory, for three shapes of file: blank lines, one section of keys,
// and many small sections. Each measurement runs in a child process of its
// own, so that its peak resident memory is its own.
// Usage: settings_bench [megabytes]   (default 20)
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "settings/IniFile.h"

namespace {

namespace fs = std::filesystem;

struct Figures {
  double seconds = 0;
  long peakBytes = -1;  // growth of resident memory over the run; -1: unknown
};

long StatusKb(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const size_t n = std::strlen(field);
  while (std::getline(in, line))
    if (line.compare(0, n, field) == 0) return std::atol(line.c_str() + n + 1);
  return -1;
}

// Runs `op` in a child; its time and how far its resident memory rose.
Figures Measure(const std::function<void()>& op) {
  int fds[2];
  if (::pipe(fds) != 0) std::abort();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    // Resets the peak to what is resident now.
    const bool reset = [] {
      std::ofstream clear("/proc/self/clear_refs");
      clear << "5";
      clear.flush();
      return clear.good();
    }();
    const long before = StatusKb("VmRSS:");
    const auto start = std::chrono::steady_clock::now();
    op();
    Figures f;
    f.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const long peak = StatusKb("VmHWM:");
    f.peakBytes = reset && before >= 0 && peak >= 0 ? (peak - before) * 1024 : -1;
    if (::write(fds[1], &f, sizeof f) != sizeof f) _exit(1);
    _exit(0);
  }
  ::close(fds[1]);
  Figures f;
  if (::read(fds[0], &f, sizeof f) != sizeof f) std::abort();
  ::close(fds[0]);
  ::waitpid(pid, nullptr, 0);
  return f;
}

// The best of a few runs: the time least disturbed by the rest of the machine.
Figures Best(const std::function<void()>& op) {
  Figures best = Measure(op);
  for (int i = 0; i < 4; ++i) {
    const Figures f = Measure(op);
    best.seconds = std::min(best.seconds, f.seconds);
    best.peakBytes = std::max(best.peakBytes, f.peakBytes);
  }
  return best;
}

// The baseline: the file's bytes read into memory, as any reader must.
void ReadBytes(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) std::abort();
  std::string bytes(static_cast<size_t>(fs::file_size(path)), '\0');
  size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  ::close(fd);
  if (got != bytes.size()) std::abort();
}

std::string MakeFile(const fs::path& dir, const char* name, size_t size, const std::function<std::string(size_t)>& line,
                     std::string* lastSection) {
  const std::string path = (dir / name).string();
  std::ofstream out(path, std::ios::binary);
  std::string chunk;
  size_t written = 0;
  for (size_t i = 0; written < size; ++i) {
    chunk = line(i);
    out << chunk;
    written += chunk.size();
    if (chunk[0] == '[') *lastSection = chunk.substr(1, chunk.find(']') - 1);
  }
  return path;
}

}  // namespace

int main(int argc, char** argv) {
  const size_t megabytes = argc > 1 ? static_cast<size_t>(std::atol(argv[1])) : 20;
  const size_t size = megabytes << 20;
  std::string tmpl = (fs::temp_directory_path() / "settings-bench-XXXXXX").string();
  if (!::mkdtemp(tmpl.data())) return 1;
  const fs::path dir = tmpl;

  struct Shape {
    const char* name;
    std::function<std::string(size_t)> line;
  } shapes[] = {
      {"blank lines", [](size_t i) { return i == 0 ? std::string("[S]\r\n") : std::string("\r\n"); }},
      {"one section of keys",
       [](size_t i) { return i == 0 ? std::string("[S]\r\n") : "Key" + std::to_string(i) + "=value\r\n"; }},
      {"small sections",
       [](size_t i) { return "[Session " + std::to_string(i) + "]\r\nSessionType=2\r\nSerial_Baud=9600\r\n"; }},
  };
  std::printf("One read of a %zu MB settings file (best of 5; peak = rise of resident memory)\n", megabytes);
  std::printf("%-20s %12s %12s %8s %14s %14s %10s\n", "file", "bytes ms", "read ms", "ratio", "bytes peak MB",
              "read peak MB", "peak/size");
  for (const Shape& shape : shapes) {
    std::string last = "S";
    const std::string path = MakeFile(dir, "bench.ini", size, shape.line, &last);
    const double fileMb = static_cast<double>(fs::file_size(path)) / (1 << 20);
    const Figures base = Best([&] { ReadBytes(path); });
    const Figures ini = Best([&] {
      // The last section's key: found only after the whole file is read.
      if (tamlix::TIniFile(path).ReadString(last, "SessionType", "absent").empty()) std::abort();
    });
    auto mb = [](long bytes) { return bytes < 0 ? -1.0 : static_cast<double>(bytes) / (1 << 20); };
    std::printf("%-20s %12.1f %12.1f %8.1f %14.1f %14.1f %10.2f\n", shape.name, base.seconds * 1e3, ini.seconds * 1e3,
                ini.seconds / base.seconds, mb(base.peakBytes), mb(ini.peakBytes), mb(ini.peakBytes) / fileMb);
  }
  fs::remove_all(dir);
  return 0;
}
