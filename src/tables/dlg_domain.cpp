#include "tables/dlg_domain.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "common/profile_store.h"
#include "tables/dlg_dkim.h"
#include "tables/record_rules.h"

namespace {

QString Columns() {
    return QString(15, u' ') + QStringLiteral("Domain,150;Server address,160;Port,90");
}

}  // namespace

CDlgDomain::CDlgDomain(QWidget* parent)
    : CTableDialog(
          DomainLayout(),
          {QStringLiteral("Domains"),
           QStringLiteral("You can specify server address for your local domains."), Columns()},
          parent),
      name_(MakeLineEdit("domainName", this)),
      address_(MakeLineEdit("serverAddress", this)),
      port_(MakeLineEdit("port", this)),
      verify_(MakeCheckBox(QStringLiteral("Verify recipients with the server"), "verifyRecipients",
                           this)) {
    auto* form = new QGridLayout;
    AddLabelledRow(form, 0, QStringLiteral("Local domain"), name_);
    AddLabelledRow(form, 1, QStringLiteral("Server address"), address_);
    AddLabelledRow(form, 2, QStringLiteral("Port"), port_);
    form->addWidget(new QLabel(QStringLiteral("(default:25)"), this), 2, 2);
    form->addWidget(verify_, 3, 1, 1, 2);
    // Only a domain with a server has one to ask.
    connect(address_, &QLineEdit::textChanged, verify_, [this](const QString& text) {
        verify_->setEnabled(!text.trimmed().isEmpty());
    });  // DKIM is set up for a domain that is stored, the one the form names.
    QPushButton* dkim = AddButton(QStringLiteral("D&KIM..."), "dkimButton");
    auto listed = [this] {
        return !name_->text().isEmpty() &&
               ProfileHasKey("DomainList", name_->text().toStdString(), ".cfg");
    };
    connect(dkim, &QPushButton::clicked, this, [this, listed] {
        if (listed()) {
            CDlgDkim(name_->text(), this).exec();
        }
    });
    connect(name_, &QLineEdit::textChanged, dkim, [dkim, listed] { dkim->setEnabled(listed()); });
    Open(form, {name_, address_, port_, verify_});
    dkim->setEnabled(listed());
    verify_->setEnabled(!address_->text().trimmed().isEmpty());
}

CDlgDomain::~CDlgDomain() = default;

bool CDlgDomain::ReadForm() {
    const std::optional<quint32> port = ReadNumberBox(port_);
    if (!port) {
        return false;
    }
    form_ = {name_->text(), address_->text(), *port, verify_->isChecked()};
    return true;
}

void CDlgDomain::ShowForm() {
    name_->setText(form_.name);
    address_->setText(form_.serverAddress);
    port_->setText(UnsignedText(form_.port));
    verify_->setChecked(form_.verifyRecipients);
}

void CDlgDomain::LoadRecord(const QString& name) {
    form_ = LoadDomain(name);
    ShowForm();
}

std::optional<QStringList> CDlgDomain::PrepareSave(ProfileBatch& batch) {
    if (!IsAcceptableDomainName(form_.name)) {
        return RefuseAt(name_, FormHint::kDomainName);
    }
    if (!IsFaithfulValue(form_.serverAddress)) {
        return RefuseAt(address_, FormHint::kValue);
    }
    if (!IsUsablePort(form_.port)) {
        return RefuseAt(port_, FormHint::kPort);
    }
    AddDomainSave(batch, form_);
    return DomainSavedRow(form_);
}
