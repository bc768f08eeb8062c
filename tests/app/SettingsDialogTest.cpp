// The settings dialog: what it shows, what "확인" refuses and why, and the fields the
// environment sets for this run.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLineEdit>

#include "app/SettingsDialog.h"

namespace tlm {
namespace {

TEST(SettingsDialogTest, RefusesWithTheReasonAndHandsBackTheCheckedSettings) {
  TfrmSettings dialog({"SUPPORT-PC", "", false, ""}, false, {});
  EXPECT_EQ(dialog.NameEdit()->text(), QStringLiteral("SUPPORT-PC"));
  EXPECT_FALSE(dialog.CaEdit()->isEnabled());  // a certificate only matters with TLS
  dialog.TlsBox()->setChecked(true);
  EXPECT_TRUE(dialog.CaEdit()->isEnabled());

  dialog.NameEdit()->setText(QStringLiteral("   "));
  dialog.TryAccept();
  EXPECT_NE(dialog.result(), QDialog::Accepted);
  EXPECT_TRUE(dialog.ErrorText().startsWith(QStringLiteral("상대방에게 보일 이름"))) << dialog.ErrorText().toStdString();

  dialog.NameEdit()->setText(QStringLiteral(" 지원팀 "));
  dialog.RelayEdit()->setText(QStringLiteral("relay.example.com:59000"));
  dialog.TryAccept();
  EXPECT_NE(dialog.result(), QDialog::Accepted);
  EXPECT_TRUE(dialog.ErrorText().startsWith(QStringLiteral("중계 서버 주소는")));

  dialog.RelayEdit()->setText(QStringLiteral("relay.example.com"));
  dialog.AutostartBox()->setChecked(true);
  dialog.TryAccept();
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(dialog.Settings(), (TClientSettings{"지원팀", "relay.example.com", true, ""}));
  EXPECT_TRUE(dialog.Autostart());
}

TEST(SettingsDialogTest, WhatTheEnvironmentSetsIsShownButNotStored) {
  TSettingsOverrides env;
  env.RelayHost = "env-relay:1";  // not even a valid value: it is not the dialog's to judge
  env.RelayTls = true;
  env.RelayCa = "/env/ca.pem";
  TfrmSettings dialog({"PC", "stored-relay", false, "/stored/missing.pem"}, true, env);
  EXPECT_EQ(dialog.RelayEdit()->text(), QStringLiteral("env-relay:1"));
  EXPECT_FALSE(dialog.RelayEdit()->isEnabled());
  EXPECT_TRUE(dialog.TlsBox()->isChecked());
  EXPECT_FALSE(dialog.TlsBox()->isEnabled());
  EXPECT_EQ(dialog.CaEdit()->text(), QStringLiteral("/env/ca.pem"));
  EXPECT_FALSE(dialog.CaEdit()->isEnabled());
  EXPECT_TRUE(dialog.AutostartBox()->isChecked());
  dialog.NameEdit()->setText(QStringLiteral("New name"));
  dialog.TryAccept();
  ASSERT_EQ(dialog.result(), QDialog::Accepted) << dialog.ErrorText().toStdString();
  EXPECT_EQ(dialog.Settings(), (TClientSettings{"New name", "stored-relay", false, "/stored/missing.pem"}));
}

}  // namespace
}  // namespace tlm
