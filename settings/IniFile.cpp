#include "IniFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <optional>

#include "platform/Sys.h"

// How the reader reads the text form. Files made on Windows must read as the
// Windows private-profile functions read them, so where a rule was open we
// took theirs:
// - Lines end at LF, CR LF or a lone CR. A UTF-8 byte-order mark at the very
//   start is not part of the first line (so its section header still counts).
// - Blanks are space, tab, vertical tab and form feed; they are trimmed around
//   section names, keys, "=" and values, and around the names a caller passes.
// - A line whose first non-blank character is ";" is a comment; "#" is not.
//   There are no comments after a value.
// - A line whose first non-blank character is "[" is a section header; the
//   name runs to the first "]" (or the end of the line when there is none), and
//   anything after the "]" is ignored. "[]" names the section "".
// - Any other line with "=" is a key: the key before the first "=", the value
//   after it. A line without "=" is no key. Lines before the first header
//   belong to no section and cannot be read.
// - Names compare without regard to ASCII letter case. Bytes above 127 compare
//   as they are: the file's code page is not known, so we do not guess one.
// - Only the first section of a name is searched, and in it the first key of a
//   name. The list operations name each section (and each key) once, with its
//   first spelling, since only that one can be reached.
// - After trimming, one matching pair of double or single quotes around a value
//   is removed, then at most 2047 characters are kept.
//
// Whole numbers (TryStrToInt), the conversion that the readers expect:
// leading spaces are skipped (" 7" gives 7); then an optional "+" or "-" and
// decimal digits in signed 32-bit range ("-1" gives -1, "4294967296" and
// "2147483648" fail), or "$" and one or more hexadecimal digits that fit 32
// bits, read as the bit pattern ("$15" gives 21, "$FFFFFFFF" gives -1,
// "$100000000" fails; no sign before "$"). Nothing may follow the digits
// ("10 s" fails); "", "-" and "$" fail. "0x15" fails here: only ReadInteger
// turns a leading "0x" into "$", so ReadInteger reads it as 21.
//
// How the writer writes: the whole file is read, changed in memory and written
// to a temporary file in the same directory, which is flushed and renamed over
// the old one (keeping its permissions), so a reader sees either the old file
// or the new one. Lines the write does not touch keep their bytes. A replaced
// value becomes key=value with the key as the file spells it; a new key goes
// after the last key of its section (after the header when there is none); a
// new section goes at the end of the file. New lines take the file's line
// ending (CR LF when its first line ends so, else LF); a new file gets LF.

namespace tamlix {
namespace {

constexpr size_t kMaxValue = 2047;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

std::string_view Trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && IsBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

// The value as a reader gets it from the text after "=".
std::string_view ReadableValue(std::string_view raw) {
  std::string_view v = Trim(raw);
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
    v = v.substr(1, v.size() - 2);
  return v.substr(0, kMaxValue);
}

enum class Kind { Other, Header, Key };

// One line of the file; views point into the owning TIniText's buffer.
struct Line {
  std::string_view body;  // without the line ending
  std::string_view eol;   // "", "\n", "\r\n" or "\r"
  Kind kind = Kind::Other;
  std::string_view name;   // section name (Header) or key (Key), trimmed
  std::string_view value;  // raw text after "=" (Key)
};

Line Classify(std::string_view body, std::string_view eol) {
  Line line{body, eol};
  std::string_view t = Trim(body);
  if (t.empty() || t.front() == ';') return line;
  if (t.front() == '[') {
    std::string_view inner = t.substr(1);
    size_t close = inner.find(']');
    if (close != std::string_view::npos) inner = inner.substr(0, close);
    line.kind = Kind::Header;
    line.name = Trim(inner);
    return line;
  }
  size_t eq = t.find('=');
  if (eq == std::string_view::npos) return line;
  line.kind = Kind::Key;
  line.name = Trim(t.substr(0, eq));
  line.value = t.substr(eq + 1);
  return line;
}

// The parsed file: its bytes and its lines in order.
class TIniText {
 public:
  explicit TIniText(std::string bytes) : bytes_(std::move(bytes)) {
    std::string_view all(bytes_);
    if (all.substr(0, 3) == "\xEF\xBB\xBF") {
      bom_ = all.substr(0, 3);
      all.remove_prefix(3);
    }
    size_t pos = 0;
    while (pos < all.size()) {
      size_t end = all.find_first_of("\r\n", pos);
      if (end == std::string_view::npos) {
        lines_.push_back(Classify(all.substr(pos), {}));
        break;
      }
      size_t eolLen = (all[end] == '\r' && end + 1 < all.size() && all[end + 1] == '\n') ? 2 : 1;
      lines_.push_back(Classify(all.substr(pos, end - pos), all.substr(end, eolLen)));
      pos = end + eolLen;
    }
  }

  TIniText(const TIniText&) = delete;
  TIniText& operator=(const TIniText&) = delete;

  const std::vector<Line>& Lines() const { return lines_; }
  std::string_view Bom() const { return bom_; }

  // Index of the first header of `section`, if any.
  std::optional<size_t> FindSection(std::string_view section) const {
    for (size_t i = 0; i < lines_.size(); ++i)
      if (lines_[i].kind == Kind::Header && SameName(lines_[i].name, section)) return i;
    return std::nullopt;
  }

  // One past the last line of the section whose header is at `header`.
  size_t SectionEnd(size_t header) const {
    size_t i = header + 1;
    while (i < lines_.size() && lines_[i].kind != Kind::Header) ++i;
    return i;
  }

  // Index of the first `key` line in the section, if any.
  std::optional<size_t> FindKey(size_t header, std::string_view key) const {
    for (size_t i = header + 1, end = SectionEnd(header); i < end; ++i)
      if (lines_[i].kind == Kind::Key && SameName(lines_[i].name, key)) return i;
    return std::nullopt;
  }

  // The ending for lines we add: the file's own when its first line has CR LF.
  std::string_view NewLineEnding() const {
    for (const Line& l : lines_)
      if (!l.eol.empty()) return l.eol == "\r\n" ? "\r\n" : "\n";
    return "\n";
  }

 private:
  std::string bytes_;
  std::string_view bom_;
  std::vector<Line> lines_;
};

// Builds new file bytes from a TIniText with some lines replaced, dropped or
// inserted; every untouched line is copied byte for byte.
class TIniEdit {
 public:
  explicit TIniEdit(const TIniText& text) : text_(text) { out_.append(text.Bom()); }

  void Copy(size_t from, size_t to) {
    for (size_t i = from; i < to; ++i) {
      const Line& l = text_.Lines()[i];
      out_.append(l.body);
      out_.append(l.eol);
    }
  }
  // Copies line i but ends it when it was the unterminated last line, so that
  // a line can follow it.
  void CopyEnded(size_t i) {
    const Line& l = text_.Lines()[i];
    out_.append(l.body);
    out_.append(l.eol.empty() ? text_.NewLineEnding() : l.eol);
  }
  void Add(std::string_view body, std::string_view eol) {
    out_.append(body);
    out_.append(eol);
  }
  std::string Take() { return std::move(out_); }

 private:
  const TIniText& text_;
  std::string out_;
};

// Reads a whole regular file. nullopt with errno set when it cannot be read;
// errno ENOENT means the file is absent.
std::optional<std::string> ReadWholeFile(const std::string& path, struct stat* info) {
  // O_NONBLOCK: a FIFO under the name must not hang the caller.
  int fd = sys::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  const bool statted = ::fstat(fd, &st) == 0;
  if (!statted || !S_ISREG(st.st_mode)) {
    // Only a regular file is settings; ENOENT must keep meaning "absent".
    int err = !statted && errno != ENOENT ? errno : (S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
    ::close(fd);
    errno = err;
    return std::nullopt;
  }
  std::string bytes;
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      ::close(fd);
      errno = err;
      return std::nullopt;
    }
    if (n == 0) break;
    bytes.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);  // read-only: a failing close loses nothing
  if (info) *info = st;
  return bytes;
}

// The file as the readers see it: an absent or unreadable file reads as empty.
TIniText LoadForReading(const std::string& path) {
  std::optional<std::string> bytes = ReadWholeFile(path, nullptr);
  return TIniText(bytes ? std::move(*bytes) : std::string());
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = sys::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The file a write must replace: the target of a symbolic link, so that the
// link stays and the file it names gets the new text.
std::string WriteTarget(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
  char* real = ::realpath(path.c_str(), nullptr);
  if (!real) return path;
  std::string target(real);
  std::free(real);
  return target;
}

std::atomic<unsigned> g_tempCounter{0};

// Replaces `path` by a file holding `bytes`: a temporary file in the same
// directory is written, flushed and renamed over it. On failure the old file
// is untouched and the temporary file is gone. `old` is the old file's status
// (its permissions and owner carry over), or null for a new file.
bool ReplaceFile(const std::string& path, std::string_view bytes, const struct stat* old) {
  const std::string dir = DirectoryOf(path);
  std::string temp;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temp = dir + ".tamlix-ini-" + std::to_string(::getpid()) + "-" +
           std::to_string(g_tempCounter.fetch_add(1)) + ".tmp";
    fd = sys::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, old ? 0600 : 0666);
    if (fd < 0 && errno != EEXIST) return false;
  }
  if (fd < 0) return false;
  bool ok = true;
  if (old) {
    // Owner first: changing it may clear set-id bits that the mode restores.
    if (::fchown(fd, old->st_uid, old->st_gid) != 0) { /* keep our own owner */ }
    ok = ::fchmod(fd, old->st_mode & 07777) == 0;
  }
  ok = ok && WriteAll(fd, bytes) && sys::fsync(fd) == 0;
  ok = (sys::close(fd) == 0) && ok;
  ok = ok && sys::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) {
    sys::unlink(temp.c_str());
    return false;
  }
  // The rename is done; flushing the directory only makes it durable sooner,
  // so a failure here does not undo the write.
  int dfd = sys::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    sys::fsync(dfd);
    sys::close(dfd);
  }
  return true;
}

bool HasLineBreakOrNul(std::string_view s) { return s.find_first_of(std::string_view("\r\n\0", 3)) != s.npos; }

}  // namespace

TIniFile::TIniFile(std::string fileName) : fileName_(std::move(fileName)) {}

std::string TIniFile::ReadString(std::string_view section, std::string_view key, std::string_view def) const {
  TIniText text = LoadForReading(fileName_);
  std::optional<size_t> header = text.FindSection(Trim(section));
  if (!header) return std::string(def);
  std::optional<size_t> line = text.FindKey(*header, Trim(key));
  if (!line) return std::string(def);
  return std::string(ReadableValue(text.Lines()[*line].value));
}

int32_t TIniFile::ReadInteger(std::string_view section, std::string_view key, int32_t def) const {
  std::string s = ReadString(section, key, "");
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s.replace(0, 2, "$");
  int32_t value = 0;
  return TryStrToInt(s, value) ? value : def;
}

bool TIniFile::ReadBool(std::string_view section, std::string_view key, bool def) const {
  return ReadInteger(section, key, def ? 1 : 0) != 0;
}

void TIniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
  const std::string_view sec = Trim(section);
  const std::string_view k = Trim(key);
  // Text that the file form cannot hold would read back as something else or
  // move the lines after it into another section: refuse it.
  const bool unrepresentable = HasLineBreakOrNul(sec) || sec.find(']') != sec.npos ||
                               HasLineBreakOrNul(k) || k.find('=') != k.npos ||
                               (!k.empty() && (k.front() == '[' || k.front() == ';')) ||
                               HasLineBreakOrNul(value);
  if (unrepresentable) throw EIniFileError("Unable to write to " + fileName_);

  const std::string target = WriteTarget(fileName_);
  struct stat info {};
  std::optional<std::string> bytes = ReadWholeFile(target, &info);
  // Only an absent file may be written from scratch: anything else we could
  // not read would be lost by the replacement.
  if (!bytes && errno != ENOENT) throw EIniFileError("Unable to write to " + fileName_);
  const bool existed = bytes.has_value();
  TIniText text(existed ? std::move(*bytes) : std::string());
  const std::string_view eol = text.NewLineEnding();
  const std::string keyLine = std::string(k) + "=" + std::string(value);

  TIniEdit edit(text);
  const size_t count = text.Lines().size();
  if (std::optional<size_t> header = text.FindSection(sec)) {
    if (std::optional<size_t> at = text.FindKey(*header, k)) {
      const Line& old = text.Lines()[*at];
      edit.Copy(0, *at);
      edit.Add(std::string(old.name) + "=" + std::string(value), old.eol);
      edit.Copy(*at + 1, count);
    } else {
      size_t last = *header;
      for (size_t i = *header + 1, end = text.SectionEnd(*header); i < end; ++i)
        if (text.Lines()[i].kind == Kind::Key) last = i;
      edit.Copy(0, last);
      edit.CopyEnded(last);
      edit.Add(keyLine, eol);
      edit.Copy(last + 1, count);
    }
  } else {
    if (count > 0) {
      edit.Copy(0, count - 1);
      edit.CopyEnded(count - 1);
    }
    edit.Add("[" + std::string(sec) + "]", eol);
    edit.Add(keyLine, eol);
  }
  if (!ReplaceFile(target, edit.Take(), existed ? &info : nullptr))
    throw EIniFileError("Unable to write to " + fileName_);
}

void TIniFile::WriteBool(std::string_view section, std::string_view key, bool value) {
  WriteString(section, key, value ? "1" : "0");
}

std::vector<std::string> TIniFile::ReadSections() const {
  TIniText text = LoadForReading(fileName_);
  std::vector<std::string> names;
  for (const Line& l : text.Lines()) {
    if (l.kind != Kind::Header) continue;
    bool seen = false;
    for (const std::string& n : names) seen = seen || SameName(n, l.name);
    if (!seen) names.emplace_back(l.name);
  }
  return names;
}

std::vector<std::string> TIniFile::ReadSectionValues(std::string_view section) const {
  TIniText text = LoadForReading(fileName_);
  std::vector<std::string> result;
  std::optional<size_t> header = text.FindSection(Trim(section));
  if (!header) return result;
  std::vector<std::string_view> keys;
  for (size_t i = *header + 1, end = text.SectionEnd(*header); i < end; ++i) {
    const Line& l = text.Lines()[i];
    if (l.kind != Kind::Key) continue;
    bool seen = false;
    for (std::string_view k : keys) seen = seen || SameName(k, l.name);
    if (seen) continue;
    keys.push_back(l.name);
    result.push_back(std::string(l.name) + "=" + std::string(ReadableValue(l.value)));
  }
  return result;
}

bool TIniFile::SectionExists(std::string_view section) const {
  TIniText text = LoadForReading(fileName_);
  std::optional<size_t> header = text.FindSection(Trim(section));
  if (!header) return false;
  for (size_t i = *header + 1, end = text.SectionEnd(*header); i < end; ++i)
    if (text.Lines()[i].kind == Kind::Key) return true;
  return false;
}

void TIniFile::EraseSection(std::string_view section) {
  const std::string_view sec = Trim(section);
  const std::string target = WriteTarget(fileName_);
  struct stat info {};
  std::optional<std::string> bytes = ReadWholeFile(target, &info);
  if (!bytes) {
    if (errno == ENOENT) return;  // nothing to erase
    throw EIniFileError("Unable to write to " + fileName_);
  }
  TIniText text(std::move(*bytes));
  // Every section of the name goes, so that after an erase the section is
  // gone rather than a shadowed duplicate surfacing in its place.
  TIniEdit edit(text);
  bool erased = false;
  const size_t count = text.Lines().size();
  size_t i = 0;
  while (i < count) {
    const Line& l = text.Lines()[i];
    if (l.kind == Kind::Header && SameName(l.name, sec)) {
      i = text.SectionEnd(i);
      erased = true;
    } else {
      edit.Copy(i, i + 1);
      ++i;
    }
  }
  if (!erased) return;
  if (!ReplaceFile(target, edit.Take(), &info)) throw EIniFileError("Unable to write to " + fileName_);
}

bool TryStrToInt(std::string_view text, int32_t& value) {
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  if (i == text.size()) return false;
  if (text[i] == '$') {
    ++i;
    if (i == text.size()) return false;
    uint64_t v = 0;
    for (; i < text.size(); ++i) {
      char c = text[i];
      int d;
      if (c >= '0' && c <= '9') d = c - '0';
      else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
      else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
      else return false;
      v = v * 16 + static_cast<uint64_t>(d);
      if (v > 0xFFFFFFFFull) return false;
    }
    value = static_cast<int32_t>(static_cast<uint32_t>(v));
    return true;
  }
  bool negative = false;
  if (text[i] == '+' || text[i] == '-') {
    negative = text[i] == '-';
    ++i;
  }
  if (i == text.size()) return false;
  const uint64_t limit = negative ? 2147483648ull : 2147483647ull;
  uint64_t v = 0;
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
    if (v > limit) return false;
  }
  value = negative ? static_cast<int32_t>(-static_cast<int64_t>(v)) : static_cast<int32_t>(v);
  return true;
}

int32_t StrToInt(std::string_view text) {
  int32_t value = 0;
  if (!TryStrToInt(text, value)) throw EConvertError("'" + std::string(text) + "' is not a valid integer value");
  return value;
}

}  // namespace tamlix
