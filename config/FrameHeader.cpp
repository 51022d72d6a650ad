#include "FrameHeader.h"

#include <QGridLayout>
#include <QPalette>
#include <QPlainTextEdit>
#include <algorithm>

#include "RadioGroup.h"

namespace tamlix::config {

namespace {

constexpr const char* kSection = "Global TCP/IP Data";

// Twelve lines; the trailing blanks are part of the text.
const char* const kHelpLines[] = {
    "Applies to Serial Only",
    "",
    "4 Byte Pack Length",
    "If the pharmacy system includes the 4 byte ",
    "length header in the data packet then choose ",
    "'Included'. ",
    "",
    "Default Header ",
    "To Add the 'Brindlemoss' header to the data ",
    "packet choose  'Insert'. The header will be ",
    "added to the data packet before it is sent to the ",
    "server and removed from the return data",
};

}  // namespace

TframHeader::TframHeader(std::string directory, QWidget* parent)
    : TframTemplate(parent), FDirectory(std::move(directory)) {
  setObjectName("framHeader");
  setFixedSize(448, 261);

  rgLengthHeader = new TRadioGroup("4 byte packet length", {"Not Included", "Included"}, 1, this);
  rgLengthHeader->setObjectName("rgLengthHeader");
  rgLengthHeader->SetItemIndexQuietly(1);
  rgHeader = new TRadioGroup("Default Header", {"Do not Insert", "Insert"}, 1, this);
  rgHeader->setObjectName("rgHeader");
  rgHeader->SetItemIndexQuietly(0);

  Memo1 = new QPlainTextEdit(this);
  Memo1->setObjectName("Memo1");
  QStringList lines;
  for (const char* line : kHelpLines) lines << line;
  Memo1->setPlainText(lines.join('\n'));
  Memo1->setReadOnly(true);
  Memo1->setTabChangesFocus(true);
  Memo1->setFrameShape(QFrame::NoFrame);
  Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
  // Scroll bars only show where a large font leaves the page too small.
  Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  Memo1->setAccessibleName("Help");
  QPalette palette = Memo1->palette();
  palette.setColor(QPalette::Base, palette.color(QPalette::Button));
  Memo1->setPalette(palette);

  // The groups are as wide as their captions need in the page's font and no
  // wider, so that the help text keeps the rest of the page unwrapped.
  const int groupWidth = std::max(rgLengthHeader->CaptionsWidth(), rgHeader->CaptionsWidth());
  rgLengthHeader->setFixedWidth(groupWidth);
  rgHeader->setFixedWidth(groupWidth);
  auto* layout = new QGridLayout(this);
  layout->setContentsMargins(4, 4, 4, 4);
  layout->addWidget(rgLengthHeader, 0, 0);
  layout->addWidget(rgHeader, 1, 0);
  layout->addWidget(Memo1, 0, 1, 3, 1);
  layout->setRowStretch(2, 1);
  layout->setColumnStretch(1, 1);

  setTabOrder(rgLengthHeader, rgHeader);
  setTabOrder(rgHeader, Memo1);

  // Bound before LoadSettings runs: the filling writes what it changes.
  connect(rgLengthHeader, &TRadioGroup::Click, this, &TframHeader::rgLengthHeaderClick);
  connect(rgHeader, &TRadioGroup::Click, this, &TframHeader::rgHeaderClick);
}

// The controls go before the INI-file object they write through.
TframHeader::~TframHeader() {
  const QObjectList controls = children();
  qDeleteAll(controls);
  FIniFile = nullptr;
}

void TframHeader::LoadSettings(TIniFile*, const std::string&) {
  FOwnIni = std::make_unique<TIniFile>(FDirectory + "TamlixTCP.INI");
  FIniFile = FOwnIni.get();
  const int32_t length = FIniFile->ReadInteger(kSection, "Headerlength", 1);
  Fill([&] { rgLengthHeader->SetItemIndex(length); });
  const int32_t header = FIniFile->ReadInteger(kSection, "DefaultHeader", 1);
  Fill([&] { rgHeader->SetItemIndex(header); });
}

void TframHeader::Write(const char* key, int index) {
  if (!FIniFile) return;
  RunChange([&] { FIniFile->WriteString(kSection, key, std::to_string(index)); });
}

void TframHeader::rgLengthHeaderClick() { Write("Headerlength", rgLengthHeader->ItemIndex()); }
void TframHeader::rgHeaderClick() { Write("DefaultHeader", rgHeader->ItemIndex()); }

}  // namespace tamlix::config
