#include "RadioGroup.h"

#include <QButtonGroup>
#include <QGridLayout>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOptionGroupBox>
#include <algorithm>

namespace tamlix::config {

TRadioGroup::TRadioGroup(const QString& caption, const QStringList& items, int columns, QWidget* parent)
    : QGroupBox(caption, parent), FGroup(new QButtonGroup(this)) {
  auto* layout = new QGridLayout(this);
  columns = std::max(columns, 1);
  const int rows = (static_cast<int>(items.size()) + columns - 1) / columns;
  for (int i = 0; i < items.size(); ++i) {
    auto* button = new QRadioButton(items[i], this);
    FGroup->addButton(button, i);
    // Items run down each column first, as in the forms' radio groups.
    layout->addWidget(button, i % rows, i / rows);
    FButtons.push_back(button);
    connect(button, &QRadioButton::toggled, this, [this, i](bool checked) { ButtonToggled(i, checked); });
  }
  UpdateTabStop();
}

void TRadioGroup::SetItemIndex(int index) {
  index = std::clamp(index, -1, Count() - 1);
  if (index == FItemIndex) return;
  Check(index);
  if (FItemIndex >= 0) emit Click();
}

void TRadioGroup::SetItemIndexQuietly(int index) { Check(std::clamp(index, -1, Count() - 1)); }

int TRadioGroup::CaptionsWidth() const {
  QStyleOptionGroupBox option;
  initStyleOption(&option);
  const QRect title = style()->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, this);
  // The style's indent before the title, taken on both sides.
  return std::max(sizeHint().width(), title.width() + 2 * std::max(title.left(), 0));
}

void TRadioGroup::Check(int index) {
  FUpdating = true;
  if (index < 0) {
    // An exclusive group refuses to uncheck its last checked button.
    FGroup->setExclusive(false);
    for (auto* button : FButtons) button->setChecked(false);
    FGroup->setExclusive(true);
  } else {
    FButtons[static_cast<size_t>(index)]->setChecked(true);
  }
  FUpdating = false;
  FItemIndex = index;
  UpdateTabStop();
}

void TRadioGroup::ButtonToggled(int index, bool checked) {
  if (FUpdating || !checked || index == FItemIndex) return;
  FItemIndex = index;
  UpdateTabStop();
  emit Click();
}

void TRadioGroup::UpdateTabStop() {
  const int stop = std::max(FItemIndex, 0);
  for (int i = 0; i < Count(); ++i)
    FButtons[static_cast<size_t>(i)]->setFocusPolicy(i == stop ? Qt::StrongFocus : Qt::ClickFocus);
}

}  // namespace tamlix::config
