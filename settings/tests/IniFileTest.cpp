#include "IniFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "platform/Sys.h"
#include "settings/tests/SettingsTestDir.h"

namespace tamlix {
namespace {

namespace fs = std::filesystem;

// A file as Windows tools leave it, written with each line ending in turn.
std::string WindowsMadeFile(const std::string& eol) {
  const char* lines[] = {
      "; settings written on a pharmacy workstation",
      "Stray=before any section",
      "[Global TCP/IP Data]",
      "  Address = 10.0.0.1  ",
      "Port=21",
      "PORT=99",
      "TimeOut=",
      "# not a comment=hash",
      "NoEquals",
      "  ; Port=1",
      "Quoted=\"  spaced  \"",
      "Single='x'",
      "Half=\"x",
      "Inner=a;b ; c",
      "Eq=a=b",
      "",
      "[  session one  ] trailing text",
      "SessionType=2",
      "[GLOBAL tcp/ip data]",
      "Hidden=1",
      "[]",
      "Nameless=e",
      "[OnlyComments]",
      "; nothing here",
      "[NoClose",
      "K=v",
  };
  std::string s;
  for (const char* l : lines) s += std::string(l) + eol;
  s += "Long=" + std::string(3000, 'x') + eol;
  return s;
}

class WindowsFileTest : public IniFileTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(WindowsFileTest, ReadsAsThePrivateProfileFunctionsDo) {
  Put("TamlixTCP.INI", WindowsMadeFile(GetParam()));
  TIniFile ini(Path("TamlixTCP.INI"));
  const std::string G = "Global TCP/IP Data";
  struct Case {
    std::string section, key, want;
  } cases[] = {
      {G, "Address", "10.0.0.1"},
      {"global tcp/ip data", "ADDRESS", "10.0.0.1"},
      {"  Global TCP/IP Data\t", " Port ", "21"},  // caller's names trimmed; first duplicate key wins
      {G, "TimeOut", ""},                          // present and empty: not the default
      {G, "# not a comment", "hash"},
      {G, "NoEquals", "default"},
      {G, "Quoted", "  spaced  "},
      {G, "Single", "x"},
      {G, "Half", "\"x"},
      {G, "Inner", "a;b ; c"},
      {G, "Eq", "a=b"},
      {G, "Hidden", "default"},  // only the first section of a name is searched
      {"session one", "SessionType", "2"},
      {"", "Stray", "default"},
      {"", "Nameless", "e"},
      {"NoClose", "K", "v"},
      {"Absent", "Port", "default"},
      {"session one", "Long", "default"},
      {"NoClose", "Long", std::string(2047, 'x')},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ini.ReadString(c.section, c.key, "default"), c.want) << "[" << c.section << "] " << c.key;

  EXPECT_EQ(ini.ReadInteger(G, "port", 0), 21);
  EXPECT_EQ(ini.ReadInteger("SESSION ONE", "sessiontype", 0), 2);
  EXPECT_EQ(ini.ReadSections(),
            (std::vector<std::string>{G, "session one", "", "OnlyComments", "NoClose"}));
  EXPECT_EQ(ini.ReadSectionValues("global TCP/IP data"),
            (std::vector<std::string>{"Address=10.0.0.1", "Port=21", "TimeOut=", "# not a comment=hash",
                                      "Quoted=  spaced  ", "Single=x", "Half=\"x", "Inner=a;b ; c", "Eq=a=b"}));
  EXPECT_EQ(ini.ReadSectionValues("NoClose"),
            (std::vector<std::string>{"K=v", "Long=" + std::string(2047, 'x')}));
  EXPECT_TRUE(ini.SectionExists(G));
  EXPECT_TRUE(ini.SectionExists(""));
  EXPECT_FALSE(ini.SectionExists("OnlyComments")) << "a section without keys is not present";
  EXPECT_FALSE(ini.SectionExists("Absent"));
}

INSTANTIATE_TEST_SUITE_P(LineEndings, WindowsFileTest, ::testing::Values("\r\n", "\n", "\r"),
                         [](const auto& info) {
                           std::string e = info.param;
                           return e == "\r\n" ? std::string("CRLF") : e == "\n" ? "LF" : "CR";
                         });

// 8-bit names made on Windows: their letters compare without case too, as the
// Windows functions compare them; other bytes only as themselves.
TEST_F(IniFileTest, EightBitNamesCompareWithoutLetterCase) {
  Put("e.ini", "[Caf\xE9]\r\n\xC9tat=1\r\n[\x8A\xF7]\r\nk=2\r\n[CAF\xC9]\r\nk=3\r\n");
  TIniFile ini(Path("e.ini"));
  EXPECT_EQ(ini.ReadString("CAF\xC9", "\xE9TAT", "d"), "1");
  EXPECT_EQ(ini.ReadString("\x9A\xF7", "K", "d"), "2");
  EXPECT_EQ(ini.ReadString("\x9A\xD7", "k", "d"), "d") << "the division sign has no capital";
  EXPECT_EQ(ini.ReadSections(), (std::vector<std::string>{"Caf\xE9", "\x8A\xF7"}));
  ini.WriteString("caf\xC9", "\xE9tat", "4");
  EXPECT_EQ(Get("e.ini"), "[Caf\xE9]\r\n\xC9tat=4\r\n[\x8A\xF7]\r\nk=2\r\n[CAF\xC9]\r\nk=3\r\n");
}

TEST_F(IniFileTest, ByteOrderMarkDoesNotHideTheFirstSection) {
  Put("a.ini", "\xEF\xBB\xBF[First]\r\nk=1\r\n");
  TIniFile ini(Path("a.ini"));
  EXPECT_EQ(ini.ReadString("First", "k", ""), "1");
  ini.WriteString("First", "k", "2");
  EXPECT_EQ(Get("a.ini"), "\xEF\xBB\xBF[First]\r\nk=2\r\n");
}

TEST_F(IniFileTest, WholeNumbers) {
  struct Case {
    const char* text;
    bool converts;      // TryStrToInt
    int32_t value;      // when it converts
    int32_t readValue;  // ReadInteger with default 77
  } cases[] = {
      {"21", true, 21, 21},
      {"0x15", false, 0, 21},  // only ReadInteger turns "0x" into "$"
      {"0X15", false, 0, 21},
      {"$15", true, 21, 21},
      {"$ff", true, 255, 255},
      {"-1", true, -1, -1},
      {"+7", true, 7, 7},
      {"007", true, 7, 7},
      {"10 s", false, 0, 77},
      {"", false, 0, 77},
      {"4294967296", false, 0, 77},
      {"2147483647", true, 2147483647, 2147483647},
      {"2147483648", false, 0, 77},
      {"-2147483648", true, INT32_MIN, INT32_MIN},
      {"-2147483649", false, 0, 77},
      {" 7", true, 7, 7},
      {"7 ", false, 0, 7},  // ReadInteger's text is trimmed by the read
      {"$FFFFFFFF", true, -1, -1},
      {"0x80000000", false, 0, INT32_MIN},
      {"$100000000", false, 0, 77},
      {"0x", false, 0, 77},  // too short for the "0x" rule
      {"0x1G", false, 0, 77},
      {"$", false, 0, 77},
      {"-", false, 0, 77},
      {"-$15", false, 0, 77},
      {"1e3", false, 0, 77},
      {"\t7", false, 0, 7},
  };
  std::string file = "[N]\n";
  for (size_t i = 0; i < std::size(cases); ++i) file += "K" + std::to_string(i) + "=" + cases[i].text + "\n";
  Put("n.ini", file);
  TIniFile ini(Path("n.ini"));
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    int32_t v = 12345;
    EXPECT_EQ(TryStrToInt(c.text, v), c.converts) << "'" << c.text << "'";
    if (c.converts) {
      EXPECT_EQ(v, c.value) << "'" << c.text << "'";
      EXPECT_EQ(StrToInt(c.text), c.value) << "'" << c.text << "'";
    } else {
      try {
        StrToInt(c.text);
        ADD_FAILURE() << "'" << c.text << "' converted strictly";
      } catch (const EConvertError& e) {
        EXPECT_EQ(std::string(e.what()), "'" + std::string(c.text) + "' is not a valid integer value");
      }
    }
    EXPECT_EQ(ini.ReadInteger("N", "K" + std::to_string(i), 77), c.readValue) << "'" << c.text << "'";
  }
}

TEST_F(IniFileTest, TruthValues) {
  Put("b.ini", "[B]\nzero=0\none=1\ntwo=2\nminus=-1\nhex0=0x0\nword=yes\nempty=\n");
  TIniFile ini(Path("b.ini"));
  struct Case {
    const char* key;
    bool def, want;
  } cases[] = {
      {"zero", true, false}, {"one", false, true},  {"two", false, true},   {"minus", false, true},
      {"hex0", true, false}, {"word", true, true},  {"word", false, false}, {"empty", true, true},
      {"absent", false, false},
  };
  for (const Case& c : cases) EXPECT_EQ(ini.ReadBool("B", c.key, c.def), c.want) << c.key << " default " << c.def;
}

// What every reader's defaults rest on: absent file, section or key, and an
// empty value. Creating the object and reading create no file.
TEST_F(IniFileTest, AbsentFileSectionKeyAndEmptyValue) {
  {
    TIniFile ini(Path("none.ini"));
    EXPECT_EQ(ini.ReadString("S", "K", "000.000.000.000"), "000.000.000.000");
    EXPECT_EQ(ini.ReadInteger("S", "K", 1000), 1000);
    EXPECT_TRUE(ini.ReadBool("S", "K", true));
    EXPECT_TRUE(ini.ReadSections().empty());
    EXPECT_TRUE(ini.ReadSectionValues("S").empty());
    EXPECT_FALSE(ini.SectionExists("S"));
    EXPECT_FALSE(fs::exists(Path("none.ini")));
  }
  Put("d.ini", "[S]\nEmpty=\n");
  TIniFile ini(Path("d.ini"));
  struct Case {
    const char* section;
    const char* key;
    const char* wantText;  // ReadString default "dflt"
    int32_t wantInt;       // ReadInteger default 5
    bool wantBool;         // ReadBool default true
  } cases[] = {
      {"Other", "Empty", "dflt", 5, true},
      {"S", "Other", "dflt", 5, true},
      {"S", "Empty", "", 5, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ini.ReadString(c.section, c.key, "dflt"), c.wantText) << c.section << "/" << c.key;
    EXPECT_EQ(ini.ReadInteger(c.section, c.key, 5), c.wantInt) << c.section << "/" << c.key;
    EXPECT_EQ(ini.ReadBool(c.section, c.key, true), c.wantBool) << c.section << "/" << c.key;
  }
  EXPECT_TRUE(ini.SectionExists("S")) << "a key with an empty value still counts";
  EXPECT_EQ(ini.ReadSectionValues("S"), std::vector<std::string>{"Empty="});
}

TEST_F(IniFileTest, UnreadableNamesReadAsAbsent) {
  fs::create_directory(Path("adir"));
  Put("plain", "not a directory");
  ASSERT_EQ(::mkfifo(Path("fifo").c_str(), 0600), 0);
  for (const std::string& p :
       {Path("adir"), Path("fifo"), Path("plain") + "/x.ini", Path("missing") + "/x.ini", std::string()}) {
    TIniFile ini(p);
    EXPECT_EQ(ini.ReadString("S", "K", "d"), "d") << p;
    EXPECT_TRUE(ini.ReadSections().empty()) << p;
    EXPECT_THROW(ini.WriteString("S", "K", "v"), EIniFileError) << p;
  }
  EXPECT_EQ(DirEntries(), (std::vector<std::string>{"adir", "fifo", "plain"}));
}

// Each write against the whole file text that it leaves.
TEST_F(IniFileTest, WritesReplaceAddAndErase) {
  enum Op { Write, WriteTrue, WriteFalse, Erase };
  struct Case {
    const char* name;
    const char* before;  // nullptr: no file
    Op op;
    const char* section;
    const char* key;
    const char* value;
    const char* after;  // nullptr: still no file
  } cases[] = {
      {"new file gets CR LF", nullptr, Write, "Sess", "SessionType", "1", "[Sess]\r\nSessionType=1\r\n"},
      {"caller's names trimmed", nullptr, Write, " Sess ", "\tKey ", " v ", "[Sess]\r\nKey= v \r\n"},
      {"replace keeps spelling, place and other lines",
       "; c\r\n[A]\r\n  KeY = old  \r\nOther=1\r\n\r\n[B]\r\nx=1\r\n", Write, "a", "key", "new",
       "; c\r\n[A]\r\nKeY=new\r\nOther=1\r\n\r\n[B]\r\nx=1\r\n"},
      {"replace with empty value", "[A]\nk=v\n", Write, "A", "k", "", "[A]\nk=\n"},
      {"new key after the section's last key", "[A]\r\nx=1\r\n; tail\r\n\r\n[B]\r\ny=2\r\n", Write, "A", "New", "v",
       "[A]\r\nx=1\r\nNew=v\r\n; tail\r\n\r\n[B]\r\ny=2\r\n"},
      {"new key in a section without keys", "[A]\n; note\n[B]\n", Write, "A", "k", "v", "[A]\nk=v\n; note\n[B]\n"},
      {"new key after an unterminated last line", "[A]\nx=1", Write, "A", "k", "v", "[A]\nx=1\nk=v\n"},
      {"new section at the end, file's CR LF", "[A]\r\nx=1", Write, "New", "k", "v",
       "[A]\r\nx=1\r\n[New]\r\nk=v\r\n"},
      {"new key in a file of lone CRs", "[A]\rx=1\r[B]\ry=2\r", Write, "A", "k", "v",
       "[A]\rx=1\rk=v\r[B]\ry=2\r"},
      {"new section in a file of lone CRs", "[A]\rx=1", Write, "B", "k", "v", "[A]\rx=1\r[B]\rk=v\r"},
      {"the first line's ending counts", "[A]\nx=1\r\n", Write, "A", "k", "v", "[A]\nx=1\r\nk=v\n"},
      {"no line ending yet: CR LF", "[A]", Write, "A", "k", "v", "[A]\r\nk=v\r\n"},
      {"first of duplicate sections", "[A]\nx=1\n[a]\ny=2\n", Write, "A", "y", "3", "[A]\nx=1\ny=3\n[a]\ny=2\n"},
      {"first of duplicate keys", "[A]\nk=1\nK=2\n", Write, "A", "k", "3", "[A]\nk=3\nK=2\n"},
      {"lines before any section untouched", "k=0\n[A]\n", Write, "A", "k", "1", "k=0\n[A]\nk=1\n"},
      {"truth value true", "[A]\nf=0\n", WriteTrue, "A", "f", nullptr, "[A]\nf=1\n"},
      {"truth value false", nullptr, WriteFalse, "A", "f", nullptr, "[A]\r\nf=0\r\n"},
      {"erase keeps the other sections", "[A]\nx=1\n\n[B]\n; b\ny=2\n[C]\nz=3\n", Erase, "b", nullptr, nullptr,
       "[A]\nx=1\n\n[C]\nz=3\n"},
      {"erase the last section", "[A]\r\nx=1\r\n[B]\r\ny=2", Erase, "B", nullptr, nullptr, "[A]\r\nx=1\r\n"},
      {"erase every duplicate", "[S]\nx=1\n[T]\n[ s ]\ny=2\n", Erase, "s", nullptr, nullptr, "[T]\n"},
      {"erase an absent section", "[A]\nx=1\n", Erase, "B", nullptr, nullptr, "[A]\nx=1\n"},
      {"erase in an absent file", nullptr, Erase, "B", nullptr, nullptr, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name = "w.ini";
    fs::remove(Path(name));
    if (c.before) Put(name, c.before);
    TIniFile ini(Path(name));
    switch (c.op) {
      case Write: ini.WriteString(c.section, c.key, c.value); break;
      case WriteTrue: ini.WriteBool(c.section, c.key, true); break;
      case WriteFalse: ini.WriteBool(c.section, c.key, false); break;
      case Erase: ini.EraseSection(c.section); break;
    }
    if (c.after) {
      EXPECT_EQ(Get(name), c.after);
    } else {
      EXPECT_FALSE(fs::exists(Path(name)));
    }
    EXPECT_EQ(DirEntries().size(), c.after ? 1u : 0u) << "no temporary file left";
  }
}

TEST_F(IniFileTest, WrittenValuesReadBack) {
  TIniFile ini(Path("Brindlemoss.INI"));
  ini.WriteString("Pharmacy 1", "SessionType", "1");
  ini.WriteString("Pharmacy 2", "File_Source", "c:\\in.txt");
  ini.WriteBool("Pharmacy 2", "File_Auto", true);
  ini.WriteString("pharmacy 1", "sessiontype", "3");
  EXPECT_EQ(ini.ReadSections(), (std::vector<std::string>{"Pharmacy 1", "Pharmacy 2"}));
  EXPECT_EQ(ini.ReadInteger("Pharmacy 1", "SessionType", 0), 3);
  EXPECT_EQ(ini.ReadString("PHARMACY 2", "File_Source", ""), "c:\\in.txt");
  EXPECT_TRUE(ini.ReadBool("Pharmacy 2", "File_Auto", false));
  ini.EraseSection("Pharmacy 1");
  EXPECT_FALSE(ini.SectionExists("Pharmacy 1"));
  EXPECT_EQ(Get("Brindlemoss.INI"), "[Pharmacy 2]\r\nFile_Source=c:\\in.txt\r\nFile_Auto=1\r\n");
}

TEST_F(IniFileTest, TextTheFileCannotHoldIsRefusedAndChangesNothing) {
  struct Case {
    std::string section, key, value;
  } cases[] = {
      {"a]b", "k", "v"},    {"a\nb", "k", "v"},   {"a\rb", "k", "v"},         {"a\0b", "k", "v"},
      {"S", "k=v", "v"},    {"S", "k\nv", "v"},   {"S", "[k", "v"},           {"S", " ;k", "v"},
      {"S", "k", "a\nb"},   {"S", "k", "a\r\nb"}, {"S", "k", "a\rb"},         {"S", "k", std::string("a\0b", 3)},
  };
  cases[3].section = std::string("a\0b", 3);
  const std::string before = "[S]\r\nk=old\r\n";
  for (bool exists : {true, false}) {
    fs::remove(Path("r.ini"));
    if (exists) Put("r.ini", before);
    TIniFile ini(Path("r.ini"));
    for (const Case& c : cases) {
      try {
        ini.WriteString(c.section, c.key, c.value);
        ADD_FAILURE() << "accepted [" << c.section << "] " << c.key << "=" << c.value;
      } catch (const EIniFileError& e) {
        EXPECT_EQ(std::string(e.what()), "Unable to write to " + Path("r.ini"));
      }
      if (exists) {
        EXPECT_EQ(Get("r.ini"), before) << c.section << "/" << c.key;
      } else {
        EXPECT_FALSE(fs::exists(Path("r.ini"))) << c.section << "/" << c.key;
      }
    }
  }
}

// The platform refusing a step of the write. Where the folder will not take
// a replacement, the file is written in place instead (same inode); where the
// file itself or the disk refuses, the error names the file and the old file
// keeps its bytes. Either way no temporary file stays behind.
TEST_F(IniFileTest, RefusedStepsOfAWrite) {
  struct Fault {
    sys::Call call;
    int nth;
    int err;
  };
  // An existing file reaches the system in this order: open, access (the
  // file), flistxattr, access (the folder), open (the temporary file),
  // write, fsync, linkat, rename; in place: posix_fallocate, write,
  // ftruncate, fsync.
  const Fault folderRefuses{sys::Call::Access, 2, EACCES};
  struct Case {
    const char* name;
    std::vector<Fault> faults;
    bool written;  // else refused
  } cases[] = {
      {"old file cannot be read", {{sys::Call::Open, 1, EIO}}, false},
      {"file is read-only", {{sys::Call::Access, 1, EACCES}}, false},
      {"temporary file cannot be written", {{sys::Call::Write, 1, EIO}}, false},
      {"temporary file cannot be flushed", {{sys::Call::Fsync, 1, EIO}}, false},
      {"rename fails", {{sys::Call::Rename, 1, EIO}}, false},
      {"extended attributes cannot be listed", {{sys::Call::Flistxattr, 1, EIO}}, true},
      {"folder may not be written", {folderRefuses}, true},
      {"folder refuses the temporary file", {{sys::Call::Open, 2, EACCES}}, true},
      {"no room for a second copy", {{sys::Call::Write, 1, ENOSPC}}, true},
      {"the file is a mount point", {{sys::Call::Rename, 1, EBUSY}}, true},
      {"in place: no room", {folderRefuses, {sys::Call::Fallocate, 1, ENOSPC}}, false},
      {"in place: write fails", {folderRefuses, {sys::Call::Write, 1, EIO}}, false},
      {"in place: flush fails", {folderRefuses, {sys::Call::Fsync, 1, EIO}}, false},
      {"in place: shortening fails", {folderRefuses, {sys::Call::Ftruncate, 1, EIO}}, false},
  };
  const std::string before = "; keep\r\n[Sess A]\r\nSessionType=2\r\n[Sess B]\r\nSessionType=3\r\n";
  const std::string path = Path("Brindlemoss.INI");
  for (const Case& c : cases) {
    for (bool erase : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (erase ? " (erase)" : " (write)"));
      if (std::string(c.name) == "in place: shortening fails" && !erase) continue;  // a write here only grows
      Put("Brindlemoss.INI", before);
      struct stat was {};
      ASSERT_EQ(::stat(path.c_str(), &was), 0);
      TIniFile ini(path);
      for (const Fault& f : c.faults) sys::FailNth(f.call, f.nth, f.err);
      bool threw = false;
      try {
        if (erase) {
          ini.EraseSection("Sess A");
        } else {
          ini.WriteString("Sess A", "SessionType", "40");
        }
      } catch (const EIniFileError& e) {
        threw = true;
        EXPECT_EQ(std::string(e.what()), "Unable to write to " + path);
      }
      sys::ClearFaults();
      EXPECT_EQ(threw, !c.written);
      const std::string after = erase ? "; keep\r\n[Sess B]\r\nSessionType=3\r\n"
                                      : "; keep\r\n[Sess A]\r\nSessionType=40\r\n[Sess B]\r\nSessionType=3\r\n";
      EXPECT_EQ(Get("Brindlemoss.INI"), c.written ? after : before);
      struct stat now {};
      ASSERT_EQ(::stat(path.c_str(), &now), 0);
      if (c.written) {
        EXPECT_EQ(now.st_ino, was.st_ino) << "not written in place";
      }
      EXPECT_EQ(DirEntries(), std::vector<std::string>{"Brindlemoss.INI"});
    }
  }
}

// A new file is linked in only when whole: a failure leaves no file at all.
TEST_F(IniFileTest, RefusedNewFileLeavesNothing) {
  const struct {
    const char* name;
    sys::Call call;
    int nth;
    int err;
  } cases[] = {
      {"folder refuses the file", sys::Call::Open, 2, EACCES},
      {"disk full", sys::Call::Write, 1, ENOSPC},
      {"flush fails", sys::Call::Fsync, 1, EIO},
      {"link refused", sys::Call::Linkat, 1, EACCES},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TIniFile ini(Path("TamlixTCP.INI"));
    sys::FailNth(c.call, c.nth, c.err);
    EXPECT_THROW(ini.WriteString("Global TCP/IP Data", "Port", "21"), EIniFileError);
    sys::ClearFaults();
    EXPECT_TRUE(DirEntries().empty());
  }
}

// Opening a page writes back what it shows: a value that already reads so
// keeps its bytes, whatever the file form made of it, and even a file that may
// not be written is not refused for it.
TEST_F(IniFileTest, WritingWhatAKeyReadsAsChangesNothing) {
  const std::string nul(1, '\0');
  const std::string longValue(3000, 'x');
  const std::string before = "[S]\r\nq=\"  quoted  \"\r\n p =  padded \t\r\nn=ab" + nul + "cd\r\nlong=" + longValue +
                             "\r\n";
  Put("k.ini", before);
  TIniFile ini(Path("k.ini"));
  const struct {
    const char* key;
    std::string reads;
  } cases[] = {{"q", "  quoted  "}, {"p", "padded"}, {"n", "ab"}, {"long", longValue.substr(0, 2047)}};
  sys::FailNth(sys::Call::Access, 1, EACCES, true);
  for (const auto& c : cases) {
    EXPECT_EQ(ini.ReadString("S", c.key, "d"), c.reads) << c.key;
    EXPECT_NO_THROW(ini.WriteString("s", c.key, c.reads)) << c.key;
    EXPECT_EQ(Get("k.ini"), before) << c.key;
  }
  EXPECT_EQ(ini.ReadSectionValues("S"),
            (std::vector<std::string>{"q=  quoted  ", "p=padded", "n=ab", "long=" + longValue.substr(0, 2047)}));
  sys::ClearFaults();

  // Any other value replaces the whole of the old one.
  ini.WriteString("S", "n", "abc");
  ini.WriteString("S", "p", " padded");
  EXPECT_EQ(Get("k.ini"),
            "[S]\r\nq=\"  quoted  \"\r\np= padded\r\nn=abc\r\nlong=" + longValue + "\r\n");
}

// The object keeps its view of the file between reads; any change that
// another program makes must still show, even one that keeps the size and
// puts the modification time back.
TEST_F(IniFileTest, EveryChangeOfTheFileShows) {
  using namespace std::chrono_literals;
  const std::string path = Path("c.ini");
  Put("c.ini", "[S]\nk=1\n");
  TIniFile ini(path);
  auto keepTimes = [&](const struct stat& was) {
    const struct timespec times[2] = {was.st_atim, was.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  };
  auto inPlace = [&](const std::string& text) {
    struct stat was {};
    ASSERT_EQ(::stat(path.c_str(), &was), 0);
    int fd = ::open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
    ::close(fd);
    keepTimes(was);
  };
  auto replaced = [&](const std::string& text) {
    struct stat was {};
    ASSERT_EQ(::stat(path.c_str(), &was), 0);
    Put("new.ini", text);
    const struct timespec times[2] = {was.st_atim, was.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, Path("new.ini").c_str(), times, 0), 0);
    ASSERT_EQ(::rename(Path("new.ini").c_str(), path.c_str()), 0);
  };
  auto other = [&](const std::string& text) { TIniFile(path).WriteString("S", "k", text.substr(6, 1)); };
  const struct {
    const char* how;
    std::function<void(const std::string&)> change;
    std::string text;
  } cases[] = {
      {"in place, same size and times", inPlace, "[S]\nk=2\n"},
      {"replaced, same size and times", replaced, "[S]\nk=3\n"},
      {"by another object", other, "[S]\nk=4\n"},
      {"in place, grown", inPlace, "[S]\nk=5\nj=6\n"},
  };
  std::string was = "1";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.how);
    // Past the clock tick of the last change, so that the view is kept.
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(ini.ReadString("S", "k", ""), was);
    c.change(c.text);
    was = c.text.substr(6, 1);
    EXPECT_EQ(ini.ReadString("S", "k", ""), was);
  }

  // A write keeps what another program wrote after this object's last read.
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(ini.ReadString("S", "j", ""), "6");
  inPlace("[S]\nk=7\nj=6\n");
  ini.WriteString("S", "j", "8");
  EXPECT_EQ(Get("c.ini"), "[S]\nk=7\nj=8\n");
}

// Many sections, each name also repeated in another spelling further on:
// every name is listed once, as first spelled, and reads from its first
// section; an erase takes every section of the name and no other.
TEST_F(IniFileTest, ThousandsOfSectionsKeepTheFirstOfEachName) {
  const int count = 5000;
  std::string text;
  for (int i = 0; i < count; ++i) text += "[Sess " + std::to_string(i) + "]\nSessionType=" + std::to_string(i) + "\n";
  for (int i = 0; i < count; i += 2) text += "[SESS " + std::to_string(i) + "]\nSessionType=x\nOnlyHere=1\n";
  Put("m.ini", text);
  TIniFile ini(Path("m.ini"));
  const std::vector<std::string> sections = ini.ReadSections();
  ASSERT_EQ(sections.size(), static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    const std::string name = "sess " + std::to_string(i);
    ASSERT_EQ(sections[static_cast<size_t>(i)], "Sess " + std::to_string(i));
    ASSERT_EQ(ini.ReadString(name, "SessionType", ""), std::to_string(i)) << name;
    ASSERT_EQ(ini.ReadString(name, "OnlyHere", "absent"), "absent") << name;
  }
  ini.EraseSection("sess 10");
  EXPECT_FALSE(ini.SectionExists("Sess 10"));
  EXPECT_EQ(ini.ReadSections().size(), static_cast<size_t>(count - 1));
  EXPECT_EQ(ini.ReadString("Sess 12", "SessionType", ""), "12");
  EXPECT_EQ(ini.ReadString("Sess 11", "SessionType", ""), "11");
}

TEST_F(IniFileTest, FileTooLargeToHoldReadsAsUnreadable) {
  Put("big.ini", "[S]\nk=1\n");
  const uintmax_t size = uintmax_t{1} << 32;
  fs::resize_file(Path("big.ini"), size);  // sparse: no disk is used
  TIniFile ini(Path("big.ini"));
  EXPECT_EQ(ini.ReadString("S", "k", "d"), "d");
  EXPECT_TRUE(ini.ReadSections().empty());
  EXPECT_THROW(ini.WriteString("S", "k", "2"), EIniFileError);
  EXPECT_THROW(ini.EraseSection("S"), EIniFileError);
  EXPECT_EQ(fs::file_size(Path("big.ini")), size);
  EXPECT_EQ(DirEntries(), std::vector<std::string>{"big.ini"});
}

TEST_F(IniFileTest, WriteWhereNoFileCanBe) {
  Put("plain", "a regular file");
  fs::create_directory(Path("adir"));
  for (const std::string& p : {Path("plain") + "/TamlixTCP.INI", Path("missing") + "/TamlixTCP.INI", Path("adir")}) {
    TIniFile ini(p);
    try {
      ini.WriteString("Global TCP/IP Data", "Port", "21");
      ADD_FAILURE() << p;
    } catch (const EIniFileError& e) {
      EXPECT_EQ(std::string(e.what()), "Unable to write to " + p);
    }
  }
  EXPECT_EQ(Get("plain"), "a regular file");
  EXPECT_TRUE(fs::is_directory(Path("adir")));
  EXPECT_EQ(DirEntries(), (std::vector<std::string>{"adir", "plain"}));
}

TEST_F(IniFileTest, ReplacementKeepsPermissionsAndLinks) {
  Put("target.ini", "[A]\nk=1\n");
  ASSERT_EQ(::chmod(Path("target.ini").c_str(), 0640), 0);
  fs::create_symlink(Path("target.ini"), Path("link.ini"));
  TIniFile(Path("link.ini")).WriteString("A", "k", "2");
  EXPECT_TRUE(fs::is_symlink(Path("link.ini")));
  EXPECT_EQ(Get("target.ini"), "[A]\nk=2\n");
  struct stat st {};
  ASSERT_EQ(::stat(Path("target.ini").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);

  const mode_t mask = ::umask(022);
  TIniFile(Path("fresh.ini")).WriteString("A", "k", "1");
  ::umask(mask);
  ASSERT_EQ(::stat(Path("fresh.ini").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST_F(IniFileTest, BareFileNameIsInTheCurrentDirectory) {
  const fs::path previous = fs::current_path();
  fs::current_path(dir_);
  TIniFile ini("TamlixTCP.INI");
  ini.WriteString("Global TCP/IP Data", "Port", "21");
  EXPECT_EQ(ini.ReadInteger("Global TCP/IP Data", "Port", 0), 21);
  fs::current_path(previous);
  EXPECT_EQ(Get("TamlixTCP.INI"), "[Global TCP/IP Data]\r\nPort=21\r\n");
  EXPECT_EQ(DirEntries(), std::vector<std::string>{"TamlixTCP.INI"});
}

// A reader in another thread (or program) sees the old file or the new one,
// never half of one, and the other keys are never lost: whether the file is
// replaced or, having a second name, rewritten in place (where a value of
// another length moves every line after it).
TEST_F(IniFileTest, ReaderNeverSeesAHalfWrittenFile) {
  const std::string a(2000, 'a'), b(1500, 'b'), c(1000, 'c');
  const int kept = 50;
  for (bool inPlace : {false, true}) {
    SCOPED_TRACE(inPlace ? "in place" : "replaced");
    fs::remove(Path("c.ini"));
    fs::remove(Path("second.ini"));
    TIniFile(Path("c.ini")).WriteString("S", "V", a);
    for (int i = 0; i < kept; ++i) TIniFile(Path("c.ini")).WriteString("S", "K" + std::to_string(i), c);
    TIniFile(Path("c.ini")).WriteString("Other", "Keep", "1");
    if (inPlace) fs::create_hard_link(Path("c.ini"), Path("second.ini"));
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::thread reader([&] {
      TIniFile ini(Path("c.ini"));
      while (!stop.load()) {
        std::string v = ini.ReadString("S", "V", "");
        if (v != a && v != b) ++bad;
        for (int i = 0; i < kept; ++i)
          if (ini.ReadString("S", "K" + std::to_string(i), "") != c) ++bad;
        if (ini.ReadString("Other", "Keep", "") != "1") ++bad;
      }
    });
    TIniFile writer(Path("c.ini"));
    for (int i = 0; i < 200; ++i) writer.WriteString("S", "V", i % 2 ? a : b);
    stop = true;
    reader.join();
    EXPECT_EQ(bad.load(), 0);
  }
}

}  // namespace
}  // namespace tamlix
