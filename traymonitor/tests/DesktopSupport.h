// What the tests of the real program share: child processes that are always
// ended and reaped, an executable directory holding the program and the
// test master library, and an X server (Xvfb on a display of its own) with
// the queries and input a user's desktop would give: window properties,
// map and ICCCM states, pointer clicks through XTest, and the window
// manager's minimise and close requests.
#pragma once

#include <sys/types.h>
#include <xcb/xcb.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tamlix::brindlemoss::test {

// Waits up to `seconds` for `condition`, serving the test's own Qt events
// (if it has an application object) meanwhile.
bool WaitFor(const std::function<bool()>& condition, double seconds = 60);

// A started process. The destructor ends it (SIGTERM, then SIGKILL after a
// grace time) and reaps it; it is killed as well when the test process dies.
class Child {
 public:
  // Runs the program at `path` with `argv` exactly as given (it may even be
  // empty) and only the environment `env`.
  // `fdFor3`, when >= 0, becomes the child's descriptor 3. Output goes to
  // `output` when it is not empty.
  Child(const std::string& path, const std::vector<std::string>& argv, const std::vector<std::string>& env,
        int fdFor3 = -1, const std::string& output = "");
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t Pid() const { return pid_; }
  void Signal(int sig) const;
  // The exit status once the process has ended within `seconds`: the exit
  // code, or 128 + the signal that killed it.
  std::optional<int> Wait(double seconds);

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
};

// The environment a test gives its children: only what it names, plus the
// sanitizers' options of the test run.
std::vector<std::string> BaseEnvironment(const std::string& home);

// A fresh directory holding the program and the test master library beside
// it, removed by the destructor.
class ProgramDir {
 public:
  ProgramDir();
  ~ProgramDir();
  std::string File(const std::string& name) const { return dir + name; }
  std::string Program() const { return File("BrindlemossUtil"); }
  // The lines that the test master library recorded.
  std::vector<std::string> MasterCalls() const;
  // Log lines without their time stamps.
  std::vector<std::string> LogMessages() const;
  // Starts the program with `argv` (after its name) and `env` (BaseEnvironment
  // and the recording file are added).
  std::unique_ptr<Child> Start(const std::vector<std::string>& args, std::vector<std::string> env = {},
                               bool withName = true);
  std::string Output() const;

  std::string dir;  // ends with "/"
};

// Xvfb on a free display, with a connection of the test's own.
class XServer {
 public:
  XServer();
  ~XServer();
  const std::string& Display() const { return display_; }
  xcb_connection_t* Connection() const { return c_; }
  xcb_window_t Root() const { return root_; }

  xcb_atom_t Atom(const char* name);
  std::string AtomName(xcb_atom_t atom);
  // The property's 32-bit items (atoms, cardinals, windows); empty when absent.
  std::vector<uint32_t> Property32(xcb_window_t window, const char* name);
  std::string PropertyText(xcb_window_t window, const char* name);
  bool HasProperty(xcb_window_t window, const char* name);
  std::vector<std::string> NetWmState(xcb_window_t window);
  // WM_STATE: 0 withdrawn (also when absent), 1 normal, 3 iconic.
  uint32_t WmState(xcb_window_t window);
  bool Viewable(xcb_window_t window);
  xcb_window_t SelectionOwner(const char* selection);

  // Every window of the process `pid` (by _NET_WM_PID), in tree order.
  std::vector<xcb_window_t> WindowsOf(pid_t pid);
  // Its main window: titled "Brindlemoss ..."; 0 when not created yet.
  xcb_window_t MainWindowOf(pid_t pid);
  // Its tray icon: the window carrying _XEMBED_INFO; 0 when none.
  xcb_window_t TrayIconOf(pid_t pid);

  // Left clicks at (x, y) inside `window`, `count` times in quick succession.
  void Click(xcb_window_t window, int x, int y, int count = 1);
  // Asks the window manager to minimise (ICCCM WM_CHANGE_STATE) or close
  // (_NET_CLOSE_WINDOW) the window, as a taskbar or a title bar does.
  void Minimise(xcb_window_t window);
  void CloseBox(xcb_window_t window);
  // The desktop shown (_NET_CURRENT_DESKTOP), and a switch to another one
  // as a pager asks for it.
  uint32_t CurrentDesktop();
  void ShowDesktop(uint32_t desktop);
  // The desktop that `window` is on (_NET_WM_DESKTOP; 0xFFFFFFFF: all).
  std::optional<uint32_t> DesktopOf(xcb_window_t window);
  // The window that has the focus, as the window manager says.
  xcb_window_t ActiveWindow();

  // Ends the X server at once (SIGKILL), as a crash or a power cut would;
  // the test's own connection breaks with it.
  void Kill();

 private:
  void SendToRoot(xcb_window_t window, const char* type, std::vector<uint32_t> data);
  std::unique_ptr<Child> server_;
  std::string display_;
  xcb_connection_t* c_ = nullptr;
  xcb_window_t root_ = 0;
};

}  // namespace tamlix::brindlemoss::test
