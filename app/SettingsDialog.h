// TfrmSettings: the "설정" dialog. It shows the settings it is given (the name partners see, the
// relay address, TLS and its certificate file, starting with the desktop session), checks them
// with CheckClientSettings on "확인" and keeps the dialog open with the reason while they do not
// hold. Fields the environment overrides are shown as the environment has them, with a note, and
// cannot be changed here. A view: the caller stores what Settings() answers.
//
// Created, run and destroyed on the user-interface thread.
#pragma once

#include <QDialog>
#include <optional>
#include <string>

#include "app/ClientSettings.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace tlm {

class TfrmSettings final : public QDialog {
  Q_OBJECT
public:
  TfrmSettings(const TClientSettings& ACurrent, bool AAutostart, const TSettingsOverrides& AOverrides,
               QWidget* AParent = nullptr);

  // What the user set (checked), after the dialog was accepted.
  const TClientSettings& Settings() const { return FSettings; }
  bool Autostart() const;

  // For tests: the controls by role, and the reason shown for the last refused "확인".
  QLineEdit* NameEdit() const { return edtName; }
  QLineEdit* RelayEdit() const { return edtRelay; }
  QCheckBox* TlsBox() const { return chkTls; }
  QLineEdit* CaEdit() const { return edtCa; }
  QCheckBox* AutostartBox() const { return chkAutostart; }
  QString ErrorText() const;
  void TryAccept();

private:
  TClientSettings FSettings;
  const TSettingsOverrides FOverrides;
  QLineEdit* edtName = nullptr;
  QLineEdit* edtRelay = nullptr;
  QCheckBox* chkTls = nullptr;
  QLineEdit* edtCa = nullptr;
  QPushButton* btnBrowseCa = nullptr;
  QCheckBox* chkAutostart = nullptr;
  QLabel* lblError = nullptr;
};

}  // namespace tlm
