// One read of a 20 MB settings file against reading its bytes, in time and in
// peak memory, for three shapes of file: blank lines, one section of keys,
// and many small sections; then one write of a key in its last section, by
// replacement and (the file having a second name) in place, against writing
// the file's bytes to a new file, flushed and renamed over it. Each
// measurement runs in a child process of its own, so that its peak resident
// memory is its own.
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
#include <vector>

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

// The write baseline: the file's bytes (read first, as any writer must) to
// a new file beside it, flushed and renamed over it.
void CopyBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes(static_cast<size_t>(fs::file_size(path)), '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  const std::string temp = path + ".copy";
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) std::abort();
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) std::abort();
    done += static_cast<size_t>(n);
  }
  if (::fsync(fd) != 0 || ::close(fd) != 0 || ::rename(temp.c_str(), path.c_str()) != 0) std::abort();
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
  auto mb = [](long bytes) { return bytes < 0 ? -1.0 : static_cast<double>(bytes) / (1 << 20); };
  std::printf("One read of a %zu MB settings file (best of 5; peak = rise of resident memory)\n", megabytes);
  std::printf("%-20s %12s %12s %8s %14s %14s %10s\n", "file", "bytes ms", "read ms", "ratio", "bytes peak MB",
              "read peak MB", "peak/size");
  struct WriteFigures {
    const char* name;
    double fileMb;
    Figures copy, replaced, inPlace;
  };
  std::vector<WriteFigures> writes;
  for (const Shape& shape : shapes) {
    std::string last = "S";
    const std::string path = MakeFile(dir, "bench.ini", size, shape.line, &last);
    const double fileMb = static_cast<double>(fs::file_size(path)) / (1 << 20);
    const Figures base = Best([&] { ReadBytes(path); });
    const Figures ini = Best([&] {
      // The last section's key: found only after the whole file is read.
      if (tamlix::TIniFile(path).ReadString(last, "SessionType", "absent").empty()) std::abort();
    });
    std::printf("%-20s %12.1f %12.1f %8.1f %14.1f %14.1f %10.2f\n", shape.name, base.seconds * 1e3, ini.seconds * 1e3,
                ini.seconds / base.seconds, mb(base.peakBytes), mb(ini.peakBytes), mb(ini.peakBytes) / fileMb);

    // Each run (a child of its own) writes a value of its own, so that every
    // write changes the file.
    auto write = [&] {
      const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
      tamlix::TIniFile(path).WriteString(last, "SessionType", std::to_string(now));
    };
    WriteFigures w{shape.name, fileMb, Best([&] { CopyBytes(path); }), Best(write), {}};
    fs::create_hard_link(path, path + ".second");
    w.inPlace = Best(write);
    fs::remove(path + ".second");
    writes.push_back(w);
  }
  std::printf("\nOne write of a key in the last section (best of 5)\n");
  std::printf("%-20s %12s %12s %8s %12s %8s %14s %10s\n", "file", "copy ms", "replace ms", "ratio", "in place ms",
              "ratio", "write peak MB", "peak/size");
  for (const WriteFigures& w : writes) {
    const long peak = std::max(w.replaced.peakBytes, w.inPlace.peakBytes);
    std::printf("%-20s %12.1f %12.1f %8.1f %12.1f %8.1f %14.1f %10.2f\n", w.name, w.copy.seconds * 1e3,
                w.replaced.seconds * 1e3, w.replaced.seconds / w.copy.seconds, w.inPlace.seconds * 1e3,
                w.inPlace.seconds / w.copy.seconds, mb(peak), mb(peak) / w.fileMb);
  }
  fs::remove_all(dir);
  return 0;
}
