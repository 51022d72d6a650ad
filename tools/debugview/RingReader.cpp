#include "RingReader.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/DateTime.h"

namespace tamlix::debugview {
namespace {

void AppendVisible(std::string& out, const char* chars, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    unsigned char c = static_cast<unsigned char>(chars[i]);
    if (c < 0x20 || c == 0x7f || c == '\\') {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
}

void AppendShort(std::string& out, const TShortString& s) { AppendVisible(out, s.Chars, s.Length); }

}  // namespace

RingReader::RingReader(std::string name) : name_(std::move(name)) {}

RingReader::~RingReader() { Close(); }

bool RingReader::Open() {
  Close();
  int fd = ::shm_open(name_.c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) return false;
  struct stat st{};
  if (::fstat(fd, &st) != 0 || st.st_size < static_cast<off_t>(TAMLIX_DEBUG_RING_SIZE)) {
    // A ring that its creator has not sized yet: not ready to be read.
    ::close(fd);
    errno = EAGAIN;
    return false;
  }
  void* view = ::mmap(nullptr, TAMLIX_DEBUG_RING_SIZE, PROT_READ, MAP_SHARED, fd, 0);
  if (view == MAP_FAILED) {
    int err = errno;
    ::close(fd);
    errno = err;
    return false;
  }
  fd_ = fd;
  dev_ = st.st_dev;
  ino_ = st.st_ino;
  view_ = static_cast<const TDebugRecord*>(view);
  return true;
}

bool RingReader::Replaced() const {
  int fd = ::shm_open(name_.c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) return true;
  struct stat st{};
  bool same = ::fstat(fd, &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_;
  ::close(fd);
  return !same;
}

void RingReader::Close() {
  if (view_) ::munmap(const_cast<TDebugRecord*>(view_), TAMLIX_DEBUG_RING_SIZE);
  if (fd_ >= 0) ::close(fd_);
  view_ = nullptr;
  fd_ = -1;
}

std::vector<TDebugRecord> RingReader::Snapshot() const {
  std::vector<TDebugRecord> slots(TAMLIX_DEBUG_SLOTS);
  if (view_) std::memcpy(slots.data(), view_, TAMLIX_DEBUG_RING_SIZE);
  return slots;
}

std::vector<int> Follower::TakeDue(const std::vector<TDebugRecord>& slots, bool final) {
  struct Candidate {
    int32_t seq;
    int slot;
    bool settled;
  };
  std::vector<Candidate> unprinted;
  for (int i = 0; i < TAMLIX_DEBUG_SLOTS && i < static_cast<int>(slots.size()); ++i) {
    // Packed fields: copied, never bound by reference.
    int32_t seq;
    double time;
    std::memcpy(&seq, &slots[i].Sequence, sizeof seq);
    std::memcpy(&time, &slots[i].Time, sizeof time);
    Slot& s = slots_[i];
    if (seq <= 0 || (seq == s.printed_seq && time == s.printed_time)) continue;
    if (seq == s.seen_seq && time == s.seen_time) {
      ++s.looks;
    } else {
      s.seen_seq = seq;
      s.seen_time = time;
      s.looks = 0;
    }
    bool time_written = time != s.printed_time || s.looks >= kPatience;
    unprinted.push_back({seq, i, final || (s.looks >= 1 && time_written)});
  }
  std::sort(unprinted.begin(), unprinted.end(), [](const Candidate& a, const Candidate& b) {
    return a.seq != b.seq ? a.seq < b.seq : a.slot < b.slot;
  });
  std::vector<int> due;
  for (const Candidate& c : unprinted) {
    if (!c.settled) break;
    Slot& s = slots_[c.slot];
    s.printed_seq = s.seen_seq;
    s.printed_time = s.seen_time;
    due.push_back(c.slot);
  }
  return due;
}

std::string FormatRecord(const TDebugRecord& rec, const FormatOptions& options) {
  platform::LocalTime t = platform::DecodeDateTime(rec.Time);
  char head[96];
  std::snprintf(head, sizeof head, "%6d  %04d-%02d-%02d %02d:%02d:%02d.%03d  ", rec.Sequence, t.year, t.month,
                t.day, t.hour, t.minute, t.second, t.millisecond);
  std::string line = head;
  AppendShort(line, rec.Module);
  line += "  ";
  AppendShort(line, rec.Procedure);
  line += "  [";
  AppendShort(line, rec.Session);
  line += "]  ";
  AppendShort(line, rec.Message);
  if (rec.Detail.Length) {
    line += "  (";
    AppendShort(line, rec.Detail);
    line += ")";
  }
  if (options.data && rec.Data[0]) {
    // A torn record may lack its NUL: never read past the field.
    size_t n = strnlen(rec.Data, sizeof rec.Data);
    line += "\n        data: ";
    AppendVisible(line, rec.Data, n);
  }
  return line;
}

std::vector<const TDebugRecord*> InSequenceOrder(const std::vector<TDebugRecord>& slots) {
  std::vector<const TDebugRecord*> out;
  for (const auto& rec : slots) {
    if (rec.Sequence > 0) out.push_back(&rec);
  }
  std::stable_sort(out.begin(), out.end(),
                   [](const TDebugRecord* a, const TDebugRecord* b) { return a->Sequence < b->Sequence; });
  return out;
}

}  // namespace tamlix::debugview
