// TframSerial: the frame of a serial session (type 3). Six plain edits, one
// per Serial_ key of the session's section; every change of an edit's text,
// the filling in LoadSettings included, writes the whole text at once.
#pragma once

#include "FrameTemplate.h"

class QFrame;
class QLineEdit;

namespace tamlix::config {

class TframSerial : public TframTemplate {
  Q_OBJECT

 public:
  explicit TframSerial(QWidget* parent = nullptr);

  // Keeps Ini and SessionName, then fills the six edits from the section.
  void LoadSettings(TIniFile* Ini, const std::string& SessionName) override;

  QFrame* Panel1;
  QLineEdit* edtBaud;
  QLineEdit* edtPort;
  QLineEdit* edtDataBits;
  QLineEdit* edtParity;
  QLineEdit* edtStopBits;
  QLineEdit* edtConnectTrigger;

 public slots:
  // The change operation of all six edits: the key is "Serial_" and the
  // edit's name without its "edt" prefix.
  void EditChange();
};

}  // namespace tamlix::config
