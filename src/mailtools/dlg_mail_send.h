// The diagnose dialog: sends one stored mail to one recipient, directly or through a relay
// account, and shows the engine's progress lines of its latest send only. Modeless: each opening
// makes a new dialog, several may be open at once, and each deletes itself when closed; lines
// that arrive after that are dropped. UI thread only.
#pragma once

#include <QByteArray>
#include <QDialog>
#include <QList>
#include <QString>
#include <functional>
#include <string>
#include <vector>

class CXHyperLink;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;

// What a compose run hands back (see CDlgMailCompose).
struct ComposeOutcome {
    int mailId = 0;
    QString sender;
    QString recipients;
};

struct DiagnosePrompts {
    // A mail file to send, or "" when the user cancelled.
    std::function<QString(QWidget* parent)> chooseMailFile;
    // Runs the compose dialog for the mail id, sender and recipients given.
    std::function<ComposeOutcome(QWidget* parent, int mailId, const QString& sender,
                                 const QString& recipients)>
        compose;
    // An OK box with the warning icon.
    std::function<void(QWidget* parent, const QString& text)> warn;
};

class CDlgMailSend final : public QDialog {
    Q_OBJECT

  public:
    explicit CDlgMailSend(const QString& supportUrl, QWidget* parent = nullptr);
    ~CDlgMailSend() override;

    void SetPrompts(DiagnosePrompts prompts);

    // Most lines the transcript keeps; older ones give way.
    static constexpr int kTranscriptLineLimit = 20000;

    // What "...", "&New" and "&Send" do when pressed.
    void ChooseMailFile();
    // Shows the mail file with the sender and recipient its companion names, as a choice with
    // "..." does.
    void OpenMailFile(const QString& path);
    void ComposeNewMail();
    void Send();

    int MailId() const { return mailId_; }

  private:
    void BuildWidgets(const QString& supportUrl);
    void LoadSampleMail();
    void FillLists();
    void ReadMailFile(const QString& path);
    void ShowFrom();
    void AppendLines(const QList<QByteArray>& lines);

    DiagnosePrompts prompts_;
    int mailId_ = 0;
    QString from_;
    QString to_;
    QString mailPath_;
    std::vector<std::string> relayNames_;
    int sendCount_ = 0;
    QComboBox* fromBox_ = nullptr;
    QLineEdit* toEdit_ = nullptr;
    QComboBox* sendViaBox_ = nullptr;
    QLineEdit* pathEdit_ = nullptr;
    QLabel* arrivalResults_ = nullptr;  // the checks' results of a received mail, when it has any
    QPlainTextEdit* transcript_ = nullptr;
    CXHyperLink* help_ = nullptr;
};
