#include "RingReader.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "platform/DateTime.h"
#include "settings/CodePage.h"

namespace tamlix::debugview {
namespace {

// The visible form of each byte: a control, DEL, the backslash and (outside
// UTF-8) every byte above 0x7F as \xNN; the rest as its code-page character
// in UTF-8. Made once from the code page itself.
struct VisibleTable {
  std::string text[2][256];  // [utf8][byte]
  VisibleTable() {
    for (int b = 0; b < 256; ++b) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", b);
      char16_t c = DecodeCodePage(std::string(1, static_cast<char>(b)))[0];
      bool control = c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == '\\';
      text[0][b] = control || b >= 0x80 ? hex : std::string(1, static_cast<char>(b));
      if (control) {
        text[1][b] = hex;
      } else if (c < 0x80) {
        text[1][b] = std::string(1, static_cast<char>(c));
      } else if (c < 0x800) {
        text[1][b] = {static_cast<char>(0xC0 | (c >> 6)), static_cast<char>(0x80 | (c & 0x3F))};
      } else {
        text[1][b] = {static_cast<char>(0xE0 | (c >> 12)), static_cast<char>(0x80 | ((c >> 6) & 0x3F)),
                      static_cast<char>(0x80 | (c & 0x3F))};
      }
    }
  }
};

void AppendVisible(std::string& out, const char* chars, size_t n, bool utf8) {
  static const VisibleTable table;
  for (size_t i = 0; i < n; ++i) out += table.text[utf8][static_cast<unsigned char>(chars[i])];
}

void AppendShort(std::string& out, const TShortString& s, bool utf8) { AppendVisible(out, s.Chars, s.Length, utf8); }

constexpr int kOpenFlags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;

}  // namespace

RingReader::RingReader(std::string name) : name_(std::move(name)) {}

RingReader::~RingReader() { Close(); }

RingReader::Failure RingReader::Open(std::string* reason) {
  Close();
  auto fail = [&](Failure f, const char* why) {
    if (reason) *reason = why;
    return f;
  };
  int fd = ::shm_open(name_.c_str(), kOpenFlags, 0);
  if (fd < 0) {
    if (errno == ENOENT) return fail(Failure::Absent, "not found");
    return fail(errno == EACCES || errno == EPERM ? Failure::Unreadable : Failure::NotARing, std::strerror(errno));
  }
  struct stat st{};
  const char* unfit = nullptr;
  if (::fstat(fd, &st) != 0) {
    unfit = std::strerror(errno);
  } else if (!S_ISREG(st.st_mode)) {
    unfit = "not a regular object";
  } else if (st.st_size != static_cast<off_t>(TAMLIX_DEBUG_RING_SIZE)) {
    unfit = "not the size of a ring";
  }
  if (unfit) {
    ::close(fd);
    return fail(Failure::NotARing, unfit);
  }
  fd_ = fd;
  dev_ = st.st_dev;
  ino_ = st.st_ino;
  return Failure::None;
}

bool RingReader::Held() const {
  if (fd_ < 0) return false;
  // The exclusive lock is refused while any writer holds its shared one;
  // when granted, it goes again at once.
  if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) return true;
  ::flock(fd_, LOCK_UN);
  return false;
}

bool RingReader::Replaced() const {
  int fd = ::shm_open(name_.c_str(), kOpenFlags, 0);
  if (fd < 0) return true;
  struct stat st{};
  bool same = ::fstat(fd, &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_;
  ::close(fd);
  return !same;
}

void RingReader::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

std::vector<TDebugRecord> RingReader::Snapshot() const {
  std::vector<TDebugRecord> slots(TAMLIX_DEBUG_SLOTS);
  if (fd_ < 0) return slots;
  auto* bytes = reinterpret_cast<char*>(slots.data());
  size_t done = 0;
  while (done < TAMLIX_DEBUG_RING_SIZE) {
    ssize_t n = ::pread(fd_, bytes + done, TAMLIX_DEBUG_RING_SIZE - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // cut short: the rest stays zeros
    done += static_cast<size_t>(n);
  }
  return slots;
}

std::vector<Follower::Due> Follower::TakeDue(const std::vector<TDebugRecord>& slots, bool final) {
  std::vector<Due> due = std::move(held_);
  held_.clear();
  // The lowest number of a record first seen cut at this look: it may be
  // being written now, so nothing numbered above it is printed yet.
  int32_t lowest_new_cut = INT32_MAX;
  for (int i = 0; i < TAMLIX_DEBUG_SLOTS && i < static_cast<int>(slots.size()); ++i) {
    // Packed fields: copied, never bound by reference.
    int32_t seq;
    double time;
    std::memcpy(&seq, &slots[i].Sequence, sizeof seq);
    std::memcpy(&time, &slots[i].Time, sizeof time);
    Slot& s = slots_[i];
    if (seq <= 0 || (seq == s.taken_seq && time == s.taken_time)) continue;
    bool whole = time != s.taken_time;
    if (!whole && !final) {
      if (seq != s.cut_seq) {
        s.cut_seq = seq;
        s.cut_looks = 0;
        lowest_new_cut = std::min(lowest_new_cut, seq);
        continue;
      }
      if (++s.cut_looks < kPatience) continue;
    }
    s.taken_seq = seq;
    s.taken_time = time;
    s.cut_seq = 0;
    due.push_back({i, slots[i]});
  }
  std::sort(due.begin(), due.end(), [](const Due& a, const Due& b) {
    int32_t sa, sb;
    std::memcpy(&sa, &a.record.Sequence, sizeof sa);
    std::memcpy(&sb, &b.record.Sequence, sizeof sb);
    return sa != sb ? sa < sb : a.slot < b.slot;
  });
  auto held = std::find_if(due.begin(), due.end(), [&](const Due& d) {
    int32_t seq;
    std::memcpy(&seq, &d.record.Sequence, sizeof seq);
    return seq > lowest_new_cut;
  });
  held_.assign(std::make_move_iterator(held), std::make_move_iterator(due.end()));
  due.erase(held, due.end());
  return due;
}

std::string VisibleText(std::string_view bytes, bool utf8) {
  std::string out;
  AppendVisible(out, bytes.data(), bytes.size(), utf8);
  return out;
}

std::string FormatRecord(const TDebugRecord& rec, const FormatOptions& options) {
  platform::LocalTime t = platform::DecodeDateTime(rec.Time);
  char head[96];
  std::snprintf(head, sizeof head, "%6d  %04d-%02d-%02d %02d:%02d:%02d.%03d  ", rec.Sequence, t.year, t.month,
                t.day, t.hour, t.minute, t.second, t.millisecond);
  std::string line = head;
  AppendShort(line, rec.Module, options.utf8);
  line += "  ";
  AppendShort(line, rec.Procedure, options.utf8);
  line += "  [";
  AppendShort(line, rec.Session, options.utf8);
  line += "]  ";
  AppendShort(line, rec.Message, options.utf8);
  if (rec.Detail.Length) {
    line += "  (";
    AppendShort(line, rec.Detail, options.utf8);
    line += ")";
  }
  if (options.data && rec.Data[0]) {
    // A torn record may lack its NUL: never read past the field.
    size_t n = strnlen(rec.Data, sizeof rec.Data);
    line += "\n        data: ";
    AppendVisible(line, rec.Data, n, options.utf8);
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
