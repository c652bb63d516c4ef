// The Accounts dialog: lists the accounts of the main configuration file, saves and deletes them
// one form at a time, and imports or exports account files. Holds no copy of the accounts: every
// value comes from the file when it is needed and every change is written at once. Refused input
// moves the focus to the box at fault and says beside the form what is expected; a file that
// cannot be read is told when the dialog opens; writes that fail are told with their reason and
// leave the list as it was. A row reached with the keyboard loads like a click, Delete on the list
// deletes after asking, and Enter saves a changed form instead of dropping it. UI thread only.
#pragma once

#include <QDialog>
#include <QString>
#include <functional>

struct AccountImportCounts;
class CSortListCtrl;
class CXHyperLink;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

// How the dialog asks and tells; tests replace them. Members left empty use the defaults
// (QMessageBox and QFileDialog).
struct AccountDialogPrompts {
    // A Yes/No question with the question icon; true for Yes.
    std::function<bool(QWidget* parent, const QString& text)> ask;
    // The delete question: the same, with No as the default button.
    std::function<bool(QWidget* parent, const QString& text)> confirmDelete;
    // An OK box with the information icon.
    std::function<void(QWidget* parent, const QString& text)> inform;
    // An OK box with the warning icon.
    std::function<void(QWidget* parent, const QString& text)> warn;
    // The file to import from or export to; empty when the user cancelled.
    std::function<QString(QWidget* parent)> chooseImportFile;
    std::function<QString(QWidget* parent)> chooseExportFile;
};

class CDlgAccount final : public QDialog {
    Q_OBJECT

  public:
    // supportUrl: the target of the help link (the product's support web page).
    explicit CDlgAccount(const QString& supportUrl, QWidget* parent = nullptr);
    ~CDlgAccount() override;

    void SetPrompts(AccountDialogPrompts prompts);

    // Column description of the list: the first heading keeps its fifteen leading spaces.
    static QString ColumnDescription();

    // The hint beside the form; empty while nothing was refused.
    QString HintText() const;
    // The result box's text of an import.
    static QString ImportSummary(const QString& fileName, const AccountImportCounts& counts);

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;

  public slots:
    // Ends the dialog, writing nothing; ignored while an import runs.
    void reject() override;

  private:
    struct Form {
        QString name;
        QString password;
        QString description;
        bool enabled = true;

        bool operator==(const Form&) const = default;
    };
    Form ReadForm() const;
    void ShowForm(const Form& form);
    bool FormChanged() const;
    void Refuse(QWidget* box, const QString& hint);

    void BuildWidgets(const QString& supportUrl);
    void FillList();
    int FindRow(const QString& name) const;
    void SelectOnly(int row);

    void OnListClicked(const QPoint& position);
    void LoadAccount(const QString& name);
    void OnSave();
    void OnDelete();
    void OnImport();
    void OnExport();

    AccountDialogPrompts prompts_;
    QLineEdit* name_ = nullptr;
    QLineEdit* password_ = nullptr;
    QLineEdit* description_ = nullptr;
    QCheckBox* enabled_ = nullptr;
    CSortListCtrl* list_ = nullptr;
    CXHyperLink* help_ = nullptr;
    QLabel* hint_ = nullptr;
    Form shown_;  // what the form held when last shown from the file or saved
    bool toldReadProblem_ = false;
    bool busy_ = false;  // an import runs and pumps events: no second command meanwhile
};
