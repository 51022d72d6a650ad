// TframFile: the frame of a file session (type 4). Two visible rows, the
// source and destination files, and a panel that is built, filled and bound
// like them but never shown (automatic checking and its interval). Its
// change operations are bound only at the end of LoadSettings, so filling
// the controls writes nothing; every later change writes at once.
#pragma once

#include "FrameTemplate.h"

class QCheckBox;
class QFrame;
class QLineEdit;
class QSpinBox;

namespace tamlix::config {

class TframFile : public TframTemplate {
  Q_OBJECT

 public:
  explicit TframFile(QWidget* parent = nullptr);

  void LoadSettings(TIniFile* Ini, const std::string& SessionName) override;

  QLineEdit* edtSourceFile;
  QLineEdit* edtDestFile;
  QFrame* Panel1;
  QCheckBox* chkbxAutoCheck;
  QLineEdit* edtFrequency;
  QSpinBox* UpDown1;

 public slots:
  void edtSourceFileChange();
  void edtDestFileChange();
  void chkbxAutoCheckClick();
  void edtFrequencyChange();

 private:
  void Write(const char* key, const QString& text);
};

}  // namespace tamlix::config
