#include "FrameDirect.h"

#include <QGridLayout>
#include <QLabel>

namespace tamlix::config {

TframDirect::TframDirect(QWidget* parent) : TframTemplate(parent) {
  setObjectName("framDirect");
  Label1 = new QLabel("No parameters for the direct link", this);
  Label1->setObjectName("Label1");
  Label1->setAlignment(Qt::AlignCenter);
  Label1->setWordWrap(true);
  // Narrow enough that the text wraps over two lines.
  Label1->setFixedWidth(Label1->fontMetrics().horizontalAdvance(Label1->text()) * 2 / 3);
  auto* layout = new QGridLayout(this);
  layout->addWidget(Label1, 0, 0, Qt::AlignCenter);
}

void TframDirect::LoadSettings(TIniFile*, const std::string&) {}

}  // namespace tamlix::config
