#include "UnitDebugSys.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <csignal>
#include <fstream>
#include <functional>
#include <sstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/DateTime.h"
#include "platform/Sys.h"
#include "platform/tests/TestNamespaces.h"
#include "platform/tests/TestProcesses.h"

extern char** environ;

namespace tamlix {
namespace {

std::string TestRingName() { return "/TamlixTestRing." + std::to_string(::getpid()); }

std::string Short(const TShortString& s) { return std::string(s.Chars, s.Length); }

double TimeOf(const TDebugRecord& rec) {  // packed field: copied, not referenced
  double t;
  std::memcpy(&t, &rec.Time, sizeof t);
  return t;
}

bool RingNameExists(const std::string& name) {
  int fd = ::shm_open(name.c_str(), O_RDONLY, 0);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

// Whether this process's mapped ring is the one that the name shows now:
// the inode of the mapping (from /proc/self/maps) against the name's.
bool MappedRingIsUnderName(const std::string& name) {
  int fd = ::shm_open(name.c_str(), O_RDONLY, 0);
  if (fd < 0) return false;
  struct stat st{};
  bool ok = ::fstat(fd, &st) == 0;
  ::close(fd);
  std::ifstream maps("/proc/self/maps");
  auto start = reinterpret_cast<uintptr_t>(DebugSharedView());
  std::string line;
  while (ok && std::getline(maps, line)) {
    std::istringstream fields(line);
    std::string range, perms, offset, dev;
    unsigned long inode = 0;
    fields >> range >> perms >> offset >> dev >> inode;
    if (std::stoull(range, nullptr, 16) == start) return inode == st.st_ino;
  }
  return false;
}

class RingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    name_ = TestRingName();
    ::shm_unlink(name_.c_str());
    SetDebugSharedNameForTesting(name_.c_str());
    OpenDebugShared();
    ring_ = DebugSharedView();
    ASSERT_NE(ring_, nullptr);
  }
  void TearDown() override {
    CloseDebugShared();
    sys::ClearFaults();
    ::shm_unlink(name_.c_str());
  }
  TDebugRecord& Slot(int n) { return ring_[n - 1]; }
  void Write(const char* message = "m") { WriteDebugRecord("Mod", message, "Proc", "Sess", "", nullptr); }

  std::string name_;
  TDebugRecord* ring_ = nullptr;
};

TEST_F(RingTest, FreshRingIsZerosAndFillsSlotOneThenTwo) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(ring_);
  for (size_t i = 0; i < TAMLIX_DEBUG_RING_SIZE; ++i) ASSERT_EQ(bytes[i], 0) << "byte " << i;

  double before = platform::Now();
  WriteDebugRecord("TamlixCore.dll", "Begin", "Unit.Proc", "700", "extra", "payload");
  Write("second");
  double after = platform::Now();

  EXPECT_EQ(+Slot(1).Sequence, 1);
  EXPECT_EQ(+Slot(2).Sequence, 2);
  EXPECT_EQ(+Slot(3).Sequence, 0);
  EXPECT_EQ(Short(Slot(1).Module), "TamlixCore.dll");
  EXPECT_EQ(Short(Slot(1).Message), "Begin");
  EXPECT_EQ(Short(Slot(1).Procedure), "Unit.Proc");
  EXPECT_EQ(Short(Slot(1).Session), "700");
  EXPECT_EQ(Short(Slot(1).Detail), "extra");
  EXPECT_STREQ(Slot(1).Data, "payload");
  EXPECT_EQ(Short(Slot(2).Message), "second");
  EXPECT_GE(TimeOf(Slot(1)), before - 1e-8);
  EXPECT_LE(TimeOf(Slot(2)), after + 1e-8);
}

struct SlotCase {
  const char* name;
  std::vector<std::pair<int, int32_t>> sequences;  // slot, Sequence set before the write
  int target;
  int32_t expected;
};

class SlotRuleTest : public RingTest, public ::testing::WithParamInterface<SlotCase> {};

TEST_P(SlotRuleTest, NextRecordGoesAfterTheNewestSlot) {
  const SlotCase& c = GetParam();
  for (auto [slot, seq] : c.sequences) Slot(slot).Sequence = seq;
  Write();
  EXPECT_EQ(+Slot(c.target).Sequence, c.expected) << c.name;
  for (auto [slot, seq] : c.sequences) {
    if (slot != c.target) {
      EXPECT_EQ(+Slot(slot).Sequence, seq) << c.name << ": slot " << slot << " changed";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SlotRuleTest,
    ::testing::Values(SlotCase{"wrap from slot 100", {{99, 7}, {100, 8}}, 1, 9},
                      SlotCase{"tie: lowest slot wins", {{3, 42}, {7, 42}, {5, 41}}, 4, 43},
                      SlotCase{"negative and zero never taken", {{1, -5}, {2, 0}, {3, -1}}, 1, 1},
                      SlotCase{"highest beats later lower", {{10, 90}, {50, 12}}, 11, 91}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

TEST_F(RingTest, DataAbsentZeroFillsTheWholeField) {
  std::memset(Slot(1).Data, 0xAA, sizeof Slot(1).Data);
  WriteDebugRecord("M", "x", "P", "S", "D", nullptr);
  for (size_t i = 0; i < sizeof Slot(1).Data; ++i) ASSERT_EQ(Slot(1).Data[i], 0) << "byte " << i;
}

TEST_F(RingTest, LongDataIsCutAt6144WithoutWritingPastTheField) {
  // Sentinels in the Detail field, which follows Data: an empty Detail leaves
  // its characters alone, so any overflow would show here.
  std::memset(Slot(1).Detail.Chars, 0xEE, sizeof Slot(1).Detail.Chars);
  std::string data(7000, 'd');
  data[6143] = 'L';
  WriteDebugRecord("M", "x", "P", "S", "", data);
  EXPECT_EQ(std::strlen(Slot(1).Data), 6144u);
  EXPECT_EQ(Slot(1).Data[6143], 'L');
  EXPECT_EQ(Slot(1).Data[6144], '\0');
  EXPECT_EQ(Slot(1).Detail.Length, 0);
  for (unsigned char c : Slot(1).Detail.Chars) ASSERT_EQ(c, 0xEE);
}

TEST_F(RingTest, ShortStringsAreCutAt255AndKeepOldBytesAfterTheLength) {
  std::string long_message(300, 'a');
  for (int i = 0; i < 300; ++i) long_message[i] = static_cast<char>('a' + i % 26);
  WriteDebugRecord("M", long_message, "P", "S", "", nullptr);
  EXPECT_EQ(Short(Slot(1).Message), long_message.substr(0, 255));

  // Wrap round so that slot 1 is written again, now with a short message.
  Slot(1).Sequence = 0;
  WriteDebugRecord("M", "hi", "P", "S", "", nullptr);
  ASSERT_EQ(+Slot(1).Sequence, 1);
  EXPECT_EQ(Slot(1).Message.Length, 2);
  EXPECT_EQ(std::string(Slot(1).Message.Chars, 5), "hi" + long_message.substr(2, 3));
}

TEST_F(RingTest, NullTextsAreEmptyAndDataStopsAtItsNul) {
  WriteDebugRecord(nullptr, nullptr, nullptr, nullptr, nullptr, std::string_view("ab\0cd", 5));
  EXPECT_EQ(+Slot(1).Sequence, 1);
  EXPECT_EQ(Slot(1).Module.Length, 0);
  EXPECT_EQ(Slot(1).Message.Length, 0);
  EXPECT_STREQ(Slot(1).Data, "ab");
  EXPECT_EQ(Slot(1).Data[3], '\0');
}

TEST_F(RingTest, ThreadsOfOneModuleNeverShareANumber) {
  constexpr int kThreads = 4, kEach = 20;  // 80 records: no slot is reused
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      std::string msg = "thread " + std::to_string(t);
      for (int i = 0; i < kEach; ++i) WriteDebugRecord("M", msg, "P", "S", "", msg);
    });
  }
  for (auto& th : threads) th.join();
  std::set<int32_t> seen;
  for (int s = 1; s <= kThreads * kEach; ++s) {
    EXPECT_TRUE(seen.insert(+Slot(s).Sequence).second) << "duplicate " << +Slot(s).Sequence;
    EXPECT_STREQ(Slot(s).Data, Short(Slot(s).Message).c_str()) << "mixed record in slot " << s;
  }
  EXPECT_EQ(*seen.rbegin(), kThreads * kEach);
}

// Runs this binary again as a second process that opens the ring, writes one
// record and closes it.
int RunChildWriter(const std::string& ring) {
  std::string env_ring = "TAMLIX_RING_CHILD=" + ring;
  std::vector<char*> envp;
  for (char** e = environ; *e; ++e) envp.push_back(*e);
  envp.push_back(env_ring.data());
  envp.push_back(nullptr);
  std::string filter = "--gtest_filter=RingChild.WriteOne";
  char exe[] = "/proc/self/exe";
  char* argv[] = {exe, filter.data(), nullptr};
  pid_t pid = 0;
  if (posix_spawn(&pid, exe, nullptr, nullptr, argv, envp.data()) != 0) return -1;
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(RingChild, WriteOne) {
  const char* ring = std::getenv("TAMLIX_RING_CHILD");
  if (!ring) GTEST_SKIP() << "runs only as the second process";
  SetDebugSharedNameForTesting(ring);
  OpenDebugShared();
  WriteDebugRecord("Child", "from child", "P", "S", "", nullptr);
  CloseDebugShared();
}

TEST_F(RingTest, SecondProcessContinuesAfterTheNewestRecordAndRingOutlivesIt) {
  Write("one");
  Write("two");
  ASSERT_EQ(RunChildWriter(name_), 0);
  EXPECT_EQ(+Slot(3).Sequence, 3);
  EXPECT_EQ(Short(Slot(3).Module), "Child");
  EXPECT_EQ(Short(Slot(1).Message), "one") << "existing records must stay";
  EXPECT_TRUE(RingNameExists(name_)) << "the child was not the last user";
  Write("four");
  EXPECT_EQ(+Slot(4).Sequence, 4);
}

TEST_F(RingTest, LastCloserRemovesTheRingSoTheNextOpenerStartsFromZeros) {
  Write();
  Write();
  CloseDebugShared();
  EXPECT_FALSE(RingNameExists(name_));
  ASSERT_EQ(RunChildWriter(name_), 0);
  EXPECT_FALSE(RingNameExists(name_)) << "the child alone used it, so it removed it";
  OpenDebugShared();
  ring_ = DebugSharedView();
  Write();
  EXPECT_EQ(+Slot(1).Sequence, 1);
  EXPECT_EQ(+Slot(2).Sequence, 0);
}

// A host that forks (to run a helper) and whose child ends through exit():
// the child's unload closes the ring it inherited. The ring, its name and
// the parent's hold on it stay the parent's.
TEST_F(RingTest, ForkedChildThatClosesLeavesTheRingToTheOpener) {
  Write("before");
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    CloseDebugShared();
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  EXPECT_TRUE(MappedRingIsUnderName(name_)) << "the child removed the parent's ring";
  Write("after");
  ASSERT_EQ(RunChildWriter(name_), 0);  // a viewer's neighbour: opens, writes, closes
  EXPECT_EQ(Short(Slot(3).Module), "Child") << "another process must meet the parent's ring";
  EXPECT_TRUE(RingNameExists(name_)) << "the parent still holds the ring";
  CloseDebugShared();
  EXPECT_FALSE(RingNameExists(name_)) << "the parent's own close still removes it";
}

std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// What another process may have left under the ring's name, and a name
// that vanishes between the exclusive create and the plain open. Only a
// regular object of the ring's size, this user's and closed to others, is
// used; one that no process holds is made anew. Whatever is refused is left
// exactly as it was, and the opening ends within its bound.
TEST(RingOpenTest, NamesLeftBehindAreUsedOnlyWhenTheyAreThisUsersRing) {
  std::string name = TestRingName() + ".left";
  std::string path = "/dev/shm" + name;
  int held = -1;  // a descriptor that holds the left object's lock
  auto ring = [&](mode_t mode, off_t size) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, mode);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::fchmod(fd, mode), 0);
    ASSERT_EQ(::ftruncate(fd, size), 0);
    ASSERT_EQ(::pwrite(fd, "\x07\0\0\0old", 7, 0), 7) << "a record numbered 7 in slot 1";
    ::close(fd);
  };
  const off_t kSize = TAMLIX_DEBUG_RING_SIZE;
  struct Case {
    const char* what;
    std::function<void()> leave;
    const char* error;  // null: the ring opens and takes records
  } cases[] = {
      {"an object too small", [&] { ring(0600, 100); }, "Unable to create file mapping, Error: 22"},
      {"an object too large", [&] { ring(0600, 2 * kSize); }, "Unable to create file mapping, Error: 22"},
      {"a ring open to others", [&] { ring(0666, kSize); }, "Unable to create file mapping, Error: 13"},
      {"a ring open to the group", [&] { ring(0640, kSize); }, "Unable to create file mapping, Error: 13"},
      {"another user's ring",
       [&] {
         ring(0600, kSize);
         ASSERT_EQ(::chown(path.c_str(), 4321, 4321), 0);
       },
       "Unable to create file mapping, Error: 13"},
      {"a FIFO (never waited on)", [&] { ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0); },
       "Unable to create file mapping, Error: 22"},
      {"a folder", [&] { ASSERT_EQ(::mkdir(path.c_str(), 0700), 0); }, "Unable to create file mapping, Error: 22"},
      {"a link in its place (never followed)",
       [&] { ASSERT_EQ(::symlink((path + ".nowhere").c_str(), path.c_str()), 0); },
       "Unable to create file mapping, Error: 40"},
      {"a ring held with an exclusive lock",
       [&] {
         ring(0600, kSize);
         held = ::open(path.c_str(), O_RDONLY);
         ASSERT_EQ(::flock(held, LOCK_EX), 0);
       },
       "Unable to create file mapping, Error: 110"},
      {"a ring that no process holds (starts from zeros)", [&] { ring(0600, kSize); }, nullptr},
      {"removed between create and open", [] { sys::FailNth(sys::Call::ShmOpen, 2, ENOENT); }, nullptr},
  };
  SetDebugSharedNameForTesting(name.c_str());
  for (const Case& c : cases) {
    ::shm_unlink(name.c_str());
    ::rmdir(path.c_str());
    c.leave();
    struct stat before{};
    bool left = ::lstat(path.c_str(), &before) == 0;
    std::string bytes = left && S_ISREG(before.st_mode) ? FileBytes(path) : "";
    auto begun = std::chrono::steady_clock::now();
    try {
      OpenDebugShared();
      EXPECT_EQ(c.error, nullptr) << c.what << ": opened";
      WriteDebugRecord("M", "works", "P", "S", "", nullptr);
      ASSERT_NE(DebugSharedView(), nullptr) << c.what;
      EXPECT_EQ(+DebugSharedView()[0].Sequence, 1) << c.what;
      EXPECT_EQ(Short(DebugSharedView()[0].Message), "works") << c.what;
      EXPECT_EQ(DebugSharedView()[0].Procedure.Length, 1) << c.what << ": the old record's bytes stay";
      EXPECT_TRUE(MappedRingIsUnderName(name)) << c.what;
    } catch (const EDebugShared& e) {
      EXPECT_STREQ(e.what(), c.error ? c.error : "(no error)") << c.what;
      EXPECT_FALSE(DebugSharedIsOpen()) << c.what;
      struct stat after{};
      ASSERT_EQ(::lstat(path.c_str(), &after), 0) << c.what << ": removed";
      EXPECT_EQ(after.st_ino, before.st_ino) << c.what;
      EXPECT_EQ(after.st_mode, before.st_mode) << c.what;
      if (S_ISREG(before.st_mode)) {
        EXPECT_TRUE(FileBytes(path) == bytes) << c.what << ": written into";
      }
    }
    EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(10)) << c.what;
    sys::ClearFaults();
    CloseDebugShared();
    if (held >= 0) ::close(held);
    held = -1;
  }
  ::shm_unlink(name.c_str());
  ::rmdir(path.c_str());
}

// Processes that open the ring while others close it: an opener can find
// the name taken by a ring whose last user removes it a moment later. Every
// opening must still succeed, into the ring that others see.
TEST(RingOpenTest, ProcessesOpeningWhileOthersCloseAllOpen) {
  std::string name = TestRingName() + ".churn";
  ::shm_unlink(name.c_str());
  SetDebugSharedNameForTesting(name.c_str());
  constexpr int kRounds = 6, kProcesses = 3, kCycles = 600;
  for (int round = 0; round < kRounds; ++round) {
    std::vector<int> failures = tamlix::testing::RunTogether(kProcesses, [&](int) {
      int failed = 0;
      for (int k = 0; k < kCycles; ++k) {
        try {
          OpenDebugShared();
          WriteDebugRecord("M", "churn", "P", "S", "", nullptr);
          // While it is open, the name shows the ring that it writes.
          failed += !MappedRingIsUnderName(name);
        } catch (const EDebugShared&) {
          ++failed;
        }
        CloseDebugShared();
      }
      return failed > 0 ? 1 : 0;
    });
    EXPECT_EQ(failures, std::vector<int>(kProcesses, 0)) << "round " << round << ": processes that could not open the ring";
    EXPECT_FALSE(RingNameExists(name)) << "round " << round << ": the last closer removes the ring";
  }
}

TEST(RingOpenTest, FailuresCarryTheirTextAndErrnoAndLeaveNothingBehind) {
  std::string name = TestRingName() + ".fail";
  SetDebugSharedNameForTesting(name.c_str());
  struct Case {
    sys::Call call;
    int err;
    const char* text;
  } cases[] = {
      {sys::Call::ShmOpen, EACCES, "Unable to create file mapping, Error: 13"},
      {sys::Call::Mmap, ENOMEM, "Unable to map view of file, Error: 12"},
      {sys::Call::Fallocate, ENOSPC, "Unable to create file mapping, Error: 28"},
  };
  for (const auto& c : cases) {
    sys::FailNth(c.call, 1, c.err);
    try {
      OpenDebugShared();
      ADD_FAILURE() << "no failure for " << c.text;
    } catch (const EDebugShared& e) {
      EXPECT_STREQ(e.what(), c.text);
    }
    sys::ClearFaults();
    EXPECT_FALSE(DebugSharedIsOpen());
    EXPECT_FALSE(RingNameExists(name)) << c.text;
    WriteDebugRecord("M", "ignored while closed", "P", "S", "", "d");  // must not crash
  }
}

// A /dev/shm too small for the ring: the opening fails at once, with the
// name and its space given back, and nothing waits for a later record to
// fault.
TEST(RingOpenTest, AFullShmFailsTheOpeningWithError28) {
  std::string name = TestRingName() + ".full";
  int code = tamlix::testing::RunWithPrivateMounts([&] {
    if (!tamlix::testing::MountSmallTmpfs("/dev/shm", 256 * 1024)) return 10;
    SetDebugSharedNameForTesting(name.c_str());
    try {
      OpenDebugShared();
      return 11;
    } catch (const EDebugShared& e) {
      if (std::string(e.what()) != "Unable to create file mapping, Error: 28") return 12;
    }
    if (RingNameExists(name)) return 13;
    WriteDebugRecord("M", "ignored while closed", "P", "S", "", "d");
    return 0;
  });
  EXPECT_EQ(code, 0) << "10 no tmpfs, 11 opened, 12 another error, 13 name left";
}

// The ring's last user is killed: its name stays, but nothing holds it. The
// next opener starts from zeros, as after a close.
TEST(RingOpenTest, ARingWhoseLastUserWasKilledStartsFromZeros) {
  std::string name = TestRingName() + ".dead";
  ::shm_unlink(name.c_str());
  SetDebugSharedNameForTesting(name.c_str());
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    OpenDebugShared();
    for (const char* m : {"one", "two", "three"}) WriteDebugRecord("M", m, "P", "S", "", nullptr);
    ::raise(SIGKILL);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFSIGNALED(status));
  ASSERT_TRUE(RingNameExists(name)) << "left behind by the killed process";

  OpenDebugShared();
  WriteDebugRecord("M", "after", "P", "S", "", nullptr);
  TDebugRecord* ring = DebugSharedView();
  ASSERT_NE(ring, nullptr);
  EXPECT_EQ(+ring[0].Sequence, 1);
  EXPECT_EQ(Short(ring[0].Message), "after");
  EXPECT_EQ(+ring[1].Sequence, 0);
  EXPECT_EQ(+ring[2].Sequence, 0);
  EXPECT_TRUE(MappedRingIsUnderName(name));
  CloseDebugShared();
  EXPECT_FALSE(RingNameExists(name));
}

// The local time of a write as a day count: now in UTC plus `hours`.
double UtcNowPlusHours(int hours) {
  time_t now = ::time(nullptr) + hours * 3600;
  std::tm tm{};
  gmtime_r(&now, &tm);
  return platform::EncodeDateTime(
      platform::LocalTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, 0});
}

// A writer that stays up while the system's zone changes twice (another
// zone file bound over /etc/localtime): each record after the change, once
// the zone has been looked at again (within a second), is in the new zone.
TEST(RingTimeTest, RecordsFollowTheSystemsZoneAsItChanges) {
  std::string name = TestRingName() + ".zone";
  ::shm_unlink(name.c_str());
  int code = tamlix::testing::RunWithPrivateMounts([&] {
    ::unsetenv("TZ");
    SetDebugSharedNameForTesting(name.c_str());
    OpenDebugShared();
    WriteDebugRecord("M", "before", "P", "S", "", nullptr);  // the zone as the process found it
    struct Zone {
      const char* file;
      int hours;
    } zones[] = {{"/usr/share/zoneinfo/Asia/Tokyo", 9}, {"/usr/share/zoneinfo/Etc/GMT+3", -3}};
    int result = 0;
    for (int i = 0; i < 2 && result == 0; ++i) {
      if (!tamlix::testing::BindOver(zones[i].file, "/etc/localtime")) {
        result = 10;
        break;
      }
      ::usleep(1200 * 1000);
      WriteDebugRecord("M", "after", "P", "S", "", nullptr);
      const TDebugRecord& rec = DebugSharedView()[i + 1];
      double off = TimeOf(rec) - UtcNowPlusHours(zones[i].hours);
      if (rec.Sequence != i + 2 || off > 10.0 / 86400 || off < -10.0 / 86400) result = 20 + i;
    }
    CloseDebugShared();
    return result;
  });
  EXPECT_EQ(code, 0) << "10 no bind mount; 20 not in Tokyo's time after the first change, 21 not 3 hours "
                        "behind UTC after the second";
}

}  // namespace
}  // namespace tamlix
