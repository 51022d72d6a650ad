#include "FrameTCPIP.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <climits>

#include "RadioGroup.h"

namespace tamlix::config {

namespace {

constexpr const char* kSection = "Global TCP/IP Data";

QFrame* SeparatorLine(QWidget* parent) {
  auto* line = new QFrame(parent);
  line->setFrameShape(QFrame::HLine);
  line->setFrameShadow(QFrame::Sunken);
  return line;
}

QLabel* Heading(const char* text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  QFont font = label->font();
  font.setBold(true);
  label->setFont(font);
  return label;
}

}  // namespace

TframTCPIP::TframTCPIP(std::string directory, QWidget* parent)
    : TframTemplate(parent), FDirectory(std::move(directory)) {
  setObjectName("framTCPIP");
  auto* layout = new QGridLayout(this);

  auto makeEdit = [this](const char* name) {
    auto* edit = new QLineEdit(this);
    edit->setObjectName(name);
    edit->setMaxLength(INT_MAX);  // any text of any length
    return edit;
  };
  auto addRow = [&](int row, const char* caption, QLineEdit* edit) {
    auto* label = new QLabel(caption, this);
    label->setBuddy(edit);
    layout->addWidget(label, row, 0);
    layout->addWidget(edit, row, 1);
  };

  edtAddress = makeEdit("edtAddress");
  edtPort = makeEdit("edtPort");
  edtTimeOut = makeEdit("edtTimeOut");
  edtSecAddress = makeEdit("edtSecAddress");
  edtSecPort = makeEdit("edtSecPort");

  layout->addWidget(Heading("Primary TCP/IP Settings", this), 0, 0, 1, 2);
  addRow(1, "Address", edtAddress);
  addRow(2, "Port", edtPort);
  layout->addWidget(SeparatorLine(this), 3, 0, 1, 2);
  layout->addWidget(Heading("Timeout Setting", this), 4, 0, 1, 2);
  addRow(5, "Time Out (ms)", edtTimeOut);
  layout->addWidget(SeparatorLine(this), 6, 0, 1, 2);
  layout->addWidget(Heading("Secondary TCP/IP Settings", this), 7, 0, 1, 2);
  addRow(8, "Address", edtSecAddress);
  addRow(9, "Port", edtSecPort);
  layout->addWidget(SeparatorLine(this), 10, 0, 1, 2);
  rgUse = new TRadioGroup("Use", {"Primary", "Secondary"}, 2, this);
  rgUse->setObjectName("rgUse");
  rgUse->SetItemIndexQuietly(0);
  layout->addWidget(rgUse, 11, 0, 1, 2);
  layout->setColumnStretch(1, 1);
  layout->setRowStretch(12, 1);
  // Tight rows, so that the page fits the window's panel at its first size.
  layout->setContentsMargins(6, 4, 6, 4);
  layout->setVerticalSpacing(3);

  setTabOrder(edtAddress, edtPort);
  setTabOrder(edtPort, edtTimeOut);
  setTabOrder(edtTimeOut, edtSecAddress);
  setTabOrder(edtSecAddress, edtSecPort);
  setTabOrder(edtSecPort, rgUse);

  // Bound before LoadSettings runs: the filling writes what it changes.
  connect(edtAddress, &QLineEdit::textChanged, this, &TframTCPIP::edtAddressChange);
  connect(edtPort, &QLineEdit::textChanged, this, &TframTCPIP::edtPortChange);
  connect(edtTimeOut, &QLineEdit::textChanged, this, &TframTCPIP::edtTimeOutChange);
  connect(edtSecAddress, &QLineEdit::textChanged, this, &TframTCPIP::edtSecAddressChange);
  connect(edtSecPort, &QLineEdit::textChanged, this, &TframTCPIP::edtSecPortChange);
  connect(rgUse, &TRadioGroup::Click, this, &TframTCPIP::rgUseClick);
}

// The controls go before the INI-file object they write through.
TframTCPIP::~TframTCPIP() {
  const QObjectList controls = children();
  qDeleteAll(controls);
  FIniFile = nullptr;
}

void TframTCPIP::LoadSettings(TIniFile*, const std::string&) {
  FOwnIni = std::make_unique<TIniFile>(FDirectory + "TamlixTCP.INI");
  FIniFile = FOwnIni.get();
  const std::pair<const char*, QLineEdit*> edits[] = {
      {"Address", edtAddress},       {"Port", edtPort},       {"TimeOut", edtTimeOut},
      {"SecAddress", edtSecAddress}, {"SecPort", edtSecPort},
  };
  const char* defaults[] = {"000.000.000.000", "21", "10000", "http://", "21"};
  for (size_t i = 0; i < std::size(edits); ++i) {
    const QString text = ToQ(FIniFile->ReadString(kSection, edits[i].first, defaults[i]));
    Fill([&] { edits[i].second->setText(text); });
  }
  const int32_t use = FIniFile->ReadInteger(kSection, "Use", 0);
  Fill([&] { rgUse->SetItemIndex(use); });
}

void TframTCPIP::Write(const char* key, const QString& text) {
  if (!FIniFile) return;
  RunChange([&] { FIniFile->WriteString(kSection, key, EncodedFor(*FIniFile, text)); });
}

void TframTCPIP::edtAddressChange() { Write("Address", edtAddress->text()); }
void TframTCPIP::edtPortChange() { Write("Port", edtPort->text()); }
void TframTCPIP::edtTimeOutChange() { Write("TimeOut", edtTimeOut->text()); }
void TframTCPIP::edtSecAddressChange() { Write("SecAddress", edtSecAddress->text()); }
void TframTCPIP::edtSecPortChange() { Write("SecPort", edtSecPort->text()); }
void TframTCPIP::rgUseClick() { Write("Use", QString::number(rgUse->ItemIndex())); }

}  // namespace tamlix::config
