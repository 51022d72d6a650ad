#include "FormMain.h"

#include <QApplication>
#include <QFontMetrics>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <QSignalBlocker>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdint>

#include "ErrorReport.h"
#include "FrameDirect.h"
#include "FrameFile.h"
#include "FrameHeader.h"
#include "FrameSerial.h"
#include "FrameTCPIP.h"
#include "FrameTemplate.h"
#include "RadioGroup.h"

namespace tamlix::config {

namespace {

constexpr int kTypeRole = Qt::UserRole;
constexpr int kIdRole = Qt::UserRole + 1;

// A session entry, sorted by its ID without regard to letter case. It keeps
// the section name's bytes as the file holds them, so that a name in 8-bit
// text made on Windows still names its own section.
class TSessionEntry : public QListWidgetItem {
 public:
  TSessionEntry(const std::string& id, int type) : QListWidgetItem(ToQ(id)) {
    setData(kTypeRole, type);
    setData(kIdRole, QByteArray(id.data(), static_cast<qsizetype>(id.size())));
  }

  bool operator<(const QListWidgetItem& other) const override {
    const int order = text().compare(other.text(), Qt::CaseInsensitive);
    return order != 0 ? order < 0 : text() < other.text();
  }
};

// Shows the host panel again however the operation that hid it ends.
class ShowOnExit {
 public:
  explicit ShowOnExit(QWidget* w) : w_(w) {}
  ~ShowOnExit() { w_->show(); }
  ShowOnExit(const ShowOnExit&) = delete;
  ShowOnExit& operator=(const ShowOnExit&) = delete;

 private:
  QWidget* w_;
};

QToolButton* SpeedButton(const char* name, const char* caption, QWidget* parent) {
  auto* button = new QToolButton(parent);
  button->setObjectName(name);
  button->setText(caption);
  button->setToolButtonStyle(Qt::ToolButtonTextOnly);
  button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  return button;
}

std::string EntryId(const QListWidgetItem* entry) { return entry->data(kIdRole).toByteArray().toStdString(); }

// The controls inside `root` that take focus, in its focus chain's order;
// the inner parts of a control (a spin box's edit) are left to the control.
QList<QWidget*> Controls(QWidget* root) {
  QList<QWidget*> controls;
  QWidget* window = root->window();
  for (QWidget* w = window->nextInFocusChain(); w != window; w = w->nextInFocusChain()) {
    if (w->focusPolicy() == Qt::NoFocus || !root->isAncestorOf(w)) continue;
    bool inner = false;
    for (QWidget* up = w->parentWidget(); up != root && !inner; up = up->parentWidget())
      inner = up->focusPolicy() != Qt::NoFocus;
    if (!inner) controls << w;
  }
  return controls;
}

// Makes the dialog wide enough that a title bar shows its whole title, in
// bold, beside a window menu and three buttons (room for five squares of a
// line's height). The dialog's layout fixes its size, so the edit is widened.
void WidenForTitle(QDialog& dialog, QLineEdit& edit) {
  QFont font = dialog.font();
  font.setBold(true);
  const QFontMetrics metrics(font);
  int width = metrics.horizontalAdvance(dialog.windowTitle()) + 5 * metrics.height();
  if (const QLayout* layout = dialog.layout())
    width -= layout->contentsMargins().left() + layout->contentsMargins().right();
  edit.setMinimumWidth(width);
}

}  // namespace

TfrmMain::TfrmMain(std::string directory, QWidget* parent)
    : QWidget(parent), FDirectory(std::move(directory)) {
  setObjectName("frmMain");
  setWindowTitle("Config Program");

  spdbtnDelete = SpeedButton("spdbtnDelete", "Delete Session", this);
  spdbtnNew = SpeedButton("spdbtnNew", "New Session", this);
  spdbtnTCPIP = SpeedButton("spdbtnTCPIP", "TCP/IP Settings", this);
  SpeedButton1 = SpeedButton("SpeedButton1", "Header Settings", this);

  lstbxSessions = new QListWidget(this);
  lstbxSessions->setObjectName("lstbxSessions");
  lstbxSessions->setSelectionMode(QAbstractItemView::SingleSelection);
  lstbxSessions->setSortingEnabled(true);
  lstbxSessions->setAccessibleName("Sessions");
  // The list takes the column's width; only the buttons' captions set it.
  lstbxSessions->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Expanding);

  rdgrpType = new TRadioGroup("Type of Connection", {"Direct", "Serial", "File"}, 3, this);
  rdgrpType->setObjectName("rdgrpType");
  rdgrpType->setEnabled(false);

  pnlSwitch = new QFrame(this);
  pnlSwitch->setObjectName("pnlSwitch");
  pnlSwitch->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  FPanelLayout = new QGridLayout(pnlSwitch);
  FPanelLayout->setContentsMargins(1, 1, 1, 1);
  pnlSwitchCaption = new QLabel("No Type Selected", pnlSwitch);
  pnlSwitchCaption->setAlignment(Qt::AlignCenter);
  FPanelLayout->addWidget(pnlSwitchCaption, 0, 0);

  BitBtn1 = new QPushButton(style()->standardIcon(QStyle::SP_DialogCloseButton), "&Close", this);
  BitBtn1->setObjectName("BitBtn1");

  // The left column is as wide as its buttons' captions need in the user's
  // font, 200 at the least, and keeps that width; the right side takes what
  // the window gains.
  auto* leftColumn = new QWidget(this);
  leftColumn->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
  auto* left = new QVBoxLayout(leftColumn);
  left->setContentsMargins(0, 0, 0, 0);
  left->addSpacerItem(new QSpacerItem(200, 0, QSizePolicy::Fixed, QSizePolicy::Fixed));
  left->addWidget(spdbtnTCPIP);
  left->addWidget(SpeedButton1);
  left->addWidget(lstbxSessions, 1);
  auto* sessionButtons = new QHBoxLayout;
  sessionButtons->addWidget(spdbtnNew);
  sessionButtons->addWidget(spdbtnDelete);
  left->addLayout(sessionButtons);

  auto* right = new QVBoxLayout;
  right->addWidget(rdgrpType);
  right->addWidget(pnlSwitch, 1);
  auto* closeRow = new QHBoxLayout;
  closeRow->addStretch(1);
  closeRow->addWidget(BitBtn1);
  right->addLayout(closeRow);

  auto* main = new QHBoxLayout(this);
  main->addWidget(leftColumn, 0);
  main->addLayout(right, 1);

  // A large font may need more than the first size.
  resize(QSize(693, 425).expandedTo(minimumSizeHint()));
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    QRect frame(QPoint(0, 0), size());
    frame.moveCenter(screen->availableGeometry().center());
    move(frame.topLeft());
  }

  FSessionsIni = std::make_unique<TIniFile>(FDirectory + "Brindlemoss.INI");
  ChainTabOrder(nullptr);

  connect(lstbxSessions, &QListWidget::itemSelectionChanged, this, &TfrmMain::lstbxSessionsClick);
  connect(rdgrpType, &TRadioGroup::Click, this, &TfrmMain::rdgrpTypeClick);
  connect(spdbtnNew, &QToolButton::clicked, this, &TfrmMain::spdbtnNewClick);
  connect(spdbtnDelete, &QToolButton::clicked, this, &TfrmMain::spdbtnDeleteClick);
  connect(spdbtnTCPIP, &QToolButton::clicked, this, &TfrmMain::spdbtnTCPIPClick);
  connect(SpeedButton1, &QToolButton::clicked, this, &TfrmMain::SpeedButton1Click);
  connect(BitBtn1, &QPushButton::clicked, this, &QWidget::close);

  FormCreate();
}

// The frame goes first: a session frame borrows FSessionsIni.
TfrmMain::~TfrmMain() { FreeCurrentFrame(); }

int TfrmMain::RecordedType(const QListWidgetItem* entry) { return entry->data(kTypeRole).toInt(); }

void TfrmMain::FormCreate() {
  Guarded(this, [&] { FillSessionList(); });
}

void TfrmMain::lstbxSessionsClick() {
  Guarded(this, [&] { SelectSession(); });
}

void TfrmMain::rdgrpTypeClick() {
  Guarded(this, [&] { TypeChange(); });
}

std::string TfrmMain::ReadSessionValue(const std::string& Key, const std::string& Default,
                                       const std::string& SessionName) {
  std::string section = SessionName;
  if (section.empty()) {
    const QListWidgetItem* entry = SelectedEntry();
    if (!entry) return Default;
    section = EntryId(entry);
  }
  return FSessionsIni->ReadString(section, Key, Default);
}

void TfrmMain::WriteSessionValue(const std::string& Key, const std::string& Value,
                                 const std::string& SessionName) {
  std::string section = SessionName;
  if (section.empty()) {
    const QListWidgetItem* entry = SelectedEntry();
    // With no session selected there is no section to write.
    if (!entry) return;
    section = EntryId(entry);
  }
  FSessionsIni->WriteString(section, Key, Value);
}

QListWidgetItem* TfrmMain::SelectedEntry() const {
  const QList<QListWidgetItem*> selected = lstbxSessions->selectedItems();
  return selected.isEmpty() ? nullptr : selected.first();
}

void TfrmMain::FillSessionList() {
  QSignalBlocker blocker(lstbxSessions);
  lstbxSessions->clear();
  // Each section name comes once, as the file first spells it.
  for (const std::string& name : FSessionsIni->ReadSections())
    lstbxSessions->addItem(new TSessionEntry(name, 1));
  for (int i = 0; i < lstbxSessions->count(); ++i) {
    QListWidgetItem* entry = lstbxSessions->item(i);
    const std::string id = EntryId(entry);
    int type = 1;
    try {
      // A section named "" is read as itself: to ReadSessionValue an empty
      // name means the selected entry, and none is selected here.
      type = StrToInt(id.empty() ? FSessionsIni->ReadString(id, "SessionType", "1")
                                 : ReadSessionValue("SessionType", "1", id));
    } catch (const EConvertError&) {
      // Not a whole number: the session counts as having no type yet.
    }
    entry->setData(kTypeRole, type);
  }
  lstbxSessions->clearSelection();
}

void TfrmMain::SelectSession() {
  const QListWidgetItem* entry = SelectedEntry();
  if (!entry) return;
  rdgrpType->setEnabled(true);
  const int64_t index = std::clamp<int64_t>(int64_t{RecordedType(entry)} - 2, -1, 2);
  rdgrpType->SetItemIndexQuietly(static_cast<int>(index));
  TypeChange();
}

void TfrmMain::TypeChange() {
  QListWidgetItem* entry = SelectedEntry();
  if (!entry) {
    // No session to type: the pick is taken back and nothing is written.
    rdgrpType->SetItemIndexQuietly(FShownIndex);
    return;
  }
  const int index = rdgrpType->ItemIndex();
  FreeCurrentFrame();
  pnlSwitch->hide();
  ShowOnExit show(pnlSwitch);

  TframTemplate* frame = nullptr;
  switch (index) {
    case 0:
      frame = new TframDirect(this);
      break;
    case 1:
      frame = new TframSerial(this);
      break;
    case 2:
      frame = new TframFile(this);
      break;
    default:
      break;
  }
  if (frame) frame->hide();
  FCurrentFrame = frame;
  FShownIndex = index;

  const std::string id = EntryId(entry);
  WriteSessionValue("SessionType", std::to_string(index + 2));
  // Recorded once written, so the entry keeps the type its section holds.
  entry->setData(kTypeRole, index + 2);
  if (frame) {
    PlaceFrame(frame);
    frame->LoadSettings(FSessionsIni.get(), id);
  }
}

void TfrmMain::spdbtnNewClick() {
  Guarded(this, [&] {
    QInputDialog dialog(this);
    dialog.setWindowTitle("Please Enter a Session ID");
    dialog.setLabelText("ID:");
    dialog.setInputMode(QInputDialog::TextInput);
    dialog.setTextValue(QString());
    if (auto* edit = dialog.findChild<QLineEdit*>()) {
      edit->setMaxLength(255);
      WidenForTitle(dialog, *edit);
    }
    if (dialog.exec() != QDialog::Accepted) return;
    const QString id = dialog.textValue();

    if (const QString refusal = RefusalOf(id); !refusal.isEmpty()) {
      ShowError(this, refusal);
      return;
    }
    const std::string section = EncodedFor(*FSessionsIni, id);
    // Written before the entry is listed, so a refused write lists nothing.
    WriteSessionValue("SessionType", "1", section);
    auto* entry = new TSessionEntry(section, 1);
    {
      QSignalBlocker blocker(lstbxSessions);
      lstbxSessions->addItem(entry);
      lstbxSessions->setCurrentItem(entry);
    }
    SelectSession();
  });
}

QString TfrmMain::RefusalOf(const QString& id) const {
  if (id.isEmpty()) return "Please enter a session ID.";
  for (int i = 0; i < lstbxSessions->count(); ++i) {
    if (lstbxSessions->item(i)->text().compare(id, Qt::CaseInsensitive) == 0)
      return "Session ID '" + id + "' already exists.";
  }
  // A section name ends at "]" and at the line's end, and loses its blanks.
  const bool unfit = id.contains(']') || id.contains('\n') || id.contains('\r') || id.contains(QChar(0)) ||
                     id.front().isSpace() || id.back().isSpace();
  if (unfit) return "A session ID cannot hold ']' or a line break, nor begin or end with a blank.";
  // Each character is one byte of the file's code page; one that is not
  // refuses the write instead.
  if (id.size() > 255) return "A session ID may hold at most 255 characters.";
  return {};
}

void TfrmMain::spdbtnDeleteClick() {
  Guarded(this, [&] {
    const QListWidgetItem* entry = SelectedEntry();
    if (!entry) return;
    FSessionsIni->EraseSection(EntryId(entry));
    // Its frame goes too, so no later change writes the erased section again.
    FreeCurrentFrame();
    rdgrpType->SetItemIndexQuietly(-1);
    FShownIndex = -1;
    FillSessionList();
  });
}

void TfrmMain::spdbtnTCPIPClick() {
  Guarded(this, [&] { ShowPage([this] { return new TframTCPIP(FDirectory, this); }); });
}

void TfrmMain::SpeedButton1Click() {
  Guarded(this, [&] { ShowPage([this] { return new TframHeader(FDirectory, this); }); });
}

void TfrmMain::ShowPage(const std::function<TframTemplate*()>& make) {
  {
    QSignalBlocker blocker(lstbxSessions);
    lstbxSessions->clearSelection();
  }
  FreeCurrentFrame();
  pnlSwitch->hide();
  ShowOnExit show(pnlSwitch);
  TframTemplate* page = make();
  page->hide();
  FCurrentFrame = page;
  const bool header = qobject_cast<TframHeader*>(page) != nullptr;
  // The header page keeps its own size at the panel's top left.
  PlaceFrame(page, header ? Qt::AlignTop | Qt::AlignLeft : Qt::Alignment{});
  page->LoadSettings(nullptr, {});
}

void TfrmMain::PlaceFrame(TframTemplate* frame, Qt::Alignment alignment) {
  pnlSwitchCaption->hide();
  FPanelLayout->addWidget(frame, 0, 0, alignment);
  ChainTabOrder(frame);
  frame->show();
}

void TfrmMain::ChainTabOrder(QWidget* frame) {
  QList<QWidget*> chain{lstbxSessions};
  chain << Controls(rdgrpType);
  if (frame) chain << Controls(frame);
  chain << spdbtnTCPIP << SpeedButton1 << spdbtnNew << spdbtnDelete << BitBtn1;
  for (qsizetype i = 1; i < chain.size(); ++i) setTabOrder(chain[i - 1], chain[i]);
}

void TfrmMain::FreeCurrentFrame() {
  // The frame is deleted outright: a deferred delete would leave its edits
  // able to write for a moment longer.
  delete FCurrentFrame;
  FCurrentFrame = nullptr;
  pnlSwitchCaption->show();
}

}  // namespace tamlix::config
