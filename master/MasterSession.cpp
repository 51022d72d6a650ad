#include "MasterSession.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "UnitDebugSys.h"
#include "platform/Sys.h"
#include "settings/IniFile.h"
#include "tamlix/TamlixCore.h"

namespace tamlix::master {

namespace {

constexpr char STX = '\x02';
constexpr char ETX = '\x03';
// A frame that grows beyond this without its ETX is dropped.
constexpr size_t kMaxFrame = 64 * 1024;

using Clock = std::chrono::steady_clock;

// Where a claim came from, and so where its reply goes.
enum class TOrigin { File, Line, HandedIn };

// The one claim in flight through the core.
struct TFlight {
  uint64_t id = 0;
  TOrigin origin = TOrigin::HandedIn;
  // Set once SendData returned: past this time the answer will not come.
  std::optional<Clock::time_point> ends;
};

struct TState {
  std::mutex mutex;
  std::condition_variable changed;
  int32_t type = 0;                 // guarded by mutex
  std::string session;              // guarded by mutex
  void* callback1 = nullptr;        // guarded by mutex
  void* callback2 = nullptr;        // guarded by mutex
  TSessionSettings settings;        // guarded by mutex
  std::shared_ptr<TSerialLine> line;  // guarded by mutex
  // Claims take turns in the order they came: each takes a ticket and is
  // sent when every earlier ticket has been served and no claim is in
  // flight. A stop serves every ticket given out so far.
  uint64_t tickets = 0;             // guarded by mutex
  uint64_t served = 0;              // guarded by mutex
  uint64_t sessions = 0;            // guarded by mutex; counts starts
  std::optional<TFlight> flight;    // guarded by mutex
  // The answer to the file thread's last claim: its flight and its reply
  // (nothing when none came).
  uint64_t fileAnswered = 0;        // guarded by mutex
  std::optional<std::string> fileReply;  // guarded by mutex
  bool stop = false;                // guarded by mutex
  std::thread fileThread;
  std::thread serialThread;
};

// Cleared when the library unloads, so that a late reply from the core's
// worker finds nothing to call.
std::atomic<bool> alive{false};

// Never destroyed: the core's reply worker may still call in while the
// process ends; the threads are joined by TUnload.
TState& State() {
  static TState* const state = new TState;
  return *state;
}

// Opens the debug ring (the session's failures are written there) and,
// when the library is unloaded or the process ends, joins the threads.
struct TUnload {
  TUnload() {
    try {
      OpenDebugShared();
    } catch (...) {
      // The session runs without its records.
    }
    alive = true;
  }
  ~TUnload() {
    alive = false;
    Stop();
    CloseDebugShared();
  }
} unload;

// One record of the session's state: the stand-in's messages.
void Report(const char* procedure, const std::string& message, const std::string& detail = {}) {
  std::string session;
  {
    std::lock_guard<std::mutex> lock(State().mutex);
    session = State().session;
  }
  WriteDebugRecord("TamlixMaster", message, procedure, session, detail);
}

std::string ErrorText(int err) { return std::strerror(err); }

// Waits (lock held) until flight `id` is over: answered, unanswered, or
// past its time, when this wait gives its place up.
void WaitForFlight(std::unique_lock<std::mutex>& lock, uint64_t id) {
  TState& s = State();
  while (!s.stop && s.flight && s.flight->id == id) {
    if (!s.flight->ends) {
      s.changed.wait(lock);
    } else if (Clock::now() < *s.flight->ends) {
      s.changed.wait_until(lock, *s.flight->ends);
    } else {
      s.flight.reset();
      s.changed.notify_all();
    }
  }
}

// Ends the flight in progress with `reply` (nothing: no reply came); its
// origin, or nothing when no claim was in flight.
std::optional<TOrigin> EndFlight(const std::optional<std::string>& reply) {
  TState& s = State();
  std::optional<TOrigin> origin;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.flight) return origin;
    origin = s.flight->origin;
    if (*origin == TOrigin::File) {
      s.fileAnswered = s.flight->id;
      s.fileReply = reply;
    }
    s.flight.reset();
  }
  s.changed.notify_all();
  return origin;
}

void OnReply(const char* data) {
  if (!alive || !data) return;
  TState& s = State();
  std::string text = data;  // valid only during this call
  // A reply that no claim waits for any more (given up after its time) is
  // dropped: it would only be taken for the next claim's.
  const std::optional<TOrigin> origin = EndFlight(text);
  if (!origin || *origin == TOrigin::File) return;
  void* callback1;
  void* callback2;
  std::shared_ptr<TSerialLine> line;
  int32_t type;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    type = s.type;
    callback1 = s.callback1;
    callback2 = s.callback2;
    line = s.line;
  }
  if (*origin == TOrigin::Line && line) line->Write(text);
  if (type == 2 && callback1) {
    reinterpret_cast<TReceiveCallback>(callback1)(text.c_str());
  } else if (type == 3 && callback2) {
    const char* p = text.c_str();
    int32_t handled = 0;
    reinterpret_cast<TDataNotifyCallback>(callback2)(&p, &handled);
  } else if (type == 4 && callback1) {
    reinterpret_cast<TFileEventCallback>(callback1)(1);
  }
}

void OnTimeNotify() {
  if (!alive) return;
  EndFlight(std::nullopt);
}

// Sends one claim through the core when its turn comes (see TState);
// returns its flight. Throws EMaster with the core's status, or when the session stops
// while the claim waits for its turn.
uint64_t Send(const std::string& claim, TOrigin origin) {
  TState& s = State();
  uint64_t id;
  uint32_t timeOut;
  {
    std::unique_lock<std::mutex> lock(s.mutex);
    const uint64_t session = s.sessions;
    id = ++s.tickets;
    for (;;) {
      if (s.stop || s.sessions != session) throw EMaster(kFailCode, "Session stopped");
      if (s.served + 1 != id) {
        s.changed.wait(lock);
      } else if (s.flight) {
        WaitForFlight(lock, s.flight->id);
      } else {
        break;
      }
    }
    s.served = id;
    s.flight = TFlight{id, origin, std::nullopt};
    timeOut = s.settings.TimeOut;
  }
  TCoreStatus status{};
  const bool sent = SendData(claim.c_str(), &status);
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.flight && s.flight->id == id) {
      // The core gives up after its time-out (whole seconds, rounded):
      // wait a little longer before giving the place up.
      if (sent) {
        s.flight->ends = Clock::now() + std::chrono::milliseconds(timeOut) + std::chrono::seconds(2);
      } else {
        s.flight.reset();
      }
    }
  }
  s.changed.notify_all();
  if (!sent) {
    status.ErrorText[sizeof status.ErrorText - 1] = '\0';
    throw EMaster(status.ErrorCode ? status.ErrorCode : kFailCode,
                  status.ErrorText[0] ? status.ErrorText : "Send failed");
  }
  return id;
}

// How a file's claim fared with the switch.
struct TExchange {
  enum Kind { NotSent, Unanswered, Answered } kind = NotSent;
  std::string text;  // Answered: the reply; NotSent: why
};

// Sends a file's claim, reports event 0 once it has gone out, and waits for
// its reply.
TExchange SendAndWait(const std::string& claim, TFileEventCallback event) {
  TState& s = State();
  uint64_t id;
  try {
    id = Send(claim, TOrigin::File);
  } catch (const std::exception& e) {
    return {TExchange::NotSent, e.what()};
  }
  if (event) event(0);
  std::unique_lock<std::mutex> lock(s.mutex);
  WaitForFlight(lock, id);
  if (s.fileAnswered != id || !s.fileReply) return {TExchange::Unanswered, {}};
  return {TExchange::Answered, *s.fileReply};
}

// The file's bytes; nothing with errno set when it cannot be read.
std::optional<std::string> ReadWhole(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string text;
  char buffer[8192];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      text.append(buffer, static_cast<size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      const int err = errno;
      ::close(fd);
      errno = err;
      return std::nullopt;
    }
  }
  ::close(fd);
  return text;
}

// Writes `bytes` to `path` through a temporary file and a rename, so that a
// reader never sees half a reply. Empty on success, else the reason.
std::string WriteWhole(const std::string& path, const std::string& bytes) {
  const std::string temporary = path + ".tmp";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return ErrorText(errno);
  int err = sys::write_all(fd, bytes);
  if (::close(fd) != 0 && !err) err = errno;
  if (!err && std::rename(temporary.c_str(), path.c_str()) != 0) err = errno;
  if (err) ::unlink(temporary.c_str());
  return err ? ErrorText(err) : std::string();
}

// Renames `from` to `to` unless `to` exists (errno EEXIST then). Where the
// file system has no such rename, a hard link and an unlink do the same.
bool MoveNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  if (::link(from.c_str(), to.c_str()) != 0) return false;
  ::unlink(from.c_str());
  return true;
}

// One file session's turns. The claim is taken out of File_Source (renamed
// to the work copy beside it) before it is sent, so a claim written there
// meanwhile is never touched. Once the switch has answered, the work copy
// goes, whether or not File_Dest takes the reply. A claim that went out
// without a reply is set aside ("<File_Source>.unanswered", then ".2", ...)
// and never sent again by the session: that is the pharmacy's choice. A
// work copy found on disk and not held by this session (left by a crash,
// or one that could not be set aside) is set aside, not sent.
class TFileSession {
 public:
  TFileSession(const TSessionSettings& settings, TFileEventCallback event)
      : source_(settings.FileSource),
        dest_(settings.FileDest),
        work_(settings.FileSource + ".sending"),
        pause_(std::max(std::chrono::milliseconds(settings.FileFreq), std::chrono::milliseconds(1000))),
        event_(event) {}

  void Turn() {
    if (unsent_) {
      if (Clock::now() < retryAt_) return;
    } else if (!SetAsideLeftover() || !TakeClaim()) {
      return;
    }
    const auto content = ReadWhole(work_);
    if (!content) {
      Problem("Cannot read the claim", work_ + ": " + ErrorText(errno));
      Retry();
      return;
    }
    std::string claim = *content;
    while (!claim.empty() && (claim.back() == '\n' || claim.back() == '\r')) claim.pop_back();
    if (claim.empty()) {
      unsent_ = false;  // nothing to send; kept aside like any claim not answered
      SetAside();
      return;
    }
    const TExchange exchange = SendAndWait(claim, event_);
    switch (exchange.kind) {
      case TExchange::NotSent:
        // It never reached the switch: the same work copy goes at a later turn.
        Problem("Claim not sent, tried again later", exchange.text);
        Retry();
        return;
      case TExchange::Unanswered:
        unsent_ = false;
        SetAside();
        return;
      case TExchange::Answered: {
        unsent_ = false;
        const std::string failure = WriteWhole(dest_, exchange.text);
        if (::unlink(work_.c_str()) != 0 && errno != ENOENT) {
          Problem("Cannot remove the answered claim", work_ + ": " + ErrorText(errno));
        }
        if (!failure.empty()) {
          Report(kProcedure, "Reply not stored in File_Dest", dest_ + ": " + failure);
          lastProblem_.clear();
          return;
        }
        lastProblem_.clear();
        if (event_) event_(1);
        return;
      }
    }
  }

  // The session stops: a claim that never went out goes back to File_Source
  // when that name is free.
  void Stop() {
    if (unsent_) MoveNoReplace(work_, source_);
  }

 private:
  static constexpr const char* kProcedure = "MasterSession.FileSession";

  // A work copy that this session does not hold is set aside first; false
  // while one stays in the way.
  bool SetAsideLeftover() {
    struct stat st;
    if (::lstat(work_.c_str(), &st) != 0) return true;
    return SetAside();
  }

  // Moves File_Source to the work copy; false when there is no claim to take.
  bool TakeClaim() {
    struct stat st;
    if (::stat(source_.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0) return false;
    const auto content = ReadWhole(source_);
    if (!content || content->find_first_not_of("\r\n") == std::string::npos) return false;
    if (!MoveNoReplace(source_, work_)) {
      if (errno != ENOENT) Problem("Cannot take the claim out of File_Source", source_ + ": " + ErrorText(errno));
      return false;
    }
    return true;
  }

  // Renames the work copy to the first free set-aside name.
  bool SetAside() {
    int err = EEXIST;
    for (int n = 1; n <= 1000 && err == EEXIST; ++n) {
      const std::string name = source_ + ".unanswered" + (n > 1 ? "." + std::to_string(n) : "");
      if (MoveNoReplace(work_, name)) {
        Report(kProcedure, "Claim without a reply set aside, not sent again", name);
        lastProblem_.clear();
        return true;
      }
      err = errno;
    }
    Problem("Cannot set aside the claim without a reply", work_ + ": " + ErrorText(err));
    return false;
  }

  void Retry() {
    unsent_ = true;
    retryAt_ = Clock::now() + pause_;
  }

  // A failure that may repeat at every turn is written once until it changes.
  void Problem(const std::string& message, const std::string& detail) {
    if (lastProblem_ == message + '\n' + detail) return;
    lastProblem_ = message + '\n' + detail;
    Report(kProcedure, message, detail);
  }

  const std::string source_, dest_, work_;
  const std::chrono::milliseconds pause_;  // between tries of a claim not sent
  const TFileEventCallback event_;
  bool unsent_ = false;  // the work copy is ours and has not gone out
  Clock::time_point retryAt_;
  std::string lastProblem_;
};

// Whether two names lead to one file: the same name once made absolute, or
// the same entry of the same folder.
bool SameFile(const std::string& a, const std::string& b) {
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::path pa = fs::absolute(a, error).lexically_normal();
  const fs::path pb = fs::absolute(b, error).lexically_normal();
  if (pa == pb) return true;
  if (pa.filename() != pb.filename()) return false;
  struct stat da, db;
  return ::stat(pa.parent_path().c_str(), &da) == 0 && ::stat(pb.parent_path().c_str(), &db) == 0 &&
         da.st_dev == db.st_dev && da.st_ino == db.st_ino;
}

void FileLoop() {
  TState& s = State();
  std::optional<TFileSession> session;
  std::chrono::milliseconds freq;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    session.emplace(s.settings, reinterpret_cast<TFileEventCallback>(s.callback1));
    freq = std::chrono::milliseconds(s.settings.FileFreq);
  }
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(s.mutex);
      if (s.changed.wait_for(lock, freq, [&] { return s.stop; })) break;
    }
    session->Turn();
  }
  session->Stop();
}

// Reads claims from the line. After a hang-up or a read error the line is
// closed and opened again once a second until that succeeds.
void SerialLoop(std::shared_ptr<TSerialLine> line, TSerialOptions options) {
  TState& s = State();
  constexpr const char* kProcedure = "MasterSession.SerialSession";
  const std::string device = SerialDevicePath(options.Port);
  std::string pending;
  std::string openFailure;
  // False once the session stops during the pause.
  auto pause = [&s] {
    std::unique_lock<std::mutex> lock(s.mutex);
    return !s.changed.wait_for(lock, std::chrono::seconds(1), [&s] { return s.stop; });
  };
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(s.mutex);
      if (s.stop) return;
    }
    if (!line) {
      try {
        line = std::make_shared<TSerialLine>(options);
      } catch (const std::exception& e) {
        if (openFailure != e.what()) {
          openFailure = e.what();
          Report(kProcedure, "Serial line cannot be opened, tried again once a second", openFailure);
        }
        if (!pause()) return;
        continue;
      }
      {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.line = line;
      }
      openFailure.clear();
      pending.clear();
      Report(kProcedure, "Serial line open again", device);
    }
    std::string bytes;
    try {
      bytes = line->Read(std::chrono::milliseconds(100));
    } catch (const std::exception& e) {
      {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.line.reset();
      }
      line.reset();
      Report(kProcedure, "Serial line lost, reopened once a second", device + ": " + e.what());
      if (!pause()) return;
      continue;
    }
    pending += bytes;
    for (;;) {
      const size_t start = pending.find(STX);
      if (start == std::string::npos) {
        pending.clear();
        break;
      }
      const size_t end = pending.find(ETX, start);
      if (end == std::string::npos) {
        pending.erase(0, start);
        if (pending.size() > kMaxFrame) pending.clear();
        break;
      }
      const std::string claim = pending.substr(start, end - start + 1);
      pending.erase(0, end + 1);
      void* callback1;
      {
        std::lock_guard<std::mutex> lock(s.mutex);
        callback1 = s.callback1;
      }
      if (callback1) {
        const char* p = claim.c_str();
        int32_t handled = 0;
        reinterpret_cast<TDataNotifyCallback>(callback1)(&p, &handled);
      }
      try {
        Send(claim, TOrigin::Line);
      } catch (...) {
        // A claim that cannot be sent gets no reply on the line.
      }
    }
  }
}

}  // namespace

TSessionSettings ReadSessionSettings(const std::string& dir, const std::string& session) {
  const TIniFile product(dir + "Brindlemoss.INI");
  if (!product.SectionExists(session)) throw EMaster(kFailCode, "Session " + session + " not found");
  TSessionSettings s;
  const std::string type = product.ReadString(session, "SessionType", "0");
  if (!TryStrToInt(type, s.SessionType)) throw EMaster(kFailCode, "SessionType '" + type + "' is not a number");
  s.Serial.Port = product.ReadString(session, "Serial_Port", "");
  s.Serial.Baud = product.ReadString(session, "Serial_Baud", "");
  s.Serial.DataBits = product.ReadString(session, "Serial_DataBits", "");
  s.Serial.Parity = product.ReadString(session, "Serial_Parity", "");
  s.Serial.StopBits = product.ReadString(session, "Serial_StopBits", "");
  s.FileSource = product.ReadString(session, "File_Source", "");
  s.FileDest = product.ReadString(session, "File_Dest", "");
  s.FileFreq = product.ReadInteger(session, "File_Freq", 1000);
  if (s.FileFreq <= 0) s.FileFreq = 1000;

  const TIniFile tcp(dir + "TamlixTCP.INI");
  const char* section = "Global TCP/IP Data";
  const bool secondary = tcp.ReadInteger(section, "Use", 0) == 1;
  s.Address = tcp.ReadString(section, secondary ? "SecAddress" : "Address", "");
  s.Port = tcp.ReadInteger(section, secondary ? "SecPort" : "Port", 0);
  const int32_t timeOut = tcp.ReadInteger(section, "TimeOut", 1000);
  s.TimeOut = timeOut > 0 ? static_cast<uint32_t>(timeOut) : 1000;
  s.Headerlength = tcp.ReadInteger(section, "Headerlength", 0);
  s.DefaultHeader = tcp.ReadInteger(section, "DefaultHeader", 0);
  return s;
}

void Initialize(const std::string& dir, const char* session, void* callback1, void* callback2) {
  if (!session) throw EMaster(kFailCode, "No session");
  Stop();
  TSessionSettings settings = ReadSessionSettings(dir, session);
  if (settings.SessionType < 2 || settings.SessionType > 4) {
    throw EMaster(kFailCode, "Session type " + std::to_string(settings.SessionType) + " is not served");
  }
  if (!callback1) throw EMaster(kFailCode, "No callback");
  if (settings.SessionType == 3 && !callback2) throw EMaster(kFailCode, "No reply callback");
  if (settings.SessionType == 4 && (settings.FileSource.empty() || settings.FileDest.empty())) {
    throw EMaster(kFailCode, "File_Source and File_Dest must be set");
  }
  // A reply written where claims are taken from would go out as the next claim.
  if (settings.SessionType == 4 && SameFile(settings.FileSource, settings.FileDest)) {
    throw EMaster(kFailCode, "File_Source and File_Dest must name different files");
  }
  std::shared_ptr<TSerialLine> line;
  if (settings.SessionType == 3) {
    try {
      line = std::make_shared<TSerialLine>(settings.Serial);
    } catch (const std::exception& e) {
      throw EMaster(kFailCode, e.what());
    }
  }

  TTCPIPSettings tcp{};
  tcp.Port = settings.Port;
  const size_t length = std::min<size_t>(settings.Address.size(), sizeof tcp.Address.Chars);
  tcp.Address.Length = static_cast<uint8_t>(length);
  std::memcpy(tcp.Address.Chars, settings.Address.data(), length);
  tcp.TimeOut = settings.TimeOut;
  tcp.Headerlength = settings.Headerlength;
  tcp.DefaultHeader = settings.DefaultHeader;
  int32_t inUse = 0;
  if (!InitializeCore(session, &OnReply, &tcp, nullptr, &inUse)) {
    throw EMaster(inUse == MASTER_CODE_IN_USE ? MASTER_CODE_IN_USE : kFailCode,
                  inUse == MASTER_CODE_IN_USE ? "Session " + std::string(session) + " is in use"
                                              : "Core initialization failed");
  }
  SetTimeNotifyEvent(&OnTimeNotify);

  TState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.type = settings.SessionType;
  s.session = session;
  s.callback1 = callback1;
  s.callback2 = callback2;
  s.settings = settings;
  s.line = line;
  ++s.sessions;
  s.stop = false;
  if (line) s.serialThread = std::thread(SerialLoop, line, settings.Serial);
}

void ProcessData(uintptr_t data) {
  TState& s = State();
  if (data == 1) {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.type != 4) throw EMaster(kFailCode, "Automatic processing is for file sessions");
    if (s.fileThread.joinable()) return;  // already running
    s.fileThread = std::thread(FileLoop);
    return;
  }
  if (data == 0) throw EMaster(kFailCode, "No claim");
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.type == 0) throw EMaster(kFailCode, "No session started");
  }
  Send(reinterpret_cast<const char*>(data), TOrigin::HandedIn);
}

void Stop() noexcept {
  TState& s = State();
  std::thread file;
  std::thread serial;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.stop = true;
    s.served = s.tickets;
    s.changed.notify_all();
    file = std::move(s.fileThread);
    serial = std::move(s.serialThread);
  }
  if (file.joinable()) file.join();
  if (serial.joinable()) serial.join();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.type = 0;
  s.callback1 = nullptr;
  s.callback2 = nullptr;
  s.line.reset();
  s.flight.reset();
}

}  // namespace tamlix::master
