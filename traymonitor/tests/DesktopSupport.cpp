#include "DesktopSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xtest.h>

#include <QCoreApplication>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "TestFiles.h"

namespace tamlix::brindlemoss::test {

namespace fs = std::filesystem;

namespace {

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
template <class T>
using Reply = std::unique_ptr<T, FreeDeleter>;

void Pause(double seconds) {
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

}  // namespace

bool WaitFor(const std::function<bool()>& condition, double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    if (QCoreApplication::instance()) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    Pause(0.02);
  }
  return true;
}

// ---- Child ----

Child::Child(const std::string& path, const std::vector<std::string>& argv, const std::vector<std::string>& env,
             int fdFor3, const std::string& output) {
  // Everything the child needs is built before the fork.
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> envp;
  for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  const int out = output.empty() ? ::open("/dev/null", O_WRONLY | O_CLOEXEC)
                                 : ::open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  const pid_t parent = ::getpid();
  pid_ = ::fork();
  if (pid_ == 0) {
    // A test that crashes takes its X server, window manager and bus along.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    if (fdFor3 >= 0) ::dup2(fdFor3, 3);
    if (out >= 0) {
      ::dup2(out, 1);
      ::dup2(out, 2);
    }
    const int in = ::open("/dev/null", O_RDONLY);
    if (in >= 0) ::dup2(in, 0);
    ::execve(path.c_str(), args.data(), envp.data());
    ::_exit(127);
  }
  if (out >= 0) ::close(out);
  if (pid_ < 0) throw std::runtime_error("fork failed");
}

Child::~Child() {
  if (status_ || pid_ <= 0) return;
  Signal(SIGTERM);
  if (!Wait(10)) {
    Signal(SIGKILL);
    Wait(30);
  }
}

void Child::Signal(int sig) const {
  if (!status_ && pid_ > 0) ::kill(pid_, sig);
}

std::optional<int> Child::Wait(double seconds) {
  WaitFor(
      [this] {
        if (status_) return true;
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
          status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        return status_.has_value();
      },
      seconds);
  return status_;
}

std::vector<std::string> BaseEnvironment(const std::string& home) {
  std::vector<std::string> env{"PATH=/usr/bin:/bin", "HOME=" + home, "XDG_RUNTIME_DIR=" + home,
                               "XDG_CONFIG_HOME=" + home + "config", "XDG_CACHE_HOME=" + home + "cache",
                               "LANG=C.UTF-8"};
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS"}) {
    if (const char* value = ::getenv(name)) env.push_back(std::string(name) + "=" + value);
  }
  return env;
}

// ---- ProgramDir ----

ProgramDir::ProgramDir() {
  std::string pattern = std::string(TEST_TMP_DIR) + "/program-XXXXXX";
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  dir = pattern + "/";
  // A hard link keeps /proc/self/exe in this directory; a copy serves elsewhere.
  std::error_code error;
  fs::create_hard_link(BRINDLEMOSS_EXE, Program(), error);
  if (error) fs::copy_file(BRINDLEMOSS_EXE, Program());
  fs::copy_file(TEST_MASTER_LIB, File("libTamlixMaster.so"));
  fs::create_directories(File("home"));
}

ProgramDir::~ProgramDir() {
  std::error_code ignored;
  fs::remove_all(dir, ignored);
}

std::vector<std::string> ProgramDir::MasterCalls() const {
  std::vector<std::string> lines;
  const auto text = ReadFile(File("master.calls"));
  if (!text) return lines;
  size_t start = 0;
  for (size_t end; (end = text->find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text->substr(start, end - start));
  }
  return lines;
}

std::vector<std::string> ProgramDir::LogMessages() const { return test::LogMessages(File("Brindlemoss.LOG")); }

std::unique_ptr<Child> ProgramDir::Start(const std::vector<std::string>& args, std::vector<std::string> env,
                                         bool withName) {
  std::vector<std::string> argv;
  if (withName) argv.push_back(Program());
  argv.insert(argv.end(), args.begin(), args.end());
  for (auto& e : BaseEnvironment(File("home/"))) env.push_back(e);
  env.push_back("TAMLIX_TEST_MASTER_CALLS=" + File("master.calls"));
  return std::make_unique<Child>(Program(), argv, env, -1, File("output.txt"));
}

std::string ProgramDir::Output() const { return ReadFile(File("output.txt")).value_or(""); }

// ---- XServer ----

XServer::XServer() {
  int pipe[2];
  if (::pipe2(pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  // -displayfd: the server takes the first free display and names it on fd 3.
  server_ = std::make_unique<Child>(
      "/usr/bin/Xvfb", std::vector<std::string>{"Xvfb", "-displayfd", "3", "-nolisten", "tcp", "-screen", "0",
                                                "1280x1024x24"},
      BaseEnvironment("/tmp/"), pipe[1]);
  ::close(pipe[1]);
  std::string number;
  pollfd p{pipe[0], POLLIN, 0};
  char ch;
  while (::poll(&p, 1, 60000) == 1 && ::read(pipe[0], &ch, 1) == 1 && ch != '\n') number += ch;
  ::close(pipe[0]);
  if (number.empty()) throw std::runtime_error("Xvfb named no display");
  display_ = ":" + number;
  c_ = xcb_connect(display_.c_str(), nullptr);
  if (xcb_connection_has_error(c_)) throw std::runtime_error("cannot connect to " + display_);
  root_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data->root;
}

XServer::~XServer() {
  if (c_) xcb_disconnect(c_);
}

xcb_atom_t XServer::Atom(const char* name) {
  const Reply<xcb_intern_atom_reply_t> reply(
      xcb_intern_atom_reply(c_, xcb_intern_atom(c_, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr));
  return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
}

std::string XServer::AtomName(xcb_atom_t atom) {
  const Reply<xcb_get_atom_name_reply_t> reply(xcb_get_atom_name_reply(c_, xcb_get_atom_name(c_, atom), nullptr));
  if (!reply) return "";
  return std::string(xcb_get_atom_name_name(reply.get()), xcb_get_atom_name_name_length(reply.get()));
}

std::vector<uint32_t> XServer::Property32(xcb_window_t window, const char* name) {
  const Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
      c_, xcb_get_property(c_, 0, window, Atom(name), XCB_GET_PROPERTY_TYPE_ANY, 0, 4096), nullptr));
  if (!reply || reply->format != 32) return {};
  const auto* items = static_cast<const uint32_t*>(xcb_get_property_value(reply.get()));
  return std::vector<uint32_t>(items, items + xcb_get_property_value_length(reply.get()) / 4);
}

std::string XServer::PropertyText(xcb_window_t window, const char* name) {
  const Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
      c_, xcb_get_property(c_, 0, window, Atom(name), XCB_GET_PROPERTY_TYPE_ANY, 0, 4096), nullptr));
  if (!reply || reply->format != 8) return "";
  return std::string(static_cast<const char*>(xcb_get_property_value(reply.get())),
                     xcb_get_property_value_length(reply.get()));
}

bool XServer::HasProperty(xcb_window_t window, const char* name) {
  const Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
      c_, xcb_get_property(c_, 0, window, Atom(name), XCB_GET_PROPERTY_TYPE_ANY, 0, 0), nullptr));
  return reply && reply->type != XCB_ATOM_NONE;
}

std::vector<std::string> XServer::NetWmState(xcb_window_t window) {
  std::vector<std::string> names;
  for (uint32_t atom : Property32(window, "_NET_WM_STATE")) names.push_back(AtomName(atom));
  return names;
}

uint32_t XServer::WmState(xcb_window_t window) {
  const std::vector<uint32_t> state = Property32(window, "WM_STATE");
  return state.empty() ? 0 : state[0];
}

bool XServer::Viewable(xcb_window_t window) {
  const Reply<xcb_get_window_attributes_reply_t> reply(
      xcb_get_window_attributes_reply(c_, xcb_get_window_attributes(c_, window), nullptr));
  return reply && reply->map_state == XCB_MAP_STATE_VIEWABLE;
}

xcb_window_t XServer::SelectionOwner(const char* selection) {
  const Reply<xcb_get_selection_owner_reply_t> reply(
      xcb_get_selection_owner_reply(c_, xcb_get_selection_owner(c_, Atom(selection)), nullptr));
  return reply ? reply->owner : xcb_window_t{XCB_NONE};
}

std::vector<xcb_window_t> XServer::WindowsOf(pid_t pid) {
  std::vector<xcb_window_t> found;
  std::vector<xcb_window_t> pending{root_};
  while (!pending.empty()) {
    const xcb_window_t window = pending.back();
    pending.pop_back();
    const std::vector<uint32_t> owner = Property32(window, "_NET_WM_PID");
    if (!owner.empty() && owner[0] == static_cast<uint32_t>(pid)) found.push_back(window);
    const Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c_, xcb_query_tree(c_, window), nullptr));
    if (!tree) continue;
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    pending.insert(pending.end(), children, children + xcb_query_tree_children_length(tree.get()));
  }
  return found;
}

xcb_window_t XServer::MainWindowOf(pid_t pid) {
  for (xcb_window_t window : WindowsOf(pid)) {
    if (PropertyText(window, "_NET_WM_NAME").rfind("Brindlemoss ", 0) == 0) return window;
  }
  return XCB_NONE;
}

xcb_window_t XServer::TrayIconOf(pid_t pid) {
  for (xcb_window_t window : WindowsOf(pid)) {
    if (HasProperty(window, "_XEMBED_INFO")) return window;
  }
  return XCB_NONE;
}

void XServer::Click(xcb_window_t window, int x, int y, int count) {
  const Reply<xcb_translate_coordinates_reply_t> at(xcb_translate_coordinates_reply(
      c_, xcb_translate_coordinates(c_, window, root_, static_cast<int16_t>(x), static_cast<int16_t>(y)), nullptr));
  if (!at) return;
  xcb_test_fake_input(c_, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, root_, at->dst_x, at->dst_y, 0);
  xcb_flush(c_);
  Pause(0.1);
  for (int i = 0; i < count; ++i) {
    xcb_test_fake_input(c_, XCB_BUTTON_PRESS, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    xcb_test_fake_input(c_, XCB_BUTTON_RELEASE, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    xcb_flush(c_);
    Pause(0.05);
  }
  Reply<xcb_generic_error_t>(xcb_request_check(c_, xcb_no_operation_checked(c_)));
}

void XServer::SendToRoot(xcb_window_t window, const char* type, std::vector<uint32_t> data) {
  xcb_client_message_event_t message = {};
  message.response_type = XCB_CLIENT_MESSAGE;
  message.format = 32;
  message.window = window;
  message.type = Atom(type);
  for (size_t i = 0; i < data.size() && i < 5; ++i) message.data.data32[i] = data[i];
  xcb_send_event(c_, 0, root_, XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT,
                 reinterpret_cast<const char*>(&message));
  xcb_flush(c_);
}

void XServer::Minimise(xcb_window_t window) { SendToRoot(window, "WM_CHANGE_STATE", {3}); }

void XServer::CloseBox(xcb_window_t window) { SendToRoot(window, "_NET_CLOSE_WINDOW", {0, 2}); }

uint32_t XServer::CurrentDesktop() {
  const std::vector<uint32_t> desktop = Property32(root_, "_NET_CURRENT_DESKTOP");
  return desktop.empty() ? 0 : desktop[0];
}

void XServer::ShowDesktop(uint32_t desktop) { SendToRoot(root_, "_NET_CURRENT_DESKTOP", {desktop, XCB_CURRENT_TIME}); }

std::optional<uint32_t> XServer::DesktopOf(xcb_window_t window) {
  const std::vector<uint32_t> desktop = Property32(window, "_NET_WM_DESKTOP");
  if (desktop.empty()) return std::nullopt;
  return desktop[0];
}

xcb_window_t XServer::ActiveWindow() {
  const std::vector<uint32_t> active = Property32(root_, "_NET_ACTIVE_WINDOW");
  return active.empty() ? xcb_window_t{XCB_NONE} : active[0];
}

void XServer::Kill() {
  server_->Signal(SIGKILL);
  server_->Wait(30);
}

}  // namespace tamlix::brindlemoss::test
