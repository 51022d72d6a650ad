// TRadioGroup: a captioned group of radio buttons with an item index, in the
// manner of the forms' radio groups. Index -1 means no button checked.
//
// Click is emitted when the user checks a button that was not checked, and
// when SetItemIndex moves the index to an item (0 or more). Setting the index
// it already holds, or -1, emits nothing. Tab enters the group at its checked
// button (the first when none is) and leaves it from there; the arrow keys
// move the check within the group. Window thread only.
#pragma once

#include <QGroupBox>
#include <QStringList>
#include <vector>

class QButtonGroup;
class QRadioButton;

namespace tamlix::config {

class TRadioGroup : public QGroupBox {
  Q_OBJECT

 public:
  TRadioGroup(const QString& caption, const QStringList& items, int columns, QWidget* parent = nullptr);

  int ItemIndex() const { return FItemIndex; }
  int Count() const { return static_cast<int>(FButtons.size()); }
  QRadioButton* Button(int index) const { return FButtons.at(static_cast<size_t>(index)); }

  // Pulled into -1 .. Count()-1 first; see the header comment for Click.
  void SetItemIndex(int index);
  // Moves the check without emitting Click (initial states, reverting a pick).
  void SetItemIndexQuietly(int index);
  // The width at which its title and every item show whole in its font and style.
  int CaptionsWidth() const;

 signals:
  void Click();

 private:
  void ButtonToggled(int index, bool checked);
  void Check(int index);
  // Only the checked button (or the first) is a Tab stop.
  void UpdateTabStop();

  QButtonGroup* FGroup;
  std::vector<QRadioButton*> FButtons;
  int FItemIndex = -1;
  bool FUpdating = false;
};

}  // namespace tamlix::config
