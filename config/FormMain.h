// TfrmMain: the configuration program's one window. It lists the sessions of
// the product settings file "Brindlemoss.INI", creates and deletes them, sets
// each session's connection type, and shows in its host panel pnlSwitch one
// frame or page at a time: the selected session's frame, or one of the two
// global pages over "TamlixTCP.INI". Every change goes into the files at once.
//
// The window owns the INI-file object on the product settings file (the
// session frames borrow it) and the frame or page now shown. Every handler
// catches at its boundary and shows the error; the window stays open.
// Window thread only.
#pragma once

#include <QWidget>
#include <functional>
#include <memory>
#include <string>

#include "settings/IniFile.h"

class QFrame;
class QLabel;
class QGridLayout;
class QListWidget;
class QListWidgetItem;
class QPushButton;
class QToolButton;

namespace tamlix::config {

class TframTemplate;
class TRadioGroup;

class TfrmMain : public QWidget {
  Q_OBJECT

 public:
  // directory: where both settings files lie, ending with "/" (the program
  // passes its executable's directory). Fills the session list.
  explicit TfrmMain(std::string directory, QWidget* parent = nullptr);
  ~TfrmMain() override;

  QToolButton* spdbtnDelete;
  QToolButton* spdbtnNew;
  QToolButton* spdbtnTCPIP;
  QToolButton* SpeedButton1;
  QListWidget* lstbxSessions;
  TRadioGroup* rdgrpType;
  QFrame* pnlSwitch;
  QLabel* pnlSwitchCaption;  // "No Type Selected", shown while the panel holds nothing
  QPushButton* BitBtn1;

  // The frame or page now shown, or null.
  TframTemplate* CurrentFrame() const { return FCurrentFrame; }
  // The session type recorded with a list entry.
  static int RecordedType(const QListWidgetItem* entry);

 public slots:
  void FormCreate();
  void lstbxSessionsClick();
  void rdgrpTypeClick();
  void spdbtnNewClick();
  void spdbtnDeleteClick();
  void spdbtnTCPIPClick();
  void SpeedButton1Click();

 private:
  std::string ReadSessionValue(const std::string& Key, const std::string& Default,
                               const std::string& SessionName = {});
  void WriteSessionValue(const std::string& Key, const std::string& Value,
                         const std::string& SessionName = {});

  QListWidgetItem* SelectedEntry() const;
  void FillSessionList();
  void SelectSession();
  void TypeChange();
  // Replaces the shown frame by the page that `make` creates, and fills it.
  void ShowPage(const std::function<TframTemplate*()>& make);
  void PlaceFrame(TframTemplate* frame, Qt::Alignment alignment = {});
  void FreeCurrentFrame();
  // Why `id` cannot name a new session, or empty when it can.
  QString RefusalOf(const QString& id) const;
  // Tab follows the layout: the list, the type selector, the controls of
  // `frame` (the panel's frame or page, or null), then the buttons.
  void ChainTabOrder(QWidget* frame);

  std::string FDirectory;
  TframTemplate* FCurrentFrame = nullptr;
  std::unique_ptr<TIniFile> FSessionsIni;
  QGridLayout* FPanelLayout;
  // The selector's index that the shown frame stands for.
  int FShownIndex = -1;
};

}  // namespace tamlix::config
