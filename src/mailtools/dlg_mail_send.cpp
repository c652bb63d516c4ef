#include "mailtools/dlg_mail_send.h"

#include <QComboBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QVBoxLayout>

#include "common/mail_address.h"
#include "common/profile_store.h"
#include "common/utilities.h"
#include "controls/xhyperlink.h"
#include "engine/engine_binding.h"
#include "engine/engine_window.h"
#include "mailtools/arrival_results.h"
#include "mailtools/diagnose_send.h"
#include "mailtools/dlg_mail_compose.h"
#include "mailtools/mail_files.h"
#include "mailtools/mail_widgets.h"
#include "tables/table_messages.h"

using mailwidgets::FromUtf8;
using mailwidgets::MakeButton;
using mailwidgets::Utf8;
using mailwidgets::Warn;

namespace {

QString ChooseMailFile(QWidget* parent) {
    QFileDialog dialog(parent);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilter(QStringLiteral("Email files (*.eml);;All files (*)"));
    dialog.setDefaultSuffix(QStringLiteral("eml"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return {};
    }
    return dialog.selectedFiles().constFirst();
}

}  // namespace

CDlgMailSend::CDlgMailSend(const QString& supportUrl, QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("CDlgMailSend"));
    setWindowTitle(QStringLiteral("Diagnose sending"));
    setAttribute(Qt::WA_DeleteOnClose);
    // A window of its own, not a dialog held above its parent: a send can run for minutes while
    // the operator works in the main window.
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    auto compose = [supportUrl](QWidget* parent, int mailId, const QString& sender,
                                const QString& recipients) {
        CDlgMailCompose dialog(mailId, sender, recipients, supportUrl, parent);
        dialog.exec();
        return ComposeOutcome{dialog.MailId(), dialog.Sender(), dialog.Recipients()};
    };
    prompts_ = {::ChooseMailFile, compose, Warn};
    BuildWidgets(supportUrl);
    LoadSampleMail();
    FillLists();
    toEdit_->setText(to_);
    pathEdit_->setText(mailPath_);
    ShowFrom();
}

CDlgMailSend::~CDlgMailSend() = default;

void CDlgMailSend::SetPrompts(DiagnosePrompts prompts) {
    if (prompts.chooseMailFile) {
        prompts_.chooseMailFile = std::move(prompts.chooseMailFile);
    }
    if (prompts.compose) {
        prompts_.compose = std::move(prompts.compose);
    }
    if (prompts.warn) {
        prompts_.warn = std::move(prompts.warn);
    }
}

void CDlgMailSend::BuildWidgets(const QString& supportUrl) {
    fromBox_ = new QComboBox(this);
    fromBox_->setObjectName(QStringLiteral("FromBox"));
    fromBox_->setEditable(true);
    fromBox_->setInsertPolicy(QComboBox::NoInsert);
    toEdit_ = new QLineEdit(this);
    toEdit_->setObjectName(QStringLiteral("ToEdit"));
    sendViaBox_ = new QComboBox(this);
    sendViaBox_->setObjectName(QStringLiteral("SendViaBox"));
    pathEdit_ = new QLineEdit(this);
    pathEdit_->setObjectName(QStringLiteral("PathEdit"));
    auto* choose = MakeButton(QStringLiteral("..."), "ChooseButton", this);
    choose->setAutoDefault(false);
    auto* compose = MakeButton(QStringLiteral("&New"), "NewButton", this);
    compose->setAutoDefault(false);
    // The path box takes the width; the two buttons beside it keep theirs.
    choose->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    choose->setFixedWidth(choose->fontMetrics().horizontalAdvance(choose->text()) + 24);
    compose->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    transcript_ = new QPlainTextEdit(this);
    transcript_->setObjectName(QStringLiteral("TranscriptEdit"));
    transcript_->setReadOnly(true);
    transcript_->setUndoRedoEnabled(false);
    transcript_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    transcript_->setMaximumBlockCount(kTranscriptLineLimit);
    transcript_->setMinimumSize(520, 220);

    auto* form = new QGridLayout;
    form->addWidget(new QLabel(QStringLiteral("From"), this), 0, 0);
    form->addWidget(fromBox_, 0, 1, 1, 3);
    form->addWidget(new QLabel(QStringLiteral("To"), this), 1, 0);
    form->addWidget(toEdit_, 1, 1, 1, 3);
    form->addWidget(new QLabel(QStringLiteral("Send via"), this), 2, 0);
    form->addWidget(sendViaBox_, 2, 1, 1, 3);
    form->addWidget(new QLabel(QStringLiteral("Select a .eml file "), this), 3, 0);
    form->addWidget(pathEdit_, 3, 1);
    form->addWidget(choose, 3, 2);
    form->addWidget(compose, 3, 3);
    arrivalResults_ = new QLabel(this);
    arrivalResults_->setObjectName(QStringLiteral("ArrivalResults"));
    arrivalResults_->setWordWrap(true);
    arrivalResults_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    arrivalResults_->hide();
    form->addWidget(arrivalResults_, 4, 1, 1, 3);
    form->setColumnStretch(1, 1);

    help_ = new CXHyperLink(QStringLiteral("Click for help"), this);
    help_->setObjectName(QStringLiteral("HelpLink"));
    help_->SetLinkUrl(supportUrl);
    auto* send = MakeButton(QStringLiteral("&Send"), "SendButton", this);
    send->setDefault(true);
    auto* cancel = MakeButton(QStringLiteral("&Cancel"), "CancelButton", this);
    cancel->setAutoDefault(false);
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(help_);
    bottom->addStretch(1);
    bottom->addWidget(send);
    bottom->addWidget(cancel);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(transcript_, 1);
    layout->addLayout(bottom);

    setTabOrder(fromBox_, toEdit_);
    setTabOrder(toEdit_, sendViaBox_);
    setTabOrder(sendViaBox_, pathEdit_);
    setTabOrder(pathEdit_, choose);
    setTabOrder(choose, compose);
    setTabOrder(compose, transcript_);
    setTabOrder(transcript_, send);
    setTabOrder(send, cancel);

    connect(choose, &QPushButton::clicked, this, &CDlgMailSend::ChooseMailFile);
    connect(compose, &QPushButton::clicked, this, &CDlgMailSend::ComposeNewMail);
    connect(send, &QPushButton::clicked, this, &CDlgMailSend::Send);
    connect(cancel, &QPushButton::clicked, this, &CDlgMailSend::reject);
}

void CDlgMailSend::LoadSampleMail() {
    const std::string sample = AppFilePath(kSampleMailName, kHelpDirectory);
    if (FileExists(sample)) {
        ReadMailFile(FromUtf8(sample));
    }
}

// Mail id, sender and recipient of a mail file, from its companion (defaults when missing).
void CDlgMailSend::ReadMailFile(const QString& path) {
    mailPath_ = path;
    const ProfileSnapshot companion(CompanionPath(Utf8(path)));
    mailId_ = companion.GetInt(kMailInfoSection, "MailId", 0);
    from_ = FromUtf8(companion.GetString(kMailInfoSection, "MailFrom", ""));
    to_ = FromUtf8(companion.GetString(kMailInfoSection, "RcptTo0", ""));
    if (arrivalResults_ != nullptr) {
        const std::string results = ArrivalResultsText(ArrivalResultsOfFile(Utf8(path)));
        arrivalResults_->setText(FromUtf8(results));
        arrivalResults_->setVisible(!results.empty());
    }
}

void CDlgMailSend::FillLists() {
    std::vector<std::string> accounts;
    ProfileGetSection("AccountList", &accounts);
    for (const std::string& name : accounts) {
        mailwidgets::InsertSorted(fromBox_, FromUtf8(name));
    }
    sendViaBox_->addItem(QStringLiteral("Send this mail directly"));
    ProfileGetSection("RelayList", &relayNames_);
    for (const std::string& relay : relayNames_) {
        sendViaBox_->addItem(QStringLiteral("Send via: %1").arg(FromUtf8(relay)));
    }
    sendViaBox_->setCurrentIndex(0);
}

// The account whose name is From is selected; any other From shows as typed. (A mere prefix
// would select another account and send, and log in, as that one.)
void CDlgMailSend::ShowFrom() {
    const int index = mailwidgets::FindItem(fromBox_, from_, Qt::CaseInsensitive);
    if (index >= 0 && !from_.isEmpty()) {
        fromBox_->setCurrentIndex(index);
    } else {
        fromBox_->setCurrentIndex(-1);
        fromBox_->setEditText(from_);
    }
}

void CDlgMailSend::ChooseMailFile() {
    const QString path = prompts_.chooseMailFile(this);
    if (!path.isEmpty()) {
        OpenMailFile(path);
    }
}

void CDlgMailSend::OpenMailFile(const QString& path) {
    ReadMailFile(path);
    toEdit_->setText(to_);
    pathEdit_->setText(mailPath_);
    ShowFrom();
}

void CDlgMailSend::ComposeNewMail() {
    from_ = fromBox_->currentText();
    to_ = toEdit_->text();
    mailPath_ = pathEdit_->text();
    if (!mailPath_.isEmpty()) {
        mailId_ =
            ProfileSnapshot(CompanionPath(Utf8(mailPath_))).GetInt(kMailInfoSection, "MailId", 0);
    }
    const ComposeOutcome outcome = prompts_.compose(this, mailId_, from_, to_);
    mailId_ = outcome.mailId;
    if (mailId_ == 0) {
        return;
    }
    if (from_.isEmpty()) {
        from_ = FromUtf8(ExtractMailAddress(Utf8(outcome.sender)));
    }
    if (to_.isEmpty()) {
        QString recipients = outcome.recipients;
        recipients.replace(QLatin1Char(';'), QLatin1Char(','));
        std::vector<std::string> pieces;
        if (SplitText(Utf8(recipients), pieces, ",") > 0) {
            to_ = FromUtf8(ExtractMailAddress(pieces.front()));
        }
        // Only an address found replaces what the engine stored for the mail.
        if (!to_.isEmpty()) {
            ProfileBatch batch;
            batch.SetInt(kMailInfoSection, "RcptToNumber", 1);
            batch.Set(kMailInfoSection, "RcptTo0", Utf8(to_));
            batch.Commit(MailFilePath(mailId_, ".cfg"));
        }
    }
    mailPath_ = FromUtf8(MailFilePath(mailId_, ".eml"));
    arrivalResults_->hide();  // a mail composed here has not arrived through the SMTP service
    toEdit_->setText(to_);
    pathEdit_->setText(mailPath_);
    ShowFrom();
}

void CDlgMailSend::Send() {
    from_ = fromBox_->currentText();
    to_ = toEdit_->text();
    mailPath_ = pathEdit_->text();
    DiagnoseSendRequest request{
        mailId_, Utf8(from_), Utf8(to_), Utf8(mailPath_), sendViaBox_->currentIndex(), relayNames_};
    DiagnoseSendPlan plan = PlanDiagnoseSend(request);
    switch (plan.fault) {
        case DiagnoseSendFault::kRecipient:
            toEdit_->setFocus();
            return;
        case DiagnoseSendFault::kMailPath:
            pathEdit_->setFocus();
            return;
        case DiagnoseSendFault::kSendVia:
            sendViaBox_->setFocus();
            return;
        case DiagnoseSendFault::kNone:
            break;
    }
    // Sending with the settings of an earlier send (another relay, another login) would be
    // worse than not sending: a refused write stops here.
    if (!plan.writes.Commit(plan.companionPath)) {
        prompts_.warn(this, LastConfigWriteFailedText() + QStringLiteral(" Nothing was sent."));
        return;
    }
    transcript_->clear();
    // A handle of its own for each send: the engine sends a send's lines to the handle
    // registered when it started, so no dialog sees another's lines, and the lines of an
    // earlier send of this dialog that still arrive stay out of the emptied transcript. (Handles
    // live as long as the process, a few hundred bytes each.)
    const int send = ++sendCount_;
    RelvoMailWindow* window =
        CreateEngineWindowForBatches(this, [this, send](const QList<QByteArray>& lines) {
            if (send == sendCount_) {
                AppendLines(lines);
            }
        });
    engine::SetWnd(window, RELVOMAIL_PROGRESS_MESSAGE);
    engine::SendMailNow(plan.companionPath, plan.recipient);
}

void CDlgMailSend::AppendLines(const QList<QByteArray>& lines) {
    const std::string today = TodayPrefix();
    std::string text;
    for (const QByteArray& line : lines) {
        text += TranscriptLine(std::string_view(line.constData(), line.size()), today);
    }
    // Appended at the end whatever the user selected; the caret then rests on the last line.
    QTextCursor cursor(transcript_->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(FromUtf8(text));
    cursor.movePosition(QTextCursor::PreviousBlock);
    transcript_->setTextCursor(cursor);
    transcript_->ensureCursorVisible();
}
