#include "FrameFile.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>

namespace tamlix::config {

TframFile::TframFile(QWidget* parent) : TframTemplate(parent) {
  setObjectName("framFile");
  auto* layout = new QGridLayout(this);

  auto* lblSource = new QLabel("Source File:", this);
  edtSourceFile = new QLineEdit(this);
  edtSourceFile->setObjectName("edtSourceFile");
  lblSource->setBuddy(edtSourceFile);
  auto* lblDest = new QLabel("Dest File:", this);
  edtDestFile = new QLineEdit(this);
  edtDestFile->setObjectName("edtDestFile");
  lblDest->setBuddy(edtDestFile);
  layout->addWidget(lblSource, 0, 0);
  layout->addWidget(edtSourceFile, 0, 1);
  layout->addWidget(lblDest, 1, 0);
  layout->addWidget(edtDestFile, 1, 1);

  auto* line = new QFrame(this);
  line->setFrameShape(QFrame::HLine);
  line->setFrameShadow(QFrame::Sunken);
  layout->addWidget(line, 2, 0, 1, 2);

  // Automatic checking is an option of the master library that this
  // program keeps but does not offer: the panel is never shown.
  Panel1 = new QFrame(this);
  Panel1->setObjectName("Panel1");
  Panel1->setFrameShape(QFrame::NoFrame);
  auto* hidden = new QGridLayout(Panel1);
  chkbxAutoCheck = new QCheckBox("Auto Check", Panel1);
  chkbxAutoCheck->setObjectName("chkbxAutoCheck");
  auto* lblFrequency = new QLabel("Frequency (ms)", Panel1);
  edtFrequency = new QLineEdit("1000", Panel1);
  edtFrequency->setObjectName("edtFrequency");
  UpDown1 = new QSpinBox(Panel1);
  UpDown1->setObjectName("UpDown1");
  UpDown1->setRange(0, 30000);
  UpDown1->setValue(1000);
  UpDown1->setGroupSeparatorShown(false);
  UpDown1->setWrapping(false);
  // The up-down steps the number shown in its edit.
  connect(UpDown1, &QSpinBox::valueChanged, edtFrequency,
          [this](int value) { edtFrequency->setText(QString::number(value)); });
  hidden->addWidget(chkbxAutoCheck, 0, 0, 1, 3);
  hidden->addWidget(lblFrequency, 1, 0);
  hidden->addWidget(edtFrequency, 1, 1);
  hidden->addWidget(UpDown1, 1, 2);
  layout->addWidget(Panel1, 3, 0, 1, 2);
  Panel1->hide();

  layout->setColumnStretch(1, 1);
  layout->setRowStretch(4, 1);

  setTabOrder(edtSourceFile, edtDestFile);
  setTabOrder(edtDestFile, chkbxAutoCheck);
  setTabOrder(chkbxAutoCheck, edtFrequency);
  setTabOrder(edtFrequency, UpDown1);
}

void TframFile::LoadSettings(TIniFile* Ini, const std::string& SessionName) {
  FIniFile = Ini;
  FSessionName = SessionName;
  if (!FIniFile) return;
  edtSourceFile->setText(ToQ(FIniFile->ReadString(FSessionName, "File_Source", "")));
  edtDestFile->setText(ToQ(FIniFile->ReadString(FSessionName, "File_Dest", "")));
  chkbxAutoCheck->setChecked(FIniFile->ReadBool(FSessionName, "File_Auto", false));
  // An absent key empties the edit, in place of its initial "1000".
  edtFrequency->setText(ToQ(FIniFile->ReadString(FSessionName, "File_Freq", "")));

  // Only now: the filling above writes nothing.
  connect(edtSourceFile, &QLineEdit::textChanged, this, &TframFile::edtSourceFileChange,
          Qt::UniqueConnection);
  connect(edtDestFile, &QLineEdit::textChanged, this, &TframFile::edtDestFileChange, Qt::UniqueConnection);
  connect(chkbxAutoCheck, &QCheckBox::clicked, this, &TframFile::chkbxAutoCheckClick, Qt::UniqueConnection);
  connect(edtFrequency, &QLineEdit::textChanged, this, &TframFile::edtFrequencyChange, Qt::UniqueConnection);
}

void TframFile::Write(const char* key, const QString& text) {
  if (!FIniFile) return;
  RunChange([&] { FIniFile->WriteString(FSessionName, key, EncodedFor(*FIniFile, text)); });
}

void TframFile::edtSourceFileChange() { Write("File_Source", edtSourceFile->text()); }

void TframFile::edtDestFileChange() { Write("File_Dest", edtDestFile->text()); }

void TframFile::chkbxAutoCheckClick() {
  if (!FIniFile) return;
  RunChange([&] { FIniFile->WriteBool(FSessionName, "File_Auto", chkbxAutoCheck->isChecked()); });
}

void TframFile::edtFrequencyChange() { Write("File_Freq", edtFrequency->text()); }

}  // namespace tamlix::config
