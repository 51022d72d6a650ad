// The real program as a user runs it: its command line, and on an X11
// desktop (Xvfb with a window manager, and an X11 notification area or a
// D-Bus one on a private session bus) its taskbar state, its tray icon and
// its ways out.
#include <gtest/gtest.h>
#include <signal.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QObject>
#include <QStringList>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "DesktopSupport.h"
#include "TestFiles.h"

namespace tamlix::brindlemoss::test {
namespace {

bool Holds(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

// ---- command line ----

// Qt never sees the program's arguments: whatever they spell, the first is
// the session ID and the second the log switch, as bytes.
TEST(CommandLineTest, ArgumentsAreTheProgramsOwnBytes) {
  const struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string session;   // expected to start
    bool logged;           // "Session Started" in the log file
  } cases[] = {
      {"Qt's -reverse", {"-reverse", "700", "LOG"}, "-reverse", false},
      {"Qt's -style with a value", {"-style", "x", "700"}, "-style", false},
      {"Qt's -platform with a value", {"-platform", "nowhere", "LOG"}, "-platform", false},
      {"8-bit session ID", {"\xE9t\xE9 \xFF", "LOG"}, "\xE9t\xE9 \xFF", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ProgramDir program;
    WriteFile(program.File("Brindlemoss.INI"),
              "[700]\nSessionType=2\n[" + c.args[0] + "]\nSessionType=2\n");
    auto app = program.Start(c.args, {"QT_QPA_PLATFORM=offscreen"});
    ASSERT_TRUE(WaitFor([&] { return program.MasterCalls().size() >= 2; })) << program.Output();
    EXPECT_EQ(program.MasterCalls(), (std::vector<std::string>{"loaded", "Master_Initialize " + c.session}));
    app->Signal(SIGTERM);
    EXPECT_EQ(app->Wait(60), 0) << program.Output();
    const std::vector<std::string> log = program.LogMessages();
    if (c.logged) {
      EXPECT_EQ(log, std::vector<std::string>{"Session ID " + c.session + " Session Started"});
    } else {
      EXPECT_TRUE(log.empty());
    }
  }
}

// A program started without even its own name runs with an empty session.
TEST(CommandLineTest, EmptyArgumentVector) {
  ProgramDir program;
  WriteFile(program.File("Brindlemoss.INI"), "[700]\nSessionType=2\n");
  auto app = program.Start({}, {"QT_QPA_PLATFORM=offscreen"}, /*withName=*/false);
  ASSERT_TRUE(WaitFor([&] { return !program.MasterCalls().empty(); })) << program.Output();
  app->Signal(SIGTERM);
  EXPECT_EQ(app->Wait(60), 0) << program.Output();
  EXPECT_EQ(program.MasterCalls(), std::vector<std::string>{"loaded"});
}

// ---- no display ----

// Run from cron, ssh or a service: each program says in one line that it
// cannot open a display and ends with a non-zero code, not by a signal
// (no core dump); BrindlemossUtil leaves no debug ring behind.
TEST(NoDisplayTest, BothProgramsSaySoAndEnd) {
  ProgramDir program;
  WriteFile(program.File("Brindlemoss.INI"), "[700]\nSessionType=2\n");
  const std::string ring = "/dev/shm/DebugShared";
  ASSERT_FALSE(std::filesystem::exists(ring)) << "a ring left by an earlier test";
  const struct Case {
    const char* name;
    std::string path;
    std::vector<std::string> env;
  } cases[] = {
      {"BrindlemossUtil, no DISPLAY", program.Program(), {}},
      {"BrindlemossUtil, a display that is not there", program.Program(), {"DISPLAY=:64999"}},
      {"TamlixConfig, no DISPLAY", TAMLIXCONFIG_EXE, {}},
      {"TamlixConfig, a display that is not there", TAMLIXCONFIG_EXE, {"DISPLAY=:64999"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> env = c.env;
    for (const std::string& e : BaseEnvironment(program.File("home/"))) env.push_back(e);
    const std::string output = program.File("no-display.txt");
    std::filesystem::remove(output);
    Child child(c.path, {c.path, "700"}, env, -1, output);
    const std::optional<int> status = child.Wait(60);
    ASSERT_TRUE(status.has_value());
    EXPECT_GT(*status, 0);
    EXPECT_LT(*status, 128) << "ended by a signal";
    const std::string text = ReadFile(output).value_or("");
    const std::string name = std::filesystem::path(c.path).filename().string();
    EXPECT_EQ(text.rfind(name + ": cannot open a display: ", 0), 0u) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    EXPECT_FALSE(std::filesystem::exists(ring));
  }
}

// ---- X11 desktop ----

class DesktopTest : public ::testing::Test {
 protected:
  std::vector<std::string> XEnvironment() {
    std::vector<std::string> env = BaseEnvironment(program.File("home/"));
    env.push_back("DISPLAY=" + x.Display());
    return env;
  }
  // Openbox without its animations (an animated restore swallows clicks).
  void StartWindowManager() {
    WriteFile(program.File("openbox.xml"),
              "<?xml version=\"1.0\"?><openbox_config xmlns=\"http://openbox.org/3.4/rc\">"
              "<theme><animateIconify>no</animateIconify></theme>"
              "<desktops><number>2</number></desktops></openbox_config>");
    wm = std::make_unique<Child>(
        "/usr/bin/openbox",
        std::vector<std::string>{"openbox", "--sm-disable", "--config-file", program.File("openbox.xml")},
        XEnvironment(), -1, program.File("openbox.txt"));
    ASSERT_TRUE(WaitFor([&] { return !x.Property32(x.Root(), "_NET_SUPPORTING_WM_CHECK").empty(); }));
  }
  // An X11 notification area (XEmbed system tray).
  void StartTrayHost() {
    tray = std::make_unique<Child>(
        "/usr/bin/trayer",
        std::vector<std::string>{"trayer", "--edge", "bottom", "--align", "right", "--widthtype", "pixel", "--width",
                                 "200", "--height", "24"},
        XEnvironment(), -1, program.File("trayer.txt"));
    ASSERT_TRUE(WaitFor([&] { return x.SelectionOwner("_NET_SYSTEM_TRAY_S0") != XCB_NONE; }));
  }
  // Session 700 with logging on, its lock and "txt" files in place, on
  // this display; `bus` is the session bus it sees, `env` more of its
  // environment.
  void StartProgram(const std::string& bus = "unix:path=/nonexistent", std::vector<std::string> env = {}) {
    WriteFile(program.File("Brindlemoss.INI"), "[700]\nSessionType=2\n");
    WriteFile(program.File("700.lck"), "lock\r\n");
    WriteFile(program.File("700txt"), "session\r\n");
    env.push_back("QT_QPA_PLATFORM=xcb");
    env.push_back("DISPLAY=" + x.Display());
    env.push_back("DBUS_SESSION_BUS_ADDRESS=" + bus);
    app = program.Start({"700", "LOG"}, env);
    ASSERT_TRUE(WaitFor([&] { return program.MasterCalls().size() >= 2; })) << program.Output();
  }
  xcb_window_t WaitForTrayIcon() {
    xcb_window_t icon = XCB_NONE;
    EXPECT_TRUE(WaitFor([&] { return (icon = x.TrayIconOf(app->Pid())) != XCB_NONE && x.Viewable(icon); }))
        << program.Output();
    return icon;
  }
  // The main window shown as a normal window without a taskbar button.
  void ExpectShown(xcb_window_t window) {
    // The window manager sets WM_STATE and _NET_WM_STATE one after the
    // other: a restored window may still say hidden for a moment.
    ASSERT_TRUE(WaitFor([&] {
      return x.Viewable(window) && x.WmState(window) == 1 && !Holds(x.NetWmState(window), "_NET_WM_STATE_HIDDEN");
    })) << program.Output();
    const std::vector<std::string> state = x.NetWmState(window);
    EXPECT_TRUE(Holds(state, "_NET_WM_STATE_SKIP_TASKBAR"));
    EXPECT_TRUE(Holds(state, "_NET_WM_STATE_SKIP_PAGER"));
    EXPECT_FALSE(Holds(state, "_NET_WM_STATE_HIDDEN"));
  }
  xcb_window_t MainWindow() {
    xcb_window_t window = XCB_NONE;
    EXPECT_TRUE(WaitFor([&] { return (window = x.MainWindowOf(app->Pid())) != XCB_NONE; })) << program.Output();
    return window;
  }
  bool Exists(const std::string& name) { return std::filesystem::exists(program.File(name)); }

  ProgramDir program;
  XServer x;
  std::unique_ptr<Child> wm;
  std::unique_ptr<Child> tray;
  std::unique_ptr<Child> bus;
  std::unique_ptr<Child> app;
};

TEST_F(DesktopTest, X11TrayOpensTheWindowWithoutATaskbarButton) {
  StartWindowManager();
  StartTrayHost();
  StartProgram();
  const xcb_window_t icon = WaitForTrayIcon();

  // A single click does nothing.
  x.Click(icon, 10, 10);
  WaitFor([] { return false; }, 1.5);
  const xcb_window_t early = x.MainWindowOf(app->Pid());
  EXPECT_TRUE(early == XCB_NONE || !x.Viewable(early));

  x.Click(icon, 10, 10, 2);
  const xcb_window_t window = MainWindow();
  ExpectShown(window);

  // Minimised by the window manager, shown again by a double click.
  x.Minimise(window);
  ASSERT_TRUE(WaitFor([&] { return x.WmState(window) == 3; }));
  x.Click(icon, 10, 10, 2);
  ExpectShown(window);

  // Hidden by its Minimize button (withdrawn: the window manager forgets its
  // state), shown again by a double click.
  x.Click(window, 164, 519);
  ASSERT_TRUE(WaitFor([&] { return !x.Viewable(window); }, 10));
  x.Click(icon, 10, 10, 2);
  ExpectShown(window);

  // Terminate: the loop ends, the lock stays.
  x.Click(window, 58, 519);
  EXPECT_EQ(app->Wait(60), 0) << program.Output();
  EXPECT_EQ(program.LogMessages(),
            (std::vector<std::string>{"Session ID 700 Session Started", "Session ID 700 Minimized pressed",
                                      "Session ID 700 Terminate button pressed"}));
  EXPECT_TRUE(Exists("700.lck"));
  EXPECT_FALSE(Exists("700txt"));
}

// The panel that holds the notification area restarts (the icon is embedded
// anew), then the X server goes away: the program ends by itself, without
// a signal.
TEST_F(DesktopTest, XServerGoneAfterAPanelRestart) {
  StartWindowManager();
  StartTrayHost();
  // Qt's own exit on a broken connection leaves its caches to the process's
  // end; the leak check would turn that into an abort.
  const char* asan = std::getenv("ASAN_OPTIONS");
  StartProgram("unix:path=/nonexistent",
               {std::string("ASAN_OPTIONS=") + (asan ? std::string(asan) + ":" : "") + "detect_leaks=0"});
  const xcb_window_t first = WaitForTrayIcon();
  tray.reset();
  StartTrayHost();
  ASSERT_TRUE(WaitFor([&] {
    const xcb_window_t icon = x.TrayIconOf(app->Pid());
    return icon != XCB_NONE && icon != first && x.Viewable(icon);
  })) << program.Output();
  wm.reset();
  tray.reset();
  x.Kill();
  const std::optional<int> status = app->Wait(60);
  ASSERT_TRUE(status.has_value()) << program.Output();
  EXPECT_LT(*status, 128) << "ended by signal " << *status - 128 << "\n" << program.Output();
}

// The window shown on one desktop, the operator on another: a double click
// on the tray icon brings it to the current desktop, shown and in front.
TEST_F(DesktopTest, DoubleClickFromAnotherDesktop) {
  StartWindowManager();
  StartTrayHost();
  StartProgram();
  const xcb_window_t icon = WaitForTrayIcon();
  x.Click(icon, 10, 10, 2);
  const xcb_window_t window = MainWindow();
  ExpectShown(window);
  ASSERT_TRUE(WaitFor([&] { return x.DesktopOf(window) == 0u; })) << program.Output();

  x.ShowDesktop(1);
  ASSERT_TRUE(WaitFor([&] { return x.CurrentDesktop() == 1; }));
  ASSERT_TRUE(WaitFor([&] { return !x.Viewable(window); })) << "the window stays behind on desktop 0";
  x.Click(icon, 10, 10, 2);
  EXPECT_TRUE(WaitFor([&] { return x.DesktopOf(window) == 1u && x.Viewable(window); }, 10)) << program.Output();
  EXPECT_EQ(x.CurrentDesktop(), 1u) << "the operator stays where he is";
  EXPECT_TRUE(WaitFor([&] { return x.ActiveWindow() == window; }, 10));
  ExpectShown(window);

  // Hidden by its Minimize button, then the operator goes back to desktop 0.
  x.Click(window, 164, 519);
  ASSERT_TRUE(WaitFor([&] { return !x.Viewable(window); }, 10));
  x.ShowDesktop(0);
  ASSERT_TRUE(WaitFor([&] { return x.CurrentDesktop() == 0; }));
  x.Click(icon, 10, 10, 2);
  EXPECT_TRUE(WaitFor([&] { return x.DesktopOf(window) == 0u && x.Viewable(window); }, 10)) << program.Output();
  EXPECT_TRUE(WaitFor([&] { return x.ActiveWindow() == window; }, 10));
  ExpectShown(window);
}

// The ways out with the window shown, through the desktop.
TEST_F(DesktopTest, WaysOutWithTheWindowShown) {
  const struct Case {
    const char* name;
    std::function<void(xcb_window_t)> leave;
    std::vector<std::string> log;  // after "Session Started"
    bool lockKept;
  } cases[] = {
      {"SIGTERM", [this](xcb_window_t) { app->Signal(SIGTERM); }, {}, true},
      {"SIGHUP", [this](xcb_window_t) { app->Signal(SIGHUP); }, {}, true},
      {"close box", [this](xcb_window_t w) { x.CloseBox(w); }, {"Session Terminated", "Normal Close Requested"},
       false},
  };
  StartWindowManager();
  StartTrayHost();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(program.File("Brindlemoss.LOG"));
    std::filesystem::remove(program.File("master.calls"));
    StartProgram();
    x.Click(WaitForTrayIcon(), 10, 10, 2);
    const xcb_window_t window = MainWindow();
    ExpectShown(window);
    c.leave(window);
    EXPECT_EQ(app->Wait(60), 0) << program.Output();
    std::vector<std::string> log{"Session ID 700 Session Started"};
    for (const std::string& line : c.log) log.push_back("Session ID 700 " + line);
    EXPECT_EQ(program.LogMessages(), log);
    EXPECT_EQ(Exists("700.lck"), c.lockKept);
    EXPECT_FALSE(Exists("700txt"));
  }
}

// No window manager and no notification area: the program runs and leaves
// cleanly all the same.
TEST_F(DesktopTest, BareDisplay) {
  StartProgram();
  app->Signal(SIGTERM);
  EXPECT_EQ(app->Wait(60), 0) << program.Output();
  EXPECT_TRUE(Exists("700.lck"));
  EXPECT_FALSE(Exists("700txt"));
}

// ---- D-Bus notification area ----

// A minimal StatusNotifierWatcher with a host: it records the items that
// register with it.
class TNotifierWatcher : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
  Q_PROPERTY(bool IsStatusNotifierHostRegistered READ IsStatusNotifierHostRegistered)
  Q_PROPERTY(int ProtocolVersion READ ProtocolVersion)
  Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ RegisteredStatusNotifierItems)

 public:
  bool IsStatusNotifierHostRegistered() const { return true; }
  int ProtocolVersion() const { return 0; }
  QStringList RegisteredStatusNotifierItems() const { return items; }
  // Service and path of each registered item.
  std::vector<std::pair<QString, QString>> registered;
  QStringList items;

 public slots:
  void RegisterStatusNotifierItem(const QString& item, const QDBusMessage& message) {
    // An item names its service, or only its path on the caller's connection.
    if (item.startsWith('/')) {
      registered.emplace_back(message.service(), item);
    } else {
      registered.emplace_back(item, QStringLiteral("/StatusNotifierItem"));
    }
    items << item;
    emit StatusNotifierItemRegistered(item);
  }
  void RegisterStatusNotifierHost(const QString&) {}

 signals:
  void StatusNotifierItemRegistered(const QString& item);
  void StatusNotifierItemUnregistered(const QString& item);
  void StatusNotifierHostRegistered();
};

class DBusTrayTest : public DesktopTest {
 protected:
  static void SetUpTestSuite() {
    if (QCoreApplication::instance()) return;
    static int argc = 1;
    static char name[] = "brindlemoss_desktop_tests";
    static char* argv[] = {name, nullptr};
    new QCoreApplication(argc, argv);  // lives until the binary ends
  }

  // A private session bus; returns its address.
  std::string StartBus() {
    WriteFile(program.File("bus.conf"),
              "<busconfig><type>session</type><listen>unix:path=" + program.File("bus") +
                  "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow send_destination=\"*\"/>"
                  "<allow receive_sender=\"*\"/><allow own=\"*\"/></policy></busconfig>");
    bus = std::make_unique<Child>(
        "/usr/bin/dbus-daemon",
        std::vector<std::string>{"dbus-daemon", "--nofork", "--nopidfile", "--config-file=" + program.File("bus.conf")},
        BaseEnvironment(program.File("home/")), -1, program.File("bus.txt"));
    const std::string address = "unix:path=" + program.File("bus");
    EXPECT_TRUE(WaitFor([&] { return std::filesystem::exists(program.File("bus")); }));
    return address;
  }

  void TearDown() override {
    if (connected) QDBusConnection::disconnectFromBus(QStringLiteral("watcher"));
  }

  bool connected = false;
};

TEST_F(DBusTrayTest, ActivationOpensTheWindow) {
  StartWindowManager();
  const std::string address = StartBus();
  QDBusConnection connection = QDBusConnection::connectToBus(QString::fromStdString(address), "watcher");
  connected = true;
  ASSERT_TRUE(connection.isConnected());
  TNotifierWatcher watcher;
  ASSERT_TRUE(connection.registerObject("/StatusNotifierWatcher", &watcher,
                                        QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties |
                                            QDBusConnection::ExportAllSignals));
  ASSERT_TRUE(connection.registerService("org.kde.StatusNotifierWatcher"));

  StartProgram(address);
  ASSERT_TRUE(WaitFor([&] { return !watcher.registered.empty(); })) << program.Output();
  auto activate = [&] {
    const auto& [service, path] = watcher.registered.front();
    QDBusMessage call =
        QDBusMessage::createMethodCall(service, path, "org.kde.StatusNotifierItem", "Activate");
    call << 0 << 0;
    const QDBusMessage reply = connection.call(call, QDBus::BlockWithGui, 30000);
    EXPECT_NE(reply.type(), QDBusMessage::ErrorMessage) << reply.errorMessage().toStdString();
  };
  EXPECT_EQ(x.TrayIconOf(app->Pid()), XCB_NONE);  // no X11 tray icon beside it

  activate();
  const xcb_window_t window = MainWindow();
  ExpectShown(window);
  x.Minimise(window);
  ASSERT_TRUE(WaitFor([&] { return x.WmState(window) == 3; }));
  activate();
  ExpectShown(window);

  app->Signal(SIGTERM);
  EXPECT_EQ(app->Wait(60), 0) << program.Output();
}

}  // namespace
}  // namespace tamlix::brindlemoss::test

#include "DesktopTest.moc"
