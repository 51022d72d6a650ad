#include "UnitMain.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <QCloseEvent>
#include <QGuiApplication>
#include <QMetaObject>
#include <QScreen>
#include <QThread>
#include <cerrno>
#include <cstring>
#include <deque>
#include <mutex>
#include <stdexcept>

#include "Application.h"
#include "CurrentDesktop.h"
#include "Icons.h"
#include "UnitDebugSys.h"
#include "platform/DateTime.h"
#include "platform/Sys.h"
#include "settings/CodePage.h"
#include "settings/IniFile.h"

namespace tamlix::brindlemoss {

#define FS "\x1C"
#define SEG(n) "-" FS "AM" n
// The frame, the 45-character transaction header and 13 segments.
static constexpr char kTestClaim[] =
    "\x02" "0525" "011Brindlemoss"
    "200002" "51" "B1" "CERT V5 01" "1" "07" "0000240 " "20010401" "V5GIN "
    SEG("01") FS "CX01" FS "CY123456789" FS "C419700101" FS "C52" FS "CAJANE" FS "CBEXAMPLE"
        FS "CM1234 MAPLE AVENUE" FS "CNSPRINGTON" FS "COXY" FS "CP12345" FS "CQ5550100100"
        FS "C70" FS "CZEMP001" FS "1C2" FS "2C "
    SEG("04") FS "C2CARD12345 "
    SEG("07") FS "EM1" FS "D21234567" FS "E103" FS "D700006094268" FS "SE0" FS "E730000"
        FS "D30" FS "D530" FS "D61" FS "D80" FS "DE20010401" FS "DF5" FS "DJ1" FS "DK0"
        FS "ET30000" FS "C82" FS "DT1" FS "28EA"
    SEG("02") FS "EY02" FS "E939359"
    SEG("03") FS "EZ08" FS "DBAB12345" FS "1E10" FS "DRSAMPLE" FS "PM5550100200" FS "2E01"
        FS "DL123456" FS "H5101" FS "4ETESTER"
    SEG("05") SEG("06") SEG("08")
    SEG("11") FS "D9557{" FS "DC100{" FS "DX100{" FS "H71" FS "H801" FS "H9150{" FS "DQ807{"
        FS "DU807{" FS "DN03"
    SEG("09") SEG("10") SEG("12") SEG("13")
    "\x03";
#undef SEG
#undef FS
static_assert(sizeof(kTestClaim) == 531, "the test claim is 530 bytes");

const std::string_view TestClaim(kTestClaim, sizeof(kTestClaim) - 1);

namespace {

// The one window, cleared by its destructor. A worker posts its update
// while holding the lock, so the window cannot be destroyed in between.
std::mutex formMutex;
TFormMain* FormMain = nullptr;  // guarded by formMutex

// Session texts handed to the master library stay valid until the process ends.
const char* KeepForProcess(const std::string& text) {
  static std::deque<std::string> kept;
  kept.push_back(text);
  return kept.back().c_str();
}

// 8-bit text (the command line, a settings file, the master library's
// texts), one character a byte.
QString CodePageText(std::string_view bytes) { return QString::fromStdU16String(DecodeCodePage(bytes)); }
QString CodePageText(const char* text) { return CodePageText(std::string_view(text ? text : "")); }

// Runs `update` on the window's thread: at once when called there, else
// queued (dropped when the window is gone by then).
template <class F>
void OnWindowThread(F update) {
  std::unique_lock<std::mutex> lock(formMutex);
  TFormMain* form = FormMain;
  if (!form) return;
  if (QThread::currentThread() == form->thread()) {
    lock.unlock();  // only this thread destroys the window
    update(form);
  } else {
    QMetaObject::invokeMethod(
        form,
        [form, update] {
          // Pairs with the poster's unlock: what it built is complete here.
          { std::lock_guard<std::mutex> posted(formMutex); }
          update(form);
        },
        Qt::QueuedConnection);
  }
}

bool FileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

void DeleteIfExists(const std::string& path) {
  if (FileExists(path)) sys::unlink(path.c_str());
}

// "path" in single quotes, inner single quotes doubled.
std::string Quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    out += c;
    if (c == '\'') out += '\'';
  }
  return out + "'";
}

// The class library's input/output error.
[[noreturn]] void RaiseInOutError(int err) {
  throw std::runtime_error(std::string("I/O error ") + std::to_string(err) + ": " + std::strerror(err));
}

void WriteAll(int fd, std::string_view bytes) {
  if (const int err = sys::write_all(fd, bytes)) RaiseInOutError(err);
}

QPlainTextEdit* Pane(QWidget* parent, const char* name) {
  auto* pane = new QPlainTextEdit(parent);
  pane->setObjectName(name);
  pane->setReadOnly(true);
  pane->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  pane->setBackgroundRole(QPalette::Button);
  QPalette palette = pane->palette();
  palette.setColor(QPalette::Base, palette.color(QPalette::Button));
  pane->setPalette(palette);
  return pane;
}

QPushButton* Button(QWidget* parent, const char* name, const char* caption) {
  auto* button = new QPushButton(caption, parent);
  button->setObjectName(name);
  return button;
}

QLabel* Label(QWidget* parent, const char* name, const char* caption) {
  auto* label = new QLabel(caption, parent);
  label->setObjectName(name);
  return label;
}

QLabel* Image(QWidget* parent, const char* name, const QIcon& icon) {
  auto* image = new QLabel(parent);
  image->setObjectName(name);
  image->setPixmap(icon.pixmap(32, 32));
  image->setGeometry(0, 0, 32, 32);
  image->hide();
  return image;
}

}  // namespace

TFormMain::TFormMain(TFormMainOptions options, QWidget* parent)
    : QWidget(parent), options_(std::move(options)), okImage_(OkIcon()), errorImage_(ErrorIcon()) {
  setObjectName("FormMain");
  setWindowTitle("Brindlemoss Utility V1.0");
  setFixedSize(575, 545);

  TrayNotifyIcon = new tray::TTrayNotifyIcon(this);
  TrayNotifyIcon->setObjectName("TrayNotifyIcon");
  TrayNotifyIcon->SetIcon(InitialIcon());
  TrayNotifyIcon->SetHideTask(true);
  TrayNotifyIcon->OnDblClick = [this](QObject*) { TrayNotifyIconDblClick(); };
  Button1 = Button(this, "Button1", "Terminate");
  Button2 = Button(this, "Button2", "Minimize");
  Button3 = Button(this, "Button3", "Button3");
  Button3->hide();  // carries no command
  Memo = Pane(this, "Memo");
  Label1 = Label(this, "Label1", "Messages");
  IconOK = Image(this, "IconOK", okImage_);
  IconError = Image(this, "IconError", errorImage_);
  MemoSend = Pane(this, "MemoSend");
  MemoReceive = Pane(this, "MemoReceive");
  Label2 = Label(this, "Label2", "Send");
  Label3 = Label(this, "Label3", "Receive");
  btnTest = Button(this, "btnTest", "Send Test Claim");
  MemoSettings = Pane(this, "MemoSettings");
  Label4 = Label(this, "Label4", "Settings");
  Button4 = Button(this, "Button4", "clear");
  btnFile = Button(this, "btnFile", "Create Test File");
  btnTest->hide();
  btnFile->hide();
  // Each pane is named by the label above it, for a screen reader.
  Label4->setBuddy(MemoSettings);
  Label2->setBuddy(MemoSend);
  Label3->setBuddy(MemoReceive);
  Label1->setBuddy(Memo);

  // Four panes stacked under their labels, the buttons along the bottom.
  Label4->setGeometry(8, 4, 200, 16);
  MemoSettings->setGeometry(8, 20, 559, 100);
  Label2->setGeometry(8, 124, 200, 16);
  MemoSend->setGeometry(8, 140, 559, 100);
  Label3->setGeometry(8, 244, 200, 16);
  MemoReceive->setGeometry(8, 260, 559, 100);
  Label1->setGeometry(8, 364, 200, 16);
  Memo->setGeometry(8, 380, 559, 114);
  Button1->setGeometry(8, 504, 100, 30);
  Button2->setGeometry(114, 504, 100, 30);
  Button4->setGeometry(220, 504, 100, 30);
  btnTest->setGeometry(326, 504, 118, 30);
  btnFile->setGeometry(450, 504, 117, 30);
  Button3->setGeometry(8, 504, 100, 30);
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    move(screen->availableGeometry().center() - rect().center());
  }

  connect(Button1, &QPushButton::clicked, this, [this] { Guarded([this] { Button1Click(); }); });
  connect(Button2, &QPushButton::clicked, this, [this] { Guarded([this] { Button2Click(); }); });
  connect(Button4, &QPushButton::clicked, this, [this] { Guarded([this] { Button4Click(); }); });
  connect(btnTest, &QPushButton::clicked, this, [this] { Guarded([this] { btnTestClick(); }); });
  connect(btnFile, &QPushButton::clicked, this, [this] { Guarded([this] { btnFileClick(); }); });

  {
    std::lock_guard<std::mutex> lock(formMutex);
    FormMain = this;
  }
  Guarded([this] { FormCreate(); });
}

TFormMain::~TFormMain() {
  if (terminateProc_ != 0) RemoveTerminateProc(terminateProc_);
  // After this no worker can post to the window; updates already posted are
  // dropped with it.
  std::lock_guard<std::mutex> lock(formMutex);
  if (FormMain == this) FormMain = nullptr;
}

void TFormMain::AddMessage(const QString& line) { Memo->appendPlainText(line); }

void TFormMain::SetTrayImage(const QIcon& icon) { TrayNotifyIcon->SetIcon(icon); }

void TFormMain::FormCreate() {
  terminateProc_ = AddTerminateProc([this] { return TerminateCleanup(); });
  TrayNotifyIcon->SetIconVisible(true);
  if (!LoadMasterLibrary()) {
    AddMessage("Load TamlixMaster.dll Failed");
    return;
  }
  AddMessage("TamlixMaster.dll loaded Successfully");
  sessionID_ = options_.Arguments.size() > 0 ? options_.Arguments[0] : std::string();
  logSwitch_ = options_.Arguments.size() > 1 ? options_.Arguments[1] : std::string();
  sessionIDText_ = KeepForProcess(sessionID_);
  const QString id = CodePageText(sessionID_);
  if (FindSession(sessionID_)) {
    setWindowTitle("Brindlemoss Session " + id);
    AddMessage("Session ID " + id + " Found");
    if (LoggingOn()) WriteLogFile("Session Started");
    SetTrayImage(okImage_);
    InitializeSession();
  } else {
    SetTrayImage(errorImage_);
    AddMessage("Session ID " + id + " does not exist");
  }
}

bool TFormMain::LoadMasterLibrary() {
  const std::string& name = options_.MasterLibrary;
  masterLibrary_ = ::dlopen(name.c_str(), RTLD_NOW);
  // An interposed dlopen (a sanitizer's) searches as its own library, without
  // the program's RUNPATH: look where $ORIGIN points, the program's directory.
  if (!masterLibrary_ && name.find('/') == std::string::npos) {
    masterLibrary_ = ::dlopen(ExeFile(name).c_str(), RTLD_NOW);
  }
  if (!masterLibrary_) return false;
  auto* process = reinterpret_cast<TMaster_ProcessData>(::dlsym(masterLibrary_, "Master_ProcessData"));
  auto* initialize = reinterpret_cast<TMaster_Initialize>(::dlsym(masterLibrary_, "Master_Initialize"));
  if (!process || !initialize) return false;
  Master_ProcessData_ = process;
  Master_Initialize_ = initialize;
  return true;
}

bool TFormMain::FindSession(const std::string& SessionID) {
  if (SessionID.empty()) return false;
  const TIniFile product(ExeFile("Brindlemoss.INI"));
  if (!product.SectionExists(SessionID)) return false;
  auto show = [this](const std::vector<std::string>& lines) {
    QStringList text;
    for (const auto& line : lines) text << CodePageText(line);
    MemoSettings->setPlainText(text.join('\n'));
  };
  show(product.ReadSectionValues(SessionID));
  const TIniFile tcp(ExeFile("TamlixTCP.INI"));
  if (tcp.SectionExists("Global TCP/IP Data")) show(tcp.ReadSectionValues("Global TCP/IP Data"));
  return true;
}

void TFormMain::InitializeSession() {
  const TIniFile product(ExeFile("Brindlemoss.INI"));
  const int32_t type = StrToInt(product.ReadString(sessionID_, "SessionType", "0"));
  void* callback1 = nullptr;
  void* callback2 = nullptr;
  switch (type) {
    case 2:
      btnTest->show();
      callback1 = reinterpret_cast<void*>(&ResponseCallback);
      break;
    case 3:
      btnTest->hide();
      callback1 = reinterpret_cast<void*>(&SentDataCallback);
      callback2 = reinterpret_cast<void*>(&ReceivedDataCallback);
      break;
    case 4:
      btnTest->hide();
      if (sessionID_ == "700") btnFile->show();
      callback1 = reinterpret_cast<void*>(&FileEventCallback);
      break;
    default:
      AddMessage("Brindlemoss Initialization Failed: Session type of " + QString::number(type) +
                 " is invalid.  Session:" + CodePageText(sessionID_));
      SetTrayImage(errorImage_);
      return;
  }
  TMasterError err{};
  if (Master_Initialize_(sessionIDText_, callback1, callback2, 0, &err) != 0) {
    ownsLock_ = true;
    AddMessage("Brindlemoss Initialization Successful");
    if (type == 4 && Master_ProcessData_(sessionIDText_, 1, 0, 0, &err) != 0) {
      AddMessage("Brindlemoss Auto File Processing Initiated");
    }
    return;
  }
  if (err.Code == MASTER_CODE_IN_USE) {
    AddMessage(CodePageText("Session Lock File " + Quoted(ExeFile(sessionID_ + ".lck")) + " present"));
  }
  AddMessage("Brindlemoss Initialization Failed: Error " +
             CodePageText(std::string_view(err.Msg.Chars, err.Msg.Length)));
  SetTrayImage(errorImage_);
}

void TFormMain::WriteLogFile(const std::string& Msg) {
  const std::string path = ExeFile("Brindlemoss.LOG");
  bool creating = false;
  try {
    const platform::LocalTime now = platform::NowLocal();
    std::string stamp = platform::ShortDateText(now);
    if (now.hour != 0 || now.minute != 0 || now.second != 0) stamp += " " + platform::LongTimeText(now);
    const std::string line = "Session ID " + sessionID_ + " " + Msg + "  -  " + stamp + "\r\n";
    int fd = sys::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
      creating = true;
      fd = sys::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    }
    if (fd < 0) return;  // the line is lost, unreported
    try {
      WriteAll(fd, line);
      sys::fsync(fd);
    } catch (const std::runtime_error&) {
      // An input/output failure loses the line.
    }
    sys::close(fd);
  } catch (...) {
    WriteDebugRecord("WriteLogFile", creating ? "Error creating log file" : "Error appending to log file",
                     "UnitMain", std::string_view(sessionID_).substr(0, 255), "");
  }
}

// ---- close paths ----

bool TFormMain::TerminateCleanup() {
  if (!sessionID_.empty()) DeleteIfExists(ExeFile(sessionID_ + "txt"));
  return true;
}

void TFormMain::FormCloseQuery(bool& CanClose) {
  if (LoggingOn()) WriteLogFile("Session Terminated");
  // A lock that another copy holds (this one found it present) stays.
  if (ownsLock_ && !sessionID_.empty()) DeleteIfExists(ExeFile(sessionID_ + ".lck"));
  CanClose = true;
  Terminate();
}

void TFormMain::FormClose() {
  if (LoggingOn()) WriteLogFile("Normal Close Requested");
}

void TFormMain::closeEvent(QCloseEvent* event) {
  Guarded([&] {
    bool canClose = true;
    FormCloseQuery(canClose);
    if (!canClose) {
      event->ignore();
      return;
    }
    FormClose();
    event->accept();
    // The main window closing ends the program.
    Terminate();
  });
}

void TFormMain::CommitDataRequest() {
  Guarded([this] {
    bool canClose = true;
    FormCloseQuery(canClose);
    Terminate();
  });
}

void TFormMain::WMEndSession(intptr_t endSession) {
  if (endSession != 0 && !sessionID_.empty()) DeleteIfExists(ExeFile(sessionID_ + "txt"));
}

// ---- commands ----

void TFormMain::Button2Click() {
  if (LoggingOn()) WriteLogFile("Minimized pressed");
  hide();
}

void TFormMain::Button1Click() {
  if (LoggingOn()) WriteLogFile("Terminate button pressed");
  Terminate();
}

void TFormMain::Button4Click() {
  if (LoggingOn()) WriteLogFile("Clear button pressed");
  MemoSend->clear();
  MemoReceive->clear();
}

void TFormMain::TrayNotifyIconDblClick() {
  // Out of the minimised state first, so that it is shown as a normal window.
  setWindowState(windowState() & ~Qt::WindowMinimized);
  tray::BringToCurrentDesktop(this);
  show();
  raise();
  activateWindow();
}

void TFormMain::btnTestClick() {
  if (LoggingOn()) WriteLogFile("Send Test Claim");
  SendTestClaim();
}

void TFormMain::SendTestClaim() {
  char claim[4097] = {};
  std::memcpy(claim, TestClaim.data(), TestClaim.size());
  TMasterError err{};
  err.Msg.Length = 4;
  std::memcpy(err.Msg.Chars, "test", 4);
  // The buttons only show with a bound library; a window without one sends nothing.
  if (Master_ProcessData_ && Master_ProcessData_(sessionIDText_, reinterpret_cast<uintptr_t>(claim), 0, 0, &err) != 0) {
    MemoSend->appendPlainText(CodePageText(TestClaim));
  } else {
    MemoSend->appendPlainText("Send Failed" + CodePageText(std::string_view(err.Msg.Chars, err.Msg.Length)));
  }
  MemoSend->repaint();
}

void TFormMain::btnFileClick() {
  if (LoggingOn()) WriteLogFile("Create test file");
  const TIniFile product(ExeFile("Brindlemoss.INI"));
  StrToInt(product.ReadString(sessionID_, "SessionType", "Error"));
  const std::string source = product.ReadString(sessionID_, "File_Source", "c:\\in.txt");
  const std::string dest = product.ReadString(sessionID_, "File_Dest", "c:\\out.txt");
  DeleteIfExists(source);
  DeleteIfExists(dest);
  const int fd = sys::open(source.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) RaiseInOutError(errno);
  try {
    WriteAll(fd, TestClaim);
    WriteAll(fd, "\r\n");
  } catch (...) {
    sys::close(fd);
    throw;
  }
  if (sys::close(fd) != 0) RaiseInOutError(errno);
}

// ---- traffic ----

void TFormMain::FileEvent(int32_t Event) {
  const QString time = QString::fromStdString(platform::LongTimeText(platform::NowLocal()));
  if (Event == 0) {
    MemoSend->clear();
    MemoReceive->clear();
    MemoSend->appendPlainText("File Sent " + time);
  } else if (Event == 1) {
    MemoReceive->clear();
    MemoReceive->appendPlainText("File Received " + time);
  }
}

void TFormMain::SentData(const QString& text) {
  MemoSend->clear();
  MemoReceive->clear();
  MemoSend->appendPlainText(text);
  MemoSend->repaint();
}

void TFormMain::ReceivedData(const QString& text) {
  MemoReceive->clear();
  MemoReceive->appendPlainText(text);
  MemoReceive->repaint();
}

void FileEventCallback(int32_t Event) {
  try {
    OnWindowThread([Event](TFormMain* form) { form->FileEvent(Event); });
  } catch (...) {
    // A failed pane update never reaches the master library.
  }
}

void SentDataCallback(const char* const* Data, int32_t* Handled) {
  try {
    const QString text = CodePageText(Data ? *Data : nullptr);
    OnWindowThread([text](TFormMain* form) { form->SentData(text); });
  } catch (...) {
  }
  if (Handled) *Handled = 1;
}

void ReceivedDataCallback(const char* const* Data, int32_t* Handled) {
  try {
    const QString text = CodePageText(Data ? *Data : nullptr);
    OnWindowThread([text](TFormMain* form) { form->ReceivedData(text); });
  } catch (...) {
  }
  if (Handled) *Handled = 1;
}

void ResponseCallback(const char* Data) {
  try {
    const QString text = CodePageText(Data);
    OnWindowThread([text](TFormMain* form) { form->ReceivedData(text); });
  } catch (...) {
  }
}

}  // namespace tamlix::brindlemoss
