// The frame shared by the local-domain and relay-account dialogs: a heading line, the record form
// of the concrete dialog, the sortable list of records, Save, Delete and Close, and the help link.
// It keeps no copy of the records: the list is filled from the main configuration file on
// opening, a left click or a row reached with the keyboard loads a record from the file, and every
// Save and Delete is one atomic write. Refused input moves the focus to the box at fault and says
// beside the form what is expected, writing nothing; a file that cannot be read is told when the
// dialog opens, and a write the store refuses is told with its reason and leaves the list as it
// was. Enter saves a form with changes and otherwise closes. UI thread only.
#pragma once

#include <QDialog>
#include <QList>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

#include "tables/record_layouts.h"
#include "tables/record_rules.h"

class CSortListCtrl;
class CXHyperLink;
class QCheckBox;
class QGridLayout;
class QLabel;
class QLayout;
class QLineEdit;
class QKeyEvent;
class QPushButton;

// Form building blocks of the table dialogs, named so tests can find them.
QLineEdit* MakeLineEdit(const char* objectName, QWidget* parent);
QCheckBox* MakeCheckBox(const QString& text, const char* objectName, QWidget* parent);
// Puts a label and its box into a row of the form, from the given column on.
void AddLabelledRow(QGridLayout* form, int row, const QString& label, QWidget* box, int column = 0);
// The line beside a form that says why Save refused (object name "hint"); empty until then.
QLabel* MakeHintLabel(QWidget* parent, int reservedLines);
// Whether a key event is Enter or Return without modifiers (the keypad's counts).
bool IsPlainEnterKey(const QKeyEvent* event);

class CTableDialog : public QDialog {
    Q_OBJECT

  public:
    // Asks a Yes/No question (No is the default); true for Yes.
    using Question = std::function<bool(QWidget* parent, const QString& text)>;
    // Shows a warning and returns once it was seen.
    using Warning = std::function<void(QWidget* parent, const QString& text)>;

    ~CTableDialog() override;

    // Replace the message boxes (tests answer without a modal box). An empty function restores
    // the message box.
    void SetQuestion(Question ask);
    void SetWarning(Warning warn);

    CSortListCtrl* List() const { return list_; }
    // The hint beside the form; empty while nothing was refused.
    QString HintText() const;

  protected:
    struct Texts {
        QString caption;
        QString heading;
        QString columns;  // column description text of the list
    };

    CTableDialog(const RecordTableLayout& layout, const Texts& texts, QWidget* parent);

    // Places the concrete dialog's form, with its focusable controls in tab order, then shows the
    // initial form values and fills the list from the file. Called once, at the end of the
    // concrete dialog's constructor (the hooks below are not available before).
    void Open(QLayout* form, const QList<QWidget*>& tabOrder);
    // A button of the concrete dialog below Delete; before Open.
    QPushButton* AddButton(const QString& text, const char* objectName);

    // Controls -> members. False when a box could not be read; the hint says so then.
    virtual bool ReadForm() = 0;
    // Members -> controls.
    virtual void ShowForm() = 0;
    // Loads the record (an empty name on a click below the rows) from the file into the form.
    virtual void LoadRecord(const QString& name) = 0;
    // After ReadForm: checks the members, moving the focus to the first box at fault; adds the
    // writes to the batch and returns the row texts (name first) when all is well.
    virtual std::optional<QStringList> PrepareSave(ProfileBatch& batch) = 0;

    // Reads a port box; without a number hints, focuses the box and selects its text.
    std::optional<quint32> ReadNumberBox(QLineEdit* box);
    // Moves the focus to the box at fault and shows the hint; always returns no row, for
    // PrepareSave.
    std::optional<QStringList> RefuseAt(QWidget* box, FormHint hint);

    // Ends the dialog only when the form can be read; nothing is written.
    void accept() override;
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;

  private:
    void FillList();
    void Save();
    void Delete();
    void Load(const QString& name);
    void ShowSavedRow(const QStringList& cells);
    int FindRow(const QString& name) const;
    // What the form's boxes hold now, to tell whether the user changed anything since the form
    // was last shown from the file or saved.
    QStringList FormState() const;
    void SetHint(FormHint hint);

    const RecordTableLayout& layout_;
    Question ask_;
    Warning warn_;
    QLabel* heading_;
    QLabel* hint_;
    CSortListCtrl* list_;
    QPushButton* save_;
    QPushButton* delete_;
    QPushButton* close_;
    QList<QPushButton*> extraButtons_;
    CXHyperLink* helpLink_;
    QList<QWidget*> formBoxes_;
    QStringList shownState_;
    bool toldReadProblem_ = false;
};
