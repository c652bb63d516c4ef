// The Accounts dialog: lists the accounts of the main configuration file, saves and deletes them
// one form at a time, and imports or exports account files. Holds no copy of the accounts: every
// value comes from the file when it is needed and every change is written at once. Writes that
// fail are told in a warning box and leave the list as it was. UI thread only.
#pragma once

#include <QDialog>
#include <QString>
#include <functional>

class CSortListCtrl;
class CXHyperLink;
class QCheckBox;
class QLineEdit;
class QPushButton;

// How the dialog asks and tells; tests replace them. Members left empty use the defaults
// (QMessageBox and QFileDialog).
struct AccountDialogPrompts {
    // A Yes/No question with the question icon; true for Yes.
    std::function<bool(QWidget* parent, const QString& text)> ask;
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

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  public slots:
    // Ends the dialog, writing nothing; ignored while an import runs.
    void reject() override;

  private:
    struct Form {
        QString name;
        QString password;
        QString description;
        bool enabled = true;
    };
    Form ReadForm() const;
    void ShowForm(const Form& form);

    void BuildWidgets(const QString& supportUrl);
    void FillList();
    int FindRow(const QString& name) const;
    void SelectOnly(int row);

    void OnListClicked(const QPoint& position);
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
    bool busy_ = false;  // an import runs and pumps events: no second command meanwhile
};
