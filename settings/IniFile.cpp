#include "IniFile.h"

#include <sys/stat.h>

#include <cerrno>
#include <memory>
#include <optional>
#include <unordered_set>

#include "CodePage.h"
#include "IniStore.h"

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
// - Names compare without regard to letter case, in the files' code page
//   (CodePage.h): "CAF\xC9" names the section "caf\xE9".
// - Only the first section of a name is searched, and in it the first key of a
//   name. The list operations name each section (and each key) once, with its
//   first spelling, since only that one can be reached.
// - After trimming, one matching pair of double or single quotes around a value
//   is removed, then at most 2047 characters are kept, and of those only what
//   comes before a NUL byte: the Windows functions hand values over as
//   NUL-terminated text.
// - A file of 4 GiB or more is not read (it reads as unreadable).
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
// How the writer writes (IniStore.h says how the file is kept): lines the
// write does not touch keep their bytes. A replaced value becomes key=value
// with the key as the file spells it; a new key goes after the last key of
// its section (after the header when there is none); a new section goes at
// the end of the file. New lines take the file's own line ending, the one
// its first line ends with (CR LF, LF or a lone CR); a file without one, and
// a new file, get CR LF, as on Windows. A write of the value that the key
// already reads as changes nothing, so opening a page never rewrites a
// quoted, padded, overlong or NUL-holding value that the user did not touch.
// An existing file that the process may not write (access(W_OK)) is refused,
// as the Windows functions refuse a read-only file.

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

char Lower(char c) { return LowerInCodePage(c); }

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

// FNV-1a over the name without regard to ASCII letter case.
uint32_t NameHash(std::string_view s) {
  uint32_t h = 2166136261u;
  for (char c : s) {
    h ^= static_cast<unsigned char>(Lower(c));
    h *= 16777619u;
  }
  return h;
}

struct CaseBlindHash {
  size_t operator()(std::string_view s) const { return NameHash(s); }
};
struct CaseBlindEqual {
  bool operator()(std::string_view a, std::string_view b) const { return SameName(a, b); }
};

// The value as a reader gets it from the text after "=".
std::string_view ReadableValue(std::string_view raw) {
  std::string_view v = Trim(raw);
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
    v = v.substr(1, v.size() - 2);
  v = v.substr(0, kMaxValue);
  return v.substr(0, v.find('\0'));
}

enum class Kind { Other, Header, Key };

// One line of a file, by its offsets; the views point into the file's bytes.
struct Line {
  size_t begin = 0;    // its first byte
  size_t bodyEnd = 0;  // its line ending's first byte (the file's end when it has none)
  size_t end = 0;      // the next line's first byte
  Kind kind = Kind::Other;
  std::string_view name;   // section name (Header) or key (Key), trimmed
  std::string_view value;  // raw text after "=" (Key)

  bool Ended() const { return end > bodyEnd; }
};

// Where the line of `bytes` that begins at `pos` ends: its body ends at
// *bodyEnd (its line ending or the file's end), the next line begins at the
// result.
size_t LineEnd(std::string_view bytes, size_t pos, size_t* bodyEnd) {
  const size_t n = bytes.size();
  size_t e = pos;
  while (e < n && bytes[e] != '\n' && bytes[e] != '\r') ++e;
  *bodyEnd = e;
  if (e == n) return n;
  return bytes[e] == '\r' && e + 1 < n && bytes[e + 1] == '\n' ? e + 2 : e + 1;
}

// The first byte at or after `pos` that is no blank (a line's end included).
size_t SkipBlanks(std::string_view bytes, size_t pos) {
  while (pos < bytes.size() && IsBlank(bytes[pos])) ++pos;
  return pos;
}

// The line of `bytes` that begins at `pos` (< bytes.size()).
Line LineAt(std::string_view bytes, size_t pos) {
  Line line;
  line.begin = pos;
  line.end = LineEnd(bytes, pos, &line.bodyEnd);
  const size_t first = SkipBlanks(bytes, pos);
  if (first == line.bodyEnd || bytes[first] == ';') return line;
  const std::string_view t = Trim(bytes.substr(first, line.bodyEnd - first));
  if (t.front() == '[') {
    std::string_view inner = t.substr(1);
    const size_t close = inner.find(']');
    if (close != std::string_view::npos) inner = inner.substr(0, close);
    line.kind = Kind::Header;
    line.name = Trim(inner);
    return line;
  }
  const size_t eq = t.find('=');
  if (eq == std::string_view::npos) return line;
  line.kind = Kind::Key;
  line.name = Trim(t.substr(0, eq));
  line.value = t.substr(eq + 1);
  return line;
}

// A file's bytes and an index of its section names: for each name (without
// regard to letter case) the offset of its first header. Nothing else is
// kept per line, so the text costs little more than the bytes themselves.
class TIniText {
 public:
  TIniText() = default;
  // Borrows `bytes`, which must outlive the text.
  explicit TIniText(std::string_view bytes) : bytes_(bytes) { Build(); }
  explicit TIniText(std::string&& bytes)
      : owned_(std::make_unique<const std::string>(std::move(bytes))), bytes_(*owned_) {
    Build();
  }

  std::string_view Bytes() const { return bytes_; }
  // Where the first line begins (after a byte-order mark).
  size_t Begin() const { return begin_; }
  size_t Size() const { return bytes_.size(); }
  Line At(size_t pos) const { return LineAt(bytes_, pos); }

  // The first header of `section`, if any.
  std::optional<Line> FindSection(std::string_view section) const {
    if (slots_.empty()) return std::nullopt;
    const uint32_t hash = NameHash(section);
    const size_t mask = slots_.size() - 1;
    for (size_t i = hash & mask; slots_[i].at != 0; i = (i + 1) & mask) {
      if (slots_[i].hash != hash) continue;
      const Line header = At(slots_[i].at - 1);
      if (SameName(header.name, section)) return header;
    }
    return std::nullopt;
  }

  // Whether `header` is the first one of its name, the one that reads count.
  bool IsFirstOfName(const Line& header) const {
    const std::optional<Line> first = FindSection(header.name);
    return first && first->begin == header.begin;
  }

  // Where the section under `header` ends: the next header, or the file's end.
  size_t SectionEnd(const Line& header) const {
    size_t pos = header.end;
    while (pos < Size()) {
      const Line line = At(pos);
      if (line.kind == Kind::Header) break;
      pos = line.end;
    }
    return pos;
  }

  // Calls `f` for every key line of the section under `header`, in file
  // order, until `f` returns false.
  template <class F>
  void ForEachKey(const Line& header, F&& f) const {
    for (size_t pos = header.end; pos < Size();) {
      const Line line = At(pos);
      if (line.kind == Kind::Header) return;
      if (line.kind == Kind::Key && !f(line)) return;
      pos = line.end;
    }
  }

  // The first `key` line of the section under `header`, if any.
  std::optional<Line> FindKey(const Line& header, std::string_view key) const {
    std::optional<Line> found;
    ForEachKey(header, [&](const Line& line) {
      if (SameName(line.name, key)) found = line;
      return !found;
    });
    return found;
  }

  // The ending for lines we add: the one the first line ends with; CR LF
  // where no line ends yet.
  std::string_view NewLineEnding() const {
    const size_t e = Bytes().find_first_of("\r\n", begin_);
    if (e == std::string_view::npos) return "\r\n";
    if (bytes_[e] == '\n') return "\n";
    return e + 1 < Size() && bytes_[e + 1] == '\n' ? "\r\n" : "\r";
  }

  // True when the last line has no ending, so that no line can follow it.
  bool LastLineOpen() const { return Size() > begin_ && bytes_.back() != '\n' && bytes_.back() != '\r'; }

 private:
  struct Slot {
    uint32_t hash = 0;
    uint32_t at = 0;  // the header's offset + 1; 0: free
  };

  void Build() {
    if (Bytes().substr(0, 3) == "\xEF\xBB\xBF") begin_ = 3;
    // Only header lines are parsed; the others are only skipped.
    for (size_t pos = begin_; pos < bytes_.size();) {
      const size_t first = SkipBlanks(bytes_, pos);
      if (first < bytes_.size() && bytes_[first] == '[') {
        const Line line = At(pos);
        Index(line);
        pos = line.end;
      } else {
        size_t bodyEnd;
        pos = LineEnd(bytes_, first, &bodyEnd);
      }
    }
  }

  void Index(const Line& header) {
    if (slots_.empty()) slots_.resize(16);
    const uint32_t hash = NameHash(header.name);
    const size_t mask = slots_.size() - 1;
    size_t i = hash & mask;
    for (; slots_[i].at != 0; i = (i + 1) & mask)
      if (slots_[i].hash == hash && SameName(At(slots_[i].at - 1).name, header.name)) return;  // first one wins
    slots_[i] = Slot{hash, static_cast<uint32_t>(header.begin + 1)};
    if (++used_ * 2 > slots_.size()) Grow();
  }

  void Grow() {
    std::vector<Slot> old(slots_.size() * 2);
    old.swap(slots_);
    const size_t mask = slots_.size() - 1;
    for (const Slot& s : old) {
      if (s.at == 0) continue;
      size_t i = s.hash & mask;
      while (slots_[i].at != 0) i = (i + 1) & mask;
      slots_[i] = s;
    }
  }

  std::unique_ptr<const std::string> owned_;  // on the heap: bytes_ stays valid when the text moves
  std::string_view bytes_;
  size_t begin_ = 0;
  std::vector<Slot> slots_;  // open addressing; a power of two in size, at most half full
  size_t used_ = 0;
};

bool HasLineBreakOrNul(std::string_view s) { return s.find_first_of(std::string_view("\r\n\0", 3)) != s.npos; }

bool SameTime(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace

// One reading of the file: its text and what identified the file then.
class TIniFile::TView {
 public:
  // Reads `path` afresh. A file that cannot be read gives an empty text, and
  // `error` holds errno (ENOENT for an absent file).
  static std::shared_ptr<TView> Read(const std::string& path) {
    ini::TFileRead read;
    if (const int err = ini::ReadFile(path, &read)) {
      auto view = std::make_shared<TView>();
      view->error = err;
      return view;
    }
    return Of(std::move(read));
  }

  static std::shared_ptr<TView> Of(ini::TFileRead&& read) {
    auto view = std::make_shared<TView>();
    view->text = TIniText(std::move(read.text));
    view->stamp = read.stamp;
    view->settled = read.settled;
    return view;
  }

  // True when the file at `path` is still the one this view read.
  bool Current(const std::string& path) const {
    if (!settled) return false;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    return st.st_dev == stamp.st_dev && st.st_ino == stamp.st_ino && st.st_size == stamp.st_size &&
           SameTime(st.st_mtim, stamp.st_mtim) && SameTime(st.st_ctim, stamp.st_ctim);
  }

  TIniText text;
  int error = 0;
  struct stat stamp {};
  // Read after the file's last change by more than its times' granularity:
  // a later change shows in the times.
  bool settled = false;
};

TIniFile::TIniFile(std::string fileName) : fileName_(std::move(fileName)) {}

std::shared_ptr<const TIniFile::TView> TIniFile::View() const {
  if (view_ && view_->Current(fileName_)) return view_;
  view_.reset();  // one copy of the file at a time
  view_ = TView::Read(fileName_);
  return view_;
}

std::string TIniFile::ReadString(std::string_view section, std::string_view key, std::string_view def) const {
  const std::shared_ptr<const TView> view = View();
  const std::optional<Line> header = view->text.FindSection(Trim(section));
  if (!header) return std::string(def);
  const std::optional<Line> line = view->text.FindKey(*header, Trim(key));
  if (!line) return std::string(def);
  return std::string(ReadableValue(line->value));
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

  auto edit = [&](std::string_view bytes, bool) {
    const TIniText text(bytes);
    std::vector<ini::TSplice> splices;
    const std::optional<Line> header = text.FindSection(sec);
    const std::optional<Line> at = header ? text.FindKey(*header, k) : std::nullopt;
    if (at && ReadableValue(at->value) == value) return splices;
    const std::string_view eol = text.NewLineEnding();
    ini::TSplice& s = splices.emplace_back();
    if (at) {
      s.begin = at->begin;
      s.end = at->bodyEnd;
      s.text.append(at->name).append("=").append(value);
    } else if (header) {
      Line last = *header;
      text.ForEachKey(*header, [&](const Line& line) {
        last = line;
        return true;
      });
      s.begin = s.end = last.end;
      if (!last.Ended()) s.text.append(eol);
      s.text.append(k).append("=").append(value).append(eol);
    } else {
      s.begin = s.end = text.Size();
      if (text.LastLineOpen()) s.text.append(eol);
      s.text.append("[").append(sec).append("]").append(eol);
      s.text.append(k).append("=").append(value).append(eol);
    }
    return splices;
  };
  Update(edit);
}

void TIniFile::WriteBool(std::string_view section, std::string_view key, bool value) {
  WriteString(section, key, value ? "1" : "0");
}

std::vector<std::string> TIniFile::ReadSections() const {
  const std::shared_ptr<const TView> view = View();
  const TIniText& text = view->text;
  std::vector<std::string> names;
  for (size_t pos = text.Begin(); pos < text.Size();) {
    const Line line = text.At(pos);
    if (line.kind == Kind::Header && text.IsFirstOfName(line)) names.emplace_back(line.name);
    pos = line.end;
  }
  return names;
}

std::vector<std::string> TIniFile::ReadSectionValues(std::string_view section) const {
  const std::shared_ptr<const TView> view = View();
  std::vector<std::string> result;
  const std::optional<Line> header = view->text.FindSection(Trim(section));
  if (!header) return result;
  std::unordered_set<std::string_view, CaseBlindHash, CaseBlindEqual> seen;
  view->text.ForEachKey(*header, [&](const Line& line) {
    if (seen.insert(line.name).second)
      result.push_back(std::string(line.name) + "=" + std::string(ReadableValue(line.value)));
    return true;
  });
  return result;
}

bool TIniFile::SectionExists(std::string_view section) const {
  const std::shared_ptr<const TView> view = View();
  const std::optional<Line> header = view->text.FindSection(Trim(section));
  bool any = false;
  if (header) {
    view->text.ForEachKey(*header, [&](const Line&) {
      any = true;
      return false;
    });
  }
  return any;
}

void TIniFile::EraseSection(std::string_view section) {
  const std::string_view sec = Trim(section);
  // Every section of the name goes, so that after an erase the section is
  // gone rather than a shadowed duplicate surfacing in its place.
  Update([&](std::string_view bytes, bool) {
    const TIniText text(bytes);
    std::vector<ini::TSplice> splices;
    if (!text.FindSection(sec)) return splices;
    for (size_t pos = text.Begin(); pos < text.Size();) {
      const Line line = text.At(pos);
      if (line.kind == Kind::Header && SameName(line.name, sec)) {
        const size_t end = text.SectionEnd(line);
        splices.push_back({pos, end, {}});
        pos = end;
      } else {
        pos = line.end;
      }
    }
    return splices;
  });
}

void TIniFile::Update(const ini::TEdit& edit) {
  view_.reset();  // one copy of the file at a time
  ini::TFileRead unchanged;
  bool same = false;
  const int err = ini::UpdateFile(fileName_, [&](std::string_view bytes, bool exists) {
    std::vector<ini::TSplice> splices = edit(bytes, exists);
    same = splices.empty() && exists;
    return splices;
  }, &unchanged);
  if (err != 0) throw EIniFileError("Unable to write to " + fileName_);
  // A write that changed nothing read the file afresh: its reading serves
  // the next reads.
  if (same) view_ = TView::Of(std::move(unchanged));
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
