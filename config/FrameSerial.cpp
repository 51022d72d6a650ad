#include "FrameSerial.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>

namespace tamlix::config {

TframSerial::TframSerial(QWidget* parent) : TframTemplate(parent) {
  setObjectName("framSerial");
  Panel1 = new QFrame(this);
  Panel1->setObjectName("Panel1");
  Panel1->setFrameShape(QFrame::NoFrame);
  auto* rows = new QGridLayout(Panel1);

  struct Row {
    const char* label;
    const char* name;
    QLineEdit** edit;
  };
  const Row table[] = {
      {"Baud:", "edtBaud", &edtBaud},
      {"COM #", "edtPort", &edtPort},
      {"Data Bits:", "edtDataBits", &edtDataBits},
      {"Parity:", "edtParity", &edtParity},
      {"Stop Bits:", "edtStopBits", &edtStopBits},
      {"Connect Trigger", "edtConnectTrigger", &edtConnectTrigger},
  };
  int row = 0;
  for (const Row& r : table) {
    auto* label = new QLabel(r.label, Panel1);
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    auto* edit = new QLineEdit(Panel1);
    // EditChange derives the key from this name.
    edit->setObjectName(r.name);
    label->setBuddy(edit);
    rows->addWidget(label, row, 0);
    rows->addWidget(edit, row, 1);
    *r.edit = edit;
    ++row;
  }
  rows->setColumnStretch(1, 1);
  rows->setRowStretch(row, 1);

  auto* layout = new QGridLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(Panel1, 0, 0);

  // The port comes first in the tab order.
  setTabOrder(edtPort, edtBaud);
  setTabOrder(edtBaud, edtDataBits);
  setTabOrder(edtDataBits, edtParity);
  setTabOrder(edtParity, edtStopBits);
  setTabOrder(edtStopBits, edtConnectTrigger);

  // Bound from creation: filling the edits writes non-empty values back.
  for (QLineEdit* edit : {edtBaud, edtPort, edtDataBits, edtParity, edtStopBits, edtConnectTrigger})
    connect(edit, &QLineEdit::textChanged, this, &TframSerial::EditChange);
}

void TframSerial::LoadSettings(TIniFile* Ini, const std::string& SessionName) {
  FIniFile = Ini;
  FSessionName = SessionName;
  if (!FIniFile) return;
  const std::pair<const char*, QLineEdit*> keys[] = {
      {"Serial_Baud", edtBaud},         {"Serial_Port", edtPort},
      {"Serial_DataBits", edtDataBits}, {"Serial_Parity", edtParity},
      {"Serial_StopBits", edtStopBits}, {"Serial_ConnectTrigger", edtConnectTrigger},
  };
  for (const auto& key : keys) {
    const QString text = ToQ(FIniFile->ReadString(FSessionName, key.first, ""));
    QLineEdit* edit = key.second;
    Fill([&] { edit->setText(text); });
  }
}

void TframSerial::EditChange() {
  auto* edit = qobject_cast<QLineEdit*>(sender());
  if (!edit || !FIniFile) return;
  RunChange([&] {
    const std::string key = "Serial_" + edit->objectName().mid(3).toStdString();
    FIniFile->WriteString(FSessionName, key, EncodedFor(*FIniFile, edit->text()));
  });
}

}  // namespace tamlix::config
