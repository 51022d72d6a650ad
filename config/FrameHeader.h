// TframHeader: the global page of the two claim-framing flags of the TCP
// settings file (section "Global TCP/IP Data"): Headerlength and
// DefaultHeader, each a two-item radio group, beside a read-only help text.
// Its change operations are bound from creation. The page owns its INI-file
// object, made in LoadSettings.
#pragma once

#include <memory>

#include "FrameTemplate.h"

class QPlainTextEdit;

namespace tamlix::config {

class TRadioGroup;

class TframHeader : public TframTemplate {
  Q_OBJECT

 public:
  // directory: where the settings files lie, ending with "/" (or empty).
  explicit TframHeader(std::string directory, QWidget* parent = nullptr);
  ~TframHeader() override;

  // Both arguments are ignored: the page opens the TCP settings file itself.
  void LoadSettings(TIniFile* Ini, const std::string& SessionName) override;

  TRadioGroup* rgLengthHeader;
  TRadioGroup* rgHeader;
  QPlainTextEdit* Memo1;

 public slots:
  void rgLengthHeaderClick();
  void rgHeaderClick();

 private:
  void Write(const char* key, int index);

  std::string FDirectory;
  std::unique_ptr<TIniFile> FOwnIni;
};

}  // namespace tamlix::config
