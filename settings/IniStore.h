// The file side of the INI-file object: a settings file read whole, and
// changed so that it stays the file it was (its other names, owner, group,
// access list and other extended attributes, its encoding) and no other
// writer's change is lost.
//
// Texts handed in and out are the file's 8-bit text. A file that begins with
// the UTF-16LE byte-order mark is decoded one code unit to one byte (a unit
// that the code page cannot hold reads as "?"); a change writes its new text
// in UTF-16LE and leaves every other unit as it was.
//
// Locks: open file description locks on the file itself, shared for a read,
// exclusive from a write's read to the end of the write, so writers take
// turns (threads of one process too) and no reader sees a file half
// rewritten. A writer that finds the file replaced while it waited starts
// again on the new one. Another program's record lock on the file (one that
// is not ours, held as long as that program keeps the file open) is waited
// for at most 2 s: then a read goes on without the lock and a write that
// would change the file is refused. A file system without locks is read and
// written without them.
//
// A change replaces the file (a temporary file in its folder, flushed and
// renamed over it) only where that keeps everything: a regular file with one
// name, owned by the writer's effective user and group, without extended
// attributes, in a folder the writer may write. Anywhere else, or when the
// folder refuses the replacement, the file is rewritten in place from its
// first changed byte, after the space has been reserved; a failure then puts
// the old bytes back. A new file is written unnamed (O_TMPFILE) and linked
// in whole. Where the file system keeps no unnamed files, a named temporary
// file is used, held under a lock while its writer lives, and the next
// writer in the folder removes any that no writer holds.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace tamlix::ini {

// Bytes [begin, end) of the 8-bit text become `text`.
struct TSplice {
  size_t begin = 0;
  size_t end = 0;
  std::string text;
};

// One reading of a file.
struct TFileRead {
  std::string text;  // 8-bit
  struct stat stamp {};  // the file's status as it was read
  // The file's times lie further back than the file system's timestamp
  // granularity, so that any later change shows in them.
  bool settled = false;
};

// Reads the whole regular file at `path` into `out`: 0, or the errno (ENOENT:
// absent; EISDIR or EINVAL: no regular file; EFBIG: 4 GiB or more).
int ReadFile(const std::string& path, TFileRead* out);

// The change to make to the file's current text (`exists` false and `text`
// empty for an absent file), as splices in order that do not overlap; none
// leaves the file as it is. May run more than once in one update.
using TEdit = std::function<std::vector<TSplice>(std::string_view text, bool exists)>;

// Makes the change that `edit` asks for, following a symbolic link to its
// target (also one that does not exist yet). 0 when done or when nothing had
// to change (then `unchanged`, when given, receives the reading), else the
// errno of the refusal, and the file keeps its bytes.
int UpdateFile(const std::string& path, const TEdit& edit, TFileRead* unchanged = nullptr);

}  // namespace tamlix::ini
