#include "app/SettingsDialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace tlm {

namespace {

QString Q(const std::string& AText) { return QString::fromStdString(AText); }

QLabel* Note(const QString& AText, QWidget* AParent) {
  auto* label = new QLabel(AText, AParent);
  label->setWordWrap(true);
  QPalette pal = label->palette();
  pal.setColor(QPalette::WindowText, QColor(110, 110, 110));
  label->setPalette(pal);
  return label;
}

}  // namespace

TfrmSettings::TfrmSettings(const TClientSettings& ACurrent, bool AAutostart, const TSettingsOverrides& AOverrides,
                           QWidget* AParent)
    : QDialog(AParent), FSettings(ACurrent), FOverrides(AOverrides) {
  setObjectName(QStringLiteral("frmSettings"));
  setWindowTitle(QStringLiteral("설정 - TALMIR Remote"));
  auto* root = new QVBoxLayout(this);
  auto* form = new QFormLayout;
  root->addLayout(form);

  edtName = new QLineEdit(Q(ACurrent.MyName), this);
  edtName->setObjectName(QStringLiteral("edtName"));
  edtName->setMaxLength(200);  // the rule says 64; longer text is refused with the reason
  form->addRow(QStringLiteral("상대방에게 보일 이름"), edtName);

  edtRelay = new QLineEdit(Q(AOverrides.RelayHost.value_or(ACurrent.RelayHost)), this);
  edtRelay->setObjectName(QStringLiteral("edtRelay"));
  edtRelay->setPlaceholderText(QStringLiteral("기본 서버"));
  form->addRow(QStringLiteral("중계 서버 주소"), edtRelay);
  if (AOverrides.RelayHost) {
    edtRelay->setEnabled(false);
    form->addRow(QString(), Note(QStringLiteral("환경 변수 TLMREMOTE_HOST가 정한 값입니다."), this));
  }

  chkTls = new QCheckBox(QStringLiteral("중계 서버에 TLS로 연결"), this);
  chkTls->setObjectName(QStringLiteral("chkTls"));
  chkTls->setChecked(ACurrent.RelayTls || AOverrides.RelayTls);
  form->addRow(QString(), chkTls);
  if (AOverrides.RelayTls) {
    chkTls->setEnabled(false);
    form->addRow(QString(), Note(QStringLiteral("환경 변수 TLMREMOTE_TLS=1이 켜 두었습니다."), this));
  }

  auto* caRow = new QHBoxLayout;
  edtCa = new QLineEdit(Q(AOverrides.RelayCa.value_or(ACurrent.RelayCa)), this);
  edtCa->setObjectName(QStringLiteral("edtCa"));
  edtCa->setPlaceholderText(QStringLiteral("시스템 인증서"));
  btnBrowseCa = new QPushButton(QStringLiteral("찾아보기..."), this);
  btnBrowseCa->setObjectName(QStringLiteral("btnBrowseCa"));
  caRow->addWidget(edtCa, 1);
  caRow->addWidget(btnBrowseCa);
  form->addRow(QStringLiteral("신뢰할 인증서 (PEM)"), caRow);
  if (AOverrides.RelayCa) {
    edtCa->setEnabled(false);
    btnBrowseCa->setEnabled(false);
    form->addRow(QString(), Note(QStringLiteral("환경 변수 TLMREMOTE_TLS_CA가 정한 파일입니다."), this));
  }
  const auto followTls = [this] {
    const bool on = chkTls->isChecked() && !FOverrides.RelayCa;
    edtCa->setEnabled(on);
    btnBrowseCa->setEnabled(on);
  };
  followTls();
  connect(chkTls, &QCheckBox::toggled, this, followTls);
  connect(btnBrowseCa, &QPushButton::clicked, this, [this] {
    const QString file = QFileDialog::getOpenFileName(this, QStringLiteral("인증서 파일"), edtCa->text(),
                                                      QStringLiteral("PEM (*.pem *.crt);;모든 파일 (*)"));
    if (!file.isEmpty()) edtCa->setText(file);
  });

  chkAutostart = new QCheckBox(QStringLiteral("시작할 때 자동 실행"), this);
  chkAutostart->setObjectName(QStringLiteral("chkAutostart"));
  chkAutostart->setChecked(AAutostart);
  form->addRow(QString(), chkAutostart);
  form->addRow(QString(), Note(QStringLiteral("로그인하면 TALMIR Remote가 시작되어 이 컴퓨터에 접속할 수 있습니다. "
                                              "중계 서버와 TLS는 다시 시작한 뒤부터 이 컴퓨터의 접속에 쓰입니다."),
                               this));

  lblError = new QLabel(this);
  lblError->setObjectName(QStringLiteral("lblError"));
  lblError->setWordWrap(true);
  {
    QPalette pal = lblError->palette();
    pal.setColor(QPalette::WindowText, QColor(180, 30, 30));
    lblError->setPalette(pal);
  }
  lblError->hide();
  root->addWidget(lblError);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("확인"));
  buttons->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("취소"));
  root->addWidget(buttons);
  connect(buttons, &QDialogButtonBox::accepted, this, [this] { TryAccept(); });
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  setMinimumWidth(460);
}

void TfrmSettings::TryAccept() {
  TClientSettings settings;
  settings.MyName = edtName->text().toStdString();
  settings.RelayHost = FOverrides.RelayHost ? std::string() : edtRelay->text().toStdString();
  settings.RelayTls = chkTls->isChecked();
  settings.RelayCa = FOverrides.RelayCa ? std::string() : edtCa->text().toStdString();
  std::string error;
  if (!CheckClientSettings(settings, error)) {
    lblError->setText(Q(error));
    lblError->show();
    return;
  }
  // What the environment sets is not the user's to store: those stored values stay as they were.
  if (FOverrides.RelayHost) settings.RelayHost = FSettings.RelayHost;
  if (FOverrides.RelayTls) settings.RelayTls = FSettings.RelayTls;
  if (FOverrides.RelayCa) settings.RelayCa = FSettings.RelayCa;
  FSettings = settings;
  accept();
}

bool TfrmSettings::Autostart() const { return chkAutostart->isChecked(); }

QString TfrmSettings::ErrorText() const { return lblError->isHidden() ? QString() : lblError->text(); }

}  // namespace tlm
