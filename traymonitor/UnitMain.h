// UnitMain: BrindlemossUtil's main window TFormMain and the program-wide
// session state. The window binds the master library by name, finds the
// session named on the command line in "Brindlemoss.INI", starts it with the
// callbacks of its type, shows settings, status lines and traffic, keeps the
// optional log file "Brindlemoss.LOG", runs the operator commands, and
// removes the session's ".lck" and "txt" files on its close paths. Texts
// from the command line and the settings files are 8-bit bytes, shown one
// character per byte in the settings files' code page.
//
// The four callbacks may be called by the master library from any thread:
// each copies its text at once and carries the pane update to the window's
// thread. Everything else runs on the window's thread.
#pragma once

#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QWidget>
#include <string>
#include <string_view>
#include <vector>

#include "tamlix/TamlixMaster.h"
#include "TrayIcon.h"

namespace tamlix::brindlemoss {

// The built-in test claim: 530 bytes in the claim frame, no NUL inside.
extern const std::string_view TestClaim;

// Where the window finds its partners.
struct TFormMainOptions {
  std::string ExeDir;       // ends with "/": both settings files, lock, log
  std::vector<std::string> Arguments;  // the raw command line after the program's name
  std::string MasterLibrary = "libTamlixMaster.so";  // found by the normal search
};

class TFormMain : public QWidget {
  Q_OBJECT

 public:
  // Builds the window hidden and runs FormCreate (the start-up sequence).
  explicit TFormMain(TFormMainOptions options, QWidget* parent = nullptr);
  ~TFormMain() override;

  // Components, in their order.
  tray::TTrayNotifyIcon* TrayNotifyIcon;
  QPushButton* Button1;
  QPushButton* Button2;
  QPushButton* Button3;
  QPlainTextEdit* Memo;
  QLabel* Label1;
  QLabel* IconOK;
  QLabel* IconError;
  QPlainTextEdit* MemoSend;
  QPlainTextEdit* MemoReceive;
  QLabel* Label2;
  QLabel* Label3;
  QPushButton* btnTest;
  QPlainTextEdit* MemoSettings;
  QLabel* Label4;
  QPushButton* Button4;
  QPushButton* btnFile;

  const std::string& SessionID() const { return sessionID_; }
  const std::string& LogSwitch() const { return logSwitch_; }
  bool LoggingOn() const { return logSwitch_ == "LOG"; }
  // The NUL-terminated copy handed to the master library; lives with the window.
  const char* SessionIDText() const { return sessionIDText_; }
  QIcon OkImage() const { return okImage_; }
  QIcon ErrorImage() const { return errorImage_; }

  // Appends "Session ID <id> <Msg>  -  <date time>" and CR LF to the log
  // file. Failures lose the line; callers test the log switch first.
  void WriteLogFile(const std::string& Msg);

  // The end of the user's session (SIGTERM, SIGHUP): with a non-zero
  // parameter, removes the session's "txt" file.
  void WMEndSession(intptr_t endSession);
  // True once the master library has started the session: the lock file is
  // then this process's own, and only then do the close paths remove it.
  bool OwnsLock() const { return ownsLock_; }
  // The terminate procedure: removes the session's "txt" file; always true.
  bool TerminateCleanup();
  // The desktop asks whether the session may end: the close query, then the
  // terminate procedures once more. The answer is yes.
  void CommitDataRequest();

  // Pane updates, window thread only.
  void FileEvent(int32_t Event);
  void SentData(const QString& text);
  void ReceivedData(const QString& text);

 public slots:
  void FormCreate();
  void FormCloseQuery(bool& CanClose);
  void FormClose();
  void Button1Click();
  void Button2Click();
  void Button4Click();
  void btnTestClick();
  void btnFileClick();
  void TrayNotifyIconDblClick();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  bool LoadMasterLibrary();
  bool FindSession(const std::string& SessionID);
  void InitializeSession();
  void SendTestClaim();
  void AddMessage(const QString& line);
  void SetTrayImage(const QIcon& icon);
  std::string ExeFile(const std::string& name) const { return options_.ExeDir + name; }

  TFormMainOptions options_;
  std::string sessionID_;
  std::string logSwitch_;
  const char* sessionIDText_ = "";  // kept until the process ends
  bool ownsLock_ = false;
  int terminateProc_ = 0;
  void* masterLibrary_ = nullptr;
  TMaster_Initialize Master_Initialize_ = nullptr;
  TMaster_ProcessData Master_ProcessData_ = nullptr;
  QIcon okImage_;
  QIcon errorImage_;
};

// The callbacks handed to the master library; any thread.
void FileEventCallback(int32_t Event);
void SentDataCallback(const char* const* Data, int32_t* Handled);
void ReceivedDataCallback(const char* const* Data, int32_t* Handled);
void ResponseCallback(const char* Data);

}  // namespace tamlix::brindlemoss
