// The session monitor over the real window: start-up, settings pane,
// callbacks, log file, and what a screen reader finds.
#include <QApplication>
#include <QTest>
#include <atomic>
#include <filesystem>
#include <map>
#include <thread>

#include "FormTestSupport.h"
#include "platform/Sys.h"
#include "platform/tests/AccessibleTree.h"

namespace tamlix::brindlemoss::test {
namespace {

const char kDirect[] = "[700]\nSessionType=2\nSerial_Port=1\n";

bool Exists(const std::string& path) { return std::filesystem::exists(path); }

using FormMainTest = FormTest;

TEST_F(FormMainTest, WithoutTheMasterLibraryOnlyTheFailureLineShows) {
  Product(kDirect);
  for (const std::string& library : {std::string("libTamlixMasterAbsent.so"),
                                    std::string(TEST_MASTER_DIR "libTamlixMasterHalf.so")}) {
    SCOPED_TRACE(library);
    TFormMain& f = Start({"700", "LOG"}, library);
    EXPECT_EQ(Lines(f.Memo), QStringList{"Load TamlixMaster.dll Failed"});
    EXPECT_EQ(f.windowTitle(), "Brindlemoss Utility V1.0");
    EXPECT_EQ(f.SessionID(), "");  // the command line is not read
    EXPECT_TRUE(f.TrayNotifyIcon->IconVisible());
    EXPECT_EQ(shell.shownIcon, f.TrayNotifyIcon->Icon().cacheKey());
    EXPECT_NE(f.TrayNotifyIcon->Icon().cacheKey(), f.OkImage().cacheKey());
    EXPECT_NE(f.TrayNotifyIcon->Icon().cacheKey(), f.ErrorImage().cacheKey());
    EXPECT_TRUE(Lines(f.MemoSettings).isEmpty());
    EXPECT_FALSE(Exists(File("Brindlemoss.LOG")));
  }
  EXPECT_EQ(master.initCalls, 0);
}

TEST_F(FormMainTest, WindowStartsHiddenWithItsLayout) {
  TFormMain& f = Start({});
  EXPECT_FALSE(f.isVisible());
  EXPECT_EQ(f.size(), QSize(575, 545));
  EXPECT_TRUE(f.TrayNotifyIcon->HideTask());
  EXPECT_EQ(shell.taskButtonHidden, std::vector<QWidget*>{&f});  // no taskbar button
  const char* order[] = {"TrayNotifyIcon", "Button1", "Button2", "Button3", "Memo", "Label1",
                         "IconOK", "IconError", "MemoSend", "MemoReceive", "Label2", "Label3",
                         "btnTest", "MemoSettings", "Label4", "Button4", "btnFile"};
  const QObjectList children = f.children();
  ASSERT_GE(children.size(), 17);
  for (int i = 0; i < 17; ++i) EXPECT_EQ(children[i]->objectName(), order[i]) << i;
  // Panes under their labels, top to bottom, read-only.
  const std::pair<QLabel*, QPlainTextEdit*> panes[] = {
      {f.Label4, f.MemoSettings}, {f.Label2, f.MemoSend}, {f.Label3, f.MemoReceive}, {f.Label1, f.Memo}};
  const char* captions[] = {"Settings", "Send", "Receive", "Messages"};
  int top = -1;
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(panes[i].first->text(), captions[i]);
    EXPECT_TRUE(panes[i].second->isReadOnly());
    EXPECT_LT(panes[i].first->y(), panes[i].second->y());
    EXPECT_GT(panes[i].second->y(), top);
    top = panes[i].second->y();
  }
  EXPECT_EQ(f.IconOK->pixmap().size(), QSize(32, 32));
  EXPECT_EQ(f.IconError->pixmap().size(), QSize(32, 32));
  EXPECT_TRUE(f.IconOK->isHidden());
  EXPECT_TRUE(f.btnTest->isHidden());
  EXPECT_TRUE(f.btnFile->isHidden());
}

TEST_F(FormMainTest, ScreenReaderNamesEachPaneByItsLabel) {
  // Type 2 shows "Send Test Claim", type 4 "Create Test File".
  for (const char* type : {"2", "4"}) {
    SCOPED_TRACE(std::string("type ") + type);
    Product(std::string("[700]\nSessionType=") + type + "\n");
    TFormMain& f = Start({"700"});
    f.show();
    const std::map<QWidget*, QString> names = tamlix::testing::FocusableNames(&f);
    for (const auto& [w, name] : names) EXPECT_FALSE(name.trimmed().isEmpty()) << w->objectName().toStdString();
    const std::pair<QPlainTextEdit*, const char*> panes[] = {
        {f.MemoSettings, "Settings"}, {f.MemoSend, "Send"}, {f.MemoReceive, "Receive"}, {f.Memo, "Messages"}};
    for (const auto& [pane, label] : panes) {
      ASSERT_EQ(names.count(pane), 1u) << pane->objectName().toStdString();
      EXPECT_EQ(names.at(pane).toStdString(), label);
    }
    for (QPushButton* button : {f.Button1, f.Button2, f.Button4, f.btnTest, f.btnFile})
      EXPECT_EQ(names.count(button), button->isVisible() ? 1u : 0u) << button->objectName().toStdString();
  }
}

TEST_F(FormMainTest, SessionNotFound) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string product;
    const char* line;
  } cases[] = {
      {"no argument", {}, kDirect, "Session ID  does not exist"},
      {"no settings file", {"700"}, "", "Session ID 700 does not exist"},
      {"other section", {"700"}, "[701]\nSessionType=2\n", "Session ID 700 does not exist"},
      {"empty section", {"700"}, "[700]\n[701]\nSessionType=2\n", "Session ID 700 does not exist"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(File("Brindlemoss.INI"));
    if (!c.product.empty()) Product(c.product);
    TFormMain& f = Start(c.args);
    EXPECT_EQ(Lines(f.Memo), (QStringList{"TamlixMaster.dll loaded Successfully", c.line}));
    EXPECT_EQ(f.windowTitle(), "Brindlemoss Utility V1.0");
    EXPECT_EQ(f.TrayNotifyIcon->Icon().cacheKey(), f.ErrorImage().cacheKey());
    EXPECT_TRUE(Lines(f.MemoSettings).isEmpty());
  }
  EXPECT_EQ(master.initCalls, 0);
}

TEST_F(FormMainTest, RunningSessionByType) {
  struct Case {
    const char* id;
    const char* type;
    void* callback1;
    void* callback2;
    bool test, file;
    bool autoLine;
  } cases[] = {
      {"700", "2", reinterpret_cast<void*>(&ResponseCallback), nullptr, true, false, false},
      {"700", "3", reinterpret_cast<void*>(&SentDataCallback), reinterpret_cast<void*>(&ReceivedDataCallback),
       false, false, false},
      {"700", "4", reinterpret_cast<void*>(&FileEventCallback), nullptr, false, true, true},
      {"0700", "4", reinterpret_cast<void*>(&FileEventCallback), nullptr, false, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.id) + " type " + c.type);
    master = TestMasterState();
    Product("[" + std::string(c.id) + "]\nSessionType=" + c.type + "\n");
    TFormMain& f = Start({c.id});
    QStringList expected{"TamlixMaster.dll loaded Successfully", QString("Session ID ") + c.id + " Found",
                         "Brindlemoss Initialization Successful"};
    if (c.autoLine) expected << "Brindlemoss Auto File Processing Initiated";
    EXPECT_EQ(Lines(f.Memo), expected);
    EXPECT_EQ(f.windowTitle(), QString("Brindlemoss Session ") + c.id);
    EXPECT_EQ(f.TrayNotifyIcon->Icon().cacheKey(), f.OkImage().cacheKey());
    EXPECT_EQ(shell.shownIcon, f.OkImage().cacheKey());  // the area shows it too
    EXPECT_EQ(master.initCalls, 1);
    EXPECT_EQ(master.initSession, f.SessionIDText());
    EXPECT_STREQ(master.initSession, c.id);
    EXPECT_EQ(master.callback1, c.callback1);
    EXPECT_EQ(master.callback2, c.callback2);
    EXPECT_EQ(master.reserved, 0);
    EXPECT_TRUE(master.initRecordZero);
    EXPECT_EQ(!f.btnTest->isHidden(), c.test);
    EXPECT_EQ(!f.btnFile->isHidden(), c.file);
    if (c.autoLine) {
      ASSERT_EQ(master.processData.size(), 1u);
      EXPECT_EQ(master.processData[0], 1u);
      EXPECT_EQ(master.processArgs, (std::vector<int32_t>{0, 0}));
    } else {
      EXPECT_EQ(master.processCalls, 0);
    }
  }
}

TEST_F(FormMainTest, FailedAutoFileProcessingAddsNothing) {
  Product("[700]\nSessionType=4\n");
  master.processResult = 0;
  master.highBits = 0xFFFFFF00;  // only the low byte counts
  TFormMain& f = Start({"700"});
  EXPECT_EQ(Lines(f.Memo).last(), "Brindlemoss Initialization Successful");
  EXPECT_EQ(f.TrayNotifyIcon->Icon().cacheKey(), f.OkImage().cacheKey());
}

TEST_F(FormMainTest, FailedStartWithLockCode) {
  Product(kDirect);
  master.initResult = 0;
  master.initFills = true;
  master.initCode = 101;
  master.initMsg = "Session in use";
  TFormMain& f = Start({"700"});
  const QString lock = QString::fromStdString(dir).replace("'", "''") + "700.lck";
  EXPECT_EQ(Lines(f.Memo), (QStringList{"TamlixMaster.dll loaded Successfully", "Session ID 700 Found",
                                        "Session Lock File '" + lock + "' present",
                                        "Brindlemoss Initialization Failed: Error Session in use"}));
  EXPECT_EQ(f.TrayNotifyIcon->Icon().cacheKey(), f.ErrorImage().cacheKey());
  EXPECT_EQ(f.windowTitle(), "Brindlemoss Session 700");
  EXPECT_FALSE(f.btnTest->isHidden());
}

TEST_F(FormMainTest, FailedStartWithoutCode) {
  Product(kDirect);
  master.initResult = 0;
  master.highBits = 0x100;  // a True only above the low byte is False
  TFormMain& f = Start({"700"});
  EXPECT_EQ(Lines(f.Memo), (QStringList{"TamlixMaster.dll loaded Successfully", "Session ID 700 Found",
                                        "Brindlemoss Initialization Failed: Error "}));
  EXPECT_EQ(f.TrayNotifyIcon->Icon().cacheKey(), f.ErrorImage().cacheKey());
}

TEST_F(FormMainTest, InvalidTypes) {
  struct Case {
    const char* section;
    const char* number;
  } cases[] = {{"SessionType=0\n", "0"}, {"Serial_Port=1\n", "0"}, {"SessionType=1\n", "1"},
               {"SessionType=5\n", "5"}, {"SessionType=-3\n", "-3"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.section);
    Product(std::string("[700]\n") + c.section);
    TFormMain& f = Start({"700"});
    EXPECT_EQ(Lines(f.Memo).last(),
              QString("Brindlemoss Initialization Failed: Session type of ") + c.number +
                  " is invalid.  Session:700");
    EXPECT_EQ(f.TrayNotifyIcon->Icon().cacheKey(), f.ErrorImage().cacheKey());
    EXPECT_TRUE(f.btnTest->isHidden());
  }
  EXPECT_EQ(master.initCalls, 0);
}

TEST_F(FormMainTest, NonNumericTypeShowsTheConversionBoxAndGoesOn) {
  for (const char* value : {"abc", ""}) {
    SCOPED_TRACE(value);
    boxes->count = 0;
    Product(std::string("[700]\nSessionType=") + value + "\n");
    TFormMain& f = Start({"700"});
    EXPECT_EQ(boxes->count, 1);
    EXPECT_EQ(boxes->title, "Brindlemoss");
    EXPECT_EQ(boxes->text, QString("'") + value + "' is not a valid integer value.");
    EXPECT_EQ(Lines(f.Memo), (QStringList{"TamlixMaster.dll loaded Successfully", "Session ID 700 Found"}));
    EXPECT_EQ(f.TrayNotifyIcon->Icon().cacheKey(), f.OkImage().cacheKey());
    EXPECT_EQ(f.windowTitle(), "Brindlemoss Session 700");
  }
  EXPECT_EQ(master.initCalls, 0);
}

TEST_F(FormMainTest, SettingsPaneShowsTheTcpSectionInPlaceOfTheSession) {
  Product("[Abc]\nSessionType=2\nFile_Source=/tmp/x\n");
  // The section is found without regard to letter case.
  TFormMain& own = Start({"aBC"});
  EXPECT_EQ(Lines(own.MemoSettings), (QStringList{"SessionType=2", "File_Source=/tmp/x"}));
  EXPECT_EQ(Lines(own.Memo)[1], "Session ID aBC Found");

  Tcp("[Global TCP/IP Data]\n");  // an empty section counts as absent
  EXPECT_EQ(Lines(Start({"Abc"}).MemoSettings), (QStringList{"SessionType=2", "File_Source=/tmp/x"}));

  // 8-bit text made on Windows shows one character per byte.
  Tcp("[Global TCP/IP Data]\nAddress=127.0.0.1\nPort=5000\nSecAddress=*h\xF4te\x80\n");
  TFormMain& f = Start({"Abc"});
  EXPECT_EQ(Lines(f.MemoSettings),
            (QStringList{"Address=127.0.0.1", "Port=5000", QString::fromUtf8("SecAddress=*h\xC3\xB4te\xE2\x82\xAC")}));
  EXPECT_EQ(Lines(f.Memo).last(), "Brindlemoss Initialization Successful");
}

class CallbackTest : public FormTest {
 protected:
  void SetUp() override {
    FormTest::SetUp();
    Product("[700]\nSessionType=3\n");
    Start({"700"});
  }
};

TEST_F(CallbackTest, FileEvents) {
  form->MemoSend->setPlainText("old send");
  form->MemoReceive->setPlainText("old receive");
  FileEventCallback(2);
  EXPECT_EQ(Lines(form->MemoSend), QStringList{"old send"});
  EXPECT_EQ(Lines(form->MemoReceive), QStringList{"old receive"});
  FileEventCallback(1);
  EXPECT_EQ(Lines(form->MemoSend), QStringList{"old send"});
  ASSERT_EQ(Lines(form->MemoReceive).size(), 1);
  EXPECT_TRUE(Lines(form->MemoReceive)[0].startsWith("File Received "));
  FileEventCallback(0);
  ASSERT_EQ(Lines(form->MemoSend).size(), 1);
  EXPECT_TRUE(Lines(form->MemoSend)[0].startsWith("File Sent "));
  EXPECT_GT(Lines(form->MemoSend)[0].size(), 10);
  EXPECT_TRUE(Lines(form->MemoReceive).isEmpty());
}

TEST_F(CallbackTest, DataCallbacksCopyTheTextAndSetHandled) {
  form->MemoReceive->setPlainText("old receive");
  std::string sent = "claim\nsecond line";
  const char* data = sent.c_str();
  int32_t handled = 0;
  SentDataCallback(&data, &handled);
  EXPECT_EQ(handled, 1);
  sent.assign(sent.size(), 'x');  // the pane kept its own copy
  EXPECT_EQ(Lines(form->MemoSend), (QStringList{"claim", "second line"}));
  EXPECT_TRUE(Lines(form->MemoReceive).isEmpty());

  std::string reply = "reply";
  data = reply.c_str();
  handled = 0;
  ReceivedDataCallback(&data, &handled);
  EXPECT_EQ(handled, 1);
  EXPECT_EQ(Lines(form->MemoReceive), QStringList{"reply"});
  EXPECT_EQ(Lines(form->MemoSend), (QStringList{"claim", "second line"}));

  ResponseCallback("response");
  EXPECT_EQ(Lines(form->MemoReceive), QStringList{"response"});
  EXPECT_EQ(Lines(form->MemoSend), (QStringList{"claim", "second line"}));

  // Traffic in the code page shows as the settings panes show it.
  ResponseCallback("h\xF4te\x80");
  EXPECT_EQ(Lines(form->MemoReceive), QStringList{QString::fromUtf8("h\xC3\xB4te\xE2\x82\xAC")});

  // Null texts show as empty lines, never crash.
  handled = 0;
  SentDataCallback(nullptr, &handled);
  EXPECT_EQ(handled, 1);
  ResponseCallback(nullptr);
  EXPECT_TRUE(Lines(form->MemoReceive).isEmpty());
}

TEST_F(CallbackTest, CallbacksFromAnotherThreadReachThePanesOnTheWindowThread) {
  int32_t sentHandled = 0;
  int32_t receivedHandled = 0;
  std::thread worker([&] {
    std::string sent = "sent on a worker";
    const char* data = sent.c_str();
    SentDataCallback(&data, &sentHandled);
    std::string received = "received on a worker";
    data = received.c_str();
    ReceivedDataCallback(&data, &receivedHandled);
    ResponseCallback("response on a worker");
    FileEventCallback(1);
    sent.assign(sent.size(), 'x');  // the texts are gone before the window shows them
    received.assign(received.size(), 'x');
  });
  worker.join();
  EXPECT_EQ(sentHandled, 1);
  EXPECT_EQ(receivedHandled, 1);
  EXPECT_TRUE(Lines(form->MemoSend).isEmpty());  // nothing touched off the window thread
  QTRY_VERIFY(Lines(form->MemoReceive).value(0).startsWith("File Received "));
  EXPECT_EQ(Lines(form->MemoSend), QStringList{"sent on a worker"});
}

TEST_F(CallbackTest, CallbacksWithoutAWindowDoNothing) {
  form.reset();
  int32_t handled = 0;
  const char* data = "late";
  ReceivedDataCallback(&data, &handled);
  EXPECT_EQ(handled, 1);
  ResponseCallback("late");
  FileEventCallback(0);
}

// A reply worker keeps calling in while windows come and go: no call may
// reach a window that is being destroyed (the sanitizer builds catch it).
TEST_F(CallbackTest, WorkerCallingWhileTheWindowIsDestroyed) {
  std::atomic<bool> stop{false};
  std::thread worker([&] {
    while (!stop) {
      ResponseCallback("late reply");
      std::this_thread::yield();
    }
  });
  for (int i = 0; i < 30; ++i) {
    QApplication::processEvents();
    form.reset();
    Start({"700"});
  }
  form.reset();
  stop = true;
  worker.join();
  QApplication::processEvents();
}

TEST_F(FormMainTest, LogLinesOnlyWithLogExactly) {
  Product(kDirect);
  for (const char* off : {"log", "Log", "LOG2"}) {
    Start({"700", off});
    EXPECT_EQ(RunLoop([this] { form->close(); }), 0);
  }
  EXPECT_FALSE(Exists(File("Brindlemoss.LOG")));

  Start({"700", "LOG", "ignored"});
  EXPECT_EQ(LogMessages(), std::vector<std::string>{"Session ID 700 Session Started"});
  EXPECT_EQ(RunLoop([this] { form->close(); }), 0);
  EXPECT_EQ(LogMessages(), (std::vector<std::string>{"Session ID 700 Session Started",
                                                     "Session ID 700 Session Terminated",
                                                     "Session ID 700 Normal Close Requested"}));
  const std::string text = *ReadFile(File("Brindlemoss.LOG"));
  const std::string first = text.substr(0, text.find("\r\n"));
  EXPECT_EQ(first.rfind("Session ID 700 Session Started  -  ", 0), 0u) << first;
  EXPECT_GT(first.size(), std::string("Session ID 700 Session Started  -  ").size());
}

TEST_F(FormMainTest, LogFailureLosesOnlyThatLine) {
  Product(kDirect);
  Start({"700", "LOG"});
  sys::FailNth(sys::Call::Write, 1, ENOSPC);
  form->WriteLogFile("lost");
  sys::FailNth(sys::Call::Open, 1, EACCES);
  form->WriteLogFile("also lost");
  sys::ClearFaults();
  form->WriteLogFile("kept");
  EXPECT_EQ(LogMessages(),
            (std::vector<std::string>{"Session ID 700 Session Started", "Session ID 700 kept"}));
}

}  // namespace
}  // namespace tamlix::brindlemoss::test
