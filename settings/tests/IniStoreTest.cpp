// How a settings file is kept through writes: its identity (links, owner,
// access list, folder), its encoding, its writers taking turns, and no
// temporary file left by a writer that dies.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "IniFile.h"
#include "platform/Sys.h"
#include "platform/tests/TestProcesses.h"
#include "settings/tests/SettingsTestDir.h"

namespace tamlix {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The bytes of a file saved as "Unicode" on Windows: the byte-order mark,
// then each unit of `text` little-endian.
std::string Utf16File(std::u16string_view text) {
  std::string bytes = "\xFF\xFE";
  for (char16_t c : text) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>(c >> 8));
  }
  return bytes;
}

// An access list granting user 1005 read and write, in the kernel's form.
std::string AccessList() {
  struct Entry {
    uint16_t tag, perm;
    uint32_t id;
  } entries[] = {{0x01, 6, ~0u}, {0x02, 6, 1005}, {0x04, 4, ~0u}, {0x10, 6, ~0u}, {0x20, 0, ~0u}};
  std::string bytes(4, '\0');
  bytes[0] = 2;  // version
  bytes.append(reinterpret_cast<const char*>(entries), sizeof entries);
  return bytes;
}

std::optional<std::string> Xattr(const std::string& path, const char* name) {
  char buf[256];
  const ssize_t n = ::getxattr(path.c_str(), name, buf, sizeof buf);
  if (n < 0) return std::nullopt;
  return std::string(buf, static_cast<size_t>(n));
}

struct stat StatOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st;
}

// Runs `write` as this process or, with a uid, in a child under that uid and
// gid; true when it reported success.
bool WriteAs(uid_t uid, gid_t gid, const std::function<void()>& write) {
  auto body = [&] {
    try {
      write();
      return 0;
    } catch (const EIniFileError&) {
      return 1;
    }
  };
  return (uid == 0 ? body() : testing::RunAsUser(uid, gid, body)) == 0;
}

class IniStoreTest : public IniFileTest {
 protected:
  void SetUp() override {
    IniFileTest::SetUp();
    // Children under other ids must reach the folders made inside.
    fs::permissions(dir_, fs::perms(0755));
  }
  void Folder(const std::string& name, mode_t mode) const {
    ASSERT_EQ(::mkdir(Path(name).c_str(), 0700), 0);
    ASSERT_EQ(::chmod(Path(name).c_str(), mode), 0);
  }
  void Own(const std::string& name, uid_t uid, gid_t gid, mode_t mode) const {
    ASSERT_EQ(::chown(Path(name).c_str(), uid, gid), 0);
    ASSERT_EQ(::chmod(Path(name).c_str(), mode), 0);
  }
  // No temporary file anywhere under the directory.
  void ExpectNoTemporaryFile() const {
    for (const auto& e : fs::recursive_directory_iterator(dir_))
      EXPECT_EQ(e.path().filename().string().find(".tamlix-ini"), std::string::npos) << e.path();
  }
};

// Each write must leave the file what it was: the same inode where a
// replacement would lose something, its owner, group, mode and access list,
// and the symbolic links that lead to it.
TEST_F(IniStoreTest, WriteKeepsWhatTheFileIs) {
  const std::string before = "[S]\r\nk=1\r\n";
  struct Writer {
    uid_t uid;  // 0: this process, else a child under uid and gid
    gid_t gid;
  };
  const Writer root{0, 0};
  enum Keeps { NewFile, SameFile, SameInode };
  struct Case {
    const char* name;
    std::function<void()> setup;
    const char* written;  // the name the writers open
    const char* holder;   // the file that must hold the text
    std::vector<Writer> writers;
    Keeps keeps;
    std::optional<sys::Call> refused = std::nullopt;  // the seam's EACCES for root, on the 2nd call
  } cases[] = {
      {"symbolic link to a file not made yet",
       [&] {
         Folder("d", 0755);
         fs::create_symlink("d/target.ini", Path("link.ini"));
       },
       "link.ini", "d/target.ini", {root}, NewFile},
      {"chain of relative links",
       [&] {
         Folder("d", 0755);
         Put("d/target.ini", before);
         fs::create_symlink("target.ini", Path("d/near.ini"));
         fs::create_symlink("d/near.ini", Path("link.ini"));
       },
       "link.ini", "d/target.ini", {root}, SameFile},
      {"second name",
       [&] {
         Put("W.ini", before);
         fs::create_hard_link(Path("W.ini"), Path("other name.ini"));
       },
       "W.ini", "other name.ini", {root}, SameInode},
      {"group-shared file written by its members in turn",
       [&] {
         Folder("shared", 0777);
         Put("shared/W.ini", before);
         Own("shared/W.ini", 1001, 2000, 0660);
       },
       "shared/W.ini", "shared/W.ini", {{1002, 2000}, {1003, 2000}, {1002, 2000}}, SameInode},
      {"access list",
       [&] {
         Put("W.ini", before);
         ASSERT_EQ(::setxattr(Path("W.ini").c_str(), "system.posix_acl_access", AccessList().data(),
                              AccessList().size(), 0),
                   0)
             << std::strerror(errno);
       },
       "W.ini", "W.ini", {root}, SameInode},
      {"own file in a folder the user may not write",
       [&] {
         Folder("ro", 0755);
         Put("ro/W.ini", before);
         Own("ro/W.ini", 1002, 1002, 0644);
       },
       "ro/W.ini", "ro/W.ini", {{1002, 1002}}, SameInode},
      {"folder that gives new files an access list",
       [&] {
         Folder("d", 0755);
         Put("d/W.ini", before);
         ASSERT_EQ(::setxattr(Path("d").c_str(), "system.posix_acl_default", AccessList().data(),
                              AccessList().size(), 0),
                   0)
             << std::strerror(errno);
       },
       "d/W.ini", "d/W.ini", {root}, SameFile},
      {"folder that gives new files its group",
       [&] {
         Folder("d", 02777);
         ASSERT_EQ(::chown(Path("d").c_str(), 0, 3000), 0);
         Put("d/W.ini", before);
         Own("d/W.ini", 0, 0, 0644);
       },
       "d/W.ini", "d/W.ini", {root}, SameFile},
      {"folder that refuses (seam)", [&] { Put("W.ini", before); }, "W.ini", "W.ini", {root}, SameInode,
       sys::Call::Access},
      {"another user's file in a shared sticky folder",
       [&] {
         Folder("sticky", 01777);
         Put("sticky/W.ini", before);
         Own("sticky/W.ini", 1001, 1001, 0666);
       },
       "sticky/W.ini", "sticky/W.ini", {{1002, 1002}}, SameInode},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir_);
    fs::create_directory(dir_);
    fs::permissions(dir_, fs::perms(0755));
    c.setup();
    const std::string holder = Path(c.holder);
    const struct stat was = c.keeps != NewFile ? StatOf(holder) : (struct stat){};
    const std::optional<std::string> acl = Xattr(holder, "system.posix_acl_access");
    const bool wasLink = fs::is_symlink(Path(c.written));
    int value = 1;
    for (const Writer& w : c.writers) {
      if (c.refused) sys::FailNth(*c.refused, 2, EACCES);
      const std::string v = std::to_string(++value);
      EXPECT_TRUE(WriteAs(w.uid, w.gid, [&] { TIniFile(Path(c.written)).WriteString("S", "k", v); })) << w.uid;
      sys::ClearFaults();
    }
    EXPECT_EQ(Get(c.holder), "[S]\r\nk=" + std::to_string(value) + "\r\n");
    EXPECT_EQ(fs::is_symlink(Path(c.written)), wasLink);
    if (c.keeps != NewFile) {
      const struct stat now = StatOf(holder);
      if (c.keeps == SameInode) {
        EXPECT_EQ(now.st_ino, was.st_ino);
      }
      EXPECT_EQ(now.st_nlink, was.st_nlink);
      EXPECT_EQ(now.st_uid, was.st_uid);
      EXPECT_EQ(now.st_gid, was.st_gid);
      EXPECT_EQ(now.st_mode, was.st_mode);
      EXPECT_EQ(Xattr(holder, "system.posix_acl_access"), acl);
    }
    ExpectNoTemporaryFile();
  }
}

// A file saved as "Unicode" on Windows reads as its 8-bit text and keeps
// UTF-16LE: the units a write does not touch stay byte for byte, also those
// that the code page cannot hold.
TEST_F(IniStoreTest, UnicodeFileIsReadAndWrittenAsUnicode) {
  const std::u16string head = u"; \u00FCber\r\n[Caf\u00E9]\r\nPrice=\u20AC 5\r\nGreek=\u03A9mega\r\nFace=\U0001F600\r\n";
  const std::u16string tail = u"[Other]\r\nk=v\r\n";
  Put("u.ini", Utf16File(head + u"Port=21\r\n" + tail));
  TIniFile ini(Path("u.ini"));
  EXPECT_EQ(ini.ReadString("CAF\xC9", "price", "d"), "\x80 5");
  EXPECT_EQ(ini.ReadString("Caf\xE9", "Greek", "d"), "?mega") << "a letter the code page lacks";
  EXPECT_EQ(ini.ReadString("Caf\xE9", "Face", "d"), "??") << "a character outside the first plane";
  EXPECT_EQ(ini.ReadInteger("Caf\xE9", "Port", 0), 21);
  EXPECT_EQ(ini.ReadSections(), (std::vector<std::string>{"Caf\xE9", "Other"}));

  // Writing back what a key reads as leaves the letters it stands for.
  ini.WriteString("Caf\xE9", "Greek", "?mega");
  ini.WriteString("Caf\xE9", "Port", "2101");
  EXPECT_EQ(Get("u.ini"), Utf16File(head + u"Port=2101\r\n" + tail));
  ini.WriteString("Other", "Name", "J\xFCrg \x80");
  ini.WriteString("New", "k", "1");
  const std::u16string grown = head + u"Port=2101\r\n[Other]\r\nk=v\r\nName=J\u00FCrg \u20AC\r\n[New]\r\nk=1\r\n";
  EXPECT_EQ(Get("u.ini"), Utf16File(grown));
  ini.EraseSection("other");
  EXPECT_EQ(Get("u.ini"), Utf16File(head + u"Port=2101\r\n[New]\r\nk=1\r\n"));
  EXPECT_EQ(DirEntries(), std::vector<std::string>{"u.ini"});

  // A file of the mark alone is an empty Unicode file.
  Put("empty.ini", "\xFF\xFE");
  TIniFile(Path("empty.ini")).WriteString("S", "k", "\xE9");
  EXPECT_EQ(Get("empty.ini"), Utf16File(u"[S]\r\nk=\u00E9\r\n"));
}

// A writer killed in the middle of writing (here by the file-size limit,
// whose signal ends it inside the write) leaves the old file and no
// temporary file. Where the file system keeps no unnamed files, the named
// temporary file it leaves is removed by the next write in the folder.
TEST_F(IniStoreTest, WriterKilledMidWriteLeavesNoFileBehind) {
  const std::string before = "[S]\r\nk=1\r\n";
  const struct {
    const char* name;
    bool exists;
    bool unnamedRefused;  // the file system refuses O_TMPFILE
  } cases[] = {
      {"new file", false, false},
      {"replacement", true, false},
      {"new file, named temporary file", false, true},
      {"replacement, named temporary file", true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(Path("W.ini"));
    if (c.exists) Put("W.ini", before);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      const rlimit size{1 << 20, 1 << 20}, core{0, 0};
      ::setrlimit(RLIMIT_FSIZE, &size);
      ::setrlimit(RLIMIT_CORE, &core);
      ::signal(SIGXFSZ, SIG_DFL);
      if (c.unnamedRefused) sys::FailNth(sys::Call::Open, 2, EOPNOTSUPP);
      try {
        TIniFile(Path("W.ini")).WriteString("S", "k", std::string(4 << 20, 'x'));
      } catch (...) {
      }
      ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << "status " << status;
    const std::vector<std::string> left = DirEntries();
    const size_t expected = (c.exists ? 1u : 0u) + (c.unnamedRefused ? 1u : 0u);
    EXPECT_EQ(left.size(), expected);
    if (c.exists) {
      EXPECT_EQ(Get("W.ini"), before);
    }

    TIniFile(Path("W.ini")).WriteString("S", "k", "2");
    EXPECT_EQ(DirEntries(), std::vector<std::string>{"W.ini"});
    EXPECT_EQ(Get("W.ini"), "[S]\r\nk=2\r\n");
  }
}

// Where the file system keeps no unnamed files, a named temporary file does
// their work and is gone afterwards.
TEST_F(IniStoreTest, WithoutUnnamedFilesANamedTemporaryFileIsUsed) {
  for (bool exists : {false, true}) {
    SCOPED_TRACE(exists ? "replacement" : "new file");
    fs::remove(Path("W.ini"));
    if (exists) {
      Put("W.ini", "[S]\r\nk=1\r\n");
      ASSERT_EQ(::chmod(Path("W.ini").c_str(), 0604), 0);
    }
    sys::FailNth(sys::Call::Open, 2, EOPNOTSUPP);  // the unnamed file
    const mode_t mask = ::umask(022);
    TIniFile(Path("W.ini")).WriteString("S", "k", "2");
    ::umask(mask);
    EXPECT_EQ(Get("W.ini"), "[S]\r\nk=2\r\n");
    EXPECT_EQ(StatOf(Path("W.ini")).st_mode & 07777, exists ? 0604u : 0644u);
    EXPECT_EQ(DirEntries(), std::vector<std::string>{"W.ini"});
  }
}

// Two processes writing their own keys to one file at once: every key whose
// write succeeded is there at the end, and a third process reading all the
// while never sees a file torn, neither replaced nor rewritten in place.
TEST_F(IniStoreTest, WritersTakeTurnsAndKeepEachOthersKeys) {
  const struct {
    const char* name;
    bool exists;
    bool secondName;  // forces the rewrite in place
  } cases[] = {
      {"file made by the writers", false, false},
      {"replaced", true, false},
      {"rewritten in place", true, true},
  };
  const auto duration = 1500ms;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir_);
    fs::create_directory(dir_);
    if (c.exists) Put("W.ini", "[W0]\r\n[W1]\r\n[End]\r\nLast=1\r\n");
    if (c.secondName) fs::create_hard_link(Path("W.ini"), Path("H.ini"));
    const std::string path = Path("W.ini");
    const std::vector<int> codes = testing::RunTogether(3, [&](int index) {
      const auto end = std::chrono::steady_clock::now() + duration;
      if (index < 2) {
        const std::string section = "W" + std::to_string(index);
        int n = 0;
        try {
          for (; std::chrono::steady_clock::now() < end; ++n)
            TIniFile(path).WriteString(section, "K" + std::to_string(n), std::to_string(n));
        } catch (const EIniFileError&) {
          return 2;
        }
        Put("count" + std::to_string(index), std::to_string(n));
        return 0;
      }
      // The reader: each writer's keys must be a run K0..Km, nothing else.
      TIniFile ini(path);
      int torn = 0, reads = 0;
      while (std::chrono::steady_clock::now() < end + 100ms) {
        ++reads;
        for (const char* section : {"W0", "W1"}) {
          const std::vector<std::string> lines = ini.ReadSectionValues(section);
          for (size_t i = 0; i < lines.size(); ++i)
            if (lines[i] != "K" + std::to_string(i) + "=" + std::to_string(i)) ++torn;
        }
        if (c.exists && ini.ReadString("End", "Last", "") != "1") ++torn;
      }
      return torn == 0 && reads > 0 ? 0 : 3;
    });
    EXPECT_EQ(codes, (std::vector<int>{0, 0, 0})) << "2: a write failed, 3: a torn read";
    TIniFile ini(path);
    for (int w = 0; w < 2; ++w) {
      const int count = std::stoi(Get("count" + std::to_string(w)));
      EXPECT_GT(count, 10) << "writer " << w;
      const std::vector<std::string> lines = ini.ReadSectionValues("W" + std::to_string(w));
      ASSERT_EQ(lines.size(), static_cast<size_t>(count)) << "writer " << w;
      for (int n = 0; n < count; ++n)
        ASSERT_EQ(lines[static_cast<size_t>(n)], "K" + std::to_string(n) + "=" + std::to_string(n));
    }
    if (c.secondName) {
      EXPECT_EQ(Get("H.ini"), Get("W.ini"));
    }
    ExpectNoTemporaryFile();
  }
}

// Another program holding a record lock on the file, as an office suite does
// while it has the file open: a read goes on after a short wait, a write is
// refused rather than wait on it, and the waits leave the CPU idle.
TEST_F(IniStoreTest, AnotherProgramsLockIsWaitedForOnlyAWhile) {
  const std::string before = "[S]\r\nk=1\r\n";
  Put("W.ini", before);
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const int fd = ::open(Path("W.ini").c_str(), O_RDWR);
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    if (fd < 0 || ::fcntl(fd, F_SETLK, &fl) != 0 || ::write(ready[1], "x", 1) != 1) ::_exit(1);
    ::pause();
    ::_exit(0);
  }
  ::close(ready[1]);
  char c;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  ::close(ready[0]);

  const double cpu = testing::ProcessCpuSeconds();
  TIniFile ini(Path("W.ini"));
  EXPECT_EQ(ini.ReadString("S", "k", "d"), "1");
  try {
    ini.WriteString("S", "k", "2");
    ADD_FAILURE() << "written past another program's lock";
  } catch (const EIniFileError& e) {
    EXPECT_EQ(std::string(e.what()), "Unable to write to " + Path("W.ini"));
  }
  EXPECT_NO_THROW(ini.WriteString("S", "k", "1")) << "writing what the key holds is no change";
  EXPECT_LT(testing::ProcessCpuSeconds() - cpu, 0.5);
  EXPECT_EQ(Get("W.ini"), before);

  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  ini.WriteString("S", "k", "2");
  EXPECT_EQ(Get("W.ini"), "[S]\r\nk=2\r\n");
}

// The object keeps its view of the file only while the file's times would
// show a change: a view served from memory does not open the file, and where
// the file system's timestamps are coarse (the seam makes its kind unknown),
// a file changed within the granularity is read afresh every time.
TEST_F(IniStoreTest, ViewIsTrustedOnlyPastTheTimestampGranularity) {
  for (bool coarse : {false, true}) {
    SCOPED_TRACE(coarse ? "coarse timestamps" : "fine timestamps");
    const std::string path = Path("c.ini");
    Put("c.ini", "[S]\r\nk=1\r\n");
    if (coarse) sys::FailNth(sys::Call::Fstatfs, 1, ENOSYS, true);
    TIniFile ini(path);
    std::this_thread::sleep_for(30ms);  // past the clock tick of the file's change
    EXPECT_EQ(ini.ReadString("S", "k", "d"), "1");

    sys::FailNth(sys::Call::Open, 1, EIO, true);
    EXPECT_EQ(ini.ReadString("S", "k", "d"), coarse ? "d" : "1") << "served from the view: no open";
    sys::ClearFaults();
    if (coarse) sys::FailNth(sys::Call::Fstatfs, 1, ENOSYS, true);

    // Same size, modification time put back, within the granularity.
    EXPECT_EQ(ini.ReadString("S", "k", "d"), "1");
    const struct stat was = StatOf(path);
    const int fd = ::open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, "2", 1, 7), 1);
    ::close(fd);
    const struct timespec times[2] = {was.st_atim, was.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    EXPECT_EQ(ini.ReadString("S", "k", "d"), "2");
    sys::ClearFaults();
  }
}

}  // namespace
}  // namespace tamlix
