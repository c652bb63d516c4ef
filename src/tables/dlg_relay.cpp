#include "tables/dlg_relay.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QLineEdit>
#include <utility>

#include "tables/record_rules.h"

namespace {

QString Columns() {
    return QString(15, u' ') + QStringLiteral("Mailbox,140;Smtp server,130;Port,80;Enabled,80");
}

int CheckedFlag(const QCheckBox* box) {
    return box->isChecked() ? 1 : 0;
}

}  // namespace

CDlgRelay::CDlgRelay(QWidget* parent)
    : CTableDialog(RelayLayout(),
                   {QStringLiteral("Relay accounts"),
                    QStringLiteral("When direct sending failed, relay sending will be auto tried."),
                    Columns()},
                   parent),
      mailbox_(MakeLineEdit("mailbox", this)),
      enabled_(MakeCheckBox(QStringLiteral("Enabled"), "enabled", this)),
      server_(MakeLineEdit("smtpServer", this)),
      port_(MakeLineEdit("port", this)),
      ssl_(MakeCheckBox(QStringLiteral("SSL"), "ssl", this)),
      login_(MakeLineEdit("loginAccount", this)),
      password_(MakeLineEdit("password", this)) {
    auto* form = new QGridLayout;
    AddLabelledRow(form, 0, QStringLiteral("Mailbox"), mailbox_);
    form->addWidget(enabled_, 0, 2, 1, 2);
    AddLabelledRow(form, 1, QStringLiteral("SMTP server"), server_);
    AddLabelledRow(form, 1, QStringLiteral("Port"), port_, 2);
    form->addWidget(ssl_, 1, 4);
    AddLabelledRow(form, 2, QStringLiteral("Account"), login_);
    AddLabelledRow(form, 2, QStringLiteral("Password"), password_, 2);
    form->setColumnStretch(1, 3);  // mailboxes and server names are the long texts
    form->setColumnStretch(3, 2);
    connect(ssl_, &QCheckBox::clicked, this, &CDlgRelay::OnSslClicked);
    Open(form, {mailbox_, enabled_, server_, port_, ssl_, login_, password_});
}

CDlgRelay::~CDlgRelay() = default;

bool CDlgRelay::ReadForm() {
    const std::optional<quint32> port = ReadNumberBox(port_);
    if (!port) {
        return false;
    }
    form_ = {mailbox_->text(), server_->text(),  *port, CheckedFlag(ssl_), CheckedFlag(enabled_),
             login_->text(),   password_->text()};
    return true;
}

void CDlgRelay::ShowForm() {
    mailbox_->setText(form_.mailbox);
    enabled_->setChecked(FlagShownTicked(form_.enabled));
    server_->setText(form_.smtpServer);
    port_->setText(UnsignedText(form_.port));
    ssl_->setChecked(FlagShownTicked(form_.ssl));
    login_->setText(form_.loginAccount);
    password_->setText(form_.password);
}

void CDlgRelay::LoadRecord(const QString& name) {
    form_ = LoadRelay(name);
    ShowForm();
}

std::optional<QStringList> CDlgRelay::PrepareSave(ProfileBatch& batch) {
    if (!IsAcceptableRelayMailbox(form_.mailbox)) {
        return RefuseAt(mailbox_, FormHint::kMailbox);
    }
    if (form_.smtpServer.isEmpty()) {
        return RefuseAt(server_, FormHint::kSmtpServer);
    }
    if (!IsUsablePort(form_.port)) {
        return RefuseAt(port_, FormHint::kPort);
    }
    const std::pair<const QString&, QLineEdit*> values[] = {
        {form_.smtpServer, server_}, {form_.loginAccount, login_}, {form_.password, password_}};
    for (const auto& [value, box] : values) {
        if (!IsFaithfulValue(value)) {
            return RefuseAt(box, FormHint::kValue);
        }
    }
    AddRelaySave(batch, form_);
    return RelaySavedRow(form_);
}

void CDlgRelay::OnSslClicked() {
    if (!ReadForm()) {
        // The click changes nothing when the port cannot be read, the tick included.
        ssl_->setChecked(!ssl_->isChecked());
        return;
    }
    form_.port = UsualSmtpPort(form_.ssl);
    ShowForm();
}
