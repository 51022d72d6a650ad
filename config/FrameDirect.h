// TframDirect: the frame of a direct session (type 2). It has no settings:
// one label, and LoadSettings does nothing.
#pragma once

#include "FrameTemplate.h"

class QLabel;

namespace tamlix::config {

class TframDirect : public TframTemplate {
  Q_OBJECT

 public:
  explicit TframDirect(QWidget* parent = nullptr);

  void LoadSettings(TIniFile* Ini, const std::string& SessionName) override;

  QLabel* Label1;
};

}  // namespace tamlix::config
