// The INI-file object: access to one settings file by name, one key at a time.
// Creating the object neither opens nor creates the file; every operation
// goes to the file when it is made. Files made on Windows read as the Windows
// private-profile functions read them. Texts are bytes (the settings files'
// 8-bit code page, CodePage.h): nothing is decoded or re-encoded here, except
// in a file that begins with the UTF-16LE byte-order mark, which is read and
// written as UTF-16LE (IniStore.h). Each write is whole and keeps every other
// writer's keys: writers of one file, in any process, take turns under a lock
// on it, and a write keeps the file's identity (IniStore.h says how). Not
// thread-safe per object; separate objects may be used from any thread.
//
// Cost: one read of a file takes time linear in its size and memory near it
// (its bytes and a small index of its section names). The object keeps its
// last view of the file and reads it again only when the file has changed:
// each read compares the file's device, inode, size, modification and
// status-change times (one stat) with the view's. A view is relied on only
// when the file's times lay further back than the file system's timestamp
// granularity when it was read (2 s where the file system is not known to
// stamp finely); until then each read reads afresh. A write never relies on
// a view: it reads the file afresh under the lock, so it keeps whatever
// another program wrote just before it.
//
// Failure seam (platform/Sys.h): a read uses open and fstatfs (a write too,
// after its first open). A write to an
// existing file reaches the system in this order: open (the file, to read
// it), access (write permission of the file), then, for a file of one name
// and the writer's own owner and group, flistxattr and access (the folder),
// then either the replacement: open (an unnamed temporary file in
// the folder), write..., fsync, linkat (its temporary name), rename, and the
// folder's open, fsync and close (whose failures are ignored: the new file is
// already in place); or the rewrite in place: posix_fallocate, write...,
// ftruncate (when it shrinks), fsync. A new file: open (fails: absent), open
// (the unnamed file), write..., fsync, linkat, and the folder's flush. A write
// that would leave the file as it is stops after the first open.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tamlix {

namespace ini {
struct TSplice;
using TEdit = std::function<std::vector<TSplice>(std::string_view text, bool exists)>;
}  // namespace ini

// A refused write or erase: "Unable to write to <path>".
class EIniFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Text that is not a whole number: "'<text>' is not a valid integer value".
class EConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TIniFile {
 public:
  // A bare file name (no directory) is looked for in the current directory.
  explicit TIniFile(std::string fileName);

  const std::string& FileName() const { return fileName_; }

  // The value (at most 2047 characters, and only up to a NUL byte in it), or
  // `def` when the file, section or key is absent. A key present with an
  // empty value gives "". A file that cannot be read (or is no regular file)
  // reads as absent.
  std::string ReadString(std::string_view section, std::string_view key, std::string_view def) const;
  // "0x"/"0X" read as "$"; signed 32-bit decimal, or hexadecimal after "$";
  // anything else gives `def`.
  int32_t ReadInteger(std::string_view section, std::string_view key, int32_t def) const;
  bool ReadBool(std::string_view section, std::string_view key, bool def) const;

  // A key that already reads as `value` is left as it is, byte for byte.
  // Otherwise throw EIniFileError and change nothing when refused: by the
  // platform, for an existing file that the process may not write (a
  // read-only file), or for text that the file form cannot hold (a "]", line
  // break or NUL in a section name; "=", a line break or NUL in a key, or a
  // key that would read as a header or comment: first character "[" or ";";
  // a line break or NUL in a value). An existing file that cannot be read is
  // refused, never replaced.
  void WriteString(std::string_view section, std::string_view key, std::string_view value);
  void WriteBool(std::string_view section, std::string_view key, bool value);

  // Section names in file order, each name once (as first spelled).
  std::vector<std::string> ReadSections() const;
  // The "key=value" lines of one section, in file order, each key once, the
  // value as ReadString gives it.
  std::vector<std::string> ReadSectionValues(std::string_view section) const;
  // True when the section holds at least one key.
  bool SectionExists(std::string_view section) const;
  // Removes the section with all its lines (every section of that name, so
  // no shadowed duplicate surfaces); an absent section or file is left as it
  // is. Throws EIniFileError when refused, as WriteString.
  void EraseSection(std::string_view section);

 private:
  class TView;
  // The view to read from: the last one while the file is unchanged.
  std::shared_ptr<const TView> View() const;
  // Makes the change; throws EIniFileError when refused.
  void Update(const ini::TEdit& edit);

  std::string fileName_;
  // The last view of the file; shared by copies of the object, never changed.
  mutable std::shared_ptr<const TView> view_;
};

// The signed 32-bit conversion that ReadInteger uses; false when `text` is
// not a whole number.
bool TryStrToInt(std::string_view text, int32_t& value);
// Strict conversion: throws EConvertError for text that is not a whole number.
int32_t StrToInt(std::string_view text);

}  // namespace tamlix
