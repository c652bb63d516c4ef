#include "tables/dlg_account.h"

#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <string>
#include <vector>

#include "controls/sort_list_ctrl.h"
#include "controls/xhyperlink.h"
#include "tables/account_file.h"
#include "tables/account_table.h"
#include "tables/record_rules.h"
#include "tables/table_dialog.h"
#include "tables/table_messages.h"

namespace {

std::string Utf8(const QString& text) {
    return text.toStdString();
}

QString FromUtf8(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QString EnabledText(int flag) {
    return flag != 0 ? QStringLiteral("Yes") : QStringLiteral("-");
}

QString FileNameOf(const QString& path) {
    return QFileInfo(path).fileName();
}

QPushButton* Button(const QString& text, const QString& name, QWidget* parent) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(name);
    // No default button: Enter presses the focused button, elsewhere it closes (keyPressEvent).
    button->setAutoDefault(false);
    return button;
}

QLineEdit* Edit(const QString& name, QWidget* parent) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(name);
    return edit;
}

// The import question; deleting asks with ConfirmDeletion.
bool AskYesNo(QWidget* parent, const QString& text) {
    return QMessageBox::question(parent, parent->windowTitle(), text,
                                 QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::Yes) == QMessageBox::Yes;
}

void Inform(QWidget* parent, const QString& text) {
    QMessageBox::information(parent, parent->windowTitle(), text);
}

// An account file chosen in the file dialog, or "" when the user cancelled.
QString ChooseAccountFile(QWidget* parent, bool forSaving, const QString& filter,
                          const QString& initialName = {}) {
    QFileDialog dialog(parent);
    dialog.setAcceptMode(forSaving ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(forSaving ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    dialog.setNameFilter(filter);
    dialog.setDefaultSuffix(QStringLiteral("csv"));
    if (!initialName.isEmpty()) {
        dialog.selectFile(initialName);
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return {};
    }
    return dialog.selectedFiles().constFirst();
}

QString ChooseImportFile(QWidget* parent) {
    return ChooseAccountFile(parent, false, QStringLiteral("Account files (*.csv);;All files (*)"));
}

QString ChooseExportFile(QWidget* parent) {
    return ChooseAccountFile(parent, true,
                             QStringLiteral("CSV Files (*.csv);;Text Files (*.txt);;All files (*)"),
                             QStringLiteral("accountlist.csv"));
}

QString SkipReasonText(SkipReason reason) {
    switch (reason) {
        case SkipReason::kNoPassword:
            return QStringLiteral("it has no password field");
        case SkipReason::kAccountName:
            return QStringLiteral(
                "the account name is not a mail address such as "
                "name@example.org");
        case SkipReason::kValue:
            return QStringLiteral("a value holds a line break or is too long to be stored");
    }
    return {};
}

}  // namespace

CDlgAccount::CDlgAccount(const QString& supportUrl, QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("CDlgAccount"));
    setWindowTitle(QStringLiteral("Accounts"));
    prompts_ = {AskYesNo,         ConfirmDeletion,  Inform,
                ShowConfigNotice, ChooseImportFile, ChooseExportFile};
    BuildWidgets(supportUrl);
    ShowForm(Form{});
    FillList();
}

QString CDlgAccount::ImportSummary(const QString& fileName, const AccountImportCounts& counts) {
    QString text = QStringLiteral("%1: added %2 accounts, updated %3 accounts.")
                       .arg(fileName)
                       .arg(counts.added)
                       .arg(counts.updated);
    if (counts.skipped == 0) {
        return text;
    }
    text += QStringLiteral("\nSkipped %1 lines:").arg(counts.skipped);
    for (const SkippedLine& skipped : counts.firstSkipped) {
        text += QStringLiteral("\nline %1: %2")
                    .arg(static_cast<qulonglong>(skipped.line))
                    .arg(SkipReasonText(skipped.reason));
    }
    const auto more = static_cast<qsizetype>(counts.skipped) - counts.firstSkipped.size();
    if (more > 0) {
        text += QStringLiteral("\nand %1 more.").arg(more);
    }
    return text;
}

QString CDlgAccount::HintText() const {
    return hint_->text();
}

CDlgAccount::~CDlgAccount() = default;

QString CDlgAccount::ColumnDescription() {
    return QString(15, QLatin1Char(' ')) + QStringLiteral("Account,150;Description,160;Enabled,90");
}

void CDlgAccount::SetPrompts(AccountDialogPrompts prompts) {
    if (prompts.ask) {
        prompts_.ask = std::move(prompts.ask);
    }
    if (prompts.confirmDelete) {
        prompts_.confirmDelete = std::move(prompts.confirmDelete);
    }
    if (prompts.inform) {
        prompts_.inform = std::move(prompts.inform);
    }
    if (prompts.warn) {
        prompts_.warn = std::move(prompts.warn);
    }
    if (prompts.chooseImportFile) {
        prompts_.chooseImportFile = std::move(prompts.chooseImportFile);
    }
    if (prompts.chooseExportFile) {
        prompts_.chooseExportFile = std::move(prompts.chooseExportFile);
    }
}

void CDlgAccount::BuildWidgets(const QString& supportUrl) {
    auto* intro =
        new QLabel(QStringLiteral("You can create accounts here or import from a file."), this);
    intro->setObjectName(QStringLiteral("IntroLabel"));
    name_ = Edit(QStringLiteral("AccountEdit"), this);
    password_ = Edit(QStringLiteral("PasswordEdit"), this);  // shown in clear on purpose
    description_ = Edit(QStringLiteral("DescriptionEdit"), this);
    enabled_ = new QCheckBox(QStringLiteral("Enabled"), this);
    enabled_->setObjectName(QStringLiteral("EnabledCheck"));

    auto* form = new QGridLayout;
    form->addWidget(new QLabel(QStringLiteral("Account"), this), 0, 0);
    form->addWidget(name_, 0, 1);
    form->addWidget(new QLabel(QStringLiteral("Password"), this), 1, 0);
    form->addWidget(password_, 1, 1);
    form->addWidget(new QLabel(QStringLiteral("Desc."), this), 2, 0);
    form->addWidget(description_, 2, 1);
    form->addWidget(enabled_, 3, 1);
    hint_ = MakeHintLabel(this, 3);  // the longest hint takes three lines at the form's width
    form->addWidget(hint_, 4, 0, 1, 2);
    form->setColumnStretch(1, 1);
    form->setRowStretch(5, 1);

    auto* save = Button(QStringLiteral("&Save"), QStringLiteral("SaveButton"), this);
    auto* remove = Button(QStringLiteral("&Delete"), QStringLiteral("DeleteButton"), this);
    auto* import = Button(QStringLiteral("&Import"), QStringLiteral("ImportButton"), this);
    auto* exportButton = Button(QStringLiteral("&Export"), QStringLiteral("ExportButton"), this);
    auto* close = Button(QStringLiteral("&Close"), QStringLiteral("CloseButton"), this);
    auto* buttons = new QGridLayout;
    buttons->addWidget(save, 0, 0);
    buttons->addWidget(remove, 0, 1);
    buttons->addWidget(import, 1, 0);
    buttons->addWidget(exportButton, 1, 1);
    buttons->addWidget(close, 2, 1);
    buttons->setRowStretch(3, 1);

    auto* top = new QHBoxLayout;
    top->addLayout(form, 1);
    top->addSpacing(16);
    top->addLayout(buttons);

    list_ = new CSortListCtrl(this);
    list_->setObjectName(QStringLiteral("AccountList"));
    // Full-row select is the list's own; headings can be dragged, cut-off cells show tips.
    list_->SetHeaderDragDrop(true);
    list_->SetInfoTips(true);
    list_->DefineColumns(ColumnDescription());
    list_->SetStretchColumn(0);  // account names are the long texts
    list_->viewport()->installEventFilter(this);
    list_->setMinimumSize(420, 220);

    help_ = new CXHyperLink(QStringLiteral("Click here for more help!"), this);
    help_->setObjectName(QStringLiteral("HelpLink"));
    help_->SetLinkUrl(supportUrl);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(intro);
    layout->addLayout(top);
    layout->addWidget(list_, 1);
    layout->addWidget(help_, 0, Qt::AlignLeft);

    connect(save, &QPushButton::clicked, this, &CDlgAccount::OnSave);
    connect(remove, &QPushButton::clicked, this, &CDlgAccount::OnDelete);
    connect(import, &QPushButton::clicked, this, &CDlgAccount::OnImport);
    connect(exportButton, &QPushButton::clicked, this, &CDlgAccount::OnExport);
    connect(close, &QPushButton::clicked, this, &CDlgAccount::reject);
    connect(list_, &CSortListCtrl::RowChosenByKeyboard, this,
            [this](int row) { LoadAccount(list_->CellText(row, 0)); });
    connect(list_, &CSortListCtrl::DeleteKeyPressed, this, &CDlgAccount::OnDelete);
}

CDlgAccount::Form CDlgAccount::ReadForm() const {
    return {name_->text(), password_->text(), description_->text(), enabled_->isChecked()};
}

void CDlgAccount::ShowForm(const Form& form) {
    name_->setText(form.name);
    password_->setText(form.password);
    description_->setText(form.description);
    enabled_->setChecked(form.enabled);
    shown_ = form;
    hint_->clear();
}

bool CDlgAccount::FormChanged() const {
    return !(ReadForm() == shown_);
}

void CDlgAccount::Refuse(QWidget* box, const QString& hint) {
    hint_->setText(hint);
    box->setFocus();
    if (auto* line = qobject_cast<QLineEdit*>(box)) {
        line->selectAll();
    }
}

void CDlgAccount::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (toldReadProblem_) {
        return;
    }
    toldReadProblem_ = true;
    // Told once the dialog is on screen, so the box stands over it rather than before it.
    QTimer::singleShot(0, this, [this] {
        if (const std::optional<QString> problem = ConfigReadProblem()) {
            prompts_.warn(this, *problem);
        }
    });
}

void CDlgAccount::FillList() {
    const AccountTable table;
    for (const std::string& name : table.Names()) {
        list_->AppendRow(
            {FromUtf8(name), FromUtf8(table.Description(name)), EnabledText(table.Enabled(name))});
    }
}

int CDlgAccount::FindRow(const QString& name) const {
    const std::string wanted = Utf8(name);
    for (int row = 0; row < list_->RowCount(); ++row) {
        if (SameAccountName(Utf8(list_->CellText(row, 0)), wanted)) {
            return row;
        }
    }
    return -1;
}

void CDlgAccount::SelectOnly(int row) {
    const QModelIndex index = list_->model()->index(row, 0);
    list_->selectionModel()->setCurrentIndex(
        index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    list_->scrollTo(index);
}

bool CDlgAccount::eventFilter(QObject* watched, QEvent* event) {
    if (watched == list_->viewport() && event->type() == QEvent::MouseButtonRelease) {
        auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() == Qt::LeftButton) {
            OnListClicked(mouse->position().toPoint());
        }
    }
    return QDialog::eventFilter(watched, event);
}

void CDlgAccount::keyPressEvent(QKeyEvent* event) {
    // Enter presses the focused button; elsewhere it saves a changed form (closing would drop
    // it) and otherwise ends the dialog like Close.
    if (IsPlainEnterKey(event)) {
        if (auto* button = qobject_cast<QPushButton*>(focusWidget())) {
            button->click();
        } else if (FormChanged()) {
            OnSave();
        } else {
            reject();
        }
        return;
    }
    QDialog::keyPressEvent(event);
}

void CDlgAccount::reject() {
    if (!busy_) {
        QDialog::reject();
    }
}

void CDlgAccount::OnListClicked(const QPoint& position) {
    const QModelIndex index = list_->indexAt(position);
    LoadAccount(index.isValid() ? list_->CellText(index.row(), 0) : QString());
}

void CDlgAccount::LoadAccount(const QString& name) {
    // The form comes from the file, never from the row's texts.
    const std::string key = Utf8(name);
    const AccountTable table;
    ShowForm({name, FromUtf8(table.Password(key)), FromUtf8(table.Description(key)),
              table.Enabled(key) != 0});
}

void CDlgAccount::OnSave() {
    if (busy_) {
        return;
    }
    const Form form = ReadForm();
    const AccountFormCheck check = CheckAccountForm(Utf8(form.name), Utf8(form.password),
                                                    Utf8(form.description), form.enabled);
    switch (check.fault) {
        case AccountFormFault::kName:
            Refuse(name_, FormHintText(FormHint::kAccountName));
            return;
        case AccountFormFault::kPassword:
            Refuse(password_, FormHintText(FormHint::kPassword));
            return;
        case AccountFormFault::kDescription:
            Refuse(description_, FormHintText(FormHint::kValue));
            return;
        case AccountFormFault::kNone:
            break;
    }
    if (!SaveAccount(check.account)) {
        prompts_.warn(this, LastConfigWriteFailedText());
        return;
    }
    shown_ = form;
    hint_->clear();
    const QString enabled = EnabledText(check.account.enabled);
    int row = FindRow(form.name);
    if (row < 0) {
        row = list_->AppendRow({form.name, form.description, enabled});
    }
    list_->SetCellText(row, 0, form.name);
    list_->SetCellText(row, 1, form.description);
    list_->SetCellText(row, 2, enabled);
    SelectOnly(row);
    list_->setFocus();
}

void CDlgAccount::OnDelete() {
    QList<int> rows;
    if (busy_ || list_->ListSelectedRows(rows) == 0) {
        return;
    }
    QString question = QStringLiteral("Are you sure to delete %1 account(s)?").arg(rows.size());
    std::vector<std::string> names;
    for (int row : rows) {
        const QString name = list_->CellText(row, 0);
        question += QStringLiteral("\r\n") + name;
        names.push_back(Utf8(name));
    }
    if (!prompts_.confirmDelete(this, question)) {
        return;
    }
    if (!DeleteAccounts(names)) {
        prompts_.warn(this, LastConfigWriteFailedText());
        return;
    }
    // Last to first, so the indexes still to be removed stay valid.
    for (auto row = rows.crbegin(); row != rows.crend(); ++row) {
        list_->DeleteRow(*row);
    }
}

void CDlgAccount::OnImport() {
    if (busy_) {
        return;
    }
    const QString path = prompts_.chooseImportFile(this);
    if (path.isEmpty()) {
        return;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        prompts_.warn(this, QStringLiteral("Cannot open %1: %2").arg(path, file.errorString()));
        return;
    }
    const QString fileName = FileNameOf(path);
    if (!prompts_.ask(this, QStringLiteral("Are you sure to import accounts from %1?\nWarning: "
                                           "existing accounts will be updated.")
                                .arg(fileName))) {
        return;
    }
    busy_ = true;
    const AccountImportResult result =
        ImportAccountFile(file, [] { QCoreApplication::processEvents(); });
    busy_ = false;
    file.close();
    list_->RemoveAllRows();
    FillList();
    if (result.writeFailed) {
        prompts_.warn(this, LastConfigWriteFailedText() + QLatin1Char('\n') +
                                QStringLiteral("Stored before the failure: ") +
                                ImportSummary(fileName, result.counts));
        return;
    }
    prompts_.inform(this, ImportSummary(fileName, result.counts));
}

void CDlgAccount::OnExport() {
    if (busy_) {
        return;
    }
    const std::vector<AccountRecord> accounts = ReadAllAccounts();
    if (accounts.empty()) {
        return;
    }
    const QString path = prompts_.chooseExportFile(this);
    if (path.isEmpty()) {
        return;
    }
    const AccountFileResult result = WriteAccountFile(path, accounts);
    if (!result.ok) {
        prompts_.warn(this, QStringLiteral("%1: the accounts could not be exported (%2).")
                                .arg(FileNameOf(path), FromUtf8(result.error)));
        return;
    }
    prompts_.inform(this, QStringLiteral("%1: exported %2 accounts successfully.")
                              .arg(FileNameOf(path))
                              .arg(accounts.size()));
}
