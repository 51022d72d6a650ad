// The installed copy, as an integrator and an operator meet it: the build is
// installed once into a temporary prefix; a C host built with nothing but
// pkg-config's flags gets its replies from the test switch, and
// BrindlemossUtil runs a direct session from its installed folder. Nothing
// here sets LD_LIBRARY_PATH: every installed file finds its libraries alone.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TestSwitch.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using tamlix::testing::TestSwitch;

struct CommandRun {
  int status = -1;     // exit code, or -1 when it did not exit normally
  std::string output;  // standard output and standard error together
};

CommandRun Shell(const std::string& command) {
  CommandRun r;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return r;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) r.output.append(buffer, n);
  const int raw = ::pclose(pipe);
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return r;
}

std::string Quoted(const std::string& s) { return "'" + s + "'"; }

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void Put(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::string Trimmed(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

template <typename Pred>
bool WaitFor(Pred done, std::chrono::seconds limit = std::chrono::seconds(60)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

class InstallTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ::unsetenv("LD_LIBRARY_PATH");
    char pattern[] = "/tmp/tamlix-install-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    prefix_ = pattern;
    install_ = Shell(Quoted(TAMLIX_CMAKE) + " --install " + Quoted(TAMLIX_BUILD_DIR) + " --prefix " +
                     Quoted(prefix_.string()));
    // Only what this prefix holds: no other installed copy answers for it.
    ::setenv("PKG_CONFIG_LIBDIR", (prefix_ / TAMLIX_LIBDIR / "pkgconfig").c_str(), 1);
    ::unsetenv("PKG_CONFIG_PATH");
  }
  static void TearDownTestSuite() { fs::remove_all(prefix_); }
  void SetUp() override { ASSERT_EQ(install_.status, 0) << install_.output; }

  static fs::path Bin() { return prefix_ / TAMLIX_BINDIR; }
  static fs::path Lib() { return prefix_ / TAMLIX_LIBDIR; }
  // The switch as TamlixConfig would write it beside the programs.
  static void WriteTcpSettings(int port) {
    Put(Bin() / "TamlixTCP.INI", "[Global TCP/IP Data]\r\nAddress=127.0.0.1\r\nPort=" + std::to_string(port) +
                                     "\r\nTimeOut=30000\r\nUse=0\r\n");
  }

  static fs::path prefix_;
  static CommandRun install_;
};

fs::path InstallTest::prefix_;
CommandRun InstallTest::install_;

TEST_F(InstallTest, InstallsTheDeliverablesAndNothingElse) {
  const std::string so = "libTamlix", v = TAMLIX_VERSION, major = v.substr(0, v.find('.'));
  std::set<std::string> expected = {
      "bin/BrindlemossUtil", "bin/TamlixConfig", "bin/claimhost", "bin/debugview", "bin/libTamlixMaster.so",
      "lib/pkgconfig/tamlix-core.pc", "lib/pkgconfig/tamlix-direct.pc"};
  for (const char* name : {"Core", "Direct"})
    for (const std::string& suffix : {std::string(), "." + major, "." + v})
      expected.insert("lib/" + so + name + ".so" + suffix);
  for (const auto& header : fs::directory_iterator(TAMLIX_PUBLIC_HEADERS))
    if (header.path().extension() == ".h") expected.insert("include/tamlix/" + header.path().filename().string());

  std::set<std::string> installed;
  for (const auto& entry : fs::recursive_directory_iterator(prefix_)) {
    if (entry.is_directory() && !entry.is_symlink()) continue;
    std::string rel = entry.path().lexically_relative(prefix_).string();
    // Written in the GNU directories this build was configured with.
    for (auto [dir, generic] : {std::pair<std::string, std::string>{TAMLIX_BINDIR, "bin"},
                                {TAMLIX_LIBDIR, "lib"},
                                {TAMLIX_INCLUDEDIR, "include"}})
      if (rel.rfind(dir + "/", 0) == 0) rel = generic + rel.substr(dir.size());
    installed.insert(rel);
  }
  EXPECT_EQ(installed, expected);

  // The host libraries: SONAME = major version, the links lead to the file.
  for (const char* name : {"Core", "Direct"}) {
    const std::string base = so + name + ".so";
    EXPECT_EQ(fs::read_symlink(Lib() / base), base + "." + major);
    EXPECT_EQ(fs::read_symlink(Lib() / (base + "." + major)), base + "." + v);
    CommandRun elf = Shell("readelf -d " + Quoted((Lib() / base).string()));
    EXPECT_NE(elf.output.find("Library soname: [" + base + "." + major + "]"), std::string::npos) << elf.output;
  }
}

// Every installed program and library loads ours from the prefix, by a
// RUNPATH relative to its own place: no path of the build tree (which the
// operator's machine does not have), no DT_RPATH, nothing missing.
TEST_F(InstallTest, EveryInstalledFileFindsOurLibrariesInThePrefix) {
  std::vector<fs::path> elves;
  for (const auto& entry : fs::recursive_directory_iterator(prefix_)) {
    char magic[4] = {};
    if (entry.is_regular_file() && !entry.is_symlink() &&
        std::ifstream(entry.path(), std::ios::binary).read(magic, 4) && std::string(magic, 4) == "\x7f" "ELF")
      elves.push_back(entry.path());
  }
  ASSERT_EQ(elves.size(), 7u);  // five in bin/, two in lib/
  for (const fs::path& file : elves) {
    CommandRun elf = Shell("readelf -d " + Quoted(file.string()));
    ASSERT_EQ(elf.status, 0) << elf.output;
    EXPECT_EQ(elf.output.find("(RPATH)"), std::string::npos) << file << "\n" << elf.output;
    std::istringstream lines(elf.output);
    for (std::string line; std::getline(lines, line);) {
      const auto open = line.find("Library runpath: [");
      if (open == std::string::npos) continue;
      std::istringstream entries(line.substr(open + 18, line.rfind(']') - open - 18));
      for (std::string entry; std::getline(entries, entry, ':');)
        EXPECT_EQ(entry.rfind("$ORIGIN", 0), 0u) << file << " runpath entry " << entry;
    }

    CommandRun ldd = Shell("ldd " + Quoted(file.string()));
    EXPECT_EQ(ldd.output.find("not found"), std::string::npos) << file << "\n" << ldd.output;
    std::istringstream deps(ldd.output);
    for (std::string line; std::getline(deps, line);) {
      if (line.find("libTamlix") == std::string::npos) continue;
      EXPECT_NE(line.find("=> " + prefix_.string() + "/"), std::string::npos) << file << ": " << line;
    }
  }
}

TEST_F(InstallTest, HostBuiltWithPkgConfigFlagsGetsTheRepliesByBothRoads) {
  CommandRun flags = Shell("pkg-config --cflags --libs tamlix-direct");
  ASSERT_EQ(flags.status, 0) << flags.output;
  EXPECT_NE(flags.output.find("-lTamlixDirect"), std::string::npos) << flags.output;
  EXPECT_NE(flags.output.find("-lTamlixCore"), std::string::npos) << flags.output;  // through Requires
  CommandRun libdir = Shell("pkg-config --variable=libdir tamlix-direct");
  ASSERT_EQ(libdir.status, 0) << libdir.output;
  EXPECT_EQ(fs::path(Trimmed(libdir.output)), Lib());

  // The README's line for a host program, built beside its own lock file.
  const fs::path hostDir = prefix_ / "host";
  fs::create_directories(hostDir);
  const fs::path host = hostDir / "installed_host";
  CommandRun build = Shell(Quoted(TAMLIX_C_COMPILER) + " -Wall -Wextra -Werror " TAMLIX_HOST_LINK_FLAGS " " +
                           Quoted(TAMLIX_HOST_SOURCE) + " -o " + Quoted(host.string()) + " " +
                           Trimmed(flags.output) + " -Wl,-rpath," + Trimmed(libdir.output));
  ASSERT_EQ(build.status, 0) << build.output;

  TestSwitch sw({"--reply", "ACCEPTED"});
  WriteTcpSettings(sw.port());
  CommandRun run = Shell(Quoted(host.string()) + " " + Quoted(Bin().string() + "/") + " " + std::to_string(sw.port()));
  fs::remove(Bin() / "TamlixTCP.INI");
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(run.output, "sync: ACCEPTED\nasync: ACCEPTED\n");
  EXPECT_EQ(sw.Request(1), "SYNC CLAIM");
  EXPECT_EQ(sw.Request(2), "\x02" "0012ASYNC CLAIM\x03");
  fs::remove_all(hostDir);
}

// Ends a spawned program that a failed assertion left running.
struct ChildGuard {
  pid_t pid = -1;
  ~ChildGuard() {
    if (pid > 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  }
};

TEST_F(InstallTest, BrindlemossUtilRunsADirectSessionFromItsInstalledFolder) {
  TestSwitch sw;
  WriteTcpSettings(sw.port());
  Put(Bin() / "Brindlemoss.INI", "[installed]\r\nSessionType=2\r\n");
  const fs::path lock = Bin() / "installed.lck";

  const std::string program = (Bin() / "BrindlemossUtil").string();
  char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>("installed"), const_cast<char*>("LOG"),
                  nullptr};
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  ChildGuard child;
  ASSERT_EQ(::posix_spawn(&child.pid, program.c_str(), nullptr, nullptr, argv, environ), 0);

  // Settings, log and the session's lock file are all in the installed folder.
  ASSERT_TRUE(WaitFor([&] { return fs::exists(lock); })) << Slurp(Bin() / "Brindlemoss.LOG");
  EXPECT_EQ(Slurp(Bin() / "Brindlemoss.LOG").rfind("Session ID installed Session Started", 0), 0u);
  // The master library and the core it runs the session through came from
  // the prefix.
  std::set<std::string> ours;
  std::istringstream maps(Slurp("/proc/" + std::to_string(child.pid) + "/maps"));
  for (std::string line; std::getline(maps, line);) {
    const auto at = line.find('/');
    if (at == std::string::npos || line.find("libTamlix") == std::string::npos) continue;
    const fs::path mapped = line.substr(at);
    EXPECT_EQ(mapped.string().rfind(prefix_.string() + "/", 0), 0u) << mapped;
    ours.insert(mapped.filename().string());
  }
  EXPECT_TRUE(ours.count("libTamlixMaster.so")) << ::testing::PrintToString(ours);
  EXPECT_TRUE(ours.count("libTamlixCore.so." + std::string(TAMLIX_VERSION))) << ::testing::PrintToString(ours);

  ASSERT_EQ(::kill(child.pid, SIGTERM), 0);
  int status = 0;
  ASSERT_EQ(::waitpid(child.pid, &status, 0), child.pid);
  child.pid = -1;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_FALSE(fs::exists(lock));
  for (const char* file : {"TamlixTCP.INI", "Brindlemoss.INI", "Brindlemoss.LOG"}) fs::remove(Bin() / file);
}

}  // namespace
