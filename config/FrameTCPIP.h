// TframTCPIP: the global page of the TCP settings file "TamlixTCP.INI",
// section "Global TCP/IP Data": the primary and secondary address and port,
// the reply time-out and which pair to use. Its change operations are bound
// from creation, so the filling in LoadSettings writes what it sets off.
// The page owns its INI-file object, made in LoadSettings.
#pragma once

#include <memory>

#include "FrameTemplate.h"

class QLineEdit;

namespace tamlix::config {

class TRadioGroup;

class TframTCPIP : public TframTemplate {
  Q_OBJECT

 public:
  // directory: where the settings files lie, ending with "/" (or empty).
  explicit TframTCPIP(std::string directory, QWidget* parent = nullptr);
  ~TframTCPIP() override;

  // Both arguments are ignored: the page opens the TCP settings file itself.
  void LoadSettings(TIniFile* Ini, const std::string& SessionName) override;

  QLineEdit* edtAddress;
  QLineEdit* edtPort;
  QLineEdit* edtTimeOut;
  QLineEdit* edtSecAddress;
  QLineEdit* edtSecPort;
  TRadioGroup* rgUse;

 public slots:
  void edtAddressChange();
  void edtPortChange();
  void edtTimeOutChange();
  void edtSecAddressChange();
  void edtSecPortChange();
  void rgUseClick();

 private:
  void Write(const char* key, const QString& text);

  std::string FDirectory;
  std::unique_ptr<TIniFile> FOwnIni;
};

}  // namespace tamlix::config
