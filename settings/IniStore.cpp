#include "IniStore.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <stdio.h>
#include <sys/statfs.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <climits>
#include <cstdint>

#include "CodePage.h"
#include "platform/Sys.h"

namespace tamlix::ini {
namespace {

// Offsets into a file's text are kept in 32 bits.
constexpr uint64_t kMaxFileSize = UINT32_MAX - 1;
// Each retry follows another writer's finished replacement; past this many
// the write gives up rather than wait without end.
constexpr int kMaxAttempts = 1000;
// FAT keeps times to 2 s, some network shares to 1 s; a file system not
// known to keep fine times is taken to be that coarse.
constexpr long kCoarseNs = 2'000'000'000;
// How long another program's lock on a settings file is waited for.
constexpr std::chrono::seconds kForeignWait{2};
constexpr std::string_view kTempPrefix = ".tamlix-ini-";
constexpr std::string_view kTempSuffix = ".tmp";

// A descriptor that is closed when it goes out of scope.
class TFd {
 public:
  explicit TFd(int fd = -1) : fd_(fd) {}
  ~TFd() { Reset(); }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  int Get() const { return fd_; }
  bool Ok() const { return fd_ >= 0; }
  void Reset(int fd = -1) {
    if (fd_ >= 0) {
      const int saved = errno;
      ::close(fd_);  // read, or already flushed: a failing close loses nothing
      errno = saved;
    }
    fd_ = fd;
  }

 private:
  int fd_;
};

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

const char* DirName(const std::string& dir) { return dir.empty() ? "." : dir.c_str(); }

// Takes the lock. Our own readers and writers hold theirs (open file
// description locks) for one read or write, so those are waited for.
// Another program's record lock (an office suite holds one while the file is
// open) is waited for at most kForeignWait, polling: then false. A file
// system without locks is used without them (true).
bool Lock(int fd, int type) {
  const auto deadline = std::chrono::steady_clock::now() + kForeignWait;
  for (;;) {
    struct flock fl {};
    fl.l_type = static_cast<short>(type);
    fl.l_whence = SEEK_SET;
    if (::fcntl(fd, F_OFD_SETLK, &fl) == 0) return true;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EACCES) return true;
    struct flock holder = fl;
    if (::fcntl(fd, F_OFD_GETLK, &holder) != 0) return true;
    if (holder.l_type == F_UNLCK) continue;  // let go meanwhile
    if (holder.l_pid == -1) {
      // One of ours: the kernel queues us behind it.
      while (::fcntl(fd, F_OFD_SETLKW, &fl) != 0)
        if (errno != EINTR) return true;
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    struct timespec pause {0, 10'000'000};
    ::nanosleep(&pause, nullptr);
  }
}

// True when `path` still names the file open at `fd` (not replaced or removed).
bool StillNamed(const std::string& path, int fd) {
  struct stat byName {}, byFd {};
  return ::lstat(path.c_str(), &byName) == 0 && ::fstat(fd, &byFd) == 0 && byName.st_dev == byFd.st_dev &&
         byName.st_ino == byFd.st_ino;
}

// The file that `path` names at the end of its symbolic links, whether or
// not it exists.
std::string FinalTarget(const std::string& path) {
  std::string p = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st {};
    if (::lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return p;
    std::string link(PATH_MAX, '\0');
    const ssize_t n = ::readlink(p.c_str(), link.data(), link.size());
    if (n <= 0 || static_cast<size_t>(n) >= link.size()) return p;
    link.resize(static_cast<size_t>(n));
    p = link.front() == '/' ? link : DirectoryOf(p) + link;
  }
  return p;  // a loop: opening it fails with ELOOP
}

// Puts bytes back after a failed rewrite, past the seam: the fault that
// stopped the rewrite is the one being handled.
void RestoreAt(int fd, size_t offset, std::string_view data, size_t size) {
  while (!data.empty()) {
    const ssize_t n = ::pwrite(fd, data.data(), data.size(), static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    data.remove_prefix(static_cast<size_t>(n));
    offset += static_cast<size_t>(n);
  }
  if (::ftruncate(fd, static_cast<off_t>(size)) == 0) ::fsync(fd);
}

// The rest of the file from its current offset. 0 or the errno.
int ReadRest(int fd, size_t sizeHint, std::string* bytes) {
  // Sized once from the file's status, so that the bytes are held only once.
  bytes->resize(sizeHint);
  size_t got = 0;
  char more[4096];
  for (;;) {
    // Past the size it had, the file may still have grown.
    const bool inside = got < bytes->size();
    const ssize_t n = inside ? ::read(fd, bytes->data() + got, bytes->size() - got) : ::read(fd, more, sizeof more);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) break;
    if (!inside) {
      if (got + static_cast<size_t>(n) > kMaxFileSize) return EFBIG;
      bytes->append(more, static_cast<size_t>(n));
    }
    got += static_cast<size_t>(n);
  }
  bytes->resize(got);
  return 0;
}

bool IsUtf16(std::string_view raw) { return raw.size() >= 2 && raw[0] == '\xFF' && raw[1] == '\xFE'; }

// One byte per code unit after the byte-order mark; an odd last byte is no unit.
std::string Utf16ToText(std::string_view raw) {
  std::string text;
  text.reserve((raw.size() - 2) / 2);
  for (size_t i = 2; i + 1 < raw.size(); i += 2) {
    const auto unit = static_cast<char16_t>(static_cast<unsigned char>(raw[i]) |
                                            static_cast<unsigned char>(raw[i + 1]) << 8);
    text.push_back(ByteInCodePage(unit, '?'));
  }
  return text;
}

std::string Utf16Of(std::string_view text) {
  std::string out;
  out.reserve(text.size() * 2);
  for (char16_t c : DecodeCodePage(text)) {
    out.push_back(static_cast<char>(c & 0xFF));
    out.push_back(static_cast<char>(c >> 8));
  }
  return out;
}

// The file's new bytes: the old ones with the splices made, as runs of the
// old bytes and the splices' texts, so that the file is not held twice. In a
// UTF-16LE file text offset i is the unit at byte 2 + 2i. `raw` and the
// splices must outlive it.
class TNewBytes {
 public:
  TNewBytes(std::string_view raw, bool utf16, const std::vector<TSplice>& splices) {
    auto at = [utf16](size_t i) { return utf16 ? 2 + 2 * i : i; };
    if (utf16) encoded_.reserve(splices.size());  // the pieces point into it
    size_t kept = 0;  // raw bytes before this are in a piece or dropped
    for (const TSplice& s : splices) {
      Add(raw.substr(kept, at(s.begin) - kept));
      Add(utf16 ? std::string_view(encoded_.emplace_back(Utf16Of(s.text))) : std::string_view(s.text));
      kept = at(s.end);
    }
    Add(raw.substr(kept));
    firstChange_ = splices.empty() ? size_ : at(splices.front().begin);
  }

  size_t Size() const { return size_; }
  // No byte before this differs from the old ones.
  size_t FirstChange() const { return firstChange_; }

  // Writes the bytes from `offset` on, at the descriptor's position.
  bool WriteFrom(int fd, size_t offset) const {
    for (std::string_view piece : pieces_) {
      const size_t skip = std::min(offset, piece.size());
      offset -= skip;
      if (const int err = sys::write_all(fd, piece.substr(skip))) {
        errno = err;
        return false;
      }
    }
    return true;
  }

 private:
  void Add(std::string_view piece) {
    if (piece.empty()) return;
    pieces_.push_back(piece);
    size_ += piece.size();
  }

  std::vector<std::string> encoded_;
  std::vector<std::string_view> pieces_;
  size_t size_ = 0;
  size_t firstChange_ = 0;
};

// True where the file system stamps times finely enough that a change in
// the clock tick after the read shows.
bool FineTimes(int fd) {
  struct statfs fs {};
  if (sys::fstatfs(fd, &fs) != 0) return false;
  switch (static_cast<unsigned long>(fs.f_type)) {
    case EXT4_SUPER_MAGIC:  // also ext2 and ext3
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
    case TMPFS_MAGIC:
    case RAMFS_MAGIC:
    case F2FS_SUPER_MAGIC:
    case OVERLAYFS_SUPER_MAGIC:
    case 0x2FC12FC1:  // ZFS
    case 0xCA451A4E:  // bcachefs
      return true;
    default:
      return false;
  }
}

bool Before(const struct timespec& t, const struct timespec& now, long marginNs) {
  const long long tNs = static_cast<long long>(t.tv_sec) * 1'000'000'000 + t.tv_nsec + marginNs;
  const long long nowNs = static_cast<long long>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
  return tNs < nowNs;
}

// A file open at `fd` read whole under a lock already taken.
struct TLockedRead {
  std::string raw;
  bool utf16 = false;
  TFileRead read;  // read.text: the 8-bit text of a UTF-16LE file only

  std::string_view Text() const { return utf16 ? std::string_view(read.text) : std::string_view(raw); }
  void MoveTo(TFileRead* out) {
    if (!utf16) read.text = std::move(raw);
    *out = std::move(read);
  }
};

int ReadLocked(int fd, TLockedRead* r) {
  // Taken before the status: a change after it gets a later time, since the
  // file system stamps from this same clock.
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
  struct stat& st = r->read.stamp;
  if (::fstat(fd, &st) != 0) return errno == ENOENT ? EIO : errno;
  if (static_cast<uint64_t>(st.st_size) > kMaxFileSize) return EFBIG;
  if (::lseek(fd, 0, SEEK_SET) != 0) return errno;
  if (const int err = ReadRest(fd, static_cast<size_t>(st.st_size), &r->raw)) return err;
  r->utf16 = IsUtf16(r->raw);
  if (r->utf16) r->read.text = Utf16ToText(r->raw);
  const long margin = FineTimes(fd) ? 0 : kCoarseNs;
  r->read.settled = Before(st.st_mtim, now, margin) && Before(st.st_ctim, now, margin);
  return 0;
}

// Only a regular file is settings; ENOENT must keep meaning "absent".
int RegularFile(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return errno == ENOENT ? EIO : errno;
  if (!S_ISREG(st.st_mode)) return S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
  return 0;
}

void SyncDirectory(const std::string& dir) {
  // The file is in place already; flushing the folder only makes it durable
  // sooner, so a failure here does not undo the write.
  const int dfd = sys::open(DirName(dir), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    sys::fsync(dfd);
    sys::close(dfd);
  }
}

// Removes the temporary files in `dir` that no live writer holds: those of
// writers killed before they were done.
void SweepTemps(const std::string& dir) {
  DIR* d = ::opendir(DirName(dir));
  if (!d) return;
  while (const dirent* e = ::readdir(d)) {
    const std::string_view name = e->d_name;
    if (!name.starts_with(kTempPrefix) || !name.ends_with(kTempSuffix)) continue;
    const std::string path = dir + std::string(name);
    TFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct flock fl {};
    fl.l_type = F_RDLCK;
    fl.l_whence = SEEK_SET;
    if (fd.Ok() && RegularFile(fd.Get()) == 0 && ::fcntl(fd.Get(), F_OFD_SETLK, &fl) == 0 &&
        StillNamed(path, fd.Get()))
      ::unlink(path.c_str());
  }
  ::closedir(d);
}

std::atomic<unsigned> g_tempCounter{0};

std::string TempName(const std::string& dir) {
  return dir + std::string(kTempPrefix) + std::to_string(::getpid()) + "-" +
         std::to_string(g_tempCounter.fetch_add(1)) + std::string(kTempSuffix);
}

// Links the unnamed file open at `fd` in as `name`.
int LinkUnnamed(int fd, const std::string& name) {
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  if (sys::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
  if (errno != ENOENT) return errno;
  // No /proc: the direct way, which needs privilege.
  return sys::linkat(fd, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0 ? 0 : errno;
}

// A temporary file in one folder, locked while it lives, so that no sweep
// takes it: unnamed where the file system allows, else named. Its name, if
// it has one, goes with it unless Keep() was called.
class TTemp {
 public:
  ~TTemp() {
    if (!name_.empty()) sys::unlink(name_.c_str());
  }

  int Make(const std::string& dir, mode_t mode) {
    fd_.Reset(sys::open(DirName(dir), O_TMPFILE | O_RDWR | O_CLOEXEC, mode));
    if (fd_.Ok()) {
      Lock(fd_.Get(), F_WRLCK);
      return 0;
    }
    // EISDIR: a kernel that does not know O_TMPFILE.
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return errno;
    for (int attempt = 0; attempt < 100; ++attempt) {
      std::string name = TempName(dir);
      fd_.Reset(sys::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode));
      if (!fd_.Ok()) {
        if (errno == EEXIST) continue;
        return errno;
      }
      Lock(fd_.Get(), F_WRLCK);
      // A sweep that came between the creation and the lock took the name.
      if (StillNamed(name, fd_.Get())) {
        name_ = std::move(name);
        return 0;
      }
    }
    return EEXIST;
  }

  int Fd() const { return fd_.Get(); }
  bool Named() const { return !name_.empty(); }
  const std::string& Name() const { return name_; }

  // Gives an unnamed file a temporary name in `dir`.
  int GiveName(const std::string& dir) {
    for (int attempt = 0; attempt < 100; ++attempt) {
      std::string name = TempName(dir);
      const int err = LinkUnnamed(fd_.Get(), name);
      if (err == 0) {
        name_ = std::move(name);
        return 0;
      }
      if (err != EEXIST) return err;
    }
    return EEXIST;
  }

  // The name now belongs to the file in place.
  void Keep() { name_.clear(); }

 private:
  TFd fd_;
  std::string name_;
};

// Failures of a replacement that say the folder will not take it, not that
// the disk fails: the file is rewritten in place instead.
bool FolderRefuses(int err) {
  switch (err) {
    case EACCES:
    case EPERM:
    case EROFS:
    case EBUSY:  // the file is a mount point (a bind-mounted file)
    case EXDEV:
    case ENOSPC:  // room for the change, maybe, but not for a second copy
    case EDQUOT:
    case EMLINK:
    case EEXIST:
      return true;
    default:
      return false;
  }
}

// True when replacing the file keeps all that it is.
bool Replaceable(int fd, const struct stat& st, const std::string& target) {
  if (st.st_nlink != 1 || st.st_uid != ::geteuid() || st.st_gid != ::getegid()) return false;
  // An access list is one of these too.
  const ssize_t names = sys::flistxattr(fd, nullptr, 0);
  if (names != 0 && !(names < 0 && errno == ENOTSUP)) return false;
  return sys::access(DirName(DirectoryOf(target)), W_OK) == 0;
}

// `oldFd` is the old file, locked; it is closed once the new file is in
// place, while the new one is still locked, so that a writer waiting on the
// old file is already waiting on the new one when this write ends.
int Replace(const std::string& target, const TNewBytes& bytes, const struct stat& old, TFd& oldFd) {
  const std::string dir = DirectoryOf(target);
  TTemp temp;
  if (const int err = temp.Make(dir, 0600)) return err;
  // A folder may hand its new files its own group (set-group-ID) or an
  // access list of its own (a default list): then the copy would not be the
  // file, and the file is rewritten in place.
  struct stat st {};
  if (::fstat(temp.Fd(), &st) != 0) return errno;
  if (st.st_gid != old.st_gid && ::fchown(temp.Fd(), static_cast<uid_t>(-1), old.st_gid) != 0) return EPERM;
  if (::flistxattr(temp.Fd(), nullptr, 0) > 0) return EPERM;
  if (::fchmod(temp.Fd(), old.st_mode & 07777) != 0) return errno;
  if (!bytes.WriteFrom(temp.Fd(), 0) || sys::fsync(temp.Fd()) != 0) return errno;
  if (!temp.Named())
    if (const int err = temp.GiveName(dir)) return err;
  if (sys::rename(temp.Name().c_str(), target.c_str()) != 0) return errno;
  temp.Keep();
  oldFd.Reset();
  SyncDirectory(dir);
  SweepTemps(dir);
  return 0;
}

// A new file, linked in whole; EEXIST when another writer made it first.
int Create(const std::string& target, const TNewBytes& bytes) {
  const std::string dir = DirectoryOf(target);
  TTemp temp;
  if (const int err = temp.Make(dir, 0666)) return err;
  if (!bytes.WriteFrom(temp.Fd(), 0) || sys::fsync(temp.Fd()) != 0) return errno;
  if (!temp.Named()) {
    if (const int err = LinkUnnamed(temp.Fd(), target)) return err;
  } else if (::renameat2(AT_FDCWD, temp.Name().c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
    temp.Keep();
  } else if (errno != EINVAL || sys::linkat(AT_FDCWD, temp.Name().c_str(), AT_FDCWD, target.c_str(), 0) != 0) {
    // EINVAL: a file system without the flag, where a second name does it.
    return errno;
  }
  SyncDirectory(dir);
  SweepTemps(dir);
  return 0;
}

// Rewrites the file open at `fd` from `old` to `bytes`, from the first byte
// that changes. The space is reserved first, so a full disk changes nothing;
// a later failure puts the old bytes back.
int RewriteInPlace(int fd, std::string_view old, const TNewBytes& bytes) {
  const size_t from = bytes.FirstChange();
  const size_t size = bytes.Size();
  if (size > 0) {
    const int err = sys::posix_fallocate(fd, 0, static_cast<off_t>(size));
    if (err != 0 && err != EOPNOTSUPP) {
      struct stat st {};
      if (::fstat(fd, &st) == 0 && static_cast<size_t>(st.st_size) != old.size()) RestoreAt(fd, 0, {}, old.size());
      return err;
    }
  }
  int err = 0;
  if (::lseek(fd, static_cast<off_t>(from), SEEK_SET) != static_cast<off_t>(from) || !bytes.WriteFrom(fd, from) ||
      (size < old.size() && sys::ftruncate(fd, static_cast<off_t>(size)) != 0) || sys::fsync(fd) != 0)
    err = errno;
  if (err != 0) RestoreAt(fd, from, old.substr(from), old.size());
  return err;
}

}  // namespace

int ReadFile(const std::string& path, TFileRead* out) {
  if (path.empty()) return ENOENT;
  // O_NONBLOCK: a FIFO under the name must not hang the caller.
  TFd fd(sys::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd.Ok()) return errno;
  if (const int err = RegularFile(fd.Get())) return err;
  Lock(fd.Get(), F_RDLCK);  // past another program's lock: read all the same
  TLockedRead r;
  if (const int err = ReadLocked(fd.Get(), &r)) return err;
  r.MoveTo(out);
  return 0;
}

int UpdateFile(const std::string& path, const TEdit& edit, TFileRead* unchanged) {
  if (path.empty()) return ENOENT;
  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    const std::string target = FinalTarget(path);
    bool writable = true;
    TFd fd(sys::open(target.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd.Ok() && (errno == EACCES || errno == EPERM || errno == EROFS || errno == ETXTBSY)) {
      // Read all the same: writing what a key already holds is no change.
      writable = false;
      fd.Reset(sys::open(target.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    }
    if (!fd.Ok()) {
      if (errno != ENOENT) return errno;
      const std::vector<TSplice> splices = edit({}, false);
      if (splices.empty()) return 0;
      const int err = Create(target, TNewBytes({}, false, splices));
      if (err == EEXIST) continue;  // another writer made it first: change that one
      return err;
    }
    if (const int err = RegularFile(fd.Get())) return err;
    const bool locked = Lock(fd.Get(), writable ? F_WRLCK : F_RDLCK);
    if (!StillNamed(target, fd.Get())) continue;  // replaced while we waited
    TLockedRead r;
    if (const int err = ReadLocked(fd.Get(), &r)) return err;
    const std::vector<TSplice> splices = edit(r.Text(), true);
    if (splices.empty()) {
      if (unchanged) r.MoveTo(unchanged);
      return 0;
    }
    if (!locked) return EBUSY;  // another program holds the file
    if (!writable || sys::access(target.c_str(), W_OK) != 0) return EACCES;
    r.read.text = std::string();  // a Unicode file's 8-bit text: not needed past the edit
    const TNewBytes bytes(r.raw, r.utf16, splices);
    if (Replaceable(fd.Get(), r.read.stamp, target)) {
      const int err = Replace(target, bytes, r.read.stamp, fd);
      if (err == 0 || !FolderRefuses(err)) return err;
    }
    return RewriteInPlace(fd.Get(), r.raw, bytes);
  }
  return EBUSY;
}

}  // namespace tamlix::ini
