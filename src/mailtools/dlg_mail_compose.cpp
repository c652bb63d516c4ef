#include "mailtools/dlg_mail_compose.h"

#include <QComboBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QVBoxLayout>

#include "common/mail_address.h"
#include "controls/xhyperlink.h"
#include "mailtools/mail_builder.h"
#include "mailtools/mail_files.h"
#include "mailtools/mail_widgets.h"
#include "tables/account_table.h"

using mailwidgets::FromUtf8;
using mailwidgets::MakeButton;
using mailwidgets::Utf8;
using mailwidgets::Warn;

namespace {

QString ChooseAttachment(QWidget* parent) {
    QFileDialog dialog(parent);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilter(QStringLiteral("All files (*)"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return {};
    }
    return dialog.selectedFiles().constFirst();
}

// The engine takes bodies with CR LF line breaks, as mail has them; the edit box holds LF.
std::string BodyForEngine(const QString& text) {
    QString body = text;
    body.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    body.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    body.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    return Utf8(body);
}

QString BodyForEdit(std::string_view stored) {
    QString body = FromUtf8(stored);
    body.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    body.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return body;
}

QLineEdit* Edit(const char* objectName, QWidget* parent) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QString::fromLatin1(objectName));
    return edit;
}

QComboBox* EditableBox(const char* objectName, QWidget* parent) {
    auto* box = new QComboBox(parent);
    box->setObjectName(QString::fromLatin1(objectName));
    box->setEditable(true);
    // Items come in sorted by InsertSorted; typed text is never added to the list.
    box->setInsertPolicy(QComboBox::NoInsert);
    return box;
}

}  // namespace

CDlgMailCompose::CDlgMailCompose(int mailId, const QString& sender, const QString& recipients,
                                 const QString& supportUrl, QWidget* parent)
    : QDialog(parent), mailId_(mailId), sender_(sender), recipients_(recipients) {
    setObjectName(QStringLiteral("CDlgMailCompose"));
    setWindowTitle(QStringLiteral("Compose mail"));
    prompts_ = {Warn, ChooseAttachment};
    BuildWidgets(supportUrl);
    senderBox_->setEditText(sender_);
    recipientsEdit_->setText(recipients_);
    FillCharsets();
    FillSenders();
    LoadStoredMail();
}

CDlgMailCompose::~CDlgMailCompose() = default;

void CDlgMailCompose::SetPrompts(ComposePrompts prompts) {
    if (prompts.warn) {
        prompts_.warn = std::move(prompts.warn);
    }
    if (prompts.chooseAttachment) {
        prompts_.chooseAttachment = std::move(prompts.chooseAttachment);
    }
}

void CDlgMailCompose::BuildWidgets(const QString& supportUrl) {
    senderBox_ = EditableBox("SenderBox", this);
    recipientsEdit_ = Edit("RecipientsEdit", this);
    subjectEdit_ = Edit("SubjectEdit", this);
    bodyEdit_ = new QPlainTextEdit(this);
    bodyEdit_->setObjectName(QStringLiteral("BodyEdit"));
    bodyEdit_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    bodyEdit_->setMinimumSize(460, 200);
    attachmentsBox_ = EditableBox("AttachmentsBox", this);
    charsetBox_ = new QComboBox(this);
    charsetBox_->setObjectName(QStringLiteral("CharsetBox"));
    auto* attach = MakeButton(QStringLiteral("&Attach..."), "AttachButton", this);

    auto* form = new QGridLayout;
    form->addWidget(new QLabel(QStringLiteral("Sender"), this), 0, 0);
    form->addWidget(senderBox_, 0, 1, 1, 2);
    form->addWidget(new QLabel(QStringLiteral("Recipients"), this), 1, 0);
    form->addWidget(recipientsEdit_, 1, 1, 1, 2);
    form->addWidget(new QLabel(QStringLiteral("Subject"), this), 2, 0);
    form->addWidget(subjectEdit_, 2, 1, 1, 2);
    form->addWidget(bodyEdit_, 3, 0, 1, 3);
    form->addWidget(new QLabel(QStringLiteral("Attachments"), this), 4, 0);
    form->addWidget(attachmentsBox_, 4, 1);
    form->addWidget(attach, 4, 2);
    form->addWidget(charsetBox_, 5, 1);
    form->setColumnStretch(1, 1);
    form->setRowStretch(3, 1);

    help_ = new CXHyperLink(QStringLiteral("Click for help"), this);
    help_->setObjectName(QStringLiteral("HelpLink"));
    help_->SetLinkUrl(supportUrl);
    auto* ok = MakeButton(QStringLiteral("&OK"), "OkButton", this);
    auto* cancel = MakeButton(QStringLiteral("&Cancel"), "CancelButton", this);
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(help_);
    bottom->addStretch(1);
    bottom->addWidget(ok);
    bottom->addWidget(cancel);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form, 1);
    layout->addLayout(bottom);

    // Enter presses the button it is on; in a field it moves on, so that a half-typed mail is
    // never built by a slip (the body takes Enter as a line break).
    QWidget* const fields[] = {senderBox_, recipientsEdit_, subjectEdit_, attachmentsBox_,
                               charsetBox_};
    for (QWidget* field : fields) {
        mailwidgets::EnterMovesToNextField(field);
    }
    setTabOrder(senderBox_, recipientsEdit_);
    setTabOrder(recipientsEdit_, subjectEdit_);
    setTabOrder(subjectEdit_, bodyEdit_);
    setTabOrder(bodyEdit_, attachmentsBox_);
    setTabOrder(attachmentsBox_, attach);
    setTabOrder(attach, charsetBox_);
    setTabOrder(charsetBox_, ok);
    setTabOrder(ok, cancel);

    connect(attach, &QPushButton::clicked, this, &CDlgMailCompose::OnAttach);
    connect(ok, &QPushButton::clicked, this, &CDlgMailCompose::accept);
    connect(cancel, &QPushButton::clicked, this, &CDlgMailCompose::reject);
}

void CDlgMailCompose::FillCharsets() {
    for (std::string_view entry : kCharsetEntries) {
        charsetBox_->addItem(FromUtf8(entry));
    }
    charsetBox_->setCurrentIndex(0);
    // Only a new mail is created in a character set: an existing one keeps its own.
    charsetBox_->setEnabled(mailId_ == 0);
}

void CDlgMailCompose::FillSenders() {
    const AccountTable accounts;
    for (const std::string& name : accounts.Names()) {
        std::string description = accounts.Description(name);
        // An empty description names nobody: show the address's local part instead.
        if (description.empty()) {
            description = MailDisplayName(name);
        }
        mailwidgets::InsertSorted(
            senderBox_, QStringLiteral("\"%1\" <%2>").arg(FromUtf8(description), FromUtf8(name)));
    }
    // Inserting items selects the first; the text handed over stays what the box shows.
    senderBox_->setEditText(sender_);
}

void CDlgMailCompose::LoadStoredMail() {
    const auto stored = ::LoadStoredMail(mailId_, Utf8(sender_), Utf8(recipients_));
    if (!stored) {
        return;
    }
    sender_ = FromUtf8(stored->sender);
    recipients_ = FromUtf8(stored->recipients);
    for (const std::string& path : stored->attachments) {
        AddAttachment(FromUtf8(path));
    }
    senderBox_->setEditText(sender_);
    recipientsEdit_->setText(recipients_);
    subjectEdit_->setText(FromUtf8(stored->subject));
    bodyEdit_->setPlainText(BodyForEdit(stored->body));
}

// Attaching a file already listed selects it; its path must match exactly, as file names on
// this system differ by letter case and a shorter path may be another file.
void CDlgMailCompose::AddAttachment(const QString& path) {
    int index = mailwidgets::FindItem(attachmentsBox_, path, Qt::CaseSensitive);
    if (index < 0) {
        index = mailwidgets::InsertSorted(attachmentsBox_, path);
    }
    attachmentsBox_->setCurrentIndex(index);
}

void CDlgMailCompose::OnAttach() {
    const QString path = prompts_.chooseAttachment(this);
    if (!path.isEmpty()) {
        AddAttachment(path);
    }
}

void CDlgMailCompose::accept() {
    sender_ = senderBox_->currentText();
    recipients_ = recipientsEdit_->text();
    ComposedMail mail{Utf8(sender_),
                      Utf8(recipients_),
                      Utf8(subjectEdit_->text()),
                      BodyForEngine(bodyEdit_->toPlainText()),
                      {}};
    for (int index = 0; index < attachmentsBox_->count(); ++index) {
        mail.attachments.push_back(Utf8(attachmentsBox_->itemText(index)));
    }
    switch (CheckComposedMail(mail)) {
        case ComposeFault::kSender:
            senderBox_->setFocus();
            return;
        case ComposeFault::kRecipients:
            recipientsEdit_->setFocus();
            return;
        case ComposeFault::kSubject:
            subjectEdit_->setFocus();
            return;
        case ComposeFault::kNone:
            break;
    }
    const MailBuildResult result =
        BuildMail(mailId_, CharsetName(Utf8(charsetBox_->currentText())), mail);
    mailId_ = result.mailId;
    if (!result.stored) {
        // Once created the mail keeps its id, so a second OK rebuilds it instead of making another.
        charsetBox_->setEnabled(mailId_ == 0);
        prompts_.warn(this, FromUtf8(result.reason));
        return;
    }
    QDialog::accept();
}
