#include "tables/dlg_dkim.h"

#include <QApplication>
#include <QBoxLayout>
#include <QClipboard>
#include <QComboBox>
#include <QGridLayout>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <thread>

#include "common/app_paths.h"
#include "common/dkim_key_file.h"
#include "common/profile_store.h"

namespace {

QString Text(const std::string& text) {
    return QString::fromStdString(text);
}

}  // namespace

CDlgDkim::CDlgDkim(const QString& domain, QWidget* parent)
    : QDialog(parent),
      domain_(domain.toStdString()),
      selector_(new QLabel(this)),
      keyType_(new QComboBox(this)),
      generate_(new QPushButton(QStringLiteral("&Generate new key"), this)),
      check_(new QPushButton(QStringLiteral("C&heck DNS"), this)),
      status_(new QLabel(this)) {
    setWindowTitle(QStringLiteral("DKIM for ") + domain);
    selector_->setObjectName(QStringLiteral("selector"));
    keyType_->setObjectName(QStringLiteral("keyType"));
    keyType_->addItems({QStringLiteral("Ed25519"), QStringLiteral("RSA 2048")});
    generate_->setObjectName(QStringLiteral("generateButton"));
    check_->setObjectName(QStringLiteral("checkButton"));
    status_->setObjectName(QStringLiteral("status"));
    status_->setWordWrap(true);

    auto* grid = new QGridLayout;
    grid->addWidget(new QLabel(QStringLiteral("Selector"), this), 0, 0);
    grid->addWidget(selector_, 0, 1);
    dkimName_ = AddRecordRow(grid, 1, QStringLiteral("DKIM name"), "dkimName");
    dkimRecord_ = AddRecordRow(grid, 2, QStringLiteral("DKIM record"), "dkimRecord");
    spfRecord_ = AddRecordRow(grid, 3, QStringLiteral("SPF record"), "spfRecord");
    dmarcName_ = AddRecordRow(grid, 4, QStringLiteral("DMARC name"), "dmarcName");
    dmarcRecord_ = AddRecordRow(grid, 5, QStringLiteral("DMARC record"), "dmarcRecord");
    auto* note = new QLabel(
        QStringLiteral("Publish these TXT records in the domain's DNS. DMARC starts with p=none "
                       "(reports only): tighten it to quarantine or reject once the reports "
                       "show that all your mail passes."),
        this);
    note->setWordWrap(true);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(keyType_);
    buttons->addWidget(generate_);
    buttons->addWidget(check_);
    buttons->addStretch();
    auto* close = new QPushButton(QStringLiteral("&Close"), this);
    close->setObjectName(QStringLiteral("closeButton"));
    buttons->addWidget(close);

    auto* main = new QVBoxLayout(this);
    main->addLayout(grid);
    main->addWidget(note);
    main->addWidget(status_);
    main->addLayout(buttons);
    setMinimumWidth(640);

    connect(generate_, &QPushButton::clicked, this, &CDlgDkim::GenerateKey);
    connect(check_, &QPushButton::clicked, this, &CDlgDkim::CheckPublished);
    connect(close, &QPushButton::clicked, this, &QDialog::reject);
    ShowRecords();
}

QLineEdit* CDlgDkim::AddRecordRow(QGridLayout* grid, int row, const QString& label,
                                  const char* name) {
    auto* box = new QLineEdit(this);
    box->setObjectName(QString::fromLatin1(name));
    box->setReadOnly(true);
    auto* copy = new QPushButton(QStringLiteral("Copy"), this);
    copy->setObjectName(QString::fromLatin1(name) + QStringLiteral("Copy"));
    connect(copy, &QPushButton::clicked, this,
            [box] { QGuiApplication::clipboard()->setText(box->text()); });
    grid->addWidget(new QLabel(label, this), row, 0);
    grid->addWidget(box, row, 1);
    grid->addWidget(copy, row, 2);
    return box;
}

void CDlgDkim::ShowRecords() {
    std::string selector = DkimSelectorOf(domain_);
    std::string error = "the selector or the domain is not a plain name";
    std::optional<std::string> record =
        !IsPlainDkimName(selector) || !IsPlainDkimName(domain_)
            ? std::nullopt
            : DkimRecordFor(DkimKeyFile(ApplicationDirectory(), domain_, selector), &error);
    selector_->setText(selector.empty() ? QStringLiteral("(none: mail from this domain is not "
                                                         "signed)")
                                        : Text(selector));
    dkimName_->setText(selector.empty() ? QString() : Text(selector + "._domainkey." + domain_));
    dkimRecord_->setText(record ? Text(*record) : QString());
    spfRecord_->setText(Text(SpfSuggestion(MachineAddresses())));
    dmarcName_->setText(Text("_dmarc." + domain_));
    dmarcRecord_->setText(Text(DmarcSuggestion(domain_)));
    for (QLineEdit* box : {dkimName_, dkimRecord_, spfRecord_, dmarcName_, dmarcRecord_}) {
        box->setCursorPosition(0);  // records are read from their start
    }
    check_->setEnabled(record.has_value());
    if (!selector.empty() && !record) {
        status_->setText(Text("The key cannot be used: " + error));
    }
}

void CDlgDkim::GenerateKey() {
    std::string error;
    DkimKeyType type =
        keyType_->currentIndex() == 0 ? DkimKeyType::kEd25519 : DkimKeyType::kRsa2048;
    std::optional<std::string> selector = GenerateDkimKey(domain_, type, &error);
    ShowRecords();
    status_->setText(selector ? Text("New key made with selector " + *selector +
                                     ". Publish its record; mail is signed with it from now on.")
                              : Text("No key was made: " + error));
}

void CDlgDkim::CheckPublished() {
    check_->setEnabled(false);
    status_->setText(QStringLiteral("Looking the record up..."));
    std::string name = dkimName_->text().toStdString();
    std::string record = dkimRecord_->text().toStdString();
    std::string server = ProfileGetString("System", "DnsServer", "", ".cfg");
    QPointer<CDlgDkim> self(this);
    // The lookup may take seconds: off the UI thread, the answer posted back to it.
    std::thread([self, name, record, server] {
        PublishedCheck check = CheckPublishedRecord(name, record, server);
        QMetaObject::invokeMethod(qApp, [self, check] {
            if (self) {
                self->ShowCheck(check);
            }
        });
    }).detach();
}

void CDlgDkim::ShowCheck(const PublishedCheck& check) {
    status_->setText(Text(check.text));
    check_->setEnabled(true);
}
