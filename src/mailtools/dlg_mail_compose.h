// The compose dialog: writes a test mail (sender, recipients, subject, body, attachments and,
// for a new mail, its character set) and has the engine build it as `<id>.eml` in the mail
// directory. An existing mail is loaded from its companion file and `.txt` body and saved under
// its own id. Refused fields only move the focus; a mail the engine did not store is reported
// with the engine's reason and the dialog stays open. Modal; UI thread only.
#pragma once

#include <QDialog>
#include <QString>
#include <functional>

class CXHyperLink;
class QComboBox;
class QLineEdit;
class QPlainTextEdit;

// How the dialog asks and tells; tests replace them. Empty members keep the defaults.
struct ComposePrompts {
    // An OK box with the warning icon.
    std::function<void(QWidget* parent, const QString& text)> warn;
    // A file to attach, or "" when the user cancelled.
    std::function<QString(QWidget* parent)> chooseAttachment;
};

class CDlgMailCompose final : public QDialog {
    Q_OBJECT

  public:
    // mailId 0 composes a new mail; sender and recipients show unless the stored mail has its own.
    CDlgMailCompose(int mailId, const QString& sender, const QString& recipients,
                    const QString& supportUrl, QWidget* parent = nullptr);
    ~CDlgMailCompose() override;

    void SetPrompts(ComposePrompts prompts);

    // Read back after the dialog closed. The id is set once the engine created the mail.
    int MailId() const { return mailId_; }
    QString Sender() const { return sender_; }
    QString Recipients() const { return recipients_; }

  public slots:
    // Validates, has the engine build the mail and closes when it was stored.
    void accept() override;

  private:
    void BuildWidgets(const QString& supportUrl);
    void FillCharsets();
    void FillSenders();
    void LoadStoredMail();
    void AddAttachment(const QString& path);
    void OnAttach();

    ComposePrompts prompts_;
    int mailId_;
    QString sender_;
    QString recipients_;
    QComboBox* senderBox_ = nullptr;
    QLineEdit* recipientsEdit_ = nullptr;
    QLineEdit* subjectEdit_ = nullptr;
    QPlainTextEdit* bodyEdit_ = nullptr;
    QComboBox* attachmentsBox_ = nullptr;
    QComboBox* charsetBox_ = nullptr;
    CXHyperLink* help_ = nullptr;
};
